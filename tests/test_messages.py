"""Numbers inside messages: the shortest decimal digits that read back as the same double, laid out
positionally (no exponent, no ".0" on whole values)."""

import math
from decimal import Decimal

import pytest
import rainmill
from hypothesis import given
from hypothesis import strategies as st

CURVE = rainmill.reservoir.reservoir_utils.ElevationStorage([0.0, 1.0], [0.0, 1.0])


def shown(value):
    """The number as the range error of a storage lookup writes it."""
    with pytest.raises(ValueError) as info:
        CURVE.get_storage(value)
    message = str(info.value)
    prefix, suffix = "`elevation` ", " is outside the range of the elevation-storage curve."
    assert message.startswith(prefix) and message.endswith(suffix)
    return message[len(prefix) : -len(suffix)]


def positional(value):
    text = format(Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


@pytest.mark.parametrize(
    "value, text",
    [
        (123.0, "123"),
        (-2.0, "-2"),
        (-0.5, "-0.5"),
        (1.5, "1.5"),
        (110.0001, "110.0001"),
        (1e21, "1" + "0" * 21),
        (1e23, "1" + "0" * 23),  # shortest digits, not the exact binary value
        (-1e-7, "-0.0000001"),
        (-5e-324, "-0." + "0" * 323 + "5"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
    ],
)
def test_message_numbers(value, text):
    assert shown(value) == text


@given(st.floats(allow_nan=False).filter(lambda x: not 0.0 <= x <= 1.0))
def test_message_numbers_match_python_positional_repr(value):
    if math.isinf(value):
        return
    assert shown(value) == positional(value)
