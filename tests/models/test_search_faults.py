"""Searches and runners under faults: failing models, budgets, dying workers, Ctrl-C, unguarded scripts."""

from __future__ import annotations

import errno
import os
import pickle
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from concurrent.futures import Future
from pathlib import Path

import numpy as np
import pytest
from calibration_cases import BOUNDS as CASE_BOUNDS
from calibration_cases import basin, executors, observed, storm

import rainmill_models as rm
from rainmill_models.calibration.runner import Runner, WorkerPool, WorkersLost, backends, worker
from rainmill_models.calibration.runner.signals import deferred_interrupts
from rainmill_models.calibration.search import SearchFailed, search

BOUNDS = [(0.0, 1.0), (0.0, 5.0)]
TARGET = np.array([0.3, 2.0])


def prepare(context: dict) -> dict:
    return dict(context)


def bowl(state: dict, x: np.ndarray) -> float:
    d = np.asarray(x) - TARGET
    return float(np.sum(d * d))


def failing_above(state: dict, x: np.ndarray) -> float:
    # The upper half of the box fails in the model, in the way the context names.
    if x[0] > 0.5:
        raise state["error"]("the model failed")
    return bowl(state, x)


def never_finite(state: dict, x: np.ndarray) -> float:
    return float("nan")


def dies_once(state: dict, x: np.ndarray) -> float:
    # The first evaluation to claim the marker kills its own worker process.
    try:
        os.close(os.open(state["marker"], os.O_CREAT | os.O_EXCL))
    except FileExistsError:
        return bowl(state, x)
    os.kill(os.getpid(), signal.SIGKILL)
    return 0.0


def always_dies(state: dict, x: np.ndarray) -> float:
    os.kill(os.getpid(), signal.SIGKILL)
    return 0.0


@pytest.mark.parametrize("error", [OverflowError, MemoryError, ValueError, rm.ModelError.__base__, ZeroDivisionError])
def test_a_failing_model_scores_worst_and_is_counted(error):
    result = search(prepare, failing_above, {"error": error}, BOUNDS, seed=2, progress=False, x0=[0.9, 1.0])
    assert result.failures == int(np.isposinf(result.losses).sum()) > 0
    assert result.x[0] <= 0.5 and np.isfinite(result.loss)
    assert "failed in the model" in result.message


def test_an_internal_fault_ends_the_search():
    with pytest.raises(TypeError):
        search(prepare, failing_above, {"error": TypeError}, BOUNDS, seed=2, progress=False, x0=[0.9, 1.0])


def test_no_finite_score_fails_clearly():
    with pytest.raises(SearchFailed, match="no evaluation gave a finite score"):
        search(prepare, never_finite, {}, BOUNDS, seed=2, progress=False, options={"maxiter": 2})


@pytest.mark.parametrize(
    ("method", "limit", "options"),
    [
        ("differential_evolution", 37, {}),  # inside the first population
        ("differential_evolution", 100, {}),
        ("dual_annealing", 50, {}),
        ("dual_annealing", None, {"maxfun": 120}),  # SciPy's own limit overruns
        ("nelder-mead", 20, {}),
    ],
)
def test_the_evaluation_budget_holds_for_every_method(method, limit, options):
    result = search(
        prepare, bowl, {}, BOUNDS, method=method, seed=4, progress=False, max_evaluations=limit, options=options
    )
    assert result.evaluations == len(result.losses) == (limit or options["maxfun"])
    assert limit is None or "max_evaluations" in result.message


def test_whole_number_parameters_are_refused_before_the_search():
    bounds = {"basin.baseflow.shallow.reservoirs": (1.0, 4.0)}
    with pytest.raises(rm.ModelError, match="reservoirs: is a whole number"):
        rm.calibrate(basin(), storm(), observed(), bounds, progress=False)


def test_a_calibration_without_a_finite_score_fails():
    flows = observed()
    flows.iloc[3] = np.inf  # every score is NaN: refused up front, or by the search
    with pytest.raises(ValueError, match="finite"):
        rm.calibrate(basin(), storm(), flows, CASE_BOUNDS, seed=1, progress=False, options={"maxiter": 2})


def test_calibration_budget_reaches_the_search():
    fit = rm.calibrate(basin(), storm(), observed(), CASE_BOUNDS, seed=1, progress=False, max_evaluations=25)
    assert fit.evaluations == 25 == len(fit.history)


@pytest.mark.parametrize("executor", executors(2))
def test_a_killed_worker_costs_only_its_batch(executor, tmp_path):
    rows = np.random.default_rng(0).uniform(size=(12, 2))
    # With a context large enough to reach the workers as a file, which the fresh pool reads again.
    context = {"marker": str(tmp_path / "died"), "ballast": np.zeros(20_000)}
    with Runner(executor, adaptive=False) as runner:
        got = runner.map_rows(prepare, dies_once, context, rows)
        stored = getattr(runner.backend._packed[1], "path", None) if runner.backend._packed else None
    np.testing.assert_array_equal(got, [bowl(context, row) for row in rows])
    assert (tmp_path / "died").exists()
    assert stored is None or not os.path.exists(stored), "the context's file goes with the runner"
    with Runner(executor, adaptive=False) as runner, pytest.raises(WorkersLost, match="died 3 time"):
        runner.map_rows(prepare, always_dies, context, rows)


