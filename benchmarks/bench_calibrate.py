"""Evaluations per second of a calibration: serial, threads, processes, Dask, and spotpy.

A plain script: `python benchmarks/bench_calibrate.py [--generations N] [--workers N]`,
or `main()` from the benchmark runner. The problem is the one of
examples/calibrate.py: the event model's basin (losses, Clark transform, two
baseflow layers) fitted on its own noise-free outflow for the design storm,
four parameters (initial deficit, constant rate, tc, R), differential
evolution on the Nash-Sutcliffe efficiency with a fixed number of generations
(no early stop, so every executor does the same evaluations). Three models:
cheap (the basin over the storm, about 0.1 ms an evaluation), medium (the
basin over two hundred days, about 0.6 ms) and dear (the whole event model
with its reach and reservoir, about 4 ms). Threads and processes are started
by each calibrate() call, as a user's `executor="threads"` or `executor=2`
is (the start of the processes is in the figure); a WorkerPool is started
once and serves every call; the Dask cluster is running, as a user's is.
"before" quotes the same ratios measured on main before the runner was split
into backends and a policy. spotpy's SCE-UA runs the same objective (the same
model evaluation) serially, when spotpy is installed.

Targets: every executor at least 0.95 times serial on the cheap model; with
two workers on the dear model, processes (a reused pool) at least 1.7 times
and Dask at least 1.5 times serial; ahead of spotpy's evaluations per second.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import logging
import math
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import pandas as pd

import rainmill_models as rm
from rainmill_models.calibration import calibrate as calibration
from rainmill_models.calibration.calibrate import _outflow, prepare_calibration
from rainmill_models.calibration.runner import WorkerPool

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
TARGET_SPEEDUP = 1.7


def _example() -> ModuleType:
    """examples/calibrate.py, whose problem this benchmark times."""
    spec = importlib.util.spec_from_file_location("calibrate_example", EXAMPLES / "calibrate.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


EXAMPLE = _example()
BOUNDS: dict[str, tuple[float, float]] = EXAMPLE.BOUNDS
SEED: int = EXAMPLE.SEED


def build_case(whole: bool = False, days: float | None = None) -> tuple[rm.Network, pd.Series, pd.Series]:
    """The wrong start, the rain and the noise-free observations of the example.

    With `whole`, the basin keeps the reach and the reservoir of the event
    model below it (an evaluation then costs some forty times more); with
    `days`, the observations (and each run) last that long.
    """
    truth = EXAMPLE.basin_model()
    if whole:
        full = rm.Network.load(EXAMPLES / "event_model.toml")
        basin = dataclasses.replace(truth.elements["basin"], downstream=full.elements["basin"].downstream)
        truth = dataclasses.replace(full, elements={**full.elements, "basin": basin})
    rain = rm.read_rain_csv(EXAMPLES / "design_storm.csv")
    end = None if days is None else rain.index[0] + pd.Timedelta(days=days)
    if days is not None:  # a run past the rain's end is held to options.max_horizon
        truth = dataclasses.replace(truth, options=dataclasses.replace(truth.options, max_horizon=24.0 * (days + 1)))
    return rm.with_parameters(truth, EXAMPLE.WRONG_START), rain, truth.run(rain, end=end).outflow


def calibration_context(case: tuple[rm.Network, pd.Series, pd.Series]) -> dict[str, Any]:
    """The plain data calibrate() hands its workers for this case."""
    model, rain, observed = case
    context: dict[str, Any] = calibration.calibration_context(
        model, rain, observed, list(BOUNDS), objective="nse"
    ).context
    return context


def rate(
    case: tuple[rm.Network, pd.Series, pd.Series],
    generations: int,
    executor: Any,
    repeat: int,
    batch_size: int | None = None,
) -> tuple[float, dict[str, float], str]:
    """The best evaluations per second over `repeat` runs, the parameters found and the result's message."""
    model, rain, observed = case
    options = {"maxiter": generations, "tol": 0.0, "atol": 0.0}
    best, found, message = 0.0, {}, ""
    for _ in range(repeat):
        result = rm.calibrate(
            model,
            rain,
            observed,
            BOUNDS,
            objective="nse",
            seed=SEED,
            executor=executor,
            progress=False,
            options=options,
            batch_size=batch_size,
        )
        best = max(best, result.evaluations / result.seconds)
        found, message = result.parameters, result.message
    return best, found, message


