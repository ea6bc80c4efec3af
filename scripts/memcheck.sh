#!/usr/bin/env bash
# Runs deviceScan and the end-to-end tests under valgrind memcheck: any error
# or any definitely lost block fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

memcheck=(valgrind --quiet --error-exitcode=1 --leak-check=full
          --errors-for-leak-kinds=definite --show-leak-kinds=definite)
# The tests start deviceScan through the launcher prefix that a build takes
# from its emulator: here memcheck, so every run they make is checked too.
build=${MEMCHECK_BUILD_DIR:-build/memcheck}
emulator=$(IFS=';'; echo "${memcheck[*]}")
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator" > /dev/null
cmake --build "$build" -j "$(nproc)" --target deviceScan deviceScanTest > /dev/null
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

echo "=== memcheck: end-to-end tests, every deviceScan they start included"
"${memcheck[@]}" "$build"/deviceScan/tests/deviceScanTest --gtest_brief=1
echo "=== memcheck: clean"
