"""Clark unit hydrograph (rainmill.rainfall_transform)."""

import math
import time
from datetime import timedelta

import pytest
import rainmill

from models import bits, seconds_of

clark = rainmill.rainfall_transform.run_clark_uh
ITS = rainmill.utils.IncrementalTimeSeries
HOUR = timedelta(hours=1)


def time_area(x):
    if x < 0.5:
        return 1.414 * math.pow(x, 1.5)
    return 1.0 - 1.414 * math.pow(1.0 - x, 1.5)


def model_unit_hydrograph(dt, tc, r, area):
    n = math.ceil(tc / dt)
    translation, previous = [], 0.0
    for i in range(1, n + 1):
        a = time_area(min((i * dt) / tc, 1.0))
        translation.append((a - previous) * area * 1.00833 / (dt / 3600.0))
        previous = a
    # The reservoir as a Muskingum pass with x = 0, in its general form.
    two_k = r + r
    a, b = (1.0 - 0.0) * two_k, two_k * 0.0
    d = dt + a
    c0, c1, c2 = (dt - b) / d, (b + dt) / d, (a - dt) / d
    routed = [0.0]
    for t in range(1, n):
        routed.append(c2 * routed[t - 1] + (c1 * translation[t - 1] + c0 * translation[t]))
    return routed


def model(rain, step, area, tc, storage):
    dt, tc_s, r = float(step.total_seconds()), seconds_of(tc), seconds_of(storage)
    if not (tc_s > 0.0 and dt > 0.0):
        return [0.0] * len(rain)
    uh = model_unit_hydrograph(dt, tc_s, r, area)
    q = [0.0] * (len(rain) + len(uh) - 1)
    for i, p in enumerate(rain):
        if p == 0.0:
            continue
        for j, u in enumerate(uh):
            q[i + j] = u * p + q[i + j]
    return q


def test_two_hour_tc_example():
    result = clark(ITS([1.0], HOUR, "rainfall"), 640.0, timedelta(hours=2), HOUR)
    # A(0.5) uses the second branch; U = [0, (T0 + T1) / 3].
    a_half = 1.0 - 1.414 * math.pow(0.5, 1.5)
    t0 = a_half * 640.0 * 1.00833 / 1.0
    t1 = (1.0 - a_half) * 640.0 * 1.00833 / 1.0
    third = 3600.0 / 10800.0
    expected = [0.0, third * t0 + third * t1 + (7200.0 - 3600.0) / 10800.0 * 0.0]
    assert bits(result.data) == bits(expected)
    assert result.data == [0.0, pytest.approx(215.1104, abs=5e-5)]
    assert result.kind == "discharge"
    assert result.time_step == HOUR
    assert type(result) is rainmill.utils.ContinuousTimeSeries


def test_four_hour_tc_example():
    rain = [1.0, 0.5]
    result = clark(ITS(rain, HOUR, "rainfall"), 640.0, timedelta(hours=4), HOUR)
    assert bits(result.data) == bits(model(rain, HOUR, 640.0, timedelta(hours=4), HOUR))
    assert result.data == pytest.approx([0.0, 107.571, 228.712, 253.311, 82.924], abs=1e-3)
    uh = model_unit_hydrograph(3600.0, 14400.0, 3600.0, 640.0)
    assert uh == pytest.approx([0.0, 107.571, 174.926, 165.848], abs=1e-3)


STORM = [0.0, 0.12, 0.4, 0.0, 0.75, 0.3, 0.0, 0.0, 0.05]


@pytest.mark.parametrize(
    "rain, step, area, tc, storage",
    [
        (STORM, HOUR, 640.0, timedelta(hours=5, minutes=20), timedelta(hours=3)),
        (
            STORM,
            timedelta(minutes=10),
            1234.5,
            timedelta(hours=2, microseconds=7),
            timedelta(minutes=45, seconds=1, microseconds=999999),
        ),
        (STORM, timedelta(minutes=5), 80.0, timedelta(hours=1, minutes=2, seconds=3), timedelta(0)),
        (STORM, HOUR, -50.0, timedelta(hours=3), HOUR),
        (STORM, HOUR, 0.0, timedelta(hours=3), HOUR),
        ([-0.2, 0.3, -0.0, 1e300], HOUR, 640.0, timedelta(hours=3), timedelta(minutes=20)),
        (STORM, timedelta(days=1), 640.0, timedelta(days=10), timedelta(days=2)),
        (STORM, timedelta(seconds=1), 640.0, timedelta(seconds=200), timedelta(seconds=50)),
    ],
)
def test_matches_model_bit_for_bit(rain, step, area, tc, storage):
    result = clark(ITS(rain, step, "rainfall"), area, tc, storage)
    assert bits(result.data) == bits(model(rain, step, area, tc, storage))
    assert result.time_step == step


@pytest.mark.parametrize("tc", [timedelta(minutes=30), HOUR, timedelta(seconds=1)])
def test_tc_within_one_step_gives_zeros(tc):
    # n = 1 and U = [0]: every output is zero and there are L of them.
    result = clark(ITS([1.0, 2.0, 0.5], HOUR, "rainfall"), 640.0, tc, HOUR)
    assert result.data == [0.0, 0.0, 0.0]


