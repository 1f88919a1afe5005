"""qelto.dask.query with Dask's own schedulers: the threaded one in this
process, and a local cluster of two worker processes."""

import os
import sys

import numpy as np
import pytest

import _qelto
import qelto

da = pytest.importorskip("dask.array")
qelto_dask = pytest.importorskip("qelto.dask")

SHAPE = (301, 250)
EXPRESSIONS = [
    "a * b + c",
    "a > b ? sqrt(abs(a)) : b * c",
    "min(a, b, c) & 7",
    "(a + 1) * (b - 2) / (abs(c) + 1)",
]


@pytest.fixture
def planes(rng):
    """Three 2-D float64 arrays, the third not C-contiguous."""
    a, b = rng.normal(size=(2, *SHAPE))
    c = rng.normal(size=SHAPE[::-1]).T
    return a, b, c


def whole_array_result(expr, **arrays):
    contiguous = {name: np.ascontiguousarray(array) for name, array in arrays.items()}
    return _qelto.query(expr, **contiguous).reshape(next(iter(arrays.values())).shape)


@pytest.mark.parametrize("expr", EXPRESSIONS)
def test_threaded_blocks_match_whole_array_evaluation(expr, planes, assert_same_bits):
    a, b, c = planes
    lazy = qelto_dask.query(expr, a=da.from_array(a, chunks=(100, 60)), b=da.from_array(b, chunks=(70, 125)), c=c)
    assert lazy.shape == SHAPE and lazy.dtype == np.float64
    # The common chunks cut wherever one of the inputs is cut.
    assert lazy.chunks == ((70, 30, 40, 60, 10, 70, 20, 1), (60, 60, 5, 55, 60, 10))
    assert_same_bits(lazy.compute(scheduler="threads"), whole_array_result(expr, a=a, b=b, c=c))


@pytest.mark.parametrize(
    "shape, chunks",
    [
        pytest.param((10_000,), (3_000,), id="1-d"),
        pytest.param((4, 5, 6), (3, 2, 4), id="3-d"),
        pytest.param((), (), id="0-d"),
        pytest.param((0, 4), (0, 2), id="empty"),
    ],
)
def test_block_shapes_follow_the_input(shape, chunks, rng, assert_same_bits):
    a = rng.normal(size=shape)
    lazy = qelto_dask.query("a * 2 - 1", a=da.from_array(a, chunks=chunks))
    assert_same_bits(lazy.compute(scheduler="threads"), np.asarray(a * 2 - 1))


def test_numpy_arrays_alone_make_one_chunk(planes, assert_same_bits):
    a, b, _ = planes
    lazy = qelto_dask.query("a - b", a=a, b=b)
    assert lazy.numblocks == (1, 1)
    assert_same_bits(lazy.compute(scheduler="sync"), a - b)


def test_no_arrays_gives_one_element_as_query_does():
    assert qelto_dask.query("2*3").compute().tolist() == [6.0]


def test_names_differing_only_in_case_are_refused_when_the_graph_is_built(planes):
    a, b, _ = planes
    with pytest.raises(ValueError, match="^Values 'a' and 'A' are named alike"):
        qelto_dask.query("A", a=da.from_array(a, chunks=50), A=da.from_array(b, chunks=70))


def test_graph_keeps_the_expression_it_was_given(planes):
    a, _, _ = planes
    expr = bytearray(b"a + 1")
    lazy = qelto_dask.query(expr, a=da.from_array(a, chunks=100))
    expr[2] = ord("-")
    assert np.array_equal(lazy.compute(scheduler="threads"), a + 1)


def query_error(call):
    with pytest.raises(Exception) as caught:
        call()
    return caught.type, str(caught.value)


@pytest.mark.parametrize(
    "expr, dtype, error",
    [
        pytest.param("a +", np.float64, RuntimeError, id="parse-error"),
        pytest.param("a + b", np.float64, RuntimeError, id="unknown-variable"),
        pytest.param("a + 1/0", np.float64, RuntimeError, id="constant-division"),
        pytest.param("a", np.complex128, TypeError, id="complex"),
        pytest.param("a", np.dtype("datetime64[s]"), TypeError, id="datetime"),
    ],
)
def test_argument_and_compile_errors_are_raised_before_any_evaluation(expr, dtype, error):
    a = np.arange(12).reshape(3, 4).astype(dtype)
    expected = query_error(lambda: qelto.query(expr, a=a))
    assert expected[0] is error
    assert query_error(lambda: qelto_dask.query(expr, a=da.from_array(a, chunks=2))) == expected


@pytest.mark.parametrize("expr", ["1 / a", "a % a", "a / 0"])
def test_evaluation_errors_surface_at_compute_unchanged(expr):
    a = da.from_array(np.arange(-4.0, 4.0).reshape(2, 4), chunks=(1, 2))
    lazy = qelto_dask.query(expr, a=a)
    expected = query_error(lambda: _qelto.query(expr, a=np.arange(-4.0, 4.0)))
    assert query_error(lambda: lazy.compute(scheduler="threads")) == expected


