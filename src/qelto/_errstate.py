"""``errstate``: what ``/`` and ``%`` do with a zero divisor, per thread and
per asyncio task. The native ``query`` reads the context variable on each
call and compiles (and caches) a program per mode."""

import functools
from collections.abc import Callable
from contextvars import ContextVar
from types import TracebackType
from typing import Literal, ParamSpec, TypeVar

DivideMode = Literal["ignore", "raise"]

_P = ParamSpec("_P")
_R = TypeVar("_R")

divide_ignored: ContextVar[bool] = ContextVar("qelto.divide_ignored", default=False)
# The modes that the errstate blocks open here replaced, innermost last: kept
# in the context too, so that one errstate object may be entered in several
# threads and tasks at once.
_replaced: ContextVar[tuple[bool, ...]] = ContextVar("qelto.divide_replaced", default=())


def divide_mode() -> DivideMode:
    """The mode in force here."""
    return "ignore" if divide_ignored.get() else "raise"


class errstate:
    """``with qelto.errstate(divide="ignore"):`` makes ``/`` and ``%`` by
    zero give the IEEE result of the operation, as C gives it: +-inf or NaN
    for ``/``, NaN for ``%`` (fmod), in constant folding and at run time
    alike, with no zero checks. ``divide="raise"``, the default outside any
    ``errstate``, fails the call with "Division by zero" or "Modulo by zero".

    The mode holds for the calling thread or asyncio task only (a context
    variable) and is restored on leaving; blocks nest, and one object may be
    entered anywhere, inside itself or in several threads at once. Used as a
    decorator it applies to each call of the function. ``_qelto.query``
    always raises.
    """

    def __init__(self, *, divide: DivideMode) -> None:
        if not isinstance(divide, str):
            raise TypeError(f"errstate() divide must be 'ignore' or 'raise', not {type(divide).__name__}")
        if divide not in ("ignore", "raise"):
            raise ValueError(f"errstate() divide must be 'ignore' or 'raise', not {divide!r}")
        self._divide: DivideMode = divide

    def __enter__(self) -> None:
        _replaced.set((*_replaced.get(), divide_ignored.get()))
        divide_ignored.set(self._divide == "ignore")

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        *outer, previous = _replaced.get()
        _replaced.set(tuple(outer))
        divide_ignored.set(previous)

    def __call__(self, function: Callable[_P, _R]) -> Callable[_P, _R]:
        @functools.wraps(function)
        def under_errstate(*args: _P.args, **kwargs: _P.kwargs) -> _R:
            with self:
                return function(*args, **kwargs)

        return under_errstate

    def __repr__(self) -> str:
        return f"errstate(divide={self._divide!r})"
