"""Loss methods: how the water reaching the ground splits into excess, recharge and losses.

Each class is a frozen dataclass registered under ``loss`` and the name a model file selects it by;
depths are inches per interval (interval i from point i to point i + 1), rates inches per hour.

- ``deficit-constant``: the extension's deficit and constant loss (excess and loss per interval).
- ``scs-curve-number``: the NRCS runoff equation on the event's cumulative rain (NEH 630 ch. 10),
  Ia = `initial_abstraction_ratio` S with S = 1000 / cn - 10 inches.
- ``initial-constant``: an initial loss filled first, then a constant rate.
- ``green-ampt``: Green and Ampt (1911) with the explicit per-step form of Li, Stevens and Simons
  (1976); ponding is decided per step against that capacity.
- ``soil-moisture``: five storages (canopy, surface, soil with its tension zone, two groundwater
  layers) with evapotranspiration; ``deficit-constant-et``: the deficit recovers by ET.

The event losses have an impervious share (percent of the area) whose rain is excess at once. The
continuous ones validate their parameters by asking their kernel to check them on an empty run, so
the ranges live in one place (the C++ core); their storages are reported at the points (N + 1
values), and `final_states` / `hot_start` carry a run's last storages into the next (a hot start).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from datetime import timedelta
from typing import Any, ClassVar, Final

import numpy as np
import rainmill

from .. import _kernels
from ..errors import ModelError
from ..io.units import hours
from . import Array, Forcing, LossOutput, register
from .common import _EMPTY, _LAYOUTS, Checked, HotStart, _array, _hours, _split_block, _validated, parameter


@register("loss", "deficit-constant")
@dataclass(frozen=True)
class DeficitConstant(Checked):
    """Deficit-and-constant loss: depths in inches (mm), the rate per hour, the drying time in hours."""

    initial_deficit: float = parameter(unit="depth", low=0.0)
    max_deficit: float = parameter(unit="depth", low=0.0)
    constant_rate: float = parameter(unit="rate", low=0.0)
    time_to_dry: float = parameter(low=0.0)

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


def _impervious() -> Any:
    """The percent of the area whose rain is excess at once."""
    return parameter(0.0, low=0.0, high=100.0)


def _loss_output(kernel_result: tuple[_kernels.Values, _kernels.Values]) -> LossOutput:
    excess, infiltration = kernel_result
    return LossOutput(excess=_array(excess), recharge=_array(infiltration))


@register("loss", "scs-curve-number")
@dataclass(frozen=True)
class ScsCurveNumber(Checked):
    """NRCS curve number: `cn` in (0, 100], Ia = `initial_abstraction_ratio` x S, `impervious` percent."""

    cn: float = parameter(low=0.0, high=100.0, above=True)
    initial_abstraction_ratio: float = parameter(0.2, low=0.0, high=1.0)
    impervious: float = _impervious()

    def check_step(self, step_seconds: int) -> None:
        """Any step: the runoff equation is applied to the cumulative rain."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Excess and infiltration (the recharge) per interval."""
        return _loss_output(
            _kernels.scs_curve_number_loss(water, self.cn, self.initial_abstraction_ratio, self.impervious / 100.0)
        )


@register("loss", "initial-constant")
@dataclass(frozen=True)
class InitialConstant(Checked):
    """Initial loss `initial_loss` (depth) filled first, then `constant_rate` (depth per hour)."""

    initial_loss: float = parameter(unit="depth", low=0.0)
    constant_rate: float = parameter(unit="rate", low=0.0)
    impervious: float = _impervious()

    def check_step(self, step_seconds: int) -> None:
        """Any step: the rate applies over each whole interval."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Excess and infiltration (the recharge) per interval."""
        return _loss_output(
            _kernels.initial_constant_loss(
                water, self.initial_loss, self.constant_rate, self.impervious / 100.0, _hours(step_seconds)
            )
        )


