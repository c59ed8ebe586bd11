"""`calibrate`: fit a model at its gauges on one window, or over several storm events.

The work is in `rainmill_models.calibration.calibrate` (one window) and
`rainmill_models.calibration.events` (several events); this module chooses between them.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, TypedDict, Unpack, overload

import pandas as pd

from ..errors import ModelError
from ..metrics import Missing
from .calibrate import (
    CalibrationResult,
    Objective,
    calibration_context,
    check_bounds,
    evaluate_calibration,
    history_table,
    key_name,
    prepare_calibration,
    refused_summary,
    search_options,
    search_summary,
)
from .events import Event, EventsCalibration, calibrate_events
from .runner import ExecutorLike
from .search import METHODS, search

if TYPE_CHECKING:
    from ..network import Network
    from ..parameters import Setter

__all__ = ["CalibrateOptions", "calibrate"]


class CalibrateOptions(TypedDict, total=False):
    """The keyword arguments of :func:`calibrate`."""

    objective: Objective
    window: tuple[Any, Any] | None
    method: str
    seed: int | None
    executor: ExecutorLike
    progress: bool
    missing: Missing
    batch_size: int | None
    options: Mapping[str, Any] | None
    weights: Mapping[str, float] | None
    inflows: Any
    potential_et: Any
    temperature: Any
    per_event: Mapping[str, tuple[float, float]] | None
    combine: Any
    max_evaluations: int | None
    evaluation_timeout: float | None
    observed_period: str | None


@overload
def calibrate(
    model: Network,
    rain: Sequence[Event],
    observed: None = None,
    parameters: Mapping[Any, tuple[float, float]] | None = None,
    **settings: Unpack[CalibrateOptions],
) -> EventsCalibration: ...
@overload
def calibrate(
    model: Network,
    rain: Any,
    observed: pd.Series | Mapping[str, pd.Series],
    parameters: Mapping[Any, tuple[float, float]],
    **settings: Unpack[CalibrateOptions],
) -> CalibrationResult: ...
def calibrate(
    model: Network,
    rain: Any,
    observed: pd.Series | Mapping[str, pd.Series] | None = None,
    parameters: Mapping[Any, tuple[float, float]] | None = None,
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
    weights: Mapping[str, float] | None = None,
    inflows: Any = None,
    potential_et: Any = None,
    temperature: Any = None,
    per_event: Mapping[str, tuple[float, float]] | None = None,
    combine: Any = "mean",
    max_evaluations: int | None = None,
    observed_period: str | None = None,
    evaluation_timeout: float | None = None,
) -> CalibrationResult | EventsCalibration:
    """Fit the parameters of ``model`` so that its outflow matches ``observed``.

    ``model`` is a network (an older single-chain file loads as one, and its
    parameter paths such as ``"basin.loss.constant_rate"`` work). ``observed`` is one series
    (the outflow of the model's outlet) or a mapping element -> series, one
    per gauge; the objective is then the ``weights``-weighted mean over the
    gauges (equal weights by default). ``rain`` (and ``inflows`` for a
    network's sources, ``potential_et`` and ``temperature`` for its
    subbasins) as ``Network.run`` takes them.
    ``parameters`` maps each parameter's path in the description to its
    (low, high) bounds, durations in hours; a tuple of paths ties them to one
    value. The search starts from the model's own values (clipped into the
    bounds); whole-number parameters (chain lengths) are refused. Constraints
    between a method's parameters (``tension_max <= soil_max``, an initial
    storage within its capacity, layer fractions adding up to 1 at most: the
    README's methods tables) cost no evaluation: a drawn value that breaks
    one is mapped into it (a ``tension_max`` beyond ``soil_max`` is taken as
    ``soil_max``; a calibrated capacity below a fixed initial storage as that
    storage; drawn layer fractions scaled down to the room left), and
    ``parameters`` and ``history`` report the values written.
    ``objective`` is one of
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
    and no polishing); ``max_evaluations`` caps the evaluations of every method;
    ``evaluation_timeout`` (seconds) scores an evaluation that runs longer as the
    worst (serially and on process pools; see `rainmill_models.calibration.search`).
    A progress bar shows for runs longer than a second unless
    ``progress=False``; Ctrl-C stops the search and returns the best so far
    with ``interrupted=True``.

    Observations of period means (a daily discharge record: each day's mean flow, stamped at the
    day's start): ``observed_period="D"`` (any pandas frequency) scores the simulated mean over
    each observed period [t, t + period) instead of the flow at t (the trapezoidal mean of the
    computed points, see :mod:`rainmill_models.periods`); the simulation runs on to the end of the
    last period. ``"auto"`` takes the observations' own regular step as the period when it is
    longer than the computation step. The default (None) scores the flows at the observations'
    times.

    Several events at once: pass a list of :class:`~rainmill_models.events.Event` as ``rain``
    (each with its rain, observations and optional window), no ``observed``, the shared
    ``parameters`` and the ``per_event`` ones (each event gets its own value), and how the events'
    objectives ``combine`` ("mean", "volume" or weights by event); see
    :func:`~rainmill_models.events.calibrate_events`.
    """
    limits = {"max_evaluations": max_evaluations, "evaluation_timeout": evaluation_timeout}
    options = {**(options or {}), **{key: limit for key, limit in limits.items() if limit is not None}}
    if _is_events(rain):
        if observed is not None:
            raise ValueError("events carry their own observations: pass observed=None (or leave it out)")
        if weights is not None or inflows is not None or window is not None:
            raise ValueError("with events, give each event its own window, inflows and gauges")
        if not isinstance(objective, str):
            raise ValueError("with events, the objective is one of the named scores")
        return calibrate_events(
            model,
            list(rain),
            parameters or {},
            per_event=per_event,
            combine=combine,
            objective=objective,
            method=method,
            seed=seed,
            executor=executor,
            progress=progress,
            missing=missing,
            batch_size=batch_size,
            options=options,
            observed_period=observed_period,
        )
    if observed is None or parameters is None:
        raise TypeError("calibrate needs observed and parameters (or a list of events as rain)")
    if per_event is not None:
        raise ValueError("per_event parameters need several events (a list of Event as rain)")
    keys = list(parameters)
    bounds = check_bounds(parameters)
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(sorted(METHODS))}, not {method!r}")
    prepared = calibration_context(
        model,
        rain,
        observed,
        keys,
        objective=objective,
        window=window,
        missing=missing,
        weights=weights,
        forcing={"inflows": inflows, "potential_et": potential_et, "temperature": temperature},
        observed_period=observed_period,
    )
    found = search(
        prepare_calibration,
        evaluate_calibration,
        prepared.context,
        bounds,
        method=method,
        seed=seed,
        x0=prepared.start,
        executor=executor,
        batch_size=batch_size,
        progress=progress,
        options=search_options(method, options),
    )
    state, gauges, span = prepared.state, prepared.gauges, prepared.window
    name = objective if isinstance(objective, str) else getattr(objective, "__name__", "objective")
    values = {key_name(key): v for key, v in zip(keys, state.setter.written(found.x), strict=True)}
    best = state.setter(map(float, found.x))
    simulated = prepared.simulate(found.x)
    table = prepared.scores(simulated)
    first = next(iter(gauges))
    history = history_table(found, _written(state.setter, found.points), [key_name(k) for k in keys], name)
    return CalibrationResult(
        model=best,
        parameters=values,
        objective=name,
        score=found.value,
        scores={k: float(v) for k, v in table[first].items()},
        history=history,
        simulated=simulated[first],
        observed=gauges[first],
        window=span,
        **search_summary(found),
        **refused_summary(found, state),
        gauges=pd.DataFrame.from_dict(table, orient="index"),
        flow_unit=prepared.flow_unit,
    )


def _written(setter: Setter[Network], points: Any) -> list[list[float]]:
    """Each evaluated point as the values it wrote (as it was drawn where the model refused it)."""
    rows = []
    for point in points:
        try:
            rows.append(setter.written(point))
        except ModelError:
            rows.append(list(map(float, point)))
    return rows


def _is_events(rain: Any) -> bool:
    return isinstance(rain, (list, tuple)) and bool(rain) and all(isinstance(item, Event) for item in rain)
