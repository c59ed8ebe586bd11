"""CSV files as they come: separators, decimal marks, header or none, units rows, dates in two columns."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Final, TypedDict, Unpack

import numpy as np
import pandas as pd

from . import records
from .rdb import is_format_row
from .records import Column, NonFinitePolicy, RecordError
from .units import UnitError, parse_unit


class CsvOptions(TypedDict, total=False):
    """The options of `read_csv` and `read_csv_frame` (and of the rain and flow readers built on them)."""

    sep: str
    decimal: str
    header: bool
    time_column: Column | Sequence[Column]
    date_format: str | None
    dayfirst: bool
    tz: str | None
    units: str | Mapping[str, str] | None
    units_row: bool | None
    to: str | Mapping[str, str] | None
    comment: str
    encoding: str
    nonfinite: NonFinitePolicy


def read_csv_frame(
    path: str | Path, columns: Sequence[Column] | None = None, **options: Unpack[CsvOptions]
) -> pd.DataFrame:
    """Value columns of a CSV file (by name or position; all but the time by default) on their timestamps.

    Options: `sep` (","), `decimal` ("."), `header` (True: the first line names the columns; without
    one they are named "0", "1", ...), `time_column` (0; a name or a position, or a pair of
    them for a date and a time in separate columns), `date_format` (a `strftime` format; ISO 8601
    when not given) or `dayfirst`, `tz` (a zone for naive timestamps, or to convert aware ones
    into), `units` (one unit for all the value columns, or a mapping by column), `units_row` (True:
    the line after the header gives each column's unit; by default such a line is read as units
    when its time field is empty and every value field is a unit; False: never), `to` (convert
    into this unit, or a mapping),
    `comment` ("#": lines starting with it are skipped; a "#" elsewhere is data), `encoding`
    ("utf-8") and `nonfinite` ("raise" or "drop").

    Timestamps must all have a UTC offset or none; several offsets (a daylight-saving change) give
    the same instants in UTC.

    USGS column names (`USGS_02239501_..._00060_00003:ft^3/s`: agency, site, parameter code,
    statistic code, then the unit after a colon) give their column's unit, and a column may be
    chosen by its parameter code ("00060") when one column has it.
    """
    sep = options.get("sep", ",")
    decimal = options.get("decimal", ".")
    nonfinite = options.get("nonfinite", "raise")
    records._check_policy(nonfinite)
    target, text = records._read_text(path, options.get("encoding", "utf-8"))
    lines = records._data_lines(target, text, options.get("comment", "#"))
    header = options.get("header", True)
    if len(lines.texts) > 1 and "\t" in lines.texts[1] and is_format_row(lines.texts[1]):
        raise RecordError(
            lines.at(
                f"{lines.texts[1].strip()[:40]!r} is the format row of a USGS RDB file; read it with read_rdb or "
                "read_rdb_frame",
                lines.numbers[1],
            )
        )
    frame = records._table(lines, sep, decimal, header)
    first = 1 if header else 0  # the file line of frame row 0 is lines.numbers[first + row]
    named = str(frame.columns[0])
    if header and not pd.isna(pd.to_datetime(pd.Series([named]), format="ISO8601", errors="coerce")[0]):
        raise RecordError(lines.at(f"{named!r} is a timestamp, not a column name; pass header=False", lines.numbers[0]))
    time_spec = options.get("time_column", 0)
    parts = [time_spec] if isinstance(time_spec, (str, int)) else list(time_spec)
    time_names = [records._resolve(frame, part, target, "time column") for part in parts]
    values_named = [str(name) for name in frame.columns if name not in time_names]
    found_units = {name: unit for name in values_named if (unit := _usgs_unit(name)) is not None}
    units_row = options.get("units_row")
    if units_row is None:
        units_row = header and _is_units_row(frame, time_names, values_named)
    if units_row:
        if frame.empty:
            raise RecordError(f"{target}: no units row after the header")
        found_units.update({str(name): str(value).strip() for name, value in frame.iloc[0].items()})
        frame = frame.iloc[1:].reset_index(drop=True)
        first += 1
    if frame.empty:
        raise RecordError(f"{target}: no data lines after the header")
    records._short_rows(lines, frame, sep, first)
    rows = lines.numbers[first : first + len(frame)]
    raw_time = frame[time_names[0]]
    for name in time_names[1:]:
        raw_time = raw_time + " " + frame[name]
    hint = (
        "is no time, and the line looks like units: pass units_row=True"
        if _looks_like_units(frame, values_named)
        else ""
    )
    try:
        index = records._parse_times(
            raw_time, lines, rows, options.get("date_format"), options.get("dayfirst", False), options.get("tz"), hint
        )
    except RecordError as error:
        if header and _header_is_data(named, values_named, decimal):
            line = lines.texts[0].strip()
            raise RecordError(
                lines.at(f"the header {line!r} looks like data, not column names; pass header=False", lines.numbers[0])
            ) from error
        raise
    try:
        records._check_order(index, lambda i: f"line {rows[i]}", target)
    except RecordError as error:
        raise RecordError(str(error) + _time_of_day_hint(frame, time_names)) from None
    chosen = values_named if columns is None else [_choose(frame, column, target) for column in columns]
    for name in chosen:
        if name in time_names:
            raise RecordError(f"{target}: column {name!r} holds the timestamps, not values")
    data: dict[str, np.ndarray] = {}
    for name in chosen:
        values, bad = records._numbers(frame[name], decimal)
        if bad.any():
            i = int(np.argmax(bad))
            raw = str(frame[name].iloc[i]).strip()
            where = lines.at(f"not a number in column {name!r} at {index[i].isoformat()}: {raw!r}", rows[i])
            raise RecordError(where + _value_hint(frame, name, i, raw, decimal, chosen))
        records._nonfinite(values, nonfinite, lines.field(rows, index, frame[name], name))
        data[name] = values
    result = pd.DataFrame(data, index=index)
    given = records._units_for(chosen, options.get("units"), {})
    for name in chosen:
        stated = found_units.get(name)
        if stated and given.get(name) and not _same_unit(stated, given[name]):
            raise RecordError(
                f"{target}: column {name!r} is in {stated!r} by the file, in {given[name]!r} by units=; "
                "leave units= out, or correct the file"
            )
    return records._apply_units(
        result, records._units_for(chosen, options.get("units"), found_units), options.get("to"), target
    )


def _same_unit(first: str, second: str) -> bool:
    try:
        return bool(parse_unit(first) == parse_unit(second))
    except UnitError:
        return first.strip() == second.strip()


def _choose(frame: pd.DataFrame, column: Column, path: Path) -> str:
    """A value column by name or position, or by parameter code among USGS column names."""
    if isinstance(column, str) and column not in frame.columns and re.fullmatch(r"\d{5}", column):
        coded = [str(name) for name in frame.columns if usgs_code(str(name)) == column]
        if len(coded) > 1:
            raise RecordError(f"{path}: several columns with parameter code {column} ({coded}); choose one by name")
        if coded:
            return coded[0]
    return records._resolve(frame, column, path, "column")


def _time_of_day_hint(frame: pd.DataFrame, time_names: list[str]) -> str:
    """A hint when the dates are in one column and the times of day in the next."""
    position = list(frame.columns).index(time_names[-1]) + 1
    if len(time_names) != 1 or position >= frame.shape[1]:
        return ""
    if not frame.iloc[:, position].str.strip().str.fullmatch(r"\d{1,2}:\d{2}(?::\d{2})?").all():
        return ""
    return f" (column {frame.columns[position]!r} holds times of day: pass time_column=[{position - 1}, {position}])"


def _value_hint(frame: pd.DataFrame, name: str, i: int, raw: str, decimal: str, chosen: list[str]) -> str:
    """What would read field `i` of column `name`, `raw`, which is not a number: another option, or nothing."""
    if re.fullmatch(r"\d{1,2}:\d{2}(?::\d{2})?", raw):
        position = list(frame.columns).index(name)
        return f"; a time of day: pass time_column=[{position - 1}, {position}] for a date and a time"
    if decimal == "." and "," in raw and not np.isnan(records._numbers(pd.Series([raw]), ",")[0][0]):
        return "; pass decimal=','"
    if i == 0 and _looks_like_units(frame, chosen):
        return "; the line looks like units: pass units_row=True"
    return ""


def _is_units_row(frame: pd.DataFrame, time_names: list[str], values: Sequence[str]) -> bool:
    """Whether the first row is a units row: no time, and a unit in every value field that has text."""
    if frame.empty or any(str(frame[name].iloc[0]).strip() for name in time_names):
        return False
    return _looks_like_units(frame, values)


def _header_is_data(first: str, others: Sequence[str], decimal: str) -> bool:
    """Whether a header line would be data: a date where the time column's name is, or numbers for names."""
    if any(records._guess_format(first.strip(), flag) is not None for flag in (False, True)):
        return True
    values, bad = records._numbers(pd.Series(list(others), dtype=object), decimal)
    return bool(len(others)) and not bad.any() and not np.isnan(values).any()