@register("loss", "green-ampt")
@dataclass(frozen=True)
class GreenAmpt(Checked):
    """Green–Ampt: wetting-front `suction` (depth), `conductivity` (depth per hour), `moisture_deficit` (0-1)."""

    suction: float = parameter(unit="depth", low=0.0)
    conductivity: float = parameter(unit="rate", low=0.0)
    moisture_deficit: float = parameter(low=0.0, high=1.0)
    impervious: float = _impervious()

    def check_step(self, step_seconds: int) -> None:
        """Any step: the per-step capacity is explicit and never negative."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Excess and infiltration (the recharge) per interval."""
        return _loss_output(
            _kernels.green_ampt_loss(
                water,
                self.suction,
                self.conductivity,
                self.moisture_deficit,
                self.impervious / 100.0,
                _hours(step_seconds),
            )
        )


SOIL_FLUXES: Final = _LAYOUTS["soil_moisture"]["fluxes"]


SOIL_STORAGES: Final = _LAYOUTS["soil_moisture"]["storages"]


DEFICIT_FLUXES: Final = _LAYOUTS["deficit_constant_et"]["fluxes"]


DEFICIT_STORAGES: Final = _LAYOUTS["deficit_constant_et"]["storages"]


def soil_moisture(
    water: Array, pet: Array, step_hours: float, parameters: dict[str, float], initial: dict[str, float]
) -> dict[str, Array]:
    """The soil-moisture kernel's fluxes (N values) and storages (N + 1 values), by name."""
    block = _kernels.soil_moisture(water, pet, step_hours, parameters, initial)
    return _split_block(block, len(water), SOIL_FLUXES, SOIL_STORAGES)


def deficit_constant_et(
    water: Array, pet: Array, step_hours: float, parameters: dict[str, float], initial_deficit: float
) -> dict[str, Array]:
    """The deficit-and-constant-with-ET kernel's fluxes and deficit (N + 1 values), by name."""
    block = _kernels.deficit_constant_et(water, pet, step_hours, parameters, initial_deficit)
    return _split_block(block, len(water), DEFICIT_FLUXES, DEFICIT_STORAGES)


def _pet(forcing: Forcing, method: str) -> Array:
    """The PET an ET-driven loss needs; refused when none was given (`potential_et=0` asks for none)."""
    if forcing.potential_et is None:
        raise ModelError(
            "potential_et",
            f"the {method} loss needs a potential evapotranspiration series (potential_et=...); "
            "pass potential_et=0 to run it without evapotranspiration",
        )
    return forcing.potential_et


class _HotStart(HotStart):
    def final_states(self, states: Mapping[str, Array]) -> dict[str, float]:
        """The last value of each storage in `states` (a run's `states`), by initial field."""
        return {field_name: float(states[state][-1]) for state, field_name in self.STATE_FIELDS.items()}


