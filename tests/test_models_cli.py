"""The command line: model and CSV files in; a summary, CSV results and figures out; one-line errors."""

import pathlib
import resource
import select
import signal
import subprocess
import sys

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("tomli_w")

from rainmill_models.__main__ import main
from rainmill_models.cli.common import UsageError

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
MODEL, STORM, OBSERVED = EXAMPLES / "event_model.toml", EXAMPLES / "design_storm.csv", EXAMPLES / "observed_outflow.csv"


def call(capsys, *args):
    """Run the command line in this process: (exit status, stdout, stderr)."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


def cli(*args, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "rainmill_models", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )


def written(folder, name, data):
    path = folder / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def edited(folder, *replacements):
    text = MODEL.read_text()
    for old, new in zip(replacements[::2], replacements[1::2]):
        assert old in text
        text = text.replace(old, new)
    return written(folder, "model.toml", text)


def run_args(*extra, model=MODEL, rain=STORM):
    return ["run", model, "--rain", rain, *extra]


def calibrate_args(folder, *extra, bounds="[1.0, 8.0]", observed=OBSERVED):
    parameters = written(folder, "bounds.toml", f'"basin.transform.tc" = {bounds}\n')
    common = ["calibrate", MODEL, "--rain", STORM, "--observed", observed, "--parameters", parameters]
    return [*common, "--maxiter", "2", "--no-progress", *extra]


def test_run_writes_results_and_figure(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    out, figure = tmp_path / "results.csv", tmp_path / "figure.png"
    status, stdout, stderr = call(capsys, *run_args("--observed", OBSERVED, "--out", out, "--plot", figure))
    assert status == 0, stderr
    for text in ("reservoir", "Water balance", "Scores against the observations", "kge"):
        assert text in stdout
    assert "OUTSIDE" not in stdout
    frame = pd.read_csv(out, index_col=0)
    assert {"reservoir.outflow", "basin.rain", "reservoir.elevation", "reservoir.outlet.spillway"} <= set(frame.columns)
    assert frame.index[0] == "2024-06-11T00:00:00+00:00"
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_observations_beyond_the_recession_extend_the_run(tmp_path, capsys):
    observed = tmp_path / "q.csv"
    index = pd.date_range("2024-06-11", "2024-06-14", freq="15min", tz="UTC", name="time")
    pd.Series(5.0, index=index, name="q").to_csv(observed)
    status, stdout, stderr = call(capsys, *run_args("--observed", observed, "--units", "SI"))
    assert status == 0, stderr
    assert "to 2024-06-14T00:00:00+00:00" in stdout and "m³/s" in stdout


def naive(text):
    return text.replace("+00:00", "")


def constant(text):
    lines = text.splitlines()
    return "\n".join(line if line.startswith(("#", "time")) else line.split(",")[0] + ",5.0" for line in lines) + "\n"


def with_inf(text):
    lines = text.splitlines()
    lines[-2] = lines[-2].split(",")[0] + ",inf"
    return "\n".join(lines) + "\n"


# Each bad input: how to make its command line in a folder, and what its one error line must name.
BAD_INPUTS = {
    "empty csv": (lambda d: run_args(rain=written(d, "rain.csv", b"")), "rain.csv"),
    "ragged csv": (
        lambda d: run_args(rain=written(d, "rain.csv", "time,r\n2024-06-11T00:00,0.1\n2024-06-11T01:00,0.2,7\n")),
        "rain.csv",
    ),
    "csv not utf-8": (
        lambda d: run_args(rain=written(d, "rain.csv", "time,pluie é\n2024-06-11T00:00,0.1\n".encode("latin-1"))),
        "rain.csv",
    ),
    "model not utf-8": (
        lambda d: run_args(
            model=written(d, "model.toml", MODEL.read_text().replace("Synthetic", "Modèle").encode("latin-1"))
        ),
        "model.toml",
    ),
    "outlet kind [1]": (lambda d: run_args(model=edited(d, 'kind = "constant"', "kind = [1]")), "model.toml"),
    "toml nested 5000 deep": (
        lambda d: run_args(model=written(d, "model.toml", "a = " + "[" * 5000 + "]" * 5000)),
        "model.toml",
    ),
    "400-digit integer": (lambda d: run_args(model=edited(d, "area = 1600.0", "area = " + "9" * 400)), "model.toml"),
    "tc 1e30": (lambda d: run_args(model=edited(d, "tc = 4.0", "tc = 1e30")), "model.toml"),
    "baseflow 1e9 reservoirs of 1e9 h": (
        lambda d: run_args(
            model=edited(
                d, "k = 72.0\ninitial_q = 4.0\nreservoirs = 1", "k = 1e9\ninitial_q = 4.0\nreservoirs = 1000000000"
            )
        ),
        "model.toml",
    ),
    "end garbage": (lambda d: run_args("--end", "garbage"), "--end"),
    "naive observations": (
        lambda d: run_args("--observed", written(d, "observed.csv", naive(OBSERVED.read_text()))),
        "observed.csv",
    ),
    "bounds low >= high": (lambda d: calibrate_args(d, bounds="[8.0, 8.0]"), "bounds.toml"),
    "bad window": (lambda d: calibrate_args(d, "--window", "soon", "2024-06-12T00:00"), "--window"),
    "reversed window": (lambda d: calibrate_args(d, "--window", "2024-06-12T00:00", "2024-06-11T00:00"), "--window"),
    "seed -1": (lambda d: calibrate_args(d, "--seed", "-1"), "--seed"),
    "executor 0": (lambda d: calibrate_args(d, "--executor", "0"), "--executor"),
    "infinite observation": (
        lambda d: calibrate_args(d, observed=written(d, "observed.csv", with_inf(OBSERVED.read_text()))),
        "observed.csv",
    ),
    "no finite score": (  # constant observations: the NSE of every candidate divides by zero
        lambda d: calibrate_args(
            d, "--objective", "nse", observed=written(d, "observed.csv", constant(OBSERVED.read_text()))
        ),
        "finite score",
    ),
}


@pytest.mark.parametrize(("make", "named"), BAD_INPUTS.values(), ids=BAD_INPUTS.keys())
def test_bad_input_is_one_error_line_naming_it(tmp_path, capsys, make, named):
    status, _, stderr = call(capsys, *make(tmp_path), "--out", tmp_path / "out")
    lines = stderr.splitlines()
    assert status == 2 and len(lines) == 1, stderr
    assert lines[0].startswith("error: ") and named in lines[0], stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    ("edit", "message"),
    [
        (("constant_rate = 0.12", "constant_rate = -0.12"), "basin.loss.constant_rate: must be >= 0, got -0.12"),
        (("x = 0.15", "x = 0.45"), "reach.sub_reaches: the time step 0.25 h is outside [2Kx, 2K(1-x)]"),
        (("initial_elevation = 108.5", "initial_elevation = 99.0"), "reservoir.initial_elevation: 99 is outside"),
    ],
)
def test_invalid_models_name_the_file_and_field(tmp_path, capsys, edit, message):
    model = edited(tmp_path, *edit)
    status, _, stderr = call(capsys, *run_args(model=model))
    assert status == 2
    assert stderr.startswith(f"error: {model}: {message}"), stderr


def test_failed_output_writes_nothing(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    outputs = ["--out", tmp_path / "best.toml", "--history", tmp_path / "history.csv"]
    status, _, stderr = call(capsys, *calibrate_args(tmp_path, *outputs, "--plot", tmp_path / "fit.nosuchformat"))
    assert status == 2 and stderr.startswith(f"error: {tmp_path / 'fit.nosuchformat'}: "), stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bounds.toml"], "no output, no temporary left behind"


def test_a_directory_as_output_gets_a_named_file(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    status, stdout, stderr = call(capsys, *run_args("--plot", tmp_path, "--out", f"{tmp_path}/"))
    assert status == 0, stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["event_model.png", "event_model.results.csv"]
    assert f"Written: {tmp_path / 'event_model.png'}" in stdout
    status, _, stderr = call(capsys, *run_args("--plot", tmp_path / "x.png", "--out", tmp_path / "x.png"))
    assert status == 2 and "the same file as --out" in stderr


def test_internal_faults_keep_their_traceback(capsys, monkeypatch):
    from rainmill_models.results import NetworkResult

    def broken(self):
        raise KeyError("a fault of the package")

    monkeypatch.setattr(NetworkResult, "summary", broken)
    status, _, stderr = call(capsys, *run_args())
    assert status == 1
    assert "Traceback" in stderr and "KeyError" in stderr and "internal error" in stderr.splitlines()[-1]
    with pytest.raises(UsageError):  # --traceback: a refusal too is raised with its traceback
        main(["--traceback", *map(str, run_args("--end", "2024-06-10T00:00"))])


def test_missing_files_and_arguments(tmp_path, capsys):
    status, _, stderr = call(capsys, *run_args(model=tmp_path / "nope.toml"))
    assert status == 2 and stderr.startswith("error: ") and "nope.toml" in stderr
    status, _, stderr = call(capsys, "run", MODEL)
    assert status == 2 and stderr.startswith("error: ") and "--rain" in stderr and len(stderr.splitlines()) == 1
    assert call(capsys, "--help")[0] == 0


@pytest.mark.slow
def test_a_full_disk_leaves_no_partial_file(tmp_path):
    """A file-size limit (as a full disk would) stops the writes: no output at all, one line, status 2."""

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead of killing the process
        resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))

    out = tmp_path / "results.csv"
    done = cli(*run_args("--out", out), preexec_fn=limit)
    assert done.returncode == 2 and done.stderr.startswith(f"error: {out}: "), done.stderr
    assert not list(tmp_path.iterdir())


@pytest.mark.slow
@pytest.mark.parametrize("presses", [1, 2])
def test_ctrl_c_ends_in_one_line(tmp_path, presses):
    bounds = written(tmp_path, "bounds.toml", '"basin.transform.tc" = [1.0, 8.0]\n"basin.transform.r" = [0.25, 3.0]\n')
    # Dual annealing runs some 4,000 evaluations (about 17 s): the search is still on when the bar
    # shows, a second after it starts (differential evolution converges here within about that second).
    args = ["calibrate", MODEL, "--rain", STORM, "--observed", OBSERVED, "--parameters", bounds]
    args += ["--method", "dual_annealing"]
    command = [sys.executable, "-m", "rainmill_models", *map(str, args), "--out", str(tmp_path / "best.toml")]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert select.select([child.stderr], [], [], 60)[0], "the progress bar shows once the search runs"
        for _ in range(presses):
            child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    # Status 130; or, when the second press lands while the interpreter shuts down, ended by SIGINT itself.
    assert child.returncode in (130, -signal.SIGINT), stderr
    assert "Traceback" not in stderr and stderr.replace("\r", "\n").splitlines()[-1].startswith("interrupted"), stderr
    if child.returncode == 130 and presses == 1:
        assert (tmp_path / "best.toml").exists(), "one press: the best so far is written"


def test_the_package_loads_its_parts_on_first_use():
    script = "import sys, rainmill_models as rm; print(sorted({'pandas', 'scipy'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout == "[]\n", done.stderr
    import importlib

    import rainmill_models as rm

    for name in rm.__all__:
        assert getattr(rm, name) is getattr(importlib.import_module(f"rainmill_models.{rm._HOMES[name]}"), name)
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        rm.nothing  # noqa: B018


@pytest.mark.slow
def test_ctrl_c_while_the_commands_load_ends_in_one_line():
    # The press is simulated where it lands most often: while pandas loads.
    script = """
