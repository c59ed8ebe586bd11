"""Level-pool routing: rainmill.reservoir.run_level_pool_routing and LevelPoolResult."""

import bisect
import datetime
import math

import pytest
import rainmill

from models import interp_model

ru = rainmill.reservoir.reservoir_utils
route = rainmill.reservoir.run_level_pool_routing
ContinuousTimeSeries = rainmill.utils.ContinuousTimeSeries
NAN = float("nan")


def series(values, seconds):
    return ContinuousTimeSeries(values, datetime.timedelta(seconds=seconds), "discharge")


# ---- an independent model of the routing, same formulas and order of operations ----


def value_at(data, dt, seconds):
    """Point-sampled series read at elapsed seconds (inside its span)."""
    pos = min(max(seconds, 0.0), float(dt * (len(data) - 1))) / dt
    i = math.floor(pos)
    if i < len(data) - 1:
        return (data[i + 1] - data[i]) * (pos - i) + data[i]
    return data[-1]


def shut(e, low, high):
    return (low is not None and e < low) or (high is not None and e > high)


def constant_model(q, low=None, high=None):
    return lambda e, t: 0.0 if shut(e, low, high) else q


def controlled_model(xs, ys, low=None, high=None, cap=math.inf):
    low = xs[0] if low is None or not low > xs[0] else low
    high = None if high is None else (high if high < xs[-1] else xs[-1])

    def discharge(e, t):
        if shut(e, low, high):
            return 0.0
        assert e <= xs[-1]
        return 0.0 if e < xs[0] else min(interp_model(xs, ys, e, 0.0), cap)

    return discharge


def uncontrolled_model(xs, ys, offset=0.0):
    def discharge(e, t):
        e = e + offset
        assert e <= xs[-1]
        return 0.0 if e < xs[0] else interp_model(xs, ys, e, 0.0)

    return discharge


def specified_model(data, dt, low=None, high=None, cap=math.inf):
    def discharge(e, t):
        if shut(e, low, high):
            return 0.0
        assert t <= dt * (len(data) - 1)
        return min(value_at(data, dt, float(t)), cap)

    return discharge


def route_model(inflow, dt, initial_elevation, curve_e, curve_s, outlets):
    """outlets: list of (name, discharge(e, t)) in summing order."""
    s = interp_model(curve_e, curve_s, initial_elevation)
    e = initial_elevation
    storage, elevation, total = [s], [e], []
    individual = {name: [] for name, _ in outlets}
    previous = inflow[0]
    for t in range(0, (len(inflow) - 1) * dt + 1):
        output = t % dt == 0
        o = 0.0
        for name, outlet in outlets:
            q = outlet(e, t)
            o = o + q
            if output:
                individual[name].append(q)
        if output:
            total.append(o)
        if t == 0:
            continue
        current = value_at(inflow, dt, float(t))
        a = ((previous + current) * 0.5) * 1.0
        b = s + a
        s = b - (o * 1.0)
        if not s > 0.0:
            s = 0.0
        e = interp_model(curve_s, curve_e, s)
        assert e is not None
        if output:
            storage.append(s)
            elevation.append(e)
        previous = current
    return storage, elevation, total, individual


# ---- worked runs -------------------------------------------------------------


def test_worked_run_without_outlets():
    result = route(series([0, 10, 10], 2), 100, ru.ElevationStorage([100, 164], [0, 64]), {})
    assert result.reservoir_storage.data == [0.0, 10.0, 30.0]
    assert result.reservoir_elevation.data == [100.0, 110.0, 130.0]
    assert result.reservoir_total_outflow.data == [0.0, 0.0, 0.0]
    assert result.reservoir_individual_outflows == {}
    for name, kind in [
        ("reservoir_storage", "volume"),
        ("reservoir_elevation", "elevation"),
        ("reservoir_total_outflow", "discharge"),
    ]:
        attribute = getattr(result, name)
        assert type(attribute) is ContinuousTimeSeries
        assert attribute.kind == kind
        assert attribute.time_step == datetime.timedelta(seconds=2)


