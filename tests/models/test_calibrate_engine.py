"""The machinery under calibrations and ensembles, on toy objectives:
executors, batching, the searches, interruption, samples and bands."""

from __future__ import annotations

import _thread
import os
import pickle
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest
from calibration_cases import dask_client, executors  # noqa: F401 (a fixture)

from rainmill_models.calibration.runner import Runner, WorkerPool, run_batch, run_rows
from rainmill_models.calibration.runner.worker import Packed
from rainmill_models.calibration.sampling import latin_hypercube, percentile_bands
from rainmill_models.calibration.search import search

TARGET = np.array([0.3, 2.0, -1.5])
BOUNDS = [(0.0, 1.0), (0.0, 5.0), (-3.0, 3.0)]


def prepare_toy(context: dict) -> dict:
    return {"target": np.asarray(context["target"]), "pid": os.getpid()}


def toy_loss(state: dict, x: np.ndarray) -> float:
    # A smooth bowl with a ridge: a valid but not trivial landscape.
    d = np.asarray(x) - state["target"]
    return float(np.sum(d * d) + 0.1 * np.sin(5.0 * d[0]) ** 2)


def tag_item(state: dict, item: int) -> tuple[int, int]:
    return item * item, state["pid"]


def invalid_above(state: dict, x: np.ndarray) -> float:
    # Half the box holds no valid model.
    return float("nan") if x[0] > 0.5 else toy_loss(state, x)


def slow_loss(state: dict, x: np.ndarray) -> float:
    total = 0.0
    for _ in range(200):
        total += toy_loss(state, x)
    return total / 200


CONTEXT = {"target": TARGET}


@pytest.mark.parametrize("executor", executors(None, "threads", "processes", 2, "pool", "dask"))
def test_map_keeps_order_over_batches(executor, request):
    if executor == "dask":
        executor = request.getfixturevalue("dask_client")
    pool = ThreadPoolExecutor(3) if executor == "pool" else None
    seen = []
    with Runner(pool or executor, adaptive=False) as runner:
        out = runner.map(prepare_toy, tag_item, CONTEXT, list(range(37)), on_batch=seen.append)
        again = runner.map(prepare_toy, tag_item, CONTEXT, [5])
    if pool is not None:
        assert not pool._shutdown  # a caller's executor is left running
        pool.shutdown()
    assert [value for value, _ in out] == [i * i for i in range(37)]
    assert sum(seen) == 37
    assert again[0] == (25, os.getpid())  # a single item never leaves the process
    pids = {pid for _, pid in out}
    if runner.kind in ("processes", "dask"):
        assert os.getpid() not in pids
    else:
        assert pids == {os.getpid()}


def row_pair(state: dict, row: np.ndarray) -> tuple[float, float]:
    return float(row[0] * 10.0 + row[1]), float(state["pid"])


@pytest.mark.parametrize("executor", executors(None, "threads", "processes", "pool", "dask"))
@pytest.mark.parametrize("count", [1, 2, 37])
def test_map_rows_gives_one_array_in_order(executor, count, request):
    if executor == "dask":
        executor = request.getfixturevalue("dask_client")
    pool = ThreadPoolExecutor(3) if executor == "pool" else None
    rows = np.column_stack([np.arange(count, dtype=np.float64), np.linspace(0.0, 0.5, count)])
    seen = []
    with Runner(pool or executor, adaptive=False) as runner:
        pairs = runner.map_rows(prepare_toy, row_pair, CONTEXT, rows, on_batch=seen.append)
        losses = runner.map_rows(prepare_toy, toy_loss, CONTEXT, np.tile(TARGET, (count, 1)))
        empty = runner.map_rows(prepare_toy, toy_loss, CONTEXT, np.empty((0, 3)))
    if pool is not None:
        pool.shutdown()
    assert pairs.dtype == np.float64 and pairs.shape == (count, 2)
    np.testing.assert_array_equal(pairs[:, 0], rows[:, 0] * 10.0 + rows[:, 1])
    assert sum(seen) == count
    # Single floats come back as one column; the rows arrive unchanged.
    assert losses.shape == (count,) and np.all(losses == 0.0)
    assert empty.shape == (0,)
    pids = set(pairs[:, 1].astype(int).tolist())
    if runner.kind in ("processes", "dask") and count > 1:
        assert os.getpid() not in pids
    else:
        assert pids == {os.getpid()}


