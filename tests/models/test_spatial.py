"""From maps to a model: gridded means, gauge weights, delineation, and the distributed methods in a network."""

import json
import math
import sys

import numpy as np
import pandas as pd
import pytest

import rainmill_models as rm

shapely = pytest.importorskip("shapely")
pyproj = pytest.importorskip("pyproj")
xr = pytest.importorskip("xarray")
from rainmill_models import spatial
from rainmill_models.methods import method_class

# ---- gridded means ----


def field(values, x0=0.0, y0=0.0, size=1.0, **attrs):
    """A time x y x cells DataArray, cell (j, i) centred at (x0 + (i + 0.5) size, y0 + (j + 0.5) size)."""
    steps, ny, nx = values.shape
    return xr.DataArray(
        values,
        dims=("time", "y", "x"),
        coords={
            "time": pd.date_range("2024-05-01", periods=steps, freq="h"),
            "y": y0 + (np.arange(ny) + 0.5) * size,
            "x": x0 + (np.arange(nx) + 0.5) * size,
        },
        attrs={"units": "mm", **attrs},
    )


def values_grid(steps=5, ny=4, nx=5, seed=0):
    return np.random.default_rng(seed).random((steps, ny, nx)) * 10.0


@pytest.mark.parametrize("block_values", [1 << 24, 20])  # one block, and a block of one step
def test_gridded_means_match_analytic_intersections(block_values):
    values = values_grid()
    grid = field(values)
    rectangle = shapely.box(0.5, 0.25, 2.5, 1.75)  # x 0.5..2.5, y 0.25..1.75
    triangle = shapely.Polygon([(0, 0), (2, 0), (0, 2)])
    means = spatial.subbasin_means(grid, {"rect": rectangle, "tri": triangle}, block_values=block_values)
    wx = np.array([0.5, 1.0, 0.5])  # overlap of x cells 0, 1, 2
    wy = np.array([0.75, 0.75])  # overlap of y cells 0, 1
    expected_rect = np.einsum("tji,j,i->t", values[:, :2, :3], wy, wx) / 3.0
    expected_tri = (values[:, 0, 0] * 1.0 + values[:, 0, 1] * 0.5 + values[:, 1, 0] * 0.5) / 2.0
    np.testing.assert_allclose(means["rect"], expected_rect, rtol=1e-12, atol=0)
    np.testing.assert_allclose(means["tri"], expected_tri, rtol=1e-12, atol=0)
    assert means.attrs["units"] == "mm"
    assert list(means.index) == list(grid.time.values)


def test_gridded_means_reproject_the_polygons_and_read_files(tmp_path):
    utm = "EPSG:32633"
    values = values_grid(steps=3, ny=6, nx=6)
    grid = field(values, x0=500000.0, y0=5000000.0, size=1000.0, crs=utm)
    polygon = shapely.Polygon([(501200, 5001100), (504700, 5001500), (503900, 5004800), (500600, 5003900)])
    direct = spatial.subbasin_means(grid, {"a": polygon}, subbasins_crs=utm)
    to_lonlat = pyproj.Transformer.from_crs(utm, "EPSG:4326", always_xy=True)
    lonlat = shapely.Polygon([to_lonlat.transform(x, y) for x, y in polygon.exterior.coords])
    path = tmp_path / "subbasins.geojson"
    path.write_text(
        json.dumps(
            {
                "type": "FeatureCollection",
                "features": [
                    {"type": "Feature", "properties": {"name": "a"}, "geometry": shapely.geometry.mapping(lonlat)}
                ],
            }
        )
    )
    netcdf = tmp_path / "rain.nc"
    grid.to_dataset(name="rain").to_netcdf(netcdf)
    from_files = spatial.subbasin_means(str(netcdf), str(path), crs=utm)
    np.testing.assert_allclose(
        from_files["a"], direct["a"], rtol=1e-9
    )  # the same polygon, to the projection's rounding


