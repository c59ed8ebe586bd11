"""Linear-reservoir groundwater layers and the baseflow they route.

Results are checked bit for bit against a small pure-Python model of the
chain recurrence, written with the same groupings as the library.
"""

import math
from datetime import timedelta
from decimal import Decimal

import pytest
import rainmill
from hypothesis import given, settings
from hypothesis import strategies as st

LinearReservoir = rainmill.baseflow.LinearReservoir
run_linear_reservoir = rainmill.baseflow.run_linear_reservoir
IncrementalTimeSeries = rainmill.utils.IncrementalTimeSeries
ContinuousTimeSeries = rainmill.utils.ContinuousTimeSeries


# ---- independent model ------------------------------------------------------


def model_run(basin_area, depths, step_seconds, layers):
    """layers: list of (name, gw_fraction, initial_q, k_seconds, num_reservoir)
    in processing order. Returns (total, {name: output})."""
    total = [0.0] * len(depths)
    outputs = {}
    area_factor = basin_area * 1.00833
    dt = float(step_seconds) / 3600.0
    half = 0.5 * dt
    for name, gw, q0, k_seconds, n in layers:
        k_per = float(k_seconds) / 3600.0 / float(n) if n else math.inf
        assert not half > k_per
        c = dt / (k_per + half)
        d = 1.0 - c
        chain = [q0] * n
        out = []
        for r in depths:
            flow = ((r * gw) / dt) * area_factor
            for j in range(n):
                chain[j] = chain[j] * d + flow * c
                flow = chain[j]
            out.append(flow)
        total = [o + t for o, t in zip(out, total)]
        outputs[name] = out
    return total, outputs


def bits(values):
    return [float(v).hex() for v in values]


def rain(values, seconds=3600):
    return IncrementalTimeSeries(values, timedelta(seconds=seconds), "rainfall")


