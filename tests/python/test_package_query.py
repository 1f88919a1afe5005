"""qelto.query: the language and errors of _qelto.query, results in the
inputs' shape, the values NumPy users pass, and results written into out."""

import asyncio
import functools
import string
import threading
import tracemalloc

import numpy as np
import pytest

import _qelto
import qelto

EXPR = "a * b - a / 4"


def reference(expr, **arrays):
    """_qelto.query over float64 C-ordered copies, flat."""
    return _qelto.query(expr, **{name: np.array(value, dtype=np.float64, order="C") for name, value in arrays.items()})


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda r: r.normal(size=()), id="0-d"),
        pytest.param(lambda r: r.normal(size=7), id="1-d"),
        pytest.param(lambda r: r.normal(size=(3, 5)), id="2-d"),
        pytest.param(lambda r: r.normal(size=(2, 3, 4)), id="3-d"),
        pytest.param(lambda r: np.asfortranarray(r.normal(size=(4, 6))), id="fortran"),
        pytest.param(lambda r: r.normal(size=(6, 4)).T, id="transposed"),
        pytest.param(lambda r: r.normal(size=(5, 9))[:, ::2], id="strided"),
        pytest.param(lambda r: r.normal(size=(0, 3)), id="empty"),
        pytest.param(lambda r: r.normal(size=(3, 4096)), id="several-blocks"),
    ],
)
def test_result_has_the_inputs_shape_in_c_order(make, rng, assert_same_bits):
    a, b = make(rng), make(rng)
    result = qelto.query(EXPR, a=a, b=b)
    assert result.flags.c_contiguous and result.flags.owndata
    assert_same_bits(result, reference(EXPR, a=a, b=b).reshape(a.shape))
    assert_same_bits(result, a * b - a / 4)


@pytest.mark.parametrize(
    "shapes, expected",
    [
        pytest.param([(3, 1), (4,)], (3, 4), id="column-and-row"),
        pytest.param([(2, 1, 5), (3, 1)], (2, 3, 5), id="three-axes"),
        pytest.param([(), (1,)], (1,), id="0-d-beside-one-element"),
        pytest.param([(), ()], (), id="all-0-d"),
        pytest.param([(0, 3), (3,)], (0, 3), id="empty"),
        pytest.param([], (1,), id="no-arrays"),
        pytest.param([(2, 1) * 5, (1, 2) * 5], (2,) * 10, id="ten-axes"),
        pytest.param([(2, 1, 1), (1, 3, 1), (4,)] * 8, (2, 3, 4), id="twenty-four-values"),
    ],
)
def test_shapes_broadcast_by_numpys_rules(shapes, expected, rng, assert_same_bits):
    arrays = {name: rng.normal(size=shape) for name, shape in zip(string.ascii_lowercase, shapes)}
    expr = " * ".join(arrays) + " - 1" if arrays else "4"
    result = qelto.query(expr, **arrays)
    assert result.shape == expected and result.flags.c_contiguous
    numpy_result = functools.reduce(np.multiply, arrays.values()) - 1 if arrays else np.array([4.0])
    assert_same_bits(result, numpy_result)


@pytest.mark.parametrize(
    "shapes, message",
    [
        pytest.param([(2, 3), (6,)], "Values 'a' of shape (2, 3) and 'b' of shape (6,) do not", id="same-size"),
        pytest.param([(2, 3), (3, 2)], "Values 'a' of shape (2, 3) and 'b' of shape (3, 2) do not", id="transposed"),
        pytest.param([(4, 1), (1, 3), (5, 3)], "Values 'a' of shape (4, 1) and 'c' of shape (5, 3) do not", id="third"),
        pytest.param([(3,), (2,)], "Values 'a' of shape (3,) and 'b' of shape (2,) do not", id="lists"),
    ],
)
def test_shapes_that_do_not_broadcast_are_refused_naming_the_values(shapes, message):
    arrays = {name: np.zeros(shape).tolist() if len(shape) == 1 else np.zeros(shape) for name, shape in zip("abc", shapes)}
    with pytest.raises(ValueError) as caught:
        qelto.query(" + ".join(arrays), **arrays)
    assert str(caught.value) == message + " broadcast together"