import runpy, sys
class Press:
    def find_spec(self, name, path=None, target=None):
        if name == "pandas":
            raise KeyboardInterrupt
sys.meta_path.insert(0, Press())
sys.argv = ["rainmill_models", "run", "--help"]
runpy.run_module("rainmill_models", run_name="__main__", alter_sys=True)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (130, "\ninterrupted\n")


@pytest.mark.slow
def test_a_closed_output_pipe_stops_quietly():
    command = [sys.executable, "-m", "rainmill_models", *map(str, run_args())]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()  # as `| head` does once it has its lines
    _, stderr = child.communicate(timeout=120)
    assert child.returncode == 1 and not stderr, stderr


NETWORK = """
[options]
name = "Two gauges"
step = 0.25
gauges = ["upper", "confluence"]

[subbasins.upper]
area = 1200.0
downstream = "upper-reach"
loss = { method = "deficit-constant", initial_deficit = 0.5, max_deficit = 1.5, constant_rate = 0.1, time_to_dry = 48.0 }
transform = { method = "clark", tc = 3.0, r = 1.0 }

[subbasins.lower]
area = 800.0
downstream = "confluence"
loss = { method = "deficit-constant", initial_deficit = 0.5, max_deficit = 1.5, constant_rate = 0.1, time_to_dry = 48.0 }
transform = { method = "clark", tc = 2.0, r = 0.8 }

[reaches.upper-reach]
downstream = "confluence"
routing = { method = "muskingum", k = 1.0, x = 0.1 }

[sources.spring]
downstream = "confluence"

[junctions.confluence]
downstream = "outlet"

[sinks.outlet]
"""


