"""Running a network: forcing in, every element's series out on one time index, balances per element.

Every element runs over the same horizon of N points at the computation step, in the network's
order (each element after those flowing into it); independent branches may run side by side on a
thread pool (`threads=`), with identical results: each element's inflow is the sum of its upstream
elements' flows in the network's order, whatever finished first.

Time placement (see `rainmill_models.methods.standard` for each kernel): depths (rain, excess,
loss) are per interval, interval i running from point i to point i + 1; flows, storages and
elevations are values at the points. A reservoir also reports `release`, the mean outflow over each
interval derived from its storage trace (inflow volume minus storage change), the volume that really
left the pool whatever its outlets do between the points; it is given at the interval's start.

Without an explicit end, a run covers the whole forcing and then goes on (doubling, up to
`options.max_horizon` hours beyond the forcing) until the direct runoff is complete and the network's
outflow and every subbasin's baseflow have receded to within `options.recession` of their rise.
"""

from __future__ import annotations

import dataclasses
import functools
import inspect
import math
import warnings
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from datetime import timedelta
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy as np
import numpy.typing as npt
import pandas as pd
import rainmill

from . import units as u
from .description import ConstantOutlet, ControlledOutlet, SpecifiedOutlet, UncontrolledOutlet
from .errors import ModelError
from .methods import Forcing, LossOutput
from .network import Diversion, Junction, Network, Pool, Reach, Sink, Source, Subbasin
from .timeseries import TimeSeriesError, describe_step, fill_rain, infer_step

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .units import UnitSystem

Array = npt.NDArray[np.float64]
ru = rainmill.reservoir.reservoir_utils

# A balance closes when its residual is within this fraction of the volume that moved through it.
BALANCE_TOLERANCE = 1e-3
ACRE_INCH_FT3 = u.CUBIC_FEET_PER_ACRE_FOOT / 12.0

FLOW_VARIABLES = ("inflow", "outflow", "direct", "baseflow", "diverted", "release")
DEPTH_VARIABLES = ("rain", "water", "excess", "loss")


# ---- forcing ----


@dataclass(frozen=True)
class Inputs:
    """What drives one run, at the computation step, in the extension's units (inches, cfs, °C)."""

    rain: dict[str, Array]  # per subbasin, depth per interval
    inflows: dict[str, Array]  # per source, flow at the points
    potential_et: dict[str, Array]
    temperature: dict[str, Array]
    length: int  # intervals of forcing
    start: pd.Timestamp | None = None  # of the first interval (a seasonal method needs the date)


def _series_table(value: Any, names: list[str], what: str, allow_weights: bool = False) -> dict[str, pd.Series]:
    """One series per name from a Series (for all), a mapping name -> Series, or a DataFrame of columns."""
    if isinstance(value, pd.Series):
        return dict.fromkeys(names, value)
    if isinstance(value, pd.DataFrame):
        value = {str(c): value[c] for c in value.columns}
    if isinstance(value, Mapping):
        missing = [n for n in names if n not in value]
        if missing:
            raise ModelError(what, f"no series for {', '.join(missing)}")
        extra = [str(k) for k in value if k not in names]
        if extra and not allow_weights:
            raise ModelError(what, f"series for unknown elements: {', '.join(extra)}")
        out: dict[str, pd.Series] = {}
        for name in names:
            series = value[name]
            if not isinstance(series, pd.Series):
                raise ModelError(f"{what}.{name}", f"must be a pandas Series, not {type(series).__name__}")
            out[name] = series
        return out
    raise ModelError(what, f"must be a Series, a mapping of name -> Series or a DataFrame, not {type(value).__name__}")


def weighted_rain(gauges: pd.DataFrame, weights: Mapping[str, Mapping[str, float]]) -> dict[str, pd.Series]:
    """Rain per subbasin as weighted sums of gauges' series: weights[subbasin][gauge] (each row adds to 1)."""
    out: dict[str, pd.Series] = {}
    for name, row in weights.items():
        total = math.fsum(row.values())
        if not math.isclose(total, 1.0, rel_tol=1e-9):
            raise ModelError(f"weights.{name}", f"the weights add up to {total:g}, not 1")
        series = None
        for gauge, weight in row.items():
            if gauge not in gauges.columns:
                raise ModelError(f"weights.{name}.{gauge}", "no such gauge in the rain table")
            term = gauges[gauge] * float(weight)
            series = term if series is None else series + term
        assert series is not None
        out[name] = series
    return out


