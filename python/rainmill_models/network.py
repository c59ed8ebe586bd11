"""Watersheds as networks: subbasins, reaches, reservoirs, junctions, sources, diversions and sinks.

A network is a set of named elements, each naming the element its outflow goes to (`downstream`);
an element without `downstream` is an outlet of the network. The model file has one table per
element, grouped by kind, and the options of the run:

    [options]                      # as in event models: name, units, step, recession, max_horizon
    gauges = ["confluence"]        # optional: the elements with observations (marked on figures)

    [subbasins.upper]              # area; loss, transform, optional baseflow and snow by `method`
    area = 1600.0
    downstream = "upper-reach"
    [subbasins.upper.loss]
    method = "deficit-constant"    # any loss method of the registry (rainmill_models.methods)
    initial_deficit = 0.6          # ... its parameters
    [subbasins.upper.transform]
    method = "clark"
    tc = 4.0
    r = 0.5
    [subbasins.upper.baseflow]
    method = "linear-reservoirs"
    [subbasins.upper.baseflow.layers.deep]
    fraction = 0.2
    k = 72.0

    [reaches.upper-reach]          # routing of the sum of its inflows
    downstream = "confluence"
    routing = { method = "muskingum", k = 1.5, x = 0.15 }

    [reservoirs.pool]              # a level pool: as an event model's reservoir, plus downstream
    [junctions.confluence]         # the sum of its inflows
    [sources.upstream-gauge]       # a known hydrograph entering the network (given to `run`)
    [diversions.canal]             # inflow -> diverted table, capped; `to` an element or out
    inflow = [0.0, 100.0, 1000.0]
    diverted = [0.0, 20.0, 50.0]
    capacity = 40.0
    to = "pool"                    # optional: without it the diverted flow leaves the network
    [sinks.outlet]                 # an explicit outlet

Files of the older single-chain form (`[basin]`, `[reach]`, `[reservoir]`) load as a network of
three elements named "basin", "reach" and "reservoir".

Parameters are addressed by their dotted path: "subbasins.upper.loss.constant_rate",
"reaches.upper-reach.routing.k", "reservoirs.pool.outlets.gate.maximum_release". A tuple of paths,
or a path with "*" in place of the element name, writes one value to several places (tied
parameters). Every validation message starts with the path of the field it is about.
"""

from __future__ import annotations

import dataclasses
import graphlib
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar, Final, Self, cast

from . import methods
from . import units as u
from .description import OUTLET_KINDS, ModelFile, Options, Outlet, Reservoir, _outlet_from_dict, _plain
from .errors import ModelError
from .methods import method_class
from .methods.standard import at_least, fmt, real

if TYPE_CHECKING:
    from .network_run import NetworkResult

# The deepest nesting a model file may have: far beyond any layout, far below the interpreter's limit.
MAX_DEPTH: Final = 32


def _name(name: object, path: str) -> str:
    if not isinstance(name, str) or not name or "." in name or "*" in name:
        raise ModelError(path, f"names must be non-empty texts without '.' or '*', got {name!r}")
    return name


def _downstream(value: object, path: str) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str) or not value:
        raise ModelError(f"{path}.downstream", f"must be the name of an element, got {value!r}")
    return value


def _method(process: str, value: object, path: str) -> Any:
    """The method instance a table describes (`method = "..."` and its parameters)."""
    if not isinstance(value, Mapping):
        if hasattr(type(value), "check_step") and dataclasses.is_dataclass(value):
            return value
        raise ModelError(path, f"must be a table with a method, not {type(value).__name__}")
    data = dict(value)
    cls = method_class(process, data.pop("method", None), f"{path}.method")
    return _build(cls, data, path)


def _build(cls: type[Any], data: Mapping[str, Any], path: str) -> Any:
    known = {f.name: f for f in dataclasses.fields(cls)}
    for key in data:
        if key not in known:
            raise ModelError(f"{path}.{key}", "unknown key")
    values = dict(data)
    for name, f in known.items():
        if name not in values and f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING:
            raise ModelError(f"{path}.{name}", "missing")
        # a table of layers: built from the field's annotation (dict[str, Layer]) when it names a class
        if name in values and isinstance(values[name], Mapping) and name == "layers":
            values[name] = {
                key: _build(methods.standard.Layer, layer, f"{path}.{name}.{_name(key, f'{path}.{name}')}")
                if isinstance(layer, Mapping)
                else layer
                for key, layer in values[name].items()
            }
    try:
        return cls(**values)
    except ModelError as error:
        raise error.under(path) from None
    except (TypeError, ValueError, OverflowError, RecursionError) as error:
        raise ModelError(path, f"invalid values: {error}") from None


