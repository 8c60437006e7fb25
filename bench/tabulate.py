#!/usr/bin/env python3
"""Collects the figures of one scripts/bench run into one table and bench/results.json.

Usage: tabulate.py JSON_DIR RESULTS [--markdown]

JSON_DIR holds the Google Benchmark outputs of the run (one file per program) and,
when the test suite was timed, test_suite.json ({"wall_seconds": s, "aim_seconds": a,
"command": "..."}). Every figure is a benchmark with the counters measured, bound and
ratio (and aim_min / aim_max on the ratio when the figure has an aim).
"""
import datetime
import json
import pathlib
import platform
import sys


def figures_of(report):
    for b in report.get("benchmarks", []):
        if b.get("error_occurred"):
            yield {"figure": b["name"], "error": b.get("error_message", "failed")}
            continue
        if "ratio" not in b:
            continue
        yield {
            "figure": b["name"],
            "measured": b["measured"],
            "bound": b["bound"],
            "ratio": b["ratio"],
            "aim_min": b.get("aim_min"),
            "aim_max": b.get("aim_max"),
            "load_1min": b.get("load_1min"),
        }


def suite_figure(path):
    suite = json.loads(path.read_text())
    return {
        "figure": "TestSuite/" + suite["command"] + "/wall_s",
        "measured": suite["wall_seconds"],
        "bound": suite["aim_seconds"],
        "ratio": suite["wall_seconds"] / suite["aim_seconds"],
        "aim_min": None,
        "aim_max": 1.0,
        "load_1min": suite.get("load_1min"),
        "tests_passed": suite.get("passed"),
    }


def aim_text(f):
    lo, hi = f.get("aim_min"), f.get("aim_max")
    if lo is not None and hi is not None:
        return f"{lo:g}-{hi:g}"
    if lo is not None:
        return f">= {lo:g}"
    if hi is not None:
        return f"<= {hi:g}"
    return "-"


def met(f):
    if "error" in f or f.get("tests_passed") is False:
        return False
    lo, hi = f.get("aim_min"), f.get("aim_max")
    if lo is None and hi is None:
        return None
    return (lo is None or f["ratio"] >= lo) and (hi is None or f["ratio"] <= hi)


def number(x):
    return f"{x:.4g}" if abs(x) < 1e5 else f"{x:.0f}"


def rows(figures):
    head = ["figure", "measured", "bound", "ratio", "aim (ratio)", "met"]
    out = [head]
    for f in figures:
        if "error" in f:
            out.append([f["figure"], "-", "-", "-", aim_text(f), "ERROR: " + f["error"]])
            continue
        verdict = {True: "yes", False: "NO", None: "-"}[f["met"]]
        out.append([f["figure"], number(f["measured"]), number(f["bound"]),
                    f"{f['ratio']:.4f}", aim_text(f), verdict])
    return out


def text_table(table):
    widths = [max(len(r[i]) for r in table) for i in range(len(table[0]))]
    lines = []
    for n, r in enumerate(table):
        lines.append("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(table):
    lines = ["| " + " | ".join(table[0]) + " |", "|" + "---|" * len(table[0])]
    lines += ["| " + " | ".join(f"`{r[0]}`" if i == 0 else c for i, c in enumerate(r)) + " |"
              for r in table[1:]]
    return "\n".join(lines)


def main():
    json_dir, results = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    markdown = "--markdown" in sys.argv[3:]
    figures, contexts = [], {}
    for path in sorted(json_dir.glob("bench_*.json")):
        report = json.loads(path.read_text())
        contexts[path.stem] = report.get("context", {})
        figures.extend(figures_of(report))
    suite = json_dir / "test_suite.json"
    if suite.exists():
        figures.append(suite_figure(suite))
    for f in figures:
        f["met"] = met(f)
    load = (json_dir / "load.txt").read_text().splitlines() if (json_dir / "load.txt").exists() else []
    context = next(iter(contexts.values()), {})
    results.write_text(json.dumps({
        "command": "scripts/bench",
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": {
            "host": platform.node(),
            "cpus": context.get("num_cpus"),
            "mhz_per_cpu": context.get("mhz_per_cpu"),
            "build_type": "RelWithDebInfo",
        },
        "load": load,
        "figures": figures,
    }, indent=2) + "\n")
    table = rows(figures)
    print(markdown_table(table) if markdown else text_table(table))
    if load:
        print("\nload (uptime) during the run:")
        for line in load:
            print("  " + line)


if __name__ == "__main__":
    main()