def at_step(
    series: pd.Series, step: int | None, name: str, missing: Literal["raise", "zero"], label: str = ""
) -> tuple[pd.Series, int]:
    """Depths per step brought to the computation step (by the extension's disaggregation), and that step."""
    series = fill_rain(series, missing, name=name)
    if len(series) >= 2:
        own = int(infer_step(series, name=name).total_seconds())
    elif step is not None and len(series) == 1:
        own = step
    else:
        raise TimeSeriesError(f"{name}: at least two values are needed to infer the step (or set options.step)")
    target = own if step is None else step
    if target != own:
        if target > own or own % target or target < 30:
            raise ModelError(
                "options.step",
                f"{target / u.SECONDS_PER_HOUR:g} h must divide the {label or 'step of ' + name} "
                f"({own / u.SECONDS_PER_HOUR:g} h) "
                "and be at least 30 s",
            )
        fine = rainmill.utils.IncrementalTimeSeries(
            series.to_numpy(dtype=np.float64), timedelta(seconds=own), "rainfall"
        ).disaggregate(target)
        index = pd.date_range(series.index[0], periods=len(fine.data), freq=pd.Timedelta(seconds=target), name="time")
        series = pd.Series(np.asarray(fine.data, dtype=np.float64), index=index, name=series.name)
    return series, target


def prepare_inputs(
    network: Network,
    rain: Any,
    *,
    inflows: Any = None,
    potential_et: Any = None,
    temperature: Any = None,
    weights: Mapping[str, Mapping[str, float]] | None = None,
    missing: Literal["raise", "zero"] = "raise",
) -> tuple[Inputs, pd.Timestamp, int]:
    """The forcing at the computation step in the extension's units, its start and the step in seconds."""
    units = network.options.units
    subbasins = list(network.subbasins())
    if weights is not None:
        if not isinstance(rain, pd.DataFrame):
            raise ModelError("rain", "gauge weights need a DataFrame with one column per gauge")
        rain = weighted_rain(rain, weights)
    per_basin = _series_table(rain, subbasins, "rain") if subbasins else {}
    option_step = None if network.options.step is None else u.step_seconds(network.options.step)
    depth = u.to_us(1.0, "depth", units)
    start: pd.Timestamp | None = None
    step: int | None = option_step
    arrays: dict[str, Array] = {}
    done: dict[int, tuple[Array, pd.Timestamp]] = {}  # one series given for several subbasins is read once
    for name, series in per_basin.items():
        if id(series) in done:
            arrays[name], first = done[id(series)]
            continue
        fine, step = at_step(series, step, f"rain.{name}", missing)
        arrays[name] = fine.to_numpy(dtype=np.float64) * depth
        first = pd.Timestamp(fine.index[0])
        done[id(series)] = (arrays[name], first)
        if start is None:
            start = first
        elif first != start:
            raise TimeSeriesError(f"rain.{name}: starts at {first.isoformat()}, the others at {start.isoformat()}")
    sources = network.sources()
    flows: dict[str, Array] = {}
    if sources:
        if inflows is None:
            raise ModelError("inflows", f"the sources {', '.join(sources)} need their hydrographs (inflows=...)")
        flow = u.to_us(1.0, "flow", units)
        for name, series in _series_table(inflows, sources, "inflows").items():
            values = series.sort_index()
            if values.isna().any():
                raise TimeSeriesError(f"inflows.{name}: missing values")
            if len(values) >= 2:
                own = int(infer_step(values, name=f"inflows.{name}").total_seconds())
                if step is None:
                    step = own
                elif own != step:
                    target = pd.date_range(values.index[0], values.index[-1], freq=pd.Timedelta(seconds=step))
                    values = values.reindex(values.index.union(target)).interpolate(method="time").reindex(target)
            first = pd.Timestamp(values.index[0])
            if start is None:
                start = first
            elif first != start:
                raise TimeSeriesError(f"inflows.{name}: starts at {first.isoformat()}, the rain at {start.isoformat()}")
            flows[name] = values.to_numpy(dtype=np.float64) * flow
    if start is None or step is None:
        raise ModelError("rain", "a network without subbasins needs source hydrographs of at least two values")
    extra: dict[str, dict[str, Array]] = {"potential_et": {}, "temperature": {}}
    for key, value, quantity in (("potential_et", potential_et, "depth"), ("temperature", temperature, None)):
        if value is None:
            continue
        for name, series in _series_table(value, subbasins, key).items():
            fine, _ = at_step(series, step, f"{key}.{name}", "raise") if quantity else (series, step)
            factor = u.to_us(1.0, quantity, units) if quantity else 1.0
            extra[key][name] = fine.to_numpy(dtype=np.float64) * factor
    length = max([len(a) for a in arrays.values()] + [max(len(a) - 1, 0) for a in flows.values()] + [1])
    return Inputs(arrays, flows, extra["potential_et"], extra["temperature"], length, start), start, step


# ---- the engine ----


def _fit(values: Array, points: int, hold: bool = False) -> Array:
    if len(values) >= points:
        return values[:points]
    out = np.zeros(points)
    given = values[:points]
    out[: len(given)] = given
    if hold and len(given) and len(given) < points:
        out[len(given) :] = given[-1]
    return out


