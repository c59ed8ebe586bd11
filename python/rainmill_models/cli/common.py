"""What the commands share: one-line errors, checked arguments, inputs named in errors, outputs all or nothing.

How an error reaches the user (see `__main__.main`): a `UsageError` (which `InputError` is) and
the package's own refusals (`ModelError`, `TimeSeriesError`, any `ValueError`, an arithmetic
overflow, a memory bound, an `OSError` such as a missing file) are one line `error: ...` and exit
status 2. Whatever goes wrong while one input file is read and checked is that file's fault (the
readers are functions of its content alone), so `reading(path)` turns it into an `InputError`
naming the file, whatever its type; a surprising type is named in the message, and `--traceback`
shows where it came from. Any other exception, raised later by the computation or the outputs, is
an internal fault: it keeps its traceback and exits with status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import re
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn

import pandas as pd

from ..io.files import InputFileError, atomic_write, output_target

if TYPE_CHECKING:
    from matplotlib.figure import Figure

INTERRUPTED = 130  # the shell's status for a process ended by SIGINT

# What the package and the extension raise for values they refuse: one line, never a traceback.
REFUSALS: tuple[type[BaseException], ...] = (ValueError, ArithmeticError, MemoryError, OSError)


class UsageError(Exception):
    """A command's arguments or inputs cannot be used; the message says which and why."""


# What is reported in one line `error: ...` with exit status 2.
ONE_LINE: tuple[type[BaseException], ...] = (UsageError, *REFUSALS)


class InputError(UsageError):
    """Anything that went wrong while one input file was read and checked; the message names the file."""

    def __init__(self, path: Path, error: BaseException) -> None:
        if isinstance(error, RecursionError):
            detail = "nested too deeply to read"
        else:
            detail = describe(error)
            if not isinstance(error, REFUSALS):
                detail = f"{type(error).__name__}: {detail} (unexpected here; --traceback shows where)"
        super().__init__(detail if str(path) in detail else f"{path}: {detail}")


@contextlib.contextmanager
def reading(path: Path) -> Iterator[None]:
    """Attribute whatever the body raises (but Ctrl-C) to the input file `path`."""
    try:
        yield
    except InputFileError:
        raise  # already names the file
    except Exception as error:
        raise InputError(path, error) from error


@contextlib.contextmanager
def running(model: Path, *inputs: Path | None) -> Iterator[None]:
    """Name the model file in a refusal raised by the body (a run or a search) that names no input file."""
    try:
        yield
    except REFUSALS as error:
        if isinstance(error, OSError):
            raise
        text = describe(error)
        if any(str(path) in text for path in (model, *inputs) if path is not None):
            raise
        raise UsageError(f"{model}: {text}") from error


# A keyword with no flag to say it: the hint says what to change in the file instead.
FILE_HINTS: tuple[tuple[str, str], ...] = (
    (
        r"\bpass units=(?: or units_row=True|(?!\w))",
        "write each column's unit on the line after the header and pass --units-row",
    ),
    (
        r"pass missing='interpolate' with max_gap to interpolate short gaps",
        "fill the gaps in the file, or leave observations out of the scores with --missing drop",
    ),
    (r"choose one with column=", "give a file of one column"),
    (r"\bnonfinite='drop'", "leave the field empty (a missing value)"),
    (r"\bpass header=False", "add a header line (time, then the columns' names)"),
    (r"\bpass time_column=\[\d+, \d+\]( for a date and a time)?", "join the date and the time of day into one column"),
)

# The package's messages name its Python keywords ("needs a temperature series (temperature=...)");
# on the command line each is said as the flag that does the same: keyword (as a message spells it)
# -> what a shell user passes instead (after `FILE_HINTS`, before `SERIES_WORDS`).
KEYWORD_FLAGS: tuple[tuple[str, str], ...] = (
    (r"\(temperature=\.\.\.\)", "(--temperature FILE, or a temperature column in --forcing)"),
    (r"\(potential_et=\.\.\.\)", "(--potential-et FILE, or a potential_et column in --forcing)"),
    (r"\bpotential_et=0\b", "--potential-et 0"),
    (r"\(inflows=\.\.\.\)", "(--inflows FILE)"),
    (r"\bunits_row=True", "--units-row"),
    (r"\bmissing='drop'", "--missing drop"),
    (r"\bmissing='zero'", "--rain-missing zero"),
    (r"\bsep=r'\\s\+'", "--sep ' '"),
    (r"\bsep=('[^']*'|\"[^\"]*\")", r"--sep \1"),
    (r"\bdecimal=('[^']*')", r"--decimal \1"),
    (r"\bdate_format=(?=['\"])", "--date-format "),
    (r"\bdate_format=", "--date-format"),
    (r"\bdayfirst=True", "--dayfirst"),
    (r"\bobserved_period\b", "--observed-period"),
    (r"\bend=(?=[,;)\s]|$)", "--end"),
    (r"\bend=", "--end "),
)

