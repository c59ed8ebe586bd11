"""Fitting an event model to observations.

:func:`calibrate` searches the parameters named by their path in the model
description (``"basin.loss.constant_rate"``, ``"basin.transform.tc"``;
durations in hours) within bounds, scoring every candidate on one fixed
window of the observations' time index: the simulation always runs to the end
of that window, whatever the transform's length, so every candidate is scored
on the same timestamps. A candidate the description refuses (a Muskingum step
out of range, say) scores NaN and never wins.

The evaluations travel as plain data (the description as a dict, the series
as NumPy arrays), so they run unchanged serially, on threads, on processes or
on a Dask cluster (see :mod:`rainmill_models.executors`).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd
import rainmill

from .description import Model, ModelError, check_step, get_parameter, with_parameters
from .executors import ExecutorLike
from .metrics import Missing, _nse, align, kge, scores
from .run import prepare_rain, simulate
from .search import METHODS, refuse_whole_numbers, search
from .timeseries import TimeSeriesError
from .units import factor_from_us

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["OBJECTIVES", "CalibrationResult", "calibrate"]

# Scores to maximise (best at 1) and errors to bring to zero.
_SCORES_TO_ONE = ("kge", "kge_prime", "nse", "log_nse")
_ERRORS_TO_ZERO = ("pbias", "peak_error", "volume_error")
OBJECTIVES = _SCORES_TO_ONE + _ERRORS_TO_ZERO

Objective = str | Callable[[pd.Series, pd.Series], float]


def series_to_data(series: pd.Series) -> dict[str, Any]:
    """A time-indexed Series as plain data: NumPy arrays (instants in UTC) and the time zone."""
    index = pd.DatetimeIndex(series.index)
    instants = index if index.tz is None else index.tz_convert("UTC").tz_localize(None)
    return {
        "values": series.to_numpy(dtype=np.float64, na_value=np.nan),
        "index": instants.to_numpy(),
        "index_name": index.name,
        "tz": index.tz,
        "name": series.name,
    }


def series_from_data(data: Mapping[str, Any]) -> pd.Series:
    """The inverse of :func:`series_to_data`."""
    index = pd.DatetimeIndex(data["index"], name=data["index_name"])
    if data["tz"] is not None:
        index = index.tz_localize("UTC").tz_convert(data["tz"])
    return pd.Series(data["values"], index=index, name=data["name"])


def _objective_value(
    objective: Objective,
    simulated: pd.Series,
    observed: pd.Series,
    window: tuple[pd.Timestamp, pd.Timestamp],
    missing: Missing,
) -> float:
    if callable(objective):
        s, o, index = align(simulated, observed, missing=missing, window=window)
        return float(objective(pd.Series(s, index=index), pd.Series(o, index=index)))
    if objective == "kge":
        return kge(simulated, observed, missing=missing, window=window)
    return float(scores(simulated, observed, missing=missing, window=window)[objective])


def _loss(objective: Objective, value: float) -> tuple[float, float]:
    """The loss the optimiser minimises, and the value the history keeps."""
    if not math.isfinite(value):
        return math.nan, math.nan
    if callable(objective):
        return -value, value
    if objective in _SCORES_TO_ONE:
        return 1.0 - value, value
    return abs(value), value


def _kge(s: npt.NDArray[np.float64], o: npt.NDArray[np.float64]) -> float:
    return float(rainmill.metrics.calculate_kge(s.tolist(), o.tolist()))


# Objectives scored straight from the aligned values, as metrics.scores does.
_FAST: dict[object, Callable[[npt.NDArray[np.float64], npt.NDArray[np.float64]], float]] = {
    "kge": _kge,
    "nse": _nse,
}


@dataclass(frozen=True)
class _State:
    """One calibration, ready to evaluate candidates quickly.

    The rainfall is brought to the computation step once; each candidate then
    runs the model's lean core over the fixed number of points up to the
    window's end, and its outflow is read at the observations' positions.
    """

    model: Model
    observed: pd.Series
    window: tuple[pd.Timestamp, pd.Timestamp]
    paths: tuple[str, ...]
    objective: Objective
    missing: Missing
    gross: npt.NDArray[np.float64]
    step: int
    index: pd.DatetimeIndex  # the times of the simulated points
    positions: npt.NDArray[np.intp]  # the observations' points in the simulation
    observed_values: npt.NDArray[np.float64]  # at those points, without the missing ones
    flow_factor: float


def prepare_calibration(context: Mapping[str, Any]) -> _State:
    """Rebuild the model and the series of one calibration from plain data."""
    model = Model.from_dict(context["model"])
    window = (pd.Timestamp(context["window"][0]), pd.Timestamp(context["window"][1]))
    rain, step = prepare_rain(model, series_from_data(context["rain"]))
    start = pd.Timestamp(rain.index[0])
    freq = pd.Timedelta(seconds=step)
    points = int((window[1] - start) // freq) + 1
    index = pd.date_range(start, periods=max(points, 0), freq=freq, name="time")
    observed = series_from_data(context["observed"]).sort_index()
    inside = observed.loc[window[0] : window[1]]
    inside = inside[inside.notna()] if context["missing"] == "drop" else inside
    return _State(
        model=model,
        observed=observed,
        window=window,
        paths=tuple(context["paths"]),
        objective=context["objective"],
        missing=context["missing"],
        gross=rain.to_numpy(dtype=np.float64),
        step=step,
        index=index,
        positions=index.get_indexer(inside.index),
        observed_values=inside.to_numpy(dtype=np.float64),
        flow_factor=factor_from_us("flow", model.options.units),
    )


def _outflow(state: _State, values: Sequence[float] | npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The model's outflow with the given parameter values, at every point up to the window's end."""
    model = with_parameters(state.model, dict(zip(state.paths, map(float, values), strict=True)))
    check_step(model, state.step)
    outflow = simulate(model, state.gross, state.step, len(state.index)).outflow
    return outflow * state.flow_factor  # the factor Result applies, so the values are the same