class ArrayLike:
    """An object NumPy reads through __array__, as a pandas Series is read."""

    def __init__(self, values):
        self.values = values

    def __array__(self, dtype=None, copy=None):
        return np.asarray(self.values, dtype=dtype)


B_VALUES = [1, 0, 3, 250, 7, 2]


@pytest.mark.parametrize(
    "b",
    [
        pytest.param(2.5, id="float"),
        pytest.param(3, id="int"),
        pytest.param(True, id="bool"),
        pytest.param(np.float64(2), id="numpy-float64"),
        pytest.param(np.int16(-4), id="numpy-int16"),
        pytest.param(np.array(1.5), id="0-d-array"),
        pytest.param(B_VALUES, id="list"),
        pytest.param(tuple(B_VALUES), id="tuple"),
        pytest.param(ArrayLike(B_VALUES), id="__array__"),
        pytest.param(np.array(B_VALUES, dtype=np.int64), id="int64"),
        pytest.param(np.array(B_VALUES, dtype=np.int32), id="int32"),
        pytest.param(np.array(B_VALUES, dtype=np.uint8), id="uint8"),
        pytest.param(np.array(B_VALUES, dtype=bool), id="bool-array"),
        pytest.param(np.array(B_VALUES, dtype=np.float32) / 3, id="float32"),
        pytest.param(np.array(B_VALUES, dtype=np.float16), id="float16"),
        pytest.param(np.array(B_VALUES, dtype=np.longdouble) / 3, id="longdouble"),
        pytest.param(np.array(B_VALUES, dtype=">i4"), id="big-endian-int"),
        pytest.param(np.array(B_VALUES * 2, dtype=np.float64)[::2], id="strided"),
        pytest.param(np.array(B_VALUES, dtype=np.int64).reshape(3, 2).T.reshape(6), id="copied-by-reshape"),
        pytest.param(2**64, id="int-beyond-64-bits"),
        pytest.param(-(2**63) - 1, id="int-below-int64"),
        pytest.param([2**70, -(2**65) + 1, 3, 250, 7, 2], id="list-of-big-ints"),
    ],
)
def test_values_are_converted_to_float64(b, assert_same_bits):
    a = np.linspace(-3.0, 3.0, 6)
    expected = a * np.asarray(b, dtype=np.float64) - a / 4
    assert_same_bits(qelto.query(EXPR, a=a, b=b), np.broadcast_to(expected, a.shape))


def test_a_pandas_series_is_read_as_its_values(assert_same_bits):
    pandas = pytest.importorskip("pandas")
    b = pandas.Series(B_VALUES, dtype="int64")
    a = np.linspace(-3.0, 3.0, 6)
    assert_same_bits(qelto.query(EXPR, a=a, b=b), a * b.to_numpy(dtype=np.float64) - a / 4)


@pytest.mark.parametrize(
    "values, shape",
    [
        pytest.param({"a": 2.0, "b": np.arange(12.0).reshape(3, 4)}, (3, 4), id="scalar-first"),
        pytest.param({"a": np.arange(12).reshape(3, 4), "b": np.array(0.5)}, (3, 4), id="0-d-last"),
        pytest.param({"a": 2, "b": np.float32(0.25)}, (), id="scalars-only"),
        pytest.param({"a": np.ones(0), "b": 3.0}, (0,), id="beside-empty"),
    ],
)
def test_scalars_broadcast_to_the_other_values(values, shape):
    result = qelto.query(EXPR, **values)
    a, b = (np.asarray(v, dtype=np.float64) for v in values.values())
    assert result.shape == shape
    assert np.array_equal(result, np.broadcast_to(a * b - a / 4, shape))


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(2**1024 - 2**971, np.finfo(np.float64).max, id="largest-float64"),
        pytest.param(2**1024 - 2**970, np.inf, id="rounds-up-to-inf"),
        pytest.param(-(10**400), -np.inf, id="below-the-lowest"),
        pytest.param(2**53 + 1, 2.0**53, id="tie-to-even"),
    ],
)
def test_python_ints_of_any_size_round_to_the_nearest_float64(value, expected):
    assert qelto.query("x", x=value).tolist() == expected
    assert qelto.query("x", x=[value, 1]).tolist() == [expected, 1.0]


def test_integers_beyond_2_to_the_53_round_to_the_nearest_float64():
    big = np.array([2**53, 2**53 + 1, 2**63 - 1], dtype=np.int64)
    assert qelto.query("x - 9007199254740992", x=big).tolist() == [0.0, 0.0, 2.0**63 - 2.0**53]


