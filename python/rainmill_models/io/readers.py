"""Readers of the records hydrologists have: CSV, NetCDF/CF, USGS RDB and fixed-step value files.

Each reader gives pandas data with a sorted, duplicate-free `DatetimeIndex` named "time", float
values (NaN where a value is missing) and, when the unit is known, `attrs["units"]` (one Series) or
`attrs["units"]` as a mapping from column to unit (a DataFrame). Bad data is refused with a
`RecordError` whose message names the file and, where there is one, the line and the timestamp;
when a CSV file does not parse with the defaults, the message says which option would help.

Inputs must be regular files (a FIFO or a device is refused before anything is read) of bounded
size. Infinite values are refused unless `nonfinite="drop"`, which makes them missing values, so
that the missing-data policy of the caller decides what happens to them.
"""

from __future__ import annotations

import csv
import io
import re
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from datetime import timedelta, timezone
from pathlib import Path
from typing import Final, Literal, TypedDict, Unpack

import numpy as np
import pandas as pd
from pandas.tseries.api import guess_datetime_format

from .files import MAX_INPUT_BYTES, InputFileError, check_input
from .timeseries import FlowPolicy, RainPolicy, TimeSeriesError, fill_flow, fill_rain
from .units import UnitError, convert, parse_unit, unit_label

NonFinitePolicy = Literal["raise", "drop"]
Column = str | int

# What counts as a missing value in a text file (besides an empty field).
MISSING_MARKERS: Final = frozenset({"", "NA", "N/A", "NaN", "nan", "NAN", "null", "NULL", "-", "--"})


class RecordError(TimeSeriesError):
    """A record file that cannot be read as it is; the message names the file, line and timestamp."""


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
    units_row: bool
    to: str | Mapping[str, str] | None
    comment: str
    encoding: str
    nonfinite: NonFinitePolicy


# --- text in, lines kept -----------------------------------------------------------------------


@dataclass(frozen=True)
class _Lines:
    """The lines of a text file that carry data: (1-based line number, text), comments and blanks left out."""

    path: Path
    numbers: list[int]
    texts: list[str]

    def at(self, position: str, line: int) -> str:
        return f"{self.path}, line {line}: {position}"


def _read_text(path: str | Path, encoding: str, limit: int = MAX_INPUT_BYTES) -> tuple[Path, str]:
    try:
        target = check_input(path, limit)
        data = target.read_bytes()
    except InputFileError as error:
        raise RecordError(str(error)) from None
    except OSError as error:
        raise RecordError(f"{path}: {error.strerror or error}") from None
    try:
        return target, data.decode("utf-8-sig" if encoding.lower().replace("_", "-") == "utf-8" else encoding)
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        byte = data[error.start : error.start + 1]
        raise RecordError(
            f"{target}, line {line}: not {encoding.upper() if encoding == 'utf-8' else encoding} text (byte {byte!r}); save the file as UTF-8 "
            "or pass its encoding (encoding='latin-1', 'cp1252', ...)"
        ) from None
    except LookupError:
        raise RecordError(f"{target}: unknown encoding {encoding!r}") from None


def _data_lines(path: Path, text: str, comment: str) -> _Lines:
    skipped = r"^[ \t\r]*$" if not comment else rf"^[ \t\r]*(?:$|{re.escape(comment)})"
    if not re.search(skipped, text.rstrip("\r\n"), flags=re.MULTILINE):  # no comment and no blank line
        texts = text.splitlines()
        return _Lines(path, list(range(1, len(texts) + 1)), texts)
    numbers: list[int] = []
    texts = []
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped or (comment and stripped.startswith(comment)):
            continue
        numbers.append(number)
        texts.append(line)
    return _Lines(path, numbers, texts)


# --- CSV ---------------------------------------------------------------------------------------


