"""Kling-Gupta efficiency, checked bit for bit against a pure-Python model
with the same order of operations (plain left-to-right sums: the built-in
sum() compensates its rounding and would not match)."""

import math
from datetime import timedelta

import numpy
import pytest
import rainmill
from hypothesis import given, settings
from hypothesis import strategies as st

calculate_kge = rainmill.metrics.calculate_kge

EPS = 1e-6


def c_log(x):
    """The C library's log, including its answers where math.log raises."""
    if math.isnan(x) or x < 0.0:
        return math.nan
    if x == 0.0:
        return -math.inf
    return math.log(x)


def model_kge(sim, obs, use_log=False):
    sim = [float(v) for v in sim]
    obs = [float(v) for v in obs]
    if use_log:
        sim = [c_log(v + EPS) for v in sim]
        obs = [c_log(v + EPS) for v in obs]
    n = float(len(obs))
    total_s = -0.0
    for v in sim:
        total_s += v
    total_o = -0.0
    for v in obs:
        total_o += v
    m_s = total_s / n
    m_o = total_o / n
    s_ss = s_oo = s_so = 0.0
    for s, o in zip(sim, obs):
        d_s = s - m_s
        d_o = o - m_o
        s_ss += d_s * d_s
        s_oo += d_o * d_o
        s_so += d_o * d_s
    q = math.sqrt(s_oo * s_ss)
    if q < EPS:
        corr_term = 1.0
    else:
        r = s_so / q
        corr_term = (r - 1.0) * (r - 1.0)
    beta = m_s / (EPS if abs(m_o) < EPS else m_o)
    std_s = math.sqrt(s_ss / n)
    std_o = math.sqrt(s_oo / n)
    gamma = std_s / (std_o if std_o > EPS else EPS)
    inner = (gamma - 1.0) * (gamma - 1.0) + ((beta - 1.0) * (beta - 1.0) + corr_term)
    return 1.0 - math.sqrt(inner)


def same_bits(a, b):
    return (math.isnan(a) and math.isnan(b)) or a.hex() == b.hex()


@pytest.mark.parametrize(
    "sim, obs, use_log, shown, places",
    [
        ([1, 2, 3], [1, 2, 3], False, 1.0, 15),
        ([1, 2, 3], [1, 2, 4], False, 0.625838, 6),
        ([1, 2, 3], [1, 2, 4], True, 0.757774, 6),
        ([2, 2, 2], [2, 2, 2], False, 1 - math.sqrt(2), 15),
        ([1.0], [1.0], False, 1 - math.sqrt(2), 15),
        ([0, 0, 0], [1, 2, 3], False, 1 - math.sqrt(3), 15),
        ([1, 2, 3], [0, 0, 0], False, -2160244.6, 1),
    ],
)
def test_documented_values(sim, obs, use_log, shown, places):
    got = calculate_kge(sim, obs, use_log)
    assert type(got) is float
    assert same_bits(got, model_kge(sim, obs, use_log))
    assert round(got, places) == round(shown, places)


@pytest.mark.parametrize(
    "sim, obs",
    [
        ([1.0, 2.0, 3.0], [-3e-7, 1e-7, 0.0]),  # small negative mean is guarded to +eps
        ([1.0, 2.0, 3.0], [-5.0, -1.0, -2.0]),
        ([0.1, 0.2, 0.3, 0.4, 0.5], [0.3, 0.1, 0.2, 0.1, 0.9]),
        ([1e6, 1e6 + 1, 1e6 + 2], [5.0, 5.0000001, 5.0]),
        ([-0.0, -0.0], [-0.0, -0.0]),
    ],
)
@pytest.mark.parametrize("use_log", [False, True])
def test_guarded_cases_match_model(sim, obs, use_log):
    assert same_bits(calculate_kge(sim, obs, use_log), model_kge(sim, obs, use_log))


@pytest.mark.parametrize(
    "sim, obs, use_log",
    [
        ([math.nan, 1.0], [1.0, 2.0], False),
        ([1.0, 2.0], [1.0, math.nan], False),
        ([-1e-6, 1.0, 2.0], [1.0, 2.0, 3.0], True),  # ln(0) = -inf
        ([1.0, 2.0, 3.0], [-0.5, 2.0, 3.0], True),  # ln of a negative
    ],
)
def test_unscreened_inputs_give_nan(sim, obs, use_log):
    assert math.isnan(calculate_kge(sim, obs, use_log))


