"""Subbasins, streams and a starting network from a digital elevation model.

The steps, each a small NumPy routine:

1. **Pits filled** by priority flood with an epsilon (Barnes, Lehman and Mulla 2014, Computers &
   Geosciences 62, algorithm 3): from the edge cells (and the cells beside nodata) inwards in order
   of elevation, each cell no lower than the one it was reached from plus one unit in the last place,
   so every cell has a strictly lower way out.
2. **D8 directions**: each cell drains to the neighbour of the steepest drop (difference over the
   distance, a diagonal √2 cells); an edge cell without a lower neighbour drains off the map.
3. **Flow accumulation** in topological order (cells from the highest filled elevation down).
4. **Subbasins** at the given outlets and above every confluence of two streams (cells draining at
   least `stream_threshold` cells) within them: each branch's last cell before the confluence is the
   outlet of a subbasin. Every cell belongs to the first outlet downstream of it.

The network: a subbasin per outlet (with its area), named after a given outlet or `branch-<k>`; an
outlet with outlets upstream of it becomes a junction of that name, with its own area as the subbasin
`<name>-local`; each outlet flows through a reach `<name>-reach` to the next one downstream, with the
length and slope (original elevations, at least `MIN_SLOPE`) of the flow path between them, routed by
Muskingum–Cunge with the `channel` parameters given (Manning's n, bottom width, side slope). Starting
values of the transform: Kirpich's (1940) time of concentration along the subbasin's longest flow path,
tc = 0.0078 L^0.77 S^-0.385 minutes (L in feet, S the path's fall over its length, at least
`MIN_SLOPE`, L at least one cell), and a storage coefficient from a stated ratio R / (tc + R)
(`storage_ratio`, 0.5 unless given, so R = tc). With ``transform="modclark"`` each cell's travel time
is its flow length to the subbasin's outlet over the longest, times tc.
"""

from __future__ import annotations

import heapq
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ..errors import ModelError
from ..io.units import UnitSystem, to_us
from ._extra import require

MIN_SLOPE = 1e-4  # the flattest reach or flow path the starting values assume
_OFFSETS = ((-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1))

Grid = npt.NDArray[np.float64]
Cells = npt.NDArray[np.intp]


def fill_depressions(dem: Grid) -> tuple[Grid, Cells]:
    """The filled elevations (NaN kept as nodata) and the cells in the order the flood reached them."""
    rows, cols = dem.shape
    filled = dem.astype(np.float64).copy()
    valid = ~np.isnan(filled)
    closed = ~valid
    heap: list[tuple[float, int, int]] = []
    border = np.zeros_like(valid)
    border[0, :] = border[-1, :] = border[:, 0] = border[:, -1] = True
    padded = np.pad(~valid, 1, constant_values=False)
    for dr, dc in _OFFSETS:
        border |= padded[1 + dr : 1 + dr + rows, 1 + dc : 1 + dc + cols]
    counter = 0
    for cell in np.flatnonzero(border & valid).tolist():
        heapq.heappush(heap, (filled.flat[cell], counter, cell))
        counter += 1
        closed.flat[cell] = True
    order = []
    flat = filled.reshape(-1)
    shut = closed.reshape(-1)
    while heap:
        level, _, cell = heapq.heappop(heap)
        order.append(cell)
        r, c = divmod(cell, cols)
        for dr, dc in _OFFSETS:
            rr, cc = r + dr, c + dc
            if 0 <= rr < rows and 0 <= cc < cols:
                other = rr * cols + cc
                if not shut[other]:
                    shut[other] = True
                    if flat[other] <= level:
                        flat[other] = math.nextafter(level, math.inf)
                    heapq.heappush(heap, (flat[other], counter, other))
                    counter += 1
    return filled, np.array(order, dtype=np.intp)


def flow_directions(filled: Grid) -> Cells:
    """Each cell's receiver (flat index; -1: off the map or nodata) by the steepest drop of the D8 neighbours."""
    rows, cols = filled.shape
    padded = np.pad(filled, 1, constant_values=np.inf)
    padded[np.isnan(padded)] = np.inf
    best = np.zeros(filled.shape)
    receiver = np.full(filled.shape, -1, dtype=np.intp)
    index = np.arange(rows * cols).reshape(rows, cols)
    for dr, dc in _OFFSETS:
        drop = (filled - padded[1 + dr : 1 + dr + rows, 1 + dc : 1 + dc + cols]) / math.hypot(dr, dc)
        steeper = drop > best
        best = np.where(steeper, drop, best)
        receiver = np.where(steeper, index + dr * cols + dc, receiver)
    receiver[np.isnan(filled)] = -1
    return receiver.reshape(-1)


