"""Two processes evaluating side by side: their default teams against one
thread each.

Usage: busy_machine.py [ROUNDS]   (default 3)

Two child processes each run the same loop of query calls at once, started
together; the figure is the time until both have finished. The loops run
with the default team in each process, then with qelto.set_num_threads(1)
in each, taking turns ROUNDS times, and the lowest of each is kept. On a
machine with as many cores as processes, teams that wait for each other's
descheduled threads, or spin while the other process works, make the
default slower than one thread each; the target is at most 1.3 times one
thread's time. The machine is shared, so other work beside it counts too.
"""

import statistics
import subprocess
import sys
import time

CASES = [
    ("a*b+c", "a*b+c"),
    ("sin*cos", "sin(a)*cos(b)"),
    ("where", "a > 0 ? sqrt(a) : -a"),
]
SIZES = [10**4, 10**5, 10**6]
# Each loop does about this much work on one thread.
LOOP_SECONDS = 0.4

CHILD = """
import sys, time
import numpy as np
import qelto
text, n, calls, threads = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
qelto.set_num_threads(None if threads == "default" else int(threads))
rng = np.random.default_rng(1)
a, b, c = rng.standard_normal(n), rng.random(n), rng.random(n)
kwargs = {v: x for v, x in zip("abc", (a, b, c)) if v in text}
for _ in range(3):
    qelto.query(text, **kwargs)
print("ready", flush=True)
sys.stdin.readline()
started = time.perf_counter()
for _ in range(calls):
    qelto.query(text, **kwargs)
print(time.perf_counter() - started, flush=True)
"""


def calls_for(text, n):
    import numpy as np

    import qelto

    qelto.set_num_threads(1)
    rng = np.random.default_rng(1)
    kwargs = {v: x for v, x in zip("abc", (rng.standard_normal(n), rng.random(n), rng.random(n))) if v in text}
    qelto.query(text, **kwargs)
    started = time.perf_counter()
    qelto.query(text, **kwargs)
    once = max(time.perf_counter() - started, 1e-6)
    qelto.set_num_threads(None)
    return max(10, int(LOOP_SECONDS / once))


def both_finish(text, n, calls, threads):
    """Seconds until both processes have run their loops."""
    children = [
        subprocess.Popen([sys.executable, "-c", CHILD, text, str(n), str(calls), threads],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for _ in range(2)
    ]
    try:
        for child in children:
            if child.stdout.readline().strip() != "ready":
                raise RuntimeError("a child did not start")
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        return max(float(child.stdout.readline()) for child in children)
    finally:
        for child in children:
            child.wait(timeout=600)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    print("two processes at once, each a loop of query calls: time until both finish (target: team/one <= 1.3)")
    print(f"{'case':<8} {'n':>8} {'calls':>6} {'team s':>8} {'one s':>8} {'team/one':>8}")
    ratios = []
    for n in SIZES:
        for name, text in CASES:
            calls = calls_for(text, n)
            team, one = [], []
            for _ in range(rounds):
                team.append(both_finish(text, n, calls, "default"))
                one.append(both_finish(text, n, calls, "1"))
            ratio = min(team) / min(one)
            ratios.append(ratio)
            print(f"{name:<8} {n:>8} {calls:>6} {min(team):>8.3f} {min(one):>8.3f} {ratio:>8.2f}", flush=True)
    print(f"two processes: worst team/one {max(ratios):.2f}, median {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
