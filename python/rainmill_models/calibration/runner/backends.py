"""Where batches run: one small class per kind of executor, behind one protocol.

Each backend says how many workers it has, whether its batches stay in the
calling process, what a trip to its workers costs and what starting them
costs; it submits a batch (``submitter``), hands results back as they come
(``results``), cancels what is pending, and closes what it started. The
decisions (serial or parallel, how many items a piece) are the policy's
(:mod:`.policy`); the loop is the runner's (:mod:`.core`).
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import uuid
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures import as_completed as futures_as_completed
from contextlib import suppress
from types import TracebackType
from typing import Any, NamedTuple, Protocol, Self, cast

from .signals import deferred_interrupts, refuse_unguarded_main, spawning
from .worker import (
    Packed,
    Stored,
    discard,
    evaluate_all,
    evaluate_rows,
    keep_buffer_pages,
    pack,
    run_batch,
    run_rows,
    start_worker,
)

Submit = Callable[[Any], Any]
# What starting a worker process costs the machine (seconds of a core): an
# interpreter importing NumPy, pandas, SciPy and this package (0.8 s measured
# on the 2-core machine).
_START_PROCESS = 0.8


def cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


class _DaskClient(Protocol):
    def scatter(self, data: Any, broadcast: bool = ..., hash: bool = ...) -> Any: ...
    def run(self, function: Callable[..., Any]) -> Any: ...
    def submit(self, func: Callable[..., Any], *args: Any, pure: bool = ...) -> Any: ...
    def cancel(self, futures: Any) -> Any: ...
    def gather(self, futures: Any) -> Any: ...
    def nthreads(self) -> dict[str, int]: ...


def is_dask_client(executor: object) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "scatter")


class Work(NamedTuple):
    """One call's work: ``evaluate(prepare(context), item)`` for each item (the rows of an array with ``rows``)."""

    prepare: Callable[[Any], Any]
    evaluate: Callable[[Any, Any], Any]
    context: Any
    rows: bool
    timeout: float | None = None  # seconds an evaluation may take, where a worker can keep the limit

    @property
    def local(self) -> Callable[..., Any]:
        """What evaluates a batch once prepared: a list of results, or their rows as one array."""
        return evaluate_rows if self.rows else evaluate_all

    @property
    def remote(self) -> Callable[..., Any]:
        """What a worker runs for a batch: it prepares the state (once per token), then evaluates."""
        return run_rows if self.rows else run_batch


class ClosedOnExit:
    """A `with` block closes it, passing on the error that ended the block (if one did)."""

    def close(self, error: BaseException | None = None) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close(error)


class Backend(ClosedOnExit):
    """Serial: everything in the calling thread (the defaults of every backend)."""

    kind = "serial"
    workers = 1
    in_process = True
    trip_floor = 0.0  # seconds a trip to the workers and back costs

    def start_cost(self) -> float:
        """Seconds of a core that starting the workers would take (0: they are running)."""
        return 0.0

    def submitter(self, work: Work, state: Callable[[], Any]) -> Submit:
        raise RuntimeError("a serial runner evaluates in the calling thread")

    def results(self, futures: list[Any]) -> Iterable[tuple[Any, Any]]:
        # One batch per worker, all running at once (a generation of an
        # optimiser): each is waited for in turn, with no waiter to set up.
        arrivals = futures if len(futures) <= self.workers else futures_as_completed(futures)
        return ((future, future.result()) for future in arrivals)

    def cancel(self, futures: list[Any]) -> None:
        for future in futures:
            future.cancel()

    def renew(self) -> bool:
        """Replace workers that died; False when they are not this backend's to replace."""
        return False

    def context_lost(self) -> bool:
        """Send the context with each batch from now on; False when it already is."""
        return False

    def close(self, error: BaseException | None = None) -> None:
        pass


class Threads(Backend):
    """A thread pool: batches share the calling process's prepared state."""

    kind = "threads"

    def __init__(self, pool: ThreadPoolExecutor, owned: bool) -> None:
        self.pool, self.owned = pool, owned
        self.workers = int(getattr(pool, "_max_workers", 0) or cores())

    def submitter(self, work: Work, state: Callable[[], Any]) -> Submit:
        prepared = state()
        return lambda chunk: self.pool.submit(work.local, work.evaluate, prepared, chunk)

    def close(self, error: BaseException | None = None) -> None:
        if self.owned:
            with deferred_interrupts(error is not None):
                self.pool.shutdown(wait=True, cancel_futures=True)


