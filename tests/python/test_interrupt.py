"""A long evaluation stops soon after Ctrl-C, with KeyboardInterrupt."""

import signal
import subprocess
import sys
import time

import pytest

# The child first times a sixteenth of the call, so the parent knows how long
# the whole call would take on the machine as loaded as it is now.
CHILD = """
import sys, time
import numpy as np
from _qelto import query
text = sys.stdin.read()
x = np.random.default_rng(11).random(10**6) + 1.0
part = x[: len(x) // 16]
query(text, x=x[:1])
started = time.monotonic()
query(text, x=part)
print("ready", 16 * (time.monotonic() - started), flush=True)
try:
    query(text, x=x)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""

# Each a few microseconds an element: a call of a second or more.
@pytest.mark.parametrize(
    "text",
    [
        pytest.param("sin(" * 250 + "x" + ")" * 250, id="nested-library-calls"),
        pytest.param("x" + "*1.0000001+x" * 20000, id="long-block-program"),
        pytest.param("x > 1.5 ? (x" + "*1.0000001+x" * 2000 + ") / x : 0", id="long-division-in-a-branch"),
    ],
)
def test_sigint_stops_a_long_evaluation_long_before_it_would_end(text):
    with subprocess.Popen(
        [sys.executable, "-c", CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    ) as child:
        try:
            child.stdin.write(text)
            child.stdin.close()
            word, whole_call = child.stdout.readline().split()
            assert word == "ready"
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            line = child.stdout.readline().strip()
            waited = time.monotonic() - sent
            assert line == "interrupted"
            # Load slows the call and the interrupt alike; a wide margin.
            assert waited < float(whole_call) / 4, f"{waited:.2f} s after SIGINT, the call takes {whole_call} s"
            assert child.wait(timeout=60) == 0
        finally:
            child.kill()
