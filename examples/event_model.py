"""An end-to-end event model: design storm -> losses -> runoff -> reach -> reservoir.

Run it with

    .venv/bin/python examples/event_model.py [--output DIR] [--no-plot] [--require-plot]

It prints a summary table (peaks, times of peak, volumes, the reservoir's peak
elevation, mass balances and a fit score) and writes a figure, event_model.png,
into DIR (default: examples/output/, which git ignores).

The basin (all figures are the ones the script uses, see the constants below):

* drainage area 1600 acres (2.5 square miles);
* losses: deficit and constant, initial deficit 0.6 in, maximum deficit 1.5 in,
  constant loss 0.12 in/h, drying time 48 h;
* direct runoff: Clark unit hydrograph, time of concentration 4 h, storage
  coefficient 30 min;
* baseflow: two groundwater layers fed by the loss (the infiltrated depth),
  "shallow" (30 % of the loss, K = 8 h, two reservoirs in series, 2 cfs at the
  start) and "deep" (20 % of the loss, K = 72 h, one reservoir, 4 cfs at the
  start).

The storm: a 6-hour design storm of 2.60 in, given as hourly gross depths
0.15, 0.35, 1.10, 0.60, 0.25 and 0.15 in, followed by 24 dry hours, so the
rainfall record spans 30 h. It is disaggregated to 15 minutes (each hourly
depth spread evenly over its four quarters), and every computation runs at
that 15-minute step.

Downstream of the basin outlet:

* a channel reach routed by Muskingum: K = 1.5 h for the whole reach, x = 0.15,
  two sub-reaches (0.75 h each, so 2Kx = 0.225 h stays below the 0.25 h step and
  no coefficient turns negative), starting from the first inflow value;
* a reservoir routed as a level pool. Its elevation-storage curve is built from
  surface areas (1 acre at 100 ft to 32 acres at 130 ft) by the average-end-area
  rule, in cubic feet, since the inflow is in cfs and the routing integrates
  over one-second steps. It has three outlets: a gated conduit ("gate", a
  controlled outlet with its sill at 108 ft, capped at 120 cfs, the capacity of
  the channel below), an uncontrolled spillway ("spillway", crest at 117 ft,
  a broad-crested weir Q = 3.0 * 20 ft * H^1.5 with H the head over the crest in
  ft) and a minimum release
  ("minimum release", a constant 4 cfs while the pool stands at 104 ft or
  higher). The pool starts at 108.5 ft.

Finally the reservoir outflow is compared with an "observed" hydrograph: the
simulated outflow with every value multiplied by (1 + e), e drawn from a normal
distribution of mean 0.03 and standard deviation 0.06 by random.Random(20240611)
(a 3 % bias plus noise), scored with the Kling-Gupta efficiency, plainly and on
logarithms.

Units: rainfall, excess and loss in inches per 15-minute step, flows in cfs,
reservoir storage in cubic feet, elevations in feet, times in hours from the
start of the storm, volumes in acre-feet (and in inches over the basin).

About lengths: the Clark hydrograph is longer than the rainfall record (the
unit hydrograph adds ceil(tc / step) - 1 = 15 steps after the last rainfall
value), while the baseflow has one value per rainfall value. The loss series is
therefore padded with zeros to the length of the direct runoff before the
baseflow is computed: after the record ends the groundwater layers receive no
more recharge and simply keep draining. Direct runoff and baseflow then line up
value for value and are added to give the inflow to the reach.

If matplotlib is not installed the figure is skipped with a note and the
script still exits with status 0; pass --require-plot to make that an error
(exit status 2).
"""

from __future__ import annotations

import argparse
import math
import random
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import timedelta
from pathlib import Path
from typing import TextIO

import rainmill

