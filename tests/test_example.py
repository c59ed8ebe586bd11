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
    basin = result["basin"]
    assert basin["rain"].sum() == pytest.approx(2.6)
    assert (basin["excess"] >= 0).all() and (basin["loss"] >= 0).all()
    for gross, excess, loss in zip(basin["rain"], basin["excess"], basin["loss"], strict=True):
        assert excess + loss == pytest.approx(gross, rel=1e-12, abs=0.0)


def test_reservoir_balance_within_stated_tolerance(result):
    dt = result.step.total_seconds()
    pool = result["reservoir"]
    inflow = trapezoid(result.at("reach"), dt)
    outflow = trapezoid(pool["outflow"], dt)
    change = pool["storage"].iloc[-1] - pool["storage"].iloc[0]
    row = result.balances.loc["reservoir"]
    assert outflow > 0 and abs(inflow - outflow - change) <= 1e-3 * inflow
    assert row["inflow"] == pytest.approx(inflow, rel=1e-9)
    assert row["outflow"] == pytest.approx(outflow, rel=1e-3)
    assert abs(row["residual"]) <= 1e-9 * inflow and row["storage_change"] == change
    assert result.balances["closes"].all()


@pytest.mark.parametrize(("upstream", "downstream"), [("basin", "reach"), ("reach", "reservoir")])
def test_peaks_are_attenuated_and_delayed(result, upstream, downstream):
    up, down = result.at(upstream), result.at(downstream)
    assert down.max() <= up.max()
    assert down.idxmax() > up.idxmax()


def test_hydrographs_line_up_and_the_pool_recedes(example, result):
    basin = result["basin"]
    assert (basin["outflow"] == basin["direct"] + basin["baseflow"]).all()
    layers = basin[["baseflow.shallow", "baseflow.deep"]].sum(axis=1)
    assert all(b == pytest.approx(s, rel=1e-12) for b, s in zip(basin["baseflow"], layers))
    baseflow = basin["baseflow"].to_numpy()
    assert baseflow.argmax() > 6 * 4, "the layers peak after the storm"
    tail = baseflow[baseflow.argmax() :]
    assert all(b <= a for a, b in zip(tail, tail[1:])), "no recharge after the storm: baseflow only recedes"
    out = result.outflow
    assert out.iloc[-1] <= out.iloc[0] + 0.01 * (out.max() - out.iloc[0]), "the run ends once the outflow recedes"
    assert result["reservoir"]["elevation"].iloc[-1] < result["reservoir"]["elevation"].max() - 5


def test_spillway_spills_a_little(result):
    dt = result.step.total_seconds()
    pool = result["reservoir"]
    crest = result.network.elements["reservoir"].outlets["spillway"].elevation[0]
    assert pool["elevation"].max() > crest
    spill = trapezoid(pool["outlet.spillway"], dt)
    assert 0 < spill < 0.1 * trapezoid(pool["outflow"], dt)


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
    assert "Water balance" in result.stdout and "kge" in result.stdout
    assert math.isfinite(float(result.stdout.split("kge ")[1].split()[0]))
    assert not list(tmp_path.iterdir()), "no figure expected"
    if block_matplotlib:
        assert "matplotlib is not installed" in result.stderr
