"""`python -m rainmill_models run`: a model file and CSV files in, a summary, CSV results and a figure out."""

from __future__ import annotations

import argparse

import pandas as pd

from ..io.forcing import run_step
from ..io.states import final_states, save_states
from ..metrics import scores
from ..periods import resolve_period
from .common import Outputs, UsageError, add_output, on_clock, running, timestamp
from .inputs import Inputs, add_arguments, add_missing, read_inputs, scores_text

HELP = "run a model (a network or a single chain) on its forcing"
DESCRIPTION = (
    "Run the model of a TOML file on rainfall (one column for every subbasin, or one per subbasin), with "
    "potential evapotranspiration and temperature for a continuous model, and print peaks, volumes, the water "
    "balance of every element and (with --observed) the scores at each gauge beside the benchmarks a trivial "
    f"model reaches. {Outputs.NOTE}"
)


def arguments(parser: argparse.ArgumentParser) -> None:
    """The arguments of `run`."""
    add_arguments(parser, observed_required=False)
    add_missing(
        parser, "--observed-missing", "--missing", treat="drop", what="observations", how="leave out of the scores"
    )
    parser.add_argument(
        "--end",
        type=timestamp,
        help="last time of the run (ISO 8601; without an offset, on the rain's clock), at most the model's "
        "options.max_horizon hours past the end of the forcing; default: until the outflow recedes",
    )
    parser.add_argument("--units", choices=["US", "SI"], help="units of the results (default: the model's)")
    add_output(parser, "--out", "results.csv", "write every series to this CSV file, columns named element.variable")
    add_output(
        parser,
        "--plot",
        "png",
        "write the hydrographs at the gauges (else the outlets) to this file, PNG unless its suffix says",
    )
    add_output(
        parser,
        "--final-states",
        "states.json",
        "write the states where the run ends to this hot-start file (JSON), for the next run's --initial-states",
        metavar="FILE",
    )


def command(args: argparse.Namespace) -> int:
    """The `run` command; returns the exit status."""
    outputs = Outputs(args)
    given = read_inputs(args, args.observed_missing)
    end = None if args.end is None else on_clock(args.end, given.clock, "--end", args.rain or args.forcing)
    covered = _observed_end(given, args.observed_period)
    if end is None and (given.temperature is not None or not isinstance(given.potential_et, int | None)):
        # ET and temperature end with their records (0, no ET, has none): a continuous run stops there (or at
        # the observations')
        end = covered if covered is not None else pd.Timestamp(given.clock[-1])
    last = end if end is not None else covered
    if last is not None:
        what = "the observations (their last time)" if args.end is None else f"--end {args.end.isoformat()}"
        _within_horizon(given, last, what)
    with running(args.model, *given.sources):
        result = given.model.run(given.rain, **given.forcing(), end=end, units=args.units)
        if covered is not None and end is None and covered > result.index[-1]:
            result = given.model.run(given.rain, **given.forcing(), end=covered, units=args.units)
    print(result.summary())
    if given.observed:
        fit = scores(result, given.observed, missing=args.observed_missing, observed_period=args.observed_period)
        print("\n" + scores_text(fit, given.files))
    outputs.add("--out", result.to_csv)
    outputs.add_figure("--plot", lambda: result.plot(given.observed, list(given.observed) or None), dpi=80)
    outputs.add(
        "--final-states",
        lambda path: save_states(path, final_states(result), time=(result.index[-1] + result.step).isoformat()),
    )
    outputs.write()
    return 0


def _observed_end(given: Inputs, period: str | None) -> pd.Timestamp | None:
    """The time the run must reach to score every observation: the last one, or the end of its period."""
    last: pd.Timestamp | None = None
    step = _step(given).total_seconds() if period is not None and given.observed else 0.0
    for series in given.observed.values():
        end = pd.Timestamp(series.index[-1])
        if period is not None:
            length = resolve_period(pd.DatetimeIndex(series.index), period, step)
            end = end if length is None else pd.Timestamp(end + length)
        last = end if last is None or end > last else last
    return last


def _step(given: Inputs) -> pd.Timedelta:
    return pd.Timedelta(seconds=run_step(given.model, given.rain, inflows=given.inflows))


def _within_horizon(given: Inputs, end: pd.Timestamp, what: str) -> None:
    """Refuse a run beyond options.max_horizon hours past the forcing before any of it is computed."""
    index = given.clock
    forced = pd.Timestamp(index[-1]) + (_step(given) if len(index) < 2 else index[-1] - index[-2])
    hours = float(given.model.options.max_horizon)
    if end > forced + pd.Timedelta(hours=hours):
        past = (end - forced) / pd.Timedelta(hours=1)
        raise UsageError(
            f"{what}: {past:.6g} h past the end of the forcing ({forced.isoformat()}), beyond the model's "
            f"options.max_horizon of {hours:g} h; give forcing that long, or raise max_horizon in its [options]"
        )
