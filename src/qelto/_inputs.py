"""What ``qelto.query`` accepts beyond float64 arrays: scalars, array-likes
and other real dtypes, each turned into the float64 array the native entry
reads in place. The native entry calls ``as_float64_arrays`` only for calls
that need it."""

from collections.abc import Sequence
from typing import Any, Protocol, TypeAlias

import numpy as np
import numpy.typing as npt

RealScalar: TypeAlias = bool | int | float | np.bool_ | np.integer[Any] | np.floating[Any]
RealDType: TypeAlias = np.dtype[np.bool_ | np.integer[Any] | np.floating[Any]]


class SupportsRealArray(Protocol):
    """An array of real numbers, or what gives one to ``np.asarray``."""

    def __array__(self) -> np.ndarray[Any, RealDType]: ...


Input: TypeAlias = (
    RealScalar | SupportsRealArray | Sequence[RealScalar] | Sequence[Sequence[RealScalar]] | Sequence[SupportsRealArray]
)

# Booleans, signed and unsigned integers and floats of any size.
_REAL_KINDS = "biuf"


def as_float64_arrays(names: tuple[str, ...], values: tuple[object, ...]) -> tuple[npt.NDArray[np.float64], ...]:
    """Each value as an aligned float64 array of native byte order, in any
    layout: only values of another type, dtype, byte order or alignment are
    copied. The native entry reads them in place and broadcasts them."""
    return tuple(_as_float64(name, value) for name, value in zip(names, values))


def _as_float64(name: str, value: object) -> npt.NDArray[np.float64]:
    if type(value) is int:
        return np.array(_rounded(value))
    array = np.asarray(value)
    if array.dtype == object and all(type(item) is int for item in array.flat):
        return np.array([_rounded(item) for item in array.flat]).reshape(array.shape)
    if array.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"Variable '{name}' must hold real numbers: bool, integer or float (got {array.dtype})")
    converted = np.asarray(array, dtype=np.float64)
    return converted if converted.flags.aligned else converted.copy()


def _rounded(value: int) -> float:
    """An int of any size as the nearest float64; beyond the largest, inf."""
    try:
        return float(value)
    except OverflowError:
        return float("inf") if value > 0 else float("-inf")
