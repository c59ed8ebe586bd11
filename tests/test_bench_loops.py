"""The benchmark's pure-Python loops against rainmill, bit for bit: they are the reference the
benchmark reports speed-ups against, so they must compute the same numbers."""

import datetime
import math
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import rainmill

import loops

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
        routed = rainmill.reach.run_muskingum_routing(
            u.ContinuousTimeSeries(inflow, td(seconds=step), "discharge"), k_delta, x, passes, first
        )
    assert bits(routed.data) == bits(loops.py_muskingum(inflow, float(step), k_delta.total_seconds(), x, passes, first))

    rain = values(rng, n, zeros=0.4, scale=1.0)
    tc, storage = rng.randint(1, 60) * step + rng.randint(0, step), rng.uniform(0, 1e5)
    storage_delta = td(microseconds=round(storage * 1e6))
    clark = rainmill.rainfall_transform.run_clark_uh(
        u.IncrementalTimeSeries(rain, td(seconds=step), "rainfall"), 640.0, td(seconds=tc), storage_delta
    )
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
        *loops.py_deficit_constant(rain, 3600.0, *args, float(dry))
    )

    layer = (rng.randint(4, 200) * 3600, rng.uniform(0, 0.5), rng.uniform(0, 10), rng.randint(1, 4))
    total, by_name = rainmill.baseflow.run_linear_reservoir(
        1600.0, series, {"only": rainmill.baseflow.LinearReservoir(td(seconds=layer[0]), *layer[1:])}
    )
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
    for outlet in (
        ru.ControlledDischargeInfo(rating, 101.0, 118.0, 35.0),
        ru.UnControlledDischargeInfo(rating, 0.5),
        ru.ConstantDischargeInfo(12.0, 102.0),
    ):
        inflow = [20.0, 80.0, 150.0, 60.0, 10.0, 0.0, 0.0]
        result = rainmill.reservoir.run_level_pool_routing(
            u.ContinuousTimeSeries(inflow, td(minutes=10), "discharge"), 103.0, curve, {"o": outlet}
        )
        getters = {"o": _python_outlet(outlet)}
        storage, elevation, total, individual = loops.py_level_pool(
            inflow, 600, 103.0, curve.elevation, curve.storage, getters
        )
        assert (
            result.reservoir_storage.data,
            result.reservoir_elevation.data,
            result.reservoir_total_outflow.data,
            result.reservoir_individual_outflows["o"].data,
        ) == (storage, elevation, total, individual["o"])


def _random_reservoir(rng):
    """A storage curve, 1-4 outlets of every kind (gates, caps, offsets, unset fields) whose
    ratings reach above the curve, an initial elevation and an inflow that fills and drains."""
    points = rng.randint(2, 12)
    elevations = [
        100.0 + 20.0 * k / (points - 1) + (rng.uniform(-0.3, 0.3) if 0 < k < points - 1 else 0.0) for k in range(points)
    ]
    storages = [0.0]
    for _ in range(points - 1):
        storages.append(storages[-1] + rng.uniform(5e4, 5e5))
    outlets = {}
    for j in range(rng.randint(1, 4)):
        gate = rng.choice([None, rng.uniform(99.0, 110.0)])
        top = rng.choice([None, math.nan, rng.uniform(101.0, 118.0)])
        low = rng.uniform(95.0, 108.0)
        rating_elevations = sorted({low, *(rng.uniform(low, 124.0) for _ in range(rng.randint(0, 5))), 125.0})
        rating = ru.ElevationDischarge(rating_elevations, sorted(rng.uniform(0.0, 400.0) for _ in rating_elevations))
        kind = rng.choice("ABC")
        if kind == "A":
            outlets[f"o{j}"] = ru.ConstantDischargeInfo(rng.uniform(0.0, 80.0), gate, None if top != top else top)
        elif kind == "B":
            cap = rng.choice([None, rng.uniform(0.0, 200.0)])
            outlets[f"o{j}"] = ru.ControlledDischargeInfo(rating, gate, top, cap)
        else:
            outlets[f"o{j}"] = ru.UnControlledDischargeInfo(rating, rng.choice([None, rng.uniform(-5.0, 4.9)]))
    inflow = [rng.choice([0.0, rng.uniform(0.0, 600.0)]) for _ in range(rng.randint(2, 12))]
    return ru.ElevationStorage(elevations, storages), outlets, rng.uniform(100.0, 112.0), inflow