@pytest.mark.parametrize(
    "value, dtype",
    [
        pytest.param(np.ones(3, dtype=np.complex128), "complex128", id="complex"),
        pytest.param(1j, "complex128", id="complex-scalar"),
        pytest.param(np.array([1.0, None]), "object", id="object"),
        pytest.param(["1", "2"], "<U1", id="strings"),
        pytest.param(b"12", "|S2", id="bytes"),
        pytest.param(np.array(["2026-01-01"], dtype="datetime64[D]"), "datetime64[D]", id="datetime"),
        pytest.param(np.array([3], dtype="timedelta64[s]"), "timedelta64[s]", id="timedelta"),
    ],
)
def test_values_that_are_not_real_numbers_are_refused_by_name(value, dtype):
    with pytest.raises(TypeError) as caught:
        qelto.query("a + b", a=np.ones(3), b=value)
    assert str(caught.value) == f"Variable 'b' must hold real numbers: bool, integer or float (got {dtype})"


@pytest.mark.parametrize(
    "expr, arrays",
    [
        pytest.param("a +", {"a": np.ones(3)}, id="compile-error"),
        pytest.param("a + c", {"a": np.ones(3)}, id="unknown-variable"),
        pytest.param("a / b", {"a": np.ones(3), "b": np.zeros(3)}, id="division-by-zero"),
        pytest.param("a % b", {"a": np.ones(9000), "b": np.zeros(9000)}, id="modulo-by-zero-on-a-team"),
    ],
)
def test_errors_are_those_of_the_native_query(expr, arrays):
    with pytest.raises(RuntimeError) as native:
        _qelto.query(expr, **arrays)
    with pytest.raises(RuntimeError) as package:
        qelto.query(expr, **arrays)
    assert str(package.value) == str(native.value)


LONG_SUM = " + ".join(["a"] * 30)
LONG_TEXT = LONG_SUM + " + 1/0 + " + LONG_SUM
SLASH = LONG_TEXT.index("/")
TWENTY_NAMES = [f"a{k}" for k in range(1, 21)]


# Each note as a list of lines: the text, the carets under the culprit, then
# the hints. The message is _qelto.query's, unchanged.
@pytest.mark.parametrize(
    "expr, names, note",
    [
        pytest.param("a + zz", "ab", ["  a + zz", "      ^^", "'zz' is none of the values given (a, b)"], id="unknown"),
        pytest.param("x + 1", "", ["  x + 1", "  ^", "'x' is not a value: no values were given"], id="no-values"),
        pytest.param(
            "a1 + zz",
            [f"a{k}" for k in range(1, 23)],
            ["  a1 + zz", "       ^^", f"'zz' is none of the values given ({', '.join(TWENTY_NAMES)} and 2 more)"],
            id="many-values",
        ),
        pytest.param("b + A", "ya", ["  b + A", "  ^", "'b' is none of the values given (y, a)"], id="call-order"),
        pytest.param(
            "a < INF",
            "a",
            [
                "  a < INF",
                "      ^^^",
                "'INF' is none of the values given (a)",
                "inf and nan are not literals: pass them as values, as in inf=math.inf",
            ],
            id="inf",
        ),
        pytest.param(
            "a ** 2",
            "a",
            [
                "  a ** 2",
                "     ^",
                "** is not an operator: write pow(a, b) for a to the power b",
                "^ is exclusive or (of the integer parts), not a power: write pow(a, b)",
            ],
            id="power",
        ),
        pytest.param("a * * 2", "a", ["  a * * 2", "      ^"], id="two-stars-apart"),
        pytest.param(
            "where(a > 0, a, 0)",
            "a",
            ["  where(a > 0, a, 0)", "  ^^^^^", "where(c, a, b) is written c ? a : b"],
            id="where",
        ),
        pytest.param(
            "a ^ -2 + b",
            "a",
            [
                "  a ^ -2 + b",
                "           ^",
                "'b' is none of the values given (a)",
                "^ is exclusive or (of the integer parts), not a power: write pow(a, b)",
            ],
            id="caret-before-a-number",
        ),
        pytest.param("a ^ a)", "a", ["  a ^ a)", "       ^"], id="caret-between-values"),
        pytest.param("a +", "a", ["  a +", "     ^"], id="at-the-end"),
        pytest.param("pow(a)", "a", ["  pow(a)", "  ^^^"], id="arity"),
        pytest.param("a + 1 % 0", "a", ["  a + 1 % 0", "        ^"], id="folding"),
        pytest.param("a\t+\n\u00e9", "a", ["  a + \u00e9", "      ^"], id="non-ascii"),
        pytest.param("\u00e9 + a", "a", ["  \u00e9 + a", "  ^"], id="non-ascii-first"),
        pytest.param(b"a + \xff\xfe", "a", ["  a + \\xff\\xfe", "      ^"], id="bytes-not-utf-8"),
        pytest.param(bytearray(b"a = 1"), "a", ["  a = 1", "    ^"], id="bytearray"),
        pytest.param(
            LONG_TEXT, "a", ["  ..." + LONG_TEXT[SLASH - 40 : SLASH + 30] + "...", " " * 45 + "^"], id="long"
        ),
        pytest.param("(" * 2000 + "a" + ")" * 2000, "a", None, id="no-place-to-point-at"),
    ],
)
def test_compile_errors_point_at_the_culprit_in_a_note(expr, names, note):
    values = {name: np.ones(2) for name in names}
    with pytest.raises(RuntimeError) as native:
        _qelto.query(expr, **values)
    with pytest.raises(RuntimeError) as package:
        qelto.query(expr, **values)
    assert str(package.value) == str(native.value)
    assert not hasattr(native.value, "__notes__")
    assert getattr(package.value, "__notes__", None) == (None if note is None else ["\n".join(note)])


