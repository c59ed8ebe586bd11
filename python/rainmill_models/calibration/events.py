"""Several storm events calibrated together: shared parameters, per-event parameters, one objective.

An :class:`Event` is one storm: its rain, its observations, optionally its own window and its own
values of some parameters (typically the initial conditions: the initial deficit of the loss, the
initial baseflow). :func:`calibrate_events` searches the shared parameters (the basin's) and, for
each event, its own value of the per-event parameters, all in one search: the parameter vector is
the shared values followed by each event's own values, and every candidate runs every event. The
objective combines the events' objectives by their mean, or weighted by each event's observed
volume (its flow summed over its window), so that a large flood counts more than a small one.

The fitted events carry their per-event values (``fit.events``), so that ``run_many(fit.model,
fit.events)`` and ``uncertainty(fit.model, fit.events, ...)`` run each event as it was fitted.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from ..parameters import compile_parameters
from .plain_data import FORCING

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..network import Network

__all__ = ["Event", "EventsCalibration", "calibrate_events", "event_volume_weights"]

Combine = Literal["mean", "volume"]


@dataclass(frozen=True)
class Event:
    """One storm event: rain, observations, an optional scoring window and its own parameter values.

    ``rain`` (and ``inflows``, ``potential_et``, ``temperature`` for a network) are what the
    model's ``run`` takes; ``observed`` one series (the outlet's flow) or a mapping gauge -> series; ``window`` the (start, end) scored, by default the
    observations' span; ``parameters`` values by path that hold for this event only.
    """

    name: str
    rain: Any
    observed: pd.Series | Mapping[str, pd.Series] | None = None
    window: tuple[Any, Any] | None = None
    parameters: Mapping[str, float] = field(default_factory=dict)
    inflows: Any = None
    potential_et: Any = None
    temperature: Any = None

    def forcing(self) -> dict[str, Any]:
        """The forcing besides the rain that the event gives, as keyword arguments of a network's ``run``."""
        return {key: getattr(self, key) for key in FORCING if getattr(self, key) is not None}

    def applied(self, model: Network) -> Network:
        """``model`` with this event's own parameter values."""
        if not self.parameters:
            return model
        return model.with_parameters({key: float(value) for key, value in self.parameters.items()})

    def first_gauge(self) -> tuple[str | None, pd.Series | None]:
        """The first observed element (None for one series: the outlet's) and its observations (None: none)."""
        gauges = self.gauges()
        return None if isinstance(self.observed, pd.Series) else next(iter(gauges), None), next(
            iter(gauges.values()), None
        )

    def gauges(self) -> dict[str, pd.Series]:
        """The observations as a mapping (one series is keyed "observed")."""
        if self.observed is None:
            return {}
        if isinstance(self.observed, pd.Series):
            return {"observed": self.observed}
        return dict(self.observed)


def _observed_volume(event: Event) -> float:
    """The event's observed flow summed over its window (flow × seconds), missing values left out."""
    from .calibrate import localized

    total = 0.0
    for series in event.gauges().values():
        inside = series
        if event.window is not None:
            start, end = localized(event.window, pd.DatetimeIndex(series.index))
            inside = series.loc[start:end]
        inside = inside.dropna()
        if len(inside) >= 2:
            seconds = pd.DatetimeIndex(inside.index).asi8.astype(np.float64) / 1e9
            total += float(np.trapezoid(inside.to_numpy(dtype=np.float64), seconds))
    return total


def event_volume_weights(events: Sequence[Event]) -> npt.NDArray[np.float64]:
    """Each event's share of the observed volume; equal shares when there is no volume to share."""
    volumes = np.array([max(_observed_volume(event), 0.0) for event in events], dtype=np.float64)
    total = math.fsum(volumes.tolist())
    if not (math.isfinite(total) and total > 0.0):
        return np.full(len(events), 1.0 / len(events))
    return volumes / total


def _column(key: str, event: str) -> str:
    return f"{key}[{event}]"


