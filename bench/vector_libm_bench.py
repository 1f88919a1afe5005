"""exp, log and pow on their own: NumPy's time over query's, measured side
by side in one process (rounds alternate, each side keeps its minimum).

Run it with the venv's python after `make module`; run it with another
build's python to compare builds (the README's table: this build against
one without the vector kernels).

usage: python bench/vector_libm_bench.py [--sizes 1000,10000,100000] [--rounds 9]
"""
import argparse
import time

import numpy as np

import _qelto

CASES = [
    ("exp(a)", lambda a, b: np.exp(a)),
    ("log(b)", lambda a, b: np.log(b)),
    ("pow(a, b)", lambda a, b: np.power(a, b)),
    ("exp(-a*a)+log(abs(b)+1)", lambda a, b: np.exp(-a * a) + np.log(np.abs(b) + 1)),
]


def measure(text, numpy_way, n, rounds):
    rng = np.random.default_rng(1)
    a, b = rng.standard_normal(n), rng.random(n) * 3
    kwargs = {v: x for v, x in (("a", a), ("b", b)) if v in text}
    calls = max(1, min(2000, 200_000 // n))
    best_ours = best_theirs = float("inf")
    for round_ in range(rounds + 1):
        t0 = time.perf_counter()
        for _ in range(calls):
            _qelto.query(text, **kwargs)
        t1 = time.perf_counter()
        for _ in range(calls):
            numpy_way(a, b)
        t2 = time.perf_counter()
        if round_:  # the first round warms up
            best_ours, best_theirs = min(best_ours, t1 - t0), min(best_theirs, t2 - t1)
    return best_ours / calls * 1e6, best_theirs / calls * 1e6


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1000,10000,100000,1000000")
    ap.add_argument("--rounds", type=int, default=9)
    args = ap.parse_args()
    decide = getattr(_qelto.query.__self__, "_vector_libm", None)  # builds before the hook have none
    decisions = decide() if decide else {}
    print("vector kernels: " + (", ".join(f"{name} {'used' if used else 'not used'} ({reason})"
                                          for name, (used, reason) in decisions.items()) or "not reported"))
    print(f"{'case':26s} {'n':>9s} {'ours us':>11s} {'NumPy us':>11s} {'NumPy/ours':>11s}")
    with np.errstate(all="ignore"):
        for text, numpy_way in CASES:
            for n in map(int, args.sizes.split(",")):
                ours, theirs = measure(text, numpy_way, n, args.rounds)
                print(f"{text:26s} {n:9d} {ours:11.2f} {theirs:11.2f} {theirs / ours:11.2f}")


if __name__ == "__main__":
    main()
