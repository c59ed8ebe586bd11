"""The forcing: every series placed by its timestamps at the run's step, and its unit honoured to the score."""

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
rm = pytest.importorskip("rainmill_models")

from rainmill_models import ModelError, TimeSeriesError
from rainmill_models.calibration.plain_data import observed_in_model_units, series_from_data, series_to_data
from rainmill_models.io.forcing import prepare_inputs
from rainmill_models.io.units import UnitError, convert, unit_of
from rainmill_models.network import Network


def hourly(values, start="2024-01-10", freq="1h", tz=None, units=None):
    series = pd.Series(
        np.asarray(values, dtype=np.float64), index=pd.date_range(start, periods=len(values), freq=freq, tz=tz)
    )
    if units is not None:
        series.attrs["units"] = units
    return series


def network(units="US", step=None, loss=None, snow=False, names=("s",)):
    basin = {
        "area": 10.0,
        "loss": loss or {"method": "deficit-constant", "initial_deficit": 0.0, "max_deficit": 1.0,
                         "constant_rate": 0.0, "time_to_dry": 24.0},
        "transform": {"method": "clark", "tc": 24.0, "r": 24.0},
    }  # fmt: skip
    if snow:
        basin["snow"] = {"method": "temperature-index"}
    options = {"units": units} | ({} if step is None else {"step": step})
    return Network.from_dict({"options": options, "subbasins": {name: dict(basin) for name in names}})


RAIN = hourly([0.1] * 48)


@pytest.mark.parametrize(
    ("step", "temperature", "expected"),
    [
        # a daily temperature under a 12 h step: each day's mean twice, not one value per step
        (12.0, hourly([-5.0, 5.0], freq="D"), [-5.0, -5.0, 5.0, 5.0]),
        # an hourly temperature in a 12 h run: the mean of each 12 hours
        (12.0, hourly(np.arange(48.0)), [5.5, 17.5, 29.5, 41.5]),
        # a longer record starting before the rain: read from the rain's start
        (12.0, hourly(np.arange(60.0), start="2024-01-09 12:00"), [17.5, 29.5, 41.5, 53.5]),
    ],
)
def test_temperature_is_placed_by_time_and_averaged_over_the_step(step, temperature, expected):
    rain = hourly([1.0, 0.0, 0.0, 0.0], freq="12h")
    inputs, _, _ = prepare_inputs(network(step=step), rain, temperature=temperature)
    assert inputs.temperature["s"].tolist() == pytest.approx(expected, rel=1e-15)
    assert inputs.driven_intervals() == len(expected)


@pytest.mark.parametrize(
    ("rain", "step", "expected"),
    [
        (hourly([2.0, 1.0], freq="D"), 12.0, [1.0, 1.0, 0.5, 0.5]),  # split: totals kept
        (hourly([0.1, 0.2, 0.3, 0.4, 0.5, 0.6]), 3.0, [0.6, 1.5]),  # summed
    ],
)
def test_amounts_are_split_or_summed_so_totals_are_kept(rain, step, expected):
    inputs, _, _ = prepare_inputs(network(step=step), rain, potential_et=rain)
    assert inputs.rain["s"].tolist() == pytest.approx(expected, rel=1e-14)
    assert inputs.potential_et["s"].tolist() == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        (
            {"potential_et": hourly([0.01] * 48, start="2024-01-10 02:00")},
            r"potential_et.s: no value for 2024-01-10T00:00:00",
        ),
        ({"temperature": hourly([1.0] * 40)}, r"temperature.s: no value for 2024-01-11T16:00:00"),
        ({"temperature": hourly([1.0] * 49, start="2024-01-09 23:30")}, r"temperature.s: 2024-01-10T00:00:00 is off"),
        (
            {"potential_et": hourly([0.01] * 10), "end": "2024-01-11 23:00"},
            r"potential_et.s: no value for 2024-01-10T10:00:00",
        ),
        ({"rain": {"s": RAIN, "t": RAIN[:-18]}}, r"rain.t: no value for 2024-01-11T06:00:00"),
        (
            {"temperature": hourly([1.0] * 48, tz="UTC")},
            r"temperature.s: its times have a time zone and the run's do not",
        ),
        (
            {"potential_et": hourly([0.01] * 80, freq="40min")},
            r"options.step: 1 h and the step of potential_et.s \(0.666667 h\)",
        ),
    ],
)
def test_series_that_do_not_cover_the_run_are_refused_naming_the_first_instant(kwargs, message):
    kwargs = dict(kwargs)
    rain = kwargs.pop("rain", RAIN)
    model = network(snow="temperature" in kwargs, names=tuple(rain) if isinstance(rain, dict) else ("s",))
    with pytest.raises((TimeSeriesError, ModelError), match=message):
        model.run(rain, **kwargs)