@pytest.fixture
def network(tmp_path):
    """A network of two subbasins, a reach, a source and a junction, with synthetic observations at two gauges."""
    import rainmill_models as rm

    files = {"model": written(tmp_path, "net.toml", NETWORK)}
    hours = pd.date_range("2024-06-11", periods=12, freq="1h", tz="UTC", name="time")
    rain = pd.DataFrame(
        {"upper": [0.1, 0.3, 0.6, 0.4, 0.2, 0.1] + [0] * 6, "lower": [0.2, 0.5, 0.3, 0.1] + [0] * 8}, hours
    )
    spring = pd.Series(3.0, pd.date_range("2024-06-11", periods=200, freq="15min", tz="UTC", name="time"), name="q")
    files["rain"], files["spring"] = (
        rm.write_csv(rain, tmp_path / "rain.csv"),
        rm.write_csv(spring, tmp_path / "spring.csv"),
    )
    result = rm.Network.load(files["model"]).run(rain, inflows=spring)
    for gauge in ("upper", "confluence"):
        files[gauge] = rm.write_csv(result.at(gauge).rename("q"), tmp_path / f"{gauge}.csv")
    return files


def network_args(files, command="run", *extra):
    observed = [f"--observed={g}={files[g]}" for g in ("upper", "confluence")]
    return [command, files["model"], "--rain", files["rain"], "--inflows", files["spring"], *observed, *extra]