@dataclass(frozen=True)
class EventsCalibration:
    """What :func:`calibrate_events` found.

    ``model`` carries the shared parameters; ``events`` are the events with their fitted own values
    in ``parameters``; ``per_event`` is those values as a table (a row per event); ``score`` is the
    combined objective and ``weights`` each event's share of it; ``scores`` every score of every
    event (a row per event). ``history`` has one row per evaluation: the generation, the shared
    values, each event's own values (``"path[event]"``), the combined objective and each event's
    objective (``"kge[event]"``).
    """

    model: Network
    events: list[Event]
    parameters: dict[str, float]
    per_event: pd.DataFrame
    objective: str
    score: float
    weights: dict[str, float]
    scores: pd.DataFrame
    history: pd.DataFrame = field(repr=False)
    simulated: dict[str, pd.Series] = field(repr=False)
    method: str = ""
    evaluations: int = 0
    seconds: float = 0.0
    interrupted: bool = False
    message: str = ""
    flow_unit: str = ""

    def summary(self) -> str:
        """A few lines for a terminal: the shared values, each event's own values and scores."""
        state = " (interrupted)" if self.interrupted else ""
        lines = [
            f"calibration of {len(self.events)} events by {self.method}{state}: "
            f"{self.evaluations} evaluations in {self.seconds:.2f} s",
            f"{self.objective} (combined) = {self.score:.6f}",
        ]
        width = max([len(p) for p in self.parameters] + [8])
        lines += [f"  {path:<{width}}  {value:.6g}" for path, value in self.parameters.items()]
        table = self.per_event.assign(weight=pd.Series(self.weights)).join(self.scores[self.objective])
        lines += ["", table.to_string(float_format=lambda v: f"{v:.4g}")]
        return "\n".join(lines)

    def plot(self) -> Figure:
        """Observed and simulated flows of each event, a panel per event."""
        from ..figures import legend_beside, new_figure, time_axis

        figure = new_figure(len(self.events), height=2.4, sharex=False)
        for axes, event in zip(figure.axes, self.events, strict=True):
            simulated = self.simulated[event.name]
            axes.plot(simulated.index, simulated.to_numpy(), "-", color="C0", label="simulated")
            for name, observed in event.gauges().items():
                label = "observed" if name == "observed" else f"observed at {name}"
                axes.plot(observed.index, observed.to_numpy(), ".", color="0.25", markersize=3, label=label)
            axes.set_ylabel(f"flow ({self.flow_unit})" if self.flow_unit else "flow")
            score = float(self.scores[self.objective].to_dict()[event.name])
            axes.set_title(f"{event.name}: {self.objective} = {score:.3f}", fontsize=10)
            time_axis(axes, simulated.index)
            legend_beside(axes)
        return figure


def calibrate_events(
    model: Network,
    events: Sequence[Event],
    parameters: Mapping[Any, tuple[float, float]],
    *,
    per_event: Mapping[str, tuple[float, float]] | None = None,
    combine: Combine | Mapping[str, float] = "mean",
    objective: str = "kge",
    method: str = "differential_evolution",
    seed: int | None = None,
    executor: Any = None,
    progress: bool = True,
    missing: Literal["raise", "drop"] = "raise",
    batch_size: int | None = None,
    options: Mapping[str, Any] | None = None,
    observed_period: str | None = None,
) -> EventsCalibration:
    """Fit shared ``parameters`` and each event's own ``per_event`` parameters to several events at once.

    ``parameters`` and ``per_event`` map paths to (low, high) bounds as for ``calibrate``; a
    per-event path gets one value per event (its start: the event's own value if it has one, else
    the model's). ``combine`` is "mean" (every event alike), "volume" (weighted by each event's
    observed volume over its window) or a mapping event -> weight. The other arguments are those
    of ``calibrate`` (``observed_period`` scores period means alike in every event); the same seed
    gives the same result on every executor.
    """
    from . import calibrate as single
    from .search import search

    names = [event.name for event in events]
    if not events:
        raise ValueError("events: no event to calibrate")
    if len(set(names)) != len(names):
        raise ValueError(f"events: the names must differ, got {names}")
    for event in events:
        if not isinstance(event, Event):
            raise TypeError(f"events: expected Event objects, not {type(event).__name__}")
        if event.observed is None:
            raise ValueError(f"event {event.name!r}: no observations to calibrate against")
    own = dict(per_event or {})
    shared = dict(parameters)
    both = set(map(str, shared)) & set(own)
    if both:
        raise ValueError(f"{sorted(both)}: a parameter is either shared or per event, not both")
    if not shared and not own:
        raise ValueError("no parameters to calibrate")
    weights = _weights(events, combine)
    keys = list(shared) + list(own)
    prepared = [
        single.calibration_context(
            event.applied(model),
            event.rain,
            event.gauges() if isinstance(event.observed, Mapping) else event.gauges()["observed"],
            keys,
            objective=objective,
            window=event.window,
            missing=missing,
            forcing=event.forcing(),
            observed_period=observed_period,
            where=f"event {event.name!r}: ",
        )
        for event in events
    ]
    bounds = single.check_bounds(shared) + single.check_bounds(own) * len(prepared)
    start = list(prepared[0].start[: len(shared)]) + [value for item in prepared for value in item.start[len(shared) :]]
    context = {
        "events": [item.context for item in prepared],
        "shared": len(shared),
        "weights": weights.tolist(),
        "objective": objective,
    }
    found = search(
        prepare_events,
        evaluate_events,
        context,
        bounds,
        method=method,
        seed=seed,
        x0=start,
        executor=executor,
        batch_size=batch_size,
        progress=progress,
        options=single.search_options(method, options),
    )
    n_shared, n_own = len(shared), len(own)
    # the values as written: a drawn value that broke a method's constraint was mapped into it
    whole = compile_parameters(model, shared, continuous=True)
    shared_values = {single.key_name(key): v for key, v in zip(shared, whole.written(found.x[:n_shared]), strict=True)}
    fitted: list[Event] = []
    simulated: dict[str, pd.Series] = {}
    rows: dict[str, dict[str, float]] = {}
    table: dict[str, dict[str, float]] = {}
    best_shared = whole(map(float, found.x[:n_shared]))
    for i, event in enumerate(events):
        mine = np.concatenate([found.x[:n_shared], found.x[n_shared + i * n_own : n_shared + (i + 1) * n_own]])
        written = prepared[i].state.setter.written(mine)[n_shared:]
        values = {key: v for key, v in zip(own, written, strict=True)}
        fitted.append(replace(event, parameters={**event.parameters, **values}))
        rows[event.name] = values
        runs = prepared[i].simulate(mine)
        gauge = next(iter(prepared[i].gauges))
        simulated[event.name] = runs[gauge]
        table[event.name] = {k: float(v) for k, v in prepared[i].scores(runs)[gauge].items()}
    columns = [single.key_name(k) for k in shared] + [_column(key, name) for name in names for key in own]
    history = single.history_table(found, found.points, columns, objective)
    for i, name in enumerate(names):
        history[_column(objective, name)] = found.details[:, i]
    return EventsCalibration(
        model=best_shared,
        events=fitted,
        parameters=shared_values,
        per_event=pd.DataFrame.from_dict(rows, orient="index", columns=list(own)),
        objective=objective,
        score=found.value,
        weights=dict(zip(names, weights.tolist(), strict=True)),
        scores=pd.DataFrame.from_dict(table, orient="index"),
        history=history,
        simulated=simulated,
        **single.search_summary(found),
        flow_unit=prepared[0].flow_unit,
    )


