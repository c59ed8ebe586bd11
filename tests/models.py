"""Small pure-Python models shared by the tests: the same formulas and order of operations as the
library, written independently of it."""

import bisect
import struct


def bits(values):
    """The exact bit patterns of a list of doubles (so -0.0 and NaN payloads compare too)."""
    return [struct.pack("<d", v) for v in values]


def seconds_of(delta):
    """A timedelta as the library reads a duration: whole seconds, then the fraction added."""
    whole = delta.days * 86400 + delta.seconds
    return float(whole) + (delta.microseconds * 1000) / 1e9


def interp_model(xs, ys, x, left=None, right=None):
    """Piecewise-linear lookup: knot hits exact, otherwise fraction * rise + base."""
    i = bisect.bisect_left(xs, x)
    if i < len(xs) and xs[i] == x:
        return ys[i]
    if i == 0:
        return left
    if i == len(xs):
        return right
    x0, x1, y0, y1 = xs[i - 1], xs[i], ys[i - 1], ys[i]
    return ((x - x0) / (x1 - x0)) * (y1 - y0) + y0
