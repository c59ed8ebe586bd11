"""The end-to-end event model in examples/: it runs, balances its masses and draws its figure."""

import importlib.util
import math
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "examples" / "event_model.py"


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("event_model", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses resolve their module through sys.modules
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(spec.name, None)


@pytest.fixture(scope="module")
def results(example):
    return example.run_event_model()


def trapezoid(values, dt):
    return sum((a + b) * 0.5 * dt for a, b in zip(values, values[1:]))


def test_rain_splits_into_excess_and_loss(example, results):
    assert sum(results.gross_rain) > 0
    for rain, excess, loss in zip(results.gross_rain, results.excess, results.loss, strict=True):
        assert excess >= 0 and loss >= 0
        assert excess + loss == pytest.approx(rain, rel=1e-12, abs=0.0)
    total = math.fsum(results.gross_rain)
    assert math.fsum(results.excess) + math.fsum(results.loss) == pytest.approx(total, rel=1e-12)
    assert example.mass_balance(results).rain_relative_residual <= 1e-12


def test_reservoir_balance_within_stated_tolerance(example, results):
    dt = results.step_seconds
    inflow = trapezoid(results.reach_outflow, dt)
    outflow = trapezoid(results.reservoir_outflow, dt)
    change = results.pool_storage[-1] - results.pool_storage[0]
    assert change > 0 and outflow > 0
    assert abs(inflow - outflow - change) <= example.RESERVOIR_BALANCE_TOLERANCE * inflow
    reported = example.mass_balance(results)
    assert reported.inflow_cf == pytest.approx(inflow, rel=1e-9)
    assert reported.outflow_cf == pytest.approx(outflow, rel=1e-9)
    assert reported.storage_change_cf == change


@pytest.mark.parametrize(
    ("upstream", "downstream"),
    [("reach_inflow", "reach_outflow"), ("reach_outflow", "reservoir_outflow")],
)
def test_peaks_are_attenuated_and_delayed(results, upstream, downstream):
    up, down = getattr(results, upstream), getattr(results, downstream)
    assert max(down) <= max(up)
    assert down.index(max(down)) > up.index(max(up))


def test_direct_runoff_and_padded_baseflow_line_up(example, results):
    extra = math.ceil(example.CLARK_TC.total_seconds() / results.step_seconds) - 1
    n = len(results.gross_rain) + extra
    for name in ("direct_runoff", "baseflow", "reach_inflow", "reach_outflow", "pool_elevation", "observed"):
        assert len(getattr(results, name)) == n, name
    for total, direct, base in zip(results.reach_inflow, results.direct_runoff, results.baseflow, strict=True):
        assert total == direct + base
    layers = results.baseflow_layers.values()
    for i, base in enumerate(results.baseflow):
        assert base == pytest.approx(sum(layer[i] for layer in layers), rel=1e-12)
    tail = results.baseflow[len(results.gross_rain) - 1 :]
    assert all(b <= a for a, b in zip(tail, tail[1:])), "no recharge after the record: baseflow only recedes"


def test_spillway_spills_a_little(example, results):
    assert max(results.pool_elevation) > example.SPILLWAY_CREST_FT
    spill = trapezoid(results.outlet_flows["spillway"], results.step_seconds)
    assert 0 < spill < 0.1 * trapezoid(results.reservoir_outflow, results.step_seconds)


def test_observations_are_seeded(example, results):
    assert example.perturb(results.reservoir_outflow) == results.observed
    assert example.perturb(results.reservoir_outflow, seed=1) != results.observed
    assert 0.5 < results.kge < 1.0 and 0.5 < results.kge_log < 1.0


def test_plot_writes_a_png(example, results, tmp_path):
    pytest.importorskip("matplotlib")
    path = example.plot(results, tmp_path / "figure" / "event.png")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert path.stat().st_size > 10_000


def run_script(tmp_path, *args, block_matplotlib=False):
    argv = [str(SCRIPT), "--output", str(tmp_path), *args]
    code = "import runpy, sys\n"
    if block_matplotlib:
        code += "sys.modules['matplotlib'] = None  # makes `import matplotlib` fail\n"
    code += f"sys.argv = {argv!r}\nrunpy.run_path(sys.argv[0], run_name='__main__')\n"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(
    ("args", "block_matplotlib", "status"),
    [(["--no-plot"], False, 0), ([], True, 0), (["--require-plot"], True, 2)],
    ids=["no-plot", "without-matplotlib", "plot-required-without-matplotlib"],
)
def test_command_line(tmp_path, args, block_matplotlib, status):
    result = run_script(tmp_path, *args, block_matplotlib=block_matplotlib)
    assert result.returncode == status, result.stderr
    assert "Mass balance" in result.stdout and "KGE" in result.stdout
    assert not list(tmp_path.iterdir()), "no figure expected"
    if block_matplotlib:
        assert "matplotlib is not installed" in result.stderr
