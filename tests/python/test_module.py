import ast
import importlib
import json
import os
import pathlib
import subprocess
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


VECTOR_LIBM_CHECK = """
import json, math, sys
import numpy as np
import _qelto
decisions = _qelto.query.__self__._vector_libm()
a = np.random.default_rng(5).uniform(-20.0, 20.0, 5000)
b = np.abs(a) + 0.5
same = {
    "exp": _qelto.query("exp(a)", a=a).tolist() == [math.exp(x) for x in a],
    "log": _qelto.query("log(b)", b=b).tolist() == [math.log(x) for x in b],
    "pow": _qelto.query("pow(b, a)", a=a, b=b).tolist() == [math.pow(x, y) for x, y in zip(b, a)],
}
json.dump({"decisions": decisions, "same": same}, sys.stdout)
"""


def vector_libm_in_subprocess(environment):
    env = {**os.environ, **environment}
    completed = subprocess.run([sys.executable, "-c", VECTOR_LIBM_CHECK], capture_output=True, text=True, env=env,
                               timeout=120)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


# The decision per function is visible; a libm without FMA (the tunables make
# glibc pick its other variant while our dispatch still sees the CPU's level)
# is refused by the self-check. Either way the results are the libm's bits.
@pytest.mark.parametrize("without_fma", [False, True], ids=["own libm", "libm without FMA"])
def test_vector_libm_decision_is_visible_and_results_are_the_libms(without_fma):
    own = _qelto.query.__self__._vector_libm()
    assert sorted(own) == ["exp", "log", "pow"]
    for used, reason in own.values():
        assert isinstance(used, bool) and (reason == "verified libm") == used
    environment = {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2,-FMA"} if without_fma else {}
    seen = vector_libm_in_subprocess(environment)
    assert seen["same"] == {"exp": True, "log": True, "pow": True}
    for name, (used, reason) in seen["decisions"].items():
        if not without_fma:
            assert [used, reason] == list(own[name])
        elif own[name][0]:
            assert [used, reason] == [False, "self-check disagrees with libm"]
        else:
            assert not used
