"""The work of each run of an ensemble, as a worker process does it.

:func:`prepare_runs` and :func:`run_one` serve :func:`~rainmill_models.ensemble.run_many`,
:func:`prepare_samples` and :func:`run_sample` serve :func:`~rainmill_models.ensemble.uncertainty`.
Kept apart from those functions so that a worker imports only what a run needs (no SciPy, no pint
unless observations carry a unit): a pool's workers start sooner.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
import pandas as pd

from ..errors import ModelError
from ..io.forcing import run_step
from ..io.timeseries import TimeSeriesError
from ..io.units import SECONDS_PER_HOUR, flow_volume
from ..metrics import scores
from ..network import Network
from ..periods import period_sampler, resolve_period
from .plain_data import forcing_from_data, observed_in_model_units, series_from_data


def observed_of(data: Mapping[str, Any]) -> pd.Series | None:
    """An event's observations (with their unit, as plain data carries it), or None."""
    return None if data["observed"] is None else series_from_data(data["observed"])


def window_pair(window: tuple[Any, Any]) -> tuple[pd.Timestamp, pd.Timestamp]:
    return pd.Timestamp(window[0]), pd.Timestamp(window[1])


def prepare_runs(context: Mapping[str, Any]) -> dict[str, Any]:
    return {
        "models": [Network.from_dict(d) for d in context["models"]],
        "events": [
            EventRun(
                rain=forcing_from_data(e["rain"]),
                forcing={key: forcing_from_data(value) for key, value in e["forcing"].items()},
                observed=observed_of(e),
                gauge=e["gauge"],
                window=None if e["window"] is None else window_pair(e["window"]),
                parameters=e["parameters"],
            )
            for e in context["events"]
        ],
        "end": None if context["end"] is None else pd.Timestamp(context["end"]),
        "missing": context["missing"],
        "observed_period": context["observed_period"],
    }


@dataclass(frozen=True)
class EventRun:
    """One event as a worker runs it."""

    rain: Any
    forcing: Mapping[str, Any]  # inflows, potential_et, temperature: keywords of a network's run
    observed: pd.Series | None
    gauge: str | None
    window: tuple[pd.Timestamp, pd.Timestamp] | None
    parameters: Mapping[str, float]


def gauge_flow(model: Network, result: Any, gauge: str | None) -> pd.Series:
    """The outflow scored: the named element's in a network run, else the run's outflow."""
    if gauge is None:
        return cast(pd.Series, result.outflow)
    return cast(pd.Series, result.at(gauge)).rename("outflow")


def outflow_row(outflow: pd.Series, span: tuple[Any, Any] | None = None) -> dict[str, Any]:
    """Start and end of the run; peak and volume within `span` (the scored window), else the whole run."""
    row = {"start": outflow.index[0], "end": outflow.index[-1]}
    if span is not None:
        outflow = outflow.loc[span[0] : span[1]]
    values = outflow.to_numpy(dtype=np.float64)
    step = (outflow.index[1] - outflow.index[0]).total_seconds() if len(outflow) > 1 else 0.0
    if not len(values):
        return row | {"peak_flow": np.nan, "peak_time": pd.NaT, "volume_flow_hours": np.nan}
    peak = int(np.nanargmax(values)) if np.isfinite(values).any() else 0
    return row | {
        "peak_flow": float(values[peak]),
        "peak_time": outflow.index[peak],
        # flow x hours: cfs.h (or m³/s.h), by the package's one volume formula (as Result.peaks)
        "volume_flow_hours": flow_volume(values, step) / SECONDS_PER_HOUR,
    }


def run_one(state: Mapping[str, Any], item: tuple[int, int]) -> dict[str, Any]:
    model = state["models"][item[0]]
    event: EventRun = state["events"][item[1]]
    observed, window, end = event.observed, event.window, state["end"]
    length = None
    if observed is not None:
        observed = observed_in_model_units(model, event.gauge or "outlet", observed)
        if window is not None:
            observed = observed.loc[window[0] : window[1]]
        try:
            step = run_step(model, event.rain, inflows=event.forcing.get("inflows"))
        except (ModelError, TimeSeriesError) as error:
            return {"error": str(error)}
        length = resolve_period(pd.DatetimeIndex(observed.index), state["observed_period"], step)
    if end is None and window is not None:
        end = window[1]
    if end is None and observed is not None:
        end = observed.index[-1]
    if state["end"] is None and end is not None and length is not None and observed is not None:
        end = max(pd.Timestamp(end), pd.Timestamp(observed.index[-1] + length))  # the last period's end
    try:
        run = (model.with_parameters(event.parameters) if event.parameters else model).run(
            event.rain, end=end, **event.forcing
        )
        outflow = gauge_flow(model, run, event.gauge)
    except (ModelError, TimeSeriesError) as error:
        return {"error": str(error)}
    span = window if window is not None else None if observed is None else (observed.index[0], end)
    row = outflow_row(outflow, span) | {"error": None}
    if observed is not None:
        try:
            scored = outflow
            if length is not None:
                sampler = period_sampler(pd.DatetimeIndex(outflow.index), pd.DatetimeIndex(observed.index), length)
                scored = pd.Series(sampler(outflow.to_numpy(dtype=np.float64)), index=observed.index)
            row.update(scores(scored, observed, missing=state["missing"], window=window))
        except (ModelError, TimeSeriesError) as error:
            row["error"] = str(error)
    return row


def prepare_samples(context: Mapping[str, Any]) -> dict[str, Any]:
    return {
        "model": Network.from_dict(context["model"]),
        "rain": forcing_from_data(context["rain"]),
        "forcing": {key: forcing_from_data(value) for key, value in context["forcing"].items()},
        "gauge": context["gauge"],
        "index": pd.DatetimeIndex(series_from_data(context["index"]).index),
        "paths": context["paths"],
    }


def run_sample(state: Mapping[str, Any], values: np.ndarray) -> np.ndarray:
    index = state["index"]
    try:
        model = state["model"].with_parameters(dict(zip(state["paths"], map(float, values), strict=True)))
        outflow = gauge_flow(model, model.run(state["rain"], end=index[-1], **state["forcing"]), state["gauge"])
    except ModelError, TimeSeriesError:
        return np.full(len(index), np.nan)
    return outflow.reindex(index).to_numpy(dtype=np.float64)
