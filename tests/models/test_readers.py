"""Records in and out: the CSV, RDB, NetCDF and fixed-step readers, the writers, units and refused inputs."""

import hashlib
import os
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
xr = pytest.importorskip("xarray")
rm = pytest.importorskip("rainmill_models")

from rainmill_models import TimeSeriesError
from rainmill_models.io.readers import (
    RecordError,
    column_of,
    read_csv,
    read_csv_frame,
    read_fixed_step,
    read_netcdf,
    read_netcdf_frame,
    read_rating,
    read_rdb,
    read_rdb_frame,
)
from rainmill_models.io.units import UnitWarning, check_runoff_magnitude, convert
from rainmill_models.io.writers import csv_text, write_csv, write_netcdf

DATA = Path(__file__).resolve().parent.parent / "data"
SEMICOLON = DATA / "flow_semicolon_dayfirst.csv"


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({}, "line 4: 3 fields where the header has 1; pass sep=';'"),
        (
            {"sep": ";", "units_row": False},
            "line 3: timestamp '' is no time, and the line looks like units: pass units_row=True",
        ),
        (
            {"sep": ";", "units_row": True},
            "line 4: timestamp '11.06.2024' not an ISO 8601 timestamp; pass date_format='%d.%m.%Y'",
        ),
        (
            {"sep": ";", "units_row": True, "dayfirst": True},
            "line 5: timestamp 2024-06-11T00:00:00 repeats the one on line 4; sort the file "
            "(column 'Zeit' holds times of day: pass time_column=[0, 1])",
        ),
        (
            {"sep": ";", "units_row": True, "time_column": [0, 1], "dayfirst": True},
            "line 4: not a number in column 'Abfluss' at 2024-06-11T00:00:00: '125,0'; pass decimal=','",
        ),
    ],
)
def test_semicolon_day_first_file_says_which_option_helps(options, message):
    with pytest.raises(RecordError, match=re.escape(f"{SEMICOLON}, {message}")):
        read_csv_frame(SEMICOLON, **options)


def test_semicolon_day_first_file_with_its_options():
    options = {"sep": ";", "decimal": ",", "units_row": True, "time_column": ["Datum", "Zeit"]}
    frame = read_csv_frame(SEMICOLON, date_format="%d.%m.%Y %H:%M", **options)
    assert frame.attrs["column_units"] == {"Abfluss": "l/s", "Wasserstand": "cm"}
    assert frame.index[0] == pd.Timestamp("2024-06-11 00:00") and frame.index[-1] == pd.Timestamp("2024-06-13 06:00")
    assert frame["Wasserstand"].iloc[2] == 48.0
    flow = read_csv(SEMICOLON, "Abfluss", dayfirst=True, to="m3/s", **options)
    assert flow.attrs["units"] == "m³/s"
    assert flow.to_list() == pytest.approx([0.125, 0.1315, 0.41025, 1.25, 0.9805, 0.64, 0.45575], rel=1e-15)
    assert read_csv(SEMICOLON, 3, dayfirst=True, **options).name == "Wasserstand", "a column by position"


def test_rdb_file_with_comments_format_row_and_qualifiers():
    frame = read_rdb_frame(DATA / "usgs_iv.rdb")
    assert list(frame.columns) == ["69928_00060", "69928_00060_cd", "69929_00065", "69929_00065_cd"]
    assert frame.attrs["column_units"] == {"69928_00060": "cfs", "69929_00065": "ft"}
    assert frame["69928_00060_cd"].to_list() == ["P", "P", "P", "P e", "P Ice", "P", "P", "P"]
    # EDT then EST across the autumn change: the instants, in UTC, stay 15 minutes apart
    assert str(frame.index.tz) == "UTC" and (np.diff(frame.index.asi8) == 15 * 60 * 10**6).all()
    assert frame.index[0] == pd.Timestamp("2024-11-03 04:30", tz="UTC")
    flow = read_rdb(DATA / "usgs_iv.rdb", "00060", to="m3/s")
    assert np.isnan(flow.iloc[4]) and flow.iloc[0] == pytest.approx(3620 * 0.028316846592, rel=1e-12)
    with pytest.raises(RecordError, match="several value columns"):
        read_rdb(DATA / "usgs_iv.rdb")
    with pytest.raises(
        RecordError, match=r"line 19: '5s\\t15s.*' is the format row of a USGS RDB file; read it with read_rdb"
    ):
        read_csv(DATA / "usgs_iv.rdb", sep="\t")  # rather than a date format for '5s'


