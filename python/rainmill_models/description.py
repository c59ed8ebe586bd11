"""The event model description: frozen dataclasses, validated on construction, with TOML files.

A model is a basin (area, loss, transform, baseflow layers), optionally a channel reach below it and a
reservoir below that, and the options of a run. Every value is plain data (numbers, tuples, dicts of
components), so a description pickles, compares and round-trips through TOML. Durations are hours as
plain floats; the other quantities are in the description's unit system (`options.units`, see
`rainmill_models.units`).

Parameters are addressed by their dotted path in the description, the same path as in the TOML file:
"basin.loss.constant_rate", "basin.transform.tc", "basin.baseflow.deep.k", "reach.x",
"reservoir.outlets.gate.maximum_release". Every validation message starts with the path of the field
it is about.
"""

from __future__ import annotations

import dataclasses
import math
import tomllib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any, ClassVar, Final, Literal, Self, TypeAlias, cast

from .errors import ModelError as ModelError
from .methods.standard import MAX_CHAIN
from .methods.standard import fmt as _fmt
from .methods.standard import real as _real
from .units import SECONDS_PER_HOUR, UNIT_SYSTEMS, UnitSystem

if TYPE_CHECKING:
    from collections.abc import Sequence

    import pandas as pd

    from .network import Network
    from .run import Result

LOSS_METHODS: Final = ("deficit-constant",)
TRANSFORM_METHODS: Final = ("clark", "clark-truncated")
TransformMethod = Literal["clark", "clark-truncated"]


# ---- coercion and checks, shared by every component ----


def _optional_real(value: object, path: str) -> float | None:
    return None if value is None else _real(value, path)


def _whole(value: object, path: str) -> int:
    number = _real(value, path)
    if not number.is_integer():
        raise ModelError(path, f"must be a whole number, got {_fmt(number)}")
    return int(number)


def _at_least(value: float, low: float, path: str, what: str = "") -> None:
    if value < low:
        raise ModelError(path, f"must be >= {_fmt(low)}{what}, got {_fmt(value)}")


def _at_most(value: float, high: float, path: str) -> None:
    if value > high:
        raise ModelError(path, f"must be <= {_fmt(high)}, got {_fmt(value)}")


def _above(value: float, low: float, path: str) -> None:
    if not value > low:
        raise ModelError(path, f"must be > {_fmt(low)}, got {_fmt(value)}")


def _table(value: object, path: str) -> tuple[float, ...]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise ModelError(path, f"must be a list of numbers, not {type(value).__name__}")
    return tuple(_real(v, f"{path}[{i}]") for i, v in enumerate(value))


def _increasing(values: tuple[float, ...], path: str, strictly: bool = True) -> None:
    for i in range(1, len(values)):
        if values[i] < values[i - 1] or (strictly and values[i] == values[i - 1]):
            order = "strictly increasing" if strictly else "non-decreasing"
            raise ModelError(
                f"{path}[{i}]", f"the table must be {order}; {_fmt(values[i])} follows {_fmt(values[i - 1])}"
            )


def _name(name: object, path: str) -> str:
    if not isinstance(name, str) or not name or "." in name:
        raise ModelError(path, f"names must be non-empty texts without '.', got {name!r}")
    return name


def _set(obj: object, name: str, value: object) -> None:
    object.__setattr__(obj, name, value)


# ---- the components ----


@dataclass(frozen=True)
class Loss:
    """Deficit-and-constant loss: depths in inches (mm), the rate per hour, the drying time in hours."""

    initial_deficit: float
    max_deficit: float
    constant_rate: float
    time_to_dry: float
    method: Literal["deficit-constant"] = "deficit-constant"

    PATH: ClassVar[str] = "basin.loss"

    def __post_init__(self) -> None:
        for name in ("initial_deficit", "max_deficit", "constant_rate", "time_to_dry"):
            value = _real(getattr(self, name), f"{self.PATH}.{name}")
            _at_least(value, 0.0, f"{self.PATH}.{name}")
            _set(self, name, value)
        if self.method not in LOSS_METHODS:
            raise ModelError(f"{self.PATH}.method", f"must be one of {list(LOSS_METHODS)}, got {self.method!r}")


