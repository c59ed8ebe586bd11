"""Networks: a 1,000-subbasin binary tree, and the calibration of the example chain.

    .venv/bin/python benchmarks/bench_network.py [--quick]      (also a section of `make bench`)

1. A synthetic binary tree: subbasin i drains to junction i, which also takes the reaches of its
   children 2i + 1 and 2i + 2 and feeds reach i; reach 0 feeds the outlet. Every subbasin has a
   deficit-and-constant loss, a Clark transform and a baseflow layer; every reach is a Muskingum
   reach of three sub-reaches. 30 days at 15 minutes (2,880 points), one storm on the first day.
   Reported: seconds per run (best of a few), the peak of Python/NumPy allocations (tracemalloc),
   the CPU time spent inside the extension's kernels and the Clark convolution against the rest
   (the model layer: forcing, bookkeeping, summing inflows; CPU time of the one running thread, so
   that other processes on the machine do not move the share), the time per element and point at
   several sizes (linear growth), and two threads against one (whole independent branches per
   thread task).
2. The calibration of examples/event_model.toml on its synthetic observations (NSE, four
   parameters; the same random candidates, some of them refused by the step checks):
   serial evaluations per CPU second of the model layer before networks (commit BEFORE, run from its
   own sources in a subprocess: each candidate rebuilds the description, checks it, simulates)
   against the calibration's own path now (paths resolved once, only touched elements rebuilt, the
   step checked once), and the share of parameter handling in an evaluation; also for the same
   chain without its reservoir, whose level-pool routing is most of an evaluation.
"""

from __future__ import annotations

