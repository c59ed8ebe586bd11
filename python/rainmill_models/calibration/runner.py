"""Many independent evaluations behind one ``executor=`` argument.

A piece of work is described by plain data only: a *context* (dicts, NumPy
arrays, numbers: what every evaluation shares, such as the model description
and the rainfall), a list of *items* (one per evaluation, such as a parameter
vector) and two top-level functions, ``prepare(context) -> state`` (run once
per batch: rebuild the model, index the observations) and
``evaluate(state, item) -> result``.  Nothing of the extension crosses a
process boundary, and the same code path serves every executor:

* ``None``: serially, in the calling thread;
* ``"threads"``: a thread pool with one thread per core (it only gains once
  the extension releases the interpreter during its long computations);
* ``"processes"`` or an ``int`` *n*: a process pool with one process per core,
  or with *n* processes;
* any :class:`concurrent.futures.Executor` (used as given, never shut down);
* a Dask ``distributed.Client`` (the context is scattered to every worker
  once, the batches are submitted as tasks; each worker is told to keep the
  pages of large temporaries between evaluations, which the nanny's
  ``MALLOC_TRIM_THRESHOLD_`` would have it give back after each).

Worker processes start by importing the calling script's main module, as
with :mod:`multiprocessing`: a script that uses processes keeps its work under
``if __name__ == "__main__":``. A script that starts the work outside that
guard gets one error saying so, before any worker starts.

A parallel executor does not make the work slower than running it serially:
unless ``batch_size`` is given, the calling process works through the items
itself while the workers start, then times the serial way on a share of the
items and the parallel way on the rest, and from then on takes the faster
way, timing the other again now and then (less often each time it loses);
:attr:`Runner.note` says when the work stayed in the calling process.
A process pool whose worker dies (killed, out of memory) is replaced
and the lost batches sent again, a bounded number of times
(:class:`WorkersLost` after that).

Items are grouped into batches, one or a few per worker, so that the cost of
scheduling a task and of shipping its context stays small next to the work in
it; a single item is evaluated in the calling process, where no trip is paid.
A process pool gets the context pickled once by the calling process, and each
worker unpickles and prepares it once. :meth:`Runner.map_rows` sends the rows
of an array (an optimiser's population) as one array per batch and brings the
numeric results back the same way.
"""

from __future__ import annotations

import ast
import math
import multiprocessing
import os
import pickle
import signal
import sys
import tempfile
import threading
import time
import uuid
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures import as_completed as futures_as_completed
from concurrent.futures.process import BrokenProcessPool
from contextlib import contextmanager, suppress
from pathlib import Path
from types import FrameType, TracebackType
from typing import Any, Literal, Protocol, Self, TypeVar, cast

import numpy as np
import numpy.typing as npt

__all__ = ["ExecutorLike", "Runner", "WorkersLost", "run_batch", "run_rows", "stack_rows"]

S = TypeVar("S")
I = TypeVar("I")  # noqa: E741 (the item type)
R = TypeVar("R")

ExecutorLike = None | str | int | Executor | Any
"""What ``executor=`` accepts (``Any`` stands for a Dask client, an optional dependency)."""


class _DaskClient(Protocol):
    def scatter(self, data: Any, broadcast: bool = ..., hash: bool = ...) -> Any: ...
    def run(self, function: Callable[..., Any]) -> Any: ...
    def submit(self, func: Callable[..., Any], *args: Any, pure: bool = ...) -> Any: ...
    def cancel(self, futures: Any) -> Any: ...
    def gather(self, futures: Any) -> Any: ...
    def nthreads(self) -> dict[str, int]: ...


# The states a worker process prepared for the last few contexts, by the
# token the calling process gave each context: the batches of one
# calibration then pay for rebuilding the model once per worker, not once
# per batch. Only the worker processes of a pool or a cluster fill it.
_PREPARED: OrderedDict[tuple[str, Callable[[Any], Any]], Any] = OrderedDict()
_PREPARED_KEPT = 4

