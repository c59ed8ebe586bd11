"""Bounded searches with SciPy's optimisers over batch-evaluated objectives.

The searches run in the unit cube: each parameter is rescaled from its
(low, high) bounds to [0, 1], so that Nelder-Mead's simplex has the same shape
whatever the units, and the objective is called with the values in their own
units. A generation of differential evolution is evaluated as one array of
points, through :meth:`~rainmill_models.executors.Runner.map_rows`, with
``updating="deferred"`` whatever the executor, so a seed gives the same
search serially, on threads, on processes and on a Dask cluster. Dual
annealing and Nelder-Mead are sequences of single points: they run in the
calling process.

Every evaluation is recorded; Ctrl-C (KeyboardInterrupt) stops the search
and the best point so far is returned with ``interrupted=True`` (before any
evaluation is in, the KeyboardInterrupt goes on). ``max_evaluations`` is a
hard budget for every method; ``evaluation_timeout`` (seconds) stops an
evaluation that runs longer, where it runs in a process's main thread
(serially, on a process pool; not on threads or Dask). An evaluation that
fails for a reason of the model (an ``ArithmeticError`` such as
OverflowError, a ``MemoryError`` or a ``ValueError`` such as ModelError) or
that ran out of time is scored as the worst value and counted in
:attr:`SearchResult.failures`; any other exception ends the search. A
search in which no evaluation gave a finite loss raises :class:`SearchFailed`.
"""

from __future__ import annotations

import math
import time
from collections import Counter
from collections.abc import Callable, Iterable, Mapping, Sequence
from contextlib import closing
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import optimize

from .runner import EvaluationTimeout, ExecutorLike, Runner, WorkersLost, stack_rows

__all__ = ["METHODS", "SearchFailed", "SearchResult", "search", "unit_to_bounds"]

FloatArray = npt.NDArray[np.float64]
# What an objective returns for one point: its loss, or its loss and the
# value to report for it (a score whose loss is 1 - score, say).
Outcome = float | tuple[float, ...] | npt.NDArray[np.float64]  # an array: (loss, value, details...)

METHODS = {
    "differential_evolution": "differential_evolution",
    "de": "differential_evolution",
    "dual_annealing": "dual_annealing",
    "nelder-mead": "nelder-mead",
    "nelder_mead": "nelder-mead",
}

# The optimisers take their settings as keyword arguments passed through
# from the caller, which their overloaded signatures cannot check here.
_SCIPY: dict[str, Any] = {
    "differential_evolution": optimize.differential_evolution,
    "dual_annealing": optimize.dual_annealing,
    "minimize": optimize.minimize,
}

# What the optimisers see for a point whose objective is not a finite number
# (an invalid model, a score of constant flows): far worse than any real loss,
# yet finite, so that simplex and gradient steps stay defined.
INVALID_LOSS = 1.0e30

# The failures of an evaluation that belong to the model, by the code an
# evaluation reports for them (0: none); a model that overflows, runs out
# of memory or is refused by a kernel is a bad point, not a broken search.
# An evaluation stopped by the run's time limit is scored the same way.
MODEL_FAULTS: tuple[type[Exception], ...] = (ArithmeticError, MemoryError, ValueError, EvaluationTimeout)
_FAULT_NAMES = ("", "ArithmeticError", "MemoryError", "ValueError", "over the time limit")


class SearchFailed(ValueError):
    """No evaluation of the search gave a finite loss."""


@dataclass(frozen=True, slots=True)
class _Scored:
    """``evaluate`` made total: (loss, value, fault code, details...) for every point.

    A plain object holding a top-level function, so it travels to worker
    processes like the function itself.
    """

    evaluate: Callable[[Any, FloatArray], Outcome]

    def __call__(self, state: Any, x: FloatArray) -> tuple[float, ...]:
        try:
            outcome = self.evaluate(state, x)
        except MODEL_FAULTS as error:
            code = next(i for i, kind in enumerate(MODEL_FAULTS, 1) if isinstance(error, kind))
            return math.inf, math.nan, float(code)  # its details come out as NaN
        numbers = np.asarray(outcome, dtype=np.float64).ravel().tolist()
        if len(numbers) == 1:
            return numbers[0], numbers[0], 0.0
        return numbers[0], numbers[1], 0.0, *numbers[2:]


