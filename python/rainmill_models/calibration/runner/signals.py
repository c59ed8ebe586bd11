"""Ctrl-C and worker start-up: signals held while workers start or a pool shuts down; the main-module guard."""

from __future__ import annotations

import ast
import signal
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from types import FrameType


class UnguardedMain(RuntimeError):
    """Worker processes were asked for by a script's top-level code, outside the main-module guard."""


@contextmanager
def spawning() -> Iterator[None]:
    """SIGINT blocked in this thread while worker processes may be started: they inherit the mask."""
    if not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


@contextmanager
def deferred_interrupts(propagating: bool) -> Iterator[None]:
    """Ctrl-C held back until the block is done (a pool being shut down), then raised once.

    When an exception is already on its way out (``propagating``), a Ctrl-C
    that came meanwhile is dropped: that exception goes on alone, with no
    second traceback chained to it.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: received.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received and not propagating:
        raise KeyboardInterrupt


def _is_main_guard(test: ast.expr) -> bool:
    """``__name__ == "__main__"`` (either way round)."""
    if not (isinstance(test, ast.Compare) and len(test.ops) == 1 and isinstance(test.ops[0], ast.Eq)):
        return False
    sides = {ast.dump(test.left), ast.dump(test.comparators[0])}
    return sides == {ast.dump(ast.Name("__name__", ast.Load())), ast.dump(ast.Constant("__main__"))}


def unguarded_main_line(frame: FrameType | None) -> tuple[str, int] | None:
    """The script and line whose top-level code, outside ``if __name__ == "__main__":``, made this call.

    ``frame`` is where to start looking up the stack. None when the call comes
    from an interactive session, from guarded code or from a module that is
    not the main script.
    """
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if main is None or not isinstance(path, str) or not path.endswith(".py"):
        return None
    while frame is not None and not (frame.f_globals is vars(main) and frame.f_code.co_name == "<module>"):
        frame = frame.f_back
    if frame is None:
        return None
    line = frame.f_lineno
    try:
        tree = ast.parse(Path(path).read_bytes())
    except OSError, SyntaxError, ValueError:
        return None
    for node in tree.body:
        if not (isinstance(node, ast.If) and _is_main_guard(node.test) and node.body):
            continue
        if node.body[0].lineno <= line <= (node.body[-1].end_lineno or line):
            return None
    return path, line


def refuse_unguarded_main(what: str) -> None:
    found = unguarded_main_line(sys._getframe(1))
    if found is not None:
        path, line = found
        raise UnguardedMain(
            f"{path}, line {line}: {what} starts worker processes that import this script again and "
            f'would rerun it; put the script\'s work under `if __name__ == "__main__":` '
            f'(or use executor="threads")'
        )
