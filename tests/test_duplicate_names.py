"""Two parts under one name: outlet and layer maps whose keys share their text."""

import datetime

import pytest
import rainmill

td = datetime.timedelta
ru = rainmill.reservoir.reservoir_utils
CTS, ITS = rainmill.utils.ContinuousTimeSeries, rainmill.utils.IncrementalTimeSeries


class SameText(str):
    """A key equal only to itself: a dict keeps two of them with the same text."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other

    def __ne__(self, other):
        return self is not other


def keys(*names):
    return [SameText(name) for name in names]


OUTLET = ru.ConstantDischargeInfo(1.0)
LAYER = rainmill.baseflow.LinearReservoir(td(hours=2), 0.25, 0.0)


def route(outlets):
    inflow = CTS([5.0, 5.0, 5.0], td(seconds=60), "discharge")
    return rainmill.reservoir.run_level_pool_routing(inflow, 105.0, ru.ElevationStorage([100, 110], [0, 1e6]), outlets)


def baseflow(layers):
    return rainmill.baseflow.run_linear_reservoir(10.0, ITS([1.0, 0.5], td(hours=1), "rainfall"), layers)


@pytest.mark.parametrize(
    "run, part, word",
    [(route, OUTLET, "outlet"), (baseflow, LAYER, "layer")],
)
@pytest.mark.parametrize(
    "names, repeated",
    [(("a", "a"), "a"), (("x", "b", "c", "b", "c"), "b"), (("", ""), ""), (("é ü", "é ü"), "é ü")],
)
def test_duplicate_names_are_refused(run, part, word, names, repeated):
    mapping = {key: part for key in keys(*names)}
    assert len(mapping) == len(names)
    with pytest.raises(ValueError) as info:
        run(mapping)
    assert str(info.value) == f"duplicate {word} name '{repeated}'."


@pytest.mark.parametrize("run, part", [(route, OUTLET), (baseflow, LAYER)])
def test_distinct_subclass_keys_still_route(run, part):
    # Only equal text is refused; the subclass itself is an ordinary name.
    a, b = keys("a", "b")
    subclassed = run({a: part, b: part})
    plain = run({"a": part, "b": part})
    if isinstance(plain, tuple):
        assert subclassed[0].data == plain[0].data
        assert list(subclassed[1]) == ["a", "b"]
    else:
        assert subclassed.reservoir_total_outflow.data == plain.reservoir_total_outflow.data
        assert list(subclassed.reservoir_individual_outflows) == ["a", "b"]