class _BudgetSpent(Exception):
    """Raised inside the optimiser once ``max_evaluations`` evaluations are in."""


class _Carried(Exception):
    """An error of the evaluations carried through the optimiser, which rewraps TypeError and ValueError."""

    def __init__(self, error: Exception) -> None:
        super().__init__(str(error))
        self.error = error


@dataclass(frozen=True)
class SearchResult:
    """The outcome of :func:`search` (values in the parameters' own units)."""

    x: FloatArray
    loss: float
    value: float
    method: str
    evaluations: int
    points: FloatArray = field(repr=False)
    losses: FloatArray = field(repr=False)
    values: FloatArray = field(repr=False)
    generations: npt.NDArray[np.int64] = field(repr=False)
    interrupted: bool = False
    # Whatever an objective returned after its (loss, value), one row per evaluation (none: no column).
    details: FloatArray = field(default_factory=lambda: np.empty((0, 0)), repr=False)
    message: str = ""
    seconds: float = 0.0
    failures: int = 0


def unit_to_bounds(unit: FloatArray, low: FloatArray, high: FloatArray) -> FloatArray:
    """Map points of the unit cube to the box [low, high] (the last axis is the parameter)."""
    return np.clip(low + np.asarray(unit, dtype=np.float64) * (high - low), low, high)


@dataclass
class _Recorder:
    """Evaluates points for the optimiser and keeps every evaluation.

    The evaluations are kept as one array per call: a generation of
    differential evolution is recorded without a Python object per point.
    """

    runner: Runner
    prepare: Callable[[Any], Any]
    evaluate: _Scored
    context: Any
    low: FloatArray
    high: FloatArray
    progress: Any
    budget: int | None = None
    # One entry per call: (points, outcomes), kept by a single append, so
    # that a Ctrl-C landing while a call is recorded leaves it in whole or not at all.
    calls: list[tuple[FloatArray, FloatArray]] = field(default_factory=list)
    count: int = 0

    def _allowed(self, count: int) -> int:
        """How many of ``count`` points the budget leaves; _BudgetSpent when none."""
        if self.budget is None:
            return count
        left = self.budget - self.count
        if left <= 0:
            raise _BudgetSpent
        return min(count, left)

    def _record(self, xs: FloatArray, outcomes: FloatArray) -> FloatArray:
        """Keep the points (one per row) and their outcomes; the losses the optimiser sees."""
        # Columns of the outcomes: loss, value to report, fault code, then the details (see _Scored).
        self.calls.append((xs, outcomes))
        self.count += len(xs)
        losses = outcomes[:, 0]
        return np.where(np.isfinite(losses), losses, INVALID_LOSS)

    def one(self, unit: FloatArray) -> float:
        self._allowed(1)
        x = unit_to_bounds(unit, self.low, self.high)
        state = self.runner.local_state(self.prepare, self.context)
        outcome = np.array([self.evaluate(state, x)], dtype=np.float64)
        self.progress.update(1)
        return float(self._record(x.reshape(1, -1), outcome)[0])

    def many(self, _func: object, units: Iterable[FloatArray]) -> FloatArray:
        # The map-like callable handed to differential evolution: the
        # function it passes is our own `one`, evaluated here in batches.
        cube = units if isinstance(units, np.ndarray) else np.array(list(units), dtype=np.float64)
        xs = unit_to_bounds(cube, self.low, self.high)
        allowed = self._allowed(len(xs))
        try:
            outcomes = self.runner.map_rows(
                self.prepare, self.evaluate, self.context, xs[:allowed], on_batch=self.progress.update
            )
        except (TypeError, ValueError) as error:
            raise _Carried(error) from None
        losses = self._record(xs[:allowed], outcomes)
        if allowed < len(xs):
            raise _BudgetSpent  # a generation cut short: its losses are never used
        return losses

    def faults(self) -> Counter[int]:
        """How many evaluations failed, by fault code."""
        codes = [outcomes[:, 2][outcomes[:, 2] > 0].astype(int).tolist() for _, outcomes in self.calls]
        return Counter(code for call in codes for code in call)

    def describe_failures(self) -> str:
        faults = self.faults()
        if not faults:
            return ""
        kinds = ", ".join(f"{_FAULT_NAMES[code]} {n}" for code, n in sorted(faults.items()))
        return f"{faults.total()} evaluations failed in the model ({kinds}) and were scored as the worst"

    def collected(self, size: int) -> tuple[FloatArray, FloatArray, FloatArray, npt.NDArray[np.int64], FloatArray]:
        """Every evaluation so far: points, losses, values, generations and details (one row each)."""
        if not self.calls:
            empty = np.empty(0, dtype=np.float64)
            return empty.reshape(0, size), empty, empty, np.empty(0, dtype=np.int64), empty.reshape(0, 0)
        # Calls of different widths (a failed evaluation gives no details) are padded with NaN.
        outcomes = stack_rows([outcome for _, outcome in self.calls])
        generations = np.concatenate(
            [np.full(len(xs), generation, dtype=np.int64) for generation, (xs, _) in enumerate(self.calls)]
        )
        points = np.concatenate([xs for xs, _ in self.calls]).reshape(-1, size)
        return points, outcomes[:, 0], outcomes[:, 1], generations, outcomes[:, 3:]