def test_geopackage_polygons_carry_their_crs(tmp_path):
    """A GeoPackage written by hand: the standard's tables, a "GP" header before each WKB geometry."""
    import sqlite3
    import struct

    path = tmp_path / "subbasins.gpkg"
    with sqlite3.connect(path) as db:
        db.execute(
            "CREATE TABLE gpkg_spatial_ref_sys (srs_name, srs_id, organization, organization_coordsys_id, definition)"
        )
        db.execute("INSERT INTO gpkg_spatial_ref_sys VALUES ('UTM 33N', 32633, 'EPSG', 32633, 'undefined')")
        db.execute("CREATE TABLE gpkg_geometry_columns (table_name, column_name, geometry_type_name, srs_id, z, m)")
        db.execute("INSERT INTO gpkg_geometry_columns VALUES ('basins', 'geom', 'POLYGON', 32633, 0, 0)")
        db.execute("CREATE TABLE basins (fid INTEGER PRIMARY KEY, name TEXT, geom BLOB)")
        envelope = struct.pack("<4d", 501000.0, 503000.0, 501000.0, 503000.0)
        blob = b"GP" + bytes([0, 0b011]) + struct.pack("<i", 32633) + envelope
        db.execute(
            "INSERT INTO basins (name, geom) VALUES ('a', ?)", (blob + shapely.box(501000, 501000, 503000, 503000).wkb,)
        )
    grid = field(values_grid(steps=2, ny=4, nx=4), x0=500000.0, y0=500000.0, size=1000.0, crs="EPSG:32633")
    means = spatial.subbasin_means(grid, str(path))
    np.testing.assert_allclose(means["a"], grid.values[:, 1:3, 1:3].mean(axis=(1, 2)), rtol=1e-12)


@pytest.mark.parametrize(
    ("subbasins", "kwargs", "message"),
    [
        ({"a": shapely.box(-1, 0, 2, 1)}, {}, "subbasins.a: 33.3 % of it lies outside the grid"),
        ({"a": shapely.box(0, 0, 2, 1)}, {"crs": "EPSG:32633"}, "subbasins: only the grid's cells state a CRS"),
        ({"a": shapely.Point(1, 1)}, {}, "subbasins.a: must be a shapely Polygon"),
    ],
)
def test_gridded_means_refuse_what_they_cannot_average(subbasins, kwargs, message):
    with pytest.raises(rm.ModelError) as error:
        spatial.subbasin_means(field(values_grid()), subbasins, **kwargs)
    assert str(error.value).startswith(message)


# ---- gauge weights ----

SQUARE = {"square": shapely.box(0, 0, 2, 2)}


@pytest.mark.parametrize(
    ("stations", "expected"),
    [
        ({"w": (0.5, 1.0), "e": (1.5, 1.0)}, {"w": 0.5, "e": 0.5}),
        ({"a": (0.5, 0.5), "b": (1.5, 0.5), "c": (0.5, 1.5), "d": (1.5, 1.5)}, dict.fromkeys("abcd", 0.25)),
        ({"in": (1.0, 1.0), "far": (10.0, 1.0)}, {"in": 1.0}),  # the far gauge's polygon misses the square
    ],
)
def test_thiessen_weights_are_exact_on_symmetric_layouts(stations, expected):
    weights = spatial.station_weights(stations, SQUARE, method="thiessen")["square"]
    assert weights == pytest.approx(expected, abs=1e-15)
    assert math.fsum(weights.values()) == pytest.approx(1.0, abs=1e-15)


def test_idw_weights_follow_the_distance_to_the_centroid():
    weights = spatial.station_weights({"near": (2.0, 1.0), "far": (4.0, 1.0)}, SQUARE, method="idw", power=2)
    assert weights["square"] == pytest.approx({"near": 0.9, "far": 0.1}, rel=1e-14)  # 1/1 : 1/9
    assert spatial.station_weights({"on": (1.0, 1.0), "off": (3.0, 3.0)}, SQUARE, method="idw")["square"] == {"on": 1.0}