# How many times the pool of a run is replaced after a worker died.
POOL_RESTARTS = 2
# The parallel way is kept when its measured rate beats the serial one by this
# factor; the losing way is timed again after RECHECK calls while the two rates
# lie within RECHECK_RATIO of each other, after RECHECK_FAR calls otherwise
# (the load of the machine changes), and each time it loses again the wait
# doubles, up to RECHECK_LONGEST calls.
_PARALLEL_MARGIN = 1.05
_RECHECK = 10
_RECHECK_FAR = 40
_RECHECK_LONGEST = 640
_RECHECK_RATIO = 0.8
# The serial way is timed on a share of a call holding about this much work
# (seconds; all of a call that holds less), and while the workers start the
# calling process works in slices of about WARMING_SLICE seconds, looking
# between slices whether they are ready.
_SERIAL_TIMING = 0.01
_WARMING_SLICE = 0.02
# Calls of which the workers of a process pool or a Dask cluster could save
# less than this (seconds: the serial work less its share per worker) are not
# worth starting them for: a trip to them and back costs about that much (some
# 1-2 ms through a pool's pipes, 10-30 ms through a Dask scheduler), besides
# the cores their start-up takes from the caller.
_TRIP_FLOOR = {"processes": 0.002, "executor": 0.002, "dask": 0.03}


class WorkersLost(RuntimeError):
    """The worker processes kept dying: the work could not be completed."""


class UnguardedMain(RuntimeError):
    """Worker processes were asked for by a script's top-level code, outside the main-module guard."""


class _Packed:
    """A context pickled once by the calling process.

    Each batch then carries a copy of these bytes, which costs little to
    send, and a worker unpickles them only when it has not yet prepared the
    state of this context.
    """

    __slots__ = ("data",)

    def __init__(self, data: bytes) -> None:
        self.data = data

    def __reduce__(self) -> tuple[type[_Packed], tuple[bytes]]:
        return (_Packed, (self.data,))


class _Stored:
    """A large context pickled once into a file, which a worker reads when it has not yet prepared it.

    Its batches then carry only the file's name, instead of the same bytes
    through the pool's pipe again and again (a rainfall record of a few
    hundred kilobytes with every batch of every generation).
    """

    __slots__ = ("path",)

    def __init__(self, path: str) -> None:
        self.path = path

    def __reduce__(self) -> tuple[type[_Stored], tuple[str]]:
        return (_Stored, (self.path,))


# Contexts that pickle to more bytes than this travel as a file (_Stored).
_STORED_FROM = 64 * 1024


def _unpacked(context: Any) -> Any:
    if isinstance(context, _Packed):
        return pickle.loads(context.data)
    if isinstance(context, _Stored):
        return pickle.loads(Path(context.path).read_bytes())
    return context


def _store(data: bytes) -> _Stored | _Packed:
    """``data`` in a new private file, in memory (/dev/shm) where the system has it.

    Where no file can take it (a small /dev/shm and a full temporary folder),
    the bytes travel with each batch instead.
    """
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    for folder in dict.fromkeys([shm, None]):
        try:
            handle, path = tempfile.mkstemp(prefix="rainmill-context-", suffix=".pickle", dir=folder)
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
        return _Stored(path)
    return _Packed(data)


def _discard(context: _Packed | _Stored | None) -> None:
    if isinstance(context, _Stored):
        with suppress(OSError):
            os.unlink(context.path)


def _state(prepare: Callable[[Any], S], context: Any, token: str | None) -> S:
    """The prepared state of ``context``, made once per ``token`` in this process."""
    if token is None:
        return prepare(_unpacked(context))
    key = (token, prepare)
    if key in _PREPARED:
        _PREPARED.move_to_end(key)
    else:
        _PREPARED[key] = prepare(_unpacked(context))
        while len(_PREPARED) > _PREPARED_KEPT:
            _PREPARED.popitem(last=False)
    return cast(S, _PREPARED[key])


