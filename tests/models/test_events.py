"""Several events at once: shared and per-event parameters, combined objectives, history, runs and bands."""

import warnings

import numpy as np
import pandas as pd
import pytest
from calibration_cases import BASIN_TOML, basin, storm

import rainmill_models as rm
from rainmill_models.calibration.events import Event, calibrate_events, event_volume_weights
from rainmill_models.figures import covered_axes, overlapping_labels
from rainmill_models.io.units import UnitWarning

DEFICITS = {"small": 0.2, "middle": 0.9, "large": 1.3}
SHARED = {"basin.loss.constant_rate": 0.12, "basin.transform.r": 0.75}


def _storm(start: str, depths: list[float]) -> pd.Series:
    index = pd.date_range(start, periods=len(depths), freq="1h", tz="UTC", name="time")
    return pd.Series(depths, index=index, name="rain")


STORMS = {
    "small": _storm("2024-05-02", [0.1, 0.3, 0.5, 0.2]),
    "middle": _storm("2024-06-11", [0.15, 0.35, 1.10, 0.60, 0.25, 0.15]),
    "large": _storm("2024-07-20", [0.2, 0.6, 1.6, 1.2, 0.5, 0.2, 0.1]),
}


def _events(model: rm.Network) -> list[Event]:
    events = []
    for name, rain in STORMS.items():
        truth = rm.with_parameters(model, {**SHARED, "basin.loss.initial_deficit": DEFICITS[name]})
        flow = truth.run(rain, end=rain.index[0] + pd.Timedelta(hours=20)).outflow
        events.append(Event(name, rain, flow[flow.index.minute == 0].rename("flow")))
    return events


@pytest.mark.slow
def test_shared_and_per_event_parameters_are_recovered():
    model = rm.with_parameters(basin(), {"basin.loss.constant_rate": 0.3, "basin.transform.r": 2.0})
    fit = rm.calibrate(
        model,
        _events(model),
        parameters={"basin.loss.constant_rate": (0.02, 0.4), "basin.transform.r": (0.25, 3.0)},
        per_event={"basin.loss.initial_deficit": (0.0, 1.5)},
        combine="volume",
        seed=3,
        progress=False,
    )
    assert fit.parameters == pytest.approx(SHARED, rel=1e-3)
    assert fit.per_event["basin.loss.initial_deficit"].to_dict() == pytest.approx(DEFICITS, abs=2e-3)
    assert fit.score == pytest.approx(1.0, abs=1e-5) and (fit.scores["kge"] > 0.9999).all()
    # the history names the event of every per-event value and every score
    for name in DEFICITS:
        assert f"basin.loss.initial_deficit[{name}]" in fit.history and f"kge[{name}]" in fit.history
    row = fit.history.iloc[-1]
    weights = np.array([fit.weights[name] for name in DEFICITS])
    assert row["kge"] == pytest.approx(float(weights @ row[[f"kge[{n}]" for n in DEFICITS]].to_numpy()))
    figure = fit.plot()
    assert overlapping_labels(figure) == [] and covered_axes(figure) == []
    assert [axes.get_ylabel() for axes in figure.axes] == ["flow (cfs)"] * 3
    # the fitted events run as they were fitted
    runs = rm.run_many(fit.model, fit.events)
    assert (runs["kge"] > 0.9999).all() and list(runs["event"]) == list(DEFICITS)


def test_volume_weights_follow_the_observed_volume():
    model = basin()
    events = _events(model)
    weights = event_volume_weights(events)
    assert weights.sum() == pytest.approx(1.0) and weights[2] > weights[1] > weights[0]
    flat = [Event(e.name, e.rain, e.observed * 0.0) for e in events]
    assert event_volume_weights(flat).tolist() == [1 / 3] * 3, "no volume: equal weights, no division by zero"


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"per_event": {"basin.transform.r": (0.5, 1.0)}}, "either shared or per event"),
        ({"combine": "median"}, 'combine must be "mean", "volume"'),
        ({"combine": {"nowhere": 1.0}}, "no event named"),
    ],
)
def test_event_calibration_arguments_are_checked(change, message):
    model = basin()
    arguments = {"per_event": None, "combine": "mean", **change}
    with pytest.raises(ValueError, match=message):
        calibrate_events(model, _events(model), {"basin.transform.r": (0.25, 3.0)}, progress=False, **arguments)