class Unconvertible:
    """A value whose every conversion raises."""

    def __array__(self, dtype=None, copy=None):
        raise AssertionError("converted")

    def __len__(self):
        raise AssertionError("measured")


# The expression reads a only: the others are neither converted nor tested,
# nor do they shape the result.
@pytest.mark.parametrize(
    "unread",
    [
        pytest.param("text", id="str"),
        pytest.param(Unconvertible(), id="unconvertible"),
        pytest.param(object(), id="object"),
        pytest.param(1j, id="complex"),
        pytest.param(np.zeros((5, 7)), id="shape-that-does-not-broadcast"),
        pytest.param(np.zeros(3, ">f8"), id="byte-swapped"),
        pytest.param(np.zeros(6)[::2], id="strided"),
        pytest.param(np.zeros(3, np.int64), id="int64"),
    ],
)
@pytest.mark.parametrize(
    "a",
    [
        pytest.param(np.arange(6.0).reshape(2, 3), id="matrix"),
        pytest.param(np.arange(6.0).reshape(3, 2).T, id="transposed"),
        pytest.param(np.linspace(-1.0, 1.0, 3 * 5000).reshape(3, 5000), id="several-blocks"),
        pytest.param(2.5, id="scalar"),
    ],
)
def test_values_the_expression_does_not_read_are_left_alone(unread, a, assert_same_bits):
    expected = np.asarray(a) * 2 + 1
    assert_same_bits(qelto.query("a * 2 + 1", s=unread, a=a, t=unread), expected)
    assert_same_bits(qelto.query("A * 2 + 1", s=unread, a=np.asarray(a).tolist(), t=unread), expected)
    out = np.empty(expected.shape)
    assert qelto.query("a * 2 + 1", a=a, s=unread, out=out) is out
    assert_same_bits(out, expected)
    assert qelto.query("7", s=unread).tolist() == [7.0]
    assert qelto.query("1 ? 7 : s", s=unread).tolist() == [7.0]


@pytest.mark.parametrize(
    "values, error, message",
    [
        pytest.param(
            {"a": np.ones(3), "b": "text"},
            TypeError,
            "Variable 'b' must hold real numbers: bool, integer or float (got <U4)",
            id="read-value-tested",
        ),
        pytest.param(
            {"c": "text", "a": np.ones((2, 3)), "b": np.ones(2)},
            ValueError,
            "Values 'a' of shape (2, 3) and 'b' of shape (2,) do not broadcast together",
            id="read-values-broadcast",
        ),
        pytest.param(
            {"a": np.ones(3), "b": 1.0, "c": np.ones(4)},
            ValueError,
            "out has 2 elements but the result has 3, from 'a' of shape (3,) and 'b' of shape ()",
            id="out-names-the-values-read",
        ),
    ],
)
def test_values_the_expression_reads_are_still_tested(values, error, message):
    with pytest.raises(error) as caught:
        qelto.query("a * b", **values, out=np.zeros(2))
    assert str(caught.value) == message


