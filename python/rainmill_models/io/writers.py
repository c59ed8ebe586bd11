"""Writers of results and records: CSV and NetCDF with CF attributes, written all or nothing.

Both take a Series or a DataFrame with a DatetimeIndex; units come from `units=` or from the data's
attributes, as the readers set them: a Series' `attrs["units"]`, a DataFrame's
`attrs["column_units"]` (column -> unit; a DataFrame's `attrs["units"]`, a mapping or one unit for
every column, is read too). Outputs are written all or nothing, to regular files only
(`files.atomic_write`). When `model_file` is given, the file records its name and
the SHA-256 of its contents, so that results can be traced to the description that made them.
"""

from __future__ import annotations

import hashlib
import io
import re
from collections.abc import Mapping
from datetime import UTC, datetime
from importlib import metadata
from pathlib import Path
from typing import Final

import numpy as np
import pandas as pd

from .files import atomic_path, atomic_write, read_bytes
from .records import COLUMN_UNITS, _units_for
from .units import parse_unit, registry, unit_label, unit_of

# pint's names for the units of the package's own definitions, as CF (UDUNITS) spells them.
_CF_NAMES: Final = {"cubic_feet_per_second": "ft3 s-1", "cubic_metres_per_second": "m3 s-1"}


def model_file_identity(model_file: str | Path) -> dict[str, str]:
    """The name of a model file and the SHA-256 of its contents (what the writers record)."""
    target = Path(model_file)
    digest = hashlib.sha256(read_bytes(target)).hexdigest()
    return {"model_file": target.name, "model_file_sha256": digest}


def _frame(data: pd.Series | pd.DataFrame) -> pd.DataFrame:
    if isinstance(data, pd.Series):
        frame = data.to_frame(name=data.name if data.name is not None else "value")
        unit = unit_of(data)  # its own unit, or its entry in the frame it was taken from
        frame.attrs = {COLUMN_UNITS: {str(frame.columns[0]): unit}} if unit else {}
        return frame
    return data


def _units_of(frame: pd.DataFrame, units: str | Mapping[str, str] | None) -> dict[str, str]:
    known = frame.attrs.get(COLUMN_UNITS, frame.attrs.get("units"))  # a mapping, or one unit for every column
    found = _units_for(
        [str(column) for column in frame.columns], units, known if isinstance(known, str | Mapping) else None
    )
    return {column: unit_label(unit) for column, unit in found.items()}


def write_csv(
    data: pd.Series | pd.DataFrame,
    path: str | Path,
    *,
    units: str | Mapping[str, str] | None = None,
    units_row: bool = False,
    model_file: str | Path | None = None,
) -> Path:
    """Write a Series or DataFrame with ISO 8601 timestamps (with their offset when the index has a zone).

    `units_row=True` writes each column's unit on the line after the header (the readers take it
    as a units row); `model_file` adds comment lines with the model file's name and hash. Column
    names holding the separator or a quote are quoted, and read back as they were; a name with a
    line break is refused.
    """
    target = Path(path)
    text = csv_text(data, units=units, units_row=units_row, model_file=model_file, target=target)
    with atomic_write(target) as stream:
        stream.write(text)
    return target


def csv_text(
    data: pd.Series | pd.DataFrame,
    *,
    units: str | Mapping[str, str] | None = None,
    units_row: bool = False,
    model_file: str | Path | None = None,
    target: Path | None = None,
) -> str:
    """The text `write_csv` writes (for a screen or a stream); `target` only names the file in errors."""
    frame = _frame(data)
    _check_names(frame, target or Path("<csv>"))
    out = frame.copy()
    index = out.index
    if isinstance(index, pd.DatetimeIndex):
        stamps = np.array([stamp.isoformat() for stamp in index], dtype=object)
        out.index = pd.Index(stamps, name=index.name or "time")
    if units_row:
        labels = _units_of(frame, units)
        row = pd.DataFrame([[labels.get(str(c), "") for c in out.columns]], columns=out.columns, index=[""])
        out = pd.concat([row.astype(object), out.astype(object)])
        out.index.name = index.name or "time"
    stream = io.StringIO()
    if model_file is not None:
        for key, value in model_file_identity(model_file).items():
            stream.write(f"# {key}: {value}\n")
    out.to_csv(stream)
    return stream.getvalue()


