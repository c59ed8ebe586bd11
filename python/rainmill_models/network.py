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

Values that several elements of a kind share go in `[defaults.<kind>]` (`[defaults.subbasins]`,
with its `[defaults.subbasins.snow]` ...): each element takes them key by key unless it sets its
own; a method table merges field by field when the element names the same method (or none), and
an element naming another method keeps its own table whole. Messages name the element's own path
(and say when the value came from the defaults); `to_dict` and `save` write every element whole,
the defaults expanded. A subbasin's `precipitation_factor` and `snowfall_factor` (0.5-2, 1 by
default) correct its precipitation and its snowfall (see `Subbasin`); a file whose subbasin has a
continuous loss (soil moisture, deficit and constant with ET) and no baseflow method warns
(`RechargeWarning`) when it loads, unless the subbasin says `recharge_leaves = true`.

Files of the older single-chain form (`[basin]`, `[reach]`, `[reservoir]`) load as a network of up
to three elements named "basin", "reach" and "reservoir"; their parameter paths ("basin.loss.
constant_rate", "reach.x", "reservoir.outlets.gate.discharge") keep working through one alias table
(`rainmill_models.parameters.CHAIN_ALIASES`).

Parameters are addressed by their dotted path: "subbasins.upper.loss.constant_rate",
"reaches.upper-reach.routing.k", "reservoirs.pool.outlets.gate.maximum_release". A tuple of paths,
or a path with "*" in place of the element name, writes one value to several places (tied
parameters). Every validation message starts with the path of the field it is about.
"""

from __future__ import annotations

import tomllib
import warnings
from collections.abc import Collection, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final, Literal, Self, cast

from .checks import mapping
from .checks import name as _name
from .elements import (
    TABLES,
    Element,
    build,
    element_from,
    method_table,
    plain,
)
from .errors import ModelError
from .io.units import UnitSystem
from .parameters import ParameterKey, get_parameter, old_path, with_parameters
from .topology import Options as Options  # the options live with the structure; named here too
from .topology import Topology

if TYPE_CHECKING:
    from .elements import Balance
    from .results import NetworkResult

# The tables of an older single-chain file.
CHAIN_TABLES: Final = ("basin", "reach", "reservoir")
# The deepest nesting a model file may have: far beyond any layout, far below the interpreter's limit.
MAX_DEPTH: Final = 32


def _too_deep(value: object) -> bool:
    """Whether tables and lists nest more than `MAX_DEPTH` deep in `value`."""
    stack: list[tuple[object, int]] = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if depth > MAX_DEPTH:
            return True
        if isinstance(item, Mapping):
            stack.extend((v, depth + 1) for v in item.values())
        elif isinstance(item, (list, tuple)):
            stack.extend((v, depth + 1) for v in item)
    return False


@dataclass(frozen=True)
class Network(Topology):
    """A watershed as a network of named elements and the options of its runs: the model.

    Its structure (elements, links, order, options, gauges) is `Topology`'s; the network adds its
    model files, its parameters and its runs.
    """

    # ---- files and plain data ----

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self:
        """The network a TOML-shaped mapping describes (either layout; unknown keys refused by path)."""
        if not isinstance(data, Mapping):
            raise ModelError("", f"a model must be a table, not {type(data).__name__}")
        if _too_deep(data):
            raise ModelError("", f"the model is nested more than {MAX_DEPTH} tables deep")
        if "basin" in data:
            return cast(Self, _from_chain(data))
        return cast(Self, _from_tables(data))

    @classmethod
    def from_toml(cls, text: str) -> Self:
        """The network a TOML document describes; warns (`RechargeWarning`) where recharge leaves unsaid."""
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            raise ModelError("", f"not a valid TOML document: {error}") from error
        except RecursionError:
            raise ModelError("", "the TOML document is nested too deeply") from None
        network = cls.from_dict(data)
        _warn_lost_recharge(network)
        return network

    def to_dict(self) -> dict[str, Any]:
        """Plain, TOML-shaped data in the network layout, each element written whole (defaults expanded)."""
        data: dict[str, Any] = {"options": plain(self.options)}
        if self.gauges:
            data["options"]["gauges"] = list(self.gauges)
        for name, element in self.elements.items():
            data.setdefault(element.TABLE, {})[name] = plain(element)
        return data

    def to_toml(self) -> str:
        """The description as a TOML document (needs `tomli-w`)."""
        import tomli_w

        return tomli_w.dumps(self.to_dict())

    @classmethod
    def load(cls, path: str | Path) -> Self:
        """Read a model file (UTF-8, a regular file)."""
        from .io.files import read_text

        return cls.from_toml(read_text(path))

    def save(self, path: str | Path) -> Path:
        """Write the model file all or nothing; returns its path."""
        from .io.files import atomic_write

        text = self.to_toml()
        with atomic_write(path) as stream:
            stream.write(text)
        return Path(path)

    # ---- parameters ----

    def get(self, path: str) -> float:
        """The numeric parameter at a dotted path (see `get_parameter`)."""
        return get_parameter(self, path)

    def with_parameters(self, values: Mapping[str, float] | Mapping[ParameterKey, float]) -> Network:
        """A copy with the parameters at the given paths replaced (see `with_parameters`)."""
        return with_parameters(self, values)

    # ---- running ----

    def run(
        self,
        rain: Any,
        *,
        inflows: Any = None,
        potential_et: Any = None,
        temperature: Any = None,
        weights: Mapping[str, Mapping[str, float]] | None = None,
        end: object = None,
        missing: Literal["raise", "zero"] = "raise",
        units: UnitSystem | None = None,
        threads: int = 1,
        initial_states: Mapping[str, float] | None = None,
        keep: str | Collection[str] | None = None,
    ) -> NetworkResult:
        """Run the network on its forcing; every element's series on one time index.

        `rain`: one Series for every subbasin, a mapping subbasin -> Series, a DataFrame with one
        column per subbasin, or (with `weights`, subbasin -> {gauge: weight}) a DataFrame of
        gauges; depths per step in the model's units, the index the intervals' starts.
        `inflows`: the sources' hydrographs (flows at the points). `potential_et`, `temperature`:
        per subbasin, the same ways. `end`: the last time of the results (without it the run goes
        on until the network has drained, see `rainmill_models.simulation.run_points`).
        `missing`: the rain's missing-data policy. `units`: of the results (default the model's).
        `threads`: independent branches side by side. `initial_states`: values at parameter paths
        to start from. `keep`: "gauges", "outlets" or element names whose series are kept (the
        others report their balances only).
        """
        from .io.forcing import prepare_inputs
        from .results import NetworkResult
        from .simulation import kept_names, points_until, run_points

        network = self.with_parameters(dict(initial_states)) if initial_states else self
        inputs, start, step = prepare_inputs(
            network,
            rain,
            inflows=inflows,
            potential_et=potential_et,
            temperature=temperature,
            weights=weights,
            missing=missing,
        )
        points = None if end is None else points_until(network, end, start, step, inputs.length)
        rows: dict[str, Balance] = {}
        series = run_points(
            network, inputs, step, points=points, threads=threads, keep=kept_names(network, keep), rows=rows
        )
        return NetworkResult(network, series, start, step, units or network.options.units, rows=rows)


def _merged(own: Mapping[str, Any], shared: Mapping[str, Any], processes: Collection[str]) -> dict[str, Any]:
    """An element's table over the defaults of its kind: its own values win, key by key.

    A method table (a process) merges field by field only when it names the same method as the
    default (or none); with another method, the element's own table replaces the default's.
    """
    merged = dict(shared)
    for key, value in own.items():
        default = merged.get(key)
        if isinstance(value, Mapping) and isinstance(default, Mapping):
            method = default.get("method")
            if key not in processes or value.get("method", method) == method:
                merged[key] = _merged(value, default, ())
                continue
        merged[key] = value
    return merged


def _found(data: Mapping[str, Any], keys: list[str]) -> bool:
    node: Any = data
    for key in keys:
        if not isinstance(node, Mapping) or key not in node:
            return False
        node = node[key]
    return True


def _defaults(data: Mapping[str, Any]) -> dict[str, Mapping[str, Any]]:
    """The `[defaults.<kind>]` tables: values every element of that kind takes unless it sets its own."""
    defaults = mapping(data.get("defaults", {}), "defaults")
    for key, value in defaults.items():
        if key not in TABLES:
            raise ModelError(f"defaults.{key}", f"unknown key (defaults are given per kind: {', '.join(TABLES)})")
        mapping(value, f"defaults.{key}")
    return dict(defaults)


def _from_tables(data: Mapping[str, Any]) -> Network:
    for key in data:
        if key not in TABLES and key not in ("options", "defaults"):
            hint = "; basin, reach and reservoir belong to an older single-chain file" if key in CHAIN_TABLES else ""
            raise ModelError(str(key), f"unknown key (the tables are options, defaults, {', '.join(TABLES)}{hint})")
    elements: dict[str, Element] = {}
    defaults = _defaults(data)
    for table, cls in TABLES.items():
        shared = defaults.get(table, {})
        for name, entry in mapping(data.get(table, {}), table).items():
            path = f"{table}.{_name(name, table)}"
            if name in elements:
                raise ModelError(
                    path, f"the name is taken by {elements[name].TABLE}.{name}; names are unique across kinds"
                )
            if not shared or not isinstance(entry, Mapping):
                elements[name] = element_from(cls, entry, path)
            else:
                try:
                    elements[name] = element_from(cls, _merged(entry, shared, cls.PROCESSES), path)
                except ModelError as error:
                    keys = error.field.removeprefix(f"{path}.").split(".")
                    if error.field.startswith(f"{path}.") and not _found(entry, keys) and _found(shared, keys):
                        raise ModelError(error.field, f"{error.detail} (set in defaults.{table})") from None
                    raise
    options = dict(mapping(data.get("options", {}), "options"))
    gauges = options.pop("gauges", ())
    if not isinstance(gauges, (list, tuple)) or not all(isinstance(g, str) for g in gauges):
        raise ModelError("options.gauges", "must be a list of element names")
    return Network(elements, build(Options, options, "options"), tuple(gauges))


class RechargeWarning(UserWarning):
    """A subbasin's continuous loss sends its recharge nowhere: the water leaves the basin unsaid."""


