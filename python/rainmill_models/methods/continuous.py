"""Methods for continuous simulation: soil-moisture accounting, deficit and constant with ET, snow.

Each method validates its parameters by asking its kernel to check them on an empty run, so the
ranges live in one place (the C++ core) and the messages name the field they concern. Storages
are reported at the points (N + 1 values), fluxes per interval (N values), inches throughout.
`final_states` gives a run's last storages under the names of the fields that start a run from
them, and `hot_start` returns the method started from such states (a hot start).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, ClassVar, Final, Self

import numpy as np

from .. import _kernels
from ..errors import ModelError
from . import Array, Forcing, LossOutput, SnowOutput, register

_EMPTY = np.empty(0)
HOURS: float = 3600.0
# The snow season is counted from here, so that a hot start sees the seasons of the run it continues.
EPOCH: Final = datetime(2000, 1, 1)


def _validated(check: Callable[[], object]) -> None:
    """Run a kernel's checks; its ValueError ("name must be ...") becomes a ModelError at `name`."""
    try:
        check()
    except ValueError as error:
        name, _, detail = str(error).partition(" ")
        raise ModelError(name.split("[")[0], detail) from None


# The kernels return all the series of a run in one block (one allocation, reused across calls);
# its layout, in the kernels' order (N values per flux, then N + 1 per storage), is declared once, in
# the kernels' bindings, which read their parameters by the same names.
_LAYOUTS: Final = _kernels.LAYOUTS
SOIL_FLUXES: Final = _LAYOUTS["soil_moisture"]["fluxes"]
SOIL_STORAGES: Final = _LAYOUTS["soil_moisture"]["storages"]
DEFICIT_FLUXES: Final = _LAYOUTS["deficit_constant_et"]["fluxes"]
DEFICIT_STORAGES: Final = _LAYOUTS["deficit_constant_et"]["storages"]
SNOW_FLUXES: Final = _LAYOUTS["temperature_index_snow"]["fluxes"]
SNOW_STORAGES: Final = _LAYOUTS["temperature_index_snow"]["storages"]


def _split(block: _kernels.Values, n: int, fluxes: Sequence[str], storages: Sequence[str]) -> dict[str, Array]:
    """Read-only views of a kernel's block, by name (no copy)."""
    values = np.frombuffer(block)
    views = {name: values[k * n : (k + 1) * n] for k, name in enumerate(fluxes)}
    base = len(fluxes) * n
    for k, name in enumerate(storages):
        views[name] = values[base + k * (n + 1) : base + (k + 1) * (n + 1)]
    return views


def soil_moisture(
    water: Array, pet: Array, step_hours: float, parameters: dict[str, float], initial: dict[str, float]
) -> dict[str, Array]:
    """The soil-moisture kernel's fluxes (N values) and storages (N + 1 values), by name."""
    block = _kernels.soil_moisture(water, pet, step_hours, parameters, initial)
    return _split(block, len(water), SOIL_FLUXES, SOIL_STORAGES)


def deficit_constant_et(
    water: Array, pet: Array, step_hours: float, parameters: dict[str, float], initial_deficit: float
) -> dict[str, Array]:
    """The deficit-and-constant-with-ET kernel's fluxes and deficit (N + 1 values), by name."""
    block = _kernels.deficit_constant_et(water, pet, step_hours, parameters, initial_deficit)
    return _split(block, len(water), DEFICIT_FLUXES, DEFICIT_STORAGES)


def temperature_index_snow(
    precipitation: Array,
    temperature: Array,
    step_hours: float,
    start_day: float,
    parameters: dict[str, float],
    zones: tuple[Sequence[float], Sequence[float]],
    initial: tuple[Sequence[float], Sequence[float]],
) -> dict[str, Array]:
    """The snow kernel's series by name; with several zones also each zone's own storages.

    `zones` are the zones' elevations and area fractions, `initial` their ice and liquid water.
    Zone k's storages (k from 1) are `ice.zone<k>` and `liquid_water.zone<k>`.
    """
    n, count = len(precipitation), len(zones[0])
    keep = count > 1
    block = _kernels.temperature_index_snow(
        precipitation, temperature, step_hours, start_day, parameters, *zones, *initial, zone_storages=keep
    )
    storages = list(SNOW_STORAGES)
    if keep:
        storages += [f"{name}.zone{k}" for k in range(1, count + 1) for name in SNOW_STORAGES]
    return _split(block, n, SNOW_FLUXES, storages)