# The submodules are attributes of the package (not importable on their own).
ContinuousTimeSeries = rainmill.utils.ContinuousTimeSeries
IncrementalTimeSeries = rainmill.utils.IncrementalTimeSeries
ElevationStorage = rainmill.reservoir.reservoir_utils.ElevationStorage
ElevationDischarge = rainmill.reservoir.reservoir_utils.ElevationDischarge
ControlledDischargeInfo = rainmill.reservoir.reservoir_utils.ControlledDischargeInfo
UnControlledDischargeInfo = rainmill.reservoir.reservoir_utils.UnControlledDischargeInfo
ConstantDischargeInfo = rainmill.reservoir.reservoir_utils.ConstantDischargeInfo
SpecifiedDischargeInfo = rainmill.reservoir.reservoir_utils.SpecifiedDischargeInfo
Outlet = UnControlledDischargeInfo | ControlledDischargeInfo | SpecifiedDischargeInfo | ConstantDischargeInfo

# ---- the basin and the storm ----

BASIN_AREA_ACRES = 1600.0
STORM_HOURLY_IN = (0.15, 0.35, 1.10, 0.60, 0.25, 0.15)  # gross depth per hour, inches
DRY_HOURS = 24  # dry hours appended after the storm
STEP_SECONDS = 900  # model step: 15 minutes

INITIAL_DEFICIT_IN = 0.6
MAX_DEFICIT_IN = 1.5
CONSTANT_LOSS_IN_PER_HR = 0.12
TIME_TO_DRY = timedelta(hours=48)

CLARK_TC = timedelta(hours=4)
CLARK_STORAGE = timedelta(minutes=30)

# name: (k_duration, gw_fraction, initial_q in cfs, num_reservoir)
GROUNDWATER_LAYERS: dict[str, tuple[timedelta, float, float, int]] = {
    "shallow": (timedelta(hours=8), 0.30, 2.0, 2),
    "deep": (timedelta(hours=72), 0.20, 4.0, 1),
}

# ---- the reach ----

REACH_K = timedelta(hours=1.5)
REACH_X = 0.15
REACH_SUB_REACHES = 2

# ---- the reservoir ----

POOL_ELEVATIONS_FT = (100.0, 104.0, 108.0, 112.0, 116.0, 120.0, 124.0, 130.0)
POOL_AREAS_ACRES = (1.0, 5.0, 9.0, 13.0, 17.0, 22.0, 27.0, 32.0)
INITIAL_POOL_FT = 108.5

GATE_SILL_FT = 108.0
GATE_CURVE = ((108.0, 112.0, 116.0, 120.0, 130.0), (0.0, 45.0, 90.0, 125.0, 190.0))
GATE_MAX_RELEASE_CFS = 120.0

SPILLWAY_CREST_FT = 117.0
SPILLWAY_LENGTH_FT = 20.0
SPILLWAY_COEFFICIENT = 3.0  # broad-crested weir, cfs / (ft * ft^1.5)

MINIMUM_RELEASE_CFS = 4.0
MINIMUM_RELEASE_FLOOR_FT = 104.0

# ---- the observations and the checks ----

OBSERVATION_SEED = 20240611
OBSERVATION_BIAS = 0.03
OBSERVATION_NOISE = 0.06

# The routing integrates dS/dt = I - O once per second and takes each second's
# outflow at the elevation of the second before, whereas the check below
# integrates the 15-minute samples with the trapezoidal rule; the two differ by
# far less than this fraction of the inflow volume.
RESERVOIR_BALANCE_TOLERANCE = 0.001

CUBIC_FEET_PER_ACRE_FOOT = 43560.0


@dataclass(frozen=True)
class EventResults:
    """Every series of one run, as plain lists at the model step."""

    step_seconds: int
    gross_rain: list[float]  # inches per step
    excess: list[float]  # inches per step
    loss: list[float]  # inches per step
    deficit: list[float]  # inches, end of each step
    direct_runoff: list[float]  # cfs
    baseflow: list[float]  # cfs, padded to the length of direct_runoff
    baseflow_layers: dict[str, list[float]]  # cfs, padded likewise
    reach_inflow: list[float]  # cfs, direct runoff + baseflow
    reach_outflow: list[float]  # cfs
    pool_storage: list[float]  # cubic feet
    pool_elevation: list[float]  # feet
    reservoir_outflow: list[float]  # cfs
    outlet_flows: dict[str, list[float]]  # cfs per outlet
    observed: list[float]  # cfs
    kge: float
    kge_log: float

    def hours(self, n: int) -> list[float]:
        """Times of the first n points, in hours from the start of the storm."""
        return [i * self.step_seconds / 3600.0 for i in range(n)]


