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
and the best point so far is returned with ``interrupted=True``.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import optimize

from .executors import ExecutorLike, Runner

__all__ = ["METHODS", "SearchResult", "search", "unit_to_bounds"]

FloatArray = npt.NDArray[np.float64]
# What an objective returns for one point: its loss, or its loss and the
# value to report for it (a score whose loss is 1 - score, say).
Outcome = float | tuple[float, float]

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


def unit_to_bounds(unit: FloatArray, low: FloatArray, high: FloatArray) -> FloatArray:
    """Map points of the unit cube to the box [low, high] (the last axis is the parameter)."""
    return np.clip(low + np.asarray(unit, dtype=np.float64) * (high - low), low, high)


class _Recorder:
    """Evaluates points for the optimiser and keeps every evaluation.

    The evaluations are kept as one array per call: a generation of
    differential evolution is recorded without a Python object per point.
    """

    def __init__(
        self,
        runner: Runner,
        prepare: Callable[[Any], Any],
        evaluate: Callable[[Any, FloatArray], Outcome],
        context: Any,
        low: FloatArray,
        high: FloatArray,
        progress: Any,
    ) -> None:
        self.runner, self.prepare, self.evaluate, self.context = runner, prepare, evaluate, context
        self.low, self.high, self.progress = low, high, progress
        self.points: list[FloatArray] = []
        self.losses: list[FloatArray] = []
        self.values: list[FloatArray] = []
        self.generations: list[npt.NDArray[np.int64]] = []
        self.details: list[FloatArray] = []
        self.generation = 0
        self.count = 0

    def _record(self, xs: FloatArray, outcomes: FloatArray) -> FloatArray:
        """Keep the points (one per row) and their outcomes; the losses the optimiser sees."""
        # One column: the losses are the values; two: (loss, value) pairs.
        losses = outcomes if outcomes.ndim == 1 else outcomes[:, 0]
        values = outcomes if outcomes.ndim == 1 else outcomes[:, 1]
        self.details.append(outcomes[:, 2:] if outcomes.ndim == 2 else np.empty((len(xs), 0)))
        self.points.append(xs)
        self.losses.append(losses)
        self.values.append(values)
        self.generations.append(np.full(len(xs), self.generation, dtype=np.int64))
        self.generation += 1
        self.count += len(xs)
        return np.where(np.isfinite(losses), losses, INVALID_LOSS)

    def one(self, unit: FloatArray) -> float:
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
        outcomes = self.runner.map_rows(self.prepare, self.evaluate, self.context, xs, on_batch=self.progress.update)
        return self._record(xs, outcomes)

    def collected(self, size: int) -> tuple[FloatArray, FloatArray, FloatArray, npt.NDArray[np.int64]]:
        """Every evaluation so far: points, losses, values and generations."""
        if not self.points:
            empty = np.empty(0, dtype=np.float64)
            return empty.reshape(0, size), empty, empty, np.empty(0, dtype=np.int64)
        return (
            np.concatenate(self.points).reshape(-1, size),
            np.concatenate(self.losses),
            np.concatenate(self.values),
            np.concatenate(self.generations),
        )


class _NoProgress:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(enabled: bool, description: str, total: int | None = None) -> Any:
    if not enabled:
        return _NoProgress()
    try:
        from tqdm.auto import tqdm
    except ImportError:  # tqdm is optional: no bar without it
        return _NoProgress()

    # Shown only for runs that last more than a second.
    return tqdm(total=total, desc=description, unit="eval", delay=1.0, leave=False)


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
) -> SearchResult:
    """Minimise ``evaluate(prepare(context), x)`` over the box ``bounds``.

    ``evaluate`` returns the loss of one parameter vector (NaN or infinity
    for an invalid one), or a pair (loss, value to report); ``prepare`` and ``evaluate`` are top-level functions
    and ``context`` plain data, so that the points can be evaluated in other
    processes. ``x0`` is the starting point (clipped into the bounds; the
    first member of differential evolution's population). ``options`` go to
    the SciPy function (``maxiter``, ``popsize``, ``tol``, ``polish``, ...).
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
    cube = [(0.0, 1.0)] * low.size
    started = time.perf_counter()
    bar = progress_bar(progress, name)
    interrupted = False
    message = ""
    with Runner(executor, batch_size=batch_size) as runner:
        recorder = _Recorder(runner, prepare, evaluate, context, low, high, bar)
        try:
            if name == "differential_evolution":
                extra.setdefault("polish", False)
                outcome = _SCIPY["differential_evolution"](
                    recorder.one,
                    cube,
                    rng=seed,
                    x0=unit0,
                    workers=recorder.many,
                    updating="deferred",
                    **extra,
                )
            elif name == "dual_annealing":
                outcome = _SCIPY["dual_annealing"](recorder.one, cube, rng=seed, x0=unit0, **extra)
            else:
                outcome = _nelder_mead(recorder.one, unit0, low.size, seed, extra)
            message = str(outcome.message)
        except KeyboardInterrupt:
            if not recorder.count:
                raise
            interrupted = True
            message = "interrupted"
        finally:
            bar.close()
    points, losses, values, generations = recorder.collected(low.size)
    best = int(np.argmin(np.where(np.isfinite(losses), losses, np.inf)))
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
        message=message,
        seconds=time.perf_counter() - started,
        details=np.concatenate(recorder.details) if recorder.details else np.empty((0, 0)),
    )


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
        for i in range(size):
            step = 0.25 if unit0[i] <= 0.75 else -0.25
            simplex[i + 1, i] += step
        settings["initial_simplex"] = simplex
    return _SCIPY["minimize"](func, unit0, method="Nelder-Mead", bounds=[(0.0, 1.0)] * size, options=settings)
