import ast
import importlib
import pathlib
import sys

import pytest

import _qelto


def test_module_has_no_docstring_and_only_query():
    assert _qelto.__doc__ is None
    assert [name for name in vars(_qelto) if not name.startswith("__")] == ["query"]


def test_query_docstring_is_only_the_signature():
    assert _qelto.query.__doc__.splitlines() == ["query(expr: str, **kwargs) -> numpy.typing.NDArray[numpy.float64]"]


def test_reimport_gives_the_same_module_object():
    original = sys.modules.pop("_qelto")
    try:
        assert importlib.import_module("_qelto") is original
    finally:
        sys.modules["_qelto"] = original


def test_type_stub_is_installed_beside_the_module():
    stub = pathlib.Path(_qelto.__file__).with_name("_qelto.pyi")
    functions = [node.name for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)]
    assert functions == ["query"]


def test_subinterpreters_are_refused():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        failure = interpreters.run_string(interp, "import _qelto")
    finally:
        interpreters.destroy(interp)
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == "module _qelto does not support loading in subinterpreters"
