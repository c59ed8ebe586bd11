"""Muskingum channel routing (rainmill.reach)."""

import math
import warnings
from datetime import timedelta

import pytest
import rainmill

from models import bits, seconds_of

route = rainmill.reach.run_muskingum_routing
CTS = rainmill.utils.ContinuousTimeSeries
RANGE_WARNING = "`x` is outside the recommended range [0.0, 0.5]."
HOUR = timedelta(hours=1)


def model_pass(inflow, dt, k, x, first=None):
    two_k = k + k
    a = (1.0 - x) * two_k
    b = two_k * x
    d = dt + a
    c0 = (dt - b) / d
    c1 = (b + dt) / d
    c2 = (a - dt) / d
    out = [inflow[0] if first is None else first]
    for t in range(1, len(inflow)):
        out.append(c2 * out[t - 1] + (c1 * inflow[t - 1] + c0 * inflow[t]))
    return out


def model_reach(inflow, dt, k, x, sub_reaches, initial):
    segment_k = seconds_of(k) / float(sub_reaches)
    out = model_pass(inflow, dt, segment_k, x, initial)
    for _ in range(1, sub_reaches):
        out = model_pass(out, dt, segment_k, x)
    return out


HYDROGRAPH = [10.0, 35.5, 120.25, 310.0, 250.0, 180.5, 99.0, 50.0, 20.0, 12.5, 10.0]
# Long enough to cross the pass's stages of 512 values and, at 750,001, its interrupt checks.
SHORT_WAVE = [50.0 + 40.0 * math.sin(i / 7.0) + (i % 13) * 0.37 for i in range(1500)]
LONG_WAVE = [100.0 + 90.0 * math.sin(i / 50.0) + (i % 17) * 0.11 for i in range(750_001)]


@pytest.mark.parametrize(
    "inflow, step, k, x, sub_reaches, initial",
    [
        (HYDROGRAPH, HOUR, timedelta(hours=2), 0.2, 1, 10.0),
        (HYDROGRAPH, HOUR, timedelta(hours=2), 0.2, 3, 7.5),
        (HYDROGRAPH, timedelta(minutes=15), timedelta(hours=5, microseconds=3), 0.35, 4, 0.0),
        (HYDROGRAPH, HOUR, timedelta(seconds=1234, microseconds=567891), 0.0, 2, 10.0),
        (HYDROGRAPH, HOUR, timedelta(hours=2), 0.5, 1, 10.0),
        (HYDROGRAPH, HOUR, timedelta(hours=2), -0.1, 1, 10.0),
        (HYDROGRAPH, HOUR, timedelta(hours=2), 0.6, 2, 10.0),
        (HYDROGRAPH, HOUR, timedelta(hours=2), 0.2, -3, 10.0),
        (HYDROGRAPH, HOUR, timedelta(0), 0.2, 1, 10.0),
        (HYDROGRAPH, timedelta(days=2), timedelta(days=1), 0.1, 5, 10.0),
        ([-5.0, math.inf, 3.0, 1.0], HOUR, timedelta(hours=2), 0.2, 1, 0.0),
        (SHORT_WAVE, HOUR, timedelta(hours=7), 0.3, 3, 44.0),
        (LONG_WAVE, HOUR, timedelta(hours=6), 0.2, 1, 210.0),
    ],
)
def test_matches_model_bit_for_bit(inflow, step, k, x, sub_reaches, initial):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = route(CTS(inflow, step, "elevation"), k, x, sub_reaches, initial)
    expected = model_reach(inflow, float(step.total_seconds()), k, x, sub_reaches, initial)
    assert bits(result.data) == bits(expected)
    assert result.kind == "discharge"
    assert result.time_step == step


def test_coefficient_example():
    # dt = 3600 s, k = 2 h, x = 0.2: 2K = 14400, a = 11520, b = 2880, D = 15120.
    # A unit pulse in one term of the recurrence isolates each coefficient.
    k = timedelta(hours=2)
    current_in = route(CTS([0.0, 1.0], HOUR, "discharge"), k, 0.2, 1, 0.0).data[1]
    previous_in = route(CTS([1.0, 0.0], HOUR, "discharge"), k, 0.2, 1, 0.0).data[1]
    previous_out = route(CTS([0.0, 0.0], HOUR, "discharge"), k, 0.2, 1, 1.0).data[1]
    assert current_in == 720.0 / 15120.0
    assert previous_in == 6480.0 / 15120.0
    assert previous_out == 7920.0 / 15120.0


def test_steady_flow_passes_unchanged():
    result = route(CTS([250.0] * 8, HOUR, "discharge"), timedelta(hours=2), 0.2, 1, 250.0)
    assert result.data == [250.0] * 8


def test_two_sub_reaches_equal_two_chained_reaches():
    inflow = CTS(HYDROGRAPH, HOUR, "discharge")
    split = route(inflow, timedelta(hours=2), 0.2, 2, 10.0)
    first = route(inflow, timedelta(hours=1), 0.2, 1, 10.0)
    second = route(first, timedelta(hours=1), 0.2, 1, first.data[0])
    assert bits(split.data) == bits(second.data)


