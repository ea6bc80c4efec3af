#!/usr/bin/env python3
"""Figures of a benchmark run, from the results directory of scripts/bench.sh:
deviceScan on an unchanged database against its floor per size (hyperfine
JSON, GNU time peaks and bytes written), a scan that finds one table changed
and the preview (--dry-run) against the scan where they were measured, and the trace
channel against plain writes (Google Benchmark JSON), each held against its
goal. Prints them as markdown; with --readme FILE, also puts them in FILE
between the bench markers.

    report.py RESULTS [--readme FILE]
"""
import glob
import json
import os
import statistics
import sys
from collections import defaultdict

GROWTH_GOAL = 1.1  # times the growth in rows: about 10x per 10x rows
MEMORY_FACTOR, MEMORY_SLACK_MIB = 3.0, 8.0
TRACE_RATIO_GOAL = 0.5
PREVIEW_GOAL = 1.0  # a preview costs no more than the scan it previews
BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"
TRACE = [("BM_DebugLogDelivered", "DebugLog, delivered"),
         ("BM_WriteDelivered", "plain write(), delivered"),
         ("BM_DebugLogDropped", "DebugLog, dropped at a full pipe")]


def ratio_goal(rows):
    """At the sizes of a real analyser an unchanged scan only reads: half the
    floor, which rewrites every table; from 100,000 rows 1.5 times the floor."""
    return 0.5 if rows <= 1000 else 1.5 if rows >= 100000 else None


def num(x):
    return f"{x:.2f}" if x < 10 else f"{x:.1f}" if x < 100 else f"{x:.0f}"


def read(results, name):
    with open(os.path.join(results, name)) as f:
        return f.read()


def size_line(results, rows, previous, missed):
    """One table line for a size, returned with the medians for the next size
    and the preview's line ("" where no preview was measured)."""
    times, rounds = defaultdict(list), []
    for path in glob.glob(os.path.join(results, f"hyperfine-{rows}-*.json")):
        medians = {}
        for result in json.loads(read(results, os.path.basename(path)))["results"]:
            times[result["command"]] += result["times"]
            medians[result["command"]] = result["median"]
        rounds.append(medians["deviceScan"] / medians["floor"])
    scan, floor = (statistics.median(times[name]) for name in ("deviceScan", "floor"))
    runs = {name: [list(map(int, line.split()))
                   for line in read(results, f"memory-{rows}-{name}.txt").splitlines()]
            for name in ("deviceScan", "floor")}
    peak = {name: max(run[0] for run in runs[name]) / 1024 for name in runs}
    written = {name: max(run[1] for run in runs[name]) * 512 for name in runs}
    db = int(read(results, f"database-{rows}.txt")) / (1024 * 1024)
    limit = MEMORY_FACTOR * db + MEMORY_SLACK_MIB
    ratio, goal = scan / floor, ratio_goal(rows)
    growth = "-"
    if previous:
        rows0, scan0, floor0 = previous
        growth = f"{scan / scan0:.1f}x ({floor / floor0:.1f}x)"
        if scan / scan0 > GROWTH_GOAL * rows / rows0:
            missed.append(f"{rows:,} rows: growth {scan / scan0:.1f}x")
    if goal and ratio > goal:
        missed.append(f"{rows:,} rows: ratio {ratio:.3f} above {goal}")
    if written["deviceScan"] > 0:
        missed.append(f"{rows:,} rows: an unchanged scan wrote {written['deviceScan']:,} bytes")
    if peak["deviceScan"] > limit:
        missed.append(f"{rows:,} rows: peak {peak['deviceScan']:.1f} MiB above {limit:.1f} MiB")
    line = (f"| {rows:,} | {num(db)} MiB | {num(scan * 1000)} ms | {num(floor * 1000)} ms "
            f"| {ratio:.2f}{f' ({goal})' if goal else ''} | {min(rounds):.2f}-{max(rounds):.2f} "
            f"| {growth} | {peak['deviceScan']:.1f} MiB ({limit:.1f}) | {peak['floor']:.1f} MiB "
            f"| {written['deviceScan']:,} B (0) | {written['floor'] / 1024:,.0f} KiB |")
    preview = ""
    if times["preview"]:
        shown = statistics.median(times["preview"])
        if shown / scan > PREVIEW_GOAL:
            missed.append(f"{rows:,} rows: preview/scan {shown / scan:.3f} above {PREVIEW_GOAL}")
        preview = (f"| {rows:,} | {num(scan * 1000)} ms | {num(shown * 1000)} ms "
                   f"| {shown / scan:.2f} ({PREVIEW_GOAL}) |")
    changed = ""
    if os.path.exists(os.path.join(results, f"changed-{rows}.json")):
        one = json.loads(read(results, f"changed-{rows}.json"))["results"][0]["median"]
        changed = (f"| {rows:,} | {num(scan * 1000)} ms | {num(one * 1000)} ms "
                   f"| {num(floor * 1000)} ms | {one / floor:.2f} |")
    return line, (rows, scan, floor), preview, changed


