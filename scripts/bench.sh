#!/usr/bin/env bash
# Builds in release mode and prints what a scan costs against the least work
# a scan can do (HW_CONFIG of 1,000 to 1,000,000 rows), and the trace
# channel against plain writes. Arguments, when given, replace the row counts.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BENCH_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDEVICESCAN_TESTS=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target deviceScan floor scanBench > /dev/null
echo "Machine: $(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
  "work directory on $(df -T "${TMPDIR:-/tmp}" | awk 'NR==2 {print $2}')"
"$build"/bench/scanBench "$build"/deviceScan/deviceScan "$build"/bench/floor "$@"
