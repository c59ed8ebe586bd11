"""Unit systems of a model description and the conversions at its boundary.

The extension computes in US customary units: depths in inches, areas in acres, flows in cubic feet
per second, storage in cubic feet. A description may be written in SI instead (millimetres, square
kilometres, cubic metres per second, cubic metres); its numbers are converted once, when the model
runs, and the results are converted back when they are reported in SI. Elevations are never
converted: the extension only needs them consistent between the storage curve and the outlets.

Units on data columns (one home with the unit systems): parsing, conversion with pint, and
plausibility checks of observed flows and air temperatures.

A series read from a file may carry its unit in `series.attrs["units"]` (from a `units=` argument, a
units row or a NetCDF `units` attribute): a unit string, or (a column taken from a frame reader's
table) the frame's mapping column name -> unit, resolved here by the series' name (`unit_of`).
Offset units (°C, K, °F) convert with their offset, not by a factor. Unit strings are whatever pint understands, plus the
hydrologists' spellings `cfs`, `cms`, `cumecs`, and exponents written as digits (`m3/s`, `km2`) or in
CF style (`m3 s-1`, `kg m-2 s-1`). Rainfall given as an intensity (`mm/h`) converts to a depth per
step (`mm`) by the series' own step, and a mass of water per area (`kg m-2`) to a depth by the density
of water.
"""

from __future__ import annotations

import math
import re
import warnings
from collections.abc import Callable
from datetime import timedelta
from fractions import Fraction
from functools import cache
from typing import TYPE_CHECKING, Final, Literal

import numpy as np
import pandas as pd

from .timeseries import TimeSeriesError, infer_step

if TYPE_CHECKING:
    import numpy.typing as npt
    import pint

UnitSystem = Literal["US", "SI"]
UNIT_SYSTEMS: Final = ("US", "SI")

MM_PER_INCH: Final = 25.4
SQUARE_METRES_PER_ACRE: Final = 4046.8564224
ACRES_PER_SQUARE_KILOMETRE: Final = 1.0e6 / SQUARE_METRES_PER_ACRE
CUBIC_METRES_PER_CUBIC_FOOT: Final = 0.028316846592
CUBIC_FEET_PER_ACRE_FOOT: Final = 43560.0
ACRE_INCH_FT3: Final = CUBIC_FEET_PER_ACRE_FOOT / 12.0
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


# What the implausibility check expects of a mean specific runoff, in mm per year.
LOWEST_RUNOFF_MM_PER_YEAR: Final = 0.001
HIGHEST_RUNOFF_MM_PER_YEAR: Final = 10_000.0
# The flow units a slip is looked for among, the most usual in gauge files first.
_FLOW_UNITS: Final = ("m³/s", "l/s", "cfs", "m³/h", "m³/d", "l/min", "Ml/d")

WATER_DENSITY: Final = 1000.0  # kg/m³, for precipitation given as a mass per area


class UnitError(TimeSeriesError):
    """A unit that is unknown, or that cannot be converted into the one asked for."""


class UnitWarning(UserWarning):
    """Observations whose magnitude suggests they were given in another unit than assumed."""


def _digit_exponents(text: str) -> str:
    """`m3/s` -> `m**3/s`, `s-1` -> `s**-1`: exponents written as digits after a unit's name."""
    return re.sub(r"(?<![\w.])([A-Za-zµ]+)(-?\d+)(?![\w.])", r"\1**\2", text)


@cache
def registry() -> pint.UnitRegistry:
    """The package's unit registry (created once), exact: factors are fractions, rounded once to float."""
    import pint

    units = pint.UnitRegistry(preprocessors=[_digit_exponents], non_int_type=Fraction)
    units.define("cubic_feet_per_second = foot ** 3 / second = cfs")
    units.define("cubic_metres_per_second = meter ** 3 / second = cms = cumecs")
    return units


def parse_unit(text: str | pint.Unit, *, what: str = "unit") -> pint.Unit:
    """The pint unit of `text`; `UnitError` (naming `what`) when pint does not know it."""
    import pint

    if isinstance(text, pint.Unit):
        return text
    if not isinstance(text, str) or not text.strip():
        raise UnitError(f"{what}: expected a unit such as 'm3/s' or 'mm', got {text!r}")
    try:
        return registry().parse_units(text.strip())
    except Exception as error:  # pint's parser raises many kinds (tokenize, syntax, its own) for bad text
        raise UnitError(f"{what}: unknown unit {text!r} ({error})") from None


_SUPERSCRIPTS: Final = str.maketrans("-0123456789/", "⁻⁰¹²³⁴⁵⁶⁷⁸⁹ᐟ")


def unit_label(unit: str | pint.Unit) -> str:
    """The unit's short printed form (`m³/s`, `mm`, `cfs`, `kg/m²/s`), as stored in `series.attrs["units"]`."""
    numerator: list[str] = []
    denominator: list[str] = []
    for name, power in parse_unit(unit)._units.items():
        exact = Fraction(str(power))
        exponent = "" if abs(exact) == 1 else str(abs(exact)).translate(_SUPERSCRIPTS)
        (numerator if exact > 0 else denominator).append(registry().get_symbol(name) + exponent)
    return "/".join(["·".join(numerator) or "1", *denominator])