@dataclass(frozen=True)
class Transform:
    """Clark unit hydrograph: time of concentration `tc` and storage coefficient `r`, in hours.

    `method="clark"` (the default) keeps the storage's recession until the unit hydrograph carries the
    whole unit volume; "clark-truncated" is the extension's form, which ends it after ceil(tc / step)
    ordinates.
    """

    tc: float
    r: float
    method: TransformMethod = "clark"

    PATH: ClassVar[str] = "basin.transform"

    def __post_init__(self) -> None:
        for name in ("tc", "r"):
            value = _real(getattr(self, name), f"{self.PATH}.{name}")
            _above(value, 0.0, f"{self.PATH}.{name}")
            _set(self, name, value)
        if self.method not in TRANSFORM_METHODS:
            raise ModelError(f"{self.PATH}.method", f"must be one of {list(TRANSFORM_METHODS)}, got {self.method!r}")


@dataclass(frozen=True)
class BaseflowLayer:
    """One groundwater layer: its share of the loss, K in hours, the flow it starts from, the chain length."""

    fraction: float
    k: float
    initial_q: float = 0.0
    reservoirs: int = 1

    def __post_init__(self) -> None:
        fraction = _real(self.fraction, "fraction")
        if not 0.0 <= fraction <= 1.0:
            raise ModelError("fraction", f"must be between 0 and 1, got {_fmt(fraction)}")
        k = _real(self.k, "k")
        _at_least(k, 1.0 / SECONDS_PER_HOUR, "k", " h (one second)")
        initial_q = _real(self.initial_q, "initial_q")
        _at_least(initial_q, 0.0, "initial_q")
        reservoirs = _whole(self.reservoirs, "reservoirs")
        _at_least(reservoirs, 1, "reservoirs")
        _at_most(reservoirs, MAX_CHAIN, "reservoirs")
        _set(self, "fraction", fraction)
        _set(self, "k", k)
        _set(self, "initial_q", initial_q)
        _set(self, "reservoirs", reservoirs)


@dataclass(frozen=True)
class Basin:
    """The basin: area in acres (km²), its loss, its transform and its named baseflow layers."""

    area: float
    loss: Loss
    transform: Transform
    baseflow: dict[str, BaseflowLayer] = field(default_factory=dict)

    PATH: ClassVar[str] = "basin"

    def __post_init__(self) -> None:
        area = _real(self.area, f"{self.PATH}.area")
        _above(area, 0.0, f"{self.PATH}.area")
        _set(self, "area", area)
        if not isinstance(self.loss, Loss):
            raise ModelError(f"{self.PATH}.loss", "must be a Loss")
        if not isinstance(self.transform, Transform):
            raise ModelError(f"{self.PATH}.transform", "must be a Transform")
        layers: dict[str, BaseflowLayer] = {}
        for name, layer in dict(self.baseflow).items():
            path = f"{self.PATH}.baseflow.{_name(name, f'{self.PATH}.baseflow')}"
            if not isinstance(layer, BaseflowLayer):
                raise ModelError(path, "must be a BaseflowLayer")
            layers[name] = layer
        total = math.fsum(layer.fraction for layer in layers.values())
        if total > 1.0 + 1e-9:
            raise ModelError(f"{self.PATH}.baseflow", f"the fractions add up to {_fmt(total)}, more than 1")
        _set(self, "baseflow", layers)


@dataclass(frozen=True)
class Reach:
    """Muskingum reach: K of the whole reach in hours, weighting x, sub-reaches, first outflow (cfs/m³/s).

    Without `initial_outflow` the routing starts from the first inflow value.
    """

    k: float
    x: float
    sub_reaches: int = 1
    initial_outflow: float | None = None

    PATH: ClassVar[str] = "reach"

    def __post_init__(self) -> None:
        k = _real(self.k, f"{self.PATH}.k")
        _above(k, 0.0, f"{self.PATH}.k")
        x = _real(self.x, f"{self.PATH}.x")
        if not 0.0 <= x <= 0.5:
            raise ModelError(f"{self.PATH}.x", f"must be between 0 and 0.5, got {_fmt(x)}")
        sub_reaches = _whole(self.sub_reaches, f"{self.PATH}.sub_reaches")
        _at_least(sub_reaches, 1, f"{self.PATH}.sub_reaches")
        _at_most(sub_reaches, MAX_CHAIN, f"{self.PATH}.sub_reaches")
        initial = _optional_real(self.initial_outflow, f"{self.PATH}.initial_outflow")
        if initial is not None:
            _at_least(initial, 0.0, f"{self.PATH}.initial_outflow")
        _set(self, "k", k)
        _set(self, "x", x)
        _set(self, "sub_reaches", sub_reaches)
        _set(self, "initial_outflow", initial)