class Shipped(Backend):
    """A caller's executor whose batches leave the process: the context goes pickled, once per context."""

    kind = "executor"
    in_process = False
    trip_floor = 0.002  # some 1-2 ms through a pool's pipes

    def __init__(self, executor: Executor) -> None:
        self.executor = executor
        self.workers = int(getattr(executor, "_max_workers", 0) or cores())
        self._packed: tuple[object, Packed | Stored, str] | None = None

    def shipped(self, context: object) -> tuple[Packed | Stored, str]:
        """``context`` pickled (once per context) and its token, unique to this backend and context."""
        if self._packed is None or self._packed[0] is not context:
            self.close_context()
            self._packed = (context, pack(context), uuid.uuid4().hex)
        return self._packed[1], self._packed[2]

    def submitter(self, work: Work, state: Callable[[], Any]) -> Submit:
        packed, token = self.shipped(work.context)
        pool = self.executor
        return lambda chunk: pool.submit(work.remote, work.prepare, work.evaluate, packed, chunk, token, work.timeout)

    def context_lost(self) -> bool:
        if self._packed is None or not isinstance(self._packed[1], Stored):
            return False
        context, stored, token = self._packed
        discard(stored)
        self._packed = (context, Packed(pickle.dumps(context, pickle.HIGHEST_PROTOCOL)), token)
        return True

    def close_context(self) -> None:
        discard(self._packed[1] if self._packed is not None else None)
        self._packed = None

    def close(self, error: BaseException | None = None) -> None:
        self.close_context()


class Processes(Shipped):
    """A :class:`WorkerPool`: this runner's own (closed with it) or a caller's (left running)."""

    kind = "processes"

    def __init__(self, pool: WorkerPool, owned: bool) -> None:
        super().__init__(pool)
        self.pool, self.owned, self.workers = pool, owned, pool.workers

    def start_cost(self) -> float:
        return self.pool.start_cost()

    def renew(self) -> bool:
        self.pool.renew()
        return True

    def close(self, error: BaseException | None = None) -> None:
        super().close(error)
        if self.owned:
            self.pool.close(error)


class Dask(Backend):
    """A Dask client: the context is scattered to every worker once, batches are tasks."""

    kind = "dask"
    in_process = False
    trip_floor = 0.03  # 10-30 ms through a scheduler

    def __init__(self, client: Any) -> None:
        # A running cluster's workers are past their start, and functions
        # of the main script reach them by value: nothing to refuse.
        self.client = cast(_DaskClient, client)
        self.workers = max(1, sum(self.client.nthreads().values()))
        self._scattered: tuple[object, Any, str] | None = None

    def submitter(self, work: Work, state: Callable[[], Any]) -> Submit:
        client = self.client
        if self._scattered is None:
            # The nanny's MALLOC_TRIM_THRESHOLD_ would have each evaluation
            # fault in the pages of its temporaries again (4-5x slower).
            with suppress(Exception):
                client.run(keep_buffer_pages)
        if self._scattered is None or self._scattered[0] is not work.context:
            # One object under a fresh key: scatter() would spread a dict's
            # values under its keys ("model", "rain", ...), names shared with
            # every other run, whose release could then take this run's data.
            [future] = client.scatter([work.context], broadcast=True, hash=False)
            self._scattered = (work.context, future, uuid.uuid4().hex)
        _, shared, token = self._scattered
        return lambda chunk: client.submit(
            work.remote, work.prepare, work.evaluate, shared, chunk, token, work.timeout, pure=False
        )

    def results(self, futures: list[Any]) -> Iterable[tuple[Any, Any]]:
        if len(futures) <= self.workers:
            # One batch per worker: one trip for all the results.
            return zip(futures, self.client.gather(futures), strict=True)
        import distributed

        following: Any = distributed.as_completed  # untyped in distributed
        return cast(Iterable[tuple[Any, Any]], following(futures, with_results=True))

    def cancel(self, futures: list[Any]) -> None:
        self.client.cancel(futures)

    def close(self, error: BaseException | None = None) -> None:
        self._scattered = None


