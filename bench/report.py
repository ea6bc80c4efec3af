#!/usr/bin/env python3
"""Figures of a benchmark run, from the results directory of scripts/bench.sh:
deviceScan against its floor per size (hyperfine JSON, GNU time peaks) and the
trace channel against plain writes (Google Benchmark JSON), each held against
its goal. With --readme FILE, also rewrites FILE between the bench markers.

    report.py RESULTS [--readme FILE]
"""
import glob
import json
import os
import re
import statistics
import sys

GROWTH_GOAL = 1.1  # times the growth in rows: about 10x per 10x rows
MEMORY_FACTOR, MEMORY_SLACK_MIB = 3.0, 8.0
TRACE_RATIO_GOAL = 0.5
BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"
TRACE_LABELS = [("BM_DebugLogDelivered", "DebugLog, delivered"),
                ("BM_WriteDelivered", "plain write(), delivered"),
                ("BM_DebugLogDropped", "DebugLog, dropped at a full pipe")]
MIB = 1024.0 * 1024.0


def ratio_goal(rows):
    """At the sizes of a real analyser 1.1 times the floor; from 100,000 rows 1.5."""
    return 1.1 if rows <= 1000 else 1.5 if rows >= 100000 else None


def num(x):
    return f"{x:.2f}" if x < 10 else f"{x:.1f}" if x < 100 else f"{x:.0f}"


def read(results, name):
    with open(os.path.join(results, name)) as f:
        return f.read()


def scan_sizes(results, missed):
    sizes = sorted(int(re.search(r"(\d+)", os.path.basename(p)).group(1))
                   for p in glob.glob(os.path.join(results, "database-*.txt")))
    rows_out, previous = [], None
    for rows in sizes:
        times, rounds = {"deviceScan": [], "floor": []}, []
        for path in sorted(glob.glob(os.path.join(results, f"hyperfine-{rows}-*.json"))):
            medians = {}
            for result in json.load(open(path))["results"]:
                times[result["command"]] += result["times"]
                medians[result["command"]] = result["median"]
            rounds.append(medians["deviceScan"] / medians["floor"])
        peak = {name: max(map(int, read(results, f"memory-{rows}-{name}.txt").split())) / 1024
                for name in times}
        row = {"rows": rows, "runs": len(times["deviceScan"]),
               "rounds": f"{min(rounds):.2f}-{max(rounds):.2f}",
               "db": int(read(results, f"database-{rows}.txt")) / MIB,
               "scan": statistics.median(times["deviceScan"]),
               "floor": statistics.median(times["floor"]),
               "scanPeak": peak["deviceScan"], "floorPeak": peak["floor"]}
        row["ratio"] = row["scan"] / row["floor"]
        row["limit"] = MEMORY_FACTOR * row["db"] + MEMORY_SLACK_MIB
        row["growth"] = row["scan"] / previous["scan"] if previous else None
        row["floorGrowth"] = row["floor"] / previous["floor"] if previous else None
        goal = ratio_goal(rows)
        if goal and row["ratio"] > goal:
            missed.append(f"{rows:,} rows: ratio {row['ratio']:.2f} above {goal}")
        if previous and row["growth"] > GROWTH_GOAL * rows / previous["rows"]:
            missed.append(f"{rows:,} rows: growth {row['growth']:.1f}x above "
                          f"{GROWTH_GOAL * rows / previous['rows']:.0f}x")
        if row["scanPeak"] > row["limit"]:
            missed.append(f"{rows:,} rows: peak {row['scanPeak']:.1f} MiB above "
                          f"{row['limit']:.1f} MiB")
        rows_out.append(row)
        previous = row
    return rows_out


def trace_channel(results, missed):
    medians = {b["run_name"]: b for b in json.load(open(os.path.join(results, "traceBench.json")))
               ["benchmarks"] if b.get("aggregate_name") == "median"}
    names = [name for name, _ in TRACE_LABELS]
    if any(n not in medians for n in names):
        missed.append("trace channel: a benchmark failed (see traceBench.txt)")
        return None
    trace = {n: {"rate": medians[n]["items_per_second"], "ns": 1e9 / medians[n]["items_per_second"]}
             for n in names}
    trace["bytes"] = int(medians[names[0]]["line_bytes"])
    trace["ratio"] = trace[names[0]]["rate"] / trace[names[1]]["rate"]
    trace["dropped"] = trace[names[2]]["ns"] / trace[names[0]]["ns"]
    if trace["ratio"] < TRACE_RATIO_GOAL:
        missed.append(f"trace channel: DebugLog/write {trace['ratio']:.2f} "
                      f"below {TRACE_RATIO_GOAL}")
    if trace["dropped"] >= 1:
        missed.append("trace channel: a dropped line costs more than a delivered one")
    return trace


