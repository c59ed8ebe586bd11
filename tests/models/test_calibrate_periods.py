"""Calibrating, and scoring many runs, against observations of period means (daily mean flows)."""

import numpy as np
import pandas as pd
import pytest

import rainmill_models as rm
from rainmill_models.periods import period_means

NETWORK = """
[options]
units = "SI"
step = 1.0

[subbasins.hill]
area = 40.0
downstream = "outlet"
loss = { method = "deficit-constant-et", initial_deficit = 5.0, max_deficit = 30.0, constant_rate = 0.8 }
transform = { method = "clark", tc = 4.0, r = 6.0 }
baseflow = { method = "linear-reservoirs", layers = { fast = { fraction = 0.7, k = 30.0 } } }

[sinks.outlet]
"""
TRUE = {"subbasins.hill.loss.constant_rate": 0.8, "subbasins.hill.baseflow.layers.fast.k": 30.0}
BOUNDS = {"subbasins.hill.loss.constant_rate": (0.2, 2.0), "subbasins.hill.baseflow.layers.fast.k": (10.0, 60.0)}
HOURS = pd.date_range("2003-03-01", periods=40 * 24, freq="h")


def case() -> tuple[rm.Network, dict[str, pd.Series], pd.Series]:
    """The network, its hourly forcing, and the true run's daily mean flows (each day's mean, at its start)."""
    network = rm.Network.from_toml(NETWORK)
    rng = np.random.default_rng(3)
    wet = rng.random(len(HOURS)) < 0.06
    forcing = {
        "rain": pd.Series(np.where(wet, rng.gamma(2.0, 2.5, len(HOURS)), 0.0), index=HOURS),
        "potential_et": pd.Series(0.12, index=HOURS),
    }
    truth = network.run(forcing["rain"], potential_et=forcing["potential_et"], end=HOURS[-1]).outflow
    days = pd.date_range(HOURS[0], HOURS[-1], freq="D")[:-1]
    return network, forcing, period_means(truth, days, "D").rename("daily")


def test_calibration_recovers_the_parameters_from_daily_means_of_an_hourly_run():
    network, forcing, daily = case()
    start = network.with_parameters({k: v * 1.8 for k, v in TRUE.items()})
    settings = {"potential_et": forcing["potential_et"], "seed": 4, "progress": False, "options": {"popsize": 8}}
    fit = rm.calibrate(start, forcing["rain"], daily, BOUNDS, observed_period="D", **settings)
    assert fit.score > 1.0 - 1e-6 and fit.scores["kge"] == pytest.approx(fit.score, abs=1e-12)
    for key, value in TRUE.items():
        assert fit.parameters[key] == pytest.approx(value, rel=1e-3)


def test_run_many_scores_period_means_and_auto_detects_the_daily_step():
    network, forcing, daily = case()
    wrong = network.with_parameters({"subbasins.hill.baseflow.layers.fast.k": 60.0})
    event = rm.Event("spring", forcing["rain"], daily, potential_et=forcing["potential_et"])
    table = {
        period: rm.run_many({"true": network, "wrong": wrong}, [event], observed_period=period, progress=False)
        for period in (None, "D", "auto")
    }
    kge = {period: dict(zip(t["model"], t["kge"], strict=True)) for period, t in table.items()}
    assert kge["D"] == kge["auto"]
    assert kge["D"]["true"] == pytest.approx(1.0, abs=1e-12)
    assert kge[None]["true"] < 0.999, "the flows at the days' starts are not the days' means"
    assert kge["D"]["wrong"] < 0.99
    assert table["D"]["end"].iloc[0] == daily.index[-1] + pd.Timedelta(days=1), "the run covers the last day"


@pytest.mark.parametrize(
    ("period", "message"), [("fortnightly", "observed_period: 'fortnightly' is not"), (3, "observed_period must be")]
)
def test_a_bad_observed_period_is_refused_before_the_search(period, message):
    network, forcing, daily = case()
    with pytest.raises((ValueError, rm.ModelError), match=message):
        rm.calibrate(network, forcing["rain"], daily, BOUNDS, observed_period=period, progress=False)


TWO_STEPS = """
[options]
units = "SI"

[subbasins.coarse]
area = 20.0
downstream = "outlet"
loss = { method = "initial-constant", initial_loss = 2.0, constant_rate = 1.0 }
transform = { method = "clark", tc = 2.0, r = 3.0 }

[subbasins.fine]
area = 30.0
downstream = "outlet"
loss = { method = "initial-constant", initial_loss = 2.0, constant_rate = 1.0 }
transform = { method = "clark", tc = 2.0, r = 3.0 }

[sinks.outlet]
"""


def test_run_many_auto_periods_compare_with_the_step_of_every_rain_series_not_the_first():
    # Hourly rain on one subbasin, 15-minute rain on the other: the run steps by 15 minutes, so hourly
    # observations are hourly means, though the first series given is hourly.
    network = rm.Network.from_toml(TWO_STEPS)
    hours = pd.date_range("2024-06-11", periods=6, freq="h")
    rain = {
        "coarse": pd.Series([4.0, 9.0, 20.0, 12.0, 5.0, 3.0], index=hours),
        "fine": pd.Series(np.tile([1.0, 6.0, 3.0, 0.5], 6), index=pd.date_range(hours[0], periods=24, freq="15min")),
    }
    outflow = network.run(rain, end=hours[0] + pd.Timedelta(hours=18)).outflow
    hourly = period_means(outflow, pd.date_range(hours[0], periods=18, freq="h"), "h").rename("hourly")
    event = rm.Event("storm", rain, hourly)
    kge = {p: rm.run_many({"m": network}, [event], observed_period=p, progress=False)["kge"][0] for p in ("auto", None)}
    assert kge["auto"] == pytest.approx(1.0, abs=1e-12)
    assert kge[None] < 0.99, "the flows at the hours' starts are not the hours' means"
