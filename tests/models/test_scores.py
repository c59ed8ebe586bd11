"""Scores read against benchmarks, and scores of period means."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

import rainmill_models as rm
from rainmill_models.metrics import KGE_MEAN_FLOW
from rainmill_models.periods import period_means


def record(years: float, seed: int = 0) -> pd.Series:
    """Daily flows with a seasonal cycle and noise."""
    days = pd.date_range("2019-01-01", periods=round(365.25 * years), freq="D")
    season = np.sin(2 * np.pi * days.day_of_year.to_numpy() / 365.25)
    noise = np.random.default_rng(seed).gamma(2.0, 0.5, len(days))
    return pd.Series(5.0 + 3.0 * season + noise, days)


def calendar_means(observed: pd.Series) -> pd.Series:
    """Each day's value replaced by the mean of the values on the same month and day, by a plain loop."""
    sums: dict[tuple[int, int], list[float]] = {}
    for stamp, value in observed.items():
        sums.setdefault((stamp.month, stamp.day), []).append(value)
    return pd.Series(
        [math.fsum(sums[(t.month, t.day)]) / len(sums[(t.month, t.day)]) for t in observed.index], observed.index
    )


def test_benchmarks_read_a_kge_against_trivial_models():
    observed = record(4.0)
    climatology = calendar_means(observed)
    own = rm.scores(climatology, observed)
    assert own["kge_climatology"] == pytest.approx(own["kge"], abs=1e-12) and own["kge_skill"] == pytest.approx(
        0.0, abs=1e-12
    )
    assert 0.0 < own["kge_climatology"] < 1.0
    perfect = rm.scores(observed, observed)
    assert perfect["kge_skill"] == 1.0 and perfect["kge_climatology"] == own["kge_climatology"]
    assert rm.scores(observed * 0.0 + observed.mean(), observed)["kge"] == pytest.approx(KGE_MEAN_FLOW, abs=1e-12)
    short = rm.scores(observed.iloc[:700], observed.iloc[:700])  # under two years: no climatology to speak of
    assert math.isnan(short["kge_climatology"]) and math.isnan(short["kge_skill"])


def test_observed_period_scores_the_simulated_means_over_each_period():
    hours = pd.date_range("2020-01-01", periods=24 * 60 + 1, freq="h")
    simulated = pd.Series(3.0 + np.sin(np.arange(len(hours)) / 7.0), hours)
    daily = (simulated.resample("D").mean().iloc[:-1] * 1.05).rename("q")
    network_like = {"gauge": simulated}
    by_period = rm.scores(network_like, {"gauge": daily}, observed_period="D").loc["gauge"]
    assert by_period["kge"] == rm.scores(period_means(simulated, daily), daily)["kge"]
    assert by_period["kge"] != rm.scores(simulated, daily)["kge"]  # point by point is another number
    with pytest.raises(rm.TimeSeriesError, match="before the end of the last observed period"):
        rm.scores(simulated.iloc[:-2], daily, observed_period="D")
    dropped = rm.scores(simulated.iloc[:-2], daily, observed_period="D", missing="drop")
    assert dropped["kge"] == rm.scores(period_means(simulated, daily.iloc[:-1]), daily.iloc[:-1])["kge"]