def test_packed_context_is_unpickled_once_per_token():
    calls = []

    def prepare(context):
        calls.append(context)
        return context["offset"]

    def shift(state, row):
        return float(row[0] + state)

    packed = Packed(pickle.dumps({"offset": 5.0}))
    again = pickle.loads(pickle.dumps(packed))  # as a batch carries it
    rows = np.array([[1.0], [2.0]])
    np.testing.assert_array_equal(run_rows(prepare, shift, again, rows, "p"), [6.0, 7.0])
    np.testing.assert_array_equal(run_rows(prepare, shift, packed, rows[:1], "p"), [6.0])
    np.testing.assert_array_equal(run_rows(prepare, shift, packed, rows[1:], None), [7.0])
    assert calls == [{"offset": 5.0}, {"offset": 5.0}]


@pytest.mark.parametrize(
    ("count", "workers", "batch_size", "sizes"),
    [(10, 2, None, [5, 5]), (7, 2, None, [4, 3]), (7, 2, 3, [3, 3, 1]), (1, 4, None, [1])],
)
def test_batches_cover_items_once(count, workers, batch_size, sizes):
    with Runner(workers, batch_size=batch_size) as runner:
        parts = runner.batches(count)
    assert [len(p) for p in parts] == sizes
    assert [i for p in parts for i in p] == list(range(count))


@pytest.mark.parametrize(
    ("executor", "error"),
    [("gpu", ValueError), (0, ValueError), (object(), TypeError), (True, TypeError)],
)
def test_bad_executor_refused(executor, error):
    with pytest.raises(error):
        Runner(executor)


def test_run_batch_prepares_once():
    calls = []

    def prepare(context):
        calls.append(context)
        return context

    def add(state, item):
        return state + item

    assert run_batch(prepare, add, 10, [1, 2, 3]) == [11, 12, 13]
    assert calls == [10]
    # With a token, a worker prepares each context once over its batches.
    assert run_batch(prepare, add, 20, [1], "a") == [21]
    assert run_batch(prepare, add, 20, [2], "a") == [22]
    assert run_batch(prepare, add, 30, [1], "b") == [31]
    assert calls == [10, 20, 30]


@pytest.mark.parametrize("method", ["differential_evolution", "dual_annealing", "nelder-mead"])
def test_each_method_finds_the_minimum(method):
    result = search(
        prepare_toy,
        toy_loss,
        CONTEXT,
        BOUNDS,
        method=method,
        seed=3,
        x0=[0.9, 4.5, 2.5],
        progress=False,
    )
    assert not result.interrupted
    np.testing.assert_allclose(result.x, TARGET, atol=2e-3)
    assert result.loss == pytest.approx(0.0, abs=1e-5)
    assert result.evaluations == len(result.losses) == len(result.points)
    assert result.loss == np.nanmin(result.losses)
    lows, highs = np.array(BOUNDS).T
    assert np.all((result.points >= lows) & (result.points <= highs))


def test_invalid_points_never_win():
    result = search(prepare_toy, invalid_above, CONTEXT, BOUNDS, seed=1, progress=False, x0=[0.9, 1, 1])
    assert np.isnan(result.losses).any()
    assert result.x[0] <= 0.5
    np.testing.assert_allclose(result.x, TARGET, atol=2e-3)


