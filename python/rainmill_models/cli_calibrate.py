"""`python -m rainmill_models calibrate`: fit a model file to an observed hydrograph.

The parameters file is TOML: each parameter's path in the model description
with its [low, high] bounds (durations in hours), written either as quoted
keys or as nested tables, optionally under a ``[parameters]`` table::

    "basin.loss.constant_rate" = [0.02, 0.4]
    basin.transform.tc = [1.0, 8.0]

Ctrl-C stops the search: the outputs then hold the best evaluation so far and
the exit status is 130. A calibration in which no evaluation could be scored
(a best score that is not finite) writes nothing and fails.
"""

from __future__ import annotations

import argparse
import math
import os
import tomllib
from pathlib import Path
from typing import Any

from .calibration import OBJECTIVES, calibrate
from .cli_common import (
    INTERRUPTED,
    Outputs,
    UsageError,
    figure_writer,
    load_model,
    needs_matplotlib,
    on_clock,
    read_observed,
    read_rain,
    reading,
    running,
    say,
    timestamp,
    whole,
)
from .description import Model, ModelError, get_parameter
from .files import read_text
from .search import METHODS


def read_parameters(path: Path) -> dict[str, tuple[float, float]]:
    """The bounds of a parameters file, by dotted path, in the file's order; finite, with low < high."""
    with reading(path):
        try:
            data = tomllib.loads(read_text(path))
        except tomllib.TOMLDecodeError as error:
            raise ModelError("", f"not a valid TOML document: {error}") from error
        table = data.get("parameters", data)
        found: dict[str, tuple[float, float]] = {}

        def walk(node: dict[str, Any], prefix: str) -> None:
            for key, value in node.items():
                name = f"{prefix}{key}"
                if isinstance(value, dict):
                    walk(value, name + ".")
                    continue
                if not (
                    isinstance(value, list)
                    and len(value) == 2
                    and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value)
                ):
                    raise ModelError(name, "expected a pair of numbers [low, high]")
                low, high = (float(v) for v in value)  # a huge integer overflows here: said in one line
                if not (math.isfinite(low) and math.isfinite(high) and low < high):
                    raise ModelError(name, f"the bounds must be finite with low < high, not [{low:g}, {high:g}]")
                found[name] = (low, high)

        walk(table, "")
        if not found:
            raise ModelError("", "no parameters to calibrate")
    return found


def check_paths(bounds: dict[str, tuple[float, float]], model: Model, path: Path) -> None:
    """Refuse a parameter the model does not have, naming the parameters file."""
    for name in bounds:
        with reading(path):
            get_parameter(model, name)


def _executor(text: str) -> str | int | None:
    if text == "serial":
        return None
    if text in ("threads", "processes"):
        return text
    limit = 4 * (os.cpu_count() or 1)
    try:
        return whole(1, limit)(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(
            f"expected serial, threads, processes or a number of processes from 1 to {limit}, not {text!r}"
        ) from None


def add_command(subparsers: Any) -> None:
    """Register the `calibrate` subcommand."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "calibrate",
        help="fit a model's parameters to an observed hydrograph",
        description="Search the parameters named in a TOML file, within their bounds, for the best "
        "fit of the model's outflow to the observations; print the summary and write the best "
        "model file. The outputs are written all or nothing; an output given as a directory receives "
        "a file named after the model. Ctrl-C stops the search and writes the best so far (exit status 130).",
    )
    parser.add_argument("model", type=Path, help="the model file (TOML)")
    parser.add_argument("--rain", type=Path, required=True, help="gross rainfall CSV")
    parser.add_argument("--observed", type=Path, required=True, help="observed flow CSV")
    parser.add_argument("--parameters", type=Path, required=True, help="TOML file: parameter path = [low, high]")
    parser.add_argument("--out", help="write the best model to this TOML file (MODEL.best.toml in a directory)")
    parser.add_argument("--objective", choices=OBJECTIVES, default="kge", help="the score to fit (default: kge)")
    parser.add_argument(
        "--method", choices=sorted(set(METHODS.values())), default="differential_evolution", help="the optimiser"
    )
    parser.add_argument("--seed", type=whole(0), help="seed of the search (>= 0), for a repeatable result")
    parser.add_argument(
        "--window",
        nargs=2,
        type=timestamp,
        metavar=("START", "END"),
        help="score only between these times (ISO 8601; without an offset, on the observations' clock)",
    )
    parser.add_argument(
        "--missing",
        choices=["raise", "drop"],
        default="raise",
        help="missing observations: refuse (default) or leave out of the score",
    )
    parser.add_argument(
        "--executor",
        type=_executor,
        default=None,
        help="serial (default), threads, processes, or a number of processes",
    )
    parser.add_argument("--maxiter", type=whole(1), help="the optimiser's iteration limit")
    parser.add_argument("--history", help="write every evaluation to this CSV file (MODEL.history.csv in a directory)")
    parser.add_argument(
        "--plot",
        help="write the figure to this file, PNG unless its suffix says (MODEL.calibration.png in a directory)",
    )
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.set_defaults(handler=calibrate_command)


def calibrate_command(args: argparse.Namespace) -> int:
    """The `calibrate` subcommand; returns the exit status."""
    outputs = Outputs()
    stem = args.model.stem or "model"
    out = outputs.target("--out", args.out, f"{stem}.best.toml")
    history = outputs.target("--history", args.history, f"{stem}.history.csv")
    plot = outputs.target("--plot", args.plot, f"{stem}.calibration.png")
    needs_matplotlib("--plot", plot)
    model = load_model(args.model)
    rain = read_rain(args.rain)
    observed = read_observed(args.observed, args.missing, rain, args.rain)
    bounds = read_parameters(args.parameters)
    check_paths(bounds, model, args.parameters)
    window = None
    if args.window is not None:
        start, end = (on_clock(w, observed.index, "--window", args.observed) for w in args.window)
        if not start < end:
            raise UsageError(f"--window: the start {start.isoformat()} must come before the end {end.isoformat()}")
        window = (start, end)
    with running(args.model, args.rain, args.observed, args.parameters):
        result = calibrate(
            model,
            rain,
            observed,
            bounds,
            objective=args.objective,
            window=window,
            method=args.method,
            seed=args.seed,
            executor=args.executor,
            progress=not args.no_progress,
            missing=args.missing,
            options=None if args.maxiter is None else {"maxiter": args.maxiter},
        )
    if not math.isfinite(result.score):
        if result.interrupted:
            say(f"\ninterrupted after {result.evaluations} evaluations, none of them scored; nothing written")
            return INTERRUPTED
        raise UsageError(
            f"{args.observed}: no evaluation could be scored (best {result.objective} = {result.score} after "
            f"{result.evaluations} evaluations); check the observations and the bounds"
        )
    print(result.summary())
    if out is not None:
        outputs.add(out, result.model.save)
    if history is not None:
        outputs.add(history, result.history.to_csv)
    if plot is not None:
        outputs.add(plot, figure_writer(result.plot(), dpi=120))
    for path in outputs.write():
        print(f"Written: {path}")
    if result.interrupted:
        say(f"\ninterrupted: stopped after {result.evaluations} evaluations; the outputs hold the best so far")
        return INTERRUPTED
    return 0
