#!/usr/bin/env bash
# Updates the simulated target with the sample image, shows the whole console output, and checks
# that the target now holds exactly the image. No hardware needed.
set -euo pipefail
cd "$(dirname "$0")/.."
image=${1:-examples/demo-dspic30f2010.hex}
chip=${2:-dsPIC30F2010}
bash scripts/build.sh build >/dev/null

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
build/kelvo-sim --chip "$chip" --link "$work/ttyKELVO" --dump "$work/target.hex" >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
for _ in $(seq 100); do [ -e "$work/ttyKELVO" ] && break; sleep 0.05; done

echo "\$ kelvoup -i $work/ttyKELVO $image"
status=0
build/kelvoup -i "$work/ttyKELVO" "$image" || status=$?
echo
echo "kelvoup exit status: $status"
wait "$sim" || true
[ "$status" -eq 0 ] || exit "$status"

# The target's memory, as its dump says, against the image, both read by binutils.
objcopy -I ihex -O binary --gap-fill 0xFF "$image" "$work/image.bin"
objcopy -I ihex -O binary --gap-fill 0xFF "$work/target.hex" "$work/target.bin"
if cmp -s "$work/image.bin" "$work/target.bin"; then
  echo "The simulated target holds the image byte for byte."
else
  echo "The simulated target does NOT hold the image." >&2
  exit 1
fi