class WorkerPool(ClosedOnExit, Executor):
    """Worker processes that serve many calls, started at the first batch that needs them.

    Pass it as ``executor=`` to as many calibrations, ensembles and searches
    as you like: the workers start once, and each call's context reaches each
    worker once. Use it as a context manager (or call :meth:`shutdown`)::

        with rm.WorkerPool(2) as pool:
            fits = [rm.calibrate(model, rain, q, bounds, executor=pool) for q in records]

    ``executor="processes"`` (or a worker count) makes a pool of its own for
    one call and closes it with the call. Workers die with the process that
    started them and leave Ctrl-C to it. A pool whose workers are still
    starting or busy when it closes is not waited for: they are stopped.
    """

    def __init__(self, workers: int | None = None) -> None:
        if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
            raise ValueError(f"workers must be a positive integer, not {workers!r}")
        refuse_unguarded_main("a WorkerPool" if workers is None else f"{workers} worker processes")
        self.workers = workers or cores()
        self._executor: ProcessPoolExecutor | None = None
        self._pending: set[Future[Any]] = set()
        self._closed = False

    @property
    def started(self) -> bool:
        """Whether the worker processes were asked for (the first batch starts them)."""
        return self._executor is not None

    def start_cost(self) -> float:
        return 0.0 if self._executor is not None else self.workers * _START_PROCESS

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        if self._closed:
            raise RuntimeError("this WorkerPool is closed")
        if self._executor is None:
            with spawning():
                # Fresh interpreters (spawn): a fork of a process that runs
                # threads (a progress bar's, a Dask client's) can deadlock.
                self._executor = ProcessPoolExecutor(
                    self.workers,
                    mp_context=multiprocessing.get_context("spawn"),
                    initializer=start_worker,
                    initargs=(os.getpid(),),
                )
        with spawning():
            future = self._executor.submit(fn, *args, **kwargs)
        self._pending.add(future)
        future.add_done_callback(self._pending.discard)
        return future

    def renew(self) -> None:
        """Drop workers that died (a broken pool): the next batch starts fresh ones."""
        broken, self._executor = self._executor, None
        if broken is not None:
            broken.shutdown(wait=False, cancel_futures=True)

    def close(self, error: BaseException | None = None) -> None:
        """Stop the workers: waited for when idle; stopped at once when busy, starting, or after ``error``."""
        self._closed = True
        pool, self._executor = self._executor, None
        if pool is None:
            return
        with deferred_interrupts(error is not None):
            if error is not None or any(not future.done() for future in self._pending):
                pool.terminate_workers()
            else:
                pool.shutdown(wait=True, cancel_futures=True)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self.close()


def backend_for(executor: Any) -> Backend:
    """The backend of an ``executor=`` argument."""
    problem = (
        'executor must be None, "threads", "processes", a worker count, a WorkerPool, '
        "a concurrent.futures.Executor or a Dask client, not "
    )
    if executor is None:
        return Backend()
    if isinstance(executor, str):
        if executor == "threads":
            return Threads(ThreadPoolExecutor(max_workers=cores()), owned=True)
        if executor == "processes":
            return Processes(_own_pool(None, 'executor="processes"'), owned=True)
        raise ValueError(f"{problem}{executor!r}")
    if isinstance(executor, int) and not isinstance(executor, bool):
        if executor < 1:
            raise ValueError(f"executor: the worker count must be at least 1, not {executor}")
        return Processes(_own_pool(executor, f"executor={executor}"), owned=True)
    if isinstance(executor, WorkerPool):
        return Processes(executor, owned=False)
    if isinstance(executor, ThreadPoolExecutor):
        return Threads(executor, owned=False)
    if isinstance(executor, Executor):
        context = getattr(executor, "_mp_context", None)
        if isinstance(executor, ProcessPoolExecutor) and context is not None and context.get_start_method() != "fork":
            refuse_unguarded_main("a process pool")
        return Shipped(executor)
    if is_dask_client(executor):
        return Dask(executor)
    raise TypeError(f"{problem}{type(executor).__name__}")


def _own_pool(workers: int | None, what: str) -> WorkerPool:
    refuse_unguarded_main(what)
    return WorkerPool(workers)
