"""Fixed-step value files: a header of `key: value` lines (start, step, units, name), then one value per line."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Final

import numpy as np
import pandas as pd

from . import records
from .records import NonFinitePolicy, RecordError

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
    records._check_policy(nonfinite)
    target, text = records._read_text(path, encoding)
    header: dict[str, tuple[int, str]] = {}
    lines = records._data_lines(target, text, "")
    body = 0
    for position, line in enumerate(lines.texts):
        found = _HEADER.match(line)
        if found is not None:
            header[found.group(1).strip().lower()] = (lines.numbers[position], found.group(2))
        elif not line.lstrip().startswith("#"):  # neither a header line nor a comment: the values
            break
        body = position + 1
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
    raw = pd.Series([text.strip() for text in lines.texts[body:]])
    several = np.flatnonzero(raw.str.contains(r"\s").to_numpy())
    if several.size:
        i = int(several[0])
        raise RecordError(lines.at(f"one value per line, found {raw.iloc[i]!r}", rows[i]))
    index = pd.date_range(start, periods=len(rows), freq=step, name="time")
    values, bad = records._numbers(raw, decimal)
    if bad.any():
        i = int(np.argmax(bad))
        raise RecordError(lines.at(f"not a number at {index[i].isoformat()}: {raw.iloc[i]!r}", rows[i]))
    records._nonfinite(values, nonfinite, lines.field(rows, index, raw))
    name = header.get("name", (0, target.stem))[1]
    frame = pd.DataFrame({name: values}, index=index)
    unit = units if units is not None else header.get("units", (0, ""))[1] or None
    frame = records._apply_units(frame, {name: unit} if unit else {}, to, target)
    series = records._single(frame, target, "")
    series.attrs["header"] = {key: value for key, (_, value) in header.items()}
    return series
