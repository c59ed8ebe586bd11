"""Time-indexed data: pandas Series with a DatetimeIndex <-> the extension's series, CSV files, gaps.

The extension's series carry only a step in whole seconds; the start time lives here, in the index.
Rainfall is interval data: the value at time t is the depth that falls from t to t + step. Flows are
point data: the value at time t is the flow at t. A series the extension accepts must have a regular
index: sorted, without duplicates, one step throughout. Anything else is refused with a message
naming the first offending timestamp, unless a missing-data policy says how to fill it:

- rainfall, `missing="zero"`: missing values (NaN) and missing timestamps count as no rain;
- flows, `missing="interpolate"`: linear interpolation in time across gaps no longer than `max_gap`
  hours (between the valid values on either side); longer gaps and gaps at either end are refused;
- flows, `missing="keep"`: NaN and gaps are kept as they are (observations to be scored with
  `missing="drop"`); only unsorted and duplicate timestamps are refused.
"""

from __future__ import annotations

from datetime import timedelta
from typing import Literal

import numpy as np
import pandas as pd
import rainmill

# The extension's series kinds.
SeriesKind = Literal["discharge", "rainfall", "elevation", "volume"]

RainPolicy = Literal["raise", "zero"]
FlowPolicy = Literal["raise", "interpolate", "keep"]


class TimeSeriesError(ValueError):
    """A series that cannot be used as it is: irregular, unsorted, duplicated or incomplete index."""


def _when(stamp: object) -> str:
    return pd.Timestamp(stamp).isoformat()  # type: ignore[arg-type]


def describe_step(step: pd.Timedelta) -> str:
    seconds = step.total_seconds()
    for unit, size in (("h", 3600.0), ("min", 60.0)):
        if seconds >= size and seconds % size == 0:
            return f"{seconds / size:g} {unit}"
    return f"{seconds:g} s"


def _datetime_index(series: pd.Series, name: str) -> pd.DatetimeIndex:
    index = series.index
    if not isinstance(index, pd.DatetimeIndex):
        raise TimeSeriesError(f"{name}: the index must be a DatetimeIndex, not {type(index).__name__}")
    return index


def _check_order(index: pd.DatetimeIndex, name: str) -> np.ndarray:
    """The differences between neighbours, after refusing unsorted and duplicate timestamps."""
    diffs = np.diff(index.asi8)
    bad = np.flatnonzero(diffs <= 0)
    if bad.size:
        i = int(bad[0]) + 1
        if diffs[i - 1] == 0:
            raise TimeSeriesError(f"{name}: duplicate timestamp {_when(index[i])}")
        raise TimeSeriesError(
            f"{name}: timestamp {_when(index[i])} comes after {_when(index[i - 1])}; the index must be sorted"
        )
    return diffs


def _usual_step(diffs: np.ndarray) -> int:
    """The most common difference (the earliest of equally common ones): the series' step."""
    if (diffs == diffs[0]).all():  # a regular series, the usual case: no need to count
        return int(diffs[0])
    values, first, counts = np.unique(diffs, return_index=True, return_counts=True)
    best = np.flatnonzero(counts == counts.max())
    return int(values[best[np.argmin(first[best])]])


def _unit_step(index: pd.DatetimeIndex) -> pd.Timedelta:
    return pd.Timedelta(1, unit=index.unit)


def infer_step(series: pd.Series, *, name: str = "series") -> pd.Timedelta:
    """The step of a regular series, or `TimeSeriesError` naming the first timestamp that breaks it.

    Gaps (a missing timestamp in an otherwise regular index) are refused too; fill them first with a
    missing-data policy.
    """
    index = _datetime_index(series, name)
    if len(index) < 2:
        raise TimeSeriesError(f"{name}: at least two timestamps are needed to infer the step")
    diffs = _check_order(index, name)
    step = _usual_step(diffs)
    odd = np.flatnonzero(diffs != step)
    if odd.size:
        i = int(odd[0]) + 1
        if diffs[i - 1] % step == 0:
            raise TimeSeriesError(
                f"{name}: gap after {_when(index[i - 1])}: the next value is at {_when(index[i])}, "
                f"{int(diffs[i - 1] // step) - 1} step(s) of {describe_step(step * _unit_step(index))} missing"
            )
        raise TimeSeriesError(
            f"{name}: irregular timestamp {_when(index[i])}: "
            f"{describe_step(diffs[i - 1] * _unit_step(index))} after the one before, where the step is "
            f"{describe_step(step * _unit_step(index))}"
        )
    result = step * _unit_step(index)
    if result.total_seconds() < 1 or result.total_seconds() % 1:
        raise TimeSeriesError(f"{name}: the step must be a whole number of seconds, got {result}")
    return result


def _regular_index(series: pd.Series, name: str) -> pd.DatetimeIndex:
    """The full regular index that covers a series with gaps (refusing irregular timestamps)."""
    index = _datetime_index(series, name)
    if len(index) < 2:
        return index
    diffs = _check_order(index, name)
    step = int(diffs.min())
    if (diffs % step).any():  # no common grid: report against the series' usual step
        step = _usual_step(diffs)
        odd = np.flatnonzero(diffs % step != 0)
        i = int(odd[0]) + 1
        raise TimeSeriesError(
            f"{name}: irregular timestamp {_when(index[i])}: not a whole number of "
            f"{describe_step(step * _unit_step(index))} steps after {_when(index[i - 1])}"
        )
    return pd.date_range(index[0], index[-1], freq=step * _unit_step(index), name=index.name)


