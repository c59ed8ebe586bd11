"""USGS RDB files: tab-separated tables after comment lines, a header and a format row."""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import timedelta, timezone
from pathlib import Path
from typing import Final, TypedDict, Unpack

import numpy as np
import pandas as pd

from . import records
from .records import COLUMN_UNITS, NonFinitePolicy, RecordError, _Lines
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


# The units of the columns of other USGS tables (annual peaks), by name.
_NAMED_UNITS: Final = {"peak_va": "cfs", "gage_ht": "ft", "ag_gage_ht": "ft"}


class RdbOptions(TypedDict, total=False):
    """The options of `read_rdb` and `read_rdb_frame`."""

    encoding: str
    nonfinite: NonFinitePolicy
    to: str | None
    time_column: str | Sequence[str]


@dataclass(frozen=True)
class _Rdb:
    """An RDB file's table: its fields as strings, the format of each column, the lines kept."""

    path: Path
    lines: _Lines  # the header line, then the data lines (the format row left out)
    frame: pd.DataFrame
    formats: dict[str, str]
    comments: str


def _read_rdb(path: str | Path, encoding: str) -> _Rdb:
    target, text = records._read_text(path, encoding)
    lines = records._data_lines(target, text, "#")
    if len(lines.texts) < 2:
        raise RecordError(f"{target}: no header and format row (an RDB file has both before its data)")
    formats = lines.texts[1].split("\t")
    if not is_format_row(lines.texts[1]):
        raise RecordError(
            lines.at(
                f"the format row (as '5s\\t15s\\t20d\\t14n') is missing; found {lines.texts[1][:40]!r}",
                lines.numbers[1],
            )
        )
    body = _Lines(target, [lines.numbers[0], *lines.numbers[2:]], [lines.texts[0], *lines.texts[2:]])
    frame = records._table(body, "\t", ".")
    if frame.empty:
        raise RecordError(f"{target}: no data lines after the format row")
    records._short_rows(body, frame, "\t", 1)
    kinds = {str(name): field.strip()[-1:].lower() for name, field in zip(frame.columns, formats)}
    comments = "\n".join(line for line in text.splitlines() if line.startswith("#"))
    return _Rdb(target, body, frame, kinds, comments)


def is_format_row(text: str) -> bool:
    """Whether a line is an RDB format row (`5s<TAB>15s<TAB>20d<TAB>14n`)."""
    return all(_FORMAT_FIELD.match(field.strip()) for field in text.split("\t"))


def read_rdb_frame(path: str | Path, **options: Unpack[RdbOptions]) -> pd.DataFrame:
    """Every value column of a USGS tab-separated RDB file, each with its qualifier column as flags.

    Options: `encoding`, `nonfinite` and `to` (a unit for every value column), as for CSV files, and
    `time_column` ("datetime"; the name of the column of the times, such as "peak_dt" in a file of
    annual peaks, or a pair of names for a date and a time).

    Comment lines start with '#'; the header is followed by the format row (`5s 15s 20d 14n ...`).
    Value columns are the parameter columns (`69928_00060`) and the other numeric ones (`n` in the
    format row: `peak_va`, `gage_ht`); their qualifier columns (`69928_00060_cd`, `peak_cd` for
    `peak_va`: "A" approved, "P" provisional, "e" estimated, ...) are kept as strings, and a value
    field that is a reason for no value ("Ice", "Eqp", "***") becomes NaN with the reason added to
    the flags. Times with a `tz_cd` column are placed by its zone (UTC when the zones differ within
    the file); a date with a month or day of 00 (a peak whose day is not known) is refused. Known
    parameter codes carry their unit (00060 discharge in cfs, 00065 gage height in ft), as do the
    peaks' `peak_va` (cfs) and `gage_ht` (ft). A rating table has no times: `read_rating` reads it.
    """
    nonfinite = options.get("nonfinite", "raise")
    to = options.get("to")
    records._check_policy(nonfinite)
    table = _read_rdb(path, options.get("encoding", "utf-8"))
    target, frame, body, rows = table.path, table.frame, table.lines, table.lines.numbers[1:]  # the data lines
    spec = options.get("time_column", "datetime")
    time_names = [spec] if isinstance(spec, str) else list(spec)
    for name in time_names:
        if name not in frame.columns:
            rating = " or, for a rating table, read_rating" if {"INDEP", "DEP"} <= set(frame.columns) else ""
            raise RecordError(
                f"{target}: no {name!r} column (there are {list(frame.columns)}); name the column of the times "
                f"with time_column={rating}"
            )
    raw = frame[time_names[0]].str.strip()
    for name in time_names[1:]:
        raw = (raw + " " + frame[name].str.strip()).str.strip()
    unknown = np.flatnonzero(raw.str.contains(r"^\d{4}-(?:00|\d{2}-00)\b").to_numpy())
    if unknown.size:
        i = int(unknown[0])
        raise RecordError(
            body.at(f"date {raw.iloc[i]!r} has a month or day of 00 (not known); such a date has no time", rows[i])
        )
    index = records._parse_times(raw, body, rows, None, False, None)
    if "tz_cd" in frame.columns:
        index = _usgs_zones(index, frame["tz_cd"].str.strip(), body, rows)
    records._check_order(index, lambda i: f"line {rows[i]}", target)
    value_columns = [
        c
        for c in map(str, frame.columns)
        if c not in time_names and (_PARAMETER.match(c) or c in _NAMED_UNITS or table.formats.get(c) == "n")
    ]
    if not value_columns:
        raise RecordError(
            f"{target}: no parameter or numeric column (such as 69928_00060, or 'n' in the format row) "
            f"among {list(frame.columns)}"
        )
    values: dict[str, np.ndarray] = {}
    flags: dict[str, np.ndarray] = {}
    for name in value_columns:
        values[name], flags[name] = _rdb_column(frame, name, body, rows, index, nonfinite)
    units = {
        name: unit for name in value_columns if (unit := _USGS_UNITS.get(_code(name) or "", _NAMED_UNITS.get(name)))
    }
    converted = records._apply_units(pd.DataFrame(values, index=index), units, to, target)
    result = pd.DataFrame(index=index)
    for name in value_columns:
        result[name] = converted[name]
        result[_flag_column(name)] = flags[name]
    result.attrs = dict(converted.attrs)
    return result


