"""The models package's native computations, built from the same core as the rainmill extension."""

from collections.abc import Buffer, Sequence

class Values(Buffer):
    """A run of float64 values computed by a kernel, exported as a read-only buffer."""

    def __new__(cls, data: Sequence[float]) -> Values: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    @property
    def data(self) -> list[float]: ...

# Continuous simulation (soil-moisture accounting, deficit and constant with ET, snow).

def soil_moisture(
    water: Sequence[float] | Buffer,
    pet: Sequence[float] | Buffer,
    step_hours: float,
    parameters: dict[str, float],
    initial: dict[str, float],
) -> Values:
    """Soil-moisture accounting: one block of its ten fluxes (N values each) then five storages (N + 1)."""

def deficit_constant_et(
    water: Sequence[float] | Buffer,
    pet: Sequence[float] | Buffer,
    step_hours: float,
    parameters: dict[str, float],
    initial_deficit: float,
) -> Values:
    """Deficit and constant with ET: excess, percolation, et (N values each), then the deficit (N + 1)."""

def temperature_index_snow(
    precipitation: Sequence[float] | Buffer,
    temperature: Sequence[float] | Buffer,
    step_hours: float,
    start_day: float,
    parameters: dict[str, float],
    zone_elevations: Sequence[float] | Buffer,
    zone_fractions: Sequence[float] | Buffer,
    initial_ice: Sequence[float] | Buffer,
    initial_liquid: Sequence[float] | Buffer,
    zone_storages: bool = False,
) -> Values:
    """Temperature-index snow: five fluxes (N each), ice and liquid water (N + 1), final zone states."""
