"""Many runs at once (models × events, parameter samples) and the calibrate command."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from calibration_cases import (  # noqa: F401 (dask_client is a fixture)
    BASIN_TOML,
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
from rainmill_models.__main__ import main


def models() -> dict[str, rm.Network]:
    return {
        "true": basin(),
        "slow": rm.with_parameters(basin(), {"basin.transform.tc": 6.0}),
        "leaky": rm.with_parameters(basin(), {"basin.loss.constant_rate": 0.3}),
    }


def events() -> dict[str, object]:
    return {"storm": (storm(), observed()), "double": storm() * 2.0}


def test_run_many_each_model_on_each_event():
    table = rm.run_many(models(), events(), progress=False)
    assert list(zip(table["model"], table["event"])) == [(m, e) for m in models() for e in events()]
    for row in table.itertuples():
        model, event = models()[row.model], events()[row.event]
        rain, obs = event if isinstance(event, tuple) else (event, None)
        result = model.run(rain, end=None if obs is None else obs.index[-1])
        run = result.outflow
        assert row.peak_flow == run.max() and row.peak_time == run.idxmax()
        assert row.end == run.index[-1]
        # the trapezoidal volume of the outflow, in flow x hours
        volume = float(((run.to_numpy()[1:] + run.to_numpy()[:-1]) / 2).sum()) * result.step.total_seconds()
        assert row.volume_flow_hours * 3600.0 == pytest.approx(volume, rel=1e-12)
        if obs is None:
            assert np.isnan(row.kge)
        else:
            fit = rm.scores(run, obs)
            assert [getattr(row, k) for k in ("kge", "nse", "pbias")] == [fit["kge"], fit["nse"], fit["pbias"]]
    assert table.loc[table["model"] == "true", "kge"].iloc[0] == 1.0
    assert table["error"].isna().all()


def test_run_many_zip_and_positions():
    table = rm.run_many(list(models().values())[:2], [storm(), storm() * 2.0], pairing="zip", progress=False)
    assert list(table["model"]) == [0, 1] and list(table["event"]) == [0, 1]
    with pytest.raises(ValueError, match="as many models as events, not 3 and 2"):
        rm.run_many(models(), events(), pairing="zip", progress=False)
    with pytest.raises(ValueError, match="pairing must be"):
        rm.run_many(models(), events(), pairing="outer", progress=False)


def test_run_many_reports_a_failed_run_and_goes_on():
    # A 20-minute step cannot be divided into the model's 15 minutes.
    odd = pd.Series([0.5, 1.0, 0.5], index=pd.date_range("2024-06-11", periods=3, freq="20min"))
    table = rm.run_many(basin(), {"odd": odd, "storm": storm()}, progress=False)
    assert "options.step" in table.loc[0, "error"] and np.isnan(table.loc[0, "peak_flow"])
    assert pd.isna(table.loc[1, "error"]) and table.loc[1, "peak_flow"] > 0


@pytest.mark.parametrize("executor", executors("processes", "dask"))
def test_run_many_same_table_on_every_executor(executor, request):
    if executor == "dask":
        executor = request.getfixturevalue("dask_client")
    serial = rm.run_many(models(), events(), progress=False)
    other = rm.run_many(models(), events(), progress=False, executor=executor, batch_size=2)
    pd.testing.assert_frame_equal(serial, other)


def test_uncertainty_runs_bands_and_coverage():
    obs = observed()
    result = rm.uncertainty(
        basin(), storm(), BOUNDS, n=40, seed=8, observed=obs, percentiles=(10, 50, 90), progress=False
    )
    assert list(result.samples.columns) == list(BOUNDS) and len(result.samples) == 40
    assert result.runs.shape[1] == 40 and result.runs.index[-1] == obs.index[-1]
    for k in (0, 17):
        values = dict(result.samples.iloc[k])
        run = rm.with_parameters(basin(), values).run(storm(), end=obs.index[-1]).outflow
        np.testing.assert_array_equal(result.runs[k].to_numpy(), run.to_numpy())
    expected = np.percentile(result.runs.to_numpy(), [10, 50, 90], axis=1).T
    np.testing.assert_allclose(result.bands.to_numpy(), expected)
    assert 0.0 <= result.coverage() <= 1.0
    # The true parameters lie inside the bounds: the observations mostly fall in the band.
    assert result.coverage() > 0.5
    pd.testing.assert_frame_equal(result.samples, rm.latin_hypercube(BOUNDS, 40, seed=8))


@pytest.mark.parametrize("executor", executors("threads", "processes"))
def test_uncertainty_in_parallel_matches_serial_and_refused_samples_are_nan(executor):
    bounds = {"basin.loss.constant_rate": (-0.1, 0.3)}
    serial = rm.uncertainty(basin(), storm(), bounds, n=12, seed=1, progress=False)
    parallel = rm.uncertainty(basin(), storm(), bounds, n=12, seed=1, progress=False, executor=executor)
    pd.testing.assert_frame_equal(serial.runs, parallel.runs)
    refused = serial.samples["basin.loss.constant_rate"] < 0
    assert refused.any()
    assert serial.runs.loc[:, refused.to_numpy()].isna().all().all()
    assert serial.runs.loc[:, ~refused.to_numpy()].notna().all().all()


def test_uncertainty_refuses_an_unknown_parameter_before_running():
    with pytest.raises(rm.ModelError, match="basin.loss.nothing"):
        rm.uncertainty(basin(), storm(), {"basin.loss.nothing": (0.0, 1.0)}, progress=False)


@pytest.mark.parametrize("quoted", [True, False])
def test_calibrate_command(tmp_path, capsys, quoted):
    model = tmp_path / "model.toml"
    rm.with_parameters(basin(), WRONG).save(model)
    rm.write_csv(storm(), tmp_path / "rain.csv")
    rm.write_csv(observed(), tmp_path / "q.csv")
    lines = (
        [f'"{path}" = [{low}, {high}]' for path, (low, high) in BOUNDS.items()]
        if quoted
        else ["[parameters]"] + [f"{path} = [{low}, {high}]" for path, (low, high) in BOUNDS.items()]
    )
    (tmp_path / "params.toml").write_text("\n".join(lines) + "\n")
    status = main(
        [
            "calibrate",
            str(model),
            "--rain",
            str(tmp_path / "rain.csv"),
            "--observed",
            str(tmp_path / "q.csv"),
            "--parameters",
            str(tmp_path / "params.toml"),
            "--out",
            str(tmp_path / "best.toml"),
            "--seed",
            "3",
            "--no-progress",
            "--history",
            str(tmp_path / "history.csv"),
        ]
    )
    out = capsys.readouterr().out
    assert status == 0
    best = rm.Network.load(tmp_path / "best.toml")
    found = {path: rm.get_parameter(best, path) for path in BOUNDS}
    assert relative_errors(found, TRUE).max() < 0.01
    assert "kge = 1.0000" in out and "basin.transform.r" in out
    history = pd.read_csv(tmp_path / "history.csv", index_col=0)
    assert list(history.columns) == ["generation", *BOUNDS, "kge"]


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ('"basin.transform.r" = [1.0]', "basin.transform.r: .*expected a pair of numbers"),
        ("nothing = 3", "nothing: .*expected a pair"),
        ("", "no parameters to calibrate"),
        ("[parameters", "not a valid TOML document"),
    ],
)
def test_calibrate_command_refuses_a_bad_parameters_file(tmp_path, capsys, text, message):
    (tmp_path / "model.toml").write_text(BASIN_TOML)
    rm.write_csv(storm(), tmp_path / "rain.csv")
    rm.write_csv(observed(), tmp_path / "q.csv")
    (tmp_path / "params.toml").write_text(text)
    status = main(
        [
            "calibrate",
            str(tmp_path / "model.toml"),
            "--rain",
            str(tmp_path / "rain.csv"),
            "--observed",
            str(tmp_path / "q.csv"),
            "--parameters",
            str(tmp_path / "params.toml"),
        ]
    )
    assert status == 2
    assert pytest.importorskip("re").search(message, capsys.readouterr().err)


@pytest.mark.parametrize("zone", [None, "UTC", "Europe/Paris", "America/New_York"])
def test_series_travel_as_plain_data_across_daylight_saving(zone):
    from rainmill_models.calibration.plain_data import series_from_data, series_to_data

    # Hourly through the autumn change of 2024 in both zones (a repeated wall-clock hour).
    index = pd.date_range("2024-10-27 00:00", periods=30, freq="h", tz="UTC", name="time")
    if zone is None:
        index = index.tz_localize(None)
    else:
        index = index.tz_convert(zone)
    series = pd.Series(np.arange(30.0), index=index, name="flow")
    data = series_to_data(series)
    assert isinstance(data["values"], np.ndarray) and isinstance(data["index"], np.ndarray)
    pd.testing.assert_series_equal(series_from_data(data), series, check_freq=False)


def test_run_many_peak_and_volume_are_those_of_the_scored_window():
    # a window that starts after the peak: its largest flow is on the recession, not the storm's peak
    whole = basin().run(storm(), end=observed().index[-1]).outflow
    start = whole.idxmax() + pd.Timedelta(hours=2)
    event = rm.Event("recession", storm(), observed(), window=(start, observed().index[-1]))
    row = rm.run_many(basin(), [event], progress=False).iloc[0]
    inside = whole.loc[start : observed().index[-1]]
    assert row.peak_flow == inside.max() < whole.max() and row.peak_time == inside.idxmax()
    hours = (whole.index[1] - whole.index[0]) / pd.Timedelta(hours=1)
    volume = float(((inside.to_numpy()[1:] + inside.to_numpy()[:-1]) / 2).sum()) * hours
    assert row.volume_flow_hours == pytest.approx(volume, rel=1e-12)
