"""Running models: one time index, the extended horizon, mass balances, units, steps, missing rain."""

import random
from datetime import timedelta
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
rm = pytest.importorskip("rainmill_models")

import rainmill

from rainmill_models import ModelError, Network
from rainmill_models.simulation import receded_at
from test_models_description import EXAMPLE, random_model

STORM = Path(__file__).resolve().parent.parent / "examples" / "design_storm.csv"


def storm(values=(0.15, 0.35, 1.10, 0.60, 0.25, 0.15), freq="1h", tz="UTC"):
    index = pd.date_range("2024-06-11", periods=len(values), freq=freq, tz=tz, name="time")
    return pd.Series(values, index=index, dtype="float64")


@pytest.fixture(scope="module")
def example():
    model = Network.load(EXAMPLE)
    return model, model.run(rm.read_rain_csv(STORM))


def test_every_hydrograph_on_one_index(example):
    model, result = example  # noqa: RUF059
    flows = result.flows
    assert [f"{e}.{v}" for e, v in flows.columns] == [
        "basin.direct", "basin.baseflow", "basin.baseflow.shallow", "basin.baseflow.deep", "basin.outflow",
        "reach.inflow", "reach.outflow", "reservoir.inflow", "reservoir.release", "reservoir.outlet.gate",
        "reservoir.outlet.spillway", "reservoir.outlet.minimum release", "reservoir.outflow",
    ]  # fmt: skip
    assert isinstance(flows.index, pd.DatetimeIndex) and str(flows.index.tz) == "UTC"
    assert flows.index[0] == pd.Timestamp("2024-06-11", tz="UTC")
    assert (flows.index.to_series().diff().dropna() == pd.Timedelta(minutes=15)).all()
    assert result.outflow.to_numpy().tobytes() == flows["reservoir", "outflow"].to_numpy().tobytes()
    basin = result["basin"]
    assert (basin["outflow"] == basin["direct"] + basin["baseflow"]).all()
    pool = result["reservoir"]
    outlets = pool[[c for c in pool if c.startswith("outlet.")]].sum(axis=1)
    assert np.allclose(outlets, pool["outflow"], rtol=1e-12, atol=0)
    assert basin.index.equals(flows.index) and basin["rain"].sum() == pytest.approx(2.6)


def test_the_horizon_extends_until_the_pool_recedes(example):
    model, result = example
    out = result.outflow.to_numpy()
    rise = out.max() - out[0]
    assert out[-1] <= out[0] + model.options.recession * rise
    earlier = model.run(rm.read_rain_csv(STORM), end=result.index[-2]).balances.astype({"inflow": float})
    held = (earlier["in_transit"] + earlier["storage_change"]) / earlier["inflow"]
    receded = out[-2] <= out[0] + model.options.recession * rise
    assert not receded or (held.drop("network") > model.options.recession).any(), "it ends once drained"
    base = result["basin"]["baseflow"].to_numpy()
    assert base[-1] <= base[0] + model.options.recession * (base.max() - base[0]), "the baseflow has receded too"
    assert len(out) > 6 * 4 + 16, "well beyond the storm and the unit hydrograph"
    assert result.balances["closes"].all()
    peaks = [result.at(name) for name in ("basin", "reach", "reservoir")]
    assert peaks[0].max() > peaks[1].max() > peaks[2].max()
    assert peaks[0].idxmax() < peaks[1].idxmax() < peaks[2].idxmax()


def test_an_explicit_end(example):
    model, full = example
    end = pd.Timestamp("2024-06-12 12:00", tz="UTC")
    result = model.run(rm.read_rain_csv(STORM), end=end)
    assert result.flows.index[-1] == end and len(result.flows) == 36 * 4 + 1
    shared = full.flows.index.intersection(result.flows.index)[:-1]  # a release needs the interval's end
    pd.testing.assert_frame_equal(result.flows.loc[shared], full.flows.loc[shared])
    with pytest.raises(rm.TimeSeriesError, match="both have a time zone, or neither"):
        model.run(rm.read_rain_csv(STORM), end="2024-06-12 12:00")


