"""Same bits on every x86-64 CPU level.

    isa_check.py record FILE    evaluate the fixed expressions natively, save the results
    isa_check.py compare FILE   evaluate them again (under an emulated CPU) and compare

Expressions without math-library calls must give exactly the native bits,
NaN sign and payload included (signalling NaNs among the inputs).
The library's own results may differ between CPU models (it picks its code
by CPU), so expressions that call it are checked against the C library's
functions called element by element in the same process instead.
"""

import ctypes
import math
import pickle
import sys

import numpy as np

import qelto
from _qelto import query

N = 3 * 4096 + 17  # several blocks and a short one

OPERATORS = ["+", "-", "*", "/", "%", "&", "|", "^", "<<", ">>", "==", "!=", "<", "<=", ">", ">=", "&&", "||"]

EXACT = (
    [f"a {op} b" for op in OPERATORS]
    + [f"a {op} 2.5" for op in OPERATORS]
    + [f"-3 {op} b" for op in OPERATORS]
    + [f"c ? a {op} b : b" for op in OPERATORS]
    + [f"c ? a {op} b : a / c" for op in OPERATORS]
    + [f"{f}(a)" for f in ("sqrt", "abs", "floor", "ceil", "round")]
    + [f"c ? {f}(a) : b" for f in ("sqrt", "abs", "floor", "ceil", "round")]
    + ["min(a)", "min(a, b, c)", "max(a, b, 0.5, c)", "max(c, -0.0)", "!a", "~b", "-a", "+a", "2.5", "a",
       "((2*a+3)*a-4)*a+5", "(a > 0 && b < 0.5) || c > 0.9", "a > 0 ? sqrt(a) : -a", "a > b ? a - b : b*c",
       "(b*1000) & 255", "b != 0 ? a / b : 0", "a / (b - b)", "c ? a % 0 : 1",
       "(a > b) * c", "a - (b < c)", "c * (a && b)", "floor(a) * (b > c)", "c ? -a : ceil(b)"]
)

libm = ctypes.CDLL("libm.so.6")
for name in ("sin", "cos", "tan", "asin", "acos", "atan", "log", "log10", "exp"):
    getattr(libm, name).restype = ctypes.c_double
    getattr(libm, name).argtypes = [ctypes.c_double]
libm.pow.restype = ctypes.c_double
libm.pow.argtypes = [ctypes.c_double, ctypes.c_double]

# Each with the same formula element by element through the C library.
LIBRARY = [
    (f"{name}(a)", (lambda f: lambda a, b, c: f(a))(getattr(libm, name)))
    for name in ("sin", "cos", "tan", "asin", "acos", "atan", "log", "log10", "exp")
] + [
    ("pow(a, b)", lambda a, b, c: libm.pow(a, b)),
    ("sin(a) * cos(b) + sqrt(c)", lambda a, b, c: libm.sin(a) * libm.cos(b) + math.sqrt(c) if c >= 0 else math.nan),
    ("b > 0 ? exp(a) : log(c)", lambda a, b, c: libm.exp(a) if b > 0 else libm.log(c)),
    ("exp(-a*a) + log(abs(b) + 1)", lambda a, b, c: libm.exp(-a * a) + libm.log(abs(b) + 1)),
]

SIGNALLING = np.array([0x7FF0000000000001, 0xFFF40000000ABCDE], dtype=np.uint64).view(np.float64)
SPECIALS = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e19, -1e19, -1.0, 1.0, 2.5, -2.5, 3.0, 0.5, 63.0, 64.0,
            1e-310, 2.0**63, 2.0**64 - 2048, 7.0, 1e308, 0.7, -0.3, SIGNALLING[0], SIGNALLING[1]]


def inputs(n):
    rng = np.random.default_rng(11)
    columns = rng.uniform(-3.0, 3.0, size=(3, n))
    for v in range(3):
        for i in range(0, n, 5):
            columns[v, i] = SPECIALS[(i // 5 * (v + 3) + v) % len(SPECIALS)]
    return columns


def evaluate(text, a, b, c):
    try:
        return query(text, a=a, b=b, c=c)
    except RuntimeError as error:
        return str(error)


def same(x, y, nan_bits=True):
    if isinstance(x, str) or isinstance(y, str):
        return x == y
    nan = np.zeros(x.shape, dtype=bool) if nan_bits else np.isnan(x) & np.isnan(y)
    return bool(np.all(nan | (x.view(np.uint64) == y.view(np.uint64))))


def layouts(a, b, c):
    """One formula over values read in place: a transposed matrix, a row
    broadcast over a matrix and every other column, each level copying them
    its own way."""
    matrix = a[: 90 * 130].reshape(90, 130)
    views = {
        "transposed": b[: 130 * 90].reshape(130, 90).T,
        "broadcast row": c[:130],
        "every other column": np.concatenate([b, c])[: 90 * 260].reshape(90, 260)[:, ::2],
    }
    return {f"x * y - x with y {name}": qelto.query("x * y - x", x=matrix, y=y).ravel() for name, y in views.items()}


def record(path):
    a, b, c = inputs(N)
    results = {text: evaluate(text, a, b, c) for text in EXACT}
    results.update(layouts(a, b, c))
    with open(path, "wb") as f:
        pickle.dump(results, f)
    print(f"recorded {len(results)} expressions over {N} elements")


def compare(path):
    with open(path, "rb") as f:
        native = pickle.load(f)
    a, b, c = inputs(N)
    failed = [text for text in EXACT if not same(evaluate(text, a, b, c), native[text])]
    failed += [text for text, result in layouts(a, b, c).items() if not same(result, native[text])]
    a, b, c = (column[:200] for column in inputs(N))
    for text, formula in LIBRARY:
        expected = np.array([formula(x, y, z) for x, y, z in zip(a.tolist(), b.tolist(), c.tolist())])
        if not same(evaluate(text, a, b, c), expected, nan_bits=False):
            failed.append(text)
    for text in failed:
        print(f"DIFFERENT: {text}")
    print(f"{len(native) + len(LIBRARY) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    command, path = sys.argv[1], sys.argv[2]
    sys.exit(record(path) if command == "record" else compare(path))
