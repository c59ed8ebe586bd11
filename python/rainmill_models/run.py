"""Running an event model: rainfall in, every hydrograph out on one time index.

The chain: gross rainfall -> deficit-and-constant loss -> Clark transform of the excess (direct
runoff) + linear-reservoir baseflow of the loss -> basin outflow -> Muskingum reach -> level-pool
reservoir. Every stage runs over the same horizon of N points at the computation step: the rainfall
is padded with dry steps (or cut) to N intervals, so the losses keep recovering, the layers keep
draining and the reservoir keeps releasing until the end of the horizon.

The chain runs as a network of three elements ("basin", "reach", "reservoir"; see
`rainmill_models.network_run`, which documents where each series sits in time). A run covers the
whole rainfall; without an explicit end, the horizon is then extended (doubling, up to
`options.max_horizon` hours after the rainfall) until the direct runoff is complete and both the
model's outflow and the total baseflow have receded after their peaks to within
`options.recession` of their rise; the result ends at the first point where all of that holds.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import units as u
from .description import Model, ModelError, chain_error, check_step
from .network_run import (
    BALANCE_TOLERANCE,
    Inputs,
    at_step,
    complete_point,
    receded_at,
    run_points,
    simulate_network,
    write_frame,
)
from .timeseries import TimeSeriesError, describe_step

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .units import UnitSystem

Array = npt.NDArray[np.float64]

# The pool's outflow volume is the released volume of each interval, derived from the storage trace
# (see `rainmill_models.network_run`), so the balance closes to rounding whatever the outlets do.
RESERVOIR_BALANCE_TOLERANCE = BALANCE_TOLERANCE

__all__ = ["MassBalance", "Result", "Simulation", "prepare_rain", "receded_at", "run_model", "simulate"]


@dataclass(frozen=True)
class Simulation:
    """The raw outcome of one run in the extension's units (inches, cfs, ft³), N points each."""

    step_seconds: int
    gross: Array
    excess: Array
    loss: Array
    deficit: Array
    direct: Array
    baseflow: Array
    layers: dict[str, Array]
    basin_outflow: Array
    reach_outflow: Array | None
    pool_storage: Array | None
    pool_elevation: Array | None
    reservoir_outflow: Array | None
    outlets: dict[str, Array]
    runoff_complete_at: int  # first point index after which the direct runoff has fully arrived
    release: Array | None = None  # the reservoir's mean outflow over each interval (at its start)

    @property
    def outflow(self) -> Array:
        """The model's final outflow: the reservoir's, else the reach's, else the basin's."""
        if self.reservoir_outflow is not None:
            return self.reservoir_outflow
        if self.reach_outflow is not None:
            return self.reach_outflow
        return self.basin_outflow


def simulate(model: Model, gross: Array | list[float], step_seconds: int, points: int) -> Simulation:
    """Run the chain over `points` points at `step_seconds`, from gross depths per step in the model's units.

    The lean core of `Model.run` (for calibrations and ensembles that evaluate many parameter sets on
    one rainfall, see `prepare_rain`): no pandas, no horizon search. `gross` is padded with zeros or
    cut to `points` intervals. The step-dependent checks of the description run first.
    """
    check_step(model, step_seconds)
    inputs = _inputs(model, gross)
    try:
        series = simulate_network(model.network, inputs, step_seconds, points, checked=True)
    except ModelError as error:
        raise chain_error(error) from None
    return _simulation(model, series, step_seconds)


def _inputs(model: Model, gross: Array | list[float]) -> Inputs:
    given = np.asarray(gross, dtype=np.float64) * u.to_us(1.0, "depth", model.options.units)
    return Inputs({"basin": given}, {}, {}, {}, len(given))


def _simulation(model: Model, series: Mapping[str, Mapping[str, Any]], step_seconds: int) -> Simulation:
    basin = series["basin"]
    points = len(basin["outflow"])
    reach = series.get("reach")
    pool = series.get("reservoir")
    deficit = basin["states"].get("deficit")
    return Simulation(
        step_seconds=step_seconds,
        gross=basin["rain"],
        excess=basin["excess"],
        loss=basin["loss"],
        deficit=np.zeros(points) if deficit is None else deficit[1 : points + 1],
        direct=basin["direct"],
        baseflow=basin["baseflow"],
        layers=dict(basin["layers"]),
        basin_outflow=basin["outflow"],
        reach_outflow=None if reach is None else reach["outflow"],
        pool_storage=None if pool is None else pool["storage"],
        pool_elevation=None if pool is None else pool["elevation"],
        reservoir_outflow=None if pool is None else pool["outflow"],
        outlets={} if pool is None else dict(pool["outlets"]),
        runoff_complete_at=complete_point(model.network, "basin", basin, step_seconds),
        release=None if pool is None else pool["release"],
    )