def _warn_lost_recharge(network: Network) -> None:
    for name, subbasin in network.subbasins().items():
        if subbasin.recharge_lost():
            warnings.warn(
                f"subbasins.{name}: the {method_table(subbasin.loss)['method']} loss's recharge (its groundwater "
                "outflow or percolation) goes to no baseflow method and leaves the basin; add "
                f"[subbasins.{name}.baseflow] (a linear-reservoirs layer) or, if it leaves deliberately, "
                "set recharge_leaves = true",
                RechargeWarning,
                stacklevel=3,
            )


def _from_chain(data: Mapping[str, Any]) -> Network:
    """An older single-chain file (basin, reach, reservoir) as a network of up to three elements.

    Its messages name the fields as the chain's file writes them ("basin.loss.constant_rate").
    """
    for key in data:
        if key not in (*CHAIN_TABLES, "options"):
            hint = f"; {key} belongs to the network layout, which has no basin table" if key in TABLES else ""
            raise ModelError(
                str(key), f"unknown key (an older single-chain file has basin, reach, reservoir, options{hint})"
            )
    chain = [name for name in ("basin", "reach", "reservoir") if name in data]
    below = dict(zip(chain, [*chain[1:], None], strict=True))
    for name in chain:
        mapping(data[name], name)
    sub = dict(data["basin"])
    for key in ("loss", "transform"):
        if isinstance(sub.get(key), Mapping) and "method" not in sub[key]:
            sub[key] = {"method": "deficit-constant" if key == "loss" else "clark", **sub[key]}
    layers = sub.pop("baseflow", None)
    if layers is not None:
        if not isinstance(layers, Mapping):
            raise ModelError("basin.baseflow", "must be a table of layers")
        sub["baseflow"] = {"method": "linear-reservoirs", "layers": dict(layers)}
    tables: dict[str, Any] = {"options": data.get("options", {}), "subbasins": {"basin": sub}}
    if "reach" in data:
        tables["reaches"] = {"reach": {"routing": {"method": "muskingum", **data["reach"]}}}
    if "reservoir" in data:
        tables["reservoirs"] = {"reservoir": dict(data["reservoir"])}
    for name, table in (("basin", "subbasins"), ("reach", "reaches"), ("reservoir", "reservoirs")):
        if name in data:
            tables[table][name]["downstream"] = below[name]
    try:
        return _from_tables(tables)
    except ModelError as error:
        field, detail = old_path(error.field), error.detail
        loss = data["basin"].get("loss")
        if (
            field.startswith("basin.loss.")
            and detail == "unknown key"
            and isinstance(loss, Mapping)
            and "method" not in loss
        ):
            detail += (
                " (an older single-chain file's loss without a method is deficit-and-constant; name the method, "
                'method = "soil-moisture" say, or write the network layout: [subbasins.NAME.loss] with method = ...)'
            )
        raise ModelError(field, detail) from None


