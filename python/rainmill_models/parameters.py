"""Parameters by dotted path across a network's elements, resolved once per calibration.

A path names a table, an element and the field below it: "subbasins.upper.loss.constant_rate",
"reaches.upper-reach.routing.k", "reservoirs.pool.outlets.gate.maximum_release". A tuple of paths,
or a path with "*" in place of the element name, writes one value to several places (tied
parameters). The older single-chain paths ("basin.loss.constant_rate", "basin.baseflow.deep.k",
"reach.x", "reservoir.outlets.gate.discharge") are translated by the one table `CHAIN_ALIASES`; a
message about such a path names it as it was given.

`compile_parameters` resolves the paths once and returns a `Setter`, which writes vectors of values
into copies of the network, rebuilding (and re-validating) only the objects it touches.

A method declares the constraints between its parameters (`CONSTRAINTS`, listed in the README's
methods tables): `("tension_max", "<=", "soil_max")` pairs, and `("layers.*.fraction", "sum<=",
"1")` for shares that may not add up to more than one. Validation refuses a description that breaks
one. A search's setter (`continuous=True`, as `calibrate` makes it) maps its values into them
instead, so that no candidate is refused for a constraint (see `respect_constraints`).
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Collection, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

from .checks import unchecked_copy
from .elements import TABLES
from .errors import ModelError
from .io import units as u

if TYPE_CHECKING:
    from .topology import Topology

ParameterKey = str | tuple[str, ...]

# The older single-chain layout: its paths and the network paths of its three elements ("basin",
# "reach", "reservoir"), the most specific first. The one place the two layouts meet.
CHAIN_ALIASES: Final = (
    ("basin.baseflow.", "subbasins.basin.baseflow.layers."),
    ("basin.", "subbasins.basin."),
    ("reach.", "reaches.reach.routing."),
    ("reservoir.", "reservoirs.reservoir."),
)


def new_path(path: str) -> str:
    """A path in the network layout: an older single-chain path translated, any other as it is."""
    for old, new in CHAIN_ALIASES:
        if path.startswith(old):
            return new + path.removeprefix(old)
    return path


def old_path(path: str) -> str:
    """A network path of the single chain's elements as the chain's file writes it."""
    for old, new in CHAIN_ALIASES:
        if path.startswith(new):
            return old + path.removeprefix(new)
        if path == new.rstrip("."):
            return old.rstrip(".")
    return path


def _expand(network: Topology, key: ParameterKey) -> list[str]:
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
    aliased: bool = False  # given as an older single-chain path


def resolve(network: Topology, path: str) -> Resolved:
    """Resolve a dotted path to a numeric parameter of one element, or a ModelError naming it."""
    target = new_path(path)
    if target == path:
        return _resolve(network, path)
    try:
        found = _resolve(network, target)
    except ModelError as error:
        raise ModelError(old_path(error.field), error.detail) from None
    return dataclasses.replace(found, path=path, aliased=True)


def _resolve(network: Topology, path: str) -> Resolved:
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


def get_parameter(network: Topology, key: ParameterKey) -> float:
    """The numeric parameter at a path (the first of tied paths), as a float."""
    return _value_at_in(network.elements, resolve(network, _expand(network, key)[0]))


def compile_parameters[N: Topology](network: N, keys: Iterable[ParameterKey], continuous: bool = False) -> Setter[N]:
    """Resolve parameter keys once; the returned setter writes a vector of values into copies of `network`.

    With `continuous` (a search's setter), paths to whole-number parameters (chain lengths,
    sub-reaches) are refused: they cannot be calibrated by a continuous search; and the values are
    mapped into the methods' constraints (`respect_constraints`) rather than refused.
    """
    targets: list[list[Resolved]] = []
    for key in keys:
        group = [resolve(network, path) for path in _expand(network, key)]
        for item in group:
            if continuous and item.integral:
                raise ModelError(item.path, "is a whole number, not a continuous parameter; it cannot be calibrated")
        targets.append(group)
    return Setter(network, targets, constrained=continuous)


class Setter[N: Topology]:
    """Writes values into resolved paths; only the touched elements are rebuilt.

    The paths are grouped once by element and by the objects along them, so each touched object is
    rebuilt (and re-validated) once per call, however many of its parameters change; an element
    whose own fields are untouched is copied around its new methods without re-validating them.
    With `constrained`, the values are mapped into the methods' constraints first
    (`respect_constraints`); `written` gives the values a vector becomes.
    """

    def __init__(self, network: N, targets: list[list[Resolved]], constrained: bool = False) -> None:
        self.network = network
        self.targets = targets
        self.constrained = constrained
        self.plan: dict[str, dict[str, Any]] = {}
        self.others_passed: set[int] = set()  # the steps at which the elements left alone passed their checks
        # elements whose paths were given in the older single-chain form: their messages use it too
        self.aliased = {item.element for group in targets for item in group if item.aliased}
        for index, group in enumerate(targets):
            for item in group:
                node = self.plan.setdefault(item.element, {})
                for key in item.keys[:-1]:
                    node = node.setdefault(key, {})
                node[item.keys[-1]] = index
        # the fields each node of the plan writes, found once (the plans live as long as the setter)
        self.calibrated: dict[int, set[str]] = {}
        for node_plan in self.plan.values():
            _calibrated(node_plan, self.calibrated)

    def __call__(self, values: Iterable[float]) -> N:
        """A copy of the network with each value written to its paths."""
        vector = list(values)
        if len(vector) != len(self.targets):
            raise ValueError(f"{len(vector)} values for {len(self.targets)} parameters")
        changed = self._elements(vector)
        elements = {**self.network.elements, **changed}
        # the copy shares the options, gauges, order and links: they are not parameters
        return unchecked_copy(
            self.network, {"elements": elements, "_rebuilt": tuple(changed), "_others_passed": self.others_passed}
        )

    def written(self, values: Iterable[float]) -> list[float]:
        """The value each parameter takes in the copy `values` make (the first of tied paths).

        Without constraints these are the values themselves; with them, the values mapped into the
        constraints, as the copy holds them.
        """
        vector = [float(v) for v in values]
        if not self.constrained:
            return vector
        elements = self._elements(vector, validate=False)
        return [_value_at_in(elements, group[0]) for group in self.targets]

    def _elements(self, vector: list[float], validate: bool = True) -> dict[str, Any]:
        """The touched elements with the values written; a ModelError names the element's path."""
        changed: dict[str, Any] = {}
        for name, plan in self.plan.items():
            element = self.network.elements[name]
            try:
                changed[name] = self._apply(element, plan, vector, top=True, validate=validate)
            except ModelError as error:
                error = error.under(f"{element.TABLE}.{name}")
                raise (ModelError(old_path(error.field), error.detail) if name in self.aliased else error) from None
        return changed

    def _apply(self, node: Any, plan: Mapping[str, Any], vector: list[float], top: bool, validate: bool) -> Any:
        """`node` with the planned values written; a ModelError's field is made relative to `node`.

        Without `validate` the copies are not checked (only their values are read, as `written` does).
        """
        updates: dict[str, Any] = {}
        own = False
        for key, step in plan.items():
            if isinstance(step, dict):
                child = node[key] if isinstance(node, dict) else getattr(node, key)
                try:
                    updates[key] = self._apply(child, step, vector, False, validate)
                except ModelError as error:
                    raise error.under(key) from None
            else:
                updates[key] = vector[step]
                own = True
        if isinstance(node, dict):
            return {**node, **updates}
        if self.constrained and bool(getattr(type(node), "CONSTRAINTS", None)):
            respect_constraints(node, self.calibrated[id(plan)], updates)
        clone = unchecked_copy(node, updates)
        clone.__dict__.pop("_in_us", None)  # an element's methods in the extension's units: made anew
        if validate and (own or not top):
            clone.__post_init__()  # validated as a new instance would be
        # (an element's own checks do not look inside its methods, which validated themselves)
        return clone


