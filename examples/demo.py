"""A 2-D formula with a conditional and a broadcast, with qelto and with NumPy.

The heights of a damped dome over a grid: `x` is a row of 4,000 points, `y` a
column of 2,500, and qelto broadcasts them to the 10-million-point grid as
NumPy would, reading both in place. Every element is then checked bit for
bit against Python's `math` module, which calls the same C library: that is
qelto's promise. NumPy's own vector functions round differently, so the demo
counts its differences instead of checking against it.
"""

import math
import time

import numpy as np

import qelto

DOME = "x*x + y*y < r2 ? sqrt(r2 - x*x - y*y) * exp(-x*y) : 0"
SAMPLES = 200_000


def best_time(run, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return result, best


def with_numpy(x, y, r2):
    inside = x * x + y * y < r2
    return np.where(inside, np.sqrt(np.maximum(r2 - x * x - y * y, 0.0)) * np.exp(-x * y), 0.0)


def with_math(x, y, r2):
    return math.sqrt(r2 - x * x - y * y) * math.exp(-x * y) if x * x + y * y < r2 else 0.0


def bits(value):
    return np.float64(value).view(np.int64)


def main():
    x = np.linspace(-1.2, 1.2, 4000)
    y = np.linspace(-1.2, 1.2, 2500)[:, np.newaxis]
    r2 = 1.0

    ours, our_time = best_time(lambda: qelto.query(DOME, x=x, y=y, r2=r2))
    theirs, numpy_time = best_time(lambda: with_numpy(x, y, r2))

    print(f"{DOME}\nover x of shape {x.shape} and y of shape {y.shape}: a result of shape {ours.shape}")
    print(f"qelto: {our_time * 1e3:8.1f} ms on {qelto.get_num_threads()} threads")
    print(f"NumPy: {numpy_time * 1e3:8.1f} ms   ({numpy_time / our_time:.2f}x our time)")

    rng = np.random.default_rng(1)
    rows = rng.integers(0, y.shape[0], SAMPLES)
    columns = rng.integers(0, x.shape[0], SAMPLES)
    wrong = [
        (i, j)
        for i, j in zip(rows.tolist(), columns.tolist())
        if bits(ours[i, j]) != bits(with_math(float(x[j]), float(y[i, 0]), r2))
    ]
    if wrong:
        raise SystemExit(f"{len(wrong)} of {SAMPLES:,} sampled elements differ from Python's math, first at {wrong[0]}")
    print(f"{SAMPLES:,} sampled elements: every bit equal to Python's math module")
    differ = np.count_nonzero(ours.view(np.int64) != theirs.view(np.int64))
    print(f"NumPy's result differs in the last bits in {differ:,} of {ours.size:,} elements (its own exp rounds differently)")


if __name__ == "__main__":
    main()
