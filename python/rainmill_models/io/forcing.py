"""Every series that drives a run, placed by its timestamps at the computation step in the extension's units.

Rain per subbasin (or gauges with weights), the sources' hydrographs, potential evapotranspiration
and temperature: each given as one Series for every subbasin, a mapping name -> Series, or a
DataFrame with one column per name.

How series are placed: the run starts at the earliest start of the rain (of the sources'
hydrographs when there is no subbasin) and steps by `options.step`, else by the finest step of the
rain. Every series is read at its own timestamps, never by position, and brought to that step by its
kind: amounts per interval (rain, PET) are split evenly or summed, so totals are kept; interval
means (temperature) are repeated or averaged over the step; values at points (the sources' flows)
are interpolated linearly in time. A step must divide the other's, and the intervals must fall on
the run's grid; otherwise the series is refused. Indexes with a time zone and naive ones both work;
mixing them is refused.

Coverage: the forcing period runs from the start to the latest end of the rain. Each rain series
must cover it (else an error naming the series and the first instant it misses; `missing="zero"`
counts the rain it misses, and its gaps, as none); after the forcing period (a run's automatic or
explicit end beyond it) rain is zero by design: dry weather after the storm. The sources'
hydrographs must cover the rain's intervals (after their record the engine stops or refuses the
run). PET and
temperature are never padded nor held: they must cover every interval the run computes, and a run
whose end (automatic or `end=`) lies beyond their record is refused, naming the series and the
first instant it misses. `potential_et=0` asks for a run without evapotranspiration.

Units: a series may carry its unit in `attrs["units"]` (see `rainmill_models.io.units.unit_of`);
it is converted into the extension's units (an intensity by the series' own step, temperatures with
their offset) or refused naming the unit. A series without a unit is in the description's unit
system (mm or inches, m³/s or cfs; temperatures in °C). Temperatures outside -90 to 60 °C after
conversion are refused (kelvin given unmarked, say).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from datetime import timedelta
from functools import partial
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd
import rainmill

from ..elements import Inputs as Inputs  # what this module prepares; defined with the elements that read it
from ..errors import ModelError
from . import units as u
from .timeseries import TimeSeriesError, fill_rain, infer_step

if TYPE_CHECKING:
    from ..topology import Topology

Array = npt.NDArray[np.float64]
Kind = Literal["amount", "mean", "point"]
# The extension's unit for each forcing: what a series' own unit converts into.
_EXTENSION_UNITS: dict[str, tuple[str, str]] = {
    "rain": ("inch", "depth"),
    "potential_et": ("inch", "depth"),
    "inflows": ("cfs", "flow"),
}


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
        for name in names:
            if not isinstance(value[name], pd.Series):
                raise ModelError(f"{what}.{name}", f"must be a pandas Series, not {type(value[name]).__name__}")
        return {name: value[name] for name in names}
    raise ModelError(what, f"must be a Series, a mapping of name -> Series or a DataFrame, not {type(value).__name__}")


def weighted_rain(
    gauges: pd.DataFrame, weights: Mapping[str, Mapping[str, float]], units: u.UnitSystem | None = None
) -> dict[str, pd.Series]:
    """Rain per subbasin as weighted sums of gauges' series: weights[subbasin][gauge] (each row adds to 1).

    With `units` (the description's), each gauge's series is first brought from its own unit (or
    that system) into inches, and the sums are marked so.
    """
    out: dict[str, pd.Series] = {}
    for name, row in weights.items():
        total = math.fsum(row.values())
        if not math.isclose(total, 1.0, rel_tol=1e-9):
            raise ModelError(f"weights.{name}", f"the weights add up to {total:g}, not 1")
        series = None
        for gauge, weight in row.items():
            if gauge not in gauges.columns:
                raise ModelError(f"weights.{name}.{gauge}", "no such gauge in the rain table")
            column = gauges[gauge]
            if units is not None:
                inches = in_extension_units(column, "rain", units, f"rain.{gauge}")
                column = pd.Series(inches, index=column.index, name=gauge)
            term = column * float(weight)
            series = term if series is None else series + term
        assert series is not None
        if units is not None:
            series.attrs = {"units": "inch"}
        out[name] = series
    return out


def in_extension_units(series: pd.Series, key: str, units: u.UnitSystem, what: str) -> Array:
    """The values of forcing `key` in the extension's unit: from the series' own unit, else from `units`."""
    target, quantity = _EXTENSION_UNITS[key]
    values = series.to_numpy(dtype=np.float64)
    own = u.unit_of(series, what=what)
    if own is None:
        return values * u.to_us(1.0, quantity, units)
    step = infer_step(series, name=what).total_seconds() if len(series) >= 2 else None
    return u.convert_values(values, own, target, step_seconds=step, what=what)


def _check_zone(index: pd.DatetimeIndex, start: pd.Timestamp, what: str) -> None:
    if (index.tz is None) != (start.tzinfo is None):
        raise TimeSeriesError(
            f"{what}: its times have {'no' if index.tz is None else 'a'} time zone and the run's "
            f"{'do' if index.tz is None else 'do not'}; give every series a time zone, or none"
        )


def _index(series: pd.Series) -> pd.DatetimeIndex:
    """The series' index as a DatetimeIndex (itself when it is one: building one copies)."""
    index = series.index
    return index if isinstance(index, pd.DatetimeIndex) else pd.DatetimeIndex(index)


def _sorted(series: pd.Series) -> pd.Series:
    """The series in time order (itself when it already is: sorting copies)."""
    return series if series.index.is_monotonic_increasing else series.sort_index()


def _own_step(series: pd.Series, step: int | None, what: str) -> int:
    if len(series) >= 2:
        return int(infer_step(series, name=what).total_seconds())
    if step is not None and len(series) == 1:
        return step
    raise TimeSeriesError(f"{what}: at least two values are needed to infer the step (or set options.step)")


def _offset(later: pd.Timestamp, earlier: pd.Timestamp, unit: int, what: str, grid: str) -> int:
    """Whole `unit` steps from `earlier` to `later`, or a refusal naming a series off the grid."""
    seconds = (later - earlier).total_seconds()
    if seconds % unit:
        raise TimeSeriesError(
            f"{what}: {later.isoformat()} is off the {grid} from {earlier.isoformat()} "
            f"every {unit / u.SECONDS_PER_HOUR:g} h"
        )
    return int(seconds // unit)


def on_grid(
    series: pd.Series, values: Array, kind: Kind, start: pd.Timestamp, step: int, what: str, pad: bool = False
) -> Array:
    """`values` (of `series`' timestamps) on the run's grid from `start`, as far as the series reaches.

    Amounts per interval are split evenly or summed, interval means repeated or averaged, point values
    interpolated in time. A series starting after `start` is refused naming `start`, unless `pad`
    (missing rain counted as none) fills with zeros.
    """
    index = _index(series)
    _check_zone(index, start, what)
    first = pd.Timestamp(index[0])
    if first > start and not pad:
        raise TimeSeriesError(f"{what}: no value for {start.isoformat()}, the start of the run")
    own = _own_step(series, step, what)
    if kind == "point":
        if own == step and (start - first).total_seconds() % step == 0:
            return values[_offset(start, first, step, what, "series' steps") :]
        count = (index[-1] - start) // pd.Timedelta(seconds=step) + 1
        times = pd.date_range(start, periods=count, freq=pd.Timedelta(seconds=step))
        return np.interp(times.asi8.astype(np.float64), index.asi8.astype(np.float64), values)
    if own == step:
        fine = values
    elif own > step and own % step == 0:
        if kind == "amount":  # split evenly by the extension's own disaggregation
            coarse = rainmill.utils.IncrementalTimeSeries(values, timedelta(seconds=own), "rainfall")
            fine = np.asarray(coarse.disaggregate(step).data, dtype=np.float64)
        else:
            fine = np.repeat(values, own // step)
    elif step > own and step % own == 0:
        k = step // own
        skip = _offset(start, first, own, what, "series' own steps") if first < start else 0
        lead = _offset(first, start, own, what, "run's grid") if first > start else 0
        if lead % k:
            raise TimeSeriesError(f"{what}: starts at {first.isoformat()}, inside one of the run's intervals")
        values = values[skip:]
        whole = len(values) // k * k
        grouped = values[:whole].reshape(-1, k)
        fine = grouped.sum(axis=1) if kind == "amount" else grouped.mean(axis=1)
        return np.concatenate([np.zeros(lead // k), fine])
    else:
        raise ModelError(
            "options.step",
            f"{step / u.SECONDS_PER_HOUR:g} h and the step of {what} ({own / u.SECONDS_PER_HOUR:g} h) "
            "must divide one another",
        )
    if first > start:
        return np.concatenate([np.zeros(_offset(first, start, step, what, "run's grid")), fine])
    return fine[_offset(start, first, step, what, "series' steps") :]


def prepare_inputs(
    network: Topology,
    rain: Any,
    *,
    inflows: Any = None,
    potential_et: Any = None,
    temperature: Any = None,
    weights: Mapping[str, Mapping[str, float]] | None = None,
    missing: Literal["raise", "zero"] = "raise",
) -> tuple[Inputs, pd.Timestamp, int]:
    """The forcing placed on the run's grid in the extension's units, its start and the step in seconds.

    See the module for how each series is placed, what it must cover and which units are honoured.
    """
    units = network.options.units
    subbasins = list(network.subbasins())
    filled, flows_given, timing, step = _timing(network, rain, inflows, weights, missing)
    starts = [pd.Timestamp(_sorted(s).index[0]) for s in timing.values()]
    if len({v.tzinfo is None for v in starts}) > 1:
        raise TimeSeriesError("the rain's series mix times with and without a time zone; give all a zone, or none")
    start = min(starts)

    def place(name: str, series: pd.Series) -> Array:
        what = f"rain.{name}"
        return on_grid(
            series, in_extension_units(series, "rain", units, what), "amount", start, step, what, missing == "zero"
        )

    arrays = _each_once(filled, place)
    length = max([len(a) for a in arrays.values()] + [0])
    for name, values in arrays.items():
        if len(values) < length:
            if missing == "zero":
                arrays[name] = np.concatenate([values, np.zeros(length - len(values))])
            else:
                at = start + pd.Timedelta(seconds=step) * len(values)
                raise TimeSeriesError(
                    f"rain.{name}: no value for {at.isoformat()}, within the other rain's record "
                    "(pass missing='zero' to count missing rain as none)"
                )
    flows: dict[str, Array] = {}
    for name, series in flows_given.items():
        what = f"inflows.{name}"
        series = _sorted(series)
        values = on_grid(series, in_extension_units(series, "inflows", units, what), "point", start, step, what)
        if len(values) < length:
            at = start + pd.Timedelta(seconds=step) * len(values)
            raise TimeSeriesError(f"{what}: no value for {at.isoformat()}, within the rain's record")
        flows[name] = values
    length = max([length] + [max(len(a) - 1, 0) for a in flows.values()] + [1])
    zero_et = isinstance(potential_et, (int, float)) and not isinstance(potential_et, bool) and potential_et == 0
    if isinstance(potential_et, (int, float)) and not zero_et:
        raise ModelError("potential_et", f"as a number it can only be 0 (no evapotranspiration), not {potential_et!r}")
    drivers: dict[str, dict[str, Array]] = {"potential_et": {}, "temperature": {}}
    for key, value in (("potential_et", None if zero_et else potential_et), ("temperature", temperature)):
        if value is not None:
            drivers[key] = _each_once(_series_table(value, subbasins, key), partial(_driver, key, units, start, step))
    inputs = Inputs(arrays, flows, drivers["potential_et"], drivers["temperature"], length, start, step, zero_et)
    return inputs, start, step


def run_step(
    network: Topology,
    rain: Any,
    *,
    inflows: Any = None,
    weights: Mapping[str, Mapping[str, float]] | None = None,
    missing: Literal["raise", "zero"] = "raise",
) -> int:
    """The step in seconds a run with this forcing computes on: `options.step`, else the finest step of the
    rain (of the sources' hydrographs when there is no subbasin), as `prepare_inputs` places the series.

    Every rain series counts, not only the first: a run on 15-minute and hourly gauges steps by 15 minutes.
    Refuses what `prepare_inputs` refuses about the rain's and the sources' timestamps.
    """
    return _timing(network, rain, inflows, weights, missing)[3]


def _timing(
    network: Topology, rain: Any, inflows: Any, weights: Mapping[str, Mapping[str, float]] | None, missing: Any
) -> tuple[dict[str, pd.Series], dict[str, pd.Series], dict[str, pd.Series], int]:
    """The subbasins' rain filled by the policy, the sources' hydrographs, the series that set the run's
    times (the rain, else the hydrographs) and the step in seconds.
    """
    subbasins = list(network.subbasins())
    if weights is not None:
        if not isinstance(rain, pd.DataFrame):
            raise ModelError("rain", "gauge weights need a DataFrame with one column per gauge")
        rain = weighted_rain(rain, weights, network.options.units)
    per_basin = _series_table(rain, subbasins, "rain") if subbasins else {}
    filled = _each_once(per_basin, lambda name, series: fill_rain(series, missing, name=f"rain.{name}"))
    sources = network.sources()
    if sources and inflows is None:
        raise ModelError("inflows", f"the sources {', '.join(sources)} need their hydrographs (inflows=...)")
    flows_given = _series_table(inflows, sources, "inflows") if sources else {}
    for name, series in flows_given.items():
        if series.isna().any():
            raise TimeSeriesError(f"inflows.{name}: missing values")
    timing = {f"rain.{n}": s for n, s in filled.items()} or {f"inflows.{n}": s for n, s in flows_given.items()}
    if not timing:
        raise ModelError("rain", "a network without subbasins needs source hydrographs of at least two values")
    if network.options.step is not None:
        return filled, flows_given, timing, u.step_seconds(network.options.step)
    return filled, flows_given, timing, min(_own_step(s, None, what) for what, s in timing.items())


def _each_once[T](table: Mapping[str, pd.Series], make: Callable[[str, pd.Series], T]) -> dict[str, T]:
    """`make(name, series)` for each name; a series given for several names is made once (for the first)."""
    made: dict[int, T] = {}
    for name, series in table.items():
        if id(series) not in made:
            made[id(series)] = make(name, series)
    return {name: made[id(series)] for name, series in table.items()}


def _driver(key: str, units: u.UnitSystem, start: pd.Timestamp, step: int, name: str, series: pd.Series) -> Array:
    """PET (depths per interval) or temperature (interval means, °C) on the run's grid; no gap allowed."""
    what = f"{key}.{name}"
    series = _sorted(series)
    values = series.to_numpy(dtype=np.float64)
    if np.isnan(values).any():
        raise TimeSeriesError(f"{what}: missing value at {series.index[int(np.argmax(np.isnan(values)))].isoformat()}")
    if key == "temperature":
        own = u.unit_of(series, what=what)
        if own is not None:
            values = u.convert_values(values, own, "degC", what=what)
        u.check_air_temperature(values, _index(series), what)
        return on_grid(series, values, "mean", start, step, what)
    if (values < 0).any():
        i = int(np.argmax(values < 0))
        raise TimeSeriesError(f"{what}: {values[i]:g} at {series.index[i].isoformat()}; PET must be >= 0")
    return on_grid(series, in_extension_units(series, key, units, what), "amount", start, step, what)
