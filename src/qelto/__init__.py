"""Compiled, cached, multi-threaded evaluation of arithmetic expressions over
NumPy arrays.

``query(expr, out=None, **arrays)`` compiles the expression once per distinct
text and keyword names and evaluates it element by element on every core,
into a new array of the inputs' shape or into ``out``. ``get_num_threads``
and ``set_num_threads`` control the team of threads, which threadpoolctl's
limits also reach. ``with errstate(divide="ignore"):`` makes ``/`` and ``%``
by zero give inf or NaN, as IEEE arithmetic does, instead of raising. ``qelto.dask.query`` evaluates the same expressions block
by block over Dask arrays (install the extra ``qelto[dask]``).
"""

from importlib.metadata import version as _version
from typing import TYPE_CHECKING

import numpy as _np
import numpy.typing as _npt

from qelto._errstate import divide_ignored as _divide_ignored, errstate
from qelto._inputs import Input, as_float64_arrays as _as_float64_arrays
from qelto._native import entries as _entries
from qelto._threads import get_num_threads, register_with_threadpoolctl as _register_with_threadpoolctl, set_num_threads

__version__: str = _version("qelto")
__all__ = ["Input", "__version__", "errstate", "get_num_threads", "query", "set_num_threads"]


if TYPE_CHECKING:

    def query(
        expr: str | bytes | bytearray, /, *, out: _npt.NDArray[_np.float64] | None = None, **arrays: Input
    ) -> _npt.NDArray[_np.float64]:
        """Native: its conversions call back into ``qelto._inputs``."""
        ...

else:
    query = _entries.query

_entries.set_converter(_as_float64_arrays)
_entries.set_divide_state(_divide_ignored)
_register_with_threadpoolctl()
