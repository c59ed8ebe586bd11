"""Any arguments, however wrong, end in an exception or a result: never a crash. Run under the
sanitizer build too, where a memory error aborts the run.

The value pools stay small enough that valid calls finish quickly (no multi-day time steps at
one-second routing resolution, no chains of billions of reservoirs)."""

import datetime
import math

import rainmill
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

td = datetime.timedelta
u = rainmill.utils
ru = rainmill.reservoir.reservoir_utils

NUMBERS = [0, 1, -1, 7, 0.5, -0.25, 100.0, 105.0, math.nan, math.inf, -math.inf, 1e300, True, 2**70, -(2**70)]
TEXTS = ["", "discharge", "rainfall", "volume", "\ud800", "Discharge"]
STEPS = [td(0), td(seconds=1), td(seconds=-1), td(milliseconds=999), td(minutes=15), td(hours=1)]
VECTORS = [[], [1.0], [0.0, 5.0, 2.0], [math.nan, 1.0], (1, 2, 3), range(4), [100.0, 110.0, 120.0], "abc"]


def series():
    return st.builds(
        lambda cls, data, step, kind: cls(data, step, kind),
        st.sampled_from([u.ContinuousTimeSeries, u.IncrementalTimeSeries]),
        st.sampled_from([v for v in VECTORS if not isinstance(v, str)]),
        st.sampled_from([s for s in STEPS if s >= td(seconds=1)]),
        st.sampled_from(["discharge", "rainfall"]),
    )


def curves():
    return st.sampled_from(
        [
            ru.ElevationStorage([100.0, 110.0, 120.0], [0.0, 1000.0, 5000.0]),
            ru.ElevationStorage([], []),
            ru.ElevationStorage([100.0], [5.0]),
        ]
    )


def ratings():
    return st.sampled_from(
        [
            ru.ElevationDischarge([100.0, 110.0], [0.0, 50.0]),
            ru.ElevationDischarge([90.0, 95.0, 130.0], [0.0, 0.0, 10.0]),
        ]
    )


def outlets():
    return st.one_of(
        st.builds(
            ru.ConstantDischargeInfo,
            st.sampled_from(NUMBERS[:12]),
            st.sampled_from([None, 100.0, math.nan]),
            st.sampled_from([None, 115.0]),
        ),
        st.builds(
            ru.ControlledDischargeInfo,
            ratings(),
            st.sampled_from([None, 90.0, math.nan]),
            st.sampled_from([None, 105.0]),
            st.sampled_from([None, 10.0, math.nan]),
        ),
        st.builds(ru.UnControlledDischargeInfo, ratings(), st.sampled_from([None, -5.0, math.inf])),
        st.builds(
            lambda s: ru.SpecifiedDischargeInfo(s),
            st.sampled_from(
                [
                    u.ContinuousTimeSeries([], td(seconds=60), "discharge"),
                    u.ContinuousTimeSeries([1.0, math.nan, 3.0], td(seconds=60), "discharge"),
                ]
            ),
        ),
    )


def anything():
    return st.one_of(
        st.sampled_from(NUMBERS + TEXTS + STEPS + VECTORS + [None, {}, object()]),
        series(),
        curves(),
        ratings(),
        outlets(),
        st.dictionaries(
            st.sampled_from(["a", "b", "\ud800"]), st.one_of(outlets(), st.sampled_from([1, None])), max_size=3
        ),
        st.builds(
            lambda k, f, q, n: rainmill.baseflow.LinearReservoir(k, f, q, n),
            st.sampled_from([td(hours=1), td(hours=12)]),
            st.sampled_from([0.0, 0.3, 1.0]),
            st.sampled_from([0.0, 5.0]),
            st.sampled_from([1, 2, 4]),
        ),
    )


CALLABLES = [
    u.ContinuousTimeSeries,
    u.IncrementalTimeSeries,
    rainmill.reach.run_muskingum_routing,
    rainmill.reservoir.run_level_pool_routing,
    rainmill.rainfall_transform.run_clark_uh,
    rainmill.rainfall_loss.run_deficit_and_constant,
    rainmill.baseflow.run_linear_reservoir,
    rainmill.baseflow.LinearReservoir,
    rainmill.metrics.calculate_kge,
    ru.ElevationStorage,
    ru.ElevationDischarge,
    ru.ConstantDischargeInfo,
    ru.ControlledDischargeInfo,
    ru.UnControlledDischargeInfo,
    ru.SpecifiedDischargeInfo,
]


def call_and_absorb(function, *args):
    try:
        function(*args)
    except Exception:
        pass
    except BaseException as error:  # the panic exception: an orderly error, not a crash
        assert type(error).__name__ == "PanicException", error


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(CALLABLES), st.lists(anything(), max_size=6))
def test_no_crash_on_any_arguments(function, args):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        call_and_absorb(function, *args)


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(anything(), st.sampled_from(NUMBERS + [None, "x"]))
def test_no_crash_in_methods_and_attributes(target, value):
    for name in dir(target):
        if name.startswith("__"):
            continue
        attribute = getattr(target, name, None)
        if callable(attribute):
            call_and_absorb(attribute, value)
            call_and_absorb(attribute)
        else:
            call_and_absorb(setattr, target, name, value)
            call_and_absorb(delattr, target, name)


NUMBER = st.sampled_from(NUMBERS)
STEP = st.sampled_from(STEPS)
SERIES = series()
SMALL_INTS = st.sampled_from([-3, -1, 0, 1, 2, 5, 2**70])


def layers():
    return st.dictionaries(
        st.sampled_from(["deep", "shallow"]),
        st.builds(
            rainmill.baseflow.LinearReservoir,
            st.sampled_from([td(hours=1), td(minutes=20)]),
            st.sampled_from([0.0, 0.5, 0.9]),
            st.sampled_from([0.0, 3.0]),
            st.sampled_from([1, 2, 3]),
        ),
        max_size=2,
    )


WELL_TYPED = st.one_of(
    st.tuples(st.just(rainmill.reach.run_muskingum_routing), SERIES, STEP, NUMBER, SMALL_INTS, NUMBER),
    st.tuples(
        st.just(rainmill.reservoir.run_level_pool_routing),
        SERIES,
        NUMBER,
        curves(),
        st.dictionaries(st.sampled_from(["gate", "weir", "min"]), outlets(), max_size=3),
    ),
    st.tuples(st.just(rainmill.rainfall_transform.run_clark_uh), SERIES, NUMBER, STEP, STEP),
    st.tuples(st.just(rainmill.rainfall_loss.run_deficit_and_constant), SERIES, NUMBER, NUMBER, NUMBER, STEP),
    st.tuples(st.just(rainmill.baseflow.run_linear_reservoir), NUMBER, SERIES, layers()),
    st.tuples(
        st.just(rainmill.metrics.calculate_kge), st.sampled_from(VECTORS), st.sampled_from(VECTORS), st.booleans()
    ),
)


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(WELL_TYPED)
def test_no_crash_on_well_typed_arguments(call):
    import warnings

    function, *args = call
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        call_and_absorb(function, *args)