def _method_dict(method: Any) -> dict[str, Any]:
    process_name = _registered_name(method)
    return {"method": process_name, **_plain(method)}


def _registered_name(method: Any) -> str:
    for process in methods.PROCESSES:
        for name in methods.method_names(process):
            if method_class(process, name, "") is type(method):
                return name
    raise ModelError("", f"{type(method).__name__} is not a registered method")


# ---- the elements ----


@dataclass(frozen=True)
class Subbasin:
    """A subbasin: area in acres (km²), its loss, transform, optional baseflow and snow methods."""

    area: float
    loss: Any
    transform: Any
    baseflow: Any = None
    snow: Any = None
    downstream: str | None = None

    KIND: ClassVar[str] = "subbasin"
    TABLE: ClassVar[str] = "subbasins"
    PROCESSES: ClassVar[tuple[str, ...]] = ("loss", "transform", "baseflow", "snow")

    def __post_init__(self) -> None:
        area = real(self.area, "area")
        if not area > 0.0:
            raise ModelError("area", f"must be > 0, got {fmt(area)}")
        object.__setattr__(self, "area", area)
        for process in self.PROCESSES:
            value = getattr(self, process)
            if value is None and process in ("baseflow", "snow"):
                continue
            if isinstance(value, Mapping):
                object.__setattr__(self, process, _method(process, value, process))
            elif not hasattr(type(value), "check_step"):
                raise ModelError(process, f"must be a {process} method, not {type(value).__name__}")
        object.__setattr__(self, "downstream", _downstream(self.downstream, ""))


@dataclass(frozen=True)
class Reach:
    """A reach: the routing method of the sum of its inflows."""

    routing: Any
    downstream: str | None = None

    KIND: ClassVar[str] = "reach"
    TABLE: ClassVar[str] = "reaches"
    PROCESSES: ClassVar[tuple[str, ...]] = ("routing",)

    def __post_init__(self) -> None:
        if isinstance(self.routing, Mapping):
            object.__setattr__(self, "routing", _method("routing", self.routing, "routing"))
        elif not hasattr(type(self.routing), "check_step"):
            raise ModelError("routing", f"must be a routing method, not {type(self.routing).__name__}")
        object.__setattr__(self, "downstream", _downstream(self.downstream, ""))


@dataclass(frozen=True)
class Pool(Reservoir):
    """A reservoir element: a level pool (as `Reservoir`) with any number of inflows."""

    downstream: str | None = None

    KIND: ClassVar[str] = "reservoir"
    TABLE: ClassVar[str] = "reservoirs"
    PATH: ClassVar[str] = ""

    def __post_init__(self) -> None:
        super().__post_init__()
        object.__setattr__(self, "downstream", _downstream(self.downstream, ""))


@dataclass(frozen=True)
class Junction:
    """A junction: its outflow is the sum of its inflows."""

    downstream: str | None = None

    KIND: ClassVar[str] = "junction"
    TABLE: ClassVar[str] = "junctions"

    def __post_init__(self) -> None:
        object.__setattr__(self, "downstream", _downstream(self.downstream, ""))


@dataclass(frozen=True)
class Source:
    """A known hydrograph entering the network (an upstream gauge, a boundary inflow), given to `run`."""

    downstream: str | None = None

    KIND: ClassVar[str] = "source"
    TABLE: ClassVar[str] = "sources"

    def __post_init__(self) -> None:
        object.__setattr__(self, "downstream", _downstream(self.downstream, ""))