def test_worked_run_with_a_constant_outlet():
    result = route(
        series([0, 10, 10], 2), 100, ru.ElevationStorage([100, 164], [0, 64]), {"gate": ru.ConstantDischargeInfo(1.0)}
    )
    assert result.reservoir_storage.data == [0.0, 8.0, 26.0]
    assert result.reservoir_elevation.data == [100.0, 108.0, 126.0]
    assert result.reservoir_total_outflow.data == [1.0, 1.0, 1.0]
    outflows = result.reservoir_individual_outflows
    assert list(outflows) == ["gate"]
    assert outflows["gate"].data == [1.0, 1.0, 1.0]
    assert outflows["gate"].kind == "discharge"
    assert outflows["gate"].time_step == datetime.timedelta(seconds=2)


def test_single_value_inflow_reports_the_initial_state():
    curve = ru.ElevationStorage([100, 110], [0, 1000])
    result = route(
        series([7.0], 3600),
        104,
        curve,
        {
            "a": ru.ConstantDischargeInfo(2.5),
            "b": ru.UnControlledDischargeInfo(ru.ElevationDischarge([100, 110], [0, 10])),
        },
    )
    assert result.reservoir_storage.data == [400.0]
    assert result.reservoir_elevation.data == [104.0]
    assert result.reservoir_total_outflow.data == [2.5 + 4.0]
    assert {k: v.data for k, v in result.reservoir_individual_outflows.items()} == {"a": [2.5], "b": [4.0]}


# ---- differential runs against the model -------------------------------------


CURVE_E = [100.0, 102.0, 105.0, 109.0, 114.0, 120.0]
CURVE_S = [0.0, 6000.0, 18000.0, 40000.0, 76000.0, 140000.0]
GATE_E, GATE_Q = [100.0, 104.0, 110.0, 120.0], [0.0, 40.0, 150.0, 300.0]
SPILL_E, SPILL_Q = [103.0, 106.0, 112.0, 125.0], [0.0, 90.0, 600.0, 2000.0]
RELEASE = [12.0 + 7.5 * math.sin(k / 3.0) for k in range(33)]  # 13 s step, 416 s span
INFLOW = [50.0, 180.0, 420.0, 610.0, 500.0, 380.0, 260.0, 170.0, 110.0, 80.0, 60.0, 50.0]


def reservoir_outlets():
    """The same outlets as rainmill objects and as model functions, in dict order."""
    release = ContinuousTimeSeries(RELEASE, datetime.timedelta(seconds=13), "discharge")
    objects = {
        "spill": ru.UnControlledDischargeInfo(ru.ElevationDischarge(SPILL_E, SPILL_Q), -0.5),
        "gate": ru.ControlledDischargeInfo(ru.ElevationDischarge(GATE_E, GATE_Q), 101.5, 118.0, 120.0),
        "base": ru.ConstantDischargeInfo(25.0, 100.5),
        "release": ru.SpecifiedDischargeInfo(release, None, 119.0, 15.0),
    }
    models = [
        ("spill", uncontrolled_model(SPILL_E, SPILL_Q, -0.5)),
        ("gate", controlled_model(GATE_E, GATE_Q, 101.5, 118.0, 120.0)),
        ("base", constant_model(25.0, 100.5)),
        ("release", specified_model(RELEASE, 13, None, 119.0, 15.0)),
    ]
    return objects, models


@pytest.mark.parametrize(
    "dt, initial_elevation, inflow",
    [(37, 101.0, INFLOW), (1, 100.25, INFLOW * 30), (29, 103.0, [2.0 * q for q in INFLOW])],
)
def test_routing_matches_the_model_bit_for_bit(dt, initial_elevation, inflow):
    objects, models = reservoir_outlets()
    result = route(series(inflow, dt), initial_elevation, ru.ElevationStorage(CURVE_E, CURVE_S), objects)
    storage, elevation, total, individual = route_model(inflow, dt, initial_elevation, CURVE_E, CURVE_S, models)
    assert result.reservoir_storage.data == storage
    assert result.reservoir_elevation.data == elevation
    assert result.reservoir_total_outflow.data == total
    outflows = result.reservoir_individual_outflows
    assert list(outflows) == list(objects)
    assert {k: v.data for k, v in outflows.items()} == individual
    # The run is meant to move through several knots and switch outlets on and off.
    assert len({bisect.bisect(CURVE_E, e) for e in elevation}) >= 2
    assert any(q > 0.0 for q in individual["gate"]) and any(q > 0.0 for q in individual["release"])