def run_batch(
    prepare: Callable[[Any], S],
    evaluate: Callable[[S, I], R],
    context: Any,
    items: Sequence[I],
    token: str | None = None,
) -> list[R]:
    """Evaluate one batch: prepare the shared state (once per ``token``), then each item in order."""
    return _evaluate_all(evaluate, _state(prepare, context, token), items)


def run_rows(
    prepare: Callable[[Any], S],
    evaluate: Callable[[S, npt.NDArray[np.float64]], Any],
    context: Any,
    rows: npt.NDArray[np.float64],
    token: str | None = None,
) -> npt.NDArray[np.float64]:
    """:func:`run_batch` over the rows of a 2-D array, whose numeric results come back as one array."""
    return _evaluate_rows(evaluate, _state(prepare, context, token), rows)


def _ignore_interrupts() -> None:
    # Ctrl-C reaches every process of the terminal's group: the pool's
    # workers leave it to the calling process, which cancels what is pending.
    # They start with SIGINT blocked (see _spawning), so that one arriving
    # while they import is dropped here instead of printing a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def _new_pool(workers: int) -> ProcessPoolExecutor:
    """A process pool whose workers are started fresh (spawn) and leave Ctrl-C to the caller."""
    return ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"), initializer=_ignore_interrupts)


@contextmanager
def _spawning() -> Iterator[None]:
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
def _deferred_interrupts(propagating: bool) -> Iterator[None]:
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


def _refuse_unguarded_main(what: str) -> None:
    found = unguarded_main_line(sys._getframe(2))
    if found is not None:
        path, line = found
        raise UnguardedMain(
            f"{path}, line {line}: {what} starts worker processes that import this script again and "
            f'would rerun it; put the script\'s work under `if __name__ == "__main__":` '
            f'(or use executor="threads")'
        )


def _is_dask_client(executor: object) -> bool:
    kind = type(executor)
    return kind.__module__.split(".")[0] == "distributed" and hasattr(executor, "scatter")


def _cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


