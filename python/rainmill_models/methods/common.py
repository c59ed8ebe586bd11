"""What the method modules share: the checks they call their fields by, and the kernels' plumbing.

Kernel results come back as one block (`_kernels.Values`) read through NumPy without a copy; the
continuous kernels' block layouts are declared once, in their bindings (`_kernels.LAYOUTS`).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, Final

import numpy as np

from .. import _kernels
from ..checks import number_field, numbers_field
from ..errors import ModelError
from ..io.units import SECONDS_PER_HOUR
from . import Array


def _set(obj: object, name: str, value: object) -> None:
    object.__setattr__(obj, name, value)


def _array(values: object) -> Array:
    """A kernel's result as a float64 array, read through its buffer without a copy."""
    return np.frombuffer(values, dtype=np.float64)  # type: ignore[call-overload, no-any-return]


# the checks of every description, under the names this module's classes call them by
_number = number_field


_numbers = numbers_field


def _hours(step_seconds: int) -> float:
    return step_seconds / SECONDS_PER_HOUR


_EMPTY = np.empty(0)


HOURS: float = 3600.0


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


def _cells(owner: object, name: str = "cells") -> int:
    value = getattr(owner, name)
    if isinstance(value, bool) or not isinstance(value, int):
        raise ModelError(name, f"must be a whole number, not {type(value).__name__}")
    if not 1 <= value <= _MOST_CELLS:
        raise ModelError(name, f"must lie in [1, {_MOST_CELLS}], got {value}")
    return value


def _section(owner: object, shape: str, width: str, side: str) -> None:
    """Check a channel's shape against its bottom width and side slope (a rectangle has no side slope ...)."""
    kind = getattr(owner, shape)
    if kind not in SHAPES:
        raise ModelError(shape, f"must be one of {list(SHAPES)}, got {kind!r}")
    b = _number(owner, width, 0.0)
    z = _number(owner, side, 0.0)
    if kind == "rectangle" and (z != 0.0 or b <= 0.0):
        raise ModelError(side if z != 0.0 else width, "a rectangle has side_slope 0 and a bottom_width > 0")
    if kind == "triangle" and (b != 0.0 or z <= 0.0):
        raise ModelError(width if b != 0.0 else side, "a triangle has bottom_width 0 and a side_slope > 0")
    if kind == "trapezoid" and (b <= 0.0 or z <= 0.0):
        raise ModelError(width if b <= 0.0 else side, "a trapezoid has a bottom_width and a side_slope > 0")


def _channel(method: Any) -> tuple[str, float, float, int]:
    """The kernels' channel arguments: shape, bottom width, side slope, cells."""
    return method.shape, method.bottom_width, method.side_slope, method.cells