def test_rdb_file_without_its_format_row(tmp_path):
    lines = (DATA / "usgs_iv.rdb").read_text().splitlines()
    format_row = next(i for i, line in enumerate(lines) if line.startswith("5s"))
    path = tmp_path / "no_format.rdb"
    path.write_text("\n".join(lines[:format_row] + lines[format_row + 1 :]) + "\n")
    with pytest.raises(RecordError, match=rf"no_format.rdb, line {format_row + 1}: the format row .* is missing"):
        read_rdb_frame(path)


def test_netcdf_with_gauges_and_units_attributes(tmp_path):
    times = pd.date_range("2024-06-11", periods=4, freq="h")
    flows = np.array([[1.0, 10.0], [2.0, 20.0], [4.0, 40.0], [3.0, 30.0]])
    rain = np.full((4, 3), 1e-4)  # kg m-2 s-1, i.e. 0.36 mm per hour
    dataset = xr.Dataset(
        {
            "q": (("time", "gauge"), flows, {"units": "m3 s-1"}),
            "pr": (("time", "subbasin"), rain, {"units": "kg m-2 s-1"}),
        },
        coords={"time": times, "gauge": ["upper", "outlet"], "subbasin": ["a", "b", "c"]},
    )
    path = tmp_path / "records.nc"
    dataset.to_netcdf(path, encoding={"time": {"units": "hours since 2024-01-01"}})
    frame = read_netcdf_frame(path, "q")
    assert list(frame.columns) == ["upper", "outlet"] and frame.attrs["column_units"]["outlet"] == "m³/s"
    assert (frame.index == times).all() and frame.index.tz is None
    assert read_netcdf(path, "q", "outlet", to="l/s").to_list() == [10000.0, 20000.0, 40000.0, 30000.0]
    assert read_netcdf(path, "pr", "b", to="mm").to_list() == pytest.approx([0.36] * 4, rel=1e-12)
    with pytest.raises(RecordError, match=r"choose the variable with variable= \(there are \['q', 'pr'\]\)"):
        read_netcdf(path)
    with pytest.raises(RecordError, match="cannot convert m³/s into mm"):
        read_netcdf(path, "q", "upper", to="mm")


def test_netcdf_and_csv_writers_round_trip(tmp_path):
    model = tmp_path / "basin.toml"
    model.write_text("[basin]\narea = 12.5\n")
    index = pd.date_range("2024-06-11 06:00", periods=3, freq="15min", tz="Europe/Berlin", name="time")
    frame = pd.DataFrame({"outflow": [1.5, 2.25, 0.125], "spill#2": [0.0, 0.5, 0.25]}, index=index)
    frame.attrs["units"] = {"outflow": "m3/s", "spill#2": "l/s"}
    digest = hashlib.sha256(model.read_bytes()).hexdigest()

    nc = write_netcdf(frame, tmp_path / "out.nc", model_file=model, long_names={"outflow": "basin outflow"})
    with xr.open_dataset(nc) as written:
        assert written.attrs["model_file"] == "basin.toml" and written.attrs["model_file_sha256"] == digest
        assert written.attrs["Conventions"].startswith("CF-")
        assert written["outflow"].attrs == {"long_name": "basin outflow", "units": "m3 s-1"}
        assert written["spill_2"].attrs["long_name"] == "spill#2"
    back = read_netcdf(nc, "outflow")
    assert back.to_list() == frame["outflow"].to_list() and back.attrs["units"] == "m³/s"
    assert (back.index == index).all() and str(back.index.tz) == "UTC"

    csv = write_csv(frame, tmp_path / "out.csv", units_row=True, model_file=model)
    assert f"# model_file_sha256: {digest}" in csv.read_text()
    again = read_csv_frame(csv, units_row=True)
    assert (again.index == index).all() and again.to_dict("list") == frame.to_dict("list")
    assert again.attrs["column_units"] == {"outflow": "m³/s", "spill#2": "l/s"}, "a '#' inside a line is data"


