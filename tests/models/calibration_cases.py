"""A small basin, a storm and its synthetic observations, shared by the
calibration and ensemble tests; and a Dask cluster the tests start themselves."""

from __future__ import annotations

import os

import numpy as np
import pandas as pd
import pytest

import rainmill_models as rm

# Worker processes and clusters exercise only pure-Python orchestration; under
# the sanitizers they would be slow to start and prove nothing more.
_SANITIZED = os.environ.get("RAINMILL_SANITIZED") == "1"


def executors(*names: object) -> list[object]:
    """Executor parameters; those that start other processes are skipped under the sanitizers."""
    return [
        pytest.param(name, marks=pytest.mark.skipif(_SANITIZED, reason="other processes"))
        if name in ("processes", 2, "dask")
        else name
        for name in names
    ]


BASIN_TOML = """
[options]
name = "test basin"
units = "US"
step = 0.25

[basin]
area = 1600.0

[basin.loss]
initial_deficit = 0.6
max_deficit = 1.5
constant_rate = 0.12
time_to_dry = 48.0

[basin.transform]
tc = 3.0
r = 0.75

[basin.baseflow.shallow]
fraction = 0.3
k = 8.0
initial_q = 2.0
"""

TRUE = {"basin.loss.constant_rate": 0.12, "basin.transform.r": 0.75}
BOUNDS = {"basin.loss.constant_rate": (0.02, 0.4), "basin.transform.r": (0.25, 3.0)}
WRONG = {"basin.loss.constant_rate": 0.3, "basin.transform.r": 2.0}


def basin() -> rm.Network:
    return rm.Network.from_toml(BASIN_TOML)


def storm() -> pd.Series:
    index = pd.date_range("2024-06-11", periods=6, freq="1h", tz="UTC", name="time")
    return pd.Series([0.15, 0.35, 1.10, 0.60, 0.25, 0.15], index=index, name="rain")


def observed(hours: float = 18.0) -> pd.Series:
    """The true model's outflow, hourly, for `hours` hours (noise-free)."""
    start = storm().index[0]
    flow = basin().run(storm(), end=start + pd.Timedelta(hours=hours)).outflow
    return flow[flow.index.minute == 0].rename("flow")


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def relative_errors(found: dict[str, float], true: dict[str, float]) -> np.ndarray:
    return np.array([abs(found[k] - v) / v for k, v in true.items()])
