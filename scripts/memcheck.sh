#!/usr/bin/env bash
# Runs deviceScan and the scanner's tests under valgrind memcheck: any error
# or any definitely lost block fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

memcheck=(valgrind --quiet --error-exitcode=1 --leak-check=full
          --errors-for-leak-kinds=definite --show-leak-kinds=definite)
build=${MEMCHECK_BUILD_DIR:-build/memcheck}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build "$build" -j "$(nproc)" --target deviceScan deviceScanTest reliabilityTest > /dev/null
scratch=$(mktemp -d "${TMPDIR:-/tmp}/memcheck.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

echo "=== memcheck: deviceScan on the sample database"
cp -r examples/configdb "$scratch/configdb"
ZVDB_DIR="$scratch/configdb" "${memcheck[@]}" "$build"/deviceScan/deviceScan -v --syslogtodebug \
  > "$scratch/out.log" 2>&1 || { cat "$scratch/out.log"; exit 1; }

echo "=== memcheck: deviceScan without HW_CONFIG and with a malformed table"
rm "$scratch/configdb/HW_CONFIG.csv"
printf 'Installed_hw\n"open\n' > "$scratch/configdb/EPC_SEL.csv"
ZVDB_DIR="$scratch/configdb" "${memcheck[@]}" "$build"/deviceScan/deviceScan -v \
  > "$scratch/out.log" 2>&1 || { cat "$scratch/out.log"; exit 1; }

echo "=== memcheck: the scanner's tests, scans at every store step included"
"${memcheck[@]}" "$build"/deviceScan/tests/deviceScanTest --gtest_brief=1
"${memcheck[@]}" "$build"/deviceScan/tests/reliabilityTest --gtest_brief=1 \
  --gtest_filter=-SignalStorm.*
echo "=== memcheck: clean"
