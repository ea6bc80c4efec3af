#!/usr/bin/env bash
# Builds in release mode and measures what a scan costs against the least work
# a scan can do (bench/floor.cpp) on HW_CONFIG of 100 to 1,000,000 rows, with
# hyperfine for time and GNU time for peak memory and bytes written; at 1,000
# and 100,000 rows a preview (deviceScan --dry-run) beside them, and at 100
# and 1,000 rows a scan that finds one table changed; then the trace channel
# against plain writes with Google Benchmark (bench/traceBench.cpp). The JSON
# of every run stays in BUILD/bench-results, and bench/report.py prints the
# figures from it and says which goals are missed; a missed goal does not fail
# the script. Arguments, when given, replace the row counts; --readme first
# also rewrites the figures in README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

report=()
if [ "${1:-}" = --readme ]; then
  report=(--readme README.md)
  shift
fi
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100 1000 10000 100000 1000000)
previewSizes="1000 100000"
changedSizes="100 1000"

build=${BENCH_BUILD_DIR:-build/release}
log=$( (cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDEVICESCAN_TESTS=OFF &&
  cmake --build "$build" -j "$(nproc)" --target deviceScan floor makeDatabase traceBench) 2>&1) ||
  { echo "$log"; exit 1; }
build=$(realpath "$build")
scan=$build/deviceScan/deviceScan
floor=$build/bench/floor
results=$build/bench-results
rm -rf "$results"
mkdir -p "$results"
work=$(mktemp -d "${TMPDIR:-/tmp}/bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

{
  echo "$(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
    "work directory on $(df -T "$work" | awk 'NR==2 {print $2}')"
  date +%F
  cut -d' ' -f1-3 /proc/loadavg
} > "$results/machine.txt"

for rows in "${sizes[@]}"; do
  db=$work/db$rows
  mkdir "$db"
  "$build"/bench/makeDatabase "$db" "$rows"
  # One scan brings the tables to what every later scan finds unchanged and
  # the floor rewrites with the same bytes: from then on each run starts from
  # the same database. RTD_SEL as generated stays aside for the runs that
  # find one table changed.
  cp "$db/RTD_SEL.csv" "$work/RTD_SEL-$rows.csv"
  ZVDB_DIR=$db "$scan"
  du -cb "$db"/*.csv | tail -1 | cut -f1 > "$results/database-$rows.txt"

  runs=15 warmup=2
  [ "$rows" -lt 100000 ] || runs=10
  [ "$rows" -lt 1000000 ] || runs=5 warmup=1
  # Each round starts with another program, so that all meet the same
  # moments of a busy machine.
  programs=(-n deviceScan "'$scan'" -n floor "'$floor' '$db'")
  case " $previewSizes " in *" $rows "*) programs+=(-n preview "'$scan' --dry-run") ;; esac
  for round in 1 2 3; do
    first=$(( (round - 1) % (${#programs[@]} / 3) * 3 ))
    order=("${programs[@]:first}" "${programs[@]:0:first}")
    log=$results/hyperfine-$rows-$round.log
    ZVDB_DIR=$db hyperfine -N --style none --warmup "$warmup" --runs "$runs" "${order[@]}" \
      --export-json "$results/hyperfine-$rows-$round.json" 2> "$log" || { cat "$log"; exit 1; }
  done
  case " $changedSizes " in *" $rows "*)
    ZVDB_DIR=$db hyperfine -N --style none --warmup "$warmup" --runs "$runs" \
      --prepare "cp '$work/RTD_SEL-$rows.csv' '$db/RTD_SEL.csv'" -n changed "'$scan'" \
      --export-json "$results/changed-$rows.json" 2> "$results/changed-$rows.log" ||
      { cat "$results/changed-$rows.log"; exit 1; } ;;
  esac
  # Peak memory in KiB and file system outputs in 512-byte blocks.
  for _ in 1 2 3; do
    ZVDB_DIR=$db /usr/bin/time -a -o "$results/memory-$rows-deviceScan.txt" -f '%M %O' "$scan"
    /usr/bin/time -a -o "$results/memory-$rows-floor.txt" -f '%M %O' "$floor" "$db"
  done
  rm -rf "$db"
done

"$build"/bench/traceBench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_out="$results/traceBench.json" \
  --benchmark_out_format=json > "$results/traceBench.txt" 2>&1

python3 bench/report.py "$results" "${report[@]}"
