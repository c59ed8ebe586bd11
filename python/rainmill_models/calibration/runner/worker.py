"""What a worker runs: one batch of evaluations over a shared context, prepared once per worker.

A context reaches a worker pickled once by the calling process: inline with
each batch (:class:`Packed`), or, when large, in a private file the worker
reads once (:class:`Stored`, in /dev/shm where the system has one). A stored
file is named after the process that wrote it, so that a later start removes
the files of owners that died (killed before they could clean up), and it
carries a digest, so that a file removed or overwritten meanwhile is reported
as :class:`ContextLost` (the calling process then sends the bytes instead)
rather than unpickled into something else.

Workers started by this package die with the process that started them
(Linux: the parent-death signal, and a watchdog on the caller's pid
everywhere), and leave Ctrl-C to it.
"""

from __future__ import annotations

import hashlib
import os
import pickle
import signal
import tempfile
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Sequence
from contextlib import suppress
from pathlib import Path
from typing import Any, NamedTuple, TypeVar, cast

import numpy as np
import numpy.typing as npt

S = TypeVar("S")
I = TypeVar("I")  # noqa: E741 (the item type)
R = TypeVar("R")

# The states a worker process prepared for the last few contexts, by the
# token the calling process gave each context: the batches of one
# calibration then pay for rebuilding the model once per worker, not once
# per batch. Only the worker processes of a pool or a cluster fill it.
_PREPARED: OrderedDict[tuple[str, Callable[[Any], Any]], Any] = OrderedDict()
_PREPARED_KEPT = 4
# Contexts that pickle to more bytes than this travel as a file (Stored).
STORED_FROM = 64 * 1024
CONTEXT_PREFIX = "rainmill-context-"
# Seconds between two looks of a worker's watchdog at the process that started it.
_WATCH_EVERY = 0.5


class ContextLost(RuntimeError):
    """The file holding a context was removed or changed before a worker read it."""


class EvaluationTimeout(Exception):
    """An evaluation ran past the time limit of its run."""


class Packed(NamedTuple):
    """A context pickled once by the calling process, whose bytes travel with each batch."""

    data: bytes


class Stored(NamedTuple):
    """A large context pickled once into a file, which a worker reads when it has not yet prepared it."""

    path: str
    digest: str


def _digest(data: bytes) -> str:
    return hashlib.blake2b(data, digest_size=16).hexdigest()


def unpacked(context: Any) -> Any:
    if isinstance(context, Packed):
        return pickle.loads(context.data)
    if isinstance(context, Stored):
        try:
            data = Path(context.path).read_bytes()
        except OSError as error:
            raise ContextLost(f"the context file {context.path} could not be read ({error})") from None
        if _digest(data) != context.digest:
            raise ContextLost(f"the context file {context.path} was changed by another process")
        return pickle.loads(data)
    return context


def _alive(pid: int) -> bool:
    try:
        with suppress(PermissionError):  # alive, and another user's
            os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def remove_stale(folder: str) -> None:
    """Remove the context files in ``folder`` whose writing process is gone."""
    with suppress(OSError):
        for name in os.listdir(folder):
            owner = name.removeprefix(CONTEXT_PREFIX).split("-", 1)[0]
            if name.startswith(CONTEXT_PREFIX) and owner.isdigit() and not _alive(int(owner)):
                with suppress(OSError):
                    os.unlink(os.path.join(folder, name))


def _folders() -> list[str]:
    shm = "/dev/shm"
    usable = os.path.isdir(shm) and os.access(shm, os.W_OK)
    return list(dict.fromkeys([shm, tempfile.gettempdir()] if usable else [tempfile.gettempdir()]))


def store(data: bytes) -> Stored | Packed:
    """``data`` in a new private file, in memory (/dev/shm) where the system has it.

    Where no file can take it (a small /dev/shm and a full temporary folder),
    the bytes travel with each batch instead.
    """
    for folder in _folders():
        remove_stale(folder)
        try:
            handle, path = tempfile.mkstemp(prefix=f"{CONTEXT_PREFIX}{os.getpid()}-", suffix=".pickle", dir=folder)
        except OSError:
            continue
        try:
            with os.fdopen(handle, "wb") as file:
                file.write(data)
        except BaseException as error:
            with suppress(OSError):
                os.unlink(path)
            if isinstance(error, OSError):
                continue  # a full folder: the next one, or the bytes with each batch
            raise
        return Stored(path, _digest(data))
    return Packed(data)


def pack(context: object) -> Stored | Packed:
    """``context`` pickled, in a file when large."""
    data = pickle.dumps(context, pickle.HIGHEST_PROTOCOL)
    return store(data) if len(data) > STORED_FROM else Packed(data)


def discard(context: Packed | Stored | None) -> None:
    if isinstance(context, Stored):
        with suppress(OSError):
            os.unlink(context.path)


