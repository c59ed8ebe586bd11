"""Running a network: the engine walks the order and asks each element to run itself.

Every element runs over the same horizon of N points at the computation step, in the network's
order (each element after those flowing into it); independent branches may run side by side on a
thread pool (`threads=`), with identical results: each element's inflow is the sum of what its
upstream elements hand it (`Element.passes`), in the network's order, whatever finished first.

Time placement (see `rainmill_models.methods` for each kernel): depths (rain, excess, loss) are per
interval, interval i running from point i to point i + 1; flows, storages and elevations are values
at the points. A reservoir also reports `release`, the mean outflow over each interval derived from
its storage trace (inflow volume minus storage change), the volume that really left the pool
whatever its outlets do between the points; it is given at the interval's start.

Without an explicit end, a run covers the whole forcing and then goes on (doubling, up to
`options.max_horizon` hours beyond the forcing) until the direct runoff is complete and the network's
outflow and every subbasin's baseflow have receded to within `options.recession` of their rise.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Collection, Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt
import pandas as pd

from .elements import Balance, Context, Inputs, Series
from .errors import ModelError
from .io import units as u
from .io.timeseries import TimeSeriesError
from .results import network_outflow

if TYPE_CHECKING:
    from .topology import Topology

Array = npt.NDArray[np.float64]


def _compute(network: Topology, name: str, done: Mapping[str, Series], context: Context) -> Series:
    element = network.elements[name]
    inflow: Array | None = None
    if element.TAKES_INFLOW:
        # the sum in the network's order; the first term is taken as it is (0 + a is a), not copied
        for other in network.upstream(name):
            term = network.elements[other].passes(done[other], name)
            if term is not None:
                inflow = term if inflow is None else inflow + term
        if inflow is None:
            inflow = np.zeros(context.points)
    try:
        return element.run(name, inflow, context)
    except ValueError as error:  # a kernel's, a method's or the element's refusal: named after the element
        path = network.path(name)
        if isinstance(error, ModelError):  # its field relative to the element; a cause it gave is kept
            raise error.under(path) from error.__cause__
        raise ModelError(path, str(error)) from None


def branch_plan(network: Topology, threads: int) -> tuple[list[list[str]], list[str]]:
    """Independent branches shared among `threads` tasks (each in the network's order), and the rest.

    Starting from the outlets, the largest branch is split at its top element into the branches
    flowing into it, as long as these share no element (a diversion between them ties them), until
    there are a few branches per thread; the branches are then dealt to the threads, largest first,
    each to the least loaded. Cached on the network per thread count.
    """
    cache: dict[int, tuple[list[list[str]], list[str]]] = network.__dict__.setdefault("_branch_plans", {})
    if threads in cache:
        return cache[threads]
    roots: dict[str, set[str]] = {}
    refused: set[str] = set()
    for outlet in network.outlets():
        members = network.reaching(outlet)
        for name in [name for name, other in roots.items() if other & members]:
            members |= roots.pop(name)  # outlets sharing elements (a diversion to both) run as one
            refused.add(outlet)
        roots[outlet] = members
    while len(roots) < 4 * threads:
        candidates = [name for name in roots if name not in refused and len(roots[name]) > 1]
        if not candidates:
            break
        top = max(candidates, key=lambda name: len(roots[name]))
        parts = {up: network.reaching(up) for up in network.upstream(top)}
        if sum(len(p) for p in parts.values()) != len(set().union(*parts.values())):
            refused.add(top)  # the branches flowing in share elements: run it whole
            continue
        del roots[top]
        roots.update(parts)
    loads = [0] * max(1, threads)
    buckets: list[set[str]] = [set() for _ in loads]
    for name in sorted(roots, key=lambda n: -len(roots[n])):
        k = loads.index(min(loads))
        loads[k] += len(roots[name])
        buckets[k] |= roots[name]
    covered = set().union(*buckets)
    plan = (
        [[n for n in network.order if n in bucket] for bucket in buckets if bucket],
        [n for n in network.order if n not in covered],
    )
    cache[threads] = plan
    return plan


def simulate_network(
    network: Topology,
    inputs: Inputs,
    step: int,
    points: int,
    *,
    threads: int = 1,
    checked: bool = False,
    keep: Collection[str] | None = None,
    rows: dict[str, Balance] | None = None,
) -> dict[str, Series]:
    """Every element's series over `points` points (the extension's units): the lean core of a run.

    With `keep`, only those elements' series are returned: every other element's balance row is
    written to `rows` and its series let go as soon as the elements below it have read it, so a
    large network's memory stays within the series still needed.
    """
    if not checked:
        network.check_step(step)
    context = Context(inputs, step, points, network.options.units)
    done: dict[str, Series] = {}
    if threads <= 1 and keep is not None:
        # depth first, so that each element's inflows are let go soon after they are made
        readers = {name: len(network.downstream_of(name)) for name in network.order}
        for name in _depth_first(network):
            series = _compute(network, name, done, context)
            if name in keep:
                done[name] = series
            else:  # its balance now; only what the elements below read stays until they have run
                done[name] = _let_go(network, name, series, step, rows)
            for other in network.upstream(name):
                readers[other] -= 1
                if readers[other] == 0 and other not in keep:
                    del done[other]
            if readers[name] == 0 and name not in keep:
                del done[name]
        return _kept_only(network, done, keep, step, rows)
    # With threads, whole independent branches run as thread tasks (few, long tasks: each holds the interpreter
    # only between kernel calls); the elements below them (the trunk) run after, in order.
    buckets, trunk = branch_plan(network, threads) if threads > 1 else ([], [])

    def run_in_order(names: list[str], own: dict[str, Series]) -> dict[str, Series]:
        for name in names:
            own[name] = _compute(network, name, own, context)
        return own

    if len(buckets) > 1:
        with ThreadPoolExecutor(max_workers=len(buckets)) as pool:
            for future in [pool.submit(run_in_order, bucket, {}) for bucket in buckets]:
                done.update(future.result())
    else:
        trunk = list(network.order)
    run_in_order(trunk, done)
    return _kept_only(network, done, keep, step, rows)


def _kept_only(
    network: Topology,
    series: dict[str, Series],
    keep: Collection[str] | None,
    step: int,
    rows: dict[str, Balance] | None,
) -> dict[str, Series]:
    """The kept elements' series (None: all) in the network's order; every other element let go (`_let_go`)."""
    for name in network.order:
        if keep is not None and name in series and name not in keep:
            _let_go(network, name, series.pop(name), step, rows)
    return {name: series[name] for name in network.order if name in series}


def _let_go(network: Topology, name: str, series: Series, step: int, rows: dict[str, Balance] | None) -> Series:
    """An element's balance row written to `rows`; what the elements below it read is returned."""
    element = network.elements[name]
    if rows is not None:
        rows[name] = element.balance_row(series, step, network.options.units)
    return element.handed_on(series)