@pytest.mark.parametrize("seed", range(24))
def test_level_pool_table_loop_agrees(seed):
    """The table loop (what the benchmark compiles with Numba) gives rainmill's numbers: bit for bit
    with one outlet, to rounding with several (rainmill adds them in its own order), and bit for bit
    with the pure-Python closure loop, which adds them in the same order."""
    curve, outlets, start, inflow = _random_reservoir(random.Random(200 + seed))
    step = random.Random(seed).choice([60, 600, 3600])
    result = rainmill.reservoir.run_level_pool_routing(
        u.ContinuousTimeSeries(inflow, td(seconds=step), "discharge"), start, curve, outlets
    )
    specs = _run().outlet_specs(outlets)
    got = loops.py_level_pool_tables(inflow, step, start, curve.elevation, curve.storage, list(specs.values()))
    closures = loops.py_level_pool(
        inflow,
        step,
        start,
        curve.elevation,
        curve.storage,
        {name: loops.outlet_getter(spec) for name, spec in specs.items()},
    )
    assert bits(*got[:3], *got[3]) == bits(*closures[:3], *(closures[3][name] for name in specs))
    want = [result.reservoir_storage.data, result.reservoir_elevation.data, result.reservoir_total_outflow.data]
    if len(outlets) == 1:
        assert bits(*got[:3], *got[3]) == bits(*want, result.reservoir_individual_outflows["o0"].data)
    else:
        for mine, theirs in zip(got[:3], want):
            assert mine == pytest.approx(theirs, rel=1e-9, abs=1e-6)


def test_level_pool_table_loop_refuses_what_rainmill_refuses():
    curve = ru.ElevationStorage([100.0, 105.0, 120.0], [0.0, 2.0e4, 2.0e5])
    rating = ru.ElevationDischarge([100.0, 110.0, 118.0], [0.0, 40.0, 300.0])
    cases = [
        ({"o": ru.ConstantDischargeInfo(1.0)}, [1e4] * 30, "storage is outside the range"),
        ({"o": ru.UnControlledDischargeInfo(rating)}, [1e3] * 30, "elevation is above the maximum"),
    ]
    for outlets, inflow, message in cases:
        with pytest.raises(ValueError):
            rainmill.reservoir.run_level_pool_routing(
                u.ContinuousTimeSeries(inflow, td(minutes=10), "discharge"), 103.0, curve, outlets
            )
        with pytest.raises(ValueError, match=message):
            loops.py_level_pool_tables(
                inflow, 600, 103.0, curve.elevation, curve.storage, list(_run().outlet_specs(outlets).values())
            )


@pytest.mark.parametrize("seed", range(3))
def test_numba_level_pool_matches_the_table_loop(seed):
    """Compiled on arrays, the same loop gives the same bits as it does in pure Python."""
    pytest.importorskip("numba")
    np = pytest.importorskip("numpy")
    import peers

    curve, outlets, start, inflow = _random_reservoir(random.Random(300 + seed))
    specs = list(_run().outlet_specs(outlets).values())
    want = loops.py_level_pool_tables(inflow, 600, start, curve.elevation, curve.storage, specs)
    got = peers.numba_functions()["level pool"](
        np.array(inflow), 600, start, np.array(curve.elevation), np.array(curve.storage), specs
    )
    assert bits(*got[:3], *got[3]) == bits(*want[:3], *want[3])


def _run():
    sys.path.insert(0, str(Path(loops.__file__).parent))
    import run

    return run


def _python_outlet(o):
    sys.path.insert(0, str(Path(loops.__file__).parent))
    import run

    return run.python_outlets({"o": o})["o"]


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False