def positional(x):
    """Shortest round-trip digits without an exponent, as messages print them."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    return text[:-2] if text.endswith(".0") else text


# ---- LinearReservoir ---------------------------------------------------------


def test_defaults_and_read_back():
    layer = LinearReservoir(timedelta(hours=12), 0.3, 5.0)
    assert layer.num_reservoir == 1
    assert layer.k_duration == timedelta(hours=12)
    assert (layer.gw_fraction, layer.initial_q) == (0.3, 5.0)
    # Keyword binding reaches the same fields.
    other = LinearReservoir(initial_q=2.0, num_reservoir=4, gw_fraction=1.0, k_duration=timedelta(minutes=90))
    assert (other.k_duration, other.gw_fraction, other.initial_q, other.num_reservoir) == (
        timedelta(seconds=5400),
        1.0,
        2.0,
        4,
    )


@pytest.mark.parametrize(
    "duration, seconds",
    [
        (timedelta(seconds=1.9), 1),
        (timedelta(seconds=1), 1),
        (timedelta(days=1, seconds=3600), 90000),
        (timedelta(days=100000), 2147483647),  # saturates at the 32-bit limit
    ],
)
def test_k_duration_reduced_to_whole_seconds(duration, seconds):
    read = LinearReservoir(duration, 0.5, 0.0).k_duration
    assert type(read) is timedelta
    assert read == timedelta(seconds=seconds)
    assert (read.days, read.seconds, read.microseconds) == divmod(seconds, 86400) + (0,)


@pytest.mark.parametrize("fraction", [0.0, 1.0, math.nan])
def test_fraction_bounds_accepted(fraction):
    stored = LinearReservoir(timedelta(hours=1), fraction, 0.0).gw_fraction
    assert stored == fraction or (math.isnan(fraction) and math.isnan(stored))


@pytest.mark.parametrize(
    "args, message",
    [
        ((timedelta(milliseconds=999), 0.5, 0.0), "k_duration must be > 0"),
        ((timedelta(0), 5.0, 1.0, 0), "k_duration must be > 0"),
        ((timedelta(hours=1), 1.0000001, 0.0), "gw_fraction must be between 0 and 1"),
        ((timedelta(hours=1), -0.0001, 0.0, 0), "gw_fraction must be between 0 and 1"),
        ((timedelta(hours=1), -math.inf, 0.0), "gw_fraction must be between 0 and 1"),
        ((timedelta(hours=1), 0.5, 0.0, 0), "num_reservoir must be at least 1"),
    ],
)
def test_constructor_value_checks_in_order(args, message):
    with pytest.raises(ValueError) as info:
        LinearReservoir(*args)
    assert str(info.value) == message


def test_negative_k_duration_is_value_error_after_conversions():
    with pytest.raises(ValueError):
        LinearReservoir(timedelta(seconds=-1), 5.0, 0.0, 0)
    # The numbers are converted before the timedelta's value is read.
    with pytest.raises(TypeError, match=r"^argument 'gw_fraction': "):
        LinearReservoir(timedelta(seconds=-1), "x", 0.0)


@pytest.mark.parametrize(
    "kwargs, exc, prefix",
    [
        ({"k_duration": 7200}, TypeError, "argument 'k_duration': 'int' object is not an instance of 'timedelta'"),
        ({"k_duration": None}, TypeError, "argument 'k_duration': 'None' is not an instance of 'timedelta'"),
        ({"num_reservoir": None}, TypeError, "argument 'num_reservoir': "),
        ({"num_reservoir": 1.0}, TypeError, "argument 'num_reservoir': "),
        ({"initial_q": "5"}, TypeError, "argument 'initial_q': "),
        ({"num_reservoir": -1}, OverflowError, ""),
    ],
)
def test_constructor_conversion_errors(kwargs, exc, prefix):
    args = {"k_duration": timedelta(0), "gw_fraction": 0.5, "initial_q": 0.0, **kwargs}
    with pytest.raises(exc) as info:
        LinearReservoir(**args)
    assert type(info.value) is exc
    text = str(info.value)
    assert text.startswith(prefix)
    if exc is OverflowError:
        assert not text.startswith("argument")


def test_class_shape():
    assert LinearReservoir.__module__ == "builtins"
    assert LinearReservoir.__doc__.startswith("Configuration for a single linear reservoir groundwater layer.\n\n")
    assert LinearReservoir.__text_signature__ == ("(k_duration, gw_fraction, initial_q, num_reservoir=1)")
    assert rainmill.baseflow.__all__ == ["run_linear_reservoir", "LinearReservoir"]
    with pytest.raises(TypeError):

        class Layer(LinearReservoir):
            pass

    layer = LinearReservoir(timedelta(hours=1), 0.5, 0.0)
    with pytest.raises(AttributeError):
        layer.colour = "blue"
    with pytest.raises(AttributeError):
        layer.k_duration = timedelta(hours=2)
    with pytest.raises(AttributeError):
        del layer.k_duration
    assert layer.k_duration == timedelta(hours=1)


def test_setters_convert_without_range_checks():
    layer = LinearReservoir(timedelta(hours=1), 0.5, 0.0)
    layer.gw_fraction = 7.5
    layer.initial_q = 3  # int converts like the constructor's float
    layer.num_reservoir = 0
    assert (layer.gw_fraction, layer.initial_q, layer.num_reservoir) == (7.5, 3.0, 0)
    assert type(layer.initial_q) is float


@pytest.mark.parametrize(
    "name, value, exc",
    [
        ("gw_fraction", "high", TypeError),
        ("initial_q", None, TypeError),
        ("num_reservoir", 2.0, TypeError),
        ("num_reservoir", -1, OverflowError),
    ],
)
def test_failed_set_keeps_old_value(name, value, exc):
    layer = LinearReservoir(timedelta(hours=1), 0.5, 1.5, 2)
    before = getattr(layer, name)
    with pytest.raises(exc) as info:
        setattr(layer, name, value)
    if exc is TypeError:
        assert str(info.value).startswith(f"argument '{name}': ")
    assert getattr(layer, name) == before


@pytest.mark.parametrize("name", ["gw_fraction", "initial_q", "num_reservoir"])
def test_delete_property(name):
    layer = LinearReservoir(timedelta(hours=1), 0.5, 0.0)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(layer, name)


# ---- run_linear_reservoir ----------------------------------------------------


@pytest.mark.parametrize(
    "num_reservoir, expected",
    [
        (1, [129.06624, 77.43974399999999, 46.463846399999994]),
        (2, [143.4069333333333, 95.60462222222222, 47.802311111111116]),
    ],
)
def test_worked_example(num_reservoir, expected):
    layer = LinearReservoir(timedelta(hours=2), 0.5, 0.0, num_reservoir)
    total, layers = run_linear_reservoir(640, rain([1.0, 0.0, 0.0]), {"deep": layer})
    assert type(total) is ContinuousTimeSeries
    assert bits(total.data) == bits(expected)
    assert list(layers) == ["deep"]
    assert bits(layers["deep"].data) == bits(expected)
    model_total, _ = model_run(640.0, [1.0, 0.0, 0.0], 3600, [("deep", 0.5, 0.0, 7200, num_reservoir)])
    assert bits(model_total) == bits(expected)
    for series in (total, layers["deep"]):
        assert series.kind == "discharge"
        assert series.time_step == timedelta(hours=1)


def test_several_layers_match_model_in_dict_order():
    depths = [0.31, 0.0, 1.27, 0.05, 0.77, 0.0, 0.0, 0.13, 2.9, 0.4]
    spec = [
        ("fast", 0.2, 1.5, 5400, 1),
        ("slow", 0.45, 12.25, 86400, 3),
        ("deep", 0.35, 40.0, 400000, 5),
        # No share of the rain: the initial flow decays from the first step on.
        # Its k per reservoir equals half the step, which passes the check.
        ("edge", 0.0, 8.0, 1800, 2),
    ]
    reservoirs = {name: LinearReservoir(timedelta(seconds=k), gw, q0, n) for name, gw, q0, k, n in spec}
    total, layers = run_linear_reservoir(1234.5, rain(depths, 1800), reservoirs)
    model_total, model_layers = model_run(1234.5, depths, 1800, spec)
    assert list(layers) == [name for name, *_ in spec]
    for name in model_layers:
        assert bits(layers[name].data) == bits(model_layers[name])
        assert layers[name].time_step == timedelta(seconds=1800)
    assert bits(total.data) == bits(model_total)


@settings(max_examples=60, deadline=None)
@given(
    depths=st.lists(st.floats(0.0, 5.0), max_size=40),
    step=st.sampled_from([60, 900, 3600, 7200]),
    area=st.floats(-1e4, 1e5),
    layers=st.lists(
        st.tuples(st.floats(0.0, 0.3), st.floats(0.0, 500.0), st.integers(3600 * 13, 3600 * 200), st.integers(1, 6)),
        max_size=3,
    ),
)
def test_matches_model(depths, step, area, layers):
    spec = [(f"layer{i}", gw, q0, k, n) for i, (gw, q0, k, n) in enumerate(layers)]
    reservoirs = {name: LinearReservoir(timedelta(seconds=k), gw, q0, n) for name, gw, q0, k, n in spec}
    total, outputs = run_linear_reservoir(area, rain(depths, step), reservoirs)
    model_total, model_outputs = model_run(area, depths, step, spec)
    assert bits(total.data) == bits(model_total)
    assert {name: bits(s.data) for name, s in outputs.items()} == {name: bits(v) for name, v in model_outputs.items()}


def test_zero_reservoir_chain_passes_inflow_on():
    layer = LinearReservoir(timedelta(hours=2), 0.5, 99.0)
    layer.num_reservoir = 0
    depths = [1.0, 0.0, 0.25]
    _, layers = run_linear_reservoir(640, rain(depths, 7200), {"a": layer})
    area_factor = 640 * 1.00833
    assert bits(layers["a"].data) == bits([((r * 0.5) / 2.0) * area_factor for r in depths])


def test_empty_inputs():
    total, layers = run_linear_reservoir(640, rain([0.2, 0.4, 0.0]), {})
    assert (total.data, layers) == ([0.0, 0.0, 0.0], {})
    layer = LinearReservoir(timedelta(hours=2), 0.5, 3.0)
    total, layers = run_linear_reservoir(640, rain([]), {"a": layer, "b": layer})
    assert total.data == [] and layers["a"].data == [] and layers["b"].data == []
    # Checks still run on an empty series.
    layer.gw_fraction = 0.9
    with pytest.raises(ValueError, match=r"^Total fraction 1\.8 > 1\.0$"):
        run_linear_reservoir(640, rain([]), {"a": layer, "b": layer})


@pytest.mark.parametrize(
    "fractions, fails",
    [
        ([0.6, 0.6], True),
        # Summed in the caller's dict order, which the last digits show.
        ([0.1, 0.2, 0.9], True),
        ([0.1, 0.9, 0.2], True),
        ([0.7, 0.6], True),
        ([0.5, 0.5000005], False),
        ([1.000001], False),  # equality passes
        ([math.nextafter(1.000001, 2.0)], True),
        ([2.0], True),
        ([1e300], True),
        ([math.inf, 0.5], True),
        ([math.nan, 5.0], False),  # a NaN sum compares false
        ([-3.0, 3.5], False),
    ],
)
def test_fraction_sum(fractions, fails):
    reservoirs = {}
    expected_sum = 0.0
    for i, fraction in enumerate(fractions):
        layer = LinearReservoir(timedelta(hours=4), 0.0, 0.0)
        layer.gw_fraction = fraction  # the setter does no range check
        reservoirs[f"r{i}"] = layer
        expected_sum += fraction
    if fails:
        with pytest.raises(ValueError) as info:
            run_linear_reservoir(1.0, rain([1.0]), reservoirs)
        assert str(info.value) == f"Total fraction {positional(expected_sum)} > 1.0"
    else:
        total, _ = run_linear_reservoir(1.0, rain([1.0]), reservoirs)
        assert len(total.data) == 1


@pytest.mark.parametrize(
    "k_seconds, num, step, message",
    [
        (3600, 3, 3600, "Stability Error: k_per_res (0.3333) < 0.5*dt (0.5000). Increase k_hr or num_reservoir."),
        # Half a 225 s step is 0.03125 h, a tie that rounds to even.
        (1, 1, 225, "Stability Error: k_per_res (0.0003) < 0.5*dt (0.0312). Increase k_hr or num_reservoir."),
    ],
)
def test_stability_error(k_seconds, num, step, message):
    layer = LinearReservoir(timedelta(seconds=k_seconds), 0.5, 0.0, num)
    with pytest.raises(ValueError) as info:
        run_linear_reservoir(640, rain([1.0], step), {"a": layer})
    assert str(info.value) == message
    k_per = k_seconds / 3600.0 / num
    half = 0.5 * (step / 3600.0)
    assert message == (
        f"Stability Error: k_per_res ({k_per:.4f}) < 0.5*dt ({half:.4f}). Increase k_hr or num_reservoir."
    )


def test_first_failing_layer_in_dict_order_is_reported():
    good = LinearReservoir(timedelta(hours=10), 0.1, 0.0)
    three = LinearReservoir(timedelta(hours=1), 0.1, 0.0, 3)
    four = LinearReservoir(timedelta(hours=1), 0.1, 0.0, 4)
    for first, second, shown in [(three, four, "0.3333"), (four, three, "0.2500")]:
        with pytest.raises(ValueError, match=rf"k_per_res \({shown}\)"):
            run_linear_reservoir(640, rain([1.0]), {"g": good, "x": first, "y": second})


@pytest.mark.parametrize(
    "args, message",
    [
        (
            (640, ContinuousTimeSeries([1.0], timedelta(hours=1), "rainfall"), {}),
            "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'",
        ),
        ((640, [1.0], {}), "argument 'rainfall': 'list' object is not an instance of 'IncrementalTimeSeries'"),
        ((640, rain([1.0]), {"a": 1}), "argument 'reservoirs': 'int' object is not an instance of 'LinearReservoir'"),
        ((640, rain([1.0]), [("a", None)]), "argument 'reservoirs': 'list' object is not an instance of 'dict'"),
        (("640", rain([1.0]), {"a": 1}), "argument 'basin_area': "),
    ],
)
def test_run_conversion_errors(args, message):
    with pytest.raises(TypeError) as info:
        run_linear_reservoir(*args)
    assert str(info.value).startswith(message)


def test_run_signature_and_caller_objects_untouched():
    assert run_linear_reservoir.__text_signature__ == "(basin_area, rainfall, reservoirs)"
    assert run_linear_reservoir.__module__ == "baseflow"
    assert run_linear_reservoir.__doc__.endswith("or any reservoir fails its stability check.")
    layer = LinearReservoir(timedelta(hours=2), 0.5, 0.0)
    series = rain([1.0, 0.0, 0.0])
    reservoirs = {"a": layer}
    first = run_linear_reservoir(basin_area=640, rainfall=series, reservoirs=reservoirs)
    second = run_linear_reservoir(640, series, reservoirs)
    assert first[0] is not second[0] and first[0].data == second[0].data
    assert (layer.gw_fraction, layer.initial_q, layer.num_reservoir) == (0.5, 0.0, 1)
    assert list(reservoirs) == ["a"] and series.data == [1.0, 0.0, 0.0]