def test_the_truncated_transform_is_the_extension(example):
    model, _ = example
    data = model.to_dict()
    data["subbasins"]["basin"]["transform"] = {"method": "clark-truncated", "tc": 4.0, "r": 0.5}
    result = Network.from_dict(data).run(storm(), end="2024-06-12 00:00+00:00")
    basin = result["basin"]
    rain = rainmill.utils.IncrementalTimeSeries(basin["rain"].tolist(), timedelta(minutes=15), "rainfall")
    loss = model.elements["basin"].loss
    split = rainmill.rainfall_loss.run_deficit_and_constant(
        rain, loss.initial_deficit, loss.max_deficit, loss.constant_rate, timedelta(hours=loss.time_to_dry)
    )
    direct = rainmill.rainfall_transform.run_clark_uh(split.excess, 1600.0, timedelta(hours=4), timedelta(hours=0.5))
    assert basin["direct"].tolist() == direct.data[: len(basin)]
    assert basin["direct"].sum() * 900.0 < 0.95 * basin["excess"].sum() * 1600.0 * 43560.0 / 12.0


@pytest.mark.parametrize("seed", range(12))
def test_mass_balance_closes_on_random_models(seed):
    rng = random.Random(seed)
    data = random_model(rng)
    step = rng.choice([300, 900, 1800])
    r_min = step / 3600.0 / 2.0
    for layer in data["basin"]["baseflow"].values():
        layer["k"] = max(layer["k"], layer["reservoirs"] * r_min)
    data["basin"]["transform"]["r"] = max(data["basin"]["transform"]["r"], r_min)
    if "reach" in data:
        data["reach"] = {"k": step / 3600.0, "x": 0.2, "sub_reaches": 1}
    values = [rng.choice([0.0, rng.uniform(0, 0.8)]) for _ in range(rng.randint(2, 40))]
    result = Network.from_dict(data).run(storm(values, freq=f"{step}s"))
    table = result.balances
    assert table["closes"].all(), result.summary()
    assert table.loc["basin", "inflow"] == pytest.approx(sum(values) * data["basin"]["area"] * 3630.0, rel=1e-12)
    assert (np.nan_to_num(result.flows.to_numpy()) >= -1e-9).all(), "no negative flows"


def test_si_units_give_the_same_water():
    us = Network.load(EXAMPLE)
    data = {"options": {"units": "SI"}, **random_model(random.Random(0))}
    data = Network.load(EXAMPLE).to_dict()
    data = {"options": data["options"], "basin": data["subbasins"]["basin"], "reach": data["reaches"]["reach"]["routing"],
            "reservoir": data["reservoirs"]["reservoir"]}  # fmt: skip
    for table in ("basin", "reach", "reservoir"):
        data[table].pop("downstream", None)
    data["reach"].pop("method")
    data["basin"]["baseflow"] = data["basin"]["baseflow"]["layers"]
    data["options"]["units"] = "SI"
    data["basin"]["area"] = 1600.0 * 4046.8564224 / 1e6
    for key in ("initial_deficit", "max_deficit", "constant_rate"):
        data["basin"]["loss"][key] *= 25.4
    for layer in data["basin"]["baseflow"].values():
        layer["initial_q"] *= 0.028316846592
    data["reservoir"]["storage"] = [s * 0.028316846592 for s in data["reservoir"]["storage"]]
    for outlet in data["reservoir"]["outlets"].values():
        if outlet["kind"] == "constant":
            outlet["discharge"] *= 0.028316846592
        else:
            outlet["discharge"] = [q * 0.028316846592 for q in outlet["discharge"]]
        if "maximum_release" in outlet:
            outlet["maximum_release"] *= 0.028316846592
    si = Network.from_dict(data)
    end = "2024-06-12T12:00:00+00:00"
    a = us.run(storm(), end=end, units="SI")
    b = si.run(storm() * 25.4, end=end)
    assert np.allclose(a.flows.to_numpy(), b.flows.to_numpy(), rtol=1e-6, atol=1e-9, equal_nan=True)
    pool = ["storage", "elevation"]
    assert np.allclose(a["reservoir"][pool].to_numpy(), b["reservoir"][pool].to_numpy(), rtol=1e-6)
    assert a["basin"]["rain"].sum() == pytest.approx(2.6 * 25.4)
    assert np.allclose(a.balances["inflow"].astype(float), b.balances["inflow"].astype(float), rtol=1e-6)


