import numpy as np
import pytest


def running_under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.fixture
def rng():
    return np.random.default_rng(20240607)


def _assert_same_bits(actual, expected):
    """Equal values, NaN where NaN, and the same sign on every zero."""
    expected = np.asarray(expected, dtype=np.float64)
    assert actual.dtype == np.float64
    assert actual.shape == expected.shape
    assert np.array_equal(actual, expected, equal_nan=True)
    zeros = expected == 0
    assert np.array_equal(np.signbit(actual[zeros]), np.signbit(expected[zeros]))


@pytest.fixture
def assert_same_bits():
    return _assert_same_bits
