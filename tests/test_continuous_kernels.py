"""Continuous kernels and methods: soil-moisture accounting, deficit and constant with ET, snow.

Each kernel is compared bit for bit with a straightforward loop written here from the order of
operations its source documents; the physics is checked by the water balance and by limits.
"""

import math
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from rainmill_models import _kernels
from rainmill_models.errors import ModelError
from rainmill_models.io.states import load_states, save_states
from rainmill_models.methods import Forcing, losses, snow
from rainmill_models.methods.et import potential_et, spread_over_steps
from rainmill_models.methods.losses import DeficitConstantEt, SoilMoisture
from rainmill_models.methods.snow import TemperatureIndexSnow
from rainmill_models.periods import period_means

SOIL = dict(
    canopy_max=0.1,
    surface_max=0.3,
    soil_max=5.0,
    tension_max=2.0,
    max_infiltration=0.08,
    soil_percolation=0.03,
    gw1_max=3.0,
    gw1_percolation=0.01,
    gw1_coefficient=120.0,
    gw2_max=6.0,
    gw2_percolation=0.002,
    gw2_coefficient=2000.0,
)
SOIL_START = dict(canopy=0.05, surface=0.0, soil=2.5, gw1=1.0, gw2=3.0)
DEFICIT = dict(max_deficit=1.0, constant_rate=0.1, et_coefficient=0.9)
SNOW = dict(
    threshold=0.5,
    transition=2.0,
    base=0.0,
    melt_rate_min=0.03,
    melt_rate_max=0.2,
    refreeze_fraction=0.05,
    liquid_fraction=0.1,
    lapse_rate=6.5,
    reference_elevation=400.0,
)
STORAGES = ("canopy", "surface", "soil", "gw1", "gw2")


def loop_soil_moisture(water, pet, dt, p, start):
    c, f, s, g1, g2 = (start[k] for k in STORAGES)
    out = {k: [] for k in ("excess", "gw1_outflow", "gw2_outflow", "soil_et", "percolation", "deep_percolation")}
    states = {k: [start[k]] for k in STORAGES}
    r1 = 1.0 - math.exp(-(dt / p["gw1_coefficient"]))
    r2 = 1.0 - math.exp(-(dt / p["gw2_coefficient"]))
    lower = p["soil_max"] - p["tension_max"]
    for w, e in zip(water, pet):
        caught = min(w, p["canopy_max"] - c)
        c += caught
        canopy_et = min(e, c)
        c -= canopy_et
        demand = e - canopy_et
        f += w - caught
        free = p["soil_max"] - s
        inf = min(min(f, p["max_infiltration"] * dt * (free / p["soil_max"])), free)
        f -= inf
        s += inf
        excess = max(f - p["surface_max"], 0.0)
        f -= excess
        surface_et = min(demand, f)
        f -= surface_et
        demand -= surface_et
        tension_et = min(demand, max(s - lower, 0.0))
        s -= tension_et
        demand -= tension_et
        reduced = min(demand * (s / lower), s) if lower > 0 else 0.0
        s -= reduced
        perc = 0.0
        if p["gw1_max"] > 0 and s > lower:
            upper = s - lower
            gw1_free = (p["gw1_max"] - g1) / p["gw1_max"]
            perc = min(
                min(p["soil_percolation"] * dt * (upper / p["tension_max"]) * gw1_free, upper), p["gw1_max"] - g1
            )
            s -= perc
            g1 += perc
        q1 = g1 * r1
        g1 -= q1
        if p["gw1_max"] > 0 and p["gw2_max"] > 0:
            gw2_free = (p["gw2_max"] - g2) / p["gw2_max"]
            perc2 = min(min(p["gw1_percolation"] * dt * (g1 / p["gw1_max"]) * gw2_free, g1), p["gw2_max"] - g2)
            g1 -= perc2
            g2 += perc2
        q2 = g2 * r2
        g2 -= q2
        deep = min(p["gw2_percolation"] * dt * (g2 / p["gw2_max"]), g2) if p["gw2_max"] > 0 else 0.0
        g2 -= deep
        for name, value in zip(out, (excess, q1, q2, tension_et + reduced, perc, deep)):
            out[name].append(value)
        for name, value in zip(STORAGES, (c, f, s, g1, g2)):
            states[name].append(value)
    return out | states


