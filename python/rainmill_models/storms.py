"""Design storms as rainfall series: NRCS 24-hour distributions, alternating blocks, user hyetographs.

Every storm is a pandas Series of depths per step (the unit of the depth you give, recorded in
`attrs["units"]` when you name it with `units=`), indexed by the interval starts from `start` at
`step`, named "rain": what `Network.run` and `read_rain_csv` take. A storm holds at most 10^7
steps (`MAX_STEPS`, as many as a run's unit hydrograph may hold): a longer one is refused, naming
the duration and the step, before anything is built.
Each storm is scaled to its total `depth` exactly (to the rounding of one division), and built from a
cumulative mass curve read at the step by linear interpolation, so any step works, also one that
does not divide the tabulated times.

- `nrcs_storm`: the NRCS 24-hour distributions, types I, IA, II and III (USDA SCS Technical Release
  55, 1986, and NEH 630 ch. 4) as mass curves. See "Provenance of the NRCS tables".
- `alternating_block_storm`: the alternating-block method (Chow, Maidment and Mays, Applied
  Hydrology, 1988, section 14.4) from a depth–duration table, or from a depth–duration–frequency
  curve (`ddf_curve`, `ddf_table_curve`): the increments of the cumulative depth at 1, 2, ... steps,
  largest first at the peak and the others alternately after and before it.
- `user_storm`: a hyetograph given by cumulative fractions at given hours.

Provenance of the NRCS tables
-----------------------------
The primary tabulations (TR-55, 1986; NEH 630 ch. 4) could not be read when the tables were last
checked, so no value has been read off them: each comes from transcriptions, compared with one
another. What is known:

- Four anchors, one at each distribution's steepest rise, are quoted throughout the literature as
  TR-55's and are tested: type I 0.515 at 10 h, IA 0.425 at 8 h, II 0.663 and III 0.500 at 12 h.
- Type II: Bedient, Huber and Vieux, Hydrology and Floodplain Analysis, 5th ed. (2013), table E6-4
  (hourly, in per cent) agrees at 7 and 11 h and differs by up to 0.005 elsewhere (0.660 against
  0.663 at 12 h), with a straight-line tail from 19 h. A transcription of the classic tabulation at
  irregular times (0 to 24 h, finest from 8 to 14 h) agrees at 4, 6, 9.5 to 16 h and differs by
  0.001 to 0.002 at 2, 7, 8, 8.5, 9 and 20 h (0.022, 0.098, 0.120, 0.133, 0.147, 0.952 against
  0.023, 0.100, 0.122, 0.135, 0.148, 0.953): other roundings of the curve, so nothing was changed.
- Type III is tabulated only where independent transcriptions agree: every half hour to 7 h, at the
  irregular times of the classic tabulation from 8 to 14 h (with 9.75 and 11.75 h), every half hour
  to 16 h and every hour after. Its earlier half-hourly table repeated type II's values from 17.5 h
  (0.953 at 20 h against 0.957) and was off by up to 0.010 from 8 to 11 h (0.111, 0.140, 0.185 and
  0.260 at 8, 9, 10 and 11 h against 0.115, 0.148, 0.189 and 0.250, which three transcriptions
  give); it was replaced. Between the tabulated times the curve is linear, as for every type.
- Type I agrees with that irregular-time transcription at all its times (2 to 24 h), and type IA
  at all of them but 2 and 6 h (0.050 and 0.206 against 0.051 and 0.204) and 20 h (0.906 against
  0.908).
- That tabulation's quarter-hour points, at 9.75 and 11.75 h, are taken into types I, IA and II: without
  them the curve is a straight line across the half hour of the steepest rise, and a step shorter
  than half an hour gets too low a peak (type II at 15 minutes: 0.190 of the depth from 11.75 to
  12 h instead of 0.306).

Check a type against the primary table before a design depends on it.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from datetime import timedelta
from typing import Final

import numpy as np
import numpy.typing as npt
import pandas as pd

from .errors import ModelError
from .io.units import UnitError, parse_unit

Array = npt.NDArray[np.float64]
StepLike = str | timedelta | pd.Timedelta | float
DepthCurve = Callable[[float], float]

#: The most steps a storm may hold.
MAX_STEPS: Final = 10_000_000

# Cumulative fraction of the 24-hour depth: types I, IA and II every half hour from 0 to 24 h (49
# values) and at 9.75 and 11.75 h; type III at the times of `_TYPE_III_HOURS` (see "Provenance of
# the NRCS tables").
_HALF_HOURS: Final = tuple(0.5 * i for i in range(49))
_TYPE_III_HOURS: Final = (
    *(0.5 * i for i in range(15)), 8.0, 8.5, 9.0, 9.5, 9.75, 10.0, 10.5, 11.0, 11.5, 11.75, 12.0, 12.5,
    13.0, 13.5, 14.0, 14.5, 15.0, 15.5, 16.0, 17.0, 18.0, 19.0, 20.0, 21.0, 22.0, 23.0, 24.0,
)  # fmt: skip
_HALF_HOURLY: Final[Mapping[str, tuple[float, ...]]] = {
    "I": (
        0.0, 0.008, 0.017, 0.026, 0.035, 0.045, 0.055, 0.065, 0.076, 0.087, 0.099, 0.112, 0.125,
        0.140, 0.156, 0.174, 0.194, 0.219, 0.254, 0.303, 0.515, 0.583, 0.624, 0.654, 0.682, 0.706,
        0.727, 0.748, 0.767, 0.785, 0.801, 0.816, 0.830, 0.844, 0.857, 0.870, 0.882, 0.893, 0.905,
        0.916, 0.926, 0.936, 0.946, 0.956, 0.965, 0.974, 0.983, 0.992, 1.0,
    ),
    "IA": (
        0.0, 0.010, 0.022, 0.036, 0.051, 0.067, 0.083, 0.099, 0.116, 0.135, 0.156, 0.179, 0.204,
        0.233, 0.268, 0.310, 0.425, 0.480, 0.520, 0.550, 0.577, 0.601, 0.624, 0.645, 0.664, 0.683,
        0.701, 0.719, 0.736, 0.753, 0.768, 0.784, 0.800, 0.815, 0.830, 0.844, 0.858, 0.871, 0.884,
        0.896, 0.908, 0.920, 0.932, 0.944, 0.955, 0.967, 0.978, 0.989, 1.0,
    ),
    "II": (
        0.0, 0.005, 0.011, 0.017, 0.023, 0.029, 0.035, 0.041, 0.048, 0.056, 0.063, 0.072, 0.080,
        0.090, 0.100, 0.111, 0.122, 0.135, 0.148, 0.163, 0.181, 0.204, 0.235, 0.283, 0.663, 0.735,
        0.772, 0.799, 0.820, 0.838, 0.854, 0.868, 0.880, 0.892, 0.903, 0.913, 0.922, 0.930, 0.938,
        0.946, 0.953, 0.959, 0.965, 0.971, 0.977, 0.983, 0.989, 0.995, 1.0,
    ),
}  # fmt: skip
_TYPE_III: Final = (
    0.0, 0.005, 0.010, 0.015, 0.020, 0.026, 0.032, 0.037, 0.043, 0.050, 0.057, 0.065, 0.072, 0.081,
    0.089, 0.115, 0.130, 0.148, 0.167, 0.178, 0.189, 0.216, 0.250, 0.298, 0.339, 0.500, 0.702, 0.751,
    0.785, 0.811, 0.830, 0.848, 0.867, 0.886, 0.904, 0.922, 0.939, 0.957, 0.968, 0.979, 0.989, 1.0,
)  # fmt: skip
# The classic tabulation's two quarter-hour points, which place the steepest rise within its half
# hour (type II: 0.283, 0.357, 0.663 at 11.5, 11.75, 12 h, not a straight line from 0.283 to 0.663).
_QUARTER_HOURS: Final[Mapping[str, Mapping[float, float]]] = {
    "I": {9.75: 0.362, 11.75: 0.669},
    "IA": {9.75: 0.564, 11.75: 0.655},
    "II": {9.75: 0.172, 11.75: 0.357},
}


def _with_quarter_hours(name: str, table: tuple[float, ...]) -> tuple[tuple[float, ...], tuple[float, ...]]:
    points = sorted({**dict(zip(_HALF_HOURS, table, strict=True)), **_QUARTER_HOURS[name]}.items())
    return tuple(hour for hour, _ in points), tuple(fraction for _, fraction in points)


#: Each type's mass curve as (hours, cumulative fractions of the 24-hour depth), read linearly between.
NRCS_DISTRIBUTIONS: Final[Mapping[str, tuple[tuple[float, ...], tuple[float, ...]]]] = {
    **{name: _with_quarter_hours(name, table) for name, table in _HALF_HOURLY.items()},
    "III": (_TYPE_III_HOURS, _TYPE_III),
}


def step_hours(step: StepLike) -> float:
    """A step given as hours, a timedelta or a pandas offset text ("15min", "1h") in hours (> 0)."""
    if isinstance(step, bool):
        raise ModelError("step", f"must be a duration, not {type(step).__name__}")
    if isinstance(step, (int, float)):
        hours = float(step)
    else:
        try:
            hours = pd.Timedelta(step).total_seconds() / 3600.0
        except (ValueError, TypeError) as error:
            raise ModelError("step", f"is not a duration: {step!r}") from error
    if not (math.isfinite(hours) and hours > 0.0):
        raise ModelError("step", f"must be a positive duration, got {step!r}")
    if round(hours * 3600.0) < 1:
        raise ModelError("step", f"must be at least a second, got {step!r}")
    return hours


def _depth(depth: float) -> float:
    if isinstance(depth, bool) or not isinstance(depth, (int, float)) or not math.isfinite(depth) or depth < 0.0:
        raise ModelError("depth", f"must be a finite number >= 0, got {depth!r}")
    return float(depth)


def _points(duration: float, step: float) -> Array:
    """The bounds k * step (k = 0 .. n, the last clipped to `duration`) of the n steps that cover
    `duration` hours at `step` hours, refused beyond `MAX_STEPS`.
    """
    count = max(1, math.ceil(duration / step - 1e-9))
    if count > MAX_STEPS:
        raise ModelError(
            "duration",
            f"{duration:g} h at a step of {step * 3600.0:g} s is {count:.3g} steps, more than the "
            f"{MAX_STEPS:.0e} a storm may hold; take a longer step or a shorter duration",
        )
    return np.minimum(np.arange(count + 1, dtype=np.float64) * step, duration)


def _depth_unit(units: str | None) -> str | None:
    if units is None:
        return None
    try:
        unit = parse_unit(units, what="units")
    except UnitError as error:
        raise ModelError("units", str(error).removeprefix("units: ")) from None
    if dict(unit.dimensionality) != {"[length]": 1}:
        raise ModelError("units", f"must be a unit of depth (in, mm), got {units!r}")
    return units


def _series(depths: Array, start: object, hours: float, units: str | None = None) -> pd.Series:
    try:
        first = pd.Timestamp(start)  # type: ignore[arg-type]
        if pd.isna(first):
            raise ValueError(start)
    except (ValueError, TypeError) as error:
        raise ModelError("start", f"is not a time: {start!r}") from error
    index = pd.date_range(first, periods=len(depths), freq=pd.Timedelta(seconds=round(hours * 3600.0)), name="time")
    series = pd.Series(depths, index=index, name="rain")
    if units is not None:
        series.attrs["units"] = units
    return series


def _from_mass_curve(hours: Array, fractions: Array, depth: float, duration: float, step: float) -> Array:
    """Depths per step of `depth` spread by the cumulative curve, over ceil(duration / step) steps.

    The curve is read at k * step (k = 0 .. n, the last point clipped to the duration) by linear
    interpolation; the increments are then scaled by depth / their sum.
    """
    points = _points(duration, step)
    increments = np.diff(np.interp(points, hours, fractions))
    total = float(increments.sum())
    if total <= 0.0:
        return np.zeros(len(increments))
    return increments * (depth / total)


def nrcs_storm(
    storm_type: str, depth: float, start: object, step: StepLike = "15min", *, units: str | None = None
) -> pd.Series:
    """The NRCS 24-hour storm of `storm_type` ("I", "IA", "II", "III") with total `depth` (in `units`)."""
    units = _depth_unit(units)
    if storm_type not in NRCS_DISTRIBUTIONS:
        raise ModelError("type", f"must be one of {list(NRCS_DISTRIBUTIONS)}, got {storm_type!r}")
    hours = step_hours(step)
    times, fractions = NRCS_DISTRIBUTIONS[storm_type]
    depths = _from_mass_curve(np.asarray(times), np.asarray(fractions), _depth(depth), 24.0, hours)
    return _series(depths, start, hours, units)


class _Curve:
    """A depth–duration curve of the module's own, read at one duration or at many at once."""

    def __init__(self, many: Callable[[Array], Array]) -> None:
        self.many = many

    def __call__(self, hours: float) -> float:
        return float(self.many(np.array([hours], dtype=np.float64))[0])


