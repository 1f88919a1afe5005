"""The same input gives the same bits and the same message whatever the thread
count, the block layout or an element's position."""

import os
import subprocess
import sys

import numpy as np
import pytest

import _qelto
import qelto

# Zeros in two blocks: under % in block 4, under / in block 9. The lower
# block's error wins, on one thread or many, block by block or per element.
CHILD = """
import numpy as np
from _qelto import query
n = 10 * 4096
x, a, y, b, c = (np.ones(n) for _ in range(5))
b[4 * 4096] = 0.0
a[9 * 4096] = 0.0
seen = set()
for text in ("x/a + y%b", "c ? x/a + y%b : 0"):
    for _ in range(200):
        try:
            query(text, x=x, a=a, y=y, b=b, c=c)
            seen.add("no error")
        except RuntimeError as error:
            seen.add(str(error))
print(sorted(seen))
"""


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_lowest_failing_block_decides_the_message(threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['Modulo by zero']"


# NaNs of both signs and several payloads on both sides of each operator;
# which elements share a block with a false condition moves with the team
# size, and must change no bit of any result.
NAN_CHILD = """
import hashlib
import numpy as np
from _qelto import query
patterns = np.array([0x7FF8000000000000, 0xFFF8000000000000, 0x7FF80000DEADBEEF, 0xFFF0000000000001],
                    dtype=np.uint64).view(np.float64)
n = 10_000
i = np.arange(n)
x, y = patterns[i % 4], patterns[i // 4 % 4]
c = np.where(i % 3000 == 0, 0.0, 1.0)
w = np.full(n, 0.5)
for text in ("c ? x + y : sin(w)", "c ? x * y : sin(w)", "x + y", "x * y", "(x + y) * w", "c ? x + y : w"):
    r = query(text, x=x, y=y, c=c, w=w)
    print(text, hashlib.sha256(r.tobytes()).hexdigest(), int((r.view(np.uint64) == x.view(np.uint64) | 1 << 51).sum()))
"""


def test_nan_bits_do_not_depend_on_the_thread_count():
    outputs = []
    for threads in (1, 2, 3):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        done = subprocess.run([sys.executable, "-c", NAN_CHILD], env=env, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        outputs.append(done.stdout)
    assert outputs[0] == outputs[1] == outputs[2]
    # Where x is a NaN, x + y and x * y are x's NaN, quieted.
    for line in outputs[0].splitlines():
        text, _, left_nan_count = line.rsplit(" ", 2)
        if text in ("x + y", "x * y"):
            assert int(left_nan_count) == 10_000, line


# Long programs are evaluated in slices, a few per call here. Each pair of
# zeros sits in one block, the % before the /: a block that checks whole
# reports the division, an element-by-element program the modulo. Slices cut
# anywhere but at block boundaries would split the pair and change the
# first; the cheap programs, which run in one piece, give the reference.
SLICED_CHILD = """
import numpy as np
from _qelto import query
BLOCK = 4096
n = 4 * BLOCK
# Long enough that each program takes more than one slice on one or two threads.
long_tail, short_tail = "+x*1.0000001" * 30000, "+x*1.0000001" * 5000
rng = np.random.default_rng(5)
x, y = rng.random(n) + 1.0, rng.random(n) + 1.0
c = (rng.random(n) > 0.5).astype(np.float64)
for block in range(1, 4):
    c[block * BLOCK + 10] = c[block * BLOCK + 4000] = 1.0  # both zeros on the path
ones = np.ones(n)
def run(text, a, b):
    try:
        return query(text, x=x, a=a, y=y, b=b, c=c)
    except RuntimeError as error:
        return str(error)
def failure(text, a, b):
    outcome = run(text, a, b)
    return outcome if isinstance(outcome, str) else "no error"
for cheap, costly in (
    ("x/a + y%b", "x/a + y%b" + long_tail),
    ("c ? x/a + y%b : 0", "c ? x/a + y%b" + short_tail + " : 0"),
    ("(x/a + y%b) * (c ? 1 : 2)", "(x/a + y%b" + long_tail + ") * (c ? 1 : 2)"),
):
    whole = run(costly, ones, ones)
    pieces = [query(costly, x=x[s:s + BLOCK], a=ones[s:s + BLOCK], y=y[s:s + BLOCK], b=ones[s:s + BLOCK],
                    c=c[s:s + BLOCK]) for s in range(0, n, BLOCK)]
    print("values", cheap, np.array_equal(whole, np.concatenate(pieces)))
    for block in range(1, 4):
        a, b = ones.copy(), ones.copy()
        b[block * BLOCK + 10] = 0.0
        a[block * BLOCK + 4000] = 0.0
        message = failure(costly, a, b)
        print("error", cheap, block, message == failure(cheap, a, b), message)
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_sliced_long_programs_keep_results_and_the_message(threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", SLICED_CHILD], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 * 4
    assert all(line.startswith("values") and line.endswith("True") for line in lines if not line.startswith("error"))
    errors = [line for line in lines if line.startswith("error")]
    assert all(" True " in line for line in errors), errors
    # Both kinds of failure are met, so the pairs do tell the layouts apart.
    assert any(line.endswith("Division by zero") for line in errors)
    assert any(line.endswith("Modulo by zero") for line in errors)


# Within a block the first failing step decides, over all of the block's
# elements: element 0 alone fails at %, element 1 alone at /, and the / runs
# first. With a conditional the elements go one by one, so element 0 decides.
@pytest.mark.parametrize(
    "text, elements, message",
    [
        ("a / b + a % c", slice(0, 2), "Division by zero"),
        ("a / b + a % c", slice(0, 1), "Modulo by zero"),
        ("a / b + a % c", slice(1, 2), "Division by zero"),
        ("a ? a / b + a % c : 0", slice(0, 2), "Modulo by zero"),
    ],
)
def test_first_failing_step_of_the_block_decides_the_message(text, elements, message):
    a, b, c = np.array([1.0, 1.0]), np.array([1.0, 0.0]), np.array([0.0, 1.0])
    with pytest.raises(RuntimeError) as error:
        _qelto.query(text, a=a[elements], b=b[elements], c=c[elements])
    assert str(error.value) == message


# Signalling NaNs among quiet ones: arithmetic and the rounding functions
# quiet them (so pow(x, 0) is 1), copies keep them. An element gives the
# bits it gives alone, in any position of a block and on any team size.
SIGNALLING = np.array(
    [0x7FF0000000000001, 0xFFF4000000000000, 0x7FF8000000000000, 0xFFF80000DEADBEEF, 0x3FF8000000000000],
    dtype=np.uint64,
).view(np.float64)


@pytest.fixture
def runtime_default_team_afterwards():
    yield
    qelto.set_num_threads(None)


@pytest.mark.usefixtures("runtime_default_team_afterwards")
@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("n", [1, 3, 4097, 8195])
@pytest.mark.parametrize(
    "text, all_ones",
    [
        ("pow((b && 1) * d, z)", True),
        ("pow(b ? ceil(d) : sin(b), z)", True),
        ("pow(-d, z)", True),
        ("floor(d) * (b > z)", False),
        ("d - (b < z)", False),
        ("b ? d : z", False),
        ("abs(d) + 0 * min(d, b)", False),
    ],
)
def test_signalling_nans_give_each_element_its_bits_alone(text, all_ones, n, threads):
    qelto.set_num_threads(threads)
    columns = {"b": np.ones(n), "d": SIGNALLING[np.arange(n) % len(SIGNALLING)], "z": np.zeros(n)}
    got = _qelto.query(text, **columns).view(np.uint64)
    alone = np.array([_qelto.query(text, b=np.ones(1), d=SIGNALLING[k : k + 1], z=np.zeros(1))[0]
                      for k in range(len(SIGNALLING))]).view(np.uint64)
    assert np.array_equal(got, alone[np.arange(n) % len(SIGNALLING)])
    if all_ones:
        assert np.all(got.view(np.float64) == 1.0)