class Runner:
    """The ``executor=`` argument resolved: evaluates lists of items in batches.

    Use it as a context manager; pools it created itself are shut down on
    exit, executors and clients given by the caller are left running.
    ``batch_size`` fixes the number of items per batch (and always uses the
    executor); by default each call to :meth:`map` makes ``batches_per_worker``
    batches per worker, and with ``adaptive`` the runner times the serial and
    the parallel way and keeps the faster (see the module's description).
    """

    kind: str
    workers: int

    def __init__(self, executor: ExecutorLike = None, *, batch_size: int | None = None, adaptive: bool = True) -> None:
        if batch_size is not None and (isinstance(batch_size, bool) or batch_size < 1):
            raise ValueError(f"batch_size must be a positive integer, not {batch_size!r}")
        self.batch_size = batch_size
        self.adaptive = adaptive and batch_size is None
        self.note = ""
        # Items per second measured each way, the calls since the last
        # timing of the losing way, and the warm-up batches of the workers.
        self._rates: dict[str, float] = {}
        self._timings = {"serial": 0, "parallel": 0}
        self._leader: Literal["serial", "parallel"] = "serial"
        self._since_check = 0
        self._backoff = 1
        # Seconds per item of the last serial piece (sizes the next ones), and
        # of an empty batch's round trip to the workers once they are ready.
        self._cost: float | None = None
        self._cost_slices = 0
        self._latency: float | None = None
        # Set when calls were too cheap to start the workers for.
        self._cheap = False
        self._warming: list[Any] = []
        self._warmed = False
        self._owned: Executor | None = None
        self._pool: Executor | None = None
        self._client: _DaskClient | None = None
        self._local: tuple[object, Any] | None = None
        self._scattered: tuple[object, Any] | None = None
        self._tokened: tuple[object, str] | None = None
        self._packed: tuple[object, _Packed | _Stored] | None = None
        if executor is None:
            self.kind, self.workers = "serial", 1
        elif isinstance(executor, str):
            if executor == "threads":
                self.kind, self.workers = "threads", _cores()
                self._owned = ThreadPoolExecutor(max_workers=self.workers)
            elif executor == "processes":
                _refuse_unguarded_main('executor="processes"')
                self.kind, self.workers = "processes", _cores()
                self._owned = _new_pool(self.workers)
            else:
                raise ValueError(
                    f'executor must be None, "threads", "processes", a worker count, '
                    f"a concurrent.futures.Executor or a Dask client, not {executor!r}"
                )
            self._pool = self._owned
        elif isinstance(executor, int) and not isinstance(executor, bool):
            if executor < 1:
                raise ValueError(f"executor: the worker count must be at least 1, not {executor}")
            _refuse_unguarded_main(f"executor={executor}")
            self.kind, self.workers = "processes", executor
            self._owned = _new_pool(executor)
            self._pool = self._owned
        elif isinstance(executor, Executor):
            context = getattr(executor, "_mp_context", None)
            if (
                isinstance(executor, ProcessPoolExecutor)
                and context is not None
                and context.get_start_method() != "fork"
            ):
                _refuse_unguarded_main("a process pool")
            self._pool = executor
            self.kind = "threads" if isinstance(executor, ThreadPoolExecutor) else "executor"
            self.workers = int(getattr(executor, "_max_workers", 0) or _cores())
        elif _is_dask_client(executor):
            # A running cluster's workers are past their start, and functions
            # of the main script reach them by value: nothing to refuse.
            self._client = cast(_DaskClient, executor)
            self.kind = "dask"
            self.workers = max(1, sum(self._client.nthreads().values()))
        else:
            raise TypeError(
                f'executor must be None, "threads", "processes", a worker count, '
                f"a concurrent.futures.Executor or a Dask client, not {type(executor).__name__}"
            )

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close(error)

    def close(self, error: BaseException | None = None) -> None:
        """Shut down the pool this runner created (pending batches are cancelled).

        After an ``error`` (Ctrl-C, say) the pool's processes are stopped
        rather than waited for. A Ctrl-C during the shutdown is held back
        until it is done.
        """
        owned, self._owned = self._owned, None
        self._warming = []
        if owned is not None:
            with _deferred_interrupts(error is not None):
                if error is not None and isinstance(owned, ProcessPoolExecutor):
                    owned.terminate_workers()
                owned.shutdown(wait=True, cancel_futures=True)
        self._local = None
        self._scattered = None
        self._tokened = None
        _discard(self._packed[1] if self._packed is not None else None)
        self._packed = None

    @property
    def in_process(self) -> bool:
        """True when batches run in the calling process (serially or on threads)."""
        return self.kind in ("serial", "threads")

    def local_state(self, prepare: Callable[[Any], S], context: Any) -> S:
        """The prepared state for the calling process, made once per context."""
        if self._local is None or self._local[0] is not context:
            self._local = (context, prepare(context))
        return cast(S, self._local[1])

    def _token(self, context: object) -> str:
        """A name for ``context``, unique to this runner and this context."""
        if self._tokened is None or self._tokened[0] is not context:
            self._tokened = (context, uuid.uuid4().hex)
        return self._tokened[1]

    def _pack(self, context: object) -> _Packed | _Stored:
        """``context`` pickled once per context, for the batches that leave the process."""
        if self._packed is None or self._packed[0] is not context:
            _discard(self._packed[1] if self._packed is not None else None)
            self._packed = None
            data = pickle.dumps(context, pickle.HIGHEST_PROTOCOL)
            self._packed = (context, _store(data) if len(data) > _STORED_FROM else _Packed(data))
        return self._packed[1]

    def batches(self, count: int, batches_per_worker: int = 1) -> list[range]:
        """How ``count`` items are split (consecutive ranges, in order)."""
        if count == 0:
            return []
        if self.batch_size is not None:
            size = self.batch_size
        elif self.kind == "serial":
            # Serial batches only pace the progress report.
            size = max(1, math.ceil(count / 16))
        else:
            size = max(1, math.ceil(count / (self.workers * batches_per_worker)))
        return [range(start, min(start + size, count)) for start in range(0, count, size)]

    def map(
        self,
        prepare: Callable[[Any], S],
        evaluate: Callable[[S, I], R],
        context: Any,
        items: Sequence[I],
        *,
        batches_per_worker: int = 1,
        on_batch: Callable[[int], None] | None = None,
    ) -> list[R]:
        """``[evaluate(prepare(context), item) for item in items]``, in batches.

        ``prepare`` and ``evaluate`` must be top-level functions and
        ``context`` and the items plain data when the batches leave the
        process. ``on_batch(n)`` is called in the calling thread as each batch
        of n items completes. On any exception, including KeyboardInterrupt,
        the batches not yet started are cancelled and the exception goes on.
        """
        items = list(items)
        if not items:
            return []

        def local(start: int, stop: int) -> list[R]:
            state = self.local_state(prepare, context)
            results: list[R] = []
            for part in self.batches(stop - start) if self.kind == "serial" else [range(stop - start)]:
                results.extend(evaluate(state, items[start + i]) for i in part)
                if on_batch is not None:
                    on_batch(len(part))
            return results

        def remote(start: int, stop: int) -> list[R]:
            parts = self.batches(stop - start, batches_per_worker)
            chunks = [[items[start + i] for i in part] for part in parts]
            done = self._run(prepare, evaluate, context, chunks, on_batch, False)
            return [result for part in done for result in part]

        pieces = self._adaptive(prepare, evaluate, context, len(items), local, remote, rows=False)
        return [result for piece in pieces for result in piece]

    def map_rows(
        self,
        prepare: Callable[[Any], S],
        evaluate: Callable[[S, npt.NDArray[np.float64]], Any],
        context: Any,
        rows: npt.NDArray[np.float64],
        *,
        on_batch: Callable[[int], None] | None = None,
    ) -> npt.NDArray[np.float64]:
        """``np.array([evaluate(prepare(context), row) for row in rows], dtype=float)``, in batches.

        :meth:`map` for the rows of a 2-D array (the points of an optimiser's
        population) and numeric results (a float or a tuple of floats per
        row): each batch travels as one array each way, rather than as many
        Python objects.
        """
        rows = np.asarray(rows, dtype=np.float64)
        if len(rows) == 0:
            return np.empty(0, dtype=np.float64)

        def local(start: int, stop: int) -> npt.NDArray[np.float64]:
            state = self.local_state(prepare, context)
            done = []
            for part in self.batches(stop - start) if self.kind == "serial" else [range(stop - start)]:
                done.append(_evaluate_rows(evaluate, state, rows[start + part.start : start + part.stop]))
                if on_batch is not None:
                    on_batch(len(part))
            return stack_rows(done)

        def remote(start: int, stop: int) -> npt.NDArray[np.float64]:
            chunks = [rows[start + part.start : start + part.stop] for part in self.batches(stop - start)]
            return stack_rows(self._run(prepare, evaluate, context, chunks, on_batch, True))

        return stack_rows(self._adaptive(prepare, evaluate, context, len(rows), local, remote, rows=True))

    def _faster(self) -> Literal["serial", "parallel"]:
        """The faster way by the rates measured so far (both are known)."""
        serial, parallel = self._rates["serial"], self._rates["parallel"]
        return "parallel" if parallel > _PARALLEL_MARGIN * serial else "serial"

    def _way(self, count: int) -> Literal["serial", "parallel"]:
        """How the next piece runs: timing each way once, then the faster, with a recheck now and then."""
        serial, parallel = self._rates.get("serial"), self._rates.get("parallel")
        if serial is None:
            return "serial"
        if parallel is None:
            if self._latency is None or self._cost is None:
                return "parallel"
            # Even with no cost but the round trip of an empty batch, the
            # workers would be slower: no call is spent on timing them now
            # (they are timed later, at the first recheck).
            reach = count / (self._latency + count * self._cost / self.workers)
            if reach > serial:
                return "parallel"
            self._rates["parallel"] = parallel = reach
            self._timings["parallel"] = 2
        faster = self._faster()
        # A way that lost on its first timing gets a second one at once: the
        # first may have met a worker still preparing, or other load.
        slower: Literal["serial", "parallel"] = "serial" if faster == "parallel" else "parallel"
        if self._timings[slower] < 2:
            return slower
        if faster != self._leader:
            self._leader, self._backoff, self._since_check = faster, 1, 0
        self._since_check += 1
        close = min(serial, parallel) > _RECHECK_RATIO * max(serial, parallel)
        if self._since_check >= min((_RECHECK if close else _RECHECK_FAR) * self._backoff, _RECHECK_LONGEST):
            self._since_check = 0
            self._backoff *= 2
            return slower
        return faster

    def _items_for(self, seconds: float, left: int) -> int:
        """How many of the ``left`` items make about ``seconds`` of serial work (at least one)."""
        if self._cost is None:
            return 1
        return max(1, min(left, int(seconds / max(self._cost, 1e-9))))

    def _adaptive(
        self,
        prepare: Callable[[Any], Any],
        evaluate: Callable[[Any, Any], Any],
        context: Any,
        count: int,
        local: Callable[[int, int], Any],
        remote: Callable[[int, int], Any],
        rows: bool,
    ) -> list[Any]:
        """The results of items [0, count), each piece run in the calling process or on the executor.

        While the workers start and prepare, the calling process works
        through the items itself, untimed (they share the cores), looking
        between slices whether the workers are ready. Then the serial way is
        timed on a share of the items and the parallel way on the rest (an
        optimiser's generation, call after call of the same size) or on a
        share of them (a list, often one call), and from then on the faster
        way takes whole calls.
        """
        if self.kind == "serial" or count == 1:
            return [local(0, count)]
        if not self.adaptive:
            return [remote(0, count)]
        pieces: list[Any] = []
        start = 0
        while start < count:
            left = count - start
            self.local_state(prepare, context)
            # A first slice alone (cold caches, lazy set-ups) does not tell the cost.
            costed = self._cost_slices >= 2
            learning = not costed and not self.in_process and not self._warmed and not self._warming
            # Sharing a call among the workers saves at most this much of it.
            saving = count * (self._cost or 0.0) * (1.0 - 1.0 / self.workers)
            cheap = costed and saving < _TRIP_FLOOR.get(self.kind, 0.0)
            if cheap and not self._warmed and not self._warming:
                # What the workers could save of a call is less than a trip to
                # them would cost: they are not even started.
                pieces.append(local(start, count))
                self._cheap = True
                break
            if learning or (not self.in_process and not self._ready(prepare, evaluate, context, rows)):
                stop = start + self._items_for(_WARMING_SLICE, left)
                began = time.perf_counter()
                pieces.append(local(start, stop))
                self._cost = (time.perf_counter() - began) / (stop - start)
                self._cost_slices += 1
                start = stop
                continue
            way = self._way(count)
            settled = len(self._rates) == 2 and way == self._faster()
            if way == "serial":
                stop = count if settled else start + self._items_for(_SERIAL_TIMING, left)
            elif rows or settled:
                stop = count
            else:
                stop = min(count, start + max(self.workers, count // 8))
            began = time.perf_counter()
            pieces.append(local(start, stop) if way == "serial" else remote(start, stop))
            seconds = max(time.perf_counter() - began, 1e-9)
            if way == "serial":
                self._cost = seconds / (stop - start)
            # Of the first two timings the better counts (other load only
            # slows a way down); after that each new timing counts half, so
            # that one disturbed by other load fades.
            rate = (stop - start) / seconds
            if way not in self._rates:
                self._rates[way] = rate
            elif self._timings[way] < 2:
                self._rates[way] = max(rate, self._rates[way])
            else:
                self._rates[way] = 0.5 * (rate + self._rates[way])
            self._timings[way] += 1
            start = stop
        self._describe()
        return pieces

    def _describe(self) -> None:
        serial, parallel = self._rates.get("serial"), self._rates.get("parallel")
        if parallel is None:
            if self._cheap:
                self.note = (
                    f"evaluated in the calling process: the {self.workers} workers of the {self.kind} would save "
                    f"less of a call ({1e3 * (self._cost or 0.0):.2g} ms an evaluation) than a trip to them costs"
                )
            elif self.kind not in ("serial", "threads") and self._cost is not None:
                self.note = (
                    f"evaluated in the calling process while the {self.workers} workers of the {self.kind} "
                    "were getting ready"
                )
            else:
                self.note = ""
        elif serial is None or parallel > _PARALLEL_MARGIN * serial:
            self.note = ""
        else:
            self.note = (
                f"evaluated in the calling process: {self.kind} ({self.workers} workers) gave "
                f"{parallel:,.0f} evaluations/s against {serial:,.0f} serially"
            )

    def _ready(
        self, prepare: Callable[[Any], Any], evaluate: Callable[[Any, Any], Any], context: Any, rows: bool
    ) -> bool:
        """Whether the workers have started and prepared; starts them on the first call."""
        if self._warmed:
            return True
        if not self._warming:
            self._warm_up(prepare, evaluate, context, rows)
            return self._warmed
        if all(future.done() for future in self._warming):
            self._wait_warm()
            self._latency = self._round_trip(prepare, evaluate, context, rows)
            return True
        return False

    def _round_trip(
        self, prepare: Callable[[Any], Any], evaluate: Callable[[Any, Any], Any], context: Any, rows: bool
    ) -> float | None:
        """Seconds for an empty batch to each worker and back, once they are ready (None if that failed)."""
        try:
            submit, completed, _ = self._dispatch(prepare, evaluate, context, rows)
            empty: Any = np.empty((0, 0)) if rows else []
            began = time.perf_counter()
            for _ in completed([submit(empty) for _ in range(self.workers)]):
                pass
            return time.perf_counter() - began
        except Exception:
            return None  # the real batches will meet the fault and report it

    def _warm_up(
        self, prepare: Callable[[Any], Any], evaluate: Callable[[Any, Any], Any], context: Any, rows: bool
    ) -> None:
        """Start the workers and have each prepare its state, while the calling process works."""
        if self.in_process or self._warming or self._warmed:
            return
        try:
            submit, _, _ = self._dispatch(prepare, evaluate, context, rows)
            empty: Any = np.empty((0, 0)) if rows else []
            with _spawning():
                self._warming = [submit(empty) for _ in range(self.workers)]
        except Exception:
            # The real batches will meet the fault and report it.
            self._warming, self._warmed = [], True

    def _wait_warm(self) -> None:
        warming, self._warming = self._warming, []
        self._warmed = True
        for future in warming:
            # A fault of the warm-up shows again in the real batches.
            with suppress(Exception):
                future.result()

    def _run(
        self,
        prepare: Callable[[Any], S],
        evaluate: Callable[[S, Any], Any],
        context: Any,
        chunks: list[Any],
        on_batch: Callable[[int], None] | None,
        rows: bool,
    ) -> list[Any]:
        """The results of each chunk, evaluated on the executor, in order.

        When a worker process dies, the pool is replaced and the chunks
        without a result are sent again, up to POOL_RESTARTS times.
        """
        done: list[Any] = [None] * len(chunks)
        finished = [False] * len(chunks)
        restarts = 0
        while True:
            submit, completed, cancel = self._dispatch(prepare, evaluate, context, rows)
            pending: dict[Any, int] = {}
            try:
                with _spawning():
                    for index, chunk in enumerate(chunks):
                        if not finished[index]:
                            pending[submit(chunk)] = index
                for future, result in completed(list(pending)):
                    index = pending[future]
                    done[index], finished[index] = result, True
                    if on_batch is not None:
                        on_batch(len(chunks[index]))
                return done
            except BrokenProcessPool as error:
                cancel(list(pending))
                restarts += 1
                if restarts > POOL_RESTARTS or not self._renew_pool():
                    raise WorkersLost(
                        f"a worker process died {restarts} time(s) ({error}); "
                        f"{finished.count(False)} of {len(chunks)} batches were lost"
                    ) from None
            except BaseException:
                cancel(list(pending))
                raise

    def _renew_pool(self) -> bool:
        """Replace a broken process pool by a fresh one of the same size; False when it is not ours to replace."""
        broken = self._pool
        if not isinstance(broken, ProcessPoolExecutor):
            return False
        broken.shutdown(wait=False, cancel_futures=True)
        self._owned = self._pool = _new_pool(self.workers)
        self._warming = []
        return True

    def _dispatch(
        self, prepare: Callable[[Any], S], evaluate: Callable[[S, Any], Any], context: Any, rows: bool
    ) -> tuple[
        Callable[[Any], Any],
        Callable[[list[Any]], Iterable[tuple[Any, Any]]],
        Callable[[list[Any]], object],
    ]:
        """How a batch is submitted, how results come back, how pending work is cancelled."""
        if self._client is not None:
            client = self._client
            if self._scattered is None:
                # The nanny's MALLOC_TRIM_THRESHOLD_ would have each evaluation
                # fault in the pages of its temporaries again (4-5x slower).
                with suppress(Exception):
                    client.run(_keep_buffer_pages)
            if self._scattered is None or self._scattered[0] is not context:
                # One object under a fresh key: scatter() would spread a dict's
                # values under its keys ("model", "rain", ...), names shared with
                # every other run, whose release could then take this run's data.
                [future] = client.scatter([context], broadcast=True, hash=False)
                self._scattered = (context, future)
            shared = self._scattered[1]
            token = self._token(context)
            remote = run_rows if rows else run_batch
            return (
                lambda chunk: client.submit(remote, prepare, evaluate, shared, chunk, token, pure=False),
                lambda futures: self._dask_results(futures),
                client.cancel,
            )
        pool = self._pool
        if pool is None:
            raise RuntimeError("this runner is closed")
        if self.in_process:
            # Threads share the calling process's prepared state.
            state = self.local_state(prepare, context)
            local = _evaluate_rows if rows else _evaluate_all

            def submit(chunk: Any) -> Any:
                return pool.submit(local, evaluate, state, chunk)

            return submit, self._pool_results, _cancel_all
        token = self._token(context)
        packed = self._pack(context)
        remote = run_rows if rows else run_batch

        def submit_remote(chunk: Any) -> Any:
            return pool.submit(remote, prepare, evaluate, packed, chunk, token)

        return submit_remote, self._pool_results, _cancel_all

    def _dask_results(self, futures: list[Any]) -> Iterable[tuple[Any, Any]]:
        client = cast(_DaskClient, self._client)
        if len(futures) <= self.workers:
            # One batch per worker (a generation of an optimiser): one trip
            # for all the results, which costs less than following each.
            return zip(futures, client.gather(futures), strict=True)
        import distributed

        following: Any = distributed.as_completed  # untyped in distributed
        return cast(Iterable[tuple[Any, Any]], following(futures, with_results=True))

    def _pool_results(self, futures: list[Future[Any]]) -> Iterable[tuple[Future[Any], Any]]:
        if len(futures) <= self.workers:
            # One batch per worker, all running at once (a generation of an
            # optimiser): each is waited for in turn, with no waiter to set
            # up and tear down for the whole set.
            return ((future, future.result()) for future in futures)
        return ((future, future.result()) for future in futures_as_completed(futures))


def _keep_buffer_pages() -> bool:
    """Run on each Dask worker: large temporaries keep their pages between evaluations."""
    from .. import _kernels

    return _kernels.keep_buffer_pages()


def _cancel_all(futures: list[Future[Any]]) -> None:
    for future in futures:
        future.cancel()


def _evaluate_all(evaluate: Callable[[S, I], R], state: S, items: Sequence[I]) -> list[R]:
    return [evaluate(state, item) for item in items]


def _evaluate_rows(
    evaluate: Callable[[S, npt.NDArray[np.float64]], Any], state: S, rows: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    results = [np.asarray(evaluate(state, row), dtype=np.float64) for row in rows]
    if all(result.ndim == 0 for result in results):
        return np.array(results, dtype=np.float64)
    return _padded([result.reshape(1, -1) for result in results])


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