def test_zero_tc_gives_zeros_of_the_rainfall_length():
    result = clark(ITS([1.0, 2.0, 0.5, 0.0], HOUR, "rainfall"), 640.0, timedelta(0), HOUR)
    assert result.data == [0.0] * 4
    assert clark(ITS([], HOUR, "rainfall"), 640.0, timedelta(0), HOUR).data == []


def test_empty_rainfall_gives_n_minus_one_zeros():
    result = clark(ITS([], HOUR, "rainfall"), 640.0, timedelta(hours=5, minutes=1), HOUR)
    assert result.data == [0.0] * 5


def test_nan_rainfall_touches_exactly_n_outputs():
    result = clark(ITS([0.0, math.nan, 0.0], HOUR, "rainfall"), 640.0, timedelta(hours=3), HOUR)
    assert len(result.data) == 5
    assert [math.isnan(v) for v in result.data] == [False, True, True, True, False]


def test_zero_rainfall_is_skipped():
    # With an infinite area U holds inf; 0 x inf would be NaN had the dry step
    # been convolved.
    result = clark(ITS([0.0, -0.0, 1.0], HOUR, "rainfall"), math.inf, timedelta(hours=3), HOUR)
    assert result.data[:3] == [0.0, 0.0, 0.0]
    assert result.data[3:] == [math.inf, math.inf]


def test_zero_rainfall_costs_no_work():
    # A million ordinates behind ten thousand dry steps: convolving the dry
    # steps would be 10^10 multiply-adds; skipping them leaves one pass.
    rain = [0.0] * 10_000 + [1.0]
    started = time.perf_counter()
    result = clark(ITS(rain, timedelta(seconds=1), "rainfall"), 640.0, timedelta(seconds=1_000_000), HOUR)
    elapsed = time.perf_counter() - started
    assert len(result.data) == 10_000 + 1_000_000
    assert result.data[:10_001] == [0.0] * 10_001
    assert elapsed < 2.0


@pytest.mark.parametrize("tc", [timedelta(days=999_999_999), timedelta(days=100_000_000)])
def test_ordinate_count_too_large_is_a_memory_error(tc):
    started = time.perf_counter()
    with pytest.raises(MemoryError):
        clark(ITS([1.0], timedelta(seconds=1), "rainfall"), 640.0, tc, HOUR)
    assert time.perf_counter() - started < 1.0


def test_loss_then_disaggregate_then_transform():
    class Gross(ITS):
        pass

    gross = Gross([0.4, 1.3, 0.2], timedelta(minutes=30), "rainfall")
    excess = rainmill.rainfall_loss.run_deficit_and_constant(gross, 0.3, 1.0, 0.1, timedelta(hours=12)).excess
    assert type(excess) is ITS and gross.data == [0.4, 1.3, 0.2]
    fine = excess.disaggregate(600)
    result = clark(fine, 500.0, timedelta(hours=1, minutes=5), timedelta(minutes=40))
    expected = model(fine.data, timedelta(minutes=10), 500.0, timedelta(hours=1, minutes=5), timedelta(minutes=40))
    assert bits(result.data) == bits(expected)
    assert result.time_step == timedelta(minutes=10)


GOOD = dict(rainfall=ITS([1.0], HOUR, "rainfall"), basin_area=640.0, tc=HOUR, storage_r=HOUR)


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"tc": 7200.0}, "argument 'tc': 'float' object is not an instance of 'timedelta'"),
        ({"tc": 2}, "argument 'tc': 'int' object is not an instance of 'timedelta'"),
        ({"storage_r": 3600}, "argument 'storage_r': 'int' object is not an instance of 'timedelta'"),
        ({"basin_area": "640"}, "argument 'basin_area': "),
        ({"rainfall": [1.0]}, "argument 'rainfall': 'list' object is not an instance of 'IncrementalTimeSeries'"),
        (
            {"rainfall": rainmill.utils.ContinuousTimeSeries([1.0], HOUR, "rainfall")},
            "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'",
        ),
        # Both types are checked before either value is read.
        (
            {"tc": timedelta(hours=-1), "storage_r": None},
            "argument 'storage_r': 'None' is not an instance of 'timedelta'",
        ),
    ],
)
def test_conversion_errors_name_the_argument(changes, message):
    with pytest.raises(TypeError) as info:
        clark(**{**GOOD, **changes})
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("changes", [{"tc": timedelta(hours=-1)}, {"storage_r": timedelta(seconds=-1)}])
def test_negative_duration_is_a_value_error(changes):
    with pytest.raises(ValueError) as info:
        clark(**{**GOOD, **changes})
    assert not str(info.value).startswith("argument")


def test_missing_argument_message():
    with pytest.raises(TypeError) as info:
        clark(GOOD["rainfall"], 640.0, HOUR)
    assert str(info.value) == "run_clark_uh() missing 1 required positional argument: 'storage_r'"


def test_docstring():
    assert clark.__text_signature__ == "(rainfall, basin_area, tc, storage_r)"
    assert clark.__module__ == "rainfall_transform"
    assert clark.__doc__.startswith(
        "Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n\n# Arguments\n\n"
    )