def _factor(src: pint.Unit, dst: pint.Unit, step_seconds: Callable[[], float] | None, what: str) -> float:
    reg = registry()
    quantity = reg.Quantity(Fraction(1), src)
    if "[mass]" in quantity.dimensionality and "[mass]" not in dst.dimensionality:
        quantity = quantity / reg.Quantity(Fraction(WATER_DENSITY), "kg/m**3")  # water per area as a depth
    time = reg.Quantity(1, "s").dimensionality
    if step_seconds is not None and quantity.dimensionality == dst.dimensionality / time:
        quantity = quantity * reg.Quantity(Fraction(step_seconds()), "s")  # an intensity as a depth per step
    elif step_seconds is not None and quantity.dimensionality == dst.dimensionality * time:
        quantity = quantity / reg.Quantity(Fraction(step_seconds()), "s")
    if quantity.dimensionality != dst.dimensionality:
        raise UnitError(f"{what}: cannot convert {unit_label(src)} into {unit_label(dst)} (different quantities)")
    return float(quantity.to(dst).magnitude)


def conversion_factor(source: str | pint.Unit, target: str | pint.Unit, *, what: str = "values") -> float:
    """The factor that turns values in `source` into values in `target` (the same quantity).

    Offset units (°C, °F) have no factor: `UnitError`, pointing to `convert_values`.
    """
    src, dst = parse_unit(source, what=what), parse_unit(target, what=what)
    if _offset(src, dst):
        raise UnitError(
            f"{what}: {unit_label(src)} -> {unit_label(dst)} has an offset, not a factor; use convert_values"
        )
    return _factor(src, dst, None, what)


def _offset(src: pint.Unit, dst: pint.Unit) -> bool:
    """Whether converting between `src` and `dst` needs an offset (a temperature scale with a zero of its own)."""
    reg = registry()
    return src != dst and not (
        reg.Quantity(Fraction(1), src)._is_multiplicative and reg.Quantity(Fraction(1), dst)._is_multiplicative
    )


def _affine(src: pint.Unit, dst: pint.Unit, what: str) -> tuple[float, float]:
    """(a, b) with value_in_dst = a * value_in_src + b, for two units of one temperature scale or another."""
    reg = registry()
    try:
        zero = reg.Quantity(Fraction(0), src).to(dst).magnitude
        one = reg.Quantity(Fraction(1), src).to(dst).magnitude
    except Exception as error:  # pint's DimensionalityError, OffsetUnitCalculusError
        raise UnitError(f"{what}: cannot convert {unit_label(src)} into {unit_label(dst)} ({error})") from None
    return float(one - zero), float(zero)


def convert_values(
    values: npt.NDArray[np.float64],
    source: str | pint.Unit,
    target: str | pint.Unit,
    *,
    step_seconds: float | None = None,
    what: str = "values",
) -> npt.NDArray[np.float64]:
    """`values` in `source` as values in `target`: by a factor, or with the offset of a temperature scale.

    `step_seconds` (interval data) lets an intensity become a depth per interval and back.
    """
    src, dst = parse_unit(source, what=what), parse_unit(target, what=what)
    values = np.asarray(values, dtype=np.float64)
    if src == dst:
        return values.copy()
    if _offset(src, dst):
        a, b = _affine(src, dst, what)
        return values * a + b
    step = None if step_seconds is None else (lambda: float(step_seconds))
    return values * _factor(src, dst, step, what)


def unit_of(series: pd.Series, *, what: str | None = None) -> str | None:
    """The unit in `series.attrs["units"]`: a string, or a frame's mapping resolved by the series' name.

    A column of a reader's DataFrame carries the frame's `attrs["column_units"]`: its own entry there.

    None when no unit is given; `UnitError` when a mapping has no entry for the series' name.
    """
    given = series.attrs.get("units")
    if given is None and series.name is not None:  # a column of a reader's frame: its entry in the frame's units
        columns = series.attrs.get("column_units")
        given = columns.get(str(series.name)) if isinstance(columns, dict) else None
    if given is None or isinstance(given, str):
        return given or None
    if isinstance(given, dict):
        key = None if series.name is None else str(series.name)
        by_name = {str(k): v for k, v in given.items()}
        if key not in by_name:
            label = what or str(series.name or "series")
            raise UnitError(f"{label}: attrs['units'] maps {', '.join(map(str, given))}, not the column {key!r}")
        return str(by_name[key]) if by_name[key] else None
    raise UnitError(f"{what or series.name or 'series'}: attrs['units'] must be a unit or a mapping, not {given!r}")


