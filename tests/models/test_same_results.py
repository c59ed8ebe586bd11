"""The network as the model computes what the two implementations before it computed, to the bit.

The digests (SHA-256 of the float64 bytes, first 16 hex digits) were taken from main at e81fd9d,
before the single chain was retired and each element ran itself. Pools are left out: what a pool
hands on changed on purpose since (the water its storage trace released).
"""

import hashlib
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

rm = pytest.importorskip("rainmill_models")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def digest(values):
    return hashlib.sha256(np.ascontiguousarray(np.asarray(values, dtype=np.float64)).tobytes()).hexdigest()[:16]


@pytest.fixture(scope="module")
def storm():
    return rm.read_rain_csv(EXAMPLES / "design_storm.csv")


@pytest.fixture(scope="module")
def chain(storm):
    data = rm.Network.load(EXAMPLES / "event_model.toml").to_dict()
    del data["reservoirs"], data["reaches"]["reach"]["downstream"]
    return rm.Network.from_dict(data)


def test_event_networks_and_a_calibration_history(storm, chain):
    end = storm.index[-1] + pd.Timedelta(hours=40)
    run = chain.run(storm, end=end)
    assert [digest(run.at("reach")), digest(run.at("basin")), len(run.index)] == [
        "2488e29fcd1b4c68", "a941b4cdf46f8566", 181,
    ]  # fmt: skip
    network = rm.Network.load(EXAMPLES / "network.toml")
    rain = pd.DataFrame({n: storm * (1 + 0.1 * i) for i, n in enumerate(network.subbasins())})
    flows = network.run(rain, end=end)
    assert [digest(flows.at(n)) for n in ("north-reach", "confluence", "canal", "lower-reach")] == [
        "b6c59165ceab8c99", "6af94c216f102d9a", "6b3a81bb0e1a6a33", "2a3781154505dee1",
    ]  # fmt: skip
    paths = ["subbasins.basin.loss.constant_rate", "subbasins.basin.transform.tc"]
    fit = rm.calibrate(chain, storm, run.at("reach") * 1.05, dict(zip(paths, [(0.05, 0.5), (1.0, 6.0)], strict=True)),
                       seed=3, progress=False, options={"maxiter": 3})  # fmt: skip
    assert [digest(fit.history[paths]), digest(fit.history.iloc[:, -1]), len(fit.history)] == [
        "c9814771f973362a", "a6078dc99fd7612d", 120,
    ]  # fmt: skip


def test_a_continuous_network():
    days = pd.date_range("2001-01-01", periods=400, freq="D")
    rng = np.random.default_rng(1)
    rain = pd.Series(rng.gamma(0.5, 6.0, 400), index=days)
    temperature = pd.Series(10 + 12 * np.sin(np.arange(400) / 58.0), index=days)
    pet = pd.Series(2.0 + np.sin(np.arange(400) / 58.0), index=days)
    network = rm.Network.load(EXAMPLES / "continuous.toml")
    run = network.run(rain, temperature=temperature, potential_et=pet, end=days[-2])
    assert [digest(run.outflow), len(run.index)] == ["8f94f6dab661cfd1", 399]
