"""`python -m rainmill_models run`: a model file and CSV files in, a summary, CSV results and a figure out."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from .cli_common import (
    Outputs,
    figure_writer,
    load_model,
    needs_matplotlib,
    on_clock,
    read_observed,
    read_rain,
    running,
    timestamp,
)
from .metrics import scores


def add_command(subparsers: Any) -> None:
    """Register the `run` subcommand."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "run",
        help="run an event model on a rainfall record",
        description="Run the event model of a TOML file on a rainfall CSV file and print peaks, volumes, "
        "the mass balance and (with --observed) the scores. The outputs are written all or nothing; "
        "an output given as a directory receives a file named after the model.",
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
    parser.add_argument(
        "--end",
        type=timestamp,
        help="last time of the run (ISO 8601; without an offset, on the rain's clock); default: until the "
        "outflow recedes",
    )
    parser.add_argument("--units", choices=["US", "SI"], help="units of the results (default: the model's)")
    parser.add_argument("--out", help="write every series to this CSV file (MODEL.results.csv in a directory)")
    parser.add_argument(
        "--plot", help="write the figure to this file, PNG unless its suffix says (MODEL.png in a directory)"
    )
    parser.set_defaults(handler=run_command)


def run_command(args: argparse.Namespace) -> int:
    """The `run` subcommand; returns the exit status."""
    outputs = Outputs()
    stem = args.model.stem or "model"
    out = outputs.target("--out", args.out, f"{stem}.results.csv")
    plot = outputs.target("--plot", args.plot, f"{stem}.png")
    needs_matplotlib("--plot", plot)
    model = load_model(args.model)
    rain = read_rain(args.rain, args.rain_missing)
    observed = None if args.observed is None else read_observed(args.observed, args.observed_missing, rain, args.rain)
    end = None if args.end is None else on_clock(args.end, rain.index, "--end", args.rain)
    with running(args.model, args.rain, args.observed):
        result = model.run(rain, end=end, units=args.units)
        if observed is not None and end is None and observed.index[-1] > result.index[-1]:
            result = model.run(rain, end=observed.index[-1], units=args.units)
    fit = scores(result.outflow, observed, missing=args.observed_missing) if observed is not None else None
    print(result.summary(fit))
    if out is not None:
        outputs.add(out, result.to_csv)
    if plot is not None:
        outputs.add(plot, figure_writer(result.plot(observed), dpi=80))
    for path in outputs.write():
        print(f"Written: {path}")
    return 0
