# make demo: set up what is missing, build, and run a real evaluation.
# make test: set up, build, run the C++ tests (CTest) and the Python tests.
# make wheel: the manylinux wheel, with libgomp bundled, in build/wheelhouse.
SHELL := /bin/bash
.DEFAULT_GOAL := demo

VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := libfast-float-dev libgtest-dev
CPP_BUILD := build/cpp
STAMP := $(VENV)/.installed
DIST := build/dist
WHEELHOUSE := build/wheelhouse
BENCH_PLOT := docs/benchmark.png

.PHONY: test-isa demo test test-cpp test-python test-oldest-numpy test-newest-numpy wheel module cpp setup apt bench clean test-sanitize test-sanitize-cpp test-sanitize-python fuzz fuzz-build fuzz-apt

demo: module
	$(PY) examples/demo.py

test: test-cpp test-python

test-cpp: cpp
	cd $(CPP_BUILD) && ctest --output-on-failure -j2

test-python: module
	$(PY) -m pytest -q

bench: module cpp
	$(CPP_BUILD)/engine_bench
	$(CPP_BUILD)/compile_bench
	$(PY) bench/bench.py $(BENCH_PLOT)
	$(PY) bench/mixed_numpy_loop.py
	$(PY) bench/compile_memory.py
	$(PY) bench/package_overhead.py
	$(PY) bench/interrupt_latency.py

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

# The wheel is built once, repaired by auditwheel (libgomp bundled, a
# manylinux tag), and that one wheel goes into .venv and the fresh venvs.
module: setup
	rm -rf $(DIST) $(WHEELHOUSE)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -C build-dir=build/{wheel_tag} -w $(DIST) .
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) -m auditwheel repair -w $(WHEELHOUSE) $(DIST)/qelto-*.whl
	$(PY) tools/wheel_check.py show $(WHEELHOUSE)/qelto-*.whl
	$(PY) -m pip install -q --no-deps --force-reinstall $(WHEELHOUSE)/qelto-*.whl

wheel: module

# make test-oldest-numpy, make test-newest-numpy: the Python tests once more
# against the installed wheel, each in a fresh venv with the oldest or the
# newest NumPy that the run-time range admits, run from outside the source
# tree so that nothing but the installed package can be imported.
NUMPY_ENDS := oldest newest

$(NUMPY_ENDS:%=.venv-%-numpy/bin/python): .venv-%-numpy/bin/python:
	@py=$$(bash tools/find-python313.sh) && "$$py" -m venv .venv-$*-numpy

$(NUMPY_ENDS:%=.venv-%-numpy/.installed): .venv-%-numpy/.installed: pyproject.toml | .venv-%-numpy/bin/python $(PY)
	.venv-$*-numpy/bin/python -m pip install -q $$($(PY) tools/requirements.py --$*-numpy)
	touch $@

$(NUMPY_ENDS:%=test-%-numpy): test-%-numpy: module .venv-%-numpy/.installed
	.venv-$*-numpy/bin/python -m pip install -q --no-deps --force-reinstall $(WHEELHOUSE)/qelto-*.whl
	mkdir -p build/outside
	cd build/outside && ../../.venv-$*-numpy/bin/python ../../tools/wheel_check.py installed
	cd build/outside && ../../.venv-$*-numpy/bin/python -m pytest -q -c ../../pyproject.toml --rootdir=../.. ../../tests/python

clean:
	rm -rf build

# make test-isa: the same expressions natively and on the emulated CPUs of
# CMakeLists.txt's list of levels (each level's last column; Nehalem: no AVX,
# Haswell: no AVX-512), which must give the native bits (library calls: the C
# library's own bits in the same process). NumPy's OpenBLAS must not be
# forced onto Haswell kernels under the older CPU.
ISA_CPUS := $(shell sed -n 's/^tarnex_level(.* \([A-Za-z][A-Za-z0-9-]*\))$$/\1/p' CMakeLists.txt)
ISA_RECORD := build/isa-native.pkl

test-isa: module
	@dpkg -s qemu-user >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user; }
	mkdir -p build && $(PY) tools/isa_check.py record $(ISA_RECORD)
	set -o pipefail; for cpu in $(ISA_CPUS); do echo "CPU $$cpu:"; \
	  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE qemu-x86_64 -cpu $$cpu $(PY) tools/isa_check.py compare $(ISA_RECORD) \
	    2> >(grep -v "TCG doesn't support" >&2) || exit 1; done

