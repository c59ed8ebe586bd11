"""The distributed methods: ModClark on a grid of travel times, and kinematic waves over planes and channels.

Each class is a frozen dataclass registered under its process and the name a model file selects it
by, computed by the models package's native kernels (`rainmill_models._kernels`, src/distributed/).
Depths are inches per interval, flows cfs at the points, lengths feet, durations hours (see the
registry's contract).

- ``modclark`` (transform): each cell's excess is lagged by its travel time, `travel` x `tc` (the
  cell's flow length to the subbasin's outlet over the longest one, as `spatial.delineate` gives
  them), and the area-weighted mean of the lagged excess goes through the subbasin's linear
  reservoir `r`: the ``clark`` method's own reservoir (its unit hydrograph with tc = one step), so
  that cells that all share one travel time give the Clark transform of the excess shifted by that
  time. In a network the transform receives the subbasin-mean excess, which every cell then
  carries; `ModClark.run_cells` takes a gridded excess (time x cells) through the same kernel.
- ``kinematic-wave`` (transform): the excess runs off an overland plane (`plane_length`,
  `plane_slope`, `plane_n`; its width the subbasin's area over its length) into a collector channel
  (`channel_length`, 0 for none, `channel_slope`, `channel_n`, `shape`, `bottom_width`,
  `side_slope`) as lateral inflow.
- ``kinematic-wave`` (routing): a channel of `length`, `slope`, `manning_n`, `shape` (trapezoid,
  rectangle, triangle), `bottom_width`, `side_slope`, starting in steady state at the first inflow.

Both kinematic waves use the explicit four-point (upwind, conservative) scheme on `cells` equal
cells, with internal steps keeping the Courant number at or below 1; the water is conserved to
rounding (the kernels also report each interval's outflow volume and the storage at the points).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import ClassVar

import numpy as np
import numpy.typing as npt

from .. import _kernels
from ..errors import ModelError
from . import Array, method_class, register
from .event import _array, _hours, _number, _numbers

SHAPES = ("trapezoid", "rectangle", "triangle")
_MOST_CELLS = 100_000


def _cells(owner: object, name: str = "cells") -> int:
    value = getattr(owner, name)
    if isinstance(value, bool) or not isinstance(value, int):
        raise ModelError(name, f"must be a whole number, not {type(value).__name__}")
    if not 1 <= value <= _MOST_CELLS:
        raise ModelError(name, f"must lie in [1, {_MOST_CELLS}], got {value}")
    return value


def _section(owner: object, shape: str, width: str, side: str) -> None:
    """Check a channel's shape against its bottom width and side slope (a rectangle has no side slope ...)."""
    kind = getattr(owner, shape)
    if kind not in SHAPES:
        raise ModelError(shape, f"must be one of {list(SHAPES)}, got {kind!r}")
    b = _number(owner, width, 0.0)
    z = _number(owner, side, 0.0)
    if kind == "rectangle" and (z != 0.0 or b <= 0.0):
        raise ModelError(side if z != 0.0 else width, "a rectangle has side_slope 0 and a bottom_width > 0")
    if kind == "triangle" and (b != 0.0 or z <= 0.0):
        raise ModelError(width if b != 0.0 else side, "a triangle has bottom_width 0 and a side_slope > 0")
    if kind == "trapezoid" and (b <= 0.0 or z <= 0.0):
        raise ModelError(width if b <= 0.0 else side, "a trapezoid has a bottom_width and a side_slope > 0")


def _channel(method: KinematicWaveTransform | KinematicWaveRouting) -> tuple[str, float, float, int]:
    """The kernels' channel arguments: shape, bottom width, side slope, cells."""
    return method.shape, method.bottom_width, method.side_slope, method.cells


