import numpy as np
import pytest

from _qelto import query

THREE = np.arange(3.0)
ZEROS3 = np.zeros(3)
ZEROS4 = np.zeros(4)


@pytest.mark.parametrize(
    "expr, kwargs, message",
    [
        pytest.param("a", {"a": [1.0, 2.0]}, "Variable 'a' is not a numpy array", id="list"),
        pytest.param("a", {"a": 1.0}, "Variable 'a' is not a numpy array", id="float"),
        pytest.param("a", {"a": np.float64(1.0)}, "Variable 'a' is not a numpy array", id="numpy-scalar"),
        pytest.param("a", {"a": np.arange(3)}, "Variable 'a' must be float64 (got int64)", id="int64"),
        pytest.param("a", {"a": THREE.astype(np.float32)}, "Variable 'a' must be float64 (got float32)", id="float32"),
        pytest.param("a", {"a": THREE.astype(np.float16)}, "Variable 'a' must be float64 (got float16)", id="float16"),
        pytest.param(
            "a", {"a": THREE.astype(np.complex128)}, "Variable 'a' must be float64 (got complex128)", id="complex"
        ),
        pytest.param(
            "a",
            {"a": np.zeros(3, dtype=[("x", "<f8")])},
            "Variable 'a' must be float64 (got [('x', '<f8')])",
            id="structured",
        ),
        pytest.param("a", {"a": np.arange(6.0)[::2]}, "Variable 'a' must be C-contiguous", id="step-two"),
        pytest.param("a", {"a": THREE[::-1]}, "Variable 'a' must be C-contiguous", id="reversed"),
        pytest.param(
            "a", {"a": np.asfortranarray(np.ones((2, 3)))}, "Variable 'a' must be C-contiguous", id="column-major"
        ),
        pytest.param(
            "a",
            {"a": np.arange(6, dtype=np.float32)[::2]},
            "Variable 'a' must be float64 (got float32)",
            id="dtype-tested-before-layout",
        ),
        pytest.param(
            "a",
            {"a": THREE, "b": np.arange(3), "c": [1.0]},
            "Variable 'b' must be float64 (got int64)",
            id="first-bad-keyword",
        ),
        pytest.param(
            "a", {"z": [1.0], "a": np.arange(3)}, "Variable 'z' is not a numpy array", id="keyword-order-not-name-order"
        ),
        pytest.param("1+", {"a": [1.0]}, "Variable 'a' is not a numpy array", id="array-before-expression"),
        pytest.param(
            "a",
            {"a": ZEROS3, "b": ZEROS4, "c": np.arange(4)},
            "Variable 'c' must be float64 (got int64)",
            id="all-arrays-before-sizes",
        ),
        pytest.param(
            "a+b", {"a": ZEROS3, "b": ZEROS4}, "Array size mismatch: 'a' has 3 elements but 'b' has 4", id="size"
        ),
        pytest.param(
            "a",
            {"a": ZEROS3, "b": ZEROS3, "c": np.zeros(5)},
            "Array size mismatch: 'a' has 3 elements but 'c' has 5",
            id="size-against-first",
        ),
        pytest.param(
            "a",
            {"a": np.zeros(0), "b": np.zeros(1)},
            "Array size mismatch: 'a' has 0 elements but 'b' has 1",
            id="size-empty-first",
        ),
        pytest.param(
            "a",
            {"a": ZEROS3, "unused": np.zeros(2)},
            "Array size mismatch: 'a' has 3 elements but 'unused' has 2",
            id="unused-keyword-sized",
        ),
        pytest.param(
            "a+", {"a": ZEROS3, "b": ZEROS4}, "Array size mismatch: 'a' has 3 elements but 'b' has 4", id="size-first"
        ),
        pytest.param("a+", {"a": THREE}, "Expression failed to compile: a+ — Parse error", id="parse"),
        pytest.param("a+b", {"a": THREE}, "Expression failed to compile: a+b — Unknown id/variable", id="unbound"),
        pytest.param("x*2", {}, "Expression failed to compile: x*2 — Unknown id/variable", id="no-keywords"),
        pytest.param("foo(a)", {"a": THREE}, "Expression failed to compile: foo(a) — Unknown func", id="function"),
        pytest.param(
            "a + é", {"a": THREE}, "Expression failed to compile: a + é — Lexer error: Unknown character", id="utf8"
        ),
        pytest.param(
            b"a\x00+1",
            {"a": THREE},
            "Expression failed to compile: a\x00+1 — Lexer error: Unknown character",
            id="nul-byte-kept",
        ),
        pytest.param(
            b"a+\xff",
            {"a": THREE},
            "Expression failed to compile: a+\\xff — Lexer error: Unknown character",
            id="invalid-utf8-escaped",
        ),
        pytest.param("a", {"a\x00b": [1.0]}, "Variable 'a\x00b' is not a numpy array", id="nul-in-name"),
        pytest.param(
            "a = 1",
            {"a": THREE},
            "Expression failed to compile: a = 1 — Lexer error: Single '=' not supported, use '=='",
            id="lone-equals",
        ),
        pytest.param(
            "a + 1/0", {"a": THREE}, "Expression failed to compile: a + 1/0 — Division by zero", id="folded-division"
        ),
    ],
)
def test_refused_calls_report_exact_message(expr, kwargs, message):
    with pytest.raises(RuntimeError) as info:
        query(expr, **kwargs)
    assert str(info.value) == message