@pytest.mark.parametrize("expr", ["1 / a", "a % a", "a / 0", "1 / 0 + a"])
@pytest.mark.parametrize("scheduler", ["threads", "synchronous"])
def test_the_divide_mode_is_the_one_in_force_when_the_graph_is_built(expr, scheduler, assert_same_bits):
    values = np.arange(-4.0, 4.0).reshape(2, 4)
    a = da.from_array(values, chunks=(1, 2))
    with qelto.errstate(divide="ignore"):
        ignoring = qelto_dask.query(expr, a=a)
        expected = qelto.query(expr, a=values)
    raising = qelto_dask.query("a / b", a=a, b=da.zeros((2, 4), chunks=(1, 2)))
    assert_same_bits(ignoring.compute(scheduler=scheduler), expected)
    assert np.isnan(expected).any() or np.isinf(expected).any()
    with qelto.errstate(divide="ignore"):
        assert query_error(lambda: raising.compute(scheduler=scheduler)) == (RuntimeError, "Division by zero")


@pytest.mark.parametrize(
    "arrays, error, message",
    [
        pytest.param(
            {"a": np.zeros((2, 3)), "b": np.zeros(3)},
            ValueError,
            "Array shape mismatch: 'a' has shape (2, 3) but 'b' has shape (3,)",
            id="shapes",
        ),
        pytest.param(
            {"a": np.zeros((2, 3)), "b": np.zeros((3, 2))},
            ValueError,
            "Values 'a' of shape (2, 3) and 'b' of shape (3, 2) do not broadcast together",
            id="transposed",
        ),
        pytest.param(
            {"a": da.zeros((2, 3), chunks=2), "b": np.zeros((3, 3))},
            ValueError,
            "Values 'a' of shape (2, 3) and 'b' of shape (3, 3) do not broadcast together",
            id="sizes",
        ),
        pytest.param(
            {"a": da.zeros(3, chunks=2), "b": np.zeros(3, dtype=np.complex64)},
            TypeError,
            "Variable 'b' must hold real numbers: bool, integer or float (got complex64)",
            id="complex",
        ),
    ],
)
def test_inputs_that_cannot_be_blocked_together(arrays, error, message):
    with pytest.raises(error) as caught:
        qelto_dask.query("a + b", **arrays)
    assert str(caught.value) == message
    if "broadcast" in message:  # what qelto.query raises for the same arrays
        eager = {name: np.asarray(value) for name, value in arrays.items()}
        assert query_error(lambda: qelto.query("a + b", **eager)) == (error, message)


@pytest.mark.parametrize(
    "b",
    [
        pytest.param(2.5, id="float"),
        pytest.param(3, id="int"),
        pytest.param(np.float32(0.5), id="numpy-scalar"),
        pytest.param(np.array(-1.5), id="0-d"),
        pytest.param(da.from_array(np.array(-2.5), chunks=()), id="0-d-dask"),
        pytest.param(np.arange(301 * 250, dtype=np.int32).reshape(SHAPE), id="int32-array"),
        pytest.param(da.from_array(np.arange(301 * 250).reshape(SHAPE) % 3 == 0, chunks=90), id="bool-dask"),
        pytest.param(np.arange(301 * 250.0).reshape(SHAPE).tolist(), id="list"),
    ],
)
def test_values_are_converted_as_query_converts_them(b, planes, assert_same_bits):
    a = planes[0]
    lazy = qelto_dask.query("a * b - b", a=da.from_array(a, chunks=(100, 60)), b=b)
    assert_same_bits(lazy.compute(scheduler="threads"), qelto.query("a * b - b", a=a, b=np.asarray(b)))


@pytest.mark.parametrize(
    "a", [pytest.param(1.5, id="scalar"), pytest.param(da.from_array(np.array(1.5), chunks=()), id="0-d-dask")]
)
def test_0_d_values_alone_give_a_0_d_result_as_query_does(a):
    lazy = qelto_dask.query("a * b", a=a, b=np.int64(4))
    assert lazy.shape == () and lazy.compute() == 6.0


def test_chunks_of_unknown_size(rng, assert_same_bits):
    x = rng.normal(size=10_000)
    lazy_x = da.from_array(x, chunks=3_000)
    picked = lazy_x[lazy_x > 0]
    doubled = (lazy_x * 2)[lazy_x > 0]
    assert np.isnan(picked.shape[0])
    lazy = qelto_dask.query("a + b + c", a=picked, b=doubled, c=0.5)
    kept = x[x > 0]
    assert_same_bits(lazy.compute(scheduler="threads"), kept + kept * 2 + 0.5)


# A bounded run: the cluster is local, on loopback, with no dashboard, and
# every wait carries a timeout.
@pytest.mark.timeout(180)
def test_local_cluster_of_two_processes(planes, assert_same_bits):
    distributed = pytest.importorskip("distributed")
    a, b, c = planes
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            worker_dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster, timeout=60) as client,
    ):
        worker_pids = set(client.run(os.getpid).values())
        assert len(worker_pids) == 2 and os.getpid() not in worker_pids

        expr = EXPRESSIONS[1]
        chunked = {name: da.from_array(x, chunks=(80, 125)) for name, x in zip("abc", (a, b, c))}
        future = client.compute(qelto_dask.query(expr, **chunked))
        assert_same_bits(future.result(timeout=60), whole_array_result(expr, a=a, b=b, c=c))
        assert set(client.run(lambda: "_qelto" in sys.modules).values()) == {True}

        failing = client.compute(qelto_dask.query("a / b", a=chunked["a"], b=chunked["b"] * 0))
        with pytest.raises(RuntimeError) as caught:
            failing.result(timeout=60)
        assert str(caught.value) == "Division by zero"
