"""Validation helpers shared by every description: numbers, tables and names, with path-first messages.

Every helper raises `ModelError(path, detail)`; the element or method that calls it names the field
relative to itself, and the model layer places the element's path in front
(`subbasins.upper.loss.cn: must be ...`).
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Final

import numpy as np

from .errors import ModelError

# The longest chain of linear reservoirs or Muskingum sub-reaches a run may ask for: each link is a
# pass over the whole series, so a longer chain cannot finish in a useful time.
MAX_CHAIN: Final = 1000

# The relative tolerance of the step checks: a few units in the last place, so that a bound that is
# reached exactly in decimal (2 * (5/3) * 0.1 = 1/3) is not refused by its rounding.
_ULPS: Final = 8 * 2.0**-52


def fmt(value: float) -> str:
    """A number as the messages write it: 12 rather than 12.0, otherwise the shortest round trip."""
    value = float(value)
    return str(int(value)) if value.is_integer() and abs(value) < 1e16 else repr(value)


def real(value: object, path: str) -> float:
    """`value` as a finite float, or a ModelError at `path`."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.floating, np.integer)):
        raise ModelError(path, f"must be a number, not {type(value).__name__}")
    try:
        result = float(value)
    except OverflowError:
        raise ModelError(path, "is too large to be a number of this model") from None
    if not math.isfinite(result):
        raise ModelError(path, f"must be finite, got {result}")
    return result


def optional_real(value: object, path: str) -> float | None:
    """`value` as a finite float, or None."""
    return None if value is None else real(value, path)


def whole(value: object, path: str, low: int, high: int) -> int:
    """`value` as an int within [low, high], or a ModelError at `path`."""
    number = real(value, path)
    if not number.is_integer():
        raise ModelError(path, f"must be a whole number, got {fmt(number)}")
    if not low <= number <= high:
        raise ModelError(path, f"must be between {low} and {high}, got {fmt(number)}")
    return int(number)


def at_least(value: object, low: float, path: str, what: str = "") -> float:
    """`value` as a float >= low, or a ModelError at `path`."""
    number = real(value, path)
    if number < low:
        raise ModelError(path, f"must be >= {fmt(low)}{what}, got {fmt(number)}")
    return number


def above(value: object, low: float, path: str) -> float:
    """`value` as a float > low, or a ModelError at `path`."""
    number = real(value, path)
    if not number > low:
        raise ModelError(path, f"must be > {fmt(low)}, got {fmt(number)}")
    return number


def duration(value: object, path: str) -> float:
    """A duration in hours, at least one second (shorter ones cannot be resolved by the kernels)."""
    return at_least(value, 1.0 / 3600.0, path, " h (one second)")


def within(value: float, low: float, high: float) -> bool:
    """Low <= value <= high, up to a few units in the last place."""
    return low * (1.0 - _ULPS) <= value <= high * (1.0 + _ULPS)


def number_field(
    owner: object, name: str, low: float | None = None, high: float | None = None, *, above: bool = False
) -> float:
    """Field `name` of `owner` as a float within [low, high] (or (low, high] when `above`), set in place."""
    number = real(getattr(owner, name), name)
    if low is not None and (number <= low if above else number < low):
        raise ModelError(name, f"must be {'>' if above else '>='} {fmt(low)}, got {fmt(number)}")
    if high is not None and number > high:
        raise ModelError(name, f"must be <= {fmt(high)}, got {fmt(number)}")
    object.__setattr__(owner, name, number)
    return number


def table(value: object, path: str) -> tuple[float, ...]:
    """A list of finite numbers, or a ModelError at `path` (or at the offending entry)."""
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Iterable):
        raise ModelError(path, f"must be a list of numbers, not {type(value).__name__}")
    return tuple(real(v, f"{path}[{i}]") for i, v in enumerate(value))


def numbers_field(owner: object, name: str, minimum: int) -> tuple[float, ...]:
    """Field `name` of `owner` as a tuple of at least `minimum` finite numbers >= 0, set in place."""
    values = getattr(owner, name)
    if isinstance(values, (str, bytes, Mapping)) or not isinstance(values, Sequence | np.ndarray):
        raise ModelError(name, f"must be a list of numbers, not {type(values).__name__}")
    numbers: list[float] = []
    for index, value in enumerate(values):
        if isinstance(value, bool) or not isinstance(value, (int, float, np.floating, np.integer)):
            raise ModelError(f"{name}[{index}]", f"must be a number, not {type(value).__name__}")
        number = float(value)
        if not (math.isfinite(number) and number >= 0.0):
            raise ModelError(f"{name}[{index}]", f"must be finite and >= 0, got {fmt(number)}")
        numbers.append(number)
    if len(numbers) < minimum:
        raise ModelError(name, f"needs at least {minimum} values, got {len(numbers)}")
    result = tuple(numbers)
    object.__setattr__(owner, name, result)
    return result


def increasing(values: tuple[float, ...], path: str, strictly: bool = True) -> None:
    """Refuse a table that is not (strictly) increasing, naming the first entry out of order."""
    for i in range(1, len(values)):
        if values[i] < values[i - 1] or (strictly and values[i] == values[i - 1]):
            order = "strictly increasing" if strictly else "non-decreasing"
            raise ModelError(
                f"{path}[{i}]", f"the table must be {order}; {fmt(values[i])} follows {fmt(values[i - 1])}"
            )


def mapping(value: object, path: str) -> Mapping[str, Any]:
    """`value` as a table (a mapping), or a ModelError at `path`."""
    if not isinstance(value, Mapping):
        raise ModelError(path, f"must be a table, not {type(value).__name__}")
    return value


def name(value: object, path: str) -> str:
    """An element's or entry's name: a non-empty text without '.' or '*' (they separate and tie paths)."""
    if not isinstance(value, str) or not value or "." in value or "*" in value:
        raise ModelError(path, f"names must be non-empty texts without '.' or '*', got {value!r}")
    return value


def curve(
    x: object, y: object, names: tuple[str, str], what: str, y_order: str | None = "strictly"
) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """A table of two columns (a storage curve, a rating, a diversion table) as tuples.

    `names` are the two columns' fields, `what` the table ("the storage curve"); `x` must be strictly
    increasing, `y` strictly increasing, non-decreasing ("non-decreasing") or free (None).
    """
    xs, ys = table(x, names[0]), table(y, names[1])
    if len(xs) != len(ys):
        raise ModelError(names[1], f"has {len(ys)} values for {len(xs)} {names[0]}s")
    if len(xs) < 2:
        raise ModelError(names[0], f"{what} needs at least 2 points")
    increasing(xs, names[0])
    if y_order is not None:
        increasing(ys, names[1], strictly=y_order == "strictly")
    return xs, ys


def unchecked_copy[T](obj: T, changes: Mapping[str, Any]) -> T:
    """A copy of `obj` with `changes`, as dataclasses.replace makes it but without calling __init__.

    For values already checked: a frozen dataclass whose fields change in ways that keep them valid
    (a change of units, a setter's copy that validates itself afterwards).
    """
    clone = object.__new__(type(obj))
    clone.__dict__.update(obj.__dict__)
    clone.__dict__.update(changes)
    return clone
