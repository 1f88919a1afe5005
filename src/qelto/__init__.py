"""Compiled, cached, multi-threaded evaluation of arithmetic expressions over
NumPy float64 arrays.

``query(expr, **arrays)`` is the native ``_qelto.query``: it compiles the
expression once per distinct text and keyword names and evaluates it element by
element on every core. ``qelto.dask.query`` evaluates the same expressions block
by block over Dask arrays (install the extra ``qelto[dask]``).
"""

from importlib.metadata import version as _version

from _qelto import query

__version__: str = _version("qelto")
__all__ = ["__version__", "query"]