def test_outlets_are_summed_in_dict_order():
    curve = ru.ElevationStorage([0, 100], [0, 100])
    big, one, minus = (ru.ConstantDischargeInfo(q) for q in (1e16, 1.0, -1e16))
    first = route(series([0.0], 60), 50, curve, {"a": big, "b": one, "c": minus})
    second = route(series([0.0], 60), 50, curve, {"a": big, "c": minus, "b": one})
    assert first.reservoir_total_outflow.data == [(1e16 + 1.0) + -1e16]  # 0.0
    assert second.reservoir_total_outflow.data == [(1e16 + -1e16) + 1.0]  # 1.0
    assert list(second.reservoir_individual_outflows) == ["a", "c", "b"]


# ---- storage limits and failures ---------------------------------------------


def test_overdraft_clamps_storage_at_zero_and_the_lowest_elevation():
    curve = ru.ElevationStorage([100, 110], [0, 1000])
    result = route(series([0, 0, 0], 5), 105, curve, {"pump": ru.ConstantDischargeInfo(200.0)})
    assert result.reservoir_storage.data == [500.0, 0.0, 0.0]  # 300, 100, then -100 clamped
    assert result.reservoir_elevation.data == [105.0, 100.0, 100.0]


def test_overdraft_below_a_positive_lowest_storage_fails():
    curve = ru.ElevationStorage([100, 110], [10, 1000])
    with pytest.raises(ValueError) as info:
        route(series([0, 0], 5), 100.2, curve, {"pump": ru.ConstantDischargeInfo(50.0)})
    assert str(info.value) == "`storage` 0 is outside the range of the elevation-storage curve."


def test_overtopping_fails_between_output_times():
    # Inflow rising 2 cfs per second stores t*t after t seconds: 81 > 64 at t = 9.
    with pytest.raises(ValueError) as info:
        route(series([0, 20, 20], 10), 100, ru.ElevationStorage([100, 164], [0, 64]), {})
    assert str(info.value) == "`storage` 81 is outside the range of the elevation-storage curve."


def test_initial_elevation_outside_the_curve_fails_before_routing():
    short = ContinuousTimeSeries([1.0], datetime.timedelta(seconds=1), "discharge")
    outlets = {"late": ru.SpecifiedDischargeInfo(short)}
    with pytest.raises(ValueError) as info:
        route(series([0, 0, 0], 60), 99.5, ru.ElevationStorage([100, 110], [0, 10]), outlets)
    assert str(info.value) == "`elevation` 99.5 is outside the range of the elevation-storage curve."


def test_uncontrolled_outlet_above_its_curve_fails_and_a_controlled_maximum_shuts():
    curve = ru.ElevationStorage([100, 200], [0, 100000])
    rating = ru.ElevationDischarge([100, 105], [0, 5])
    inflow = series([100.0, 100.0], 60)  # rises 1 ft every 10 s
    with pytest.raises(ValueError) as info:
        route(inflow, 100, curve, {"spill": ru.UnControlledDischargeInfo(rating)})
    assert str(info.value).startswith("elevation 105.")
    assert str(info.value).endswith(" is above the maximum of the elevation-discharge curve (105).")
    gated = route(inflow, 100, curve, {"gate": ru.ControlledDischargeInfo(rating, maximum_elevation=200)})
    assert gated.reservoir_individual_outflows["gate"].data == [0.0, 0.0]


