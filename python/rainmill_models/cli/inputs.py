"""What the commands read: a model file of either layout, forcing files, observations at gauges.

- The model file: a network (one table per element) or a single chain (`[basin]`, `[reach]`,
  `[reservoir]`), which keeps its own parameter paths ("basin.loss.constant_rate").
- Forcing files (rain, and the sources' inflows): CSV with the time in the first column and either
  one value column, given to every subbasin (or source), or one column per subbasin (or source),
  named after it. With `--rain-weights` (TOML: one table per subbasin, gauge = weight) the rain
  file's columns are gauges instead, and each subbasin gets the weighted sum of their series.
- Potential evapotranspiration (`--potential-et`, depth per step like rain) and air temperature
  (`--temperature`, °C) for continuous models: files laid out as the rain file, or columns of one
  `--forcing` file: `rain`, `potential_et`, `temperature` (each for every subbasin) or
  `rain.NAME`, `potential_et.NAME`, `temperature.NAME` (one per subbasin NAME).
- Observations: `--observed NAME=FILE` for the element NAME, repeated for several gauges;
  `--observed FILE` alone is the network's outlet (there must be exactly one).
- How every CSV file is read: `--sep`, `--decimal`, `--date-format`, `--dayfirst`. A line after the
  header that names each column's unit (as `write_csv(units_row=True)` writes it; recognised, or
  required with `--units-row`) has the forcing converted into the model's units (°C for
  temperatures) and the observations into the simulated flows' unit where they are scored.

Every fault of a file is reported in one line naming it (see `cli_common.reading`).
"""

from __future__ import annotations

import argparse
import tomllib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal

import pandas as pd

from ..errors import ModelError
from ..io.files import check_input, read_text
from ..io.forcing import weighted_rain
from ..io.readers import read_csv_frame, read_flow_csv, read_rain_csv
from ..io.states import load_states, start_from
from ..io.timeseries import TimeSeriesError, fill_flow, fill_rain
from ..io.units import UnitSystem, convert, label
from ..metrics import benchmark_line
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


def file_or_zero(text: str) -> Path | int:
    """A file, or 0 (for none of the series: no evapotranspiration)."""
    return 0 if text == "0" else Path(text)


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


# The series a `--forcing` file may hold, by column kind, and the flag that gives each as a file of its own.
FORCING_KINDS: dict[str, str] = {"rain": "--rain", "potential_et": "--potential-et", "temperature": "--temperature"}


def add_arguments(parser: argparse.ArgumentParser, *, observed_required: bool) -> None:
    """The arguments of the model and its data, shared by the commands."""
    parser.add_argument("model", type=Path, help="the model file (TOML): a network, or a single chain")
    parser.add_argument(
        "--rain",
        type=Path,
        help="gross rainfall CSV: timestamp, then depth per step in one column (every subbasin) or one column "
        "per subbasin named after it (required, unless --forcing holds the rain)",
    )
    parser.add_argument(
        "--potential-et",
        type=file_or_zero,
        metavar="FILE",
        help="potential evapotranspiration CSV, depth per step (a daily file is spread over the day's steps), "
        "laid out as the rain file; the soil-moisture and deficit-constant-et losses need it (0: run them "
        "without evapotranspiration)",
    )
    parser.add_argument(
        "--temperature",
        type=Path,
        help="air temperature CSV (°C, the mean of each step), laid out as the rain file; snow needs it",
    )
    parser.add_argument(
        "--forcing",
        type=Path,
        help="one CSV holding several forcings as columns: rain, potential_et, temperature (every subbasin) or "
        "rain.NAME, potential_et.NAME, temperature.NAME (per subbasin)",
    )
    add_missing(parser, "--rain-missing", treat="zero", what="rain", how="count as none")
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
    parser.add_argument(
        "--observed-period",
        metavar="PERIOD",
        help="the observations are means over periods of this length starting at their times (D: a daily "
        "record; any pandas frequency, or auto: their own step when longer than the model's): each is scored "
        "against the simulated mean over its period",
    )
    parser.add_argument(
        "--initial-states",
        type=Path,
        metavar="FILE",
        help="start from the states of a hot-start file (as run --final-states writes it)",
    )
    files = parser.add_argument_group("how the CSV files are read (every input file)")
    files.add_argument("--sep", default=",", help="the column separator (default ,)")
    files.add_argument("--decimal", default=".", help="the decimal mark (default .)")
    files.add_argument("--date-format", help="a strftime format of the timestamps (default: ISO 8601)")
    files.add_argument("--dayfirst", action="store_true", help="dates are written day first")
    files.add_argument(
        "--units-row",
        action="store_true",
        help="the line after each file's header names its columns' units (as write_csv(units_row=True) writes "
        "it); the values are converted into the model's units",
    )


def add_missing(parser: argparse.ArgumentParser, *flags: str, treat: str, what: str, how: str) -> None:
    """The option of what to do with missing values of `what`: refuse them (the default) or `treat` them (`how`)."""
    parser.add_argument(
        *flags, choices=["raise", treat], default="raise", help=f"missing {what}: refuse (default) or {how}"
    )


