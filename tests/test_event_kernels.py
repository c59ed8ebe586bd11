"""The event kernels of rainmill_models._kernels: bit for bit against plain loops, physics, published examples."""

import math
import os
import sys
from pathlib import Path

import numpy as np
import pytest

from interrupting import reaction_to_ctrl_c

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import event_loops as loops  # the plain loops, also the benchmark's pure-Python column
from rainmill_models import _kernels as k

ACRE_INCH = loops.ACRE_INCH


def arr(values):
    return np.frombuffer(values, dtype=np.float64)


def storm(seed, n=60):
    """Rain depths per interval: dry spells and bursts, inches."""
    rng = np.random.default_rng(seed)
    rain = rng.gamma(0.6, 0.15, n) * (rng.random(n) < 0.7)
    rain[: n // 10] = 0.0
    return rain


def hydrograph(seed, n=80, peak=900.0):
    """A smooth inflow hydrograph with noise, cfs."""
    t = np.arange(n, dtype=np.float64)
    rng = np.random.default_rng(seed)
    return 20.0 + peak * (t / 12.0) ** 2 * np.exp(2.0 * (1.0 - t / 12.0)) / 4.0 + rng.random(n)


# ---- bit for bit ----

SEEDS = [1, 2, 3]


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize(
    ("kernel", "loop", "args"),
    [
        (k.scs_curve_number_loss, loops.curve_number_into, (72.0, 0.2, 0.15)),
        (k.scs_curve_number_loss, loops.curve_number_into, (95.0, 0.05, 0.0)),
        (k.initial_constant_loss, loops.initial_constant_into, (0.4, 0.12, 0.1, 0.25)),
        (k.green_ampt_loss, loops.green_ampt_into, (4.3, 0.15, 0.3, 0.05, 0.25)),
        (k.green_ampt_loss, loops.green_ampt_into, (0.0, 0.4, 0.0, 0.0, 1.0)),
    ],
)
def test_losses_match_their_loops(seed, kernel, loop, args):
    rain = storm(seed)
    excess, infiltration = kernel(rain, *args)
    assert [arr(excess).tolist(), arr(infiltration).tolist()] == list(loops.py_loss(loop, rain.tolist(), *args))


@pytest.mark.parametrize("n", [64, 129, 5000])
def test_curve_number_matches_its_loop_to_the_bit_across_blocks(n):
    # The kernel takes the running sums of a block of intervals before their runoff: the sums and
    # the runoff carried from block to block must be those of one interval after the other.
    rain = storm(4, n)
    excess, infiltration = k.scs_curve_number_loss(rain, 81.0, 0.2, 0.1)
    expected = loops.py_loss(loops.curve_number_into, rain.tolist(), 81.0, 0.2, 0.1)
    assert [bytes(excess), bytes(infiltration)] == [np.array(part).tobytes() for part in expected]


@pytest.mark.parametrize(
    ("lag", "prf", "hours"), [(1.75, 484.0, 0.5), (2.3, 300.0, 0.25), (0.4, 600.0, 1.0 / 6.0), (0.0, 484.0, 0.5)]
)
def test_scs_unit_hydrograph_matches_its_loop(lag, prf, hours):
    assert arr(k.scs_unit_hydrograph(lag, prf, 750.0, hours)).tolist() == loops.py_scs_uh(lag, prf, 750.0, hours)


def test_snyder_is_the_scs_shape_with_snyders_peak():
    assert arr(k.snyder_unit_hydrograph(3.0, 0.6, 1280.0, 0.5)).tolist() == loops.py_snyder_uh(3.0, 0.6, 1280.0, 0.5)


@pytest.mark.parametrize(("duration", "hours"), [(1.0, 0.25), (0.5, 1.0 / 3.0), (2.0, 2.0)])
def test_user_unit_hydrograph_matches_its_loop(duration, hours):
    ordinates = [0.0, 120.0, 410.0, 300.0, 180.0, 90.0, 35.0, 10.0]
    got = arr(k.user_unit_hydrograph(ordinates, duration, 500.0, hours)).tolist()
    assert got == loops.py_user_uh(ordinates, duration, 500.0, hours)


@pytest.mark.parametrize("seed", SEEDS)
def test_convolution_matches_its_loop(seed):
    excess = storm(seed, 120)
    unit = arr(k.scs_unit_hydrograph(2.0, 484.0, 640.0, 0.25))
    assert arr(k.convolve_unit_hydrograph(excess, unit)).tolist() == loops.py_convolve(excess.tolist(), unit.tolist())


@pytest.mark.parametrize(("lag", "hours"), [(0.0, 1.0), (2.0, 0.5), (1.3, 0.5), (0.2, 1.0), (500.0, 1.0)])
def test_lag_matches_its_loop(lag, hours):
    inflow = hydrograph(4, 40)
    assert arr(k.lag_routing(inflow, lag, hours)).tolist() == loops.py_lag(inflow.tolist(), lag, hours)


def test_lag_over_a_series_long_enough_to_be_routed_in_pieces():
    inflow = hydrograph(5, (1 << 20) + 300)  # longer than one uninterrupted piece of work
    shift, fraction = 2, 1.3 / 0.5 - 2.0
    before = np.concatenate([np.full(shift + 1, inflow[0]), inflow[: -shift - 1]])
    now = np.concatenate([np.full(shift, inflow[0]), inflow[:-shift]])
    assert np.array_equal(arr(k.lag_routing(inflow, 1.3, 0.5)), (1.0 - fraction) * now + fraction * before)


@pytest.mark.parametrize(
    ("channel", "n"),
    [
        ((30000.0, 0.001, 0.035, 40.0, 2.0, 1800.0), 60),
        ((8000.0, 0.004, 0.05, 0.0, 3.0, 900.0), 60),  # triangular
        ((50000.0, 0.0005, 0.03, 100.0, 0.0, 3600.0), 60),  # rectangular
        ((200000.0, 0.001, 0.035, 40.0, 2.0, 3600.0), 4),  # 43 sub-reaches, more than the 6 internal steps
    ],
)
def test_muskingum_cunge_matches_its_loop(channel, n):
    inflow = hydrograph(5, n)
    inflow[: min(5, n // 2)] = 0.0  # a dry start: the reference flow's floor and the clamp
    got = arr(k.muskingum_cunge_routing(inflow, *channel)).tolist()
    assert got == loops.py_muskingum_cunge(inflow.tolist(), *channel)


# Segments run four at a time, a step apart: a group of each size, and series shorter than the group.
@pytest.mark.parametrize(("segments", "n"), [(1, 70), (3, 70), (6, 70), (9, 70), (5, 3), (2, 1)])
def test_modified_puls_matches_its_loop(segments, n):
    storage = [0.0, 2.0e5, 9.0e5, 2.5e6, 6.0e6, 1.2e7]
    outflow = [0.0, 50.0, 200.0, 500.0, 1000.0, 2000.0]
    inflow = hydrograph(6, n, peak=2600.0)  # above the table: its last segment extended
    got = arr(k.modified_puls_routing(inflow, storage, outflow, segments, 1800.0)).tolist()
    assert got == loops.py_puls(inflow.tolist(), storage, outflow, segments, 1800.0)


# 400,000 points run in more than one piece between the interrupt checks: the state crosses them.
@pytest.mark.parametrize(("threshold", "is_ratio", "events"), [(0.3, True, 1), (150.0, False, 1), (0.3, True, 4000)])
def test_recession_matches_its_loop(threshold, is_ratio, events):
    direct = np.tile(np.concatenate([hydrograph(7, 50) - 20.0, hydrograph(8, 50) - 20.0]), events)
    got = arr(k.recession_baseflow(direct, 25.0, 0.85, threshold, is_ratio, 0.5)).tolist()
    assert got == loops.py_recession(direct.tolist(), 25.0, 0.85, threshold, is_ratio, 0.5)


# ---- physics ----


@pytest.mark.parametrize(
    "loss",
    [
        lambda r: k.scs_curve_number_loss(r, 85.0, 0.2, 0.3),
        lambda r: k.initial_constant_loss(r, 0.3, 0.05, 0.3, 0.25),
        lambda r: k.green_ampt_loss(r, 6.0, 0.1, 0.35, 0.3, 0.25),
    ],
)
def test_runoff_never_above_rain_and_the_rain_is_accounted_for(loss):
    rain = np.concatenate([storm(9, 200), storm(10, 200) * 20.0])
    excess, infiltration = (arr(v) for v in loss(rain))
    assert np.all(excess >= 0.0) and np.all(excess <= rain)
    assert np.all(infiltration >= 0.0)
    assert abs(excess.sum() + infiltration.sum() - rain.sum()) <= 1e-12 * rain.sum()


def test_curve_number_limits():
    rain = storm(11)
    excess, _ = k.scs_curve_number_loss(rain, 100.0, 0.2, 0.0)
    np.testing.assert_allclose(arr(excess), rain, rtol=1e-12, atol=1e-15)  # nothing is retained
    dry = np.zeros(30)
    assert not arr(k.scs_curve_number_loss(dry, 60.0, 0.2, 0.4)[0]).any()
    assert not arr(k.green_ampt_loss(dry, 4.0, 0.2, 0.3, 0.4, 1.0)[0]).any()


@pytest.mark.parametrize(("cn", "published"), [(75, 0.03), (80, 0.08), (85, 0.17), (90, 0.32), (95, 0.56), (98, 0.79)])
def test_curve_number_runoff_of_one_inch_matches_tr55(cn, published):
    # USDA SCS (1986), Urban Hydrology for Small Watersheds, TR-55, table 2-1: runoff depth for
    # 1.0 in of rainfall, to the hundredth of an inch; the rain falls over several intervals.
    excess, _ = k.scs_curve_number_loss([0.1, 0.3, 0.4, 0.2], float(cn), 0.2, 0.0)
    assert round(arr(excess).sum(), 2) == published


@pytest.mark.parametrize(
    "unit",
    [
        lambda h: k.scs_unit_hydrograph(1.2, 484.0, 900.0, h),
        lambda h: k.scs_unit_hydrograph(1.2, 250.0, 900.0, h),
        lambda h: k.snyder_unit_hydrograph(2.5, 0.7, 900.0, h),
        lambda h: k.user_unit_hydrograph([0.0, 10.0, 30.0, 12.0, 4.0, 0.0], 0.75, 900.0, h),
    ],
)
@pytest.mark.parametrize("hours", [1.0 / 12.0, 0.25, 1.0 / 3.0])
def test_each_unit_hydrograph_holds_one_inch(unit, hours):
    ordinates = arr(unit(hours))
    assert ordinates.min() >= 0.0
    assert ordinates.sum() * hours * 3600.0 == pytest.approx(900.0 * ACRE_INCH, rel=1e-13)


def test_scs_unit_hydrograph_peak_and_time_to_peak_follow_neh_630():
    # NRCS NEH 630 chapter 16: Tp = D/2 + L and qp = 484 A Q / Tp (A in square miles, Q = 1 in).
    # Lag 1.75 h at a 0.5 h step: Tp = 2 h, qp = 484 * 2 / 2 = 484 cfs for 2 square miles. The
    # tabulated shape holds 0.2 % more than 645.33 / 484 units, so the scaled peak is that much lower.
    ordinates = arr(k.scs_unit_hydrograph(1.75, 484.0, 2.0 * 640.0, 0.5))
    assert ordinates.argmax() * 0.5 == 2.0
    assert ordinates.max() == pytest.approx(484.0, rel=5e-3)


def test_snyder_peak_follows_snyder():
    # Snyder (1938): tpR = tp + (tR - tp / 5.5) / 4, qpR = 640 Cp A / tpR (A in square miles).
    tp, cp, hours = 5.5 * 0.5, 0.6, 0.5  # tr = 0.5 h = tR, so tpR = tp = 2.75 h and Tp = 3 h
    ordinates = arr(k.snyder_unit_hydrograph(tp, cp, 640.0, hours))
    assert ordinates.argmax() * hours == 3.0
    assert ordinates.max() == pytest.approx(640.0 * cp / tp, rel=5e-3)


def test_whole_step_lag_is_a_shift_and_fractions_interpolate():
    inflow = hydrograph(12, 30)
    out = arr(k.lag_routing(inflow, 1.5, 0.5))
    assert out[3:].tolist() == inflow[:-3].tolist() and (out[:3] == inflow[0]).all()
    half = arr(k.lag_routing(inflow, 1.25, 0.5))
    np.testing.assert_allclose(half[3:], 0.5 * (inflow[1:-2] + inflow[:-3]), rtol=1e-15)


def test_muskingum_cunge_matches_the_published_example():
    # Ponce (1989), Engineering Hydrology, ch. 9, as set in SDSU CIV E 445, fall 2011 homework solutions
    # (facets.sdsu.edu/protected29/cive445_homework_f11_solution.html):
    # triangular inflow 60 -> 1110 m3/s in 7 h, back to 60 at 21 h; S0 = 0.001, peak area 440 m2,
    # top width 115 m, rating exponent 1.58, reach 14 km, dt = 1 h, parameters at the peak.
    # Published answer: peak outflow 1093.39 m3/s at 8 h.
    inflow = [60.0 + 1050.0 * min(t / 7.0, (21.0 - t) / 14.0) if t <= 21 else 60.0 for t in range(30)]
    celerity = 1.58 * 1110.0 / 440.0
    courant = celerity * 3600.0 / 14000.0
    reynolds = (1110.0 / 115.0) / (0.001 * celerity * 14000.0)
    out = arr(k.muskingum_cunge_cell(inflow, courant, reynolds))
    assert round(out.max(), 2) == 1093.39 and out.argmax() == 8


@pytest.mark.parametrize(("base", "low", "high"), [(50.0, -2e-3, 2e-3), (5.0, 0.0, 0.05), (0.0, 0.0, 0.10)])
def test_muskingum_cunge_attenuates_and_bounds_its_volume_error(base, low, high):
    # The variable-parameter scheme is not exactly conservative (Tang, Knight and Samuels, 1999,
    # J. Hydraul. Eng. 125(6)): each step keeps the continuity of K (X I + (1 - X) O) with K and X
    # of its own reference flow, so the stored water is valued anew as they change (Todini, 2007,
    # Hydrol. Earth Syst. Sci. 11). Over a 50 cfs base flow K barely changes (-0.05 % here); on a
    # nearly dry reach K = dx / c grows as the flow falls and the reach gives out more than it
    # holds: 3.7 % over 5 cfs and 9.0 % into a dry bed on this 20-sub-reach grid. The bounds hold
    # those figures with some room and the sign: a change that lost water there, or gained more
    # than 10 %, changed the scheme.
    inflow = np.maximum(np.concatenate([hydrograph(13, 90) - 20.0, np.zeros(150)]), base)
    out = arr(k.muskingum_cunge_routing(inflow, 60000.0, 0.0008, 0.04, 60.0, 2.0, 1800.0))
    assert out.max() < inflow.max() and out.argmax() > inflow.argmax()
    assert out.min() >= 0.0
    assert low <= out.sum() / inflow.sum() - 1.0 <= high


def test_modified_puls_on_a_linear_table_is_a_linear_reservoir():
    # Storage S = K O makes the storage-indication step the trapezoidal linear reservoir:
    # O_t = ((I_{t-1} + I_t) + (2K/dt - 1) O_{t-1}) / (2K/dt + 1), to rounding.
    inflow = hydrograph(14, 50)
    kk, dt = 7200.0, 1800.0
    outflow = [0.0, 1.0e5]
    out = arr(k.modified_puls_routing(inflow, [kk * q for q in outflow], outflow, 1, dt))
    want = [inflow[0]]
    for t in range(1, len(inflow)):
        want.append(((inflow[t - 1] + inflow[t]) + (2 * kk / dt - 1) * want[-1]) / (2 * kk / dt + 1))
    np.testing.assert_allclose(out, want, rtol=1e-12)


def test_constant_monthly_baseflow_reads_the_month():
    flows = [float(m) * 10.0 for m in range(1, 13)]
    assert arr(k.constant_monthly_baseflow([1.0, 2.0, 12.0], flows)).tolist() == [10.0, 20.0, 120.0]


# ---- validation ----


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: k.scs_curve_number_loss([1.0], 0.0, 0.2, 0.0), "cn must lie in (0, 100], got 0"),
        (lambda: k.scs_curve_number_loss([1.0, -0.5], 80.0, 0.2, 0.0), "rain[1] must be finite and >= 0, got -0.5"),
        (lambda: k.initial_constant_loss([1.0], 0.1, 0.1, 1.5, 1.0), "impervious must lie in [0, 1], got 1.5"),
        (lambda: k.green_ampt_loss([1.0], 1.0, -1.0, 0.2, 0.0, 1.0), "conductivity must be finite and >= 0, got -1"),
        (lambda: k.scs_unit_hydrograph(1.0, 1300.0, 10.0, 0.5), "peak_rate_factor 1300 leaves the unit hydrograph"),
        (lambda: k.user_unit_hydrograph([0.0, 0.0], 1.0, 10.0, 0.5), "the unit hydrograph has no volume"),
        (lambda: k.snyder_unit_hydrograph(2.0, 1.5, 10.0, 0.5), "cp must lie in (0, 1], got 1.5"),
        (lambda: k.lag_routing([1.0], -1.0, 1.0), "lag must be finite and >= 0, got -1"),
        (lambda: k.lag_routing([1.0, math.nan], 1.0, 1.0), "inflow[1] must be finite and >= 0, got NaN"),
        (lambda: k.muskingum_cunge_routing([2.0, -1.0], 1e4, 0.001, 0.03, 5.0, 0.0, 60.0), "inflow[1] must be"),
        (lambda: k.muskingum_cunge_routing([1e300], 1e4, 0.001, 0.03, 5.0, 0.0, 60.0), "the channel's hydraulics"),
        (lambda: k.muskingum_cunge_routing([1.0], 1e4, 0.001, 0.03, 0.0, 0.0, 60.0), "bottom_width and side_slope"),
        (lambda: k.muskingum_cunge_routing([1.0, 2.0], 1e9, 0.001, 0.03, 5.0, 0.0, 3600.0), "the reach needs"),
        (lambda: k.modified_puls_routing([1.0], [0.0, 1.0], [0.0, 0.0], 1, 60.0), "outflow must increase strictly"),
        (lambda: k.modified_puls_routing([1.0], [0.0, 1.0], [0.0, 1.0], 0, 60.0), "sub_reaches must lie in [1, 1000]"),
        (lambda: k.recession_baseflow([1.0], 1.0, 0.0, 0.5, True, 1.0), "recession_constant must lie in (0, 1]"),
        (lambda: k.constant_monthly_baseflow([13.0], [1.0] * 12), "months[0] must be a month 1 to 12, got 13"),
    ],
)
def test_invalid_arguments_are_refused_with_their_name(call, message):
    with pytest.raises(ValueError) as error:
        call()
    assert str(error.value).startswith(message)


def test_a_unit_hydrograph_too_long_for_memory_is_refused_up_front():
    with pytest.raises(MemoryError):
        k.scs_unit_hydrograph(1e17, 484.0, 10.0, 1.0 / 60.0)


# ---- long calls ----


@pytest.mark.slow
def test_ctrl_c_stops_a_long_routing():
    setup = "inflow = 50.0 + 5000.0 * np.random.default_rng(1).random(4_000_000)"
    assert (
        reaction_to_ctrl_c(
            setup, "k.muskingum_cunge_routing(inflow, 1.0e7, 0.0002, 0.05, 10.0, 2.0, 3600.0)", timeout=60
        )
        < 0.5
    )


@pytest.mark.skipif(os.cpu_count() == 1, reason="needs a second core")
def test_a_long_routing_releases_the_interpreter():
    import threading

    inflow = 50.0 + 5000.0 * np.random.default_rng(1).random(100_000)
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = ticks
        k.muskingum_cunge_routing(inflow, 1.0e7, 0.0002, 0.05, 10.0, 2.0, 3600.0)  # some 0.2 s
        during = ticks - before
    finally:
        done.set()
        counter.join()
    assert during > 1000
