"""USGS RDB files: tab-separated tables after comment lines, a header and a format row."""

from __future__ import annotations

import re
from datetime import timedelta, timezone
from pathlib import Path
from typing import Final, TypedDict, Unpack

import numpy as np
import pandas as pd

from .records import (
    NonFinitePolicy,
    RecordError,
    _apply_units,
    _check_order,
    _check_policy,
    _data_lines,
    _Lines,
    _nonfinite,
    _numbers,
    _parse_times,
    _read_text,
    _short_rows,
    _single,
    _table,
)
from .units import UnitError, convert

# Hours from UTC of the zone codes in the tz_cd column.
_USGS_ZONES: Final = {
    "UTC": 0, "GMT": 0, "Z": 0, "AST": -4, "ADT": -3, "EST": -5, "EDT": -4, "CST": -6, "CDT": -5, "MST": -7,
    "MDT": -6, "PST": -8, "PDT": -7, "AKST": -9, "AKDT": -8, "HST": -10, "SST": -11, "ChST": 10, "GST": 10,
}  # fmt: skip
# The units of the usual parameter codes.
_USGS_UNITS: Final = {"00060": "cfs", "00061": "cfs", "00065": "ft", "00045": "in", "00062": "ft", "72019": "ft"}
# Value fields that mean "no value" with a reason (ice, equipment failure, ...): kept in the flags.
_USGS_NO_VALUE: Final = re.compile(r"^(?:[A-Za-z]{2,4}|\*+|-+)$")
_FORMAT_FIELD: Final = re.compile(r"^\d*[sndSND]$")
_PARAMETER: Final = re.compile(r"^(?:\d+_)?(\d{5})(?:_\d{5})?$")


class RdbOptions(TypedDict, total=False):
    """The options of `read_rdb` and `read_rdb_frame`."""

    encoding: str
    nonfinite: NonFinitePolicy
    to: str | None


def read_rdb_frame(path: str | Path, **options: Unpack[RdbOptions]) -> pd.DataFrame:
    """Every parameter column of a USGS tab-separated RDB file, each with its qualifier column as flags.

    Options: `encoding`, `nonfinite` and `to` (a unit for every value column), as for CSV files.

    Comment lines start with '#'; the header is followed by the format row (`5s 15s 20d 14n ...`).
    Value columns are the parameter columns (`69928_00060`); their qualifier columns (`..._cd`:
    "A" approved, "P" provisional, "e" estimated, ...) are kept as strings, and a value field that
    is a reason for no value ("Ice", "Eqp", "***") becomes NaN with the reason added to the flags.
    Times with a `tz_cd` column are placed by its zone (UTC when the zones differ within the file).
    Known parameter codes carry their unit (00060 discharge in cfs, 00065 gage height in ft).
    """
    nonfinite = options.get("nonfinite", "raise")
    to = options.get("to")
    _check_policy(nonfinite)
    target, text = _read_text(path, options.get("encoding", "utf-8"))
    lines = _data_lines(target, text, "#")
    if len(lines.texts) < 2:
        raise RecordError(f"{target}: no header and format row (an RDB file has both before its data)")
    formats = lines.texts[1].split("\t")
    if not all(_FORMAT_FIELD.match(field.strip()) for field in formats):
        raise RecordError(
            lines.at(
                f"the format row (as '5s\\t15s\\t20d\\t14n') is missing; found {lines.texts[1][:40]!r}",
                lines.numbers[1],
            )
        )
    body = _Lines(target, [lines.numbers[0], *lines.numbers[2:]], [lines.texts[0], *lines.texts[2:]])
    frame = _table(body, "\t", ".")
    if frame.empty:
        raise RecordError(f"{target}: no data lines after the format row")
    _short_rows(body, frame, "\t", 1)
    rows = body.numbers[1:]
    if "datetime" not in frame.columns:
        raise RecordError(f"{target}: no 'datetime' column (there are {list(frame.columns)})")
    index = _parse_times(frame["datetime"], body, rows, None, False, None)
    if "tz_cd" in frame.columns:
        index = _usgs_zones(index, frame["tz_cd"].str.strip(), body, rows)
    _check_order(index, [f"line {row}" for row in rows], target)
    value_columns = [str(c) for c in frame.columns if _PARAMETER.match(str(c))]
    if not value_columns:
        raise RecordError(f"{target}: no parameter column (such as 69928_00060) among {list(frame.columns)}")
    values: dict[str, np.ndarray] = {}
    flags: dict[str, np.ndarray] = {}
    units: dict[str, str] = {}
    for name in value_columns:
        values[name], flags[name] = _rdb_column(frame, name, body, rows, index, nonfinite)
        code = _PARAMETER.match(name)
        if code is not None and code.group(1) in _USGS_UNITS:
            units[name] = _USGS_UNITS[code.group(1)]
    converted = _apply_units(pd.DataFrame(values, index=index), units, to, target)
    result = pd.DataFrame(index=index)
    for name in value_columns:
        result[name] = converted[name]
        result[f"{name}_cd"] = flags[name]
    result.attrs = dict(converted.attrs)
    return result


