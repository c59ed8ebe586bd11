"""Evaluations per second of a calibration: serial, threads, processes, Dask, and spotpy.

A plain script: `python benchmarks/bench_calibrate.py [--generations N] [--workers N]`,
or `main()` from the benchmark runner. The problem is the one of
examples/calibrate.py: the event model's basin (losses, Clark transform, two
baseflow layers) fitted on its own noise-free outflow for the design storm,
four parameters (initial deficit, constant rate, tc, R), differential
evolution on the Nash-Sutcliffe efficiency with a fixed number of generations
(no early stop, so every executor does the same evaluations). Pools and the
Dask cluster are started and warmed before the timing. spotpy's SCE-UA runs
the same objective (the same model evaluation) serially, when spotpy is
installed.

Targets: at least 1.7 times the serial throughput with two workers, and
ahead of spotpy's evaluations per second.
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
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import pandas as pd

import rainmill_models as rm
from rainmill_models.calibration import _outflow, prepare_calibration, series_to_data
from rainmill_models.executors import Runner

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


def build_case(whole: bool = False) -> tuple[rm.Model, pd.Series, pd.Series]:
    """The wrong start, the rain and the noise-free observations of the example.

    With `whole`, the basin keeps the reach and the reservoir of the event
    model below it (an evaluation then costs some fifty times more).
    """
    truth = EXAMPLE.basin_model()
    if whole:
        full = rm.Model.load(EXAMPLES / "event_model.toml")
        truth = dataclasses.replace(truth, reach=full.reach, reservoir=full.reservoir)
    rain = rm.read_rain_csv(EXAMPLES / "design_storm.csv")
    return rm.with_parameters(truth, EXAMPLE.WRONG_START), rain, truth.run(rain).outflow


def calibration_context(case: tuple[rm.Model, pd.Series, pd.Series]) -> dict[str, Any]:
    """The plain data calibrate() hands its workers for this case."""
    model, rain, observed = case
    return {
        "model": model.to_dict(),
        "rain": series_to_data(rain),
        "observed": series_to_data(observed),
        "window": (observed.index[0].isoformat(), observed.index[-1].isoformat()),
        "paths": list(BOUNDS),
        "objective": "nse",
        "missing": "raise",
    }


def rate(
    case: tuple[rm.Model, pd.Series, pd.Series], generations: int, executor: Any, repeat: int
) -> tuple[float, dict[str, float]]:
    """The best evaluations per second over `repeat` runs, and the parameters found."""
    model, rain, observed = case
    options = {"maxiter": generations, "tol": 0.0, "atol": 0.0}
    best, found = 0.0, {}
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
        )
        best = max(best, result.evaluations / result.seconds)
        found = result.parameters
    return best, found


def _nothing(state: object, item: object) -> float:
    return 0.0


def scheduling_share(
    case: tuple[rm.Model, pd.Series, pd.Series], executor: Any, serial_rate: float, rounds: int = 20
) -> float:
    """The cost of dispatching one generation, as a share of its work done serially.

    The same batches as a calibration's, with the same context, but each
    evaluation replaced by nothing: what remains is scheduling, transfer and
    the trips back.
    """
    context = calibration_context(case)
    population = np.full((15 * len(BOUNDS), len(BOUNDS)), 0.5)
    with Runner(executor) as runner:
        runner.map_rows(prepare_calibration, _nothing, context, population)
        started = time.perf_counter()
        for _ in range(rounds):
            runner.map_rows(prepare_calibration, _nothing, context, population)
        per_generation = (time.perf_counter() - started) / rounds
    return per_generation / (len(population) / serial_rate)


def warm(case: tuple[rm.Model, pd.Series, pd.Series], executor: Any) -> None:
    rate(case, 1, executor, 1)


def spotpy_rate(case: tuple[rm.Model, pd.Series, pd.Series], repetitions: int) -> float | None:
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
            return state.observed_values

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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--generations", type=int, default=40, help="generations of 60 evaluations per run (default 40)"
    )
    parser.add_argument(
        "--event-generations", type=int, default=3, help="generations for the whole event model (default 3)"
    )
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=2, help="timed runs; the best is reported")
    args = parser.parse_args(argv)
    print(
        f"Calibration throughput: differential evolution over {len(BOUNDS)} parameters "
        f"(populations of {15 * len(BOUNDS)}), {args.workers} workers, {os.cpu_count()} cores; "
        "other load on the machine shows in these figures"
    )
    measure(
        "The calibration example (the basin alone)",
        build_case(),
        args.generations,
        args.workers,
        args.repeat,
        spotpy=True,
    )
    measure(
        "The whole event model (basin, reach, reservoir)",
        build_case(whole=True),
        args.event_generations,
        args.workers,
        args.repeat,
        spotpy=False,
    )
    return 0


def measure(
    title: str, case: tuple[rm.Model, pd.Series, pd.Series], generations: int, workers: int, repeat: int, spotpy: bool
) -> None:
    """Print one table of evaluations per second, and the targets."""
    evaluations = (generations + 1) * 15 * len(BOUNDS)
    print(f"\n{title}: {evaluations} evaluations per run")
    rows: list[tuple[str, float | None, str]] = []
    shares: list[str] = []
    serial, reference = rate(case, generations, None, repeat)
    rows.append(("serial", serial, ""))
    pools: list[tuple[str, Executor]] = [
        (f"threads ({workers})", ThreadPoolExecutor(workers)),
        (f"processes ({workers})", ProcessPoolExecutor(workers)),
    ]
    for name, pool in pools:
        with pool:
            warm(case, pool)
            value, found = rate(case, generations, pool, repeat)
            shares.append(f"{name}: {100 * scheduling_share(case, pool, serial):.1f} %")
        rows.append((name, value, "" if found == reference else "DIFFERENT RESULT"))
    started = dask_client(workers)
    if started is None:
        rows.append(("Dask LocalCluster", None, "not installed"))
    else:
        client, close = started
        try:
            warm(case, client)
            value, found = rate(case, generations, client, repeat)
            shares.append(f"Dask: {100 * scheduling_share(case, client, serial):.1f} %")
        finally:
            close()
        rows.append((f"Dask LocalCluster ({workers})", value, "" if found == reference else "DIFFERENT RESULT"))
    spot = spotpy_rate(case, evaluations) if spotpy else None
    if spotpy:
        rows.append(("spotpy SCE-UA (serial)", spot, "" if spot is not None else "not installed"))

    print("\n| executor | evaluations/s | × serial | note |\n|---|---:|---:|---|")
    for name, value, note in rows:
        shown = "—" if value is None else f"{value:,.0f}"
        ratio = "—" if value is None else f"{value / serial:.2f}"
        print(f"| {name} | {shown} | {ratio} | {note} |")
    print(
        f"\nScheduling cost of one generation ({15 * len(BOUNDS)} evaluations in one batch per "
        "worker), as a share of its serial work: " + ", ".join(shares)
    )
    best_parallel = max((v for n, v, _ in rows[2:4] if v is not None), default=math.nan)
    met = best_parallel >= TARGET_SPEEDUP * serial
    print(
        f"Target {TARGET_SPEEDUP}x serial with {workers} workers "
        f"(best of processes and Dask: {best_parallel / serial:.2f}x): "
        f"{'met' if met else 'not met'}"
    )
    if not spotpy:
        return
    if spot is None:
        print("Target ahead of spotpy: spotpy not installed")
    else:
        ahead = max(serial, best_parallel) > spot
        print(f"Target ahead of spotpy ({spot:,.0f}/s): {'met' if ahead else 'not met'} (serial {serial / spot:.2f}x)")


if __name__ == "__main__":
    sys.exit(main())