def accumulate(receiver: Cells, order: Cells) -> npt.NDArray[np.int64]:
    """The number of cells draining through each cell (itself included), highest cells first."""
    count = np.ones(receiver.size, dtype=np.int64)
    count_list = count.tolist()
    receivers = receiver.tolist()
    for cell in reversed(order.tolist()):
        down = receivers[cell]
        if down >= 0:
            count_list[down] += count_list[cell]
    return np.array(count_list, dtype=np.int64)


@dataclass(frozen=True)
class Delineation:
    """What `delineate` found: the network, the subbasins' polygons, the streams and the grids behind them."""

    network: Any  # rainmill_models.Network
    polygons: dict[str, Any]  # subbasin name -> shapely polygon (map coordinates)
    streams: Any  # shapely MultiLineString of the stream cells' links
    outlets: dict[str, tuple[int, int]]  # every subbasin's outlet cell (row, column)
    labels: npt.NDArray[np.intp]  # per cell: the index of its subbasin in `polygons`, -1 outside
    accumulation: npt.NDArray[np.int64]
    receiver: Cells
    flow_length: Grid  # per cell: the flow path's length to its subbasin's outlet (map units)
    cell_size: float
    origin: tuple[float, float]  # map coordinates of the top-left corner of the first cell
    gauges: tuple[str, ...] = field(default=())

    def plot(
        self, path: Any = None, *, axes: Any = None, gauges: Mapping[str, tuple[float, float]] | None = None
    ) -> Any:
        """A map of the subbasins, the streams and the gauges (the given outlets, or `gauges` as x, y).

        Drawn on a new figure (matplotlib, no pyplot state), or on `axes`; written to `path` if given.
        """
        if axes is None:
            from ..figures import new_figure

            axes = new_figure(1, width=7.0, height=6.0, sharex=False).axes[0]
        figure = axes.get_figure(root=True)
        colours = ("#cfe3c5", "#f3e0b5", "#d7d0ea", "#f4c9c3", "#c7e2ec", "#e8e8c0")
        for k, (name, shape) in enumerate(self.polygons.items()):
            for part in getattr(shape, "geoms", [shape]):
                x, y = part.exterior.xy
                axes.fill(x, y, facecolor=colours[k % len(colours)], edgecolor="0.35", linewidth=0.8)
            centre = shape.representative_point()
            axes.annotate(name, (centre.x, centre.y), ha="center", fontsize=8, color="0.25")
        for line in getattr(self.streams, "geoms", []):
            x, y = line.xy
            axes.plot(x, y, color="#1f5fa8", linewidth=1.2)
        marks = dict(gauges) if gauges is not None else {n: self.xy(*self.outlets[n]) for n in self.gauges}
        for name, (x, y) in marks.items():
            axes.plot([x], [y], marker="o", markersize=7, markerfacecolor="white", markeredgecolor="#b2182b")
            axes.annotate(name, (x, y), xytext=(5, 5), textcoords="offset points", color="#b2182b", fontsize=9)
        axes.set_aspect("equal")
        axes.set_xlabel("x")
        axes.set_ylabel("y")
        if path is not None:
            from ..figures import save_figure

            save_figure(figure, path, dpi=110)
        return figure

    def xy(self, row: int, column: int) -> tuple[float, float]:
        """The map coordinates of a cell's centre."""
        return _centre(self.origin, self.cell_size, row, column)


def _centre(origin: tuple[float, float], size: float, row: int, column: int) -> tuple[float, float]:
    """The map coordinates of the centre of cell (row, column), the first cell's top-left corner at `origin`."""
    return (origin[0] + (column + 0.5) * size, origin[1] - (row + 0.5) * size)