# qelto.query compiles before it converts, so a text that does not compile
# is reported before any value; _qelto.query tests every value first.
def test_a_compile_error_comes_before_any_value_error():
    with pytest.raises(RuntimeError) as package:
        qelto.query("a +", a="text")
    assert str(package.value) == "Expression failed to compile: a + \u2014 Parse error"
    with pytest.raises(RuntimeError) as native:
        _qelto.query("a +", a="text")
    assert str(native.value) == "Variable 'a' is not a numpy array"


def test_an_unread_value_of_the_cached_program_is_left_alone_too():
    assert qelto.query("a + 1", a=1.0, b=2.0).tolist() == 2.0
    assert qelto.query("a + 1", a=1.0, b=Unconvertible()).tolist() == 2.0


@pytest.mark.parametrize(
    "values, message",
    [
        pytest.param({"A": 1.0, "a": 2.0}, "Values 'A' and 'a' are named alike", id="two"),
        pytest.param({"b": 1.0, "aB": 2.0, "Ab": 3.0}, "Values 'aB' and 'Ab' are named alike", id="later-pair"),
    ],
)
def test_values_named_apart_only_by_case_are_refused(values, message):
    with pytest.raises(ValueError, match=f"^{message}: names match without regard to case$"):
        qelto.query("A - a", **values)


@pytest.mark.parametrize(
    "call, message",
    [
        pytest.param(lambda: qelto.query(42), "expr must be str, bytes or bytearray (got int)", id="expr-int"),
        pytest.param(lambda: qelto.query(), "query() takes expr as its one positional argument", id="no-expr"),
        pytest.param(
            lambda: qelto.query("a", np.ones(2)), "query() takes expr as its one positional argument", id="positional"
        ),
        pytest.param(lambda: qelto.query(expr="2"), "query() takes expr as its one positional argument", id="expr="),
        pytest.param(
            lambda: qelto.query("a\udc80", a=1.0),
            "expr must be valid text: it has characters without a UTF-8 form",
            id="lone-surrogate",
        ),
    ],
)
def test_calls_of_the_wrong_form_are_type_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("expr", ["a * 2", b"a * 2", bytearray(b"a * 2")], ids=["str", "bytes", "bytearray"])
def test_text_of_each_kind(expr):
    assert qelto.query(expr, a=np.arange(3.0)).tolist() == [0.0, 2.0, 4.0]


def test_expr_is_a_name_like_any_other_keyword():
    assert qelto.query("expr + 1", expr=np.arange(3.0)).tolist() == [1.0, 2.0, 3.0]


# ---- out=

@pytest.mark.parametrize(
    "out_shape",
    [pytest.param((12,), id="flat"), pytest.param((3, 4), id="input-shape"), pytest.param((2, 2, 3), id="other-shape")],
)
@pytest.mark.parametrize(
    "b", [pytest.param(np.arange(12.0).reshape(3, 4) - 5, id="float64"), pytest.param(2, id="converted-scalar")]
)
def test_out_receives_the_result_and_is_returned(out_shape, b, assert_same_bits):
    a = np.linspace(-1.0, 1.0, 12).reshape(3, 4)
    out = np.full(out_shape, np.nan)
    result = qelto.query(EXPR, a=a, b=b, out=out)
    assert result is out and result.shape == out_shape
    assert_same_bits(out.ravel(), (a * np.asarray(b, dtype=np.float64) - a / 4).ravel())


def test_out_none_is_a_new_result():
    result = qelto.query("a + 1", a=np.ones(3), out=None)
    assert result.tolist() == [2.0, 2.0, 2.0]


def misaligned(n):
    raw = np.zeros(n * 8 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64)
    assert not view.flags.aligned
    return view


def read_only(n):
    out = np.zeros(n)
    out.flags.writeable = False
    return out


BUFFER = np.zeros(7)


