"""Running models: one time index, the extended horizon, mass balances, units, steps, missing rain."""

import random
from datetime import timedelta
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
rm = pytest.importorskip("rainmill_models")

import rainmill

from rainmill_models import BaseflowLayer, Basin, Loss, Model, ModelError, Options, Transform
from rainmill_models.run import RESERVOIR_BALANCE_TOLERANCE, receded_at
from test_models_description import EXAMPLE, random_model

STORM = Path(__file__).resolve().parent.parent / "examples" / "design_storm.csv"


def storm(values=(0.15, 0.35, 1.10, 0.60, 0.25, 0.15), freq="1h", tz="UTC"):
    index = pd.date_range("2024-06-11", periods=len(values), freq=freq, tz=tz, name="time")
    return pd.Series(values, index=index, dtype="float64")


@pytest.fixture(scope="module")
def example():
    model = Model.load(EXAMPLE)
    return model, model.run(rm.read_rain_csv(STORM))


def test_every_hydrograph_on_one_index(example):
    model, result = example  # noqa: RUF059
    flows = result.flows
    assert list(flows.columns) == [
        "direct_runoff", "baseflow", "baseflow.shallow", "baseflow.deep", "basin_outflow", "reach_outflow",
        "reservoir_outflow", "outlet.gate", "outlet.spillway", "outlet.minimum release",
    ]  # fmt: skip
    assert isinstance(flows.index, pd.DatetimeIndex) and str(flows.index.tz) == "UTC"
    assert flows.index[0] == pd.Timestamp("2024-06-11", tz="UTC")
    assert (flows.index.to_series().diff().dropna() == pd.Timedelta(minutes=15)).all()
    assert result.outflow.equals(flows["reservoir_outflow"])
    assert (flows["basin_outflow"] == flows["direct_runoff"] + flows["baseflow"]).all()
    outlets = flows[[c for c in flows if c.startswith("outlet.")]].sum(axis=1)
    assert np.allclose(outlets, flows["reservoir_outflow"], rtol=1e-12, atol=0)
    assert result.pool is not None and result.pool.index.equals(flows.index)
    assert result.rain.index.equals(flows.index) and result.rain["gross"].sum() == pytest.approx(2.6)


def test_the_horizon_extends_until_the_pool_recedes(example):
    model, result = example
    out = result.outflow.to_numpy()
    rise = out.max() - out[0]
    assert out[-1] <= out[0] + model.options.recession * rise
    assert out[-2] > out[0] + model.options.recession * rise, "it ends at the first receded point"
    base = result.flows["baseflow"].to_numpy()
    assert base[-1] <= base[0] + model.options.recession * (base.max() - base[0]), "the baseflow has receded too"
    assert len(out) > 6 * 4 + 16, "well beyond the storm and the unit hydrograph"
    assert result.mass_balance.runoff_fraction == pytest.approx(1.0, abs=1e-4)
    peaks = result.peaks
    assert (
        peaks.loc["reservoir_outflow", "peak"] < peaks.loc["reach_outflow", "peak"] < peaks.loc["basin_outflow", "peak"]
    )
    assert (
        peaks.loc["reservoir_outflow", "time"] > peaks.loc["reach_outflow", "time"] > peaks.loc["basin_outflow", "time"]
    )


def test_an_explicit_end(example):
    model, full = example
    end = pd.Timestamp("2024-06-12 12:00", tz="UTC")
    result = model.run(rm.read_rain_csv(STORM), end=end)
    assert result.flows.index[-1] == end and len(result.flows) == 36 * 4 + 1
    shared = full.flows.index.intersection(result.flows.index)
    pd.testing.assert_frame_equal(result.flows.loc[shared], full.flows.loc[shared])
    with pytest.raises(rm.TimeSeriesError, match="both have a time zone, or neither"):
        model.run(rm.read_rain_csv(STORM), end="2024-06-12 12:00")


def test_the_truncated_transform_is_the_extension(example):
    model, _ = example
    truncated = Model.from_dict(
        {
            **model.to_dict(),
            "basin": {**model.to_dict()["basin"], "transform": {"method": "clark-truncated", "tc": 4.0, "r": 0.5}},
        }
    )
    result = truncated.run(storm(), end="2024-06-12 00:00+00:00")
    rain = rainmill.utils.IncrementalTimeSeries(result.rain["gross"].tolist(), timedelta(minutes=15), "rainfall")
    loss = model.basin.loss
    split = rainmill.rainfall_loss.run_deficit_and_constant(
        rain, loss.initial_deficit, loss.max_deficit, loss.constant_rate, timedelta(hours=loss.time_to_dry)
    )
    direct = rainmill.rainfall_transform.run_clark_uh(split.excess, 1600.0, timedelta(hours=4), timedelta(hours=0.5))
    assert result.flows["direct_runoff"].tolist() == direct.data[: len(result.flows)]
    assert result.mass_balance.runoff_fraction < 0.95


