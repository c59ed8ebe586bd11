"""The command line: `python -m rainmill_models <command> ...` (`--help` lists the commands)."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import Any

from . import cli_calibrate, cli_run, cli_storm
from .description import ModelError
from .timeseries import TimeSeriesError

# Each command module offers `add_command(subparsers)`, which adds its subparser and sets `handler`,
# a function of the parsed arguments that returns the exit status. Register further commands here.
COMMANDS: list[Callable[[Any], None]] = [
    cli_run.add_command,
    cli_calibrate.add_command,
    cli_storm.add_command,
]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description="Event models on the rainmill extension.")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="command")
    for add_command in COMMANDS:
        add_command(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.handler(args)
    except (ModelError, TimeSeriesError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    return status


if __name__ == "__main__":
    sys.exit(main())
