"""`python -m rainmill_models calibrate`: fit a model file to observed hydrographs at one or more gauges.

The parameters file is TOML: each parameter's path in the model description
with its [low, high] bounds (durations in hours), written either as quoted
keys or as nested tables, optionally under a ``[parameters]`` table; a ``*``
in place of an element's name, or a table of ``paths`` with its ``bounds``,
ties several paths to one calibrated value::

    "subbasins.upper.loss.constant_rate" = [0.02, 0.4]
    subbasins.upper.transform.tc = [1.0, 8.0]
    "subbasins.*.transform.r" = [0.25, 3.0]
    "regional k" = { paths = ["reaches.a.routing.k", "reaches.b.routing.k"], bounds = [0.5, 4.0] }

A single-chain model file keeps its own paths ("basin.loss.constant_rate").
Several gauges (``--observed NAME=FILE``, repeated) are scored together by
the objective's weighted mean (``--weight NAME=W``; equal by default).
A continuous model takes ``--potential-et`` and ``--temperature`` files (or
columns of one ``--forcing`` file), a daily record ``--observed-period D``, a
warm-up is left out with ``--window``, and ``--max-evaluations`` caps the runs.

Ctrl-C stops the search: the outputs then hold the best evaluation so far and
the exit status is 130. A calibration in which no evaluation could be scored
(a best score that is not finite) writes nothing and fails.
"""

from __future__ import annotations

import argparse
import math
import os
from pathlib import Path
from typing import Any

from ..calibration.calibrate import OBJECTIVES
from ..calibration.fit import calibrate
from ..calibration.search import METHODS
from ..errors import ModelError
from ..network import Network
from ..parameters import ParameterKey, compile_parameters
from .common import INTERRUPTED, Outputs, UsageError, add_output, on_clock, reading, running, say, timestamp, whole
from .inputs import Inputs, add_arguments, add_missing, named_weight, read_inputs, read_toml, scores_text

Bounds = dict[ParameterKey, tuple[float, float]]

HELP = "fit a model's parameters to observed hydrographs at one or more gauges"
DESCRIPTION = (
    "Search the parameters named in a TOML file, within their bounds, for the best fit of the model's flows to "
    "the observations at each gauge (their weighted mean objective); print the summary and write the best model "
    f"file. {Outputs.NOTE} Ctrl-C stops the search and writes the best so far (exit status 130)."
)


def _pair(value: object, name: str) -> tuple[float, float]:
    if not (
        isinstance(value, list)
        and len(value) == 2
        and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value)
    ):
        raise ModelError(name, "expected a pair of numbers [low, high]")
    low, high = (float(v) for v in value)  # a huge integer overflows here: said in one line
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise ModelError(name, f"the bounds must be finite with low < high, not [{low:g}, {high:g}]")
    return low, high


def read_parameters(path: Path) -> Bounds:
    """The bounds of a parameters file by parameter (a path, or tied paths), in the file's order."""
    with reading(path):
        data = read_toml(path)
        found: Bounds = {}

        def walk(node: dict[str, Any], prefix: str) -> None:
            for key, value in node.items():
                name = f"{prefix}{key}"
                if isinstance(value, dict) and set(value) == {"paths", "bounds"}:
                    paths = value["paths"]
                    if not (isinstance(paths, list) and paths and all(isinstance(p, str) for p in paths)):
                        raise ModelError(f"{name}.paths", "expected a list of parameter paths")
                    found[tuple(paths)] = _pair(value["bounds"], f"{name}.bounds")
                elif isinstance(value, dict):
                    walk(value, name + ".")
                else:
                    found[name] = _pair(value, name)

        walk(data.get("parameters", data), "")
        if not found:
            raise ModelError("", "no parameters to calibrate")
    return found


def check_parameters(bounds: Bounds, model: Network, path: Path) -> None:
    """Refuse a parameter the model does not have (or cannot calibrate), naming the parameters file."""
    for key in bounds:
        paths = (key,) if isinstance(key, str) else key
        with reading(path):
            compile_parameters(model, [tuple(paths)], continuous=True)


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