def convert(series: pd.Series, to: str, *, units: str | None = None, name: str | None = None) -> pd.Series:
    """`series` converted into the unit `to`, from `units` or else from its unit (see `unit_of`).

    An intensity (depth per time) converts into a depth per step, and back, by the series' step
    (rainfall is interval data); a mass of water per area into a depth; offset units (°C, K, °F)
    with their offset. The result carries `attrs["units"]`.
    """
    label = name or str(series.name or "series")
    source = units if units is not None else unit_of(series, what=label)
    if source is None:
        raise UnitError(f"{label}: the unit of the values is not known; pass units=")
    src, dst = parse_unit(source, what=label), parse_unit(to, what=label)
    if _offset(src, dst):
        a, b = _affine(src, dst, label)
        result = series.astype("float64") * a + b
    else:
        result = series.astype("float64") * _factor(
            src, dst, lambda: infer_step(series, name=label).total_seconds(), label
        )
    result.attrs = {**series.attrs, "units": unit_label(dst)}
    return result


# The air temperatures a forcing may hold, in °C: outside, the unit was very likely mistaken.
COLDEST_AIR_C: Final = -90.0
HOTTEST_AIR_C: Final = 60.0


def check_air_temperature(values: npt.NDArray[np.float64], times: pd.DatetimeIndex, what: str) -> None:
    """Refuse air temperatures (°C) outside -90 to 60 °C, naming the first and the likely slip."""
    bad = ~((values >= COLDEST_AIR_C) & (values <= HOTTEST_AIR_C))
    if not bad.any():
        return
    i = int(np.argmax(bad))
    finite = values[np.isfinite(values)]
    if finite.size and float(finite.min()) >= 180.0 and float(finite.max()) <= 340.0:
        slip = "; were they in kelvin? mark the series attrs['units'] = 'K'"
    elif finite.size and float(finite.max()) <= 140.0 and float(finite.min()) >= -130.0:
        slip = "; were they in °F? mark the series attrs['units'] = 'degF'"
    else:
        slip = ""
    raise UnitError(
        f"{what}: {values[i]:g} °C at {times[i].isoformat()} is not a plausible air temperature "
        f"({COLDEST_AIR_C:g} to {HOTTEST_AIR_C:g} °C){slip}"
    )


def column_units(columns: dict[str, str], units: UnitSystem) -> dict[str, str]:
    """Each result column's unit label from its quantity ("depth", "flow", ...; "" for none), in `units`."""
    return {name: label(quantity, units) if quantity in _QUANTITIES else "" for name, quantity in columns.items()}


def check_runoff_magnitude(
    observed: pd.Series,
    area: float,
    *,
    flow_unit: str | None = None,
    area_unit: str = "km²",
    name: str = "observed",
    low: float = LOWEST_RUNOFF_MM_PER_YEAR,
    high: float = HIGHEST_RUNOFF_MM_PER_YEAR,
) -> str | None:
    """Warn (`UnitWarning`) when observed flows are implausible for a basin of `area`; the message, or None.

    The mean flow over the basin area is a specific runoff; outside `low` to `high` mm per year
    (0.001 mm/yr to 10 m/yr) the flows were very likely written in another unit than the one
    assumed (`flow_unit`, else `observed.attrs["units"]`), and the message names the unit that
    brings them back into the usual range (l/s taken for m³/s, say).
    """
    unit_text = flow_unit if flow_unit is not None else unit_of(observed, what=name)
    if unit_text is None:
        raise UnitError(f"{name}: the unit of the flows is not known; pass flow_unit=")
    assumed = parse_unit(unit_text, what=name)
    basin = parse_unit(area_unit, what="area")
    values = observed.to_numpy(dtype="float64")
    values = values[np.isfinite(values)]
    mean = float(values.mean()) if values.size else 0.0
    if not mean > 0 or not area > 0:  # no flow at all says nothing of the unit
        return None
    runoff = mean / area * float(registry().Quantity(Fraction(1), assumed / basin).to("mm/year").magnitude)  # mm/yr
    if low <= runoff <= high:
        return None
    detail = (
        f"{name}: mean flow {mean:.4g} {unit_label(assumed)} over {area:g} {unit_label(basin)} is a specific "
        f"runoff of {runoff:.3g} mm/yr, outside the plausible {low:g} mm/yr to {high / 1000:g} m/yr"
    )
    slip = _likely_slip(runoff, assumed, low, high)
    if slip is not None:
        detail += f"; were the flows in {slip} rather than {unit_label(assumed)}?"
    else:
        detail += "; check the unit of the flows and the basin area"
    warnings.warn(detail, UnitWarning, stacklevel=2)
    return detail


def _likely_slip(runoff: float, assumed: pint.Unit, low: float, high: float) -> str | None:
    """The first of the usual flow units (most common first) that brings `runoff` into range, if any."""
    for candidate in _FLOW_UNITS:
        unit = parse_unit(candidate)
        if unit != assumed and low <= runoff * conversion_factor(unit, assumed) <= high:
            return unit_label(unit)
    return None
