"""Rain-gauge weights per subbasin (Thiessen polygons, inverse distance) and their application to records.

`station_weights` gives the mapping subbasin -> {gauge: weight} that `Network.run(weights=...)` takes
(each row adds up to 1):

- ``thiessen``: each gauge's share of the subbasin's area within its Thiessen (Voronoi) polygon
  (shapely's Voronoi diagram, extended beyond all subbasins), over the subbasin's area.
- ``idw``: inverse-distance weights 1 / d^power at the subbasin's centroid (a gauge at the centroid
  takes all the weight).

`weighted_means` applies them to a gauge table and handles missing values explicitly: at a step where a
gauge has no value it drops out and the others' weights are scaled up to add to 1 again; a step where
all of a subbasin's gauges are missing is NaN, which a network run refuses with its timestamp (never
a silent zero).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Literal

import numpy as np
import pandas as pd

from ..errors import ModelError
from ._extra import polygons, reproject, require


def _points(stations: Any) -> tuple[dict[str, tuple[float, float]], Any]:
    """Gauge coordinates by name and their CRS: a mapping name -> (x, y) or a GeoDataFrame / GeoSeries of points."""
    crs = None
    if hasattr(stations, "geometry") and hasattr(stations, "crs"):
        crs = stations.crs
        labels = stations["name"] if "name" in getattr(stations, "columns", ()) else stations.index
        stations = {str(label): (point.x, point.y) for label, point in zip(labels, stations.geometry)}
    if not isinstance(stations, Mapping) or not stations:
        raise ModelError("stations", "must be a non-empty mapping name -> (x, y), or a GeoDataFrame of points")
    out: dict[str, tuple[float, float]] = {}
    for name, xy in stations.items():
        try:
            x, y = (float(v) for v in xy)
        except TypeError, ValueError:
            raise ModelError(f"stations.{name}", f"must be a pair (x, y), got {xy!r}") from None
        if not (math.isfinite(x) and math.isfinite(y)):
            raise ModelError(f"stations.{name}", f"must be finite, got {(x, y)}")
        out[str(name)] = (x, y)
    if len(set(out.values())) != len(out):
        raise ModelError("stations", "two gauges share one location")
    return out, crs


def station_weights(
    stations: Any,
    subbasins: Any,
    method: Literal["thiessen", "idw"] = "thiessen",
    power: float = 2.0,
    *,
    stations_crs: Any = None,
    subbasins_crs: Any = None,
) -> dict[str, dict[str, float]]:
    """Weights per subbasin and gauge, each subbasin's adding up to 1 (see the module's docstring).

    The polygons are brought into the gauges' CRS when both state one (`stations_crs` for a plain
    mapping, `subbasins_crs` likewise); a CRS on one side only is refused.
    """
    shapely = require("shapely")
    points, crs = _points(stations)
    crs = stations_crs if stations_crs is not None else crs
    shapes, shapes_crs = polygons(subbasins)
    shapes_crs = subbasins_crs if subbasins_crs is not None else shapes_crs
    shapes = reproject(shapes, shapes_crs, crs, "subbasins", "stations")
    names = list(points)
    if method == "thiessen":
        every = shapely.MultiPoint([points[n] for n in names])
        envelope = shapely.union_all([*shapes.values(), every]).envelope.buffer(1.0 + every.envelope.length)
        cells = shapely.voronoi_polygons(every, extend_to=envelope)
        regions = {}
        for cell in shapely.get_parts(cells):
            inside = [n for n in names if cell.contains(shapely.Point(points[n]))]
            regions[inside[0]] = cell
        weights = {}
        for basin, shape in shapes.items():
            areas = {n: shapely.area(shapely.intersection(regions[n], shape)) for n in names}
            total = math.fsum(areas.values())
            weights[basin] = {n: float(a / total) for n, a in areas.items() if a > 0.0}
        return weights
    if method == "idw":
        if not (math.isfinite(power) and power > 0.0):
            raise ModelError("power", f"must be finite and > 0, got {power!r}")
        weights = {}
        for basin, shape in shapes.items():
            centre = shape.centroid
            distances = {n: math.hypot(points[n][0] - centre.x, points[n][1] - centre.y) for n in names}
            at = [n for n, d in distances.items() if d == 0.0]
            if at:
                weights[basin] = {at[0]: 1.0}
                continue
            inverse = {n: d**-power for n, d in distances.items()}
            total = math.fsum(inverse.values())
            weights[basin] = {n: v / total for n, v in inverse.items()}
        return weights
    raise ModelError("method", f"must be 'thiessen' or 'idw', got {method!r}")


def weighted_means(gauges: pd.DataFrame, weights: Mapping[str, Mapping[str, float]]) -> pd.DataFrame:
    """Each subbasin's weighted mean of the gauges (time x subbasin), missing gauges dropping out per step.

    At each step the weights of the gauges that have a value are scaled to add up to 1; where none
    has, the subbasin's value is NaN. `attrs["units"]` carries over.
    """
    out = {}
    for basin, row in weights.items():
        unknown = [g for g in row if g not in gauges.columns]
        if unknown:
            raise ModelError(f"weights.{basin}.{unknown[0]}", "no such gauge in the table")
        values = gauges[list(row)].to_numpy(dtype=np.float64)
        w = np.array([float(v) for v in row.values()])
        if not (np.all(np.isfinite(w)) and np.all(w >= 0.0) and w.sum() > 0.0):
            raise ModelError(f"weights.{basin}", "must be finite, >= 0 and not all 0")
        present = ~np.isnan(values)
        total = present @ w
        summed = np.where(present, values, 0.0) @ w
        with np.errstate(invalid="ignore", divide="ignore"):
            out[basin] = np.where(total > 0.0, summed / total, np.nan)
    frame = pd.DataFrame(out, index=gauges.index)
    if "units" in gauges.attrs:
        frame.attrs["units"] = gauges.attrs["units"]
    return frame
