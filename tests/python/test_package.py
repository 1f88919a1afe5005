"""The qelto package around the native module: its surface, its types as a
type checker sees them once installed, and its optional Dask part."""

import importlib.metadata
import pickle
import re
import subprocess
import sys
import textwrap

import pytest

import _qelto
import qelto


def test_package_query_is_native_and_reached_without_a_module_attribute():
    entries = _qelto.query.__self__
    assert qelto.query is entries.query and type(qelto.query) is type(_qelto.query)
    assert entries not in sys.modules.values()
    assert qelto.__version__ == importlib.metadata.version("qelto")
    assert qelto.__doc__.strip() and qelto.query.__doc__.strip()


@pytest.mark.parametrize("function", [_qelto.query, qelto.query], ids=["_qelto", "qelto"])
def test_both_queries_pickle_by_name(function):
    assert pickle.loads(pickle.dumps(function)) is function


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_without_dask_the_package_imports_and_its_dask_part_names_the_extra():
    completed = run_python(
        textwrap.dedent("""
            import sys
            import qelto
            assert "dask" not in sys.modules
            sys.modules["dask"] = None  # as if Dask were not installed
            import qelto.dask
        """)
    )
    assert completed.returncode == 1
    assert completed.stderr.rstrip().splitlines()[-1] == (
        "ImportError: qelto.dask needs Dask: install the extra, pip install 'qelto[dask]'"
    )


CORRECT = """\
import dask.array as da
import numpy as np
import numpy.typing as npt

import _qelto
import qelto
import qelto.dask

x = np.linspace(-2.0, 2.0, 12).reshape(3, 4)
y = np.random.default_rng(1).normal(size=(3, 4))
r: npt.NDArray[np.float64] = qelto.query("x + y", x=x, y=y)
s: npt.NDArray[np.float64] = _qelto.query(b"z * 2", z=np.arange(12, dtype=np.float64))
t: npt.NDArray[np.float64] = qelto.query(bytearray(b"2 * 3"))
u: npt.NDArray[np.float64] = qelto.query("x * k + 1", x=x, k=2.5, out=np.empty(12))
w = qelto.query("a + b + c + d", a=[1, 2, 3], b=np.arange(3), c=np.float32(1), d=np.ones(3, dtype=bool))
grid = qelto.query("a * b", a=[[1.0, 2.0], [3.0, 4.0]], b=True)
given: qelto.Input = range(3)
ranged = qelto.query("x * 2", x=given)
qelto.set_num_threads(2)
qelto.set_num_threads(None)
threads: int = qelto.get_num_threads()
v: str = qelto.__version__
lazy: da.Array = qelto.dask.query("x * 2", x=x)
shifted: da.Array = qelto.dask.query("x - s", x=da.ones(4, chunks=2), s=0.5)
with qelto.errstate(divide="ignore"):
    inf: npt.NDArray[np.float64] = qelto.query("x / 0", x=x)
    with qelto.errstate(divide="raise"):
        pass


@qelto.errstate(divide="ignore")
def ratio(top: float, bottom: float) -> npt.NDArray[np.float64]:
    return qelto.query("t / b", t=top, b=bottom)


checked: npt.NDArray[np.float64] = ratio(1.0, 0.0)
"""

WRONG_HEADER = """\
import numpy as np

import _qelto
import qelto
import qelto.dask

f32 = np.zeros(3, dtype=np.float32)
i64 = np.arange(3)
c128 = np.zeros(3, dtype=np.complex128)
"""
# Each line must be refused by a type checker.
WRONG = [
    "qelto.query(42)",
    "_qelto.query(expr=None)",
    '_qelto.query("x", x=[1.0, 2.0])',
    '_qelto.query("x", x=i64)',
    'n: int = _qelto.query("1")',
    'qelto.query("x", x=c128)',
    'qelto.query("x", x="1.5")',
    'qelto.query("x", x=[1j])',
    'qelto.query("x", x=i64, out=f32)',
    'qelto.query("x", x=i64, out=[0.0, 0.0, 0.0])',
    'qelto.query("x", i64)',
    'qelto.query(expr="x")',
    'qelto.set_num_threads("2")',
    "qelto.set_num_threads(1.5)",
    "m: str = qelto.get_num_threads()",
    'qelto.dask.query(b"x", x=c128)',
    "qelto.errstate(divide=1)",
    'qelto.errstate(divde="ignore")',
    'qelto.errstate(divide="warn")',
    'qelto.errstate("ignore")',
    's2: str = qelto.errstate(divide="ignore")(lambda: 1.0)()',
]


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict as a user would, away from the source tree, so that
    only the installed package and its stubs can be found."""
    pytest.importorskip("mypy")
    folder = tmp_path_factory.mktemp("mypy")

    def run(*arguments, **files):
        for name, text in files.items():
            (folder / f"{name}.py").write_text(text)
        command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(folder / "cache"), *arguments]
        return subprocess.run(command, cwd=folder, capture_output=True, text=True, timeout=300)

    return run


@pytest.mark.parametrize(
    "arguments, files",
    [
        pytest.param(["correct.py"], {"correct": CORRECT}, id="use"),
        pytest.param(["-p", "qelto"], {}, id="package"),
    ],
)
def test_mypy_strict_accepts_correct_use_and_the_package_itself(mypy, arguments, files):
    completed = mypy(*arguments, **files)
    assert completed.returncode == 0, completed.stdout
    assert completed.stdout.startswith("Success: no issues found")


def test_mypy_strict_refuses_each_wrong_use(mypy):
    completed = mypy("wrong.py", wrong=WRONG_HEADER + "\n".join(WRONG) + "\n")
    assert completed.returncode == 1
    refused = sorted({int(m[1]) for m in re.finditer(r"^wrong\.py:(\d+): error:", completed.stdout, re.M)})
    first = WRONG_HEADER.count("\n") + 1
    assert refused == list(range(first, first + len(WRONG))), completed.stdout
