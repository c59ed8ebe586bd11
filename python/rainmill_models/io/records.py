"""What the readers share: text read from a checked file, lines kept, fields, timestamps, numbers and units.

Each reader gives pandas data with a sorted, duplicate-free `DatetimeIndex` named "time", float
values (NaN where a value is missing) and, when the unit is known, `attrs["units"]` (a unit string:
one Series) or `attrs["column_units"]` (a mapping from column to unit: a DataFrame, whose columns
each carry their own unit string once taken out with `column_of`). Bad data is refused with a
`RecordError` whose message names the file and, where there is one, the line and the timestamp.
"""

from __future__ import annotations

import csv
import io
import re
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Final, Literal

import numpy as np
import pandas as pd
from pandas.tseries.api import guess_datetime_format

from .files import InputFileError, read_bytes
from .timeseries import TimeSeriesError
from .units import UnitError, convert, parse_unit, unit_label

NonFinitePolicy = Literal["raise", "drop"]
Column = str | int
# Where the value at a position is: its place in the file, its time and its field (for a message).
Where = Callable[[int], tuple[str, pd.Timestamp, object]]

#: The DataFrame attribute that holds each column's unit (column -> unit string). A frame's `attrs`
#: are shared by the columns taken out of it (`frame["q"].attrs`), so a frame never carries
#: `attrs["units"]`: a column taken out with `column_of` (or read with `read_csv`, `read_netcdf`,
#: `read_rdb`) carries its own unit string in `attrs["units"]`.
COLUMN_UNITS: Final = "column_units"

# What counts as a missing value in a text file (besides an empty field).
MISSING_MARKERS: Final = frozenset({"", "NA", "N/A", "NaN", "nan", "NAN", "null", "NULL", "-", "--"})


# The longest line of a CSV or RDB file (Python's csv module refuses longer fields): far beyond a
# line of values, which a runaway quote or a binary file exceeds.
MAX_LINE_CHARS: Final = 131_072


class RecordError(TimeSeriesError):
    """A record file that cannot be read as it is; the message names the file, line and timestamp."""


# --- text in, lines kept -----------------------------------------------------------------------


@dataclass(frozen=True)
class _Lines:
    """The lines of a text file that carry data: (1-based line number, text), comments and blanks left out."""

    path: Path
    numbers: list[int]
    texts: list[str]

    def at(self, position: str, line: int) -> str:
        return f"{self.path}, line {line}: {position}"

    def field(self, rows: list[int], index: pd.DatetimeIndex, raw: pd.Series, column: str = "") -> Where:
        """Where value i of a column of fields (on lines `rows`, at times `index`) is."""
        return lambda i: (self.at(f"column {column!r}" if column else "", rows[i]).rstrip(": "), index[i], raw.iloc[i])


def _read_text(path: str | Path, encoding: str) -> tuple[Path, str]:
    target = Path(path)
    try:
        data = read_bytes(target)  # a regular file of bounded size
    except InputFileError as error:
        raise RecordError(str(error)) from None
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
    kept = [
        (number, line)
        for number, line in enumerate(text.splitlines(), start=1)
        if (stripped := line.strip()) and not (comment and stripped.startswith(comment))
    ]
    return _Lines(path, [number for number, _ in kept], [line for _, line in kept])


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
    longest = max(range(len(lines.texts)), key=lambda i: len(lines.texts[i]))
    if len(lines.texts[longest]) > MAX_LINE_CHARS:
        raise RecordError(
            lines.at(
                f"a line of {len(lines.texts[longest])} characters, more than the {MAX_LINE_CHARS} a record line may have",
                lines.numbers[longest],
            )
        )
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
        fields = next(csv.reader([lines.texts[first + int(row)]], delimiter=sep))
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


def _guess_format(text: str, dayfirst: bool) -> str | None:
    """The format pandas guesses for a timestamp, without its own advice on dayfirst."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return guess_datetime_format(text, dayfirst=dayfirst)


def _format_hint(raw: pd.Series) -> str:
    """A date_format that parses every timestamp, when pandas can guess one from the first."""
    first = str(raw.iloc[0]).strip()
    guesses = [
        guess for guess in dict.fromkeys(_guess_format(first, flag) for flag in (True, False)) if guess is not None
    ]
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


def _check_order(index: pd.DatetimeIndex, where: Callable[[int], str], path: Path) -> None:
    """Refuse timestamps out of order; `where(i)` places timestamp i (asked only for a refusal)."""
    diffs = np.diff(index.asi8)
    bad = np.flatnonzero(diffs <= 0)
    if bad.size:
        i = int(bad[0]) + 1
        stamp = index[i].isoformat()
        relation = "repeats" if diffs[i - 1] == 0 else "comes before"
        raise RecordError(f"{path}, {where(i)}: timestamp {stamp} {relation} the one on {where(i - 1)}; sort the file")


def _numbers(raw: pd.Series, decimal: str) -> tuple[np.ndarray, np.ndarray]:
    """The values of a column of strings, and where they are neither numbers nor missing markers."""
    text = raw.str.strip()
    missing = text.isin(MISSING_MARKERS).to_numpy()
    if decimal != ".":
        text = text.str.replace(decimal, ".", regex=False)
    values = pd.to_numeric(text.mask(missing), errors="coerce").to_numpy(dtype="float64", copy=True)
    return values, np.isnan(values) & ~missing


def _nonfinite(values: np.ndarray, policy: NonFinitePolicy, where: Where) -> None:
    """Refuse infinite values, naming the first (`where` its flat position is), or make them missing ("drop")."""
    infinite = np.isinf(values)
    if infinite.any() and policy == "raise":
        place, stamp, raw = where(int(np.argmax(infinite)))
        raise RecordError(
            f"{place} ({stamp.isoformat()}): value {raw!r} is not finite; correct it or pass nonfinite='drop'"
        )
    values[infinite] = np.nan


def _check_policy(nonfinite: str) -> None:
    if nonfinite not in ("raise", "drop"):
        raise ValueError(f"nonfinite must be 'raise' or 'drop', got {nonfinite!r}")


def _units_for(
    columns: Sequence[str], units: str | Mapping[str, str] | None, found: str | Mapping[str, str] | None
) -> dict[str, str]:
    """Each column's unit where one is known: `units` over `found`, each one unit for all or a mapping."""
    given: dict[str, str] = {}
    for layer in (found, units):
        given.update(dict.fromkeys(columns, layer) if isinstance(layer, str) else layer or {})
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
            if target is not None:
                frame[column] = convert(frame[column], target, units=unit, name=where).to_numpy()
            labels[str(column)] = unit_label(parse_unit(unit, what=where) if target is None else target)
        except UnitError as error:
            raise RecordError(str(error)) from None
    frame.attrs = {COLUMN_UNITS: labels}
    return frame


def _single(frame: pd.DataFrame, path: str | Path, how: str) -> pd.Series:
    if frame.shape[1] != 1:
        raise RecordError(f"{path}: several value columns {[str(c) for c in frame.columns]}; {how}")
    return column_of(frame, frame.columns[0])


def column_of(frame: pd.DataFrame, column: object) -> pd.Series:
    """A column of a reader's DataFrame as a Series carrying its own unit in `attrs["units"]` (when known)."""
    series = frame[column].copy()
    unit = (frame.attrs.get(COLUMN_UNITS) or {}).get(str(column))
    series.attrs = {"units": unit} if unit else {}
    return series