@dataclass(frozen=True)
class MassBalance:
    """The two mass-balance checks of a run."""

    rain_in: float  # total gross rainfall, inches
    excess_in: float
    loss_in: float
    rain_relative_residual: float  # |rain - (excess + loss)| / rain, steps summed
    inflow_cf: float  # reservoir inflow volume, cubic feet (trapezoidal)
    outflow_cf: float  # reservoir outflow volume, cubic feet (trapezoidal)
    storage_change_cf: float  # last storage - first storage
    reservoir_residual_cf: float  # inflow - outflow - storage change
    reservoir_relative_residual: float  # |residual| / inflow volume


def design_storm() -> IncrementalTimeSeries:
    """The hourly gross rainfall (inches per hour) with its dry tail."""
    hourly = list(STORM_HOURLY_IN) + [0.0] * DRY_HOURS
    return IncrementalTimeSeries(hourly, timedelta(hours=1), "rainfall")


def storage_curve() -> ElevationStorage:
    """Elevation (ft) to storage (ft^3), by the average-end-area rule."""
    storage = [0.0]
    for i in range(1, len(POOL_ELEVATIONS_FT)):
        depth = POOL_ELEVATIONS_FT[i] - POOL_ELEVATIONS_FT[i - 1]
        mean_area = 0.5 * (POOL_AREAS_ACRES[i] + POOL_AREAS_ACRES[i - 1])
        storage.append(storage[-1] + mean_area * depth * CUBIC_FEET_PER_ACRE_FOOT)
    return ElevationStorage(list(POOL_ELEVATIONS_FT), storage)


def spillway_curve() -> ElevationDischarge:
    """Weir rating from the crest to the top of the storage curve."""
    top = POOL_ELEVATIONS_FT[-1]
    heads = [0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0, 6.0, top - SPILLWAY_CREST_FT]
    return ElevationDischarge(
        [SPILLWAY_CREST_FT + h for h in heads],
        [SPILLWAY_COEFFICIENT * SPILLWAY_LENGTH_FT * h**1.5 for h in heads],
    )


def outlets() -> dict[str, Outlet]:
    """The reservoir's three named outlets."""
    gate = ControlledDischargeInfo(
        ElevationDischarge(list(GATE_CURVE[0]), list(GATE_CURVE[1])),
        minimum_elevation=GATE_SILL_FT,
        maximum_release=GATE_MAX_RELEASE_CFS,
    )
    return {
        "gate": gate,
        "spillway": UnControlledDischargeInfo(spillway_curve()),
        "minimum release": ConstantDischargeInfo(MINIMUM_RELEASE_CFS, minimum_elevation=MINIMUM_RELEASE_FLOOR_FT),
    }


def perturb(values: Sequence[float], seed: int = OBSERVATION_SEED) -> list[float]:
    """The "observed" hydrograph: each value times (1 + e), e ~ N(bias, noise)."""
    rng = random.Random(seed)
    return [max(0.0, v * (1.0 + rng.gauss(OBSERVATION_BIAS, OBSERVATION_NOISE))) for v in values]


