"""Continuous simulation: the kernels' speed, and the fit on real records against HYMOD.

    python benchmarks/bench_continuous.py [--evaluations N] [--quick] [--no-write]

(a) Each continuous kernel (rainmill_models._kernels) against the same method as a straightforward
    pure-Python loop and as a Numba loop (benchmarks/continuous_loops.py, checked against the
    kernel first), in nanoseconds per step. Targets: >= 50x the pure-Python loop, within 2x of Numba.
(b) Split-sample fit on two observed records shipped with spotpy (MIT licence; installed by
    requirements/calibrate.txt, never a dependency of the package):
      - spotpy/examples/hymod_python/hymod_input.csv: daily rain, potential ET (Turc) and
        discharge of a 1.783 km² catchment, 2012-2016;
      - spotpy/examples/cmf_data/fulda_climate.csv: daily precipitation, min/mean/max air
        temperature and discharge of the Fulda (2976.41 km²), 1979-1988; potential ET from the
        mean temperature by Oudin (rainmill_models.methods.et, latitude 50.7° N).
    Our continuous model (examples/continuous.toml through the network model layer: temperature-index
    snow over three elevation zones where there is a temperature, five-storage soil-moisture
    accounting, the Clark transform and a linear-reservoir baseflow) and HYMOD as spotpy ships it are
    both calibrated by spotpy's SCE-UA with the same budget of evaluations, on the same periods,
    maximising the same KGE (spotpy.objectivefunctions.kge), after the same warm-up; the
    validation KGE is scored on the later period of the same continuous run.
(c) Evaluations per second of those calibrations, and of ours through the project's own calibration
    (rm.calibrate, differential evolution, serial). Target: >= 10x the peer's.
(d) A 30-year daily run of examples/continuous.toml: the model layer's cost beyond its kernels.

Writes its section of benchmarks/RESULTS.md unless --no-write; `make bench`
includes it through benchmarks/run.py (report()).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import math
import os
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import continuous_loops as loops  # noqa: E402
from rainmill_models import _kernels  # noqa: E402
from rainmill_models.methods.et import potential_et  # noqa: E402

RESULTS = HERE / "RESULTS.md"
ACRES_PER_KM2 = 247.10538146716533

# ---- (a) kernel speed ---------------------------------------------------------------------------

SOIL = dict(
    canopy_max=2.0,
    surface_max=5.0,
    soil_max=150.0,
    tension_max=60.0,
    max_infiltration=3.0,
    soil_percolation=0.5,
    gw1_max=150.0,
    gw1_percolation=0.05,
    gw1_coefficient=240.0,
    gw2_max=1000.0,
    gw2_percolation=0.001,
    gw2_coefficient=4800.0,
)
SOIL_START = dict(canopy=0.0, surface=0.0, soil=75.0, gw1=20.0, gw2=300.0)
SNOW = dict(
    threshold=0.5,
    transition=2.0,
    base=0.0,
    melt_rate_min=1.0,
    melt_rate_max=4.0,
    refreeze_fraction=0.05,
    liquid_fraction=0.1,
    lapse_rate=6.5,
    reference_elevation=0.0,
)
DEFICIT = dict(max_deficit=80.0, constant_rate=0.2, et_coefficient=0.9)


def synthetic(n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(1)
    rain = np.where(rng.random(n) < 0.4, rng.gamma(0.7, 8.0, n), 0.0)
    day = np.arange(n)
    pet = np.maximum(2.0 - 1.8 * np.cos(2 * np.pi * day / 365.25), 0.0) * rng.uniform(0.7, 1.1, n)
    temperature = 8.0 - 9.0 * np.cos(2 * np.pi * day / 365.25) + rng.normal(0.0, 3.0, n)
    return rain, pet, temperature


def best_time(call: Any, repeats: int, budget: float) -> float:
    """Smallest CPU time of up to `repeats` calls (CPU time: the machine is shared, and a call
    preempted by another process would count its wait in wall time)."""
    times = []
    started = time.perf_counter()
    while len(times) < repeats and (not times or time.perf_counter() - started < budget):
        t = time.process_time()
        call()
        times.append(time.process_time() - t)
    return min(times)


def speed_cases(n: int) -> list[dict[str, Any]]:
    """Each kernel and its loop (run on lists, or compiled by Numba on arrays) on the same inputs.

    A kernel call returns its whole block of series (the models package's views of it cost
    nothing); a loop returns its fluxes (N values each) and storages (N + 1 each), the same series.
    """
    rain, pet, temperature = synthetic(n)
    as_lists = {"rain": rain.tolist(), "pet": pet.tolist(), "temperature": temperature.tolist()}
    as_arrays = {"rain": rain, "pet": pet, "temperature": temperature}

    def loop(name: str, rows: tuple[int, int], call: Any) -> Any:
        def build(arrays: Any) -> Any:
            data = as_lists if arrays is _lists else as_arrays

            def run() -> Any:
                fluxes, storages = arrays(rows[0], n), arrays(rows[1], n + 1)
                call(getattr(loops, name), data, fluxes, storages)
                return fluxes, storages

            return run

        return build

    soil_p, soil_s = tuple(SOIL.values()), tuple(SOIL_START.values())
    cases = [
        dict(
            name="soil-moisture accounting",
            kernel=lambda: _kernels.soil_moisture(rain, pet, 24.0, SOIL, SOIL_START),
            loop=loop(
                "soil_moisture_into",
                (10, 5),
                lambda f, d, fl, st: f(d["rain"], d["pet"], 24.0, soil_p, soil_s, fl, st),
            ),
            into="soil_moisture_into",
        )
    ]
    snow_p = tuple(SNOW.values())
    for zones in (1, 5):
        elevations = np.linspace(-400.0, 400.0, zones)
        fractions = np.full(zones, 1.0 / zones)
        start = np.zeros(zones)
        zone_lists = (elevations.tolist(), fractions.tolist())

        def snow(
            f: Any, d: Any, fl: Any, st: Any, e: Any = elevations, fr: Any = fractions, z: Any = zone_lists
        ) -> None:
            e, fr = z if d is as_lists else (e, fr)
            f(d["rain"], d["temperature"], 24.0, 0.0, snow_p, e, fr, fl, st)

        cases.append(
            dict(
                name=f"temperature-index snow, {zones} zone{'s' if zones > 1 else ''}",
                kernel=lambda e=elevations, fr=fractions, s0=start: _kernels.temperature_index_snow(
                    rain, temperature, 24.0, 0.0, SNOW, e, fr, s0, s0
                ),
                loop=loop("snow_into", (5, 2), snow),
                into="snow_into",
            )
        )
    cases.append(
        dict(
            name="deficit and constant with ET",
            kernel=lambda: _kernels.deficit_constant_et(rain, pet, 24.0, DEFICIT, 10.0),
            loop=loop(
                "deficit_et_into",
                (3, 1),
                lambda f, d, fl, st: f(d["rain"], d["pet"], 24.0, *DEFICIT.values(), 10.0, fl, st[0]),
            ),
            into="deficit_et_into",
        )
    )
    return cases


def _lists(rows: int, n: int) -> list[list[float]]:
    return [[0.0] * n for _ in range(rows)]


def _arrays(rows: int, n: int) -> np.ndarray:
    return np.zeros((rows, n))


def _agrees(block: Any, outputs: Any) -> bool:
    """The kernel's block begins with the loop's fluxes, then its storages."""
    fluxes, storages = outputs
    expected = np.concatenate([np.asarray(fluxes, dtype=float).ravel(), np.asarray(storages, dtype=float).ravel()])
    return bool(np.array_equal(np.frombuffer(block)[: expected.size], expected))


def speed_table(n: int, quick: bool) -> tuple[list[str], list[str]]:
    try:
        import numba
    except ImportError:
        numba = None
    rows = [
        "| kernel | steps | kernel (ns/step) | pure Python (ns/step) | Numba (ns/step) | Python / kernel | kernel / Numba | Python / Numba |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    targets = []
    for case in speed_cases(n):
        kernel = case["kernel"]
        if not _agrees(kernel(), case["loop"](_lists)()):
            raise AssertionError(f"{case['name']}: the pure-Python loop differs from the kernel")
        t_kernel = best_time(kernel, 20, 2.0) / n * 1e9
        t_python = best_time(case["loop"](_lists), 1 if quick else 3, 5.0) / n * 1e9
        t_numba = math.nan
        if numba is not None:
            plain = getattr(loops, case["into"])
            setattr(loops, case["into"], numba.njit(plain))
            try:
                run = case["loop"](_arrays)
                if not _agrees(kernel(), run()):  # the first call compiles
                    raise AssertionError(f"{case['name']}: the Numba loop differs from the kernel")
                t_numba = best_time(run, 20, 2.0) / n * 1e9
            finally:
                setattr(loops, case["into"], plain)
        rows.append(
            f"| {case['name']} | {n} | {t_kernel:.3g} | {t_python:.4g} | {t_numba:.3g} | {t_python / t_kernel:.0f}× | {t_kernel / t_numba:.2f}× | {t_python / t_numba:.0f}× |"
        )
        met = t_python / t_kernel >= 50 and t_kernel / t_numba <= 2.0
        targets.append(
            f"- {case['name']}: {t_python / t_kernel:.0f}× the pure-Python loop, {t_kernel / t_numba:.2f}× the Numba loop — **{'met' if met else 'not met'}**"
        )
    return rows, targets


# ---- (b) the fit on observed records --------------------------------------------------------------


def spotpy_examples() -> Path:
    import spotpy.examples

    return Path(spotpy.examples.__file__).parent


def record_hymod() -> dict[str, Any]:
    frame = pd.read_csv(spotpy_examples() / "hymod_python" / "hymod_input.csv", sep=";", index_col=0)
    frame.index = pd.to_datetime(frame.index, format="%d.%m.%Y")
    frame.columns = ["rain", "pet", "flow"]
    area_km2 = 1.783
    frame["flow"] = frame["flow"] * 86400.0 / (area_km2 * 1e6)  # l/s -> mm/day
    return dict(
        name="1.8 km² catchment (spotpy hymod_input.csv)",
        file="spotpy/examples/hymod_python/hymod_input.csv",
        frame=frame,
        area_km2=area_km2,
        warmup=("2012-01-01", "2012-12-31"),
        periods=(("2013-01-01", "2014-12-31"), ("2015-01-01", "2016-12-31")),
        snow=False,
    )


def record_fulda() -> dict[str, Any]:
    raw = pd.read_csv(spotpy_examples() / "cmf_data" / "fulda_climate.csv", skiprows=[1], index_col=0)
    raw.index = pd.to_datetime(raw.index, format="%d.%m.%Y")
    area_km2 = 2976.41
    frame = pd.DataFrame({"rain": raw["Prec"], "temperature": raw["tmean"]})
    frame["pet"] = potential_et(frame["temperature"], latitude=50.7).to_numpy()
    frame["flow"] = raw["Q"] * 86400.0 / (area_km2 * 1e6) * 1000.0  # m³/s -> mm/day
    return dict(
        name="Fulda, 2976 km² (spotpy fulda_climate.csv)",
        file="spotpy/examples/cmf_data/fulda_climate.csv",
        frame=frame,
        area_km2=area_km2,
        warmup=("1979-01-01", "1979-12-31"),
        periods=(("1980-01-01", "1984-12-31"), ("1985-01-01", "1988-12-31")),
        snow=True,
    )


# Our model: examples/continuous.toml (snow over three elevation zones, five-storage soil moisture,
# Clark, a linear-reservoir baseflow), without its snow where the record has no temperature. The
# calibrated parameters (path under the subbasin, low, high; mm, mm/h, hours, °C); the rest keep the
# file's values.
OURS = [
    ("loss.soil_max", 50.0, 600.0),
    ("loss.tension_max", 1.0, 50.0),
    ("loss.max_infiltration", 0.1, 30.0),
    ("loss.soil_percolation", 0.01, 10.0),
    ("loss.gw1_percolation", 0.0, 2.0),
    ("loss.gw1_coefficient", 24.0, 1440.0),
    ("loss.gw2_coefficient", 480.0, 24000.0),
    ("transform.tc", 12.0, 144.0),
    ("transform.r", 12.0, 240.0),
    ("baseflow.layers.ground.k", 12.0, 480.0),
]
OURS_SNOW = [("snow.threshold", -2.0, 2.0), ("snow.melt_rate_min", 0.5, 5.0), ("snow.melt_rate_max", 0.5, 10.0)]
HYMOD = [("cmax", 1.0, 500.0), ("bexp", 0.1, 2.0), ("alpha", 0.1, 0.99), ("Ks", 0.001, 0.10), ("Kq", 0.1, 0.99)]


class OurModel:
    """The network of examples/continuous.toml on one record, run through the model layer.

    Its forcing is prepared once, as `rm.calibrate` does; each evaluation writes the parameters into
    the network (`compile_parameters`, resolved once), runs its core (`simulate_network`) to the
    record's last day and turns the flows at the points into daily means (the trapezoid over each
    day, as `rainmill_models.periods.period_means` gives them) in mm per day, as the record's daily
    mean flows are.
    """

    def __init__(self, record: dict[str, Any]) -> None:
        import rainmill_models as rm
        from rainmill_models.io.forcing import prepare_inputs

        frame = record["frame"]
        data = rm.Network.load(HERE.parent / "examples" / "continuous.toml").to_dict()
        basin = data["subbasins"]["fulda"]
        basin["area"] = record["area_km2"]
        if not record["snow"]:
            del basin["snow"]
        self.network = rm.Network.from_dict(data)
        self.bounds = OURS + (OURS_SNOW if record["snow"] else [])
        self.setter = rm.compile_parameters(self.network, [f"subbasins.fulda.{p}" for p, _, _ in self.bounds], True)
        self.rain = frame["rain"]
        self.forcing = {"potential_et": frame["pet"]}
        if record["snow"]:
            self.forcing["temperature"] = frame["temperature"]
        self.inputs, _, self.step = prepare_inputs(self.network, self.rain, **self.forcing)
        self.points = len(frame)  # the forcing's last day: PET and temperature are not padded beyond
        self.to_mm_per_day = 86400.0 / (record["area_km2"] * 1e6) * 1000.0  # from m³/s
        self.cfs_to_mm_per_day = 0.028316846592 * self.to_mm_per_day

    def __call__(self, x: Any) -> np.ndarray:
        from rainmill_models.errors import ModelError
        from rainmill_models.results import network_outflow
        from rainmill_models.simulation import simulate_network

        try:
            network = self.setter([float(v) for v in x])
            flow = network_outflow(network, simulate_network(network, self.inputs, self.step, self.points))
        except ModelError:  # a combination the description refuses (tension zone above the soil)
            return np.full(len(self.rain), np.nan)
        means = (flow[:-1] + flow[1:]) * (0.5 * self.cfs_to_mm_per_day)
        return np.append(means, np.nan)  # the last day's mean needs the day after: not simulated


class Hymod:
    """HYMOD as spotpy ships it (pure Python), in mm per day."""

    def __init__(self, record: dict[str, Any]) -> None:
        from spotpy.examples.hymod_python.hymod import hymod

        self.hymod = hymod
        self.rain = record["frame"]["rain"].tolist()
        self.pet = record["frame"]["pet"].tolist()
        self.bounds = HYMOD

    def __call__(self, x: Any) -> np.ndarray:
        return np.asarray(self.hymod(self.rain, self.pet, *x))


class Setup:
    """A spotpy setup scoring a model's KGE on one period of the run (the loss is -KGE)."""

    def __init__(self, model: Any, record: dict[str, Any], period: tuple[str, str]) -> None:
        from spotpy.parameter import Uniform

        self.model = model
        self.params = [Uniform(name, low, high) for name, low, high in model.bounds]
        index = record["frame"].index
        flow = record["frame"]["flow"].to_numpy(dtype=float)
        self.mask = (index >= period[0]) & (index <= period[1]) & np.isfinite(flow)
        self.mask[-1] = False  # the record's last day: its mean needs the day after, which no forcing covers
        self.observed = flow[self.mask]

    def parameters(self) -> Any:
        from spotpy.parameter import generate

        return generate(self.params)

    def simulation(self, x: Any) -> np.ndarray:
        return self.model(x)[self.mask]

    def evaluation(self) -> np.ndarray:
        return self.observed

    def objectivefunction(self, simulation: Any, evaluation: Any, params: Any = None) -> float:
        from spotpy.objectivefunctions import kge

        if not np.all(np.isfinite(simulation)):
            return 1e30  # a refused parameter set: worse than any score
        return -float(kge(evaluation, simulation))


