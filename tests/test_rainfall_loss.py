"""Deficit-and-constant rainfall loss (rainmill.rainfall_loss)."""

import math
from datetime import timedelta

import pytest
import rainmill

from models import bits, seconds_of

run = rainmill.rainfall_loss.run_deficit_and_constant
Result = rainmill.rainfall_loss.DeficitConstantResult
ITS = rainmill.utils.IncrementalTimeSeries
HOUR = timedelta(hours=1)


def nan_min(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return b if b < a else a


def nan_max(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return b if b > a else a


def model(rain, step_seconds, initial, maximum, rate, drying):
    drying_s = seconds_of(drying)
    step_h = float(step_seconds) / 3600.0
    r = 1.0 - math.exp(step_h / (drying_s / -3600.0)) if drying_s > 0.0 else 0.0
    c = rate * step_h
    d = initial
    excess, loss, deficit = [], [], []
    for p in rain:
        g = nan_max(maximum - d, 0.0)
        d = nan_min(g * r + d, maximum)
        e = l = 0.0
        if p > 0.0:
            k = nan_min(p, c)
            q = p - k
            f = nan_min(q, d)
            d = d - f
            e = q - f
            l = f + k
        excess.append(e)
        loss.append(l)
        deficit.append(d)
    return excess, loss, deficit


STORM = [0.0, 0.05, 0.3, 1.2, 0.8, 0.0, 0.0, 0.15, 0.02, 0.0, 0.4]


@pytest.mark.parametrize(
    "rain, step, initial, maximum, rate, drying",
    [
        (STORM, HOUR, 0.5, 1.0, 0.1, timedelta(hours=24)),
        (STORM, timedelta(minutes=15), 0.0, 2.5, 0.08, timedelta(days=3, microseconds=17)),
        (STORM, HOUR, 2.0, 1.0, 0.1, timedelta(0)),
        (STORM, HOUR, 0.3, 1.0, 0.5, HOUR),
        ([0.2, -0.4, math.nan, 0.7, math.inf, 0.1], HOUR, 0.5, 1.0, 0.1, timedelta(hours=6)),
        (STORM, HOUR, math.nan, 1.0, 0.1, timedelta(hours=6)),
        (STORM, HOUR, 0.5, math.nan, 0.1, timedelta(hours=6)),
        (STORM, HOUR, 0.5, 1.0, math.nan, timedelta(hours=6)),
        (STORM, HOUR, -0.5, -1.0, -0.2, timedelta(seconds=1)),
        (STORM, timedelta(seconds=1), 0.5, 1.0, 3600.0, timedelta(seconds=3, microseconds=1)),
    ],
)
def test_matches_model_bit_for_bit(rain, step, initial, maximum, rate, drying):
    result = run(ITS(rain, step, "rainfall"), initial, maximum, rate, drying)
    excess, loss, deficit = model(rain, int(step.total_seconds()), initial, maximum, rate, drying)
    assert bits(result.excess.data) == bits(excess)
    assert bits(result.loss.data) == bits(loss)
    assert bits(result.deficit.data) == bits(deficit)
    for series in (result.excess, result.loss, result.deficit):
        assert type(series) is ITS
        assert series.kind == "rainfall"
        assert series.time_step == step


@pytest.mark.parametrize(
    "rain, excess, loss, deficit",
    [
        (1.0, 0.4, 0.6, 0.0),  # c = 0.1 first, then 0.5 fills the deficit
        (0.05, 0.0, 0.05, 0.5),  # all of it is constant loss
        (0.0, 0.0, 0.0, 0.5),  # no drying time: the deficit stays
        (-1.0, 0.0, 0.0, 0.5),
        (math.nan, 0.0, 0.0, 0.5),
    ],
)
def test_single_step_examples(rain, excess, loss, deficit):
    result = run(ITS([rain], HOUR, "rainfall"), 0.5, 1.0, 0.1, timedelta(0))
    assert result.excess.data == [pytest.approx(excess, abs=1e-15)]
    assert result.loss.data == [pytest.approx(loss, abs=1e-15)]
    assert result.deficit.data == [deficit]


def test_dry_step_recovers_about_63_percent_of_the_gap():
    result = run(ITS([0.0, 0.0], HOUR, "rainfall"), 0.2, 1.0, 0.1, HOUR)
    gap_share = 1.0 - math.exp(-1.0)
    first = 0.2 + gap_share * 0.8
    assert result.deficit.data[0] == pytest.approx(first, rel=1e-15)
    assert result.deficit.data[1] == pytest.approx(first + gap_share * (1.0 - first), rel=1e-15)


def test_initial_deficit_above_capacity_is_cut_before_the_rain():
    result = run(ITS([0.0, 0.0], HOUR, "rainfall"), 2.0, 1.0, 0.0, timedelta(0))
    assert result.deficit.data == [1.0, 1.0]
    assert run(ITS([0.4], HOUR, "rainfall"), 2.0, 1.0, 0.0, timedelta(0)).deficit.data == [0.6]


def test_excess_plus_loss_is_the_rain():
    rain = [0.01 * i for i in range(1, 60)]
    result = run(ITS(rain, timedelta(minutes=30), "rainfall"), 0.7, 1.5, 0.12, timedelta(hours=9))
    for p, e, l in zip(rain, result.excess.data, result.loss.data):
        assert e + l == pytest.approx(p, rel=1e-14, abs=1e-15)
        assert e >= 0.0 and l >= 0.0


def test_empty_rainfall_gives_three_empty_series():
    result = run(ITS([], timedelta(minutes=5), "rainfall"), 0.5, 1.0, 0.1, HOUR)
    for series in (result.excess, result.loss, result.deficit):
        assert series.data == []
        assert series.time_step == timedelta(minutes=5)


def test_result_class():
    assert Result.__doc__ == "Results from the deficit-and-constant rainfall loss model."
    assert Result.__module__ == "builtins"
    with pytest.raises(TypeError):
        Result()
    assert Result.excess.__doc__ == ("Excess rainfall that becomes surface runoff (inches per time step).")
    assert Result.loss.__doc__ == ("Total infiltrated depth per time step (constant loss + deficit fill, inches).")
    assert Result.deficit.__doc__ == ("Running soil moisture deficit at the end of each time step (inches).")
    result = run(ITS([1.0], HOUR, "rainfall"), 0.5, 1.0, 0.1, HOUR)
    assert type(result) is Result
    assert result.excess is not result.excess
    result.excess.data.append(5.0)
    assert len(result.excess.data) == 1
    with pytest.raises(AttributeError):
        result.excess = result.loss


GOOD = dict(
    rainfall=ITS([1.0], HOUR, "rainfall"),
    initial_deficit=0.5,
    max_deficit=1.0,
    constant_loss_per_hr=0.1,
    time_to_dry=HOUR,
)


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"time_to_dry": 3600}, "argument 'time_to_dry': 'int' object is not an instance of 'timedelta'"),
        ({"time_to_dry": 1.5}, "argument 'time_to_dry': 'float' object is not an instance of 'timedelta'"),
        ({"rainfall": [1.0]}, "argument 'rainfall': 'list' object is not an instance of 'IncrementalTimeSeries'"),
        (
            {"rainfall": rainmill.utils.ContinuousTimeSeries([1.0], HOUR, "rainfall")},
            "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'",
        ),
        ({"initial_deficit": "0.5"}, "argument 'initial_deficit': "),
        ({"max_deficit": None}, "argument 'max_deficit': "),
        ({"constant_loss_per_hr": []}, "argument 'constant_loss_per_hr': "),
    ],
)
def test_conversion_errors_name_the_argument(changes, message):
    with pytest.raises(TypeError) as info:
        run(**{**GOOD, **changes})
    assert str(info.value).startswith(message)


def test_negative_drying_time_is_a_value_error():
    with pytest.raises(ValueError) as info:
        run(**{**GOOD, "time_to_dry": timedelta(microseconds=-1)})
    assert not str(info.value).startswith("argument")


def test_docstring():
    assert run.__text_signature__ == ("(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)")
    assert run.__module__ == "rainfall_loss"
    assert run.__doc__.startswith(
        "Separates gross rainfall into excess runoff and infiltration losses using the\ndeficit-and-constant model.\n\n"
    )
