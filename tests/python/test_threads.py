import hashlib
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from _qelto import query
from conftest import running_under_address_sanitizer


def test_concurrent_callers_all_get_correct_results(rng, assert_same_bits):
    n = 1_000_003
    a, b, c = rng.normal(size=(3, n))
    zero_divisor = np.ones(n)
    zero_divisor[n // 2] = 0.0
    jobs = [("a * b + c", a * b + c)] * 3
    jobs += [(f"a * {k} - b / 2 + c", a * k - b / 2 + c) for k in range(3, 6)]
    barrier = threading.Barrier(len(jobs) + 1)

    def run(expr):
        barrier.wait()
        return [query(expr, a=a, b=b, c=c) for _ in range(3)]

    def fail_evaluation():
        barrier.wait()
        with pytest.raises(RuntimeError, match="^Division by zero$"):
            query("a / b", a=a, b=zero_divisor)

    with ThreadPoolExecutor(max_workers=len(jobs) + 1) as pool:
        failing = pool.submit(fail_evaluation)
        futures = [pool.submit(run, expr) for expr, _ in jobs]
        failing.result()
        for future, (_, expected) in zip(futures, jobs):
            for result in future.result():
                assert_same_bits(result, expected)


class Counter(threading.Thread):
    """Counts while it runs, sleeping between steps so others can take the lock."""

    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = False

    def run(self):
        while not self.stop:
            self.count += 1
            time.sleep(0.0005)


# With a huge switch interval the interpreter never takes the lock from a
# running thread, so the counter can only advance during a call of query if
# query itself releases it. Calls call(attempt) until one lets the counter
# advance by more than `enough`, and returns every advance seen.
def counts_during_calls(call, attempts, enough):
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    counter = Counter()
    counter.start()
    advanced = []
    try:
        for attempt in range(attempts):
            before = counter.count
            call(attempt)
            advanced.append(counter.count - before)
            if advanced[-1] > enough:
                break
    finally:
        counter.stop = True
        counter.join()
        sys.setswitchinterval(old_interval)
    return advanced


def test_other_threads_run_during_an_evaluation(rng):
    a = rng.uniform(-5.0, 5.0, size=4_000_000)
    expr = "sin(a) * cos(a) + exp(a / 10)"
    query(expr, a=a)
    advanced = counts_during_calls(lambda _: query(expr, a=a), attempts=20, enough=0)
    assert advanced[-1] > 0, advanced


# Each attempt compiles a new text of 2 MB, a few tenths of a second of
# work (about 300 counts); evaluating its one element releases the lock for
# a few milliseconds only (under 10 counts).
def test_other_threads_run_during_a_long_compilation():
    x = np.ones(1)
    body = " + x * 1.25" * 200_000

    def compile_new_text(attempt):
        assert query(f"{attempt}{body}", x=x)[0] == attempt + 250_000

    advanced = counts_during_calls(compile_new_text, attempts=5, enough=50)
    assert advanced[-1] > 50, advanced


DIGEST_SCRIPT = """
import hashlib
import numpy as np
from _qelto import query
a, b = np.random.default_rng(7).normal(size=(2, 100_003))
for expr in {exprs!r}:
    print(hashlib.sha256(query(expr, a=a, b=b).tobytes()).hexdigest())
"""

EXPRS = ["a * b - a / 3", "sin(a) + exp(b)", "a > b ? sqrt(abs(a)) : b*b", "min(a, b, 0.5) & 7"]


def digests_with_threads(thread_count):
    env = dict(os.environ, OMP_NUM_THREADS=str(thread_count))
    completed = subprocess.run(
        [sys.executable, "-c", DIGEST_SCRIPT.format(exprs=EXPRS)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
        timeout=120,
    )
    return completed.stdout.split()


def test_results_do_not_depend_on_thread_count():
    a, b = np.random.default_rng(7).normal(size=(2, 100_003))
    here = [hashlib.sha256(query(expr, a=a, b=b).tobytes()).hexdigest() for expr in EXPRS]
    assert digests_with_threads(1) == here
    assert digests_with_threads(2) == here


# Under an address-space limit, 30 Python threads ask for teams of 64: the
# helpers that cannot be started are done without, and every call either
# gives the one-thread bits or a MemoryError of its own result. Each thread
# does its work once before the limit: glibc ends the process when it cannot
# allocate a thread's first thread-local data of a loaded library, whoever's.
ADDRESS_SPACE_SCRIPT = """
import os, resource, threading
import numpy as np
import qelto
threading.stack_size(1 << 20)
x = np.linspace(0.0, 1.0, 200_000)
qelto.set_num_threads(1)
expected = qelto.query("sin(x) * 2", x=x)
outcomes = []
ready = threading.Barrier(31, timeout=60)
start = threading.Barrier(31, timeout=60)

def run():
    np.array_equal(qelto.query("sin(x) * 2", x=x[:10]), expected[:10])
    ready.wait()
    start.wait()
    for _ in range(10):
        for n in (1500, 3000, 200_000):
            try:
                outcomes.append("same" if np.array_equal(qelto.query("sin(x) * 2", x=x[:n]), expected[:n]) else "wrong")
            except MemoryError:
                outcomes.append("memory")

threads = [threading.Thread(target=run) for _ in range(30)]
for thread in threads:
    thread.start()
ready.wait()
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (300 << 20), resource.RLIM_INFINITY))
qelto.set_num_threads(64)
start.wait()
for thread in threads:
    thread.join()
print(len(outcomes), outcomes.count("wrong"), outcomes.count("same") > 0)
"""


@pytest.mark.skipif(running_under_address_sanitizer(), reason="the sanitizer reserves far more address space")
def test_helpers_that_cannot_start_leave_the_calls_right():
    env = dict(os.environ, MALLOC_ARENA_MAX="2")
    completed = subprocess.run(
        [sys.executable, "-c", ADDRESS_SPACE_SCRIPT], env=env, capture_output=True, text=True, timeout=300
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    assert completed.stdout.split() == ["900", "0", "True"]