def prepare_rain(model: Model, rain: pd.Series, missing: Literal["raise", "zero"] = "raise") -> tuple[pd.Series, int]:
    """The rainfall at the computation step (disaggregated when the model asks for a finer one) and that step."""
    option = None if model.options.step is None else u.step_seconds(model.options.step)
    fine, step = at_step(rain, option, "rain", missing, label="rainfall's step")
    check_step(model, step)
    return fine, step


def run_model(
    model: Model,
    rain: pd.Series,
    *,
    end: object = None,
    missing: Literal["raise", "zero"] = "raise",
    units: UnitSystem | None = None,
) -> Result:
    """Run `model` on gross rainfall (depth per step in the model's units; index = interval starts).

    `end`: the last time of the results (a timestamp or anything `pandas.Timestamp` reads); without it
    the horizon is extended until the outflow recedes (see the module). `missing`: the rainfall's
    missing-data policy. `units`: the units of the results ("US" or "SI"; default the model's).
    """
    rain, step = prepare_rain(model, rain, missing)
    start = pd.Timestamp(rain.index[0])
    freq = pd.Timedelta(seconds=step)
    inputs = _inputs(model, rain.to_numpy(dtype=np.float64))
    points = None
    if end is not None:
        stop = pd.Timestamp(end)  # type: ignore[arg-type]
        if (stop.tzinfo is None) != (start.tzinfo is None):
            raise TimeSeriesError(f"end {stop.isoformat()} and the rain's index must both have a time zone, or neither")
        if stop < start:
            raise TimeSeriesError(f"end {stop.isoformat()} is before the start of the rain {start.isoformat()}")
        points = int((stop - start) // freq) + 1
    try:
        series = run_points(model.network, inputs, step, points=points)
    except ModelError as error:
        raise chain_error(error) from None
    return Result(model, _simulation(model, series, step), start, units or model.options.units)


trapezoid = u.flow_volume


@dataclass(frozen=True)
class MassBalance:
    """The water balance of a run, in the result's units (depths in/mm, volumes ft³/m³).

    - rainfall: rain = excess + loss, step by step (a residual of rounding only);
    - runoff: the direct runoff's volume against the excess over the basin (the truncated Clark form
      loses the recession, the default keeps it: the fraction is ~1 once the runoff is complete);
    - reservoir: inflow = released volume + storage change, the residual relative to the largest of
      inflow, release, storage change and initial storage, within `RESERVOIR_BALANCE_TOLERANCE`.
    """

    depth_unit: str
    volume_unit: str
    rain: float
    excess: float
    loss: float
    rain_residual: float
    excess_volume: float
    runoff_volume: float
    runoff_fraction: float
    reservoir_inflow: float | None = None
    reservoir_outflow: float | None = None
    storage_change: float | None = None
    reservoir_residual: float | None = None
    reservoir_relative_residual: float | None = None
    tolerance: float = RESERVOIR_BALANCE_TOLERANCE

    @property
    def closes(self) -> bool:
        """Both balances close: rain to rounding, the reservoir within the tolerance."""
        rain_ok = abs(self.rain_residual) <= 1e-9 * max(1.0, abs(self.rain))
        pool_ok = self.reservoir_relative_residual is None or self.reservoir_relative_residual <= self.tolerance
        return rain_ok and pool_ok

    def __str__(self) -> str:
        d, v = self.depth_unit, self.volume_unit
        lines = [
            "Mass balance",
            f"  rain {self.rain:.6f} {d} = excess {self.excess:.6f} + loss {self.loss:.6f} "
            f"(residual {self.rain_residual:.1e} {d})",
            f"  direct runoff {self.runoff_volume:,.0f} {v} = {100.0 * self.runoff_fraction:.2f} % "
            f"of the excess over the basin ({self.excess_volume:,.0f} {v})",
        ]
        if self.reservoir_relative_residual is not None:
            verdict = "within" if self.reservoir_relative_residual <= self.tolerance else "OUTSIDE"
            lines.append(
                f"  reservoir inflow {self.reservoir_inflow:,.0f} {v} = outflow {self.reservoir_outflow:,.0f} {v} "
                f"+ storage change {self.storage_change:,.0f} {v}"
            )
            lines.append(
                f"    residual {self.reservoir_residual:,.0f} {v}, {self.reservoir_relative_residual:.1e} of the "
                f"largest volume moved ({verdict} the tolerance {self.tolerance:g})"
            )
        return "\n".join(lines)


class Result:
    """The outcome of `Model.run`: every series on one DatetimeIndex, in the result's units.

    - `flows`: one DataFrame of every hydrograph (direct_runoff, baseflow, baseflow.<layer>,
      basin_outflow, reach_outflow, reservoir_outflow, outlet.<name>), at points;
    - `rain`: gross, excess, loss (depth per step, at interval starts) and deficit (at the end of the step);
    - `pool`: elevation and storage of the reservoir (None without one);
    - `outflow`: the model's final outflow;
    - `peaks`, `mass_balance`, `summary()`, `plot()`, `to_csv()`.
    """

    def __init__(self, model: Model, simulation: Simulation, start: pd.Timestamp, units: UnitSystem) -> None:
        self.model = model
        self.simulation = simulation
        self.start = start
        self.units: UnitSystem = units
        self.step = pd.Timedelta(seconds=simulation.step_seconds)

    def __repr__(self) -> str:
        return (
            f"<Result {self.model.options.name!r}: {len(self.index)} points from {self.start.isoformat()} "
            f"every {describe_step(self.step)}, peak outflow {float(self.outflow.max()):.4g} {u.label('flow', self.units)}>"
        )

    @cached_property
    def index(self) -> pd.DatetimeIndex:
        """The time of every point."""
        return pd.date_range(self.start, periods=len(self.simulation.direct), freq=self.step, name="time")

    @cached_property
    def flows(self) -> pd.DataFrame:
        """Every hydrograph, one column each, in cfs or m³/s."""
        sim = self.simulation
        columns: dict[str, Array] = {"direct_runoff": sim.direct, "baseflow": sim.baseflow}
        columns.update({f"baseflow.{name}": values for name, values in sim.layers.items()})
        columns["basin_outflow"] = sim.basin_outflow
        if sim.reach_outflow is not None:
            columns["reach_outflow"] = sim.reach_outflow
        if sim.reservoir_outflow is not None:
            columns["reservoir_outflow"] = sim.reservoir_outflow
            columns.update({f"outlet.{name}": values for name, values in sim.outlets.items()})
        factor = u.factor_from_us("flow", self.units)
        return pd.DataFrame({name: values * factor for name, values in columns.items()}, index=self.index)

    @cached_property
    def outflow(self) -> pd.Series:
        """The model's final outflow: the reservoir's, else the reach's, else the basin's."""
        sim = self.simulation
        name = (
            "reservoir_outflow"
            if sim.reservoir_outflow is not None
            else "reach_outflow"
            if sim.reach_outflow is not None
            else "basin_outflow"
        )
        if "flows" in self.__dict__:
            return self.flows[name]
        return pd.Series(sim.outflow * u.factor_from_us("flow", self.units), index=self.index, name=name)

    @cached_property
    def rain(self) -> pd.DataFrame:
        """Gross rainfall, excess, loss (per step) and the deficit at the end of each step."""
        sim = self.simulation
        factor = u.factor_from_us("depth", self.units)
        data = {"gross": sim.gross, "excess": sim.excess, "loss": sim.loss, "deficit": sim.deficit}
        return pd.DataFrame({name: values * factor for name, values in data.items()}, index=self.index)

    @cached_property
    def pool(self) -> pd.DataFrame | None:
        """Pool elevation and storage (ft³ or m³), or None without a reservoir."""
        sim = self.simulation
        if sim.pool_elevation is None or sim.pool_storage is None:
            return None
        factor = u.factor_from_us("volume", self.units)
        return pd.DataFrame({"elevation": sim.pool_elevation, "storage": sim.pool_storage * factor}, index=self.index)

    @cached_property
    def peaks(self) -> pd.DataFrame:
        """Per hydrograph: its peak, the (first) time of the peak, and its volume (trapezoidal)."""
        rows = []
        seconds = self.step.total_seconds()
        volume = u.factor_from_us("volume", self.units) / u.factor_from_us("flow", self.units)
        for name, column in self.flows.items():
            values = column.to_numpy()
            i = int(np.argmax(values))
            rows.append((name, float(values[i]), self.index[i], trapezoid(values, seconds) * volume))
        frame = pd.DataFrame(rows, columns=["hydrograph", "peak", "time", "volume"]).set_index("hydrograph")
        return frame

    @cached_property
    def mass_balance(self) -> MassBalance:
        """The rainfall, runoff and reservoir balances (see `MassBalance`)."""
        sim = self.simulation
        units = self.units
        depth = u.factor_from_us("depth", units)
        volume = u.factor_from_us("volume", units)
        seconds = float(sim.step_seconds)
        rain = math.fsum(sim.gross.tolist())
        step_sums = math.fsum((sim.excess + sim.loss).tolist())
        area_acres = u.to_us(self.model.basin.area, "area", self.model.options.units)
        excess_ft3 = math.fsum(sim.excess.tolist()) * area_acres * u.CUBIC_FEET_PER_ACRE_FOOT / 12.0
        runoff_ft3 = trapezoid(sim.direct, seconds)
        extra: dict[str, float] = {}
        if sim.pool_storage is not None and sim.reservoir_outflow is not None:
            inflow_series = sim.reach_outflow if sim.reach_outflow is not None else sim.basin_outflow
            inflow = trapezoid(inflow_series, seconds)
            released = (
                math.fsum(sim.release[:-1].tolist()) * seconds
                if sim.release is not None
                else trapezoid(sim.reservoir_outflow, seconds)
            )
            change = float(sim.pool_storage[-1] - sim.pool_storage[0])
            residual = inflow - released - change
            # scaled by what moved: never a zero denominator that lets any residual pass
            scale = max(inflow, released, abs(change), float(sim.pool_storage[0]))
            relative = 0.0 if residual == 0.0 else (abs(residual) / scale if scale > 0.0 else math.inf)
            extra = {
                "reservoir_inflow": inflow * volume,
                "reservoir_outflow": released * volume,
                "storage_change": change * volume,
                "reservoir_residual": residual * volume,
                "reservoir_relative_residual": relative,
            }
        return MassBalance(
            depth_unit=u.label("depth", units),
            volume_unit=u.label("volume", units),
            rain=rain * depth,
            excess=math.fsum(sim.excess.tolist()) * depth,
            loss=math.fsum(sim.loss.tolist()) * depth,
            rain_residual=(rain - step_sums) * depth,
            excess_volume=excess_ft3 * volume,
            runoff_volume=runoff_ft3 * volume,
            runoff_fraction=runoff_ft3 / excess_ft3 if excess_ft3 > 0 else 1.0,
            **extra,
        )

    def summary(self, scores: Mapping[str, float] | None = None) -> str:
        """Peaks, volumes, the reservoir, the mass balance and (when given) the scores, as text."""
        flow_unit = u.label("flow", self.units)
        volume_unit = u.label("volume", self.units)
        lines = [
            f"{self.model.options.name}: {len(self.index)} points every {describe_step(self.step)} from {self.start.isoformat()} "
            f"to {self.index[-1].isoformat()}",
            "",
            f"  {'hydrograph':<28}{'peak ' + flow_unit:>12}  {'at':<26}{'volume ' + volume_unit:>18}",
        ]
        for name, row in self.peaks.iterrows():
            lines.append(f"  {name!s:<28}{row['peak']:12.2f}  {row['time'].isoformat():<26}{row['volume']:18,.0f}")
        pool = self.pool
        if pool is not None:
            elevation = pool["elevation"]
            top = pd.Timestamp(elevation.idxmax())  # type: ignore[arg-type]
            lines += [
                "",
                f"Reservoir: starts at {elevation.iloc[0]:.2f}, peaks at {elevation.max():.2f} at {top.isoformat()}, "
                f"ends at {elevation.iloc[-1]:.2f}",
            ]
        lines += ["", str(self.mass_balance)]
        if scores:
            lines += ["", "Scores against the observations"]
            lines += [f"  {name:<16}{value: .4f}" for name, value in scores.items()]
        return "\n".join(lines)

    def to_frame(self) -> pd.DataFrame:
        """Flows, rainfall (prefixed rain.) and pool (prefixed pool.) side by side."""
        parts = [self.flows, self.rain.add_prefix("rain.")]
        if self.pool is not None:
            parts.append(self.pool.add_prefix("pool."))
        return pd.concat(parts, axis=1)

    def to_csv(self, path: str | Path) -> None:
        """Write `to_frame()` as CSV with ISO 8601 timestamps, all or nothing."""
        write_frame(self.to_frame(), path)

    def plot(
        self, observed: pd.Series | None = None, *, path: str | Path | None = None, title: str | None = None
    ) -> Figure:
        """The figure: hyetograph over the hydrographs (and observations), pool elevation below."""
        from .plot import plot_result

        return plot_result(self, observed=observed, path=path, title=title)
