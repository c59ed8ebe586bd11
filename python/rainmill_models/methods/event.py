"""The event methods: losses, unit hydrographs, reach routing and baseflow for design and event studies.

Each class is a frozen dataclass registered under its process and the name a model file selects it
by; the computations are the models package's native kernels (`rainmill_models._kernels`). Depths
are inches per interval, flows cfs at the points, durations hours (see the registry's contract).

Losses (all with an impervious share, in percent of the area, whose rain is excess at once):

- ``scs-curve-number``: the NRCS runoff equation on the event's cumulative rain (NEH 630 ch. 10),
  Ia = `initial_abstraction_ratio` S with S = 1000 / cn - 10 inches.
- ``initial-constant``: an initial loss filled first, then a constant rate.
- ``green-ampt``: Green and Ampt (1911) with the explicit per-step form of Li, Stevens and Simons
  (1976); ponding is decided per step against that capacity.

Transforms: ``scs`` (the NRCS dimensionless unit hydrograph, NEH 630 ch. 16), ``snyder`` (Snyder,
1938, in the SCS shape with Snyder's peak and time to peak), ``user`` (given ordinates re-sampled to
the step). Each unit hydrograph holds exactly one inch of excess over the subbasin.

Routing: ``lag``, ``muskingum-cunge`` (variable-parameter, Ponce and Yevjevich 1978, prismatic
channel), ``modified-puls`` (storage-indication through a storage–outflow table).

Baseflow: ``recession`` (initial flow receding by a constant per day, the total flow receding from a
threshold on an event's falling limb) and ``constant-monthly``.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import ClassVar

import numpy as np
import pandas as pd

from .. import _kernels
from ..checks import fmt as _fmt
from ..checks import number_field, numbers_field
from ..errors import ModelError
from . import Array, Forcing, LossOutput, register
from .unit_hydrograph_clark import MAX_ORDINATES

SECONDS_PER_HOUR = 3600.0


def _array(values: object) -> Array:
    """A kernel's result as a float64 array, read through its buffer without a copy."""
    return np.frombuffer(values, dtype=np.float64)  # type: ignore[call-overload, no-any-return]


# the checks of every description, under the names this module's classes call them by
_number = number_field
_numbers = numbers_field


def _hours(step_seconds: int) -> float:
    return step_seconds / SECONDS_PER_HOUR


def _split(kernel_result: tuple[_kernels.Values, _kernels.Values]) -> LossOutput:
    excess, infiltration = kernel_result
    return LossOutput(excess=_array(excess), recharge=_array(infiltration))


# ---- losses ----


@register("loss", "scs-curve-number")
@dataclass(frozen=True)
class ScsCurveNumber:
    """NRCS curve number: `cn` in (0, 100], Ia = `initial_abstraction_ratio` x S, `impervious` percent."""

    cn: float
    initial_abstraction_ratio: float = 0.2
    impervious: float = 0.0

    UNITS: ClassVar[Mapping[str, str]] = {}

    def __post_init__(self) -> None:
        _number(self, "cn", 0.0, 100.0, above=True)
        _number(self, "initial_abstraction_ratio", 0.0, 1.0)
        _number(self, "impervious", 0.0, 100.0)

    def check_step(self, step_seconds: int) -> None:
        """Any step: the runoff equation is applied to the cumulative rain."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Excess and infiltration (the recharge) per interval."""
        return _split(
            _kernels.scs_curve_number_loss(water, self.cn, self.initial_abstraction_ratio, self.impervious / 100.0)
        )


@register("loss", "initial-constant")
@dataclass(frozen=True)
class InitialConstant:
    """Initial loss `initial_loss` (depth) filled first, then `constant_rate` (depth per hour)."""

    initial_loss: float
    constant_rate: float
    impervious: float = 0.0

    UNITS: ClassVar[Mapping[str, str]] = {"initial_loss": "depth", "constant_rate": "rate"}

    def __post_init__(self) -> None:
        _number(self, "initial_loss", 0.0)
        _number(self, "constant_rate", 0.0)
        _number(self, "impervious", 0.0, 100.0)

    def check_step(self, step_seconds: int) -> None:
        """Any step: the rate applies over each whole interval."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Excess and infiltration (the recharge) per interval."""
        return _split(
            _kernels.initial_constant_loss(
                water, self.initial_loss, self.constant_rate, self.impervious / 100.0, _hours(step_seconds)
            )
        )


