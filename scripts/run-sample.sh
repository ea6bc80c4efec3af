#!/usr/bin/env bash
# Builds deviceScan and runs it on a scratch copy of the sample database: a
# preview of what the scan will change, the scan itself with tracing on, and
# the preview again, which finds nothing left to change.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset host > /dev/null
cmake --build --preset host --target deviceScan

scratch=scratch/configdb
rm -rf "$scratch"
mkdir -p scratch
cp -r examples/configdb "$scratch"

deviceScan() {
  status=0
  echo "===== deviceScan $*"
  ZVDB_DIR="$PWD/$scratch" build/host/deviceScan/deviceScan "$@" || status=$?
  echo "===== exit status $status"
}

deviceScan --dry-run
deviceScan -v --syslogtodebug
deviceScan --dry-run