@register("loss", "soil-moisture")
@dataclass(frozen=True)
class SoilMoisture(_HotStart):
    """Five-storage soil-moisture accounting (after Leavesley et al. 1983).

    Water reaching the ground fills the canopy, then the surface depressions, from which it
    infiltrates at `max_infiltration` times the soil's free fraction; what the surface cannot hold
    is excess. Evapotranspiration takes the potential rate from the canopy, the surface and the
    upper tension zone (`tension_max`, the top of the soil), and a rate reduced by the fill of the
    rest of the soil. Percolation soil -> groundwater 1 -> groundwater 2 runs at the maximum rates
    times the upper storage's fill and the lower one's free fraction; groundwater 2 loses
    `gw2_percolation` times its fill out of the basin. Both groundwater layers drain as linear
    reservoirs (coefficients in hours) into the recharge that feeds the baseflow.
    """

    soil_max: float = parameter(unit="depth")
    tension_max: float = parameter(unit="depth")
    max_infiltration: float = parameter(unit="rate")
    canopy_max: float = parameter(0.0, unit="depth")
    surface_max: float = parameter(0.0, unit="depth")
    soil_percolation: float = parameter(0.0, unit="rate")
    gw1_max: float = parameter(0.0, unit="depth")
    gw1_percolation: float = parameter(0.0, unit="rate")
    gw1_coefficient: float = 240.0
    gw2_max: float = parameter(0.0, unit="depth")
    gw2_percolation: float = parameter(0.0, unit="rate")
    gw2_coefficient: float = 2400.0
    initial_canopy: float = parameter(0.0, unit="depth")
    initial_surface: float = parameter(0.0, unit="depth")
    initial_soil: float = parameter(0.0, unit="depth")
    initial_gw1: float = parameter(0.0, unit="depth")
    initial_gw2: float = parameter(0.0, unit="depth")

    STATE_FIELDS: ClassVar[Mapping[str, str]] = {
        "canopy": "initial_canopy",
        "surface": "initial_surface",
        "soil": "initial_soil",
        "gw1": "initial_gw1",
        "gw2": "initial_gw2",
    }
    STORAGES: ClassVar[tuple[str, ...]] = ("canopy", "surface", "soil", "gw1", "gw2")
    # `tension_max` is the upper zone: the top of the soil, which percolates and evaporates at the
    # potential rate; the soil below it (soil_max - tension_max) is held in tension.
    CONSTRAINTS: ClassVar[tuple[tuple[str, str, str], ...]] = (
        ("tension_max", "<=", "soil_max"),
        ("initial_canopy", "<=", "canopy_max"),
        ("initial_surface", "<=", "surface_max"),
        ("initial_soil", "<=", "soil_max"),
        ("initial_gw1", "<=", "gw1_max"),
        ("initial_gw2", "<=", "gw2_max"),
    )
    CONTINUOUS: ClassVar[bool] = True  # its recharge is groundwater: without a baseflow it leaves

    def __post_init__(self) -> None:
        _validated(lambda: self._call(_EMPTY, _EMPTY, 1.0))

    def parameters(self) -> dict[str, float]:
        """The kernel's parameters, by the names its binding declares."""
        return {name: getattr(self, name) for name in _LAYOUTS["soil_moisture"]["parameters"]}

    def _call(self, water: Array, pet: Array, step_hours: float) -> dict[str, Array]:
        initial = {state: getattr(self, name) for state, name in self.STATE_FIELDS.items()}
        return soil_moisture(water, pet, step_hours, self.parameters(), initial)

    def check_step(self, step_seconds: int) -> None:
        """Every step is resolved (the rates are per hour, the recessions exact)."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Split `water` into excess, groundwater outflow, ET and deep percolation."""
        states = self._call(water, _pet(forcing, "soil-moisture"), _hours(step_seconds))
        et = states["canopy_et"] + states["surface_et"] + states["soil_et"]
        return LossOutput(
            excess=states["excess"],
            recharge=states["gw1_outflow"] + states["gw2_outflow"],
            losses={"et": et, "deep_percolation": states["deep_percolation"]},
            storage={name: states[name] for name in self.STORAGES},
            states=states,
        )


@register("loss", "deficit-constant-et")
@dataclass(frozen=True)
class DeficitConstantEt(_HotStart):
    """Deficit and constant loss whose deficit recovers by potential ET times `et_coefficient`.

    While water arrives, the constant rate percolates (the recharge) and the rest fills the
    deficit before it becomes excess; in the intervals without water the deficit grows by the
    evapotranspiration demand, up to `max_deficit`.
    """

    max_deficit: float = parameter(unit="depth")
    constant_rate: float = parameter(unit="rate")
    et_coefficient: float = 1.0
    initial_deficit: float = parameter(0.0, unit="depth")

    STATE_FIELDS: ClassVar[Mapping[str, str]] = {"deficit": "initial_deficit"}
    CONSTRAINTS: ClassVar[tuple[tuple[str, str, str], ...]] = (("initial_deficit", "<=", "max_deficit"),)
    CONTINUOUS: ClassVar[bool] = True  # its recharge is percolation: without a baseflow it leaves

    def __post_init__(self) -> None:
        _validated(lambda: self._call(_EMPTY, _EMPTY, 1.0))

    def _call(self, water: Array, pet: Array, step_hours: float) -> dict[str, Array]:
        parameters = {name: getattr(self, name) for name in _LAYOUTS["deficit_constant_et"]["parameters"]}
        return deficit_constant_et(water, pet, step_hours, parameters, self.initial_deficit)

    def check_step(self, step_seconds: int) -> None:
        """Every step is resolved."""

    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput:
        """Split `water` into excess, percolation (the recharge) and ET."""
        states = self._call(water, _pet(forcing, "deficit-constant-et"), _hours(step_seconds))
        return LossOutput(
            excess=states["excess"],
            recharge=states["percolation"],
            losses={"et": states["et"]},
            storage={"soil_water": self.max_deficit - states["deficit"]},
            states=states,
        )
