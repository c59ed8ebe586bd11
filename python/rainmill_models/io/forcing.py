"""Every series that drives a run, brought to the computation step in the extension's units.

Rain per subbasin (or gauges with weights), the sources' hydrographs, potential evapotranspiration
and temperature: each given as one Series for every subbasin, a mapping name -> Series, or a
DataFrame with one column per name.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import timedelta
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd
import rainmill

from ..errors import ModelError
from . import units as u
from .timeseries import TimeSeriesError, fill_rain, infer_step

if TYPE_CHECKING:
    from ..network import Network

Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Inputs:
    """What drives one run, at the computation step, in the extension's units (inches, cfs, °C)."""

    rain: dict[str, Array]  # per subbasin, depth per interval
    inflows: dict[str, Array]  # per source, flow at the points
    potential_et: dict[str, Array]
    temperature: dict[str, Array]
    length: int  # intervals of forcing
    start: pd.Timestamp | None = None  # of the first interval (a seasonal method needs the date)


def _series_table(value: Any, names: list[str], what: str, allow_weights: bool = False) -> dict[str, pd.Series]:
    """One series per name from a Series (for all), a mapping name -> Series, or a DataFrame of columns."""
    if isinstance(value, pd.Series):
        return dict.fromkeys(names, value)
    if isinstance(value, pd.DataFrame):
        value = {str(c): value[c] for c in value.columns}
    if isinstance(value, Mapping):
        missing = [n for n in names if n not in value]
        if missing:
            raise ModelError(what, f"no series for {', '.join(missing)}")
        extra = [str(k) for k in value if k not in names]
        if extra and not allow_weights:
            raise ModelError(what, f"series for unknown elements: {', '.join(extra)}")
        out: dict[str, pd.Series] = {}
        for name in names:
            series = value[name]
            if not isinstance(series, pd.Series):
                raise ModelError(f"{what}.{name}", f"must be a pandas Series, not {type(series).__name__}")
            out[name] = series
        return out
    raise ModelError(what, f"must be a Series, a mapping of name -> Series or a DataFrame, not {type(value).__name__}")


def weighted_rain(gauges: pd.DataFrame, weights: Mapping[str, Mapping[str, float]]) -> dict[str, pd.Series]:
    """Rain per subbasin as weighted sums of gauges' series: weights[subbasin][gauge] (each row adds to 1)."""
    out: dict[str, pd.Series] = {}
    for name, row in weights.items():
        total = math.fsum(row.values())
        if not math.isclose(total, 1.0, rel_tol=1e-9):
            raise ModelError(f"weights.{name}", f"the weights add up to {total:g}, not 1")
        series = None
        for gauge, weight in row.items():
            if gauge not in gauges.columns:
                raise ModelError(f"weights.{name}.{gauge}", "no such gauge in the rain table")
            term = gauges[gauge] * float(weight)
            series = term if series is None else series + term
        assert series is not None
        out[name] = series
    return out


def at_step(
    series: pd.Series, step: int | None, name: str, missing: Literal["raise", "zero"], label: str = ""
) -> tuple[pd.Series, int]:
    """Depths per step brought to the computation step (by the extension's disaggregation), and that step."""
    series = fill_rain(series, missing, name=name)
    if len(series) >= 2:
        own = int(infer_step(series, name=name).total_seconds())
    elif step is not None and len(series) == 1:
        own = step
    else:
        raise TimeSeriesError(f"{name}: at least two values are needed to infer the step (or set options.step)")
    target = own if step is None else step
    if target != own:
        if target > own or own % target or target < 30:
            raise ModelError(
                "options.step",
                f"{target / u.SECONDS_PER_HOUR:g} h must divide the {label or 'step of ' + name} "
                f"({own / u.SECONDS_PER_HOUR:g} h) "
                "and be at least 30 s",
            )
        fine = rainmill.utils.IncrementalTimeSeries(
            series.to_numpy(dtype=np.float64), timedelta(seconds=own), "rainfall"
        ).disaggregate(target)
        index = pd.date_range(series.index[0], periods=len(fine.data), freq=pd.Timedelta(seconds=target), name="time")
        series = pd.Series(np.asarray(fine.data, dtype=np.float64), index=index, name=series.name)
    return series, target


