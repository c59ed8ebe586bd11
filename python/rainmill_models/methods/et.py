"""Potential evapotranspiration from air temperature, with pyet.

The default is Oudin et al. (2005): PET = Re / (λ ρ) · (T + 5) / 100 when T > -5 °C, else 0, with Re
the extraterrestrial radiation of the day and latitude. It needs only the daily mean temperature
and the latitude, and in Oudin's comparison of 27 formulas on 308 catchments it gave the best
streamflow simulations of the temperature-based ones, on a par with Penman-Monteith; Hamon is the
other temperature-only choice offered. Formulas with more inputs (Hargreaves: the daily range;
Penman-Monteith: radiation, humidity, wind) are pyet's own functions, to be called directly.

pyet is an optional dependency (the `pet` extra); it is imported when a series is computed.
"""

from __future__ import annotations

import math
from typing import Final, Literal

import numpy as np
import pandas as pd

from ..errors import ModelError

Method = Literal["oudin", "hamon"]
METHODS: Final = ("oudin", "hamon")


def potential_et(temperature: pd.Series, latitude: float, method: Method = "oudin") -> pd.Series:
    """Daily potential evapotranspiration (mm/day) from daily mean air temperature (°C).

    `temperature` has a DatetimeIndex of days; a finer series is averaged to days first. Its unit,
    when it carries one (`attrs["units"]`: K, °F), is converted into °C; a temperature outside -90
    to 60 °C is refused. `latitude` is in degrees (north positive). The result has the days as its
    index and carries its unit (`attrs["units"] = "mm"`, a depth per day), so a run in inches
    converts it.
    """
    if method not in METHODS:
        raise ModelError("method", f"must be one of {list(METHODS)}, got {method!r}")
    if not (math.isfinite(latitude) and -90.0 <= latitude <= 90.0):
        raise ModelError("latitude", f"must be between -90 and 90 degrees, got {latitude!r}")
    if not isinstance(temperature.index, pd.DatetimeIndex):
        raise ModelError("temperature", "must have a DatetimeIndex")
    try:
        import pyet
    except ModuleNotFoundError:
        raise ModuleNotFoundError("potential_et needs pyet: pip install 'rainmill[pet]'") from None

    from ..io.units import check_air_temperature, convert_values, unit_of

    own = unit_of(temperature, what="temperature")
    values = temperature.to_numpy(dtype=float)
    if own is not None:
        values = convert_values(values, own, "degC", what="temperature")
    known = ~np.isnan(values)
    check_air_temperature(values[known], temperature.index[known], "temperature")
    daily = pd.Series(values, index=temperature.index).resample("D").mean()
    if daily.isna().any():
        raise ModelError("temperature", f"has no value on {daily.index[daily.isna()][0].date()}")
    lat = math.radians(latitude)
    series = pyet.oudin(daily, lat) if method == "oudin" else pyet.hamon(daily, lat)
    pet = pd.Series(series.to_numpy(dtype=float), index=daily.index, name="pet")
    pet.attrs["units"] = "mm"
    return pet


def spread_over_steps(daily: pd.Series, index: pd.DatetimeIndex) -> pd.Series:
    """Daily depths spread evenly over the intervals of `index` that start on each day."""
    day = index.normalize()
    per_day = pd.Series(1.0, index=index).groupby(day).transform("size")
    values = daily.reindex(day).to_numpy(dtype=float) / per_day.to_numpy()
    spread = pd.Series(values, index=index, name=daily.name)
    spread.attrs = dict(daily.attrs)  # depths keep their unit
    return spread
