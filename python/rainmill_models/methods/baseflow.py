"""Baseflow methods: the flow that the recharge (or an event's recession) adds at the points.

- ``linear-reservoirs``: named groundwater layers, each a chain of linear reservoirs fed by its share
  of the recharge. The kernel returns the flow at the END of each interval, so value i belongs to
  point i + 1; the layers' initial flow is placed at point 0.
- ``recession``: an initial flow receding by a constant per day, the total flow receding from a
  threshold on an event's falling limb; ``constant-monthly``: a flow per calendar month.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import timedelta
from typing import ClassVar, Final

import numpy as np
import pandas as pd
import rainmill

from .. import _kernels
from ..checks import _ULPS, MAX_CHAIN, at_least, duration, fmt, numbers_field, real, whole
from ..errors import ModelError
from ..io.units import SECONDS_PER_HOUR, hours
from . import Array, register
from .common import Checked, _array, _hours, _set, parameter

# The largest starting flow, in cfs or m³/s alike: far beyond any river's (the Amazon's is about
# 7e6 cfs), far below where the kernels' volumes overflow.
MAX_FLOW: Final = 1e9


@dataclass(frozen=True)
class Layer:
    """One groundwater layer: its share of the recharge, K in hours, its starting flow, the chain length."""

    fraction: float
    k: float
    initial_q: float = 0.0
    reservoirs: int = 1

    def __post_init__(self) -> None:
        fraction = real(self.fraction, "fraction")
        if not 0.0 <= fraction <= 1.0:
            raise ModelError("fraction", f"must be between 0 and 1, got {fmt(fraction)}")
        _set(self, "fraction", fraction)
        _set(self, "k", duration(self.k, "k"))
        initial_q = at_least(self.initial_q, 0.0, "initial_q")
        if initial_q > MAX_FLOW:
            raise ModelError("initial_q", f"must be <= {MAX_FLOW:g} (beyond any river's flow), got {fmt(initial_q)}")
        _set(self, "initial_q", initial_q)
        _set(self, "reservoirs", whole(self.reservoirs, "reservoirs", 1, MAX_CHAIN))


@register("baseflow", "linear-reservoirs")
@dataclass(frozen=True)
class LinearReservoirs:
    """Named groundwater layers, each a chain of linear reservoirs fed by its share of the recharge."""

    layers: dict[str, Layer] = field(default_factory=dict)

    UNITS: ClassVar[dict[str, str]] = {"layers.*.initial_q": "flow"}
    CONSTRAINTS: ClassVar[tuple[tuple[str, str, str], ...]] = (("layers.*.fraction", "sum<=", "1"),)

    def __post_init__(self) -> None:
        layers: dict[str, Layer] = {}
        for name, layer in dict(self.layers).items():
            if not isinstance(name, str) or not name or "." in name:
                raise ModelError("layers", f"names must be non-empty texts without '.', got {name!r}")
            if isinstance(layer, Layer):
                layers[name] = layer
            else:
                raise ModelError(f"layers.{name}", "must be a Layer")
        total = math.fsum(layer.fraction for layer in layers.values())
        if total > 1.0 + 1e-9:
            raise ModelError("layers", f"the fractions add up to {fmt(total)}, more than 1")
        _set(self, "layers", layers)

    def check_step(self, step_seconds: int) -> None:
        """Refuse a reservoir constant shorter than half a step."""
        dt = _hours(step_seconds)
        for name, layer in self.layers.items():
            if layer.k / layer.reservoirs < dt / 2.0 * (1.0 - _ULPS):
                raise ModelError(
                    f"layers.{name}.k",
                    f"{fmt(layer.k)} h over {layer.reservoirs} reservoir(s) is shorter than half the time step "
                    f"({fmt(dt / 2.0)} h) per reservoir",
                )

    def held(self, layers: Mapping[str, Array]) -> tuple[float, float] | None:
        """The water in the layers (cfs × s) at the first and the last point; None with a chain.

        A single reservoir holds K × Q at every point (its recurrence conserves volume by the
        trapezoidal rule); the reservoirs inside a chain report no flow, so a chain is not summed.
        """
        if any(layer.reservoirs > 1 for layer in self.layers.values()):
            return None
        first = last = 0.0
        for name, layer in self.layers.items():
            k = float(int(layer.k * SECONDS_PER_HOUR))  # the extension takes K in whole seconds
            flows = layers[name]
            if len(flows):
                first += k * float(flows[0])
                last += k * float(flows[-1])
        return first, last

    def run(
        self, recharge: Array, area_acres: float, step_seconds: int, direct: Array
    ) -> tuple[Array, dict[str, Array]]:
        """The baseflow at the points: the layers' initial flow at point 0, the kernel's end-of-interval flows after."""
        n = len(recharge)
        if not self.layers:
            return np.zeros(n), {}
        reservoirs = {
            name: rainmill.baseflow.LinearReservoir(hours(layer.k), layer.fraction, layer.initial_q, layer.reservoirs)
            for name, layer in self.layers.items()
        }
        series = rainmill.utils.IncrementalTimeSeries(recharge, timedelta(seconds=step_seconds), "rainfall")
        _, per_layer = rainmill.baseflow.run_linear_reservoir(area_acres, series, reservoirs)
        layers: dict[str, Array] = {}
        total: Array | None = None
        for name, layer in self.layers.items():
            flows = np.empty(n)
            if n:
                flows[0] = layer.initial_q
                flows[1:] = np.asarray(per_layer[name], dtype=np.float64)[: n - 1]
            layers[name] = flows
            total = flows if total is None else total + flows  # the first layer as it is: 0 + a is a
        assert total is not None
        return total, layers


@register("baseflow", "recession")
@dataclass(frozen=True)
class Recession(Checked):
    """Recession baseflow: `initial_flow` receding by `recession_constant` per day (0 < k <= 1).

    The total flow recedes the same way from where it falls, after an event's peak, to the threshold:
    `threshold_ratio` times the peak, or `threshold_flow` (give one of the two).
    """

    initial_flow: float = parameter(unit="flow", low=0.0)
    recession_constant: float = parameter(low=0.0, high=1.0, above=True)
    threshold_ratio: float | None = parameter(None, low=0.0, high=1.0)
    threshold_flow: float | None = parameter(None, unit="flow", low=0.0)

    def __post_init__(self) -> None:
        super().__post_init__()
        if (self.threshold_ratio is None) == (self.threshold_flow is None):
            raise ModelError("threshold_ratio", "give either threshold_ratio or threshold_flow, not both or neither")

    def check_step(self, step_seconds: int) -> None:
        """Any step."""

    def run(
        self, recharge: Array, area_acres: float, step_seconds: int, direct: Array
    ) -> tuple[Array, dict[str, Array]]:
        """Baseflow in cfs at the points (the total less the direct runoff); no layers."""
        is_ratio = self.threshold_ratio is not None
        threshold = self.threshold_ratio if self.threshold_ratio is not None else self.threshold_flow
        assert threshold is not None
        flow = _kernels.recession_baseflow(
            direct, self.initial_flow, self.recession_constant, threshold, is_ratio, _hours(step_seconds)
        )
        return _array(flow), {}


@register("baseflow", "constant-monthly")
@dataclass(frozen=True)
class ConstantMonthly:
    """One baseflow per calendar month, `monthly` (12 flows, January first).

    Its `run` needs the calendar month of each point (`months`, 1 to 12).
    """

    monthly: tuple[float, ...] = parameter(unit="flow")

    def __post_init__(self) -> None:
        values = numbers_field(self, "monthly", 12)
        if len(values) != 12:
            raise ModelError("monthly", f"needs 12 values (January to December), got {len(values)}")

    def check_step(self, step_seconds: int) -> None:
        """Any step."""

    def months_of(self, start: object, step_seconds: int, points: int) -> Array:
        """The calendar month (1 to 12) of each of `points` points from `start` every `step_seconds`."""
        if start is None:
            raise ModelError("monthly", "needs the time of the run's first point")
        index = pd.date_range(pd.Timestamp(start), periods=points, freq=pd.Timedelta(seconds=step_seconds))  # type: ignore[arg-type]
        return index.month.to_numpy(dtype=np.float64)

    def run(
        self,
        recharge: Array,
        area_acres: float,
        step_seconds: int,
        direct: Array,
        months: Array | None = None,
    ) -> tuple[Array, dict[str, Array]]:
        """Baseflow in cfs at the points; no layers."""
        if months is None:
            raise ModelError("monthly", "needs the calendar month of each point (run with months=...)")
        return _array(_kernels.constant_monthly_baseflow(np.asarray(months, dtype=np.float64), self.monthly)), {}