def _depth_first(network: Topology) -> list[str]:
    """A topological order that finishes each branch before starting the next (post-order from the outlets)."""
    cached: list[str] | None = network.__dict__.get("_depth_first")
    if cached is not None:
        return cached
    order: list[str] = []
    seen: set[str] = set()
    for outlet in [name for name in network.order if not network.downstream_of(name)]:
        stack: list[tuple[str, bool]] = [(outlet, False)]
        while stack:
            name, expanded = stack.pop()
            if expanded:
                order.append(name)
                continue
            if name in seen:
                continue
            seen.add(name)
            stack.append((name, True))
            stack.extend((up, False) for up in reversed(network.upstream(name)) if up not in seen)
    network.__dict__["_depth_first"] = order
    return order


def receded_at(outflow: Array, recession: float, start: int = 0) -> int | None:
    """The first point, at or after `start` and after the peak, where the outflow is back within
    `recession` of its rise above the first value; None when it never does.
    """
    if len(outflow) == 0:
        return None
    peak = int(np.argmax(outflow))
    rise = float(outflow[peak] - outflow[0])
    if not rise > 0.0:
        return max(start, 0) if start < len(outflow) else None
    threshold = outflow[0] + recession * rise
    after = np.flatnonzero(outflow[peak:] <= threshold)
    after = after[after + peak >= start]
    return int(after[0] + peak) if after.size else None