def test_network_run_with_rain_per_subbasin_scores_each_gauge(network, tmp_path, capsys):
    status, stdout, stderr = call(capsys, *network_args(network, "run", "--out", tmp_path / "out.csv"))
    assert status == 0, stderr
    assert f"upper ({network['upper']})" in stdout and f"confluence ({network['confluence']})" in stdout
    assert stdout.count("kge 1 ") == 2, "the observations are the model's own outflows"
    columns = set(pd.read_csv(tmp_path / "out.csv", index_col=0).columns)
    assert {"upper.direct", "lower.rain", "spring.outflow", "confluence.inflow", "outlet.outflow"} <= columns


def test_rain_weighted_from_gauges_gives_the_same_run(network, tmp_path, capsys):
    rain = pd.read_csv(network["rain"], index_col=0).rename(columns={"upper": "g1", "lower": "g2"})
    network["rain"] = tmp_path / "gauges.csv"
    rain.assign(g3=rain["g2"], g4=9.0).to_csv(network["rain"])  # g4: a gauge no subbasin weighs
    weights = written(tmp_path, "w.toml", "upper = { g1 = 1.0 }\nlower = { g2 = 0.5, g3 = 0.5, g4 = 0.0 }\n")
    status, stdout, stderr = call(capsys, *network_args(network, "run", "--rain-weights", weights))
    assert status == 0, stderr
    assert stdout.count("kge 1 ") == 2, "every subbasin gets the rain it had"


