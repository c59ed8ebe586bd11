"""`python -m rainmill_models storm`: a design storm written as a rainfall CSV file (or to the screen).

    storm nrcs  --type II --depth 6.2 --start 2024-06-01T00:00 [--step 15min] [--out storm.csv]
    storm table --table depths.csv --duration 24 --start ... [--depth D] [--peak 0.5]
    storm ddf   --a 2.0 --b 0.25 --c 0.8 --duration 6 --start ...
    storm user  --hyetograph mass.csv --depth 3.1 --start ...

A depth table has two columns, duration in hours and depth; a user hyetograph two columns, hours
since the start and cumulative fraction (lines starting with '#' and a header line are skipped).
"""

from __future__ import annotations

import argparse
import io
import sys
from pathlib import Path
from typing import Any

import pandas as pd

from ..errors import ModelError
from ..io.files import atomic_write, read_text
from ..storms import alternating_block_storm, ddf_curve, nrcs_storm, user_storm


def add_command(subparsers: Any) -> None:
    """Register the `storm` subcommand."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "storm",
        help="write a design storm as a rainfall CSV file",
        description="Build a design storm (NRCS 24-hour type, alternating block from a depth table or a "
        "DDF curve, or a user hyetograph) and write its depths per step as a rainfall CSV file.",
    )
    kinds = parser.add_subparsers(dest="kind", required=True, metavar="kind")
    nrcs = kinds.add_parser("nrcs", help="an NRCS 24-hour storm (types I, IA, II, III)")
    nrcs.add_argument("--type", dest="storm_type", choices=["I", "IA", "II", "III"], required=True)
    nrcs.add_argument("--depth", type=float, required=True, help="total depth (inches or mm)")
    table = kinds.add_parser("table", help="alternating block from a depth-duration table")
    table.add_argument("--table", type=Path, required=True, help="CSV: duration in hours, depth")
    ddf = kinds.add_parser("ddf", help="alternating block from a DDF curve depth = a t / (t + b)^c")
    for name in ("a", "b", "c"):
        ddf.add_argument(f"--{name}", type=float, required=True)
    for sub in (table, ddf):
        sub.add_argument("--duration", type=float, required=True, help="storm duration in hours")
        sub.add_argument("--depth", type=float, help="scale to this total depth (default: the curve's)")
        sub.add_argument("--peak", type=float, default=0.5, help="position of the peak, 0 to 1 (default 0.5)")
    user = kinds.add_parser("user", help="a hyetograph by cumulative fraction")
    user.add_argument("--hyetograph", type=Path, required=True, help="CSV: hours since start, cumulative fraction")
    user.add_argument("--depth", type=float, required=True, help="total depth (inches or mm)")
    for sub in (nrcs, table, ddf, user):
        sub.add_argument("--start", required=True, help="time of the storm's start (ISO 8601)")
        sub.add_argument("--step", default="15min", help="time step, e.g. 5min, 15min, 1h (default 15min)")
        sub.add_argument("--out", type=Path, help="write the CSV here (default: the screen)")
        sub.set_defaults(handler=storm_command)


def _two_columns(path: Path, what: str) -> tuple[list[float], list[float]]:
    """The two numeric columns of a small CSV file (comments and a header line skipped)."""
    frame = pd.read_csv(io.StringIO(read_text(path)), comment="#", header=None)
    if frame.shape[1] != 2:
        raise ModelError(str(path), f"{what} needs two columns, found {frame.shape[1]}")
    try:
        numbers = frame.apply(pd.to_numeric, errors="coerce")
        if numbers.iloc[0].isna().any():
            numbers = numbers.iloc[1:]
        if numbers.isna().to_numpy().any():
            raise ValueError
    except ValueError:
        raise ModelError(str(path), f"{what} must hold numbers only") from None
    return [float(v) for v in numbers.iloc[:, 0]], [float(v) for v in numbers.iloc[:, 1]]


def build_storm(args: argparse.Namespace) -> pd.Series:
    """The storm the parsed arguments describe."""
    if args.kind == "nrcs":
        return nrcs_storm(args.storm_type, args.depth, args.start, args.step)
    if args.kind == "user":
        hours, fractions = _two_columns(args.hyetograph, "a hyetograph")
        return user_storm(hours, fractions, args.depth, args.start, args.step)
    if args.kind == "table":
        durations, depths = _two_columns(args.table, "a depth table")
        curve: Any = dict(zip(durations, depths, strict=True))
    else:
        curve = ddf_curve(args.a, args.b, args.c)
    return alternating_block_storm(curve, args.duration, args.start, args.step, depth=args.depth, peak=args.peak)


def storm_command(args: argparse.Namespace) -> int:
    """The `storm` subcommand; returns the exit status."""
    storm = build_storm(args)
    stamps = [stamp.isoformat() for stamp in storm.index]
    text = "time,rain\n" + "".join(f"{stamp},{depth!r}\n" for stamp, depth in zip(stamps, storm.tolist(), strict=True))
    if args.out is None:
        sys.stdout.write(text)
        return 0
    with atomic_write(args.out) as handle:
        handle.write(text)
    print(f"{len(storm)} steps, {storm.sum():.4g} in total, written to {args.out}")
    return 0