def _weights(events: Sequence[Event], combine: Combine | Mapping[str, float]) -> npt.NDArray[np.float64]:
    if isinstance(combine, Mapping):
        unknown = set(combine) - {event.name for event in events}
        if unknown:
            raise ValueError(f"combine: no event named {sorted(unknown)}")
        raw = np.array([float(combine.get(event.name, 0.0)) for event in events])
        total = math.fsum(raw.tolist())
        if not (np.all(np.isfinite(raw)) and np.all(raw >= 0.0) and total > 0.0):
            raise ValueError("combine: the weights must be finite, >= 0 and not all zero")
        return raw / total
    if combine == "volume":
        return event_volume_weights(events)
    if combine != "mean":
        raise ValueError(f'combine must be "mean", "volume" or a mapping event -> weight, not {combine!r}')
    return np.full(len(events), 1.0 / len(events))


@dataclass(frozen=True)
class _Events:
    states: tuple[Any, ...]
    shared: int
    weights: npt.NDArray[np.float64]
    absolute: bool  # errors to bring to zero combine by their size


def prepare_events(context: Mapping[str, Any]) -> _Events:
    """Rebuild every event's calibration state from plain data."""
    from . import calibrate as single

    return _Events(
        states=tuple(single.prepare_calibration(item) for item in context["events"]),
        shared=int(context["shared"]),
        weights=np.asarray(context["weights"], dtype=np.float64),
        absolute=context["objective"] in single.ERRORS_TO_ZERO,
    )


def evaluate_events(state: _Events, values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The combined loss and objective of one parameter vector, then each event's objective."""
    from . import calibrate as single

    shared = values[: state.shared]
    count = len(state.states)
    own = (len(values) - state.shared) // count
    losses = np.empty(count)
    scored = np.empty(count)
    for i, event in enumerate(state.states):
        mine = values[state.shared + i * own : state.shared + (i + 1) * own]
        losses[i], scored[i] = single.evaluate_calibration(event, np.concatenate([shared, mine]))
    if not np.all(np.isfinite(losses)):
        return np.concatenate([[math.nan, math.nan], scored])
    loss = math.fsum((state.weights * losses).tolist())
    combined = math.fsum((state.weights * (np.abs(scored) if state.absolute else scored)).tolist())
    return np.concatenate([[loss, combined], scored])
