"""Rating curves and outlets of rainmill.reservoir.reservoir_utils."""

import datetime
import random

import pytest
import rainmill

from models import interp_model

ru = rainmill.reservoir.reservoir_utils
ContinuousTimeSeries = rainmill.utils.ContinuousTimeSeries
NAN = float("nan")
INF = float("inf")


def outflow_at(outlet, elevation):
    """An outlet's discharge at `elevation`, at time 0, read through a one-value routing."""
    inflow = ContinuousTimeSeries([0.0], datetime.timedelta(seconds=1), "discharge")
    curve = ru.ElevationStorage([-1000.0, 1000.0], [0.0, 2000.0])
    result = rainmill.reservoir.run_level_pool_routing(inflow, elevation, curve, {"o": outlet})
    return result.reservoir_individual_outflows["o"].data[0]


# ---- ElevationStorage ----------------------------------------------------------


@pytest.mark.parametrize(
    "elevation, storage, message",
    [
        ([1, 2], [0], "`elevation` and `storage` must have the same length"),
        ([2, 1], [0], "`elevation` and `storage` must have the same length"),
        ([1, 1], [0, 5], "`elevation` must must be sorted and can't have duplicates"),
        ([2, 1], [5, 0], "`elevation` must must be sorted and can't have duplicates"),
        ([1, NAN], [0, 5], "`elevation` must must be sorted and can't have duplicates"),
        ([1, 2], [5, 5], "`storage` must must be sorted and can't have duplicates"),
        ([1, 2, 3], [0, NAN, 9], "`storage` must must be sorted and can't have duplicates"),
    ],
)
def test_elevation_storage_rejects(elevation, storage, message):
    with pytest.raises(ValueError) as info:
        ru.ElevationStorage(elevation, storage)
    assert str(info.value) == message


@pytest.mark.parametrize("points", [[], [100.0]])
def test_short_storage_curve_is_accepted_but_cannot_be_looked_up(points):
    curve = ru.ElevationStorage(points, [0.0] * len(points))
    assert curve.elevation == points
    message = "the elevation-storage curve needs at least 2 points for a lookup."
    with pytest.raises(ValueError, match=message):
        curve.get_storage(100.0)
    with pytest.raises(ValueError, match=message):
        curve.get_elevation(0.0)


def test_storage_lookups_on_a_two_point_curve():
    curve = ru.ElevationStorage([100, 110], [0, 1000])
    assert curve.get_storage(100) == 0.0
    assert curve.get_storage(105) == 500.0
    assert curve.get_storage(110) == 1000.0
    assert curve.get_elevation(250) == 102.5
    assert curve.get_storage(elevation=107.5) == 750.0


@pytest.mark.parametrize(
    "method, value, message",
    [
        ("get_storage", 110.0001, "`elevation` 110.0001 is outside the range of the elevation-storage curve."),
        ("get_storage", 99, "`elevation` 99 is outside the range of the elevation-storage curve."),
        ("get_storage", 123.0, "`elevation` 123 is outside the range of the elevation-storage curve."),
        ("get_storage", -INF, "`elevation` -inf is outside the range of the elevation-storage curve."),
        (
            "get_storage",
            1e21,
            "`elevation` 1000000000000000000000 is outside the range of the elevation-storage curve.",
        ),
        ("get_elevation", -1, "`storage` -1 is outside the range of the elevation-storage curve."),
        ("get_elevation", 1000.5, "`storage` 1000.5 is outside the range of the elevation-storage curve."),
        ("get_elevation", INF, "`storage` inf is outside the range of the elevation-storage curve."),
    ],
)
def test_storage_lookup_out_of_range(method, value, message):
    curve = ru.ElevationStorage([100, 110], [0, 1000])
    with pytest.raises(ValueError) as info:
        getattr(curve, method)(value)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "method, message",
    [
        ("get_storage", "`elevation` is NaN and cannot be looked up on the elevation-storage curve."),
        ("get_elevation", "`storage` is NaN and cannot be looked up on the elevation-storage curve."),
    ],
)
def test_nan_lookup_is_a_value_error(method, message):
    curve = ru.ElevationStorage([100, 110], [0, 1000])
    with pytest.raises(ValueError) as info:
        getattr(curve, method)(NAN)
    assert str(info.value) == message


def test_storage_lookups_match_the_model_bit_for_bit():
    rng = random.Random(20240611)
    elevation = [100.0]
    storage = [0.0]
    for _ in range(40):
        elevation.append(elevation[-1] + rng.uniform(0.01, 3.7))
        storage.append(storage[-1] + rng.uniform(1.0, 91234.5))
    curve = ru.ElevationStorage(elevation, storage)
    probes_e = [rng.uniform(elevation[0], elevation[-1]) for _ in range(300)] + elevation
    probes_s = [rng.uniform(storage[0], storage[-1]) for _ in range(300)] + storage
    for e in probes_e:
        assert curve.get_storage(e) == interp_model(elevation, storage, e)
    for s in probes_s:
        assert curve.get_elevation(s) == interp_model(storage, elevation, s)


