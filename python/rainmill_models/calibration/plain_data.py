"""Time series and forcing as plain data, the form in which they reach worker processes.

A pandas Series travels as NumPy arrays (values, instants in UTC), its index's name, its time zone,
its name and its unit (`attrs["units"]`, a frame's mapping resolved for the series' name); forcing is a Series or a mapping of them. This module stays light (NumPy and pandas
only), because every worker process of a calibration or an ensemble imports it.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from ..io.timeseries import TimeSeriesError
from ..io.units import label, unit_of

if TYPE_CHECKING:
    from ..network import Network

__all__ = ["forcing_from_data", "forcing_to_data", "observed_in_model_units", "series_from_data", "series_to_data"]

# The forcing of a run besides the rain, by the keyword a network's ``run`` takes it under.
FORCING = ("inflows", "potential_et", "temperature")


def series_to_data(series: pd.Series) -> dict[str, Any]:
    """A time-indexed Series as plain data: NumPy arrays (instants in UTC) and the time zone."""
    index = pd.DatetimeIndex(series.index)
    instants = index if index.tz is None else index.tz_convert("UTC").tz_localize(None)
    return {
        "values": series.to_numpy(dtype=np.float64, na_value=np.nan),
        "index": instants.to_numpy(),
        "index_name": index.name,
        "tz": index.tz,
        "name": series.name,
        "units": unit_of(series),
    }


def series_from_data(data: Mapping[str, Any]) -> pd.Series:
    """The inverse of :func:`series_to_data`."""
    index = pd.DatetimeIndex(data["index"], name=data["index_name"])
    if data["tz"] is not None:
        index = index.tz_localize("UTC").tz_convert(data["tz"])
    series = pd.Series(data["values"], index=index, name=data["name"])
    if data.get("units"):
        series.attrs["units"] = data["units"]
    return series


def forcing_from_data(data: Any) -> Any:
    if data is None or isinstance(data, (int, float)):  # potential_et=0: none asked for
        return data
    if "values" in data:
        return series_from_data(data)
    return {name: series_from_data(item) for name, item in data.items()}


def forcing_to_data(value: Any) -> Any:
    if value is None or isinstance(value, (int, float)):
        return value
    if isinstance(value, pd.Series):
        return series_to_data(value)
    if isinstance(value, pd.DataFrame):
        value = {str(c): value[c] for c in value.columns}
    return {str(name): series_to_data(item) for name, item in value.items()}


def observed_in_model_units(
    network: Network, gauge: str, observed: pd.Series, where: str = "", rain: Any = None
) -> pd.Series:
    """Observations in the model's flow unit (converted when their unit, see `unit_of`, is another one).

    The result carries no unit: it meets the model's simulated flows, which are in that unit. With
    `rain` (as a run takes it), observations and rain must both have a time zone, or neither.
    """
    what = f"{where}observed at {gauge}"
    forcing = next(iter(rain.values()), None) if isinstance(rain, Mapping) else rain
    index = getattr(forcing, "index", None)  # a Series' or a DataFrame's
    if isinstance(index, pd.DatetimeIndex) and (index.tz is None) != (pd.DatetimeIndex(observed.index).tz is None):
        raise TimeSeriesError(f"{what}: one of it and the rain has a time zone and the other not; give both or neither")
    own = unit_of(observed, what=what)
    if own is None:
        return observed
    from ..io.units import convert  # pint: loaded only when a unit is given

    converted = convert(observed, label("flow", network.options.units), units=own, name=what)
    converted.attrs = {key: value for key, value in converted.attrs.items() if key not in ("units", "column_units")}
    return converted
