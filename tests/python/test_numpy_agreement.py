import numpy as np
import pytest

from _qelto import query

SPECIALS = np.array(
    [0.0, -0.0, 1.0, -1.0, 0.5, -2.5, np.inf, -np.inf, np.nan, 5e-324, -5e-324, 1.7e308, -1.7e308, 2.0**63]
)
INT64_MIN = np.iinfo(np.int64).min


def make_inputs(n, rng):
    """a and b hold every pair of special values first; d never holds a zero."""
    pairs_a, pairs_b = (grid.ravel() for grid in np.meshgrid(SPECIALS, SPECIALS))
    extra = n - pairs_a.size
    a = np.concatenate([pairs_a, rng.normal(scale=50.0, size=extra)])
    b = np.concatenate([pairs_b, rng.normal(scale=50.0, size=extra)])
    b[-extra::7] = a[-extra::7]  # some equal pairs for the comparisons
    c = rng.uniform(-3.0, 3.0, size=n)
    d = np.where(b == 0.0, 1.5, b)
    return {"a": a, "b": b, "c": c, "d": d}


def to_int64(x):
    """Truncation toward zero; NaN, infinities and out-of-range values give INT64_MIN."""
    inside = (x >= -(2.0**63)) & (x < 2.0**63)
    result = np.where(inside, x, 0.0).astype(np.int64)
    result[~inside] = INT64_MIN
    return result


def shift_left(a, b):
    count = to_int64(b).view(np.uint64) & np.uint64(63)
    return (to_int64(a).view(np.uint64) << count).view(np.int64).astype(np.float64)


def shift_right(a, b):
    return (to_int64(a) >> (to_int64(b) & 63)).astype(np.float64)


def as_float(mask):
    return mask.astype(np.float64)


def minimum(*values):
    acc = values[0]
    for v in values[1:]:
        acc = np.where(v < acc, v, acc)
    return acc


def maximum(*values):
    acc = values[0]
    for v in values[1:]:
        acc = np.where(v > acc, v, acc)
    return acc


# Computed by NumPy in the same association order, these must match bit for bit.
EXACT = [
    ("a + b", lambda a, b, c, d: a + b),
    ("a - b", lambda a, b, c, d: a - b),
    ("a * b", lambda a, b, c, d: a * b),
    ("a / d", lambda a, b, c, d: a / d),
    ("a % d", lambda a, b, c, d: np.fmod(a, d)),
    ("a * b + c", lambda a, b, c, d: a * b + c),
    ("3*a*a*a - 2*a*b + c/4 - 1", lambda a, b, c, d: 3 * a * a * a - 2 * a * b + c / 4 - 1),
    ("-a", lambda a, b, c, d: -a),
    ("-(a - b)", lambda a, b, c, d: -(a - b)),
    ("a < b", lambda a, b, c, d: as_float(a < b)),
    ("a <= b", lambda a, b, c, d: as_float(a <= b)),
    ("a == b", lambda a, b, c, d: as_float(a == b)),
    ("a != b", lambda a, b, c, d: as_float(a != b)),
    ("a > b", lambda a, b, c, d: as_float(a > b)),
    ("a >= b", lambda a, b, c, d: as_float(a >= b)),
    ("!a", lambda a, b, c, d: as_float(a == 0)),
    ("a && b", lambda a, b, c, d: as_float((a != 0) & (b != 0))),
    ("a or c > 1", lambda a, b, c, d: as_float((a != 0) | (c > 1))),
    ("a > b ? a - b : c * 2", lambda a, b, c, d: np.where(a > b, a - b, c * 2)),
    ("b != 0 ? a / b : -1", lambda a, b, c, d: np.where(b != 0, a / b, -1.0)),
    ("c > 0 ? (c > 1 ? 1 : c) : -c", lambda a, b, c, d: np.where(c > 0, np.where(c > 1, 1.0, c), -c)),
    ("abs(a)", lambda a, b, c, d: np.abs(a)),
    ("floor(a) + ceil(b)", lambda a, b, c, d: np.floor(a) + np.ceil(b)),
    ("sqrt(abs(a))", lambda a, b, c, d: np.sqrt(np.abs(a))),
    ("min(a, b, c)", lambda a, b, c, d: minimum(a, b, c)),
    ("max(a, b)", lambda a, b, c, d: maximum(a, b)),
    ("a & b", lambda a, b, c, d: (to_int64(a) & to_int64(b)).astype(np.float64)),
    ("a | b", lambda a, b, c, d: (to_int64(a) | to_int64(b)).astype(np.float64)),
    ("a ^ b", lambda a, b, c, d: (to_int64(a) ^ to_int64(b)).astype(np.float64)),
    ("~a", lambda a, b, c, d: (~to_int64(a)).astype(np.float64)),
    ("a << b", lambda a, b, c, d: shift_left(a, b)),
    ("a >> b", lambda a, b, c, d: shift_right(a, b)),
]

# NumPy may use its own SIMD versions of these, which can differ from the C
# library in the last bit, so they are compared with a tight tolerance.
TRANSCENDENTAL = [
    ("sin(a)", lambda a, b, c, d: np.sin(a)),
    ("cos(a) * 2", lambda a, b, c, d: np.cos(a) * 2),
    ("tan(c)", lambda a, b, c, d: np.tan(c)),
    ("asin(c / 3)", lambda a, b, c, d: np.arcsin(c / 3)),
    ("atan(a)", lambda a, b, c, d: np.arctan(a)),
    ("exp(c)", lambda a, b, c, d: np.exp(c)),
    ("log(abs(a) + 1)", lambda a, b, c, d: np.log(np.abs(a) + 1)),
    ("log10(abs(b))", lambda a, b, c, d: np.log10(np.abs(b))),
    ("pow(abs(a), c)", lambda a, b, c, d: np.power(np.abs(a), c)),
]

SIZES = [pytest.param(8000, id="one-thread"), pytest.param(50_001, id="team")]


def expected_values(reference, inputs):
    with np.errstate(all="ignore"):
        return reference(**inputs)


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("expr, reference", EXACT, ids=[e for e, _ in EXACT])
def test_matches_numpy_bit_for_bit(expr, reference, n, rng, assert_same_bits):
    inputs = make_inputs(n, rng)
    assert_same_bits(query(expr, **inputs), expected_values(reference, inputs))


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("expr, reference", TRANSCENDENTAL, ids=[e for e, _ in TRANSCENDENTAL])
def test_matches_numpy_transcendentals(expr, reference, n, rng):
    inputs = make_inputs(n, rng)
    expected = expected_values(reference, inputs)
    result = query(expr, **inputs)
    assert result.shape == expected.shape
    assert np.allclose(result, expected, rtol=1e-15, atol=0.0, equal_nan=True)