def in_us(method: Any, units: UnitSystem) -> Any:
    """The method with its dimensional parameters in the extension's units (itself for US)."""
    if units == "US" or not method.UNITS:
        return method
    changes: dict[str, Any] = {}
    for name, quantity in method.UNITS.items():
        if name.startswith("layers.*."):
            attribute = name.removeprefix("layers.*.")
            changes["layers"] = {
                key: dataclasses.replace(layer, **{attribute: u.to_us(getattr(layer, attribute), quantity, units)})
                for key, layer in changes.get("layers", method.layers).items()
            }
        elif isinstance(getattr(method, name), (tuple, list)):  # one value per snow zone, say
            changes[name] = tuple(u.to_us(value, quantity, units) for value in getattr(method, name))
        elif getattr(method, name) is not None:
            changes[name] = u.to_us(getattr(method, name), quantity, units)
    return dataclasses.replace(method, **changes)


@functools.cache
def _takes_start(kind: Any) -> bool:
    """Whether a method class's `run` takes the run's `start` (a seasonal method does)."""
    return "start" in inspect.signature(kind.run).parameters


def _outlet(outlet: object, units: UnitSystem) -> Any:
    flow = u.factor_from_us("flow", units)
    if isinstance(outlet, ConstantOutlet):
        return ru.ConstantDischargeInfo(outlet.discharge / flow, outlet.minimum_elevation, outlet.maximum_elevation)
    cap = getattr(outlet, "maximum_release", None)
    cap_us = None if cap is None else cap / flow
    if isinstance(outlet, SpecifiedOutlet):
        series = rainmill.utils.ContinuousTimeSeries(
            [q / flow for q in outlet.discharge], timedelta(seconds=u.step_seconds(outlet.step)), "discharge"
        )
        return ru.SpecifiedDischargeInfo(series, outlet.minimum_elevation, outlet.maximum_elevation, cap_us)
    assert isinstance(outlet, (ControlledOutlet, UncontrolledOutlet))
    rating = ru.ElevationDischarge(list(outlet.elevation), [q / flow for q in outlet.discharge])
    if isinstance(outlet, ControlledOutlet):
        return ru.ControlledDischargeInfo(rating, outlet.minimum_elevation, outlet.maximum_elevation, cap_us)
    return ru.UnControlledDischargeInfo(rating, outlet.elevation_offset)


def _subbasin(
    element: Subbasin, name: str, inputs: Inputs, units: UnitSystem, step: int, points: int
) -> dict[str, Any]:
    area = u.to_us(element.area, "area", units)
    rain = _fit(inputs.rain[name], points)
    pet = inputs.potential_et.get(name)
    temperature = inputs.temperature.get(name)
    forcing = Forcing(
        potential_et=None if pet is None else _fit(pet, points),
        temperature=None if temperature is None else _fit(temperature, points, hold=True),
    )
    out: dict[str, Any] = {"rain": rain}
    water = rain
    if element.snow is not None:
        if forcing.temperature is None:
            raise ModelError(f"subbasins.{name}.snow", "needs a temperature series (temperature=...)")
        method = in_us(element.snow, units)
        if _takes_start(cast(Any, type(method))):
            snow = method.run(rain, forcing.temperature, step, start=inputs.start)
        else:
            snow = method.run(rain, forcing.temperature, step)
        water = snow.liquid
        out["water"] = water
        out["states.snow"] = dict(snow.states)
        out["storage.snow"] = dict(snow.storage)
    loss: LossOutput = in_us(element.loss, units).run(water, step, forcing)
    transform = in_us(element.transform, units)
    direct = transform.run(loss.excess, area, step)
    out.update(excess=loss.excess, loss=loss.recharge, direct=direct)
    out["losses"] = dict(loss.losses)
    out["storage"] = dict(loss.storage)
    out["states"] = dict(loss.states)
    if element.baseflow is not None:
        baseflow = in_us(element.baseflow, units)
        months_of = getattr(baseflow, "months_of", None)  # a method that reads the calendar month
        extra = {} if months_of is None else {"months": months_of(inputs.start, step, points)}
        total, layers = baseflow.run(loss.recharge, area, step, direct, **extra)
        out["baseflow"] = total
        out["layers"] = layers
        fraction = math.fsum(layer.fraction for layer in getattr(element.baseflow, "layers", {}).values())
    else:
        out["baseflow"] = np.zeros(points)
        out["layers"] = {}
        fraction = 0.0
    out["deep_fraction"] = 1.0 - fraction
    out["outflow"] = direct + out["baseflow"]
    return out


