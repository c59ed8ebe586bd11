"""The elements of a network: subbasins, reaches, reservoirs, junctions, sources, diversions and sinks.

Each element is a frozen dataclass, validated on construction (messages name the field relative to
the element; the network places the element's path in front), naming the element its water goes to
(`downstream`). Each kind owns how it runs: `run(name, inflow, context)` takes the sum of what
flows in (None for the kinds that take no inflow) and returns its typed series (`ElementSeries`);
`passes(series, target)` is what it hands to `target`; `balance(series, step)` is its water
balance. The engine (`rainmill_models.simulation`) walks the network's order and never asks an
element's kind.

Outlets of a reservoir (constant, specified, controlled, uncontrolled) are here too, as plain data.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import timedelta
from typing import TYPE_CHECKING, Any, ClassVar, Final, Literal, Self, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import pandas as pd
import rainmill

from . import methods
from .checks import at_least, curve, duration, fmt, mapping, optional_real, real, table
from .checks import name as checked_name
from .errors import ModelError
from .io.timeseries import TimeSeriesError
from .io.units import ACRE_INCH_FT3, factor_from_us, flow_volume, to_us
from .io.units import step_seconds as to_step_seconds
from .methods import Forcing as MethodForcing
from .methods import LossOutput, in_us, method_class, takes_start
from .methods.baseflow import Layer

if TYPE_CHECKING:
    from .io.units import UnitSystem

Array = npt.NDArray[np.float64]
ru = rainmill.reservoir.reservoir_utils

# The largest subbasin, in acres or km² alike: far beyond any river basin (the Amazon's is 1.7e9
# acres, 7e6 km²), far below where the conversions overflow.
MAX_AREA: Final = 1e10

# A balance closes when its residual is within this fraction of the volume that moved through it.
BALANCE_TOLERANCE: Final = 1e-3


def _set(obj: object, key: str, value: object) -> None:
    object.__setattr__(obj, key, value)


def plain(value: Any) -> Any:
    """A description as TOML-shaped data: dataclasses as tables (outlets with their `kind`, an element's
    methods as their model-file tables), tuples as lists.
    """
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        out: dict[str, Any] = {"kind": value.KIND} if hasattr(value, "KIND") and not hasattr(value, "TABLE") else {}
        processes = getattr(value, "PROCESSES", ())
        for f in dataclasses.fields(value):
            item = getattr(value, f.name)
            if item is not None:
                out[f.name] = method_table(item) if f.name in processes else plain(item)
        return out
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, tuple):
        return [plain(item) for item in value]
    return value


def _downstream(value: object, key: str = "downstream") -> str | None:
    if value is None:
        return None
    if not isinstance(value, str) or not value:
        raise ModelError(key, f"must be the name of an element, got {value!r}")
    return value


# ---- methods from their tables ----


def method_from(process: str, value: object, path: str) -> Any:
    """The method instance a table describes (`method = "..."` and its parameters), or the method itself."""
    if not isinstance(value, Mapping):
        if hasattr(type(value), "check_step") and dataclasses.is_dataclass(value):
            return value
        raise ModelError(path, f"must be a table with a method, not {type(value).__name__}")
    data = dict(value)
    cls = method_class(process, data.pop("method", None), f"{path}.method")
    return build(cls, data, path)


def build(cls: type[Any], data: Mapping[str, Any], path: str) -> Any:
    """An instance of dataclass `cls` from a table: unknown keys and missing fields refused by path."""
    known = {f.name: f for f in dataclasses.fields(cls)}
    for key in data:
        if key not in known:
            raise ModelError(f"{path}.{key}", "unknown key")
    values = dict(data)
    for key, f in known.items():
        if key not in values and f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING:
            raise ModelError(f"{path}.{key}", "missing")
        # a table of baseflow layers
        if key in values and isinstance(values[key], Mapping) and key == "layers":
            values[key] = {
                entry: build(Layer, layer, f"{path}.{key}.{checked_name(entry, f'{path}.{key}')}")
                if isinstance(layer, Mapping)
                else layer
                for entry, layer in values[key].items()
            }
    try:
        return cls(**values)
    except ModelError as error:
        raise error.under(path) from None
    except (TypeError, ValueError, OverflowError, RecursionError) as error:
        raise ModelError(path, f"invalid values: {error}") from None


def method_table(method: Any) -> dict[str, Any]:
    """A method as its model-file table: `method = "<name>"` and its parameters."""
    for process in methods.PROCESSES:
        for registered in methods.method_names(process):
            if method_class(process, registered, "") is type(method):
                return {"method": registered, **plain(method)}
    raise ModelError("", f"{type(method).__name__} is not a registered method")


# ---- outlets of a reservoir ----


def _bounds(obj: object, names: tuple[str, ...]) -> None:
    for key in names:
        _set(obj, key, optional_real(getattr(obj, key), key))


def _rating(obj: ControlledOutlet | UncontrolledOutlet) -> None:
    elevation, discharge = curve(
        obj.elevation, obj.discharge, ("elevation", "discharge"), "a rating curve", "non-decreasing"
    )
    at_least(discharge[0], 0.0, "discharge[0]")
    _set(obj, "elevation", elevation)
    _set(obj, "discharge", discharge)


@dataclass(frozen=True)
class ConstantOutlet:
    """A constant release while the pool stands between the optional elevations."""

    discharge: float
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None

    KIND: ClassVar[str] = "constant"

    def __post_init__(self) -> None:
        _set(self, "discharge", at_least(self.discharge, 0.0, "discharge"))
        _bounds(self, ("minimum_elevation", "maximum_elevation"))


@dataclass(frozen=True, kw_only=True)
class _Gated:
    """An outlet that releases only between two optional pool elevations, up to an optional cap."""

    minimum_elevation: float | None = None
    maximum_elevation: float | None = None
    maximum_release: float | None = None

    def _check_gate(self) -> None:
        _bounds(self, ("minimum_elevation", "maximum_elevation", "maximum_release"))
        if self.maximum_release is not None:
            at_least(self.maximum_release, 0.0, "maximum_release")


@dataclass(frozen=True)
class SpecifiedOutlet(_Gated):
    """A prescribed release: `discharge` at points `step` hours apart from the start of the run."""

    discharge: tuple[float, ...]
    step: float

    KIND: ClassVar[str] = "specified"

    def __post_init__(self) -> None:
        discharge = table(self.discharge, "discharge")
        if not discharge:
            raise ModelError("discharge", "needs at least one value")
        for i, value in enumerate(discharge):
            at_least(value, 0.0, f"discharge[{i}]")
        _set(self, "discharge", discharge)
        _set(self, "step", duration(self.step, "step"))
        self._check_gate()


@dataclass(frozen=True)
class ControlledOutlet(_Gated):
    """A gated outlet with its elevation-discharge rating, optional gate elevations and release cap."""

    elevation: tuple[float, ...]
    discharge: tuple[float, ...]

    KIND: ClassVar[str] = "controlled"

    def __post_init__(self) -> None:
        _rating(self)
        self._check_gate()


@dataclass(frozen=True)
class UncontrolledOutlet:
    """An uncontrolled spillway with its rating; `elevation_offset` is added to the pool before lookup."""

    elevation: tuple[float, ...]
    discharge: tuple[float, ...]
    elevation_offset: float | None = None

    KIND: ClassVar[str] = "uncontrolled"

    def __post_init__(self) -> None:
        _rating(self)
        _bounds(self, ("elevation_offset",))


Outlet: TypeAlias = ConstantOutlet | SpecifiedOutlet | ControlledOutlet | UncontrolledOutlet
OUTLET_KINDS: Final[dict[str, type[Outlet]]] = {
    cls.KIND: cls for cls in (ConstantOutlet, SpecifiedOutlet, ControlledOutlet, UncontrolledOutlet)
}


def outlet_from(data: object, path: str) -> Outlet:
    """The outlet a table describes (`kind = "..."` and its fields)."""
    values = dict(mapping(data, path))
    kind = values.pop("kind", None)
    if not isinstance(kind, str) or kind not in OUTLET_KINDS:
        raise ModelError(f"{path}.kind", f"must be one of {list(OUTLET_KINDS)}, got {kind!r}")
    return build(OUTLET_KINDS[kind], values, path)  # type: ignore[no-any-return]


# ---- what an element's run returns ----


@dataclass(frozen=True)
class Inputs:
    """What drives one run, at the computation step, in the extension's units (inches, cfs, °C)."""

    rain: dict[str, Array]  # per subbasin, depth per interval
    inflows: dict[str, Array]  # per source, flow at the points
    potential_et: dict[str, Array]  # per subbasin, as far as its record reaches from the start
    temperature: dict[str, Array]
    length: int  # intervals of forcing
    start: pd.Timestamp | None = None  # of the first interval (a seasonal method needs the date)
    step: int = 0  # seconds
    zero_et: bool = False  # potential_et=0 asked for: no evapotranspiration

    def driven_intervals(self) -> int | None:
        """The intervals from the start that every PET and temperature series covers; None without any."""
        pet = [] if self.zero_et else list(self.potential_et.values())
        return min((len(v) for v in [*self.temperature.values(), *pet]), default=None)

    def driver(self, kind: Literal["potential_et", "temperature"], name: str, points: int) -> Array | None:
        """Subbasin `name`'s PET or temperature over `points` intervals; None when none was given.

        Refuses a run longer than the series' record (neither is padded nor held), naming the first
        instant the series misses.
        """
        if kind == "potential_et" and self.zero_et:
            return np.zeros(points)
        values: Array | None = getattr(self, kind).get(name)
        if values is None:
            return None
        if len(values) < points:
            assert self.start is not None
            missing = self.start + pd.Timedelta(seconds=self.step) * len(values)
            raise TimeSeriesError(
                f"{kind}.{name}: no value for {missing.isoformat()}: the run needs {kind} up to its last "
                "interval (end the run within the record with end=, or give a longer series)"
            )
        return values[:points]