def _pet(forcing: Forcing, method: str) -> Array:
    """The PET an ET-driven loss needs; refused when none was given (`potential_et=0` asks for none)."""
    if forcing.potential_et is None:
        raise ModelError(
            "potential_et",
            f"the {method} loss needs a potential evapotranspiration series (potential_et=...); "
            "pass potential_et=0 to run it without evapotranspiration",
        )
    return forcing.potential_et


class _HotStart:
    """States at the end of a run, under the names of the fields that start the next one."""

    STATE_FIELDS: ClassVar[Mapping[str, str]]

    def final_states(self, states: Mapping[str, Array]) -> dict[str, float]:
        """The last value of each storage in `states` (a run's `states`), by initial field."""
        return {field_name: float(states[state][-1]) for state, field_name in self.STATE_FIELDS.items()}

    def hot_start(self, initial: Mapping[str, Any]) -> Self:
        """The method started from `initial` (as `final_states` gives them); checked again."""
        unknown = set(initial) - set(self.STATE_FIELDS.values())
        if unknown:
            raise ModelError(sorted(unknown)[0], "is not a state of this method")
        return dataclasses.replace(self, **initial)  # type: ignore[type-var]


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

    soil_max: float
    tension_max: float
    max_infiltration: float
    canopy_max: float = 0.0
    surface_max: float = 0.0
    soil_percolation: float = 0.0
    gw1_max: float = 0.0
    gw1_percolation: float = 0.0
    gw1_coefficient: float = 240.0
    gw2_max: float = 0.0
    gw2_percolation: float = 0.0
    gw2_coefficient: float = 2400.0
    initial_canopy: float = 0.0
    initial_surface: float = 0.0
    initial_soil: float = 0.0
    initial_gw1: float = 0.0
    initial_gw2: float = 0.0

    UNITS: ClassVar[Mapping[str, str]] = {
        "soil_max": "depth",
        "tension_max": "depth",
        "max_infiltration": "rate",
        "canopy_max": "depth",
        "surface_max": "depth",
        "soil_percolation": "rate",
        "gw1_max": "depth",
        "gw1_percolation": "rate",
        "gw2_max": "depth",
        "gw2_percolation": "rate",
        "initial_canopy": "depth",
        "initial_surface": "depth",
        "initial_soil": "depth",
        "initial_gw1": "depth",
        "initial_gw2": "depth",
    }
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
        states = self._call(water, _pet(forcing, "soil-moisture"), step_seconds / HOURS)
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

    max_deficit: float
    constant_rate: float
    et_coefficient: float = 1.0
    initial_deficit: float = 0.0

    UNITS: ClassVar[Mapping[str, str]] = {
        "max_deficit": "depth",
        "constant_rate": "rate",
        "initial_deficit": "depth",
    }
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
        states = self._call(water, _pet(forcing, "deficit-constant-et"), step_seconds / HOURS)
        return LossOutput(
            excess=states["excess"],
            recharge=states["percolation"],
            losses={"et": states["et"]},
            storage={"soil_water": self.max_deficit - states["deficit"]},
            states=states,
        )


@dataclass(frozen=True)
class ZonedSnowOutput(SnowOutput):
    """A snow run's output with each elevation zone's pack at the last point (for hot starts)."""

    final_zones: Mapping[str, Array] = field(default_factory=dict)