class Model:
    """The older single-chain model, kept as a thin shim: its files and paths now load as a `Network`.

    `Model.load(path)`, `Model.from_toml(text)` and `Model.from_dict(data)` return the `Network` of
    up to three elements ("basin", "reach", "reservoir") that the file describes, with a
    DeprecationWarning; the old parameter paths ("basin.loss.constant_rate", "reach.x") work on it
    through `rainmill_models.parameters.CHAIN_ALIASES`. What changes for callers: `run` returns a
    `NetworkResult` (`result.outflow` is the outflow as before; `result["basin"]`, `result["reach"]`,
    `result["reservoir"]` hold each element's series; `result.balances` replaces `mass_balance`), and
    the components `Basin`, `Loss`, `Transform`, `BaseflowLayer` are gone: write the network's
    elements (`Subbasin`, `Reach`, `Reservoir`) instead.
    """

    def __new__(cls, *args: Any, **kwargs: Any) -> Model:
        raise TypeError("Model(...) is retired: describe the model as a Network (rm.Network, rm.Subbasin, ...)")

    @staticmethod
    def _warn() -> None:
        warnings.warn(
            "rm.Model is retired: the model is a Network (rm.Network.load reads the same files)",
            DeprecationWarning,
            stacklevel=3,
        )

    @classmethod
    def load(cls, path: str | Path) -> Network:
        """The network an old or new model file describes (see the class)."""
        cls._warn()
        return Network.load(path)

    @classmethod
    def from_toml(cls, text: str) -> Network:
        """The network a TOML document describes (see the class)."""
        cls._warn()
        return Network.from_toml(text)

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Network:
        """The network TOML-shaped data describes (see the class)."""
        cls._warn()
        return Network.from_dict(data)
