"""`python -m rainmill_models run`: a model file and CSV files in, a summary, CSV results and a figure out."""

from __future__ import annotations

import argparse
from typing import Any

import pandas as pd

from ..io.states import final_states, save_states
from ..io.timeseries import infer_step
from ..metrics import scores
from ..periods import resolve_period
from .common import Outputs, UsageError, figure_writer, on_clock, running, timestamp
from .inputs import Inputs, add_arguments, read_inputs, scores_text, started


def add_command(subparsers: Any) -> None:
    """Register the `run` subcommand."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "run",
        help="run a model (a network or a single chain) on its forcing",
        description="Run the model of a TOML file on rainfall (one column for every subbasin, or one per "
        "subbasin), with potential evapotranspiration and temperature for a continuous model, and print peaks, "
        "volumes, the water balance of every element and (with --observed) the scores at each gauge beside the "
        "benchmarks a trivial model reaches. The outputs are written all or nothing; an output given as a "
        "directory receives a file named after the model.",
    )
    add_arguments(parser, observed_required=False)
    parser.add_argument(
        "--observed-missing",
        "--missing",
        choices=["raise", "drop"],
        default="raise",
        help="missing observations: refuse (default) or leave out of the scores",
    )
    parser.add_argument(
        "--end",
        type=timestamp,
        help="last time of the run (ISO 8601; without an offset, on the rain's clock), at most the model's "
        "options.max_horizon hours past the end of the forcing; default: until the outflow recedes",
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
    parser.add_argument(
        "--final-states",
        metavar="FILE",
        help="write the states where the run ends to this hot-start file (JSON), for the next run's "
        "--initial-states (MODEL.states.json in a directory)",
    )
    parser.set_defaults(handler=run_command)


def run_command(args: argparse.Namespace) -> int:
    """The `run` subcommand; returns the exit status."""
    outputs = Outputs()
    out, plot, states = outputs.targets(
        args, {"--out": "results.csv", "--plot": "png", "--final-states": "states.json"}
    )
    given = read_inputs(args, args.observed_missing)
    network, observed = started(given.network, args.initial_states), given.observed
    end = None if args.end is None else on_clock(args.end, given.clock, "--end", args.rain or args.forcing)
    covered = _observed_end(given, args.observed_period)
    if end is None and (given.potential_et is not None or given.temperature is not None):
        # ET and temperature end with their records: a continuous run stops there (or at the observations')
        end = covered if covered is not None else pd.Timestamp(given.clock[-1])
    if end is not None:
        _within_horizon(
            given, end, "the observations (their last time)" if args.end is None else f"--end {args.end.isoformat()}"
        )
    elif covered is not None:
        _within_horizon(given, covered, "the observations (their last time)")
    with running(args.model, args.initial_states, *given.sources, *given.files.values()):
        forcing = given.forcing()
        result = network.run(given.rain, **forcing, end=end, units=args.units)
        if covered is not None and end is None and covered > result.index[-1]:
            result = network.run(given.rain, **forcing, end=covered, units=args.units)
    print(result.summary())
    if observed:
        fit = scores(result, observed, missing=args.observed_missing, observed_period=args.observed_period)
        print("\n" + scores_text(fit, given.files))
    if out is not None:
        outputs.add(out, result.to_csv)
    if plot is not None:
        outputs.add(plot, figure_writer(result.plot(observed, list(observed) or None), dpi=80))
    if states is not None:
        at = (result.index[-1] + result.step).isoformat()
        outputs.add(states, lambda path: save_states(path, final_states(result), time=at))
    for path in outputs.write():
        print(f"Written: {path}")
    return 0


def _observed_end(given: Inputs, period: str | None) -> pd.Timestamp | None:
    """The time the run must reach to score every observation: the last one, or the end of its period."""
    last: pd.Timestamp | None = None
    for series in given.observed.values():
        end = pd.Timestamp(series.index[-1])
        if period is not None:
            length = resolve_period(pd.DatetimeIndex(series.index), period, _step(given).total_seconds())
            end = end if length is None else pd.Timestamp(end + length)
        last = end if last is None or end > last else last
    return last


def _step(given: Inputs) -> pd.Timedelta:
    step = given.network.options.step
    if step is not None:
        return pd.Timedelta(hours=float(step))
    return pd.Timedelta(infer_step(pd.Series(0.0, index=given.clock), name="rain"))


def _within_horizon(given: Inputs, end: pd.Timestamp, what: str) -> None:
    """Refuse a run beyond options.max_horizon hours past the forcing before any of it is computed."""
    index = given.clock
    forced = pd.Timestamp(index[-1]) + (_step(given) if len(index) < 2 else index[-1] - index[-2])
    hours = float(given.network.options.max_horizon)
    if end > forced + pd.Timedelta(hours=hours):
        past = (end - forced) / pd.Timedelta(hours=1)
        raise UsageError(
            f"{what}: {past:.6g} h past the end of the forcing ({forced.isoformat()}), beyond the model's "
            f"options.max_horizon of {hours:g} h; give forcing that long, or raise max_horizon in its [options]"
        )
