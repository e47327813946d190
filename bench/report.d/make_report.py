#!/usr/bin/env python3
"""Turns the JSON of the benchmark binaries into a Markdown table of pairs
(ours, the baseline, their ratio, the target) and the data for the chart.

usage: make_report.py PAIRS_TSV JSON_DIR OUT_MD OUT_DAT BUILD_TYPE

A pair's optional sixth column names a counter to compare instead of the
time per iteration.
"""
import re
import json
import os
import sys


def load_times(json_dir):
    times = {}
    for name in sorted(os.listdir(json_dir)):
        if not name.endswith(".json"):
            continue
        binary = name[:-5]
        with open(os.path.join(json_dir, name)) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            # Repetitions and fixed iteration counts decorate the name.
            key = re.sub(r"/(iterations:\d+|real_time|repeats:\d+)", "", b.get("run_name", b["name"]))
            # Everything in nanoseconds; real time for the ones that measure
            # it on purpose (the benchmark chose UseRealTime), CPU otherwise.
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
            t = b["real_time"] if "/real_time" in b["name"] else b["cpu_time"]
            times[(binary, key)] = (t * scale, b)
            for counter, value in b.items():
                if isinstance(value, (int, float)):
                    times[(binary, key, counter)] = (value, b)
    return times, data.get("context", {})


def fmt_ns(ns):
    for unit, div in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= div:
            return f"{ns / div:.3g} {unit}"
    return f"{ns:.3g} ns"


def main():
    pairs_tsv, json_dir, out_md, out_dat, build_type = sys.argv[1:6]
    times, context = load_times(json_dir)
    rows, chart = [], []
    for line in open(pairs_tsv):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.rstrip("\n").split("\t")
        binary, ours, base, target, what = fields[:5]
        counter = fields[5] if len(fields) > 5 else None
        if counter:
            a, b = times.get((binary, ours, counter)), times.get((binary, base, counter))
        else:
            a, b = times.get((binary, ours)), times.get((binary, base))
        if not a or not b:
            rows.append(f"| {what} | {ours} | not run | | | |")
            continue
        ratio = a[0] / b[0]
        if target == "-":
            verdict, target_text = "", "none set"
        else:
            verdict = "met" if ratio <= float(target) else "**missed**"
            target_text = f"<= {target}x"
        show = (lambda v: f"{v:.3g} ({counter})") if counter else fmt_ns
        rows.append(f"| {what} | {show(a[0])} | {show(b[0])} | {ratio:.2f}x | {target_text} | {verdict} |")
        chart.append((f"{binary.replace('_bench', '')}: {ours.replace('BM_', '')}", ratio,
                      float(target) if target != "-" else 0))
    with open(out_md, "w") as f:
        f.write("# Benchmark report\n\n")
        f.write("Each row runs our code and its baseline in the same process, one after the\n"
                "other; the ratio is ours divided by the baseline (lower is better, 1x is\n"
                "parity).  Times are the median of three repetitions of the CPU time per\n"
                "iteration; the poll row compares the process CPU that 64 idle workers\n"
                "use in 5 s of wall time.\n\n")
        f.write(f"Machine: {context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
                f"load average {context.get('load_avg', '?')}, "
                f"our build {build_type}; taken {context.get('date', '?')}.\n\n")
        f.write("| What | Ours | Baseline | Ratio | Target | |\n|---|---|---|---|---|---|\n")
        f.write("\n".join(rows) + "\n\n![ratios](ratios.png)\n")
        notes = os.path.join(os.path.dirname(pairs_tsv), "notes.md")
        if os.path.exists(notes):
            f.write("\n" + open(notes).read())
    with open(out_dat, "w") as f:
        for i, (label, ratio, target) in enumerate(chart):
            f.write(f'{i}\t"{label}"\t{ratio:.4f}\t{target:.4f}\n')


if __name__ == "__main__":
    main()
