"""Every figure: units on each axis, date ticks apart on short windows, legends off the data."""

import re

import pytest

pytest.importorskip("matplotlib")

from calibration_cases import basin, observed, storm

import rainmill_models as rm
from rainmill_models.figures import covered_axes, overlapping_labels


def _result_figure():
    return basin().run(storm()).plot(observed(6.0))


def _calibration_figure():
    fit = rm.calibrate(
        basin(), storm(), observed(6.0), {"basin.transform.r": (0.5, 1.0)}, method="nelder-mead",
        options={"maxfev": 6}, progress=False,
    )  # fmt: skip
    return fit.plot()


def _uncertainty_figure():
    bands = rm.uncertainty(basin(), storm(), {"basin.transform.r": (0.5, 1.0)}, n=4, seed=1, observed=observed(6.0))
    return bands.plot()


@pytest.mark.parametrize("draw", [_result_figure, _calibration_figure, _uncertainty_figure])
def test_figures_label_units_keep_ticks_apart_and_legends_off_the_data(draw):
    figure = draw()
    assert overlapping_labels(figure) == []
    assert covered_axes(figure) == []
    for axes in figure.axes:
        if axes.get_ylabel():
            assert re.search(r"\(.+\)", axes.get_ylabel()), f"no unit in {axes.get_ylabel()!r}"
    assert "time (UTC)" in [axes.get_xlabel() for axes in figure.axes], "the time axis names its zone"