def test_the_model_step_disaggregates_the_rain():
    model = Network.load(EXAMPLE)
    hourly = model.run(storm(), end="2024-06-12T00:00:00+00:00")
    quarter = storm([v / 4 for v in (0.15, 0.35, 1.10, 0.60, 0.25, 0.15) for _ in range(4)], freq="15min")
    same = model.run(quarter, end="2024-06-12T00:00:00+00:00")
    assert np.allclose(hourly.flows.to_numpy(), same.flows.to_numpy(), rtol=1e-12, equal_nan=True)
    with pytest.raises(
        ModelError, match=r"options.step: 0.25 h and the step of rain.basin \(0.1 h\) must divide one another"
    ):
        model.run(storm(freq="6min"))


def test_missing_rain():
    model = Network.load(EXAMPLE)
    rain = storm()
    rain.iloc[2] = np.nan
    with pytest.raises(rm.TimeSeriesError, match="rain.basin: missing value at 2024-06-11T02:00:00"):
        model.run(rain)
    dry = model.run(rain, missing="zero", end="2024-06-12T00:00:00+00:00")
    assert dry["basin"]["rain"].sum() == pytest.approx(2.6 - 1.1)


def basin(r=0.5, k=0.4):
    return Network.from_dict({"basin": {
        "area": 100.0, "loss": {"initial_deficit": 0, "max_deficit": 1, "constant_rate": 0.1, "time_to_dry": 24},
        "transform": {"tc": 1.0, "r": r}, "baseflow": {"a": {"fraction": 0.5, "k": k, "reservoirs": 2}},
    }})  # fmt: skip


def test_step_checks_at_run_time():
    message = r"subbasins.basin.transform.r: 0.2 h is shorter than half the time step \(0.5 h\)"
    with pytest.raises(ModelError, match=message):
        basin(r=0.2).run(storm())
    with pytest.raises(ModelError, match=r"subbasins.basin.baseflow.layers.a.k: 0.4 h over 2 reservoir\(s\)"):
        basin().run(storm())


def test_no_rain_no_event():
    result = basin(k=2.0).run(storm([0.0, 0.0, 0.0]))
    assert len(result.flows) == 4 and (result.flows.to_numpy() == 0).all()


def test_overtopping_is_a_model_error():
    model = Network.load(EXAMPLE)
    with pytest.raises(ModelError, match="reservoirs.reservoir: the level-pool routing failed: .*outside the range"):
        model.run(storm([3.0] * 12))


@pytest.mark.parametrize(
    ("flow", "start", "expected"),
    [
        ([0, 5, 10, 4, 0.2, 0.05], 0, 5),
        ([0, 5, 10, 4, 0.2, 0.05], 0, 5),
        ([1, 1, 1], 0, 0),
        ([0, 1, 2, 3], 0, None),
        ([2, 10, 2, 2, 2], 3, 3),
    ],
)
def test_receded_at(flow, start, expected):
    assert receded_at(np.array(flow, dtype=float), 0.01, start) == expected


def test_the_lean_path_gives_the_same_outflow(example):
    from rainmill_models.io.forcing import prepare_inputs
    from rainmill_models.simulation import simulate_network

    model, _ = example
    inputs, _, step = prepare_inputs(model, storm())
    assert step == 900 and inputs.length == 24
    result = model.run(storm(), end="2024-06-12T12:00:00+00:00")
    lean = simulate_network(model, inputs, step, len(result.flows))
    assert lean["reservoir"].outflow.tolist() == result.outflow.tolist()
    data = model.to_dict()
    del data["options"]["step"]  # no step of its own
    slow = Network.from_dict(data).with_parameters({"basin.transform.r": 0.1})  # valid until it meets the step
    with pytest.raises(ModelError, match="subbasins.basin.transform.r: 0.1 h is shorter than half the time step"):
        simulate_network(slow, inputs, step, 10)