def test_an_automatic_end_stops_where_potential_et_ends():
    with pytest.warns(UserWarning, match="within the end of the potential ET and temperature records"):
        result = network().run(RAIN, potential_et=hourly([0.01] * 48))
    assert len(result.index) == 48


def test_missing_zero_counts_a_short_rain_as_none():
    inputs, _, _ = prepare_inputs(network(names=("s", "t")), {"s": RAIN, "t": RAIN[6:-18]}, missing="zero")
    assert inputs.rain["t"].tolist() == [0.0] * 6 + [0.1] * 24 + [0.0] * 18


def test_snow_runs_on_zoned_indexes_and_reads_the_season_in_the_forcing_s_own_zone():
    days = 120
    rain = hourly([5.0] * 30 + [0.0] * (days - 30), start="2024-01-01", freq="D")
    warm = hourly([-5.0] * 30 + [4.0] * (days - 30), start="2024-01-01", freq="D")
    model = network(units="SI", snow=True)
    end = rain.index[-1]
    naive = model.run(rain, temperature=warm, end=end).outflow
    for zone in ("UTC", "Etc/GMT-12"):  # the wall clock of the forcing, whatever its zone
        local = model.run(rain.tz_localize(zone), temperature=warm.tz_localize(zone), end=end.tz_localize(zone))
        np.testing.assert_array_equal(local.outflow.to_numpy(), naive.to_numpy())


def test_snow_defaults_are_the_same_rates_in_either_unit_system():
    rain = hourly([4.0] * 10 + [0.0] * 30, freq="D")
    temperature = hourly([-5.0] * 10 + [5.0] * 30, freq="D")
    end = rain.index[-1]
    si = network(units="SI", snow=True).run(rain, temperature=temperature, end=end)["s"]
    us = network(units="US", snow=True).run(rain / 25.4, temperature=temperature, end=end)["s"]
    np.testing.assert_allclose(si["water"].to_numpy() / 25.4, us["water"].to_numpy(), rtol=1e-12, atol=1e-15)
    assert si["water"].sum() == pytest.approx(40.0, rel=1e-9)  # the 40 mm pack melts within the 30 warm days


@pytest.mark.parametrize("method", ["soil-moisture", "deficit-constant-et"])
def test_et_driven_losses_need_pet_unless_zero_is_asked_for(method):
    loss = {"method": method, "max_deficit": 1.0, "constant_rate": 0.01}
    if method == "soil-moisture":
        loss = {"method": method, "soil_max": 2.0, "tension_max": 0.5, "max_infiltration": 0.5}
    model = network(loss=loss)
    with pytest.raises(ModelError, match=f"the {method} loss needs a potential evapotranspiration series"):
        model.run(RAIN, end=RAIN.index[-1])
    dry = model.run(RAIN, potential_et=0, end=RAIN.index[-1])
    same = model.run(RAIN, potential_et=RAIN * 0.0, end=RAIN.index[-1])
    pd.testing.assert_frame_equal(dry.flows, same.flows)


@pytest.mark.parametrize(
    ("values", "source", "target", "expected"),
    [([283.15], "K", "degC", [10.0]), ([10.0], "degC", "K", [283.15]), ([32.0, 212.0], "degF", "degC", [0.0, 100.0])],
)
def test_offset_units_convert_with_their_offset(values, source, target, expected):
    converted = convert(hourly(values), target, units=source)
    assert converted.tolist() == pytest.approx(expected, rel=1e-12)