def run_event_model(seed: int = OBSERVATION_SEED) -> EventResults:
    """Run the whole chain once and return every intermediate series."""
    step = timedelta(seconds=STEP_SECONDS)
    rain = design_storm().disaggregate(STEP_SECONDS)

    losses = rainmill.rainfall_loss.run_deficit_and_constant(
        rain, INITIAL_DEFICIT_IN, MAX_DEFICIT_IN, CONSTANT_LOSS_IN_PER_HR, TIME_TO_DRY
    )
    excess = losses.excess
    loss = losses.loss

    direct = rainmill.rainfall_transform.run_clark_uh(excess, BASIN_AREA_ACRES, CLARK_TC, CLARK_STORAGE).data

    # The Clark hydrograph runs past the end of the rainfall record: pad the
    # recharge with zeros so the layers keep draining over those extra steps.
    recharge = loss.data + [0.0] * (len(direct) - len(loss.data))
    layers = {
        name: rainmill.baseflow.LinearReservoir(k, fraction, q0, count)
        for name, (k, fraction, q0, count) in GROUNDWATER_LAYERS.items()
    }
    baseflow, per_layer = rainmill.baseflow.run_linear_reservoir(
        BASIN_AREA_ACRES, IncrementalTimeSeries(recharge, step, "rainfall"), layers
    )

    inflow = [q + b for q, b in zip(direct, baseflow.data, strict=True)]
    reach_in = ContinuousTimeSeries(inflow, step, "discharge")
    reach_out = rainmill.reach.run_muskingum_routing(reach_in, REACH_K, REACH_X, REACH_SUB_REACHES, inflow[0])

    pool = rainmill.reservoir.run_level_pool_routing(reach_out, INITIAL_POOL_FT, storage_curve(), outlets())
    released = pool.reservoir_total_outflow.data
    observed = perturb(released, seed)

    return EventResults(
        step_seconds=STEP_SECONDS,
        gross_rain=rain.data,
        excess=excess.data,
        loss=loss.data,
        deficit=losses.deficit.data,
        direct_runoff=direct,
        baseflow=baseflow.data,
        baseflow_layers={name: series.data for name, series in sorted(per_layer.items())},
        reach_inflow=inflow,
        reach_outflow=reach_out.data,
        pool_storage=pool.reservoir_storage.data,
        pool_elevation=pool.reservoir_elevation.data,
        reservoir_outflow=released,
        outlet_flows={name: series.data for name, series in sorted(pool.reservoir_individual_outflows.items())},
        observed=observed,
        kge=rainmill.metrics.calculate_kge(released, observed),
        kge_log=rainmill.metrics.calculate_kge(released, observed, use_log=True),
    )


def trapezoid(values: Sequence[float], step_seconds: float) -> float:
    """Volume under a flow series (cfs) in cubic feet, trapezoidal rule."""
    if len(values) < 2:
        return 0.0
    return step_seconds * (math.fsum(values) - 0.5 * (values[0] + values[-1]))


def mass_balance(results: EventResults) -> MassBalance:
    """Rain = excess + loss, and reservoir inflow = outflow + storage change."""
    rain = math.fsum(results.gross_rain)
    excess = math.fsum(results.excess)
    loss = math.fsum(results.loss)
    step_sum = math.fsum(e + f for e, f in zip(results.excess, results.loss, strict=True))

    inflow = trapezoid(results.reach_outflow, results.step_seconds)
    outflow = trapezoid(results.reservoir_outflow, results.step_seconds)
    change = results.pool_storage[-1] - results.pool_storage[0]
    residual = inflow - outflow - change
    return MassBalance(
        rain_in=rain,
        excess_in=excess,
        loss_in=loss,
        rain_relative_residual=abs(rain - step_sum) / rain,
        inflow_cf=inflow,
        outflow_cf=outflow,
        storage_change_cf=change,
        reservoir_residual_cf=residual,
        reservoir_relative_residual=abs(residual) / inflow,
    )


def peak(values: Sequence[float], step_seconds: int) -> tuple[float, float]:
    """Largest value and its time in hours (the first time if it repeats)."""
    i = max(range(len(values)), key=values.__getitem__)
    return values[i], i * step_seconds / 3600.0


