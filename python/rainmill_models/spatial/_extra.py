"""The optional modules of the spatial extra, imported when first needed, with a one-line hint when missing."""

from __future__ import annotations

import importlib
import json
import os
import sqlite3
from collections.abc import Mapping
from types import ModuleType
from typing import Any

from ..errors import ModelError

HINT = "install the spatial extra: pip install 'rainmill[spatial]'"


class SpatialUnavailable(ImportError):
    """A module of the spatial extra cannot be imported."""


def require(name: str) -> ModuleType:
    """Module `name` (shapely, pyproj, xarray, ...), or a SpatialUnavailable naming the extra."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise SpatialUnavailable(f"{name} is not installed ({error}); {HINT}") from error


def polygons(subbasins: Any, name: str = "subbasins") -> tuple[dict[str, Any], Any]:
    """Subbasin polygons by name and their CRS (None when not stated).

    Accepts a mapping name -> shapely geometry, a GeoDataFrame or GeoSeries (names from its "name"
    column, else its index), or a GeoJSON (.geojson, .json) or GeoPackage (.gpkg) path, each feature
    named by its "name" property (a GeoJSON feature also by its "id"). A GeoJSON file is in WGS 84
    longitude/latitude, as RFC 7946 requires; a GeoPackage states its CRS.
    """
    shapely = require("shapely")
    crs = None
    if isinstance(subbasins, str) or hasattr(subbasins, "__fspath__"):
        subbasins, crs = read_polygons(os.fspath(subbasins))
    elif hasattr(subbasins, "geometry") and hasattr(subbasins, "crs"):
        crs = subbasins.crs
        frame = subbasins
        labels = frame["name"] if "name" in getattr(frame, "columns", ()) else frame.index
        subbasins = dict(zip((str(label) for label in labels), frame.geometry))
    if not isinstance(subbasins, Mapping) or not subbasins:
        raise ModelError(name, "must be a non-empty mapping name -> polygon, a GeoDataFrame or a file")
    out: dict[str, Any] = {}
    for key, geometry in subbasins.items():
        if not isinstance(geometry, shapely.Geometry) or geometry.geom_type not in ("Polygon", "MultiPolygon"):
            raise ModelError(
                f"{name}.{key}", f"must be a shapely Polygon or MultiPolygon, not {type(geometry).__name__}"
            )
        if geometry.is_empty or not geometry.is_valid or not geometry.area > 0.0:
            raise ModelError(f"{name}.{key}", "must be a valid polygon with an area")
        out[str(key)] = geometry
    return out, crs


def reproject(shapes: Mapping[str, Any], source: Any, target: Any, what: str, other: str) -> dict[str, Any]:
    """`shapes` from CRS `source` to CRS `target` (pyproj), vertex by vertex; refused when only one CRS is known."""
    if source is None and target is None:
        return dict(shapes)
    if source is None or target is None:
        known = other if target is not None else what
        raise ModelError(
            what, f"only the {known} state a CRS: give both a CRS (or neither), no reprojection is guessed"
        )
    pyproj = require("pyproj")
    shapely = require("shapely")
    source_crs, target_crs = pyproj.CRS.from_user_input(source), pyproj.CRS.from_user_input(target)
    if source_crs == target_crs:
        return dict(shapes)
    transformer = pyproj.Transformer.from_crs(source_crs, target_crs, always_xy=True)
    return {key: shapely.transform(shape, lambda xy: _transformed(transformer, xy)) for key, shape in shapes.items()}


def _transformed(transformer: Any, xy: Any) -> Any:
    import numpy as np

    x, y = transformer.transform(xy[:, 0], xy[:, 1])
    return np.column_stack((x, y))


def read_polygons(path: str) -> tuple[dict[str, Any], str | None]:
    """Named geometries and their CRS from a GeoJSON or GeoPackage file."""
    shapely = require("shapely")
    if path.lower().endswith((".geojson", ".json")):
        from ..io.files import read_text  # a bounded regular file, as every input

        try:
            collection = json.loads(read_text(path))
        except (json.JSONDecodeError, RecursionError) as error:
            raise ModelError(path, f"not a GeoJSON document: {str(error)[:200]}") from None
        shapes = {}
        for index, feature in enumerate(collection.get("features", [])):
            label = (feature.get("properties") or {}).get("name", feature.get("id"))
            if label is None:
                raise ModelError(f"{path}: feature {index}", 'has neither a "name" property nor an "id"')
            shapes[str(label)] = shapely.geometry.shape(feature["geometry"])
        return shapes, "EPSG:4326"
    if path.lower().endswith(".gpkg"):
        return _read_geopackage(path)
    raise ModelError(path, "must be a GeoJSON (.geojson, .json) or GeoPackage (.gpkg) file")


def _read_geopackage(path: str) -> tuple[dict[str, Any], str | None]:
    """The first feature table of a GeoPackage: geometries by the "name" column, the table's CRS."""
    shapely = require("shapely")
    from ..io.files import check_input  # a regular file (a FIFO would block the open)

    check_input(path, limit=2**40)
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        row = db.execute(
            "SELECT c.table_name, c.column_name, s.organization, s.organization_coordsys_id, s.definition "
            "FROM gpkg_geometry_columns c JOIN gpkg_spatial_ref_sys s ON c.srs_id = s.srs_id LIMIT 1"
        ).fetchone()
        if row is None:
            raise ModelError(path, "holds no feature table")
        table, column, organization, code, definition = row
        names = [entry[1] for entry in db.execute(f'PRAGMA table_info("{table}")')]
        if "name" not in names:
            raise ModelError(path, f'the table {table!r} has no "name" column to name the subbasins')
        blobs = db.execute(f'SELECT name, "{column}" FROM "{table}"').fetchall()
    shapes = {}
    for label, blob in blobs:
        flags = blob[3]
        envelope = (0, 32, 48, 48, 64)[(flags >> 1) & 0b111]  # the header's envelope bytes by its indicator
        shapes[str(label)] = shapely.from_wkb(bytes(blob[8 + envelope :]))
    if organization and organization.upper() == "EPSG" and code > 0:
        return shapes, f"EPSG:{code}"
    return shapes, definition if definition and definition != "undefined" else None
