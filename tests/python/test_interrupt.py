"""A long evaluation stops soon after Ctrl-C, with KeyboardInterrupt."""

import signal
import subprocess
import sys
import time

# 60 nested sines over 10^7 elements: several seconds of work on two cores.
CHILD = """
import sys, time
import numpy as np
from _qelto import query
a = np.linspace(0.0, 1.0, 10_000_000)
text = "sin(" * 60 + "a" + ")" * 60
query(text, a=a[:10])
print("ready", flush=True)
try:
    query(text, a=a)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_sigint_interrupts_a_long_evaluation():
    with subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(1.0)
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            line = child.stdout.readline().strip()
            waited = time.monotonic() - sent
            assert line == "interrupted"
            assert waited < 0.5, f"KeyboardInterrupt came {waited:.2f} s after SIGINT"
            assert child.wait(timeout=30) == 0
        finally:
            child.kill()