def test_missing_gauges_drop_out_and_an_all_missing_step_is_refused_downstream():
    index = pd.date_range("2024-05-01", periods=4, freq="h")
    gauges = pd.DataFrame({"g1": [1.0, np.nan, 3.0, np.nan], "g2": [3.0, 2.0, np.nan, np.nan]}, index=index)
    means = spatial.weighted_means(gauges, {"a": {"g1": 0.25, "g2": 0.75}})
    assert means["a"].iloc[:3].tolist() == [2.5, 2.0, 3.0]
    assert np.isnan(means["a"].iloc[3])
    network = rm.Network.from_dict(
        {
            "subbasins": {
                "a": {
                    "area": 100.0,
                    "loss": {"method": "initial-constant", "initial_loss": 0.0, "constant_rate": 0.0},
                    "transform": {"method": "clark", "tc": 2.0, "r": 1.0},
                }
            }
        }
    )
    with pytest.raises(Exception, match="missing value at 2024-05-01T03:00:00"):
        network.run(means / 25.4)


def test_a_missing_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "shapely", None)
    with pytest.raises(ImportError, match=r"pip install 'rainmill\[spatial\]'"):
        spatial.station_weights({"a": (0.0, 0.0)}, SQUARE)


# ---- delineation ----

N = 81
ROW, COL = np.mgrid[0:N, 0:N].astype(float)
PLANE = 0.02 * (N - 1 - ROW) + 0.001 * COL  # falls to the south (and a little to the west)
V_VALLEY = 0.002 * (N - 1 - ROW) + 0.2 * np.abs(COL - 40)  # sides 100 times steeper than the channel in column 40
FUNNEL = np.hypot(ROW - (N - 1), COL - 40)  # a half cone, lowest at the middle of the south edge


@pytest.mark.parametrize(
    ("dem", "outlet", "cells"),
    [
        (PLANE, (60, 30), 61),  # the column above the outlet
        (V_VALLEY, (N - 1, 40), N * N),  # the whole valley
        (V_VALLEY, (50, 40), 51 * N),  # the valley above row 50
        (FUNNEL, (N - 1, 40), N * N),
    ],
)
def test_delineated_areas_match_the_analytic_catchments(dem, outlet, cells):
    basin = spatial.delineate(dem, {"o": outlet}, cell_size=30.0, stream_threshold=N * N + 1)
    area_km2 = basin.network.elements["o"].area
    assert area_km2 == pytest.approx(cells * 900.0 / 1e6, rel=0.01)
    assert basin.polygons["o"].area == pytest.approx(cells * 900.0, rel=0.01)


@pytest.mark.parametrize(
    ("outlets", "message"),
    [
        ({"o": (81, 3)}, "outlets.o: lies outside the DEM (81 x 81 cells)"),
        ({"o": (5, 5)}, "outlets.o: lies on a nodata cell (5, 5)"),
        ({"o": (5.0, 3)}, "outlets.o: must be a (row, column) pair of whole numbers"),
        ({"o": (60, 30), "p": (60, 30)}, "outlets: two outlets share one cell"),
    ],
)
def test_outlets_that_name_no_cell_are_refused(outlets, message):
    dem = PLANE.copy()
    dem[5, 5] = np.nan
    with pytest.raises(rm.ModelError) as error:
        spatial.delineate(dem, outlets, cell_size=30.0)
    assert str(error.value).startswith(message)


def test_a_georeferenced_dem_takes_its_cell_size_and_outlets_from_its_coordinates():
    x = 400000.0 + (np.arange(N) + 0.5) * 30.0
    y = 5000000.0 + (np.arange(N) + 0.5) * 30.0  # rows south to north: flipped to a map's order
    dem = xr.DataArray(PLANE[::-1], dims=("y", "x"), coords={"y": y, "x": x})
    outlet = (x[30], 5000000.0 + (N - 1 - 60 + 0.5) * 30.0)  # the centre of row 60 (from the north), column 30
    basin = spatial.delineate(dem, {"o": outlet}, stream_threshold=N * N + 1)
    assert basin.cell_size == 30.0 and basin.outlets["o"] == (60, 30)
    assert basin.network.elements["o"].area == pytest.approx(61 * 900.0 / 1e6, rel=1e-12)
    assert basin.polygons["o"].bounds == pytest.approx((400900.0, 5000600.0, 400930.0, 5002430.0))


