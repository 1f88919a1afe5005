"""Times query() in a loop that also does NumPy work of the same size.

Usage: mixed_numpy_loop.py

Each step calls query("a*b+c") and then computes np.sqrt(np.abs(r)) +
np.abs(a), as real programs alternate the two. The loop runs in two child
processes: one with glibc's default allocator settings, under which freed
heap memory goes back to the kernel and must be faulted in again, and one
with settings that keep the heap. The figures are medians per step: the
query call alone, the whole step, and the minor page faults (fresh pages
mapped in) during the query call, which do not depend on other load. The two children take turns ROUNDS
times and the lowest median of each is shown, as other work on the machine
can slow any one run.
"""

import json
import os
import resource
import statistics
import subprocess
import sys
import time

SIZES = [10**4, 10**5, 10**6, 10**7]
WARMUP_STEPS = 5
ROUNDS = 3
KEEP_HEAP = {
    "MALLOC_MMAP_THRESHOLD_": "1000000000",
    "MALLOC_TRIM_THRESHOLD_": "100000000000",
    "MALLOC_TOP_PAD_": "100000000",
}


def steps_for(n):
    return max(15, min(1000, 3 * 10**7 // n))


def run_loop(n):
    """Medians of the query call's seconds, the step's seconds and the query call's page faults."""
    import numpy as np

    from _qelto import query

    rng = np.random.default_rng(14)
    a, b, c = rng.uniform(-2.0, 2.0, size=(3, n))
    query_times, step_times, faults = [], [], []
    for step in range(WARMUP_STEPS + steps_for(n)):
        faults_before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        start = time.perf_counter()
        r = query("a*b+c", a=a, b=b, c=c)
        queried = time.perf_counter()
        faults_during = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults_before
        s = np.sqrt(np.abs(r)) + np.abs(a)
        done = time.perf_counter()
        del s
        if step >= WARMUP_STEPS:
            query_times.append(queried - start)
            step_times.append(done - start)
            faults.append(faults_during)
    return statistics.median(query_times), statistics.median(step_times), statistics.median(faults)


def child():
    print(json.dumps({n: run_loop(n) for n in SIZES}))


def measure(extra_env):
    env = {k: v for k, v in os.environ.items() if k not in KEEP_HEAP}
    env.update(extra_env)
    out = subprocess.run([sys.executable, __file__, "--child"], env=env, check=True, capture_output=True, text=True)
    return {int(n): figures for n, figures in json.loads(out.stdout).items()}


def lowest(runs):
    return {n: tuple(min(figure) for figure in zip(*(run[n] for run in runs))) for n in SIZES}


def main():
    runs = [(measure({}), measure(KEEP_HEAP)) for _ in range(ROUNDS)]
    defaults = lowest([default for default, _ in runs])
    kept = lowest([k for _, k in runs])
    print(
        f"{'n':>10} {'query default us':>17} {'query kept us':>14} {'ratio':>6}"
        f" {'step default us':>16} {'step kept us':>13} {'faults default':>15} {'faults kept':>12}"
    )
    for n in SIZES:
        (q_default, s_default, f_default), (q_kept, s_kept, f_kept) = defaults[n], kept[n]
        print(
            f"{n:>10,} {q_default * 1e6:>17.1f} {q_kept * 1e6:>14.1f} {q_default / q_kept:>6.2f}"
            f" {s_default * 1e6:>16.1f} {s_kept * 1e6:>13.1f} {f_default:>15.0f} {f_kept:>12.0f}"
        )

if __name__ == "__main__":
    child() if sys.argv[1:] == ["--child"] else main()
