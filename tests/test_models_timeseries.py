"""Time-indexed data: pandas <-> extension series, CSV files, refused indexes, missing-data policies."""

from datetime import timedelta

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
rm = pytest.importorskip("rainmill_models")

import rainmill

from rainmill_models import TimeSeriesError


def series(values, start="2024-06-11 00:00", freq="15min", tz=None):
    index = pd.date_range(start, periods=len(values), freq=freq, tz=tz, name="time")
    return pd.Series(values, index=index, dtype="float64")


@pytest.mark.parametrize("tz", [None, "UTC", "Europe/Berlin", "America/New_York"])
def test_pandas_round_trip_keeps_start_step_and_zone(tz):
    rain = series([0.1, 0.0, 0.7, 0.2], tz=tz)
    inc = rm.to_incremental(rain)
    assert isinstance(inc, rainmill.utils.IncrementalTimeSeries)
    assert inc.time_step == timedelta(minutes=15) and inc.data == rain.to_list()
    back = rm.to_series(inc, rain.index[0])
    pd.testing.assert_series_equal(back, rain, check_names=False, check_freq=False)
    flow = series([1.0, 2.5, 2.0], freq="1h", tz=tz)
    cont = rm.to_continuous(flow)
    assert cont.kind == "discharge" and cont.time_step == timedelta(hours=1)
    pd.testing.assert_series_equal(rm.to_series(cont, flow.index[0]), flow, check_names=False, check_freq=False)


@pytest.mark.parametrize("tz", [None, "UTC", "Europe/Berlin"])
def test_csv_round_trip(tmp_path, tz):
    flow = series([1.0, 0.1 + 0.2, 1e-300, 12345.678901234567], freq="1h", tz=tz)
    flow.name = "q_cfs"
    path = rm.write_csv(flow, tmp_path / "q.csv")
    back = rm.read_flow_csv(path)
    assert back.to_list() == flow.to_list(), "values are written in full"
    assert (back.index == flow.index).all(), "the same instants"
    assert (back.index.tz is None) == (tz is None)
    assert back.name == "q_cfs"


def test_csv_across_a_daylight_saving_change_reads_as_utc(tmp_path):
    rain = series([0.0, 0.1, 0.2, 0.3], start="2024-03-31 00:00", freq="1h", tz="Europe/Berlin")
    back = rm.read_rain_csv(rm.write_csv(rain, tmp_path / "r.csv"))
    assert str(back.index.tz) == "UTC" and (back.index == rain.index).all()
    assert rm.infer_step(back) == pd.Timedelta(hours=1)


@pytest.mark.parametrize(
    ("stamps", "message"),
    [
        (["00:00", "01:00", "01:00", "02:00"], "duplicate timestamp 2024-06-11T01:00:00"),
        (["00:00", "02:00", "01:00", "03:00"], "timestamp 2024-06-11T01:00:00 comes after 2024-06-11T02:00:00"),
        (["00:00", "01:00", "02:30", "03:00"], "irregular timestamp 2024-06-11T02:30:00"),
        (["00:00", "01:00", "01:45", "02:45"], "irregular timestamp 2024-06-11T01:45:00"),
        (
            ["00:00", "01:00", "03:00", "04:00"],
            "gap after 2024-06-11T01:00:00: the next value is at 2024-06-11T03:00:00, 1 step(s) of 1 h missing",
        ),
    ],
)
def test_bad_indexes_are_refused_naming_the_first_timestamp(tmp_path, stamps, message):
    index = pd.DatetimeIndex([f"2024-06-11 {s}" for s in stamps], name="time")
    data = pd.Series([0.1, 0.2, 0.3, 0.4], index=index)
    with pytest.raises(TimeSeriesError, match="rain: " + message.replace("(", r"\(").replace(")", r"\)")):
        rm.to_incremental(data)
    path = tmp_path / "bad.csv"
    data.to_csv(path)
    with pytest.raises(TimeSeriesError, match=str(path)):
        rm.read_rain_csv(path)


