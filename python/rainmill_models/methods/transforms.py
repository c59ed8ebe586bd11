"""Transform methods: direct runoff at the points from the excess per interval.

- ``clark``: the volume-conserving Clark unit hydrograph (`unit_hydrograph_clark`), convolved by the
  kernel; its first ceil(tc / step) ordinates answer the excess as the extension's transform does.
  ``clark-truncated``: the extension's own form, which ends the unit hydrograph after those ordinates.
- ``scs`` (the NRCS dimensionless unit hydrograph, NEH 630 ch. 16), ``snyder`` (Snyder, 1938, in the
  SCS shape with Snyder's peak and time to peak), ``user`` (given ordinates re-sampled to the step):
  each holds exactly one inch of excess over the subbasin, at most 1e7 ordinates.
- ``modclark``: each cell's excess lagged by its travel time, then the Clark reservoir;
  ``kinematic-wave``: an overland plane into a collector channel (see `routing` for the scheme).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from datetime import timedelta

import numpy as np
import numpy.typing as npt
import rainmill

from .. import _kernels
from ..checks import _ULPS, duration, fmt, number_field, numbers_field
from ..errors import ModelError
from ..io.units import SECONDS_PER_HOUR, hours
from . import Array, register
from .common import Channel, Checked, _array, _cells, _hours, _set, parameter
from .unit_hydrograph_clark import MAX_ORDINATES, unit_hydrograph, unit_hydrograph_length


def _check_ordinates(tc: float, r: float, step_seconds: int) -> None:
    count = unit_hydrograph_length(tc * SECONDS_PER_HOUR, r * SECONDS_PER_HOUR, step_seconds)
    if count > MAX_ORDINATES:
        raise ModelError(
            "tc",
            f"{fmt(tc)} h (r {fmt(r)} h) at a {fmt(_hours(step_seconds))} h step needs {count:.3g} "
            f"unit-hydrograph ordinates, more than the {MAX_ORDINATES:.0e} a run may hold",
        )


def _check_storage(r: float, step_seconds: int) -> None:
    dt = _hours(step_seconds)
    if r < dt / 2.0 * (1.0 - _ULPS):
        raise ModelError(
            "r",
            f"{fmt(r)} h is shorter than half the time step ({fmt(dt / 2.0)} h): "
            "the unit hydrograph would oscillate into negative flows",
        )


@dataclass(frozen=True)
class _ClarkParameters:
    tc: float
    r: float

    def __post_init__(self) -> None:
        _set(self, "tc", duration(self.tc, "tc"))
        _set(self, "r", duration(self.r, "r"))

    def check_step(self, step_seconds: int) -> None:
        """Refuse a storage shorter than half a step and a unit hydrograph too long to hold."""
        _check_storage(self.r, step_seconds)
        _check_ordinates(self.tc, self.r, step_seconds)


@register("transform", "clark")
@dataclass(frozen=True)
class Clark(_ClarkParameters):
    """Clark unit hydrograph, volume-conserving: time of concentration `tc` and storage coefficient `r` (h)."""

    def run(self, excess: Array, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff at the points (N values): the unit hydrograph convolved by the kernel.

        The kernel adds each wet interval's contribution in time order, as `clark` does, so the
        values are `clark`'s to the bit.
        """
        unit = unit_hydrograph(area_acres, hours(self.tc), hours(self.r), step_seconds)
        flow: Array = np.frombuffer(_kernels.convolve_unit_hydrograph(excess, unit), dtype=np.float64)
        return flow

    def to_come(self, excess: Array, area_acres: float, step_seconds: int, points: int) -> float:
        """The direct runoff (cfs × s) of `excess` still to arrive after point `points` - 1.

        The hydrograph's volume by the trapezoidal rule: half of the last point's interval, and every
        ordinate of the convolution beyond the points.
        """
        uh = unit_hydrograph(area_acres, hours(self.tc), hours(self.r), step_seconds)
        return _to_come(excess[:points], uh, points, step_seconds)

    def complete_after(self, excess: Array, area_acres: float, step_seconds: int) -> int:
        """The first point after which the direct runoff of `excess` has fully arrived."""
        return last_nonzero(excess) + unit_hydrograph_length(
            self.tc * SECONDS_PER_HOUR, self.r * SECONDS_PER_HOUR, step_seconds
        )