def calibrate(model: Any, record: dict[str, Any], evaluations: int, seed: int) -> dict[str, Any]:
    """SCE-UA on the first period, the best point scored on the second."""
    import spotpy

    calibration, validation = record["periods"]
    setup = Setup(model, record, calibration)
    sampler = spotpy.algorithms.sceua(setup, dbformat="ram", save_sim=False, random_state=seed)
    started = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        sampler.sample(evaluations, ngs=7, kstop=10**6, pcento=0.0, peps=0.0)
    elapsed = time.perf_counter() - started
    data = sampler.getdata()
    names = [n for n in data.dtype.names if n.startswith("par")]
    best = data[np.argmin(data["like1"])]
    x = [float(best[n]) for n in names]
    scored = Setup(model, record, validation)
    return dict(
        calibration=-float(best["like1"]),
        validation=-scored.objectivefunction(scored.simulation(x), scored.observed),
        evaluations=len(data),
        per_second=len(data) / elapsed,
        x=x,
    )


def own_search_rate(record: dict[str, Any], evaluations: int) -> tuple[float, int]:
    """Evaluations per second of our model in the project's own calibration (`rm.calibrate`, serial)."""
    import rainmill_models as rm

    model = OurModel(record)
    frame = record["frame"]
    parameters = {f"subbasins.fulda.{p}": (low, high) for p, low, high in model.bounds}
    generations = max(1, evaluations // (10 * len(parameters)) - 1)
    observed = frame["flow"].dropna() / model.to_mm_per_day  # m³/s, as the network reports
    started = time.perf_counter()
    fit = rm.calibrate(
        model.network,
        model.rain,
        observed,
        parameters,
        window=record["periods"][0],
        seed=1,
        progress=False,
        options={"maxiter": generations, "popsize": 10, "tol": 0.0, "polish": False},
        **model.forcing,
    )
    elapsed = time.perf_counter() - started
    return len(fit.history) / elapsed, len(fit.history)


def fit_tables(evaluations: int) -> tuple[list[str], list[str], list[str]]:
    fit = [
        "| record | model | parameters | calibration KGE | validation KGE | evaluations |",
        "|---|---|---:|---:|---:|---:|",
    ]
    rate = [
        "| record | HYMOD in SCE-UA (eval/s) | ours in SCE-UA (eval/s) | ours in rm.calibrate (eval/s) | ratio, SCE-UA | ratio, rm.calibrate |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    targets = []
    for record in (record_hymod(), record_fulda()):
        ours = calibrate(OurModel(record), record, evaluations, seed=1)
        peer = calibrate(Hymod(record), record, evaluations, seed=1)
        own_rate, _ = own_search_rate(record, evaluations)
        (c0, c1), (v0, v1) = record["periods"]
        label = f"{record['name']}: calibration {c0[:4]}-{c1[:4]}, validation {v0[:4]}-{v1[:4]}"
        for name, result, count in (("ours", ours, len(OurModel(record).bounds)), ("HYMOD (spotpy)", peer, len(HYMOD))):
            fit.append(
                f"| {label} | {name} | {count} | {result['calibration']:.3f} | {result['validation']:.3f} | {result['evaluations']} |"
            )
        rate.append(
            f"| {record['name']} | {peer['per_second']:.0f} | {ours['per_second']:.0f} | {own_rate:.0f} | "
            f"{ours['per_second'] / peer['per_second']:.1f}× | {own_rate / peer['per_second']:.1f}× |"
        )
        met = ours["validation"] >= peer["validation"]
        targets.append(
            f"- {record['name']}: validation KGE {ours['validation']:.3f} against HYMOD's {peer['validation']:.3f} — **{'met' if met else 'not met'}**"
        )
        fast = max(ours["per_second"], own_rate) / peer["per_second"]
        targets.append(
            f"- {record['name']}: calibration evaluations per second {fast:.1f}× the peer's — **{'met' if fast >= 10 else 'not met'}**"
        )
    return fit, rate, targets


def versions() -> str:
    from importlib.metadata import version

    names = ("spotpy", "pyet", "numpy", "scipy", "numba", "pandas")
    found = []
    for name in names:
        try:
            found.append(f"{name} {version(name)}")
        except Exception:
            found.append(f"{name} not installed")
    return ", ".join(found)


def report(evaluations: int = 5000, quick: bool = False) -> str:
    """The section's markdown (benchmarks/run.py calls this)."""
    n = 20_000 if quick else 100_000
    speed, speed_targets = speed_table(n, quick)
    fit, rate, fit_targets = fit_tables(evaluations)
    layer, layer_targets = model_layer_cost()
    lines = [
        f"Packages: {versions()}. Data: spotpy {versions().split(',')[0].split()[1]}'s "
        "`examples/hymod_python/hymod_input.csv` and `examples/cmf_data/fulda_climate.csv` (MIT licence).",
        "",
        f"### Kernels against loops of the same method ({n} daily steps, least CPU time of several runs)",
        "",
        *speed,
        "",
        f"### Split-sample fit: both models calibrated by spotpy's SCE-UA on KGE, {evaluations} evaluations each",
        "",
        "Ours: examples/continuous.toml run by the network model layer (temperature-index snow over three",
        "elevation zones where there is a temperature, five-storage soil-moisture accounting, the Clark",
        "transform, a linear-reservoir baseflow), its simulated daily means scored against the daily mean",
        "flows. HYMOD: the five-parameter model spotpy ships (pure Python). Same warm-up year, same periods,",
        "same objective (spotpy's KGE), same sampler settings.",
        "",
        *fit,
        "",
        "### Calibration speed (evaluations per second, serial, on the calibration period's run)",
        "",
        *rate,
        "",
        "### A 30-year daily run of examples/continuous.toml: model layer against kernels",
        "",
        *layer,
        "",
        "### Targets",
        "",
        *speed_targets,
        *layer_targets,
        *fit_targets,
    ]
    return "\n".join(lines) + "\n"


def write_section(text: str) -> None:
    """Replace this benchmark's section of RESULTS.md (the one benchmarks/run.py writes too)."""
    current = RESULTS.read_text() if RESULTS.exists() else "# Benchmarks\n"
    heading = "## bench_continuous\n"
    section = f"{heading}\n{text.rstrip()}\n"
    if heading in current:
        head, rest = current.split(heading, 1)
        following = rest.find("\n## ")
        tail = rest[following + 1 :] if following >= 0 else ""
        current = head + section + ("\n" + tail if tail else "")
    else:
        current = current.rstrip("\n") + "\n\n" + section
    RESULTS.write_text(current)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--evaluations", type=int, default=5000)
    parser.add_argument("--quick", action="store_true", help="smaller speed runs, 300 evaluations")
    parser.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md alone")
    args = parser.parse_args()
    evaluations = 300 if args.quick and args.evaluations == 5000 else args.evaluations
    text = report(evaluations, args.quick)
    print(text)
    if not args.no_write:
        write_section(text)


# ---- (d) the model layer's cost on a 30-year daily run ---------------------------------------------


def model_layer_cost(years: int = 30) -> tuple[list[str], list[str]]:
    """A network run of examples/continuous.toml against its methods' kernels called alone."""
    import rainmill_models as rm
    from rainmill_models.methods import in_us

    days = pd.date_range("1990-01-01", periods=int(years * 365.25), freq="D")
    rain, pet, temperature = synthetic(len(days))
    forcing = {
        "potential_et": pd.Series(pet, index=days),
        "temperature": pd.Series(temperature, index=days),
    }
    rain_series = pd.Series(rain, index=days)
    network = rm.Network.load(HERE.parent / "examples" / "continuous.toml")
    element = network.elements["fulda"]
    snow, loss, transform, baseflow = (
        in_us(getattr(element, p), "SI") for p in ("snow", "loss", "transform", "baseflow")
    )
    area = element.area * ACRES_PER_KM2
    from rainmill_models.methods import Forcing

    rain_in, pet_in = rain / 25.4, pet / 25.4

    def kernels() -> None:
        pack = snow.run(rain_in, temperature, 86400, start=days[0])
        out = loss.run(pack.liquid, 86400, Forcing(potential_et=pet_in, temperature=temperature))
        direct = transform.run(out.excess, area, 86400)
        baseflow.run(out.recharge, area, 86400, direct)

    def model() -> None:
        network.run(rain_series, end=days[-1], **forcing)

    t_kernels = best_time(kernels, 10, 5.0)
    t_model = best_time(model, 10, 5.0)
    rows = [
        "| run | CPU time (ms) |",
        "|---|---:|",
        f"| the methods' kernels alone (snow, soil moisture, Clark, baseflow) | {t_kernels * 1e3:.1f} |",
        f"| the network run of the same basin (model layer included) | {t_model * 1e3:.1f} |",
        f"| the model layer's own share | {(t_model - t_kernels) * 1e3:.1f} |",
    ]
    share = (t_model - t_kernels) / t_kernels
    target = (
        f"- {years}-year daily run: the model layer costs {share:.2f}× the kernels' own time — "
        f"**{'met' if share <= 0.5 else 'not met'}** (target <= 0.5×)"
    )
    return rows, [target]


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