def _separator_hint(header: str, sep: str) -> str:
    for candidate, shown in ((";", "';'"), ("\t", "'\\t'"), (",", "','"), ("|", "'|'")):
        if candidate != sep and candidate in header:
            return f"; pass sep={shown}"
    if sep != r"\s+" and len(header.split()) > 1:
        return "; pass sep=r'\\s+' for columns separated by spaces"
    return ""


def _table(lines: _Lines, sep: str, decimal: str, header: bool = True) -> pd.DataFrame:
    """The file's fields as strings (header from the first data line); parse errors name the line.

    Without a header the columns are named by their position ("0", "1", ...).
    """
    if not lines.texts:
        raise RecordError(f"{lines.path}: empty file (no header line)")
    if len(sep) != 1 and sep != r"\s+":
        raise RecordError(f"{lines.path}: sep must be one character (or r'\\s+'), got {sep!r}")
    try:
        frame = pd.read_csv(
            io.StringIO("\n".join(lines.texts)),
            sep=sep,
            dtype=str,
            keep_default_na=False,
            na_filter=False,
            skipinitialspace=True,
            engine="c",
            header=0 if header else None,
        )
    except pd.errors.ParserError as error:
        found = re.search(r"Expected (\d+) fields in line (\d+), saw (\d+)", str(error))
        if found is None:
            raise RecordError(f"{lines.path}: not a CSV table ({str(error).strip()})") from None
        expected, row, seen = (int(group) for group in found.groups())
        hint = _separator_hint(lines.texts[0], sep) if decimal == "." and sep == "," else ""
        raise RecordError(
            lines.at(f"{seen} fields where the header has {expected}{hint}", lines.numbers[row - 1])
        ) from None
    frame.columns = pd.Index([str(name).strip() for name in frame.columns])
    if frame.shape[1] < 2:
        hint = _separator_hint(lines.texts[0], sep)
        raise RecordError(
            f"{lines.path}: only one column in the header {lines.texts[0].strip()!r}, so no value column"
            f"{hint or '; each line needs a timestamp and at least one value'}"
        )
    return frame


def _short_rows(lines: _Lines, frame: pd.DataFrame, sep: str, first: int) -> None:
    """Refuse rows with fewer fields than the header (pandas fills them in silently)."""
    if sep == r"\s+":
        return
    empty = np.flatnonzero((frame == "").any(axis=1).to_numpy())
    for row in empty:
        text = lines.texts[first + int(row)]
        fields = next(csv.reader([text], delimiter=sep))
        if len(fields) < frame.shape[1]:
            raise RecordError(
                lines.at(
                    f"{len(fields)} field(s) where the header has {frame.shape[1]}", lines.numbers[first + int(row)]
                )
            )


def _resolve(frame: pd.DataFrame, column: Column, path: Path, what: str) -> str:
    names = [str(name) for name in frame.columns]
    if isinstance(column, bool) or not isinstance(column, (str, int)):
        raise TypeError(f"{what} must be a column name or a position, not {type(column).__name__}")
    if isinstance(column, int):
        if not -len(names) <= column < len(names):
            raise RecordError(f"{path}: no {what} at position {column} (the file has {len(names)} columns: {names})")
        return names[column]
    if column not in names:
        raise RecordError(f"{path}: no {what} {column!r} (there are {names})")
    return column


_OFFSET: Final = re.compile(r"\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?\s*(?:[zZ]|[+-]\d{2}(?::?\d{2})?)$")


def _format_hint(raw: pd.Series) -> str:
    """A date_format that parses every timestamp, when pandas can guess one from the first."""
    first = str(raw.iloc[0]).strip()
    guesses = []
    for dayfirst in (True, False):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # pandas' own advice on dayfirst
            guess = guess_datetime_format(first, dayfirst=dayfirst)
        if guess is not None and guess not in guesses:
            guesses.append(guess)
    fits = [fmt for fmt in guesses if pd.to_datetime(raw, format=fmt, errors="coerce").notna().all()]
    if len(fits) == 1:
        return f"pass date_format={fits[0]!r}"
    if fits:
        return "pass date_format= (" + " or ".join(repr(fmt) for fmt in fits) + ", whichever the file uses)"
    return "pass date_format= (e.g. '%d.%m.%Y %H:%M') or dayfirst=True"


