"""A gridded field (radar, reanalysis) averaged onto subbasin polygons with exact cell–polygon weights.

Each cell is the rectangle between the midpoints of its coordinates (the ends extended by half a
spacing); its weight in a subbasin is the area of its intersection with the polygon (shapely, exact
to rounding) over the polygon's. On a geographic grid (longitude/latitude) each intersection's area
is taken times the cosine of its cell's central latitude, so that cells weigh by their area on the
sphere. The polygons are reprojected into the grid's CRS (pyproj, vertex by vertex). A polygon that
reaches beyond the grid is refused with its share outside: the mean of the part inside is not the
subbasin's.

The field is read lazily, a block of time steps at a time (about 16 million values), and each block
goes through one sparse product, so years of hourly grids stream through without being loaded.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from ..errors import ModelError
from ._extra import polygons, reproject, require

_X_NAMES = ("x", "lon", "longitude", "easting", "projection_x_coordinate", "rlon")
_Y_NAMES = ("y", "lat", "latitude", "northing", "projection_y_coordinate", "rlat")
_GEOGRAPHIC_NAMES = ("lon", "longitude", "lat", "latitude")
_BLOCK_VALUES = 1 << 24
_COVERED = 1.0 - 1e-9


@dataclass(frozen=True)
class GridWeights:
    """Each subbasin's cells (flat indices into the grid's (y, x) cells) and their weights, adding up to 1."""

    names: tuple[str, ...]
    shape: tuple[int, int]  # (y, x) cells
    cells: tuple[npt.NDArray[np.intp], ...]
    weights: tuple[npt.NDArray[np.float64], ...]

    def matrix(self) -> Any:
        """The weights as a sparse matrix, cells x subbasins (scipy.sparse CSC)."""
        from scipy import sparse

        rows = np.concatenate(self.cells)
        columns = np.concatenate([np.full(len(c), j) for j, c in enumerate(self.cells)])
        size = self.shape[0] * self.shape[1]
        return sparse.csc_array((np.concatenate(self.weights), (rows, columns)), shape=(size, len(self.names)))


def _open(grid: Any, variable: str | None) -> Any:
    xarray = require("xarray")
    if isinstance(grid, (str, os.PathLike)):
        path = os.fspath(grid)
        dataset = xarray.open_zarr(path) if path.rstrip("/").endswith(".zarr") else xarray.open_dataset(path)
        grid = dataset
    if isinstance(grid, xarray.Dataset):
        names = [variable] if variable is not None else list(grid.data_vars)
        if len(names) != 1 or names[0] not in grid.data_vars:
            raise ModelError("variable", f"name the field to average, one of {list(grid.data_vars)}")
        mapping = grid[names[0]].attrs.get("grid_mapping")
        field = grid[names[0]]
        if mapping in grid.variables and mapping not in field.coords:
            field = field.assign_coords({mapping: grid[mapping]})
        return field
    if not isinstance(grid, xarray.DataArray):
        raise ModelError(
            "grid", f"must be an xarray DataArray or Dataset, or a NetCDF or Zarr path, not {type(grid).__name__}"
        )
    return grid


def _axes(field: Any) -> tuple[str, str, str]:
    """The names of the time, y and x dimensions; anything ambiguous is refused."""
    dims = [str(d) for d in field.dims]
    if len(dims) != 3 or not all(d in field.coords for d in dims):
        raise ModelError("grid", f"must have a time and two spatial dimensions, each with coordinates, got {dims}")
    times = [d for d in dims if np.issubdtype(field[d].dtype, np.datetime64)]
    if len(times) != 1:
        raise ModelError("grid", f"needs exactly one time dimension (datetime coordinates), got {dims}")

    def find(names: tuple[str, ...], axis: str) -> str:
        found = [d for d in dims if d != times[0] and (d.lower() in names or field[d].attrs.get("axis") == axis)]
        if len(found) != 1:
            raise ModelError("grid", f"cannot tell its {axis} dimension among {dims}; name it {names[0]!r}")
        return found[0]

    return times[0], find(_Y_NAMES, "Y"), find(_X_NAMES, "X")


def _edges(centres: npt.NDArray[np.float64], name: str) -> npt.NDArray[np.float64]:
    """Cell edges between the centres, the ends half a spacing out; increasing or decreasing only."""
    if centres.size < 2:
        raise ModelError("grid", f"{name} needs at least two cells to give them a size")
    steps = np.diff(centres)
    if not (np.all(steps > 0) or np.all(steps < 0)):
        raise ModelError("grid", f"{name} coordinates must be strictly increasing or decreasing")
    middle = (centres[:-1] + centres[1:]) / 2.0
    return np.concatenate(([centres[0] - steps[0] / 2.0], middle, [centres[-1] + steps[-1] / 2.0]))


def _crs(field: Any, crs: Any, y: str, x: str) -> Any:
    if crs is not None:
        return crs
    if "crs" in field.attrs:
        return field.attrs["crs"]
    mapping = field.attrs.get("grid_mapping")
    if mapping is not None and mapping in field.coords:
        attrs = field.coords[mapping].attrs
        for key in ("crs_wkt", "spatial_ref"):
            if key in attrs:
                return attrs[key]
    if x.lower() in _GEOGRAPHIC_NAMES and y.lower() in _GEOGRAPHIC_NAMES:
        return "EPSG:4326"  # longitude/latitude dimensions without a stated datum: WGS 84 (as CF readers take them)
    return None


def _weights(field: Any, subbasins: Any, crs: Any, subbasins_crs: Any, y: str, x: str) -> GridWeights:
    shapely = require("shapely")
    shapes, shapes_crs = polygons(subbasins)
    grid_crs = _crs(field, crs, y, x)
    shapes_crs = subbasins_crs if subbasins_crs is not None else shapes_crs
    shapes = reproject(shapes, shapes_crs, grid_crs, "subbasins", "grid's cells")
    geographic = False
    if grid_crs is not None:
        geographic = bool(require("pyproj").CRS.from_user_input(grid_crs).is_geographic)
    ys = np.asarray(field[y].values, dtype=np.float64)
    xs = np.asarray(field[x].values, dtype=np.float64)
    y_edges, x_edges = _edges(ys, y), _edges(xs, x)
    y_low, y_high = np.minimum(y_edges[:-1], y_edges[1:]), np.maximum(y_edges[:-1], y_edges[1:])
    x_low, x_high = np.minimum(x_edges[:-1], x_edges[1:]), np.maximum(x_edges[:-1], x_edges[1:])
    cells, weights = [], []
    for name, shape in shapes.items():
        left, bottom, right, top = shape.bounds
        rows = np.flatnonzero((y_high > bottom) & (y_low < top))
        columns = np.flatnonzero((x_high > left) & (x_low < right))
        row, column = (a.ravel() for a in np.meshgrid(rows, columns, indexing="ij"))
        boxes = shapely.box(x_low[column], y_low[row], x_high[column], y_high[row])
        areas = shapely.area(shapely.intersection(boxes, shape)) if row.size else np.zeros(0)
        inside = math.fsum(areas.tolist())
        if not inside >= _COVERED * shape.area:
            share = 100.0 * (1.0 - inside / shape.area)
            raise ModelError(f"subbasins.{name}", f"{share:.3g} % of it lies outside the grid")
        if geographic:
            areas = areas * np.cos(np.radians(ys[row]))
        keep = areas > 0.0
        cells.append((row * xs.size + column)[keep])
        weights.append(areas[keep] / math.fsum(areas[keep].tolist()))
    return GridWeights(tuple(shapes), (ys.size, xs.size), tuple(cells), tuple(weights))


def grid_weights(
    grid: Any, subbasins: Any, *, crs: Any = None, subbasins_crs: Any = None, variable: str | None = None
) -> GridWeights:
    """The cells of each subbasin and their exact intersection weights (see the module's docstring).

    `grid`: an xarray DataArray with a time and two spatial dimensions (or a Dataset with `variable`,
    or a NetCDF / Zarr path); `subbasins`: a mapping name -> shapely polygon, a GeoDataFrame, or a
    GeoJSON / GeoPackage path; `crs` overrides the grid's own (its `crs` attribute or its CF grid
    mapping's `crs_wkt`), `subbasins_crs` the polygons' (a plain mapping states none).
    """
    field = _open(grid, variable)
    _, y, x = _axes(field)
    return _weights(field, subbasins, crs, subbasins_crs, y, x)


def subbasin_means(
    grid: Any,
    subbasins: Any,
    *,
    crs: Any = None,
    subbasins_crs: Any = None,
    variable: str | None = None,
    block_values: int = _BLOCK_VALUES,
) -> pd.DataFrame:
    """The field averaged onto each subbasin: a DataFrame time x subbasin, `attrs["units"]` the grid's.

    The arguments are those of `grid_weights`.
    The grid is read `block_values` values (time steps x cells) at a time; a NaN in a cell a subbasin
    covers gives NaN for that subbasin at that step (a network run refuses it).
    """
    field = _open(grid, variable)
    time, y, x = _axes(field)
    weights = _weights(field, subbasins, crs, subbasins_crs, y, x)
    matrix = weights.matrix().tocsr()
    used = np.unique(np.concatenate(weights.cells))
    matrix = matrix[used]
    field = field.transpose(time, y, x)
    steps = field.sizes[time]
    size = weights.shape[0] * weights.shape[1]
    block = max(1, block_values // size)
    out = np.empty((steps, len(weights.names)))
    for start in range(0, steps, block):
        values = np.asarray(field.isel({time: slice(start, start + block)}).values).reshape(-1, size)
        out[start : start + len(values)] = (matrix.T @ values[:, used].astype(np.float64).T).T
    index = pd.DatetimeIndex(field[time].values, name="time")
    frame = pd.DataFrame(out, index=index, columns=list(weights.names))
    if "units" in field.attrs:
        frame.attrs["units"] = str(field.attrs["units"])
    return frame