def _raster(dem: Any, cell_size: float | None) -> tuple[Grid, float, tuple[float, float], bool]:
    """Elevations, the cell size, the top-left corner and whether the DEM is georeferenced (an xarray DataArray)."""
    if hasattr(dem, "dims") and hasattr(dem, "coords"):
        if dem.ndim != 2:
            raise ModelError("dem", f"must have two dimensions, got {list(dem.dims)}")
        y, x = (np.asarray(dem[d].values, dtype=np.float64) for d in dem.dims)
        size = abs(float(x[1] - x[0]))
        spacings = np.concatenate((np.abs(np.diff(x)), np.abs(np.diff(y))))
        if not np.allclose(spacings, size, rtol=1e-9, atol=0.0):
            raise ModelError("dem", "needs square cells of one size (regular x and y coordinates)")
        if cell_size is not None and not math.isclose(cell_size, size, rel_tol=1e-9):
            raise ModelError("cell_size", f"{cell_size:g} differs from the DEM's own cells ({size:g})")
        values = np.asarray(dem.values, dtype=np.float64)
        if y[1] > y[0]:  # rows from the north down, as on a map
            values, y = values[::-1], y[::-1]
        if x[1] < x[0]:
            values, x = values[:, ::-1], x[::-1]
        return values, size, (float(x[0]) - size / 2.0, float(y[0]) + size / 2.0), True
    values = np.asarray(dem, dtype=np.float64)
    if values.ndim != 2 or min(values.shape) < 2:
        raise ModelError("dem", f"must be a 2-D array of at least 2 x 2 cells, got shape {values.shape}")
    if cell_size is None or not (math.isfinite(cell_size) and cell_size > 0.0):
        raise ModelError("cell_size", f"must be given, finite and > 0 for an array DEM, got {cell_size!r}")
    return values, float(cell_size), (0.0, values.shape[0] * float(cell_size)), False


def _outlet_cells(
    outlets: Mapping[str, Any], elevation: Grid, origin: tuple[float, float], size: float, georeferenced: bool
) -> dict[str, int]:
    shape = elevation.shape
    if not isinstance(outlets, Mapping) or not outlets:
        raise ModelError(
            "outlets", "must be a non-empty mapping name -> (row, column), or (x, y) on a georeferenced DEM"
        )
    cells = {}
    for name, where in outlets.items():
        a, b = where
        if georeferenced:
            row, column = math.floor((origin[1] - float(b)) / size), math.floor((float(a) - origin[0]) / size)
        else:
            if not all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in (a, b)):
                raise ModelError(f"outlets.{name}", f"must be a (row, column) pair of whole numbers, got {where!r}")
            row, column = int(a), int(b)
        if not (0 <= row < shape[0] and 0 <= column < shape[1]):
            raise ModelError(f"outlets.{name}", f"lies outside the DEM ({shape[0]} x {shape[1]} cells)")
        if math.isnan(elevation[row, column]):
            raise ModelError(f"outlets.{name}", f"lies on a nodata cell ({row}, {column})")
        cells[str(name)] = row * shape[1] + column
    if len(set(cells.values())) != len(cells):
        raise ModelError("outlets", "two outlets share one cell")
    return cells


def _label(nodes: Mapping[int, int], receiver: list[int], ascending: list[int], size: int) -> list[int]:
    """Per cell: the index of the first node at or downstream of it, -1 for none."""
    label = [-1] * size
    for cell in ascending:
        node = nodes.get(cell)
        if node is not None:
            label[cell] = node
        elif receiver[cell] >= 0:
            label[cell] = label[receiver[cell]]
    return label