def table_curve(depths: Mapping[float, float]) -> _Curve:
    """The cumulative depth of a depth–duration table (hours -> depth), linear between durations, 0 at 0."""
    if not depths:
        raise ModelError("table", "needs at least one duration")
    durations = sorted(depths)
    for duration in durations:
        if not (math.isfinite(duration) and duration > 0.0):
            raise ModelError("table", f"durations must be positive hours, got {duration!r}")
        if not (math.isfinite(depths[duration]) and depths[duration] >= 0.0):
            raise ModelError(f"table[{duration!r}]", f"must be a depth >= 0, got {depths[duration]!r}")
    xs = np.array([0.0, *durations])
    ys = np.array([0.0, *(float(depths[d]) for d in durations)])
    if np.any(np.diff(ys) < 0.0):
        raise ModelError("table", "depths must not decrease with the duration")

    def many(hours: Array) -> Array:
        if hours.size and float(hours.max()) > xs[-1] + 1e-9:
            longest = float(hours.max())
            raise ModelError("duration", f"{longest!r} h is beyond the table's longest duration ({float(xs[-1])!r} h)")
        depths: Array = np.interp(hours, xs, ys)
        return depths

    return _Curve(many)


def ddf_curve(a: float, b: float, c: float) -> _Curve:
    """A depth–duration–frequency curve of one return period: depth(t) = a t / (t + b)^c, t in hours.

    It is the intensity–duration–frequency form i = a / (t + b)^c times the duration.
    """
    for name, value in (("a", a), ("b", b), ("c", c)):
        if not math.isfinite(value) or value < 0.0:
            raise ModelError(name, f"must be a finite number >= 0, got {value!r}")

    def many(hours: Array) -> Array:
        return np.asarray(a * hours / (hours + b) ** c, dtype=np.float64)

    return _Curve(many)


