#!/usr/bin/env bash
# Builds KelvoUp and runs the whole test suite. Where the mingw-w64 cross compilers are installed
# (install-build-deps.sh --windows), KelvoUp.exe is built for 64- and 32-bit Windows too, and
# where Wine is, the Windows builds go through the same end-to-end tests under Wine. Where
# Emscripten and the browser tests' packages are (--web), the web page is built and tested in
# Chromium.
#   --sanitize          instead: the Linux suite built with AddressSanitizer and UndefinedBehaviorSanitizer
#   --sanitize-thread   instead: the Linux suite built with ThreadSanitizer (a station's ports and
#                       the tests' simulated targets run on threads of their own)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
if [ "${1:-}" = "--sanitize-thread" ]; then
  # ThreadSanitizer needs its own memory layout: where the kernel randomises addresses more than
  # it expects, the suite runs with randomisation off (setarch -R).
  probe=$(mktemp -d)
  trap 'rm -rf "$probe"' EXIT
  echo 'int main() { return 0; }' >"$probe/probe.cpp"
  g++ -fsanitize=thread "$probe/probe.cpp" -o "$probe/probe"
  run=()
  if ! "$probe/probe" 2>/dev/null; then
    run=(setarch "$(uname -m)" -R)
    if ! "${run[@]}" "$probe/probe" 2>/dev/null; then
      echo "ThreadSanitizer cannot run on this machine; the suite is not run under it"
      exit 0
    fi
  fi
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_SANITIZE_THREAD=ON >/dev/null
  cmake --build build-tsan -j"$jobs"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${run[@]}" ctest --test-dir build-tsan --output-on-failure -j"$jobs"
  exit
fi
if [ "${1:-}" = "--sanitize" ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_SANITIZE=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"
  exit
fi
config=()
# Wine: the 64-bit loader itself where a 32-bit Wine is installed but this kernel cannot run it
# (the wine command would pick the 32-bit loader and fail).
wine_program=$(command -v wine || true)
i386=0
bash scripts/i386-probe.sh && i386=1
if [ "$i386" -eq 0 ] && [ -x /usr/lib/wine/wine64 ]; then wine_program=/usr/lib/wine/wine64; fi
[ -n "$wine_program" ] && config+=(-DKELVO_WINE_PROGRAM="$wine_program")
for bits in 64 32; do
  arch=x86_64; [ "$bits" = 32 ] && arch=i686
  command -v "$arch-w64-mingw32-g++-posix" >/dev/null || continue
  dir=build-win$bits
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" -j"$jobs"
  runnable=1
  # 32-bit programs need the i386 Wine.
  [ "$bits" = 32 ] && { [ "$i386" -eq 0 ] || ! dpkg -s wine32:i386 >/dev/null 2>&1; } && runnable=0
  if [ -n "$wine_program" ] && [ "$runnable" -eq 1 ]; then
    config+=(-DKELVO_WIN${bits}_EXE="$PWD/$dir/KelvoUp.exe"
             -DKELVO_WIN${bits}_LINK_TESTS="$PWD/$dir/kelvoup_win32_tests.exe"
             -DKELVO_WIN${bits}_STATION="$PWD/$dir/kelvo-station.exe")
  else
    echo "KelvoUp.exe ($bits-bit) built in $dir; not tested: no Wine able to run it here"
    config+=(-DKELVO_WIN${bits}_EXE= -DKELVO_WIN${bits}_LINK_TESTS= -DKELVO_WIN${bits}_STATION=)
  fi
done
# The web page, where Emscripten and the browser tests' packages are (install-build-deps.sh --web):
# built with Emscripten and tested in Chromium against kelvo-sim.
if command -v emcc >/dev/null && [ -d tests/web/node_modules ]; then
  bash scripts/build-web.sh build-web >/dev/null
  config+=(-DKELVO_WEB_SITE="$PWD/build-web/site")
else
  echo "The web page is not tested here: install-build-deps.sh --web installs what it needs"
  config+=(-DKELVO_WEB_SITE=)
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${config[@]}" >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
