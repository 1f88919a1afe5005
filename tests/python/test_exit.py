"""The interpreter exits cleanly while daemon threads are inside query."""

import subprocess
import sys

import pytest

RUNS = 10

# The main thread waits until the daemon thread is about to call query, so
# that the exit finds it inside a call, evaluating or compiling.
CHILD = """
import threading, time
import numpy as np
from _qelto import query
x = np.random.default_rng(3).random(10**6)
started = threading.Event()
def evaluate_sines():
    started.set()
    while True:
        query("sin(x)", x=x)
def evaluate_a_long_program():
    started.set()
    while True:
        query("c ? (x" + "*1.0000001+x" * 2000 + ") / x : 0", x=x, c=x)
def compile_long_texts():
    started.set()
    for i in range(10**9):
        query("x+" * 50000 + str(i), x=x[:1])
threading.Thread(target={target}, daemon=True).start()
started.wait(timeout=60)
time.sleep({delay})
"""


@pytest.mark.parametrize("target", ["evaluate_sines", "evaluate_a_long_program", "compile_long_texts"])
def test_exit_with_a_daemon_thread_inside_query_returns_zero(target):
    # The runs start together, each leaving after its own short delay.
    children = [
        subprocess.Popen(
            [sys.executable, "-c", CHILD.format(target=target, delay=0.05 + 0.01 * run)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for run in range(RUNS)
    ]
    outcomes = []
    for child in children:
        _, errors = child.communicate(timeout=120)
        outcomes.append((child.returncode, errors.strip()))
    assert outcomes == [(0, "")] * RUNS
