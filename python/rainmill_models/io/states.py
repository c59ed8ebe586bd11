"""Hot starts: a run's final states written to a file, and read back to start the next run there.

The states are values at parameter paths ("subbasins.upper.loss.initial_soil",
"subbasins.upper.snow.initial_ice" with one value per elevation zone), the form a run's
`initial_states` takes, so a run started from them continues the one that wrote them. The file
is JSON: `{"format": "rainmill-states", "version": 1, "time": ..., "states": {path: value}}`,
written all or nothing.

A states file sets starting states only: every path must end in a field that starts a run
(`initial_soil`, `initial_deficit`, a baseflow layer's `initial_q`, a reservoir's
`initial_elevation`, ...), never a parameter such as an area or a time of concentration. It is
read as any input is: a regular file of bounded size (`files.check_input`).
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
from collections.abc import Mapping
from typing import Any, Final

import numpy as np
import pandas as pd

from ..errors import ModelError
from .files import InputFileError, atomic_write, read_text
from .units import factor_from_us, from_us, to_us

FORMAT: Final = "rainmill-states"
VERSION: Final = 1
StateValue = float | tuple[float, ...]
# A states file holds one value per state (a few per subbasin): far more than any network needs.
MAX_STATES_BYTES: Final = 64 * 1024**2


def save_states(path: str | os.PathLike[str], states: Mapping[str, StateValue], time: str | None = None) -> None:
    """Write `states` (path -> value, as `initial_states` takes them) and the time they hold at."""
    checked = {_state_path(name): _checked(name, value) for name, value in states.items()}
    document = {"format": FORMAT, "version": VERSION, "time": time, "states": checked}
    with atomic_write(path) as stream:
        json.dump(document, stream, indent=2)
        stream.write("\n")


def load_states(path: str | os.PathLike[str]) -> dict[str, StateValue]:
    """The states a file of `save_states` holds, by path (zone values as tuples)."""
    try:
        document = json.loads(read_text(path, MAX_STATES_BYTES))
    except InputFileError as error:
        raise ModelError("states", f"cannot read {error}") from None
    except ValueError as error:
        raise ModelError("states", f"cannot read {os.fspath(path)!r}: {error}") from None
    except RecursionError:
        raise ModelError("states", f"cannot read {os.fspath(path)!r}: JSON nested too deep for a states file") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise ModelError("states", f"{os.fspath(path)!r} is not a states file")
    if document.get("version") != VERSION:
        raise ModelError("states", f"{os.fspath(path)!r} has version {document.get('version')!r}, not {VERSION}")
    states = document.get("states")
    if not isinstance(states, dict):
        raise ModelError("states", f"{os.fspath(path)!r} has no states table")
    return {_state_path(name): _checked(name, value) for name, value in states.items()}


def _state_path(name: object) -> str:
    """`name` when it is the path of a starting state (its last part starts with `initial_`)."""
    if not isinstance(name, str) or not name.rsplit(".", 1)[-1].startswith("initial_"):
        raise ModelError(
            str(name),
            "is not a starting state (a field such as initial_soil or initial_q); a states file sets no parameter",
        )
    return name


def _method_state(network: Any, path: str) -> None:
    """Refuse a loss or snow field that is not among its method's starting states (`STATE_FIELDS`)."""
    parts = path.split(".")
    if len(parts) < 3 or parts[0] != "subbasins" or parts[2] not in ("loss", "snow"):
        return
    method = getattr(getattr(network, "elements", {}).get(parts[1]), parts[2], None)
    fields = sorted(getattr(method, "STATE_FIELDS", {}).values())
    if len(parts) != 4 or parts[3] not in fields:
        raise ModelError(path, f"is not a starting state of the subbasin's {parts[2]} method (those are {fields})")


def _checked(name: str, value: Any) -> StateValue:
    values = value if isinstance(value, list | tuple) else [value]
    ok = all(isinstance(v, int | float) and not isinstance(v, bool) and math.isfinite(v) for v in values)
    if not ok or not values:
        raise ModelError(name, f"must be a finite number or a list of them, got {value!r}")
    floats = tuple(float(v) for v in values)
    return floats if isinstance(value, list | tuple) else floats[0]


