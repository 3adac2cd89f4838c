#!/usr/bin/env bash
# Creates a fresh headless Wine prefix for the Windows build's tests: $1 is its folder, $2 the wine
# program that runs the tests (wine by default).
# Creating a prefix has been seen to hang at full CPU once, so each try is bounded and retried.
set -u
prefix=$1
wine=${2:-wine}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
for try in 1 2 3; do
  wineserver -k >/dev/null 2>&1
  rm -rf "$prefix"
  if timeout 120 "$wine" wineboot -i >"$prefix.log" 2>&1 && [ -d "$prefix/dosdevices" ]; then
    wineserver -w >/dev/null 2>&1
    # Keep one server for the whole suite (wine.stop ends it): otherwise it quits 3 s after each
    # run and the next run starts another, a window in which a start has been seen to fail.
    wineserver -p </dev/null >/dev/null 2>&1
    echo "wine prefix ready in $prefix (try $try)"
    exit 0
  fi
  echo "wine prefix creation failed or hung (try $try)" >&2
done
exit 1
