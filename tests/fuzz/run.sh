#!/bin/sh
# Runs one fuzz target for a bounded time from its seed corpus, in a work
# folder of its own (new inputs stay there, out of the source tree). A crash
# leaves its input in the work folder: copy it into the seed corpus, where
# every later run tries it first. Usage: run.sh FUZZER SEEDS WORKDIR SECONDS
set -eu
fuzzer=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus"
cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
  -artifact_prefix="$work/" corpus "$seeds"
