#!/bin/sh
# Builds the session record fuzzer with clang (libFuzzer, ASan, UBSan) and
# runs it for a bounded time. Usage: run.sh WORKDIR [SECONDS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
work=${1:-/tmp/dxplay_fuzz}
seconds=${2:-60}
mkdir -p "$work/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I "$root" "$here/fuzz_wire.cpp" "$root/platform/dxplay/dxplay_wire.cpp" -o "$work/fuzz_wire"
# A few valid records to start from: one byte per kind is enough for the
# fuzzer to find its way into each decoder.
for k in 1 2 3 4 5 6 7; do printf "\\$(printf '%03o' "$k")" > "$work/corpus/kind$k"; done
printf 'DBSQ' > "$work/corpus/query"
printf 'DBSR' > "$work/corpus/reply"
cd "$work"
exec ./fuzz_wire -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 corpus