def test_fixed_step_file():
    rain = read_fixed_step(DATA / "rain_fixed_step.txt")
    assert rain.index[0] == pd.Timestamp("2024-06-11 06:00+02:00") and rm.infer_step(rain) == pd.Timedelta("15min")
    assert rain.to_list() == [0.0, 0.2, 1.4, 3.8, 6.0, 2.2, 0.6, 0.0]
    assert rain.attrs["units"] == "mm" and rain.attrs["header"]["station"] == "R7"
    intensity = convert(rain, "mm/h")
    assert intensity.iloc[4] == pytest.approx(24.0) and intensity.attrs["units"] == "mm/h"
    assert convert(intensity, "in").iloc[4] == pytest.approx(6.0 / 25.4)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("start: 2024-06-11\n1\n", ": no 'step:' line in the header"),
        ("start: 2024-06-11\nstep: 15\n1\n", ", line 2: step '15' is not a positive duration with a unit"),
        ("start: 2024-06-11\nstep: 1h\n1\n2 3\n", ", line 4: one value per line, found '2 3'"),
        ("start: someday\nstep: 1h\n1\n", ", line 1: start 'someday' is not an ISO 8601 timestamp"),
    ],
)
def test_fixed_step_file_errors(tmp_path, text, message):
    path = tmp_path / "values.txt"
    path.write_text(text)
    with pytest.raises(RecordError, match=re.escape(f"{path}{message}")):
        read_fixed_step(path)


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"", "empty file (no header line)"),
        (b"time,q\n", "no data lines after the header"),
        (b"2024-06-11T00:00,1\n", "line 1: '2024-06-11T00:00' is a timestamp, not a column name; pass header=False"),
        (b"time,q\n2024-06-11T00:00,1\n2024-06-11T01:00,2,3\n", "line 3: 3 fields where the header has 2"),
        (b"time,q,r\n2024-06-11T00:00,1,1\n2024-06-11T01:00,2\n", "line 3: 2 field(s) where the header has 3"),
        (b"time,q\n2024-06-11T00:00,1\n2024-06-11T01:00,2\xe9\n", "line 3: not UTF-8 text (byte b'\\xe9')"),
        (
            b"time,q\n2024-06-11T00:00,1\n2024-06-11T01:00,-inf\n",
            "line 3: column 'q' (2024-06-11T01:00:00): value '-inf' is not finite",
        ),
        (
            b"time,q\n2024-06-11T00:00+02:00,1\n2024-06-11T01:00,2\n",
            "line 3: timestamp '2024-06-11T01:00' lacks a UTC offset where line 2's has one",
        ),
        (
            b"time,q\n13.06.2024 00:00,1\n",
            "line 2: timestamp '13.06.2024 00:00' not an ISO 8601 timestamp; pass date_format='%d.%m.%Y %H:%M'",
        ),
    ],
)
def test_bad_csv_files_are_refused_in_one_line(tmp_path, content, message):
    path = tmp_path / "q.csv"
    path.write_bytes(content)
    with pytest.raises(TimeSeriesError) as caught:
        rm.read_flow_csv(path, missing="keep")
    text = str(caught.value)
    assert text.startswith(f"{path}") and message in text and "\n" not in text


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes")
def test_what_is_not_a_regular_file_is_refused_before_reading(tmp_path):
    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)
    for path, message in (
        (fifo, "not a regular file"),
        (tmp_path, "a directory"),
        (tmp_path / "nope.csv", "No such file"),
    ):
        for read in (rm.read_rain_csv, read_fixed_step, read_rdb_frame, read_netcdf_frame):
            with pytest.raises(RecordError, match=f"^{re.escape(str(path))}: .*{message}"):
                read(path)


def test_nonfinite_values_dropped_by_choice_and_files_without_header(tmp_path):
    path = tmp_path / "q.csv"
    path.write_text("2024-06-11T00:00,1\n2024-06-11T01:00,inf\n2024-06-11T02:00,3\n")
    flow = rm.read_flow_csv(path, header=False, nonfinite="drop", missing="interpolate", max_gap=2)
    assert flow.to_list() == [1.0, 2.0, 3.0] and flow.name == "1"


def test_unknown_unit_names_the_column(tmp_path):
    path = tmp_path / "q.csv"
    path.write_text("time,q\n,furlongs per fortnightly\n2024-06-11T00:00,1\n")
    with pytest.raises(RecordError, match=r"q.csv: column 'q': unknown unit 'furlongs per fortnightly'"):
        read_csv(path, units_row=True)


