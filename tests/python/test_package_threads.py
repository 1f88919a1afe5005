"""The team size: qelto.set_num_threads and get_num_threads, process-wide,
and threadpoolctl's limits, which reach it through the registered
controller."""

import hashlib
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import qelto

threadpoolctl = pytest.importorskip("threadpoolctl")

TIMEOUT = 120


@pytest.fixture(autouse=True)
def runtime_default_afterwards():
    yield
    qelto.set_num_threads(None)


def setting():
    return qelto._entries.num_threads_setting()


def run_script(script):
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert child.returncode == 0, child.stderr[-3000:]
    return child.stdout.split()


@pytest.mark.parametrize("count", [1, 2, 3, np.int64(5), 1024])
def test_the_count_set_is_the_count_got(count):
    qelto.set_num_threads(count)
    assert qelto.get_num_threads() == count and setting() == count
    qelto.set_num_threads(None)
    assert setting() is None


@pytest.mark.parametrize(
    "count, error, message",
    [
        pytest.param(0, ValueError, "thread count must be from 1 to 1024 (got 0)", id="zero"),
        pytest.param(-1, ValueError, "thread count must be from 1 to 1024 (got -1)", id="negative"),
        pytest.param(1025, ValueError, "thread count must be from 1 to 1024 (got 1025)", id="too-many"),
        pytest.param(10**30, ValueError, f"thread count must be from 1 to 1024 (got {10**30})", id="huge"),
        pytest.param(1.5, TypeError, "thread count must be an int or None (got float)", id="float"),
        pytest.param(2.0, TypeError, "thread count must be an int or None (got float)", id="whole-float"),
        pytest.param("2", TypeError, "thread count must be an int or None (got str)", id="str"),
        pytest.param(True, TypeError, "thread count must be an int or None (got bool)", id="bool"),
        pytest.param(np.float64(2), TypeError, "thread count must be an int or None (got numpy.float64)", id="np-float"),
    ],
)
def test_bad_counts_are_refused_and_change_nothing(count, error, message):
    qelto.set_num_threads(3)
    with pytest.raises(error) as caught:
        qelto.set_num_threads(count)
    assert str(caught.value) == message
    assert qelto.get_num_threads() == 3


EXPRS = ["a * b - a / 3", "sin(a) + exp(b)", "a > b ? sqrt(abs(a)) : b*b", "min(a, b, 0.5) & 7"]


def digests(a, b):
    return [hashlib.sha256(qelto.query(expr, a=a, b=b).tobytes()).hexdigest() for expr in EXPRS]


def test_results_are_the_same_on_1_2_and_3_threads():
    a, b = np.random.default_rng(7).normal(size=(2, 100_003))
    seen = []
    for count in (1, 2, 3):
        qelto.set_num_threads(count)
        seen.append(digests(a, b))
    assert seen[0] == seen[1] == seen[2]


def test_the_count_is_process_wide():
    qelto.set_num_threads(3)
    seen = []
    worker = threading.Thread(target=lambda: seen.append(qelto.get_num_threads()))
    worker.start()
    worker.join()
    assert seen == [3]


@pytest.mark.parametrize("user_api", [None, "openmp"])
@pytest.mark.parametrize("before", [None, 3])
def test_threadpool_limits_limit_the_team_and_restore_what_was_set(user_api, before):
    qelto.set_num_threads(before)
    default = qelto.get_num_threads()
    with threadpoolctl.threadpool_limits(limits=1, user_api=user_api):
        assert qelto.get_num_threads() == 1 and setting() == 1
    assert setting() == before and qelto.get_num_threads() == default


def test_limits_of_blas_leave_the_team_alone():
    qelto.set_num_threads(3)
    with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):
        assert qelto.get_num_threads() == 3


def test_threadpool_info_lists_the_team():
    qelto.set_num_threads(2)
    ours = [info for info in threadpoolctl.threadpool_info() if info["internal_api"] == "qelto"]
    assert len(ours) == 1
    assert ours[0]["user_api"] == "openmp" and ours[0]["num_threads"] == 2
    assert ours[0]["version"] == qelto.__version__ and "_qelto" in ours[0]["filepath"]


# The runtime keeps the threads it starts, so the threads of the process
# beyond those before the first team show the largest team so far. The
# count is set first, so that only the controller can limit it.
TEAM_SCRIPT = """
import os
import sys
import numpy as np
{imports}

def added_threads():
    return len(os.listdir("/proc/self/task")) - before

a = np.ones(100_000)
before = len(os.listdir("/proc/self/task"))
qelto.set_num_threads(2)
with threadpool_limits(limits=1):
    qelto.query("a * 2", a=a)
print(added_threads())
qelto.query("a * 2", a=a)
print(added_threads())
qelto.set_num_threads(3)
qelto.query("a * 2", a=a)
print(added_threads())
"""


@pytest.mark.parametrize(
    "imports",
    [
        pytest.param("import qelto\nassert 'threadpoolctl' not in sys.modules\n"
                     "from threadpoolctl import threadpool_limits", id="threadpoolctl-after"),
        pytest.param("from threadpoolctl import threadpool_limits\nimport qelto", id="threadpoolctl-before"),
    ],
)
def test_the_team_runs_on_the_threads_it_is_given(imports):
    assert run_script(TEAM_SCRIPT.format(imports=imports)) == ["0", "1", "2"]


def test_a_child_forked_after_a_team_reports_one_thread():
    script = """
        import os
        import numpy as np
        import qelto
        qelto.set_num_threads(2)
        qelto.query("a * 2", a=np.ones(100_000))
        pid = os.fork()
        if pid == 0:
            os._exit(qelto.get_num_threads())
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), qelto.get_num_threads())
    """
    assert run_script(script) == ["1", "2"]


# A child forked before any team opened has no helpers to lose: it keeps the
# count and opens a team of its own helpers (the threads it adds).
def test_a_child_forked_before_any_team_keeps_the_count_and_opens_a_team():
    script = """
        import os
        import numpy as np
        import qelto
        qelto.set_num_threads(3)
        qelto.query("a * 2", a=np.ones(10))  # on the calling thread
        pid = os.fork()
        if pid == 0:
            before = len(os.listdir("/proc/self/task"))
            a = np.arange(1_000_000.0)
            right = np.array_equal(qelto.query("a * 2 + 1", a=a), a * 2 + 1)
            added = len(os.listdir("/proc/self/task")) - before
            os._exit(10 * qelto.get_num_threads() + added if right else 99)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), qelto.get_num_threads())
    """
    assert run_script(script) == ["32", "3"]
