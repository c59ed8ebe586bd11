"""Readers of the records hydrologists have: CSV, NetCDF/CF, USGS RDB and fixed-step value files.

Each reader gives pandas data with a sorted, duplicate-free `DatetimeIndex` named "time", float
values (NaN where a value is missing) and, when the unit is known, `attrs["units"]` (a unit string:
one Series) or `attrs["column_units"]` (a mapping from column to unit: a DataFrame; `column_of`
takes a column out with its own unit string). Bad data is refused with a
`RecordError` whose message names the file and, where there is one, the line and the timestamp;
when a CSV file does not parse with the defaults, the message says which option would help.

`read_rating` reads a rating table (USGS RDB) into the curve a reservoir's outlet takes.

Inputs must be regular files (a FIFO or a device is refused before anything is read) of bounded
size. Infinite values are refused unless `nonfinite="drop"`, which makes them missing values, so
that the missing-data policy of the caller decides what happens to them.
"""

from __future__ import annotations

from pathlib import Path
from typing import Unpack

import pandas as pd

from .csv import CsvOptions, read_csv, read_csv_frame
from .fixed_step import read_fixed_step
from .netcdf import NetcdfOptions, read_netcdf, read_netcdf_frame
from .rdb import Rating, RdbOptions, read_rating, read_rdb, read_rdb_frame
from .records import COLUMN_UNITS, MISSING_MARKERS, Column, NonFinitePolicy, RecordError, column_of
from .timeseries import FlowPolicy, RainPolicy, fill_flow, fill_rain

__all__ = [
    "COLUMN_UNITS",
    "MISSING_MARKERS",
    "Column",
    "CsvOptions",
    "NetcdfOptions",
    "NonFinitePolicy",
    "Rating",
    "RdbOptions",
    "RecordError",
    "column_of",
    "read_csv",
    "read_csv_frame",
    "read_fixed_step",
    "read_flow_csv",
    "read_netcdf",
    "read_netcdf_frame",
    "read_rain_csv",
    "read_rating",
    "read_rdb",
    "read_rdb_frame",
]


def read_rain_csv(
    path: str | Path,
    column: Column | None = None,
    *,
    missing: RainPolicy = "raise",
    **options: Unpack[CsvOptions],
) -> pd.Series:
    """Gross rainfall depths per step from a CSV file: timestamps (interval starts) in the first column.

    `column` is the value column (by name or position, as `read_csv` takes it; the only one by
    default). Timestamps are ISO 8601, with or without a UTC offset (an offset is kept as the index's time
    zone), unless `date_format` or `dayfirst` says otherwise. Missing values and timestamps follow
    `missing` (see the module); lines starting with '#' are comments. The other options (separator,
    decimal mark, units, ...) are those of `read_csv_frame`.
    """
    series = read_csv(path, column, **options)
    return _keep_attrs(fill_rain(series, missing, name=str(path)), series)


def read_flow_csv(
    path: str | Path,
    column: Column | None = None,
    *,
    missing: FlowPolicy = "raise",
    max_gap: float | None = None,
    **options: Unpack[CsvOptions],
) -> pd.Series:
    """Flows (point values) from a CSV file, as `read_rain_csv`; gaps follow `missing` and `max_gap` hours."""
    series = read_csv(path, column, **options)
    return _keep_attrs(fill_flow(series, missing, max_gap=max_gap, name=str(path)), series)


def _keep_attrs(result: pd.Series, source: pd.Series) -> pd.Series:
    result.attrs = dict(source.attrs)
    return result
