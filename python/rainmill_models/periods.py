"""Simulated flows as period means, to score them against observations that are period means.

A daily discharge record holds the mean flow of each day, stamped at the day's start; a simulated
hydrograph holds flows at its points. `period_means` turns the hydrograph into the mean over each
observed period (the trapezoidal mean of the points, interpolated linearly at the period's bounds),
so `scores(period_means(simulated, observed), observed)` compares like with like, whatever the
computation step. `PeriodMeans` does the same for many hydrographs on the same points (a
calibration's candidates): the bounds are placed once, each hydrograph then costs one sum.

`calibrate`, `run_many` and event calibration take the choice as `observed_period`: None scores
the flows at the observations' times, a pandas frequency ("D", "h", "MS") the means over that
period, and "auto" the means over the observations' own regular step when it is longer than the
computation step (the flows at their times otherwise).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from .errors import ModelError

Array = npt.NDArray[np.float64]


def period_length(index: pd.DatetimeIndex, period: str | None) -> Any:
    """The length of the periods starting at `index`: the offset of `period`, or the index's regular step."""
    if period is not None:
        try:
            return pd.tseries.frequencies.to_offset(period)
        except ValueError:
            raise ModelError("observed_period", f"{period!r} is not a pandas frequency such as 'D' or 'h'") from None
    step = _regular_step(index)
    if step is None:
        raise ModelError("observed_period", "the observations have no regular step: give a frequency such as 'D'")
    return step


def _regular_step(index: pd.DatetimeIndex) -> pd.Timedelta | None:
    """The index's one step, or None when it has none (fewer than two times, or steps of several lengths)."""
    steps = np.unique(np.diff(index.to_numpy()))
    return pd.Timedelta(steps[0]) if len(steps) == 1 else None


def resolve_period(observed: pd.DatetimeIndex, period: str | None, step_seconds: float) -> Any:
    """The period length to average over for `observed_period=period`, or None for point values."""
    if period is None:
        return None
    if period != "auto":
        return period_length(observed, period)
    step = _regular_step(observed)
    return step if step is not None and step.total_seconds() > step_seconds else None


class PeriodMeans:
    """The means of hydrographs on fixed points over fixed periods [start, end).

    Built once from the points' times and the periods' bounds (seconds from any origin); calling it
    on a hydrograph's values gives the mean over each period, NaN for a period not wholly inside the
    points. Order of operations: the trapezoidal integral at every point (a cumulative sum of
    step × (left + right) × 0.5), then at each bound the integral at the point before it plus the
    exact integral of the linear interpolation up to the bound, and (end − start integral) / length.
    """

    def __init__(self, times: Array, starts: Array, ends: Array) -> None:
        if len(times) < 2:
            raise ModelError("simulated", "needs at least two points")
        self.count = len(starts)
        self.inside = (starts >= times[0]) & (ends <= times[-1])
        self.steps = np.diff(times)
        self.lengths = ends[self.inside] - starts[self.inside]
        self.start = self._bound(times, starts[self.inside])
        self.end = self._bound(times, ends[self.inside])

    @staticmethod
    def _bound(times: Array, at: Array) -> tuple[npt.NDArray[np.intp], Array, Array]:
        k = np.clip(np.searchsorted(times, at, side="right") - 1, 0, len(times) - 2)
        return k, at - times[k], times[k + 1] - times[k]

    def _integral(self, values: Array, cumulative: Array, bound: tuple[npt.NDArray[np.intp], Array, Array]) -> Array:
        k, dt, span = bound
        slope = (values[k + 1] - values[k]) / span
        return np.asarray(cumulative[k] + dt * (values[k] + 0.5 * slope * dt), dtype=np.float64)

    def __call__(self, values: Array) -> Array:
        """The mean of the hydrograph `values` (one per point) over each period."""
        means = np.full(self.count, np.nan)
        if self.inside.any():
            cumulative = np.concatenate([[0.0], np.cumsum(self.steps * (values[1:] + values[:-1]) * 0.5)])
            a = self._integral(values, cumulative, self.start)
            b = self._integral(values, cumulative, self.end)
            means[self.inside] = (b - a) / self.lengths
        return means


def _seconds(times: pd.DatetimeIndex, origin: pd.Timestamp) -> Array:
    return ((times - origin) / pd.Timedelta(seconds=1)).to_numpy(dtype=float)


def period_sampler(points: pd.DatetimeIndex, observed: pd.DatetimeIndex, length: Any) -> PeriodMeans:
    """A `PeriodMeans` from hydrographs on `points` to the periods of `length` starting at `observed`."""
    origin = points[0]
    return PeriodMeans(_seconds(points, origin), _seconds(observed, origin), _seconds(observed + length, origin))


def period_means(simulated: pd.Series, observed: pd.Series | pd.DatetimeIndex, period: str | None = None) -> pd.Series:
    """The mean of `simulated` over each period [t, t + period) starting at the observations' times.

    `period` is a pandas frequency ("D", "h", "MS"); by default the observations' regular step.
    Periods not wholly inside the simulation are NaN.
    """
    index = observed if isinstance(observed, pd.DatetimeIndex) else observed.index
    if not isinstance(index, pd.DatetimeIndex) or not isinstance(simulated.index, pd.DatetimeIndex):
        raise ModelError("observed", "the simulation and the observations need a DatetimeIndex")
    sampler = period_sampler(simulated.index, index, period_length(index, period))
    return pd.Series(sampler(simulated.to_numpy(dtype=float)), index=index, name=simulated.name)
