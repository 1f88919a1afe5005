"""How long Ctrl-C takes to stop a long evaluation.

Usage: interrupt_latency.py [ROUNDS]   (default 5)

A child process starts a call of several seconds over 10^6 elements; the
parent sends SIGINT a moment later and times the gap until the child reports
KeyboardInterrupt. The median and the worst of the rounds are printed for
each program. The machine is shared, so the figures include whatever else
runs beside it.
"""

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


if __name__ == "__main__":
    main()