def _check_names(frame: pd.DataFrame, target: Path) -> None:
    """Refuse names a CSV file cannot carry on its header line (quotes and separators are quoted)."""
    for name in map(str, frame.columns):
        if "\n" in name or "\r" in name:
            raise ValueError(f"{target}: column name {name!r} holds a line break, which a CSV header cannot carry")
    index = str(frame.index.name or "time")
    if index.lstrip().startswith("#") or "\n" in index or "\r" in index:
        raise ValueError(f"{target}: the index name {index!r} would make the header line a comment or break it")


def cf_units(unit: str) -> str:
    """A unit as CF (UDUNITS) writes it: `m3 s-1`, `mm`, `ft3 s-1`."""
    parts = []
    for name, power in parse_unit(unit)._units.items():
        symbol = _CF_NAMES.get(name) or registry().get_symbol(name)
        if power != 1 and name in _CF_NAMES:  # a power of a CF name of several parts: (ft3 s-1)2
            symbol = f"({symbol})"
        parts.append(symbol if power == 1 else f"{symbol}{power:g}")
    return " ".join(parts) or "1"


def _variable_name(column: str, taken: set[str]) -> str:
    name = re.sub(r"[^A-Za-z0-9_]", "_", column) or "value"
    if not name[0].isalpha():
        name = "v_" + name
    base, count = name, 1
    while name in taken:
        count += 1
        name = f"{base}_{count}"
    taken.add(name)
    return name


def write_netcdf(
    data: pd.Series | pd.DataFrame,
    path: str | Path,
    *,
    units: str | Mapping[str, str] | None = None,
    long_names: Mapping[str, str] | None = None,
    model_file: str | Path | None = None,
    title: str | None = None,
) -> Path:
    """Write a Series or DataFrame as a CF NetCDF file: one variable per column along `time`.

    Each variable carries `units` (CF spelling) and `long_name` (the column's name unless
    `long_names` gives one); the file carries `Conventions`, `title`, `source`, `history` and, with
    `model_file`, the model file's name and SHA-256. Times with a zone are written in UTC (the
    reader gives them back in UTC); naive times as they are.
    """
    import xarray as xr

    target = Path(path)
    frame = _frame(data)
    index = frame.index
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"write_netcdf needs a DatetimeIndex, not {type(index).__name__}")
    labels = _units_of(frame, units)
    aware = index.tz is not None
    times = index.tz_convert("UTC").tz_localize(None) if aware else index
    taken: set[str] = {"time"}
    variables = {}
    for column in frame.columns:
        attrs = {"long_name": (long_names or {}).get(str(column), str(column))}
        if str(column) in labels:
            attrs["units"] = cf_units(labels[str(column)])
        values = frame[column].to_numpy(dtype="float64")
        variables[_variable_name(str(column), taken)] = xr.Variable("time", values, attrs)
    dataset = xr.Dataset(variables, coords={"time": np.asarray(times.as_unit("ns"))})
    dataset["time"].attrs = {"standard_name": "time", "long_name": "time", "axis": "T"}
    if aware:
        dataset["time"].encoding["units"] = "seconds since 1970-01-01 00:00:00+00:00"
    now = datetime.now(UTC).isoformat(timespec="seconds")
    dataset.attrs = {
        "Conventions": "CF-1.10",
        "title": title or target.stem,
        "source": f"rainmill_models {_version()}",
        "history": f"{now}: written by rainmill_models",
    }
    if model_file is not None:
        dataset.attrs.update(model_file_identity(model_file))
    with atomic_path(target) as temporary:
        try:
            dataset.to_netcdf(temporary)
        except (RuntimeError, OSError) as error:  # the NetCDF library names neither the file nor the cause
            reason = getattr(error, "strerror", None) or str(error)
            if "HDF error" in reason:
                reason += "; a full disk or a file-size limit gives this"
            raise OSError(f"{target}: cannot write the NetCDF file ({reason})") from error
    return target


def _version() -> str:
    try:
        return metadata.version("rainmill")
    except metadata.PackageNotFoundError:
        return "unknown"
