"""The benchmark's pure-Python loops against rainmill, bit for bit: they are the reference the
benchmark reports speed-ups against, so they must compute the same numbers."""

import datetime
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import loops  # noqa: E402

import rainmill  # noqa: E402

td = datetime.timedelta
u = rainmill.utils
ru = rainmill.reservoir.reservoir_utils
SEEDS = range(4)


def bits(*sequences):
    """Bit for bit, except that every NaN is one (the sign of a NaN made by 0/0 is the hardware's)."""
    return [[float(v).hex() for v in s] for s in sequences]


def values(rng, n, zeros=0.0, scale=100.0):
    return [0.0 if rng.random() < zeros else rng.uniform(-0.1 * scale, scale) for _ in range(n)]


@pytest.mark.parametrize("seed", SEEDS)
def test_routing_and_transform_loops_agree(seed):
    rng = random.Random(seed)
    n = rng.randint(1, 300)
    step = rng.choice([60, 900, 3600])
    inflow = values(rng, n)
    k, x, passes, first = rng.uniform(0, 5e4), rng.uniform(-0.2, 0.7), rng.randint(-1, 6), rng.uniform(0, 50)
    k_delta = td(microseconds=round(k * 1e6))
    with pytest.warns(UserWarning) if not 0.0 <= x <= 0.5 else _nothing():
        routed = rainmill.reach.run_muskingum_routing(u.ContinuousTimeSeries(inflow, td(seconds=step), "discharge"),
                                                      k_delta, x, passes, first)
    assert bits(routed.data) == bits(loops.py_muskingum(inflow, float(step), k_delta.total_seconds(), x, passes, first))

    rain = values(rng, n, zeros=0.4, scale=1.0)
    tc, storage = rng.randint(1, 60) * step + rng.randint(0, step), rng.uniform(0, 1e5)
    storage_delta = td(microseconds=round(storage * 1e6))
    clark = rainmill.rainfall_transform.run_clark_uh(u.IncrementalTimeSeries(rain, td(seconds=step), "rainfall"),
                                                     640.0, td(seconds=tc), storage_delta)
    assert bits(clark.data) == bits(loops.py_clark(rain, float(step), 640.0, float(tc), storage_delta.total_seconds()))


@pytest.mark.parametrize("seed", SEEDS)
def test_loss_baseflow_kge_and_disaggregation_loops_agree(seed):
    rng = random.Random(100 + seed)
    n = rng.randint(1, 300)
    rain = values(rng, n, zeros=0.3, scale=1.0)
    series = u.IncrementalTimeSeries(rain, td(hours=1), "rainfall")
    args = rng.uniform(0, 2), rng.uniform(0.5, 3), rng.uniform(0, 0.3)
    dry = rng.choice([0, 3600, 48 * 3600])
    result = rainmill.rainfall_loss.run_deficit_and_constant(series, *args, td(seconds=dry))
    assert bits(result.excess.data, result.loss.data, result.deficit.data) == bits(
        *loops.py_deficit_constant(rain, 3600.0, *args, float(dry)))

    layer = (rng.randint(4, 200) * 3600, rng.uniform(0, 0.5), rng.uniform(0, 10), rng.randint(1, 4))
    total, by_name = rainmill.baseflow.run_linear_reservoir(
        1600.0, series, {"only": rainmill.baseflow.LinearReservoir(td(seconds=layer[0]), *layer[1:])})
    expected_total, expected = loops.py_baseflow(1600.0, rain, 3600.0, {"only": (float(layer[0]), *layer[1:])})
    assert bits(total.data, by_name["only"].data) == bits(expected_total, expected["only"])

    sim, obs = values(rng, n), values(rng, n)
    for use_log in (False, True):
        got, want = rainmill.metrics.calculate_kge(sim, obs, use_log), loops.py_kge(sim, obs, use_log)
        assert bits([got]) == bits([want])
    assert series.disaggregate(900).data == loops.py_disaggregate(rain, 3600, 900)


def test_level_pool_loop_agrees():
    curve = ru.ElevationStorage([100.0, 105.0, 120.0], [0.0, 2.0e4, 2.0e5])
    rating = ru.ElevationDischarge([100.0, 110.0, 125.0], [0.0, 40.0, 300.0])
    # one outlet, so the order in which outlets are added cannot matter
    for outlet in (ru.ControlledDischargeInfo(rating, 101.0, 118.0, 35.0), ru.UnControlledDischargeInfo(rating, 0.5),
                   ru.ConstantDischargeInfo(12.0, 102.0)):
        inflow = [20.0, 80.0, 150.0, 60.0, 10.0, 0.0, 0.0]
        result = rainmill.reservoir.run_level_pool_routing(
            u.ContinuousTimeSeries(inflow, td(minutes=10), "discharge"), 103.0, curve, {"o": outlet})
        getters = {"o": _python_outlet(outlet)}
        storage, elevation, total, individual = loops.py_level_pool(inflow, 600, 103.0, curve.elevation,
                                                                    curve.storage, getters)
        assert (result.reservoir_storage.data, result.reservoir_elevation.data, result.reservoir_total_outflow.data,
                result.reservoir_individual_outflows["o"].data) == (storage, elevation, total, individual["o"])


def _python_outlet(o):
    sys.path.insert(0, str(Path(loops.__file__).parent))
    import run

    return run.python_outlets({"o": o})["o"]


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False