def read_toml(path: Path) -> dict[str, Any]:
    """The document of a TOML file; a malformed one is refused in one line."""
    text = read_text(path)
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise ModelError("", f"not a valid TOML document: {error}") from error


def load_model(path: Path) -> Network:
    """The network of a TOML file (an older single-chain file as its up to three elements).

    Read as `Network.load` reads it, so the command line warns where the file loses recharge.
    """
    with reading(path):
        return Network.from_toml(read_text(path))


def read_forcing(path: Path, names: Sequence[str] | None, what: str, read: SeriesReader) -> Forcing:
    """One series for every element, or a DataFrame with a column per element (named after it).

    The file is parsed once for all its columns (a thousand subbasins are a thousand columns), each
    column then checked as the reader checks one series. `names` None takes every column as it is.
    """
    with reading(path):
        frame = read_csv_frame(check_input(path), **read.options)
        return per_element(in_unit(frame, frame.attrs, read.unit, path), names, what, read, path)


def per_element(
    frame: pd.DataFrame, names: Sequence[str] | None, what: str, read: SeriesReader, path: Path, prefix: str = ""
) -> Forcing:
    """The columns of `frame` (named `prefix` + element) as one series for all, or one per element."""
    columns = [str(c) for c in frame.columns]
    if len(columns) == 1 and not prefix:
        return read.check(frame.iloc[:, 0], str(path))
    names = [c.removeprefix(prefix) for c in columns] if names is None else list(names)
    unknown = [c for c in columns if c.removeprefix(prefix) not in names or not c.startswith(prefix)]
    missing = [n for n in names if prefix + n not in columns]
    if unknown or missing:
        raise TimeSeriesError(
            f"{path}: the {prefix.rstrip('.') + ' ' if prefix else ''}columns must be one per {what} "
            f"({', '.join(prefix + n for n in names) or 'none'})"
            + (f"; unknown: {', '.join(unknown)}" if unknown else "")
            + (f"; missing: {', '.join(missing)}" if missing else "")
        )
    frame.columns = pd.Index(columns)
    return pd.concat(
        {name: read.check(frame[prefix + name], f"{path} column {prefix + name}") for name in names}, axis=1
    )


@dataclass(frozen=True)
class SeriesReader:
    """How one kind of series is read from a CSV file and checked: rain (interval depths) or flows (points)."""

    kind: Literal["rain", "flow"]
    missing: str
    options: Mapping[str, Any] = field(default_factory=dict)  # of read_csv_frame: sep, units_row, ...
    unit: str | None = None  # the model's unit of the series, into which a file's units row is converted

    @property
    def policy(self) -> Any:
        """The reader's missing-data policy: flows kept with their gaps when they are to be dropped."""
        return self.missing if self.kind == "rain" or self.missing == "raise" else "keep"

    def __call__(self, path: Path, column: str | None = None) -> pd.Series:
        """The series of `column` (or the only one) of a checked input file, its faults said as the file's."""
        reader = read_rain_csv if self.kind == "rain" else read_flow_csv
        with reading(path):
            return reader(check_input(path), column=column, missing=self.policy, **self.options)

    def check(self, series: pd.Series, name: str) -> pd.Series:
        """A series read otherwise, checked as the reader checks its own."""
        return (fill_rain if self.kind == "rain" else fill_flow)(series, self.policy, name=name)


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
    potential_et: Forcing | int | None = None  # 0: none asked for
    temperature: Forcing | None = None
    sources: tuple[Path, ...] = ()  # every input file read but the model (for messages)

    def forcing(self) -> dict[str, Any]:
        """The keywords of a run or a calibration besides the rain."""
        return {"inflows": self.inflows, "potential_et": self.potential_et, "temperature": self.temperature}

    @property
    def clock(self) -> pd.Index:
        """The rain's time index, on whose clock the other times are read."""
        return next(iter(self.rain.values())).index if isinstance(self.rain, dict) else self.rain.index


def csv_options(args: argparse.Namespace) -> dict[str, Any]:
    """The options of the CSV readers that `args` set."""
    options: dict[str, Any] = {"sep": args.sep, "decimal": args.decimal, "dayfirst": args.dayfirst}
    if args.date_format is not None:
        options["date_format"] = args.date_format
    if args.units_row:
        options["units_row"] = True
    return options