def _rdb_column(
    frame: pd.DataFrame, name: str, lines: _Lines, rows: list[int], index: pd.DatetimeIndex, nonfinite: NonFinitePolicy
) -> tuple[np.ndarray, np.ndarray]:
    raw = frame[name].str.strip()
    no_value = (raw.str.fullmatch(_USGS_NO_VALUE.pattern) & (raw != "")).to_numpy(dtype=bool)
    values, bad = _numbers(raw.mask(no_value, ""), ".")
    if bad.any():
        i = int(np.argmax(bad))
        raise RecordError(
            lines.at(f"not a number in column {name!r} at {index[i].isoformat()}: {raw.iloc[i]!r}", rows[i])
        )
    infinite = np.isinf(values)
    if infinite.any():
        i = int(np.argmax(infinite))
        _nonfinite(values, nonfinite, lines.at(f"column {name!r}", rows[i]), index[i], raw.iloc[i])
    qualifier = frame[f"{name}_cd"].str.strip() if f"{name}_cd" in frame.columns else pd.Series([""] * len(frame))
    qualifier = qualifier.where(~no_value, (qualifier + " " + raw).str.strip())
    return values, qualifier.to_numpy(dtype=object)


def _usgs_zones(index: pd.DatetimeIndex, zones: pd.Series, lines: _Lines, rows: list[int]) -> pd.DatetimeIndex:
    """Local times with their zone codes as instants: a fixed offset when there is one zone, else UTC."""
    if index.tz is not None:
        return index
    unknown = np.flatnonzero(~zones.isin(list(_USGS_ZONES)).to_numpy())
    if unknown.size:
        i = int(unknown[0])
        raise RecordError(lines.at(f"unknown time zone code {zones.iloc[i]!r} in tz_cd", rows[i]))
    hours = zones.map(_USGS_ZONES).to_numpy(dtype="int64")
    if (hours == hours[0]).all():
        zone = timezone(timedelta(hours=int(hours[0])))
        return index.tz_localize(zone)
    instants = index - pd.to_timedelta(hours, unit="h")
    return pd.DatetimeIndex(instants, name="time").tz_localize("UTC")


def read_rdb(path: str | Path, column: str | None = None, **options: Unpack[RdbOptions]) -> pd.Series:
    """One parameter column of a USGS RDB file (the only one, or `column`: its name or its code, "00060").

    The options are those of `read_rdb_frame`; the qualifiers are in `read_rdb_frame`'s `..._cd` columns.
    """
    to = options.pop("to", None)
    frame = read_rdb_frame(path, **options)
    names = [str(name) for name in frame.columns if not str(name).endswith("_cd")]
    if column is not None:
        matches = [name for name in names if name == column or _code(name) == column]
        if not matches:
            raise RecordError(f"{path}: no column {column!r} (there are {names})")
        names = matches[:1]
    series = _single(frame[names], path, "choose one with column= (a name or a parameter code such as '00060')")
    if to is None:
        return series
    try:
        return convert(series, to, name=f"{path}: column {series.name!r}")
    except UnitError as error:
        raise RecordError(str(error)) from None


def _code(name: str) -> str | None:
    found = _PARAMETER.match(name)
    return None if found is None else found.group(1)
