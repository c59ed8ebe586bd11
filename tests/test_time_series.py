"""ContinuousTimeSeries and IncrementalTimeSeries: construction, getters, durations, disaggregation."""

import datetime

import pytest
import rainmill
from hypothesis import given
from hypothesis import strategies as st

CTS = rainmill.utils.ContinuousTimeSeries
ITS = rainmill.utils.IncrementalTimeSeries
td = datetime.timedelta
KIND_MESSAGE = 'kind must be one of ["discharge", "rainfall", "elevation", "volume"]; got '
BOTH = pytest.mark.parametrize("cls", [CTS, ITS])


def test_continuous_example():
    series = CTS([1.0, 2.0, 3.0], td(minutes=15), "discharge")
    assert series.total_duration() == 1800
    assert series.time_step == td(seconds=900)
    assert series.data == [1.0, 2.0, 3.0]
    assert series.kind == "discharge"


def test_incremental_durations():
    assert ITS([1.0, 2.0], td(hours=1), "rainfall").total_duration() == 7200
    assert ITS([], td(hours=1), "rainfall").total_duration() == 0
    # A series without points spans nothing (not -time_step).
    assert CTS([], td(hours=1), "volume").total_duration() == 0
    assert CTS([4.0], td(hours=1), "volume").total_duration() == 0


@BOTH
@pytest.mark.parametrize(
    "step, stored",
    [
        (td(seconds=90.7), td(seconds=90)),
        (td(seconds=90000), td(days=1, seconds=3600)),
        (td(days=30000), td(seconds=2147483647)),
        (td(seconds=1), td(seconds=1)),
    ],
)
def test_time_step_reduction(cls, step, stored):
    series = cls([], step, "volume")
    assert series.time_step == stored
    assert series.time_step.microseconds == 0


@BOTH
@pytest.mark.parametrize(
    "step, kind, error, message",
    [
        (td(milliseconds=999), "discharge", ValueError, "time_step must be > 0"),
        (td(0), "discharge", ValueError, "time_step must be > 0"),
        (td(seconds=-60), "discharge", ValueError, "negative"),
        (60, "discharge", TypeError, "argument 'time_step': 'int' object is not an instance of 'timedelta'"),
        (None, "discharge", TypeError, "argument 'time_step': 'None' is not an instance of 'timedelta'"),
        (td(hours=1), "Discharge", ValueError, KIND_MESSAGE + "'Discharge'"),
        (td(hours=1), "discharge ", ValueError, KIND_MESSAGE + "'discharge '"),
        (td(hours=1), "flow", ValueError, KIND_MESSAGE + "'flow'"),
        # The time step's type is checked before the kind...
        (60, "Discharge", TypeError, "'timedelta'"),
        # ...but the kind before the time step's value.
        (td(seconds=-60), "Discharge", ValueError, KIND_MESSAGE + "'Discharge'"),
        (td(milliseconds=5), "x", ValueError, KIND_MESSAGE + "'x'"),
    ],
)
def test_construction_failures(cls, step, kind, error, message):
    with pytest.raises(error) as info:
        cls([1.0], step, kind)
    assert type(info.value) is error
    assert message in str(info.value)
    if message.startswith(("kind", "time_step", "argument")):
        assert str(info.value) == message or str(info.value).endswith(message)


@BOTH
def test_getters_return_fresh_objects(cls):
    series = cls([1.0, 2.0], td(hours=2), "rainfall")
    first, second = series.data, series.data
    assert first == second and first is not second
    first.append(99.0)
    assert series.data == [1.0, 2.0]
    assert series.time_step is not series.time_step
    assert series.kind == "rainfall"


@pytest.mark.parametrize(
    "step, data, target, expected",
    [
        (3600, [1.2, 0.6], 1800, [1.2 * (1800 / 3600)] * 2 + [0.6 * (1800 / 3600)] * 2),
        (3600, [1.2, 0.6], 3600, [1.2, 0.6]),
        (60, [1.0], 30, [0.5, 0.5]),
        (90, [1.0, 0.3], 30, [1.0 * (30 / 90)] * 3 + [0.3 * (30 / 90)] * 3),
        (3600, [], 900, []),
    ],
)
def test_disaggregate(step, data, target, expected):
    result = ITS(data, td(seconds=step), "rainfall").disaggregate(target)
    assert type(result) is ITS
    assert result.data == expected
    assert result.time_step == td(seconds=target)
    assert result.kind == "rainfall"


def test_disaggregate_example_values():
    result = ITS([1.2, 0.6], td(hours=1), "rainfall").disaggregate(target_step=1800)
    assert result.data == [0.6, 0.6, 0.3, 0.3]


@pytest.mark.parametrize(
    "target, message",
    [
        (29, "target_step must be >= 30 seconds."),
        (-60, "target_step must be >= 30 seconds."),
        (0, "target_step must be >= 30 seconds."),
        (7200, "Original time_step (3600) must be a multiple of target_step (7200)."),
        (7, "target_step must be >= 30 seconds."),
        (1000, "Original time_step (3600) must be a multiple of target_step (1000)."),
    ],
)
def test_disaggregate_failures(target, message):
    with pytest.raises(ValueError) as info:
        ITS([1.0], td(hours=1), "rainfall").disaggregate(target)
    assert str(info.value) == message


def test_disaggregate_of_a_subclass_is_a_plain_series():
    class Storm(ITS):
        pass

    result = Storm([1.0], td(minutes=2), "rainfall").disaggregate(60)
    assert type(result) is ITS


@given(
    st.lists(st.floats(allow_nan=False), max_size=20),
    st.sampled_from([(3600, 900), (3600, 1200), (900, 30), (86400, 3600), (90, 45)]),
)
def test_disaggregate_scales_each_value_once(values, steps):
    step, target = steps
    result = ITS(values, td(seconds=step), "volume").disaggregate(target)
    factor = target / step
    copies = step // target
    assert result.data == [v * factor for v in values for _ in range(copies)]
