"""The program cache holds a bounded number of bytes whatever the callers send."""

import subprocess
import sys
import textwrap

import pytest

from conftest import running_under_address_sanitizer

CACHE_BUDGET = 64 << 20


# A fresh process, so the growth measured is the cache's alone. Sanitized
# allocations carry redzones the budget does not count.
@pytest.mark.skipif(running_under_address_sanitizer(), reason="sanitizer allocations are larger than counted")
def test_resident_memory_stays_within_the_budget_over_400000_texts():
    script = textwrap.dedent(
        """
        import os
        import numpy as np
        from _qelto import query

        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        x = np.arange(3.0)
        for k in range(5_000):
            query(f"x - {k}", x=x)
        before = resident()
        for k in range(400_000):
            result = query(f"x * {k} + 1", x=x)
        assert result.tolist() == [1.0, 399_999 + 1.0, 2 * 399_999 + 1.0]
        print(resident() - before)
        """
    )
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    growth = int(child.stdout)
    assert growth < CACHE_BUDGET + (8 << 20), f"resident memory grew by {growth} bytes"