def test_specified_outlet_must_cover_the_routing_while_open():
    curve = ru.ElevationStorage([100, 200], [0, 100000])
    release = ContinuousTimeSeries([1.0, 2.0, 3.0], datetime.timedelta(seconds=60), "discharge")
    exact = route(series([0, 0, 0], 60), 150, curve, {"r": ru.SpecifiedDischargeInfo(release)})
    assert exact.reservoir_individual_outflows["r"].data == [1.0, 2.0, 3.0]
    capped = route(series([0, 0, 0], 60), 150, curve, {"r": ru.SpecifiedDischargeInfo(release, maximum_release=2.5)})
    assert capped.reservoir_individual_outflows["r"].data == [1.0, 2.0, 2.5]
    with pytest.raises(ValueError) as info:
        route(series([0, 0, 0, 0], 60), 150, curve, {"r": ru.SpecifiedDischargeInfo(release)})
    assert str(info.value) == ("simulation duration 121s exceeds the specified discharge series length (120s).")
    shut_gate = route(
        series([0, 0, 0, 0], 60), 150, curve, {"r": ru.SpecifiedDischargeInfo(release, minimum_elevation=160)}
    )
    assert shut_gate.reservoir_individual_outflows["r"].data == [0.0] * 4


def test_specified_outlet_with_an_empty_series():
    curve = ru.ElevationStorage([100, 200], [0, 100000])
    empty = ContinuousTimeSeries([], datetime.timedelta(seconds=60), "discharge")
    with pytest.raises(ValueError) as info:
        route(series([0, 0], 60), 150, curve, {"r": ru.SpecifiedDischargeInfo(empty)})
    assert str(info.value) == "the specified discharge series has no values to release."
    closed = route(series([0, 0], 60), 150, curve, {"r": ru.SpecifiedDischargeInfo(empty, maximum_elevation=120)})
    assert closed.reservoir_individual_outflows["r"].data == [0.0, 0.0]


@pytest.mark.parametrize(
    "inflow, initial_elevation, curve, message",
    [
        ([], 100, ([100, 110], [0, 10]), "inflow has no values."),
        (
            [1.0],
            NAN,
            ([100, 110], [0, 10]),
            "`elevation` is NaN and cannot be looked up on the elevation-storage curve.",
        ),
        ([1.0], 100, ([100], [0]), "the elevation-storage curve needs at least 2 points for a lookup."),
        ([1.0], 100, ([], []), "the elevation-storage curve needs at least 2 points for a lookup."),
    ],
)
def test_routing_refuses_undefined_inputs(inflow, initial_elevation, curve, message):
    with pytest.raises(ValueError) as info:
        route(series(inflow, 60), initial_elevation, ru.ElevationStorage(*curve), {})
    assert str(info.value) == message


@pytest.mark.parametrize(
    "inflow, index",
    [([0.0, NAN], 1), ([NAN], 0), ([1.0, 2.0, NAN, 3.0, NAN], 2), ([-NAN, 1.0], 0)],
)
def test_nan_inflow_is_refused_naming_the_first_index(inflow, index):
    # A NaN storage used to be clamped to zero, emptying the reservoir silently.
    with pytest.raises(ValueError) as info:
        route(series(inflow, 1), 105, ru.ElevationStorage([100, 110], [0, 10]), {})
    assert str(info.value) == f"inflow is NaN at index {index}."


def test_infinite_inflow_is_not_taken_for_nan():
    with pytest.raises(ValueError) as info:
        route(series([0.0, math.inf], 1), 105, ru.ElevationStorage([100, 110], [0, 10]), {})
    assert str(info.value) == "`storage` inf is outside the range of the elevation-storage curve."


def test_nan_elevation_reaching_an_outlet_curve_is_a_value_error():
    # An infinite knot makes an interpolated elevation NaN: (s / 10) * inf + -inf.
    curve = ru.ElevationStorage([-math.inf, 0.0], [0.0, 10.0])
    assert math.isnan(curve.get_elevation(9.0))
    outlets = {"spill": ru.UnControlledDischargeInfo(ru.ElevationDischarge([-5.0, 5.0], [0.0, 1.0]))}
    with pytest.raises(ValueError) as info:
        route(series([-1.0, -1.0], 2), 0.0, curve, outlets)
    assert str(info.value) == "elevation is NaN and cannot be looked up on the elevation-discharge curve."


