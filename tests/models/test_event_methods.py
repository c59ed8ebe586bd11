"""The event methods in the registry: names, validation messages, step checks and what their runs return."""

import dataclasses
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import rainmill_models as rm
from rainmill_models import storms
from rainmill_models.errors import ModelError
from rainmill_models.io import units
from rainmill_models.methods import Forcing, baseflow, losses, method_class, routing, transforms

ACRE_INCH = 43560.0 / 12.0


@pytest.mark.parametrize(
    ("process", "name", "cls"),
    [
        ("loss", "scs-curve-number", losses.ScsCurveNumber),
        ("loss", "initial-constant", losses.InitialConstant),
        ("loss", "green-ampt", losses.GreenAmpt),
        ("transform", "scs", transforms.ScsUnitHydrograph),
        ("transform", "snyder", transforms.SnyderUnitHydrograph),
        ("transform", "user", transforms.UserUnitHydrograph),
        ("routing", "lag", routing.Lag),
        ("routing", "muskingum-cunge", routing.MuskingumCunge),
        ("routing", "modified-puls", routing.ModifiedPuls),
        ("baseflow", "recession", baseflow.Recession),
        ("baseflow", "constant-monthly", baseflow.ConstantMonthly),
    ],
)
def test_model_files_select_the_methods_by_name(process, name, cls):
    assert method_class(process, name, f"x.{process}.method") is cls


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: losses.ScsCurveNumber(cn=101), "cn: must be <= 100, got 101"),
        (lambda: losses.ScsCurveNumber(cn="80"), "cn: must be a number, not str"),
        (lambda: losses.InitialConstant(initial_loss=0.5, constant_rate=-0.1), "constant_rate: must be >= 0, got -0.1"),
        (lambda: losses.GreenAmpt(4.0, 0.2, 1.2), "moisture_deficit: must be <= 1, got 1.2"),
        (lambda: losses.GreenAmpt(4.0, 0.2, 0.3, impervious=120), "impervious: must be <= 100, got 120"),
        (
            lambda: transforms.ScsUnitHydrograph(lag=2.0, peak_rate_factor=700),
            "peak_rate_factor: must be <= 600, got 700",
        ),
        (lambda: transforms.SnyderUnitHydrograph(tp=float("nan"), cp=0.6), "tp: must be finite, got nan"),
        (
            lambda: transforms.UserUnitHydrograph(ordinates=(0, -3, 1), duration=1),
            "ordinates[1]: must be finite and >= 0",
        ),
        (lambda: routing.MuskingumCunge(5000, 0.001, 0.04, 0.0, 0.0), "bottom_width: and side_slope cannot both be 0"),
        (lambda: routing.ModifiedPuls((0, 5, 5), (0, 1, 2)), "storage[2]: must be above the value before it (5)"),
        (lambda: routing.ModifiedPuls((0, 5), (0, 1, 2)), "outflow: needs one value per storage (2), got 3"),
        (lambda: routing.ModifiedPuls((0, 5), (0, 1), sub_reaches=2.5), "sub_reaches: must be a whole number"),
        (
            lambda: baseflow.Recession(10.0, 0.9, threshold_ratio=0.2, threshold_flow=5.0),
            "threshold_ratio: give either",
        ),
        (lambda: baseflow.ConstantMonthly(monthly=(1.0,) * 11), "monthly: needs at least 12 values, got 11"),
    ],
)
def test_invalid_parameters_name_the_field(make, message):
    with pytest.raises(ModelError) as error:
        make()
    assert str(error.value).startswith(message)


@pytest.mark.parametrize(
    ("method", "message"),
    [
        (transforms.ScsUnitHydrograph(lag=0.5), "lag: 0.5 h is shorter than the time step (1 h)"),
        (transforms.SnyderUnitHydrograph(tp=0.75, cp=0.6), "tp: 0.75 h is shorter than the time step (1 h)"),
        (transforms.UserUnitHydrograph(ordinates=(0, 1, 0), duration=0.75), "duration: the hydrograph's base (1.5 h)"),
    ],
)
def test_steps_the_transform_cannot_resolve_are_refused(method, message):
    method.check_step(1800)
    with pytest.raises(ModelError) as error:
        method.check_step(3600)
    assert str(error.value).startswith(message)


@pytest.mark.parametrize(
    ("method", "field"),
    [
        (transforms.ScsUnitHydrograph(lag=3.7, peak_rate_factor=300), "lag"),
        (transforms.SnyderUnitHydrograph(tp=2.3, cp=0.6), "tp"),
        (transforms.UserUnitHydrograph(ordinates=(0, 3, 1, 0), duration=1.1), "duration"),
    ],
)
def test_unit_hydrographs_longer_than_the_limit_are_refused_before_they_are_built(method, field, monkeypatch):
    with pytest.raises(ModelError, match=rf"^{field}: 5000000 h at a 0.25 h step needs .* more than the 1e\+07"):
        dataclasses.replace(method, **{field: 5e6}).check_step(900)
    # The count the check makes is the kernel's own: the limit holds to the ordinate.
    built = len(method.unit_hydrograph(640.0, 900))
    monkeypatch.setattr(transforms, "MAX_ORDINATES", built)
    method.check_step(900)
    monkeypatch.setattr(transforms, "MAX_ORDINATES", built - 1)
    with pytest.raises(ModelError, match=rf"^{field}: .* needs {built} unit-hydrograph ordinates"):
        method.check_step(900)


RAIN = np.array([0.0, 0.2, 0.6, 1.1, 0.5, 0.2] + [0.0] * 40)