# make test-sanitize: the C++ tests, the fuzz corpus replays and the Python
# tests under AddressSanitizer and UndefinedBehaviorSanitizer (GCC's); the
# first report fails the run. The Python run loads a sanitized module in
# place of the installed one. The C++ runtime is preloaded too, or the
# sanitizer cannot find it to intercept throws. CPython's own exit-time
# allocations are no leaks of ours, so leak detection is on for the C++ run
# only; a small quarantine fills during the warm-up of the Python memory
# checks, so freed blocks held back by the sanitizer do not count as growth.
SANITIZE_BUILD := build/sanitize
SANITIZE_MODULE := build/sanitize-module
SANITIZE_FLAGS := -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer
SANITIZE_ASAN := abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
SANITIZE_ENV := ASAN_OPTIONS=$(SANITIZE_ASAN):detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SANITIZE_PY_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" PYTHONPATH=$(CURDIR)/$(SANITIZE_MODULE)/site \
  ASAN_OPTIONS=$(SANITIZE_ASAN):detect_leaks=0:quarantine_size_mb=4 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-sanitize: test-sanitize-cpp test-sanitize-python

test-sanitize-cpp: setup
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(SANITIZE_ENV) cmake --build $(SANITIZE_BUILD)
	cd $(SANITIZE_BUILD) && $(SANITIZE_ENV) ctest --output-on-failure -j2

test-sanitize-python: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(SANITIZE_MODULE)/site \
	  -C build-dir=$(SANITIZE_MODULE)/build -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.CMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" .
	$(SANITIZE_PY_ENV) $(PY) -c "import _qelto; assert '$(SANITIZE_MODULE)' in _qelto.__file__, _qelto.__file__"
	$(SANITIZE_PY_ENV) $(PY) -m pytest -q

# make fuzz: each libFuzzer target for FUZZ_SECONDS (or FUZZ_RUNS inputs), growing its corpus in
# fuzz/corpus/<target>, which is then cut down to the fewest inputs that
# still reach every edge. Findings land in build/fuzz/artifacts and fail
# the run. Idle OpenMP threads sleep rather than spin, so that two targets
# run side by side (make -j2 fuzz) each keep a core.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 180
FUZZ_RUNS ?= -1
FUZZ_TARGETS := compile evaluate
FUZZ_APT_PACKAGES := clang-14 libclang-rt-14-dev libomp-14-dev
FUZZ_FLAGS := -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_MAX_LEN_compile := 4096
FUZZ_MAX_LEN_evaluate := 1024

fuzz: $(FUZZ_TARGETS:%=fuzz-run-%)

fuzz-apt:
	@dpkg -s $(FUZZ_APT_PACKAGES) >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(FUZZ_APT_PACKAGES); }

fuzz-build: setup fuzz-apt
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++-14 -DTARNEX_LIBFUZZER=ON -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(FUZZ_BUILD) --target $(FUZZ_TARGETS:%=fuzz_%)

fuzz-run-%: fuzz-build
	mkdir -p fuzz/corpus/$* $(FUZZ_BUILD)/artifacts
	OMP_WAIT_POLICY=passive $(FUZZ_BUILD)/fuzz_$* -max_total_time=$(FUZZ_SECONDS) -runs=$(FUZZ_RUNS) -max_len=$(FUZZ_MAX_LEN_$*) -timeout=10 \
	  -dict=fuzz/expression.dict -artifact_prefix=$(FUZZ_BUILD)/artifacts/$*- -print_final_stats=1 fuzz/corpus/$*
	rm -rf $(FUZZ_BUILD)/merge-$* && mkdir -p $(FUZZ_BUILD)/merge-$*
	$(FUZZ_BUILD)/fuzz_$* -set_cover_merge=1 -use_counters=0 -max_len=$(FUZZ_MAX_LEN_$*) \
	  $(FUZZ_BUILD)/merge-$* fuzz/corpus/$*
	rm -f fuzz/corpus/$*/* && cp $(FUZZ_BUILD)/merge-$*/* fuzz/corpus/$*/