def test_network_calibration_recovers_tied_parameters_at_two_gauges(network, tmp_path, capsys):
    import rainmill_models as rm

    wrong = NETWORK.replace("constant_rate = 0.1", "constant_rate = 0.25").replace("tc = 3.0", "tc = 5.0")
    network["model"] = written(tmp_path, "wrong.toml", wrong)
    bounds = '"subbasins.*.loss.constant_rate" = [0.02, 0.4]\nt = { paths = ["subbasins.upper.transform.tc"], bounds = [1.0, 6.0] }\n'
    extra = ["--parameters", written(tmp_path, "p.toml", bounds), "--weight", "upper=2", "--seed", "1", "--no-progress"]
    status, _, stderr = call(capsys, *network_args(network, "calibrate", *extra, "--out", tmp_path / "best.toml"))
    assert status == 0, stderr
    best = rm.Network.load(tmp_path / "best.toml")
    for path, true in [
        ("subbasins.upper.loss.constant_rate", 0.1),
        ("subbasins.lower.loss.constant_rate", 0.1),
        ("subbasins.upper.transform.tc", 3.0),
    ]:
        assert best.get(path) == pytest.approx(true, rel=0.01)


@pytest.mark.parametrize(
    ("change", "named"),
    [
        (lambda f, d: {"rain": written(d, "r.csv", "time,upper,middle\n2024-06-11T00:00+00:00,0.1,0.1\n")}, "r.csv"),
        (
            lambda f, d: {"rain": written(d, "r.csv", f["rain"].read_text().replace(",0.5\n", ",-0.5\n"))},
            "column lower",
        ),
        (
            lambda f, d: {"upper": f["upper"], "model": f["model"], "extra": ["--observed", f"nowhere={f['upper']}"]},
            "nowhere",
        ),
        (lambda f, d: {"spring": None}, "--inflows"),
        (lambda f, d: {"extra": ["--weight", "lower=1"]}, "--weight"),
        (
            lambda f, d: {"extra": ["--parameters", written(d, "p.toml", '"subbasins.upper.loss.nothing" = [0, 1]')]},
            "p.toml",
        ),
    ],
    ids=[
        "rain columns",
        "negative rain in a column",
        "unknown gauge",
        "source without inflows",
        "weight of no gauge",
        "unknown parameter",
    ],
)
def test_network_inputs_that_do_not_fit_are_one_line(network, tmp_path, capsys, change, named):
    changed = {**network, **change(network, tmp_path)}
    args = network_args(
        changed, "calibrate", "--parameters", written(tmp_path, "ok.toml", '"subbasins.*.transform.r" = [0.5, 2]')
    )
    if changed["spring"] is None:
        args = [a for a in args if a not in ("--inflows", None)]
    status, _, stderr = call(capsys, *args, *changed.get("extra", []), "--maxiter", "1", "--no-progress")
    assert status == 2 and len(stderr.splitlines()) == 1 and named in stderr, stderr


CONTINUOUS = """
[options]
name = "Hill"
units = "SI"
step = 24.0

[subbasins.hill]
area = 30.0
downstream = "outlet"
snow = { method = "temperature-index", threshold = 0.5, transition = 2.0, melt_rate_min = 2.0, melt_rate_max = 4.0 }
loss = { method = "deficit-constant-et", max_deficit = 60.0, constant_rate = 0.2, et_coefficient = 1.0, initial_deficit = 20.0 }
transform = { method = "clark", tc = 30.0, r = 40.0 }
baseflow = { method = "linear-reservoirs", layers.ground = { fraction = 1.0, k = 300.0, initial_q = 0.2 } }

[sinks.outlet]
"""


