"""Argument binding, conversion and error reporting, seen through the time-series classes.

The other subsystems' tests check the frame through their own callables (optional values, maps,
enumerations, bool, unsigned sizes)."""

import datetime
import math

import numpy as np
import pytest
import rainmill

CTS = rainmill.utils.ContinuousTimeSeries
ITS = rainmill.utils.IncrementalTimeSeries
HOUR = datetime.timedelta(hours=1)


def incremental():
    return ITS([1.0, 2.0], HOUR, "rainfall")


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: CTS(),
            "ContinuousTimeSeries.__new__() missing 3 required positional arguments: 'data', 'time_step', and 'kind'",
        ),
        (
            lambda: CTS([1.0]),
            "ContinuousTimeSeries.__new__() missing 2 required positional arguments: 'time_step' and 'kind'",
        ),
        (lambda: CTS([1.0], HOUR), "ContinuousTimeSeries.__new__() missing 1 required positional argument: 'kind'"),
        (
            lambda: CTS(kind="volume"),
            "ContinuousTimeSeries.__new__() missing 2 required positional arguments: 'data' and 'time_step'",
        ),
        (
            lambda: CTS([1.0], HOUR, "volume", 4),
            "ContinuousTimeSeries.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: CTS([1.0], HOUR, "volume", size=3),
            "ContinuousTimeSeries.__new__() got an unexpected keyword argument 'size'",
        ),
        (
            lambda: CTS([1.0], HOUR, data=[2.0]),
            "ContinuousTimeSeries.__new__() got multiple values for argument 'data'",
        ),
        (
            lambda: CTS([1.0], time_step=HOUR, time_step2=HOUR),
            "ContinuousTimeSeries.__new__() got an unexpected keyword argument 'time_step2'",
        ),
        (
            lambda: incremental().disaggregate(),
            "IncrementalTimeSeries.disaggregate() missing 1 required positional argument: 'target_step'",
        ),
        (
            lambda: incremental().disaggregate(60, 30),
            "IncrementalTimeSeries.disaggregate() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: incremental().disaggregate(60, target_step=30),
            "IncrementalTimeSeries.disaggregate() got multiple values for argument 'target_step'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        # Too many positional arguments wins over everything else.
        (lambda: CTS(1, 2, 3, 4, bogus=1), "takes 3 positional arguments but 4 were given"),
        # Unknown keywords are reported before missing arguments...
        (lambda: CTS(bogus=1), "got an unexpected keyword argument 'bogus'"),
        # ...and binding errors before any conversion error.
        (lambda: CTS("not a vector", kind=3), "missing 1 required positional argument: 'time_step'"),
        # Keywords are matched in the order given.
        (lambda: CTS([1.0], HOUR, kind="volume", data=[1.0], other=2), "got multiple values for argument 'data'"),
    ],
)
def test_binding_precedence(call, message):
    with pytest.raises(TypeError, match=None) as info:
        call()
    assert str(info.value).endswith(message)


def test_keywords_in_any_order():
    series = CTS(kind="volume", time_step=HOUR, data=(1.0, 2.0))
    assert (series.data, series.kind, series.total_duration()) == ([1.0, 2.0], "volume", 3600)


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "data, expected",
    [
        ((1.5, 2.5), [1.5, 2.5]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x01\x02", [1.0, 2.0]),
        (np.array([0.25, -1.0]), [0.25, -1.0]),
        ([True, 2**53 + 1, FloatLike(0.5), IndexLike()], [1.0, 9007199254740992.0, 0.5, 7.0]),
        ([np.float32(0.1)], [float(np.float32(0.1))]),
        ([], []),
    ],
)
def test_float_vector_accepts_sequences(data, expected):
    assert CTS(data, HOUR, "discharge").data == expected


def test_float_vector_round_trips_every_double():
    values = [0.1, -0.0, math.inf, -math.inf, 5e-324, 1.7976931348623157e308]
    data = CTS(values + [math.nan], HOUR, "discharge").data
    assert [math.copysign(1, v) for v in data[:-1]] == [math.copysign(1, v) for v in values]
    assert data[:-1] == values and math.isnan(data[-1])