@pytest.mark.parametrize(
    "out, error, message",
    [
        pytest.param([0.0] * 6, TypeError, "out must be a numpy array (got list)", id="list"),
        pytest.param(np.zeros(6, np.float32), TypeError, "out must be float64 in native byte order (got float32)", id="f32"),
        pytest.param(np.zeros(6, np.int64), TypeError, "out must be float64 in native byte order (got int64)", id="int64"),
        pytest.param(np.zeros(6, ">f8"), TypeError, "out must be float64 in native byte order (got >f8)", id="swapped"),
        pytest.param(np.zeros(12)[::2], ValueError, "out must be C-contiguous", id="strided"),
        pytest.param(np.zeros((3, 2), order="F"), ValueError, "out must be C-contiguous", id="fortran"),
        pytest.param(misaligned(6), ValueError, "out must be aligned", id="misaligned"),
        pytest.param(read_only(6), ValueError, "out is read-only", id="read-only"),
        pytest.param(np.zeros(5), ValueError, "out has 5 elements but the result has 6, from 'a' of shape (6,) and 'b' of shape (6,)", id="too-small"),
        pytest.param(np.zeros((2, 4)), ValueError, "out has 8 elements but the result has 6, from 'a' of shape (6,) and 'b' of shape (6,)", id="too-large"),
        pytest.param(BUFFER[1:], ValueError, "out overlaps 'b' but does not start where it starts", id="overlap"),
    ],
)
def test_a_wrong_out_is_refused_before_anything_is_written(out, error, message):
    BUFFER[:] = np.arange(7.0)
    a, b = np.ones(6), BUFFER[:6]
    before = np.array(out, copy=True)
    with pytest.raises(error) as caught:
        qelto.query("a + b", a=a, b=b, out=out)
    assert str(caught.value) == message
    assert np.array_equal(np.asarray(out), before)
    assert np.array_equal(BUFFER, np.arange(7.0))


def test_a_wrong_out_is_refused_after_inputs_are_converted():
    with pytest.raises(ValueError, match=r"^out has 2 elements but the result has 3, from 'a' of shape \(3,\)$"):
        qelto.query("a", a=[1, 2, 3], out=np.zeros(2))


# One program per route: block steps (fused; staged because they can
# fail), a whole-block select, the masked route, the per-element route and
# even blocks; the lengths cross block, team and interruption slices.
CHAIN = "a"
for _k in range(200):
    CHAIN = ("b / (c + 9) && (" if _k % 2 else "a / (c + 9) || (") + CHAIN + ")"
ROUTES = [
    "a * b + c",
    "a / (b - 0.5) + c",
    "a > b ? a - b : c",
    "b != 0 ? c / b : sqrt(abs(a))",
    "sin(a) * b + c",
    CHAIN,
]


@pytest.mark.parametrize("n", [1, 4097, 10_000, 256 * 4096 + 3])
@pytest.mark.parametrize("expr", ROUTES, ids=["block", "staged", "select", "masked", "even-blocks", "per-element"])
def test_out_may_be_the_very_array_of_an_input(expr, n, assert_same_bits):
    rng = np.random.default_rng(n)
    a, b = rng.normal(size=(2, n))
    c = np.floor(rng.uniform(-3, 3, size=n))
    expected = qelto.query(expr, a=a, b=b, c=c)
    for name in "abc":
        inputs = {"a": a.copy(), "b": b.copy(), "c": c.copy()}
        assert qelto.query(expr, **inputs, out=inputs[name]) is inputs[name]
        assert_same_bits(inputs[name], expected)


def test_an_evaluation_error_into_out_is_the_error_without_out():
    a, b = np.ones(20_000), np.ones(20_000)
    b[-1] = 0.0
    with pytest.raises(RuntimeError, match="^Division by zero$"):
        qelto.query("a / b", a=a, b=b, out=a)


# ---- values read in place

N = 10**6
BASE = np.random.default_rng(7).normal(size=(2000, 1000))


