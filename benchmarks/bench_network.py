"""Networks: a 1,000-subbasin binary tree, and the calibration of the example chain.

    .venv/bin/python benchmarks/bench_network.py [--quick]      (also a section of `make bench`)

1. A synthetic binary tree: subbasin i drains to junction i, which also takes the reaches of its
   children 2i + 1 and 2i + 2 and feeds reach i; reach 0 feeds the outlet. Every subbasin has a
   deficit-and-constant loss, a Clark transform and a baseflow layer; every reach is a Muskingum
   reach of three sub-reaches. 30 days at 15 minutes (2,880 points), one storm on the first day.
   Reported: seconds per run (best of a few), the peak of Python/NumPy allocations (tracemalloc),
   the time spent inside the extension's kernels and the Clark convolution against the rest (the
   model layer: forcing, bookkeeping, summing inflows), the time per element and point at several
   sizes (linear growth), and two threads against one.
2. The calibration of examples/event_model.toml on its synthetic observations (NSE, four
   parameters): serial evaluations per second through the per-candidate path of the single-chain
   API (`with_parameters` on the description, then `simulate`) against the calibration's own path
   (paths resolved once, only touched elements rebuilt, the step checked once), and the share of
   parameter handling in an evaluation.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
import tracemalloc
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


import rainmill  # noqa: E402

import rainmill_models as rm  # noqa: E402
from rainmill_models import calibration, transform  # noqa: E402
from rainmill_models.description import with_parameters  # noqa: E402
from rainmill_models.run import prepare_rain, simulate  # noqa: E402

STEP_HOURS = 0.25
DAYS = 30
PARAMETERS = {
    "basin.loss.constant_rate": (0.02, 0.5),
    "basin.transform.tc": (1.0, 8.0),
    "basin.transform.r": (0.2, 4.0),
    "reach.k": (0.5, 3.0),
}


def tree(subbasins: int) -> rm.Network:
    """The binary tree of `subbasins` subbasins, each with a reach below it."""
    data: dict[str, Any] = {
        "options": {"name": f"binary tree of {subbasins}", "step": STEP_HOURS},
        "subbasins": {},
        "reaches": {},
        "junctions": {},
        "sinks": {"outlet": {}},
    }
    for i in range(subbasins):
        children = [c for c in (2 * i + 1, 2 * i + 2) if c < subbasins]
        below = f"j{i}" if children else f"r{i}"
        data["subbasins"][f"s{i}"] = {
            "area": 500.0 + 10.0 * (i % 50),
            "downstream": below,
            "loss": {"method": "deficit-constant", "initial_deficit": 0.5, "max_deficit": 1.5,
                     "constant_rate": 0.1, "time_to_dry": 48.0},
            "transform": {"method": "clark", "tc": 2.0 + (i % 7) * 0.5, "r": 1.5},
            "baseflow": {"method": "linear-reservoirs", "layers": {"deep": {"fraction": 0.3, "k": 72.0,
                                                                            "initial_q": 1.0}}},
        }  # fmt: skip
        if children:
            data["junctions"][f"j{i}"] = {"downstream": f"r{i}"}
        parent = (i - 1) // 2
        data["reaches"][f"r{i}"] = {
            "downstream": f"j{parent}" if i else "outlet",
            "routing": {"method": "muskingum", "k": 1.0, "x": 0.1, "sub_reaches": 3},
        }
    return rm.Network.from_dict(data)


def storm(days: int) -> pd.Series:
    points = int(days * 24 / STEP_HOURS)
    values = np.zeros(points)
    values[8:32] = np.linspace(0.02, 0.12, 24)
    index = pd.date_range("2024-06-01", periods=points, freq=f"{int(STEP_HOURS * 60)}min", tz="UTC")
    return pd.Series(values, index=index)


class KernelClock:
    """Times every call into the extension's kernels (and the Clark convolution) while installed."""

    TARGETS = (
        (rainmill.rainfall_loss, "run_deficit_and_constant"),
        (rainmill.reach, "run_muskingum_routing"),
        (rainmill.baseflow, "run_linear_reservoir"),
        (rainmill.reservoir, "run_level_pool_routing"),
        (rainmill.rainfall_transform, "run_clark_uh"),
        # handing the arrays to the extension: its series and reservoir objects
        (rainmill.utils, "IncrementalTimeSeries"),
        (rainmill.utils, "ContinuousTimeSeries"),
        (rainmill.baseflow, "LinearReservoir"),
    )

    def __init__(self) -> None:
        self.seconds = 0.0
        self.saved: list[tuple[Any, str, Any]] = []

    def wrap(self, function: Callable[..., Any]) -> Callable[..., Any]:
        def timed(*args: Any, **kwargs: Any) -> Any:
            started = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - started

        return timed

    def __enter__(self) -> KernelClock:
        from rainmill_models.methods import standard

        for owner, name in self.TARGETS:
            self.saved.append((owner, name, getattr(owner, name)))
            setattr(owner, name, self.wrap(getattr(owner, name)))
        self.saved.append((standard, "clark", standard.clark))
        standard.clark = self.wrap(transform.clark)  # type: ignore[attr-defined]
        return self

    def __exit__(self, *exc: object) -> None:
        for owner, name, original in reversed(self.saved):
            setattr(owner, name, original)