def _refuse_mixed_offsets(raw: pd.Series, lines: _Lines, rows: list[int]) -> None:
    aware = raw.str.contains(_OFFSET).to_numpy()
    odd = np.flatnonzero(aware != aware[0])
    if odd.size:
        i = int(odd[0])
        has, lacks = ("has", "lacks") if aware[i] else ("lacks", "has")
        raise RecordError(
            lines.at(
                f"timestamp {raw.iloc[i]!r} {has} a UTC offset where line {rows[0]}'s {lacks} one; "
                "give every timestamp an offset, or none",
                rows[i],
            )
        )


def _parse_times(
    raw: pd.Series,
    lines: _Lines,
    rows: list[int],
    date_format: str | None,
    dayfirst: bool,
    tz: str | None,
    units_hint: str = "",
) -> pd.DatetimeIndex:
    if date_format is not None:
        stamps = pd.to_datetime(raw, format=date_format, errors="coerce")
        hint = f"does not match date_format={date_format!r}"
    elif dayfirst:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # pandas' advice to give a format: the message does
            guess = guess_datetime_format(str(raw.iloc[0]).strip(), dayfirst=True)
            try:
                stamps = pd.to_datetime(raw, format=guess, dayfirst=True, errors="coerce")
            except ValueError:
                stamps = pd.to_datetime(raw, format=guess, dayfirst=True, errors="coerce", utc=True)
        hint = "cannot be read day first like the first timestamp; pass date_format="
    else:
        try:
            stamps = pd.to_datetime(raw, format="ISO8601", errors="coerce")
        except ValueError:  # several offsets (a daylight-saving change), or offsets and none mixed
            _refuse_mixed_offsets(raw, lines, rows)
            stamps = pd.to_datetime(raw, format="ISO8601", errors="coerce", utc=True)
        hint = ""
    bad = stamps.isna().to_numpy()
    if bad.any() and raw.str.contains(r"^\s|\s$").any():  # spaces around a timestamp: read it without them
        return _parse_times(raw.str.strip(), lines, rows, date_format, dayfirst, tz, units_hint)
    if bad.any():
        i = int(np.argmax(bad))
        if i == 0 and units_hint:
            raise RecordError(lines.at(f"timestamp {raw.iloc[0]!r} {units_hint}", rows[0]))
        reason = hint or f"not an ISO 8601 timestamp; {_format_hint(raw)}"
        raise RecordError(lines.at(f"timestamp {raw.iloc[i]!r} {reason}", rows[i]))
    index = pd.DatetimeIndex(stamps, name="time")
    if tz is not None:
        try:
            index = index.tz_convert(tz) if index.tz is not None else index.tz_localize(tz)
        except (ValueError, TypeError, KeyError) as error:  # unknown zone, a nonexistent or ambiguous local time
            raise RecordError(f"{lines.path}: cannot place the timestamps in time zone {tz!r} ({error})") from None
    return index


def _check_order(index: pd.DatetimeIndex, where: list[str], path: Path) -> None:
    diffs = np.diff(index.asi8)
    bad = np.flatnonzero(diffs <= 0)
    if bad.size:
        i = int(bad[0]) + 1
        stamp = index[i].isoformat()
        relation = "repeats" if diffs[i - 1] == 0 else "comes before"
        raise RecordError(f"{path}, {where[i]}: timestamp {stamp} {relation} the one on {where[i - 1]}; sort the file")