def _value_at_in(elements: Mapping[str, Any], item: Resolved) -> float:
    node: Any = elements[item.element]
    for key in item.keys:
        node = node[key] if isinstance(node, dict) else getattr(node, key)
    return float(node)


def respect_constraints(node: Any, calibrated: Collection[str], updates: dict[str, Any]) -> None:
    """Map the new values of a method's fields (`updates`) into the method's `CONSTRAINTS`, in place.

    Only values being written move; a field left as it is never does. For `a <= b` (or `a >= b`):
    a written `a` beyond `b` is taken as `b` (`tension_max` as min(value, soil_max)); when only `b`
    is written, a `b` short of `a` is taken as `a` (a calibrated capacity never drops below a fixed
    initial storage). The rules whose right side moves are applied first, so a written `a` meets
    the `b` the copy will hold. For `layers.*.fraction sum<= 1`: when the fractions add up to more
    than one, the written ones are scaled down to the room the others leave. A constraint on a
    field left unset (None, its default taken later) is left to validation.
    """
    rules = getattr(type(node), "CONSTRAINTS", ())

    def value(name: str) -> Any:
        return updates[name] if name in updates else getattr(node, name)

    pairs = [(a, op, b) for a, op, b in rules if op in ("<=", ">=")]
    bounds_moving = [(a, op, b, b) for a, op, b in pairs if b in calibrated and a not in calibrated]
    sides_moving = [(a, op, b, a) for a, op, b in pairs if a in calibrated]
    for left, op, right, moving in bounds_moving + sides_moving:
        a, b = value(left), value(right)
        if a is None or b is None or (a <= b if op == "<=" else a >= b):
            continue
        updates[moving] = b if moving == left else a
    for pattern, op, limit in rules:
        if op == "sum<=":
            _scale_shares(node, pattern, float(limit), calibrated, updates)


