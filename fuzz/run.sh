#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan) and runs each for a bounded time (default
# 60 s each; FUZZ_SECONDS overrides) from a seed corpus of the tests' files and the real images
# (and for the Telnet layer a few of a server's messages).
# Any crash, leak or sanitizer report makes it fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
CXX=clang++ cmake -S . -B build-fuzz -DKELVO_FUZZ=ON -DKELVO_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target hex_file_fuzz command_line_fuzz telnet_fuzz
corpus=build-fuzz/corpus
mkdir -p "$corpus/hex" "$corpus/cli" "$corpus/telnet"
# Seeds: a family byte, then a file.
n=0
for f in examples/*.hex ../shared/realhex/*.hex; do
  [ -f "$f" ] || continue
  n=$((n + 1))
  { printf "\\x0$((n % 4))"; cat "$f"; } >"$corpus/hex/seed-$n"
done
printf '\x00:020000040000FA\n:0838000011223300445566005B\n:00000001FF\n' >"$corpus/hex/seed-worked"
printf '\x01; comment\r\n\r\n:0200000401F009\r\n:04001800f7000000ed\r\n' >"$corpus/hex/seed-crlf"
printf -- '-i\0COM1\0fw.hex' >"$corpus/cli/seed-1"
printf -- '-iCOM1\0-b\09600\0' >"$corpus/cli/seed-2"
printf -- '--\0-.\0-\0-:\0-i' >"$corpus/cli/seed-3"
# Seeds: a piece size, then what a server sends (an agreement, the settings' answers, data).
printf '\x03\xff\xfd\x00\xff\xfb\x00\xff\xfd\x2c\xff\xfa\x2c\x65\x00\x00\x25\x80\xff\xf0A\xff\xffB\r\x00' >"$corpus/telnet/seed-1"
printf '\x00\xff\xfa\x2c\x67\x01\xff\xf0\xff\xfe\x2c\xff\xf1\xff' >"$corpus/telnet/seed-2"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in hex_file_fuzz:hex command_line_fuzz:cli telnet_fuzz:telnet; do
  name=${target%%:*} dir=${target##*:}
  echo "== $name for ${seconds}s"
  if ! build-fuzz/fuzz/"$name" "$corpus/$dir" -max_total_time="$seconds" -max_len=200000 -rss_limit_mb=2048 \
      -artifact_prefix=build-fuzz/"$name"- -print_final_stats=1 2>build-fuzz/"$name".log; then
    status=1
  fi
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|crash-|leak-' build-fuzz/"$name".log || true
  grep -q 'runtime error\|ERROR: ' build-fuzz/"$name".log && status=1
done
[ "$status" -eq 0 ] && echo "fuzzing: no crash, leak or sanitizer report"
exit "$status"