@pytest.mark.parametrize("executor", executors("threads", "processes", "dask"))
def test_same_seed_same_search_on_every_executor(executor, request):
    if executor == "dask":
        executor = request.getfixturevalue("dask_client")
    options = {"maxiter": 15}
    serial = search(prepare_toy, toy_loss, CONTEXT, BOUNDS, seed=7, progress=False, options=options)
    other = search(
        prepare_toy,
        toy_loss,
        CONTEXT,
        BOUNDS,
        seed=7,
        progress=False,
        options=options,
        executor=executor,
    )
    np.testing.assert_array_equal(serial.points, other.points)
    np.testing.assert_array_equal(serial.losses, other.losses)
    np.testing.assert_array_equal(serial.x, other.x)


def test_other_seed_other_search():
    a = search(prepare_toy, toy_loss, CONTEXT, BOUNDS, seed=1, progress=False, options={"maxiter": 3})
    b = search(prepare_toy, toy_loss, CONTEXT, BOUNDS, seed=2, progress=False, options={"maxiter": 3})
    assert not np.array_equal(a.points, b.points)


@pytest.mark.parametrize("executor", executors(None, "processes"))
def test_interrupt_returns_best_so_far(executor):
    # Ctrl-C as the terminal sends it (a KeyboardInterrupt in the main
    # thread), a moment after the first generation is in.
    timers = []

    def after_first_generation(intermediate_result):
        if not timers:
            timers.append(threading.Timer(0.3, _thread.interrupt_main))
            timers[0].start()

    try:
        result = search(
            prepare_toy,
            slow_loss,
            CONTEXT,
            BOUNDS,
            seed=0,
            progress=False,
            executor=executor,
            options={"maxiter": 100000, "tol": 0.0, "atol": 0.0, "callback": after_first_generation},
        )
    finally:
        for timer in timers:
            timer.cancel()
    assert result.interrupted
    assert result.message.split(";")[0] == "interrupted"
    assert result.evaluations > 0
    assert result.loss == np.nanmin(result.losses)
    np.testing.assert_array_equal(result.x, result.points[np.nanargmin(result.losses)])


@pytest.mark.parametrize("line", range(40))
def test_interrupt_at_any_line_keeps_the_record_whole(line):
    # A Ctrl-C may land at any line the search runs, also while an evaluation
    # is being recorded: the record keeps that evaluation whole or not at all.
    # From the fifth evaluation on, the interrupt is raised at the line-th line
    # run in the search module (40 lines span more than one evaluation).
    module = search.__code__.co_filename
    state = {"evaluations": 0, "lines": 0}

    def counted(context, x):
        state["evaluations"] += 1
        return toy_loss(context, x)

    def local(frame, event, arg):
        if event == "line" and state["evaluations"] >= 5:
            state["lines"] += 1
            if state["lines"] == line + 1:
                raise KeyboardInterrupt
        return local

    def trace(frame, event, arg):
        return local if frame.f_code.co_filename == module else None

    sys.settrace(trace)
    try:
        result = search(prepare_toy, counted, CONTEXT, BOUNDS, seed=0, method="dual_annealing", progress=False)
    finally:
        sys.settrace(None)
    assert result.interrupted
    sizes = {len(result.points), len(result.losses), len(result.values), len(result.generations)}
    assert sizes == {result.evaluations}


def test_interrupt_before_any_evaluation_propagates():
    def interrupt(state, x):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        search(prepare_toy, interrupt, CONTEXT, BOUNDS, progress=False)


@pytest.mark.parametrize(
    ("bounds", "kwargs", "message"),
    [
        ([(1.0, 0.0)], {}, "low < high"),
        ([(0.0, np.inf)], {}, "low < high"),
        ([], {}, "no parameters"),
        ([(0.0, 1.0)], {"method": "powell"}, "method must be one of"),
        ([(0.0, 1.0)], {"x0": [1.0, 2.0]}, "x0 has 2 values for 1 parameters"),
    ],
)
def test_search_refuses_bad_arguments(bounds, kwargs, message):
    with pytest.raises(ValueError, match=message):
        search(prepare_toy, toy_loss, CONTEXT, bounds, progress=False, **kwargs)


