# make demo: set up what is missing, build, and run a real evaluation.
# make test: set up, build, run the C++ tests (CTest) and the Python tests.
SHELL := /bin/bash
.DEFAULT_GOAL := demo

VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := libfast-float-dev libgtest-dev
CPP_BUILD := build/cpp
STAMP := $(VENV)/.installed

.PHONY: demo test test-cpp test-python module cpp setup apt bench clean

demo: module
	$(PY) examples/demo.py

test: test-cpp test-python

test-cpp: cpp
	cd $(CPP_BUILD) && ctest --output-on-failure -j2

test-python: module
	$(PY) -m pytest -q

bench: module cpp
	$(CPP_BUILD)/engine_bench
	$(PY) bench/bench.py

apt:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(APT_PACKAGES); }

# The venv is made from CPython 3.13 wherever the machine has it.
$(PY):
	@py=$$(bash tools/find-python313.sh) && echo "using $$py" && "$$py" -m venv $(VENV)

$(STAMP): pyproject.toml | $(PY)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $$($(PY) tools/requirements.py)
	touch $@

setup: apt $(STAMP)

cpp: setup
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(CPP_BUILD)

module: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps .

clean:
	rm -rf build
