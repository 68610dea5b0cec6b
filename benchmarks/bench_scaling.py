"""Time and peak memory against n for the whole package, beside its peers.

Every `scaling_<topic>.py` beside this script contributes cases: a list
`CASES` of dicts with
    series: the label drawn in the figure ("prim_mst", "DBSCAN (sklearn)", ...)
    sizes:  the n to measure, in increasing order
    make:   make(n) -> tuple of arguments (built before the clock starts)
    run:    run(*arguments), the call that is timed
Each (series, n) runs in a fresh interpreter, so that its peak resident growth
(high-water mark minus resident size after `make`) is its own. A series stops
growing once one size exceeds --budget seconds. The table is printed and, when
matplotlib is installed, drawn on log-log axes into --figure.
"""
import argparse
import importlib
import json
import pathlib
import subprocess
import sys
import time

from timing import status_kib

HERE = pathlib.Path(__file__).resolve().parent


def measure_one(topic, series, n):
    """Runs one case in this process and prints its figures as JSON."""
    sys.path.insert(0, str(HERE))
    case = next(c for c in importlib.import_module(f"scaling_{topic}").CASES if c["series"] == series)
    arguments = case["make"](n)
    try:  # hand the heap freed while building the data back, so it does not hide growth
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the high-water mark to the current resident size
    before = status_kib("VmRSS")
    start = time.perf_counter()
    case["run"](*arguments)
    seconds = time.perf_counter() - start
    peak = (status_kib("VmHWM") - before) / 1024
    print(json.dumps({"topic": topic, "series": series, "n": n, "seconds": seconds, "peak_mib": peak}))


def measure(topic, series, n, timeout):
    command = [sys.executable, __file__, "--one", topic, series, str(n)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"topic": topic, "series": series, "n": n, "seconds": float("inf"), "peak_mib": float("nan")}
    if done.returncode != 0:
        print(done.stderr, file=sys.stderr)
        raise SystemExit(f"{series} at n={n} failed")
    return json.loads(done.stdout.strip().splitlines()[-1])


def draw(results, figure):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no figure drawn")
        return
    topics = sorted({r["topic"] for r in results})
    fig, axes = plt.subplots(2, len(topics), figsize=(5 * len(topics), 8), squeeze=False)
    for column, topic in enumerate(topics):
        rows = [r for r in results if r["topic"] == topic and r["seconds"] != float("inf")]
        for series in dict.fromkeys(r["series"] for r in rows):
            points = [r for r in rows if r["series"] == series]
            ns = [r["n"] for r in points]
            axes[0][column].loglog(ns, [r["seconds"] for r in points], "o-", label=series)
            axes[1][column].loglog(ns, [max(r["peak_mib"], 0.1) for r in points], "o-", label=series)
        axes[0][column].set_title(topic)
        axes[0][column].set_ylabel("time (s)")
        axes[1][column].set_ylabel("peak resident growth (MiB)")
        for row in (0, 1):
            axes[row][column].set_xlabel("n (points)")
            axes[row][column].grid(True, which="both", alpha=0.3)
            axes[row][column].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(figure, dpi=100)
    print(f"figure written to {figure}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--one", nargs=3, metavar=("TOPIC", "SERIES", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--only", action="append", help="topics to run (default: every scaling_*.py)")
    parser.add_argument("--max-n", type=int, default=None, help="skip sizes above this")
    parser.add_argument("--budget", type=float, default=120.0, help="stop a series after a size slower than this (s)")
    parser.add_argument("--figure", default="scaling.png")
    args = parser.parse_args()
    if args.one:
        measure_one(args.one[0], args.one[1], int(args.one[2]))
        return
    sys.path.insert(0, str(HERE))
    topics = args.only or sorted(p.stem[len("scaling_"):] for p in HERE.glob("scaling_*.py"))
    results = []
    print(f"{'topic':<10} {'series':<34} {'n':>9} {'time (s)':>10} {'peak (MiB)':>11}")
    for topic in topics:
        for case in importlib.import_module(f"scaling_{topic}").CASES:
            for n in case["sizes"]:
                if args.max_n and n > args.max_n:
                    break
                r = measure(topic, case["series"], n, timeout=max(10 * args.budget, 600))
                results.append(r)
                print(f"{topic:<10} {case['series']:<34} {n:>9} {r['seconds']:>10.3f} {r['peak_mib']:>11.1f}", flush=True)
                if r["seconds"] > args.budget:
                    break
    draw(results, args.figure)


if __name__ == "__main__":
    main()
