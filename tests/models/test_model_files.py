"""Model files for real networks: shared defaults, correction factors, constraints, honest warnings."""

import re
import warnings
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
rm = pytest.importorskip("rainmill_models")

from rainmill_models import ModelError
from rainmill_models.cli.inputs import load_model
from rainmill_models.methods import PROCESSES, method_class, method_names
from rainmill_models.network import Network, RechargeWarning
from rainmill_models.parameters import compile_parameters

README = Path(__file__).resolve().parents[2] / "README.md"
HOURS = pd.date_range("2024-01-01", periods=72, freq="h", name="time")
CLARK = {"method": "clark", "tc": 2.0, "r": 1.0}
SOIL = {"method": "soil-moisture", "soil_max": 2.0, "tension_max": 0.5, "max_infiltration": 0.3,
        "soil_percolation": 0.05, "gw1_max": 1.0, "initial_soil": 1.0}  # fmt: skip
GROUNDWATER = {"method": "linear-reservoirs", "layers": {"g": {"fraction": 1.0, "k": 30.0}}}
SNOW = {"method": "temperature-index", "threshold": 0.0, "transition": 2.0}


def network(**subbasins):
    return Network.from_dict({"subbasins": subbasins})


def soil_basin(**extra):
    return {"area": 640.0, "loss": SOIL, "transform": CLARK, "baseflow": GROUNDWATER, **extra}


def test_defaults_merge_key_by_key_the_element_winning_and_write_out_expanded():
    data = {
        "defaults": {"subbasins": {"transform": CLARK, "loss": SOIL, "baseflow": GROUNDWATER}},
        "subbasins": {
            "a": {"area": 10.0, "loss": {"soil_max": 3.0}},  # the same method: field by field
            "b": {"area": 20.0, "loss": {"method": "deficit-constant-et", "max_deficit": 1.0, "constant_rate": 0.1}},
            "c": {"area": 30.0, "transform": {"tc": 4.0}},
        },
    }
    model = Network.from_dict(data)
    a, b, c = (model.elements[n] for n in "abc")
    assert (a.loss.soil_max, a.loss.tension_max, a.loss.initial_soil) == (3.0, 0.5, 1.0)
    assert type(b.loss).__name__ == "DeficitConstantEt" and b.loss.initial_deficit == 0.0  # no soil fields mixed in
    assert (c.transform.tc, c.transform.r, c.loss.soil_max) == (4.0, 1.0, 2.0)
    written = model.to_dict()
    assert "defaults" not in written and written["subbasins"]["c"]["loss"]["soil_max"] == 2.0
    assert Network.from_dict(written).elements == model.elements


@pytest.mark.parametrize(
    ("defaults", "own", "message"),
    [
        (
            {"subbasins": {"loss": {**SOIL, "soil_mx": 1.0}}},
            {},
            "subbasins.a.loss.soil_mx: unknown key (set in defaults",
        ),
        ({"subbasins": {"loss": SOIL}}, {"loss": {"tension_max": 9.0}}, "subbasins.a.loss.tension_max: must be"),
        ({"basins": {}}, {}, "defaults.basins: unknown key"),
        ({"subbasins": 1}, {}, "defaults.subbasins: must be a table"),
    ],
)
def test_messages_about_defaults_name_the_elements_own_path(defaults, own, message):
    with pytest.raises(ModelError, match=re.escape(message)):
        Network.from_dict({"defaults": defaults, "subbasins": {"a": soil_basin(**own)}})


def run_balance(sub, rain, temperature=None):
    model = Network({"a": sub}) if isinstance(sub, rm.Subbasin) else network(a=sub)
    result = model.run(rain, potential_et=0, temperature=temperature, end=HOURS[-1])
    return result["a"], result.balances.loc["a"]


def test_the_precipitation_factor_scales_what_enters_and_the_balance_closes_on_it():
    rain = pd.Series(np.r_[np.full(12, 0.2), np.zeros(60)], index=HOURS)
    corrected = network(a=soil_basin()).with_parameters({"subbasins.a.precipitation_factor": 1.25})  # a parameter
    frame, row = run_balance(corrected.elements["a"], rain)
    np.testing.assert_allclose(frame["rain"].to_numpy()[:12], 0.25, rtol=1e-15)
    np.testing.assert_array_equal(frame["gauge_rain"].to_numpy()[:12], 0.2)
    assert row["closes"] and row["inflow"] == pytest.approx(12 * 0.25 * 640.0 * 3630.0, rel=1e-12)
    plain, _ = run_balance(soil_basin(), rain)
    assert "gauge_rain" not in plain  # nothing corrected: one column