@dataclass(frozen=True)
class Diversion:
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
        inflow = _numbers(self.inflow, "inflow")
        diverted = _numbers(self.diverted, "diverted")
        if len(inflow) != len(diverted):
            raise ModelError("diverted", f"has {len(diverted)} values for {len(inflow)} inflows")
        if len(inflow) < 2:
            raise ModelError("inflow", "the table needs at least 2 points")
        for i in range(1, len(inflow)):
            if not inflow[i] > inflow[i - 1]:
                raise ModelError(f"inflow[{i}]", "the table must be strictly increasing")
        for i, (q, d) in enumerate(zip(inflow, diverted, strict=True)):
            if d < 0.0 or d > max(q, 0.0):
                raise ModelError(f"diverted[{i}]", f"must lie between 0 and the inflow {fmt(q)}, got {fmt(d)}")
        object.__setattr__(self, "inflow", inflow)
        object.__setattr__(self, "diverted", diverted)
        if self.capacity is not None:
            object.__setattr__(self, "capacity", at_least(self.capacity, 0.0, "capacity"))
        if self.to is not None and (not isinstance(self.to, str) or not self.to):
            raise ModelError("to", f"must be the name of an element, got {self.to!r}")
        object.__setattr__(self, "downstream", _downstream(self.downstream, ""))


@dataclass(frozen=True)
class Sink:
    """An outlet of the network: what flows in leaves."""

    KIND: ClassVar[str] = "sink"
    TABLE: ClassVar[str] = "sinks"

    @property
    def downstream(self) -> None:
        """A sink has nothing downstream."""
        return None


def _numbers(value: object, path: str) -> tuple[float, ...]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise ModelError(path, f"must be a list of numbers, not {type(value).__name__}")
    return tuple(real(v, f"{path}[{i}]") for i, v in enumerate(value))


Element = Subbasin | Reach | Pool | Junction | Source | Diversion | Sink
KINDS: Final[tuple[type[Any], ...]] = (Subbasin, Reach, Pool, Junction, Source, Diversion, Sink)
TABLES: Final[dict[str, type[Any]]] = {cls.TABLE: cls for cls in KINDS}
NEEDS_INFLOW: Final = (Reach, Pool, Junction, Diversion, Sink)
NO_INFLOW: Final = (Subbasin, Source)


def element_path(element: Element, name: str) -> str:
    """The path of an element in the model file: "subbasins.upper"."""
    return f"{element.TABLE}.{name}"


def _depth(value: object, limit: int = MAX_DEPTH) -> int:
    stack: list[tuple[object, int]] = [(value, 1)]
    deepest = 0
    while stack:
        item, depth = stack.pop()
        deepest = max(deepest, depth)
        if depth > limit:
            return depth
        if isinstance(item, Mapping):
            stack.extend((v, depth + 1) for v in item.values())
        elif isinstance(item, (list, tuple)):
            stack.extend((v, depth + 1) for v in item)
    return deepest


# ---- the network ----