def ddf_table_curve(table: Mapping[float, Mapping[float, float]], return_period: float) -> _Curve:
    """The depth–duration curve of `return_period` (years) from a table return period -> (hours -> depth).

    Between tabulated return periods the depths are interpolated linearly in log(return period).
    """
    periods = sorted(table)
    if not periods:
        raise ModelError("table", "needs at least one return period")
    if not periods[0] <= return_period <= periods[-1]:
        raise ModelError("return_period", f"{return_period!r} is outside the table's {periods[0]!r} to {periods[-1]!r}")
    upper = next(i for i, period in enumerate(periods) if period >= return_period)
    if periods[upper] == return_period or upper == 0:
        return table_curve(table[periods[upper]])
    low, high = periods[upper - 1], periods[upper]
    weight = math.log(return_period / low) / math.log(high / low)
    below, above = table_curve(table[low]), table_curve(table[high])
    return _Curve(lambda hours: below.many(hours) + weight * (above.many(hours) - below.many(hours)))


def alternating_block_storm(
    curve: DepthCurve | Mapping[float, float],
    duration: float,
    start: object,
    step: StepLike = "15min",
    *,
    depth: float | None = None,
    peak: float = 0.5,
    units: str | None = None,
) -> pd.Series:
    """A frequency storm of `duration` hours by the alternating-block method.

    `curve` is the cumulative depth of the most intense t hours (a callable, e.g. `ddf_curve`, or a
    depth–duration table hours -> depth); the storm's total is `curve(duration)` unless `depth` is
    given. The largest block is the step that holds the time `peak` x duration (the earlier of two
    at a boundary: with 0.5 and an even count it ends at the middle, as in Chow, Maidment and Mays,
    1988, example 14.4.1), the next ones alternately after and before it, each side filled in turn
    once the other is full. `units` names the unit of the depths.
    """
    units = _depth_unit(units)
    hours = step_hours(step)
    if not (math.isfinite(duration) and duration > 0.0):
        raise ModelError("duration", f"must be positive hours, got {duration!r}")
    if not 0.0 <= peak <= 1.0:
        raise ModelError("peak", f"must lie in [0, 1], got {peak!r}")
    depth_at: DepthCurve = curve if not isinstance(curve, Mapping) else table_curve(curve)
    if isinstance(curve, Mapping) and curve and duration > max(curve):
        raise ModelError("duration", f"{duration!r} h is beyond the table's longest duration ({max(curve)!r} h)")
    points = _points(duration, hours)
    count = len(points) - 1
    if isinstance(depth_at, _Curve):
        cumulative = np.asarray(depth_at.many(points), dtype=np.float64)
    else:
        cumulative = np.array([depth_at(float(point)) for point in points], dtype=np.float64)
    blocks = np.sort(np.maximum(np.diff(cumulative), 0.0))[::-1]
    centre = min(count - 1, max(0, math.ceil(peak * count - 1e-9) - 1))
    order = _alternating_positions(count, centre)
    depths = np.zeros(count)
    depths[order] = blocks
    total = float(depths.sum())
    wanted = total if depth is None else _depth(depth)
    if total > 0.0:
        depths = depths * (wanted / total)
    return _series(depths, start, hours, units)