# A forcing series named by its --forcing column ("rain.hill: ...") is said in words ("rain of hill: ...").
SERIES_WORDS: tuple[tuple[str, str], ...] = (
    (r"(?:^|(?<=: ))potential_et\.([\w-]+):", r"potential evapotranspiration of \1:"),
    (r"(?:^|(?<=: ))(rain|temperature|inflows)\.([\w-]+):", r"\1 of \2:"),
    (r"(?:^|(?<=: ))potential_et:", "potential evapotranspiration:"),
)


def flags_for_keywords(text: str) -> str:
    """A message of the package with its Python keywords said as the command line's flags."""
    for pattern, flag in (*FILE_HINTS, *KEYWORD_FLAGS, *SERIES_WORDS):
        text = re.sub(pattern, flag, text)
    return text


def describe(error: BaseException) -> str:
    """The one line that reports a refusal: an OSError by its file and reason, anything else by its message.

    The package's Python keywords in it are said as the command line's flags (`flags_for_keywords`).
    """
    if isinstance(error, OSError) and not isinstance(error, InputFileError) and error.strerror:
        text = f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    else:
        text = str(error) or type(error).__name__
    return flags_for_keywords(" ".join(line.strip() for line in text.splitlines() if line.strip()))


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line `error: ...` (status 2) instead of the usage text."""

    def error(self, message: str) -> NoReturn:
        """Report a bad command line in one line, pointing at --help."""
        self.exit(2, f"error: {message} (see {self.prog} --help)\n")


# -- argument types: each refuses a bad value with argparse's one-line message ----------------------


def timestamp(text: str) -> pd.Timestamp:
    """An ISO 8601 time, such as 2024-06-11T06:00 or 2024-06-11T06:00:00+02:00."""
    try:
        return pd.Timestamp(datetime.fromisoformat(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 time: {text!r}") from None


def whole(low: int, high: int | None = None) -> Callable[[str], int]:
    """An argument type: a whole number at least `low` (and at most `high`)."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or value < low or (high is not None and value > high):
            span = f">= {low}" if high is None else f"between {low} and {high}"
            raise argparse.ArgumentTypeError(f"expected a whole number {span}, not {text!r}")
        return value

    parse.__name__ = "whole number"
    return parse


# -- inputs ------------------------------------------------------------------------------------------


def on_clock(stamp: pd.Timestamp, index: pd.Index, option: str, source: Path) -> pd.Timestamp:
    """`stamp` on the clock of `index`: a time without offset is read in the index's zone.

    A time with an offset against an index without one is refused: the two cannot be compared.
    """
    zone = getattr(index, "tz", None)
    if stamp.tzinfo is None:
        return stamp if zone is None else stamp.tz_localize(zone)
    if zone is None:
        raise UsageError(f"{option} {stamp.isoformat()}: has a UTC offset, while the times of {source} have none")
    return stamp


def same_clock(
    series: pd.Series | pd.DataFrame, path: Path, reference: pd.Series | pd.DataFrame, reference_path: Path
) -> None:
    """Refuse a series whose timestamps carry an offset when the reference's do not, or the reverse."""
    ours, theirs = getattr(series.index, "tz", None), getattr(reference.index, "tz", None)
    if (ours is None) != (theirs is None):
        have, lack = (path, reference_path) if theirs is None else (reference_path, path)
        raise UsageError(
            f"{lack}: timestamps without a UTC offset, while those of {have} have one; "
            "write both with offsets (or both without)"
        )


def needs_matplotlib(option: str, path: Path | None) -> None:
    """Refuse a figure up front, before any work, when matplotlib cannot be imported."""
    if path is not None and importlib.util.find_spec("matplotlib") is None:
        raise UsageError(f"{option}: matplotlib is not installed; install the plot extra: pip install 'rainmill[plot]'")


# -- outputs ------------------------------------------------------------------------------------------


def add_output(
    parser: argparse.ArgumentParser, option: str, suffix: str, text: str, metavar: str | None = None
) -> None:
    """An option naming an output file, which in a directory is named MODEL.`suffix` (as its help says)."""
    parser.add_argument(option, metavar=metavar, help=f"{text} (MODEL.{suffix} in a directory)")
    parser.set_defaults(outputs={**(parser.get_default("outputs") or {}), option: suffix})