# A name with a lone surrogate has no UTF-8 form. Its error takes its place
# among the keyword-by-keyword tests, on both entries.
BAD_NAME = "\udc80"
BAD_NAME_MESSAGE = "Keyword argument name is not valid text: '\\udc80'"


@pytest.mark.parametrize("entry", [str, bytes], ids=["fast-entry", "pybind11-entry"])
@pytest.mark.parametrize(
    "kwargs, message",
    [
        pytest.param({BAD_NAME: THREE}, BAD_NAME_MESSAGE, id="only-keyword"),
        pytest.param({"a": THREE, BAD_NAME: 1.0}, BAD_NAME_MESSAGE, id="before-its-own-value-test"),
        pytest.param({"a": 1.0, BAD_NAME: THREE}, "Variable 'a' is not a numpy array", id="after-earlier-keyword"),
        pytest.param({"a": THREE, BAD_NAME: ZEROS4}, BAD_NAME_MESSAGE, id="before-size-test"),
        pytest.param({BAD_NAME: THREE, "b": 1.0}, BAD_NAME_MESSAGE, id="before-later-keyword"),
        pytest.param({"\u00e9" + BAD_NAME: THREE}, "Keyword argument name is not valid text: '\u00e9\\udc80'",
                     id="printable-part-kept"),
    ],
)
def test_unencodable_keyword_name_is_refused_in_keyword_order(entry, kwargs, message):
    text = "1" if entry is str else b"1"
    with pytest.raises(RuntimeError) as info:
        query(text, **kwargs)
    assert str(info.value) == message


def test_failed_compile_fails_again_the_same_way():
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^Expression failed to compile: a\\*\\*2 — Parse error$"):
            query("a**2", a=THREE)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param((), {}, id="no-expr"),
        pytest.param((), {"a": THREE}, id="only-variables"),
        pytest.param((1,), {}, id="int-expr"),
        pytest.param((None,), {}, id="none-expr"),
        pytest.param(("a", THREE), {}, id="extra-positional"),
        pytest.param((), {"expr": 1.5}, id="float-expr-keyword"),
    ],
)
def test_bad_signature_is_type_error(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        query(*args, **kwargs)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda x: query("a*2+1", a=x), id="str"),
        pytest.param(lambda x: query(b"a*2+1", a=x), id="bytes"),
        pytest.param(lambda x: query(bytearray(b"a*2+1"), a=x), id="bytearray"),
        pytest.param(lambda x: query(expr="a*2+1", a=x), id="expr-keyword"),
        pytest.param(lambda x: query(a=x, expr="a*2+1"), id="expr-keyword-last"),
        pytest.param(lambda x: query("a*2+1", **{f"u{k}": x for k in range(20)}, a=x), id="after-twenty-values"),
    ],
)
def test_expression_forms(call, assert_same_bits):
    x = np.linspace(-3.0, 3.0, 7)
    assert_same_bits(call(x), x * 2 + 1)


@pytest.mark.parametrize(
    "expr, value",
    [("2*3", 6.0), ("7 % 4", 3.0), ("1 < 2 ? -0.0 : 1", -0.0), ("-(1/3)", -(1 / 3))],
)
def test_without_keywords_result_has_one_element(expr, value, assert_same_bits):
    assert_same_bits(query(expr), np.array([value]))


@pytest.mark.parametrize(
    "expr, kwargs",
    [
        pytest.param("a + 1", {"a": np.zeros(0)}, id="one"),
        pytest.param("a / b", {"a": np.zeros(0), "b": np.zeros((0, 3))}, id="nothing-divided"),
    ],
)
def test_zero_size_inputs_give_empty_result(expr, kwargs):
    result = query(expr, **kwargs)
    assert result.dtype == np.float64
    assert result.shape == (0,)