@register("transform", "modclark")
@dataclass(frozen=True)
class ModClark:
    """ModClark: each cell lagged by `travel` x `tc` hours, then the linear reservoir `r` (hours).

    `travel` holds each cell's travel time as a fraction of `tc` (in [0, 1]); `areas` each cell's
    share of the subbasin (any positive numbers, scaled to add up to 1; equal shares when empty).
    """

    tc: float
    r: float
    travel: tuple[float, ...]
    areas: tuple[float, ...] = ()

    UNITS: ClassVar[Mapping[str, str]] = {}

    def __post_init__(self) -> None:
        _number(self, "tc", 0.0, above=True)
        _number(self, "r", 0.0, above=True)
        travel = _numbers(self, "travel", 1)
        for index, value in enumerate(travel):
            if value > 1.0:
                raise ModelError(f"travel[{index}]", f"must lie in [0, 1] (a fraction of tc), got {value:g}")
        if self.areas != ():
            areas = _numbers(self, "areas", 1)
            if len(areas) != len(travel):
                raise ModelError("areas", f"needs one value per cell of travel ({len(travel)}), got {len(areas)}")
            if not math.fsum(areas) > 0.0:
                raise ModelError("areas", "must hold some area")

    def _reservoir(self, step_seconds: int) -> object:
        return method_class("transform", "clark", "transform")(tc=_hours(step_seconds), r=self.r)

    def check_step(self, step_seconds: int) -> None:
        """Refuse what the Clark reservoir refuses (r shorter than half a step, say)."""
        self._reservoir(step_seconds).check_step(step_seconds)  # type: ignore[attr-defined]

    def reservoir(self, area_acres: float, step_seconds: int) -> Array:
        """The linear reservoir's unit hydrograph (cfs per inch over the subbasin): the clark method's at tc = one step."""
        clark = self._reservoir(step_seconds)
        length = int(clark.complete_after(np.ones(1), area_acres, step_seconds))  # type: ignore[attr-defined]
        impulse = np.zeros(max(length, 1))
        impulse[0] = 1.0
        return np.asarray(clark.run(impulse, area_acres, step_seconds), dtype=np.float64)  # type: ignore[attr-defined]

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
        unit = self.reservoir(area_acres, step_seconds)
        tail = np.concatenate((np.cumsum(unit[::-1])[::-1], [0.0]))  # tail[t]: the ordinates from t on
        found = np.flatnonzero(depths)
        after = np.minimum(np.maximum(points - found, 0), len(unit))
        last = points - 1 - found
        at_last = np.where((last >= 0) & (last < len(unit)), unit[np.clip(last, 0, len(unit) - 1)], 0.0)
        return float(np.dot(depths[found], tail[after]) + 0.5 * np.dot(depths[found], at_last)) * step_seconds

    def complete_after(self, excess: Array, area_acres: float, step_seconds: int) -> int:
        """The first point after which the direct runoff of `excess` has fully arrived."""
        wet = np.flatnonzero(excess)
        last = int(wet[-1]) if wet.size else 0
        return (
            last + math.ceil(float(self.lags(step_seconds).max())) + 1 + len(self.reservoir(area_acres, step_seconds))
        )


@register("transform", "kinematic-wave")
@dataclass(frozen=True)
class KinematicWaveTransform:
    """Kinematic-wave runoff: an overland plane into an optional collector channel (lengths ft or m).

    The plane: `plane_length`, `plane_slope` (ft/ft), Manning's `plane_n` (overland, 0.1-0.4 typical);
    its width is the subbasin's area over its length. The channel (none when `channel_length` is 0):
    `channel_slope`, `channel_n`, `shape` (trapezoid, rectangle, triangle), `bottom_width`,
    `side_slope` (H:V). Both are cut into `cells` cells.
    """

    plane_length: float
    plane_slope: float
    plane_n: float
    channel_length: float = 0.0
    channel_slope: float = 0.0
    channel_n: float = 0.035
    shape: str = "trapezoid"
    bottom_width: float = 0.0
    side_slope: float = 0.0
    cells: int = 20

    UNITS: ClassVar[Mapping[str, str]] = {
        "plane_length": "distance",
        "channel_length": "distance",
        "bottom_width": "distance",
    }

    def __post_init__(self) -> None:
        _number(self, "plane_length", 0.0, above=True)
        _number(self, "plane_slope", 0.0, above=True)
        _number(self, "plane_n", 0.0, above=True)
        _cells(self)
        if _number(self, "channel_length", 0.0) > 0.0:
            _number(self, "channel_slope", 0.0, above=True)
            _number(self, "channel_n", 0.0, above=True)
            _section(self, "shape", "bottom_width", "side_slope")

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
            *_channel(self),
            float(step_seconds),
        )
        return _array(out), _array(volume), _array(storage)

    def run(self, excess: Array, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff in cfs at the points (N values)."""
        return self.compute(excess, area_acres, step_seconds)[0]


@register("routing", "kinematic-wave")
@dataclass(frozen=True)
class KinematicWaveRouting:
    """Kinematic-wave routing through a channel: `length` (ft or m), `slope`, `manning_n`, `shape`, `cells`.

    `shape` is a trapezoid (`bottom_width` and `side_slope` > 0), a rectangle (`side_slope` 0) or a
    triangle (`bottom_width` 0); the reach starts in steady state at the first inflow.
    """

    length: float
    slope: float
    manning_n: float
    shape: str = "trapezoid"
    bottom_width: float = 0.0
    side_slope: float = 0.0
    cells: int = 20

    UNITS: ClassVar[Mapping[str, str]] = {"length": "distance", "bottom_width": "distance"}

    def __post_init__(self) -> None:
        _number(self, "length", 0.0, above=True)
        _number(self, "slope", 0.0, above=True)
        _number(self, "manning_n", 0.0, above=True)
        _section(self, "shape", "bottom_width", "side_slope")
        _cells(self)

    def check_step(self, step_seconds: int) -> None:
        """Any step: internal steps keep the Courant number at or below 1."""

    def compute(self, inflow: Array, step_seconds: int) -> tuple[Array, Array, Array]:
        """Outflow (cfs at the points), outflow volume per interval and storage at the points (ft³)."""
        out, volume, storage = _kernels.kinematic_wave_routing(
            inflow, self.length, self.slope, self.manning_n, *_channel(self), float(step_seconds)
        )
        return _array(out), _array(volume), _array(storage)

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points."""
        return self.compute(inflow, step_seconds)[0]
