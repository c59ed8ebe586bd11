"""Many runs at once: models × events, and parameter uncertainty.

:func:`run_many` runs each model on each event (or model *i* on event *i*)
and returns one tidy DataFrame, a row per run with its peak, volume and, for
events with observations, its scores. :func:`uncertainty` samples parameters
within bounds by Latin hypercube, runs the model once per sample and reports
percentile bands of the outflow hydrograph. Both spread their runs over the
``executor=`` (see :mod:`rainmill_models.calibration.runner`) as plain data.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from contextlib import closing
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TypedDict, Unpack, overload

import numpy as np
import pandas as pd

from ..io.units import label
from ..metrics import Missing
from ..network import Network
from ..parameters import get_parameter as get_network_parameter
from ..periods import period_length
from .calibrate import _window, check_gauge_magnitude
from .ensemble_runs import (
    gauge_flow,
    observed_of,
    prepare_runs,
    prepare_samples,
    run_one,
    run_sample,
    window_pair,
)
from .events import Event as StormEvent
from .plain_data import FORCING, forcing_to_data, observed_in_model_units, series_to_data
from .runner import ExecutorLike, Runner
from .sampling import latin_hypercube, percentile_bands
from .search import progress_bar

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["UncertaintyResult", "run_many", "uncertainty"]

EventLike = pd.Series | tuple[pd.Series, pd.Series | None] | StormEvent


def _named(things: Any, what: str) -> list[tuple[Any, Any]]:
    if isinstance(things, StormEvent):
        things = [things]
    if isinstance(things, (list, tuple)) and things and all(isinstance(t, StormEvent) for t in things):
        pairs = [(event.name, event) for event in things]
    elif isinstance(things, Mapping):
        pairs = list(things.items())
    elif isinstance(things, (list, tuple)) and not (
        what == "events" and isinstance(things, tuple) and len(things) == 2 and isinstance(things[0], pd.Series)
    ):
        pairs = list(enumerate(things))
    else:
        pairs = [(0, things)]
    if not pairs:
        raise ValueError(f"{what}: nothing to run")
    return pairs


def _event_data(name: Any, event: EventLike) -> dict[str, Any]:
    if isinstance(event, StormEvent):  # its first gauge (None: the outlet), parameters, forcing and window
        rain, (gauge, observed) = event.rain, event.first_gauge()
        parameters, forcing, given = event.parameters, event.forcing(), event.window
    else:
        rain, observed = event if isinstance(event, tuple) else (event, None)
        gauge, parameters, forcing, given = None, {}, {}, None
    window = None if given is None else _window(observed, given) if observed is not None else window_pair(given)
    if not isinstance(rain, pd.Series | pd.DataFrame | Mapping):
        raise TypeError(f"event {name!r}: the rain must be a pandas Series (or, for a network, one per subbasin)")
    return {
        "name": name,
        "rain": forcing_to_data(rain),
        "forcing": {key: forcing_to_data(value) for key, value in forcing.items()},
        "observed": None if observed is None else series_to_data(observed),
        "gauge": gauge,
        "window": None if window is None else (window[0].isoformat(), window[1].isoformat()),
        "parameters": {key: float(value) for key, value in parameters.items()},
    }


def _check_magnitudes(models: Sequence[tuple[Any, Network]], events: Sequence[Mapping[str, Any]]) -> None:
    """Warn once per model and observed event whose flows are implausible for the area upstream."""
    for _, network in models:
        for data in events:
            observed = observed_of(data)
            if observed is None:
                continue
            gauge = data["gauge"] if data["gauge"] in network.elements else network.outlets()[-1]
            observed = observed_in_model_units(network, gauge, observed)
            if data["window"] is not None:
                observed = observed.loc[slice(*window_pair(data["window"]))]
            check_gauge_magnitude(network, gauge, observed, where=f"event {data['name']!r}: ")


def run_many(
    models: Network | Sequence[Network] | Mapping[Any, Network],
    events: EventLike | Sequence[EventLike] | Mapping[Any, EventLike],
    *,
    pairing: str = "product",
    end: Any = None,
    missing: Missing = "raise",
    executor: ExecutorLike = None,
    batch_size: int | None = None,
    progress: bool = True,
    observed_period: str | None = None,
) -> pd.DataFrame:
    """Run every model on every event (``pairing="product"``) or pairwise (``"zip"``).

    ``models`` and ``events`` are single items, sequences (named by position)
    or mappings (named by key). An event is a rain Series, a pair
    ``(rain, observed)`` or an :class:`~rainmill_models.events.Event` (named
    by its name, run with its own parameter values, scored on its window, as
    ``calibrate`` fitted it); with observations the run goes on to the last
    observation (or the window's end) and is scored (KGE and its components, NSE, percent bias, ...,
    with the ``missing`` policy), at the event's first gauge (a network's element, else the outlet).
    ``end`` fixes the end of every run. ``observed_period`` scores observations of period means as
    ``calibrate`` does ("D", "auto", ...: the simulated mean over each observed period; the run goes
    on to the last period's end). Observed flows carrying ``attrs["units"]`` are converted to the
    model's units; flows implausible for the area upstream warn (``UnitWarning``), as in ``calibrate``.
    Models are networks (whose events may give rain per subbasin, inflows,
    potential evapotranspiration and temperature).

    Returns one DataFrame, a row per run in order: ``model``, ``event``,
    ``start``, ``end``, ``peak_flow``, ``peak_time``, ``volume_flow_hours``
    (the outflow's volume in flow units × hours; the peak and the volume within the scored span,
    the event's window or its observations', when it has one), the scores, and ``error``
    (the message of a run that failed, else missing).
    """
    if pairing not in ("product", "zip"):
        raise ValueError(f'pairing must be "product" or "zip", not {pairing!r}')
    if missing not in ("raise", "drop"):
        raise ValueError(f'missing must be "raise" or "drop", not {missing!r}')
    if observed_period not in (None, "auto"):
        period_length(pd.DatetimeIndex([]), observed_period)
    model_pairs = _named(models, "models")
    event_pairs = _named(events, "events")
    if pairing == "zip":
        if len(model_pairs) != len(event_pairs):
            raise ValueError(
                f"pairing='zip' needs as many models as events, not {len(model_pairs)} and {len(event_pairs)}"
            )
        items = [(i, i) for i in range(len(model_pairs))]
    else:
        items = [(i, j) for i in range(len(model_pairs)) for j in range(len(event_pairs))]
    event_data = [_event_data(name, e) for name, e in event_pairs]
    _check_magnitudes(model_pairs, event_data)
    context = {
        "models": [m.to_dict() for _, m in model_pairs],
        "events": event_data,
        "end": None if end is None else pd.Timestamp(end).isoformat(),
        "missing": missing,
        "observed_period": observed_period,
    }
    with (
        closing(progress_bar(progress, "runs", total=len(items))) as bar,
        Runner(executor, batch_size=batch_size) as runner,
    ):
        rows = runner.map(prepare_runs, run_one, context, items, batches_per_worker=4, on_batch=bar.update)
    table = pd.DataFrame(rows)
    table.insert(0, "model", [model_pairs[i][0] for i, _ in items])
    table.insert(1, "event", [event_pairs[j][0] for _, j in items])
    return table


@dataclass(frozen=True)
class UncertaintyResult:
    """The runs of :func:`uncertainty`.

    ``samples``: one row per run, the parameter values; ``runs``: the outflow
    of each run (one column per sample, NaN for a model the description
    refused); ``bands``: the percentiles of the runs at each time step;
    ``observed`` if given.
    """

    samples: pd.DataFrame
    runs: pd.DataFrame = field(repr=False)
    bands: pd.DataFrame = field(repr=False)
    observed: pd.Series | None = field(default=None, repr=False)
    flow_unit: str = ""

    def coverage(self, low: str | None = None, high: str | None = None) -> float:
        """The fraction of observations inside the outer band (NaN without observations)."""
        if self.observed is None:
            return math.nan
        low = low or str(self.bands.columns[0])
        high = high or str(self.bands.columns[-1])
        bands = self.bands.reindex(self.observed.index)
        valid = self.observed.notna() & bands[low].notna()
        inside = (self.observed >= bands[low]) & (self.observed <= bands[high])
        return float(inside[valid].mean()) if valid.any() else math.nan

    def plot(self) -> Figure:
        """The percentile bands, the median and the observations."""
        from ..figures import legend_beside, new_figure, time_axis

        figure = new_figure(1, height=4.0)
        axes = figure.axes[0]
        columns = list(self.bands.columns)
        for k in range(len(columns) // 2):
            axes.fill_between(
                self.bands.index,
                self.bands[columns[k]],
                self.bands[columns[-1 - k]],
                color="C0",
                alpha=0.2,
                label=f"{columns[k]} to {columns[-1 - k]}",
            )
        if len(columns) % 2:
            middle = columns[len(columns) // 2]
            axes.plot(self.bands.index, self.bands[middle], color="C0", label=middle)
        if self.observed is not None:
            axes.plot(self.observed.index, self.observed.to_numpy(), ".", color="0.2", label="observed")
        axes.set_ylabel(f"flow ({self.flow_unit})" if self.flow_unit else "flow")
        axes.set_title(f"outflow, {len(self.samples)} parameter samples")
        time_axis(axes, self.bands.index)
        legend_beside(axes)
        return figure


class UncertaintyOptions(TypedDict, total=False):
    """The keyword arguments of :func:`uncertainty`."""

    n: int
    seed: int | None
    percentiles: Sequence[float]
    end: Any
    observed: pd.Series | None
    executor: ExecutorLike
    batch_size: int | None
    progress: bool
    inflows: Any
    potential_et: Any
    temperature: Any
    gauge: str | None


@overload
def uncertainty(
    model: Network,
    rain: Sequence[StormEvent],
    parameters: Mapping[str, tuple[float, float]],
    **settings: Unpack[UncertaintyOptions],
) -> dict[str, UncertaintyResult]: ...
@overload
def uncertainty(
    model: Network,
    rain: Any,
    parameters: Mapping[str, tuple[float, float]],
    **settings: Unpack[UncertaintyOptions],
) -> UncertaintyResult: ...
def uncertainty(
    model: Network,
    rain: Any,
    parameters: Mapping[str, tuple[float, float]],
    *,
    n: int = 100,
    seed: int | None = None,
    percentiles: Sequence[float] = (5.0, 50.0, 95.0),
    end: Any = None,
    observed: pd.Series | None = None,
    executor: ExecutorLike = None,
    batch_size: int | None = None,
    progress: bool = True,
    inflows: Any = None,
    potential_et: Any = None,
    temperature: Any = None,
    gauge: str | None = None,
) -> UncertaintyResult | dict[str, UncertaintyResult]:
    """Percentile bands of the outflow over ``n`` Latin hypercube samples of the parameters.

    ``parameters`` maps paths in the description to (low, high) bounds,
    durations in hours. Every run covers the same time steps: up to ``end``
    if given, else to the last observation if ``observed`` is given, else as
    far as the run of ``model`` itself goes. ``model`` is a single chain or a network (``rain``
    then as ``Network.run`` takes it, with its ``inflows``, ``potential_et`` and ``temperature``; ``gauge`` names the element whose
    outflow is sampled, by default what leaves the network).

    Given a list of :class:`~rainmill_models.events.Event` as ``rain``, the same samples run on
    every event (with the event's own parameter values, up to its window's end or its last
    observation), and the result is one ``UncertaintyResult`` per event, by name.
    """
    if _is_event_list(rain):
        if end is not None or observed is not None:
            raise ValueError("with events, each event gives its own window and observations")
        results = {}
        for event in rain:
            named, seen = event.first_gauge()
            span = None if event.window is None else _window(seen, event.window) if seen is not None else None
            results[event.name] = uncertainty(
                event.applied(model),
                event.rain,
                parameters,
                n=n,
                seed=seed,
                percentiles=percentiles,
                end=None if span is None else span[1],
                observed=seen,
                executor=executor,
                batch_size=batch_size,
                progress=progress,
                **event.forcing(),
                gauge=named,
            )
        return results
    for path in parameters:
        # an unknown path fails here, not in every run
        get_network_parameter(model, path)
    if gauge is not None and gauge not in model.elements:
        raise ValueError(f"gauge: {gauge!r} is no element of the network")
    samples = latin_hypercube(parameters, n, seed=seed)
    if end is None and observed is not None:
        end = observed.index[-1]
    given = zip(FORCING, (inflows, potential_et, temperature), strict=True)
    extra = {key: value for key, value in given if value is not None}
    first = model.run(rain, end=None if end is None else pd.Timestamp(end), **extra)
    index = gauge_flow(model, first, gauge).index
    if observed is not None:
        observed = observed_in_model_units(model, gauge or "outlet", observed)
    context = {
        "model": model.to_dict(),
        "rain": forcing_to_data(rain),
        "forcing": {key: forcing_to_data(value) for key, value in extra.items()},
        "gauge": gauge,
        "index": series_to_data(pd.Series(np.nan, index=index)),
        "paths": list(parameters),
    }
    points = list(samples.to_numpy())
    with closing(progress_bar(progress, "samples", total=n)) as bar, Runner(executor, batch_size=batch_size) as runner:
        outflows = runner.map(prepare_samples, run_sample, context, points, batches_per_worker=4, on_batch=bar.update)
    runs = pd.DataFrame(np.column_stack(outflows), index=index)
    return UncertaintyResult(
        samples=samples,
        runs=runs,
        bands=percentile_bands(runs, percentiles),
        observed=observed,
        flow_unit=label("flow", model.options.units),
    )


def _is_event_list(rain: Any) -> bool:
    if isinstance(rain, pd.Series | pd.DataFrame | Mapping):
        return False
    events = list(rain)
    if not all(isinstance(event, StormEvent) for event in events):
        raise TypeError("rain: a pandas Series (per subbasin for a network), or a list of Event")
    return True