def evaluate_calibration(state: _State, values: npt.NDArray[np.float64]) -> tuple[float, float]:
    """The loss of one parameter vector and its objective (NaN for a model the description refuses)."""
    try:
        outflow = _outflow(state, values)
        if state.objective in _FAST:
            # The fast path of metrics.scores: the same pairs, the same formula.
            s, o = outflow[state.positions], state.observed_values
            bad = np.isnan(s)
            if bad.any():
                if state.missing == "raise":
                    return math.nan, math.nan
                s, o = s[~bad], o[~bad]
            value = _FAST[state.objective](s, o)
        else:
            simulated = pd.Series(outflow, index=state.index)
            value = _objective_value(state.objective, simulated, state.observed, state.window, state.missing)
    except ModelError, TimeSeriesError:
        return math.nan, math.nan
    return _loss(state.objective, value)


@dataclass(frozen=True)
class CalibrationResult:
    """What :func:`calibrate` found.

    ``model`` is the best description (``model.save(path)`` writes it as TOML),
    ``parameters`` its calibrated values, ``score`` the objective there and
    ``scores`` every score on the window (KGE with its components r, alpha and
    beta, NSE, percent bias, ...). ``history`` has one row per evaluation, in
    order: the ``generation`` (one per population of differential evolution,
    one per point otherwise), the parameter values and the objective (NaN for
    a refused model). ``interrupted`` is true when Ctrl-C stopped the search.
    """

    model: Model
    parameters: dict[str, float]
    objective: str
    score: float
    scores: dict[str, float]
    history: pd.DataFrame = field(repr=False)
    simulated: pd.Series = field(repr=False)
    observed: pd.Series = field(repr=False)
    window: tuple[pd.Timestamp, pd.Timestamp]
    method: str
    evaluations: int
    seconds: float
    interrupted: bool = False
    message: str = ""

    def summary(self) -> str:
        """A few lines for a terminal: method, parameters, scores."""
        width = max(len(p) for p in self.parameters)
        state = " (interrupted)" if self.interrupted else ""
        lines = [
            f"calibration by {self.method}{state}: {self.evaluations} evaluations in {self.seconds:.2f} s",
            f"window {self.window[0]} to {self.window[1]}",
        ]
        lines += [f"  {path:<{width}}  {value:.6g}" for path, value in self.parameters.items()]
        lines.append(f"{self.objective} = {self.score:.6f}")
        lines.append("  ".join(f"{k} {v:.4g}" for k, v in self.scores.items()))
        return "\n".join(lines)

    def plot(self) -> Figure:
        """Observed vs simulated on the window, and the objective over the evaluations."""
        import matplotlib.pyplot as plt

        figure, (flows, progress) = plt.subplots(2, 1, figsize=(9, 7), layout="constrained")
        observed = self.observed.loc[self.window[0] : self.window[1]]
        flows.plot(observed.index, observed.to_numpy(), ".", color="0.3", label="observed")
        simulated = self.simulated.loc[self.window[0] : self.window[1]]
        flows.plot(simulated.index, simulated.to_numpy(), "-", color="C0", label="simulated")
        flows.set_ylabel("flow")
        flows.set_title(f"best fit: {self.objective} = {self.score:.4f}")
        flows.legend()
        values = self.history[self.objective].to_numpy(dtype=np.float64)
        evaluations = np.arange(1, len(values) + 1)
        progress.plot(evaluations, values, ".", markersize=2, color="0.6", label="evaluation")
        best = _running_best(self.objective, values)
        progress.plot(evaluations, best, "-", color="C1", label="best so far")
        progress.set_xlabel("evaluation")
        progress.set_ylabel(self.objective)
        if self.objective in _SCORES_TO_ONE:
            finite = values[np.isfinite(values)]
            if finite.size:
                progress.set_ylim(max(np.nanpercentile(finite, 5), -1.0), 1.0)
        progress.legend()
        return figure


