"""The standard methods: deficit-and-constant loss, Clark transforms, linear-reservoir baseflow, Muskingum.

Each wraps one extension kernel (or the model layer's volume-conserving Clark transform) behind the
registry's contract (see `rainmill_models.methods`). Where each kernel's output sits in time, and
where the model layer places it:

- deficit-and-constant loss: excess and loss are depths per interval (interval i from point i to
  point i + 1), as given;
- Clark transforms: the flow at the points; the first ordinate of the unit hydrograph answers the
  excess of the same interval, as the extension's transform does;
- linear-reservoir baseflow: the kernel returns the flow at the END of each interval, so value i
  belongs to point i + 1; the model puts the layers' initial flow at point 0 and shifts the rest;
- Muskingum routing: the flow at the points, the first value the initial outflow;
- level-pool routing (reservoirs, in `rainmill_models.network`): storage, elevation and outflows at
  the points, the first values the initial state.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import timedelta
from typing import ClassVar, Final

import numpy as np
import rainmill

from .. import _kernels
from ..checks import _ULPS, MAX_CHAIN, at_least, duration, fmt, real, whole, within
from ..errors import ModelError
from ..io.units import SECONDS_PER_HOUR, hours
from . import Array, Forcing, LossOutput, register
from .unit_hydrograph_clark import MAX_ORDINATES, unit_hydrograph, unit_hydrograph_length

# The largest starting flow, in cfs or m³/s alike: far beyond any river's (the Amazon's is about
# 7e6 cfs), far below where the kernels' volumes overflow.
MAX_FLOW: Final = 1e9


def _set(obj: object, name: str, value: object) -> None:
    object.__setattr__(obj, name, value)


# ---- loss ----


@register("loss", "deficit-constant")
@dataclass(frozen=True)
class DeficitConstant:
    """Deficit-and-constant loss: depths in inches (mm), the rate per hour, the drying time in hours."""

    initial_deficit: float
    max_deficit: float
    constant_rate: float
    time_to_dry: float

    UNITS: ClassVar[dict[str, str]] = {"initial_deficit": "depth", "max_deficit": "depth", "constant_rate": "rate"}

    def __post_init__(self) -> None:
        for name in ("initial_deficit", "max_deficit", "constant_rate", "time_to_dry"):
            _set(self, name, at_least(getattr(self, name), 0.0, name))

    def check_step(self, step_seconds: int) -> None:
        """Any step resolves this loss."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Excess and loss per interval; the deficit at the points."""
        split = rainmill.rainfall_loss.run_deficit_and_constant(
            rainmill.utils.IncrementalTimeSeries(water, timedelta(seconds=step_seconds), "rainfall"),
            self.initial_deficit,
            self.max_deficit,
            self.constant_rate,
            hours(self.time_to_dry),
        )
        excess = np.asarray(split.excess, dtype=np.float64)
        loss = np.asarray(split.loss, dtype=np.float64)
        deficit = np.concatenate(([self.initial_deficit], np.asarray(split.deficit, dtype=np.float64)))
        return LossOutput(excess=excess, recharge=loss, states={"deficit": deficit})


# ---- transforms ----


def _check_ordinates(tc: float, r: float, step_seconds: int) -> None:
    count = unit_hydrograph_length(tc * SECONDS_PER_HOUR, r * SECONDS_PER_HOUR, step_seconds)
    if count > MAX_ORDINATES:
        raise ModelError(
            "tc",
            f"{fmt(tc)} h (r {fmt(r)} h) at a {fmt(step_seconds / SECONDS_PER_HOUR)} h step needs {count:.3g} "
            f"unit-hydrograph ordinates, more than the {MAX_ORDINATES:.0e} a run may hold",
        )


def _check_storage(r: float, step_seconds: int) -> None:
    dt = step_seconds / SECONDS_PER_HOUR
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

    UNITS: ClassVar[dict[str, str]] = {}

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
        tail = np.concatenate((np.cumsum(uh[::-1])[::-1], [0.0]))  # tail[t]: the ordinates from t on
        found = np.flatnonzero(excess[:points])
        after = np.minimum(points - found, len(uh))
        last = np.minimum(points - 1 - found, len(uh))
        beyond = float(np.dot(excess[found], tail[after]))
        at_last = float(np.dot(excess[found], np.where(last < len(uh), uh[np.minimum(last, len(uh) - 1)], 0.0)))
        return (beyond + 0.5 * at_last) * step_seconds

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


# ---- baseflow ----


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
        dt = step_seconds / SECONDS_PER_HOUR
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


# ---- routing ----


@register("routing", "muskingum")
@dataclass(frozen=True)
class Muskingum:
    """Muskingum routing: K of the whole reach (h), weighting x, sub-reaches, first outflow (cfs, m³/s).

    Without `initial_outflow` the routing starts from the first inflow value.
    """

    k: float
    x: float
    sub_reaches: int = 1
    initial_outflow: float | None = None

    UNITS: ClassVar[dict[str, str]] = {"initial_outflow": "flow"}

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
        dt = step_seconds / SECONDS_PER_HOUR
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