def test_units_on_the_forcing_are_honoured_or_refused_naming_the_unit():
    si = network(units="SI")
    plain, _, _ = prepare_inputs(si, RAIN * 25.4, temperature=hourly([1.0] * 48))
    marked, _, _ = prepare_inputs(si, hourly([0.1] * 48, units="in"), temperature=hourly([274.15] * 48, units="K"))
    np.testing.assert_allclose(marked.rain["s"], plain.rain["s"], rtol=1e-14)
    np.testing.assert_allclose(marked.temperature["s"], plain.temperature["s"], rtol=1e-12)
    frame = pd.DataFrame({"s": RAIN * 25.4, "q": RAIN})
    frame.attrs["units"] = {"s": "mm", "q": "m³/s"}  # a frame reader's per-column units
    from_frame, _, _ = prepare_inputs(si, {"s": frame["s"]})  # the column carries the frame's mapping
    np.testing.assert_allclose(from_frame.rain["s"], plain.rain["s"], rtol=1e-14)
    gauges = pd.DataFrame({"a": RAIN, "b": RAIN * 25.4})
    gauges.attrs["units"] = {"a": "in", "b": "mm"}
    weighted, _, _ = prepare_inputs(si, gauges, weights={"s": {"a": 0.25, "b": 0.75}})
    np.testing.assert_allclose(weighted.rain["s"], plain.rain["s"], rtol=1e-14)
    with pytest.raises(UnitError, match=r"temperature.s: 274.15 °C .* were they in kelvin\?"):
        prepare_inputs(si, RAIN, temperature=hourly([274.15] * 48))
    with pytest.raises(UnitError, match=r"rain.s: cannot convert m³/s into in"):
        prepare_inputs(si, hourly([0.1] * 48, units="m3/s"))


def test_observations_meet_the_simulation_in_its_unit():
    model = network(units="SI")
    result = model.run(RAIN * 25.4, end=RAIN.index[-1])
    assert result.at("s").attrs["units"] == "m³/s" and result["s"]["rain"].attrs["column_units"]["rain"] == "mm"
    observed = result.at("s") * 1.1
    observed.attrs = {}
    in_cfs = observed / 0.028316846592
    in_cfs.attrs["column_units"] = {"s": "cfs", "other": "mm"}  # a column of a frame reader's table
    in_cfs.name = "s"
    assert rm.scores(result, {"s": in_cfs}).loc["s"].to_dict() == pytest.approx(
        rm.scores(result, {"s": observed}).loc["s"].to_dict(), rel=1e-12, nan_ok=True
    )
    in_model = observed_in_model_units(model, "s", in_cfs)
    np.testing.assert_allclose(in_model, observed, rtol=1e-12)
    assert unit_of(in_model) is None  # in the model's unit, as the simulated flows it meets
    assert series_from_data(series_to_data(in_cfs)).attrs["units"] == "cfs"  # travels to the workers
    bare = result.at("s")
    bare.attrs = {}
    with pytest.raises(UnitError, match="observed: in cfs, but the simulated series has no unit"):
        rm.scores(bare, in_cfs)
    zoned = observed.tz_localize("UTC")
    with pytest.raises(TimeSeriesError, match="observed and simulated: one index has a time zone"):
        rm.scores(result, {"s": zoned})
    with pytest.raises(TimeSeriesError, match="observed at s: one of it and the rain has a time zone"):
        rm.calibrate(model, RAIN * 25.4, zoned, {"subbasins.s.loss.constant_rate": (0.0, 1.0)}, progress=False)


def test_computed_pet_honours_the_temperature_s_unit_and_carries_its_own():
    pytest.importorskip("pyet")
    from rainmill_models.methods.et import potential_et

    celsius = hourly([5.0, 10.0, 15.0], freq="D")
    pet = potential_et(celsius, latitude=50.0)
    kelvin = potential_et(hourly([278.15, 283.15, 288.15], freq="D", units="K"), latitude=50.0)
    np.testing.assert_allclose(kelvin, pet, rtol=1e-12)
    with pytest.raises(UnitError, match="were they in kelvin"):
        potential_et(hourly([278.15, 283.15, 288.15], freq="D"), latitude=50.0)
    inputs, _, _ = prepare_inputs(network(units="US"), hourly([0.1] * 3, freq="D"), potential_et=pet)
    np.testing.assert_allclose(inputs.potential_et["s"], pet.to_numpy() / 25.4, rtol=1e-14)  # mm read in inches
