#!/usr/bin/env bash
# Builds deviceScan, runs it on a scratch copy of the sample database with
# tracing on, and shows the tables before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset host > /dev/null
cmake --build --preset host --target deviceScan

scratch=scratch/configdb
rm -rf "$scratch"
mkdir -p scratch
cp -r examples/configdb "$scratch"

show() {
  for f in "$scratch"/*.csv; do
    echo "--- $(basename "$f" .csv)"
    cat "$f"
  done
}

echo "===== tables before"
show
echo "===== deviceScan -v --syslogtodebug"
ZVDB_DIR="$PWD/$scratch" build/host/deviceScan/deviceScan -v --syslogtodebug
echo "===== exit status $?"
echo "===== tables after"
show
