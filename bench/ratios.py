#!/usr/bin/env python3
"""The hot paths' table: each of ours over its floor, from one run's JSON.

Usage: ratios.py OUT_DIR   (the *.json files scripts/bench wrote there)

Memory per port is read from OUT_DIR/memory/ when it is there: a process
that ran only that benchmark.

Each figure is the median of the run's repetitions (or the single run).
A row whose benchmarks are missing says so instead of inventing a figure.
"""
import json
import pathlib
import sys

# The peer's bytes per replicated field, times the 42 fields of a port.
PEER_BYTES_PER_PORT = 27.6 * 42

ROWS = [
    # (label, ours, floor, aim, what to read)
    ("Name-keyed map, 10k names: insert", "BM_Insert<ZefMap>", "BM_Insert<AbslMap>", 2.0, "cpu_time"),
    ("iterate", "BM_Iterate<ZefMap>", "BM_Iterate<AbslMap>", 2.0, "cpu_time"),
    ("remove while iterating", "BM_RemoveWhileIterating<ZefMap>", "BM_RemoveWhileIterating<AbslMap>", 2.0, "cpu_time"),
    ("look-up, present", "BM_LookUpPresent<ZefMap>", "BM_LookUpPresent<AbslMap>", 1.5, "cpu_time"),
    ("look-up, absent", "BM_LookUpAbsent<ZefMap>", "BM_LookUpAbsent<AbslMap>", 1.5, "cpu_time"),
    ("Driver poll, 48 ports x 42 statistics, all change", "BM_PollCycle/active:1",
     "BM_BaselinePlainStructs/active:1", 4.0, "cpu_time"),
    ("The same poll, one mount attached and draining: both sides in one thread", "BM_PollCycleWithMount",
     "BM_BaselinePlainStructsPlusMemcpy", 6.0, "cpu_time"),
    ("The same poll, the agent's side: poll, records, bytes copied out", "BM_PollCycleWithMountAgentSide",
     "BM_BaselinePlainStructsPlusMemcpy", 6.0, "cpu_time"),
    ("Value text form, print (ConditionOrChangedStat)", "Text/Print/ConditionOrChangedStat",
     "Text/PrintToChars/ConditionOrChangedStat", 2.0, "cpu_time"),
    ("Value text form, parse (ConditionOrChangedStat)", "Text/Parse/ConditionOrChangedStat",
     "Text/ParseFromChars/ConditionOrChangedStat", 2.0, "cpu_time"),
]


def load(out_dir):
    """name -> list of measurements (one per repetition)."""
    runs = {}
    for f in sorted(pathlib.Path(out_dir).glob("*.json")):
        for b in json.loads(f.read_text()).get("benchmarks", []):
            if b.get("run_type") == "aggregate":
                continue
            runs.setdefault(b["run_name"], []).append(b)
    return runs


def median(xs):
    xs = sorted(xs)
    n = len(xs)
    return xs[n // 2] if n % 2 else (xs[n // 2 - 1] + xs[n // 2]) / 2


def figure(runs, name, key):
    bs = runs.get(name)
    if not bs:
        return None
    return median([float(b[key]) for b in bs])


def fmt_time(ns):
    return f"{ns / 1000:.1f} µs" if ns >= 10000 else f"{ns:.1f} ns"


def table(runs, memory_runs=None):
    lines = ["| Measure | Ours | Floor, same run | Ratio | Aim |", "|---|---|---|---|---|"]
    for label, ours, floor, aim, key in ROWS:
        a, b = figure(runs, ours, key), figure(runs, floor, key)
        if a is None or b is None:
            lines.append(f"| {label} | not measured | | | at most {aim:g}x |")
            continue
        r = a / b
        verdict = "met" if r <= aim else "not met"
        lines.append(f"| {label} | {fmt_time(a)} | {fmt_time(b)} | {r:.2f}x | at most {aim:g}x: {verdict} |")
    per_port = all_in = alone = None
    # A fresh process's figure when there is one (scripts/bench makes it).
    for b in (memory_runs or runs).get("BM_BytesPerPort/iterations:1", []):
        per_port = float(b["bytes_per_port"])
        all_in = b.get("bytes_per_port_all")
        alone = b.get("entity_bytes_per_port")
    if per_port is None:
        lines.append("| Memory per port (configuration, status, statistics) | not measured | | | at most 1.2 KB |")
    else:
        # The aim is read on the three entities' own heap bytes when the run
        # has them; the rows after it add what sits beside them, the peer's
        # figure including its own table.
        aimed = float(alone) if alone is not None else per_port
        label = ("the three entities' heap bytes" if alone is not None
                 else "heap bytes with their share of the directories")
        verdict = "met" if aimed <= 1200 else "not met"
        lines.append(f"| Memory per port (configuration, status, statistics): {label} | {aimed:,.0f} B "
                     f"| peer's 27.6 B a field x 42 = {PEER_BYTES_PER_PORT:,.0f} B "
                     f"| {aimed / PEER_BYTES_PER_PORT:.2f}x | at most 1,200 B: {verdict} |")
        if alone is not None:
            lines.append(f"| The same with their share of the two directories' tables | {per_port:,.0f} B "
                         f"| | {per_port / PEER_BYTES_PER_PORT:.2f}x | |")
        if all_in is not None:
            lines.append(f"| The same with the port's descriptor and the benchmark's reactor | {float(all_in):,.0f} B "
                         f"| | {float(all_in) / PEER_BYTES_PER_PORT:.2f}x | |")
    return "\n".join(lines)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    runs = load(sys.argv[1])
    if not runs:
        sys.exit(f"no benchmark results in {sys.argv[1]}")
    memory_dir = pathlib.Path(sys.argv[1]) / "memory"
    print(table(runs, load(memory_dir) if memory_dir.is_dir() else None))


if __name__ == "__main__":
    main()
