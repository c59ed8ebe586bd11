"""The runner: a backend (where batches run) and a policy (when work leaves the calling process)."""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Sequence
from concurrent.futures.process import BrokenProcessPool
from contextlib import suppress
from typing import Any, TypeVar, cast

import numpy as np
import numpy.typing as npt

from .backends import Backend, ClosedOnExit, Work, backend_for
from .policy import SERIAL_TIMING, WARMING_SLICE, Policy, Way
from .signals import spawning
from .worker import ContextLost, stack_rows, timed

S = TypeVar("S")
I = TypeVar("I")  # noqa: E741 (the item type)
R = TypeVar("R")

ExecutorLike = None | str | int | Any
"""What ``executor=`` accepts: None, "threads", "processes", a worker count, a
:class:`~rainmill_models.WorkerPool`, a concurrent.futures.Executor or a Dask
client (``Any`` stands for the last, an optional dependency)."""

# How many times the workers of a run are replaced after one died.
POOL_RESTARTS = 2


class WorkersLost(RuntimeError):
    """The worker processes kept dying: the work could not be completed."""


class Runner(ClosedOnExit):
    """The ``executor=`` argument resolved: evaluates lists of items in batches.

    Use it as a context manager; pools it created itself are shut down on
    exit, executors, pools and clients given by the caller are left running.
    ``batch_size`` fixes the number of items per batch (and always uses the
    executor); by default each call to :meth:`map` makes ``batches_per_worker``
    batches per worker, and with ``adaptive`` the runner times the serial and
    the parallel way and keeps the faster (see :mod:`.policy`). ``expected``
    is how many items the whole run may hold (an optimiser's budget), which
    tells whether starting worker processes can pay off. ``evaluation_timeout``
    (seconds) stops an evaluation that runs longer, where the evaluation runs
    in a process's main thread (serially, on a process pool): it raises
    :class:`~rainmill_models.calibration.runner.EvaluationTimeout` there.
    """

    def __init__(
        self,
        executor: ExecutorLike = None,
        *,
        batch_size: int | None = None,
        adaptive: bool = True,
        expected: int | None = None,
        evaluation_timeout: float | None = None,
    ) -> None:
        if batch_size is not None and (isinstance(batch_size, bool) or batch_size < 1):
            raise ValueError(f"batch_size must be a positive integer, not {batch_size!r}")
        if evaluation_timeout is not None and not (evaluation_timeout >= 0.001 and math.isfinite(evaluation_timeout)):
            raise ValueError(f"evaluation_timeout must be a number of seconds >= 0.001, not {evaluation_timeout!r}")
        self.backend: Backend = backend_for(executor)
        self.kind, self.workers = self.backend.kind, self.backend.workers
        self.in_process = self.backend.in_process  # True when batches run in the calling process (or its threads)
        self.batch_size = batch_size
        self.adaptive = adaptive and batch_size is None
        self.timeout = evaluation_timeout
        self.policy = Policy(self.workers, self.backend.trip_floor, expected)
        self.note = ""
        self._warming: list[Any] = []
        self._warmed = False
        self._local: tuple[object, Any] | None = None

    def close(self, error: BaseException | None = None) -> None:
        """Shut down what this runner started (pending batches are cancelled).

        Workers still busy or starting, or after an ``error`` (Ctrl-C, say),
        are stopped rather than waited for. A Ctrl-C during the shutdown is
        held back until it is done.
        """
        self._warming = []
        self._local = None
        self.backend.close(error)

    def local_state(self, prepare: Callable[[Any], S], context: Any) -> S:
        """The prepared state for the calling process, made once per context."""
        if self._local is None or self._local[0] is not context:
            self._local = (context, prepare(context))
        return cast(S, self._local[1])

    def batches(self, count: int, batches_per_worker: int = 1) -> list[range]:
        """How ``count`` items are split (consecutive ranges, in order)."""
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
        work = Work(prepare, evaluate, context, False, self.timeout)
        return _joined(self._map(work, list(items), batches_per_worker, on_batch))

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
        work = Work(prepare, evaluate, context, True, self.timeout)
        return stack_rows(self._map(work, np.asarray(rows, dtype=np.float64), 1, on_batch))

    def _map(
        self, work: Work, items: Any, batches_per_worker: int, on_batch: Callable[[int], None] | None
    ) -> list[Any]:
        """The results of the items (a list, or the rows of an array), a list or an array per piece."""
        if len(items) == 0:
            return []
        run, join = timed(work.evaluate, self.timeout), stack_rows if work.rows else _joined

        def local(start: int, stop: int) -> Any:
            state = self.local_state(work.prepare, work.context)
            done = []
            for part in self.batches(stop - start) if self.kind == "serial" else [range(stop - start)]:
                done.append(work.local(run, state, items[start + part.start : start + part.stop]))
                if on_batch is not None:
                    on_batch(len(part))
            return join(done)

        def remote(start: int, stop: int) -> Any:
            parts = self.batches(stop - start, batches_per_worker)
            return join(self._run(work, [items[start + part.start : start + part.stop] for part in parts], on_batch))

        return self._adaptive(work, len(items), local, remote)

    def _adaptive(
        self, work: Work, count: int, local: Callable[[int, int], Any], remote: Callable[[int, int], Any]
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
        policy = self.policy
        if self.kind == "serial" or count == 1:
            return [local(0, count)]
        if not self.adaptive:
            return [remote(0, count)]
        pieces: list[Any] = []
        start = 0
        while start < count:
            left = count - start
            self.local_state(work.prepare, work.context)
            idle = not self._warmed and not self._warming
            way: Way | None = None  # None: an untimed slice in the calling process
            if policy.costed and idle and not policy.worth_starting(count, self.backend.start_cost()):
                # What the workers could save is less than starting them or a
                # trip to them would cost: they are not even started.
                stop = count
            elif not self.in_process and ((not policy.costed and idle) or not self._ready(work)):
                # Learning the cost of an item, or the workers still getting ready.
                stop = start + policy.items_for(WARMING_SLICE, left)
            else:
                way = policy.way(count)
                settled = policy.settled(way)
                if way == "serial":
                    stop = count if settled else start + policy.items_for(SERIAL_TIMING, left)
                elif work.rows or settled:
                    stop = count
                else:
                    stop = min(count, start + max(self.workers, count // 8))
            began = time.perf_counter()
            pieces.append(remote(start, stop) if way == "parallel" else local(start, stop))
            if way is None:
                policy.slice_done(stop - start, time.perf_counter() - began)
            else:
                policy.timed(way, stop - start, time.perf_counter() - began)
            start = stop
        self.note = policy.note(self.kind, self.workers, self.in_process)
        return pieces

    def _submitter(self, work: Work) -> Callable[[Any], Any]:
        return self.backend.submitter(work, state=lambda: self.local_state(work.prepare, work.context))

    def _empty_batches(self, work: Work) -> list[Any]:
        """An empty batch submitted to each worker: it starts and prepares its state."""
        submit = self._submitter(work)
        empty: Any = np.empty((0, 0)) if work.rows else []
        with spawning():
            return [submit(empty) for _ in range(self.workers)]

    def _ready(self, work: Work) -> bool:
        """Whether the workers have started and prepared; starts them on the first call."""
        if self._warmed:
            return True
        if not self._warming:
            self._warm_up(work)
            return self._warmed
        if all(future.done() for future in self._warming):
            self._wait_warm()
            self.policy.latency = self._round_trip(work)
            return True
        return False

    def _round_trip(self, work: Work) -> float | None:
        """Seconds for an empty batch to each worker and back, once they are ready (None if that failed).

        The better of two rounds: in the first, a worker that took none of the
        warm-up batches still prepares its state.
        """
        try:
            rounds = []
            for _ in range(2):
                began = time.perf_counter()
                for _ in self.backend.results(self._empty_batches(work)):
                    pass
                rounds.append(time.perf_counter() - began)
            return min(rounds)
        except Exception:
            return None  # the real batches will meet the fault and report it

    def _warm_up(self, work: Work) -> None:
        """Start the workers and have each prepare its state, while the calling process works."""
        try:
            self._warming = self._empty_batches(work)
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

    def _run(self, work: Work, chunks: list[Any], on_batch: Callable[[int], None] | None) -> list[Any]:
        """The results of each chunk, evaluated on the executor, in order.

        When a worker process dies, its workers are replaced and the chunks
        without a result are sent again, up to POOL_RESTARTS times; when the
        file of the context was lost, the context is sent with each batch.
        """
        done: dict[int, Any] = {}  # the result of each chunk, by its position
        restarts = 0
        while True:
            submit = self._submitter(work)
            pending: dict[Any, int] = {}
            try:
                with spawning():
                    for index, chunk in enumerate(chunks):
                        if index not in done:
                            pending[submit(chunk)] = index
                for future, result in self.backend.results(list(pending)):
                    index = pending[future]
                    done[index] = result
                    if on_batch is not None:
                        on_batch(len(chunks[index]))
                return [done[index] for index in range(len(chunks))]
            except BaseException as error:
                self.backend.cancel(list(pending))
                if isinstance(error, BrokenProcessPool):
                    restarts += 1
                    if restarts > POOL_RESTARTS or not self.backend.renew():
                        raise WorkersLost(
                            f"a worker process died {restarts} time(s) ({error}); "
                            f"{len(chunks) - len(done)} of {len(chunks)} batches were lost"
                        ) from None
                    self._warming = []
                elif not (isinstance(error, ContextLost) and self.backend.context_lost()):
                    raise


def _joined(pieces: list[list[R]]) -> list[R]:
    return [result for piece in pieces for result in piece]