@dataclass(frozen=True)
class Context:
    """What every element of one run shares: the forcing, the step, the number of points, the units."""

    forcing: Inputs
    step: int  # seconds
    points: int
    units: UnitSystem


@dataclass(frozen=True)
class Series:
    """An element's series over N points, in the extension's units (inches, cfs, ft³).

    Flows, storages and elevations are values at the points; depths are per interval (interval i
    from point i to point i + 1); states are at the points, with one value more (the last is where a
    hot start continues).
    """

    outflow: Array

    # the fields that are depths per interval, flows at the points, and dicts of flows
    DEPTHS: ClassVar[tuple[str, ...]] = ()
    FLOWS: ClassVar[tuple[str, ...]] = ()

    def trimmed(self, points: int) -> Self:
        """The first `points` points of every series (states keep one more)."""
        changes: dict[str, Any] = {}
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            if isinstance(value, np.ndarray):
                changes[f.name] = value[:points]
            elif isinstance(value, dict):
                size = points + 1 if f.name in STATE_FIELDS else points
                changes[f.name] = {k: v[:size] for k, v in value.items()}
        return dataclasses.replace(self, **changes)

    def columns(self) -> dict[str, tuple[Array, str]]:
        """Every series as a column name -> (values, quantity), in a stable order."""
        columns = {key: (value, "depth") for key in self.DEPTHS if (value := getattr(self, key)) is not None}
        for key, array in getattr(self, "losses", {}).items():
            columns[f"losses.{key}"] = (array, "depth")
        for key in self.FLOWS:
            value = getattr(self, key)
            if isinstance(value, dict):
                prefix = "baseflow" if key == "layers" else "outlet"
                columns.update({f"{prefix}.{k}": (v, "flow") for k, v in value.items()})
            elif value is not None:
                columns[key] = (value, "flow")
        columns["outflow"] = (self.outflow, "flow")
        storage, elevation = getattr(self, "storage", None), getattr(self, "elevation", None)
        if isinstance(storage, np.ndarray) and elevation is not None:
            columns["storage"] = (storage, "volume")
            columns["elevation"] = (elevation, "length")
        for group, prefix in STATE_FIELDS.items():
            state = getattr(self, group, None)
            if isinstance(state, dict):
                # every loss and snow state is a depth over the subbasin (a melt factor a depth per
                # degree), so one factor brings them all to the result's units
                columns.update({f"{prefix}.{k}": (np.asarray(v), "depth") for k, v in state.items()})
        return columns


