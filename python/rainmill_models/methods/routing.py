"""Routing methods: a reach's outflow at the points from the sum of its inflows at the points.

- ``muskingum``: the extension's Muskingum routing, the first value the initial outflow.
- ``lag``: a pure translation (whole and fractional steps).
- ``muskingum-cunge``: variable-parameter (Ponce and Yevjevich 1978), prismatic channel.
- ``modified-puls``: storage-indication through a storage-outflow table.
- ``kinematic-wave``: the explicit four-point (upwind, conservative) scheme on equal cells, with
  internal steps keeping the Courant number at or below 1.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from datetime import timedelta
from typing import ClassVar

import numpy as np
import rainmill

from .. import _kernels
from ..checks import MAX_CHAIN, at_least, duration, fmt, numbers_field, real, whole, within
from ..errors import ModelError
from ..io.units import SECONDS_PER_HOUR, hours
from . import Array, register
from .common import Channel, Checked, _array, _cells, _hours, _set, parameter


@register("routing", "muskingum")
@dataclass(frozen=True)
class Muskingum:
    """Muskingum routing: K of the whole reach (h), weighting x, sub-reaches, first outflow (cfs, m³/s).

    Without `initial_outflow` the routing starts from the first inflow value.
    """

    k: float
    x: float
    sub_reaches: int = 1
    initial_outflow: float | None = parameter(None, unit="flow")

    def __post_init__(self) -> None:
        _set(self, "k", duration(self.k, "k"))
        x = real(self.x, "x")
        if not 0.0 <= x <= 0.5:
            raise ModelError("x", f"must be between 0 and 0.5, got {fmt(x)}")
        _set(self, "x", x)
        _set(self, "sub_reaches", whole(self.sub_reaches, "sub_reaches", 1, MAX_CHAIN))
        if self.initial_outflow is not None:
            _set(self, "initial_outflow", at_least(self.initial_outflow, 0.0, "initial_outflow"))

    def check_step(self, step_seconds: int) -> None:
        """The step must lie in [2Kx, 2K(1 - x)] per sub-reach for non-negative coefficients."""
        dt = _hours(step_seconds)
        if self.fits(self.sub_reaches, dt):
            return
        candidates = [n for n in self._suggestions(dt) if self.fits(n, dt)]
        fix = (
            f"sub_reaches = {candidates[0]} would fix it"
            if candidates
            else "no number of sub-reaches fixes it at this step"
        )
        k = self.k / self.sub_reaches
        low, high = 2.0 * k * self.x, 2.0 * k * (1.0 - self.x)
        raise ModelError(
            "sub_reaches",
            f"the time step {fmt(dt)} h is outside [2Kx, 2K(1-x)] = [{low:.4g}, {high:.4g}] h "
            f"for K = {k:.4g} h per sub-reach, so the routing would produce negative flows; {fix}",
        )

    def fits(self, sub_reaches: int, dt: float) -> bool:
        """The step is within the stable range with `sub_reaches` sub-reaches."""
        k = self.k / sub_reaches
        return within(dt, 2.0 * k * self.x, 2.0 * k * (1.0 - self.x))

    def _suggestions(self, dt: float) -> list[int]:
        fewest = max(1, math.floor(2.0 * self.k * self.x / dt))
        most = max(1, math.ceil(2.0 * self.k * (1.0 - self.x) / dt))
        near = sorted({fewest, fewest + 1, most - 1, most}, key=lambda n: abs(n - self.sub_reaches))
        return [n for n in near if 1 <= n <= MAX_CHAIN]

    def held(self, inflow: Array, outflow: Array, step_seconds: int) -> tuple[float, float]:
        """The water in the reach (cfs × s) at the first and the last point.

        Each sub-reach holds K/n × (x I + (1 - x) O), the storage its scheme conserves by the
        trapezoidal rule; the flows between the sub-reaches are routed again one sub-reach at a time.
        """
        if len(inflow) == 0:
            return 0.0, 0.0
        first = float(inflow[0]) if self.initial_outflow is None else self.initial_outflow
        single = dataclasses.replace(self, k=self.k / self.sub_reaches, sub_reaches=1)
        flows = [inflow]
        for _ in range(self.sub_reaches - 1):
            flows.append(dataclasses.replace(single, initial_outflow=first).run(flows[-1], step_seconds))
        flows.append(outflow)
        k = self.k / self.sub_reaches * SECONDS_PER_HOUR
        ends = []
        for at in (0, len(inflow) - 1):
            ends.append(math.fsum(k * (self.x * float(a[at]) + (1.0 - self.x) * float(b[at])) for a, b in zip(
                flows[:-1], flows[1:], strict=True)))  # fmt: skip
        return ends[0], ends[1]

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """The outflow at the points."""
        first = float(inflow[0]) if self.initial_outflow is None else self.initial_outflow
        series = rainmill.utils.ContinuousTimeSeries(inflow, timedelta(seconds=step_seconds), "discharge")
        routed = rainmill.reach.run_muskingum_routing(series, hours(self.k), self.x, self.sub_reaches, first)
        return np.asarray(routed, dtype=np.float64)


@register("routing", "lag")
@dataclass(frozen=True)
class Lag(Checked):
    """The inflow delayed by `lag` hours (fractions of a step interpolated linearly)."""

    lag: float = parameter(low=0.0)

    def check_step(self, step_seconds: int) -> None:
        """Any step."""

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points."""
        return _array(_kernels.lag_routing(inflow, self.lag, _hours(step_seconds)))


