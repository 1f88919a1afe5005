"""``query`` over Dask arrays: the expression is evaluated block by block with
``_qelto.query``, so arrays larger than memory, or spread over a cluster,
take the same expressions with the same results."""

import functools
import itertools
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
except ImportError as error:
    raise ImportError("qelto.dask needs Dask: install the extra, pip install 'qelto[dask]'") from error

import _qelto

__all__ = ["query"]


def query(expr: str | bytes | bytearray, **arrays: da.Array | npt.NDArray[np.float64]) -> da.Array:
    """A lazy float64 Dask array of the common shape of ``arrays``: ``expr``
    evaluated over each block of them with ``_qelto.query``.

    Dask arrays are rechunked to common chunks where theirs differ; a NumPy
    array counts as an array of one chunk. Argument and compile errors are
    raised here, as ``_qelto.query`` raises them; evaluation errors such as
    "Division by zero" when the result is computed. Without arrays the result
    has one element, as ``_qelto.query`` gives it.
    """
    if isinstance(expr, bytearray):  # the graph must not see later changes
        expr = bytes(expr)
    inputs = {name: _as_dask_array(name, value) for name, value in arrays.items()}
    _require_one_shape(inputs)
    # Zero-element stand-ins compile the program and check every dtype with
    # nothing evaluated; the compiled program stays cached for the blocks.
    probe = _qelto.query(expr, **{name: np.empty(0, dtype=array.dtype) for name, array in inputs.items()})
    if not inputs:
        return _single_chunk(probe)
    index = tuple(range(next(iter(inputs.values())).ndim))
    # blockwise, unlike map_blocks, rechunks the inputs to common chunks.
    result: da.Array = da.blockwise(  # type: ignore[no-untyped-call]
        functools.partial(_evaluate_block, expr, tuple(inputs)),
        index,
        *itertools.chain.from_iterable((array, index) for array in inputs.values()),
        token="qelto-query",
        dtype=np.float64,
        meta=np.empty((0,) * len(index), dtype=np.float64),
        concatenate=True,
    )
    return result


def _as_dask_array(name: str, value: object) -> da.Array:
    if isinstance(value, da.Array):
        return value
    if isinstance(value, np.ndarray):
        return _single_chunk(value)
    raise TypeError(f"Variable '{name}' is not a Dask or NumPy array (got {type(value).__name__})")


def _single_chunk(array: npt.NDArray[Any]) -> da.Array:
    result: da.Array = da.from_array(array, chunks=array.shape)  # type: ignore[no-untyped-call]
    return result


def _require_one_shape(inputs: dict[str, da.Array]) -> None:
    shapes = [(name, array.shape) for name, array in inputs.items()]
    for name, shape in shapes[1:]:
        if shape != shapes[0][1]:
            raise ValueError(
                f"Array shape mismatch: '{shapes[0][0]}' has shape {shapes[0][1]} but '{name}' has shape {shape}"
            )


def _evaluate_block(expr: str | bytes | bytearray, names: tuple[str, ...], *blocks: Any) -> npt.NDArray[np.float64]:
    # A block cut across a slower axis is not C-contiguous; _qelto reads only
    # contiguous data, so such a block is copied first.
    inputs = {name: np.ascontiguousarray(block) for name, block in zip(names, blocks)}
    return _qelto.query(expr, **inputs).reshape(blocks[0].shape)
