"""What pip and a user see of the installed distribution: its metadata
against pyproject.toml, ranges rather than pins, and the OpenMP runtime
that a repaired wheel bundles."""

import importlib.metadata
import tomllib
from pathlib import Path

import numpy as np
import pytest
from packaging.requirements import Requirement
from threadpoolctl import threadpool_info

import _qelto

PROJECT = tomllib.loads(Path(__file__).resolve().parents[2].joinpath("pyproject.toml").read_text())["project"]
DISTRIBUTION = importlib.metadata.distribution("qelto")
METADATA = DISTRIBUTION.metadata


@pytest.mark.parametrize(
    ("field", "expected"),
    [
        ("Name", PROJECT["name"]),
        ("Version", PROJECT["version"]),
        ("License-Expression", PROJECT["license"]),
        ("Author", ", ".join(author["name"] for author in PROJECT["authors"])),
        ("Requires-Python", str(Requirement("python" + PROJECT["requires-python"]).specifier)),
    ],
)
def test_field_is_the_projects(field, expected):
    assert METADATA[field] == expected


def test_classifiers_are_the_projects_and_name_the_platform():
    classifiers = METADATA.get_all("Classifier")
    assert classifiers == PROJECT["classifiers"]
    for needed in (
        "Programming Language :: Python :: 3.13",
        "Programming Language :: C++",
        "Operating System :: POSIX :: Linux",
    ):
        assert needed in classifiers
    assert not [c for c in classifiers if c.startswith("License ::")], "the license is an expression"


def shipped_license_file(name):
    (shipped,) = [f for f in DISTRIBUTION.files if f.name == name and "licenses" in f.parts]
    return shipped.read_text()


def test_license_file_is_shipped_with_the_holder():
    assert METADATA.get_all("License-File") == ["LICENSE", "NOTICE"]
    text = shipped_license_file("LICENSE")
    assert text.startswith("MIT License")
    assert "The qelto developers" in text


def test_notice_credits_the_constants_taken_from_elsewhere():
    text = shipped_license_file("NOTICE")
    assert "Copyright (c) 1999-2018, Arm Limited." in text
    assert "Permission is hereby granted" in text


REQUIREMENTS = [Requirement(line) for line in METADATA.get_all("Requires-Dist")]


@pytest.mark.parametrize("requirement", REQUIREMENTS, ids=str)
def test_published_requirements_are_ranges_not_pins(requirement):
    operators = {clause.operator for clause in requirement.specifier}
    assert operators, f"{requirement} is unbounded"
    assert not operators & {"==", "==="}, f"{requirement} pins one version"


def test_extras_are_the_projects_and_no_test_or_bench_extra():
    assert sorted(METADATA.get_all("Provides-Extra")) == sorted(PROJECT["optional-dependencies"])
    published = {str(r) for r in REQUIREMENTS}
    for extra, requirements in PROJECT["optional-dependencies"].items():
        for requirement in requirements:
            assert f'{requirement}; extra == "{extra}"' in published


def bundled_files():
    return [Path(DISTRIBUTION.locate_file(f)).resolve() for f in DISTRIBUTION.files if f.parts[0] == "qelto.libs"]


def module_of_distribution():
    (module,) = [f for f in DISTRIBUTION.files if f.name.startswith("_qelto.") and f.suffix == ".so"]
    return Path(DISTRIBUTION.locate_file(module)).resolve()


def test_threadpoolctl_finds_the_bundled_openmp_runtime():
    if Path(_qelto.__file__).resolve() != module_of_distribution():
        pytest.skip("_qelto is not the installed distribution's (a build loaded in its place)")
    if not bundled_files():
        pytest.skip("installed from a source build: libgomp is the system's")
    _qelto.query("a * 2", a=np.ones(1 << 16))  # the team exists
    openmp = [Path(entry["filepath"]).resolve() for entry in threadpool_info() if entry["internal_api"] == "openmp"]
    assert openmp, threadpool_info()
    assert set(openmp) <= set(bundled_files()), (openmp, bundled_files())
