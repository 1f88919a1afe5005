"""Many threads at once mixing cache hits, first compilations, compile
failures and evaluation errors; every outcome is checked."""

import threading

import numpy as np
import pytest

from _qelto import query

THREADS = 8
ROUNDS = 250  # eight calls a round: 2,000 calls a thread
JOIN_TIMEOUT = 120.0


def run_threads(work):
    errors = []
    barrier = threading.Barrier(THREADS)

    def guarded(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # reported by the main thread
            errors.append((index, repr(error)))

    threads = [threading.Thread(target=guarded, args=(i,), daemon=True) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not [thread for thread in threads if thread.is_alive()], "a thread is stuck"
    assert errors == []


def expect_error(message, expr, **kwargs):
    with pytest.raises(RuntimeError) as info:
        query(expr, **kwargs)
    assert str(info.value) == message


def test_mixed_calls_from_many_threads_all_get_their_own_outcome():
    small = np.linspace(-4.0, 4.0, 33)
    large = np.linspace(-4.0, 4.0, 20_000)  # evaluated by a thread team
    with_zero = large.copy()
    with_zero[-7] = 0.0

    def work(index):
        rng = np.random.default_rng(index)
        for round_ in range(ROUNDS):
            x = small if round_ % 4 else large
            k = float(rng.integers(1, 50))
            assert np.array_equal(query("a * b + 1", a=x, b=x), x * x + 1)
            assert np.array_equal(query("a > 0 ? a : -a", a=x), np.abs(x))
            # A text no other call uses: a miss, then a hit.
            fresh = f"a * {k} + {index * ROUNDS + round_}"
            for _ in range(2):
                assert np.array_equal(query(fresh, a=x), x * k + (index * ROUNDS + round_))
            expect_error(f"Expression failed to compile: a + {round_} + — Parse error", f"a + {round_} +", a=x)
            expect_error("Division by zero", "b / a", a=with_zero, b=large)
            expect_error("Modulo by zero", "a > 100 ? 1 : b % (a * 0)", a=small, b=small)
            expect_error("Array size mismatch: 'a' has 33 elements but 'b' has 20000", "a + b", a=small, b=large)

    run_threads(work)


# The cache's size is not visible from Python; what is visible is that
# threads racing to compile the same new texts all get correct programs,
# and that entries stored under load still give correct results.
def test_threads_racing_on_the_same_new_texts_all_get_correct_programs():
    x = np.linspace(0.5, 2.0, 9_000)
    texts = [f"a * {k} - a / {k + 1} + stress_{k % 3}" for k in range(300)]

    def expected(k):
        return x * k - x / (k + 1) + x * (k % 3)

    def work(index):
        order = range(len(texts)) if index % 2 else reversed(range(len(texts)))
        for k in order:
            kwargs = {f"stress_{j}": x * j for j in range(3)}
            assert np.array_equal(query(texts[k], a=x, **kwargs), expected(k))

    run_threads(work)
    for k in (0, 150, 299):
        assert np.array_equal(query(texts[k], a=x, **{f"stress_{j}": x * j for j in range(3)}), expected(k))


# Enough distinct texts to pass the cache's budget about twice over, so
# hits, misses and evictions interleave; a hot text keeps being hit.
def test_threads_flooding_the_cache_still_get_correct_results():
    x = np.arange(4.0)
    texts_per_thread = 25_000

    def work(index):
        for k in range(texts_per_thread):
            value = index * texts_per_thread + k
            assert np.array_equal(query(f"x * 3 + {value}", x=x), x * 3 + value)
            if k % 50 == 0:
                assert np.array_equal(query("x * 2 - 1", x=x), x * 2 - 1)

    run_threads(work)