def _pool(element: Pool, name: str, inflow: Array, units: UnitSystem, step: int) -> dict[str, Any]:
    curve = ru.ElevationStorage(list(element.elevation), [u.to_us(s, "volume", units) for s in element.storage])
    try:
        pool = rainmill.reservoir.run_level_pool_routing(
            rainmill.utils.ContinuousTimeSeries(inflow, timedelta(seconds=step), "discharge"),
            element.initial_elevation,
            curve,
            {key: _outlet(outlet, units) for key, outlet in element.outlets.items()},
        )
    except ValueError as error:
        raise ModelError(f"reservoirs.{name}", f"the level-pool routing failed: {error}") from error
    storage = np.array(pool.reservoir_storage, dtype=np.float64)
    outflow = np.array(pool.reservoir_total_outflow, dtype=np.float64)
    individual = pool.reservoir_individual_outflows
    outlets = {key: np.array(individual[key], dtype=np.float64) for key in element.outlets}
    # A pool that is empty releases no more than flows in: the kernel clamps the storage at zero but
    # goes on reporting its outlets' discharge, which never left the pool.
    empty = storage <= 0.0
    if empty.any():
        capped = np.minimum(outflow, inflow)
        scale = np.divide(capped, outflow, out=np.zeros_like(outflow), where=outflow > 0.0)
        for key in outlets:
            outlets[key] = np.where(empty, outlets[key] * scale, outlets[key])
        outflow = np.where(empty, capped, outflow)
    # The released volume of each interval, from the storage trace: what came in minus what stayed.
    release = np.full(len(inflow), np.nan)
    if len(inflow) > 1:
        came_in = 0.5 * (inflow[:-1] + inflow[1:]) * step
        release[:-1] = (came_in - np.diff(storage)) / step
    return {
        "inflow": inflow,
        "outflow": outflow,
        "release": release,
        "storage": storage,
        "elevation": np.array(pool.reservoir_elevation, dtype=np.float64),
        "outlets": outlets,
    }


def _diversion(element: Diversion, inflow: Array, units: UnitSystem) -> dict[str, Any]:
    flow = u.to_us(1.0, "flow", units)
    table_in = np.asarray(element.inflow) * flow
    table_out = np.asarray(element.diverted) * flow
    diverted = np.interp(inflow, table_in, table_out)
    if element.capacity is not None:
        diverted = np.minimum(diverted, element.capacity * flow)
    diverted = np.clip(diverted, 0.0, np.maximum(inflow, 0.0))
    return {"inflow": inflow, "diverted": diverted, "outflow": inflow - diverted}


def _compute(
    network: Network, name: str, done: Mapping[str, dict[str, Any]], inputs: Inputs, step: int, points: int
) -> dict[str, Any]:
    element = network.elements[name]
    units = network.options.units
    if isinstance(element, Subbasin):
        return _subbasin(element, name, inputs, units, step, points)
    if isinstance(element, Source):
        flow = _fit(inputs.inflows[name], points, hold=True)
        return {"outflow": flow}
    # the sum in the network's order; the first term is taken as it is (0 + a is a), not copied
    inflow: Array | None = None
    for other in network.upstream(name):
        upstream = network.elements[other]
        if isinstance(upstream, Diversion) and upstream.to == name:
            term = done[other]["diverted"]
            inflow = term if inflow is None else inflow + term
        if upstream.downstream == name:
            term = done[other]["outflow"]
            inflow = term if inflow is None else inflow + term
    if inflow is None:
        inflow = np.zeros(points)
    if isinstance(element, Reach):
        return {"inflow": inflow, "outflow": in_us(element.routing, units).run(inflow, step)}
    if isinstance(element, Pool):
        return _pool(element, name, inflow, units, step)
    if isinstance(element, Diversion):
        return _diversion(element, inflow, units)
    assert isinstance(element, (Junction, Sink))
    return {"inflow": inflow, "outflow": inflow}


def _closure(network: Network, root: str) -> set[str]:
    """`root` and every element whose water reaches it."""
    seen = {root}
    stack = [root]
    while stack:
        for up in network.upstream(stack.pop()):
            if up not in seen:
                seen.add(up)
                stack.append(up)
    return seen


def branch_plan(network: Network, threads: int) -> tuple[list[list[str]], list[str]]:
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
        members = _closure(network, outlet)
        for name in [name for name, other in roots.items() if other & members]:
            members |= roots.pop(name)  # outlets sharing elements (a diversion to both) run as one
            refused.add(outlet)
        roots[outlet] = members
    while len(roots) < 4 * threads:
        candidates = [name for name in roots if name not in refused and len(roots[name]) > 1]
        if not candidates:
            break
        top = max(candidates, key=lambda name: len(roots[name]))
        parts = {up: _closure(network, up) for up in network.upstream(top)}
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
    network: Network, inputs: Inputs, step: int, points: int, *, threads: int = 1, checked: bool = False
) -> dict[str, dict[str, Any]]:
    """Every element's series over `points` points (the extension's units): the lean core of a run."""
    if not checked:
        network.check_step(step)
    done: dict[str, dict[str, Any]] = {}
    if threads <= 1:
        for name in network.order:
            done[name] = _compute(network, name, done, inputs, step, points)
        return done
    # Whole independent branches run as thread tasks (few, long tasks: each holds the interpreter
    # only between kernel calls); the elements below them (the trunk) run after, in order.
    buckets, trunk = branch_plan(network, threads)

    def run_bucket(names: list[str]) -> dict[str, dict[str, Any]]:
        own: dict[str, dict[str, Any]] = {}
        for name in names:
            own[name] = _compute(network, name, own, inputs, step, points)
        return own

    if len(buckets) > 1:
        with ThreadPoolExecutor(max_workers=len(buckets)) as pool:
            for future in [pool.submit(run_bucket, bucket) for bucket in buckets]:
                done.update(future.result())
    else:
        trunk = list(network.order)
    for name in trunk:
        done[name] = _compute(network, name, done, inputs, step, points)
    return {name: done[name] for name in network.order}