@pytest.mark.parametrize(
    "values",
    [
        pytest.param({"a": BASE[:, :500], "b": 2.5}, id="scalar"),
        pytest.param({"a": BASE[:, ::2], "b": BASE[:, 1::2]}, id="strided"),
        pytest.param({"a": BASE.reshape(1000, 2000)[:500].T, "b": np.asfortranarray(BASE[:, :500])}, id="transposed-fortran"),
        pytest.param({"a": BASE[:1000, :1000], "b": BASE[0]}, id="row-broadcast"),
        pytest.param({"a": BASE[:1000, :1000], "b": BASE[:1000, :1]}, id="column-broadcast"),
    ],
)
def test_float64_values_of_any_layout_are_read_in_place(values, assert_same_bits):
    expected = np.multiply(*(np.asarray(v) for v in values.values())) - 1
    tracemalloc.start()
    try:
        result = qelto.query("a * b - 1", **values)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert_same_bits(result, expected)
    # The result is the only array of N elements: no value is copied whole.
    assert peak < N * 8 * 1.1


# ---- errstate(divide=...)

SNAN = np.array([0x7FF0000000000001, 0xFFF4000000C0FFEE], dtype=np.uint64).view(np.float64)
DIVIDENDS = np.concatenate([[1.0, -1.0, 0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 2.5], SNAN])


def nested(depth, leaf):
    """Alternating && and || nested `depth` deep, true where c is 1: too many
    paths for the masked route, so the program runs element by element."""
    text = leaf
    for k in range(depth):
        text = ("c > 0 && (" if k % 2 else "c > -1 || (") + text + ")"
    return text


# Each text evaluates a op b where c is 1, by the route named.
IEEE_ROUTES = {
    "block": "{}",
    "select": "c > 0 ? {} : c",
    "masked": "c > 0 ? {} : sqrt(c)",
    "per-element": "(" + nested(200, "c") + ") ? {} : c",
}


def ieee(op, a, b):
    """C's result: IEEE division, and fmod's NaN for a zero divisor."""
    with np.errstate(all="ignore"):
        return np.divide(a, b) if op == "/" else np.fmod(a, b)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("route", IEEE_ROUTES)
@pytest.mark.parametrize("op", ["/", "%"])
def test_ignore_gives_the_ieee_bits_on_every_route_and_team_size(op, route, threads, assert_same_bits):
    n = 200_003
    a = np.resize(DIVIDENDS, n)
    b = np.resize([0.0, -0.0, 0.0, 3.0, -0.0, np.inf, 0.0], n)
    c = np.ones(n)
    text = IEEE_ROUTES[route].format(f"a {op} b")
    saved = qelto.get_num_threads()
    try:
        qelto.set_num_threads(threads)
        with qelto.errstate(divide="ignore"):
            got = qelto.query(text, a=a, b=b, c=c)
            alone = np.array([qelto.query(text, a=x, b=y, c=1.0) for x, y in zip(a[:50], b[:50])])
    finally:
        qelto.set_num_threads(saved)
    assert_same_bits(got[b != 0], ieee(op, a, b)[b != 0])
    if op == "/":
        assert_same_bits(got, ieee(op, a, b))
    assert np.isnan(got[b == 0]).all() or op == "/"
    assert_same_bits(alone, got[:50])  # each value alone is a call of 0-d values
    with pytest.raises(RuntimeError, match="^(Division|Modulo) by zero$"):
        qelto.query(text, a=a, b=b, c=c)


# Constants that fold to each class of dividend; inf and nan are not literals.
FOLDED_DIVIDENDS = ["1", "-1", "0", "-0", "(1/0)", "(-1/0)", "(0/0)", "-(0/0)"]