def loop_snow(precipitation, temperature, dt, start_day, p, elevations, fractions, ice0, liquid0):
    n = len(precipitation)
    factor = []
    for i in range(n):
        day = start_day + ((i + 0.5) * dt) / 24.0
        mean = (p["melt_rate_max"] + p["melt_rate_min"]) * 0.5
        half = (p["melt_rate_max"] - p["melt_rate_min"]) * 0.5
        factor.append((mean + half * math.sin(2.0 * math.pi * ((day - 80.0) / 365.25))) * (dt / 24.0))
    out = {k: [0.0] * n for k in ("liquid", "snowfall", "melt", "refreeze")}
    out |= {k: [0.0] * (n + 1) for k in ("ice", "liquid_water")}
    for z, fraction in enumerate(fractions):
        offset = p["lapse_rate"] * ((elevations[z] - p["reference_elevation"]) / 1000.0)
        ice, water = ice0[z], liquid0[z]
        out["ice"][0] += fraction * ice
        out["liquid_water"][0] += fraction * water
        for i in range(n):
            t = temperature[i] - offset
            if p["transition"] > 0:
                share = min(max((p["threshold"] + p["transition"] * 0.5 - t) / p["transition"], 0.0), 1.0)
            else:
                share = 1.0 if t <= p["threshold"] else 0.0
            snowfall = precipitation[i] * share
            ice += snowfall
            melt = refreeze = 0.0
            if t > p["base"]:
                melt = min(factor[i] * (t - p["base"]), ice)
                ice -= melt
                water += melt
            else:
                refreeze = min(p["refreeze_fraction"] * factor[i] * (p["base"] - t), water)
                water -= refreeze
                ice += refreeze
            water += precipitation[i] - snowfall
            outflow = max(water - p["liquid_fraction"] * ice, 0.0)
            water -= outflow
            for name, value in (("liquid", outflow), ("snowfall", snowfall), ("melt", melt), ("refreeze", refreeze)):
                out[name][i] += fraction * value
            out["ice"][i + 1] += fraction * ice
            out["liquid_water"][i + 1] += fraction * water
    return out


def loop_deficit(water, pet, dt, p, deficit):
    out = {"excess": [], "percolation": [], "et": [], "deficit": [deficit]}
    for w, e in zip(water, pet):
        excess = perc = et = 0.0
        if w > 0:
            perc = min(w, p["constant_rate"] * dt)
            fill = min(w - perc, deficit)
            deficit -= fill
            excess = w - perc - fill
        else:
            et = min(e * p["et_coefficient"], p["max_deficit"] - deficit)
            deficit += et
        for name, value in zip(out, (excess, perc, et, deficit)):
            out[name].append(value)
    return out


def forcing(n, seed, wet=0.35):
    rng = np.random.default_rng(seed)
    water = np.where(rng.random(n) < wet, rng.gamma(0.7, 0.6, n), 0.0)
    pet = rng.uniform(0.0, 0.25, n)
    temperature = rng.normal(1.0, 6.0, n)
    return water, pet, temperature


@pytest.mark.parametrize(
    "changes",
    [{}, {"tension_max": 5.0}, {"gw2_max": 0.0}, {"gw1_max": 0.0, "gw2_max": 0.0}, {"max_infiltration": 50.0}],
    ids=["full", "all-tension", "one-layer", "no-groundwater", "fast-infiltration"],
)
def test_soil_moisture_matches_the_loop_bit_for_bit(changes):
    p = SOIL | changes
    start = SOIL_START | {k: min(v, p[k + "_max"]) for k, v in SOIL_START.items()}
    water, pet, _ = forcing(3000, 1)
    got = losses.soil_moisture(water, pet, 6.0, p, start)
    for name, values in loop_soil_moisture(water, pet, 6.0, p, start).items():
        assert np.array_equal(got[name], values), name