def _alternating_positions(count: int, centre: int) -> npt.NDArray[np.intp]:
    """Slots from `centre` outwards: centre, after, before, after, ...; one side continues when the other ends."""
    after = np.arange(centre + 1, count, dtype=np.intp)
    before = np.arange(centre - 1, -1, -1, dtype=np.intp)
    pairs = min(len(after), len(before))
    both = np.stack((after[:pairs], before[:pairs]), axis=1).ravel()  # after, before, after, ...
    return np.concatenate(([centre], both, after[pairs:], before[pairs:])).astype(np.intp)


def user_storm(
    hours: Sequence[float],
    fractions: Sequence[float],
    depth: float,
    start: object,
    step: StepLike = "15min",
    *,
    units: str | None = None,
) -> pd.Series:
    """A hyetograph given by cumulative `fractions` (0 to 1, not decreasing) at `hours` since its start."""
    units = _depth_unit(units)
    times = np.asarray(hours, dtype=np.float64)
    shares = np.asarray(fractions, dtype=np.float64)
    if times.ndim != 1 or times.shape != shares.shape or len(times) < 2:
        raise ModelError("fractions", "needs one fraction per time, at least two")
    if not (np.all(np.isfinite(times)) and times[0] == 0.0 and np.all(np.diff(times) > 0.0)):
        raise ModelError("hours", "must start at 0 and increase")
    if not (np.all(np.isfinite(shares)) and shares[0] == 0.0 and shares[-1] == 1.0 and np.all(np.diff(shares) >= 0.0)):
        raise ModelError("fractions", "must rise from 0 to 1 without decreasing")
    step_h = step_hours(step)
    return _series(_from_mass_curve(times, shares, _depth(depth), float(times[-1]), step_h), start, step_h, units)