@pytest.mark.parametrize(("celsius", "entering"), [(-10.0, 0.3), (10.0, 0.2), (0.0, 0.25)])
def test_the_snowfall_factor_scales_the_snow_share(celsius, entering):
    rain = pd.Series(np.r_[np.full(6, 0.2), np.zeros(66)], index=HOURS)
    temperature = pd.Series(celsius, index=HOURS)
    frame, row = run_balance(soil_basin(snow=SNOW, snowfall_factor=1.5), rain, temperature)
    np.testing.assert_allclose(frame["rain"].to_numpy()[:6], entering, rtol=1e-14)
    assert row["closes"]


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        ({"precipitation_factor": 2.5}, "subbasins.a.precipitation_factor: must lie between 0.5 and 2, got 2.5"),
        ({"snowfall_factor": 1.2}, "subbasins.a.snowfall_factor: needs a snow method"),
        ({"recharge_leaves": True}, "subbasins.a.recharge_leaves: the baseflow method receives the recharge"),
        ({"recharge_leaves": "yes"}, "subbasins.a.recharge_leaves: must be true or false"),
    ],
)
def test_subbasin_options_are_checked(extra, message):
    with pytest.raises(ModelError, match=re.escape(message)):
        network(a=soil_basin(**extra))


@pytest.mark.parametrize(
    ("paths", "drawn", "written"),
    [
        (["loss.tension_max", "loss.soil_max"], [3.0, 2.5], [2.5, 2.5]),
        (["loss.soil_max"], [0.5], [1.0]),  # never below the fixed initial storage
        (["loss.initial_soil", "loss.soil_max"], [4.0, 3.0], [3.0, 3.0]),
        (["loss.tension_max", "loss.soil_max"], [0.4, 2.5], [0.4, 2.5]),  # within: as drawn
        (["baseflow.layers.f.fraction"], [0.9], [0.5]),  # the room the fixed layer leaves
        (["snow.melt_rate_max"], [0.01], [0.02]),
    ],
)
def test_a_search_maps_its_values_into_the_constraints(paths, drawn, written):
    layers = {"f": {"fraction": 0.3, "k": 5.0}, "s": {"fraction": 0.5, "k": 50.0}}
    snow = {**SNOW, "melt_rate_min": 0.02, "melt_rate_max": 0.1}
    model = network(a=soil_basin(baseflow={"method": "linear-reservoirs", "layers": layers}, snow=snow))
    setter = compile_parameters(model, [f"subbasins.a.{p}" for p in paths], continuous=True)
    assert setter.written(drawn) == pytest.approx(written, rel=1e-15)


def test_a_direct_write_is_checked_never_mapped():
    with pytest.raises(ModelError, match=r"^subbasins\.a\.loss\.tension_max: must be"):
        network(a=soil_basin()).with_parameters({"subbasins.a.loss.tension_max": 3.0})


def test_a_calibration_over_crossing_bounds_wastes_no_evaluation():
    rain = pd.Series(np.r_[np.full(10, 0.3), np.zeros(62)], index=HOURS)
    truth = network(a=soil_basin())
    observed = truth.run(rain, potential_et=0, end=HOURS[-1]).outflow
    bounds = {"subbasins.a.loss.tension_max": (0.2, 3.0), "subbasins.a.loss.soil_max": (0.5, 2.5)}
    fit = rm.calibrate(
        truth, rain, observed, bounds, potential_et=0, objective="nse", seed=3, progress=False,
        options={"maxiter": 4, "popsize": 6},
    )  # fmt: skip
    assert len(fit.history) > 40 and fit.history["nse"].isna().sum() == 0 and fit.refused == 0
    loss = fit.model.elements["a"].loss
    assert loss.initial_soil <= loss.soil_max and loss.tension_max <= loss.soil_max
    drawn = fit.history[list(bounds)]
    assert (drawn["subbasins.a.loss.tension_max"] <= drawn["subbasins.a.loss.soil_max"]).all()
    assert fit.parameters["subbasins.a.loss.soil_max"] == loss.soil_max


ET_LOSS = {"method": "deficit-constant-et", "max_deficit": 1.0, "constant_rate": 0.1}
EVENT_LOSS = {"method": "initial-constant", "initial_loss": 0.5, "constant_rate": 0.1}  # what it loses is lost


