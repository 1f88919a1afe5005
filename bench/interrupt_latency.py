"""How long Ctrl-C takes to stop a long evaluation.

Usage: interrupt_latency.py [ROUNDS]   (default 5)

A child process starts a call of several seconds over 10^6 elements; the
parent sends SIGINT a moment later and times the gap until the child reports
KeyboardInterrupt. The median and the worst of the rounds are printed for
each program. The machine is shared, so the figures include whatever else
runs beside it.

Then a memory-bound call, a*b+a over 2*10^7 elements into a fresh result,
whose work is mostly memory traffic and page faults: a timer signal every
half millisecond makes Python's handler run at every check the call makes,
and the handler notes the calling thread's CPU time. The longest gap is the
most CPU the caller spent on one piece; the target is about 20 ms.
"""

import json
import signal
import statistics
import subprocess
import sys
import time

ELEMENTS = 10**6
TAIL = "*1.0000001+x" * 40000

PROGRAMS = [
    ("40,000 products, block route", "x" + TAIL),
    ("the same divided in a branch", "c > 0.5 ? (x" + TAIL + ") / y : 0"),
]

CHILD = """
import sys
import numpy as np
from _qelto import query
n = int(sys.argv[1])
text = sys.stdin.read()
rng = np.random.default_rng(7)
x, y, c = rng.random(n) + 1.0, rng.random(n) + 1.0, rng.random(n)
query(text, x=x[:1], y=y[:1], c=c[:1])
print("ready", flush=True)
try:
    query(text, x=x, y=y, c=c)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""

# Long enough for the call to be well under way, far shorter than the call.
DELAY_SECONDS = 0.5


def latency(text):
    """Seconds from SIGINT to the child's report, or None if it finished."""
    with subprocess.Popen(
        [sys.executable, "-c", CHILD, str(ELEMENTS)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    ) as child:
        try:
            child.stdin.write(text)
            child.stdin.close()
            if child.stdout.readline().strip() != "ready":
                raise RuntimeError("the child did not start")
            time.sleep(DELAY_SECONDS)
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            line = child.stdout.readline().strip()
            waited = time.monotonic() - sent
            child.wait(timeout=120)
            return waited if line == "interrupted" else None
        finally:
            child.kill()


PIECES_CHILD = """
import json, signal, sys, time
import numpy as np
import qelto
n, threads, rounds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
qelto.set_num_threads(None if threads == "default" else int(threads))
rng = np.random.default_rng(7)
a, b = rng.random(n), rng.random(n)
qelto.query("a*b+a", a=a, b=b)
stamps = []
signal.signal(signal.SIGALRM, lambda *_: stamps.append(time.thread_time()))
longest, pieces = [], []
for _ in range(rounds):
    stamps.clear()
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    start = time.thread_time()
    qelto.query("a*b+a", a=a, b=b)
    end = time.thread_time()
    signal.setitimer(signal.ITIMER_REAL, 0)
    marks = [start] + [t for t in stamps if start < t < end] + [end]
    gaps = [later - earlier for earlier, later in zip(marks, marks[1:])]
    longest.append(max(gaps))
    pieces.append(len(gaps))
print(json.dumps({"longest": longest, "pieces": pieces}))
"""

MEMORY_BOUND_ELEMENTS = 2 * 10**7


def memory_bound_pieces(threads, rounds):
    child = subprocess.run(
        [sys.executable, "-c", PIECES_CHILD, str(MEMORY_BOUND_ELEMENTS), threads, str(rounds)],
        capture_output=True, text=True, check=True, timeout=600,
    )
    return json.loads(child.stdout)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    print(f"SIGINT latency over {ELEMENTS:,} elements, {rounds} rounds (target: under 0.25 s)")
    for label, text in PROGRAMS:
        figures = [latency(text) for _ in range(rounds)]
        stopped = [f for f in figures if f is not None]
        if not stopped:
            print(f"  {label:32s} finished before the signal every time")
            continue
        print(
            f"  {label:32s} median {statistics.median(stopped):6.3f} s   worst {max(stopped):6.3f} s"
            f"   ({len(figures) - len(stopped)} finished first)"
        )
    print(f"a*b+a over {MEMORY_BOUND_ELEMENTS:,} elements: the caller's CPU between two checks (target: about 20 ms)")
    for threads in ("1", "default"):
        seen = memory_bound_pieces(threads, max(rounds, 5))
        longest = [1e3 * t for t in seen["longest"]]
        print(
            f"  {threads + ' thread(s)':32s} longest piece: median {statistics.median(longest):6.1f} ms"
            f"   worst {max(longest):6.1f} ms   ({statistics.median(seen['pieces']):.0f} pieces a call)"
        )


if __name__ == "__main__":
    main()