@pytest.mark.parametrize(
    "a, b",
    [
        pytest.param(np.arange(6.0).reshape(2, 3), np.arange(6.0) * 10, id="2x3-and-6"),
        pytest.param(np.arange(6.0).reshape(3, 1, 2), np.arange(6.0).reshape(6, 1), id="3x1x2-and-6x1"),
        pytest.param(np.array(2.5), np.array([4.0]), id="0d-and-1"),
    ],
)
def test_any_shape_counts_by_size_in_c_order(a, b, assert_same_bits):
    assert_same_bits(query("a - b", a=a, b=b), a.ravel() - b.ravel())


def test_big_endian_input_is_converted(assert_same_bits):
    native = np.linspace(-2.0, 2.0, 9)
    swapped = native.astype(">f8")
    before = swapped.tobytes()
    assert_same_bits(query("a*a - 1", a=swapped), native * native - 1)
    assert swapped.dtype == np.dtype(">f8")
    assert swapped.tobytes() == before


class Tagged(np.ndarray):
    pass


@pytest.mark.parametrize(
    "wrap",
    [
        pytest.param(lambda x: np.ma.masked_array(x, mask=x > 1.0), id="masked"),
        pytest.param(lambda x: x.view(Tagged), id="custom"),
    ],
)
def test_ndarray_subclasses_are_read_by_their_data(wrap, assert_same_bits):
    x = np.linspace(0.0, 2.0, 5)
    assert_same_bits(query("a + 1", a=wrap(x)), x + 1)


# A float64 view into a byte buffer at an odd offset: every double is misaligned.
@pytest.mark.parametrize("n", [3, 20_001])
@pytest.mark.parametrize("buffer_type", [bytes, bytearray])
def test_unaligned_input_gives_correct_results(n, buffer_type, rng, assert_same_bits):
    values = rng.normal(size=n)
    raw = buffer_type(b"\x00" + values.tobytes())
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1, count=n)
    assert not unaligned.flags.aligned
    other = rng.normal(size=n)
    assert_same_bits(query("a * b + a", a=unaligned, b=other), values * other + values)
    assert_same_bits(query("b - a", b=other, a=unaligned), other - values)
    assert bytes(raw[1:]) == values.tobytes()


def test_read_only_input_is_accepted(assert_same_bits):
    x = np.linspace(-1.0, 1.0, 10_000)
    x.setflags(write=False)
    assert_same_bits(query("a * 3", a=x), x * 3)


def test_result_is_a_fresh_writable_array():
    x = np.arange(5.0)
    result = query("a", a=x)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert not np.shares_memory(result, x)


def test_names_differing_in_case_bind_the_first_in_keyword_order(assert_same_bits):
    x = np.arange(4.0)
    y = np.arange(4.0) * 100
    assert_same_bits(query("a", a=x, A=y), x)
    assert_same_bits(query("A", a=x, A=y), x)
    assert_same_bits(query("a", A=y, a=x), y)
    with pytest.raises(RuntimeError, match="^Variable 'A' is not a numpy array$"):
        query("a", a=x, A=[1.0, 2.0, 3.0, 4.0])


def test_keyword_order_gives_its_own_correct_program(assert_same_bits):
    x = np.linspace(1.0, 2.0, 50)
    y = np.linspace(-5.0, 5.0, 50)
    for _ in range(2):  # the second round hits the cache
        assert_same_bits(query("a - b*2", a=x, b=y), x - y * 2)
        assert_same_bits(query("a - b*2", b=y, a=x), x - y * 2)


@pytest.mark.parametrize("n", [1, 100, 8191, 8192, 100_000])
@pytest.mark.parametrize(
    "expr, message, expected",
    [("a / b", "Division by zero", np.divide), ("a % b", "Modulo by zero", np.fmod)],
)
def test_evaluation_error_has_no_prefix_and_next_call_works(n, expr, message, expected, assert_same_bits):
    a = np.full(n, 7.0)
    b = np.full(n, 2.0)
    b[-1] = 0.0
    with pytest.raises(RuntimeError) as info:
        query(expr, a=a, b=b)
    assert str(info.value) == message
    b[-1] = 4.0
    assert_same_bits(query(expr, a=a, b=b), expected(a, b))


def test_inputs_are_never_written(rng):
    a = rng.normal(size=50_000)
    b = rng.normal(size=50_000)
    b[123] = 0.0
    copies = (a.copy(), b.copy())
    for expr in ["a + b", "a > b ? a : b", "sin(a) * b", "-a", "a + b*2 - a/3"]:
        query(expr, a=a, b=b)
    with pytest.raises(RuntimeError, match="^Division by zero$"):
        query("a / b", a=a, b=b)
    assert a.tobytes() == copies[0].tobytes()
    assert b.tobytes() == copies[1].tobytes()
