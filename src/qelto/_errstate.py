"""``errstate``: what ``/`` and ``%`` do with a zero divisor, per thread and
per asyncio task. The native ``query`` reads the context variable on each
call and compiles (and caches) a program per mode."""

import functools
from collections.abc import Callable
from contextvars import ContextVar, Token
from types import TracebackType
from typing import Literal, ParamSpec, TypeVar

DivideMode = Literal["ignore", "raise"]

_P = ParamSpec("_P")
_R = TypeVar("_R")

divide_ignored: ContextVar[bool] = ContextVar("qelto.divide_ignored", default=False)


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
    variable) and is restored on leaving; blocks nest, and the same object
    may be entered again inside itself. Used as a decorator it applies to
    each call of the function. ``_qelto.query`` always raises.
    """

    def __init__(self, *, divide: DivideMode) -> None:
        if not isinstance(divide, str):
            raise TypeError(f"errstate() divide must be 'ignore' or 'raise', not {type(divide).__name__}")
        if divide not in ("ignore", "raise"):
            raise ValueError(f"errstate() divide must be 'ignore' or 'raise', not {divide!r}")
        self._divide: DivideMode = divide
        self._tokens: list[Token[bool]] = []

    def __enter__(self) -> None:
        self._tokens.append(divide_ignored.set(self._divide == "ignore"))

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        divide_ignored.reset(self._tokens.pop())

    def __call__(self, function: Callable[_P, _R]) -> Callable[_P, _R]:
        divide = self._divide

        # A fresh errstate per call, so that calls in other threads do not
        # share one stack of tokens.
        @functools.wraps(function)
        def under_errstate(*args: _P.args, **kwargs: _P.kwargs) -> _R:
            with errstate(divide=divide):
                return function(*args, **kwargs)

        return under_errstate

    def __repr__(self) -> str:
        return f"errstate(divide={self._divide!r})"