def test_uncertainty_runs_the_same_samples_on_every_event():
    model = basin()
    events = _events(model)
    events[1] = Event(
        events[1].name, events[1].rain, events[1].observed, window=("2024-06-11 02:00", "2024-06-11 10:00")
    )
    bands = rm.uncertainty(model, events, {"basin.transform.r": (0.5, 1.0)}, n=6, seed=1, progress=False)
    assert list(bands) == list(DEFICITS)
    pd.testing.assert_frame_equal(bands["small"].samples, bands["large"].samples)
    assert bands["middle"].runs.index[-1] == pd.Timestamp("2024-06-11 10:00", tz="UTC"), "up to the window's end"
    assert bands["large"].runs.index[-1] == events[2].observed.index[-1]


def test_observations_meet_the_model_in_its_units():
    model = rm.Network.from_toml(BASIN_TOML.replace('units = "US"', 'units = "SI"'))
    rain = storm() * 25.4  # mm
    flow = model.run(rain, end=rain.index[0] + pd.Timedelta(hours=12)).outflow  # m³/s
    in_litres = flow * 1000.0
    in_litres.attrs["units"] = "l/s"
    settings = {"method": "nelder-mead", "options": {"maxfev": 3}, "progress": False}
    with warnings.catch_warnings():
        warnings.simplefilter("error", UnitWarning)
        fit = rm.calibrate(model, rain, in_litres, {"basin.transform.r": (0.5, 1.0)}, **settings)
    assert fit.observed.to_numpy() == pytest.approx(flow.to_numpy(), rel=1e-15), "converted into the model's unit"
    with pytest.warns(UnitWarning, match=r"observed at basin: .* were the flows in l/s rather than m³/s\?"):
        rm.calibrate(model, rain, flow * 1000.0, {"basin.transform.r": (0.5, 1.0)}, **settings)


TWO_BASINS = {
    "options": {"name": "two", "step": 0.25},
    "subbasins": {
        name: {
            "area": area,
            "downstream": "outlet",
            "loss": {
                "method": "deficit-constant",
                "initial_deficit": 0.6,
                "max_deficit": 1.5,
                "constant_rate": 0.12,
                "time_to_dry": 48.0,
            },
            "transform": {"method": "clark", "tc": 3.0, "r": 0.75},
        }
        for name, area in (("upper", 900.0), ("lower", 700.0))
    },
    "sinks": {"outlet": {}},
}


def test_run_many_and_uncertainty_take_events_on_a_network():
    network = rm.Network.from_dict(TWO_BASINS)
    events = []
    for name, rain in STORMS.items():
        per_subbasin = {"upper": rain, "lower": rain * 0.5}
        truth = network.with_parameters({"subbasins.upper.loss.initial_deficit": DEFICITS[name]})
        flow = truth.run(per_subbasin, end=rain.index[0] + pd.Timedelta(hours=20)).at("upper")
        parameters = {"subbasins.upper.loss.initial_deficit": DEFICITS[name]}
        events.append(Event(name, per_subbasin, {"upper": flow[flow.index.minute == 0]}, parameters=parameters))
    table = rm.run_many(network, events, progress=False)
    assert list(table["event"]) == list(STORMS) and table["error"].isna().all()
    assert table["kge"].tolist() == [1.0, 1.0, 1.0], "scored at the gauge, with each event's own values"
    bands = rm.uncertainty(network, events, {"subbasins.upper.transform.r": (0.5, 1.0)}, n=4, seed=1, progress=False)
    runs = bands["large"].runs
    assert runs.index[-1] == events[2].observed["upper"].index[-1]
    r = bands["large"].samples.iloc[0, 0]
    again = events[2].applied(network).with_parameters({"subbasins.upper.transform.r": r})
    expected = again.run(events[2].rain, end=runs.index[-1]).at("upper")
    assert runs[0].to_numpy().tobytes() == expected.to_numpy().tobytes(), "the gauge's flow, not the outlet's"


def test_run_many_converts_and_checks_the_observed_units():
    model = rm.Network.from_toml(BASIN_TOML.replace('units = "US"', 'units = "SI"'))
    rain = storm() * 25.4
    flow = model.run(rain, end=rain.index[0] + pd.Timedelta(hours=12)).outflow
    in_litres = flow * 1000.0
    in_litres.attrs["units"] = "l/s"
    with warnings.catch_warnings():
        warnings.simplefilter("error", UnitWarning)
        assert rm.run_many(model, Event("e", rain, in_litres), progress=False)["kge"].iloc[0] == 1.0
    with pytest.warns(UnitWarning, match=r"event 'e': observed at basin: .* l/s rather than m³/s\?"):
        rm.run_many(model, Event("e", rain, flow * 1000.0), progress=False)
