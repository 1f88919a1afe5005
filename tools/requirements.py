"""Prints pip requirements from pyproject.toml.

Without options: everything this repository's .venv needs, exactly pinned
where pyproject.toml pins it: the build system, CMake and Ninja for builds
without isolation, the run-time range, the extras and every dependency
group (tests, benchmarks, wheel repair).

With --oldest-numpy or --newest-numpy: what the tests need at run time
around an installed wheel, with NumPy pinned to the oldest release that the
run-time range admits, or left to that range so that pip takes the newest.
"""
import re
import sys
import tomllib
from pathlib import Path

project = tomllib.loads(Path(__file__).resolve().parent.parent.joinpath("pyproject.toml").read_text())
runtime = list(project["project"]["dependencies"])
extras = project["project"].get("optional-dependencies", {})
groups = project.get("dependency-groups", {})


def is_numpy(requirement):
    return re.match(r"numpy\b", requirement) is not None


def oldest_numpy():
    (numpy_range,) = filter(is_numpy, runtime)
    return "numpy==" + re.search(r">=\s*([0-9][0-9.]*)", numpy_range).group(1)


def test_run(numpy):
    without_numpy = [pin for pin in groups["test"] if not is_numpy(pin)]
    return runtime + extras["dask"] + without_numpy + numpy


def everything():
    pins = list(project["build-system"]["requires"]) + runtime
    for requirements in [*extras.values(), *groups.values()]:
        pins += requirements
    return pins


options = sys.argv[1:]
if options == ["--oldest-numpy"]:
    pins = test_run([oldest_numpy()])
elif options == ["--newest-numpy"]:
    pins = test_run([])
elif not options:
    pins = everything()
else:
    sys.exit("usage: requirements.py [--oldest-numpy | --newest-numpy]")
print(" ".join(pins))
