"""``query`` over Dask arrays: the expression is evaluated block by block with
``qelto.query``, so arrays larger than memory, or spread over a cluster,
take the same expressions with the same results."""

import functools
import itertools
import math
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
except ImportError as error:
    raise ImportError("qelto.dask needs Dask: install the extra, pip install 'qelto[dask]'") from error

import qelto
from qelto._errstate import DivideMode, divide_mode
from qelto._inputs import Input

__all__ = ["query"]


def query(expr: str | bytes | bytearray, **arrays: da.Array | Input) -> da.Array:
    """A lazy float64 Dask array of the common shape of ``arrays``: ``expr``
    evaluated over each block of them with ``qelto.query``.

    Dask arrays are rechunked to common chunks where theirs differ, and may
    have chunks of unknown size (``x[x > 0]``); any other array counts as an
    array of one chunk, and a scalar or 0-d value goes to every block. Values
    are converted as ``qelto.query`` converts them. Argument and compile
    errors are raised here, of the classes ``qelto.query`` raises; evaluation
    errors such as "Division by zero" when the result is computed (with no
    Dask array at all, here). Without arrays the result has one element, as
    ``_qelto.query`` gives it.

    The ``qelto.errstate`` in force here, when the graph is built, is the one
    its blocks are computed under, whichever thread computes them and
    whatever mode holds there.
    """
    if isinstance(expr, bytearray):  # the graph must not see later changes
        expr = bytes(expr)
    divide = divide_mode()
    inputs = {name: _as_input(value) for name, value in arrays.items()}
    lazy = [value for value in inputs.values() if isinstance(value, da.Array)]
    _require_one_shape({name: value for name, value in inputs.items() if isinstance(value, da.Array) and value.ndim})
    # Zero-element stand-ins compile the program and check every dtype with
    # nothing evaluated; the compiled program stays cached for the blocks.
    # With 0-d NumPy values alone the probe is the result.
    probe = qelto.query(expr, **{name: _stand_in(value) for name, value in inputs.items()})
    if not lazy:
        return _single_chunk(probe)
    index = tuple(range(max(value.ndim for value in lazy)))
    # blockwise, unlike map_blocks, rechunks the inputs to common chunks; a
    # 0-d Dask array (index ()) and a NumPy value (None) go to every block.
    result: da.Array = da.blockwise(  # type: ignore[no-untyped-call]
        functools.partial(_evaluate_block, expr, divide, tuple(inputs)),
        index,
        *itertools.chain.from_iterable((value, _index_of(value, index)) for value in inputs.values()),
        token="qelto-query",
        dtype=np.float64,
        meta=np.empty((0,) * len(index), dtype=np.float64),
        concatenate=True,
    )
    return result


def _index_of(value: da.Array | npt.NDArray[Any], index: tuple[int, ...]) -> tuple[int, ...] | None:
    if not isinstance(value, da.Array):
        return None
    return index if value.ndim else ()


def _as_input(value: object) -> da.Array | npt.NDArray[Any]:
    """A Dask array; any other array as one chunk; a 0-d value as it is."""
    if isinstance(value, da.Array):
        return value
    array = np.asarray(value)
    return _single_chunk(array) if array.ndim > 0 else array


def _stand_in(value: da.Array | npt.NDArray[Any]) -> npt.NDArray[Any]:
    return np.empty(0, dtype=value.dtype) if isinstance(value, da.Array) else value


def _single_chunk(array: npt.NDArray[Any]) -> da.Array:
    result: da.Array = da.from_array(array, chunks=array.shape)  # type: ignore[no-untyped-call]
    return result


def _require_one_shape(inputs: dict[str, da.Array]) -> None:
    """Shapes that do not broadcast are refused as qelto.query refuses them;
    other shapes that differ cannot be blocked together. An
    extent of unknown size matches any."""
    shapes = [(name, array.shape) for name, array in inputs.items()]
    for name, shape in shapes[1:]:
        first_name, first = shapes[0]
        if _known_size(first) and _known_size(shape) and not _broadcast(first, shape):
            raise ValueError(
                f"Values '{first_name}' of shape {first} and '{name}' of shape {shape} do not broadcast together"
            )
        if len(shape) != len(first) or not all(a == b or math.isnan(a) or math.isnan(b) for a, b in zip(first, shape)):
            raise ValueError(f"Array shape mismatch: '{first_name}' has shape {first} but '{name}' has shape {shape}")


def _broadcast(first: tuple[float, ...], other: tuple[float, ...]) -> bool:
    return all(a == b or a == 1 or b == 1 for a, b in zip(reversed(first), reversed(other)))


def _known_size(shape: tuple[float, ...]) -> bool:
    return not any(math.isnan(extent) for extent in shape)


def _evaluate_block(
    expr: str | bytes, divide: DivideMode, names: tuple[str, ...], *blocks: Any
) -> npt.NDArray[np.float64]:
    # A block cut across a slower axis is not C-contiguous; qelto.query
    # copies it, and gives the result in the block's shape.
    with qelto.errstate(divide=divide):
        return qelto.query(expr, **dict(zip(names, blocks)))