class Outputs:
    """The files a command writes, all or nothing.

    Each output is first rendered into a hidden temporary file beside its target; once every one of
    them has been rendered, each is copied into `files.atomic_write`'s temporary and flushed to disk,
    and only then are they all renamed into place. A failure anywhere before the renames leaves
    every target as it was, and no temporary behind.
    """

    # What the description of a command that writes files says of them.
    NOTE = (
        "The outputs are written all or nothing; an output given as a directory receives a file named after the model."
    )

    def __init__(self, args: argparse.Namespace) -> None:
        """The outputs `args` ask for (the options of `add_output`), named after the model, checked up front.

        `--plot` is checked for matplotlib too, before any work is done.
        """
        self._reserved: dict[Path, str] = {}
        self._todo: list[tuple[Path, Callable[[Path], object]]] = []
        stem = args.model.stem or "model"
        self._paths = {
            option: self.target(option, getattr(args, option.removeprefix("--").replace("-", "_")), f"{stem}.{suffix}")
            for option, suffix in args.outputs.items()
        }
        needs_matplotlib("--plot", self._paths.get("--plot"))

    def target(self, option: str, text: str | None, default_name: str) -> Path | None:
        """Where the output of `option` goes, checked before any work is done.

        A directory (an existing one, or a path ending with a separator) receives `default_name`;
        the directory must exist and be writable, and no two outputs may share a path.
        """
        if text is None:
            return None
        path = Path(text)
        if text.endswith(("/", os.sep)) or path.is_dir():
            if not path.is_dir():
                raise UsageError(f"{option} {text}: no such directory")
            path = path / default_name
        if output_target(path)[1]:  # the null device: written directly, whatever the directory allows
            return path
        directory = path.parent
        if not directory.is_dir():
            raise UsageError(f"{option} {text}: the directory {directory} does not exist")
        if not os.access(directory, os.W_OK | os.X_OK):
            raise UsageError(f"{option} {text}: cannot write in {directory}")
        other = self._reserved.setdefault(path.resolve(), option)
        if other != option:
            raise UsageError(f"{option} {text}: the same file as {other}")
        return path

    def add(self, option: str, write: Callable[[Path], object]) -> None:
        """Write the output of `option`, when it was asked for, with `write`, which fills the file it is given."""
        path = self._paths[option]
        if path is not None:
            self._todo.append((path, write))

    def add_figure(self, option: str, draw: Callable[[], Figure], dpi: int) -> None:
        """The figure `draw()` gives, drawn only when `option` asks for it, written in the format its
        target's suffix names (PNG without one).
        """
        if self._paths[option] is not None:
            figure = draw()
            self.add(
                option, lambda path: figure.savefig(path, format=path.suffix.lstrip(".").lower() or "png", dpi=dpi)
            )

    def write(self) -> None:
        """Render every output, then move them all into place; say each path written, in order."""
        with contextlib.ExitStack() as cleanup:
            staged: list[tuple[Path, Path]] = []
            for path, write in self._todo:
                try:  # rendered beside its target, so that a full disk is the target's disk
                    null = output_target(path)[1]  # the null device: rendered anywhere, then discarded
                    handle, name = tempfile.mkstemp(
                        prefix=f".{path.name}.", suffix=f".render{path.suffix}", dir=None if null else path.parent
                    )
                    os.close(handle)
                    temporary = Path(name)
                    cleanup.callback(temporary.unlink, missing_ok=True)
                    write(temporary)
                except OSError as error:
                    raise _naming(error, path) from error
                except REFUSALS as error:  # such as a figure format matplotlib does not know
                    raise UsageError(f"{path}: {describe(error)}") from error
                staged.append((path, temporary))
            with contextlib.ExitStack() as renames:
                for path, temporary in staged:
                    try:
                        stream = renames.enter_context(atomic_write(path, "wb"))
                        with temporary.open("rb") as source:
                            shutil.copyfileobj(source, stream)
                        stream.flush()
                        if not output_target(path)[1]:  # the null device cannot be synced
                            os.fsync(stream.fileno())  # a full disk shows here, before any rename
                    except OSError as error:
                        raise _naming(error, path) from error
        for path, _ in self._todo:
            print(f"Written: {path}")


def _naming(error: OSError, path: Path) -> OSError:
    text = describe(error)
    return OSError(error.errno, text if str(path) in text else f"{path}: {text}")


def say(text: str) -> None:
    """A line for the user on standard error."""
    print(text, file=sys.stderr)
