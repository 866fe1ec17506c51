#!/usr/bin/env python3
"""Turns the files bench/run leaves in bench/results into the Markdown table and the target
checks. Usage: bench/report.py RESULTS_DIR ROWS"""

import json
import os
import re
import sys

MIB = 1024 * 1024


def peak_rss(path):
    """Peak resident memory in bytes from a /usr/bin/time -v report."""
    with open(path) as f:
        match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read())
    return int(match.group(1)) * 1024


def wall_seconds(path):
    """Elapsed wall-clock seconds from a /usr/bin/time -v report (h:mm:ss or m:ss.ss)."""
    with open(path) as f:
        match = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", f.read())
    seconds = 0.0
    for part in match.group(1).split(":"):
        seconds = seconds * 60 + float(part)
    return seconds


def read_meta(path):
    """The name, format and input bench/run wrote for one tool, one key=value a line."""
    # Bytes that are not UTF-8 come back as the path bench/run meant.
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def label(path):
    name = os.path.basename(path)
    if name.endswith(".jsonl"):
        return "JSON Lines"
    return "JSON array" if name.endswith(".json") else "CSV"


def main():
    results, rows = sys.argv[1], int(sys.argv[2])
    tools = []
    i = 0
    while os.path.exists(f"{results}/tool_{i}.json"):
        with open(f"{results}/tool_{i}.json") as f:
            run = json.load(f)["results"][0]
        meta = read_meta(f"{results}/tool_{i}.meta")
        tools.append({"name": meta["name"], "format": meta["format"], "input": meta["input"],
                      "bytes": os.path.getsize(meta["input"]), "mean": run["mean"],
                      "stddev": run["stddev"] or 0, "rss": peak_rss(f"{results}/tool_{i}.time"),
                      "index": i})
        i += 1

    out = []
    out.append(f"{rows:,} records of ten mixed columns; every tool writes to /dev/null. "
               "Times are hyperfine means; × morvel is how many times longer the tool takes.")
    load = f"{results}/load.txt"
    if os.path.exists(load):
        with open(load) as f:
            averages = [line.rsplit(":", 1)[1].strip() for line in f if ":" in line]
        out.append(f"Load averages (1, 5, 15 min) before and after: {' / '.join(averages)}; "
                   f"{os.cpu_count()} CPUs.")
    out.append("")
    out.append("| Input | Tool | Time (s) | Input MB/s | × morvel | Peak RSS (MiB) |")
    out.append("|---|---|---:|---:|---:|---:|")
    morvel = {t["format"]: t for t in tools if t["name"] == "morvel"}
    for t in tools:
        base = morvel[t["format"]]
        out.append(f"| {label(t['input'])} ({t['bytes'] / 1e6:.0f} MB) | {t['name']} | "
                   f"{t['mean']:.3f} ± {t['stddev']:.3f} | {t['bytes'] / t['mean'] / 1e6:,.0f} | "
                   f"{t['mean'] / base['mean']:.2f} | {t['rss'] / MIB:,.1f} |")
    out.append("")

    functions = []
    i = 0
    while os.path.exists(f"{results}/function_{i}.json"):
        with open(f"{results}/function_{i}.json") as f:
            function = json.loads(f.read().strip().splitlines()[-1])
        function["rss"] = peak_rss(f"{results}/function_{i}.time")
        functions.append(function)
        i += 1
    if functions:
        out.append("| Python function | Input | Time (s) | Input MB/s | Output (MB) | "
                   "Peak RSS (MiB) |")
        out.append("|---|---|---:|---:|---:|---:|")
        for f in functions:
            out.append(f"| `{f['function']}` | {label(f['input'])} | {f['seconds']:.3f} | "
                       f"{f['input_bytes'] / f['seconds'] / 1e6:,.0f} | "
                       f"{f['output_bytes'] / 1e6:,.0f} | {f['rss'] / MIB:,.1f} |")
        out.append("")

    big = []
    i = 0
    while os.path.exists(f"{results}/big_{i}.time"):
        meta = read_meta(f"{results}/big_{i}.meta")
        big.append({"input": meta["input"], "bytes": os.path.getsize(meta["input"]),
                    "seconds": wall_seconds(f"{results}/big_{i}.time"),
                    "rss": peak_rss(f"{results}/big_{i}.time")})
        i += 1
    if big:
        out.append("The morvel command on about 1 GiB, one run each; the time is wall clock from "
                   "`/usr/bin/time`.")
        out.append("")
        out.append("| Input | Time (s) | Input MB/s | Peak RSS (MiB) |")
        out.append("|---|---:|---:|---:|")
        for b in big:
            out.append(f"| {label(b['input'])} ({b['bytes'] / 1e6:,.0f} MB, "
                       f"{b['bytes'] / 1024 ** 3:.2f} GiB) | {b['seconds']:.2f} | "
                       f"{b['bytes'] / b['seconds'] / 1e6:,.0f} | {b['rss'] / MIB:,.1f} |")
        out.append("")

    checks = []

    def ratio(fmt, name_start, at_least):
        base = morvel[fmt]
        for t in tools:
            if t["format"] == fmt and t["name"].startswith(name_start):
                r = t["mean"] / base["mean"]
                checks.append((f"{label(base['input'])}: morvel vs {t['name']}: {r:.2f}× "
                               f"(target ≥ {at_least}×)", r >= at_least))

    ratio("csv", "sqlite3", 20)
    ratio("csv", "plain Python", 60)
    ratio("csv", "scan-and-copy floor (one thread)", 1)
    for t in tools:
        if t["format"] == "csv" and t["name"] == "scan-and-copy floor (two threads)":
            r = morvel["csv"]["mean"] / t["mean"]
            checks.append((f"CSV: morvel vs {t['name']}: morvel takes {r:.2f}× its time "
                           "(target ≤ 1.25×)", r <= 1.25))
    ratio("json", "sqlite3", 20)
    ratio("jsonl", "sqlite3", 20)

    def memory(text, used, budget):
        checks.append((f"{text}: {used / MIB:,.1f} MiB (budget {budget / MIB:,.1f} MiB)",
                       used <= budget))

    memory("morvel CSV peak RSS", morvel["csv"]["rss"], morvel["csv"]["bytes"] + 32 * MIB)
    memory("morvel JSON Lines peak RSS", morvel["jsonl"]["rss"], 32 * MIB)
    x4 = f"{results}/jsonl_x4.time"
    if os.path.exists(x4):
        memory("morvel JSON Lines peak RSS at four times the lines", peak_rss(x4), 32 * MIB)
    memory("morvel JSON array peak RSS", morvel["json"]["rss"],
           1.5 * morvel["json"]["bytes"] + 32 * MIB)
    for b in big:
        memory(f"morvel {label(b['input'])} peak RSS on {b['bytes'] / 1024 ** 3:.2f} GiB",
               b["rss"], 64 * MIB)
    if not big:
        checks.append(("morvel peak RSS on the 1 GiB CSV, JSON Lines and JSON array inputs: "
                       "not measured (BIG_INPUTS=0)", None))
    for f in functions:
        if not f["function"].endswith("_file_to_sql"):
            memory(f"{f['function']} ({label(f['input'])}) peak RSS", f["rss"],
                   f["input_bytes"] + 2 * f["output_bytes"] + 32 * MIB)

    # output= streams into a file in the command's memory, and within a tenth of its time on the
    # same input (the 1 GiB CSV's one run, or the hyperfine mean on the smaller one).
    for f in functions:
        if not f["function"].endswith("(output=)"):
            continue
        command = [b["seconds"] for b in big if b["input"] == f["input"]] + \
            [t["mean"] for t in tools if t["name"] == "morvel" and t["input"] == f["input"]]
        size = f"{f['input_bytes'] / 1024 ** 3:.2f} GiB" if f["input_bytes"] >= 512 * MIB else \
            f"{f['input_bytes'] / 1e6:,.0f} MB"
        memory(f"{f['function']} ({label(f['input'])}, {size}) peak RSS", f["rss"], 64 * MIB)
        if command:
            r = f["seconds"] / command[0]
            checks.append((f"{f['function']} ({label(f['input'])}, {size}): {r:.2f}× the "
                           "command's time (target ≤ 1.1×)", r <= 1.1))
        else:
            checks.append((f"{f['function']} ({label(f['input'])}, {size}) against the command: "
                           "not measured", None))

    # The in-memory functions against the command on the same input: Python's share of the time.
    for f in functions:
        if f["function"].endswith("_file_to_sql") or "(output=)" in f["function"]:
            continue
        command = [t["mean"] for t in tools if t["name"] == "morvel" and t["input"] == f["input"]]
        if command:
            r = f["seconds"] / command[0]
            checks.append((f"{f['function']} ({label(f['input'])}): {r:.2f}× the command's time "
                           "(target ≤ 1.5×)", r <= 1.5))

    startup = [("morvel --version", 5), ("morvel on a 1 KB CSV file", 6)]
    for i, (text, budget) in enumerate(startup):
        path = f"{results}/startup_{i}.json"
        if not os.path.exists(path):
            checks.append((f"{text}: not measured", None))
            continue
        with open(path) as f:
            median = json.load(f)["results"][0]["median"] * 1000
        checks.append((f"{text}: {median:.1f} ms, median of 20 runs (target ≤ {budget} ms)",
                       median <= budget))

    out.append("Targets:")
    out.append("")
    for text, ok in checks:
        out.append(f"- {'skipped' if ok is None else 'met' if ok else 'MISSED'}: {text}")
    print("\n".join(out))


if __name__ == "__main__":
    main()
