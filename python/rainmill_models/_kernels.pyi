"""The models package's native computations, built from the same core as the rainmill extension."""

from collections.abc import Buffer, Sequence
from typing import TypeAlias

class Values(Buffer):
    """A run of float64 values computed by a kernel, exported as a read-only buffer."""

    def __new__(cls, data: Sequence[float]) -> Values: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    @property
    def data(self) -> list[float]: ...

def keep_buffer_pages() -> bool: ...

# Any sequence of numbers, or a buffer of them (a float64 NumPy array is read without a copy).
_Floats: TypeAlias = Sequence[float] | Buffer

# Continuous simulation (soil-moisture accounting, deficit and constant with ET, snow).
def soil_moisture(
    water: _Floats,
    pet: _Floats,
    step_hours: float,
    parameters: dict[str, float],
    initial: dict[str, float],
) -> Values:
    """Soil-moisture accounting: one block of its ten fluxes (N values each) then five storages (N + 1)."""

def deficit_constant_et(
    water: _Floats,
    pet: _Floats,
    step_hours: float,
    parameters: dict[str, float],
    initial_deficit: float,
) -> Values:
    """Deficit and constant with ET: excess, percolation, et (N values each), then the deficit (N + 1)."""

def temperature_index_snow(
    precipitation: _Floats,
    temperature: _Floats,
    step_hours: float,
    start_day: float,
    parameters: dict[str, float],
    zone_elevations: _Floats,
    zone_fractions: _Floats,
    initial_ice: _Floats,
    initial_liquid: _Floats,
    zone_storages: bool = False,
) -> Values:
    """Temperature-index snow: five fluxes (N each), ice and liquid water (N + 1), final zone states."""

# ---- event methods: losses, unit hydrographs, reach routing, baseflow ----

def constant_monthly_baseflow(months: _Floats, monthly: _Floats) -> Values: ...
def convolve_unit_hydrograph(excess: _Floats, ordinates: _Floats) -> Values: ...
def green_ampt_loss(
    rain: _Floats,
    suction: float,
    conductivity: float,
    moisture_deficit: float,
    impervious: float,
    step_hours: float,
) -> tuple[Values, Values]: ...
def initial_constant_loss(
    rain: _Floats, initial_loss: float, constant_rate: float, impervious: float, step_hours: float
) -> tuple[Values, Values]: ...
def lag_routing(inflow: _Floats, lag_hours: float, step_hours: float) -> Values: ...
def modified_puls_routing(
    inflow: _Floats, storage: _Floats, outflow: _Floats, sub_reaches: int, dt_seconds: float
) -> Values: ...
def muskingum_cunge_cell(inflow: _Floats, courant: float, cell_reynolds: float) -> Values: ...
def muskingum_cunge_routing(
    inflow: _Floats,
    length: float,
    slope: float,
    manning_n: float,
    bottom_width: float,
    side_slope: float,
    dt_seconds: float,
) -> Values: ...
def recession_baseflow(
    direct: _Floats,
    initial_flow: float,
    recession_constant: float,
    threshold: float,
    threshold_is_ratio: bool,
    step_hours: float,
) -> Values: ...
def scs_curve_number_loss(
    rain: _Floats, cn: float, initial_abstraction_ratio: float, impervious: float
) -> tuple[Values, Values]: ...
def scs_unit_hydrograph(lag_hours: float, peak_rate_factor: float, area_acres: float, step_hours: float) -> Values: ...
def snyder_unit_hydrograph(tp_hours: float, cp: float, area_acres: float, step_hours: float) -> Values: ...
def user_unit_hydrograph(ordinates: _Floats, duration_hours: float, area_acres: float, step_hours: float) -> Values: ...

# The distributed methods (src/distributed/).
def lagged_mean_excess(excess: _Floats, lags: _Floats, weights: _Floats, shared: bool) -> Values: ...
def modclark_transform(
    excess: _Floats, lags: _Floats, weights: _Floats, reservoir: _Floats, shared: bool
) -> Values: ...
def kinematic_wave_routing(
    inflow: _Floats,
    length: float,
    slope: float,
    manning_n: float,
    shape: str,
    bottom_width: float,
    side_slope: float,
    cells: int,
    dt_seconds: float,
) -> tuple[Values, Values, Values]: ...
def kinematic_wave_transform(
    excess: _Floats,
    area_acres: float,
    plane_length: float,
    plane_slope: float,
    plane_n: float,
    channel_length: float,
    channel_slope: float,
    channel_n: float,
    shape: str,
    bottom_width: float,
    side_slope: float,
    cells: int,
    dt_seconds: float,
) -> tuple[Values, Values, Values]: ...

# The names of each continuous kernel's parameters, fluxes and storages (see LAYOUTS in the bindings).
LAYOUTS: dict[str, dict[str, tuple[str, ...]]]