@pytest.mark.parametrize(
    ("sub", "warns"),
    [
        ({"area": 5.0, "loss": SOIL, "transform": CLARK}, True),
        ({"area": 5.0, "loss": ET_LOSS, "transform": CLARK}, True),
        ({"area": 5.0, "loss": SOIL, "transform": CLARK, "recharge_leaves": True}, False),
        (soil_basin(), False),
        ({"area": 5.0, "loss": EVENT_LOSS, "transform": CLARK}, False),
    ],
)
@pytest.mark.parametrize("loader", ["from_toml", "command line"])
def test_a_continuous_loss_whose_recharge_goes_nowhere_warns_at_load(sub, warns, loader, tmp_path):
    tomli_w = pytest.importorskip("tomli_w")
    text = tomli_w.dumps({"subbasins": {"upper": sub}})
    path = tmp_path / "model.toml"
    path.write_text(text)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Network.from_toml(text) if loader == "from_toml" else load_model(path)
    messages = [str(w.message) for w in caught if issubclass(w.category, RechargeWarning)]
    assert len(messages) == warns
    if warns:
        assert messages[0].startswith("subbasins.upper: ") and "recharge_leaves = true" in messages[0]


@pytest.mark.parametrize(
    ("data", "message"),
    [
        ({"basin": {"area": 1.0, "loss": {"soil_max": 1.0}, "transform": {"tc": 1.0, "r": 1.0}}},
         "basin.loss.soil_max: unknown key (an older single-chain file's loss without a method is deficit-and-constant"),
        ({"basin": {"area": 1.0}, "subbasins": {}}, "subbasins: unknown key (an older single-chain file has basin"),
        ({"reach": {}}, "reach: unknown key (the tables are options, defaults, subbasins"),
    ],
)  # fmt: skip
def test_each_layouts_messages_point_at_the_other(data, message):
    with pytest.raises(ModelError, match=re.escape(message)):
        Network.from_dict(data)


def test_an_old_single_chain_file_naming_a_continuous_method_loads():
    data = {"basin": {"area": 1.0, "loss": SOIL, "transform": {"tc": 1.0, "r": 1.0}, "baseflow": GROUNDWATER["layers"]}}
    assert Network.from_dict(data).get("basin.loss.soil_max") == 2.0


def test_the_old_model_class_loads_a_network_file(tmp_path):
    pytest.importorskip("tomli_w")
    path = network(a=soil_basin(), b=soil_basin()).save(tmp_path / "two.toml")
    with pytest.warns(DeprecationWarning, match="rm.Model is retired"):
        loaded = rm.Model.load(path)
    assert isinstance(loaded, Network) and sorted(loaded.subbasins()) == ["a", "b"]


def test_the_readme_lists_every_declared_constraint():
    text = README.read_text(encoding="utf-8")
    declared = [
        (name, rule)
        for process in PROCESSES
        for name in method_names(process)
        for rule in getattr(method_class(process, name, ""), "CONSTRAINTS", ())
    ]
    assert declared
    missing = [(name, rule) for name, rule in declared if f"`{' '.join(rule)}`" not in text]
    assert not missing


def test_events_calibrated_over_crossing_bounds_report_values_within_the_constraints():
    from rainmill_models.calibration.events import Event

    model = network(
        a={"area": 640.0, "loss": {**ET_LOSS, "initial_deficit": 0.5}, "transform": CLARK, "baseflow": GROUNDWATER}
    )
    events = []
    for name, start in (("one", "2024-01-01"), ("two", "2024-03-01")):
        rain = pd.Series(np.r_[np.full(8, 0.3), np.zeros(40)], index=pd.date_range(start, periods=48, freq="h"))
        flow = model.run(rain, potential_et=0, end=rain.index[-1]).outflow
        events.append(Event(name, rain, flow, potential_et=0))
    fit = rm.calibrate(
        model, events, parameters={"subbasins.a.loss.max_deficit": (0.2, 1.0)},
        per_event={"subbasins.a.loss.initial_deficit": (0.0, 2.0)}, objective="nse", seed=1, progress=False,
        options={"maxiter": 3, "popsize": 5},
    )  # fmt: skip
    capacity = fit.parameters["subbasins.a.loss.max_deficit"]
    assert capacity == fit.model.get("subbasins.a.loss.max_deficit")
    assert (fit.per_event["subbasins.a.loss.initial_deficit"] <= capacity).all()