def read_inputs(args: argparse.Namespace, observed_missing: str) -> Inputs:
    """Read the model, the forcing and the observations that `args` name; refuse what does not fit."""
    network = load_model(args.model)
    subbasins = list(network.subbasins())
    units: UnitSystem = network.options.units
    readers = {
        "rain": SeriesReader("rain", args.rain_missing, csv_options(args), label("depth", units)),
        "potential_et": SeriesReader("rain", "raise", csv_options(args), label("depth", units)),
        "temperature": SeriesReader("flow", "raise", csv_options(args), "degC"),
    }
    forcing = _forcing_file(args, subbasins, readers)
    given = {kind: getattr(args, kind) for kind in FORCING_KINDS}
    for kind, path in given.items():
        if path is not None and kind in forcing:
            raise UsageError(f"{FORCING_KINDS[kind]} {path}: the {kind} is in --forcing {args.forcing} already")
    if "rain" not in forcing and args.rain is None:
        raise UsageError("--rain: a rain file is required (or a rain column in --forcing)")
    rain_path = args.rain or args.forcing
    rain: Forcing | dict[str, pd.Series]
    if args.rain_weights is not None:
        if "rain" in forcing:
            raise UsageError("--rain-weights: weigh the gauges of a --rain file, not of --forcing columns")
        weights = read_weights(args.rain_weights)
        gauges = read_forcing(args.rain, None, "gauge", readers["rain"])
        frame = gauges.to_frame() if isinstance(gauges, pd.Series) else gauges
        with reading(args.rain_weights):
            rain = weighted_rain(frame, weights)
    elif "rain" in forcing:
        rain = forcing.pop("rain")
    else:
        rain = read_forcing(args.rain, subbasins, "subbasin", readers["rain"])
    clock = next(iter(rain.values())) if isinstance(rain, dict) else rain
    zero_et = given["potential_et"] == 0  # asked for: no evapotranspiration
    if zero_et:
        given["potential_et"] = None
    for kind in ("potential_et", "temperature"):
        path = given[kind]
        if path is not None:
            forcing[kind] = read_forcing(path, subbasins, "subbasin", readers[kind])
            same_clock(forcing[kind], path, clock, rain_path)
    inflows = None
    if args.inflows is not None:
        if not network.sources():
            raise UsageError(f"--inflows {args.inflows}: {args.model} has no sources to take them")
        flows = SeriesReader("flow", "raise", csv_options(args), label("flow", units))
        inflows = read_forcing(args.inflows, network.sources(), "source", flows)
        same_clock(inflows, args.inflows, clock, rain_path)
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
        # the observations keep their unit (attrs), which the scores and the calibration convert
        observed[gauge] = SeriesReader("flow", observed_missing, csv_options(args))(path)
        same_clock(observed[gauge], path, clock, rain_path)
        files[gauge] = path
    if args.initial_states is not None:
        with reading(args.initial_states):
            network = start_from(network, load_states(args.initial_states))
    read = (rain_path, given["potential_et"], args.temperature, args.inflows, args.initial_states, *files.values())
    sources = tuple(p for p in read if p is not None)
    potential_et = forcing.get("potential_et", 0 if zero_et else None)
    return Inputs(network, rain, inflows, observed, files, potential_et, forcing.get("temperature"), sources)


def _forcing_file(
    args: argparse.Namespace, subbasins: list[str], readers: Mapping[str, SeriesReader]
) -> dict[str, Forcing]:
    """The forcings of the `--forcing` file, by kind (rain, potential_et, temperature)."""
    if args.forcing is None:
        return {}
    path: Path = args.forcing
    found: dict[str, Forcing] = {}
    with reading(path):
        frame = read_csv_frame(check_input(path), **csv_options(args))
        kinds = {str(c): str(c).partition(".")[0] for c in frame.columns}
        unknown = [c for c, kind in kinds.items() if kind not in FORCING_KINDS]
        if unknown:
            raise TimeSeriesError(
                f"{path}: column {unknown[0]!r} is none of rain, potential_et, temperature (or KIND.SUBBASIN)"
            )
        for kind in FORCING_KINDS:
            columns = [c for c, k in kinds.items() if k == kind]
            if not columns:
                continue
            read = readers[kind]
            part = in_unit(frame[columns], frame.attrs, read.unit, path)
            if columns == [kind]:
                found[kind] = read.check(part[kind], f"{path} column {kind}")
            else:
                found[kind] = per_element(part, subbasins, "subbasin", read, path, prefix=f"{kind}.")
    return found


def in_unit(frame: pd.DataFrame, attrs: Mapping[Any, Any], unit: str | None, path: Path) -> pd.DataFrame:
    """The columns of `frame` converted into `unit` from theirs (a units row), or as they are without one."""
    given = attrs.get("column_units") or attrs.get("units") or {}  # column -> unit, as the readers keep it
    if unit is None or not isinstance(given, Mapping) or not any(given.get(str(c)) for c in frame.columns):
        return frame
    out = {}
    for column in frame.columns:
        found = given.get(str(column))
        if not found:
            raise TimeSeriesError(f"{path}: column {column!r} has no unit in the units row")
        out[column] = convert(frame[column], unit, units=found, name=f"{path}: column {column!r}").to_numpy()
    return pd.DataFrame(out, index=frame.index)


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
        lines.append("    " + benchmark_line({str(k): float(v) for k, v in row.items()}))
    return "\n".join(lines)