def warm(case: tuple[rm.Network, pd.Series, pd.Series], executor: Any) -> None:
    rate(case, 1, executor, 1, batch_size=1)


def spotpy_rate(case: tuple[rm.Network, pd.Series, pd.Series], repetitions: int) -> float | None:
    """SCE-UA's evaluations per second on the same objective, or None without spotpy."""
    try:
        import spotpy
    except ImportError:
        return None
    state = prepare_calibration(calibration_context(case))

    class Setup:
        def __init__(self) -> None:
            self.params = [spotpy.parameter.Uniform(path, low, high) for path, (low, high) in BOUNDS.items()]

        def parameters(self) -> Any:
            return spotpy.parameter.generate(self.params)

        def simulation(self, vector: Any) -> Any:
            try:
                return _outflow(state, np.asarray(vector, dtype=np.float64))[state.positions]
            except rm.ModelError:
                return np.full(len(state.positions), np.nan)

        def evaluation(self) -> Any:
            return state.gauges[0].values

        def objectivefunction(self, simulation: Any, evaluation: Any) -> float:
            return 1.0 - float(spotpy.objectivefunctions.nashsutcliffe(evaluation, simulation))

    sampler = spotpy.algorithms.sceua(Setup(), dbformat="ram", random_state=SEED, save_sim=False)
    devnull = open(os.devnull, "w")  # spotpy reports on stdout as it goes  # noqa: SIM115
    saved, sys.stdout = sys.stdout, devnull
    try:
        started = time.perf_counter()
        sampler.sample(repetitions, ngs=8, kstop=1000, peps=0.0, pcento=0.0)
        seconds = time.perf_counter() - started
    finally:
        sys.stdout = saved
        devnull.close()
    return len(sampler.getdata()) / seconds


def dask_client(workers: int) -> tuple[Any, Callable[[], None]] | None:
    try:
        import distributed
    except ImportError:
        return None
    cluster = distributed.LocalCluster(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        silence_logs=logging.CRITICAL,
    )
    client = distributed.Client(cluster)

    def close() -> None:
        client.close()
        cluster.close()

    return client, close


def many_jobs(count: int, generations: int) -> dict[str, rm.CalibrationJob]:
    """`count` basins: the example's basin with its area and constant rate varied, each fitted on its own
    noise-free outflow from the example's wrong start (each job about 0.1 s serially)."""
    truth = EXAMPLE.basin_model()
    rain = rm.read_rain_csv(EXAMPLES / "design_storm.csv")
    rates = np.random.default_rng(SEED).uniform(0.05, 0.3, count)
    jobs = {}
    for index, rate in enumerate(rates):
        basin = rm.with_parameters(truth, {"basin.loss.constant_rate": float(rate)})
        observed = basin.run(rain).outflow
        start = rm.with_parameters(basin, EXAMPLE.WRONG_START)
        jobs[f"basin{index:03d}"] = rm.CalibrationJob(
            start, rain, observed, BOUNDS, objective="nse", seed=SEED, options={"maxiter": generations, "tol": 0.0}
        )
    return jobs


