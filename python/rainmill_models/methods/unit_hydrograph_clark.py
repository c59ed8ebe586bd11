"""The Clark unit hydrograph without the truncation: the storage's recession is kept to the end.

The extension's Clark transform builds the translation hydrograph of the time-area curve (n =
ceil(tc / step) ordinates), routes it through the linear reservoir (one Muskingum pass with x = 0)
and keeps n ordinates of the routed hydrograph: the reservoir's recession after the n-th ordinate is
dropped, and with it part of the runoff (all of it when tc <= step). Here the same translation
hydrograph goes through the same pass, followed by zeros, so the first n ordinates are the
extension's own; the pass goes on until the reservoir is empty to one part in a million.

The pass starts from an outflow of 0 with the first ordinate already flowing in, which retains half
of that ordinate's volume (the trapezoidal rule's first interval); the recession after the n-th
ordinate is scaled up by that amount, so the unit hydrograph carries the whole translation volume
(one inch over the basin, to the 1.00833 of the extension's cfs conversion).
"""

from __future__ import annotations

import math
from datetime import timedelta
from functools import lru_cache
from typing import Final

import numpy as np
import numpy.typing as npt
import rainmill

from ..io.units import SECONDS_PER_HOUR

_EMPTY_TO = 1e-6  # the reservoir counts as empty below this fraction of the volume it received

# The most unit-hydrograph ordinates a run may build (80 MB of float64): a longer one comes from a
# time of concentration or storage far beyond any basin at this step, and is refused up front.
MAX_ORDINATES: Final = 10_000_000


def _seconds(duration: timedelta) -> float:
    """A duration in seconds as the extension reads it (whole seconds, plus nanoseconds / 1e9)."""
    whole = duration.days * 86400 + duration.seconds
    return float(whole) + (duration.microseconds * 1000) / 1e9


def translation_hydrograph(area_acres: float, tc: timedelta, step_seconds: int) -> list[float]:
    """The translation hydrograph of the time-area curve: cfs per inch of excess, one value per step."""
    tc_s = _seconds(tc)
    dt = float(step_seconds)
    if not (tc_s > 0.0 and dt > 0.0):
        return []
    n = math.ceil(tc_s / dt)
    ordinates: list[float] = []
    previous = 0.0
    for i in range(1, n + 1):
        x = min(i * dt / tc_s, 1.0)
        a = 1.414 * math.pow(x, 1.5) if x < 0.5 else 1.0 - 1.414 * math.pow(1.0 - x, 1.5)
        ordinates.append((a - previous) * area_acres * 1.00833 / (dt / SECONDS_PER_HOUR))
        previous = a
    return ordinates


def _tail(tc_s: float, r_s: float, dt: float) -> tuple[int, int]:
    n = math.ceil(tc_s / dt)
    recession = (2.0 * r_s - dt) / (dt + 2.0 * r_s)  # the pass's weight of the previous outflow
    tail = 1 if recession <= 0.0 else max(1, math.ceil(math.log(_EMPTY_TO) / math.log(recession)))
    return n, tail


def unit_hydrograph_length(tc_seconds: float, r_seconds: float, step_seconds: int) -> int:
    """The number of ordinates `unit_hydrograph` builds, computed without building it."""
    if not (tc_seconds > 0.0 and step_seconds > 0):
        return 1
    n, tail = _tail(tc_seconds, r_seconds, float(step_seconds))
    return n + tail


@lru_cache(maxsize=4096)
def unit_hydrograph(area_acres: float, tc: timedelta, r: timedelta, step_seconds: int) -> npt.NDArray[np.float64]:
    """The volume-conserving Clark unit hydrograph (cfs per inch of excess), read-only.

    Its first ceil(tc / step) ordinates equal the extension's; it needs r >= step / 2 (a shorter
    storage coefficient makes the recession oscillate).
    """
    translation = translation_hydrograph(area_acres, tc, step_seconds)
    if not translation:
        return np.zeros(1)
    n, tail = _tail(_seconds(tc), _seconds(r), float(step_seconds))
    inflow = rainmill.utils.ContinuousTimeSeries(
        translation + [0.0] * tail, timedelta(seconds=step_seconds), "discharge"
    )
    routed = np.array(rainmill.reach.run_muskingum_routing(inflow, r, 0.0, 1, 0.0))
    total = math.fsum(translation)
    head = math.fsum(routed[:n])
    rest = math.fsum(routed[n:])
    if rest > 0.0:
        routed[n:] *= (total - head) / rest
    routed.setflags(write=False)
    return routed


def clark(
    excess: list[float] | npt.NDArray[np.float64],
    area_acres: float,
    tc: timedelta,
    r: timedelta,
    step_seconds: int,
    points: int | None = None,
) -> npt.NDArray[np.float64]:
    """Direct runoff (cfs) of excess depths (inches per step): len(excess) + len(uh) - 1 values.

    With `points`, only the first `points` values (zeros after the runoff). The convolution adds each
    non-zero excess value's contribution in time order, as the extension does, so that the first
    values agree with the extension's transform where the unit hydrographs do.
    """
    uh = unit_hydrograph(area_acres, tc, r, step_seconds)
    m = len(uh)
    size = len(excess) + m - 1 if points is None else points
    out = np.zeros(size)
    for i in np.flatnonzero(np.asarray(excess)).tolist():
        if i >= size:
            break
        depth = float(excess[i])
        stop = min(i + m, size)
        out[i:stop] = uh[: stop - i] * depth + out[i:stop]
    return out
