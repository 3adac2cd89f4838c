#!/usr/bin/env bash
# Installs what building and testing KelvoUp needs on Debian 12 (or a derivative).
#   --windows   also the mingw-w64 cross compilers and Wine, to build KelvoUp.exe and test it
#               (the 32-bit Wine needs Debian's i386 architecture, which this adds), and libpq for
#               both Windows targets, built once from Debian's own source package (a deb-src entry
#               is added for it) into /opt/kelvoup-deps, where the Windows build finds it
#   --fuzz      also clang and its runtime, for the libFuzzer targets (fuzz/run.sh)
#   --release   also what checking the release artifacts needs (scripts/check-release.sh)
#   --web       also Emscripten, Chromium and Node.js (when there is none), and the browser tests'
#               npm packages (npm ci in tests/web, versions pinned in its lockfile)
set -euo pipefail
cd "$(dirname "$0")/.."
windows=0
web=0
packages=(cmake g++ make libgtest-dev binutils srecord libcli11-dev nlohmann-json3-dev tmux strace ser2net postgresql libpq-dev)
for option in "$@"; do
  case "$option" in
    --windows)
      windows=1
      packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 dpkg-dev)
      # The 32-bit Wine only where the kernel runs 32-bit programs; elsewhere the 32-bit Windows
      # build is built but not run (scripts/test.sh says so).
      if bash scripts/i386-probe.sh; then
        packages+=(wine32:i386)
      else
        echo "install-build-deps.sh: this kernel does not run 32-bit programs: no 32-bit Wine" >&2
      fi
      ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --release) packages+=(lintian man-db unzip zip) ;;
    --web)
      web=1
      packages+=(emscripten chromium python3)
      # A Node.js of the machine's own (with its npm) is used as it is; otherwise Debian's.
      command -v node >/dev/null || packages+=(nodejs)
      command -v npm >/dev/null || packages+=(npm)
      ;;
    *) echo "usage: $0 [--windows] [--fuzz] [--release] [--web]" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
web_packages() {
  # The browser tests' npm packages, exactly as the lockfile pins them; no browser is downloaded.
  [ "$web" -eq 1 ] || return 0
  (cd tests/web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund)
}
if [ ${#missing[@]} -eq 0 ]; then
  web_packages
  [ "$windows" -eq 0 ] || bash scripts/build-mingw-libpq.sh
  exit 0
fi
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
if [[ " ${missing[*]} " == *" wine32:i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
# A mirror in the middle of a sync can fail one index now and then: try again, and if an index
# still fails, go on with what apt has; the install itself says whether anything is missing.
for attempt in 1 2 3; do
  "${as_root[@]}" apt-get update && break
  echo "install-build-deps.sh: apt-get update failed (attempt $attempt)" >&2
  sleep $((attempt * 10))
done
install() { DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "$@"; }
if ! install "${missing[@]}"; then
  # The 32-bit Wine needs i386 packages that match the amd64 ones exactly; while a mirror is out of
  # step they cannot be installed. Everything else still is, and the 32-bit Windows build is then
  # built but not run (scripts/test.sh says so).
  rest=()
  for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
  [ ${#rest[@]} -lt ${#missing[@]} ] || exit 1
  echo "install-build-deps.sh: wine32:i386 cannot be installed now; going on without it" >&2
  install "${rest[@]}"
fi
web_packages
[ "$windows" -eq 0 ] || bash scripts/build-mingw-libpq.sh
