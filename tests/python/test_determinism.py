"""The same failing input gives the same message whatever the thread count."""

import os
import subprocess
import sys

import pytest

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
