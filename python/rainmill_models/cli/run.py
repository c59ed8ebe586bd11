"""`python -m rainmill_models run`: a model file and CSV files in, a summary, CSV results and a figure out."""

from __future__ import annotations

import argparse
from typing import Any

from ..metrics import scores
from .common import Outputs, figure_writer, needs_matplotlib, on_clock, running, timestamp
from .inputs import add_arguments, read_inputs, scores_text


def add_command(subparsers: Any) -> None:
    """Register the `run` subcommand."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "run",
        help="run a model (a network or a single chain) on its forcing",
        description="Run the model of a TOML file on rainfall (one column for every subbasin, or one per "
        "subbasin) and print peaks, volumes, the water balance of every element and (with --observed) the "
        "scores at each gauge. The outputs are written all or nothing; an output given as a directory "
        "receives a file named after the model.",
    )
    add_arguments(parser, observed_required=False)
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
    parser.add_argument(
        "--out",
        help="write every series to this CSV file, columns named element.variable (MODEL.results.csv in a directory)",
    )
    parser.add_argument(
        "--plot",
        help="write the hydrographs at the gauges (else the outlets) to this file, PNG unless its suffix says "
        "(MODEL.png in a directory)",
    )
    parser.set_defaults(handler=run_command)


def run_command(args: argparse.Namespace) -> int:
    """The `run` subcommand; returns the exit status."""
    outputs = Outputs()
    stem = args.model.stem or "model"
    out = outputs.target("--out", args.out, f"{stem}.results.csv")
    plot = outputs.target("--plot", args.plot, f"{stem}.png")
    needs_matplotlib("--plot", plot)
    given = read_inputs(args, args.observed_missing)
    network, observed = given.network, given.observed
    end = None if args.end is None else on_clock(args.end, given.clock, "--end", args.rain)
    with running(args.model, args.rain, args.inflows, *given.files.values()):
        result = network.run(given.rain, inflows=given.inflows, end=end, units=args.units)
        last = max((series.index[-1] for series in observed.values()), default=None)
        if last is not None and end is None and last > result.index[-1]:
            result = network.run(given.rain, inflows=given.inflows, end=last, units=args.units)
    print(result.summary())
    if observed:
        fit = scores(result, observed, missing=args.observed_missing)
        print("\n" + scores_text(fit, given.files))
    if out is not None:
        outputs.add(out, result.to_csv)
    if plot is not None:
        outputs.add(plot, figure_writer(result.plot(observed, list(observed) or None), dpi=80))
    for path in outputs.write():
        print(f"Written: {path}")
    return 0