def measure_many(count: int, generations: int, workers: int) -> None:
    """Jobs per minute of calibrate_many on serial, processes and a Dask LocalCluster; a rerun on the store."""
    import tempfile

    jobs = many_jobs(count, generations)
    print(
        f"\ncalibrate_many: {count} basins, differential evolution of {generations + 1} generations each "
        f"({(generations + 1) * 15 * len(BOUNDS)} evaluations a job), {workers} workers"
    )
    print("\n| executor | seconds | jobs per minute | × serial | same table as serial |\n|---|---:|---:|---:|---|")
    reference: pd.DataFrame | None = None
    serial_seconds = math.nan

    def timed(name: str, executor: Any) -> None:
        nonlocal reference, serial_seconds
        started = time.perf_counter()
        table = rm.calibrate_many(jobs, executor=executor, progress=False)
        seconds = time.perf_counter() - started
        if reference is None:
            reference, serial_seconds = table, seconds
        columns = [column for column in table.columns if column not in ("seconds", "stored")]
        same = "yes" if table[columns].equals(reference[columns]) else "NO"
        ok = int((table["status"] == "ok").sum())
        print(
            f"| {name} | {seconds:.1f} | {60 * count / seconds:,.0f} | {serial_seconds / seconds:.2f}× | "
            f"{same} ({ok} ok) |"
        )

    timed("serial", None)
    timed(f"processes ({workers}), started by calibrate_many", workers)
    started = dask_client(workers)
    if started is None:
        print("| Dask LocalCluster | — | — | — | not installed |")
    else:
        client, close = started
        try:
            timed(f"Dask LocalCluster ({workers})", client)
        finally:
            close()
    with tempfile.TemporaryDirectory() as store:
        rm.calibrate_many(jobs, store=store, executor=workers, progress=False)
        began = time.perf_counter()
        again = rm.calibrate_many(jobs, store=store, progress=False)
        seconds = time.perf_counter() - began
    print(
        f"\nA rerun on the finished store: {int(again['stored'].sum())} of {count} jobs read from it, "
        f"{count - int(again['stored'].sum())} evaluated, in {seconds:.2f} s"
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--generations", type=int, default=100, help="generations of 60 evaluations per run (default 100)"
    )
    parser.add_argument(
        "--medium-generations", type=int, default=20, help="generations for the medium model (default 20)"
    )
    parser.add_argument(
        "--event-generations", type=int, default=10, help="generations for the whole event model (default 10)"
    )
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=2, help="timed runs; the best is reported")
    parser.add_argument("--basins", type=int, default=100, help="jobs of the calibrate_many section (default 100)")
    args = parser.parse_args(argv)
    print(
        f"Calibration throughput: differential evolution over {len(BOUNDS)} parameters "
        f"(populations of {15 * len(BOUNDS)}), {args.workers} workers, {os.cpu_count()} cores; "
        "other load on the machine shows in these figures"
    )
    measure(
        "Cheap: the calibration example (the basin alone)",
        build_case(),
        args.generations,
        args.workers,
        args.repeat,
        spotpy=True,
    )
    measure(
        "Medium: the basin over two hundred days",
        build_case(days=200.0),
        args.medium_generations,
        args.workers,
        args.repeat,
        spotpy=False,
        label="medium",
    )
    measure(
        "Dear: the whole event model (basin, reach, reservoir)",
        build_case(whole=True),
        args.event_generations,
        args.workers,
        args.repeat,
        spotpy=False,
        label="dear",
    )
    measure_many(args.basins, 10, args.workers)
    print(
        "\nOn a machine whose cores other work shares, a parallel way gains only what the other cores have "
        "left: compare each executor with the serial figure alongside it. Processes started by calibrate() pay "
        "some 0.8 s of a core per worker (a fresh interpreter importing NumPy, pandas, SciPy and this package); "
        "the runner starts them only when the work to come can repay that, and a WorkerPool started once "
        "serves every later call without it."
    )
    return 0


# Figures measured on main before the runner was split into backends and a policy (ratios to
# serial, 2 workers, each executor started the way calibrate() starts it), for the "before" column.
BEFORE = {
    "cheap": {"threads": "0.99×", "processes": "0.13–0.15×", "pool": "—", "dask": "1.09×"},
    "medium": {"threads": "0.99×", "processes": "1.39×", "pool": "—", "dask": "1.05×"},
    "dear": {"threads": "1.81–1.97×", "processes": "1.28–1.42×", "pool": "—", "dask": "0.98–1.46×"},
}
TARGET_DEAR = {"processes": TARGET_SPEEDUP, "pool": TARGET_SPEEDUP, "dask": 1.5}