def _bounds(obj: object, names: Sequence[str]) -> None:
    for name in names:
        _set(obj, name, _optional_real(getattr(obj, name), name))


def _rating(obj: ControlledOutlet | UncontrolledOutlet) -> None:
    elevation = _table(obj.elevation, "elevation")
    discharge = _table(obj.discharge, "discharge")
    if len(elevation) != len(discharge):
        raise ModelError("discharge", f"has {len(discharge)} values for {len(elevation)} elevations")
    if len(elevation) < 2:
        raise ModelError("elevation", "a rating curve needs at least 2 points")
    _increasing(elevation, "elevation")
    _increasing(discharge, "discharge", strictly=False)
    if discharge[0] < 0.0:
        raise ModelError("discharge[0]", f"must be >= 0, got {_fmt(discharge[0])}")
    _set(obj, "elevation", elevation)
    _set(obj, "discharge", discharge)


def _release_cap(obj: SpecifiedOutlet | ControlledOutlet) -> None:
    if obj.maximum_release is not None:
        _at_least(obj.maximum_release, 0.0, "maximum_release")


@dataclass(frozen=True)
class ConstantOutlet:
    """A constant release while the pool stands between the optional elevations."""

    discharge: float
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None

    KIND: ClassVar[str] = "constant"

    def __post_init__(self) -> None:
        discharge = _real(self.discharge, "discharge")
        _at_least(discharge, 0.0, "discharge")
        _set(self, "discharge", discharge)
        _bounds(self, ("minimum_elevation", "maximum_elevation"))


@dataclass(frozen=True)
class SpecifiedOutlet:
    """A prescribed release: `discharge` at points `step` hours apart from the start of the run."""

    discharge: tuple[float, ...]
    step: float
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None
    maximum_release: float | None = None

    KIND: ClassVar[str] = "specified"

    def __post_init__(self) -> None:
        discharge = _table(self.discharge, "discharge")
        if not discharge:
            raise ModelError("discharge", "needs at least one value")
        for i, value in enumerate(discharge):
            _at_least(value, 0.0, f"discharge[{i}]")
        step = _real(self.step, "step")
        _at_least(step, 1.0 / SECONDS_PER_HOUR, "step", " h (one second)")
        _set(self, "discharge", discharge)
        _set(self, "step", step)
        _bounds(self, ("minimum_elevation", "maximum_elevation", "maximum_release"))
        _release_cap(self)


@dataclass(frozen=True)
class ControlledOutlet:
    """A gated outlet with its elevation-discharge rating, optional gate elevations and release cap."""

    elevation: tuple[float, ...]
    discharge: tuple[float, ...]
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None
    maximum_release: float | None = None

    KIND: ClassVar[str] = "controlled"

    def __post_init__(self) -> None:
        _rating(self)
        _bounds(self, ("minimum_elevation", "maximum_elevation", "maximum_release"))
        _release_cap(self)


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


@dataclass(frozen=True)
class Reservoir:
    """A level pool: elevation-storage curve (storage in ft³ or m³), starting elevation, named outlets."""

    elevation: tuple[float, ...]
    storage: tuple[float, ...]
    initial_elevation: float
    outlets: dict[str, Outlet] = field(default_factory=dict)

    PATH: ClassVar[str] = "reservoir"

    def __post_init__(self) -> None:
        p = self.PATH

        def at(name: str) -> str:
            return f"{p}.{name}" if p else name

        elevation = _table(self.elevation, at("elevation"))
        storage = _table(self.storage, at("storage"))
        if len(elevation) != len(storage):
            raise ModelError(at("storage"), f"has {len(storage)} values for {len(elevation)} elevations")
        if len(elevation) < 2:
            raise ModelError(at("elevation"), "the storage curve needs at least 2 points")
        _increasing(elevation, at("elevation"))
        _increasing(storage, at("storage"))
        if storage[0] < 0.0:
            raise ModelError(at("storage[0]"), f"must be >= 0, got {_fmt(storage[0])}")
        initial = _real(self.initial_elevation, at("initial_elevation"))
        if not elevation[0] <= initial <= elevation[-1]:
            raise ModelError(
                at("initial_elevation"),
                f"{_fmt(initial)} is outside the storage curve ({_fmt(elevation[0])} to {_fmt(elevation[-1])})",
            )
        outlets: dict[str, Outlet] = {}
        for name, outlet in dict(self.outlets).items():
            path = at(f"outlets.{_name(name, at('outlets'))}")
            if not isinstance(outlet, tuple(OUTLET_KINDS.values())):
                raise ModelError(path, "must be an outlet (ConstantOutlet, SpecifiedOutlet, ...)")
            outlets[name] = outlet
        _set(self, "elevation", elevation)
        _set(self, "storage", storage)
        _set(self, "initial_elevation", initial)
        _set(self, "outlets", outlets)