def _numbers(raw: pd.Series, decimal: str) -> tuple[np.ndarray, np.ndarray]:
    """The values of a column of strings, and where they are neither numbers nor missing markers."""
    text = raw.str.strip()
    missing = text.isin(MISSING_MARKERS).to_numpy()
    if decimal != ".":
        text = text.str.replace(decimal, ".", regex=False)
    values = pd.to_numeric(text.mask(missing), errors="coerce").to_numpy(dtype="float64", copy=True)
    return values, np.isnan(values) & ~missing


def _nonfinite(values: np.ndarray, policy: NonFinitePolicy, place: str, stamp: pd.Timestamp, raw: object) -> None:
    if policy == "raise":
        raise RecordError(
            f"{place} ({stamp.isoformat()}): value {raw!r} is not finite; correct it or pass nonfinite='drop'"
        )
    values[~np.isfinite(values) & ~np.isnan(values)] = np.nan


def _check_policy(nonfinite: str) -> None:
    if nonfinite not in ("raise", "drop"):
        raise ValueError(f"nonfinite must be 'raise' or 'drop', got {nonfinite!r}")


def _units_for(
    columns: Sequence[str], units: str | Mapping[str, str] | None, found: Mapping[str, str]
) -> dict[str, str]:
    given = dict(found)
    if isinstance(units, str):
        given.update(dict.fromkeys(columns, units))
    elif units is not None:
        given.update(units)
    return {column: given[column] for column in columns if given.get(column)}


def _apply_units(
    frame: pd.DataFrame, units: Mapping[str, str], to: str | Mapping[str, str] | None, path: Path
) -> pd.DataFrame:
    labels: dict[str, str] = {}
    for column in frame.columns:
        unit = units.get(str(column))
        target = to if isinstance(to, str) or to is None else to.get(str(column))
        where = f"{path}: column {column!r}"
        if unit is None:
            if target is not None:
                raise UnitError(f"{where}: the unit of the values is not known; pass units= or units_row=True")
            continue
        try:
            labels[str(column)] = unit_label(parse_unit(unit, what=where))
            if target is not None:
                part = frame[column].copy()
                part.attrs = {"units": unit}
                frame[column] = convert(part, target, name=where).to_numpy()
                labels[str(column)] = unit_label(target)
        except UnitError as error:
            raise RecordError(str(error)) from None
    frame.attrs["units"] = labels
    return frame