@pytest.mark.parametrize(
    ("values", "unit", "slip"),
    [
        ([120.0, 900.0, 450.0], "m3/s", "l/s"),  # litres per second taken for cubic metres
        ([1.2e-5, 9e-5, 4.5e-5], "l/s", "m³/s"),
        ([0.4, 3.0, 1.5], "m3/s", None),  # a storm on a 12 km² basin: plausible
    ],
)
def test_implausible_magnitude_names_the_likely_slip(values, unit, slip):
    observed = pd.Series(values, index=pd.date_range("2024-06-11", periods=3, freq="h"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        message = check_runoff_magnitude(observed, 12.0, flow_unit=unit, area_unit="km2")
    if slip is None:
        assert message is None and not caught
    else:
        assert len(caught) == 1 and caught[0].category is UnitWarning
        assert f"were the flows in {slip} rather than" in str(caught[0].message) == message


def test_netcdf_selection_of_further_dimensions(tmp_path):
    times = pd.date_range("2024-06-11", periods=3, freq="h")
    values = np.arange(12.0).reshape(3, 2, 2)
    dataset = xr.Dataset(
        {"q": (("time", "gauge", "member"), values, {"units": "m3/s"})},
        coords={"time": times, "gauge": ["a", "b"], "member": [0, 1]},
    )
    path = tmp_path / "ensemble.nc"
    dataset.to_netcdf(path)
    with pytest.raises(RecordError, match=r"q has dimensions \['time', 'gauge', 'member'\]; fix all but one"):
        read_netcdf_frame(path, "q")
    assert read_netcdf(path, "q", "b", select={"member": 1}).to_list() == [3.0, 7.0, 11.0]


@pytest.mark.parametrize(
    ("text", "options", "outcome"),
    [
        ("time,q\n2024-03-31T01:00,1\n2024-03-31T03:00,2\n", {"tz": "Europe/Berlin"}, ["+01:00", "+02:00"]),
        ("time,q\n2024-03-31T02:30,1\n", {"tz": "Europe/Berlin"}, "cannot place the timestamps in time zone"),
        ('time,"a,b ""x"""\n2024-06-11T00:00,1\n2024-06-11T01:00,\n', {}, [1.0, None]),
        ("time,q\n11.06.2024,1\n2024-06-12,2\n", {"dayfirst": True}, "line 3: timestamp '2024-06-12' cannot be read"),
    ],
)
def test_csv_time_zones_quoted_names_and_day_first_dates(tmp_path, text, options, outcome):
    path = tmp_path / "q.csv"
    path.write_text(text)
    if isinstance(outcome, str):
        with pytest.raises(RecordError, match=re.escape(outcome)):
            read_csv(path, **options)
        return
    series = read_csv(path, **options)
    if "tz" in options:
        assert [stamp.isoformat()[-6:] for stamp in series.index] == outcome
    else:
        assert series.name == 'a,b "x"' and [None if np.isnan(v) else v for v in series] == outcome


def test_rdb_zone_codes_must_be_known(tmp_path):
    text = (DATA / "usgs_iv.rdb").read_text().replace("\tEST\t", "\tXST\t", 1)
    path = tmp_path / "zone.rdb"
    path.write_text(text)
    line = text.splitlines().index(next(l for l in text.splitlines() if "\tXST\t" in l)) + 1
    with pytest.raises(RecordError, match=f"zone.rdb, line {line}: unknown time zone code 'XST' in tz_cd"):
        read_rdb_frame(path)


PEAKS = (
    "# annual peaks\n"
    "agency_cd\tsite_no\tpeak_dt\tpeak_tm\tpeak_va\tpeak_cd\tgage_ht\tgage_ht_cd\n"
    "5s\t15s\t10d\t6s\t8s\t27s\t8s\t13s\n"
    "USGS\t02239501\t1998-03-12\t\t6140\t2\t12.40\t\n"
    "USGS\t02239501\t1999-10-03\t\t3850\t\t9.81\t\n"
)
RATING = (
    '# //RATING_INDEP ROUNDING="2223456782" PARAMETER="Gage height (ft)"\n'
    '# //RATING_DEP ROUNDING="2222233332" PARAMETER="Discharge (cfs)"\n'
    "INDEP\tSHIFT\tDEP\tSTOR\n16N\t16N\t16N\t1S\n"
    "1.00\t0.00\t0.00\t*\n1.50\t0.00\t12.5\t\n2.00\t0.00\t48.0\t*\n"
)


@pytest.mark.parametrize(
    ("text", "outcome"),
    [
        (PEAKS, None),
        (PEAKS.replace("1998-03-12", "1998-03-00"), "line 4: date '1998-03-00' has a month or day of 00"),
        (
            RATING,
            "no 'datetime' column (there are ['INDEP', 'SHIFT', 'DEP', 'STOR']); name the column of the "
            "times with time_column= or, for a rating table, read_rating",
        ),
    ],
)
def test_rdb_tables_other_than_values_by_their_time_column(tmp_path, text, outcome):
    path = tmp_path / "table.rdb"
    path.write_text(text)
    if outcome is not None:
        with pytest.raises(RecordError, match=re.escape(f"{path}{', ' if 'line' in outcome else ': '}{outcome}")):
            read_rdb_frame(path, time_column="peak_dt" if "peak" in text else "datetime")
        return
    with pytest.raises(RecordError, match="no 'datetime' column .*name the column of the times with time_column=$"):
        read_rdb(path, "peak_va")
    peaks = read_rdb(path, "peak_va", time_column="peak_dt", to="m3/s")
    assert peaks.tolist() == pytest.approx([6140 * 0.028316846592, 3850 * 0.028316846592])
    frame = read_rdb_frame(path, time_column="peak_dt")
    assert list(frame.columns) == ["peak_va", "peak_cd", "gage_ht", "gage_ht_cd"]
    assert frame.attrs["column_units"] == {"peak_va": "cfs", "gage_ht": "ft"} and frame["peak_cd"].iloc[0] == "2"


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (RATING.replace("48.0", "10.0"), "line 7: DEP 10 falls below 12.5 (line 6)"),
        (RATING.replace("1.50", "0.50"), "line 6: INDEP 0.5 does not rise above 1 (line 5)"),
        (RATING.replace("12.5", "Ice"), "line 6: not a number in column 'DEP': 'Ice'"),
    ],
)
def test_a_rating_table_feeds_an_outlet_or_is_refused_with_its_line(tmp_path, text, message):
    path = tmp_path / "rating.rdb"
    path.write_text(RATING)
    rating = read_rating(path, to="m3/s")
    assert rating.elevation == (1.0, 1.5, 2.0) and rating.elevation_units == "ft" and rating.discharge_units == "m³/s"
    assert rating.discharge == pytest.approx((0.0, 12.5 * 0.028316846592, 48.0 * 0.028316846592))
    assert rm.UncontrolledOutlet(**rating.curve()).discharge == rating.discharge
    path.write_text(text)
    with pytest.raises(RecordError, match=re.escape(f"{path}, {message}")):
        read_rating(path)