def _complete(series: pd.Series, name: str, policy_hint: str) -> pd.Series:
    """The series itself once it is known to have no missing value and a regular index."""
    missing = series.isna().to_numpy()
    if missing.any():
        stamp = series.index[int(np.argmax(missing))]
        raise TimeSeriesError(f"{name}: missing value at {_when(stamp)} ({policy_hint})")
    if len(series) >= 2:
        infer_step(series, name=name)
    return series


def fill_rain(series: pd.Series, missing: RainPolicy = "raise", *, name: str = "rain") -> pd.Series:
    """The rainfall with its missing values and timestamps filled as the policy says (see the module)."""
    series = _as_float(series, name)
    values = series.to_numpy()
    bad = ~(np.isnan(values) | ((values >= 0.0) & np.isfinite(values)))
    if bad.any():
        i = int(np.argmax(bad))
        raise TimeSeriesError(f"{name}: depth {values[i]} at {_when(series.index[i])}; rain must be finite and >= 0")
    if missing == "zero":
        return series.reindex(_regular_index(series, name)).fillna(0.0)
    if missing != "raise":
        raise ValueError(f"missing must be 'raise' or 'zero' for rainfall, got {missing!r}")
    return _complete(series, name, "pass missing='zero' to count missing rain as none")


def fill_flow(
    series: pd.Series,
    missing: FlowPolicy = "raise",
    *,
    max_gap: float | None = None,
    name: str = "flow",
) -> pd.Series:
    """The flow with gaps of at most `max_gap` hours interpolated linearly in time (see the module)."""
    series = _as_float(series, name)
    if missing == "raise":
        return _complete(series, name, "pass missing='interpolate' with max_gap to interpolate short gaps")
    if missing == "keep":
        _check_order(_datetime_index(series, name), name)
        return series
    if missing != "interpolate":
        raise ValueError(f"missing must be 'raise', 'interpolate' or 'keep' for flows, got {missing!r}")
    if max_gap is None or not max_gap >= 0:
        raise ValueError("missing='interpolate' needs max_gap, the longest gap to fill, in hours (>= 0)")
    grid = _regular_index(series, name)
    full = series.reindex(grid)
    valid = full.notna().to_numpy()
    if not valid.any():
        raise TimeSeriesError(f"{name}: no values at all")
    if not valid[0] or not valid[-1]:
        i = int(np.argmin(valid)) if not valid[0] else len(valid) - 1
        raise TimeSeriesError(f"{name}: missing value at {_when(grid[i])}: gaps at either end cannot be interpolated")
    known = np.flatnonzero(valid)
    span = np.diff(grid.asi8[known]) * _unit_step(grid).total_seconds() / 3600.0
    too_long = np.flatnonzero((np.diff(known) > 1) & (span > max_gap + 1e-9))
    if too_long.size:
        start = grid[known[too_long[0]] + 1]
        raise TimeSeriesError(
            f"{name}: gap from {_when(start)} spans {span[too_long[0]]:g} h, longer than max_gap {max_gap:g} h"
        )
    return full.interpolate(method="time")


def _as_float(series: pd.Series, name: str) -> pd.Series:
    if not isinstance(series, pd.Series):
        raise TypeError(f"{name}: expected a pandas Series, not {type(series).__name__}")
    _datetime_index(series, name)
    if series.dtype == np.float64:
        return series  # already what it would become (astype copies)
    try:
        return series.astype("float64")
    except (TypeError, ValueError) as error:
        raise TimeSeriesError(f"{name}: the values must be numbers ({error})") from error


def to_incremental(
    series: pd.Series, *, kind: SeriesKind = "rainfall", name: str = "rain"
) -> rainmill.utils.IncrementalTimeSeries:
    """The extension's interval series of a regular Series without missing values."""
    series = fill_rain(series, "raise", name=name)
    return rainmill.utils.IncrementalTimeSeries(*_extension_args(series, name), kind)


def to_continuous(
    series: pd.Series, *, kind: SeriesKind = "discharge", name: str = "flow"
) -> rainmill.utils.ContinuousTimeSeries:
    """The extension's point series of a regular Series without missing values."""
    series = fill_flow(series, "raise", name=name)
    return rainmill.utils.ContinuousTimeSeries(*_extension_args(series, name), kind)


def _extension_args(series: pd.Series, name: str) -> tuple[np.ndarray, timedelta]:
    """A checked series' values and step as the extension's series take them (whole seconds)."""
    return series.to_numpy(dtype="float64"), timedelta(seconds=int(infer_step(series, name=name).total_seconds()))


def to_series(
    values: rainmill.utils.ContinuousTimeSeries | rainmill.utils.IncrementalTimeSeries,
    start: pd.Timestamp | str,
    *,
    name: str | None = None,
) -> pd.Series:
    """An extension series as a pandas Series whose index starts at `start`."""
    data = values.data
    index = pd.date_range(pd.Timestamp(start), periods=len(data), freq=pd.Timedelta(values.time_step), name="time")
    return pd.Series(data, index=index, name=name, dtype="float64")