def growth(value):
    return f"{value:.1f}x" if value else "-"


def markdown(machine, rows, trace, missed):
    what, date, load = machine.splitlines()
    out = [f"Measured by `scripts/bench.sh --readme` on {date}: {what}; load average "
           f"{load} at the start.", "",
           "| HW_CONFIG rows | database | deviceScan | floor | ratio (goal) | rounds | growth "
           "| peak memory (limit) |", "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        goal = ratio_goal(r["rows"])
        ratio = f"{r['ratio']:.2f}" + (f" ({goal})" if goal else "")
        out.append(f"| {r['rows']:,} | {num(r['db'])} MiB | {num(r['scan'] * 1000)} ms "
                   f"| {num(r['floor'] * 1000)} ms | {ratio} | {r['rounds']} "
                   f"| {growth(r['growth'])} | {r['scanPeak']:.1f} MiB ({r['limit']:.1f}) |")
    if trace:
        out += ["", f"| trace line ({trace['bytes']} bytes) | lines/s | ns a line |",
                "|---|---:|---:|"]
        for name, label in TRACE_LABELS:
            out.append(f"| {label} | {trace[name]['rate']:,.0f} | {trace[name]['ns']:.0f} |")
        out += ["", f"DebugLog/write {trace['ratio']:.2f} (goal: at least {TRACE_RATIO_GOAL}); "
                f"a dropped line costs {trace['dropped']:.2f} of a delivered one (goal: below 1)."]
    out += ["", "Goals missed: " + "; ".join(missed) + "." if missed else "All goals met."]
    return "\n".join(out)


def main():
    results = sys.argv[1]
    missed = []
    machine = read(results, "machine.txt")
    rows = scan_sizes(results, missed)
    trace = trace_channel(results, missed)

    what, date, load = machine.splitlines()
    print(f"Machine: {what}; {date}, load average {load} at the start")
    print("\ndeviceScan against its floor: medians of hyperfine runs in alternating rounds, and "
          "the ratio's range over the rounds")
    print(f"{'rows':>9} {'runs':>5} {'db MiB':>8} {'scan ms':>9} {'floor ms':>9} {'ratio':>6} "
          f"{'goal':>5} {'rounds':>11} {'growth':>7} {'floor x':>7} {'scan MiB':>9} "
          f"{'floor MiB':>9} {'limit MiB':>9}")
    for r in rows:
        print(f"{r['rows']:>9} {r['runs']:>5} {r['db']:>8.2f} {r['scan'] * 1000:>9.2f} "
              f"{r['floor'] * 1000:>9.2f} {r['ratio']:>6.2f} {ratio_goal(r['rows']) or '-':>5} "
              f"{r['rounds']:>11} "
              f"{growth(r['growth']):>7} {growth(r['floorGrowth']):>7} {r['scanPeak']:>9.1f} "
              f"{r['floorPeak']:>9.1f} {r['limit']:>9.1f}")
    if trace:
        print(f"\nTrace channel, {trace['bytes']}-byte lines: medians of Google Benchmark "
              "repetitions, CPU time of the writing thread")
        for name, label in TRACE_LABELS:
            print(f"  {label:<34} {trace[name]['rate']:>11,.0f} lines/s "
                  f"{trace[name]['ns']:>7.0f} ns")
        print(f"  DebugLog/write {trace['ratio']:.2f} (goal: at least {TRACE_RATIO_GOAL}), "
              f"dropped/delivered {trace['dropped']:.2f} (goal: below 1)")
    print("\n" + ("Goals missed:\n  " + "\n  ".join(missed) if missed else "All goals met."))

    if len(sys.argv) == 4 and sys.argv[2] == "--readme":
        text = open(sys.argv[3]).read()
        begin, end = text.index(BEGIN) + len(BEGIN), text.index(END)
        with open(sys.argv[3], "w") as f:
            f.write(text[:begin] + "\n" + markdown(machine, rows, trace, missed) + "\n" +
                    text[end:])
        print(f"Figures written to {sys.argv[3]}")


if __name__ == "__main__":
    main()
