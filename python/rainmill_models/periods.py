"""Simulated flows as period means, to score them against observations that are period means.

A daily discharge record holds the mean flow of each day, stamped at the day's start; a simulated
hydrograph holds flows at its points. `period_means` turns the hydrograph into the mean over each
observed period (the trapezoidal mean of the points, interpolated linearly at the period's bounds),
so `scores(period_means(simulated, observed), observed)` compares like with like, whatever the
computation step.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from .errors import ModelError


def period_means(simulated: pd.Series, observed: pd.Series | pd.DatetimeIndex, period: str | None = None) -> pd.Series:
    """The mean of `simulated` over each period [t, t + period) starting at the observations' times.

    `period` is a pandas frequency ("D", "h", "MS"); by default the observations' regular step.
    Periods not wholly inside the simulation are NaN.
    """
    index = observed if isinstance(observed, pd.DatetimeIndex) else observed.index
    if not isinstance(index, pd.DatetimeIndex) or not isinstance(simulated.index, pd.DatetimeIndex):
        raise ModelError("observed", "the simulation and the observations need a DatetimeIndex")
    if len(simulated) < 2:
        raise ModelError("simulated", "needs at least two points")
    if period is not None:
        length: Any = pd.tseries.frequencies.to_offset(period)
    else:
        steps = np.unique(np.diff(index.to_numpy()))
        if len(steps) != 1:
            raise ModelError("period", "the observations have no regular step: give period=")
        length = pd.Timedelta(steps[0])
    times = ((simulated.index - simulated.index[0]) / pd.Timedelta(seconds=1)).to_numpy(dtype=float)
    values = simulated.to_numpy(dtype=float)
    # The hydrograph's integral at every point, then at the periods' bounds by linear interpolation
    # of the flow (the integral of a piecewise-linear flow is piecewise quadratic: integrate exactly).
    cumulative = np.concatenate([[0.0], np.cumsum(np.diff(times) * (values[1:] + values[:-1]) * 0.5)])
    starts = ((index - simulated.index[0]) / pd.Timedelta(seconds=1)).to_numpy(dtype=float)
    ends = (((index + length) - simulated.index[0]) / pd.Timedelta(seconds=1)).to_numpy(dtype=float)
    inside = (starts >= times[0]) & (ends <= times[-1])
    means = np.full(len(index), np.nan)
    if inside.any():
        a = _integral(times, values, cumulative, starts[inside])
        b = _integral(times, values, cumulative, ends[inside])
        means[inside] = (b - a) / (ends[inside] - starts[inside])
    return pd.Series(means, index=index, name=simulated.name)


def _integral(times: np.ndarray, values: np.ndarray, cumulative: np.ndarray, at: np.ndarray) -> np.ndarray:
    """The integral of the piecewise-linear flow from the first point to each time in `at`."""
    k = np.clip(np.searchsorted(times, at, side="right") - 1, 0, len(times) - 2)
    dt = at - times[k]
    span = times[k + 1] - times[k]
    slope = (values[k + 1] - values[k]) / span
    return np.asarray(cumulative[k] + dt * (values[k] + 0.5 * slope * dt), dtype=float)
