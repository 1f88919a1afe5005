"""The interpreter exits cleanly while daemon threads are inside a query
entry, on every path: conversions, out=, errors after conversion, long
evaluations and compilations, and the thread-count hooks."""

import subprocess
import sys

import pytest

RUNS = 10

# Each target loops on one path; the main thread waits until the daemon
# thread has started, so that the exit finds it inside a call.
CHILD = """
import threading, time
import numpy as np
import qelto
from _qelto import query
x = np.random.default_rng(3).random(10**6)
started = threading.Event()
def loop(call):
    def run():
        started.set()
        while True:
            try:
                call()
            except RuntimeError:
                pass
    return run
def compile_long_texts():
    started.set()
    for i in range(10**9):
        query("x+" * 50000 + str(i), x=x[:1])
def limit_threads():
    from threadpoolctl import threadpool_limits
    started.set()
    while True:
        with threadpool_limits(limits=1):
            qelto.query("x * 2 + 1", x=x[:20000])
as_list = [float(i) for i in range(200000)]
as_ints = np.arange(200000)
strided = x[::3]
out = np.empty(200000)
divisors = [float(i % 7) for i in range(200000)]
targets = {{
    "native sines": loop(lambda: query("sin(x)", x=x)),
    "native long program": loop(lambda: query("c ? (x" + "*1.0000001+x" * 2000 + ") / x : 0", x=x, c=x)),
    "native compile": compile_long_texts,
    "native bytes": loop(lambda: query(b"x * 2 + 1", x=x)),
    "list": loop(lambda: qelto.query("x * 2 + 1", x=as_list)),
    "scalar": loop(lambda: qelto.query("x * k + 1", x=x, k=2.5)),
    "int array": loop(lambda: qelto.query("x * 2 + 1", x=as_ints)),
    "strided": loop(lambda: qelto.query("x * 2 + 1", x=strided)),
    "out": loop(lambda: qelto.query("x * 2 + 1", x=x[:200000], out=out)),
    "failing after conversion": loop(lambda: qelto.query("x / d", x=as_list, d=divisors)),
    "threadpoolctl": limit_threads,
}}
threading.Thread(target=targets[{target!r}], daemon=True).start()
started.wait(timeout=60)
time.sleep({delay})
"""

TARGETS = [
    "native sines",
    "native long program",
    "native compile",
    "native bytes",
    "list",
    "scalar",
    "int array",
    "strided",
    "out",
    "failing after conversion",
    "threadpoolctl",
]


@pytest.mark.parametrize("target", TARGETS)
def test_exit_with_a_daemon_thread_inside_query_returns_zero(target):
    # The runs start together, each leaving after its own short delay.
    children = [
        subprocess.Popen(
            [sys.executable, "-c", CHILD.format(target=target, delay=0.05 + 0.02 * run)],
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