@pytest.mark.parametrize(
    ("dem", "analytic"),
    [
        (PLANE, 60.0 - ROW),  # straight down the plane
        # across the side along the gradient (slopes 0.002 : 0.2), then down the channel
        (V_VALLEY, np.abs(COL - 40) * math.hypot(1.0, 0.01) + (N - 1 - ROW) - np.abs(COL - 40) * 0.01),
    ],
)
def test_flow_lengths_lie_within_one_cell_diagonal(dem, analytic):
    outlet = (60, 30) if dem is PLANE else (N - 1, 40)
    basin = spatial.delineate(dem, {"o": outlet}, cell_size=1.0, stream_threshold=N * N + 1)
    inside = basin.labels == 0
    if dem is V_VALLEY:
        inside &= np.abs(COL - 40) * 0.01 <= (N - 1 - ROW)  # cells whose gradient path reaches the channel
    assert np.abs(basin.flow_length[inside] - analytic[inside]).max() <= math.sqrt(2.0)


def two_tributaries(n=90):
    """A valley running south with a tributary from the north-west and one from the north-east."""
    row, col = np.mgrid[0:n, 0:n].astype(float)
    main = 0.01 * (n - 1 - row) + 0.08 * np.abs(col - n / 2)
    west = 0.01 * (n - 1 - row) + 0.08 * np.abs(col - (n / 2 - (row - n / 2) * -0.8))
    east = 0.01 * (n - 1 - row) + 0.08 * np.abs(col - (n / 2 + (row - n / 2) * -0.8))
    return np.where(row < n / 2, np.minimum(west, east), main)


def test_a_valley_with_two_tributaries_becomes_a_network():
    dem = two_tributaries()
    basin = spatial.delineate(dem, {"outlet": (89, 45), "upper": (60, 45)}, cell_size=30.0, stream_threshold=300)
    elements = basin.network.elements
    subbasins = {k: v for k, v in elements.items() if type(v).__name__ == "Subbasin"}
    assert len([k for k in subbasins if k.startswith("branch-")]) >= 2  # the tributaries above the confluence
    drained = int((basin.labels >= 0).sum())
    assert drained > 0.97 * 90 * 90  # a few corner cells drain off the map's edge
    assert math.fsum(s.area for s in subbasins.values()) == pytest.approx(drained * 900.0 / 1e6, rel=1e-12)
    assert set(basin.polygons) == set(subbasins)
    assert basin.network.options.units == "SI"
    for name, element in elements.items():
        if type(element).__name__ == "Reach":
            assert element.routing.length >= 30.0 and element.routing.slope >= spatial.delineation.MIN_SLOPE, name
    for name, subbasin in subbasins.items():  # Kirpich along the longest path, R / (tc + R) = 0.5
        cells = np.flatnonzero(basin.labels.ravel() == list(basin.polygons).index(name))
        far = cells[np.argmax(basin.flow_length.ravel()[cells])]
        node = name.removesuffix("-local")
        outlet = basin.outlets[node][0] * 90 + basin.outlets[node][1]
        length = max(basin.flow_length.ravel()[far], 30.0)
        slope = max((dem.ravel()[far] - dem.ravel()[outlet]) / length, 1e-4)
        minutes = 0.0078 * (length / 0.3048) ** 0.77 * slope**-0.385
        assert subbasin.transform.tc == pytest.approx(minutes / 60.0, rel=1e-12), name
        assert subbasin.transform.r == pytest.approx(subbasin.transform.tc, rel=1e-12)
    figure = basin.plot()
    assert len(figure.axes[0].lines) >= 1 + len(basin.gauges)  # streams and gauges drawn


