"""The methods a model element can use, one registry for every process.

A method is a frozen dataclass whose fields are its parameters, registered under the process it
serves and the name a model file selects it by (`method = "scs-curve-number"`). The model layer
finds the class with `method_class`, builds it from the file's table, and calls its `run`.

The contract every method follows:

- **Parameters** are the dataclass's fields, plain floats (or ints, texts, tuples of floats) in the
  description's unit system, each declared once: `common.parameter(default, unit=, low=, high=)`
  gives a field its quantity in `rainmill_models.io.units` ("depth", "rate", "flow", "volume",
  "distance"), which `register` gathers into the class's `UNITS`, and its range, which
  `common.Checked` checks; durations are hours and need no unit. Other checks go in `__post_init__`;
  every check raises `ModelError(field, message)` with the field's name relative to the method ("cn",
  "layers.fast.k"); the model layer places the element's path in front
  (`subbasins.upper.loss.cn: must be ...`).
- **Arrays** are float64 NumPy arrays of one length N at the computation step. Depths are per
  interval, in inches (interval i runs from point i to point i + 1); flows are cubic feet per second
  at the points; temperatures are degrees Celsius at the intervals. The model layer converts
  parameters and results between the description's units and these.
- **Runs** are pure: the same parameters and inputs give the same bits. `check_step` refuses a
  computation step the method cannot resolve, with a path-relative message.

The processes and their `run` signatures are the Protocols below.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, fields, is_dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Final, Protocol

import numpy as np
import numpy.typing as npt

from ..checks import unchecked_copy
from ..errors import ModelError
from ..io.units import to_us

if TYPE_CHECKING:
    from ..io.units import UnitSystem

Array = npt.NDArray[np.float64]

PROCESSES: Final = ("loss", "transform", "baseflow", "routing", "snow", "evapotranspiration")


@dataclass(frozen=True)
class Forcing:
    """What drives a subbasin besides its rain, per interval; None where the model has none."""

    potential_et: Array | None = None  # inches per interval
    temperature: Array | None = None  # degrees Celsius, interval means


@dataclass(frozen=True)
class LossOutput:
    """A loss method's split of the water reaching the ground (inches per interval).

    `excess` goes to the transform; `recharge` is what the baseflow receives (for the simple losses
    the infiltrated depth, for soil-moisture accounting the groundwater outflow); `states` are
    storages at the points (N + 1 values, the first the initial state) and other fluxes per interval,
    named as the README's methods table names them. Water that leaves the subbasin otherwise
    (evapotranspiration, deep losses) is reported under `losses`, so the balance closes:
    sum(input) = sum(excess) + sum(recharge) + sum of `losses` + change of the storages in `storage`.
    """

    excess: Array
    recharge: Array
    losses: Mapping[str, Array] = field(default_factory=dict)
    storage: Mapping[str, Array] = field(default_factory=dict)
    states: Mapping[str, Array] = field(default_factory=dict)


@dataclass(frozen=True)
class SnowOutput:
    """Rain and melt leaving the pack (`liquid`, inches per interval) and the pack's states."""

    liquid: Array
    storage: Mapping[str, Array] = field(default_factory=dict)
    states: Mapping[str, Array] = field(default_factory=dict)


class Method(Protocol):
    UNITS: ClassVar[Mapping[str, str]]

    def check_step(self, step_seconds: int) -> None: ...


class LossMethod(Method, Protocol):
    def run(self, water: Array, step_seconds: int, forcing: Forcing) -> LossOutput: ...


class TransformMethod(Method, Protocol):
    def run(self, excess: Array, area_acres: float, step_seconds: int) -> Array:
        """Direct runoff in cfs at the points, N values, from excess depths per interval."""
        ...


class BaseflowMethod(Method, Protocol):
    def run(
        self, recharge: Array, area_acres: float, step_seconds: int, direct: Array
    ) -> tuple[Array, dict[str, Array]]:
        """Total baseflow in cfs at the points, and each layer's share (empty when it has none)."""
        ...


class RoutingMethod(Method, Protocol):
    def run(self, inflow: Array, step_seconds: int) -> Array:
        """Outflow in cfs at the points from the inflow at the points."""
        ...


class SnowMethod(Method, Protocol):
    def run(self, precipitation: Array, temperature: Array, step_seconds: int) -> SnowOutput:
        """Rain and melt leaving the pack.

        A method whose `run` also takes `start` (the first point's time, to place the seasons) is
        given it by the model layer.
        """
        ...


_REGISTRY: dict[str, dict[str, type[Any]]] = {process: {} for process in PROCESSES}


def register[T](process: str, name: str) -> Callable[[type[T]], type[T]]:
    """Register the decorated dataclass as method `name` of `process`."""
    if process not in _REGISTRY:
        raise ValueError(f"unknown process {process!r}; one of {list(PROCESSES)}")

    def decorate(cls: type[T]) -> type[T]:
        known = _REGISTRY[process].get(name)
        if known is not None and known is not cls:
            raise ValueError(f"{process} method {name!r} is registered twice")
        _REGISTRY[process][name] = cls
        if "UNITS" not in vars(cls) and is_dataclass(cls):  # declared with the fields (`common.parameter`)
            units = {item.name: item.metadata["unit"] for item in fields(cls) if item.metadata.get("unit")}
            type.__setattr__(cls, "UNITS", units)
        return cls

    return decorate


def method_names(process: str) -> list[str]:
    """The names `process` accepts, in registration order."""
    return list(_REGISTRY[process])


def method_class(process: str, name: object, path: str) -> type[Any]:
    """The class registered as method `name` of `process`; a ModelError at `path` otherwise."""
    known = _REGISTRY[process]
    if not isinstance(name, str) or name not in known:
        raise ModelError(path, f"must be one of {list(known)}, got {name!r}")
    return known[name]


def in_us(method: Any, units: UnitSystem) -> Any:
    """The method with its dimensional parameters in the extension's units (itself for US).

    The values were validated when the method was made; a change of units keeps them valid, so the
    copy is made without validating (and without running a kernel's checks) again.
    """
    if units == "US" or not method.UNITS:
        return method
    changes: dict[str, Any] = {}
    for name, quantity in method.UNITS.items():
        if name.startswith("layers.*."):
            attribute = name.removeprefix("layers.*.")
            changes["layers"] = {
                key: unchecked_copy(layer, {attribute: to_us(getattr(layer, attribute), quantity, units)})
                for key, layer in changes.get("layers", method.layers).items()
            }
        elif isinstance(getattr(method, name), (tuple, list)):  # one value per snow zone, say
            changes[name] = tuple(to_us(value, quantity, units) for value in getattr(method, name))
        elif getattr(method, name) is not None:
            changes[name] = to_us(getattr(method, name), quantity, units)
    return unchecked_copy(method, changes)


@functools.cache
def takes_start(kind: Any) -> bool:
    """Whether a method class's `run` takes the run's `start` (a seasonal method does)."""
    return "start" in inspect.signature(kind.run).parameters


def _load_builtin() -> None:
    """Import the package's method modules, which register their methods as they load."""
    import importlib

    for module in ("losses", "transforms", "baseflow", "routing", "snow"):
        try:
            importlib.import_module(f"{__name__}.{module}")
        except ModuleNotFoundError as error:
            if error.name != f"{__name__}.{module}":
                raise


_load_builtin()
