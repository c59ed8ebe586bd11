"""Unit systems of a model description and the conversions at its boundary.

The extension computes in US customary units: depths in inches, areas in acres, flows in cubic feet
per second, storage in cubic feet. A description may be written in SI instead (millimetres, square
kilometres, cubic metres per second, cubic metres); its numbers are converted once, when the model
runs, and the results are converted back when they are reported in SI. Elevations are never
converted: the extension only needs them consistent between the storage curve and the outlets.
"""

from __future__ import annotations

import math
from datetime import timedelta
from typing import TYPE_CHECKING, Final, Literal

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

UnitSystem = Literal["US", "SI"]
UNIT_SYSTEMS: Final = ("US", "SI")

MM_PER_INCH: Final = 25.4
SQUARE_METRES_PER_ACRE: Final = 4046.8564224
ACRES_PER_SQUARE_KILOMETRE: Final = 1.0e6 / SQUARE_METRES_PER_ACRE
CUBIC_METRES_PER_CUBIC_FOOT: Final = 0.028316846592
CUBIC_FEET_PER_ACRE_FOOT: Final = 43560.0
SECONDS_PER_HOUR: Final = 3600.0


def hours(value: float) -> timedelta:
    """A duration given in hours as a timedelta (what the extension's kernels take)."""
    return timedelta(hours=value)


def step_seconds(value_hours: float) -> int:
    """A step given in hours as whole seconds."""
    return round(value_hours * SECONDS_PER_HOUR)


def flow_volume(values: npt.NDArray[np.float64], step: float) -> float:
    """The volume under a flow series sampled at points `step` seconds apart (flow × s), trapezoidal rule.

    The one formula of the package for a hydrograph's volume: flows are values at points and vary
    linearly between them.
    """
    if len(values) < 2:
        return 0.0
    return step * (math.fsum(values.tolist()) - 0.5 * (float(values[0]) + float(values[-1])))


# Quantity -> (factor from the SI unit to the US unit, US label, SI label).
_QUANTITIES: Final[dict[str, tuple[float, str, str]]] = {
    "depth": (1.0 / MM_PER_INCH, "in", "mm"),
    "rate": (1.0 / MM_PER_INCH, "in/h", "mm/h"),
    "area": (ACRES_PER_SQUARE_KILOMETRE, "acres", "km²"),
    "flow": (1.0 / CUBIC_METRES_PER_CUBIC_FOOT, "cfs", "m³/s"),
    "volume": (1.0 / CUBIC_METRES_PER_CUBIC_FOOT, "ft³", "m³"),
    "length": (1.0, "ft", "m"),
    "distance": (1.0 / 0.3048, "ft", "m"),  # lengths that convert (channel geometry), unlike elevations
}


def to_us(value: float, quantity: str, units: UnitSystem) -> float:
    """`value`, given in `units`, in the extension's unit for `quantity`."""
    return value if units == "US" else value * _QUANTITIES[quantity][0]


def from_us(value: float, quantity: str, units: UnitSystem) -> float:
    """`value`, given in the extension's unit for `quantity`, in `units`."""
    return value if units == "US" else value / _QUANTITIES[quantity][0]


def factor_from_us(quantity: str, units: UnitSystem) -> float:
    """The factor that turns the extension's unit for `quantity` into `units`."""
    return 1.0 if units == "US" else 1.0 / _QUANTITIES[quantity][0]


def label(quantity: str, units: UnitSystem) -> str:
    """The unit's short name, as the summaries print it."""
    us, si = _QUANTITIES[quantity][1:]
    return us if units == "US" else si