def read_csv_frame(
    path: str | Path, columns: Sequence[Column] | None = None, **options: Unpack[CsvOptions]
) -> pd.DataFrame:
    """Value columns of a CSV file (by name or position; all but the time by default) on their timestamps.

    Options: `sep` (","), `decimal` ("."), `header` (True: the first line names the columns; without
    one they are named "0", "1", ...), `time_column` (0; a name or a position, or a pair of
    them for a date and a time in separate columns), `date_format` (a `strftime` format; ISO 8601
    when not given) or `dayfirst`, `tz` (a zone for naive timestamps, or to convert aware ones
    into), `units` (one unit for all the value columns, or a mapping by column), `units_row` (the
    line after the header gives each column's unit), `to` (convert into this unit, or a mapping),
    `comment` ("#": lines starting with it are skipped; a "#" elsewhere is data), `encoding`
    ("utf-8") and `nonfinite` ("raise" or "drop").

    Timestamps must all have a UTC offset or none; several offsets (a daylight-saving change) give
    the same instants in UTC.
    """
    sep = options.get("sep", ",")
    decimal = options.get("decimal", ".")
    nonfinite = options.get("nonfinite", "raise")
    _check_policy(nonfinite)
    target, text = _read_text(path, options.get("encoding", "utf-8"))
    lines = _data_lines(target, text, options.get("comment", "#"))
    header = options.get("header", True)
    frame = _table(lines, sep, decimal, header)
    first = 1 if header else 0  # the file line of frame row 0 is lines.numbers[first + row]
    named = str(frame.columns[0])
    if header and not pd.isna(pd.to_datetime(pd.Series([named]), format="ISO8601", errors="coerce")[0]):
        raise RecordError(lines.at(f"{named!r} is a timestamp, not a column name; pass header=False", lines.numbers[0]))
    found_units: dict[str, str] = {}
    if options.get("units_row", False):
        if frame.empty:
            raise RecordError(f"{target}: no units row after the header")
        found_units = {str(name): str(value).strip() for name, value in frame.iloc[0].items()}
        frame = frame.iloc[1:].reset_index(drop=True)
        first += 1
    if frame.empty:
        raise RecordError(f"{target}: no data lines after the header")
    _short_rows(lines, frame, sep, first)
    rows = lines.numbers[first : first + len(frame)]
    time_spec = options.get("time_column", 0)
    parts = [time_spec] if isinstance(time_spec, (str, int)) else list(time_spec)
    time_names = [_resolve(frame, part, target, "time column") for part in parts]
    raw_time = frame[time_names[0]]
    for name in time_names[1:]:
        raw_time = raw_time + " " + frame[name]
    values_named = [str(name) for name in frame.columns if name not in time_names]
    hint = (
        "is no time, and the line looks like units: pass units_row=True"
        if _looks_like_units(frame, values_named)
        else ""
    )
    index = _parse_times(
        raw_time, lines, rows, options.get("date_format"), options.get("dayfirst", False), options.get("tz"), hint
    )
    try:
        _check_order(index, [f"line {row}" for row in rows], target)
    except RecordError as error:
        raise RecordError(str(error) + _time_of_day_hint(frame, time_names)) from None
    if columns is None:
        chosen = [str(name) for name in frame.columns if name not in time_names]
    else:
        chosen = [_resolve(frame, column, target, "column") for column in columns]
    for name in chosen:
        if name in time_names:
            raise RecordError(f"{target}: column {name!r} holds the timestamps, not values")
    data: dict[str, np.ndarray] = {}
    for name in chosen:
        values, bad = _numbers(frame[name], decimal)
        if bad.any():
            i = int(np.argmax(bad))
            raise RecordError(_value_message(lines, rows, i, name, frame, index, decimal, chosen))
        infinite = np.isinf(values)
        if infinite.any():
            i = int(np.argmax(infinite))
            _nonfinite(values, nonfinite, lines.at(f"column {name!r}", rows[i]), index[i], frame[name].iloc[i])
        data[name] = values
    result = pd.DataFrame(data, index=index)
    return _apply_units(result, _units_for(chosen, options.get("units"), found_units), options.get("to"), target)


def _time_of_day_hint(frame: pd.DataFrame, time_names: list[str]) -> str:
    """A hint when the dates are in one column and the times of day in the next."""
    position = list(frame.columns).index(time_names[-1]) + 1
    if len(time_names) != 1 or position >= frame.shape[1]:
        return ""
    following = frame.iloc[:, position].str.strip()
    if not following.str.fullmatch(r"\d{1,2}:\d{2}(?::\d{2})?").all():
        return ""
    return f" (column {frame.columns[position]!r} holds times of day: pass time_column=[{position - 1}, {position}])"


def _value_message(
    lines: _Lines,
    rows: list[int],
    i: int,
    name: str,
    frame: pd.DataFrame,
    index: pd.DatetimeIndex,
    decimal: str,
    chosen: list[str],
) -> str:
    raw = str(frame[name].iloc[i]).strip()
    message = lines.at(f"not a number in column {name!r} at {index[i].isoformat()}: {raw!r}", rows[i])
    if re.fullmatch(r"\d{1,2}:\d{2}(?::\d{2})?", raw):
        position = list(frame.columns).index(name)
        return message + f"; a time of day: pass time_column=[{position - 1}, {position}] for a date and a time"
    if decimal == "." and "," in raw and not np.isnan(_numbers(pd.Series([raw]), ",")[0][0]):
        return message + "; pass decimal=','"
    if i == 0 and _looks_like_units(frame, chosen):
        return message + "; the line looks like units: pass units_row=True"
    return message