@pytest.mark.parametrize(
    ("changes", "zones"),
    [({}, ([400.0], [1.0])), ({"transition": 0.0}, ([200.0, 900.0, 1600.0], [0.5, 0.3, 0.2]))],
    ids=["one-zone-mixed", "zones-sharp"],
)
def test_snow_matches_the_loop_bit_for_bit(changes, zones):
    p = SNOW | changes
    elevations, fractions = zones
    water, _, temperature = forcing(3000, 2)
    start = [0.4] * len(fractions), [0.01] * len(fractions)
    got = snow.temperature_index_snow(water, temperature, 24.0, 300.5, p, zones, start)
    for name, values in loop_snow(water, temperature, 24.0, 300.5, p, elevations, fractions, *start).items():
        assert np.array_equal(got[name], values), name


@pytest.mark.parametrize("initial", [0.5, -0.0], ids=["masked-loop", "plain-loop"])
def test_deficit_constant_et_matches_the_loop_bit_for_bit(initial):
    p = dict(max_deficit=2.0, constant_rate=0.01, et_coefficient=0.8)
    water, pet, _ = forcing(3000, 3)
    got = losses.deficit_constant_et(water, pet, 24.0, p, initial)
    for name, values in loop_deficit(water, pet, 24.0, p, initial).items():
        assert np.array_equal(got[name], values), name


def balance_residual(water, output):
    """What the LossOutput contract leaves unexplained, relative to the water moved."""
    out = output.excess.sum() + output.recharge.sum() + sum(v.sum() for v in output.losses.values())
    stored = sum(v[-1] - v[0] for v in output.storage.values())
    return abs(water.sum() - out - stored) / max(water.sum(), out, 1e-300)


@pytest.mark.parametrize(
    "method",
    [SoilMoisture(**SOIL), DeficitConstantEt(max_deficit=2.0, constant_rate=0.01, et_coefficient=0.8)],
    ids=["soil-moisture", "deficit-constant-et"],
)
def test_loss_balances_close_to_rounding(method):
    water, pet, _ = forcing(20_000, 4)
    output = method.run(water, 3600, Forcing(potential_et=pet))
    assert balance_residual(water, output) < 1e-12


def test_snow_balance_closes_over_zones():
    water, _, temperature = forcing(20_000, 5)
    snow = TemperatureIndexSnow(**SNOW, zone_elevations=(100.0, 900.0), zone_fractions=(0.25, 0.75))
    snow = snow.hot_start({"initial_ice": (1.0, 2.0), "initial_liquid": (0.0, 0.1)})
    output = snow.run(water, temperature, 86400)
    stored = sum(v[-1] - v[0] for v in output.storage.values())
    assert abs(water.sum() - output.liquid.sum() - stored) / water.sum() < 1e-12
    assert output.states["melt"].sum() > 0 and output.states["refreeze"].sum() > 0
    # Started from the zones' states at a point, the rest of the run is the same, bit for bit.
    start = pd.Timestamp("2001-10-01")
    whole = snow.run(water, temperature, 86400, start=start)
    first = snow.run(water[:7000], temperature[:7000], 86400, start=start)
    rest = snow.hot_start(snow.final_states(first)).run(
        water[7000:], temperature[7000:], 86400, start=start + pd.Timedelta(days=7000)
    )
    assert np.array_equal(rest.states["ice.zone2"], whole.states["ice.zone2"][7000:])
    assert np.array_equal(rest.liquid, whole.liquid[7000:])