@pytest.mark.parametrize("op", ["/", "%"])
@pytest.mark.parametrize("divisor", ["0", "-0"])
def test_ignore_folds_to_the_bits_of_run_time(op, divisor, assert_same_bits):
    with qelto.errstate(divide="ignore"):
        for dividend in FOLDED_DIVIDENDS:
            x = qelto.query(dividend)
            folded = qelto.query(f"{dividend} {op} {divisor}")
            assert_same_bits(folded, qelto.query(f"a {op} b", a=x, b=qelto.query(divisor)))
            if op == "/":
                assert_same_bits(folded, ieee(op, x, float(divisor)))
            assert np.isnan(folded) or op == "/"
    with pytest.raises(RuntimeError, match=r"^Expression failed to compile: .* by zero(\n|$)"):
        qelto.query(f"1 {op} {divisor}")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: qelto.errstate(divide="warn"), ValueError, "errstate() divide must be 'ignore' or 'raise', not 'warn'"),
        (lambda: qelto.errstate(divide="IGNORE"), ValueError, "divide must be 'ignore' or 'raise', not 'IGNORE'"),
        (lambda: qelto.errstate(divide=None), TypeError, "errstate() divide must be 'ignore' or 'raise', not NoneType"),
        (lambda: qelto.errstate(divide=1), TypeError, "errstate() divide must be 'ignore' or 'raise', not int"),
        (lambda: qelto.errstate(divde="ignore"), TypeError, "unexpected keyword argument 'divde'"),
        (lambda: qelto.errstate(all="ignore"), TypeError, "unexpected keyword argument 'all'"),
        (lambda: qelto.errstate("ignore"), TypeError, "positional argument"),
        (lambda: qelto.errstate(), TypeError, "missing 1 required keyword-only argument: 'divide'"),
    ],
)
def test_errstate_refuses_anything_but_divide_ignore_or_raise(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert message in str(caught.value)


def divides(text="a / b"):
    """What text gives for 1 / 0 here: inf, or the error's message."""
    try:
        return float(qelto.query(text, a=np.ones(3), b=np.zeros(3))[0])
    except RuntimeError as error:
        return str(error)


def test_errstate_nests_restores_and_decorates():
    ignoring = qelto.errstate(divide="ignore")
    assert divides() == "Division by zero"
    with ignoring:
        assert divides() == np.inf
        with qelto.errstate(divide="raise"):
            assert divides() == "Division by zero"
            with ignoring:  # the same object again, inside itself
                assert divides() == np.inf
            assert divides() == "Division by zero"
        assert divides() == np.inf
    assert divides() == "Division by zero"
    with pytest.raises(ZeroDivisionError), ignoring:
        1 / 0  # noqa: B018 -- leaving by an exception restores the mode too
    assert divides() == "Division by zero"

    @qelto.errstate(divide="ignore")
    def decorated(text):
        """Its own docstring."""
        return divides(text)

    assert decorated("a % b") != decorated("a % b")  # NaN
    assert decorated("a / b") == np.inf
    assert decorated.__doc__ == "Its own docstring."
    assert divides() == "Division by zero"
    assert repr(ignoring) == "errstate(divide='ignore')"


def test_errstate_leaves_the_underscore_entry_raising():
    with qelto.errstate(divide="ignore"), pytest.raises(RuntimeError, match="^Division by zero$"):
        _qelto.query("a / b", a=np.ones(3), b=np.zeros(3))


@pytest.mark.parametrize("first", ["ignore", "raise"])
def test_each_mode_has_its_own_cached_program(first):
    # Texts no other test compiles, so the first call here compiles them.
    texts = [f"a / b + 0 * {first}_{k}" for k in range(2)] + [f"1 / 0 + {first}_folded"]
    other = "raise" if first == "ignore" else "ignore"
    for mode in [first, other, first, other]:
        for text in texts:
            values = {"a": np.ones(3), "b": np.zeros(3), text.split()[-1]: 1.0}
            with qelto.errstate(divide=mode):
                if mode == "ignore":
                    assert np.all(qelto.query(text, **values) == np.inf)
                else:
                    with pytest.raises(RuntimeError, match="by zero(\n|$)"):
                        qelto.query(text, **values)


def test_errstate_holds_per_thread():
    barrier = threading.Barrier(3)
    seen = {}
    shared = qelto.errstate(divide="ignore")

    def run(mode, state):
        with state:
            barrier.wait()
            for _ in range(200):
                seen.setdefault(mode, set()).add(divides())
            barrier.wait()
            with qelto.errstate(divide="raise"):
                barrier.wait()
            seen[mode].add(divides())

    # Two threads are inside one object at once, each with its own mode inside it.
    states = [("ignore", shared), ("raise", qelto.errstate(divide="raise")), ("ignore", shared)]
    threads = [threading.Thread(target=run, args=state) for state in states]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert seen == {"ignore": {np.inf}, "raise": {"Division by zero"}}
    assert divides() == "Division by zero"


def test_errstate_holds_per_asyncio_task():
    async def task(mode):
        results = set()
        with qelto.errstate(divide=mode):
            for _ in range(20):
                await asyncio.sleep(0)  # the other task runs in between
                results.add(divides())
        return results

    async def both():
        return await asyncio.gather(task("ignore"), task("raise"))

    assert asyncio.run(both()) == [{np.inf}, {"Division by zero"}]