# the dicts of states (N + 1 values) and the column prefixes results give them
STATE_FIELDS: Final = {
    "states": "states",
    "storage_states": "storage",
    "snow_states": "states.snow",
    "snow_storage": "storage.snow",
}


@dataclass(frozen=True)
class SubbasinSeries(Series):
    """Rain (and the water leaving the snow pack), the loss method's split, direct runoff, baseflow."""

    rain: Array
    water: Array | None
    excess: Array
    loss: Array  # the recharge: what the baseflow receives
    direct: Array
    baseflow: Array
    layers: dict[str, Array]
    losses: dict[str, Array]
    storage_states: dict[str, Array]
    states: dict[str, Array]
    snow_states: dict[str, Array] | None
    snow_storage: dict[str, Array] | None
    deep_fraction: float  # the share of the recharge that no baseflow layer takes: it leaves
    gauge_rain: Array | None = None  # the gauge's rain, where correction factors made `rain` differ

    DEPTHS: ClassVar[tuple[str, ...]] = ("rain", "gauge_rain", "water", "excess", "loss")
    FLOWS: ClassVar[tuple[str, ...]] = ("direct", "baseflow", "layers")


@dataclass(frozen=True)
class RoutedSeries(Series):
    """The sum of an element's inflows and its outflow (a reach, a junction, a sink)."""

    inflow: Array

    FLOWS: ClassVar[tuple[str, ...]] = ("inflow",)


@dataclass(frozen=True)
class DiversionSeries(Series):
    """Inflow, the diverted flow and what goes on downstream."""

    inflow: Array
    diverted: Array

    FLOWS: ClassVar[tuple[str, ...]] = ("inflow", "diverted")


@dataclass(frozen=True)
class ReservoirSeries(Series):
    """Inflow, outflow, the released volume per interval (`release`), storage, elevation, each outlet."""

    inflow: Array
    release: Array
    storage: Array
    elevation: Array
    outlets: dict[str, Array]

    FLOWS: ClassVar[tuple[str, ...]] = ("inflow", "release", "outlets")


@dataclass(frozen=True)
class Balance:
    """One element's (or the network's) water balance, in cubic feet.

    inflow = outflow + losses + storage_change + in_transit + residual. `in_transit` is the change
    of the water an element holds that no state reports: direct runoff still on its way, the
    groundwater layers, the water in a reach. Where the methods report it (`transit_checked`: the
    Clark transform, single linear reservoirs, Muskingum reaches), it is computed from their
    series and the residual checks it; otherwise it is what went in and has not come out, derived.
    The residual is checked against `scale`, the largest volume that moved (inflow, outflow,
    losses, storage change, in transit, or the storage at the start); with nothing moving, only a
    zero residual closes. `enters` and `leaves` are what crosses the network's boundary here (rain,
    a source; an outlet's outflow, a diversion out of the network), `start` the storage at the start.
    """

    inflow: float
    outflow: float
    losses: float
    storage_change: float
    in_transit: float
    residual: float
    scale: float
    transit_checked: bool = False
    enters: float = 0.0
    leaves: float = 0.0
    start: float = 0.0

    @property
    def relative(self) -> float:
        """The residual over the scale (0 for a zero residual, inf for a residual with nothing moving)."""
        if self.residual == 0.0:
            return 0.0
        return abs(self.residual) / self.scale if self.scale > 0.0 else math.inf

    @property
    def closes(self) -> bool:
        """The residual is within `BALANCE_TOLERANCE` of the scale."""
        return self.relative <= BALANCE_TOLERANCE


def balance(
    inflow: float, outflow: float, losses: float, change: float, transit: float, start: float, **extra: Any
) -> Balance:
    """A balance row; the residual is what the terms leave unexplained."""
    residual = inflow - outflow - losses - change - transit
    scale = max(abs(inflow), abs(outflow), abs(losses), abs(change), abs(transit), abs(start))
    return Balance(inflow, outflow, losses, change, transit, residual, scale, start=start, **extra)


def fit(values: Array, points: int, hold: bool = False) -> Array:
    """`values` cut or padded with zeros (or, with `hold`, with the last value) to `points` values."""
    if len(values) >= points:
        return values[:points]
    out = np.zeros(points)
    out[: len(values)] = values
    if hold and len(values):
        out[len(values) :] = values[-1]
    return out


def _outlet_info(outlet: Outlet, units: UnitSystem) -> Any:
    """An outlet as the extension's outlet object, flows in cfs."""
    flow = factor_from_us("flow", units)
    if isinstance(outlet, ConstantOutlet):
        return ru.ConstantDischargeInfo(outlet.discharge / flow, outlet.minimum_elevation, outlet.maximum_elevation)
    cap = getattr(outlet, "maximum_release", None)
    cap_us = None if cap is None else cap / flow
    if isinstance(outlet, SpecifiedOutlet):
        series = rainmill.utils.ContinuousTimeSeries(
            [q / flow for q in outlet.discharge], timedelta(seconds=to_step_seconds(outlet.step)), "discharge"
        )
        return ru.SpecifiedDischargeInfo(series, outlet.minimum_elevation, outlet.maximum_elevation, cap_us)
    rating = ru.ElevationDischarge(list(outlet.elevation), [q / flow for q in outlet.discharge])
    if isinstance(outlet, ControlledOutlet):
        return ru.ControlledDischargeInfo(rating, outlet.minimum_elevation, outlet.maximum_elevation, cap_us)
    return ru.UnControlledDischargeInfo(rating, outlet.elevation_offset)


