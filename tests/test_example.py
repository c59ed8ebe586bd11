"""The end-to-end event model in examples/: it runs from its files, balances its masses and draws its figure."""

import importlib.util
import math
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("pandas")
pytest.importorskip("tomli_w")

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "examples" / "event_model.py"


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("event_model", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(spec.name, None)


@pytest.fixture(scope="module")
def result(example):
    return example.run_event_model()


def trapezoid(values, dt):
    values = list(values)
    return sum((a + b) * 0.5 * dt for a, b in zip(values, values[1:]))


def test_rain_splits_into_excess_and_loss(result):
    rain = result.rain
    assert rain["gross"].sum() == pytest.approx(2.6)
    assert (rain["excess"] >= 0).all() and (rain["loss"] >= 0).all()
    for gross, excess, loss in zip(rain["gross"], rain["excess"], rain["loss"], strict=True):
        assert excess + loss == pytest.approx(gross, rel=1e-12, abs=0.0)
    assert abs(result.mass_balance.rain_residual) <= 1e-12


def test_reservoir_balance_within_stated_tolerance(result):
    dt = result.step.total_seconds()
    flows = result.flows
    inflow = trapezoid(flows["reach_outflow"], dt)
    outflow = trapezoid(flows["reservoir_outflow"], dt)
    storage = result.pool["storage"]
    change = storage.iloc[-1] - storage.iloc[0]
    balance = result.mass_balance
    assert outflow > 0 and abs(inflow - outflow - change) <= balance.tolerance * inflow
    assert balance.reservoir_inflow == pytest.approx(inflow, rel=1e-9)
    # the released volume comes from the storage trace; the points' trapezoid is within the tolerance of it
    assert balance.reservoir_outflow == pytest.approx(outflow, rel=balance.tolerance)
    assert abs(balance.reservoir_residual) <= 1e-9 * inflow
    assert balance.storage_change == change
    assert balance.runoff_fraction == pytest.approx(1.0, abs=1e-4), "the default Clark form keeps the recession"


@pytest.mark.parametrize(
    ("upstream", "downstream"),
    [("basin_outflow", "reach_outflow"), ("reach_outflow", "reservoir_outflow")],
)
def test_peaks_are_attenuated_and_delayed(result, upstream, downstream):
    up, down = result.flows[upstream], result.flows[downstream]
    assert down.max() <= up.max()
    assert down.idxmax() > up.idxmax()


def test_hydrographs_line_up_and_the_pool_recedes(example, result):
    flows = result.flows
    assert (flows["basin_outflow"] == flows["direct_runoff"] + flows["baseflow"]).all()
    layers = flows[["baseflow.shallow", "baseflow.deep"]].sum(axis=1)
    assert all(b == pytest.approx(s, rel=1e-12) for b, s in zip(flows["baseflow"], layers))
    baseflow = flows["baseflow"].to_numpy()
    assert baseflow.argmax() > 6 * 4, "the layers peak after the storm"
    tail = baseflow[baseflow.argmax() :]
    assert all(b <= a for a, b in zip(tail, tail[1:])), "no recharge after the storm: baseflow only recedes"
    out = result.outflow
    assert out.iloc[-1] <= out.iloc[0] + 0.01 * (out.max() - out.iloc[0]), "the run ends once the outflow recedes"
    assert result.pool["elevation"].iloc[-1] < result.pool["elevation"].max() - 5


def test_spillway_spills_a_little(result):
    dt = result.step.total_seconds()
    crest = result.model.reservoir.outlets["spillway"].elevation[0]
    assert result.pool["elevation"].max() > crest
    spill = trapezoid(result.flows["outlet.spillway"], dt)
    assert 0 < spill < 0.1 * trapezoid(result.flows["reservoir_outflow"], dt)


def test_observations_are_synthetic_and_seeded(example, result):
    import rainmill_models as rm

    assert "SYNTHETIC" in example.OBSERVED.read_text().splitlines()[0]
    assert "SYNTHETIC" in example.STORM.read_text().splitlines()[0]
    observed = rm.read_flow_csv(example.OBSERVED)
    assert observed.index.equals(result.outflow.index)
    assert example.perturb(result.outflow.tolist()) == observed.tolist()
    assert example.perturb(result.outflow.tolist(), seed=1) != observed.tolist()
    assert 0.5 < rm.kge(result.outflow, observed) < 1.0
    assert 0.5 < rm.kge(result.outflow, observed, use_log=True) < 1.0


def test_plot_writes_a_png(result, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "figure" / "event.png"
    result.plot(path=str(path))
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert path.stat().st_size > 10_000


def run_script(tmp_path, *args, block_matplotlib=False):
    argv = [str(SCRIPT), "--output", str(tmp_path), *args]
    code = "import runpy, sys\n"
    if block_matplotlib:
        code += "sys.modules['matplotlib'] = None  # makes `import matplotlib` fail\n"
        code += "sys.modules['matplotlib.figure'] = None\n"
    code += f"sys.argv = {argv!r}\nrunpy.run_path(sys.argv[0], run_name='__main__')\n"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    ("args", "block_matplotlib", "status"),
    [(["--no-plot"], False, 0), ([], True, 0), (["--require-plot"], True, 2)],
    ids=["no-plot", "without-matplotlib", "plot-required-without-matplotlib"],
)
def test_command_line(tmp_path, args, block_matplotlib, status):
    result = run_script(tmp_path, *args, block_matplotlib=block_matplotlib)
    assert result.returncode == status, result.stderr
    assert "Mass balance" in result.stdout and "kge" in result.stdout
    assert math.isfinite(float(result.stdout.split("kge ")[1].split()[0]))
    assert not list(tmp_path.iterdir()), "no figure expected"
    if block_matplotlib:
        assert "matplotlib is not installed" in result.stderr