def test_without_water_storages_only_drain():
    _, pet, _ = forcing(2000, 6)
    states = losses.soil_moisture(np.zeros(2000), pet, 24.0, SOIL, SOIL_START)
    assert not states["excess"].any()
    for name in ("canopy", "surface", "soil", "gw1"):
        assert (np.diff(states[name]) <= 0).all(), name
    # Groundwater 2 only gains what groundwater 1 percolates into it.
    gain = np.diff(states["gw2"]) + states["gw2_outflow"] + states["deep_percolation"]
    np.testing.assert_allclose(gain, states["gw_percolation"], rtol=0, atol=1e-15)
    assert states["soil"][-1] < SOIL_START["soil"]


def test_full_soil_turns_all_water_into_excess():
    p = SOIL | {"soil_percolation": 0.0}
    full = {"canopy": p["canopy_max"], "surface": p["surface_max"], "soil": p["soil_max"], "gw1": 0.0, "gw2": 0.0}
    water, _, _ = forcing(500, 7)
    states = losses.soil_moisture(water, np.zeros(500), 24.0, p, full)
    assert not states["infiltration"].any()
    np.testing.assert_allclose(states["excess"], water, rtol=0, atol=1e-15)


def test_frozen_pack_never_melts():
    water, _, temperature = forcing(1000, 8)
    cold = -np.abs(temperature) - 0.1
    states = snow.temperature_index_snow(water, cold, 24.0, 0.0, SNOW, ([400.0], [1.0]), ([2.0], [0.0]))
    assert not states["melt"].any() and not states["liquid"].any()
    np.testing.assert_allclose(states["ice"][-1], 2.0 + water.sum(), rtol=1e-13)


def test_deficit_recovers_only_without_water():
    water, pet, _ = forcing(1000, 9)
    p = dict(max_deficit=1.5, constant_rate=0.0, et_coefficient=1.0)
    states = losses.deficit_constant_et(water, pet, 24.0, p, 0.0)
    assert not states["et"][water > 0].any() and states["et"][water == 0].any()
    assert states["deficit"].max() <= 1.5


def test_hot_start_continues_a_run_exactly():
    water, pet, _ = forcing(1000, 10)
    whole = SoilMoisture(**SOIL)
    full = whole.run(water, 3600, Forcing(potential_et=pet))
    first = whole.run(water[:400], 3600, Forcing(potential_et=pet[:400]))
    second = whole.hot_start(whole.final_states(first.states)).run(water[400:], 3600, Forcing(potential_et=pet[400:]))
    assert np.array_equal(np.concatenate([first.excess, second.excess]), full.excess)
    assert np.array_equal(second.storage["gw2"], full.storage["gw2"][400:])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _kernels.soil_moisture([1.0], [0.0, 0.0], 1.0, SOIL, SOIL_START), "pet has 2 values, water has 1"),
        (
            lambda: _kernels.soil_moisture([1.0, math.nan], [0.0, 0.0], 1.0, SOIL, SOIL_START),
            "water[1] must be finite and >= 0, got NaN",
        ),
        (
            lambda: _kernels.soil_moisture([], [], 1.0, SOIL | {"gw1_coefficient": 0.0}, SOIL_START),
            "gw1_coefficient must be finite and > 0, got 0",
        ),
        (
            lambda: _kernels.soil_moisture([], [], 1.0, SOIL, SOIL_START | {"soil": 6.0}),
            "initial_soil must be between 0 and 5, got 6",
        ),
        (
            lambda: _kernels.soil_moisture([], [], 1.0, SOIL | {"extra": 1.0}, SOIL_START),
            "parameters has no entry 'extra'.",
        ),
        (
            lambda: _kernels.deficit_constant_et([], [], 1.0, {"max_deficit": 1.0, "constant_rate": 0.1}, 0.0),
            "parameters lacks 'et_coefficient'.",
        ),
        # Checked inside the run's loop: the first value that is not a depth, water before pet.
        (
            lambda: _kernels.deficit_constant_et([1.0, 2.0], [0.0, -1.0], 1.0, DEFICIT, 0.0),
            "pet[1] must be finite and >= 0, got -1",
        ),
        (
            lambda: _kernels.deficit_constant_et([0.0, 1.0, math.inf], [math.nan, 0.0, 0.0], 1.0, DEFICIT, 0.0),
            "water[2] must be finite and >= 0, got inf",
        ),
        (
            lambda: _kernels.temperature_index_snow([1.0], [math.inf], 1.0, 0.0, SNOW, [0.0], [1.0], [0.0], [0.0]),
            "temperature[0] must be finite, got inf",
        ),
        (
            lambda: _kernels.temperature_index_snow(
                [], [], 1.0, 0.0, SNOW | {"melt_rate_max": 0.01}, [0.0], [1.0], [0.0], [0.0]
            ),
            "melt_rate_max must be >= melt_rate_min.",
        ),
    ],
)
def test_kernel_messages(call, message):
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("build", "message"),
    [
        (
            lambda: SoilMoisture(soil_max=4.0, tension_max=5.0, max_infiltration=0.1),
            "tension_max: must be between 0 and 4, got 5",
        ),
        (
            lambda: DeficitConstantEt(max_deficit=1.0, constant_rate=-0.1),
            "constant_rate: must be finite and >= 0, got -0.1",
        ),
        (
            lambda: TemperatureIndexSnow(
                zone_elevations=(0.0, 10.0), zone_fractions=(0.5, 0.6), initial_ice=(0, 0), initial_liquid=(0, 0)
            ),
            "zone_fractions: must sum to 1.",
        ),
    ],
)
def test_method_messages_name_the_field(build, message):
    with pytest.raises(ModelError) as caught:
        build()
    assert str(caught.value) == message