@pytest.mark.parametrize(
    "data, error, message",
    [
        ("1.0", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ((x for x in [1.0]), TypeError, "argument 'data': 'generator' object is not an instance of 'Sequence'"),
        ({1.0: 2.0}, TypeError, "argument 'data': 'dict' object is not an instance of 'Sequence'"),
        ({1.0}, TypeError, "argument 'data': 'set' object is not an instance of 'Sequence'"),
        (None, TypeError, "argument 'data': 'None' is not an instance of 'Sequence'"),
        (5, TypeError, "argument 'data': 'int' object is not an instance of 'Sequence'"),
    ],
)
def test_float_vector_refusals(data, error, message):
    with pytest.raises(error) as info:
        CTS(data, HOUR, "discharge")
    assert str(info.value) == message


def test_float_vector_item_errors():
    with pytest.raises(TypeError) as info:
        CTS([1.0, "2"], HOUR, "discharge")
    assert str(info.value).startswith("argument 'data': ")
    assert "str" in str(info.value)
    # Not a TypeError: passes through without the argument prefix.
    with pytest.raises(OverflowError) as info:
        CTS([10**400], HOUR, "discharge")
    assert not str(info.value).startswith("argument")


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class SubTypeError(TypeError):
    pass


def test_only_an_exact_type_error_gets_the_prefix():
    for error in (ValueError("bad value"), SubTypeError("sub"), ZeroDivisionError("zero")):
        with pytest.raises(type(error)) as info:
            CTS([Raising(error)], HOUR, "discharge")
        assert info.value is error


def test_wrapped_error_keeps_the_first_errors_cause():
    root = KeyError("root")
    first = TypeError("first")
    first.__cause__ = root
    with pytest.raises(TypeError) as info:
        CTS([Raising(first)], HOUR, "discharge")
    assert str(info.value) == "argument 'data': first"
    assert info.value is not first
    assert info.value.__cause__ is root


def test_conversion_is_a_copy_and_tolerates_a_list_changed_during_it():
    data = [1.0, 2.0]
    series = CTS(data, HOUR, "discharge")
    data.append(3.0)
    assert series.data == [1.0, 2.0]

    victim = [1.0, None, 3.0, 4.0]

    class Shrinker:
        def __float__(self):
            del victim[2:]
            return 2.0

    victim[1] = Shrinker()
    assert CTS(victim, HOUR, "discharge").data == [1.0, 2.0]


def test_a_lying_length_does_not_matter():
    class Odd:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 2:
                return float(i)
            raise IndexError

    class Huge(Odd):
        def __len__(self):
            return 2**62

    assert CTS(Odd(), HOUR, "discharge").data == [0.0, 1.0]
    assert CTS(Huge(), HOUR, "discharge").data == [0.0, 1.0]


def test_iteration_error_passes_unchanged():
    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise LookupError("broken sequence")

    with pytest.raises(LookupError, match="broken sequence"):
        CTS(Broken(), HOUR, "discharge")


@pytest.mark.parametrize(
    "kind, error, message",
    [
        (3, TypeError, "argument 'kind': 'int' object is not an instance of 'str'"),
        (None, TypeError, "argument 'kind': 'None' is not an instance of 'str'"),
        (b"discharge", TypeError, "argument 'kind': 'bytes' object is not an instance of 'str'"),
    ],
)
def test_text_refusals(kind, error, message):
    with pytest.raises(error) as info:
        CTS([1.0], HOUR, kind)
    assert str(info.value) == message


def test_text_subclass_and_unencodable_text():
    class Kind(str):
        pass

    assert CTS([1.0], HOUR, Kind("volume")).kind == "volume"
    with pytest.raises(UnicodeEncodeError):
        CTS([1.0], HOUR, "\ud800")


@pytest.mark.parametrize(
    "target, error, prefixed",
    [
        (900.0, TypeError, True),
        (datetime.timedelta(minutes=15), TypeError, True),
        ("900", TypeError, True),
        (None, TypeError, True),
        (2**31, OverflowError, False),
        (-(2**31) - 1, OverflowError, False),
        (10**30, OverflowError, False),
    ],
)
def test_int32_refusals(target, error, prefixed):
    with pytest.raises(error) as info:
        incremental().disaggregate(target)
    assert type(info.value) is error
    assert str(info.value).startswith("argument 'target_step': ") == prefixed


def test_int32_accepts_index_and_bool_like_ints():
    class Step:
        def __index__(self):
            return 1800

    assert incremental().disaggregate(Step()).time_step == datetime.timedelta(seconds=1800)
    with pytest.raises(ValueError, match="target_step must be >= 30 seconds."):
        incremental().disaggregate(True)


def test_timedelta_subclass_is_accepted():
    class Step(datetime.timedelta):
        pass

    assert CTS([1.0], Step(minutes=2), "volume").time_step == datetime.timedelta(minutes=2)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: rainmill.metrics.calculate_kge([1.0], [1.0], False, 4),
            "calculate_kge() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: rainmill.reservoir.reservoir_utils.ConstantDischargeInfo(1.0, 2.0, 3.0, 4.0),
            "ConstantDischargeInfo.__new__() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: rainmill.metrics.calculate_kge(obs=[1.0]),
            "calculate_kge() missing 1 required positional argument: 'sim'",
        ),
    ],
)
def test_binding_messages_with_optional_parameters(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def fake_numpy_bool(name, **namespace):
    return type(name, (), dict(namespace, __module__="numpy"))()


def test_bool_accepts_only_bool_or_a_numpy_boolean():
    kge = rainmill.metrics.calculate_kge
    sim, obs = [1.0, 2.0, 3.0], [1.0, 2.0, 4.0]
    assert kge(sim, obs, np.bool_(True)) == kge(sim, obs, True)
    assert kge(sim, obs, fake_numpy_bool("bool", __bool__=lambda self: True)) == kge(sim, obs, True)
    for refused in (1, 0, None, 1.0, "True", np.int64(1)):
        with pytest.raises(TypeError) as info:
            kge(sim, obs, refused)
        assert str(info.value).startswith("argument 'use_log': ")
    with pytest.raises(AttributeError) as info:
        kge(sim, obs, fake_numpy_bool("bool_"))
    assert str(info.value) == "object of type 'bool_' does not define a '__bool__' conversion"
    with pytest.raises(TypeError) as info:
        kge(sim, obs, fake_numpy_bool("bool_", __bool__=lambda self: 1))
    assert str(info.value) == "argument 'use_log': 'int' object is not an instance of 'bool'"
    # A type named bool_ outside numpy is no NumPy boolean.
    with pytest.raises(TypeError):
        kge(sim, obs, type("bool_", (), {"__bool__": lambda self: True})())