@pytest.fixture
def continuous(tmp_path):
    """Three years of daily rain, PET and temperature (files with units rows) and the model's own outflow."""
    import numpy as np

    import rainmill_models as rm

    rng = np.random.default_rng(1)
    days = pd.date_range("2020-01-01", periods=3 * 365, freq="D", name="time")
    season = np.cos(2 * np.pi * days.day_of_year.to_numpy() / 365.25)
    series = {
        "rain": pd.Series(np.where(rng.random(len(days)) < 0.4, rng.gamma(0.8, 8.0, len(days)), 0.0), days),
        "potential_et": pd.Series(np.clip(0.15 * (13.0 - 10.0 * season), 0.0, None), days),
        "temperature": pd.Series(8.0 - 10.0 * season + rng.normal(0.0, 2.0, len(days)), days),
    }
    files = {"model": written(tmp_path, "hill.toml", CONTINUOUS)}
    for kind, unit in (("rain", "mm"), ("potential_et", "mm"), ("temperature", "degC")):
        series[kind].attrs["units"] = unit
        files[kind] = rm.write_csv(series[kind].rename(kind), tmp_path / f"{kind}.csv", units_row=True)
        for part, span in (("first", slice("2020", "2021")), ("second", slice("2022", None))):
            files[f"{kind}.{part}"] = rm.write_csv(
                series[kind].loc[span].rename(kind), tmp_path / f"{kind}.{part}.csv", units_row=True
            )
    run = rm.Network.load(files["model"]).run(
        series["rain"], potential_et=series["potential_et"], temperature=series["temperature"], end=days[-1]
    )
    files["q"] = rm.write_csv(run.outflow.rename("q"), tmp_path / "q.csv", units_row=True)
    frame = pd.DataFrame({f"{kind}.hill": series[kind] for kind in series})
    frame.attrs["units"] = {f"{kind}.hill": series[kind].attrs["units"] for kind in series}
    files["forcing"] = rm.write_csv(frame, tmp_path / "forcing.csv", units_row=True)
    return files


def forcing_args(files, part=""):
    return [arg for kind, flag in FLAGS.items() for arg in (flag, files[kind + part])] + ["--units-row"]


FLAGS = {"rain": "--rain", "potential_et": "--potential-et", "temperature": "--temperature"}


def test_a_continuous_study_from_the_shell(continuous, tmp_path, capsys):
    # calibrate after a warm-up, at most 60 runs, against the record
    wrong = written(tmp_path, "wrong.toml", CONTINUOUS.replace("constant_rate = 0.2", "constant_rate = 0.6"))
    bounds = written(tmp_path, "p.toml", '"subbasins.hill.loss.constant_rate" = [0.05, 1.0]\n')
    status, stdout, stderr = call(
        capsys, "calibrate", wrong, *forcing_args(continuous), "--observed", continuous["q"], "--parameters", bounds,
        "--window", "2020-03-01", "2022-12-30", "--max-evaluations", "60", "--seed", "1", "--no-progress",
        "--history", tmp_path / "history.csv",
    )  # fmt: skip
    assert status == 0, stderr
    assert len(pd.read_csv(tmp_path / "history.csv")) == 60
    assert "benchmarks: KGE of the mean flow -0.41, of the day-of-year climatology" in stdout
    # a hot start: the second year from the states where the first ended is the whole run's second year
    first = ["run", continuous["model"], *forcing_args(continuous, ".first"), "--final-states", tmp_path / "end.json"]
    assert call(capsys, *first)[0] == 0
    second = ["--initial-states", tmp_path / "end.json", "--out", tmp_path / "second.csv"]
    assert call(capsys, "run", continuous["model"], *forcing_args(continuous, ".second"), *second)[0] == 0
    assert call(capsys, "run", continuous["model"], *forcing_args(continuous), "--out", tmp_path / "whole.csv")[0] == 0
    later = pd.read_csv(tmp_path / "second.csv", index_col=0, comment="#")["outlet.outflow"]
    whole = pd.read_csv(tmp_path / "whole.csv", index_col=0, comment="#")["outlet.outflow"]
    assert later.iloc[30:].to_numpy() == pytest.approx(whole.reindex(later.index[30:]).to_numpy(), abs=1e-6)