def prepare_inputs(
    network: Network,
    rain: Any,
    *,
    inflows: Any = None,
    potential_et: Any = None,
    temperature: Any = None,
    weights: Mapping[str, Mapping[str, float]] | None = None,
    missing: Literal["raise", "zero"] = "raise",
) -> tuple[Inputs, pd.Timestamp, int]:
    """The forcing at the computation step in the extension's units, its start and the step in seconds."""
    units = network.options.units
    subbasins = list(network.subbasins())
    if weights is not None:
        if not isinstance(rain, pd.DataFrame):
            raise ModelError("rain", "gauge weights need a DataFrame with one column per gauge")
        rain = weighted_rain(rain, weights)
    per_basin = _series_table(rain, subbasins, "rain") if subbasins else {}
    option_step = None if network.options.step is None else u.step_seconds(network.options.step)
    depth = u.to_us(1.0, "depth", units)
    start: pd.Timestamp | None = None
    step: int | None = option_step
    arrays: dict[str, Array] = {}
    done: dict[int, tuple[Array, pd.Timestamp]] = {}  # one series given for several subbasins is read once
    for name, series in per_basin.items():
        if id(series) in done:
            arrays[name], first = done[id(series)]
            continue
        fine, step = at_step(series, step, f"rain.{name}", missing)
        arrays[name] = fine.to_numpy(dtype=np.float64) * depth
        first = pd.Timestamp(fine.index[0])
        done[id(series)] = (arrays[name], first)
        if start is None:
            start = first
        elif first != start:
            raise TimeSeriesError(f"rain.{name}: starts at {first.isoformat()}, the others at {start.isoformat()}")
    sources = network.sources()
    flows: dict[str, Array] = {}
    if sources:
        if inflows is None:
            raise ModelError("inflows", f"the sources {', '.join(sources)} need their hydrographs (inflows=...)")
        flow = u.to_us(1.0, "flow", units)
        for name, series in _series_table(inflows, sources, "inflows").items():
            values = series.sort_index()
            if values.isna().any():
                raise TimeSeriesError(f"inflows.{name}: missing values")
            if len(values) >= 2:
                own = int(infer_step(values, name=f"inflows.{name}").total_seconds())
                if step is None:
                    step = own
                elif own != step:
                    target = pd.date_range(values.index[0], values.index[-1], freq=pd.Timedelta(seconds=step))
                    values = values.reindex(values.index.union(target)).interpolate(method="time").reindex(target)
            first = pd.Timestamp(values.index[0])
            if start is None:
                start = first
            elif first != start:
                raise TimeSeriesError(f"inflows.{name}: starts at {first.isoformat()}, the rain at {start.isoformat()}")
            flows[name] = values.to_numpy(dtype=np.float64) * flow
    if start is None or step is None:
        raise ModelError("rain", "a network without subbasins needs source hydrographs of at least two values")
    extra: dict[str, dict[str, Array]] = {"potential_et": {}, "temperature": {}}
    for key, value, quantity in (("potential_et", potential_et, "depth"), ("temperature", temperature, None)):
        if value is None:
            continue
        for name, series in _series_table(value, subbasins, key).items():
            fine, _ = at_step(series, step, f"{key}.{name}", "raise") if quantity else (series, step)
            factor = u.to_us(1.0, quantity, units) if quantity else 1.0
            extra[key][name] = fine.to_numpy(dtype=np.float64) * factor
    length = max([len(a) for a in arrays.values()] + [max(len(a) - 1, 0) for a in flows.values()] + [1])
    return Inputs(arrays, flows, extra["potential_et"], extra["temperature"], length, start), start, step
