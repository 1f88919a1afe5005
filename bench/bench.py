"""Times query() against NumPy computing the same formula, in one process.

Usage: bench.py [PLOT.png]   (default: results.png beside this script)

Machines here are shared and noisy, and fresh result arrays cost page faults
that swing mid-size timings several-fold, so ours and NumPy's rounds are
interleaved and the minimum of each is kept. Every call is a cache hit (the
first call, which compiles, is not timed). The ratio is NumPy's time over
ours: above 1 we win.
"""

import os
import sys
import time
from pathlib import Path

import numpy as np

from _qelto import query

SIZES = [1, 10**3, 10**4, 10**5, 10**6, 10**7]
ROUNDS = 7
ROUND_SECONDS = 0.02  # each round repeats the call for about this long

CASES = [
    ("a+b", lambda a, b, c: a + b),
    ("a*b+c", lambda a, b, c: a * b + c),
    ("2*a+3*b", lambda a, b, c: 2 * a + 3 * b),
    ("((2*a+3)*a-4)*a+5", lambda a, b, c: ((2 * a + 3) * a - 4) * a + 5),
    ("a/(b+1)", lambda a, b, c: a / (b + 1)),
    ("sqrt(a*a+b*b)", lambda a, b, c: np.sqrt(a * a + b * b)),
    ("sin(a)*cos(b)", lambda a, b, c: np.sin(a) * np.cos(b)),
    ("exp(-a*a)+log(abs(b)+1)", lambda a, b, c: np.exp(-a * a) + np.log(np.abs(b) + 1)),
    ("a*b-4.1*a > 2.5*b", lambda a, b, c: (a * b - 4.1 * a > 2.5 * b).astype(np.float64)),
    ("a > 0 ? sqrt(a) : -a", lambda a, b, c: np.where(a > 0, np.sqrt(np.abs(a)), -a)),
    ("a > b ? a - b : b*c", lambda a, b, c: np.where(a > b, a - b, b * c)),
    ("(a > 0 && b < 0.5) || c > 0.9", lambda a, b, c: (((a > 0) & (b < 0.5)) | (c > 0.9)).astype(np.float64)),
    # The same logic without jumps, the yardstick for the row above.
    ("((a > 0) * (b < 0.5) + (c > 0.9)) > 0",
     lambda a, b, c: (((a > 0) * (b < 0.5) + (c > 0.9)) > 0).astype(np.float64)),
    ("max(a, b, c)", lambda a, b, c: np.maximum(np.maximum(a, b), c)),
    ("(b*1000) & 255", lambda a, b, c: ((b * 1000).astype(np.int64) & 255).astype(np.float64)),
]


def calls_per_round(run):
    """How many calls fill about ROUND_SECONDS."""
    start = time.perf_counter()
    run()
    once = max(time.perf_counter() - start, 1e-7)
    return max(1, int(ROUND_SECONDS / once))


def seconds_per_call(run, calls):
    start = time.perf_counter()
    for _ in range(calls):
        run()
    return (time.perf_counter() - start) / calls


def measure_pair(ours, theirs):
    ours(), theirs()  # warm-up: compile, scratch, threads
    calls_ours, calls_theirs = calls_per_round(ours), calls_per_round(theirs)
    best_ours = best_theirs = float("inf")
    for _ in range(ROUNDS):
        best_ours = min(best_ours, seconds_per_call(ours, calls_ours))
        best_theirs = min(best_theirs, seconds_per_call(theirs, calls_theirs))
    return best_ours, best_theirs


def measure():
    rng = np.random.default_rng(3)
    rows = []
    for n in SIZES:
        a, b, c = rng.uniform(-2.0, 2.0, size=(3, n))
        for expr, formula in CASES:
            ours, theirs = measure_pair(lambda: query(expr, a=a, b=b, c=c), lambda: formula(a, b, c))
            rows.append((expr, n, ours, theirs))
            print(f"  {expr:<38} {n:>10,}  {theirs / ours:6.2f}", file=sys.stderr, flush=True)
    return rows


def print_table(rows):
    print(f"\nNumPy time / our time (above 1: we win); best of {ROUNDS} interleaved rounds\n")
    print(f"| {'expression':<38} | " + " | ".join(f"{n:>8.0e}" if n > 1 else f"{n:>8}" for n in SIZES) + " |")
    print("|" + "-" * 40 + "|" + "|".join("-" * 10 for _ in SIZES) + "|")
    for expr, _ in CASES:
        ratios = {n: theirs / ours for e, n, ours, theirs in rows if e == expr}
        print(f"| {expr:<38} | " + " | ".join(f"{ratios[n]:>8.2f}" for n in SIZES) + " |")
    print("\nour time per call, microseconds\n")
    for expr, _ in CASES:
        times = {n: ours for e, n, ours, _ in rows if e == expr}
        print(f"  {expr:<38} " + " ".join(f"{times[n] * 1e6:>10.2f}" for n in SIZES))


def machine():
    """The CPU model and core count, as the plot's title names them."""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name"))
    except (OSError, StopIteration):
        model = "unknown CPU"
    return f"{model}, {os.cpu_count()} cores"


def plot(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return
    fig, ax = plt.subplots(figsize=(11, 6))
    # Fifteen rows: colours repeat after ten, so markers and dashes tell them apart.
    markers, dashes = "osD^v<>", ["-", "--", ":"]
    for i, (expr, _) in enumerate(CASES):
        points = [(n, theirs / ours) for e, n, ours, theirs in rows if e == expr]
        ax.plot(*zip(*points), marker=markers[i % len(markers)], linestyle=dashes[i % len(dashes)],
                color=plt.get_cmap("tab10")(i % 10), markersize=4, label=expr)
    ax.axhline(1.0, color="gray", linestyle="--", linewidth=1)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("elements")
    ax.set_ylabel("NumPy time / our time")
    ax.set_title(f"query() against NumPy: {machine()}, OMP_NUM_THREADS {os.environ.get('OMP_NUM_THREADS', 'unset')}")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=80)
    print(f"plot written to {path}")


def main():
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("results.png")
    print(f"machine: {machine()}, OMP_NUM_THREADS: {os.environ.get('OMP_NUM_THREADS', 'unset')}")
    rows = measure()
    print_table(rows)
    plot(rows, path)


if __name__ == "__main__":
    main()
