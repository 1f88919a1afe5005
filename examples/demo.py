"""Distances between 10 million pairs of points, with _qelto and with NumPy."""

import time

import numpy as np

from _qelto import query

N = 10_000_000
DISTANCE = "sqrt((x1 - x2)*(x1 - x2) + (y1 - y2)*(y1 - y2))"


def best_time(run, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return result, best


def main():
    rng = np.random.default_rng(1)
    x1, y1, x2, y2 = rng.uniform(-100.0, 100.0, size=(4, N))

    ours, our_time = best_time(lambda: query(DISTANCE, x1=x1, y1=y1, x2=x2, y2=y2))
    theirs, numpy_time = best_time(lambda: np.sqrt((x1 - x2) * (x1 - x2) + (y1 - y2) * (y1 - y2)))

    print(f"{DISTANCE} over {N:,} points")
    print("first results:", ours[:5])
    print(f"_qelto: {our_time * 1e3:8.1f} ms")
    print(f"NumPy:  {numpy_time * 1e3:8.1f} ms   ({numpy_time / our_time:.2f}x our time)")
    if not np.array_equal(ours, theirs):
        raise SystemExit("results differ from NumPy")
    print("results identical to NumPy's")


if __name__ == "__main__":
    main()