@pytest.mark.parametrize("seed", range(12))
def test_mass_balance_closes_on_random_models(seed):
    rng = random.Random(seed)
    model = random_model(rng)
    step = rng.choice([300, 900, 1800])
    r_min = step / 3600.0 / 2.0
    layers = {
        n: BaseflowLayer(l.fraction, max(l.k, l.reservoirs * r_min), l.initial_q, l.reservoirs)
        for n, l in model.basin.baseflow.items()
    }
    basin = Basin(
        model.basin.area,
        model.basin.loss,
        Transform(model.basin.transform.tc, max(model.basin.transform.r, r_min), model.basin.transform.method),
        layers,
    )
    reach = None
    if model.reach is not None:
        reach = rm.Reach(k=step / 3600.0, x=0.2, sub_reaches=1)
    model = Model(basin, reach, model.reservoir, model.options)
    values = [rng.choice([0.0, rng.uniform(0, 0.8)]) for _ in range(rng.randint(2, 40))]
    rain = storm(values, freq=f"{step}s")
    result = model.run(rain)
    balance = result.mass_balance
    assert balance.closes, str(balance)
    assert balance.rain == pytest.approx(sum(values), rel=1e-12)
    assert abs(balance.rain_residual) <= 1e-12 * max(1.0, balance.rain)
    if balance.excess > 0 and model.basin.transform.method == "clark":
        assert balance.runoff_fraction == pytest.approx(1.0, abs=1e-4)
    if model.reservoir is not None:
        assert balance.reservoir_relative_residual <= RESERVOIR_BALANCE_TOLERANCE
    assert (result.flows.to_numpy() >= -1e-9).all(), "no negative flows"


def test_si_units_give_the_same_water():
    us = Model.load(EXAMPLE)
    data = us.to_dict()
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
    si = Model.from_dict(data)
    end = "2024-06-12T12:00:00+00:00"
    a = us.run(storm(), end=end, units="SI")
    b = si.run(storm() * 25.4, end=end)
    assert np.allclose(a.flows.to_numpy(), b.flows.to_numpy(), rtol=1e-6, atol=1e-9)
    assert np.allclose(a.pool.to_numpy(), b.pool.to_numpy(), rtol=1e-6)
    assert a.rain["gross"].sum() == pytest.approx(2.6 * 25.4)
    assert b.mass_balance.volume_unit == "m³" and b.mass_balance.depth_unit == "mm"


def test_the_model_step_disaggregates_the_rain():
    model = Model.load(EXAMPLE)
    hourly = model.run(storm(), end="2024-06-12T00:00:00+00:00")
    quarter = storm([v / 4 for v in (0.15, 0.35, 1.10, 0.60, 0.25, 0.15) for _ in range(4)], freq="15min")
    same = model.run(quarter, end="2024-06-12T00:00:00+00:00")
    assert np.allclose(hourly.flows.to_numpy(), same.flows.to_numpy(), rtol=1e-12)
    with pytest.raises(ModelError, match=r"options.step: 0.25 h must divide the rainfall's step \(0.1 h\)"):
        model.run(storm(freq="6min"))


def test_missing_rain():
    model = Model.load(EXAMPLE)
    rain = storm()
    rain.iloc[2] = np.nan
    with pytest.raises(rm.TimeSeriesError, match="rain: missing value at 2024-06-11T02:00:00"):
        model.run(rain)
    dry = model.run(rain, missing="zero", end="2024-06-12T00:00:00+00:00")
    assert dry.rain["gross"].sum() == pytest.approx(2.6 - 1.1)


def test_step_checks_at_run_time():
    basin = Basin(100.0, Loss(0, 1, 0.1, 24), Transform(1.0, 0.2), {"a": BaseflowLayer(0.5, 0.4, 0.0, 2)})
    with pytest.raises(ModelError, match=r"basin.transform.r: 0.2 h is shorter than half the time step \(0.5 h\)"):
        Model(basin).run(storm())
    ok = Basin(100.0, Loss(0, 1, 0.1, 24), Transform(1.0, 0.5), {"a": BaseflowLayer(0.5, 0.4, 0.0, 2)})
    with pytest.raises(ModelError, match=r"basin.baseflow.a.k: 0.4 h over 2 reservoir\(s\)"):
        Model(ok).run(storm())


def test_no_rain_no_event():
    model = Model(Basin(100.0, Loss(0, 1, 0.1, 24), Transform(1.0, 0.5)), options=Options(name="dry"))
    result = model.run(storm([0.0, 0.0, 0.0]))
    assert len(result.flows) == 4 and (result.flows.to_numpy() == 0).all()


def test_overtopping_is_a_model_error():
    model = Model.load(EXAMPLE)
    with pytest.raises(ModelError, match="reservoir: the level-pool routing failed: .*outside the range"):
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
    from rainmill_models.run import prepare_rain, simulate

    model, _ = example
    rain, step = prepare_rain(model, storm())
    assert step == 900 and len(rain) == 24
    result = model.run(storm(), end="2024-06-12T12:00:00+00:00")
    lean = simulate(model, rain.to_numpy(), step, len(result.flows))
    assert lean.outflow.tolist() == result.outflow.tolist()
    free = Model(model.basin, model.reach, model.reservoir, Options())  # no step of its own
    slow = rm.with_parameters(free, {"basin.transform.r": 0.1})  # valid until it meets the 15-minute step
    with pytest.raises(ModelError, match="basin.transform.r: 0.1 h is shorter than half the time step"):
        simulate(slow, rain.to_numpy(), step, 10)
