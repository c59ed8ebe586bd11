"""`python -m rainmill_models run`: a model file and CSV files in, a summary, CSV results and a figure out."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from .description import Model
from .metrics import scores
from .timeseries import read_flow_csv, read_rain_csv


def add_command(subparsers: Any) -> None:
    """Register the `run` subcommand."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "run",
        help="run an event model on a rainfall record",
        description="Run the event model of a TOML file on a rainfall CSV file and print peaks, volumes, "
        "the mass balance and (with --observed) the scores.",
    )
    parser.add_argument("model", type=Path, help="the model file (TOML)")
    parser.add_argument("--rain", type=Path, required=True, help="gross rainfall CSV: timestamp, depth per step")
    parser.add_argument(
        "--rain-missing",
        choices=["raise", "zero"],
        default="raise",
        help="missing rain: refuse (default) or count as none",
    )
    parser.add_argument("--observed", type=Path, help="observed flow CSV: timestamp, flow")
    parser.add_argument(
        "--observed-missing",
        choices=["raise", "drop"],
        default="raise",
        help="missing observations: refuse (default) or leave out of the scores",
    )
    parser.add_argument("--end", help="last time of the run (ISO 8601); default: until the outflow recedes")
    parser.add_argument("--units", choices=["US", "SI"], help="units of the results (default: the model's)")
    parser.add_argument("--out", type=Path, help="write every series to this CSV file")
    parser.add_argument("--plot", type=Path, help="write the figure to this PNG file (needs matplotlib)")
    parser.set_defaults(handler=run_command)


def run_command(args: argparse.Namespace) -> int:
    """The `run` subcommand; returns the exit status."""
    model = Model.load(args.model)
    rain = read_rain_csv(args.rain, missing=args.rain_missing)
    observed = None
    if args.observed is not None:
        observed = read_flow_csv(args.observed, missing="raise" if args.observed_missing == "raise" else "keep")
    result = model.run(rain, end=args.end, units=args.units)
    if observed is not None and args.end is None and observed.index[-1] > result.index[-1]:
        result = model.run(rain, end=observed.index[-1], units=args.units)
    fit = scores(result.outflow, observed, missing=args.observed_missing) if observed is not None else None
    print(result.summary(fit))
    if args.out is not None:
        result.to_csv(args.out)
        print(f"\nResults written to {args.out}")
    if args.plot is not None:
        from .plot import PlottingUnavailable

        try:
            result.plot(observed, path=args.plot)
        except PlottingUnavailable as error:
            print(f"No figure: {error}", file=sys.stderr)
            return 2
        print(f"Figure written to {args.plot}")
    return 0
