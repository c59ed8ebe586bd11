"""The command line: `python -m rainmill_models <command> ...` (`--help` lists the commands).

Exit status: 0 done; 2 a bad command line or input, reported in one line `error: ...` that names
the file or field (see `cli_common` for how an error is judged to be the input's); 1 an internal
fault, with its traceback; 130 stopped by Ctrl-C, in one line.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
import traceback
from collections.abc import Sequence
from typing import Protocol

try:
    from .cli import calibrate as cli_calibrate
    from .cli import run as cli_run
    from .cli import storm as cli_storm
    from .cli.common import INTERRUPTED, ONE_LINE, Parser, describe, say
except KeyboardInterrupt:  # Ctrl-C while the commands load (pandas, SciPy: a second or two)
    sys.stderr.write("\ninterrupted\n")
    sys.exit(130)  # the status of INTERRUPTED, which may not have loaded yet


class Command(Protocol):
    """What a command's module offers: a line of help, a description, its arguments and the command itself."""

    HELP: str
    DESCRIPTION: str

    def arguments(self, parser: argparse.ArgumentParser) -> None: ...

    def command(self, args: argparse.Namespace) -> int: ...


# Each command's module by the command's name; register further commands here.
COMMANDS: dict[str, Command] = {"run": cli_run, "calibrate": cli_calibrate, "storm": cli_storm}


def build_parser() -> Parser:
    """The command line's parser, with one subparser per command."""
    parser = Parser(
        prog="rainmill-models",
        description="Hydrologic models (networks of subbasins, reaches, reservoirs, ...) on the rainmill extension.",
    )
    parser.add_argument(
        "--traceback", action="store_true", help="show the full traceback of an error (for reporting a fault)"
    )
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="command")
    for name, module in COMMANDS.items():
        command = subparsers.add_parser(name, help=module.HELP, description=module.DESCRIPTION)
        module.arguments(command)
        command.set_defaults(handler=module.command)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run one command; the exit status. Without `argv` this is the program itself (`sys.argv`)."""
    args = build_parser().parse_args(argv)
    try:
        try:
            status: int = args.handler(args)
        except KeyboardInterrupt:
            say("\ninterrupted")  # on a line of its own, after the terminal's ^C or a progress bar
            status = INTERRUPTED
        except BrokenPipeError:  # the reader of the output went away (`| head`): stop quietly
            _silence_stdout()
            status = 1
        except ONE_LINE as error:
            if args.traceback:
                raise
            say(f"error: {describe(error)}")
            status = 2
        except Exception:
            traceback.print_exc()
            say("internal error: the traceback above is a fault of rainmill_models, not of the input; please report it")
            status = 1
    except KeyboardInterrupt:  # a second Ctrl-C while the first was being reported
        status = INTERRUPTED
    if argv is None:
        _leave_on_interrupt(status)
    return status


def _silence_stdout() -> None:
    """Send what is still buffered for a closed pipe to /dev/null, so that the exit does not fail again."""
    with contextlib.suppress(OSError, ValueError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _leave_on_interrupt(status: int) -> None:
    """From here on Ctrl-C ends the program at once with `status` (130 for a clean run), no traceback.

    The interpreter still has to shut down (join worker threads, flush streams); a Ctrl-C pressed
    then, typically the second of two quick ones, would otherwise end in a traceback.
    """
    if threading.current_thread() is not threading.main_thread():
        return
    sys.stdout.flush()
    sys.stderr.flush()
    code = status or INTERRUPTED
    signal.signal(signal.SIGINT, lambda _signum, _frame: os._exit(code))


if __name__ == "__main__":
    sys.exit(main())
