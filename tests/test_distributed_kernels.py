"""The distributed kernels of rainmill_models._kernels: bit for bit against plain loops, balances, physics."""

import sys
import time
from pathlib import Path

import numpy as np
import pytest

from interrupting import reaction_to_ctrl_c

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import distributed_loops as loops  # the plain loops, also the benchmark's pure-Python column
from rainmill_models import _kernels as k

ACRE_FOOT_INCH = 43560.0 / 12.0


def arr(values):
    return np.frombuffer(values, dtype=np.float64)


def cell_storm(seed, steps=60, cells=9):
    rng = np.random.default_rng(seed)
    return (rng.gamma(0.6, 0.1, (steps, cells)) * (rng.random((steps, cells)) < 0.6)).ravel()


def flood(base=10.0, peak=600.0, n=160):
    t = np.arange(n, dtype=np.float64)
    return base + peak * (t / 15.0) ** 2 * np.exp(2.0 * (1.0 - t / 15.0)) / 4.0


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize(("whole", "shared"), [(False, False), (True, False), (False, True)])
def test_modclark_matches_its_loop(seed, whole, shared):
    rng = np.random.default_rng(seed)
    excess = cell_storm(seed, cells=1 if shared else 9)
    lags = rng.random(9) * 6.0
    lags = np.floor(lags) if whole else lags
    weights = rng.random(9)
    unit = rng.random(15)
    got = arr(k.modclark_transform(excess, lags, weights, unit, shared))
    assert got.tolist() == loops.py_modclark(excess.tolist(), lags.tolist(), weights.tolist(), unit.tolist(), shared)


ROUTINGS = [("trapezoid", 20.0, 2.0), ("rectangle", 15.0, 0.0), ("triangle", 0.0, 3.0), ("plane", 200.0, 0.0)]


@pytest.mark.parametrize(("shape", "width", "side"), ROUTINGS)
def test_kinematic_routing_matches_its_loop_and_conserves_water(shape, width, side):
    inflow = flood()
    args = (25000.0, 0.001, 0.04, shape, width, side, 12, 900.0)
    out, volume, storage = (arr(v) for v in k.kinematic_wave_routing(inflow, *args))
    assert [out.tolist(), volume.tolist(), storage.tolist()] == list(loops.py_kinematic_routing(inflow.tolist(), *args))
    entered = float(np.sum((inflow[1:] + inflow[:-1]) / 2.0)) * 900.0
    assert abs(entered - (volume.sum() + storage[-1] - storage[0])) <= 1e-9 * entered
    assert out[0] == pytest.approx(inflow[0], rel=1e-12)  # the reach starts in steady state
    assert out.max() < inflow.max()


@pytest.mark.parametrize("channel", [(0.0, 0.0, 0.0), (6000.0, 0.004, 0.035)])
def test_kinematic_transform_matches_its_loop_and_drains_all_the_excess(channel):
    excess = np.zeros(400)
    excess[3:40] = cell_storm(3, steps=37, cells=1)
    args = (320.0, 600.0, 0.02, 0.15, *channel, "trapezoid", 8.0, 1.5, 10, 300.0)
    out, volume, storage = (arr(v) for v in k.kinematic_wave_transform(excess, *args))
    assert [out.tolist(), volume.tolist(), storage.tolist()] == list(
        loops.py_kinematic_transform(excess.tolist(), *args)
    )
    fallen = float(excess[:-1].sum()) * 320.0 * ACRE_FOOT_INCH
    assert abs(fallen - volume.sum() - storage[-1]) <= 1e-9 * fallen
    assert storage[-1] < 1e-3 * fallen  # drained
    assert storage[0] == 0.0 and out[0] == 0.0


def test_a_plane_under_steady_rain_rises_as_the_analytic_solution():
    length, slope, n, acres, dt, depth = 500.0, 0.01, 0.1, 10.0, 30.0, 0.02
    rate = depth / 12.0 / dt  # ft/s
    width = acres * 43560.0 / length
    alpha = 1.486 * np.sqrt(slope) / n
    tc = (length / (alpha * rate ** (2.0 / 3.0))) ** 0.6  # time to equilibrium, s
    t = np.arange(int(3 * tc / dt)) * dt
    analytic = np.where(t < tc, alpha * (rate * t) ** (5.0 / 3.0), rate * length) * width
    equilibrium = rate * length * width
    errors = {}
    for cells in (20, 80):
        excess = np.full(t.size, depth)
        got = arr(k.kinematic_wave_transform(excess, acres, length, slope, n, 0, 0, 0, "plane", 0, 0, cells, dt)[0])
        error = np.abs(got - analytic) / equilibrium
        assert error[t <= 0.5 * tc].max() < 1e-9  # ahead of the upstream boundary's wave: exact
        assert error[-1] < 1e-9  # equilibrium
        errors[cells] = error.max()
    assert errors[80] < errors[20] / 3.0 < 0.03  # first order: the spread near tc shrinks with the cells


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: k.modclark_transform([0.1] * 5, [0.0, 1.0], [0.5, 0.5], [1.0], False), "excess: its length"),
        (lambda: k.modclark_transform([0.1] * 4, [0.0, -1.0], [0.5, 0.5], [1.0], False), "lags:"),
        (lambda: k.modclark_transform([0.1] * 4, [0.0, 1.0], [0.5], [1.0], False), "weights"),
        (lambda: k.kinematic_wave_routing([1.0, 2.0], 100.0, 0.01, 0.04, "oval", 1.0, 0.0, 5, 60.0), "shape:"),
        (
            lambda: k.kinematic_wave_routing([1.0, 2.0], 100.0, 0.01, 0.04, "rectangle", 0.0, 0.0, 5, 60.0),
            "bottom_width",
        ),
        (lambda: k.kinematic_wave_routing([1.0, 2.0], 100.0, 0.0, 0.04, "rectangle", 1.0, 0.0, 5, 60.0), "slope"),
        (lambda: k.kinematic_wave_routing([1.0, np.nan], 100.0, 0.01, 0.04, "rectangle", 1.0, 0.0, 5, 60.0), "inflow"),
        (lambda: k.kinematic_wave_routing([1.0, 2.0], 100.0, 0.01, 0.04, "rectangle", 1.0, 0.0, 0, 60.0), "cells"),
    ],
)
def test_bad_inputs_are_refused(call, message):
    with pytest.raises(ValueError) as error:
        call()
    assert message in str(error.value)


@pytest.mark.slow
def test_ctrl_c_stops_a_long_kinematic_routing():
    setup = "inflow = 50.0 + 5000.0 * np.random.default_rng(1).random(400_000)"
    assert (
        reaction_to_ctrl_c(
            setup,
            'k.kinematic_wave_routing(inflow, 1.0e5, 0.001, 0.04, "trapezoid", 20.0, 2.0, 200, 3600.0)',
            timeout=120,
        )
        < 0.5
    )


def test_a_long_kinematic_routing_releases_the_interpreter():
    import threading

    inflow = flood(n=20_000)
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        k.kinematic_wave_routing(inflow, 1.0e5, 0.001, 0.04, "trapezoid", 20.0, 2.0, 100, 900.0)
    finally:
        done.set()
        counter.join()
    assert len(ticks) > 5