class _NoProgress:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(enabled: bool, description: str, total: int | None = None, unit: str = "eval") -> Any:
    if not enabled:
        return _NoProgress()
    try:
        from tqdm.auto import tqdm
    except ImportError:  # tqdm is optional: no bar without it
        return _NoProgress()

    # Shown only for runs that last more than a second.
    return tqdm(total=total, desc=description, unit=unit, delay=1.0, leave=False)


def search(
    prepare: Callable[[Any], Any],
    evaluate: Callable[[Any, FloatArray], Outcome],
    context: Any,
    bounds: Sequence[tuple[float, float]],
    *,
    method: str = "differential_evolution",
    seed: int | None = None,
    x0: Sequence[float] | None = None,
    executor: ExecutorLike = None,
    batch_size: int | None = None,
    progress: bool = True,
    options: Mapping[str, Any] | None = None,
    max_evaluations: int | None = None,
    evaluation_timeout: float | None = None,
) -> SearchResult:
    """Minimise ``evaluate(prepare(context), x)`` over the box ``bounds``.

    ``evaluate`` returns the loss of one parameter vector (NaN or infinity
    for an invalid one), or a pair (loss, value to report); ``prepare`` and ``evaluate`` are top-level functions
    and ``context`` plain data, so that the points can be evaluated in other
    processes. ``x0`` is the starting point (clipped into the bounds; the
    first member of differential evolution's population). ``options`` go to
    the SciPy function (``maxiter``, ``popsize``, ``tol``, ``polish``, ...);
    dual annealing's ``maxfun`` and Nelder-Mead's ``maxfev`` are held exactly,
    as ``max_evaluations`` (a keyword, or one of the ``options``) is for every
    method. ``evaluation_timeout`` (a keyword, or one of the ``options``) is
    the time limit of one evaluation, in seconds.
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(sorted(METHODS))}, not {method!r}")
    name = METHODS[method]
    low = np.array([b[0] for b in bounds], dtype=np.float64)
    high = np.array([b[1] for b in bounds], dtype=np.float64)
    if low.size == 0:
        raise ValueError("no parameters to calibrate")
    if not (np.all(np.isfinite(low)) and np.all(np.isfinite(high)) and np.all(low < high)):
        raise ValueError("every bound must be a pair of finite numbers (low, high) with low < high")
    unit0: FloatArray | None = None
    if x0 is not None:
        start = np.asarray(x0, dtype=np.float64)
        if start.shape != low.shape:
            raise ValueError(f"x0 has {start.size} values for {low.size} parameters")
        unit0 = np.clip((start - low) / (high - low), 0.0, 1.0)
    extra = dict(options or {})
    # Also taken among the options, the way a calibration passes it through.
    max_evaluations = extra.pop("max_evaluations", max_evaluations)
    evaluation_timeout = extra.pop("evaluation_timeout", evaluation_timeout)
    budget = _budget(name, max_evaluations, extra)
    expected = budget
    if expected is None and name == "differential_evolution":
        # SciPy's defaults: 1000 generations of 15 members per parameter.
        expected = (int(extra.get("maxiter", 1000)) + 1) * int(extra.get("popsize", 15)) * low.size
    started = time.perf_counter()
    interrupted = False
    message = ""
    runner = Runner(executor, batch_size=batch_size, expected=expected, evaluation_timeout=evaluation_timeout)
    with runner, closing(progress_bar(progress, name)) as bar:
        recorder = _Recorder(runner, prepare, _Scored(evaluate), context, low, high, bar, budget)
        try:
            if name == "nelder-mead":
                outcome = _nelder_mead(recorder.one, unit0, low.size, seed, extra)
            else:
                batched: dict[str, Any] = {}
                if name == "differential_evolution":  # each generation evaluated as one batch
                    extra.setdefault("polish", False)
                    batched = {"workers": recorder.many, "updating": "deferred"}
                outcome = _SCIPY[name](recorder.one, [(0.0, 1.0)] * low.size, rng=seed, x0=unit0, **batched, **extra)
            message = str(outcome.message)
        except _Carried as carried:
            raise carried.error from None
        except _BudgetSpent:
            message = f"stopped after max_evaluations={budget} evaluations"
        except (KeyboardInterrupt, WorkersLost) as error:
            if not recorder.calls:
                raise
            interrupted = True
            message = (
                "interrupted" if isinstance(error, KeyboardInterrupt) else f"stopped with the best so far: {error}"
            )
        notes = [note for note in (recorder.describe_failures(), runner.note) if note]
    points, losses, values, generations, details = recorder.collected(low.size)
    finite = np.isfinite(losses)
    if not finite.any():
        detail = "; ".join([f"{len(losses)} evaluations", *notes])
        raise SearchFailed(f"no evaluation gave a finite score ({detail})")
    best = int(np.argmin(np.where(finite, losses, np.inf)))
    return SearchResult(
        x=points[best],
        loss=float(losses[best]),
        value=float(values[best]),
        method=name,
        evaluations=len(losses),
        points=points,
        losses=losses,
        values=values,
        generations=generations,
        interrupted=interrupted,
        message="; ".join([message, *notes]),
        seconds=time.perf_counter() - started,
        failures=recorder.faults().total(),
        details=details,
    )


def _budget(name: str, max_evaluations: int | None, extra: dict[str, Any]) -> int | None:
    """The hard budget of evaluations: ``max_evaluations``, and the method's own limit where it is a soft one."""
    if max_evaluations is not None and (
        isinstance(max_evaluations, bool) or not isinstance(max_evaluations, int) or max_evaluations < 1
    ):
        raise ValueError(f"max_evaluations must be a positive integer, not {max_evaluations!r}")
    # Dual annealing's local searches and Nelder-Mead's last simplex step can
    # overrun their own limits: held here as hard budgets too.
    soft = {"dual_annealing": "maxfun", "nelder-mead": "maxfev"}.get(name)
    own = extra.get(soft) if soft else None
    if own is None and name == "nelder-mead":
        own = extra.get("options", {}).get("maxfev")
    limits = [n for n in (max_evaluations, own) if isinstance(n, int) and not isinstance(n, bool) and n >= 1]
    return min(limits, default=None)


def _nelder_mead(
    func: Callable[[FloatArray], float],
    unit0: FloatArray | None,
    size: int,
    seed: int | None,
    extra: dict[str, Any],
) -> Any:
    if unit0 is None:
        # Without a start, a seeded point of the cube.
        unit0 = np.random.default_rng(seed).uniform(0.25, 0.75, size)
    settings: dict[str, Any] = {"xatol": 1e-6, "fatol": 1e-10, "maxfev": 2000 * size}
    settings.update(extra.pop("options", {}))
    settings.update(extra)
    if "initial_simplex" not in settings:
        # Steps of a quarter of each range, turned inwards at an upper bound.
        simplex = np.tile(unit0, (size + 1, 1))
        simplex[1:] += np.diag(np.where(unit0 <= 0.75, 0.25, -0.25))
        settings["initial_simplex"] = simplex
    return _SCIPY["minimize"](func, unit0, method="Nelder-Mead", bounds=[(0.0, 1.0)] * size, options=settings)