@pytest.mark.parametrize("executor", executors(2))
def test_cheap_evaluations_stay_in_the_calling_process(executor):
    # Shipping microsecond evaluations to processes costs more than it saves.
    rows = np.random.default_rng(0).uniform(size=(60, 2))
    with Runner(executor) as runner:
        for _ in range(4):
            got = runner.map_rows(prepare, bowl, {}, rows)
        assert "evaluated in the calling process" in runner.note
    np.testing.assert_array_equal(got, [bowl({}, row) for row in rows])


@pytest.mark.slow
@pytest.mark.parametrize("executor", executors(2))
def test_a_context_no_file_can_take_travels_with_each_batch(executor, monkeypatch):
    def full(*args, **kwargs):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(tempfile, "mkstemp", full)
    context = {"ballast": np.zeros(20_000)}  # large enough to be sent as a file
    rows = np.random.default_rng(0).uniform(size=(12, 2))
    with Runner(executor, adaptive=False) as runner:
        got = runner.map_rows(prepare, bowl, context, rows)
    np.testing.assert_array_equal(got, [bowl(context, row) for row in rows])


def slow_pid(state: dict, item: int) -> int:
    time.sleep(0.05)  # dearer than a slice of the calling process's own work while the workers start
    return os.getpid()


@pytest.mark.slow
@pytest.mark.parametrize("executor", executors(2))
def test_dear_evaluations_reach_the_workers(executor):
    with Runner(executor) as runner:
        # Eight seconds of work: the workers are ready long before, even on a loaded machine.
        pids = runner.map(prepare, slow_pid, {}, list(range(160)))
    assert len(pids) == 160 and set(pids) - {os.getpid()}, runner.note


@pytest.mark.parametrize("propagating", [False, True])
def test_ctrl_c_during_cleanup_is_held_back_then_raised_once(propagating):
    reached_end = False
    try:
        with deferred_interrupts(propagating):
            os.kill(os.getpid(), signal.SIGINT)
            os.kill(os.getpid(), signal.SIGINT)
            reached_end = True
    except KeyboardInterrupt:
        assert not propagating
    else:
        assert propagating
    assert reached_end


SCRIPT = """
import numpy as np
from rainmill_models.calibration.runner import Runner

def prepare(context):
    return context

def evaluate(state, row):
    return float(row.sum())

{body}
"""


@pytest.mark.slow
@pytest.mark.parametrize("guarded", [False, True])
def test_a_script_without_the_main_guard_gets_one_clear_error(tmp_path, guarded):
    work = (
        'with Runner("processes") as runner:\n    print(runner.map_rows(prepare, evaluate, {}, np.ones((4, 2))).sum())'
    )
    if guarded:
        work = 'if __name__ == "__main__":\n' + textwrap.indent(work, "    ")
    script = Path(tmp_path, "script.py")
    script.write_text(SCRIPT.format(body=work))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    if guarded:
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "8.0"
    else:
        assert done.returncode == 1
        assert done.stderr.count("Traceback") == 1
        assert 'if __name__ == "__main__":' in done.stderr.splitlines()[-1]
        line = script.read_text().splitlines().index(work.splitlines()[0]) + 1
        assert f"{script}, line {line}:" in done.stderr.splitlines()[-1]


INTERRUPTED = """
import os, signal, threading, time
import numpy as np
from rainmill_models.calibration.search import search

def prepare(context):
    time.sleep(1.0)  # workers still preparing when Ctrl-C comes
    return context

def evaluate(state, row):
    time.sleep(0.05)
    return float(row.sum())

if __name__ == "__main__":
    def ctrl_c_twice():
        time.sleep(0.5)
        os.killpg(0, signal.SIGINT)
        time.sleep(0.05)
        os.killpg(0, signal.SIGINT)
    threading.Thread(target=ctrl_c_twice, daemon=True).start()
    search(prepare, evaluate, {}, [(0.0, 1.0)] * 2, executor=2, batch_size=4, progress=False)
"""


@pytest.mark.slow
def test_ctrl_c_twice_before_the_first_generation_ends_with_one_traceback(tmp_path):
    script = Path(tmp_path, "interrupted.py")
    script.write_text(INTERRUPTED)
    done = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=120, start_new_session=True
    )
    assert done.returncode != 0
    assert done.stderr.count("Traceback") == 1, done.stderr
    assert done.stderr.strip().splitlines()[-1] == "KeyboardInterrupt"


class _RecordingPool:
    """Stands for ProcessPoolExecutor: records how it is shut down, starts nothing."""

    made: list[_RecordingPool] = []

    def __init__(self, *args, **kwargs):
        self.calls: list[str] = []
        self.futures: list[Future] = []
        _RecordingPool.made.append(self)

    def submit(self, fn, *args):
        future = Future()
        self.futures.append(future)
        return future

    def terminate_workers(self):
        self.calls.append("terminate")

    def shutdown(self, wait=True, cancel_futures=False):
        self.calls.append(f"shutdown(wait={wait})")