@dataclass(frozen=True)
class Network(ModelFile):
    """A watershed as a network of named elements and the options of its runs."""

    elements: dict[str, Element]
    options: Options = field(default_factory=Options)
    gauges: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        if not isinstance(self.options, Options):
            raise ModelError("options", "must be Options")
        elements = dict(self.elements)
        if not elements:
            raise ModelError("", "a network needs at least one element")
        for name, element in elements.items():
            if not isinstance(element, KINDS):
                raise ModelError(str(name), f"must be an element ({', '.join(c.__name__ for c in KINDS)})")
            _name(name, element.TABLE)
        object.__setattr__(self, "elements", elements)
        object.__setattr__(self, "gauges", tuple(self.gauges))
        for i, gauge in enumerate(self.gauges):
            if gauge not in elements:
                raise ModelError(f"options.gauges[{i}]", f"no element named {gauge!r}")
        order = _order(elements)
        object.__setattr__(self, "_order", order)
        object.__setattr__(self, "_upstream", _upstream(elements, order))
        if self.options.step is not None:
            self.check_step(u.step_seconds(self.options.step))

    # ---- structure ----

    @property
    def order(self) -> tuple[str, ...]:
        """The element names, every element after those that flow into it."""
        return cast(tuple[str, ...], self.__dict__["_order"])

    def upstream(self, name: str) -> list[str]:
        """The elements whose outflow (or diverted flow) enters `name`, in the network's order."""
        return list(self.__dict__["_upstream"][name])

    def outlets(self) -> list[str]:
        """The elements whose outflow leaves the network (sinks and elements without downstream)."""
        return [name for name in self.order if self.elements[name].downstream is None]

    def subbasins(self) -> dict[str, Subbasin]:
        """The subbasins by name."""
        return {n: e for n, e in self.elements.items() if isinstance(e, Subbasin)}

    def sources(self) -> list[str]:
        """The names of the sources."""
        return [n for n, e in self.elements.items() if isinstance(e, Source)]

    def path(self, name: str) -> str:
        """The path of element `name` ("reaches.upper")."""
        return element_path(self.elements[name], name)

    def check_step(self, step_seconds: int) -> None:
        """Refuse a step that an element's methods cannot resolve, naming the field.

        A copy made by a parameter setter checks only the elements it rebuilt once the others have
        passed at this step (the setter remembers the steps, shared by all the copies it makes).
        """
        passed: set[int] | None = self.__dict__.get("_others_passed")
        names: Iterable[str] = self.elements
        if passed is not None and step_seconds in passed:
            names = self.__dict__["_rebuilt"]
        for name in names:
            element = self.elements[name]
            for process in getattr(element, "PROCESSES", ()):
                method = getattr(element, process)
                if method is not None:
                    try:
                        method.check_step(step_seconds)
                    except ModelError as error:
                        raise error.under(f"{element_path(element, name)}.{process}") from None
            if isinstance(element, Pool):
                for outlet_name, outlet in element.outlets.items():
                    if u.step_seconds(getattr(outlet, "step", 1.0)) < 1:
                        raise ModelError(f"reservoirs.{name}.outlets.{outlet_name}.step", "must be at least one second")
        if passed is not None:
            passed.add(step_seconds)

    # ---- files and plain data ----

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        """The network a TOML-shaped mapping describes (either layout; unknown keys refused by path)."""
        if not isinstance(data, Mapping):
            raise ModelError("", f"a model must be a table, not {type(data).__name__}")
        if _depth(data) > MAX_DEPTH:
            raise ModelError("", f"the model is nested more than {MAX_DEPTH} tables deep")
        if "basin" in data:
            return cast(Self, _from_chain(data))
        return cast(Self, _from_tables(data))

    def to_dict(self) -> dict[str, Any]:
        """Plain, TOML-shaped data in the network layout."""
        data: dict[str, Any] = {"options": _plain(self.options)}
        if self.gauges:
            data["options"]["gauges"] = list(self.gauges)
        for name, element in self.elements.items():
            table = data.setdefault(element.TABLE, {})
            entry: dict[str, Any] = {}
            for f in dataclasses.fields(element):
                value = getattr(element, f.name)
                if value is None:
                    continue
                if f.name in getattr(element, "PROCESSES", ()):
                    entry[f.name] = _method_dict(value)
                elif f.name == "outlets":
                    entry[f.name] = {k: _plain(v) for k, v in value.items()}
                else:
                    entry[f.name] = _plain(value)
            table[name] = entry
        return data

    # ---- parameters ----

    def get(self, path: str) -> float:
        """The numeric parameter at a dotted path (see `get_parameter`)."""
        return get_parameter(self, path)

    def with_parameters(self, values: Mapping[str, float] | Mapping[ParameterKey, float]) -> Network:
        """A copy with the parameters at the given paths replaced (see `with_parameters`)."""
        return with_parameters(self, values)

    # ---- running ----

    def run(self, rain: Any, **kwargs: Any) -> NetworkResult:
        """Run the network (see `rainmill_models.network_run.run_network`)."""
        from .network_run import run_network

        return run_network(self, rain, **kwargs)


def _upstream(elements: Mapping[str, Element], order: tuple[str, ...]) -> dict[str, tuple[str, ...]]:
    found: dict[str, list[str]] = {name: [] for name in order}
    for name in order:
        element = elements[name]
        targets = {element.downstream, getattr(element, "to", None)} - {None}
        for target in targets:
            found[cast(str, target)].append(name)
    return {name: tuple(names) for name, names in found.items()}


def _order(elements: Mapping[str, Element]) -> tuple[str, ...]:
    graph: dict[str, set[str]] = {name: set() for name in elements}
    for name, element in elements.items():
        path = element_path(element, name)
        links = [("downstream", element.downstream)]
        if isinstance(element, Diversion) and element.to is not None:
            links.append(("to", element.to))
        for key, target in links:
            if target is None:
                continue
            if target not in elements:
                raise ModelError(f"{path}.{key}", f"no element named {target!r}")
            if target == name:
                raise ModelError(f"{path}.{key}", "an element cannot flow into itself")
            receiver = elements[target]
            if isinstance(receiver, NO_INFLOW):
                raise ModelError(
                    f"{path}.{key}", f"{element_path(receiver, target)} is a {receiver.KIND}, which takes no inflow"
                )
            graph[target].add(name)
    try:
        order = tuple(graphlib.TopologicalSorter(graph).static_order())
    except graphlib.CycleError as error:
        cycle = list(error.args[1])
        first = cycle[0]
        raise ModelError(
            f"{element_path(elements[first], first)}.downstream", "a cycle: " + " -> ".join(reversed(cycle))
        ) from None
    for name, element in elements.items():
        if isinstance(element, NEEDS_INFLOW) and not graph[name]:
            raise ModelError(element_path(element, name), "receives no inflow: no element names it downstream")
    return order