def complete_point(network: Network, name: str, values: Mapping[str, Any], step: int) -> int:
    """The first point after which a subbasin's direct runoff has fully arrived (0 for other elements)."""
    element = network.elements[name]
    if not isinstance(element, Subbasin):
        return 0
    transform = in_us(element.transform, network.options.units)
    complete = getattr(transform, "complete_after", None)
    if complete is None:
        return 0
    return int(complete(values["excess"], u.to_us(element.area, "area", network.options.units), step))


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


def network_outflow(network: Network, series: Mapping[str, dict[str, Any]]) -> Array:
    """The sum of what leaves the network through its outlets (not the diversions out of it)."""
    names = network.outlets()
    total = np.array(series[names[0]]["outflow"], dtype=np.float64)
    for name in names[1:]:
        total = total + series[name]["outflow"]
    return total


def run_points(
    network: Network, inputs: Inputs, step: int, *, points: int | None = None, threads: int = 1
) -> dict[str, dict[str, Any]]:
    """Run over `points` points, or (None) over the forcing and on until the network has receded."""
    network.check_step(step)
    if points is not None:
        return simulate_network(network, inputs, step, points, threads=threads, checked=True)
    forced = inputs.length
    limit = forced + 1 + max(1, int(network.options.max_horizon * u.SECONDS_PER_HOUR // step))
    points = min(limit, max(forced + 1, 2))
    while True:
        series = simulate_network(network, inputs, step, points, threads=threads, checked=True)
        needed = max([forced] + [complete_point(network, name, values, step) for name, values in series.items()])
        at = (
            receded_at(network_outflow(network, series), network.options.recession, needed) if needed < points else None
        )
        for values in series.values():
            if at is not None and values.get("layers"):
                at = receded_at(values["baseflow"], network.options.recession, at)
        if at is not None:
            if at + 1 < points:
                series = _trim(series, at + 1)
            return series
        if points >= limit:
            warnings.warn(
                f"the outflow has not receded within options.max_horizon ({network.options.max_horizon:g} h) "
                "after the forcing; the results end there",
                stacklevel=3,
            )
            return series
        points = min(limit, max(points * 2, needed + 1))


STATE_GROUPS = ("states", "storage", "states.snow", "storage.snow")


def _trim(series: dict[str, dict[str, Any]], points: int) -> dict[str, dict[str, Any]]:
    """The first `points` points of every series (states, given at N + 1 points, keep one more)."""

    def cut(key: str, value: Any) -> Any:
        if isinstance(value, np.ndarray):
            return value[:points]
        if isinstance(value, dict):
            size = points + 1 if key in STATE_GROUPS else points
            return {k: v[:size] for k, v in value.items()}
        return value

    return {name: {k: cut(k, v) for k, v in values.items()} for name, values in series.items()}


def run_network(
    network: Network,
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
) -> NetworkResult:
    """Run `network` on its forcing; see the module for the horizon.

    `rain`: one Series for every subbasin, a mapping subbasin -> Series, a DataFrame with one column
    per subbasin, or (with `weights`, subbasin -> {gauge: weight}) a DataFrame of gauges. Depths per
    step in the model's units, the index the intervals' starts. `inflows`: the sources' hydrographs,
    the same way (flows at the points; the last value is held after the record). `potential_et`,
    `temperature`: optional, per subbasin, the same way. `end`: the last time of the results.
    `threads`: run independent branches side by side. `initial_states`: the state to start from,
    as values at parameter paths ("subbasins.a.loss.initial_deficit", "reservoirs.lake.
    initial_elevation", "subbasins.a.baseflow.layers.deep.initial_q"), e.g. the states at the end of
    an earlier run (`result["a"]` reports them).
    """
    if initial_states:
        from .network import with_parameters

        network = with_parameters(network, dict(initial_states))
    inputs, start, step = prepare_inputs(
        network,
        rain,
        inflows=inflows,
        potential_et=potential_et,
        temperature=temperature,
        weights=weights,
        missing=missing,
    )
    if end is not None:
        stop = pd.Timestamp(end)  # type: ignore[arg-type]
        if (stop.tzinfo is None) != (start.tzinfo is None):
            raise TimeSeriesError(f"end {stop.isoformat()} and the rain's index must both have a time zone, or neither")
        if stop < start:
            raise TimeSeriesError(f"end {stop.isoformat()} is before the start of the rain {start.isoformat()}")
        points = int((stop - start) // pd.Timedelta(seconds=step)) + 1
        series = run_points(network, inputs, step, points=points, threads=threads)
    else:
        series = run_points(network, inputs, step, threads=threads)
    return NetworkResult(network, series, start, step, units or network.options.units)


# ---- results ----


@dataclass(frozen=True)
class Balance:
    """One element's (or the network's) water balance, in the result's volume unit.

    inflow = outflow + losses + storage_change + in_transit + residual. `in_transit` is the change
    of the water an element holds that no state reports: direct runoff still on its way, the
    groundwater layers, the water in a reach. Where the methods report it (`transit_checked`: the
    Clark transform, single linear reservoirs, Muskingum reaches), it is computed from their
    series and the residual checks it; otherwise it is what went in and has not come out, derived.
    The residual is checked against `scale`, the largest volume that moved (inflow, outflow,
    losses, storage change, in transit, or the storage at the start); with nothing moving, only a
    zero residual closes.
    """

    inflow: float
    outflow: float
    losses: float
    storage_change: float
    in_transit: float
    residual: float
    scale: float
    transit_checked: bool = False

    @property
    def relative(self) -> float:
        """The residual over the scale (0 for a zero residual, inf for a residual with nothing moving)."""
        if self.residual == 0.0:
            return 0.0
        return abs(self.residual) / self.scale if self.scale > 0.0 else math.inf

    @property
    def closes(self) -> bool:
        """The residual is within `BALANCE_TOLERANCE` of what moved."""
        return self.relative <= BALANCE_TOLERANCE


def balance(inflow: float, outflow: float, losses: float, change: float, transit: float, start: float) -> Balance:
    """A balance from its terms; the residual is what the terms leave unexplained."""
    residual = inflow - outflow - losses - change - transit
    scale = max(abs(inflow), abs(outflow), abs(losses), abs(change), abs(transit), abs(start))
    return Balance(inflow, outflow, losses, change, transit, residual, scale)


class NetworkResult:
    """The outcome of a network run: every element's series on one DatetimeIndex, in the result's units.

    - `flows`: DataFrame of flows with (element, variable) columns (inflow, outflow, direct,
      baseflow, baseflow.<layer>, diverted, release, outlet.<name>);
    - `result["name"]`: one element's every series (flows, depths, storages, states);
    - `outflow`: what leaves the network through its outlets;
    - `balances`: the water balance per element and for the network; `summary()`.
    """

    def __init__(
        self,
        network: Network,
        series: dict[str, dict[str, Any]],
        start: pd.Timestamp,
        step_seconds: int,
        units: UnitSystem,
    ) -> None:
        self.network = network
        self.series = series
        self.start = start
        self.step_seconds = step_seconds
        self.step = pd.Timedelta(seconds=step_seconds)
        self.units: UnitSystem = units

    def __repr__(self) -> str:
        return (
            f"<NetworkResult {self.network.options.name!r}: {len(self.network.elements)} elements, "
            f"{len(self.index)} points from {self.start.isoformat()} every {describe_step(self.step)}>"
        )

    @cached_property
    def index(self) -> pd.DatetimeIndex:
        """The time of every point."""
        first = self.series[self.network.order[0]]["outflow"]
        return pd.date_range(self.start, periods=len(first), freq=self.step, name="time")

    def _element_columns(self, name: str) -> dict[str, tuple[Array, str]]:
        values = self.series[name]
        columns: dict[str, tuple[Array, str]] = {}
        for key in DEPTH_VARIABLES:
            if key in values:
                columns[key] = (values[key], "depth")
        for key, array in values.get("losses", {}).items():
            columns[f"losses.{key}"] = (array, "depth")
        for key in ("inflow", "direct", "baseflow"):
            if key in values:
                columns[key] = (values[key], "flow")
        for key, array in values.get("layers", {}).items():
            columns[f"baseflow.{key}"] = (array, "flow")
        for key in ("diverted", "release"):
            if key in values:
                columns[key] = (values[key], "flow")
        for key, array in values.get("outlets", {}).items():
            columns[f"outlet.{key}"] = (array, "flow")
        columns["outflow"] = (values["outflow"], "flow")
        if "storage" in values and isinstance(values["storage"], np.ndarray):
            columns["storage"] = (values["storage"], "volume")
            columns["elevation"] = (values["elevation"], "length")
        n = len(self.index)
        for group in STATE_GROUPS:
            state = values.get(group)
            if isinstance(state, dict):
                for key, array in state.items():
                    # states are at the points, the first the initial one: the value at each point;
                    # every loss and snow state is a depth over the subbasin (a melt factor a depth
                    # per degree), so one factor brings them all to the result's units
                    columns[f"{group}.{key}"] = (np.asarray(array)[:n], "depth")
        return columns

    def __getitem__(self, name: str) -> pd.DataFrame:
        """Every series of one element, in the result's units."""
        if name not in self.series:
            raise KeyError(f"no element named {name!r} (there are: {', '.join(self.series)})")
        data = {}
        n = len(self.index)
        for key, (array, quantity) in self._element_columns(name).items():
            factor = u.factor_from_us(quantity, self.units) if quantity else 1.0
            data[key] = _fit(np.asarray(array, dtype=np.float64) * factor, n) if len(array) != n else array * factor
        return pd.DataFrame(data, index=self.index)

    @cached_property
    def flows(self) -> pd.DataFrame:
        """Every flow, one column per (element, variable)."""
        factor = u.factor_from_us("flow", self.units)
        data: dict[tuple[str, str], Array] = {}
        for name in self.network.order:
            for key, (array, quantity) in self._element_columns(name).items():
                if quantity == "flow":
                    data[(name, key)] = array * factor
        frame = pd.DataFrame(data, index=self.index)
        frame.columns = pd.MultiIndex.from_tuples(list(data), names=["element", "variable"])
        return frame

    @cached_property
    def outflow(self) -> pd.Series:
        """What leaves the network through its outlets, summed."""
        values = network_outflow(self.network, self.series) * u.factor_from_us("flow", self.units)
        return pd.Series(values, index=self.index, name="outflow")

    @cached_property
    def states(self) -> pd.DataFrame:
        """The methods' storages at the points, as (element, state) columns.

        One point more than the flows: the last is where a hot start continues (see
        `rainmill_models.hot_start`).
        """
        from .hot_start import states_frame

        return states_frame(self)

    def at(self, name: str) -> pd.Series:
        """The outflow of one element."""
        return pd.Series(
            self.series[name]["outflow"] * u.factor_from_us("flow", self.units), index=self.index, name=name
        )

    @cached_property
    def balances(self) -> pd.DataFrame:
        """The water balance of every element and (last row, "network") of the whole, in volumes."""
        seconds = float(self.step_seconds)
        rows: dict[str, Balance] = {}
        totals = {"rain": 0.0, "sources": 0.0, "outlets": 0.0, "diverted": 0.0, "losses": 0.0, "storage": 0.0,
                  "transit": 0.0, "start": 0.0}  # fmt: skip
        units = self.network.options.units
        for name in self.network.order:
            element = self.network.elements[name]
            values = self.series[name]
            out = u.flow_volume(values["outflow"], seconds)
            if isinstance(element, Subbasin):
                area = u.to_us(element.area, "area", units) * ACRE_INCH_FT3
                n = len(values["outflow"]) - 1  # the intervals between the points
                rain = math.fsum(values["rain"][:n].tolist()) * area
                recharge = math.fsum(values["loss"][:n].tolist()) * area
                lost = recharge * values["deep_fraction"]
                lost += sum(math.fsum(a[:n].tolist()) for a in values["losses"].values()) * area
                storages = [*values["storage"].values(), *values.get("storage.snow", {}).values()]
                stored = sum(float(a[min(n, len(a) - 1)] - a[0]) for a in storages) * area
                held = _subbasin_held(element, values, self.step_seconds, units)
                if held is None:  # a method that reports no holdings: the transit derived, the split checked
                    row = balance(rain, out, lost, stored, 0.0, 0.0)
                    row = dataclasses.replace(row, in_transit=row.residual, residual=_split_residual(values, n) * area)
                else:
                    row = dataclasses.replace(balance(rain, out, lost, stored, held, 0.0), transit_checked=True)
                totals["rain"] += rain
            elif isinstance(element, Pool):
                came = u.flow_volume(values["inflow"], seconds)
                release = values["release"]
                released = math.fsum(release[:-1].tolist()) * seconds
                change = float(values["storage"][-1] - values["storage"][0])
                row = balance(came, released, 0.0, change, 0.0, float(values["storage"][0]))
                row = dataclasses.replace(row, transit_checked=True)  # a pool's water is its storage
                totals["start"] += float(values["storage"][0])
            elif isinstance(element, Source):
                row = dataclasses.replace(balance(out, out, 0.0, 0.0, 0.0, 0.0), transit_checked=True)
                totals["sources"] += out
            else:
                came = u.flow_volume(values["inflow"], seconds)
                diverted = u.flow_volume(values["diverted"], seconds) if "diverted" in values else 0.0
                held = _reach_held(element, values, self.step_seconds, units) if isinstance(element, Reach) else 0.0
                transit = came - out if held is None else held
                row = balance(came, out + diverted, 0.0, 0.0, transit, 0.0)
                row = dataclasses.replace(row, transit_checked=held is not None)
                if isinstance(element, Diversion) and element.to is None:
                    totals["diverted"] += diverted
            if element.downstream is None and not isinstance(element, Pool):
                totals["outlets"] += out
            elif element.downstream is None:
                totals["outlets"] += row.outflow
            totals["losses"] += row.losses
            totals["storage"] += row.storage_change
            totals["transit"] += row.in_transit
            rows[name] = row
        whole = balance(
            totals["rain"] + totals["sources"],
            totals["outlets"] + totals["diverted"],
            totals["losses"],
            totals["storage"],
            totals["transit"],
            totals["start"],
        )
        rows["network"] = dataclasses.replace(whole, transit_checked=all(r.transit_checked for r in rows.values()))
        volume = u.factor_from_us("volume", self.units)
        frame = pd.DataFrame(
            {
                name: {
                    "inflow": r.inflow * volume,
                    "outflow": r.outflow * volume,
                    "losses": r.losses * volume,
                    "storage_change": r.storage_change * volume,
                    "in_transit": r.in_transit * volume,
                    "transit_checked": r.transit_checked,
                    "residual": r.residual * volume,
                    "scale": r.scale * volume,
                    "relative": r.relative,
                    "closes": r.closes,
                }
                for name, r in rows.items()
            }
        ).T
        frame.index.name = "element"
        return frame

    def summary(self) -> str:
        """Peaks and volumes at every element, and the balances, as text."""
        flow_unit = u.label("flow", self.units)
        volume_unit = u.label("volume", self.units)
        lines = [
            f"{self.network.options.name}: {len(self.network.elements)} elements, {len(self.index)} points every "
            f"{describe_step(self.step)} from {self.start.isoformat()} to {self.index[-1].isoformat()}",
            "",
            f"  {'element':<20}{'kind':<11}{'peak ' + flow_unit:>12}  {'at':<26}{'volume ' + volume_unit:>18}",
        ]
        seconds = float(self.step_seconds)
        flow = u.factor_from_us("flow", self.units)
        volume = u.factor_from_us("volume", self.units)
        for name in self.network.order:
            outflow = self.series[name]["outflow"]
            i = int(np.argmax(outflow))
            lines.append(
                f"  {name:<20}{self.network.elements[name].KIND:<11}{outflow[i] * flow:12.2f}  "
                f"{self.index[i].isoformat():<26}{u.flow_volume(outflow, seconds) * volume:18,.0f}"
            )
        lines += ["", f"Water balance ({volume_unit}; residual relative to the largest volume moved)"]
        table = self.balances
        lines.append(
            f"  {'element':<20}{'in':>14}{'out':>14}{'losses':>13}{'storage':>13}{'transit':>13}{'residual':>11}"
            f"{'relative':>10}"
        )
        for label, row in table.iterrows():
            verdict = "" if row["closes"] else "  OUTSIDE"
            lines.append(
                f"  {label!s:<20}{row['inflow']:14,.0f}{row['outflow']:14,.0f}{row['losses']:13,.0f}"
                f"{row['storage_change']:13,.0f}{row['in_transit']:13,.0f}{row['residual']:11.3g}"
                f"{row['relative']:10.1e}{verdict}"
            )
        return "\n".join(lines)

    def to_frame(self) -> pd.DataFrame:
        """Every series of every element, with (element, variable) columns."""
        parts = {name: self[name] for name in self.network.order}
        return pd.concat(parts, axis=1, names=["element", "variable"])

    def to_csv(self, path: str | Path) -> None:
        """Write `to_frame()` as CSV, columns named element.variable, all or nothing."""
        frame = self.to_frame()
        pairs = cast(list[tuple[str, str]], list(frame.columns))
        frame.columns = pd.Index([f"{element}.{variable}" for element, variable in pairs])
        write_frame(frame, path)

    def plot(self, elements: list[str] | None = None, observed: Mapping[str, pd.Series] | None = None) -> Figure:
        """Hydrographs at the chosen elements (default: the gauges, else the outlets) against observations."""
        from .plot import plot_hydrographs

        return plot_hydrographs(self, elements, observed or {})


def write_frame(frame: pd.DataFrame, path: str | Path) -> None:
    """Write a time-indexed frame as CSV (ISO 8601 timestamps), all or nothing."""
    from .files import atomic_write

    out = frame.copy()
    out.index = pd.Index([stamp.isoformat() for stamp in pd.DatetimeIndex(frame.index)], name="time")
    text = out.to_csv()
    with atomic_write(path) as stream:
        stream.write(text)


def _subbasin_held(element: Subbasin, values: Mapping[str, Any], step: int, units: UnitSystem) -> float | None:
    """The change of the water a subbasin's transform and layers hold (ft³), None where not reported."""
    transform = in_us(element.transform, units)
    to_come = getattr(transform, "to_come", None)
    baseflow = None if element.baseflow is None else in_us(element.baseflow, units)
    layers = (0.0, 0.0) if baseflow is None else getattr(baseflow, "held", lambda _: None)(values["layers"])
    if to_come is None or layers is None:
        return None
    area = u.to_us(element.area, "area", units)
    points = len(values["outflow"])
    return float(to_come(values["excess"], area, step, points)) + layers[1] - layers[0]


def _reach_held(element: Reach, values: Mapping[str, Any], step: int, units: UnitSystem) -> float | None:
    """The change of the water in a reach (ft³), None where its routing does not report it."""
    held = getattr(in_us(element.routing, units), "held", None)
    if held is None:
        return None
    first, last = held(values["inflow"], values["outflow"], step)
    return float(last - first)


def _split_residual(values: Mapping[str, Any], n: int) -> float:
    """Rain (or melt) = excess + loss + other losses + storage change of the loss method, in inches."""
    water = values.get("water", values["rain"])
    total = math.fsum(water[:n].tolist())
    parts = math.fsum(values["excess"][:n].tolist()) + math.fsum(values["loss"][:n].tolist())
    parts += sum(math.fsum(a[:n].tolist()) for a in values["losses"].values())
    parts += sum(float(a[min(n, len(a) - 1)] - a[0]) for a in values["storage"].values())
    return total - parts