def _flag_column(name: str) -> str:
    """The qualifier column of a value column: `69928_00060_cd`, `peak_cd` for `peak_va`."""
    return f"{name.removesuffix('_va')}_cd"


def _rdb_column(
    frame: pd.DataFrame, name: str, lines: _Lines, rows: list[int], index: pd.DatetimeIndex, nonfinite: NonFinitePolicy
) -> tuple[np.ndarray, np.ndarray]:
    raw = frame[name].str.strip()
    no_value = (raw.str.fullmatch(_USGS_NO_VALUE.pattern) & (raw != "")).to_numpy(dtype=bool)
    values, bad = records._numbers(raw.mask(no_value, ""), ".")
    if bad.any():
        i = int(np.argmax(bad))
        raise RecordError(
            lines.at(f"not a number in column {name!r} at {index[i].isoformat()}: {raw.iloc[i]!r}", rows[i])
        )
    records._nonfinite(values, nonfinite, lines.field(rows, index, raw, name))
    flag = _flag_column(name)
    qualifier = frame[flag].str.strip() if flag in frame.columns else pd.Series([""] * len(frame))
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
        return index.tz_localize(timezone(timedelta(hours=int(hours[0]))))
    instants = index - pd.to_timedelta(hours, unit="h")
    return pd.DatetimeIndex(instants, name="time").tz_localize("UTC")


def read_rdb(path: str | Path, column: str | None = None, **options: Unpack[RdbOptions]) -> pd.Series:
    """One parameter column of a USGS RDB file (the only one, or `column`: its name or its code, "00060").

    The options are those of `read_rdb_frame`; the qualifiers are in `read_rdb_frame`'s `..._cd` columns.
    """
    to = options.pop("to", None)
    frame = read_rdb_frame(path, **options)
    flagged = {_flag_column(str(name)) for name in frame.columns}
    names = [str(name) for name in frame.columns if str(name) not in flagged]
    if column is not None:
        matches = [name for name in names if name == column or _code(name) == column]
        if not matches:
            raise RecordError(f"{path}: no column {column!r} (there are {names})")
        if len(matches) > 1:
            raise RecordError(f"{path}: several columns with parameter code {column} ({matches}); choose one by name")
        names = matches
    series = records._single(frame[names], path, "choose one with column= (a name or a parameter code such as '00060')")
    if to is None:
        return series
    try:
        return convert(series, to, name=f"{path}: column {series.name!r}")
    except UnitError as error:
        raise RecordError(str(error)) from None


def _code(name: str) -> str | None:
    found = _PARAMETER.match(name)
    return None if found is None else found.group(1)


