"""`python -m rainmill_models calibrate`: fit a model file to an observed hydrograph.

The parameters file is TOML: each parameter's path in the model description
with its [low, high] bounds (durations in hours), written either as quoted
keys or as nested tables, optionally under a ``[parameters]`` table::

    "basin.loss.constant_rate" = [0.02, 0.4]
    basin.transform.tc = [1.0, 8.0]
"""

from __future__ import annotations

import argparse
import sys
import tomllib
from pathlib import Path
from typing import Any

from .calibration import OBJECTIVES, calibrate
from .description import Model, ModelError
from .search import METHODS
from .timeseries import read_flow_csv, read_rain_csv


def read_parameters(path: Path) -> dict[str, tuple[float, float]]:
    """The bounds of a parameters file, by dotted path, in the file's order."""
    try:
        data = tomllib.loads(path.read_text(encoding="utf-8"))
    except tomllib.TOMLDecodeError as error:
        raise ModelError("", f"{path}: not a valid TOML document: {error}") from error
    table = data.get("parameters", data)
    found: dict[str, tuple[float, float]] = {}

    def walk(node: dict[str, Any], prefix: str) -> None:
        for key, value in node.items():
            name = f"{prefix}{key}"
            if isinstance(value, dict):
                walk(value, name + ".")
            elif (
                isinstance(value, list)
                and len(value) == 2
                and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value)
            ):
                found[name] = (float(value[0]), float(value[1]))
            else:
                raise ModelError(name, f"{path}: expected a pair of numbers [low, high]")

    walk(table, "")
    if not found:
        raise ModelError("", f"{path}: no parameters to calibrate")
    return found


def _executor(text: str) -> str | int | None:
    if text == "serial":
        return None
    if text.isdigit():
        return int(text)
    if text in ("threads", "processes"):
        return text
    raise argparse.ArgumentTypeError(f"expected serial, threads, processes or a number of processes, not {text!r}")


def add_command(subparsers: Any) -> None:
    """Register the `calibrate` subcommand."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "calibrate",
        help="fit a model's parameters to an observed hydrograph",
        description="Search the parameters named in a TOML file, within their bounds, for the best "
        "fit of the model's outflow to the observations; print the summary and write the best "
        "model file.",
    )
    parser.add_argument("model", type=Path, help="the model file (TOML)")
    parser.add_argument("--rain", type=Path, required=True, help="gross rainfall CSV")
    parser.add_argument("--observed", type=Path, required=True, help="observed flow CSV")
    parser.add_argument("--parameters", type=Path, required=True, help="TOML file: parameter path = [low, high]")
    parser.add_argument("--out", type=Path, help="write the best model to this TOML file")
    parser.add_argument("--objective", choices=OBJECTIVES, default="kge", help="the score to fit (default: kge)")
    parser.add_argument(
        "--method", choices=sorted(set(METHODS.values())), default="differential_evolution", help="the optimiser"
    )
    parser.add_argument("--seed", type=int, help="seed of the search, for a repeatable result")
    parser.add_argument("--window", nargs=2, metavar=("START", "END"), help="score only between these times (ISO 8601)")
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
    parser.add_argument("--maxiter", type=int, help="the optimiser's iteration limit")
    parser.add_argument("--history", type=Path, help="write every evaluation to this CSV file")
    parser.add_argument("--plot", type=Path, help="write the figure to this PNG file")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.set_defaults(handler=calibrate_command)


def calibrate_command(args: argparse.Namespace) -> int:
    """The `calibrate` subcommand; returns the exit status."""
    model = Model.load(args.model)
    rain = read_rain_csv(args.rain)
    observed = read_flow_csv(args.observed, missing="raise" if args.missing == "raise" else "keep")
    bounds = read_parameters(args.parameters)
    result = calibrate(
        model,
        rain,
        observed,
        bounds,
        objective=args.objective,
        window=None if args.window is None else tuple(args.window),
        method=args.method,
        seed=args.seed,
        executor=args.executor,
        progress=not args.no_progress,
        missing=args.missing,
        options=None if args.maxiter is None else {"maxiter": args.maxiter},
    )
    print(result.summary())
    if args.out is not None:
        result.model.save(args.out)
        print(f"\nBest model written to {args.out}")
    if args.history is not None:
        result.history.to_csv(args.history)
        print(f"History written to {args.history}")
    if args.plot is not None:
        try:
            figure = result.plot()
        except ImportError as error:
            print(f"No figure: {error}", file=sys.stderr)
            return 2
        figure.savefig(args.plot, dpi=120)
        print(f"Figure written to {args.plot}")
    return 1 if result.interrupted else 0