@pytest.fixture
def recording_pools(monkeypatch):
    _RecordingPool.made = []
    monkeypatch.setattr(backends, "ProcessPoolExecutor", _RecordingPool)
    return _RecordingPool.made


@pytest.mark.skipif(
    os.environ.get("RAINMILL_SANITIZED") == "1", reason="under the sanitizers an evaluation is no longer cheap"
)
def test_a_cheap_calibration_on_processes_never_starts_them(recording_pools):
    # 180 evaluations of well under a millisecond: far less than starting two interpreters costs.
    options = {"maxiter": 5}
    fit = rm.calibrate(basin(), storm(), observed(), CASE_BOUNDS, seed=1, executor=2, progress=False, options=options)
    assert recording_pools == []
    assert "evaluated in the calling process" in fit.message


@pytest.mark.parametrize(
    ("busy", "error", "calls"),
    [(False, None, ["shutdown(wait=True)"]), (True, None, ["terminate"]), (False, KeyboardInterrupt(), ["terminate"])],
)
def test_a_pool_busy_or_starting_at_close_is_not_waited_for(recording_pools, busy, error, calls):
    pool = WorkerPool(2)
    pool.close()
    assert recording_pools == []  # no batch, no processes
    pool = WorkerPool(2)
    pool.submit(bowl, {}, TARGET)
    if not busy:
        recording_pools[0].futures[0].set_result(0.0)
    pool.close(error)
    assert recording_pools[0].calls == calls


ORPHANED = """
import os, sys, time
import numpy as np
from rainmill_models.calibration.runner import Runner

def prepare(context):
    return context

def evaluate(state, row):
    os.write(1, f"{os.getpid()}\\n".encode())  # one write: the two workers' lines never interleave
    time.sleep(600)
    return 0.0

if __name__ == "__main__":
    from multiprocessing import resource_tracker
    with Runner(2, adaptive=False) as runner:
        runner.map_rows(prepare, evaluate, {"ballast": np.zeros(20_000)}, np.ones((2, 2)))
"""


def _gone(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return True
    return state in ("Z", "X")  # a zombie has ended; its parent is gone, so no one reaps it


def _wait_gone(pids: list[int], seconds: float) -> list[int]:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not all(_gone(pid) for pid in pids):
        time.sleep(0.1)
    return [pid for pid in pids if not _gone(pid)]


def _children(pid: int) -> list[int]:
    found = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        found += [int(child) for child in (task / "children").read_text().split()]
    return found


@pytest.mark.slow
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL])
def test_workers_die_with_their_parent_and_its_context_file_goes_at_the_next_start(tmp_path, sig):
    script = Path(tmp_path, "orphaned.py")
    script.write_text(ORPHANED)
    process = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    try:
        workers = [int(process.stdout.readline()) for _ in range(2)]
        helpers = _children(process.pid)  # the workers and the resource tracker
        files = list(Path("/dev/shm").glob(f"rainmill-context-{process.pid}-*"))
        process.send_signal(sig)
        process.wait(timeout=60)
        assert set(workers) <= set(helpers)
        assert _wait_gone(helpers, 30.0) == [], "the workers and the resource tracker outlived their parent"
    finally:
        process.kill()
    assert files and all(file.exists() for file in files)  # a killed process cleans nothing up
    worker.pack({"ballast": np.zeros(20_000)})  # the next start
    assert not any(file.exists() for file in files)


def _spoil(path: str, how: str) -> None:
    if how == "removed":
        os.unlink(path)
    else:
        Path(path).write_bytes(pickle.dumps({"ballast": np.ones(20_000)}))


@pytest.mark.parametrize("executor", executors(2))
@pytest.mark.parametrize("how", ["removed", "overwritten"])
def test_a_lost_context_file_is_sent_again(executor, how):
    context = {"ballast": np.zeros(20_000)}
    rows = np.random.default_rng(0).uniform(size=(6, 2))
    with Runner(executor, adaptive=False) as runner:
        stored, _ = runner.backend.shipped(context)
        _spoil(stored.path, how)
        got = runner.map_rows(prepare, bowl_and_ballast, context, rows)
    np.testing.assert_array_equal(got, [bowl(context, row) for row in rows])  # the ballast of zeros, not another


def bowl_and_ballast(state: dict, x: np.ndarray) -> float:
    return bowl(state, x) + float(state["ballast"].sum())


def sleeps_above(state: dict, x: np.ndarray) -> float:
    if x[0] > 0.5:
        time.sleep(30.0)
    return bowl(state, x)


@pytest.mark.parametrize("executor", executors(None, 2))
def test_an_evaluation_over_the_time_limit_scores_worst(executor):
    result = search(
        prepare,
        sleeps_above,
        {},
        BOUNDS,
        seed=2,
        progress=False,
        executor=executor,
        batch_size=4,
        max_evaluations=8,
        evaluation_timeout=0.2,
    )
    assert result.failures == int(np.isposinf(result.losses).sum()) > 0
    assert "over the time limit" in result.message
