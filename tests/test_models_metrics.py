"""Scores against independent NumPy formulas, alignment on the time index, missing observations."""

import math

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
rm = pytest.importorskip("rainmill_models")


def reference(s, o):
    """The scores written out from their textbook definitions, population statistics."""
    n = len(o)
    ms, mo = sum(s) / n, sum(o) / n
    ss = math.sqrt(sum((x - ms) ** 2 for x in s) / n)
    so = math.sqrt(sum((x - mo) ** 2 for x in o) / n)
    r = sum((a - ms) * (b - mo) for a, b in zip(s, o)) / (n * ss * so)
    alpha, beta = ss / so, ms / mo
    gamma = (ss / ms) / (so / mo)
    nse = 1 - sum((a - b) ** 2 for a, b in zip(s, o)) / sum((b - mo) ** 2 for b in o)
    eps = mo / 100
    ls, lo = [math.log(x + eps) for x in s], [math.log(x + eps) for x in o]
    mlo = sum(lo) / n
    log_nse = 1 - sum((a - b) ** 2 for a, b in zip(ls, lo)) / sum((b - mlo) ** 2 for b in lo)
    vs = sum((s[i] + s[i + 1]) / 2 for i in range(n - 1))
    vo = sum((o[i] + o[i + 1]) / 2 for i in range(n - 1))
    return {
        "kge": 1 - math.sqrt((r - 1) ** 2 + (alpha - 1) ** 2 + (beta - 1) ** 2),
        "r": r,
        "alpha": alpha,
        "beta": beta,
        "kge_prime": 1 - math.sqrt((r - 1) ** 2 + (beta - 1) ** 2 + (gamma - 1) ** 2),
        "nse": nse,
        "log_nse": log_nse,
        "pbias": 100 * sum(a - b for a, b in zip(s, o)) / sum(o),
        "peak_error": (max(s) - max(o)) / max(o),
        "volume_error": (vs - vo) / vo,
    }


def hourly(values, start="2024-06-11", tz=None):
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq="1h", tz=tz), dtype="float64")


@pytest.mark.parametrize("seed", range(15))
def test_scores_match_the_definitions(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 300))
    obs = rng.gamma(2.0, 50.0, n) + 0.1
    sim = np.clip(obs * rng.normal(1.05, 0.2, n) + rng.normal(0, 5, n), 0.0, None)
    got = rm.scores(hourly(sim), hourly(obs))
    want = reference(sim.tolist(), obs.tolist())
    for name, value in want.items():
        assert got[name] == pytest.approx(value, rel=1e-9, abs=1e-12), name
    assert got["peak_time_error"] == int(np.argmax(sim)) - int(np.argmax(obs))
    assert rm.kge(hourly(sim), hourly(obs)) == got["kge"]


def test_a_perfect_simulation():
    obs = hourly([1.0, 3.0, 7.0, 4.0, 2.0])
    got = rm.scores(obs, obs)
    for name in ("kge", "r", "alpha", "beta", "kge_prime", "nse", "log_nse"):
        assert got[name] == pytest.approx(1.0), name
    for name in ("pbias", "peak_error", "peak_time_error", "volume_error"):
        assert got[name] == 0.0, name


def test_alignment_on_the_observations_index():
    sim = hourly(np.arange(48.0) + 1.0, tz="UTC")
    obs = hourly([5.0, 7.0, 6.0, 9.0], start="2024-06-11 04:00", tz="UTC").sample(frac=1.0, random_state=1)
    s, o, index = rm.align(sim, obs)
    assert s.tolist() == [5.0, 6.0, 7.0, 8.0] and o.tolist() == [5.0, 7.0, 6.0, 9.0]
    assert index[0] == pd.Timestamp("2024-06-11 04:00", tz="UTC")
    s, o, _ = rm.align(sim, obs, window=("2024-06-11 05:00+00:00", "2024-06-11 06:00+00:00"))
    assert s.tolist() == [6.0, 7.0] and o.tolist() == [7.0, 6.0]
    late = hourly([1.0], start="2024-06-13 00:00", tz="UTC")
    with pytest.raises(rm.TimeSeriesError, match="simulated: no value at 2024-06-13T00:00:00"):
        rm.scores(sim, pd.concat([obs, late]))
    with pytest.raises(rm.TimeSeriesError, match="no observations to score"):
        rm.scores(sim, obs, window=("2024-06-12 00:00+00:00", "2024-06-12 01:00+00:00"))


def test_missing_observations():
    sim = hourly([1.0, 2.0, 3.0, 4.0, 5.0])
    obs = hourly([1.0, np.nan, 3.5, np.nan, 4.0])
    with pytest.raises(
        rm.TimeSeriesError, match=r"observed: missing value at 2024-06-11T01:00:00 \(pass missing='drop'"
    ):
        rm.kge(sim, obs)
    kept = hourly([1.0, 3.5, 4.0])
    kept.index = obs.dropna().index
    assert rm.kge(sim, obs, missing="drop") == rm.kge(sim, kept)
    assert rm.scores(sim, obs, missing="drop")["nse"] == rm.scores(sim, kept)["nse"]
    with pytest.raises(ValueError, match="missing must be 'raise' or 'drop'"):
        rm.kge(sim, obs, missing="zero")


def test_log_kge_uses_the_extension():
    import rainmill

    sim, obs = hourly([1.0, 2.0, 3.0]), hourly([1.0, 2.0, 4.0])
    assert rm.kge(sim, obs, use_log=True) == rainmill.metrics.calculate_kge([1.0, 2.0, 3.0], [1.0, 2.0, 4.0], True)