def _looks_like_units(frame: pd.DataFrame, columns: Sequence[str]) -> bool:
    """Whether the first row holds unit names in `columns` (a units row read as data)."""
    fields = [str(frame[column].iloc[0]).strip() for column in columns]
    try:
        for field in fields:
            if field:
                parse_unit(field)
    except UnitError:
        return False
    return any(fields) and all(np.isnan(_numbers(pd.Series([field]), ".")[0][0]) for field in fields)


def read_csv(path: str | Path, column: Column | None = None, **options: Unpack[CsvOptions]) -> pd.Series:
    """One value column of a CSV file as a Series (the only one, or `column` by name or position).

    The options are those of `read_csv_frame`; the Series carries `attrs["units"]` when its unit is known.
    """
    frame = read_csv_frame(path, None if column is None else [column], **options)
    return _single(frame, path, "choose one with column=")


def _single(frame: pd.DataFrame, path: str | Path, how: str) -> pd.Series:
    if frame.shape[1] != 1:
        raise RecordError(f"{path}: several value columns {[str(c) for c in frame.columns]}; {how}")
    name = str(frame.columns[0])
    series = frame[name].copy()
    series.attrs = {"units": frame.attrs["units"][name]} if name in frame.attrs.get("units", {}) else {}
    return series


# --- fixed-step value files ----------------------------------------------------------------------

_HEADER: Final = re.compile(r"^\s*#?\s*([A-Za-z_][\w ]*?)\s*[:=]\s*(.*?)\s*$")


def read_fixed_step(
    path: str | Path,
    *,
    units: str | None = None,
    to: str | None = None,
    decimal: str = ".",
    encoding: str = "utf-8",
    nonfinite: NonFinitePolicy = "raise",
) -> pd.Series:
    """A file of one value per line after a header that gives the start and the step.

    The header lines are `key: value` (or `key = value`, optionally after a `#`): `start` (a
    timestamp, ISO 8601), `step` (a duration with its unit: `15min`, `1h`, `1 day`), optionally
    `units` and `name`; other keys are kept in `attrs["header"]`. The values follow, one per line.
    """
    _check_policy(nonfinite)
    target, text = _read_text(path, encoding)
    header: dict[str, tuple[int, str]] = {}
    lines = _data_lines(target, text, "")
    body = 0
    for position, line in enumerate(lines.texts):
        found = _HEADER.match(line)
        if found is None:
            if line.lstrip().startswith("#"):  # a comment
                body = position + 1
                continue
            break
        header[found.group(1).strip().lower()] = (lines.numbers[position], found.group(2))
        body = position + 1
    else:
        body = len(lines.texts)
    for key in ("start", "step"):
        if key not in header:
            raise RecordError(f"{target}: no '{key}:' line in the header (a header gives 'start:' and 'step:')")
    start_line, start_text = header["start"]
    try:
        start = pd.Timestamp(start_text)
        if pd.isna(start):
            raise ValueError(start_text)
    except ValueError:
        raise RecordError(lines.at(f"start {start_text!r} is not an ISO 8601 timestamp", start_line)) from None
    step_line, step_text = header["step"]
    try:
        step: pd.Timedelta | None = pd.Timedelta(step_text)
    except ValueError:
        step = None
    if step is None or pd.isna(step) or re.fullmatch(r"[\d.]+", step_text.strip()) or not step > pd.Timedelta(0):
        raise RecordError(
            lines.at(f"step {step_text!r} is not a positive duration with a unit, e.g. '15min'", step_line)
        )
    rows = lines.numbers[body:]
    if not rows:
        raise RecordError(f"{target}: no values after the header")
    raw = pd.Series([lines.texts[body + i].strip() for i in range(len(rows))])
    several = np.flatnonzero(raw.str.contains(r"\s").to_numpy())
    if several.size:
        i = int(several[0])
        raise RecordError(lines.at(f"one value per line, found {raw.iloc[i]!r}", rows[i]))
    index = pd.date_range(start, periods=len(rows), freq=step, name="time")
    values, bad = _numbers(raw, decimal)
    if bad.any():
        i = int(np.argmax(bad))
        raise RecordError(lines.at(f"not a number at {index[i].isoformat()}: {raw.iloc[i]!r}", rows[i]))
    infinite = np.isinf(values)
    if infinite.any():
        i = int(np.argmax(infinite))
        _nonfinite(values, nonfinite, lines.at("", rows[i]).rstrip(": "), index[i], raw.iloc[i])
    name = header.get("name", (0, target.stem))[1]
    frame = pd.DataFrame({name: values}, index=index)
    unit = units if units is not None else header.get("units", (0, ""))[1] or None
    frame = _apply_units(frame, {name: unit} if unit else {}, to, target)
    series = _single(frame, target, "")
    series.attrs["header"] = {key: value for key, (_, value) in header.items()}
    return series