def measure(
    title: str,
    case: tuple[rm.Network, pd.Series, pd.Series],
    generations: int,
    workers: int,
    repeat: int,
    spotpy: bool,
    label: str = "cheap",
) -> None:
    """Print one table of evaluations per second, and the targets.

    Threads and processes are started by each calibrate() call, as a user's
    ``executor="threads"`` or ``executor=2`` is; the WorkerPool is started
    once and serves every call (the way to reuse workers); the Dask cluster
    is running, as a user's client is.
    """
    population = 15 * len(BOUNDS)
    evaluations = (generations + 1) * population
    print(f"\n{title}: {evaluations} evaluations per run")
    # (executor, key, rate, note, the serial rate timed alongside): the load of a shared machine
    # drifts, so each executor is compared with serial runs made just before and after it.
    rows: list[tuple[str, str, float | None, str, float]] = []
    serial, reference, _ = rate(case, generations, None, repeat)
    print(f"one evaluation: {1e3 / serial:.2f} ms")
    rows.append(("serial", "serial", serial, "", serial))

    def timed(name: str, key: str, executor: Any, warmed: bool) -> None:
        if warmed:
            warm(case, executor)
        # The serial figure alongside is the best of `repeat` runs too, as each executor's is: half
        # of them just before the executor's runs and half just after (at least one each).
        alongside, _, _ = rate(case, generations, None, max(1, repeat // 2))
        value, found, message = rate(case, generations, executor, repeat)
        alongside = max(alongside, rate(case, generations, None, max(1, repeat - repeat // 2))[0])
        note = "" if found == reference else "DIFFERENT RESULT; "
        note += "kept serial" if "evaluated in the calling process" in message else ""
        rows.append((name, key, value, note, alongside))

    timed(f"threads ({workers}), started by calibrate", "threads", "threads", warmed=False)
    timed(f"processes ({workers}), started by calibrate", "processes", workers, warmed=False)
    with WorkerPool(workers) as pool:
        timed(f"WorkerPool({workers}), started once and reused", "pool", pool, warmed=True)
    started = dask_client(workers)
    if started is None:
        rows.append(("Dask LocalCluster", "dask", None, "not installed", serial))
    else:
        client, close = started
        try:
            timed(f"Dask LocalCluster ({workers}), running", "dask", client, warmed=True)
        finally:
            close()
    spot = spotpy_rate(case, evaluations) if spotpy else None
    if spotpy:
        rows.append(("spotpy SCE-UA (serial)", "spotpy", spot, "" if spot is not None else "not installed", serial))

    def shown(value: float | None, alongside: float) -> str:
        return "—" if value is None else f"{value:,.0f} ({value / alongside:.2f}×)"

    before = BEFORE.get(label, {})
    print(
        "\n| executor | evaluations/s (× serial alongside) | before (main, × serial) | serial alongside | note |"
        "\n|---|---:|---:|---:|---|"
    )
    for name, key, value, note, alongside in rows:
        print(f"| {name} | {shown(value, alongside)} | {before.get(key, '—')} | {alongside:,.0f} | {note} |")
    ratios = {key: v / ref for _, key, v, _, ref in rows[1:] if v is not None and key != "spotpy"}
    slowest = min(ratios.values(), default=math.nan)
    print(
        f"Target never slower than serial (slowest executor {slowest:.2f}× serial, ≥ 0.95×): {_verdict(slowest >= 0.95)}"
    )
    cost_ms = 1e3 / serial
    if cost_ms >= 2.0:
        for key, goal in TARGET_DEAR.items():
            if key in ratios:
                print(
                    f"Target {key} ≥ {goal}× serial with {workers} workers at {cost_ms:.2f} ms an evaluation: "
                    f"{ratios[key]:.2f}×, {_verdict(ratios[key] >= goal)}"
                )
    if not spotpy:
        return
    if spot is None:
        print("Target ahead of spotpy: spotpy not installed")
    else:
        ahead = serial > spot
        print(f"Target ahead of spotpy ({spot:,.0f}/s): {_verdict(ahead)} (serial {serial / spot:.2f}x)")


def _verdict(ok: bool) -> str:
    return "met" if ok else "not met"


if __name__ == "__main__":
    sys.exit(main())
