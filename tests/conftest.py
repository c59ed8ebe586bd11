import rainmill

import kernels_preload

kernels_preload.preload()  # RAINMILL_KERNELS_DIR: the sanitizer build's kernels


def pytest_report_header(config):
    return f"rainmill loaded from {rainmill.__file__}"


import datetime
from pathlib import Path

import pytest

# `make test-fast` leaves out the tests marked slow: those that start worker
# processes, process pools or Dask clusters, run type checkers or compilers in
# subprocesses, or take seconds. They are marked here, in one place, from
# what they use, so that each file stays about what it tests.
SLOW_FILES = {
    "test_descriptors.py",  # compiles descriptors with the C++ compiler
    "test_models_typing.py",  # mypy --strict over the package
    "test_typing.py",  # mypy and stubtest runs
}
SLOW_EXECUTORS = {"processes", 2, "pool", "dask"}
SLOW_FIXTURES = {"dask_client"}
# Tests that run the command line in subprocesses or wait out a delay.
SLOW_NAMES = {
    "test_example.py::test_command_line",
    "test_calibrate_engine.py::test_progress_bar_only_when_asked_and_only_for_long_runs",
    "test_hardening.py::test_fuzz_every_entry_point_accepts_only_documented_outcomes",
    "test_large_buffers.py::test_calls_on_a_million_values_reuse_their_pages",
}
# Tests that compile Numba loops (when Numba is installed).
SLOW_PREFIXES = ("test_bench_loops.py::test_numba",)


def _is_slow(item):
    name = f"{Path(str(item.fspath)).name}::{item.originalname}"
    if Path(str(item.fspath)).name in SLOW_FILES or name in SLOW_NAMES or name.startswith(SLOW_PREFIXES):
        return True
    if SLOW_FIXTURES.intersection(getattr(item, "fixturenames", ())):
        return True
    params = getattr(getattr(item, "callspec", None), "params", {})
    executor = params.get("executor")
    return isinstance(executor, (str, int)) and executor in SLOW_EXECUTORS


def pytest_collection_modifyitems(config, items):
    for item in items:
        if _is_slow(item):
            item.add_marker(pytest.mark.slow)


@pytest.fixture
def series_args():
    return ([0.0, 10.0, 20.0], datetime.timedelta(seconds=60), "discharge")


@pytest.fixture
def series(series_args):
    return rainmill.utils.ContinuousTimeSeries(*series_args)