@pytest.mark.parametrize(
    "loss",
    [
        losses.ScsCurveNumber(cn=78, impervious=20),
        losses.InitialConstant(0.5, 0.1, 10),
        losses.GreenAmpt(4.3, 0.15, 0.3),
    ],
)
def test_losses_split_the_water_into_excess_and_recharge(loss):
    out = loss.run(RAIN, 1800, Forcing())
    assert out.excess.shape == RAIN.shape and out.excess.dtype == np.float64
    assert out.excess.sum() + out.recharge.sum() == pytest.approx(RAIN.sum(), rel=1e-14)


@pytest.mark.parametrize(
    "transform",
    [
        transforms.ScsUnitHydrograph(lag=1.5),
        transforms.SnyderUnitHydrograph(tp=2.0, cp=0.6),
        transforms.UserUnitHydrograph((0, 4, 9, 3, 0), 1),
    ],
)
def test_transforms_return_the_excess_volume_over_the_area(transform):
    excess = RAIN * 0.5
    flow = transform.run(excess, 640.0, 1800)
    assert flow.shape == excess.shape
    assert flow.sum() * 1800.0 == pytest.approx(excess.sum() * 640.0 * ACRE_INCH, rel=1e-12)
    done = transform.complete_after(excess, 640.0, 1800)  # the run's horizon: nothing arrives later
    assert flow[done:].max() == 0.0 and flow[done - 2] > 0.0


def test_routing_and_baseflow_methods_run_on_arrays():
    inflow = np.concatenate([np.linspace(10.0, 400.0, 10), np.linspace(400.0, 10.0, 30)])
    assert routing.Lag(lag=1.0).run(inflow, 1800)[2:].tolist() == inflow[:-2].tolist()
    assert routing.MuskingumCunge(20000, 0.001, 0.04, 20.0, 2.0).run(inflow, 1800).max() < inflow.max()
    assert routing.ModifiedPuls((0, 1e5, 1e6), (0, 100, 500), 2).run(inflow, 1800).max() < inflow.max()
    base, layers = baseflow.Recession(10.0, 0.9, threshold_flow=50.0).run(inflow * 0, 640.0, 1800, inflow)
    assert layers == {} and base[0] == 10.0 and (base > 0).all()
    monthly = baseflow.ConstantMonthly(tuple(float(m) for m in range(1, 13)))
    assert monthly.run(inflow[:3], 640.0, 1800, inflow[:3], months=np.array([12, 1, 1]))[0].tolist() == [12, 1, 1]
    with pytest.raises(ModelError, match="monthly: needs the calendar month"):
        monthly.run(inflow, 640.0, 1800, inflow)


# ---- in model files ----


def event_network(system="US", monthly=False):
    """A subbasin with the event methods and a modified-Puls reach, its numbers given in `system`."""
    area, storage, outflow, flow = 800.0, [0.0, 2e5, 1e6, 5e6], [0.0, 50.0, 300.0, 2000.0], 3.0
    if system == "SI":
        area = units.from_us(area, "area", "SI")
        storage = [units.from_us(v, "volume", "SI") for v in storage]
        outflow = [units.from_us(v, "flow", "SI") for v in outflow]
        flow = units.from_us(flow, "flow", "SI")
    baseflow = (
        {"method": "constant-monthly", "monthly": [flow * m for m in range(1, 13)]}
        if monthly
        else {"method": "recession", "initial_flow": flow, "recession_constant": 0.5, "threshold_ratio": 0.1}
    )
    return rm.Network.from_dict(
        {
            "options": {"units": system, "step": 0.25},
            "subbasins": {
                "hill": {
                    "area": area,
                    "downstream": "channel",
                    "loss": {"method": "scs-curve-number", "cn": 75.0, "impervious": 10.0},
                    "transform": {"method": "scs", "lag": 1.0},
                    "baseflow": baseflow,
                }
            },
            "reaches": {
                "channel": {
                    "routing": {"method": "modified-puls", "storage": storage, "outflow": outflow, "sub_reaches": 2}
                }
            },
        }
    )


def test_event_methods_run_in_si_model_files_as_in_us_ones():
    rain = storms.nrcs_storm("II", 4.0, "2024-06-01", "15min")
    us = event_network("US").run(rain)
    si = event_network("SI").run(rain * units.MM_PER_INCH)
    flow = units.factor_from_us("flow", "SI")
    pd.testing.assert_series_equal(si.at("channel") / flow, us.at("channel"), rtol=1e-9, check_names=False)


def test_constant_monthly_baseflow_follows_the_calendar_of_the_run():
    rain = pd.Series(0.0, index=pd.date_range("2024-01-31T18:00", periods=24, freq="15min"), name="rain")
    result = event_network(monthly=True).run(rain, end="2024-02-01T06:00")
    baseflow = result["hill"]["baseflow"]
    assert baseflow[:"2024-01-31T23:45"].eq(3.0).all() and baseflow["2024-02-01":].eq(6.0).all()


def test_the_design_storm_example_runs_and_attenuates_at_the_pond(capsys):
    sys_path = str(Path(__file__).resolve().parents[2] / "examples")
    sys.path.insert(0, sys_path)
    try:
        import design_storm
    finally:
        sys.path.remove(sys_path)
    assert design_storm.main(["--no-plot"]) == 0
    out = capsys.readouterr().out
    assert "The pond takes the peak from" in out and "network" in out


def test_run_many_runs_a_network_on_many_storms():
    storm = {f"{d} in": storms.nrcs_storm("II", d, "2024-06-01", "15min") for d in (2.0, 4.0)}
    table = rm.run_many(event_network(), storm, progress=False)
    assert table["error"].isna().all() and table["peak_flow"].is_monotonic_increasing
    assert table.loc[1, "peak_flow"] == event_network().run(storm["4.0 in"]).outflow.max()