def test_forcing_columns_of_one_file_give_the_same_run(continuous, tmp_path, capsys):
    # the rain in inches in one file and in mm in the other: each converted into the model's mm
    import rainmill_models as rm

    frame = pd.read_csv(continuous["forcing"], index_col=0, skiprows=[1], parse_dates=True)
    frame["rain.hill"] /= 25.4
    frame.attrs["units"] = {"rain.hill": "in", "potential_et.hill": "mm", "temperature.hill": "degC"}
    inches = rm.write_csv(frame, tmp_path / "inches.csv", units_row=True)
    outputs = {}
    for name, given in (("files", forcing_args(continuous)), ("one", ["--forcing", inches])):
        outputs[name] = tmp_path / f"{name}.csv"
        status, _, stderr = call(capsys, "run", continuous["model"], *given, "--out", outputs[name])
        assert status == 0, stderr
    files, one = (pd.read_csv(outputs[name], index_col=0, comment="#") for name in ("files", "one"))
    assert list(files.columns) == list(one.columns) and list(files.index) == list(one.index)
    assert one.to_numpy() == pytest.approx(files.to_numpy(), rel=1e-12, abs=1e-12)


def test_potential_et_zero_runs_as_the_package_runs_without_evapotranspiration(continuous, tmp_path, capsys):
    # `--potential-et 0`, as the refusal of an ET-driven loss without PET suggests; no record, so no end of one
    import rainmill_models as rm

    model = written(tmp_path, "dry.toml", "".join(line for line in CONTINUOUS.splitlines(True) if "snow" not in line))
    out = tmp_path / "flows.csv"
    status, _, stderr = call(
        capsys, "run", model, "--rain", continuous["rain"], "--units-row", "--potential-et", "0", "--out", out
    )
    assert status == 0, stderr
    rain = rm.read_rain_csv(continuous["rain"], units_row=True)
    run = rm.Network.load(model).run(rain, potential_et=0)
    run.to_csv(tmp_path / "expected.csv")
    flows, expected = (pd.read_csv(path, index_col=0, comment="#") for path in (out, tmp_path / "expected.csv"))
    assert len(flows) > len(rain) and flows.equals(expected)


@pytest.mark.parametrize(
    ("change", "named", "unnamed"),
    [
        (lambda f: forcing_args(f)[:2] + forcing_args(f)[2:4] + ["--units-row"], "--temperature FILE", "temperature="),
        (lambda f: forcing_args(f)[:2] + forcing_args(f)[4:], "pass --potential-et 0 to run it without", "potential_et="),
        (lambda f: [*forcing_args(f), "--inflows", f["q"]], "--inflows", "inflows="),
        (lambda f: [*forcing_args(f), "--end", "2200-01-01"], "options.max_horizon of 2160 h", "end="),
        (lambda f: [*forcing_args(f), "--forcing", f["forcing"]], "in --forcing", "rain="),
        (lambda f: [*forcing_args(f), "--observed", f["q"], "--observed-period", "fortnight"], "--observed-period", "observed_period"),
    ],
    ids=["snow without temperature", "ET without PET", "inflows without sources", "end too far", "rain twice", "period"],
)  # fmt: skip
def test_continuous_refusals_name_the_command_line_flags(continuous, capsys, change, named, unnamed):
    status, _, stderr = call(capsys, "run", continuous["model"], *change(continuous))
    assert status == 2 and len(stderr.splitlines()) == 1, stderr
    assert named in stderr and unnamed not in stderr, stderr


def test_potential_et_without_pyet_names_the_extra(monkeypatch):
    from rainmill_models.methods.et import potential_et

    monkeypatch.setitem(sys.modules, "pyet", None)
    days = pd.date_range("2020-01-01", periods=3, freq="D")
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'rainmill\[pet\]'"):
        potential_et(pd.Series([5.0, 6.0, 7.0], days), latitude=50.0)