def _table(data: Mapping[str, Any], key: str) -> Mapping[str, Any]:
    value = data.get(key, {})
    if not isinstance(value, Mapping):
        raise ModelError(key, f"must be a table, not {type(value).__name__}")
    return value


def _element(cls: type[Any], data: object, path: str) -> Element:
    if not isinstance(data, Mapping):
        raise ModelError(path, f"must be a table, not {type(data).__name__}")
    values = dict(data)
    if cls is Pool:
        outlets = values.get("outlets", {})
        if not isinstance(outlets, Mapping):
            raise ModelError(f"{path}.outlets", "must be a table of outlets")
        values["outlets"] = {
            name: _outlet_from_dict(outlet, f"{path}.outlets.{_name(name, f'{path}.outlets')}")
            for name, outlet in outlets.items()
        }
    if cls is Sink:
        for key in values:
            raise ModelError(f"{path}.{key}", "unknown key (a sink has no parameters)")
        return Sink()
    processes = getattr(cls, "PROCESSES", ())
    for process in processes:
        if process in values and values[process] is not None:
            values[process] = _method(process, values[process], f"{path}.{process}")
    return cast(Element, _build(cls, values, path))


def _from_tables(data: Mapping[str, Any]) -> Network:
    for key in data:
        if key not in TABLES and key != "options":
            raise ModelError(str(key), f"unknown key (the tables are options, {', '.join(TABLES)})")
    elements: dict[str, Element] = {}
    kinds: dict[str, str] = {}
    for table, cls in TABLES.items():
        for name, entry in _table(data, table).items():
            path = f"{table}.{_name(name, table)}"
            if name in elements:
                raise ModelError(path, f"the name is taken by {kinds[name]}.{name}; names are unique across kinds")
            elements[name] = _element(cls, entry, path)
            kinds[name] = table
    options = dict(_table(data, "options"))
    gauges = options.pop("gauges", ())
    if not isinstance(gauges, (list, tuple)) or not all(isinstance(g, str) for g in gauges):
        raise ModelError("options.gauges", "must be a list of element names")
    return Network(elements, _build(Options, options, "options"), tuple(gauges))


def _from_chain(data: Mapping[str, Any]) -> Network:
    """An older single-chain file (basin, reach, reservoir) as a network of up to three elements."""
    for key in data:
        if key not in ("basin", "reach", "reservoir", "options"):
            raise ModelError(str(key), "unknown key")
    basin = data["basin"]
    if not isinstance(basin, Mapping):
        raise ModelError("basin", f"must be a table, not {type(basin).__name__}")
    chain = [name for name in ("basin", "reach", "reservoir") if name in data]
    below = dict(zip(chain, [*chain[1:], None], strict=True))

    def fail(error: ModelError, table: str, name: str) -> ModelError:
        field_path = error.field.removeprefix(f"{table}.{name}").replace(".baseflow.layers.", ".baseflow.")
        return ModelError(f"{name}{field_path}", error.detail)

    sub = dict(basin)
    for key in sub:
        if key not in ("area", "loss", "transform", "baseflow"):
            raise ModelError(f"basin.{key}", "unknown key")
    for key in ("area", "loss", "transform"):
        if key not in sub:
            raise ModelError(f"basin.{key}", "missing")
    for key in ("loss", "transform"):
        if isinstance(sub[key], Mapping) and "method" not in sub[key]:
            sub[key] = {"method": "deficit-constant" if key == "loss" else "clark", **sub[key]}
    layers = sub.pop("baseflow", None)
    if layers is not None:
        if not isinstance(layers, Mapping):
            raise ModelError("basin.baseflow", "must be a table of layers")
        sub["baseflow"] = {"method": "linear-reservoirs", "layers": dict(layers)}
    sub["downstream"] = below["basin"]
    elements: dict[str, Element] = {}
    try:
        elements["basin"] = _element(Subbasin, sub, "subbasins.basin")
    except ModelError as error:
        raise fail(error, "subbasins", "basin") from None
    if "reach" in data:
        reach = data["reach"]
        if not isinstance(reach, Mapping):
            raise ModelError("reach", f"must be a table, not {type(reach).__name__}")
        try:
            elements["reach"] = _element(
                Reach, {"routing": {"method": "muskingum", **reach}, "downstream": below["reach"]}, "reaches.reach"
            )
        except ModelError as error:
            raise ModelError(error.field.replace("reaches.reach.routing", "reach"), error.detail) from None
    if "reservoir" in data:
        pool = data["reservoir"]
        if not isinstance(pool, Mapping):
            raise ModelError("reservoir", f"must be a table, not {type(pool).__name__}")
        try:
            elements["reservoir"] = _element(Pool, dict(pool), "reservoirs.reservoir")
        except ModelError as error:
            raise fail(error, "reservoirs", "reservoir") from None
    options = _table(data, "options")
    return Network(elements, _build(Options, options, "options"))