import argparse
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
from rainmill_models.calibration import calibrate as calibration  # noqa: E402

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
            started = time.thread_time()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds += time.thread_time() - started

        return timed

    def __enter__(self) -> KernelClock:
        from rainmill_models import _kernels

        for owner, name in self.TARGETS:
            self.saved.append((owner, name, getattr(owner, name)))
            setattr(owner, name, self.wrap(getattr(owner, name)))
        self.saved.append((_kernels, "convolve_unit_hydrograph", _kernels.convolve_unit_hydrograph))
        _kernels.convolve_unit_hydrograph = self.wrap(_kernels.convolve_unit_hydrograph)  # the Clark convolution
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
    # the last row: fewer, longer elements, whose kernels run long enough to release the interpreter
    sizes = (
        ((125, DAYS), (250, DAYS), (500, DAYS), (31, 365))
        if quick
        else ((250, DAYS), (500, DAYS), (1000, DAYS), (63, 365))
    )
    lines = [
        "| subbasins | elements | points | s per run (1 thread) | s (2 threads) | 2 vs 1 | kernels s | "
        "model layer s | layer / kernels | µs per element-point | peak MB (tracemalloc) |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for n, days in sizes:
        rain = storm(days)
        end = rain.index[-1]
        network = tree(n)
        network.run(rain, end=end)  # warm the caches (unit hydrographs)
        one = best(lambda network=network, rain=rain, end=end: network.run(rain, end=end), 2 if quick else 3)
        two = best(lambda network=network, rain=rain, end=end: network.run(rain, end=end, threads=2), 2 if quick else 3)
        shares = []
        for _ in range(3):  # CPU time of the (one) running thread: steady on a shared machine
            with KernelClock() as clock:
                started = time.thread_time()
                network.run(rain, end=end)
                shares.append((time.thread_time() - started, clock.seconds))
        total, kernels = min(shares)  # the quickest of the runs
        tracemalloc.start()
        network.run(rain, end=end)
        peak = tracemalloc.get_traced_memory()[1] / 1e6
        tracemalloc.stop()
        elements = len(network.elements)
        points = len(rain)
        layer = total - kernels
        lines.append(
            f"| {n} | {elements} | {points} | {one:.2f} | {two:.2f} | {one / two:.2f}x | {kernels:.2f} | "
            f"{layer:.2f} | {layer / kernels:.2f} | {one / (elements * points) * 1e6:.3f} | {peak:.0f} |"
        )
    return lines


def calibration_rows(quick: bool) -> list[str]:
    full = rm.Network.load(ROOT / "examples" / "event_model.toml")
    rows = []
    data = full.to_dict()
    del data["reservoirs"], data["reaches"]["reach"]["downstream"]
    for label, model in (("with its reservoir", full), ("basin and reach only", rm.Network.from_dict(data))):
        rows += calibration_case(label, model, quick)
    lines = ["| model | path | serial evaluations per CPU second | parameter handling share |", "|---|---|---:|---:|"]
    first: dict[str, float] = {}
    for label, name, rate, share in rows:
        ratio = f" ({rate / first[label]:.2f}x)" if label in first else ""
        first.setdefault(label, rate)
        lines.append(f"| {label} | {name} | {rate:,.0f}{ratio} | {share:.0%} |")
    return lines


def calibration_case(label: str, model: rm.Network, quick: bool) -> list[tuple[str, str, float, float]]:
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
    points = len(state.index)

    def compiled(values: np.ndarray) -> tuple[float, float]:
        started = time.process_time()
        try:
            network = state.setter(map(float, values))
            network.check_step(state.step)
        except rm.ModelError:
            return time.process_time() - started, 0.0
        handled = time.process_time()
        series = calibration.simulate_network(network, state.inputs, state.step, points, checked=True)
        calibration._combined(state, series)
        return handled - started, time.process_time() - handled

    rows: list[tuple[str, str, float, float]] = []
    before = _before(model, candidates)
    if before is not None:
        rows.append((label, f"before ({BEFORE}: description rebuilt per candidate)", *before))
    for values in candidates[:5]:
        compiled(values)
    rows.append((label, "paths resolved once, touched elements rebuilt, one step check", *_rate(compiled, candidates)))
    return rows


def _rate(evaluate: Callable[[np.ndarray], tuple[float, float]], candidates: np.ndarray) -> tuple[float, float]:
    """Evaluations per CPU second and the share of parameter handling, the best of three passes."""
    passes = []
    for _ in range(3):
        handling = total = 0.0
        for values in candidates:
            handled, rest = evaluate(values)
            handling += handled
            total += handled + rest
        passes.append((len(candidates) / total, handling / total))
    return max(passes)


# The model layer as it was before networks (the single chain, each candidate rebuilding its
# description), run from that commit's sources in a process of its own.
BEFORE = "3307b01"
_BEFORE_SCRIPT = """
import importlib.machinery, json, sys, time
import numpy as np

class Before:  # ahead of the editable install's finder: the package from the given folder
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == "rainmill_models":
            return importlib.machinery.PathFinder.find_spec(name, [sys.argv[1]])
        if name.startswith("rainmill_models."):
            return importlib.machinery.PathFinder.find_spec(name, path)
        return None

sys.meta_path.insert(0, Before)
import rainmill_models as rm
from rainmill_models.calibrate import prepare_calibration, series_to_data, _nse
from rainmill_models.description import check_step, with_parameters
from rainmill_models.run import simulate
job = json.loads(sys.stdin.read())
model = rm.Model.from_dict(job["model"])
rain = rm.read_rain_csv(job["rain"])
observed = rm.read_flow_csv(job["observed"])
context = {"model": model.to_dict(), "rain": series_to_data(rain), "observed": series_to_data(observed),
           "window": (observed.index[0].isoformat(), observed.index[-1].isoformat()), "paths": job["paths"],
           "objective": "nse", "missing": "raise"}
state = prepare_calibration(context)
passes = []
for _ in range(3):
    handling = total = 0.0
    for values in job["candidates"]:
        started = time.process_time()
        try:
            changed = with_parameters(state.model, dict(zip(state.paths, values)))
            check_step(changed, state.step)
        except rm.ModelError:
            t = time.process_time() - started
            handling += t; total += t
            continue
        handled = time.process_time()
        outflow = simulate(changed, state.gross, state.step, len(state.index)).outflow
        _nse(outflow[state.positions], state.observed_values)
        handling += handled - started
        total += time.process_time() - started
    passes.append((len(job["candidates"]) / total, handling / total))
print(json.dumps(max(passes)))
"""


def _before(model: rm.Network, candidates: np.ndarray) -> tuple[float, float] | None:
    """The single-chain path of commit BEFORE on the same candidates, or None without git."""
    import json
    import subprocess
    import tarfile
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        archive = Path(folder) / "before.tar"
        try:
            subprocess.run(
                ["git", "archive", "-o", str(archive), BEFORE, "python/rainmill_models"],
                cwd=ROOT,
                check=True,
                capture_output=True,
            )
        except OSError, subprocess.CalledProcessError:
            return None
        with tarfile.open(archive) as tar:
            tar.extractall(folder, filter="data")
        job = {
            "model": model.to_dict(),
            "rain": str(ROOT / "examples" / "design_storm.csv"),
            "observed": str(ROOT / "examples" / "observed_outflow.csv"),
            "paths": list(PARAMETERS),
            "candidates": candidates.tolist(),
        }
        done = subprocess.run(
            [sys.executable, "-c", _BEFORE_SCRIPT, str(Path(folder) / "python")],
            input=json.dumps(job),
            capture_output=True,
            text=True,
            check=False,
        )
        if done.returncode != 0:
            return None
        rate, share = json.loads(done.stdout)
        return float(rate), float(share)


def report(quick: bool = False) -> str:
    """The section of benchmarks/RESULTS.md."""
    parts = [
        "## Networks",
        "",
        f"Binary tree of subbasins with a reach below each, {DAYS} days at {int(STEP_HOURS * 60)} min "
        "(the last row: a year, so that each kernel call runs long enough to release the interpreter) "
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