def test_usgs_column_names_give_the_code_and_unit_and_frames_keep_units_per_column(tmp_path):
    path = tmp_path / "dv.csv"
    path.write_text(
        "time,USGS_02239501_158038_00060_00003:ft^3/s,USGS_02239501_158039_00065_00003:ft\n"
        "2024-06-01,120,3.1\n2024-06-02,130,3.3\n"
    )
    flow = rm.read_flow_csv(path, "00060", to="m3/s")  # the column as read_csv takes it, positional
    assert flow.attrs["units"] == "m³/s" and flow.tolist() == pytest.approx(
        [120 * 0.028316846592, 130 * 0.028316846592]
    )
    frame = read_csv_frame(path)
    name = "USGS_02239501_158039_00065_00003:ft"
    assert frame.attrs["column_units"][name] == "ft" and "units" not in frame[name].attrs
    assert column_of(frame, name).attrs == {"units": "ft"} and read_csv(path, 1).attrs == {"units": "ft³/s"}
    assert csv_text(frame[name], units_row=True).splitlines()[1] == ",ft"  # the writers find a column's unit
    with pytest.raises(RecordError, match=re.escape("'ft^3/s' by the file, in 'm3/s' by units=")):
        read_csv(path, "00060", units="m3/s")  # two units for one column: refused, not one of them chosen


def test_a_header_less_file_is_recognised_after_its_separator(tmp_path):
    path = tmp_path / "h.tsv"
    path.write_text("01.06.2024 00:00\t1.5\n01.06.2024 01:00\t2.0\n")
    with pytest.raises(
        RecordError, match=re.escape(f"{path}, line 1: the header '01.06.2024 00:00\\t1.5' looks like data")
    ):
        read_csv(path, sep="\t")
    series = read_csv(path, sep="\t", header=False, date_format="%d.%m.%Y %H:%M")
    assert series.tolist() == [1.5, 2.0]
