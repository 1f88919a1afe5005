"""Prints every pinned requirement of pyproject.toml: build, run, test and bench."""
import tomllib
from pathlib import Path

project = tomllib.loads(Path(__file__).resolve().parent.parent.joinpath("pyproject.toml").read_text())
pins = list(project["build-system"]["requires"]) + list(project["project"]["dependencies"])
for extra in project["project"].get("optional-dependencies", {}).values():
    pins += extra
print(" ".join(pins))