@dataclass(frozen=True)
class Options:
    """How a model runs.

    - `units`: "US" (inches, acres, cfs, ft³) or "SI" (mm, km², m³/s, m³) for the description, the
      rainfall it is given and the results it reports;
    - `step`: the computation step in hours (the rainfall is disaggregated to it); by default the
      rainfall's own step;
    - `recession`: without an explicit end, the run goes on until the model's outflow and the total
      baseflow, after their peaks, have come back down to within this fraction of their rise above
      their starting flows (and the direct runoff is complete);
    - `max_horizon`: the longest run, in hours, that this extension of the horizon may reach.
    """

    name: str = "event model"
    units: UnitSystem = "US"
    step: float | None = None
    recession: float = 0.01
    max_horizon: float = 24.0 * 90

    PATH: ClassVar[str] = "options"

    def __post_init__(self) -> None:
        p = self.PATH
        if not isinstance(self.name, str):
            raise ModelError(f"{p}.name", f"must be a text, not {type(self.name).__name__}")
        if self.units not in UNIT_SYSTEMS:
            raise ModelError(f"{p}.units", f"must be one of {list(UNIT_SYSTEMS)}, got {self.units!r}")
        step = _optional_real(self.step, f"{p}.step")
        if step is not None:
            _at_least(step, 1.0 / SECONDS_PER_HOUR, f"{p}.step", " h (one second)")
        recession = _real(self.recession, f"{p}.recession")
        if not 0.0 < recession < 1.0:
            raise ModelError(f"{p}.recession", f"must lie strictly between 0 and 1, got {_fmt(recession)}")
        horizon = _real(self.max_horizon, f"{p}.max_horizon")
        _above(horizon, 0.0, f"{p}.max_horizon")
        _set(self, "step", step)
        _set(self, "recession", recession)
        _set(self, "max_horizon", horizon)


class ModelFile:
    """TOML files of a description that converts to and from plain data (`from_dict`, `to_dict`)."""

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        """The description a TOML-shaped mapping describes."""
        raise NotImplementedError

    def to_dict(self) -> dict[str, Any]:
        """Plain, TOML-shaped data."""
        raise NotImplementedError

    @classmethod
    def from_toml(cls, text: str) -> Self:
        """The model a TOML document describes."""
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            raise ModelError("", f"not a valid TOML document: {error}") from error
        except RecursionError:
            raise ModelError("", "the TOML document is nested too deeply") from None
        return cls.from_dict(data)

    def to_toml(self) -> str:
        """The description as a TOML document (needs `tomli-w`)."""
        import tomli_w

        return tomli_w.dumps(self.to_dict())

    @classmethod
    def load(cls, path: str | Path) -> Self:
        """Read a model file (UTF-8, a regular file)."""
        from .files import read_text

        return cls.from_toml(read_text(path))

    def save(self, path: str | Path) -> Path:
        """Write the model file all or nothing; returns its path."""
        from .files import atomic_write

        text = self.to_toml()
        with atomic_write(path) as stream:
            stream.write(text)
        return Path(path)