def delineate(
    dem: Any,
    outlets: Mapping[str, Any],
    *,
    cell_size: float | None = None,
    stream_threshold: int = 100,
    units: Literal["US", "SI"] = "SI",
    loss: Mapping[str, Any] | None = None,
    transform: Literal["clark", "modclark"] = "clark",
    storage_ratio: float = 0.5,
    channel: Mapping[str, float] | None = None,
    options: Mapping[str, Any] | None = None,
) -> Delineation:
    """Subbasins, streams and a starting network from `dem` (see the module's docstring).

    `dem`: a 2-D NumPy array (rows from the north down) with `cell_size`, or an xarray DataArray with
    regular x and y coordinates; elevations and cell sizes in feet (`units="US"`) or metres ("SI"), NaN
    for nodata. `outlets`: name -> (row, column) on an array, (x, y) on a DataArray, each taken as the
    cell given (not moved onto the nearest stream); they become the network's gauges. `stream_threshold`: the cells a stream drains at least. `loss`: every
    subbasin's loss method (a table as in a model file; none given: no loss, every drop runs off).
    `channel`: `manning_n`, `bottom_width`, `side_slope` of every reach (0.04, 10 ft or 3 m, 2 when not
    given). `options`: more of the network's options (its `step`, say).
    """
    import rainmill_models as rm

    if units not in ("US", "SI"):
        raise ModelError("units", f"must be 'US' or 'SI', got {units!r}")
    if isinstance(stream_threshold, bool) or not isinstance(stream_threshold, int) or stream_threshold < 2:
        raise ModelError("stream_threshold", f"must be a whole number of cells >= 2, got {stream_threshold!r}")
    if not 0.0 < storage_ratio < 1.0:
        raise ModelError("storage_ratio", f"R / (tc + R) must lie in (0, 1), got {storage_ratio!r}")
    if transform not in ("clark", "modclark"):
        raise ModelError("transform", f"must be 'clark' or 'modclark', got {transform!r}")
    elevation, size, origin, georeferenced = _raster(dem, cell_size)
    rows, cols = elevation.shape
    given = _outlet_cells(outlets, elevation, origin, size, georeferenced)
    filled, flood_order = fill_depressions(elevation)
    receiver = flow_directions(filled)
    accumulation = accumulate(receiver, flood_order)
    receivers = receiver.tolist()
    ascending = flood_order.tolist()
    nodes = {cell: k for k, cell in enumerate(given.values())}
    inside = _label(nodes, receivers, ascending, rows * cols)
    # Branch ends: stream cells inside the outlets' catchments whose receiver takes two or more streams.
    stream = accumulation >= stream_threshold
    inflows = np.zeros(rows * cols, dtype=np.int64)
    streaming = np.flatnonzero(stream & (receiver >= 0))
    np.add.at(inflows, receiver[streaming], 1)
    names = list(given)
    for cell in streaming.tolist():
        if inflows[receivers[cell]] >= 2 and inside[cell] >= 0 and cell not in nodes:
            nodes[cell] = len(names)
            names.append(f"branch-{len(names) - len(given) + 1}")
    label = _label(nodes, receivers, ascending, rows * cols)
    node_cells = list(nodes)
    # Flow lengths to each cell's own outlet, downstream cells first.
    length = [0.0] * (rows * cols)
    for cell in ascending:
        down = receivers[cell]
        if cell in nodes or down < 0 or label[cell] < 0:
            continue
        length[cell] = length[down] + _hop(cell, down, cols) * size
    downstream_node = {k: (label[receivers[c]] if receivers[c] >= 0 else -1) for c, k in nodes.items()}
    upstream = {k: [j for j, d in downstream_node.items() if d == k] for k in range(len(names))}
    lengths = np.array(length)
    labels = np.array(label, dtype=np.intp)
    network = _network(
        names, node_cells, downstream_node, upstream, labels, lengths, elevation, receivers, cols, size, units,
        loss, transform, storage_ratio, channel, options, list(given),
    )  # fmt: skip
    shapely = require("shapely")
    shapes = {}
    element = _subbasin_names(names, upstream)
    for k in range(len(names)):
        r, c = np.divmod(np.flatnonzero(labels == k), cols)
        x0, y0 = origin[0] + c * size, origin[1] - r * size
        shapes[element[k]] = shapely.coverage_union_all(shapely.box(x0, y0 - size, x0 + size, y0))
    links = [
        [_centre(origin, size, *divmod(cell, cols)), _centre(origin, size, *divmod(receivers[cell], cols))]
        for cell in np.flatnonzero(stream & (labels >= 0) & (receiver >= 0)).tolist()
    ]
    streams = shapely.line_merge(shapely.MultiLineString(links)) if links else shapely.MultiLineString()
    if streams.geom_type == "LineString":
        streams = shapely.MultiLineString([streams])
    return Delineation(
        network=rm.Network.from_dict(network),
        polygons=shapes,
        streams=streams,
        outlets={names[k]: divmod(c, cols) for c, k in nodes.items()},
        labels=labels.reshape(rows, cols),
        accumulation=accumulation.reshape(rows, cols),
        receiver=receiver.reshape(rows, cols),
        flow_length=lengths.reshape(rows, cols),
        cell_size=size,
        origin=origin,
        gauges=tuple(given),
    )