def arguments(parser: argparse.ArgumentParser) -> None:
    """The arguments of `calibrate`."""
    add_arguments(parser, observed_required=True)
    parser.add_argument(
        "--weight",
        type=named_weight,
        action="append",
        metavar="NAME=WEIGHT",
        help="the weight of a gauge in the objective (default: equal weights)",
    )
    parser.add_argument(
        "--parameters", type=Path, required=True, help="TOML file: parameter path (or tied paths) = [low, high]"
    )
    add_output(parser, "--out", "best.toml", "write the best model to this TOML file")
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
    add_missing(parser, "--missing", treat="drop", what="observations", how="leave out of the score")
    parser.add_argument(
        "--executor", type=_executor, help="serial (default), threads, processes, or a number of processes"
    )
    caps = {  # the search's limits, each a whole number >= 1: flag -> (metavar, help)
        "--max-evaluations": ("N", "stop after N model runs, whatever the method (the best so far is kept)"),
        "--maxiter": (
            "GENERATIONS",
            "differential evolution: the most generations after the first, each of 15 candidates per parameter "
            "(--maxiter 20 with 10 parameters is up to 3,150 runs); the other methods: their SciPy iteration limit. "
            "--max-evaluations bounds the runs themselves",
        ),
    }
    for flag, (metavar, text) in caps.items():
        parser.add_argument(flag, type=whole(1), metavar=metavar, help=text)
    add_output(parser, "--history", "history.csv", "write every evaluation to this CSV file")
    add_output(parser, "--plot", "calibration.png", "write the figure to this file, PNG unless its suffix says")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def command(args: argparse.Namespace) -> int:
    """The `calibrate` command; returns the exit status."""
    outputs = Outputs(args)
    given = read_inputs(args, args.missing)
    bounds = read_parameters(args.parameters)
    check_parameters(bounds, given.model, args.parameters)
    weights = _weights(args.weight, given)
    window = None
    if args.window is not None:
        first = args.observed[0][1]
        start, end = (on_clock(w, next(iter(given.observed.values())).index, "--window", first) for w in args.window)
        if not start < end:
            raise UsageError(f"--window: the start {start.isoformat()} must come before the end {end.isoformat()}")
        window = (start, end)
    with running(args.model, args.parameters, *given.sources):
        result = calibrate(
            given.model,
            given.rain,
            given.observed,
            bounds,
            objective=args.objective,
            window=window,
            method=args.method,
            seed=args.seed,
            executor=args.executor,
            progress=not args.no_progress,
            missing=args.missing,
            options=None if args.maxiter is None else {"maxiter": args.maxiter},
            weights=weights,
            max_evaluations=args.max_evaluations,
            observed_period=args.observed_period,
            **given.forcing(),
        )
    if not math.isfinite(result.score):
        if result.interrupted:
            say(f"\ninterrupted after {result.evaluations} evaluations, none of them scored; nothing written")
            return INTERRUPTED
        raise UsageError(
            f"{', '.join(map(str, given.files.values()))}: no evaluation gave a finite score (best {result.objective} = "
            f"{result.score} after {result.evaluations} evaluations); check the observations and the bounds"
        )
    print(result.summary())
    if len(given.observed) > 1 and result.gauges is not None:
        print("\n" + scores_text(result.gauges, given.files))
    outputs.add("--out", result.model.save)
    outputs.add("--history", result.history.to_csv)
    outputs.add_figure("--plot", result.plot, dpi=120)
    outputs.write()
    if result.interrupted:
        say(f"\ninterrupted: stopped after {result.evaluations} evaluations; the outputs hold the best so far")
        return INTERRUPTED
    return 0


def _weights(given: list[tuple[str, float]] | None, inputs: Inputs) -> dict[str, float] | None:
    if not given:
        return None
    weights = dict(given)
    for name in weights:
        if name not in inputs.observed:
            raise UsageError(f"--weight {name}: not an observed gauge (they are: {', '.join(inputs.observed)})")
    if not any(weights.get(name, 1.0) > 0 for name in inputs.observed):
        raise UsageError("--weight: every gauge has a weight of 0")
    return weights
