"""The volume-conserving Clark transform against the extension's truncated one."""

import math
from datetime import timedelta

import numpy as np
import pytest

rm = pytest.importorskip("rainmill_models")

import rainmill

from rainmill_models.methods.unit_hydrograph_clark import clark, unit_hydrograph

AREA = 640.0
STEP = 900
UNIT_VOLUME_FT3 = AREA * 43560.0 / 12.0  # one inch over the basin


def extension_uh(tc, r, step=STEP):
    rain = rainmill.utils.IncrementalTimeSeries([1.0], timedelta(seconds=step), "rainfall")
    return rainmill.rainfall_transform.run_clark_uh(rain, AREA, tc, r).data


@pytest.mark.parametrize("tc_steps", [1, 2, 3, 7, 16, 50, 200])
@pytest.mark.parametrize("r_over_tc", [0.1, 0.25, 0.5, 1.0, 3.0, 10.0])
def test_keeps_the_unit_volume_and_the_first_ordinates(tc_steps, r_over_tc):
    tc = timedelta(seconds=tc_steps * STEP)
    r = timedelta(seconds=r_over_tc * tc_steps * STEP)
    uh = unit_hydrograph(AREA, tc, r, STEP)
    n = math.ceil(tc.total_seconds() / STEP)
    truncated = extension_uh(tc, r)
    if n > 1:
        assert uh[: len(truncated) + 1][:n].tolist() == truncated[:n], (
            "the first ceil(tc/step) ordinates are the extension's"
        )
    else:
        assert uh[0] == 0.0 and all(v == 0.0 for v in truncated), "tc <= step: the extension returns zeros"
    volume = math.fsum(uh.tolist()) * STEP
    assert volume >= 0.9999 * UNIT_VOLUME_FT3
    assert volume <= UNIT_VOLUME_FT3 * (1 + 1e-9)
    assert (uh >= 0.0).all() if r.total_seconds() >= STEP / 2 else True
    kept = math.fsum(truncated) * STEP / UNIT_VOLUME_FT3
    assert kept < 0.9999 or r_over_tc <= 0.1, "the truncated form loses water"


@pytest.mark.parametrize(("tc_h", "r_h", "kept"), [(4.0, 0.5, 0.906), (4.0, 4.0, 0.369), (2.0, 6.0, 0.142)])
def test_what_the_truncated_form_loses_the_default_keeps(tc_h, r_h, kept):
    truncated = extension_uh(timedelta(hours=tc_h), timedelta(hours=r_h))
    assert math.fsum(truncated) * STEP / UNIT_VOLUME_FT3 == pytest.approx(kept, abs=0.001)
    full = unit_hydrograph(AREA, timedelta(hours=tc_h), timedelta(hours=r_h), STEP)
    assert math.fsum(full.tolist()) * STEP / UNIT_VOLUME_FT3 > 0.9999


def test_convolution_starts_like_the_extension():
    rng = np.random.default_rng(7)
    excess = [float(v) if v > 0.3 else 0.0 for v in rng.random(40)]
    tc, r = timedelta(hours=3), timedelta(hours=1)
    n = math.ceil(tc.total_seconds() / STEP)
    ext = rainmill.rainfall_transform.run_clark_uh(
        rainmill.utils.IncrementalTimeSeries(excess, timedelta(seconds=STEP), "rainfall"), AREA, tc, r
    ).data
    ours = clark(excess, AREA, tc, r, STEP)
    assert ours[:n].tolist() == ext[:n], "identical while only the shared ordinates contribute"
    assert math.fsum(ours.tolist()) == pytest.approx(
        math.fsum(excess) * math.fsum(unit_hydrograph(AREA, tc, r, STEP).tolist()), rel=1e-12
    )
    assert len(ours) == len(excess) + len(unit_hydrograph(AREA, tc, r, STEP)) - 1


def test_unit_hydrograph_is_read_only_and_cached():
    uh = unit_hydrograph(AREA, timedelta(hours=2), timedelta(hours=1), STEP)
    with pytest.raises(ValueError):
        uh[0] = 1.0
    assert unit_hydrograph(AREA, timedelta(hours=2), timedelta(hours=1), STEP) is uh