def _hop(cell: int, down: int, cols: int) -> float:
    """The distance in cells from a cell to its receiver: 1 across, √2 diagonally."""
    return math.sqrt(2.0) if cell // cols != down // cols and cell % cols != down % cols else 1.0


def _subbasin_names(names: list[str], upstream: Mapping[int, list[int]]) -> list[str]:
    """The subbasin of each outlet: its own name, or `<name>-local` where the outlet is a junction."""
    return [f"{name}-local" if upstream[k] else name for k, name in enumerate(names)]


def kirpich_hours(length_ft: float, slope: float) -> float:
    """Kirpich (1940): tc = 0.0078 L^0.77 S^-0.385 minutes, L in feet along the longest flow path, S its fall over it."""
    return float(0.0078 * length_ft**0.77 * slope**-0.385 / 60.0)


def _network(
    names: list[str],
    node_cells: list[int],
    downstream_node: Mapping[int, int],
    upstream: Mapping[int, list[int]],
    labels: npt.NDArray[np.intp],
    lengths: Grid,
    elevation: Grid,
    receivers: list[int],
    cols: int,
    size: float,
    units: UnitSystem,
    loss: Mapping[str, Any] | None,
    transform: str,
    storage_ratio: float,
    channel: Mapping[str, float] | None,
    options: Mapping[str, Any] | None,
    gauges: list[str],
) -> dict[str, Any]:
    """The network's tables (the layout of a model file)."""
    cell_area = size * size / (43560.0 if units == "US" else 1e6)  # acres or km²
    z = elevation.reshape(-1)
    hydraulics = {"manning_n": 0.04, "bottom_width": 10.0 if units == "US" else 3.0, "side_slope": 2.0}
    hydraulics.update(channel or {})
    element = _subbasin_names(names, upstream)
    subbasins, reaches, junctions = {}, {}, {}
    for k, name in enumerate(names):
        cells = np.flatnonzero(labels == k)
        far = int(cells[np.argmax(lengths[cells])])
        longest = max(float(lengths[far]), size)
        fall = (z[far] - z[node_cells[k]]) / longest
        tc = kirpich_hours(
            to_us(longest, "distance", units), max(float(fall), MIN_SLOPE) if math.isfinite(fall) else MIN_SLOPE
        )
        r = tc * storage_ratio / (1.0 - storage_ratio)
        table: dict[str, Any] = {"method": transform, "tc": tc, "r": r}
        if transform == "modclark":
            table["travel"] = (lengths[cells] / longest).tolist()
        into = name if upstream[k] else None
        outflow_element = name  # the junction, or the subbasin itself
        if downstream_node[k] >= 0:
            into_reach = f"{name}-reach"
            path, cell = 0.0, node_cells[k]
            target = node_cells[downstream_node[k]]
            while cell != target:
                down = receivers[cell]
                path += _hop(cell, down, cols) * size
                cell = down
            slope = (z[node_cells[k]] - z[target]) / path
            reaches[into_reach] = {
                "downstream": names[downstream_node[k]],
                "routing": {
                    "method": "muskingum-cunge",
                    "length": path,
                    "slope": max(float(slope), MIN_SLOPE) if math.isfinite(slope) else MIN_SLOPE,
                    **hydraulics,
                },
            }
            after: str | None = into_reach
        else:
            after = None
        subbasins[element[k]] = {
            "area": float(cells.size * cell_area),
            "loss": dict(loss)
            if loss is not None
            else {"method": "initial-constant", "initial_loss": 0.0, "constant_rate": 0.0},
            "transform": table,
            "downstream": into if into is not None else after,
        }
        if upstream[k]:
            junctions[outflow_element] = {"downstream": after} if after is not None else {}
    tables: dict[str, Any] = {
        "options": {"units": units, "gauges": gauges, **(options or {})},
        "subbasins": subbasins,
    }
    if reaches:
        tables["reaches"] = reaches
    if junctions:
        tables["junctions"] = junctions
    return tables