def final_states(result: Any) -> dict[str, StateValue]:
    """The states where a network run ends, at the paths of the fields that start a run there.

    A run's last interval starts at its last point, so these are the states one step later: the
    next run starts there (`start_from(network, states)`, or `save_states` for a later session).

    For every subbasin whose loss or snow method keeps states (its `STATE_FIELDS`), in the
    description's units; a snow pack over several zones gives one value per zone. A baseflow
    layer restarts from its flow at the end of the last interval: the flow at the run's last
    point carried through that interval with its recharge (exact for a layer of one reservoir; a
    chain restarts with every reservoir at that flow). Water still in a transform is no state: it
    is lost to the next run, so its flows agree again once that water would have passed.
    """
    states: dict[str, StateValue] = {}
    for name, element in result.network.elements.items():
        series = result.series.get(name)
        for process, group in (("loss", "states"), ("snow", "snow_states")):
            method: Any = getattr(element, process, None)
            fields = getattr(method, "STATE_FIELDS", None)
            values = getattr(series, group, None)
            if not fields or not values:
                continue
            for state, field in fields.items():
                zones = [k for k in values if k.startswith(f"{_zone_state(state)}.zone")]
                if zones:  # in the zones' order: zone2 before zone10
                    last: StateValue = tuple(float(values[k][-1]) for k in sorted(zones, key=_zone_number))
                else:
                    single = float(values[_zone_state(state)][-1])
                    last = (single,) if process == "snow" else single
                quantity = method.UNITS.get(field)
                if quantity is not None:
                    last = _scaled(last, lambda v, q=quantity: from_us(v, q, result.units))
                states[f"subbasins.{name}.{process}.{field}"] = last
        states.update(_baseflow_states(result, name, element, series))
    return states


def _baseflow_states(result: Any, name: str, element: Any, series: Any) -> dict[str, StateValue]:
    """Each baseflow layer's flow at the end of the run's last interval, in the description's units.

    The layers report their flow at the points; the last interval (from the last point to the end)
    is run again on its own, from the last point's flow with that interval's recharge, by the
    method's own kernel.
    """
    from ..methods import in_us

    method = getattr(element, "baseflow", None)
    layers = getattr(method, "layers", None)
    recharge = getattr(series, "loss", None)
    if not layers or recharge is None or not len(recharge):
        return {}
    states: dict[str, StateValue] = {}
    us = in_us(method, result.units)
    area = to_us(float(element.area), "area", result.units)
    for layer in layers:
        flows = series.layers.get(layer)
        if flows is None or not len(flows):
            continue
        alone = dataclasses.replace(
            us, layers={layer: dataclasses.replace(us.layers[layer], initial_q=float(flows[-1]))}
        )
        _, out = alone.run(np.array([float(recharge[-1]), 0.0]), area, result.step_seconds, np.zeros(2))
        flow = from_us(float(out[layer][1]), "flow", result.units)
        states[f"subbasins.{name}.baseflow.layers.{layer}.initial_q"] = flow
    return states


def _zone_state(state: str) -> str:
    # The snow's liquid water is reported as `liquid_water`, its starting field is `initial_liquid`.
    return "liquid_water" if state == "liquid" else state


def _zone_number(key: str) -> int:
    return int(key.rsplit("zone", 1)[1])


def _scaled(value: StateValue, convert: Any) -> StateValue:
    return tuple(convert(v) for v in value) if isinstance(value, tuple) else convert(value)


def states_frame(result: Any) -> pd.DataFrame:
    """Every storage a network run's methods keep, at the points, as (element, state) columns.

    The index has one point more than the flows: the storages at the end of the last interval
    (those a hot start continues from). Depths in the result's units.
    """
    length = len(result.index) + 1
    columns: dict[tuple[str, str], np.ndarray] = {}
    for name in result.network.order:
        series = result.series.get(name)
        for prefix, group in (("loss", "storage_states"), ("snow", "snow_storage")):
            for key, values in (getattr(series, group, None) or {}).items():
                array = np.asarray(values, dtype=np.float64)
                if len(array) >= length:
                    columns[(name, f"{prefix}.{key}")] = array[:length] * factor_from_us("depth", result.units)
    index = pd.date_range(result.index[0], periods=length, freq=result.step, name="time")
    frame = pd.DataFrame({key: columns[key] for key in columns}, index=index)
    frame.columns = pd.MultiIndex.from_arrays(
        [[e for e, _ in columns], [s for _, s in columns]], names=["element", "state"]
    )
    return frame


def start_from(network: Any, states: Mapping[str, StateValue]) -> Any:
    """A copy of `network` whose methods start from `states` (as `final_states` or `load_states` give).

    Numeric states go through `with_parameters` (only the paths of starting states, those whose
    field starts with `initial_`); a state with one value per snow zone is handed to its method's
    `hot_start`, which checks it again.
    """
    for path in states:
        _method_state(network, _state_path(path))
    numeric = {path: value for path, value in states.items() if not isinstance(value, tuple)}
    network = network.with_parameters(numeric) if numeric else network
    zoned = {path: value for path, value in states.items() if isinstance(value, tuple)}
    if not zoned:
        return network
    elements = dict(network.elements)
    for path, value in zoned.items():
        parts = path.split(".")
        if len(parts) != 4 or parts[0] != "subbasins" or parts[1] not in elements:
            raise ModelError(path, "is not a state of a subbasin's method")
        element = elements[parts[1]]
        method = getattr(element, parts[2], None)
        if method is None or not hasattr(method, "hot_start"):
            raise ModelError(path, "names no method that keeps states")
        try:
            started = method.hot_start({parts[3]: value})
        except ModelError as error:
            raise error.under(".".join(parts[:3])) from None
        elements[parts[1]] = dataclasses.replace(element, **{parts[2]: started})
    return dataclasses.replace(network, elements=elements)