@register("routing", "muskingum-cunge")
@dataclass(frozen=True)
class MuskingumCunge(Checked):
    """Variable-parameter Muskingum–Cunge through a prismatic trapezoidal channel.

    `length` and `bottom_width` (ft or m), `slope` (ft/ft), `manning_n`, `side_slope` (horizontal per
    vertical). Sub-reaches by Ponce and Theurer (1982) at the peak inflow, internal steps keeping the
    Courant number at or below 1 there; the reference flow is the three-point average.
    """

    length: float = parameter(unit="distance", low=0.0, above=True)
    slope: float = parameter(low=0.0, above=True)
    manning_n: float = parameter(low=0.0, above=True)
    bottom_width: float = parameter(unit="distance", low=0.0)
    side_slope: float = parameter(0.0, low=0.0)

    CONSERVES_VOLUME: ClassVar[bool] = False  # variable parameters: a little water is gained or lost

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.bottom_width == 0.0 and self.side_slope == 0.0:
            raise ModelError("bottom_width", "and side_slope cannot both be 0 (the channel has no width)")

    def check_step(self, step_seconds: int) -> None:
        """Any step: the grid is chosen inside the routing."""

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points."""
        return _array(
            _kernels.muskingum_cunge_routing(
                inflow, self.length, self.slope, self.manning_n, self.bottom_width, self.side_slope, float(step_seconds)
            )
        )


@register("routing", "modified-puls")
@dataclass(frozen=True)
class ModifiedPuls:
    """Storage-indication routing: `storage` (volume) against `outflow` (flow), in `sub_reaches` segments."""

    storage: tuple[float, ...] = parameter(unit="volume")
    outflow: tuple[float, ...] = parameter(unit="flow")
    sub_reaches: int = 1

    def __post_init__(self) -> None:
        storage = numbers_field(self, "storage", 2)
        outflow = numbers_field(self, "outflow", 2)
        if len(storage) != len(outflow):
            raise ModelError("outflow", f"needs one value per storage ({len(storage)}), got {len(outflow)}")
        for name, values in (("storage", storage), ("outflow", outflow)):
            for index in range(1, len(values)):
                if not values[index] > values[index - 1]:
                    raise ModelError(
                        f"{name}[{index}]", f"must be above the value before it ({fmt(values[index - 1])})"
                    )
        _cells(self, "sub_reaches", 1000)

    def check_step(self, step_seconds: int) -> None:
        """Any step."""

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points."""
        return _array(
            _kernels.modified_puls_routing(inflow, self.storage, self.outflow, self.sub_reaches, float(step_seconds))
        )


@register("routing", "kinematic-wave")
@dataclass(frozen=True)
class KinematicWaveRouting(Checked, Channel):
    """Kinematic-wave routing through a channel: `length` (ft or m), `slope`, `manning_n`, `shape`, `cells`.

    `shape` is a trapezoid (`bottom_width` and `side_slope` > 0), a rectangle (`side_slope` 0) or a
    triangle (`bottom_width` 0); the reach starts in steady state at the first inflow.
    """

    length: float = parameter(unit="distance", low=0.0, above=True)
    slope: float = parameter(low=0.0, above=True)
    manning_n: float = parameter(low=0.0, above=True)

    def __post_init__(self) -> None:
        super().__post_init__()
        self.check_channel()
        _cells(self)

    def check_step(self, step_seconds: int) -> None:
        """Any step: internal steps keep the Courant number at or below 1."""

    def compute(self, inflow: Array, step_seconds: int) -> tuple[Array, Array, Array]:
        """Outflow (cfs at the points), outflow volume per interval and storage at the points (ft³)."""
        out, volume, storage = _kernels.kinematic_wave_routing(
            inflow, self.length, self.slope, self.manning_n, *self.channel(), float(step_seconds)
        )
        return _array(out), _array(volume), _array(storage)

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points."""
        return self.compute(inflow, step_seconds)[0]