# A USGS column name: agency and site, anything, the parameter and statistic codes, ':' and the unit.
_USGS_NAME: Final = re.compile(r"^USGS[_:-]\d{8,15}(?:[_:-].*?)?[_:-](\d{5})[_:-]\d{5}(?::(.+))?$")


def _usgs_unit(name: str) -> str | None:
    """The unit a USGS column name carries after its colon (None when it carries none)."""
    found = _USGS_NAME.match(name)
    return None if found is None or not found.group(2) else found.group(2).strip()


def usgs_code(name: str) -> str | None:
    """The parameter code of a USGS column name (`USGS_02239501_..._00060_00003:ft^3/s` -> "00060")."""
    found = _USGS_NAME.match(name)
    return None if found is None else found.group(1)


def _looks_like_units(frame: pd.DataFrame, columns: Sequence[str]) -> bool:
    """Whether the first row holds unit names in `columns` (a units row read as data)."""
    fields = [str(frame[column].iloc[0]).strip() for column in columns]
    try:
        for field in fields:
            if field:
                parse_unit(field)
    except UnitError:
        return False
    return any(fields) and all(np.isnan(records._numbers(pd.Series([field]), ".")[0][0]) for field in fields)


def read_csv(path: str | Path, column: Column | None = None, **options: Unpack[CsvOptions]) -> pd.Series:
    """One value column of a CSV file as a Series (the only one, or `column` by name or position).

    The options are those of `read_csv_frame`; the Series carries `attrs["units"]` when its unit is known.
    """
    frame = read_csv_frame(path, None if column is None else [column], **options)
    return records._single(frame, path, "choose one with column=")