# ---- parameters by path ----

ParameterKey = str | tuple[str, ...]


def _expand(network: Network, key: ParameterKey) -> list[str]:
    paths = [key] if isinstance(key, str) else list(key)
    if not paths or not all(isinstance(p, str) for p in paths):
        raise ModelError(str(key), "a parameter is a dotted path or a tuple of paths")
    out: list[str] = []
    for path in paths:
        parts = path.split(".")
        if len(parts) >= 3 and parts[1] == "*":
            if parts[0] not in TABLES:
                raise ModelError(path, f"no such table (there are: {', '.join(TABLES)})")
            names = [n for n, e in network.elements.items() if parts[0] == e.TABLE]
            if not names:
                raise ModelError(path, f"no element in {parts[0]}")
            out += [".".join([parts[0], name, *parts[2:]]) for name in names]
        else:
            out.append(path)
    return out


@dataclass(frozen=True)
class Resolved:
    """A parameter path resolved once: the element it belongs to and the chain of keys below it."""

    path: str
    element: str
    keys: tuple[str, ...]
    integral: bool


def resolve(network: Network, path: str) -> Resolved:
    """Resolve a dotted path to a numeric parameter of one element, or a ModelError naming it."""
    parts = path.split(".")
    if len(parts) < 3:
        if parts[0] == "options":
            raise ModelError(path, "options are not parameters")
        raise ModelError(path, "a parameter path is <table>.<element>.<field>...")
    table, name = parts[0], parts[1]
    element = network.elements.get(name)
    if table not in TABLES:
        raise ModelError(f"{table}", f"no such table (there are: {', '.join(TABLES)})")
    if element is None or table != element.TABLE:
        names = [n for n, e in network.elements.items() if table == e.TABLE]
        raise ModelError(f"{table}.{name}", f"no such element (there are: {', '.join(names) or 'none'})")
    node: object = element
    for i, key in enumerate(parts[2:], start=2):
        here = ".".join(parts[: i + 1])
        if isinstance(node, dict):
            if key not in node:
                raise ModelError(here, f"no such entry (there are: {', '.join(node) or 'none'})")
            node = node[key]
        elif dataclasses.is_dataclass(node) and key in {f.name for f in dataclasses.fields(node)}:
            node = getattr(node, key)
        else:
            raise ModelError(here, "no such parameter in this model")
        if node is None and i < len(parts) - 1:
            raise ModelError(here, "is not part of this model")
    if isinstance(node, bool) or not isinstance(node, (int, float)):
        raise ModelError(path, f"is not a numeric parameter ({type(node).__name__})")
    return Resolved(path, name, tuple(parts[2:]), isinstance(node, int))


def get_parameter(network: Network, key: ParameterKey) -> float:
    """The numeric parameter at a path (the first of tied paths), as a float."""
    first = _expand(network, key)[0]
    resolved = resolve(network, first)
    node: Any = network.elements[resolved.element]
    for k in resolved.keys:
        node = node[k] if isinstance(node, dict) else getattr(node, k)
    return float(node)