# --- USGS RDB ------------------------------------------------------------------------------------

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
    result.attrs["units"] = converted.attrs["units"]
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


# --- NetCDF / CF ---------------------------------------------------------------------------------


class NetcdfOptions(TypedDict, total=False):
    """The options of `read_netcdf` and `read_netcdf_frame`."""

    time: str | None
    select: Mapping[str, object] | None
    to: str | None
    tz: str | None
    nonfinite: NonFinitePolicy


def read_netcdf_frame(path: str | Path, variable: str | None = None, **options: Unpack[NetcdfOptions]) -> pd.DataFrame:
    """A variable of a NetCDF/CF file as a DataFrame: one column per subbasin or gauge (or one column).

    `variable` may be left out when one data variable has the time dimension. The time dimension is
    `time` or the one whose coordinate holds dates (CF `units = "hours since ..."`). A variable with
    a second dimension (station, gauge, subbasin) gives one column per label along it; further
    dimensions are fixed with `select={"dim": label}`. The variable's `units` attribute becomes the
    frame's units and `to=` converts them. Times are as the file gives them (naive, in UTC for CF);
    `tz` localises them (or converts aware ones).
    """
    import xarray as xr

    nonfinite = options.get("nonfinite", "raise")
    _check_policy(nonfinite)
    try:
        target = check_input(path)
        dataset = xr.open_dataset(target)
    except InputFileError as error:
        raise RecordError(str(error)) from None
    except (OSError, ValueError, TypeError, KeyError) as error:
        reason = str(error).strip().splitlines()[0][:160] if str(error).strip() else type(error).__name__
        if "did not find a match" in reason:
            reason = "no installed reader recognises it"
        raise RecordError(f"{path}: not a NetCDF file this installation can read ({reason})") from None
    with dataset:
        return _netcdf_variable(target, dataset, variable, options, nonfinite)


def _time_dimension(path: Path, array: object, requested: str | None) -> str:
    import xarray as xr

    assert isinstance(array, xr.DataArray)
    if requested is not None:
        if requested not in array.dims:
            raise RecordError(f"{path}: {array.name!r} has no dimension {requested!r} (it has {list(array.dims)})")
        return requested
    dated = [str(dim) for dim in array.dims if dim in array.coords and np.issubdtype(array[dim].dtype, np.datetime64)]
    if len(dated) == 1:
        return dated[0]
    raise RecordError(
        f"{path}: {array.name!r} has no single time dimension among {list(array.dims)} (a coordinate of dates, "
        "CF units such as 'hours since 2024-01-01'); name it with time="
    )


