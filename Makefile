# The commands a newcomer runs. Each one bootstraps what it needs first
# (CPython 3.14, .venv, requirements, the module built into .venv).
.PHONY: all bootstrap build lint test test-fast test-release test-refleaks test-asan test-format example calibrate-example network-example continuous-example design-example spatial-example bench check clean

VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
NINJA := $(VENV)/bin/ninja
ASAN_DIR := build/asan
DEBUG_DIR := build/debug
DEBUG_PY := $(firstword $(wildcard .python/usr/bin/python3.14d) $(shell command -v python3.14d))
PYTEST_ARGS ?= -q
# The formatting check of `make test` (scripts/check-format; --fix reformats).
CHECK_FORMAT ?= 1
# The reference-leak check's share of hostile calls from the fuzz harness.
REFLEAKS_ARGS ?= --fuzz-cases 150

all: test

bootstrap:
	scripts/bootstrap --no-build

build:
	scripts/bootstrap

# The whole suite against the release build, then again against an
# AddressSanitizer + UndefinedBehaviorSanitizer build of the module.
test: build
	$(MAKE) --no-print-directory test-format lint test-release test-refleaks test-asan

# The inner loop: the release build and the suite without the tests marked slow (worker
# processes, pools and clusters, subprocesses, type checkers); `make test` stays the whole gate.
test-fast: build
	$(PY) -m pytest $(PYTEST_ARGS) -m "not slow" -p no:cacheprovider

# Python held to the C++'s standard: ruff's lint and format check, mypy --strict (pyproject.toml).
lint: bootstrap
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(PY) -m mypy
	$(PY) scripts/check_imports.py

test-format:
ifeq ($(CHECK_FORMAT),1)
	scripts/check-format
else
	@echo "test-format: off (CHECK_FORMAT=0); scripts/check-format lists the files that differ"
endif

test-release:
	$(PY) -m pytest $(PYTEST_ARGS)

# Reference leaks, against a build for the debug interpreter (which counts
# every reference); skipped where no debug interpreter is at hand.
test-refleaks:
ifeq ($(DEBUG_PY),)
	@echo "test-refleaks: no python3.14d here, skipped"
else
	$(CMAKE) -S . -B $(DEBUG_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) -DPython_EXECUTABLE=$(abspath $(DEBUG_PY)) \
	    -DRAINMILL_WERROR=ON > /dev/null
	$(CMAKE) --build $(DEBUG_DIR)
	PYTHONPATH=$(DEBUG_DIR) RAINMILL_KERNELS_DIR=$(abspath $(DEBUG_DIR)) $(DEBUG_PY) tests/refleaks.py $(REFLEAKS_ARGS)
endif

$(ASAN_DIR)/build.ninja:
	$(CMAKE) -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DRAINMILL_SANITIZE=ON -DRAINMILL_WERROR=ON

test-asan: $(ASAN_DIR)/build.ninja
	$(CMAKE) --build $(ASAN_DIR)
	PYTHONPATH=$(ASAN_DIR) RAINMILL_KERNELS_DIR=$(abspath $(ASAN_DIR)) RAINMILL_SANITIZED=1 PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	    $(PY) -m pytest $(PYTEST_ARGS) -p no:cacheprovider

example: build
	$(PY) examples/event_model.py

# Continuous simulation of an observed record (spotpy's Fulda data): calibrate, validate, hot start.
continuous-example: build
	$(PY) examples/continuous.py

# Calibration on synthetic observations: recovered vs true parameters, serial vs parallel.
calibrate-example: build
	$(PY) examples/calibrate.py

network-example: build
	$(PY) examples/network.py

design-example: build
	$(PY) examples/design_storm.py

# A synthetic DEM delineated into a network, a storm grid moving across it, the hydrographs at two gauges.
spatial-example: build
	$(PY) examples/spatial_example.py

# The type stubs against the built module, the examples against the stubs (also part of the test
# suite), then the hardening harness at full size: sanitizers, reference leaks, fuzzing, fault
# probes, threads, huge inputs and SIGINT, one figure each (scripts/check_hardening.py).
check: build
	$(PY) scripts/stubtest.py rainmill --concise
	$(PY) -m mypy --strict examples
	$(PY) scripts/check_hardening.py

# Benchmarks print their own figures and write benchmarks/RESULTS.md; they are not timed tests.
bench: build
	scripts/bootstrap --no-build --bench
	$(PY) benchmarks/run.py

clean:
	rm -rf build