def test_storage_curve_values_are_copies():
    source = [100.0, 110.0]
    curve = ru.ElevationStorage(source, [0.0, 1000.0])
    source[0] = 0.0
    first = curve.elevation
    first.append(5.0)
    assert curve.elevation == [100.0, 110.0]
    assert curve.elevation is not curve.elevation
    assert curve.storage == [0.0, 1000.0]


def test_storage_curve_signatures():
    assert ru.ElevationStorage.__text_signature__ == "(elevation, storage)"
    assert ru.ElevationStorage.get_storage.__text_signature__ == "($self, elevation)"
    assert ru.ElevationStorage.get_elevation.__text_signature__ == "($self, storage)"
    assert "(e.g., ft\u00b3 when inflow is in cfs)" in ru.ElevationStorage.__doc__
    assert ru.ElevationStorage.get_storage.__doc__.endswith(
        "The interpolated storage, or a `PyValueError` if `elevation` is outside\nthe range of the stored curve."
    )


# ---- ElevationDischarge --------------------------------------------------------


@pytest.mark.parametrize(
    "elevation, discharge, message",
    [
        ([1], [0], "`elevation` and `discharge` each must have at least 2 elements."),
        ([], [], "`elevation` and `discharge` each must have at least 2 elements."),
        ([1, 2], [0], "`elevation` and `discharge` must have the same length"),
        ([2, 1], [3, 2, 1], "`elevation` and `discharge` must have the same length"),
        ([1, 1], [0, 1], "`elevation` must must be sorted and can't have duplicates"),
        ([2, 1], [3, 2], "`elevation` must must be sorted and can't have duplicates"),
        ([1, 2], [3, 2], "`discharge` must must be sorted"),
        ([1, 2, 3], [0, NAN, 4], "`discharge` must must be sorted"),
    ],
)
def test_elevation_discharge_rejects(elevation, discharge, message):
    with pytest.raises(ValueError) as info:
        ru.ElevationDischarge(elevation, discharge)
    assert str(info.value) == message


def test_elevation_discharge_accepts_flat_and_negative_discharge():
    curve = ru.ElevationDischarge([1, 2, 3], [-3, 3, 3])
    assert curve.elevation == [1.0, 2.0, 3.0]
    assert curve.discharge == [-3.0, 3.0, 3.0]


# ---- outlets -------------------------------------------------------------------


@pytest.mark.parametrize(
    "bounds, elevation, expected",
    [
        ((100, 110), 100, 10.0),
        ((100, 110), 105, 10.0),
        ((100, 110), 110, 10.0),
        ((100, 110), 99.999, 0.0),
        ((100, 110), 110.001, 0.0),
        ((None, None), -500, 10.0),
        ((None, 110), 110.001, 0.0),
        ((100, None), 900, 10.0),
    ],
)
def test_constant_outlet_gate(bounds, elevation, expected):
    outlet = ru.ConstantDischargeInfo(10.0, *bounds)
    assert outflow_at(outlet, elevation) == expected


def test_constant_outlet_attributes():
    outlet = ru.ConstantDischargeInfo(10, maximum_elevation=110)
    assert (outlet.discharge, outlet.minimum_elevation, outlet.maximum_elevation) == (10.0, None, 110.0)
    assert ru.ConstantDischargeInfo.discharge.__doc__ == "Constant discharge rate (e.g., cfs)."
    assert ru.ConstantDischargeInfo.__text_signature__ == (
        "(discharge, minimum_elevation=None, maximum_elevation=None)"
    )


@pytest.mark.parametrize(
    "given, expected",
    [
        ({}, (100.0, None)),
        ({"minimum_elevation": 90, "maximum_elevation": 120}, (100.0, 110.0)),
        ({"minimum_elevation": 102, "maximum_elevation": 108}, (102.0, 108.0)),
        ({"minimum_elevation": NAN, "maximum_elevation": NAN}, (100.0, 110.0)),
        ({"minimum_elevation": None, "maximum_elevation": None}, (100.0, None)),
    ],
)
def test_controlled_outlet_normalises_bounds(given, expected):
    outlet = ru.ControlledDischargeInfo(ru.ElevationDischarge([100, 110], [0, 50]), **given)
    assert (outlet.minimum_elevation, outlet.maximum_elevation) == expected
    assert outlet.maximum_release is None
    assert outlet.elevation_discharge.discharge == [0.0, 50.0]