def compile_parameters(network: Network, keys: Iterable[ParameterKey], continuous: bool = False) -> Setter:
    """Resolve parameter keys once; the returned setter writes a vector of values into copies of `network`.

    With `continuous`, paths to whole-number parameters (chain lengths, sub-reaches) are refused:
    they cannot be calibrated by a continuous search.
    """
    targets: list[list[Resolved]] = []
    for key in keys:
        group = [resolve(network, path) for path in _expand(network, key)]
        if continuous:
            for item in group:
                if item.integral:
                    raise ModelError(
                        item.path, "is a whole number, not a continuous parameter; it cannot be calibrated"
                    )
        targets.append(group)
    return Setter(network, targets)


class Setter:
    """Writes values into resolved paths; only the touched elements are rebuilt.

    The paths are grouped once by element and by the objects along them, so each touched object is
    rebuilt (and re-validated) once per call, however many of its parameters change; an element
    whose own fields are untouched is copied around its new methods without re-validating them.
    """

    def __init__(self, network: Network, targets: list[list[Resolved]]) -> None:
        self.network = network
        self.targets = targets
        self.plan: dict[str, dict[str, Any]] = {}
        self.others_passed: set[int] = set()  # the steps at which the elements left alone passed their checks
        for index, group in enumerate(targets):
            for item in group:
                node = self.plan.setdefault(item.element, {})
                for key in item.keys[:-1]:
                    node = node.setdefault(key, {})
                node[item.keys[-1]] = index

    def __call__(self, values: Iterable[float]) -> Network:
        """A copy of the network with each value written to its paths."""
        vector = list(values)
        if len(vector) != len(self.targets):
            raise ValueError(f"{len(vector)} values for {len(self.targets)} parameters")
        network = self.network
        changed: dict[str, Any] = {}
        for name, plan in self.plan.items():
            element = network.elements[name]
            try:
                changed[name] = _apply(element, plan, vector, top=True)
            except ModelError as error:
                raise error.under(f"{element.TABLE}.{name}") from None
        elements = {**network.elements, **changed}
        new = object.__new__(Network)
        new.__dict__.update(network.__dict__)  # options, gauges, order and links: not parameters
        new.__dict__["elements"] = elements
        new.__dict__["_rebuilt"] = tuple(changed)
        new.__dict__["_others_passed"] = self.others_passed
        return new


def _apply(node: Any, plan: Mapping[str, Any], vector: list[float], top: bool = False) -> Any:
    """`node` with the planned values written; a ModelError's field is made relative to `node`."""
    updates: dict[str, Any] = {}
    own = False
    for key, step in plan.items():
        if isinstance(step, dict):
            child = node[key] if isinstance(node, dict) else getattr(node, key)
            try:
                updates[key] = _apply(child, step, vector)
            except ModelError as error:
                raise error.under(key) from None
        else:
            updates[key] = vector[step]
            own = True
    if isinstance(node, dict):
        return {**node, **updates}
    # a copy with the new values, as dataclasses.replace makes it but without calling __init__
    clone = object.__new__(type(node))
    clone.__dict__.update(node.__dict__)
    clone.__dict__.update(updates)
    if own or not top:
        clone.__post_init__()  # validated as a new instance would be
    # (an element's own checks do not look inside its methods, which validated themselves)
    return clone


def with_parameters(network: Network, values: Mapping[str, float] | Mapping[ParameterKey, float]) -> Network:
    """A copy of `network` with the numeric parameters at the given paths (or tied paths) replaced."""
    setter = compile_parameters(network, values.keys())
    result = setter(values.values())
    if result.options.step is not None:
        result.check_step(u.step_seconds(result.options.step))
    return result


def as_network(model: object) -> Network:
    """A network from a Network, a single-chain Model, or TOML-shaped data."""
    if isinstance(model, Network):
        return model
    if isinstance(model, Mapping):
        return Network.from_dict(model)
    to_dict = cast(Callable[[], Mapping[str, Any]] | None, getattr(model, "to_dict", None))
    if to_dict is not None:
        return Network.from_dict(to_dict())
    raise TypeError(f"not a model: {type(model).__name__}")


def known_outlet_kinds() -> list[str]:
    """The outlet kinds a reservoir accepts."""
    return list(OUTLET_KINDS)


__all__ = [
    "Diversion",
    "Element",
    "Junction",
    "Network",
    "Outlet",
    "Pool",
    "Reach",
    "Sink",
    "Source",
    "Subbasin",
    "as_network",
    "compile_parameters",
    "get_parameter",
    "resolve",
    "with_parameters",
]