def _released(release: Array, outflow: Array, outlets: dict[str, Array]) -> tuple[Array, dict[str, Array]]:
    """The flows at the points that carry what the storage trace says each interval released.

    The kernel's outlets are read at the points: an outlet that switches on and off between them
    (a pump at its cut-in elevation) gives 50, 0, 50, 50 while the pool released 45 a step. The
    pool hands on, at each inner point, the mean of the releases of the intervals on either side,
    and at the ends the release of the end interval: the trapezoid of these points is exactly the
    released volume (sum of release times the step), with no spike. For a pool whose outlets agree
    with its storage (release_i = (q_i + q_i+1) / 2) this is the 1-2-1 mean of its point outflows,
    a second-order difference. Each outlet keeps its share of each interval's release (by its own
    trapezoid; an interval where they read nothing takes the shares of the interval before it).
    """
    points = _at_points(release)
    if not outlets:
        return points, outlets
    own = np.array([0.5 * (flows[:-1] + flows[1:]) for flows in outlets.values()])
    total = own.sum(axis=0)
    # each outlet's share of an interval's release; an interval where the outlets read nothing at
    # its ends takes the shares of the nearest interval before it (after it, at the start) that had some
    known = total > 0.0
    share = np.divide(own, total, out=np.full_like(own, np.nan), where=known)
    if not known.any():
        share[:] = 1.0 / len(outlets)
    elif not known.all():
        last = np.maximum.accumulate(np.where(known, np.arange(len(total)), -1))
        first = int(np.flatnonzero(known)[0])
        share = share[:, np.where(last >= 0, last, first)]
    return points, {key: _at_points(part) for key, part in zip(outlets, release * share, strict=True)}


def _at_points(per_interval: Array) -> Array:
    """Values at the points from values per interval: at the ends the end interval's, between two the mean."""
    points = np.empty(len(per_interval) + 1)
    points[0], points[-1] = per_interval[0], per_interval[-1]
    points[1:-1] = 0.5 * (per_interval[:-1] + per_interval[1:])
    return points


def _sum(values: Array, n: int) -> float:
    return math.fsum(values[:n].tolist())


# ---- the elements ----