def print_summary(results: EventResults, out: TextIO = sys.stdout) -> None:
    """The summary table, the reservoir, the mass balances and the fit score."""
    dt = results.step_seconds
    basin_cf = BASIN_AREA_ACRES * CUBIC_FEET_PER_ACRE_FOOT

    def write(line: str = "") -> None:
        print(line, file=out)

    write(f"Event model: {BASIN_AREA_ACRES:.0f} acres, {len(STORM_HOURLY_IN)}-hour storm, step {dt // 60} min")
    write()
    write("Rainfall (inches over the basin)")
    for label, series in (("gross", results.gross_rain), ("excess", results.excess), ("loss", results.loss)):
        intensity = max(series) * 3600.0 / dt
        write(f"  {label:<8} {math.fsum(series):7.3f} in   peak intensity {intensity:5.2f} in/h")
    write()
    write(f"  {'stage':<28}{'peak cfs':>10}{'at h':>8}{'volume ac-ft':>15}{'depth in':>10}")
    stages: list[tuple[str, Sequence[float]]] = [
        ("direct runoff (Clark)", results.direct_runoff),
        *((f"baseflow, {name}", flows) for name, flows in results.baseflow_layers.items()),
        ("baseflow, total", results.baseflow),
        ("reach inflow", results.reach_inflow),
        ("reach outflow (Muskingum)", results.reach_outflow),
        ("reservoir outflow", results.reservoir_outflow),
        *((f"  {name}", flows) for name, flows in results.outlet_flows.items()),
    ]
    for label, flows in stages:
        top, when = peak(flows, dt)
        volume = trapezoid(flows, dt)
        write(
            f"  {label:<28}{top:10.1f}{when:8.2f}"
            f"{volume / CUBIC_FEET_PER_ACRE_FOOT:15.1f}{12.0 * volume / basin_cf:10.3f}"
        )
    direct_in = 12.0 * trapezoid(results.direct_runoff, dt) / basin_cf
    write(
        f"  (the direct runoff carries {100.0 * direct_in / math.fsum(results.excess):.1f} % of the excess: "
        "the unit hydrograph stops at tc,"
    )
    write("   so the recession of its storage beyond tc is not part of the runoff)")
    write()
    top, when = peak(results.pool_elevation, dt)
    write(
        f"Reservoir: starts at {results.pool_elevation[0]:.2f} ft, peaks at {top:.2f} ft at {when:.2f} h, "
        f"ends at {results.pool_elevation[-1]:.2f} ft; spillway crest {SPILLWAY_CREST_FT:.2f} ft "
        f"({top - SPILLWAY_CREST_FT:+.2f} ft at the peak)"
    )
    write(
        f"  storage {results.pool_storage[0] / CUBIC_FEET_PER_ACRE_FOOT:.1f} -> "
        f"{max(results.pool_storage) / CUBIC_FEET_PER_ACRE_FOOT:.1f} (peak) -> "
        f"{results.pool_storage[-1] / CUBIC_FEET_PER_ACRE_FOOT:.1f} ac-ft"
    )
    write()
    mb = mass_balance(results)
    write("Mass balance")
    write(
        f"  rain {mb.rain_in:.6f} in = excess {mb.excess_in:.6f} + loss {mb.loss_in:.6f} "
        f"(steps summed; relative residual {mb.rain_relative_residual:.1e})"
    )
    write(
        f"  reservoir inflow {mb.inflow_cf:,.0f} ft3 = outflow {mb.outflow_cf:,.0f} ft3 "
        f"+ storage change {mb.storage_change_cf:,.0f} ft3"
    )
    verdict = "within" if mb.reservoir_relative_residual <= RESERVOIR_BALANCE_TOLERANCE else "OUTSIDE"
    write(
        f"    residual {mb.reservoir_residual_cf:,.0f} ft3, {mb.reservoir_relative_residual:.1e} of the inflow "
        f"({verdict} the tolerance of {RESERVOIR_BALANCE_TOLERANCE:g}: trapezoidal rule at"
    )
    write(f"    {dt // 60} min against the routing's 1 s steps)")
    write()
    write(
        f"Fit of the reservoir outflow to the observations (seed {OBSERVATION_SEED}): "
        f"KGE {results.kge:.4f}, on logarithms {results.kge_log:.4f}"
    )


class PlottingUnavailable(RuntimeError):
    """matplotlib cannot be imported."""