def _state(prepare: Callable[[Any], S], context: Any, token: str | None) -> S:
    """The prepared state of ``context``, made once per ``token`` in this process."""
    if token is None:
        return prepare(unpacked(context))
    key = (token, prepare)
    if key in _PREPARED:
        _PREPARED.move_to_end(key)
    else:
        _PREPARED[key] = prepare(unpacked(context))
        while len(_PREPARED) > _PREPARED_KEPT:
            _PREPARED.popitem(last=False)
    return cast(S, _PREPARED[key])


def run_batch(
    prepare: Callable[[Any], S],
    evaluate: Callable[[S, I], R],
    context: Any,
    items: Sequence[I],
    token: str | None = None,
    timeout: float | None = None,
) -> list[R]:
    """Evaluate one batch: prepare the shared state (once per ``token``), then each item in order."""
    return evaluate_all(timed(evaluate, timeout), _state(prepare, context, token), items)


def run_rows(
    prepare: Callable[[Any], S],
    evaluate: Callable[[S, npt.NDArray[np.float64]], Any],
    context: Any,
    rows: npt.NDArray[np.float64],
    token: str | None = None,
    timeout: float | None = None,
) -> npt.NDArray[np.float64]:
    """:func:`run_batch` over the rows of a 2-D array, whose numeric results come back as one array."""
    return evaluate_rows(timed(evaluate, timeout), _state(prepare, context, token), rows)


_UNSET: Any = object()


def _raise_timeout(number: int, frame: object) -> None:
    raise EvaluationTimeout


def timed(evaluate: Callable[[S, Any], Any], timeout: float | None) -> Callable[[S, Any], Any]:
    """``evaluate`` under a time limit where one can be kept: an alarm, in the main thread (where signals land)."""
    if timeout is None or not hasattr(signal, "setitimer"):
        return evaluate
    if threading.current_thread() is not threading.main_thread():
        return evaluate

    def stopped(state: S, item: Any) -> Any:
        previous = signal.signal(signal.SIGALRM, _raise_timeout)
        result: Any = _UNSET
        try:
            signal.setitimer(signal.ITIMER_REAL, timeout)
            result = evaluate(state, item)
        except EvaluationTimeout:
            if result is _UNSET:
                raise
            # the alarm landed once the evaluation had returned: its result stands
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0.0)
            signal.signal(signal.SIGALRM, previous)
        return result

    return stopped


def evaluate_all(evaluate: Callable[[S, I], R], state: S, items: Sequence[I]) -> list[R]:
    return [evaluate(state, item) for item in items]


def evaluate_rows(
    evaluate: Callable[[S, npt.NDArray[np.float64]], Any], state: S, rows: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    results = [np.asarray(evaluate(state, row), dtype=np.float64) for row in rows]
    return stack_rows([result.reshape(-1) if result.ndim == 0 else result.reshape(1, -1) for result in results])


def stack_rows(blocks: Sequence[npt.NDArray[np.float64]]) -> npt.NDArray[np.float64]:
    """Blocks of numeric results (1-D: one number per row; 2-D: several) stacked in order.

    Blocks of one kind give their plain concatenation; rows of different
    widths (an evaluation that failed, with fewer columns than the others)
    are padded with NaN to the widest.
    """
    if not blocks:
        return np.empty(0, dtype=np.float64)
    if all(block.ndim == 1 for block in blocks):
        return np.concatenate(blocks)
    return _padded([block.reshape(-1, 1) if block.ndim == 1 else block for block in blocks])


def _padded(blocks: Sequence[npt.NDArray[np.float64]]) -> npt.NDArray[np.float64]:
    width = max(block.shape[1] for block in blocks)
    if all(block.shape[1] == width for block in blocks):
        return np.concatenate(blocks)
    out = np.full((sum(len(block) for block in blocks), width), np.nan)
    row = 0
    for block in blocks:
        out[row : row + len(block), : block.shape[1]] = block
        row += len(block)
    return out


def _die_with_parent() -> None:
    """Linux: this process is killed when the one that forked it ends."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    except OSError, AttributeError:
        pass


def _watch(caller: int) -> None:
    while _alive(caller):
        time.sleep(_WATCH_EVERY)
    os._exit(1)


def start_worker(caller: int) -> None:
    """The initializer of a worker process: it dies with ``caller`` and leaves Ctrl-C to it.

    Ctrl-C reaches every process of the terminal's group: the workers leave
    it to the calling process, which cancels what is pending. They start with
    SIGINT blocked (see ``spawning``), so that one arriving while they import
    is dropped here instead of printing a traceback.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    if os.name == "posix" and os.uname().sysname == "Linux":
        _die_with_parent()
    if not _alive(caller):
        os._exit(1)
    threading.Thread(target=_watch, args=(caller,), daemon=True, name="rainmill-watchdog").start()


def keep_buffer_pages() -> bool:
    """Run on each Dask worker: large temporaries keep their pages between evaluations."""
    from ... import _kernels

    return _kernels.keep_buffer_pages()
