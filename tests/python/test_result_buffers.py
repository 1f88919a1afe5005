"""Large results take their memory from a cache of freed result buffers.
Each result must still be an ordinary, independent array, whatever buffer
it was given, and the cache must stay correct across threads and forks and
bounded in memory."""

import json
import queue
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from numpy._core.multiarray import get_handler_name

from _qelto import query

CACHED_MIN = 16_384  # elements: the first result size taken from the cache
CACHE_BYTES = 64 << 20
TIMEOUT = 120
HANDLER = "qelto_result_buffers"

# Either side of the smallest cached size and of two size-class edges
# (the buffer's header and data filling a class exactly, and one more
# element), and one result above the huge-page size.
SIZES = [0, 1, CACHED_MIN - 1, CACHED_MIN, 32_760, 32_761, 98_296, 98_297, 300_000]


def run_script(script):
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert child.returncode == 0, child.stderr[-3000:]
    return child.stdout


@pytest.mark.parametrize("n", SIZES)
def test_result_is_an_ordinary_array_owning_its_data(n):
    a = np.arange(float(n))
    result = query("a * 2 + 1", a=a)
    assert result.dtype == np.float64 and result.shape == (n,)
    assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable and result.flags.aligned
    assert result.base is None
    assert np.array_equal(result, a * 2 + 1)
    assert get_handler_name(result) == (HANDLER if n >= CACHED_MIN else "default_allocator")


def test_numpy_keeps_its_own_allocator():
    query("a + 1", a=np.ones(CACHED_MIN * 4))
    assert get_handler_name() == "default_allocator"
    assert get_handler_name(np.empty(CACHED_MIN * 4)) == "default_allocator"


@pytest.mark.parametrize("n", [n for n in SIZES if n >= CACHED_MIN])
def test_reused_buffer_holds_the_new_values(n):
    a = np.arange(float(n))
    first = query("a * 3", a=a)
    address = first.ctypes.data
    del first
    second = query("0 - a", a=a)
    assert second.ctypes.data == address, "the freed buffer was not reused"
    assert np.array_equal(second, -a)


def test_results_alive_together_never_share_memory(rng):
    alive = {}
    for k in range(300):
        n = int(rng.integers(CACHED_MIN, 200_000))
        alive[k] = query(f"a + {k}", a=np.zeros(n))
        if k % 3 == 2:  # drops feed buffers back while others stay alive
            del alive[k - 1]
    spans = sorted((r.ctypes.data, r.ctypes.data + r.nbytes) for r in alive.values())
    assert all(end <= start for (_, end), (start, _) in zip(spans, spans[1:]))
    assert all(np.all(r == k) for k, r in alive.items())


# Resizing in place goes through the cache's realloc; NumPy zeroes the new tail.
@pytest.mark.parametrize("new_size", [3, CACHED_MIN + 10, 40_000, 500_000])
def test_resized_result_keeps_its_prefix(new_size):
    a = np.arange(float(CACHED_MIN + 10))
    result = query("a + 1", a=a)
    result.resize(new_size)
    kept = min(new_size, a.size)
    assert np.array_equal(result[:kept], a[:kept] + 1)
    assert not result[kept:].any()


# Results are dropped by another thread than the one that made them.
def test_threads_making_and_dropping_results_all_get_their_values():
    threads, rounds = 6, 150
    handoff = queue.Queue(maxsize=8)
    errors = []

    def make(index):
        try:
            for round_ in range(rounds):
                a = np.full(CACHED_MIN + 997 * (round_ % 7), float(index))
                result = query(f"a * 1000 + {round_}", a=a)
                if not np.all(result == index * 1000 + round_):
                    errors.append((index, round_))
                handoff.put(result)
        except BaseException as error:
            errors.append(repr(error))

    def drop():
        while handoff.get() is not None:
            pass

    dropper = threading.Thread(target=drop, daemon=True)
    makers = [threading.Thread(target=make, args=(i,), daemon=True) for i in range(threads)]
    dropper.start()
    for thread in makers:
        thread.start()
    for thread in makers:
        thread.join(TIMEOUT)
    handoff.put(None)
    dropper.join(TIMEOUT)
    assert not any(thread.is_alive() for thread in [*makers, dropper]), "a thread is stuck"
    assert errors == []


def test_forked_children_start_from_the_parents_cache_and_stay_correct():
    run_script(
        """
        import os, signal
        import numpy as np
        from _qelto import query

        a = np.arange(50_000.0)

        def churn(tag):
            kept = [query(f"a * 0 + {tag} + {k}", a=a) for k in range(10)]
            for k, r in enumerate(kept):
                assert np.all(r == tag + k), (tag, k)
            addresses = {r.ctypes.data for r in kept}
            del kept, r
            return addresses

        def fork_and_wait(work):
            pid = os.fork()
            if pid == 0:
                signal.alarm(30)
                code = 1
                try:
                    work()
                    code = 0
                finally:
                    os._exit(code)
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

        cached = churn(1)
        def child():
            assert churn(2) == cached  # the inherited buffers are reused
            fork_and_wait(lambda: churn(3))
        fork_and_wait(child)
        assert churn(4) == cached
        """
    )


def test_resident_memory_returns_within_the_cache_bound():
    report = run_script(
        """
        import gc, json, os
        import numpy as np
        from _qelto import query

        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        figures = []
        for count, n in [(2000, 20_000), (200, 150_000)]:
            a = np.ones(n)
            query("a + 1", a=a)
            gc.collect()
            before = resident()
            results = [query("a + 1", a=a) for _ in range(count)]
            peak = resident()
            del results
            gc.collect()
            figures.append((count * n * 8, peak - before, resident() - before))
        print(json.dumps(figures))
        """
    )
    for made, peak_growth, growth in json.loads(report):
        assert peak_growth >= made * 0.9, "resident memory does not show the results"
        assert growth <= CACHE_BYTES + (8 << 20), f"{growth} bytes still resident after {made} were freed"