@dataclass(frozen=True)
class Model(ModelFile):
    """The event model: a basin, optionally a reach below it and a reservoir below that."""

    basin: Basin
    reach: Reach | None = None
    reservoir: Reservoir | None = None
    options: Options = field(default_factory=Options)

    def __post_init__(self) -> None:
        for name, cls in (("basin", Basin), ("reach", Reach), ("reservoir", Reservoir), ("options", Options)):
            value = getattr(self, name)
            if not isinstance(value, cls) and not (value is None and name in ("reach", "reservoir")):
                raise ModelError(name, f"must be a {cls.__name__}")
        self.network  # noqa: B018 - the network form validates the methods (and the step, when set)

    @cached_property
    def network(self) -> Network:
        """The model as a network of up to three elements: "basin", "reach" and "reservoir"."""
        from .network import Network

        try:
            return Network.from_dict(self.to_dict())
        except ModelError as error:
            raise chain_error(error) from None

    # ---- files and plain data ----

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        """The model a TOML-shaped mapping describes (unknown keys are refused, naming their path)."""
        return cast(Self, _model_from_dict(data))

    def to_dict(self) -> dict[str, Any]:
        """Plain, TOML-shaped data (dicts, lists, numbers, texts); absent optional values are left out."""
        return _model_to_dict(self)

    # ---- parameters ----

    def get(self, path: str) -> float:
        """The numeric parameter at a dotted path, as a float (see `get_parameter`)."""
        return get_parameter(self, path)

    def with_parameters(self, values: Mapping[str, float]) -> Model:
        """A copy with the parameters at the given dotted paths replaced (see `with_parameters`)."""
        return with_parameters(self, values)

    # ---- running ----

    def run(
        self,
        rain: pd.Series,
        *,
        end: object = None,
        missing: Literal["raise", "zero"] = "raise",
        units: UnitSystem | None = None,
    ) -> Result:
        """Run the model on a gross rainfall series (depth per step, DatetimeIndex of interval starts).

        See `rainmill_models.run.run_model`.
        """
        from .run import run_model

        return run_model(self, rain, end=end, missing=missing, units=units)


# ---- checks that need the computation step ----


def check_step(model: Model, step_seconds: int) -> None:
    """Refuse parameters that the computation step makes unstable or negative, naming the field.

    The linear reservoirs (the Clark storage, each baseflow reservoir) oscillate into negative flows
    when their constant is shorter than half a step; a Muskingum sub-reach needs the step within
    [2Kx, 2K(1 - x)] for all three coefficients to stay non-negative.
    """
    try:
        model.network.check_step(step_seconds)
    except ModelError as error:
        raise chain_error(error) from None


def chain_error(error: ModelError) -> ModelError:
    """A network's error about a single-chain model, its path as the chain's file writes it."""
    path = error.field
    for old, new in (
        ("subbasins.basin.baseflow.layers.", "basin.baseflow."),
        ("subbasins.basin.", "basin."),
        ("reaches.reach.routing.", "reach."),
        ("reservoirs.reservoir.", "reservoir."),
    ):
        if path.startswith(old):
            path = new + path.removeprefix(old)
            break
    return ModelError(path, error.detail)


# ---- plain data <-> components ----


def _fields(cls: type[object], data: object, path: str, required: Sequence[str]) -> dict[str, Any]:
    if not isinstance(data, Mapping):
        raise ModelError(path, f"must be a table, not {type(data).__name__}")
    known = {f.name for f in dataclasses.fields(cast(Any, cls))}
    for key in data:
        if key not in known:
            raise ModelError(f"{path}.{key}" if path else str(key), "unknown key")
    for key in required:
        if key not in data:
            raise ModelError(f"{path}.{key}" if path else key, "missing")
    return dict(data)


def _component[T](cls: type[T], data: object, path: str, required: Sequence[str], rooted: bool) -> T:
    values = _fields(cls, data, path, required)
    try:
        return cls(**values)
    except ModelError as error:
        raise (error if rooted else error.under(path)) from None


def _outlet_from_dict(data: object, path: str) -> Outlet:
    if not isinstance(data, Mapping):
        raise ModelError(path, f"must be a table, not {type(data).__name__}")
    values = dict(data)
    kind = values.pop("kind", None)
    if not isinstance(kind, str) or kind not in OUTLET_KINDS:
        raise ModelError(f"{path}.kind", f"must be one of {list(OUTLET_KINDS)}, got {kind!r}")
    cls = OUTLET_KINDS[kind]
    required = [f.name for f in dataclasses.fields(cls) if f.default is dataclasses.MISSING]
    return _component(cls, values, path, required, rooted=False)