def plot(results: EventResults, path: Path, dpi: int = 80) -> Path:
    """Draw the hyetograph over the hydrographs, and the pool elevation, into a PNG.

    Selects matplotlib's non-interactive Agg backend for the whole process.
    """
    try:
        import matplotlib
    except ImportError as error:
        raise PlottingUnavailable(
            f"matplotlib is not installed ({error}); install it with "
            "`.venv/bin/python -m pip install -r requirements/example.txt`"
        ) from error
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dt = results.step_seconds
    fig, (flows_ax, pool_ax) = plt.subplots(
        2, 1, figsize=(9.0, 6.5), sharex=True, gridspec_kw={"height_ratios": [2.2, 1.0]}
    )
    n = len(results.direct_runoff)
    hours = results.hours(n)

    lines: list[tuple[str, Sequence[float], str, str]] = [
        ("direct runoff (Clark)", results.direct_runoff, "tab:orange", "-"),
        ("baseflow", results.baseflow, "tab:brown", "--"),
        ("reach inflow", results.reach_inflow, "tab:blue", "-"),
        ("reach outflow", results.reach_outflow, "tab:purple", "-"),
        ("reservoir outflow", results.reservoir_outflow, "tab:green", "-"),
    ]
    for label, values, colour, style in lines:
        flows_ax.plot(hours, values, color=colour, linestyle=style, linewidth=1.6, label=label)
    flows_ax.plot(
        hours, results.observed, linestyle="none", marker=".", markersize=3.5, color="black", label="observed"
    )
    flows_ax.plot(
        hours, results.outlet_flows["spillway"], color="tab:red", linewidth=1.0, linestyle=":", label="spillway"
    )
    top = max(results.reach_inflow)
    flows_ax.set_ylim(0.0, top * 1.75)
    flows_ax.set_ylabel("flow (cfs)")
    flows_ax.set_title(
        f"Event model: {BASIN_AREA_ACRES:.0f} acres, {math.fsum(results.gross_rain):.2f} in storm"
        f" (KGE {results.kge:.3f})",
        fontsize=11,
    )

    rain_ax = flows_ax.twinx()
    rain_hours = results.hours(len(results.gross_rain))
    width = dt / 3600.0
    rain_ax.bar(rain_hours, results.gross_rain, width=width, align="edge", color="lightsteelblue", label="gross rain")
    rain_ax.bar(rain_hours, results.excess, width=width, align="edge", color="steelblue", label="excess")
    rain_ax.set_ylim(max(results.gross_rain) * 3.0, 0.0)  # bars hang from the top
    rain_ax.set_ylabel(f"rain (in per {dt // 60} min)")
    # One legend for both axes, drawn by the rain axes, which lies on top.
    flow_handles, flow_labels = flows_ax.get_legend_handles_labels()
    rain_handles, rain_labels = rain_ax.get_legend_handles_labels()
    rain_ax.legend(
        flow_handles + rain_handles, flow_labels + rain_labels, loc="center right", fontsize=8, framealpha=0.9
    )

    pool_ax.plot(hours, results.pool_elevation, color="tab:green", linewidth=1.6, label="pool elevation")
    pool_ax.axhline(SPILLWAY_CREST_FT, color="tab:red", linestyle="--", linewidth=1.0, label="spillway crest")
    pool_ax.axhline(GATE_SILL_FT, color="grey", linestyle=":", linewidth=1.0, label="gate sill")
    pool_ax.set_ylabel("elevation (ft)")
    pool_ax.set_xlabel("hours from the start of the storm")
    pool_ax.set_xlim(0.0, hours[-1])
    pool_ax.legend(loc="lower right", fontsize=8, frameon=False)
    for ax in (flows_ax, pool_ax):
        ax.grid(True, linewidth=0.4, alpha=0.5)

    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
    return path


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0] if __doc__ else None)
    parser.add_argument(
        "--output",
        type=Path,
        default=Path(__file__).resolve().parent / "output",
        help="directory for event_model.png (default: examples/output/)",
    )
    parser.add_argument("--no-plot", action="store_true", help="skip the figure")
    parser.add_argument(
        "--require-plot", action="store_true", help="fail (exit status 2) when the figure cannot be drawn"
    )
    args = parser.parse_args(argv)

    results = run_event_model()
    print_summary(results)
    if args.no_plot:
        return 0
    try:
        path = plot(results, args.output / "event_model.png")
    except PlottingUnavailable as error:
        print(f"\nNo figure: {error}", file=sys.stderr)
        return 2 if args.require_plot else 0
    print(f"\nFigure written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
