"""Many calibrations at once: same fits as separate calls, failures kept apart, the store and resuming."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
import xarray as xr
from calibration_cases import BOUNDS, basin, dask_client, executors, observed, storm  # noqa: F401 (a fixture)

import rainmill_models as rm
from rainmill_models.calibration import many

OPTIONS = {"maxiter": 3, "popsize": 4}


def jobs(seed: int = 1) -> dict[str, rm.CalibrationJob]:
    good = {"seed": seed, "options": OPTIONS, "objective": "nse"}
    return {
        "north": rm.CalibrationJob(basin(), storm(), observed(), BOUNDS, **good),
        "broken": rm.CalibrationJob(basin(), storm(), observed(), {"basin.loss.nothing": (0.0, 1.0)}, **good),
        "south": rm.CalibrationJob(basin(), storm(), observed(12.0), BOUNDS, **{**good, "seed": seed + 1}),
    }


@pytest.mark.parametrize("executor", executors(None, "threads", 2, "dask"))
def test_each_job_fits_as_its_own_calibrate_call_and_a_failure_stays_its_own(executor, request):
    if executor == "dask":
        executor = request.getfixturevalue("dask_client")
    table = rm.calibrate_many(jobs(), executor=executor, progress=False)
    assert list(table.index) == ["north", "broken", "south"]
    assert list(table["status"]) == ["ok", "failed", "ok"]
    assert "basin.loss.nothing" in table.loc["broken", "error"]
    for name, job in jobs().items():
        if name == "broken":
            continue
        fit = rm.calibrate(job.model, job.rain, job.observed, job.parameters, progress=False, **job.options)
        row = table.loc[name]
        assert row["score"] == fit.score and row["evaluations"] == fit.evaluations
        assert {key: row[key] for key in fit.parameters} == fit.parameters
        assert row["score.nse"] == fit.scores["nse"]


def test_a_store_resumes_without_evaluating_what_finished(tmp_path, monkeypatch):
    first = rm.calibrate_many(jobs(), store=tmp_path, progress=False)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["index.csv", "north.nc", "south.nc"]

    def never(state, item):
        raise AssertionError(f"{item[0]} was evaluated again")

    calls: list[str] = []
    original = many._run_job
    monkeypatch.setattr(many, "_run_job", never)
    jobs_now = jobs()
    del jobs_now["broken"]  # a failed job is run again on resume: left out here
    again = rm.calibrate_many(jobs_now, store=tmp_path, progress=False)
    assert again["stored"].all()
    pd.testing.assert_frame_equal(again.drop(columns="stored"), first.drop(index="broken", columns="stored"))

    # A job killed mid-run left no file: it alone runs again.
    (tmp_path / "south.nc").unlink()
    monkeypatch.setattr(many, "_run_job", lambda state, item: calls.append(item[0]) or original(state, item))
    resumed = rm.calibrate_many(jobs_now, store=tmp_path, progress=False)
    assert calls == ["south"] and list(resumed["stored"]) == [True, False]
    assert resumed.loc["south", "score"] == first.loc["south", "score"]
    job = jobs_now["south"]
    fit = rm.calibrate(job.model, job.rain, job.observed, job.parameters, progress=False, **job.options)
    with xr.open_dataset(tmp_path / "south.nc") as stored:
        assert stored.attrs["model"] == fit.model.to_toml()
        np.testing.assert_array_equal(stored["nse"], fit.history["nse"])

    # The same name with other inputs is refused, never answered from the store.
    with pytest.raises(ValueError, match="other inputs"):
        rm.calibrate_many(jobs(seed=5), store=tmp_path, progress=False)


def test_ctrl_c_returns_what_is_done(monkeypatch):
    original = many._run_job

    def interrupted(state, item):
        if item[0] == "broken":
            raise KeyboardInterrupt
        return original(state, item)

    monkeypatch.setattr(many, "_run_job", interrupted)
    table = rm.calibrate_many(jobs(), progress=False)
    assert list(table["status"]) == ["ok", "not run", "not run"]
    assert np.isfinite(table.loc["north", "score"])


@pytest.mark.parametrize(
    ("name", "options", "error"),
    [("a/b", {}, ValueError), ("ok", {"executor": 2}, ValueError), ("ok", {"nonsense": 1}, TypeError)],
)
def test_bad_jobs_are_refused(name, options, error):
    with pytest.raises(error):
        rm.calibrate_many({name: rm.CalibrationJob(basin(), storm(), observed(), BOUNDS, **options)}, progress=False)