def _netcdf_variable(
    path: Path, dataset: object, variable: str | None, options: NetcdfOptions, nonfinite: NonFinitePolicy
) -> pd.DataFrame:
    import xarray as xr

    assert isinstance(dataset, xr.Dataset)
    names = [str(name) for name in dataset.data_vars]
    if variable is None:
        timed = [
            n
            for n in names
            if any(np.issubdtype(dataset[d].dtype, np.datetime64) for d in dataset[n].dims if d in dataset.coords)
        ]
        if not timed:
            raise RecordError(f"{path}: no variable along a time dimension of dates (the variables: {names})")
        if len(timed) > 1:
            raise RecordError(f"{path}: choose the variable with variable= (there are {timed})")
        variable = timed[0]
    if variable not in names:
        raise RecordError(f"{path}: no variable {variable!r} (there are {names})")
    array = dataset[variable]
    select = options.get("select")
    if select:
        try:
            array = array.sel(dict(select))
        except (KeyError, ValueError) as error:
            raise RecordError(f"{path}: {variable}: cannot select {dict(select)} ({error})") from None
    time = _time_dimension(path, array, options.get("time"))
    others = [str(dim) for dim in array.dims if dim != time]
    if len(others) > 1:
        raise RecordError(
            f"{path}: {variable} has dimensions {list(array.dims)}; fix all but one besides {time!r} with select="
        )
    array = array.transpose(time, *others).load()
    index = pd.DatetimeIndex(array[time].to_numpy(), name="time")
    reference = str(dataset[time].encoding.get("units", "")) if time in dataset.variables else ""
    if re.search(r"since .*(?:[+-]00:?00|Z|UTC)\s*$", reference):  # times stated in UTC
        index = index.tz_localize("UTC")
    if options.get("tz") is not None:
        tz = options.get("tz")
        index = index.tz_convert(tz) if index.tz is not None else index.tz_localize(tz)
    if others:
        dim = others[0]
        labels = (
            [str(label) for label in array[dim].to_numpy()]
            if dim in array.coords
            else [str(i) for i in range(array.sizes[dim])]
        )
    else:
        labels = [variable]
    values = np.array(array.to_numpy(), dtype="float64").reshape(len(index), len(labels))
    where = [f"{variable} at {stamp.isoformat()}" for stamp in index]
    _check_order(index, where, path)
    infinite = np.isinf(values)
    if infinite.any():
        row, col = (int(i) for i in np.argwhere(infinite)[0])
        _nonfinite(values, nonfinite, f"{path}, {variable}[{labels[col]}]", index[row], values[row, col])
    frame = pd.DataFrame(values, index=index, columns=pd.Index(labels))
    unit = array.attrs.get("units")
    units = dict.fromkeys(labels, str(unit)) if unit not in (None, "") else {}
    return _apply_units(frame, units, options.get("to"), path)


def read_netcdf(
    path: str | Path, variable: str | None = None, at: str | None = None, **options: Unpack[NetcdfOptions]
) -> pd.Series:
    """One series of a NetCDF/CF file: `variable` (see `read_netcdf_frame`), at the gauge or subbasin `at`."""
    frame = read_netcdf_frame(path, variable, **options)
    if at is not None:
        if at not in frame.columns:
            raise RecordError(
                f"{path}: no {at!r} along the variable's second dimension (there are {list(frame.columns)})"
            )
        frame = frame[[at]]
    return _single(frame, path, "choose one with at=")


def read_rain_csv(
    path: str | Path,
    *,
    column: str | int | None = None,
    missing: RainPolicy = "raise",
    **options: Unpack[CsvOptions],
) -> pd.Series:
    """Gross rainfall depths per step from a CSV file: timestamps (interval starts) in the first column.

    Timestamps are ISO 8601, with or without a UTC offset (an offset is kept as the index's time
    zone), unless `date_format` or `dayfirst` says otherwise. Missing values and timestamps follow
    `missing` (see the module); lines starting with '#' are comments. The other options (separator,
    decimal mark, units, ...) are those of `rainmill_models.readers.read_csv_frame`.
    """
    series = read_csv(path, column, **options)
    return _keep_attrs(fill_rain(series, missing, name=str(path)), series)


def read_flow_csv(
    path: str | Path,
    *,
    column: str | int | None = None,
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
