#!/usr/bin/env bash
# Every figure of docs/performance.md in one run: builds, generates the images, measures.
# Takes about ten minutes (the paced updates run at line speed).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build >/dev/null
bench=build/bench/kelvoup-bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$bench generate largest "$work/largest.hex"
$bench generate rows 3 "$work/rows3.hex"
echo "largest image: $(stat -c %s "$work/largest.hex") bytes of HEX text"
$bench load "$work/largest.hex" 1 9
$bench update "$work/rows3.hex" dsPIC33FJ256GP710 9600 20 2>/dev/null
$bench update "$work/rows3.hex" dsPIC33FJ256GP710 115200 20 2>/dev/null
$bench update "$work/largest.hex" dsPIC33FJ256GP710 0 0 2>/dev/null
$bench parallel 16 "$work/rows3.hex" dsPIC33FJ256GP710 9600 20 2>/dev/null | sed -n '1,2p;$p'
# The paced update through ser2net on 127.0.0.1 (rfc2217:// and socket://) against the pty directly.
if command -v ser2net >/dev/null; then
  build/bench/kelvo-network-bench "$work/rows3.hex" dsPIC33FJ256GP710 9600 20 3
fi
# The production station on 1, 8, 16 and 32 ports at once, each device paced at 9600 baud.
build/bench/kelvo-station-bench "$work/rows3.hex" dsPIC33FJ256GP710 9600 20 1 8 16 32
# The factory ledger under 1, 4 and 16 stations of 4 ports on a PostgreSQL server of its own: as
# fast as it takes devices, and a device every 250 ms a port; then real stations on it and without.
if [ -x build/bench/kelvo-ledger-bench ]; then
  build/bench/kelvo-ledger-bench load 4 10 0 1 4 16
  build/bench/kelvo-ledger-bench load 4 10 250 1 4 16
  build/bench/kelvo-ledger-bench stations examples/demo-dspic30f2010.hex 2 3 1 4 16
fi
# The web page against kelvoup, both against a target paced at 9600 baud (needs --web's packages).
if command -v emcc >/dev/null && [ -d tests/web/node_modules ]; then
  bash scripts/build-web.sh build-web >/dev/null
  node bench/web-bench.mjs build-web/site build/kelvo-sim build/kelvoup "$work/rows3.hex" dsPIC33FJ256GP710
fi
