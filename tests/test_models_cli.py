"""`python -m rainmill_models run`: the model file and CSV files in, summary, CSV and figure out."""

import pathlib
import subprocess
import sys

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("tomli_w")

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def cli(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "rainmill_models", *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd
    )


def test_run_writes_results_and_figure(tmp_path):
    pytest.importorskip("matplotlib")
    out, figure = tmp_path / "results.csv", tmp_path / "figure.png"
    done = cli(
        "run",
        EXAMPLES / "event_model.toml",
        "--rain",
        EXAMPLES / "design_storm.csv",
        "--observed",
        EXAMPLES / "observed_outflow.csv",
        "--out",
        out,
        "--plot",
        figure,
    )
    assert done.returncode == 0, done.stderr
    for text in ("reservoir_outflow", "Mass balance", "within the tolerance", "Scores against the observations", "kge"):
        assert text in done.stdout
    frame = pd.read_csv(out, index_col=0)
    assert {"reservoir_outflow", "rain.gross", "pool.elevation", "outlet.spillway"} <= set(frame.columns)
    assert frame.index[0] == "2024-06-11T00:00:00+00:00"
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_observations_beyond_the_recession_extend_the_run(tmp_path):
    observed = tmp_path / "q.csv"
    index = pd.date_range("2024-06-11", "2024-06-14", freq="15min", tz="UTC", name="time")
    pd.Series(5.0, index=index, name="q").to_csv(observed)
    done = cli(
        "run",
        EXAMPLES / "event_model.toml",
        "--rain",
        EXAMPLES / "design_storm.csv",
        "--observed",
        observed,
        "--units",
        "SI",
    )
    assert done.returncode == 0, done.stderr
    assert "to 2024-06-14T00:00:00+00:00" in done.stdout and "m³/s" in done.stdout


@pytest.mark.parametrize(
    ("edit", "message"),
    [
        (("constant_rate = 0.12", "constant_rate = -0.12"), "error: basin.loss.constant_rate: must be >= 0, got -0.12"),
        (("x = 0.15", "x = 0.45"), "error: reach.sub_reaches: the time step 0.25 h is outside [2Kx, 2K(1-x)]"),
        (
            ("initial_elevation = 108.5", "initial_elevation = 99.0"),
            "error: reservoir.initial_elevation: 99 is outside",
        ),
    ],
)
def test_invalid_models_exit_with_the_message(tmp_path, edit, message):
    text = (EXAMPLES / "event_model.toml").read_text()
    assert edit[0] in text
    model = tmp_path / "model.toml"
    model.write_text(text.replace(edit[0], edit[1]))
    done = cli("run", model, "--rain", EXAMPLES / "design_storm.csv")
    assert done.returncode == 2
    assert done.stderr.startswith(message), done.stderr


def test_missing_files_and_arguments(tmp_path):
    done = cli("run", tmp_path / "nope.toml", "--rain", EXAMPLES / "design_storm.csv")
    assert done.returncode == 2 and "error:" in done.stderr and "nope.toml" in done.stderr
    assert cli("run", EXAMPLES / "event_model.toml").returncode == 2  # --rain is required
    assert "run" in cli("--help").stdout