class _Element:
    """What every element kind shares: where its water goes, and the defaults of running."""

    KIND: ClassVar[str]
    TABLE: ClassVar[str]
    PROCESSES: ClassVar[tuple[str, ...]] = ()
    TAKES_INFLOW: ClassVar[bool] = True
    FORCING: ClassVar[str | None] = None  # the argument of `Network.run` that drives it: "rain", "inflows"

    downstream: str | None

    def passes(self, series: Series, target: str) -> Array | None:
        """What this element hands to `target` (None when its water does not go there)."""
        return series.outflow if self.downstream == target else None

    def handed_on(self, series: Series) -> Series:
        """As much of `series` as `passes` reads (a run that keeps only some elements holds no more)."""
        return Series(outflow=series.outflow)

    def in_us(self, process: str, units: UnitSystem) -> Any:
        """Method `process` with its parameters in the extension's units, converted once per element."""
        cache: dict[tuple[str, str], Any] = self.__dict__.setdefault("_in_us", {})
        key = (process, units)
        if key not in cache:
            cache[key] = in_us(getattr(self, process), units)
        return cache[key]

    def _methods_from_tables(self, optional: tuple[str, ...] = ()) -> None:
        """Each process's method built from its table; anything but a method (or an optional None) refused."""
        for process in self.PROCESSES:
            value = getattr(self, process)
            if value is None and process in optional:
                continue
            if isinstance(value, Mapping):
                _set(self, process, method_from(process, value, process))
            elif not hasattr(type(value), "check_step"):
                raise ModelError(process, f"must be a {process} method, not {type(value).__name__}")

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step that one of the element's methods cannot resolve, naming the method's field."""
        for process in self.PROCESSES:
            method = getattr(self, process)
            if method is not None:
                try:
                    method.check_step(step_seconds)
                except ModelError as error:
                    raise error.under(process) from None

    def complete_point(self, series: Series, context: Context) -> int:
        """The first point after which the element's own transform has delivered all its water (0: none)."""
        return 0

    def run(self, name: str, inflow: Array | None, context: Context) -> Series:
        """The element's series over the run (each kind defines it)."""
        raise NotImplementedError

    def balance_of(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """The element's water balance over `series` (each kind defines it)."""
        raise NotImplementedError

    def balance_row(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """The element's water balance with what leaves the network here (`leaves`)."""
        row = self.balance_of(series, step_seconds, units)
        return dataclasses.replace(row, leaves=self.leaves_network(series, row, step_seconds))

    def held_water(self, series: Series, step_seconds: int, units: UnitSystem) -> tuple[float, float] | None:
        """The water held beyond what was held at the start (ft³) and the water that entered; None if unknown.

        The automatic end of a run waits for the first to drain (see `rainmill_models.simulation`).
        """
        row = self.balance_of(series, step_seconds, units)
        return row.in_transit + row.storage_change, row.inflow

    def leaves_network(self, series: Series, row: Balance, step_seconds: int) -> float:
        """What leaves the network here: an outlet's outflow (for a reservoir, what it released)."""
        return row.outflow if self.downstream is None else 0.0


# The range of a subbasin's precipitation and snowfall correction factors; what a snow method needs
# for a subbasin to correct its snowfall (how it splits rain from snow).
CORRECTION_RANGE: Final = (0.5, 2.0)
_SNOW_SPLIT: Final = (
    "threshold",
    "transition",
    "lapse_rate",
    "reference_elevation",
    "zone_elevations",
    "zone_fractions",
)


@dataclass(frozen=True)
class Subbasin(_Element):
    """A subbasin: area in acres (km²), its loss, transform, optional baseflow and snow methods.

    `precipitation_factor` multiplies the gauge's rain (all precipitation); `snowfall_factor` the
    part of it that falls as snow, by the snow method's split at the forcing's temperature (the
    area-weighted share over its zones); both within `CORRECTION_RANGE`, 1 by default. What enters
    the subbasin (its `rain`, the balance's inflow) is the corrected precipitation; `gauge_rain`
    is what the gauge gave. `recharge_leaves` says that the recharge of a continuous loss leaves
    the basin deliberately when there is no baseflow method (otherwise the file warns at load).
    """

    area: float
    loss: Any
    transform: Any
    baseflow: Any = None
    snow: Any = None
    downstream: str | None = None
    precipitation_factor: float = 1.0
    snowfall_factor: float = 1.0
    recharge_leaves: bool = False

    KIND: ClassVar[str] = "subbasin"
    TABLE: ClassVar[str] = "subbasins"
    PROCESSES: ClassVar[tuple[str, ...]] = ("loss", "transform", "baseflow", "snow")
    TAKES_INFLOW: ClassVar[bool] = False
    FORCING: ClassVar[str | None] = "rain"

    def __post_init__(self) -> None:
        area = real(self.area, "area")
        if not 0.0 < area <= MAX_AREA:
            raise ModelError("area", f"must be > 0 and <= {MAX_AREA:g} (beyond any river basin), got {fmt(area)}")
        _set(self, "area", area)
        self._methods_from_tables(optional=("baseflow", "snow"))
        _set(self, "downstream", _downstream(self.downstream))
        low, high = CORRECTION_RANGE
        for key in ("precipitation_factor", "snowfall_factor"):
            factor = real(getattr(self, key), key)
            if not low <= factor <= high:
                raise ModelError(key, f"must lie between {fmt(low)} and {fmt(high)}, got {fmt(factor)}")
            _set(self, key, factor)
        if self.snowfall_factor != 1.0 and not all(hasattr(self.snow, a) for a in _SNOW_SPLIT):
            raise ModelError(
                "snowfall_factor", "needs a snow method that splits rain from snow by temperature (temperature-index)"
            )
        if not isinstance(self.recharge_leaves, bool):
            raise ModelError("recharge_leaves", f"must be true or false, got {self.recharge_leaves!r}")
        if self.recharge_leaves and self.baseflow is not None:
            raise ModelError("recharge_leaves", "the baseflow method receives the recharge: leave this out")

    def recharge_lost(self) -> bool:
        """Whether a continuous loss's recharge leaves the basin unsaid (no baseflow, not `recharge_leaves`)."""
        return bool(getattr(self.loss, "CONTINUOUS", False)) and self.baseflow is None and not self.recharge_leaves

    def corrected(self, gauge: Array, temperature: Array | None) -> Array:
        """The precipitation that enters: the gauge's times the precipitation and snowfall factors.

        The snowfall factor scales the snow share of each interval's precipitation, as the snow
        method splits it at the forcing's temperature (the area-weighted share over its zones);
        the snow method then splits the corrected total by the same share.
        """
        rain = gauge * self.precipitation_factor if self.precipitation_factor != 1.0 else gauge
        if self.snowfall_factor == 1.0 or temperature is None:
            return rain
        snow = self.snow
        share = np.zeros(len(rain))
        for elevation, fraction in zip(snow.zone_elevations, snow.zone_fractions, strict=True):
            t = temperature[: len(rain)] - snow.lapse_rate * ((elevation - snow.reference_elevation) / 1000.0)
            if snow.transition > 0.0:
                zone = np.minimum(np.maximum((snow.threshold + snow.transition * 0.5 - t) / snow.transition, 0.0), 1.0)
            else:
                zone = (t <= snow.threshold).astype(np.float64)
            share += fraction * zone
        return rain * (1.0 + (self.snowfall_factor - 1.0) * share)

    def area_acres(self, units: UnitSystem) -> float:
        """The area in acres."""
        return to_us(self.area, "area", units)

    def run(self, name: str, inflow: Array | None, context: Context) -> SubbasinSeries:
        """Snow (with a temperature), the loss, the transform of the excess, the baseflow of the recharge."""
        points, step, units = context.points, context.step, context.units
        forcing = context.forcing
        area = self.area_acres(units)
        gauge = fit(forcing.rain[name], points)  # no rain after the forcing period: dry weather
        temperature = forcing.driver("temperature", name, points) if self.snow is not None else None
        if self.snow is not None and temperature is None:
            raise ModelError("snow", "needs a temperature series (temperature=...)")
        rain = self.corrected(gauge, temperature)
        drivers = MethodForcing(potential_et=forcing.driver("potential_et", name, points), temperature=temperature)
        water = rain
        snow_states = snow_storage = None
        if self.snow is not None:
            method = self.in_us("snow", units)
            extra = {"start": forcing.start} if takes_start(cast(Any, type(method))) else {}
            snow = method.run(rain, drivers.temperature, step, **extra)
            water = snow.liquid
            snow_states, snow_storage = dict(snow.states), dict(snow.storage)
        loss: LossOutput = self.in_us("loss", units).run(water, step, drivers)
        direct = self.in_us("transform", units).run(loss.excess, area, step)
        if self.baseflow is not None:
            baseflow = self.in_us("baseflow", units)
            months_of = getattr(baseflow, "months_of", None)  # a method that reads the calendar month
            extra = {} if months_of is None else {"months": months_of(forcing.start, step, points)}
            total, layers = baseflow.run(loss.recharge, area, step, direct, **extra)
            fraction = math.fsum(layer.fraction for layer in getattr(self.baseflow, "layers", {}).values())
        else:
            total, layers, fraction = np.zeros(points), {}, 0.0
        return SubbasinSeries(
            outflow=direct + total,
            rain=rain,
            water=water if self.snow is not None else None,
            excess=loss.excess,
            loss=loss.recharge,
            direct=direct,
            baseflow=total,
            layers=dict(layers),
            losses=dict(loss.losses),
            storage_states=dict(loss.storage),
            states=dict(loss.states),
            snow_states=snow_states,
            snow_storage=snow_storage,
            deep_fraction=1.0 - fraction,
            gauge_rain=None if rain is gauge else gauge,
        )

    def complete_point(self, series: Series, context: Context) -> int:
        """The first point after which the direct runoff has fully arrived."""
        assert isinstance(series, SubbasinSeries)
        complete = getattr(self.in_us("transform", context.units), "complete_after", None)
        return 0 if complete is None else int(complete(series.excess, self.area_acres(context.units), context.step))

    def balance_of(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """Rain = outflow + losses (ET, deep recharge) + storage change (soil, snow) + water in transit."""
        assert isinstance(series, SubbasinSeries)
        area = self.area_acres(units) * ACRE_INCH_FT3
        n = len(series.outflow) - 1  # the intervals between the points
        out = flow_volume(series.outflow, float(step_seconds))
        rain = _sum(series.rain, n) * area
        lost = _sum(series.loss, n) * area * series.deep_fraction
        lost += sum(_sum(a, n) for a in series.losses.values()) * area
        storages = [*series.storage_states.values(), *(series.snow_storage or {}).values()]
        stored = sum(float(a[min(n, len(a) - 1)] - a[0]) for a in storages) * area
        held = self._held(series, step_seconds, units)
        if held is None:  # a method that reports no holdings: the transit derived, the split checked
            row = balance(rain, out, lost, stored, 0.0, 0.0)
            return dataclasses.replace(
                row, in_transit=row.residual, residual=_split_residual(series, n) * area, enters=rain
            )
        return balance(rain, out, lost, stored, held, 0.0, transit_checked=True, enters=rain)

    def held_water(self, series: Series, step_seconds: int, units: UnitSystem) -> tuple[float, float] | None:
        """Runoff to come, groundwater and the storages gained; None where the methods do not report it.

        (A method that loses water, as the truncated Clark form does, reports no holdings: what it
        lost is not on its way.)
        """
        row = self.balance_of(series, step_seconds, units)
        return (row.in_transit + row.storage_change, row.inflow) if row.transit_checked else None

    def _held(self, series: SubbasinSeries, step: int, units: UnitSystem) -> float | None:
        """The change of the water the transform and the layers hold (ft³), None where not reported."""
        to_come = getattr(self.in_us("transform", units), "to_come", None)
        baseflow = None if self.baseflow is None else self.in_us("baseflow", units)
        layers = (0.0, 0.0) if baseflow is None else getattr(baseflow, "held", lambda _: None)(series.layers)
        if to_come is None or layers is None:
            return None
        points = len(series.outflow)
        # the excess of the intervals between the points only: the last point's own interval runs past
        # the run's end, and its rain is not counted in
        excess = series.excess[: max(points - 1, 0)]
        return float(to_come(excess, self.area_acres(units), step, points)) + layers[1] - layers[0]


def _split_residual(series: SubbasinSeries, n: int) -> float:
    """Rain (or melt) = excess + loss + other losses + storage change of the loss method, in inches."""
    water = series.water if series.water is not None else series.rain
    parts = _sum(series.excess, n) + _sum(series.loss, n)
    parts += sum(_sum(a, n) for a in series.losses.values())
    parts += sum(float(a[min(n, len(a) - 1)] - a[0]) for a in series.storage_states.values())
    return _sum(water, n) - parts


@dataclass(frozen=True)
class Reach(_Element):
    """A reach: the routing method of the sum of its inflows."""

    routing: Any
    downstream: str | None = None

    KIND: ClassVar[str] = "reach"
    TABLE: ClassVar[str] = "reaches"
    PROCESSES: ClassVar[tuple[str, ...]] = ("routing",)

    def __post_init__(self) -> None:
        self._methods_from_tables()
        _set(self, "downstream", _downstream(self.downstream))

    def run(self, name: str, inflow: Array | None, context: Context) -> RoutedSeries:
        """The routed sum of the inflows."""
        assert inflow is not None
        try:
            outflow = self.in_us("routing", context.units).run(inflow, context.step)
        except ModelError as error:
            raise error.under("routing") from None
        return RoutedSeries(outflow=outflow, inflow=inflow)

    def held_water(self, series: Series, step_seconds: int, units: UnitSystem) -> tuple[float, float] | None:
        """The water in the reach; unknown for a routing that does not keep volume to the bit
        (Muskingum-Cunge's variable parameters gain or lose a little), whose remainder is no water held.
        """
        routing = self.in_us("routing", units)
        if not hasattr(routing, "held") and not getattr(routing, "CONSERVES_VOLUME", True):
            return None
        return super().held_water(series, step_seconds, units)

    def balance_of(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """Inflow = outflow + the change of the water in the reach (reported by the routing, else derived)."""
        assert isinstance(series, RoutedSeries)
        came = flow_volume(series.inflow, float(step_seconds))
        out = flow_volume(series.outflow, float(step_seconds))
        held = getattr(self.in_us("routing", units), "held", None)
        if held is None:
            return balance(came, out, 0.0, 0.0, came - out, 0.0)
        first, last = held(series.inflow, series.outflow, step_seconds)
        return balance(came, out, 0.0, 0.0, float(last - first), 0.0, transit_checked=True)


@dataclass(frozen=True)
class Reservoir(_Element):
    """A level pool: elevation-storage curve (storage in ft³ or m³), starting elevation, named outlets.

    Any number of elements may flow in.
    """

    elevation: tuple[float, ...]
    storage: tuple[float, ...]
    initial_elevation: float
    outlets: dict[str, Outlet] = field(default_factory=dict)
    downstream: str | None = None

    KIND: ClassVar[str] = "reservoir"
    TABLE: ClassVar[str] = "reservoirs"

    def __post_init__(self) -> None:
        elevation, storage = curve(self.elevation, self.storage, ("elevation", "storage"), "the storage curve")
        at_least(storage[0], 0.0, "storage[0]")
        initial = real(self.initial_elevation, "initial_elevation")
        if not elevation[0] <= initial <= elevation[-1]:
            raise ModelError(
                "initial_elevation",
                f"{fmt(initial)} is outside the storage curve ({fmt(elevation[0])} to {fmt(elevation[-1])})",
            )
        outlets: dict[str, Outlet] = dict(self.outlets)
        for key, outlet in outlets.items():
            path = f"outlets.{checked_name(key, 'outlets')}"
            if not isinstance(outlet, tuple(OUTLET_KINDS.values())):
                raise ModelError(path, "must be an outlet (ConstantOutlet, SpecifiedOutlet, ...)")
        _set(self, "elevation", elevation)
        _set(self, "storage", storage)
        _set(self, "initial_elevation", initial)
        _set(self, "outlets", outlets)
        _set(self, "downstream", _downstream(self.downstream))

    def check_step(self, step_seconds: int) -> None:
        """A specified outlet's own step must be at least one second."""
        for key, outlet in self.outlets.items():
            if to_step_seconds(getattr(outlet, "step", 1.0)) < 1:
                raise ModelError(f"outlets.{key}.step", "must be at least one second")

    def run(self, name: str, inflow: Array | None, context: Context) -> ReservoirSeries:
        """Level-pool routing of the sum of the inflows (see `rainmill_models.simulation`)."""
        assert inflow is not None
        step, units = context.step, context.units
        curve = ru.ElevationStorage(list(self.elevation), [to_us(s, "volume", units) for s in self.storage])
        try:
            pool = rainmill.reservoir.run_level_pool_routing(
                rainmill.utils.ContinuousTimeSeries(inflow, timedelta(seconds=step), "discharge"),
                self.initial_elevation,
                curve,
                {key: _outlet_info(outlet, units) for key, outlet in self.outlets.items()},
            )
        except ValueError as error:
            raise ModelError("", f"the level-pool routing failed: {error}") from error
        storage = np.array(pool.reservoir_storage, dtype=np.float64)
        outflow = np.array(pool.reservoir_total_outflow, dtype=np.float64)
        individual = pool.reservoir_individual_outflows
        outlets = {key: np.array(individual[key], dtype=np.float64) for key in self.outlets}
        # A pool that is empty releases no more than flows in: the kernel clamps the storage at zero but
        # goes on reporting its outlets' discharge, which never left the pool.
        empty = storage <= 0.0
        if empty.any():
            capped = np.minimum(outflow, inflow)
            scale = np.divide(capped, outflow, out=np.zeros_like(outflow), where=outflow > 0.0)
            outlets = {key: np.where(empty, flows * scale, flows) for key, flows in outlets.items()}
            outflow = np.where(empty, capped, outflow)
        # The released volume of each interval, from the storage trace: what came in minus what stayed.
        release = np.full(len(inflow), np.nan)
        if len(inflow) > 1:
            came_in = 0.5 * (inflow[:-1] + inflow[1:]) * step
            release[:-1] = (came_in - np.diff(storage)) / step
            outflow, outlets = _released(release[:-1], outflow, outlets)
        return ReservoirSeries(
            outflow=outflow,
            inflow=inflow,
            release=release,
            storage=storage,
            elevation=np.array(pool.reservoir_elevation, dtype=np.float64),
            outlets=outlets,
        )

    def balance_of(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """Inflow = released volume + storage change (a pool's water is its storage)."""
        assert isinstance(series, ReservoirSeries)
        came = flow_volume(series.inflow, float(step_seconds))
        released = math.fsum(series.release[:-1].tolist()) * step_seconds
        change = float(series.storage[-1] - series.storage[0])
        start = float(series.storage[0])
        return balance(came, released, 0.0, change, 0.0, start, transit_checked=True)


@dataclass(frozen=True)
class _Linked(_Element):
    """An element whose only link is `downstream` (a junction, a source)."""

    downstream: str | None = None

    def __post_init__(self) -> None:
        _set(self, "downstream", _downstream(self.downstream))


class _PassesOn(_Element):
    """An element whose outflow is the sum of its inflows (a junction, a sink): it holds nothing."""

    def run(self, name: str, inflow: Array | None, context: Context) -> RoutedSeries:
        """The sum of the inflows, as it came."""
        assert inflow is not None
        return RoutedSeries(outflow=inflow, inflow=inflow)

    def balance_of(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """What came in went out."""
        assert isinstance(series, RoutedSeries)
        came = flow_volume(series.inflow, float(step_seconds))
        return balance(came, came, 0.0, 0.0, 0.0, 0.0, transit_checked=True)


@dataclass(frozen=True)
class Junction(_PassesOn, _Linked):
    """A junction: its outflow is the sum of its inflows."""

    KIND: ClassVar[str] = "junction"
    TABLE: ClassVar[str] = "junctions"


@dataclass(frozen=True)
class Source(_Linked):
    """A known hydrograph entering the network (an upstream gauge, a boundary inflow), given to `run`."""

    KIND: ClassVar[str] = "source"
    TABLE: ClassVar[str] = "sources"
    TAKES_INFLOW: ClassVar[bool] = False
    FORCING: ClassVar[str | None] = "inflows"

    def run(self, name: str, inflow: Array | None, context: Context) -> Series:
        """The given hydrograph at the points: finite flows >= 0 (a run never goes past its record)."""
        given = context.forcing.inflows[name]
        bad = np.flatnonzero(~(given >= 0.0) | ~np.isfinite(given))
        if bad.size:
            when = f"point {int(bad[0])}"
            if context.forcing.start is not None:
                when = (context.forcing.start + pd.Timedelta(seconds=context.step * int(bad[0]))).isoformat()
            raise ModelError(f"inflows.{name}", f"flows must be finite and >= 0; {float(given[bad[0]])!r} at {when}")
        return Series(outflow=fit(given, context.points, hold=True))

    def balance_of(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """What the source brings enters the network."""
        out = flow_volume(series.outflow, float(step_seconds))
        return balance(out, out, 0.0, 0.0, 0.0, 0.0, transit_checked=True, enters=out)


@dataclass(frozen=True)
class Diversion(_Element):
    """Takes flow by an inflow -> diverted table (linear between points, flat beyond), up to `capacity`.

    The diverted flow goes to element `to`, or out of the network without it; the rest goes on to
    `downstream`.
    """

    inflow: tuple[float, ...]
    diverted: tuple[float, ...]
    capacity: float | None = None
    to: str | None = None
    downstream: str | None = None

    KIND: ClassVar[str] = "diversion"
    TABLE: ClassVar[str] = "diversions"

    def __post_init__(self) -> None:
        inflow, diverted = curve(self.inflow, self.diverted, ("inflow", "diverted"), "the table", None)
        for i, (q, d) in enumerate(zip(inflow, diverted, strict=True)):
            if d < 0.0 or d > max(q, 0.0):
                raise ModelError(f"diverted[{i}]", f"must lie between 0 and the inflow {fmt(q)}, got {fmt(d)}")
        _set(self, "inflow", inflow)
        _set(self, "diverted", diverted)
        if self.capacity is not None:
            _set(self, "capacity", at_least(self.capacity, 0.0, "capacity"))
        _set(self, "to", _downstream(self.to, "to"))
        _set(self, "downstream", _downstream(self.downstream))

    def run(self, name: str, inflow: Array | None, context: Context) -> DiversionSeries:
        """The diverted flow by the table, capped, never more than what flows in."""
        assert inflow is not None
        flow = to_us(1.0, "flow", context.units)
        diverted = np.interp(inflow, np.asarray(self.inflow) * flow, np.asarray(self.diverted) * flow)
        if self.capacity is not None:
            diverted = np.minimum(diverted, self.capacity * flow)
        diverted = np.clip(diverted, 0.0, np.maximum(inflow, 0.0))
        return DiversionSeries(outflow=inflow - diverted, inflow=inflow, diverted=diverted)

    def passes(self, series: Series, target: str) -> Array | None:
        """The diverted flow to `to`, the rest to `downstream` (both, should they be the same element)."""
        assert isinstance(series, DiversionSeries)
        handed: Array | None = series.diverted if self.to == target else None
        if self.downstream == target:
            handed = series.outflow if handed is None else handed + series.outflow
        return handed

    def handed_on(self, series: Series) -> Series:
        """The diversion hands on both its flows."""
        return series

    def balance_of(self, series: Series, step_seconds: int, units: UnitSystem) -> Balance:
        """Inflow = what goes on + what is diverted."""
        assert isinstance(series, DiversionSeries)
        came = flow_volume(series.inflow, float(step_seconds))
        out = flow_volume(series.outflow, float(step_seconds))
        diverted = flow_volume(series.diverted, float(step_seconds))
        return balance(came, out + diverted, 0.0, 0.0, 0.0, 0.0, transit_checked=True)

    def leaves_network(self, series: Series, row: Balance, step_seconds: int) -> float:
        """An outlet's outflow, and the diverted flow when it goes out of the network."""
        assert isinstance(series, DiversionSeries)
        out = flow_volume(series.outflow, float(step_seconds)) if self.downstream is None else 0.0
        diverted = flow_volume(series.diverted, float(step_seconds)) if self.to is None else 0.0
        return out + diverted


@dataclass(frozen=True)
class Sink(_PassesOn):
    """An outlet of the network: what flows in leaves."""

    KIND: ClassVar[str] = "sink"
    TABLE: ClassVar[str] = "sinks"

    @property
    def downstream(self) -> None:  # type: ignore[override]
        """A sink has nothing downstream."""
        return None


Element: TypeAlias = Subbasin | Reach | Reservoir | Junction | Source | Diversion | Sink
KINDS: Final[tuple[type[Any], ...]] = (Subbasin, Reach, Reservoir, Junction, Source, Diversion, Sink)
TABLES: Final[dict[str, type[Any]]] = {cls.TABLE: cls for cls in KINDS}
Pool = Reservoir  # the name the network used for its reservoirs before they were one class


def element_path(element: Element, name: str) -> str:
    """The path of an element in the model file: "subbasins.upper"."""
    return f"{element.TABLE}.{name}"


def element_from(cls: type[Any], data: object, path: str) -> Element:
    """The element of kind `cls` a table describes (methods and outlets built from their tables)."""
    values = dict(mapping(data, path))
    if cls is Sink:
        for key in values:
            raise ModelError(f"{path}.{key}", "unknown key (a sink has no parameters)")
        return Sink()
    if cls is Reservoir:
        outlets = values.get("outlets", {})
        if not isinstance(outlets, Mapping):
            raise ModelError(f"{path}.outlets", "must be a table of outlets")
        values["outlets"] = {
            key: outlet_from(outlet, f"{path}.outlets.{checked_name(key, f'{path}.outlets')}")
            for key, outlet in outlets.items()
        }
    for process in cls.PROCESSES:
        if process in values and values[process] is not None:
            values[process] = method_from(process, values[process], f"{path}.{process}")
    return cast(Element, build(cls, values, path))