def test_a_delineated_network_runs_with_modclark_travel_times():
    basin = spatial.delineate(
        two_tributaries(60),
        {"outlet": (59, 30)},
        cell_size=30.0,
        stream_threshold=200,
        transform="modclark",
        options={"step": 0.25},
    )
    rain = pd.Series(
        np.r_[np.zeros(2), np.full(8, 5.0), np.zeros(4)], index=pd.date_range("2024-05-01", periods=14, freq="15min")
    )
    result = basin.network.run(rain, end="2024-05-01 12:00")
    assert result.flows[("outlet", "outflow")].max() > 0.0
    travel = [t for e in basin.network.elements.values() if hasattr(e, "transform") for t in e.transform.travel]
    assert min(travel) == 0.0 and max(travel) == 1.0


# ---- the distributed methods ----


def storm(n=120, seed=0):
    rng = np.random.default_rng(seed)
    return rng.random(n) * (rng.random(n) < 0.3) * 0.2


@pytest.mark.parametrize("travel", [0.0, 1.0])
def test_modclark_with_one_travel_time_is_the_clark_transform_bit_for_bit(travel):
    modclark = method_class("transform", "modclark", "t")
    clark = method_class("transform", "clark", "t")(tc=0.25, r=1.5)  # tc within one step: the reservoir alone
    excess = storm()
    shift = round(travel * 1.0 / 0.25)  # tc = 1 h at a 15-min step
    shifted = np.concatenate((np.zeros(shift), excess[: excess.size - shift]))
    shared = modclark(tc=1.0, r=1.5, travel=(travel,) * 6).run(excess, 640.0, 900)
    assert shared.tolist() == clark.run(shifted, 640.0, 900).tolist()
    cells = np.random.default_rng(1).random((excess.size, 4)) * 0.1
    areas = (1.0, 2.0, 3.0, 4.0)
    mean = np.zeros(excess.size)
    for c, a in enumerate(areas):  # the cells' mean in their order, as the kernel sums it
        mean = mean + (a / 10.0) * cells[:, c]
    mean = np.concatenate((np.zeros(shift), mean[: excess.size - shift]))
    gridded = modclark(tc=1.0, r=1.5, travel=(travel,) * 4, areas=areas).run_cells(cells, 640.0, 900)
    assert gridded.tolist() == clark.run(mean, 640.0, 900).tolist()


def test_modclark_spreads_the_runoff_and_keeps_its_volume():
    method = method_class("transform", "modclark", "t")(tc=3.0, r=1.0, travel=tuple(np.linspace(0, 1, 50)))
    excess = np.zeros(400)
    excess[:4] = 0.5
    runoff = method.run(excess, 640.0, 900)
    clark_peak = method_class("transform", "clark", "t")(tc=0.25, r=1.0).run(excess, 640.0, 900).max()
    assert runoff.max() < 0.6 * clark_peak
    volume = runoff.sum() * 900 / (640.0 * 43560.0 / 12.0)  # inches over the subbasin
    assert volume == pytest.approx(2.0, rel=1e-5)  # all of it, but the last millionth of the reservoir


@pytest.mark.parametrize("end", [None, "2024-05-01 05:00"])  # drained, and cut off with runoff to come
def test_modclark_reports_the_runoff_still_to_come_so_the_balance_is_checked(end):
    network = rm.Network.from_dict(
        {
            "options": {"step": 0.25},
            "subbasins": {"a": {"area": 640.0, "loss": {"method": "initial-constant", "initial_loss": 0.1,
                          "constant_rate": 0.05}, "transform": {"method": "modclark", "tc": 2.0, "r": 1.5,
                          "travel": [0.0, 0.3, 0.55, 0.8, 1.0], "areas": [1, 2, 3, 2, 1]}}},
        }
    )  # fmt: skip
    rain = pd.Series(
        np.r_[np.zeros(4), np.full(12, 0.1), np.zeros(4)], index=pd.date_range("2024-05-01", periods=20, freq="15min")
    )
    row = network.run(rain, end=end).balances.loc["a"]
    assert row["transit_checked"] and row["relative"] < 1e-5  # the 1.00833 of the extension's cfs per acre-inch/h
    assert (row["in_transit"] > 0.3 * row["inflow"]) == (end is not None)