def run_points(
    network: Topology,
    inputs: Inputs,
    step: int,
    *,
    points: int | None = None,
    threads: int = 1,
    keep: Collection[str] | None = None,
    rows: dict[str, Balance] | None = None,
) -> dict[str, Series]:
    """Run over `points` points, or (None) over the forcing and on until the network has drained.

    The automatic end is the first point, after the forcing and after every subbasin's direct
    runoff has arrived, where (1) the network's outflow and every subbasin's baseflow have receded
    to within `options.recession` of their rise, and (2) no element still holds more than
    `options.recession` of the water that entered it (direct runoff to come, groundwater, water in
    a reach, a pool's gain of storage, snow and soil water gained): a flood still on its way through
    a long reach or a filling pool keeps the run going. The horizon doubles up to
    `options.max_horizon` hours after the forcing, and never goes past the end of a source's
    record nor past the end of the potential ET and temperature records (neither is padded); there a
    warning names what is still held. `keep` and `rows` as `simulate_network` has them.
    """
    network.check_step(step)
    sources_end = min((len(flow) for flow in inputs.inflows.values()), default=None)
    if points is not None:
        if sources_end is not None and points > sources_end:
            _beyond_sources(inputs, step, sources_end)
        return simulate_network(network, inputs, step, points, threads=threads, checked=True, keep=keep, rows=rows)
    forced = inputs.length
    limit = forced + 1 + max(1, int(network.options.max_horizon * u.SECONDS_PER_HOUR // step))
    if sources_end is not None:
        limit = min(limit, max(sources_end, 1))
    driven = inputs.driven_intervals()  # PET and temperature are never padded: a run stops at their end
    if driven is not None and driven >= forced:  # (shorter than the rain: refused by the run, naming it)
        limit = min(limit, max(driven, 2))
    recession = network.options.recession
    points = min(limit, max(forced + 1, 2))
    while True:
        series = simulate_network(network, inputs, step, points, threads=threads, checked=True)
        context = Context(inputs, step, points, network.options.units)
        needed = max(
            [forced] + [network.elements[name].complete_point(values, context) for name, values in series.items()]
        )
        at = _drained_at(network, series, context, needed) if needed < points else None
        if at is not None:
            if at + 1 < points:
                series = {name: values.trimmed(at + 1) for name, values in series.items()}
            break
        if points >= limit:
            held = _still_held(network, series, context)
            where = (
                "the end of the sources' records"
                if limit == sources_end
                else "the end of the potential ET and temperature records"
                if limit == driven
                else f"options.max_horizon ({network.options.max_horizon:g} h) after the forcing"
            )
            what = ", ".join(f"{network.path(name)} ({share:.1%} of its inflow)" for name, share in held)
            warnings.warn(
                f"the network has not drained within {where}; the results end there"
                + (f"; still held: {what}" if what else f"; the outflow has not receded to {recession:g} of its rise"),
                stacklevel=2,  # Network.run's call
            )
            break
        points = min(limit, max(points * 2, needed + 1))
    return _kept_only(network, series, keep, step, rows)


def _beyond_sources(inputs: Inputs, step: int, covered: int) -> None:
    name = min(inputs.inflows, key=lambda n: len(inputs.inflows[n]))
    first = "" if inputs.start is None else f" {(inputs.start + pd.Timedelta(seconds=step * covered)).isoformat()}"
    raise TimeSeriesError(
        f"inflows.{name}: the record ends before the run; the first instant it does not cover is{first} "
        "(end the run earlier or extend the record)"
    )


def _receded(network: Topology, outflow: Array, series: Mapping[str, Series], start: int) -> int | None:
    """The first point at or after `start` where the network's `outflow` and every baseflow have receded."""
    recession = network.options.recession
    at = receded_at(outflow, recession, start)
    for values in series.values():
        baseflow = getattr(values, "baseflow", None)
        if at is not None and getattr(values, "layers", None) and baseflow is not None:
            at = receded_at(baseflow, recession, at)
    return at


def _still_held(network: Topology, series: Mapping[str, Series], context: Context) -> list[tuple[str, float]]:
    """The elements holding more than `recession` of what entered them at the last point, and that share."""
    recession = network.options.recession
    held = []
    for name, values in series.items():
        found = network.elements[name].held_water(values, context.step, context.units)
        if found is None:
            continue
        water, entered = found
        if water > 0.0 and water > recession * max(entered, 0.0):
            held.append((name, water / entered if entered > 0.0 else math.inf))
    return held


def _drained_at(network: Topology, series: Mapping[str, Series], context: Context, start: int) -> int | None:
    """The first point at or after `start` where the network has receded and drained (None: not yet)."""
    outflow = network_outflow(network, series)
    last = len(outflow) - 1

    def drained(point: int) -> bool:
        return not _still_held(network, {n: v.trimmed(point + 1) for n, v in series.items()}, context)

    while True:
        at = _receded(network, outflow, series, start)
        if at is None:
            return None
        if drained(at):
            return at
        if not drained(last):
            return None
        low, high = at, last  # drained at `high`, not at `low`: the first point between that is
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (low, middle) if drained(middle) else (middle, high)
        start = high  # recheck the recession from there (a second flood may still be arriving)
        if _receded(network, outflow, series, start) == start:
            return start


def points_until(network: Topology, end: object, start: pd.Timestamp, step: int, forced: int) -> int:
    """The points of a run from `start` to `end` every `step` seconds, refused beyond `options.max_horizon`
    after the `forced` intervals of the forcing.
    """
    stop = pd.Timestamp(end)  # type: ignore[arg-type]
    if (stop.tzinfo is None) != (start.tzinfo is None):
        raise TimeSeriesError(f"end {stop.isoformat()} and the rain's index must both have a time zone, or neither")
    if stop < start:
        raise TimeSeriesError(f"end {stop.isoformat()} is before the start of the rain {start.isoformat()}")
    points = int((stop - start) // pd.Timedelta(seconds=step)) + 1
    horizon = forced + 1 + int(network.options.max_horizon * u.SECONDS_PER_HOUR // step)
    if points > horizon:  # refused before anything is allocated
        raise ModelError(
            "end",
            f"{stop.isoformat()} is {(points - forced - 1) * step / u.SECONDS_PER_HOUR:g} h past the "
            f"forcing, beyond options.max_horizon ({network.options.max_horizon:g} h); raise it to run that long",
        )
    return points


def kept_names(network: Topology, keep: str | Collection[str] | None) -> frozenset[str] | None:
    """The elements whose series a run keeps (None: all)."""
    if keep is None:
        return None
    if keep == "gauges":
        names: Collection[str] = network.gauges
    elif keep == "outlets":
        names = ()
    elif isinstance(keep, str):
        raise ValueError(f'keep must be "gauges", "outlets" or a list of element names, not {keep!r}')
    else:
        names = list(keep)
    unknown = [name for name in names if name not in network.elements]
    if unknown:
        raise ModelError("keep", f"no element named {unknown[0]!r}")
    return frozenset(names) | frozenset(network.outlets())
