"""Times query() against NumPy for a table of expressions and sizes.

Usage: bench.py [PLOT.png]   (default: results.png beside this script)

Each time is the best of several repeats of a cached call (the first call,
which compiles, is not timed); NumPy computes the same formula the ordinary
way in the same run. The ratio is NumPy's time over ours: above 1 we win.
"""

import os
import sys
import timeit
from pathlib import Path

import numpy as np

from _qelto import query

SIZES = [10**3, 10**5, 10**6, 10**7]
REPEATS = 5

CASES = [
    ("a + b", lambda a, b, c: a + b),
    ("a * b + c", lambda a, b, c: a * b + c),
    ("((0.5*a - 1.2)*a + 3.1)*a - 0.7", lambda a, b, c: ((0.5 * a - 1.2) * a + 3.1) * a - 0.7),
    ("sin(a) * cos(b)", lambda a, b, c: np.sin(a) * np.cos(b)),
    ("exp(-a*a) + log(abs(b) + 1)", lambda a, b, c: np.exp(-a * a) + np.log(np.abs(b) + 1)),
    ("a < b", lambda a, b, c: (a < b).astype(np.float64)),
    ("a > b ? a - b : b * c", lambda a, b, c: np.where(a > b, a - b, b * c)),
]


def best_seconds_per_call(run, n):
    run()
    calls = max(1, 10**6 // n)
    return min(timeit.repeat(run, repeat=REPEATS, number=calls)) / calls


def measure():
    rng = np.random.default_rng(3)
    rows = []
    for n in SIZES:
        a, b, c = rng.uniform(-2.0, 2.0, size=(3, n))
        for expr, numpy_formula in CASES:
            ours = best_seconds_per_call(lambda: query(expr, a=a, b=b, c=c), n)
            theirs = best_seconds_per_call(lambda: numpy_formula(a, b, c), n)
            rows.append((expr, n, ours, theirs))
    return rows


def print_table(rows):
    print(f"{'expression':<34} {'n':>10} {'ours ms':>10} {'NumPy ms':>10} {'NumPy/ours':>11}")
    for expr, n, ours, theirs in rows:
        print(f"{expr:<34} {n:>10,} {ours * 1e3:>10.4f} {theirs * 1e3:>10.4f} {theirs / ours:>11.2f}")


def plot(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return
    fig, ax = plt.subplots(figsize=(8, 5))
    for expr, _ in CASES:
        points = [(n, theirs / ours) for e, n, ours, theirs in rows if e == expr]
        ax.plot(*zip(*points), marker="o", label=expr)
    ax.axhline(1.0, color="gray", linestyle="--", linewidth=1)
    ax.set_xscale("log")
    ax.set_xlabel("elements")
    ax.set_ylabel("NumPy time / our time")
    ax.set_title(f"query() against NumPy, {os.cpu_count()} cores")
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {path}")


def main():
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("results.png")
    coretype = os.environ.get("OPENBLAS_CORETYPE")
    if coretype:
        print(f"note: OPENBLAS_CORETYPE={coretype} (irrelevant here: no BLAS in elementwise work)")
    print(f"cores: {os.cpu_count()}, OMP_NUM_THREADS: {os.environ.get('OMP_NUM_THREADS', 'unset')}")
    rows = measure()
    print_table(rows)
    plot(rows, path)


if __name__ == "__main__":
    main()