# ---- arguments and the result object -----------------------------------------


def test_discharge_info_of_no_outlet_class():
    curve = ru.ElevationStorage([100, 110], [0, 10])
    with pytest.raises(TypeError) as info:
        route(series([1.0], 60), 100, curve, {"x": 3})
    variants = ["Uncontrolled", "Controlled", "Specified", "Constant"]
    classes = [
        "UnControlledDischargeInfo",
        "ControlledDischargeInfo",
        "SpecifiedDischargeInfo",
        "ConstantDischargeInfo",
    ]
    expected = (
        "argument 'discharge_info': failed to extract enum DischargeInfo "
        "('Uncontrolled | Controlled | Specified | Constant')"
    )
    for variant, cls in zip(variants, classes):
        expected += (
            f"\n- variant {variant} ({variant}): TypeError: failed to extract field "
            f"DischargeInfo::{variant}.0, caused by TypeError: 'int' object is not an "
            f"instance of '{cls}'"
        )
    assert str(info.value) == expected


@pytest.mark.parametrize(
    "args, message",
    [
        (([1.0], 100, None, {}), "argument 'inflow': 'list' object is not an instance of 'ContinuousTimeSeries'"),
        ((None, "high", None, {}), "argument 'initial_elevation': "),
        ((None, 100, [1], {}), "argument 'elevation_storage': 'list' object is not an instance of 'ElevationStorage'"),
        ((None, 100, None, [("a", 1)]), "argument 'discharge_info': 'list' object is not an instance of 'dict'"),
        ((None, 100, None, {1: None}), "argument 'discharge_info': 'int' object is not an instance of 'str'"),
    ],
)
def test_argument_errors_name_the_argument(args, message):
    inflow, elevation, curve, outlets = args
    inflow = series([1.0], 60) if inflow is None else inflow
    curve = ru.ElevationStorage([100, 110], [0, 10]) if curve is None else curve
    with pytest.raises(TypeError) as info:
        route(inflow, elevation, curve, outlets)
    assert str(info.value).startswith(message)


def test_subclass_instances_are_accepted_and_results_are_fresh():
    class Gate(ru.ConstantDischargeInfo):
        pass

    class Inflow(ContinuousTimeSeries):
        pass

    inflow = Inflow([0.0, 10.0, 10.0], datetime.timedelta(seconds=2), "rainfall")
    result = route(inflow, 100, ru.ElevationStorage([100, 164], [0, 64]), {"gate": Gate(1.0)})
    assert result.reservoir_storage.data == [0.0, 8.0, 26.0]
    assert type(result) is rainmill.reservoir.LevelPoolResult
    assert result.reservoir_storage is not result.reservoir_storage
    assert result.reservoir_individual_outflows is not result.reservoir_individual_outflows
    result.reservoir_storage.data.append(1.0)
    assert result.reservoir_storage.data == [0.0, 8.0, 26.0]


def test_result_class_and_function_surface():
    LevelPoolResult = rainmill.reservoir.LevelPoolResult
    with pytest.raises(TypeError):
        LevelPoolResult()
    assert LevelPoolResult.__doc__ == "Results from a level pool routing simulation."
    assert LevelPoolResult.reservoir_individual_outflows.__doc__ == (
        "Per-outlet outflow time series keyed by outlet name."
    )
    assert route.__text_signature__ == "(inflow, initial_elevation, elevation_storage, discharge_info)"
    assert route.__module__ == "reservoir"
    assert rainmill.reservoir.__all__ == ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]
    assert ru.__all__ == [
        "ElevationDischarge",
        "ElevationStorage",
        "ControlledDischargeInfo",
        "UnControlledDischargeInfo",
        "SpecifiedDischargeInfo",
        "ConstantDischargeInfo",
    ]