@register("loss", "green-ampt")
@dataclass(frozen=True)
class GreenAmpt:
    """Green–Ampt: wetting-front `suction` (depth), `conductivity` (depth per hour), `moisture_deficit` (0-1)."""

    suction: float
    conductivity: float
    moisture_deficit: float
    impervious: float = 0.0

    UNITS: ClassVar[Mapping[str, str]] = {"suction": "depth", "conductivity": "rate"}

    def __post_init__(self) -> None:
        _number(self, "suction", 0.0)
        _number(self, "conductivity", 0.0)
        _number(self, "moisture_deficit", 0.0, 1.0)
        _number(self, "impervious", 0.0, 100.0)

    def check_step(self, step_seconds: int) -> None:
        """Any step: the per-step capacity is explicit and never negative."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Excess and infiltration (the recharge) per interval."""
        return _split(
            _kernels.green_ampt_loss(
                water,
                self.suction,
                self.conductivity,
                self.moisture_deficit,
                self.impervious / 100.0,
                _hours(step_seconds),
            )
        )


# ---- transforms ----


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
                f"{_fmt(getattr(self, name))} h at a {_fmt(_hours(step_seconds))} h step needs {count:.3g} "
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
        wet = np.flatnonzero(excess)
        last = int(wet[-1]) if wet.size else 0
        return last + len(self.unit_hydrograph(area_acres, step_seconds))


@register("transform", "scs")
@dataclass(frozen=True)
class ScsUnitHydrograph(_UnitHydrograph):
    """NRCS dimensionless unit hydrograph: basin `lag` (hours), `peak_rate_factor` (484 standard).

    NEH 630 ch. 16 advises a step of about 0.2 times the time to peak; steps longer than the lag are
    refused (the peak would fall within 1.5 steps).
    """

    lag: float
    peak_rate_factor: float = 484.0

    UNITS: ClassVar[Mapping[str, str]] = {}

    def __post_init__(self) -> None:
        _number(self, "lag", 0.0, above=True)
        _number(self, "peak_rate_factor", 100.0, 600.0)

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step longer than the lag."""
        if _hours(step_seconds) > self.lag:
            raise ModelError(
                "lag", f"{_fmt(self.lag)} h is shorter than the time step ({_fmt(_hours(step_seconds))} h)"
            )
        self._check_count("lag", self._scs_count(self.lag, self.peak_rate_factor, _hours(step_seconds)), step_seconds)

    def unit_hydrograph(self, area_acres: float, step_seconds: int) -> Array:
        """The unit hydrograph in cfs per inch at 0, 1, ... steps."""
        return _array(_kernels.scs_unit_hydrograph(self.lag, self.peak_rate_factor, area_acres, _hours(step_seconds)))


@register("transform", "snyder")
@dataclass(frozen=True)
class SnyderUnitHydrograph(_UnitHydrograph):
    """Snyder: basin lag `tp` (hours), peaking coefficient `cp`, in the SCS shape with Snyder's peak."""

    tp: float
    cp: float

    UNITS: ClassVar[Mapping[str, str]] = {}

    def __post_init__(self) -> None:
        _number(self, "tp", 0.0, above=True)
        _number(self, "cp", 0.0, 1.0, above=True)

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step longer than the lag."""
        if _hours(step_seconds) > self.tp:
            raise ModelError("tp", f"{_fmt(self.tp)} h is shorter than the time step ({_fmt(_hours(step_seconds))} h)")
        hours = _hours(step_seconds)
        lag = self.tp + (hours - self.tp / 5.5) / 4.0  # Snyder's lag at the step, in the SCS shape (scs_uh.hpp)
        prf = 640.0 * self.cp * (0.5 * hours + lag) / lag
        self._check_count("tp", self._scs_count(lag, prf, hours), step_seconds)

    def unit_hydrograph(self, area_acres: float, step_seconds: int) -> Array:
        """The unit hydrograph in cfs per inch at 0, 1, ... steps."""
        return _array(_kernels.snyder_unit_hydrograph(self.tp, self.cp, area_acres, _hours(step_seconds)))


@register("transform", "user")
@dataclass(frozen=True)
class UserUnitHydrograph(_UnitHydrograph):
    """Given `ordinates` (any flow unit) every `duration` hours; their shape, one inch of volume."""

    ordinates: tuple[float, ...]
    duration: float

    UNITS: ClassVar[Mapping[str, str]] = {}

    def __post_init__(self) -> None:
        values = _numbers(self, "ordinates", 2)
        _number(self, "duration", 0.0, above=True)
        if not any(values):
            raise ModelError("ordinates", "must hold some flow")

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step longer than half the hydrograph's base."""
        base = (len(self.ordinates) - 1) * self.duration
        if _hours(step_seconds) > base / 2.0:
            raise ModelError(
                "duration",
                f"the hydrograph's base ({_fmt(base)} h) spans fewer than two time steps "
                f"({_fmt(_hours(step_seconds))} h)",
            )
        count = math.floor((len(self.ordinates) - 1) * self.duration / _hours(step_seconds)) + 1.0
        self._check_count("duration", count, step_seconds)

    def unit_hydrograph(self, area_acres: float, step_seconds: int) -> Array:
        """The unit hydrograph in cfs per inch at 0, 1, ... steps."""
        return _array(_kernels.user_unit_hydrograph(self.ordinates, self.duration, area_acres, _hours(step_seconds)))


