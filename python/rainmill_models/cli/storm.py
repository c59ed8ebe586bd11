"""`python -m rainmill_models storm`: a design storm written as a rainfall CSV file (or to the screen).

    storm nrcs  --type II --depth 6.2 --units in --start 2024-06-01T00:00 [--step 15min] [--out storm.csv]
    storm table --table depths.csv --duration 24 --units mm --start ... [--depth D] [--peak 0.5]
    storm ddf   --a 2.0 --b 0.25 --c 0.8 --duration 6 --units in --start ...
    storm user  --hyetograph mass.csv --depth 3.1 --units mm --start ...

A depth table has two columns, duration in hours and depth; a user hyetograph two columns, hours
since the start and cumulative fraction (lines starting with '#' are skipped, and a first line
that is not numbers is a header). The file written has the depth's unit on the line after its
header (a units row, which `read_rain_csv` reads), so the storm is read back with its unit.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
from pathlib import Path
from typing import Any

import pandas as pd

from ..errors import ModelError
from ..io.files import InputFileError, read_text
from ..io.writers import csv_text, write_csv
from ..storms import MAX_STEPS, alternating_block_storm, ddf_curve, nrcs_storm, user_storm
from .common import UsageError

HELP = "write a design storm as a rainfall CSV file"
DESCRIPTION = (
    "Build a design storm (NRCS 24-hour type, alternating block from a depth table or a DDF curve, or a user "
    "hyetograph) and write its depths per step as a rainfall CSV file with a units row. A storm holds at most "
    f"{MAX_STEPS:.0e} steps."
)


def arguments(parser: argparse.ArgumentParser) -> None:
    """The arguments of `storm`: a subcommand for each kind of storm."""
    kinds = parser.add_subparsers(dest="kind", required=True, metavar="kind")
    nrcs = kinds.add_parser("nrcs", help="an NRCS 24-hour storm (types I, IA, II, III)")
    nrcs.add_argument("--type", choices=["I", "IA", "II", "III"], required=True)
    table = kinds.add_parser("table", help="alternating block from a depth-duration table")
    table.add_argument("--table", type=Path, required=True, help="CSV: duration in hours, depth (in --units)")
    ddf = kinds.add_parser("ddf", help="alternating block from a DDF curve depth = a t / (t + b)^c")
    for name in ("a", "b", "c"):
        ddf.add_argument(f"--{name}", type=float, required=True)
    for sub in (table, ddf):
        sub.add_argument("--duration", type=float, required=True, help="storm duration in hours")
        sub.add_argument("--depth", type=float, help="scale to this total depth (default: the curve's)")
        sub.add_argument("--peak", type=float, default=0.5, help="position of the peak, 0 to 1 (default 0.5)")
    user = kinds.add_parser("user", help="a hyetograph by cumulative fraction")
    user.add_argument("--hyetograph", type=Path, required=True, help="CSV: hours since start, cumulative fraction")
    for sub in (nrcs, user):
        sub.add_argument("--depth", type=float, required=True, help="total depth (in --units)")
    for sub in (nrcs, table, ddf, user):
        sub.add_argument("--units", required=True, help="the unit of the depths: in, mm, ... (written in the file)")
        sub.add_argument("--start", required=True, help="time of the storm's start (ISO 8601)")
        sub.add_argument("--step", default="15min", help="time step, e.g. 5min, 15min, 1h (default 15min)")
        sub.add_argument("--out", type=Path, help="write the CSV here (default: the screen)")


def _two_columns(path: Path, option: str, names: tuple[str, str]) -> list[tuple[int, float, float]]:
    """The rows (line number, first, second) of a small two-column CSV file, every field a finite number.

    Comment lines ('#') and blank lines are skipped; a first line that is not numbers is a header.
    Every refusal names the option, the file and the line.
    """
    rows: list[tuple[int, float, float]] = []
    header_seen = False
    try:
        text = read_text(path)
    except InputFileError as error:
        raise UsageError(f"{option} {error}") from None
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        where = f"{option} {path}, line {number}"
        fields = [field.strip() for field in next(csv.reader([line]))]
        values = [_number(field) for field in fields]
        if not rows and not header_seen and all(value is None for value in values):
            header_seen = True
            continue
        if len(fields) != 2:
            raise UsageError(f"{where}: {len(fields)} fields; each line gives {names[0]}, {names[1]}")
        for field, value, name in zip(fields, values, names, strict=True):
            if value is None:
                raise UsageError(f"{where}: {name} {field!r} is not a finite number")
        first, second = values
        assert first is not None and second is not None
        rows.append((number, first, second))
    if not rows:
        raise UsageError(f"{option} {path}: no rows of {names[0]}, {names[1]}")
    return rows


def _number(field: str) -> float | None:
    try:
        value = float(field)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _depth_table(path: Path) -> dict[float, float]:
    """A depth-duration table, each row checked: positive durations, each once, depths not falling."""
    rows = _two_columns(path, "--table", ("duration (h)", "depth"))
    seen: dict[float, int] = {}
    for number, duration, depth in rows:
        where = f"--table {path}, line {number}"
        if duration <= 0.0:
            raise UsageError(f"{where}: duration {duration:g} h; durations must be positive hours")
        if depth < 0.0:
            raise UsageError(f"{where}: depth {depth:g}; depths must be >= 0")
        if duration in seen:
            raise UsageError(f"{where}: duration {duration:g} h again (first on line {seen[duration]})")
        seen[duration] = number
    ordered = sorted(rows, key=lambda row: row[1])
    for (line_a, hours_a, depth_a), (line_b, hours_b, depth_b) in zip(ordered, ordered[1:]):
        if depth_b < depth_a:
            raise UsageError(
                f"--table {path}, line {line_b}: depth {depth_b:g} at {hours_b:g} h is less than {depth_a:g} at "
                f"{hours_a:g} h (line {line_a}); a depth-duration table's depths do not fall with the duration"
            )
    return {duration: depth for _, duration, depth in rows}


def build_storm(args: argparse.Namespace) -> pd.Series:
    """The storm the parsed arguments describe."""
    if args.kind == "nrcs":
        return nrcs_storm(args.type, args.depth, args.start, args.step, units=args.units)
    if args.kind == "user":
        rows = _two_columns(args.hyetograph, "--hyetograph", ("hours", "cumulative fraction"))
        hours, fractions = [row[1] for row in rows], [row[2] for row in rows]
        return user_storm(hours, fractions, args.depth, args.start, args.step, units=args.units)
    if args.kind == "table":
        table = _depth_table(args.table)
        if args.duration > max(table):
            raise UsageError(
                f"--duration {args.duration:g}: longer than the longest duration of --table {args.table} "
                f"({max(table):g} h)"
            )
        curve: Any = table
    else:
        curve = ddf_curve(args.a, args.b, args.c)
    return alternating_block_storm(
        curve, args.duration, args.start, args.step, depth=args.depth, peak=args.peak, units=args.units
    )


# The option that gives each field the storms module names in its refusals.
_OPTIONS = {"hours": "hyetograph", "fractions": "hyetograph", "table": "table"}


def command(args: argparse.Namespace) -> int:
    """The `storm` command; returns the exit status."""
    try:
        storm = build_storm(args)
    except ModelError as error:  # a field of the storms module: said as the option that gave it
        field = error.field.split("[", 1)[0]
        attribute = _OPTIONS.get(field, field)
        if not hasattr(args, attribute):
            raise
        raise UsageError(f"--{attribute} {getattr(args, attribute)}: {error.detail}") from None
    if args.out is None:
        sys.stdout.write(csv_text(storm, units_row=True))
        return 0
    write_csv(storm, args.out, units_row=True)
    print(f"{len(storm)} steps, {storm.sum():.4g} {args.units} in total, written to {args.out}")
    return 0
