"""Calibrating a model description against observations."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from calibration_cases import (  # noqa: F401 (dask_client is a fixture)
    BOUNDS,
    TRUE,
    WRONG,
    basin,
    dask_client,
    executors,
    observed,
    relative_errors,
    storm,
)

import rainmill_models as rm


def wrong_start() -> rm.Network:
    return rm.with_parameters(basin(), WRONG)


@pytest.mark.parametrize("method", ["differential_evolution", "dual_annealing", "nelder-mead"])
def test_each_method_recovers_the_parameters(method):
    result = rm.calibrate(wrong_start(), storm(), observed(), BOUNDS, method=method, seed=2, progress=False)
    assert not result.interrupted
    assert relative_errors(result.parameters, TRUE).max() < 0.01
    assert result.score > 0.9999
    for path, value in result.parameters.items():
        assert rm.get_parameter(result.model, path) == value
    # The best model is the given one with only the calibrated values changed.
    assert rm.with_parameters(basin(), result.parameters) == result.model


def test_result_is_consistent_with_the_scores_and_the_history():
    result = rm.calibrate(wrong_start(), storm(), observed(), BOUNDS, seed=1, progress=False)
    expected = rm.scores(result.model.run(storm(), end=result.window[1]).outflow, observed())
    assert result.scores == expected
    assert result.score == expected["kge"]  # the fast path scores exactly as rm.kge
    history = result.history
    assert list(history.columns) == ["generation", *BOUNDS, "kge"]
    assert len(history) == result.evaluations
    assert history["kge"].max() == result.score
    best = history.loc[history["kge"].idxmax(), list(BOUNDS)]
    assert dict(best) == result.parameters
    # One generation per population, the first one the Latin hypercube start.
    sizes = history.groupby("generation").size()
    assert sizes.nunique() == 1 and sizes.iloc[0] == 15 * len(BOUNDS)
    for path, (low, high) in BOUNDS.items():
        assert history[path].between(low, high).all()
    assert rm.Network.from_toml(result.model.to_toml()) == result.model
    assert "basin.transform.r" in result.summary()


def test_refused_models_score_nan_and_never_win():
    bounds = {"basin.loss.constant_rate": (-0.2, 0.4), "basin.transform.r": (0.25, 3.0)}
    result = rm.calibrate(wrong_start(), storm(), observed(), bounds, seed=4, progress=False)
    refused = result.history["basin.loss.constant_rate"] < 0
    assert refused.any()
    assert result.history.loc[refused, "kge"].isna().all()
    assert result.history.loc[~refused, "kge"].notna().all()
    assert relative_errors(result.parameters, TRUE).max() < 0.01
    # counted, with the first one's reason, in the summary
    first = int(np.argmax(refused.to_numpy())) + 1
    assert result.refused == int(refused.sum())
    assert result.refusal.startswith(f"evaluation {first}: ") and "constant_rate" in result.refusal
    assert f"{result.refused} of {result.evaluations} candidates refused" in result.summary()


def test_durations_that_change_the_hydrograph_length_are_scored_on_one_window():
    # tc from 0.5 h to 12 h changes the length of the runoff by dozens of
    # steps; every candidate is still scored on the same observations.
    truth = rm.with_parameters(basin(), {"basin.transform.tc": 5.0})
    end = storm().index[0] + pd.Timedelta(hours=10)
    obs = truth.run(storm(), end=end).outflow
    result = rm.calibrate(basin(), storm(), obs, {"basin.transform.tc": (0.5, 12.0)}, seed=0, progress=False)
    assert result.history["kge"].notna().all()
    assert result.simulated.index[-1] == end
    assert result.parameters["basin.transform.tc"] == pytest.approx(5.0, rel=1e-3)


def test_only_the_window_is_scored():
    obs = observed(24.0)
    window = (obs.index[2], obs.index[14])
    spoiled = obs.copy()
    spoiled.iloc[:2] = 1.0e6
    spoiled.iloc[15:] = np.nan  # outside the window: neither scored nor refused
    kwargs = dict(window=window, seed=5, progress=False, options={"maxiter": 8})
    clean = rm.calibrate(wrong_start(), storm(), obs, BOUNDS, **kwargs)
    dirty = rm.calibrate(wrong_start(), storm(), spoiled, BOUNDS, **kwargs)
    pd.testing.assert_frame_equal(clean.history, dirty.history)
    assert clean.simulated.index[-1] == window[1]
    assert clean.scores == rm.scores(clean.simulated, obs.loc[window[0] : window[1]])


def test_missing_observations_raise_or_are_left_out():
    obs = observed()
    gappy = obs.copy()
    gappy.iloc[5] = np.nan
    with pytest.raises(rm.TimeSeriesError, match="observed: missing value at 2024-06-11T05:00:00"):
        rm.calibrate(wrong_start(), storm(), gappy, BOUNDS, progress=False)
    kwargs = dict(seed=3, progress=False, options={"maxiter": 6})
    dropped = rm.calibrate(wrong_start(), storm(), gappy, BOUNDS, missing="drop", **kwargs)
    without = rm.calibrate(wrong_start(), storm(), obs.drop(obs.index[5]), BOUNDS, **kwargs)
    pd.testing.assert_frame_equal(dropped.history, without.history)


def test_observations_off_the_model_grid_are_refused_up_front():
    obs = observed()
    shifted = obs.set_axis(obs.index + pd.Timedelta(minutes=7))
    with pytest.raises(rm.TimeSeriesError, match="simulated: no value at 2024-06-11T00:07:00"):
        rm.calibrate(wrong_start(), storm(), shifted, BOUNDS, progress=False)


def minus_sse(simulated: pd.Series, observed: pd.Series) -> float:
    assert simulated.index.equals(observed.index)
    return -float(((simulated - observed) ** 2).sum())


@pytest.mark.parametrize("objective", ["nse", "kge_prime", "pbias", minus_sse])
def test_other_objectives(objective):
    result = rm.calibrate(
        wrong_start(),
        storm(),
        observed(),
        BOUNDS,
        objective=objective,
        seed=1,
        progress=False,
        method="nelder-mead",
    )
    name = objective if isinstance(objective, str) else "minus_sse"
    assert result.objective == name and name in result.history
    if name == "minus_sse":
        assert relative_errors(result.parameters, TRUE).max() < 0.02
    else:
        assert result.score == result.scores[name]  # the history keeps the score itself
        assert (
            result.history[name].iloc[0]
            == rm.scores(wrong_start().run(storm(), end=result.window[1]).outflow, observed())[name]
        )
        if name == "pbias":
            assert abs(result.score) < 1e-3
        else:
            assert result.score > 0.9999


@pytest.mark.parametrize("executor", executors("threads", "processes", "dask"))
def test_same_seed_same_calibration_on_every_executor(executor, request):
    if executor == "dask":
        executor = request.getfixturevalue("dask_client")
    kwargs = dict(seed=11, progress=False, options={"maxiter": 5})
    serial = rm.calibrate(wrong_start(), storm(), observed(), BOUNDS, **kwargs)
    other = rm.calibrate(wrong_start(), storm(), observed(), BOUNDS, executor=executor, **kwargs)
    pd.testing.assert_frame_equal(serial.history, other.history)
    assert serial.parameters == other.parameters
    assert serial.scores == other.scores


def test_ctrl_c_returns_the_best_so_far():
    calls = []

    def interrupting_kge(simulated, observed):
        calls.append(1)
        if len(calls) == 70:
            raise KeyboardInterrupt
        return rm.kge(simulated, observed)

    result = rm.calibrate(
        wrong_start(),
        storm(),
        observed(),
        BOUNDS,
        objective=interrupting_kge,
        seed=0,
        progress=False,
    )
    assert result.interrupted and result.message == "interrupted"
    # 60 members in the first generation, then 9 of the second were scored
    # before the interruption; the search kept only whole generations' points.
    assert result.evaluations == 60
    assert result.score == result.history["interrupting_kge"].max()
    best = result.history.loc[result.history["interrupting_kge"].idxmax(), list(BOUNDS)]
    assert dict(best) == result.parameters
    assert result.scores["kge"] == pytest.approx(result.score, abs=0.0)
    assert "(interrupted)" in result.summary()


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        ({"objective": "rmse"}, ValueError, "objective must be one of"),
        ({"method": "powell"}, ValueError, "method must be one of"),
        ({"missing": "zero"}, ValueError, "missing must be"),
        ({"parameters": {"basin.transform.r": (2.0, 1.0)}}, ValueError, "low < high"),
        ({"parameters": {"basin.transform.q": (0.0, 1.0)}}, rm.ModelError, "basin.transform.q"),
        ({"parameters": {}}, ValueError, "no parameters"),
        ({"window": ("2024-06-12", "2024-06-13")}, ValueError, "no observation between"),
        ({"window": ("2024-06-11 06:00", "2024-06-11 02:00")}, ValueError, "must come before"),
        ({"observed": pd.Series([1.0, 2.0])}, ValueError, "DatetimeIndex"),
        ({"evaluation_timeout": 1e-9}, ValueError, "evaluation_timeout must be a number of seconds >= 0.001"),
    ],
)
def test_arguments_are_checked_before_the_search(change, error, message):
    kwargs = dict(observed=observed(), parameters=BOUNDS, progress=False)
    kwargs.update(change)
    with pytest.raises(error, match=message):
        rm.calibrate(wrong_start(), storm(), **kwargs)


def test_plot_shows_the_fit_and_the_search():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    result = rm.calibrate(wrong_start(), storm(), observed(), BOUNDS, seed=1, progress=False, options={"maxiter": 3})
    figure = result.plot()
    fit, search = figure.axes
    assert len(fit.lines[0].get_xdata()) == len(observed())
    assert len(search.lines[0].get_ydata()) == result.evaluations
    best = search.lines[1].get_ydata()
    assert best[-1] == result.score and np.all(np.diff(best) >= 0)
    assert not math.isnan(best[0])