def test_latin_hypercube_strata_and_seed():
    bounds = {"a": (0.0, 10.0), "b": (-1.0, 1.0)}
    samples = latin_hypercube(bounds, 20, seed=4)
    assert list(samples.columns) == ["a", "b"] and len(samples) == 20
    for name, (low, high) in bounds.items():
        strata = np.floor((samples[name] - low) / (high - low) * 20).astype(int)
        assert sorted(strata) == list(range(20))  # one sample per stratum
    pd.testing.assert_frame_equal(samples, latin_hypercube(bounds, 20, seed=4))
    assert not samples.equals(latin_hypercube(bounds, 20, seed=5))


@pytest.mark.parametrize(("bounds", "n"), [({"a": (1.0, 1.0)}, 3), ({}, 3), ({"a": (0.0, 1.0)}, 0)])
def test_latin_hypercube_refuses(bounds, n):
    with pytest.raises(ValueError):
        latin_hypercube(bounds, n)


def test_percentile_bands_match_numpy_and_skip_gaps():
    rng = np.random.default_rng(0)
    index = pd.date_range("2024-01-01", periods=6, freq="15min")
    runs = pd.DataFrame(rng.normal(size=(6, 40)), index=index)
    runs.iloc[2, :5] = np.nan
    runs.iloc[4, :] = np.nan
    bands = percentile_bands(runs, (2.5, 50, 97.5))
    assert list(bands.columns) == ["p2.5", "p50", "p97.5"]
    assert bands.index.equals(index)
    for row in (0, 2):
        values = runs.iloc[row].dropna().to_numpy()
        np.testing.assert_allclose(bands.iloc[row], np.percentile(values, [2.5, 50, 97.5]))
    assert bands.iloc[4].isna().all()
    assert (bands["p2.5"] <= bands["p50"]).iloc[[0, 1, 2, 3, 5]].all()


def sleepy_loss(state: dict, x: np.ndarray) -> float:
    import time

    time.sleep(0.01)
    return toy_loss(state, x)


@pytest.mark.parametrize("progress", [True, False])
def test_progress_bar_only_when_asked_and_only_for_long_runs(capsys, progress):
    # 165 evaluations of 10 ms: longer than the bar's one-second delay.
    search(
        prepare_toy,
        sleepy_loss,
        CONTEXT,
        BOUNDS,
        seed=0,
        progress=progress,
        options={"maxiter": 10, "popsize": 5, "tol": 0.0},
    )
    err = capsys.readouterr().err
    assert ("differential_evolution" in err and "eval" in err) == progress
    # A short run shows nothing, even when asked.
    search(prepare_toy, toy_loss, CONTEXT, BOUNDS, seed=0, progress=True, options={"maxiter": 2})
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("executor", executors("dask"))
def test_runs_one_after_another_on_one_cluster(executor, request):
    # Each run scatters its context and releases it when done; the same
    # context sent again by the next run must not be lost to that release.
    client = request.getfixturevalue("dask_client")
    for _ in range(8):
        with Runner(client) as runner:
            out = runner.map(prepare_toy, tag_item, CONTEXT, list(range(6)))
        assert [value for value, _ in out] == [i * i for i in range(6)]


@pytest.mark.slow
def test_a_worker_pool_serves_many_runs_with_the_same_workers():
    with WorkerPool(2) as pool:
        seen = []
        for _ in range(2):
            with Runner(pool, adaptive=False) as runner:
                seen.append({pid for _, pid in runner.map(prepare_toy, tag_item, CONTEXT, list(range(8)))})
        assert pool.started
    assert seen[1] <= seen[0] and os.getpid() not in seen[0]  # no new workers for the second run
    with pytest.raises(RuntimeError, match="closed"):
        pool.submit(tag_item, {"pid": 0}, 1)