def test_other_indexes_and_values_are_refused():
    with pytest.raises(TimeSeriesError, match="the index must be a DatetimeIndex, not RangeIndex"):
        rm.to_incremental(pd.Series([1.0, 2.0]))
    with pytest.raises(TimeSeriesError, match="the step must be a whole number of seconds"):
        rm.infer_step(series([1.0, 2.0], freq="500ms"))
    with pytest.raises(TimeSeriesError, match="at least two timestamps"):
        rm.infer_step(series([1.0]))


def test_rain_policy():
    rain = series([0.1, np.nan, 0.3, 0.4], freq="1h").drop(pd.Timestamp("2024-06-11 03:00"))
    with pytest.raises(TimeSeriesError, match=r"rain: missing value at 2024-06-11T01:00:00 \(pass missing='zero'"):
        rm.fill_rain(rain)
    filled = rm.fill_rain(rain.drop(pd.Timestamp("2024-06-11 02:00")), "zero")
    assert filled.to_list() == [0.1, 0.0] and len(filled) == 2
    stamps = ["2024-06-11 00:00", "2024-06-11 01:00", "2024-06-11 04:00", "2024-06-11 05:00"]
    gappy = pd.Series([0.1, 0.2, 0.5, 0.6], index=pd.DatetimeIndex(stamps))
    assert rm.fill_rain(gappy, "zero").to_list() == [0.1, 0.2, 0.0, 0.0, 0.5, 0.6]
    with pytest.raises(TimeSeriesError, match="irregular timestamp 2024-06-11T04:25:00: not a whole number"):
        rm.fill_rain(pd.concat([gappy, series([0.1], start="2024-06-11 04:25")]).sort_index(), "zero")


def test_flow_policy():
    flow = series([1.0, np.nan, np.nan, 4.0, 5.0, np.nan, 7.0], freq="1h")
    with pytest.raises(TimeSeriesError, match="flow: missing value at 2024-06-11T01:00:00"):
        rm.fill_flow(flow)
    assert rm.fill_flow(flow, "interpolate", max_gap=3).to_list() == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]
    with pytest.raises(TimeSeriesError, match="flow: gap from 2024-06-11T01:00:00 spans 3 h, longer than max_gap 2 h"):
        rm.fill_flow(flow, "interpolate", max_gap=2)
    missing_stamp = flow.dropna()
    assert rm.fill_flow(missing_stamp, "interpolate", max_gap=3).to_list() == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]
    with pytest.raises(TimeSeriesError, match="gaps at either end cannot be interpolated"):
        rm.fill_flow(series([np.nan, 1.0, 2.0]), "interpolate", max_gap=10)
    with pytest.raises(ValueError, match="needs max_gap"):
        rm.fill_flow(flow, "interpolate")
    kept = rm.fill_flow(flow, "keep")
    assert kept.isna().sum() == 3


def test_csv_errors(tmp_path):
    path = tmp_path / "q.csv"
    path.write_text("time,q\n2024-06-11T00:00,1\n2024-06-11T01:00,x\n")
    with pytest.raises(TimeSeriesError, match="q.csv, line 3: not a number in column 'q' at 2024-06-11T01:00:00: 'x'"):
        rm.read_flow_csv(path)
    path.write_text("time,a,b\n2024-06-11T00:00,1,2\n2024-06-11T01:00,1,2\n")
    with pytest.raises(TimeSeriesError, match="several value columns"):
        rm.read_flow_csv(path)
    assert rm.read_flow_csv(path, column="b").to_list() == [2.0, 2.0]


@pytest.mark.parametrize("value", [-0.1, np.inf, -np.inf])
def test_rain_depths_must_be_finite_and_not_negative(value):
    rain = series([0.1, 0.2, value, 0.3])
    with pytest.raises(
        TimeSeriesError, match=f"rain: depth {value} at 2024-06-11T00:30:00; rain must be finite and >= 0"
    ):
        rm.fill_rain(rain, "zero")