def _scale_shares(node: Any, pattern: str, limit: float, calibrated: Collection[str], updates: dict[str, Any]) -> None:
    """Scale the written shares `<table>.*.<field>` so that they add up to `limit` at most."""
    table, _, attribute = pattern.split(".")
    members = dict(updates.get(table, getattr(node, table)))
    moving = [name for name in members if f"{table}.{name}.{attribute}" in calibrated]
    total = math.fsum(getattr(m, attribute) for m in members.values())
    if not moving or total <= limit:
        return
    moved = math.fsum(getattr(members[name], attribute) for name in moving)
    room = max(limit - (total - moved), 0.0)
    for name in moving:
        member = members[name]
        clone = unchecked_copy(member, {attribute: getattr(member, attribute) * (room / moved)})
        clone.__post_init__()
        members[name] = clone
    updates[table] = members


def _calibrated(plan: Mapping[str, Any], found: dict[int, set[str]]) -> set[str]:
    """The dotted fields below a node that a plan writes, noted for the node and every node below it."""
    fields: set[str] = set()
    for key, step in plan.items():
        if isinstance(step, dict):
            fields |= {f"{key}.{below}" for below in _calibrated(step, found)}
        else:
            fields.add(key)
    found[id(plan)] = fields
    return fields


def with_parameters[N: Topology](network: N, values: Mapping[str, float] | Mapping[ParameterKey, float]) -> N:
    """A copy of `network` with the numeric parameters at the given paths (or tied paths) replaced."""
    setter = compile_parameters(network, values.keys())
    result = setter(values.values())
    if result.options.step is not None:
        try:
            result.check_step(u.step_seconds(result.options.step))
        except ModelError as error:
            if setter.aliased:
                raise ModelError(old_path(error.field), error.detail) from None
            raise
    return result