# The units a USGS rating file states in its comments: `# //RATING_INDEP ... PARAMETER="Gage height (ft)"`.
_RATING_UNIT: Final = re.compile(r'//RATING_(INDEP|DEP)\b.*?PARAMETER="[^"]*\(([^)"]+)\)"')


@dataclass(frozen=True)
class Rating:
    """A rating curve read from a file: stage or elevation against discharge, in the units given.

    `curve()` is what a reservoir outlet takes: `rm.UncontrolledOutlet(**rating.curve())` or
    `rm.ControlledOutlet(**rating.curve(), ...)`. The stage is the gauge's (a gage height); add the
    gauge datum's elevation where the pool's elevations are on another datum (`elevation_offset`).
    """

    elevation: tuple[float, ...]
    discharge: tuple[float, ...]
    elevation_units: str | None
    discharge_units: str | None

    def curve(self) -> dict[str, tuple[float, ...]]:
        """The points as an outlet's `elevation` and `discharge` fields."""
        return {"elevation": self.elevation, "discharge": self.discharge}


def read_rating(
    path: str | Path,
    *,
    stage: str = "INDEP",
    discharge: str = "DEP",
    to: str | None = None,
    stage_to: str | None = None,
    encoding: str = "utf-8",
) -> Rating:
    """A rating table of a USGS RDB file (columns INDEP, the gage height, and DEP, the discharge).

    Other tables name their columns with `stage=` and `discharge=`. In an expanded, shift-adjusted
    table (`exsa`) the shifts are already in DEP, so the points are used as the file gives them.
    The units come from the file's `//RATING_INDEP` and `//RATING_DEP` comments (`PARAMETER="Gage
    height (ft)"`) when it has them; `to` converts the discharges and `stage_to` the stages. The
    stages must increase and the discharges must not fall, each refused with its line.
    """
    table = _read_rdb(path, encoding)
    target, frame, body, rows = table.path, table.frame, table.lines, table.lines.numbers[1:]  # the data lines
    for name in (stage, discharge):
        if name not in frame.columns:
            raise RecordError(
                f"{target}: no {name!r} column (there are {list(frame.columns)}); name it with stage= or discharge="
            )
    columns: dict[str, np.ndarray] = {}
    for name in (stage, discharge):
        values, bad = records._numbers(frame[name], ".")
        missing = np.isnan(values)
        if missing.any():
            i = int(np.argmax(missing))
            what = "not a number" if bad[i] else "no value"
            raise RecordError(body.at(f"{what} in column {name!r}: {frame[name].iloc[i]!r}", rows[i]))
        if np.isinf(values).any():
            i = int(np.argmax(np.isinf(values)))
            raise RecordError(body.at(f"column {name!r}: {frame[name].iloc[i]!r} is not finite", rows[i]))
        columns[name] = values
    heights, flows = columns[stage], columns[discharge]
    rising = np.diff(heights) > 0
    wrong = np.flatnonzero(~rising | (np.diff(flows) < 0))
    if wrong.size:  # the first point out of order; its stage is checked before its discharge
        i = int(wrong[0]) + 1
        if not rising[i - 1]:
            why = f"{stage} {heights[i]:g} does not rise above {heights[i - 1]:g} (line {rows[i - 1]}); a rating's stages increase"
        else:
            why = f"{discharge} {flows[i]:g} falls below {flows[i - 1]:g} (line {rows[i - 1]}); a rating's discharges do not fall"
        raise RecordError(body.at(why, rows[i]))
    if len(heights) < 2:
        raise RecordError(f"{target}: a rating needs at least 2 points, the file has {len(heights)}")
    stated = {kind: unit.strip() for kind, unit in _RATING_UNIT.findall(table.comments)}
    pairs = ((stage, stage_to, "INDEP"), (discharge, to, "DEP"))  # a column, the unit wanted, what the file calls it
    for name, wanted, kind in pairs:
        if wanted is not None and (name != kind or kind not in stated):
            raise RecordError(f"{target}: the file states no unit of {name!r}, so it cannot be converted to {wanted!r}")
    units = {name: stated.get(kind) if name == kind else None for name, _, kind in pairs}
    converted = records._apply_units(
        pd.DataFrame({stage: heights, discharge: flows}),
        {name: unit for name, unit in units.items() if unit},
        {name: wanted for name, wanted, _ in pairs if wanted is not None},
        target,
    )
    labels = converted.attrs[COLUMN_UNITS]
    return Rating(
        tuple(converted[stage].tolist()), tuple(converted[discharge].tolist()), labels.get(stage), labels.get(discharge)
    )
