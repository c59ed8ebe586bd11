"""A network's structure: the elements, their links and order, and the options of its runs.

`Topology` is what the engine, the results, the parameter setter, the forcing and the figures read
of a network; `rainmill_models.network.Network`, the model, is a `Topology` that also loads and
saves its files, sets its parameters and runs.
"""

from __future__ import annotations

import graphlib
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import cast

from .checks import above, duration, fmt, real
from .checks import name as _name
from .elements import KINDS, Element, Subbasin, element_path
from .errors import ModelError
from .io import units as u
from .io.units import UNIT_SYSTEMS, UnitSystem


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

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise ModelError("name", f"must be a text, not {type(self.name).__name__}")
        if self.units not in UNIT_SYSTEMS:
            raise ModelError("units", f"must be one of {list(UNIT_SYSTEMS)}, got {self.units!r}")
        step = None if self.step is None else duration(self.step, "step")
        recession = real(self.recession, "recession")
        if not 0.0 < recession < 1.0:
            raise ModelError("recession", f"must lie strictly between 0 and 1, got {fmt(recession)}")
        horizon = above(self.max_horizon, 0.0, "max_horizon")
        object.__setattr__(self, "step", step)
        object.__setattr__(self, "recession", recession)
        object.__setattr__(self, "max_horizon", horizon)


@dataclass(frozen=True)
class Topology:
    """A network's structure: its named elements, their links and order, the options of its runs.

    The modules that run, score and draw a network read it through this class; `Network` adds the
    model files, the parameters and the runs.
    """

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
        upstream: dict[str, list[str]] = {name: [] for name in order}
        for name in order:
            for target in self.downstream_of(name):
                upstream[target].append(name)
        object.__setattr__(self, "_order", order)
        object.__setattr__(self, "_upstream", upstream)
        if self.options.step is not None:
            self.check_step(u.step_seconds(self.options.step))

    # ---- structure ----

    @property
    def order(self) -> tuple[str, ...]:
        """The element names, every element after those that flow into it."""
        return cast(tuple[str, ...], self.__dict__["_order"])

    def downstream_of(self, name: str) -> list[str]:
        """The elements that receive water from `name` (downstream, and a diversion's `to`)."""
        element = self.elements[name]
        return [target for target in dict.fromkeys([element.downstream, getattr(element, "to", None)]) if target]

    def upstream(self, name: str) -> list[str]:
        """The elements whose outflow (or diverted flow) enters `name`, in the network's order."""
        return list(self.__dict__["_upstream"][name])

    def reaching(self, name: str) -> set[str]:
        """`name` and every element whose water reaches it."""
        seen, stack = {name}, [name]
        while stack:
            for up in self.upstream(stack.pop()):
                if up not in seen:
                    seen.add(up)
                    stack.append(up)
        return seen

    def outlets(self) -> list[str]:
        """The elements whose outflow leaves the network (sinks and elements without downstream)."""
        return [name for name in self.order if self.elements[name].downstream is None]

    def subbasins(self) -> dict[str, Subbasin]:
        """The subbasins by name."""
        return {n: cast(Subbasin, e) for n, e in self.elements.items() if e.FORCING == "rain"}

    def sources(self) -> list[str]:
        """The names of the sources."""
        return [n for n, e in self.elements.items() if e.FORCING == "inflows"]

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
            try:
                element.check_step(step_seconds)
            except ModelError as error:
                raise error.under(element_path(element, name)) from None
        if passed is not None:
            passed.add(step_seconds)


def _order(elements: Mapping[str, Element]) -> tuple[str, ...]:
    graph: dict[str, set[str]] = {name: set() for name in elements}
    for name, element in elements.items():
        path = element_path(element, name)
        for key, target in (("downstream", element.downstream), ("to", getattr(element, "to", None))):
            if target is None:
                continue
            if target not in elements:
                raise ModelError(f"{path}.{key}", f"no element named {target!r}")
            if target == name:
                raise ModelError(f"{path}.{key}", "an element cannot flow into itself")
            receiver = elements[target]
            if not receiver.TAKES_INFLOW:
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
        if element.TAKES_INFLOW and not graph[name]:
            raise ModelError(element_path(element, name), "receives no inflow: no element names it downstream")
    return order
