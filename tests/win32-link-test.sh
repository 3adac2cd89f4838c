#!/usr/bin/env bash
# Runs the Win32 backend's unit tests under Wine against kelvo-sim on a COM port mapped to its pty,
# then checks that the simulator received the twenty rows and the reset byte that the last test
# sends and closes on at once. Arguments: kelvo-sim, the test program, the wine program.
set -u
sim=$1 tests=$2 wine=$3
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -f "$link"; rm -rf "$work"' EXIT
"$sim" --rx-log "$work/rx.bin" >"$work/port" 2>/dev/null &
pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
link="$WINEPREFIX/dosdevices/com9"
port=$(head -1 "$work/port")
[ -n "$port" ] || { echo "kelvo-sim did not report its port"; exit 1; }
ln -sfn "$port" "$link"
KELVO_TEST_COM=COM9 "$wine" "$tests" 2>/dev/null | tr -d '\r'
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || { echo "the Win32 unit tests failed ($status)"; exit 1; }
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$pid" 2>/dev/null; then
  echo "kelvo-sim never saw the reset byte: the close dropped pending output"
  exit 1
fi
wait "$pid"; simStatus=$?
[ "$simStatus" -eq 0 ] || { echo "kelvo-sim ended with $simStatus"; exit 1; }
# One ping, a row and its read-back frame, three pings, then twenty rows and the reset: 2781
# bytes ending in 08.
size=$(stat -c %s "$work/rx.bin")
last=$(tail -c 1 "$work/rx.bin" | od -An -tx1 | tr -d ' ')
echo "kelvo-sim received $size bytes, the last one $last"
[ "$size" -eq 2781 ] && [ "$last" = "08" ]
