"""What the method modules share: the checks they call their fields by, and the kernels' plumbing.

Kernel results come back as one block (`_kernels.Values`) read through NumPy without a copy; the
continuous kernels' block layouts are declared once, in their bindings (`_kernels.LAYOUTS`).
"""

from __future__ import annotations

import dataclasses
import functools
from collections.abc import Callable, Mapping, Sequence
from dataclasses import MISSING, dataclass, field, fields
from typing import Any, ClassVar, Final, Self

import numpy as np

from .. import _kernels
from ..checks import number_field
from ..errors import ModelError
from ..io.units import SECONDS_PER_HOUR
from . import Array


def _set(obj: object, name: str, value: object) -> None:
    object.__setattr__(obj, name, value)


def _array(values: object) -> Array:
    """A kernel's result as a float64 array, read through its buffer without a copy."""
    return np.frombuffer(values, dtype=np.float64)  # type: ignore[call-overload, no-any-return]


def parameter(
    default: Any = MISSING,
    *,
    unit: str | None = None,
    low: float | None = None,
    high: float | None = None,
    above: bool = False,
) -> Any:
    """A method's parameter, declared once: its default, its quantity and the range it must lie in.

    `unit` ("depth", "rate", "flow", "distance", ...) enters the class's `UNITS`; a `low` or `high`
    makes `Checked` hold the value to [low, high] ((low, high] when `above`) as a finite float.
    """
    bounds = None if low is None and high is None else (low, high, above)
    return field(default=default, metadata={"unit": unit, "bounds": bounds})


@functools.cache
def _bounds(cls: Any) -> tuple[tuple[str, float | None, float | None, bool, bool], ...]:
    return tuple(
        (item.name, *item.metadata["bounds"], item.default is None)
        for item in fields(cls)
        if item.metadata.get("bounds") is not None
    )


class Checked:
    """A method whose parameters' ranges are declared with them (`parameter`) and checked on creation.

    A subclass with more to check calls `super().__post_init__()` first. An optional parameter
    (default None) left unset is not checked.
    """

    UNITS: ClassVar[Mapping[str, str]] = {}

    def __post_init__(self) -> None:
        kind: Any = type(self)
        for name, low, high, above, optional in _bounds(kind):
            if not (optional and getattr(self, name) is None):
                number_field(self, name, low, high, above=above)


def _hours(step_seconds: int) -> float:
    return step_seconds / SECONDS_PER_HOUR


_EMPTY = np.empty(0)


def _validated(check: Callable[[], object]) -> None:
    """Run a kernel's checks; its ValueError ("name must be ...") becomes a ModelError at `name`."""
    try:
        check()
    except ValueError as error:
        name, _, detail = str(error).partition(" ")
        raise ModelError(name.split("[")[0], detail) from None


# The kernels return all the series of a run in one block (one allocation, reused across calls);
# its layout, in the kernels' order (N values per flux, then N + 1 per storage), is declared once, in
# the kernels' bindings, which read their parameters by the same names.
_LAYOUTS: Final = _kernels.LAYOUTS


def _split_block(block: _kernels.Values, n: int, fluxes: Sequence[str], storages: Sequence[str]) -> dict[str, Array]:
    """Read-only views of a kernel's block, by name (no copy)."""
    values = np.frombuffer(block)
    views = {name: values[k * n : (k + 1) * n] for k, name in enumerate(fluxes)}
    base = len(fluxes) * n
    for k, name in enumerate(storages):
        views[name] = values[base + k * (n + 1) : base + (k + 1) * (n + 1)]
    return views


SHAPES = ("trapezoid", "rectangle", "triangle")


_MOST_CELLS = 100_000


def _cells(owner: object, name: str = "cells", most: int = _MOST_CELLS) -> int:
    """Field `name` of `owner` as a whole number in [1, most]."""
    value = getattr(owner, name)
    if isinstance(value, bool) or not isinstance(value, int):
        raise ModelError(name, f"must be a whole number, not {type(value).__name__}")
    if not 1 <= value <= most:
        raise ModelError(name, f"must lie in [1, {most}], got {value}")
    return value


@dataclass(frozen=True, kw_only=True)
class Channel:
    """A prismatic channel cut into `cells` cells: `shape` (trapezoid, rectangle, triangle), its
    `bottom_width` and `side_slope` (H:V); a rectangle has no side slope, a triangle no bottom width.
    """

    shape: str = "trapezoid"
    bottom_width: float = parameter(0.0, unit="distance")
    side_slope: float = 0.0
    cells: int = 20

    def check_channel(self) -> None:
        """Check the shape against the bottom width and side slope (the cells are checked by `_cells`)."""
        if self.shape not in SHAPES:
            raise ModelError("shape", f"must be one of {list(SHAPES)}, got {self.shape!r}")
        b = number_field(self, "bottom_width", 0.0)
        z = number_field(self, "side_slope", 0.0)
        if self.shape == "rectangle" and (z != 0.0 or b <= 0.0):
            raise ModelError(
                "side_slope" if z != 0.0 else "bottom_width", "a rectangle has side_slope 0 and a bottom_width > 0"
            )
        if self.shape == "triangle" and (b != 0.0 or z <= 0.0):
            raise ModelError(
                "bottom_width" if b != 0.0 else "side_slope", "a triangle has bottom_width 0 and a side_slope > 0"
            )
        if self.shape == "trapezoid" and (b <= 0.0 or z <= 0.0):
            raise ModelError(
                "bottom_width" if b <= 0.0 else "side_slope", "a trapezoid has a bottom_width and a side_slope > 0"
            )

    def channel(self) -> tuple[str, float, float, int]:
        """The kernels' channel arguments: shape, bottom width, side slope, cells."""
        return self.shape, self.bottom_width, self.side_slope, self.cells


class HotStart:
    """A method whose starting states are fields (`STATE_FIELDS`: state name -> field), set by `hot_start`."""

    STATE_FIELDS: ClassVar[Mapping[str, str]]

    def hot_start(self, initial: Mapping[str, Any]) -> Self:
        """The method started from `initial` (as `final_states` gives them); checked again."""
        unknown = set(initial) - set(self.STATE_FIELDS.values())
        if unknown:
            raise ModelError(sorted(unknown)[0], "is not a state of this method")
        # a sequence (one value per zone, say) is kept as the tuple its field holds
        changes = {
            name: tuple(value) if isinstance(getattr(self, name), tuple) else value for name, value in initial.items()
        }
        return dataclasses.replace(self, **changes)  # type: ignore[type-var]