@register("snow", "temperature-index")
@dataclass(frozen=True)
class TemperatureIndexSnow:
    """Snow by temperature index, optionally over elevation zones.

    Precipitation is snow at or below `threshold` (a linear mix over `transition` degrees centred
    on it); above `base` the pack melts by the degree-day rate, which varies as a sine through the
    year from `melt_rate_min` (21 December) to `melt_rate_max` (21 June); below it the held liquid
    water refreezes at `refreeze_fraction` of that rate. The pack holds liquid water up to
    `liquid_fraction` of its ice; the rest leaves as `liquid`. Each zone's temperature is the
    series' minus `lapse_rate` (°C per 1000 elevation units) times its height above
    `reference_elevation`.

    The melt rates left unset are 0.04 in (1.016 mm) and 0.16 in (4.064 mm) per °C per day, the
    same rates in either unit system. The day of the year that places the seasons is the forcing's
    local calendar day: the wall-clock time in its index's own zone (a naive index as it is).
    """

    threshold: float = 0.0
    transition: float = 0.0
    base: float = 0.0
    melt_rate_min: float | None = None  # None: DEFAULT_MELT_RATES, in inches (either unit system)
    melt_rate_max: float | None = None
    refreeze_fraction: float = 0.05
    liquid_fraction: float = 0.1
    lapse_rate: float = 6.5
    reference_elevation: float = 0.0
    zone_elevations: tuple[float, ...] = (0.0,)
    zone_fractions: tuple[float, ...] = (1.0,)
    initial_ice: tuple[float, ...] = ()  # per zone; empty: no pack
    initial_liquid: tuple[float, ...] = ()

    UNITS: ClassVar[Mapping[str, str]] = {
        "melt_rate_min": "depth",
        "melt_rate_max": "depth",
        "initial_ice": "depth",
        "initial_liquid": "depth",
    }
    STATE_FIELDS: ClassVar[Mapping[str, str]] = {"ice": "initial_ice", "liquid": "initial_liquid"}
    CONSTRAINTS: ClassVar[tuple[tuple[str, str, str], ...]] = (("melt_rate_max", ">=", "melt_rate_min"),)
    _SCALARS: ClassVar[tuple[str, ...]] = _LAYOUTS["temperature_index_snow"]["parameters"]

    def __post_init__(self) -> None:
        _validated(lambda: self._call(_EMPTY, _EMPTY, 1.0, 0.0))

    # The unset melt rates, inches per °C per day (a description in mm gets the same rates in mm).
    DEFAULT_MELT_RATES: ClassVar[Mapping[str, float]] = {"melt_rate_min": 0.04, "melt_rate_max": 0.16}

    def _call(self, precipitation: Array, temperature: Array, step_hours: float, start_day: float) -> dict[str, Array]:
        parameters = {name: getattr(self, name) for name in self._SCALARS}
        for name, inches in self.DEFAULT_MELT_RATES.items():
            if parameters[name] is None:
                parameters[name] = inches
        zeros = (0.0,) * len(self.zone_elevations)
        zones = (self.zone_elevations, self.zone_fractions)
        initial = (self.initial_ice or zeros, self.initial_liquid or zeros)
        return temperature_index_snow(precipitation, temperature, step_hours, start_day, parameters, zones, initial)

    def check_step(self, step_seconds: int) -> None:
        """Every step is resolved (the melt rate is taken at each interval's middle)."""

    def run(
        self, precipitation: Array, temperature: Array, step_seconds: int, start: datetime | None = None
    ) -> ZonedSnowOutput:
        """Rain and melt leaving the pack; `start` (the first point) places the seasonal melt rate."""
        local = None if start is None else start.replace(tzinfo=None)  # the forcing's own zone's calendar
        start_day = 0.0 if local is None else (local - EPOCH).total_seconds() / 86400.0
        states = self._call(precipitation, temperature, step_seconds / HOURS, start_day)
        count = len(self.zone_elevations)
        names = (
            [(f"ice.zone{k}", f"liquid_water.zone{k}") for k in range(1, count + 1)]
            if count > 1
            else [("ice", "liquid_water")]
        )
        final_zones = {
            "ice": np.array([states[ice][-1] for ice, _ in names]),
            "liquid": np.array([states[water][-1] for _, water in names]),
        }
        return ZonedSnowOutput(
            liquid=states["liquid"],
            storage={"ice": states["ice"], "liquid_water": states["liquid_water"]},
            states=states,
            final_zones=final_zones,
        )

    def final_states(self, output: ZonedSnowOutput) -> dict[str, tuple[float, ...]]:
        """Each zone's pack at the last point, by initial field."""
        return {name: tuple(float(v) for v in output.final_zones[state]) for state, name in self.STATE_FIELDS.items()}

    def hot_start(self, initial: Mapping[str, tuple[float, ...]]) -> TemperatureIndexSnow:
        """The method started from `initial` (as `final_states` gives them); checked again."""
        unknown = set(initial) - set(self.STATE_FIELDS.values())
        if unknown:
            raise ModelError(sorted(unknown)[0], "is not a state of this method")
        return dataclasses.replace(
            self,
            initial_ice=tuple(initial.get("initial_ice", self.initial_ice)),
            initial_liquid=tuple(initial.get("initial_liquid", self.initial_liquid)),
        )