def _running_best(objective: str, values: np.ndarray) -> np.ndarray:
    if objective in _ERRORS_TO_ZERO:
        keyed = np.where(np.isnan(values), np.inf, np.abs(values))
        order = np.minimum.accumulate(keyed)
        return np.where(np.isinf(order), np.nan, order)
    keyed = np.where(np.isnan(values), -np.inf, values)
    order = np.maximum.accumulate(keyed)
    return np.where(np.isinf(order), np.nan, order)


def calibrate(
    model: Model,
    rain: pd.Series,
    observed: pd.Series,
    parameters: Mapping[str, tuple[float, float]],
    *,
    objective: Objective = "kge",
    window: tuple[Any, Any] | None = None,
    method: str = "differential_evolution",
    seed: int | None = None,
    executor: ExecutorLike = None,
    progress: bool = True,
    missing: Missing = "raise",
    batch_size: int | None = None,
    options: Mapping[str, Any] | None = None,
    max_evaluations: int | None = None,
) -> CalibrationResult:
    """Fit the parameters of ``model`` so that its outflow matches ``observed``.

    ``parameters`` maps each parameter's path in the description to its
    (low, high) bounds, durations in hours; the search starts from the
    model's own values (clipped into the bounds). ``objective`` is one of
    "kge" (default), "kge_prime", "nse", "log_nse" (maximised), "pbias",
    "peak_error", "volume_error" (brought to zero), or a function
    ``f(simulated, observed) -> float`` to maximise, called with both series
    on the window (top-level, to run on processes). ``window`` is the
    (start, end) pair of timestamps scored, by default the observations' first
    and last. ``method``: "differential_evolution" (default), "dual_annealing"
    or "nelder-mead"; ``seed`` makes the search repeatable, and the same seed
    gives the same result whatever the ``executor`` (None: serially;
    "threads"; "processes" or a worker count; a concurrent.futures.Executor; a
    Dask client). Populations of differential evolution are spread over the
    executor; the other two methods search point by point in this process.
    ``missing`` is the observations' policy ("raise" or "drop"); ``options``
    go to the SciPy optimiser (``maxiter``, ``popsize``, ``tol``, ...;
    differential evolution defaults here to ``maxiter=300``, ``atol=1e-6``
    and no polishing); ``max_evaluations`` caps the evaluations of every method.
    A progress bar shows for runs longer than a second unless
    ``progress=False``; Ctrl-C stops the search and returns the best so far
    with ``interrupted=True``.
    """
    if not callable(objective) and objective not in OBJECTIVES:
        raise ValueError(f"objective must be one of {', '.join(OBJECTIVES)} or a function, not {objective!r}")
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(sorted(METHODS))}, not {method!r}")
    if missing not in ("raise", "drop"):
        raise ValueError(f'missing must be "raise" or "drop", not {missing!r}')
    if not isinstance(observed.index, pd.DatetimeIndex) or observed.empty:
        raise ValueError("observed must be a non-empty Series with a DatetimeIndex")
    paths = list(parameters)
    bounds = []
    for path in paths:
        low, high = (float(v) for v in parameters[path])
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise ValueError(f"{path}: the bounds must be finite with low < high, not {parameters[path]!r}")
        bounds.append((low, high))
    start = [get_parameter(model, path) for path in paths]
    refuse_whole_numbers(model.to_dict(), paths)
    span = _window(observed, window)
    context = {
        "model": model.to_dict(),
        "rain": series_to_data(rain),
        "observed": series_to_data(observed),
        "window": (span[0].isoformat(), span[1].isoformat()),
        "paths": paths,
        "objective": objective,
        "missing": missing,
    }
    # The window, the observations and the objective are checked once here,
    # on the model as given, before any search starts.
    given = model.run(rain, end=span[1]).outflow
    _objective_value(objective, given, observed, span, missing)

    settings = dict(options or {})
    if METHODS[method] == "differential_evolution":
        # A perfect fit has a loss of 0, where SciPy's relative tolerance
        # alone never declares convergence.
        settings.setdefault("atol", 1e-6)
        settings.setdefault("maxiter", 300)
    found = search(
        prepare_calibration,
        evaluate_calibration,
        context,
        bounds,
        method=method,
        seed=seed,
        x0=start,
        executor=executor,
        batch_size=batch_size,
        progress=progress,
        options=settings,
        max_evaluations=max_evaluations,
    )
    name = objective if isinstance(objective, str) else getattr(objective, "__name__", "objective")
    values = {path: float(v) for path, v in zip(paths, found.x, strict=True)}
    best = with_parameters(model, values)
    simulated = best.run(rain, end=span[1]).outflow
    all_scores = scores(simulated, observed, missing=missing, window=span)
    history = pd.DataFrame(found.points, columns=paths)
    history.insert(0, "generation", found.generations)
    history[name] = found.values
    history.index.name = "evaluation"
    return CalibrationResult(
        model=best,
        parameters=values,
        objective=name,
        score=found.value,
        scores={k: float(v) for k, v in all_scores.items()},
        history=history,
        simulated=simulated,
        observed=observed,
        window=span,
        method=found.method,
        evaluations=found.evaluations,
        seconds=found.seconds,
        interrupted=found.interrupted,
        message=found.message,
    )


def _window(observed: pd.Series, window: tuple[Any, Any] | None) -> tuple[pd.Timestamp, pd.Timestamp]:
    index = pd.DatetimeIndex(observed.index)
    if window is None:
        return index[0], index[-1]
    start, end = (pd.Timestamp(w) for w in window)
    if index.tz is not None:
        start = start.tz_localize(index.tz) if start.tz is None else start
        end = end.tz_localize(index.tz) if end.tz is None else end
    if not start < end:
        raise ValueError(f"window: the start {start} must come before the end {end}")
    inside = index[(index >= start) & (index <= end)]
    if inside.empty:
        raise ValueError(f"window: no observation between {start} and {end}")
    return start, end