@register("transform", "clark-truncated")
@dataclass(frozen=True)
class ClarkTruncated(_ClarkParameters):
    """The extension's Clark transform, which ends the unit hydrograph after ceil(tc / step) ordinates."""

    def run(self, excess: Array, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff at the points (N values)."""
        series = rainmill.utils.IncrementalTimeSeries(excess, timedelta(seconds=step_seconds), "rainfall")
        runoff = np.asarray(
            rainmill.rainfall_transform.run_clark_uh(series, area_acres, hours(self.tc), hours(self.r)),
            dtype=np.float64,
        )
        direct = np.zeros(len(excess))
        direct[: min(len(excess), len(runoff))] = runoff[: len(excess)]
        return direct

    def complete_after(self, excess: Array, area_acres: float, step_seconds: int) -> int:
        """The first point after which the (truncated) direct runoff has fully arrived."""
        return last_nonzero(excess) + math.ceil(self.tc * SECONDS_PER_HOUR / step_seconds)


def last_nonzero(values: Array) -> int:
    """The index of the last non-zero value (0 when there is none)."""
    found = np.flatnonzero(values)
    return int(found[-1]) if found.size else 0


def _to_come(depths: Array, unit: Array, points: int, step_seconds: int) -> float:
    """The runoff (cfs × s) of `depths` through `unit` still to arrive after point `points` - 1.

    The hydrograph's volume by the trapezoidal rule: half of the last point's interval, and every
    ordinate of the convolution beyond the points (of depths beyond the points too).
    """
    tail = np.concatenate((np.cumsum(unit[::-1])[::-1], [0.0]))  # tail[t]: the ordinates from t on
    found = np.flatnonzero(depths)
    after = np.minimum(np.maximum(points - found, 0), len(unit))
    last = points - 1 - found
    at_last = np.where((last >= 0) & (last < len(unit)), unit[np.clip(last, 0, len(unit) - 1)], 0.0)
    return float(np.dot(depths[found], tail[after]) + 0.5 * np.dot(depths[found], at_last)) * step_seconds


class _UnitHydrograph:
    """Direct runoff by convolution with the ordinates a subclass builds at the step."""

    # The NRCS table's areas (trapezoid rule, as the kernel sums them): before its peak, after it, in all.
    _RISING, _RECESSION, _TABLE = 0.49999999999999994, 0.8359500000000003, 1.33595

    @classmethod
    def _scs_count(cls, lag: float, prf: float, hours: float) -> float:
        """The ordinates the kernel builds for the SCS shape (scs_uh.hpp), counted without building them."""
        stretch = (cls._TABLE * (484.0 / prf) - cls._RISING) / cls._RECESSION
        return math.floor((0.5 * hours + lag) * (1.0 + stretch * 4.0) / hours) + 1.0

    def _check_count(self, name: str, count: float, step_seconds: int) -> None:
        """Refuse more than MAX_ORDINATES ordinates up front, naming field `name`."""
        if count > MAX_ORDINATES:
            raise ModelError(
                name,
                f"{fmt(getattr(self, name))} h at a {fmt(_hours(step_seconds))} h step needs {count:.3g} "
                f"unit-hydrograph ordinates, more than the {MAX_ORDINATES:.0e} a run may hold",
            )

    def unit_hydrograph(self, area_acres: float, step_seconds: int) -> Array:
        raise NotImplementedError

    def run(self, excess: Array, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff in cfs at the points, N values, from excess depths per interval."""
        unit = self.unit_hydrograph(area_acres, step_seconds)
        return _array(_kernels.convolve_unit_hydrograph(excess, unit))

    def complete_after(self, excess: Array, area_acres: float, step_seconds: int) -> int:
        """The first point after which the direct runoff of `excess` has fully arrived."""
        return last_nonzero(excess) + len(self.unit_hydrograph(area_acres, step_seconds))


@register("transform", "scs")
@dataclass(frozen=True)
class ScsUnitHydrograph(Checked, _UnitHydrograph):
    """NRCS dimensionless unit hydrograph: basin `lag` (hours), `peak_rate_factor` (484 standard).

    NEH 630 ch. 16 advises a step of about 0.2 times the time to peak; steps longer than the lag are
    refused (the peak would fall within 1.5 steps).
    """

    lag: float = parameter(low=0.0, above=True)
    peak_rate_factor: float = parameter(484.0, low=100.0, high=600.0)

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step longer than the lag."""
        if _hours(step_seconds) > self.lag:
            raise ModelError("lag", f"{fmt(self.lag)} h is shorter than the time step ({fmt(_hours(step_seconds))} h)")
        self._check_count("lag", self._scs_count(self.lag, self.peak_rate_factor, _hours(step_seconds)), step_seconds)

    def unit_hydrograph(self, area_acres: float, step_seconds: int) -> Array:
        """The unit hydrograph in cfs per inch at 0, 1, ... steps."""
        return _array(_kernels.scs_unit_hydrograph(self.lag, self.peak_rate_factor, area_acres, _hours(step_seconds)))


@register("transform", "snyder")
@dataclass(frozen=True)
class SnyderUnitHydrograph(Checked, _UnitHydrograph):
    """Snyder: basin lag `tp` (hours), peaking coefficient `cp`, in the SCS shape with Snyder's peak."""

    tp: float = parameter(low=0.0, above=True)
    cp: float = parameter(low=0.0, high=1.0, above=True)

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step longer than the lag."""
        if _hours(step_seconds) > self.tp:
            raise ModelError("tp", f"{fmt(self.tp)} h is shorter than the time step ({fmt(_hours(step_seconds))} h)")
        hours = _hours(step_seconds)
        lag = self.tp + (hours - self.tp / 5.5) / 4.0  # Snyder's lag at the step, in the SCS shape (scs_uh.hpp)
        prf = 640.0 * self.cp * (0.5 * hours + lag) / lag
        self._check_count("tp", self._scs_count(lag, prf, hours), step_seconds)

    def unit_hydrograph(self, area_acres: float, step_seconds: int) -> Array:
        """The unit hydrograph in cfs per inch at 0, 1, ... steps."""
        return _array(_kernels.snyder_unit_hydrograph(self.tp, self.cp, area_acres, _hours(step_seconds)))


@register("transform", "user")
@dataclass(frozen=True)
class UserUnitHydrograph(Checked, _UnitHydrograph):
    """Given `ordinates` (any flow unit) every `duration` hours; their shape, one inch of volume."""

    ordinates: tuple[float, ...]
    duration: float = parameter(low=0.0, above=True)

    def __post_init__(self) -> None:
        values = numbers_field(self, "ordinates", 2)
        super().__post_init__()
        if not any(values):
            raise ModelError("ordinates", "must hold some flow")

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step longer than half the hydrograph's base."""
        base = (len(self.ordinates) - 1) * self.duration
        if _hours(step_seconds) > base / 2.0:
            raise ModelError(
                "duration",
                f"the hydrograph's base ({fmt(base)} h) spans fewer than two time steps "
                f"({fmt(_hours(step_seconds))} h)",
            )
        count = math.floor((len(self.ordinates) - 1) * self.duration / _hours(step_seconds)) + 1.0
        self._check_count("duration", count, step_seconds)

    def unit_hydrograph(self, area_acres: float, step_seconds: int) -> Array:
        """The unit hydrograph in cfs per inch at 0, 1, ... steps."""
        return _array(_kernels.user_unit_hydrograph(self.ordinates, self.duration, area_acres, _hours(step_seconds)))


@register("transform", "modclark")
@dataclass(frozen=True)
class ModClark(Checked):
    """ModClark: each cell lagged by `travel` x `tc` hours, then the linear reservoir `r` (hours).

    `travel` holds each cell's travel time as a fraction of `tc` (in [0, 1]); `areas` each cell's
    share of the subbasin (any positive numbers, scaled to add up to 1; equal shares when empty).
    """

    tc: float = parameter(low=0.0, above=True)
    r: float = parameter(low=0.0, above=True)
    travel: tuple[float, ...] = parameter()  # required, as a declared field
    areas: tuple[float, ...] = ()

    def __post_init__(self) -> None:
        super().__post_init__()
        travel = numbers_field(self, "travel", 1)
        for index, value in enumerate(travel):
            if value > 1.0:
                raise ModelError(f"travel[{index}]", f"must lie in [0, 1] (a fraction of tc), got {value:g}")
        if self.areas != ():
            areas = numbers_field(self, "areas", 1)
            if len(areas) != len(travel):
                raise ModelError("areas", f"needs one value per cell of travel ({len(travel)}), got {len(areas)}")
            if not math.fsum(areas) > 0.0:
                raise ModelError("areas", "must hold some area")

    def _reservoir(self, step_seconds: int) -> Clark:
        return Clark(tc=_hours(step_seconds), r=self.r)

    def check_step(self, step_seconds: int) -> None:
        """Refuse what the Clark reservoir refuses (r shorter than half a step, say)."""
        self._reservoir(step_seconds).check_step(step_seconds)

    def reservoir(self, area_acres: float, step_seconds: int) -> Array:
        """The linear reservoir's unit hydrograph (cfs per inch over the subbasin): the clark method's at tc = one step."""
        clark = self._reservoir(step_seconds)
        length = clark.complete_after(np.ones(1), area_acres, step_seconds)
        impulse = np.zeros(max(length, 1))
        impulse[0] = 1.0
        return clark.run(impulse, area_acres, step_seconds)

    def lags(self, step_seconds: int) -> Array:
        """Each cell's travel time in steps."""
        return np.asarray(self.travel, dtype=np.float64) * (self.tc / _hours(step_seconds))

    def weights(self) -> Array:
        """Each cell's share of the area, adding up to 1."""
        if not self.areas:
            return np.full(len(self.travel), 1.0 / len(self.travel))
        areas = np.asarray(self.areas, dtype=np.float64)
        return areas / math.fsum(self.areas)

    def run(self, excess: Array, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff in cfs at the points (N values) from the subbasin-mean excess, which every cell carries.

        Cells that share a travel time are taken together first, with the sum of their areas (math.fsum)
        over the subbasin's: cells that all share one travel time carry the excess itself (a weight of 1).
        """
        lags, weights = self._groups(step_seconds)
        return _array(
            _kernels.modclark_transform(excess, lags, weights, self.reservoir(area_acres, step_seconds), True)
        )

    def _groups(self, step_seconds: int) -> tuple[Array, Array]:
        """The distinct travel times (steps) and the share of the area at each (math.fsum of the cells' areas)."""
        lags, group = np.unique(self.lags(step_seconds), return_inverse=True)
        areas = self.areas or (1.0,) * len(self.travel)
        total = math.fsum(areas)
        shares: list[list[float]] = [[] for _ in lags]
        for cell, which in enumerate(group.tolist()):
            shares[which].append(areas[cell])
        return lags, np.array([math.fsum(share) / total for share in shares])

    def run_cells(self, excess: npt.ArrayLike, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff in cfs at the points from a gridded excess: inches per interval, time x cells.

        The cells are this method's `travel` and `areas`, in their order (a DataFrame's columns or a
        2-D array's second axis); a NaN is refused.
        """
        cells = np.ascontiguousarray(excess, dtype=np.float64)
        if cells.ndim != 2 or cells.shape[1] != len(self.travel):
            raise ModelError(
                "travel", f"the excess must be time x {len(self.travel)} cells, got shape {tuple(cells.shape)}"
            )
        return _array(
            _kernels.modclark_transform(
                cells.ravel(), self.lags(step_seconds), self.weights(), self.reservoir(area_acres, step_seconds), False
            )
        )

    def to_come(self, excess: Array, area_acres: float, step_seconds: int, points: int) -> float:
        """The direct runoff (cfs × s) of `excess` still to arrive after point `points` - 1.

        As the clark method counts it (the hydrograph's volume by the trapezoidal rule: half of the
        last point's interval and every ordinate beyond), for the lagged mean excess including the
        shares that travel beyond the run.
        """
        lags, weights = self._groups(step_seconds)
        reach = math.ceil(float(lags.max())) + 1
        padded = np.concatenate((np.asarray(excess[:points], dtype=np.float64), np.zeros(reach)))
        depths = _array(_kernels.lagged_mean_excess(padded, lags, weights, True))
        return _to_come(depths, self.reservoir(area_acres, step_seconds), points, step_seconds)

    def complete_after(self, excess: Array, area_acres: float, step_seconds: int) -> int:
        """The first point after which the direct runoff of `excess` has fully arrived."""
        reach = math.ceil(float(self.lags(step_seconds).max())) + 1
        return last_nonzero(excess) + reach + len(self.reservoir(area_acres, step_seconds))


@register("transform", "kinematic-wave")
@dataclass(frozen=True)
class KinematicWaveTransform(Checked, Channel):
    """Kinematic-wave runoff: an overland plane into an optional collector channel (lengths ft or m).

    The plane: `plane_length`, `plane_slope` (ft/ft), Manning's `plane_n` (overland, 0.1-0.4 typical);
    its width is the subbasin's area over its length. The channel (none when `channel_length` is 0):
    `channel_slope`, `channel_n`, `shape` (trapezoid, rectangle, triangle), `bottom_width`,
    `side_slope` (H:V). Both are cut into `cells` cells.
    """

    plane_length: float = parameter(unit="distance", low=0.0, above=True)
    plane_slope: float = parameter(low=0.0, above=True)
    plane_n: float = parameter(low=0.0, above=True)
    channel_length: float = parameter(0.0, unit="distance")
    channel_slope: float = 0.0
    channel_n: float = 0.035

    def __post_init__(self) -> None:
        super().__post_init__()
        _cells(self)
        if number_field(self, "channel_length", 0.0) > 0.0:
            number_field(self, "channel_slope", 0.0, above=True)
            number_field(self, "channel_n", 0.0, above=True)
            self.check_channel()

    def check_step(self, step_seconds: int) -> None:
        """Any step: internal steps keep the Courant number at or below 1."""

    def compute(self, excess: Array, area_acres: float, step_seconds: int) -> tuple[Array, Array, Array]:
        """Outflow (cfs at the points), outflow volume per interval and storage at the points (ft³)."""
        out, volume, storage = _kernels.kinematic_wave_transform(
            excess,
            area_acres,
            self.plane_length,
            self.plane_slope,
            self.plane_n,
            self.channel_length,
            self.channel_slope,
            self.channel_n,
            *self.channel(),
            float(step_seconds),
        )
        return _array(out), _array(volume), _array(storage)

    def run(self, excess: Array, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff in cfs at the points (N values)."""
        return self.compute(excess, area_acres, step_seconds)[0]