# ---- routing ----


@register("routing", "lag")
@dataclass(frozen=True)
class Lag:
    """The inflow delayed by `lag` hours (fractions of a step interpolated linearly)."""

    lag: float

    UNITS: ClassVar[Mapping[str, str]] = {}

    def __post_init__(self) -> None:
        _number(self, "lag", 0.0)

    def check_step(self, step_seconds: int) -> None:
        """Any step."""

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points."""
        return _array(_kernels.lag_routing(inflow, self.lag, _hours(step_seconds)))


@register("routing", "muskingum-cunge")
@dataclass(frozen=True)
class MuskingumCunge:
    """Variable-parameter Muskingum–Cunge through a prismatic trapezoidal channel.

    `length` and `bottom_width` (ft or m), `slope` (ft/ft), `manning_n`, `side_slope` (horizontal per
    vertical). Sub-reaches by Ponce and Theurer (1982) at the peak inflow, internal steps keeping the
    Courant number at or below 1 there; the reference flow is the three-point average.
    """

    length: float
    slope: float
    manning_n: float
    bottom_width: float
    side_slope: float = 0.0

    UNITS: ClassVar[Mapping[str, str]] = {"length": "distance", "bottom_width": "distance"}
    CONSERVES_VOLUME: ClassVar[bool] = False  # variable parameters: a little water is gained or lost

    def __post_init__(self) -> None:
        _number(self, "length", 0.0, above=True)
        _number(self, "slope", 0.0, above=True)
        _number(self, "manning_n", 0.0, above=True)
        _number(self, "bottom_width", 0.0)
        _number(self, "side_slope", 0.0)
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

    storage: tuple[float, ...]
    outflow: tuple[float, ...]
    sub_reaches: int = 1

    UNITS: ClassVar[Mapping[str, str]] = {"storage": "volume", "outflow": "flow"}

    def __post_init__(self) -> None:
        storage = _numbers(self, "storage", 2)
        outflow = _numbers(self, "outflow", 2)
        if len(storage) != len(outflow):
            raise ModelError("outflow", f"needs one value per storage ({len(storage)}), got {len(outflow)}")
        for name, values in (("storage", storage), ("outflow", outflow)):
            for index in range(1, len(values)):
                if not values[index] > values[index - 1]:
                    raise ModelError(
                        f"{name}[{index}]", f"must be above the value before it ({_fmt(values[index - 1])})"
                    )
        if isinstance(self.sub_reaches, bool) or not isinstance(self.sub_reaches, int):
            raise ModelError("sub_reaches", f"must be a whole number, not {type(self.sub_reaches).__name__}")
        if not 1 <= self.sub_reaches <= 1000:
            raise ModelError("sub_reaches", f"must lie in [1, 1000], got {self.sub_reaches}")

    def check_step(self, step_seconds: int) -> None:
        """Any step."""

    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points."""
        return _array(
            _kernels.modified_puls_routing(inflow, self.storage, self.outflow, self.sub_reaches, float(step_seconds))
        )


# ---- baseflow ----


@register("baseflow", "recession")
@dataclass(frozen=True)
class Recession:
    """Recession baseflow: `initial_flow` receding by `recession_constant` per day (0 < k <= 1).

    The total flow recedes the same way from where it falls, after an event's peak, to the threshold:
    `threshold_ratio` times the peak, or `threshold_flow` (give one of the two).
    """

    initial_flow: float
    recession_constant: float
    threshold_ratio: float | None = None
    threshold_flow: float | None = None

    UNITS: ClassVar[Mapping[str, str]] = {"initial_flow": "flow", "threshold_flow": "flow"}

    def __post_init__(self) -> None:
        _number(self, "initial_flow", 0.0)
        _number(self, "recession_constant", 0.0, 1.0, above=True)
        if (self.threshold_ratio is None) == (self.threshold_flow is None):
            raise ModelError("threshold_ratio", "give either threshold_ratio or threshold_flow, not both or neither")
        if self.threshold_ratio is not None:
            _number(self, "threshold_ratio", 0.0, 1.0)
        else:
            _number(self, "threshold_flow", 0.0)

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

    monthly: tuple[float, ...]

    UNITS: ClassVar[Mapping[str, str]] = {"monthly": "flow"}

    def __post_init__(self) -> None:
        values = _numbers(self, "monthly", 12)
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
