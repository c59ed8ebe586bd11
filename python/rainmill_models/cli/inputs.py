"""What the commands read: a model file of either layout, forcing files, observations at gauges.

- The model file: a network (one table per element) or a single chain (`[basin]`, `[reach]`,
  `[reservoir]`), which keeps its own parameter paths ("basin.loss.constant_rate").
- Forcing files (rain, and the sources' inflows): CSV with the time in the first column and either
  one value column, given to every subbasin (or source), or one column per subbasin (or source),
  named after it. With `--rain-weights` (TOML: one table per subbasin, gauge = weight) the rain
  file's columns are gauges instead, and each subbasin gets the weighted sum of their series.
- Observations: `--observed NAME=FILE` for the element NAME, repeated for several gauges;
  `--observed FILE` alone is the network's outlet (there must be exactly one).

Every fault of a file is reported in one line naming it (see `cli_common.reading`).
"""

from __future__ import annotations

import argparse
import tomllib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Literal

import pandas as pd

from ..errors import ModelError
from ..io.files import check_input, read_text
from ..io.forcing import weighted_rain
from ..io.readers import read_csv_frame, read_flow_csv, read_rain_csv
from ..io.timeseries import TimeSeriesError, fill_flow, fill_rain
from ..network import Network
from .common import UsageError, reading, same_clock

Forcing = pd.Series | pd.DataFrame


def named_file(text: str) -> tuple[str | None, Path]:
    """An argument NAME=FILE (or a bare FILE, when it exists or names no element)."""
    name, sep, rest = text.partition("=")
    if not sep or "/" in name or Path(text).exists():
        return None, Path(text)
    if not name or not rest:
        raise argparse.ArgumentTypeError(f"expected NAME=FILE, not {text!r}")
    return name, Path(rest)


def named_weight(text: str) -> tuple[str, float]:
    """An argument NAME=WEIGHT, the weight a finite number >= 0."""
    name, _, value = text.partition("=")
    try:
        weight = float(value)
    except ValueError:
        weight = float("nan")
    if not name or not weight >= 0 or weight == float("inf"):
        raise argparse.ArgumentTypeError(f"expected NAME=WEIGHT with a finite weight >= 0, not {text!r}")
    return name, weight


def add_arguments(parser: argparse.ArgumentParser, *, observed_required: bool) -> None:
    """The arguments of the model and its data, shared by the commands."""
    parser.add_argument("model", type=Path, help="the model file (TOML): a network, or a single chain")
    parser.add_argument(
        "--rain",
        type=Path,
        required=True,
        help="gross rainfall CSV: timestamp, then depth per step in one column (every subbasin) or one column "
        "per subbasin named after it",
    )
    parser.add_argument(
        "--rain-missing",
        choices=["raise", "zero"],
        default="raise",
        help="missing rain: refuse (default) or count as none",
    )
    parser.add_argument(
        "--rain-weights",
        type=Path,
        help="TOML file of gauge weights per subbasin ([subbasin] gauge = weight); the rain file's columns are "
        "then gauges",
    )
    parser.add_argument(
        "--inflows", type=Path, help="the sources' hydrographs (CSV: one column, or one per source named after it)"
    )
    parser.add_argument(
        "--observed",
        type=named_file,
        action="append",
        required=observed_required,
        metavar="[NAME=]FILE",
        help="observed flow CSV at the element NAME (repeat for several gauges); a FILE alone is the outlet's",
    )


def load_model(path: Path) -> Network:
    """The network of a TOML file (an older single-chain file as its up to three elements)."""
    with reading(path):
        text = read_text(path)
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            raise ModelError("", f"not a valid TOML document: {error}") from error
        return Network.from_dict(data)


def read_forcing(path: Path, names: Sequence[str] | None, what: str, read: SeriesReader) -> Forcing:
    """One series for every element, or a DataFrame with a column per element (named after it).

    The file is parsed once for all its columns (a thousand subbasins are a thousand columns), each
    column then checked as the reader checks one series. `names` None takes every column as it is.
    """
    with reading(path):
        frame = read_csv_frame(check_input(path))
        columns = [str(c) for c in frame.columns]
        if len(columns) == 1:
            return read.check(frame.iloc[:, 0], str(path))
        names = columns if names is None else list(names)
        unknown = [c for c in columns if c not in names]
        missing = [n for n in names if n not in columns]
        if unknown or missing:
            raise TimeSeriesError(
                f"{path}: the columns must be one per {what} ({', '.join(names) or 'none'})"
                + (f"; unknown: {', '.join(unknown)}" if unknown else "")
                + (f"; missing: {', '.join(missing)}" if missing else "")
            )
        frame.columns = pd.Index(columns)
        return pd.concat({name: read.check(frame[name], f"{path} column {name}") for name in names}, axis=1)


