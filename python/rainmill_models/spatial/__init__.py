"""From maps to a model: gridded fields onto subbasins, rain-gauge weights, delineation from a DEM.

    from rainmill_models import spatial

    rain = spatial.subbasin_means("radar.nc", "subbasins.gpkg")  # DataFrame time x subbasin
    weights = spatial.station_weights({"g1": (x1, y1), "g2": (x2, y2)}, polygons, method="thiessen")
    rain = spatial.weighted_means(gauges, weights)  # a missing gauge drops out at that step
    basin = spatial.delineate(dem, {"outlet": (120, 45)}, cell_size=30.0, units="SI")
    basin.network.run(rain)

Needs the `spatial` extra (shapely, pyproj, xarray with a NetCDF reader): pip install 'rainmill[spatial]'.
The package imports without it; each function names the extra when a module is missing.
"""

from __future__ import annotations

from .delineation import Delineation, delineate
from .grids import grid_weights, subbasin_means
from .stations import station_weights, weighted_means

__all__ = [
    "Delineation",
    "delineate",
    "grid_weights",
    "station_weights",
    "subbasin_means",
    "weighted_means",
]