@pytest.mark.parametrize("kernel", sorted(_kernels.LAYOUTS))
def test_docstring_lists_the_names_the_kernel_reads_and_returns(kernel):
    doc = " ".join(getattr(_kernels, kernel).__doc__.split())
    names = [name for group in _kernels.LAYOUTS[kernel].values() for name in group]
    assert "{" not in doc and [name for name in names if name not in doc] == []


def test_oudin_pet_follows_the_seasons_and_spreads_over_hours():
    days = pd.date_range("2001-01-01", "2001-12-31", freq="D")
    temperature = pd.Series(10.0 - 10.0 * np.cos(2 * np.pi * (days.day_of_year - 15) / 365), index=days)
    pet = potential_et(temperature, latitude=50.8)
    assert pet["2001-07"].mean() > 5 * pet["2001-01"].mean() > 0
    hours = pd.date_range("2001-01-01", periods=24 * 365, freq="h")
    hourly = spread_over_steps(pet, hours)
    np.testing.assert_allclose(hourly.resample("D").sum().to_numpy(), pet.to_numpy(), rtol=1e-14)
    with pytest.raises(ModelError, match="latitude: must be between -90 and 90"):
        potential_et(temperature, latitude=91.0)


@pytest.mark.slow
def test_example_calibrates_validates_and_hot_starts(tmp_path, capsys):
    pytest.importorskip("spotpy")
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    try:
        import continuous as example
    finally:
        sys.path.pop(0)
    assert example.main(["--evaluations", "150", "--no-plot", "--output", str(tmp_path)]) == 0
    printed = capsys.readouterr().out
    validation = float(printed.split("validation  1985-1988: KGE ")[1].split(",")[0])
    assert validation > 0.6, printed
    assert (tmp_path / "continuous_states.json").exists()


def test_period_means_integrate_the_hydrograph():
    hours = pd.date_range("2001-01-01", periods=24 * 5 + 1, freq="h")
    flow = pd.Series(np.random.default_rng(11).gamma(2.0, 3.0, len(hours)), index=hours)
    days = pd.date_range("2001-01-01", periods=6, freq="D")
    means = period_means(flow, pd.Series(1.0, index=days))
    for k, day in enumerate(days[:5]):  # the trapezoidal mean of the day's 25 points
        chunk = flow[day : day + pd.Timedelta(hours=24)].to_numpy()
        assert means.iloc[k] == pytest.approx((chunk[1:] + chunk[:-1]).sum() / 48.0, rel=1e-12)
    assert np.isnan(means.iloc[5])  # not wholly simulated
    # Period bounds between the points: a ramp's mean over [1.5 h, 3.5 h) is its value at 2.5 h.
    ramp = pd.Series(np.arange(6.0), index=pd.date_range("2001-01-01", periods=6, freq="h"))
    inner = period_means(ramp, pd.DatetimeIndex(["2001-01-01 01:30"]), period="2h")
    assert inner.iloc[0] == pytest.approx(2.5, rel=1e-14)


