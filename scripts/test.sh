#!/usr/bin/env bash
# Builds and runs every test suite: host, sanitizers, the runtime's tests under
# ThreadSanitizer, and the PowerPC target under qemu-ppc; then the install and
# package checks, the end-to-end runs under valgrind, the fuzz targets for a
# bounded time and the benchmark.
# Installs missing packages first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
for preset in host sanitize tsan ppc; do
  echo "=== ${preset}: build"
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== ${preset}: test"
  ctest --preset "$preset" -j "$jobs" | tee "$log"
  passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")))
done

echo "=== install and packages"
tests/package.sh
echo "=== memcheck"
scripts/memcheck.sh
echo "=== fuzz"
scripts/fuzz.sh
echo "=== bench"
scripts/bench.sh

echo "=== all test programs of the four suites passed"
echo "suites: ${passed} passed, 0 failed"