@pytest.mark.parametrize(
    "given, elevation, expected",
    [
        ({}, 105, 25.0),
        ({}, 100, 0.0),
        ({}, 110, 50.0),
        ({}, 99, 0.0),
        ({"maximum_release": 20}, 105, 20.0),
        ({"maximum_release": 30}, 105, 25.0),
        ({"maximum_release": NAN}, 105, 25.0),
        ({"maximum_elevation": 120}, 111, 0.0),
        ({"maximum_elevation": 108}, 108, 40.0),
        ({"minimum_elevation": 104}, 103.999, 0.0),
    ],
)
def test_controlled_outlet_discharge(given, elevation, expected):
    outlet = ru.ControlledDischargeInfo(ru.ElevationDischarge([100, 110], [0, 50]), **given)
    assert outflow_at(outlet, elevation) == expected


def test_controlled_outlet_without_maximum_fails_above_curve():
    outlet = ru.ControlledDischargeInfo(ru.ElevationDischarge([100, 110], [0, 50]))
    with pytest.raises(ValueError) as info:
        outflow_at(outlet, 111)
    assert str(info.value) == "elevation 111 is above the maximum of the elevation-discharge curve (110)."


@pytest.mark.parametrize(
    "elevation, expected",
    [(104, 0.0), (105, 0.0), (110, 25.0), (115, 50.0), (107.3, interp_model([100, 110], [0, 50], 102.3))],
)
def test_uncontrolled_outlet_with_offset(elevation, expected):
    outlet = ru.UnControlledDischargeInfo(ru.ElevationDischarge([100, 110], [0, 50]), elevation_offset=-5)
    assert outflow_at(outlet, elevation) == expected


def test_uncontrolled_outlet_fails_above_curve_with_offset_elevation():
    outlet = ru.UnControlledDischargeInfo(ru.ElevationDischarge([100, 110], [0, 50]), -5)
    with pytest.raises(ValueError) as info:
        outflow_at(outlet, 115.001)
    assert str(info.value) == ("elevation 110.001 is above the maximum of the elevation-discharge curve (110).")
    assert outlet.elevation_offset == -5.0
    no_offset = ru.UnControlledDischargeInfo(ru.ElevationDischarge([100, 110], [2, 50]))
    assert no_offset.elevation_offset is None
    assert outflow_at(no_offset, 100) == 2.0


def test_outlet_lookups_match_the_model_bit_for_bit():
    rng = random.Random(77)
    elevation = sorted({round(rng.uniform(100, 140), 3) for _ in range(25)})
    discharge = [0.0]
    for _ in elevation[1:]:
        discharge.append(discharge[-1] + rng.choice([0.0, rng.uniform(0.1, 333.3)]))
    curve = ru.ElevationDischarge(elevation, discharge)
    uncontrolled = ru.UnControlledDischargeInfo(curve, 0.125)
    controlled = ru.ControlledDischargeInfo(curve, maximum_release=2500.0)
    for _ in range(60):
        e = rng.uniform(elevation[0] - 1, elevation[-1] - 0.125)
        shifted = e + 0.125
        expected = interp_model(elevation, discharge, shifted, 0.0) if shifted >= elevation[0] else 0.0
        assert outflow_at(uncontrolled, e) == expected
        expected = 0.0 if e < elevation[0] else min(interp_model(elevation, discharge, e, 0.0), 2500.0)
        assert outflow_at(controlled, e) == expected


def test_outlet_attributes_are_copies_of_the_arguments():
    curve = ru.ElevationDischarge([100, 110], [0, 50])
    outlet = ru.UnControlledDischargeInfo(curve)
    assert outlet.elevation_discharge is not outlet.elevation_discharge
    assert type(outlet.elevation_discharge) is ru.ElevationDischarge
    series = ContinuousTimeSeries([1.0, 2.0], datetime.timedelta(seconds=60), "volume")
    specified = ru.SpecifiedDischargeInfo(series, maximum_release=5)
    assert specified.discharge.data == [1.0, 2.0]
    assert specified.discharge.kind == "volume"
    assert (specified.minimum_elevation, specified.maximum_elevation, specified.maximum_release) == (None, None, 5.0)


@pytest.mark.parametrize(
    "cls, args, message",
    [
        (
            ru.ControlledDischargeInfo,
            ([100, 110],),
            "argument 'elevation_discharge': 'list' object is not an instance of 'ElevationDischarge'",
        ),
        (
            ru.SpecifiedDischargeInfo,
            (None,),
            "argument 'discharge': 'None' is not an instance of 'ContinuousTimeSeries'",
        ),
        (
            ru.ConstantDischargeInfo,
            (),
            "ConstantDischargeInfo.__new__() missing 1 required positional argument: 'discharge'",
        ),
    ],
)
def test_outlet_argument_errors(cls, args, message):
    with pytest.raises(TypeError) as info:
        cls(*args)
    assert str(info.value) == message


def test_outlet_float_conversion_error_names_the_argument():
    with pytest.raises(TypeError, match=r"^argument 'minimum_elevation': "):
        ru.ConstantDischargeInfo(1.0, "low")