def test_states_file_round_trip_and_refusals(tmp_path):
    states = {"subbasins.a.loss.initial_soil": 1.25, "subbasins.a.snow.initial_ice": (0.5, 0.0, 2.0)}
    path = tmp_path / "states.json"
    save_states(path, states, time="1985-01-01T00:00")
    assert load_states(path) == states
    path.write_text('{"format": "rainmill-states", "version": 1, "states": {"a.loss.initial_soil": "wet"}}')
    with pytest.raises(ModelError, match="a.loss.initial_soil: must be a finite number or a list of them, got 'wet'"):
        load_states(path)
    with pytest.raises(ModelError, match="is not a states file"):
        path.write_text("[]")
        load_states(path)


NETWORK = """
[options]
units = "SI"
step = 24.0

[subbasins.hill]
area = 50.0
downstream = "outlet"
snow = { method = "temperature-index", melt_rate_min = 1.0, melt_rate_max = 4.0, zone_elevations = [0.0, 600.0], zone_fractions = [0.5, 0.5] }
loss = { method = "soil-moisture", soil_max = 120.0, tension_max = 30.0, max_infiltration = 2.0, soil_percolation = 1.0, gw1_max = 80.0, gw1_percolation = 0.1, gw1_coefficient = 240.0, gw2_max = 400.0, gw2_percolation = 0.01, gw2_coefficient = 4800.0, initial_soil = 60.0 }
transform = { method = "clark", tc = 24.0, r = 48.0 }

[sinks.outlet]
"""


def test_network_runs_continuous_methods_and_hot_starts_from_a_file(tmp_path):
    import rainmill_models as rm
    from rainmill_models.io.states import final_states, start_from

    network = rm.Network.from_toml(NETWORK)
    days = pd.date_range("2001-10-01", periods=730, freq="D")
    water, pet, temperature = forcing(730, 12)
    rain, pet, temperature = (pd.Series(v * 25.4, index=days) for v in (water, pet, temperature))
    temperature = temperature / 25.4 - 2.0

    def run(net, first, last):
        window = slice(days[first], days[last])
        return net.run(rain[window], potential_et=pet[window], temperature=temperature[window], end=days[last])

    whole = run(network, 0, 729)
    assert whole.states.shape == (731, 7) and whole.states[("hill", "snow.ice")].max() > 0
    # The water still in transit is computed, not derived, so the residual holds to the accuracy of
    # the outflow's trapezoidal volume against the held water, far inside the balance's tolerance.
    assert abs(whole.balances.loc["hill", "residual"]) <= 1e-6 * whole.balances.loc["hill", "inflow"]
    first = run(network, 0, 399)
    save_states(tmp_path / "states.json", final_states(first))
    second = run(start_from(network, load_states(tmp_path / "states.json")), 400, 729)
    np.testing.assert_allclose(second.states.to_numpy(), whole.states.iloc[400:].to_numpy(), rtol=1e-12, atol=1e-9)


def test_zone_storages_beyond_memory_are_refused_up_front():
    zones = 200_000
    elevations, fractions, start = np.zeros(zones), np.full(zones, 1.0 / zones), np.zeros(zones)
    water = np.zeros(2_000_000)
    with pytest.raises(MemoryError):  # 6.4 TB of zone storages, before anything is computed
        _kernels.temperature_index_snow(water, water, 24.0, 0.0, SNOW, elevations, fractions, start, start, True)
