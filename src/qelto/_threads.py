"""The team size of every evaluation, process-wide, and a controller through
which threadpoolctl's limits reach it."""

import importlib.metadata
import importlib.util
import sys
from importlib.machinery import ModuleSpec
from types import ModuleType
from typing import Any

from qelto._native import entries


def get_num_threads() -> int:
    """The number of threads the next evaluation made by this thread runs
    on when it opens a team: the count given to ``set_num_threads``, or else
    the OpenMP runtime's default for this thread (``OMP_NUM_THREADS``, or one
    thread per core); 1 in a process forked after a team first opened."""
    count: int = entries.get_num_threads()
    return count


def set_num_threads(count: int | None) -> None:
    """Every later evaluation, from any thread, runs on ``count`` threads (1
    to 1024); ``None`` gives the OpenMP runtime's default back. A bool, a
    float or a string is a ``TypeError``, a count out of range a
    ``ValueError``."""
    entries.set_num_threads(count)


class _RuntimeDefault(int):
    """A count that threadpoolctl reads while none is set: setting it back
    on leaving a limit gives the runtime's default back, not a fixed count."""


def _controller_class(threadpoolctl: ModuleType) -> type:
    class QeltoController(threadpoolctl.LibController):  # type: ignore[misc, name-defined]
        user_api = "openmp"
        internal_api = "qelto"
        filename_prefixes = ("_qelto",)

        def get_num_threads(self) -> int:
            setting: int | None = entries.num_threads_setting()
            return _RuntimeDefault(get_num_threads()) if setting is None else setting

        def set_num_threads(self, num_threads: int) -> None:
            set_num_threads(None if isinstance(num_threads, _RuntimeDefault) else num_threads)

        def get_version(self) -> str:
            return importlib.metadata.version("qelto")

    return QeltoController


def _register(threadpoolctl: ModuleType) -> None:
    threadpoolctl.register(_controller_class(threadpoolctl))


class _RegisteringLoader:
    """Runs threadpoolctl's own loader, then registers the controller."""

    def __init__(self, loader: Any) -> None:
        self._loader = loader

    def create_module(self, found: ModuleSpec) -> ModuleType | None:
        module: ModuleType | None = self._loader.create_module(found)
        return module

    def exec_module(self, module: ModuleType) -> None:
        self._loader.exec_module(module)
        _register(module)


class _RegisterOnImport:
    """Finds threadpoolctl as the other finders do, once, and hands its
    loader a registration to run when the module is loaded."""

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> ModuleSpec | None:
        if name != "threadpoolctl":
            return None
        sys.meta_path.remove(self)
        found = importlib.util.find_spec(name)
        if found is not None and found.loader is not None:
            found.loader = _RegisteringLoader(found.loader)  # type: ignore[assignment]
        return found


def register_with_threadpoolctl() -> None:
    """Registers the controller with threadpoolctl: now if it is imported
    already, else when it is, so that importing qelto does not cost the
    import of threadpoolctl."""
    loaded = sys.modules.get("threadpoolctl")
    if loaded is not None:
        _register(loaded)
    else:
        sys.meta_path.insert(0, _RegisterOnImport())
