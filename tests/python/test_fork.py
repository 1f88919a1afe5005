"""A process forked after a parallel evaluation must still evaluate: the
OpenMP runtime's worker threads do not survive the fork."""

import multiprocessing
import os
import threading
import time

import numpy as np
import pytest

from _qelto import query

N = 100_000  # well above the size that opens a thread team
TIMEOUT = 20.0
EXPECTED_SUM = float(np.sum(np.arange(N, dtype=np.float64) * 2 + 1))

# Forking a process that has OpenMP worker threads is what is tested here.
forks_threaded_process = pytest.mark.filterwarnings(
    r"ignore:This process \(pid=\d+\) is multi-threaded, use of fork\(\) may lead to deadlocks"
    r" in the child\.:DeprecationWarning"
)


def evaluate_in_child(_=None):
    """Runs block-mode, element-wise and failing evaluations; True if all are right."""
    a = np.arange(N, dtype=np.float64)
    block = query("a * 2 + 1", a=a)
    elementwise = query("a > 10 ? a * 2 + 1 : a * 2 + 1", a=a)
    try:
        query("1 / (a - 5)", a=a)
        return False
    except RuntimeError as error:
        failed_right = str(error) == "Division by zero"
    return float(block.sum()) == EXPECTED_SUM and np.array_equal(block, elementwise) and failed_right


def run_parallel_evaluation_in_parent():
    a = np.arange(N, dtype=np.float64)
    assert float(query("a * 2 + 1", a=a).sum()) == EXPECTED_SUM


def wait_or_kill(pid):
    """The child's exit code, or None after killing it at the timeout."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return None


@forks_threaded_process
def test_forked_child_evaluates_after_parent_used_thread_team():
    run_parallel_evaluation_in_parent()
    pid = os.fork()
    if pid == 0:  # the child must never return into the test runner
        code = 2
        try:
            code = 0 if evaluate_in_child() else 1
        finally:
            os._exit(code)
    assert wait_or_kill(pid) == 0, "the child failed, or hung and was killed"
    run_parallel_evaluation_in_parent()


@forks_threaded_process
def test_grandchild_evaluates_too():
    run_parallel_evaluation_in_parent()
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            query("a + 1", a=np.arange(N, dtype=np.float64))
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if evaluate_in_child() else 1)
            code = wait_or_kill(grandchild)
        finally:
            os._exit(3 if code is None else code)
    assert wait_or_kill(pid) == 0


@forks_threaded_process
def test_fork_process_pool_evaluates_after_parent_used_thread_team():
    run_parallel_evaluation_in_parent()
    with multiprocessing.get_context("fork").Pool(2) as pool:
        results = pool.map_async(evaluate_in_child, range(4)).get(timeout=TIMEOUT)
    assert results == [True] * 4


# The fork may come while another thread of the parent has the helpers, in
# the middle of a team's evaluation: the child must not wait for them.
@forks_threaded_process
def test_child_forked_while_another_thread_evaluates_on_the_team():
    a = np.arange(N * 20, dtype=np.float64)
    stop = threading.Event()

    def evaluate_until_stopped():
        while not stop.is_set():
            query("sin(a) * 2 + 1", a=a)

    busy = threading.Thread(target=evaluate_until_stopped)
    busy.start()
    try:
        time.sleep(0.05)
        pids = []
        for _ in range(5):
            pid = os.fork()
            if pid == 0:
                os._exit(0 if evaluate_in_child() else 1)
            pids.append(pid)
            time.sleep(0.01)
        assert [wait_or_kill(pid) for pid in pids] == [0] * 5
    finally:
        stop.set()
        busy.join()
