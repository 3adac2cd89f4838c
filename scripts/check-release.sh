#!/usr/bin/env bash
# Checks the artifacts of scripts/release.sh (in release/ or $1) as a packager and a technician
# would: lintian finds no error and no warning in the .deb; the .deb installs, `kelvoup` with no
# arguments prints the usage and ends with status 2, both man pages are found, and it removes
# again; each zip's KelvoUp.exe is stripped and carries its version resource, and every DLL its
# programs import is Windows' own or in the zip (libpq.dll beside kelvo-station.exe); the checksums hold.
# Run as root (it installs the package); needs install-build-deps.sh --windows --release.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath "${1:-release}")
version=$(sed -n 's/^project(KelvoUp VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
fail() { echo "check-release: $*" >&2; exit 1; }

(cd "$out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

deb=$out/kelvoup_${version}_amd64.deb
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings in $deb"

dpkg -i "$deb" >/dev/null
status=0
usage=$(kelvoup) || status=$?
[ "$status" -eq 2 ] || fail "kelvoup with no arguments ended with status $status, not 2"
grep -q "Usage:      KelvoUp.exe -i interface file" <<<"$usage" || fail "kelvoup printed no usage"
man -w kelvoup kelvo-sim kelvo-station >/dev/null || fail "man -w does not find the three man pages"
status=0
kelvo-station >/dev/null || status=$?
[ "$status" -eq 2 ] || fail "kelvo-station with no arguments ended with status $status, not 2"
dpkg -r kelvoup >/dev/null
! command -v kelvoup >/dev/null || fail "kelvoup is still installed after dpkg -r"

for bits in 64 32; do
  zip=$out/kelvoup-$version-win$bits.zip
  objdump=x86_64-w64-mingw32-objdump
  [ "$bits" = 32 ] && objdump=i686-w64-mingw32-objdump
  dir=$(mktemp -d)
  unzip -q "$zip" -d "$dir"
  for f in KelvoUp.exe kelvo-station.exe libpq.dll README.txt LICENSE.txt; do [ -f "$dir/$f" ] || fail "$zip holds no $f"; done
  # Every DLL the programs import is Windows' own, or shipped beside them.
  for exe in KelvoUp.exe kelvo-station.exe libpq.dll; do
    for dll in $("$objdump" -p "$dir/$exe" | sed -n 's/^\s*DLL Name: //p'); do
      case "${dll,,}" in
        kernel32.dll | msvcrt.dll | ws2_32.dll | advapi32.dll | secur32.dll | shell32.dll | user32.dll) ;;
        *) ls "$dir" | grep -qixF "$dll" || fail "$zip: $exe needs $dll, which the zip does not hold" ;;
      esac
    done
  done
  # RT_VERSION is resource type 16.
  "$objdump" -p "$dir/KelvoUp.exe" | grep -q "Entry: ID: 0x000010," || fail "$zip: KelvoUp.exe has no version resource"
  strings -el "$dir/KelvoUp.exe" | grep -qx "$version" || fail "$zip: the version resource does not say $version"
  "$objdump" -t "$dir/KelvoUp.exe" | grep -q "no symbols" || fail "$zip: KelvoUp.exe is not stripped"
  ! "$objdump" -h "$dir/KelvoUp.exe" | grep -q "\.debug" || fail "$zip: KelvoUp.exe holds debug sections"
  grep -q $'\r$' "$dir/README.txt" || fail "$zip: README.txt has no CRLF line ends"
  rm -rf "$dir"
done
# The web page: every file of the site, the core and its JavaScript within 400 KB.
web=$out/kelvoup-$version-web.zip
dir=$(mktemp -d)
unzip -q "$web" -d "$dir"
site=$dir/kelvoup-$version-web
for f in index.html style.css favicon.svg messages.js app.js kelvo-worker.js kelvo-core.js kelvo-core.wasm; do
  [ -f "$site/$f" ] || fail "$web holds no $f"
done
weight=$(cat "$site"/*.js "$site"/*.wasm | wc -c)
[ "$weight" -le 409600 ] || fail "the web page's wasm and JavaScript weigh $weight bytes, more than 400 KB"
rm -rf "$dir"
echo "release $version checked: lintian clean, the .deb installs and removes, the Windows programs are stripped and versioned, the web page is complete ($weight bytes of wasm and JavaScript)"