def _model_from_dict(data: Mapping[str, Any]) -> Model:
    top = _fields(Model, data, "", ["basin"])
    basin = dict(_fields(Basin, top["basin"], "basin", ["area", "loss", "transform"]))
    basin["loss"] = _component(
        Loss,
        basin["loss"],
        "basin.loss",
        ["initial_deficit", "max_deficit", "constant_rate", "time_to_dry"],
        rooted=True,
    )
    basin["transform"] = _component(Transform, basin["transform"], "basin.transform", ["tc", "r"], rooted=True)
    layers = basin.get("baseflow", {})
    if not isinstance(layers, Mapping):
        raise ModelError("basin.baseflow", "must be a table of layers")
    basin["baseflow"] = {
        name: _component(
            BaseflowLayer, layer, f"basin.baseflow.{_name(name, 'basin.baseflow')}", ["fraction", "k"], rooted=False
        )
        for name, layer in layers.items()
    }
    parts: dict[str, Any] = {"basin": Basin(**basin)}
    if "reach" in top:
        parts["reach"] = _component(Reach, top["reach"], "reach", ["k", "x"], rooted=True)
    if "reservoir" in top:
        reservoir = dict(
            _fields(Reservoir, top["reservoir"], "reservoir", ["elevation", "storage", "initial_elevation"])
        )
        outlets = reservoir.get("outlets", {})
        if not isinstance(outlets, Mapping):
            raise ModelError("reservoir.outlets", "must be a table of outlets")
        reservoir["outlets"] = {
            name: _outlet_from_dict(outlet, f"reservoir.outlets.{_name(name, 'reservoir.outlets')}")
            for name, outlet in outlets.items()
        }
        parts["reservoir"] = Reservoir(**reservoir)
    if "options" in top:
        parts["options"] = _component(Options, top["options"], "options", [], rooted=True)
    return Model(**parts)


def _plain(value: Any) -> Any:
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        out: dict[str, Any] = {}
        if hasattr(value, "KIND"):
            out["kind"] = value.KIND
        for f in dataclasses.fields(value):
            item = getattr(value, f.name)
            if item is not None:
                out[f.name] = _plain(item)
        return out
    if isinstance(value, dict):
        return {name: _plain(item) for name, item in value.items()}
    if isinstance(value, tuple):
        return [_plain(item) for item in value]
    return value


def _model_to_dict(model: Model) -> dict[str, Any]:
    data: dict[str, Any] = {"options": _plain(model.options), "basin": _plain(model.basin)}
    if not data["basin"]["baseflow"]:
        del data["basin"]["baseflow"]
    if model.reach is not None:
        data["reach"] = _plain(model.reach)
    if model.reservoir is not None:
        data["reservoir"] = _plain(model.reservoir)
    return data


# ---- parameters by path ----


def _walk(model: Model, path: str) -> list[tuple[object, str]]:
    """The chain of (container, key) pairs from the model down to the parameter at `path`."""
    keys = path.split(".")
    chain: list[tuple[object, str]] = []
    node: object = model
    for i, key in enumerate(keys):
        here = ".".join(keys[: i + 1])
        if isinstance(node, dict):
            if key not in node:
                raise ModelError(here, f"no such entry (there are: {', '.join(node) or 'none'})")
            chain.append((node, key))
            node = node[key]
        elif dataclasses.is_dataclass(node) and key in {f.name for f in dataclasses.fields(node)}:
            chain.append((node, key))
            node = getattr(node, key)
        else:
            raise ModelError(here, "no such parameter in this model")
        if node is None and i < len(keys) - 1:
            raise ModelError(here, "is not part of this model")
    return chain


def _number_at(chain: list[tuple[object, str]], path: str) -> float:
    container, key = chain[-1]
    value = container[key] if isinstance(container, dict) else getattr(container, key)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ModelError(path, f"is not a numeric parameter ({type(value).__name__})")
    return float(value)


def get_parameter(model: Model, path: str) -> float:
    """The numeric parameter at a dotted path (durations in hours), e.g. "basin.transform.tc"."""
    return _number_at(_walk(model, path), path)


def _replace(node: object, key: str, value: object) -> object:
    if isinstance(node, dict):
        return {**node, key: value}
    return dataclasses.replace(cast(Any, node), **{key: value})


def with_parameters(model: Model, values: Mapping[str, float]) -> Model:
    """A copy of `model` with the numeric parameters at the given dotted paths replaced.

    The new description is validated as a whole; an invalid value raises `ModelError` naming its path.
    """
    result = model
    for path, value in values.items():
        chain = _walk(result, path)
        _number_at(chain, path)  # the path must lead to a number
        new: object = value
        for i in range(len(chain) - 1, -1, -1):
            node, key = chain[i]
            try:
                new = _replace(node, key, new)
            except ModelError as error:
                if isinstance(node, (BaseflowLayer, *OUTLET_KINDS.values())):
                    prefix = ".".join(k for _, k in chain[:i])
                    raise error.under(prefix) from None
                raise
        result = cast(Model, new)
    return result