finite = st.floats(-1e6, 1e6, allow_nan=False)


@settings(max_examples=150, deadline=None)
@given(
    pairs=st.lists(st.tuples(finite, finite), min_size=1, max_size=30),
    use_log=st.booleans(),
)
def test_matches_model(pairs, use_log):
    sim = [s for s, _ in pairs]
    obs = [o for _, o in pairs]
    assert same_bits(calculate_kge(sim, obs, use_log), model_kge(sim, obs, use_log))


@settings(max_examples=80, deadline=None)
@given(pairs=st.lists(st.tuples(st.floats(0.0, 1e4), st.floats(0.0, 1e4)), min_size=1, max_size=30))
def test_log_variant_matches_model_on_flows(pairs):
    sim = [s for s, _ in pairs]
    obs = [o for _, o in pairs]
    got = calculate_kge(sim, obs, use_log=True)
    assert same_bits(got, model_kge(sim, obs, True))
    assert got <= 1.0


@pytest.mark.parametrize(
    "sim, obs, message",
    [
        ([1.0], [], "Observed series is empty."),
        ([], [], "Observed series is empty."),
        ([], [1.0], "Series length mismatch."),
        ([1.0, 2.0], [1.0], "Series length mismatch."),
    ],
)
def test_validation(sim, obs, message):
    with pytest.raises(ValueError) as info:
        calculate_kge(sim, obs)
    assert str(info.value) == message


@pytest.mark.parametrize("flag", [1, 0, None, "yes", numpy.int64(1)])
def test_use_log_must_be_bool(flag):
    # Conversion comes before validation, so the empty series are not reported.
    with pytest.raises(TypeError) as info:
        calculate_kge([], [], flag)
    assert str(info.value).startswith("argument 'use_log': ")


@pytest.mark.parametrize("flag", [True, False])
def test_numpy_bool_accepted(flag):
    sim, obs = [1.0, 2.0, 3.0], [1.0, 2.0, 4.0]
    assert calculate_kge(sim, obs, use_log=numpy.bool_(flag)) == calculate_kge(sim, obs, flag)


def test_sequence_conversions():
    expected = calculate_kge([1.0, 2.0, 3.0], [1.0, 2.0, 4.0])
    assert calculate_kge((1, 2, 3), range(1, 4)) == model_kge([1, 2, 3], [1, 2, 3])
    assert calculate_kge(numpy.array([1.0, 2.0, 3.0]), [1, 2, 4]) == expected
    assert calculate_kge(obs=[1, 2, 4], sim=[1, 2, 3]) == expected


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"sim": "123"}, "argument 'sim': Can't extract `str` to `Vec`"),
        ({"sim": (x for x in [1.0])}, "argument 'sim': 'generator' object is not an instance of 'Sequence'"),
        (
            {"obs": rainmill.utils.ContinuousTimeSeries([1.0], timedelta(hours=1), "discharge")},
            "argument 'obs': 'ContinuousTimeSeries' object is not an instance of 'Sequence'",
        ),
        ({"obs": [1.0, "2"]}, "argument 'obs': "),
    ],
)
def test_vector_conversion_errors(kwargs, message):
    args = {"sim": [1.0, 2.0], "obs": [1.0, 2.0], **kwargs}
    with pytest.raises(TypeError) as info:
        calculate_kge(**args)
    assert str(info.value).startswith(message)


def test_function_shape():
    assert rainmill.metrics.__all__ == ["calculate_kge"]
    assert calculate_kge.__module__ == "metrics"
    assert calculate_kge.__text_signature__ == "(sim, obs, use_log=False)"
    doc = calculate_kge.__doc__
    assert doc.startswith("Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.")
    assert "KGE = 1 - sqrt((r-1)\u00b2 + (\u03b2-1)\u00b2 + (\u03b3-1)\u00b2)" in doc
    assert "`ln(x + \u03b5)` before\n  computing statistics." in doc
    assert doc.endswith("`sim` and `obs` have\ndifferent lengths.")
