"""The outcome of a run: every element's series on one time index, balances, summaries, files.

`NetworkResult` is built from each element's typed series (`rainmill_models.elements`) in the
extension's units and reports them in the result's units.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from functools import cached_property, reduce
from operator import add
from pathlib import Path
from typing import TYPE_CHECKING, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from .elements import Balance, ControlledOutlet, Reservoir, Series, UncontrolledOutlet, balance, fit
from .figures import legend_beside, new_figure, save_figure, time_axis
from .io import units as u
from .io.timeseries import describe_step

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .io.units import UnitSystem
    from .topology import Topology

Array = npt.NDArray[np.float64]


class NetworkResult:
    """The outcome of a network run: every element's series on one DatetimeIndex, in the result's units.

    - `flows`: DataFrame of flows with (element, variable) columns (inflow, outflow, direct,
      baseflow, baseflow.<layer>, diverted, release, outlet.<name>);
    - `result["name"]`: one element's every series (flows, depths, storages, states);
    - `outflow`: what leaves the network through its outlets;
    - `balances`: the water balance per element and for the network; `summary()`.
    """

    def __init__(
        self,
        network: Topology,
        series: dict[str, Series],
        start: pd.Timestamp,
        step_seconds: int,
        units: UnitSystem,
        rows: Mapping[str, Balance] | None = None,
    ) -> None:
        self.network = network
        self.series = series
        self.rows = dict(rows or {})  # the balance rows of the elements whose series were not kept
        self.start = start
        self.step_seconds = step_seconds
        self.step = pd.Timedelta(seconds=step_seconds)
        self.units: UnitSystem = units

    def __repr__(self) -> str:
        return (
            f"<NetworkResult {self.network.options.name!r}: {len(self.network.elements)} elements, "
            f"{len(self.index)} points from {self.start.isoformat()} every {describe_step(self.step)}>"
        )

    @cached_property
    def index(self) -> pd.DatetimeIndex:
        """The time of every point."""
        first = next(iter(self.series.values())).outflow
        return pd.date_range(self.start, periods=len(first), freq=self.step, name="time")

    @property
    def kept(self) -> list[str]:
        """The elements whose series the result holds, in the network's order (all, unless `keep=`)."""
        return [name for name in self.network.order if name in self.series]

    def _element_columns(self, name: str) -> dict[str, tuple[Array, str]]:
        n = len(self.index)
        return {key: (array[:n], quantity) for key, (array, quantity) in self.series[name].columns().items()}

    def __getitem__(self, name: str) -> pd.DataFrame:
        """Every series of one element, in the result's units."""
        if name not in self.series:
            if name in self.rows:
                raise KeyError(f"the series of {name!r} were not kept (keep=...); its balance is in `balances`")
            raise KeyError(f"no element named {name!r} (there are: {', '.join(self.series)})")
        data: dict[str, Array] = {}
        quantities: dict[str, str] = {}
        n = len(self.index)
        for key, (array, quantity) in self._element_columns(name).items():
            factor = u.factor_from_us(quantity, self.units)
            data[key] = fit(np.asarray(array, dtype=np.float64) * factor, n) if len(array) != n else array * factor
            quantities[key] = quantity
        frame = pd.DataFrame(data, index=self.index)
        frame.attrs["column_units"] = u.column_units(quantities, self.units)  # each column's unit, as readers keep it
        return frame

    @cached_property
    def flows(self) -> pd.DataFrame:
        """Every flow, one column per (element, variable)."""
        factor = u.factor_from_us("flow", self.units)
        data: dict[tuple[str, str], Array] = {}
        for name in self.kept:
            for key, (array, quantity) in self._element_columns(name).items():
                if quantity == "flow":
                    data[(name, key)] = array * factor
        frame = pd.DataFrame(data, index=self.index)
        frame.columns = pd.MultiIndex.from_tuples(list(data), names=["element", "variable"])
        frame.attrs["units"] = u.label("flow", self.units)  # every column is a flow
        return frame

    @cached_property
    def outflow(self) -> pd.Series:
        """What leaves the network through its outlets, summed."""
        return self._flow(network_outflow(self.network, self.series), "outflow")

    @cached_property
    def states(self) -> pd.DataFrame:
        """The methods' storages at the points, as (element, state) columns.

        One point more than the flows: the last is where a hot start continues (see
        `rainmill_models.io.states`).
        """
        from .io.states import states_frame

        return states_frame(self)

    def at(self, name: str) -> pd.Series:
        """The outflow of one element."""
        return self._flow(self.series[name].outflow, name)

    def _flow(self, values: Array, name: str) -> pd.Series:
        """Flows at the points in the result's units, marked with their unit (`attrs["units"]`), as scores
        and conversions read it.
        """
        series = pd.Series(values * u.factor_from_us("flow", self.units), index=self.index, name=name)
        series.attrs["units"] = u.label("flow", self.units)
        return series

    @cached_property
    def balances(self) -> pd.DataFrame:
        """The water balance of every element and (last row, "network") of the whole, in volumes."""
        seconds, units, elements = self.step_seconds, self.network.options.units, self.network.elements
        rows = {
            name: self.rows[name]
            if name in self.rows
            else elements[name].balance_row(self.series[name], seconds, units)
            for name in self.network.order
        }
        parts = list(rows.values())
        # added one after the other in the network's order (not `sum`, which compensates)
        totals = [reduce(add, (getattr(r, key) for r in parts), 0.0) for key in _NETWORK_TERMS]
        rows["network"] = dataclasses.replace(balance(*totals), transit_checked=all(r.transit_checked for r in parts))
        volume = u.factor_from_us("volume", self.units)
        frame = pd.DataFrame(
            {
                name: {
                    "inflow": r.inflow * volume,
                    "outflow": r.outflow * volume,
                    "losses": r.losses * volume,
                    "storage_change": r.storage_change * volume,
                    "in_transit": r.in_transit * volume,
                    "transit_checked": r.transit_checked,
                    "residual": r.residual * volume,
                    "scale": r.scale * volume,
                    "relative": r.relative,
                    "closes": r.closes,
                }
                for name, r in rows.items()
            }
        ).T
        frame.index.name = "element"
        return frame

    def summary(self, scores: Mapping[str, float] | None = None) -> str:
        """Peaks and volumes at every element, the balances and (when given) the scores, as text."""
        flow_unit = u.label("flow", self.units)
        volume_unit = u.label("volume", self.units)
        lines = [
            f"{self.network.options.name}: {len(self.network.elements)} elements, {len(self.index)} points every "
            f"{describe_step(self.step)} from {self.start.isoformat()} to {self.index[-1].isoformat()}",
            "",
            f"  {'element':<20}{'kind':<11}{'peak ' + flow_unit:>12}  {'at':<26}{'volume ' + volume_unit:>18}",
        ]
        seconds = float(self.step_seconds)
        flow = u.factor_from_us("flow", self.units)
        volume = u.factor_from_us("volume", self.units)
        for name in self.kept:
            outflow = self.series[name].outflow
            i = int(np.argmax(outflow))
            lines.append(
                f"  {name:<20}{self.network.elements[name].KIND:<11}{outflow[i] * flow:12.2f}  "
                f"{self.index[i].isoformat():<26}{u.flow_volume(outflow, seconds) * volume:18,.0f}"
            )
        lines += ["", f"Water balance ({volume_unit}; residual relative to the largest volume moved)"]
        lines.append(
            f"  {'element':<20}{'in':>14}{'out':>14}{'losses':>13}{'storage':>13}{'transit':>13}{'residual':>11}"
            f"{'relative':>10}"
        )
        for label, row in self.balances.iterrows():
            verdict = "" if row["closes"] else "  OUTSIDE"
            lines.append(
                f"  {label!s:<20}{row['inflow']:14,.0f}{row['outflow']:14,.0f}{row['losses']:13,.0f}"
                f"{row['storage_change']:13,.0f}{row['in_transit']:13,.0f}{row['residual']:11.3g}"
                f"{row['relative']:10.1e}{verdict}"
            )
        if scores:
            lines += ["", "Scores against the observations"]
            lines += [f"  {name:<16}{value: .4f}" for name, value in scores.items()]
        return "\n".join(lines)

    def to_frame(self) -> pd.DataFrame:
        """Every series of every element, with (element, variable) columns."""
        return pd.concat({name: self[name] for name in self.kept}, axis=1, names=["element", "variable"])

    def to_csv(self, path: str | Path) -> None:
        """Write `to_frame()` as CSV (ISO 8601 timestamps), columns named element.variable, all or nothing."""
        from .io.files import atomic_write

        frame = self.to_frame()
        pairs = cast(list[tuple[str, str]], list(frame.columns))
        frame.columns = pd.Index([f"{element}.{variable}" for element, variable in pairs])
        frame.index = pd.Index([stamp.isoformat() for stamp in pd.DatetimeIndex(frame.index)], name="time")
        text = frame.to_csv()
        with atomic_write(path) as stream:
            stream.write(text)

    def plot(
        self,
        observed: pd.Series | Mapping[str, pd.Series] | Sequence[str] | None = None,
        elements: Sequence[str] | None = None,
        *,
        path: str | Path | None = None,
        title: str | None = None,
    ) -> Figure:
        """The hyetograph over the hydrographs at `elements` (default: the gauges, else the outlets), pools below.

        `observed`: one Series (at the first element) or a mapping element -> Series, drawn as dots;
        `path` writes the figure (PNG by its suffix). A list of names in first place is taken as
        `elements`, as the older signature `plot(elements, observed)` had it.
        """
        if isinstance(observed, (list, tuple)):
            observed, elements = cast(Mapping[str, pd.Series] | None, elements), list(cast(Sequence[str], observed))
        network = self.network
        names = list(elements or network.gauges or network.outlets())
        seen_at: dict[str, pd.Series] = (
            {names[0]: observed}
            if isinstance(observed, pd.Series)
            else dict(cast(Mapping[str, pd.Series], observed or {}))
        )
        pools = [n for n in names if hasattr(network.elements[n], "outlets")]  # those with a pool elevation
        ratios = [2.2] * len(names) + [1.0] * len(pools)
        fig = new_figure(len(ratios), ratios=ratios)
        axes = list(fig.axes)
        flow_unit = u.label("flow", self.units)
        for ax, name in zip(axes, names, strict=False):
            simulated = self.at(name)
            ax.plot(simulated.index, simulated.to_numpy(), color="tab:blue", linewidth=1.5, label=f"{name} simulated")
            if name in seen_at:
                seen = seen_at[name]
                ax.plot(seen.index, seen.to_numpy(), ".", markersize=3.5, color="black", label="observed")
            ax.set_ylabel(f"flow ({flow_unit})")
            ax.set_ylim(0.0, max(float(simulated.max()), 1e-9) * 1.75)
            ax.grid(True, linewidth=0.4, alpha=0.5)
        gross, excess = _upstream_rain(self, names[0])
        handles, labels = axes[0].get_legend_handles_labels()
        if gross is not None and excess is not None:
            rain_ax = axes[0].twinx()
            width = self.step / pd.Timedelta(days=1)
            rain_ax.bar(gross.index, gross, width=width, align="edge", color="lightsteelblue", label="gross rain")
            rain_ax.bar(excess.index, excess, width=width, align="edge", color="steelblue", label="excess")
            rain_ax.set_ylim(max(float(gross.max()), 1e-9) * 3.0, 0.0)  # the bars hang from the top
            rain_ax.set_ylabel(f"rain ({u.label('depth', self.units)} per step)")
            more_handles, more_labels = rain_ax.get_legend_handles_labels()
            handles, labels = handles + more_handles, labels + more_labels
        legend_beside(axes[0], handles, labels)
        for ax in axes[1 : len(names)]:
            legend_beside(ax)
        for ax, name in zip(axes[len(names) :], pools, strict=True):
            frame = self[name]
            ax.plot(frame.index, frame["elevation"], color="tab:green", linewidth=1.6, label=f"{name} elevation")
            for outlet_name, outlet in cast(Reservoir, network.elements[name]).outlets.items():
                if isinstance(outlet, UncontrolledOutlet):
                    crest = outlet.elevation[0] - (outlet.elevation_offset or 0.0)
                    ax.axhline(crest, color="tab:red", linestyle="--", linewidth=1.0, label=f"{outlet_name} crest")
                elif isinstance(outlet, ControlledOutlet):
                    sill = max(outlet.elevation[0], outlet.minimum_elevation or outlet.elevation[0])
                    ax.axhline(sill, color="grey", linestyle=":", linewidth=1.0, label=f"{outlet_name} sill")
            ax.set_ylabel(f"elevation ({u.label('length', self.units)})")
            legend_beside(ax)
            ax.grid(True, linewidth=0.4, alpha=0.5)
        axes[0].set_title(title or network.options.name, fontsize=11)
        time_axis(axes[-1], self.index)
        fig.set_size_inches(9.0, 2.2 * len(names) + 1.6 * len(pools) + 1.2)
        if path is not None:
            save_figure(fig, path, 80)
        return fig


# The terms of the network's balance, from its elements' (what crosses its boundary, and all they hold).
_NETWORK_TERMS = ("enters", "leaves", "losses", "storage_change", "in_transit", "start")


def network_outflow(network: Topology, series: Mapping[str, Series]) -> Array:
    """The sum of what leaves the network through its outlets (not the diversions out of it)."""
    names = network.outlets()
    total = np.array(series[names[0]].outflow, dtype=np.float64)
    for name in names[1:]:
        total = total + series[name].outflow
    return total


def _upstream_rain(result: NetworkResult, name: str) -> tuple[pd.Series | None, pd.Series | None]:
    """The area-weighted gross rain and excess over the subbasins whose water reaches `name`."""
    seen = result.network.reaching(name)
    subbasins = {n: e.area for n, e in result.network.subbasins().items() if n in seen}
    total = sum(subbasins.values())
    if not total:
        return None, None
    weighted = cast(pd.DataFrame, sum(result[n][["rain", "excess"]] * (area / total) for n, area in subbasins.items()))
    return weighted["rain"], weighted["excess"]
