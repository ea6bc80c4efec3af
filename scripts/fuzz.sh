#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ and runs each for a bounded time
# (FUZZ_SECONDS, 60 by default) from the seed corpora in fuzz/corpus. A crash
# fails the script and leaves its input in the scratch directory printed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DDEVICESCAN_FUZZ=ON -DDEVICESCAN_TESTS=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target csvReaderFuzz

scratch=$(mktemp -d "${TMPDIR:-/tmp}/fuzz.XXXXXX")
status=0
# target:seed corpus
for pair in csvReaderFuzz:csv; do
  target=${pair%%:*}
  seeds=fuzz/corpus/${pair#*:}
  mkdir -p "$scratch/$target"
  echo "=== fuzz ${target}: ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$scratch/$target/" "$scratch/$target" "$seeds" \
      > "$scratch/$target.log" 2>&1; then
    tail -n 40 "$scratch/$target.log"
    echo "=== fuzz ${target}: FAILED; inputs in $scratch/$target/"
    status=1
    continue
  fi
  grep -E '^Done|stat::number_of_executed_units|cov:' "$scratch/$target.log" | tail -n 2
done
[ "$status" -ne 0 ] || rm -rf "$scratch"
exit "$status"