@pytest.mark.parametrize("x, sub_reaches", [(0.2, 1), (0.0, 3), (0.9, 0), (-1.0, -2)])
def test_single_value_is_the_initial_outflow(x, sub_reaches):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = route(CTS([99.0], HOUR, "discharge"), timedelta(hours=3), x, sub_reaches, 4.25)
    assert result.data == [4.25]


@pytest.mark.parametrize("k", [timedelta(hours=2), timedelta(0)])
def test_zero_sub_reaches_gives_nan_after_initial(k):
    result = route(CTS([1.0, 2.0, 3.0], HOUR, "discharge"), k, 0.2, 0, 5.0)
    assert result.data[0] == 5.0
    assert all(math.isnan(v) for v in result.data[1:])


@pytest.mark.parametrize("x", [0.0, 0.25, 0.5])
def test_in_range_does_not_warn(x):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        route(CTS(HYDROGRAPH, HOUR, "discharge"), timedelta(hours=2), x, 1, 10.0)


@pytest.mark.parametrize("x", [0.6, -0.1, math.nan, math.inf])
def test_out_of_range_warns_once_and_still_routes(x):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = route(CTS([1.0, 2.0], HOUR, "discharge"), timedelta(hours=2), x, 1, 1.0)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, RANGE_WARNING)]
    assert bits(result.data) == bits(model_pass([1.0, 2.0], 3600.0, 7200.0, x, 1.0))


def test_warning_turned_into_error_ends_the_call():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=r"recommended range \[0\.0, 0\.5\]"):
            route(CTS([1.0], HOUR, "discharge"), timedelta(hours=2), 0.7, 1, 1.0)
        # The warning precedes the reading of k: a negative k is never reached.
        with pytest.raises(UserWarning):
            route(CTS([1.0], HOUR, "discharge"), timedelta(hours=-2), 0.7, 1, 1.0)


def test_negative_k_is_a_value_error_after_the_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError):
            route(CTS([1.0, 2.0], HOUR, "discharge"), timedelta(seconds=-1), 0.8, 1, 1.0)
    assert len(caught) == 1


def test_empty_inflow_panics_after_the_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(BaseException) as info:
            route(CTS([], HOUR, "discharge"), timedelta(hours=2), 0.8, 1, 1.0)
    assert type(info.value).__qualname__ == "PanicException"
    assert type(info.value).__module__ == "kiln_runtime"
    assert not isinstance(info.value, Exception)
    assert len(caught) == 1
    with pytest.raises(BaseException) as again:
        route(CTS([], HOUR, "discharge"), timedelta(hours=2), 0.2, 1, 1.0)
    assert type(again.value) is type(info.value)


GOOD = dict(inflow=CTS([1.0, 2.0], HOUR, "discharge"), k=HOUR, x=0.2, sub_reaches=1, initial_outflow=1.0)


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"k": 3600.0}, "argument 'k': 'float' object is not an instance of 'timedelta'"),
        ({"k": 3600}, "argument 'k': 'int' object is not an instance of 'timedelta'"),
        ({"initial_outflow": None}, "argument 'initial_outflow': "),
        ({"inflow": [1.0, 2.0]}, "argument 'inflow': 'list' object is not an instance of 'ContinuousTimeSeries'"),
        (
            {"inflow": rainmill.utils.IncrementalTimeSeries([1.0], HOUR, "rainfall")},
            "argument 'inflow': 'IncrementalTimeSeries' object is not an instance of 'ContinuousTimeSeries'",
        ),
        ({"x": "0.2"}, "argument 'x': "),
        ({"sub_reaches": 1.0}, "argument 'sub_reaches': "),
        # Conversion runs in parameter order: the inflow is reported first.
        ({"inflow": None, "k": 1.0}, "argument 'inflow': 'None' is not an instance of 'ContinuousTimeSeries'"),
    ],
)
def test_conversion_errors_name_the_argument(changes, message):
    with pytest.raises(TypeError) as info:
        route(**{**GOOD, **changes})
    assert str(info.value).startswith(message)


def test_initial_outflow_cannot_be_left_out():
    with pytest.raises(TypeError) as info:
        route(CTS([1.0], HOUR, "discharge"), HOUR, 0.2, 1)
    assert str(info.value) == ("run_muskingum_routing() missing 1 required positional argument: 'initial_outflow'")


def test_docstring():
    assert route.__text_signature__ == "(inflow, k, x, sub_reaches, initial_outflow)"
    assert route.__module__ == "reach"
    assert route.__doc__.startswith(
        "Routes an inflow hydrograph through a channel reach using the Muskingum method.\n\n"
    )
    assert route.__doc__.endswith("outflow values at the\nsame time step as `inflow`.")