@dataclass(frozen=True)
class SeriesReader:
    """How one kind of series is read from a CSV file and checked: rain (interval depths) or flows (points)."""

    kind: Literal["rain", "flow"]
    missing: str

    @property
    def policy(self) -> Any:
        """The reader's missing-data policy: flows kept with their gaps when they are to be dropped."""
        return self.missing if self.kind == "rain" or self.missing == "raise" else "keep"

    def __call__(self, path: Path, column: str | None = None) -> pd.Series:
        """The series of `column` (or the only one) of a checked input file."""
        reader = read_rain_csv if self.kind == "rain" else read_flow_csv
        return reader(check_input(path), column=column, missing=self.policy)

    def check(self, series: pd.Series, name: str) -> pd.Series:
        """A series read otherwise, checked as the reader checks its own."""
        return (
            fill_rain(series, self.policy, name=name)
            if self.kind == "rain"
            else fill_flow(series, self.policy, name=name)
        )


def read_weights(path: Path) -> dict[str, dict[str, float]]:
    """Gauge weights per subbasin from a TOML file: `[subbasin]` tables of `gauge = weight`."""
    with reading(path):
        data = tomllib.loads(read_text(path))
        weights: dict[str, dict[str, float]] = {}
        for subbasin, table in data.items():
            if not isinstance(table, dict) or not all(
                isinstance(w, (int, float)) and not isinstance(w, bool) for w in table.values()
            ):
                raise ModelError(subbasin, "expected a table of gauge = weight")
            weights[subbasin] = {gauge: float(w) for gauge, w in table.items()}
        return weights


@dataclass(frozen=True)
class Inputs:
    """The model and its data, as the command line read them."""

    model: Network
    rain: Forcing | dict[str, pd.Series]
    inflows: Forcing | None
    observed: dict[str, pd.Series]  # by gauge element, each on the rain's clock
    files: dict[str, Path]  # the file of each gauge

    @property
    def network(self) -> Network:
        """The model as a network."""
        return self.model

    @property
    def clock(self) -> pd.Index:
        """The rain's time index, on whose clock the other times are read."""
        return next(iter(self.rain.values())).index if isinstance(self.rain, dict) else self.rain.index


def read_inputs(args: argparse.Namespace, observed_missing: str) -> Inputs:
    """Read the model, the forcing and the observations that `args` name; refuse what does not fit."""
    model = load_model(args.model)
    network = model
    subbasins = list(network.subbasins())
    rain: Forcing | dict[str, pd.Series]
    if args.rain_weights is not None:
        weights = read_weights(args.rain_weights)
        gauges = read_forcing(args.rain, None, "gauge", SeriesReader("rain", args.rain_missing))
        frame = gauges.to_frame() if isinstance(gauges, pd.Series) else gauges
        with reading(args.rain_weights):
            rain = weighted_rain(frame, weights)
    else:
        rain = read_forcing(args.rain, subbasins, "subbasin", SeriesReader("rain", args.rain_missing))
    clock = next(iter(rain.values())) if isinstance(rain, dict) else rain
    inflows = None
    if args.inflows is not None:
        inflows = read_forcing(args.inflows, network.sources(), "source", SeriesReader("flow", "raise"))
        same_clock(inflows, args.inflows, clock, args.rain)
    elif network.sources():
        raise UsageError(f"{args.model}: the sources {', '.join(network.sources())} need --inflows")
    observed: dict[str, pd.Series] = {}
    files: dict[str, Path] = {}
    for name, path in args.observed or []:
        gauge = name if name is not None else _the_outlet(network, args.model)
        if gauge not in network.elements:
            raise UsageError(f"--observed {gauge}={path}: no element {gauge!r} in {args.model}")
        if gauge in observed:
            raise UsageError(f"--observed {gauge}: given twice")
        with reading(path):
            observed[gauge] = SeriesReader("flow", observed_missing)(path)
        same_clock(observed[gauge], path, clock, args.rain)
        files[gauge] = path
    return Inputs(model, rain, inflows, observed, files)


def _the_outlet(network: Network, model: Path) -> str:
    outlets = network.outlets()
    if len(outlets) != 1:
        raise UsageError(
            f"{model}: the network has {len(outlets)} outlets ({', '.join(outlets)}); name the gauge: --observed NAME=FILE"
        )
    return outlets[0]


def scores_text(table: pd.DataFrame | Mapping[str, Mapping[str, float]], files: Mapping[str, Path]) -> str:
    """The scores at each gauge as a few lines for a terminal."""
    frame = pd.DataFrame.from_dict(dict(table), orient="index") if isinstance(table, Mapping) else table
    lines = ["Scores against the observations"]
    for gauge, row in frame.iterrows():
        lines.append(f"  {gauge!s} ({files.get(str(gauge), '')})")
        lines.append("    " + "  ".join(f"{name} {value:.4g}" for name, value in row.items()))
    return "\n".join(lines)