def best(call: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def tree_rows(quick: bool) -> list[str]:
    sizes = (125, 250, 500) if quick else (250, 500, 1000)
    rain = storm(DAYS)
    end = rain.index[-1]
    lines = [
        "| subbasins | elements | points | s per run (1 thread) | s (2 threads) | 2 vs 1 | kernels s | "
        "model layer s | layer / kernels | µs per element-point | peak MB (tracemalloc) |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for n in sizes:
        network = tree(n)
        network.run(rain, end=end)  # warm the caches (unit hydrographs)
        one = best(lambda network=network: network.run(rain, end=end), 2 if quick else 3)
        two = best(lambda network=network: network.run(rain, end=end, threads=2), 2 if quick else 3)
        with KernelClock() as clock:
            started = time.perf_counter()
            network.run(rain, end=end)
            total = time.perf_counter() - started
        tracemalloc.start()
        network.run(rain, end=end)
        peak = tracemalloc.get_traced_memory()[1] / 1e6
        tracemalloc.stop()
        elements = len(network.elements)
        points = len(rain)
        layer = total - clock.seconds
        lines.append(
            f"| {n} | {elements} | {points} | {one:.2f} | {two:.2f} | {one / two:.2f}x | {clock.seconds:.2f} | "
            f"{layer:.2f} | {layer / clock.seconds:.2f} | {one / (elements * points) * 1e6:.3f} | {peak:.0f} |"
        )
    return lines


def calibration_rows(quick: bool) -> list[str]:
    full = rm.Model.load(ROOT / "examples" / "event_model.toml")
    rows = []
    for label, model in (("with its reservoir", full), ("basin and reach only", rm.Model(full.basin, full.reach))):
        rows += calibration_case(label, model, quick)
    lines = ["| model | path | serial evaluations/s | parameter handling share |", "|---|---|---:|---:|"]
    for i in range(0, len(rows), 2):
        (label, name0, rate0, share0), (_, name1, rate1, share1) = rows[i], rows[i + 1]
        lines.append(f"| {label} | {name0} | {rate0:,.0f} | {share0:.0%} |")
        lines.append(f"| {label} | {name1} | {rate1:,.0f} ({rate1 / rate0:.2f}x) | {share1:.0%} |")
    return lines


def calibration_case(label: str, model: rm.Model, quick: bool) -> list[tuple[str, str, float, float]]:
    rain = rm.read_rain_csv(ROOT / "examples" / "design_storm.csv")
    observed = rm.read_flow_csv(ROOT / "examples" / "observed_outflow.csv")
    context = {
        "model": model.to_dict(),
        "rain": calibration.series_to_data(rain),
        "observed": calibration.series_to_data(observed),
        "window": (observed.index[0].isoformat(), observed.index[-1].isoformat()),
        "paths": list(PARAMETERS),
        "objective": "nse",
        "missing": "raise",
    }
    state = calibration.prepare_calibration(context)
    rng = np.random.default_rng(1)
    lows = np.array([b[0] for b in PARAMETERS.values()])
    highs = np.array([b[1] for b in PARAMETERS.values()])
    candidates = lows + (highs - lows) * rng.random((60 if quick else 300, len(PARAMETERS)))
    gross, step = prepare_rain(model, rain)
    points = len(state.index)
    positions, seen = state.gauges[0].positions, state.gauges[0].values

    def legacy(values: np.ndarray) -> float:
        try:
            changed = with_parameters(model, dict(zip(PARAMETERS, map(float, values), strict=True)))
            outflow = simulate(changed, gross.to_numpy(), step, points).outflow
        except rm.ModelError:
            return float("nan")
        return calibration._FAST["nse"](outflow[positions], seen)

    def legacy_parameters(values: np.ndarray) -> None:
        with contextlib.suppress(rm.ModelError):
            with_parameters(model, dict(zip(PARAMETERS, map(float, values), strict=True)))

    def compiled(values: np.ndarray) -> float:
        return calibration.evaluate_calibration(state, values)[1]

    def compiled_parameters(values: np.ndarray) -> None:
        try:
            network = state.setter(map(float, values))
            network.check_step(state.step)
        except rm.ModelError:
            pass

    rows: list[tuple[str, str, float, float]] = []
    for name, evaluate, parameters in (
        ("description rebuilt per candidate (with_parameters + simulate)", legacy, legacy_parameters),
        ("paths resolved once, touched elements rebuilt, one step check", compiled, compiled_parameters),
    ):
        for values in candidates[:5]:
            evaluate(values)
        seconds = best(lambda evaluate=evaluate: [evaluate(v) for v in candidates], 2)
        handling = best(lambda parameters=parameters: [parameters(v) for v in candidates], 2)
        rows.append((label, name, len(candidates) / seconds, handling / seconds))
    return rows


def report(quick: bool = False) -> str:
    """The section of benchmarks/RESULTS.md."""
    parts = [
        "## Networks",
        "",
        f"Binary tree of subbasins with a reach below each, {DAYS} days at {int(STEP_HOURS * 60)} min "
        "(benchmarks/bench_network.py). `kernels` is the time inside the extension (its series objects "
        "and kernels) and the NumPy Clark convolution; `model layer` the rest of the run.",
        "",
        *tree_rows(quick),
        "",
        "Calibration of examples/event_model.toml (NSE, four parameters), serial, in one process:",
        "",
        *calibration_rows(quick),
    ]
    return "\n".join(parts)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="smaller trees, fewer candidates")
    args = parser.parse_args()
    print(report(args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