def trace_lines(results, missed):
    medians = {b["run_name"]: b for b in json.loads(read(results, "traceBench.json"))["benchmarks"]
               if b.get("aggregate_name") == "median"}
    if any(name not in medians for name, _ in TRACE):
        missed.append("trace channel: a benchmark failed (see traceBench.txt)")
        return []
    ns = {name: 1e9 / medians[name]["items_per_second"] for name, _ in TRACE}
    ratio = ns["BM_WriteDelivered"] / ns["BM_DebugLogDelivered"]
    dropped = ns["BM_DebugLogDropped"] / ns["BM_DebugLogDelivered"]
    if ratio < TRACE_RATIO_GOAL:
        missed.append(f"trace channel: DebugLog/write {ratio:.3f} below {TRACE_RATIO_GOAL}")
    if dropped >= 1:
        missed.append("trace channel: a dropped line costs more than a delivered one")
    length = int(medians["BM_DebugLogDelivered"]["line_bytes"])
    return ([f"| trace line ({length} bytes) | lines/s | ns a line |", "|---|---:|---:|"] +
            [f"| {label} | {1e9 / ns[name]:,.0f} | {ns[name]:.0f} |" for name, label in TRACE] +
            ["", f"DebugLog/write {ratio:.2f} (goal: at least {TRACE_RATIO_GOAL}); a dropped line "
             f"costs {dropped:.2f} of a delivered one (goal: below 1)."])


def main():
    results = sys.argv[1]
    what, date, load = read(results, "machine.txt").splitlines()
    sizes = sorted(int(p.rsplit("-", 1)[1].split(".")[0])
                   for p in glob.glob(os.path.join(results, "database-*.txt")))
    missed, lines, previews, changes, previous = [], [], [], [], None
    for rows in sizes:
        line, previous, preview, changed = size_line(results, rows, previous, missed)
        lines.append(line)
        previews += [preview] if preview else []
        changes += [changed] if changed else []
    if changes:
        changes = ["", "| HW_CONFIG rows | unchanged | one table changed | floor "
                   "| changed/floor |", "|---:|---:|---:|---:|---:|"] + changes
    if previews:
        previews = ["", "| HW_CONFIG rows | deviceScan | deviceScan --dry-run | preview/scan (goal) |",
                    "|---:|---:|---:|---:|"] + previews
    text = "\n".join(
        [f"Measured by `scripts/bench.sh` on {date}: {what}; load average {load} at the start.",
         "", "| HW_CONFIG rows | database | deviceScan, unchanged | floor | ratio (goal) "
         "| ratio by round | growth (floor) | peak memory (limit) | floor's peak "
         "| written (goal) | floor wrote |",
         "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"] + lines + changes +
        previews + [""] +
        trace_lines(results, missed) +
        ["", "Goals missed: " + "; ".join(missed) + "." if missed else "All goals met."])
    print(text)
    if len(sys.argv) == 4 and sys.argv[2] == "--readme":
        old = read(".", sys.argv[3])
        with open(sys.argv[3], "w") as f:
            f.write(old[:old.index(BEGIN) + len(BEGIN)] + "\n" + text + "\n" +
                    old[old.index(END):])


if __name__ == "__main__":
    main()
