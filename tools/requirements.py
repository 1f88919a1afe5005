"""Prints every pinned requirement of pyproject.toml: build, run, test and bench.

With --oldest-numpy it prints what the tests need at run time instead, with
NumPy pinned to the oldest release that the run-time range admits, so that
the tests can also run at that end of the range.
"""
import re
import sys
import tomllib
from pathlib import Path

project = tomllib.loads(Path(__file__).resolve().parent.parent.joinpath("pyproject.toml").read_text())
runtime = list(project["project"]["dependencies"])
extras = project["project"].get("optional-dependencies", {})


def is_numpy(requirement):
    return re.match(r"numpy\b", requirement) is not None


if "--oldest-numpy" in sys.argv[1:]:
    (numpy_range,) = filter(is_numpy, runtime)
    oldest = re.search(r">=\s*([0-9][0-9.]*)", numpy_range).group(1)
    pins = runtime + extras["dask"] + [pin for pin in extras["test"] if not is_numpy(pin)] + [f"numpy=={oldest}"]
else:
    pins = list(project["build-system"]["requires"]) + runtime
    for extra in extras.values():
        pins += extra
print(" ".join(pins))
