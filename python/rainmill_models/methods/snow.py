"""Snow methods: rain and melt leaving the pack from precipitation and temperature.

``temperature-index``: snow by temperature index over elevation zones; the melt rate follows the
day of the year from `melt_rate_min` (21 December) to `melt_rate_max` (21 June). The day of the year
is the wall-clock date in the forcing's own zone (a naive index: its dates as given).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime
from typing import ClassVar, Final

import numpy as np

from .. import _kernels
from . import Array, SnowOutput, register
from .common import _EMPTY, _LAYOUTS, HotStart, _hours, _split_block, _validated, parameter

# The snow season is counted from here, so that a hot start sees the seasons of the run it continues.
EPOCH: Final = datetime(2000, 1, 1)


SNOW_FLUXES: Final = _LAYOUTS["temperature_index_snow"]["fluxes"]


SNOW_STORAGES: Final = _LAYOUTS["temperature_index_snow"]["storages"]


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
    return _split_block(block, n, SNOW_FLUXES, storages)


@dataclass(frozen=True)
class ZonedSnowOutput(SnowOutput):
    """A snow run's output with each elevation zone's pack at the last point (for hot starts)."""

    final_zones: Mapping[str, Array] = field(default_factory=dict)


@register("snow", "temperature-index")
@dataclass(frozen=True)
class TemperatureIndexSnow(HotStart):
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
    melt_rate_min: float | None = parameter(None, unit="depth")  # None: DEFAULT_MELT_RATES, in inches
    melt_rate_max: float | None = parameter(None, unit="depth")
    refreeze_fraction: float = 0.05
    liquid_fraction: float = 0.1
    lapse_rate: float = 6.5
    reference_elevation: float = 0.0
    zone_elevations: tuple[float, ...] = (0.0,)
    zone_fractions: tuple[float, ...] = (1.0,)
    initial_ice: tuple[float, ...] = parameter((), unit="depth")  # per zone; empty: no pack
    initial_liquid: tuple[float, ...] = parameter((), unit="depth")
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
        states = self._call(precipitation, temperature, _hours(step_seconds), start_day)
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