@pytest.mark.parametrize(
    ("process", "table", "message"),
    [
        (
            "transform",
            {"method": "modclark", "tc": 2.0, "r": 1.0, "travel": [0.5, 1.5]},
            "transform.travel[1]: must lie in [0, 1]",
        ),
        (
            "transform",
            {"method": "modclark", "tc": 2.0, "r": 1.0, "travel": [0.5], "areas": [1, 2]},
            "transform.areas: needs one value per cell",
        ),
        (
            "transform",
            {
                "method": "kinematic-wave",
                "plane_length": 100.0,
                "plane_slope": 0.01,
                "plane_n": 0.2,
                "channel_length": 500.0,
                "channel_slope": 0.01,
                "shape": "rectangle",
                "bottom_width": 2.0,
                "side_slope": 1.0,
            },
            "transform.side_slope: a rectangle has side_slope 0",
        ),
        (
            "routing",
            {"method": "kinematic-wave", "length": 100.0, "slope": 0.01, "manning_n": 0.04, "shape": "oval"},
            "routing.shape: must be one of",
        ),
        (
            "routing",
            {
                "method": "kinematic-wave",
                "length": 100.0,
                "slope": 0.01,
                "manning_n": 0.04,
                "shape": "triangle",
                "side_slope": 2.0,
                "cells": 0,
            },
            "routing.cells: must lie in [1, 100000]",
        ),
    ],
)
def test_distributed_methods_refuse_bad_parameters_with_their_path(process, table, message):
    if process == "transform":
        tables = {
            "subbasins": {
                "a": {
                    "area": 1.0,
                    "loss": {"method": "initial-constant", "initial_loss": 0.0, "constant_rate": 0.0},
                    "transform": table,
                    "downstream": "r",
                }
            },
            "reaches": {"r": {"routing": {"method": "lag", "lag": 0.0}}},
        }
        prefix = "subbasins.a."
    else:
        tables = {"sources": {"s": {"downstream": "r"}}, "reaches": {"r": {"routing": table}}}
        prefix = "reaches.r."
    with pytest.raises(rm.ModelError) as error:
        rm.Network.from_dict(tables)
    assert str(error.value).startswith(prefix + message)


def test_kinematic_waves_run_in_a_network_and_close_its_balance():
    network = rm.Network.from_dict(
        {
            "options": {"step": 0.25},
            "subbasins": {
                "hill": {
                    "area": 320.0,
                    "downstream": "creek",
                    "loss": {"method": "initial-constant", "initial_loss": 0.1, "constant_rate": 0.05},
                    "transform": {
                        "method": "kinematic-wave",
                        "plane_length": 400.0,
                        "plane_slope": 0.02,
                        "plane_n": 0.2,
                        "channel_length": 4000.0,
                        "channel_slope": 0.005,
                        "shape": "triangle",
                        "side_slope": 2.0,
                    },
                }
            },
            "reaches": {
                "creek": {
                    "routing": {
                        "method": "kinematic-wave",
                        "length": 12000.0,
                        "slope": 0.002,
                        "manning_n": 0.04,
                        "shape": "rectangle",
                        "bottom_width": 15.0,
                    }
                }
            },
        }
    )
    rain = pd.Series(
        np.r_[np.zeros(2), np.full(12, 0.15), np.zeros(6)], index=pd.date_range("2024-05-01", periods=20, freq="15min")
    )
    result = network.run(rain)
    flows = result.flows
    assert flows[("creek", "outflow")].max() > 0.0
    assert (
        flows[("creek", "outflow")].idxmax() > flows[("hill", "outflow")].idxmax()
    )  # the wave takes time down the creek
    balance = (
        result.balances
    )  # the water left in transit once drained: the kernels' own volumes against the trapezoids of the points
    assert (balance["in_transit"].abs() <= 1e-3 * balance["inflow"]).all()
