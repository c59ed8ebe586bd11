"""The models package's kernels under hostile calls: exact errors, the memory guard, Ctrl-C.

The hostile-argument fuzzing of every kernel runs with the rest of the harness
(tests/fuzz_calls.py, tests/test_hardening.py); this file keeps one regression case per
fault it found, and the kernels' share of the huge-input and interrupt probes.
"""

import os

import pytest

import fuzz_calls
import fuzz_huge
import fuzz_sigint
import kernels_preload

kn = kernels_preload.load()
SANITIZED = os.environ.get("RAINMILL_SANITIZED") == "1"

SOIL = dict.fromkeys(fuzz_calls.SOIL_NAMES, 1.0)
STATES = dict.fromkeys(fuzz_calls.SOIL_STATES, 0.0)
DEFICIT = dict.fromkeys(fuzz_calls.DEFICIT_NAMES, 0.5)
SNOW = dict.fromkeys(fuzz_calls.SNOW_NAMES, 0.5)


def twice(names):
    """The dictionary with its first name given a second time, as a distinct key of the same text."""
    given = dict.fromkeys(names, 0.5)
    given[fuzz_calls.Twin(names[0])] = 0.25
    return given


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: kn.soil_moisture([1.0], [0.0], 1.0, twice(fuzz_calls.SOIL_NAMES), STATES), "'canopy_max' twice"),
        (lambda: kn.soil_moisture([1.0], [0.0], 1.0, SOIL, twice(fuzz_calls.SOIL_STATES)), "'canopy' twice"),
        (lambda: kn.deficit_constant_et([1.0], [0.0], 1.0, twice(fuzz_calls.DEFICIT_NAMES), 0.0), "twice"),
        (
            lambda: kn.temperature_index_snow(
                [1.0], [0.0], 1.0, 0.0, twice(fuzz_calls.SNOW_NAMES), [0.0], [1.0], [0.0], [0.0]
            ),
            "'threshold' twice",
        ),
    ],
)
def test_a_parameter_named_twice_is_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


KERNEL_HUGE = [
    (name, expression) for name, expression, _ in fuzz_huge.CASES if expression.startswith(fuzz_huge.GUARDED)
]


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="the sanitizers cannot run under an address-space limit")
@pytest.mark.parametrize(("name", "expression"), KERNEL_HUGE, ids=[name for name, _ in KERNEL_HUGE])
def test_an_output_sized_by_a_parameter_is_refused_up_front(name, expression):
    outcome, _ = fuzz_huge.run_case(expression)
    assert fuzz_huge.accepted(outcome), outcome


KERNEL_LONG = [call for call in fuzz_sigint.CALLS if call[2].startswith("kn.")]


@pytest.mark.slow
@pytest.mark.parametrize(("name", "setup", "call"), KERNEL_LONG, ids=[call[0] for call in KERNEL_LONG])
def test_a_long_kernel_answers_ctrl_c(name, setup, call):
    reaction = fuzz_sigint.react(setup, call, wait=5.0 if SANITIZED else 3.0)
    assert isinstance(reaction, float), reaction
    assert reaction < (2.0 if SANITIZED else fuzz_sigint.FLAG)
