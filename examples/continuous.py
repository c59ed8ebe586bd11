"""Continuous simulation of an observed record: calibrate on 1980-1984, validate on 1985-1988.

Run it with

    .venv/bin/python examples/continuous.py [--evaluations N] [--output DIR] [--no-plot]

(or `make continuous-example`). The data are the Fulda's daily record (precipitation, air
temperature and discharge at a 2976.41 km² basin in Hesse, 1979-1988) that spotpy ships as
spotpy/examples/cmf_data/fulda_climate.csv (spotpy 1.6.7, MIT licence; installed with the
calibration requirements, requirements/calibrate.txt, not a dependency of the package). Potential
ET comes from the mean temperature by Oudin's formula (rainmill_models.methods.et, latitude 50.7° N).

The model is examples/continuous.toml: temperature-index snow over three elevation zones,
soil-moisture accounting, the Clark transform and a linear-reservoir baseflow. 1979 is a warm-up:
the calibration window starts after it, so it counts in neither the objective nor the scores.
Thirteen parameters are fitted by differential evolution on the KGE of 1980-1984; the script prints
the calibration and validation scores, point by point and against the observed daily means (the
simulated mean over each day), writes the states at the end of 1984 to a file, starts 1985 from
them (a hot start) and draws the fit (examples/output/continuous.png; matplotlib is optional).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np
import pandas as pd

import rainmill_models as rm
from rainmill_models.io.states import final_states, load_states, save_states, start_from, states_frame
from rainmill_models.methods.et import potential_et
from rainmill_models.periods import period_means

HERE = Path(__file__).resolve().parent
WARMUP_END = pd.Timestamp("1979-12-31")
CALIBRATION = (pd.Timestamp("1980-01-01"), pd.Timestamp("1984-12-31"))
VALIDATION = (pd.Timestamp("1985-01-01"), pd.Timestamp("1988-12-31"))
BASIN = "subbasins.fulda"
PARAMETERS = {  # path: (low, high), in the model's units (mm, mm/h, hours, °C)
    f"{BASIN}.loss.soil_max": (50.0, 600.0),
    f"{BASIN}.loss.tension_max": (1.0, 50.0),
    f"{BASIN}.loss.max_infiltration": (0.1, 30.0),
    f"{BASIN}.loss.soil_percolation": (0.01, 10.0),
    f"{BASIN}.loss.gw1_percolation": (0.0, 2.0),
    f"{BASIN}.loss.gw1_coefficient": (24.0, 1440.0),
    f"{BASIN}.loss.gw2_coefficient": (480.0, 24000.0),
    f"{BASIN}.transform.tc": (12.0, 144.0),
    f"{BASIN}.transform.r": (12.0, 240.0),
    f"{BASIN}.baseflow.layers.ground.k": (12.0, 480.0),
    f"{BASIN}.snow.threshold": (-2.0, 2.0),
    f"{BASIN}.snow.melt_rate_min": (0.5, 5.0),
    f"{BASIN}.snow.melt_rate_max": (0.5, 10.0),
}


def load_record() -> pd.DataFrame:
    """The Fulda record: precipitation (mm/day), mean temperature (°C), PET (mm/day), flow (m³/s)."""
    try:
        import spotpy.examples
    except ImportError:
        sys.exit("examples/continuous.py reads its data from spotpy: pip install spotpy==1.6.7")
    path = Path(spotpy.examples.__file__).parent / "cmf_data" / "fulda_climate.csv"
    raw = pd.read_csv(path, skiprows=[1], index_col=0)
    raw.index = pd.to_datetime(raw.index, format="%d.%m.%Y")
    frame = pd.DataFrame({"rain": raw["Prec"], "temperature": raw["tmean"], "flow": raw["Q"]})
    frame["pet"] = potential_et(frame["temperature"], latitude=50.7)
    return frame


def run(network: rm.Network, frame: pd.DataFrame, end: pd.Timestamp) -> rm.NetworkResult:
    """The network on a stretch of the record (its rain, PET and temperature) up to `end`."""
    return network.run(frame["rain"], potential_et=frame["pet"], temperature=frame["temperature"], end=end)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--evaluations", type=int, default=2000)
    parser.add_argument("--output", type=Path, default=HERE / "output")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)
    frame = load_record()
    network = rm.Network.load(HERE / "continuous.toml")
    observed = frame["flow"]

    generations = max(1, args.evaluations // (10 * len(PARAMETERS)) - 1)
    fit = rm.calibrate(
        network,
        frame["rain"],
        observed,
        PARAMETERS,
        window=CALIBRATION,
        seed=1,
        progress=False,
        options={"maxiter": generations, "popsize": 10, "tol": 0.0, "polish": False},
        potential_et=frame["pet"],
        temperature=frame["temperature"],
    )
    best = fit.model
    assert isinstance(best, rm.Network)
    # To the record's last day (PET and temperature must cover the run): that day's mean, which
    # needs the flow at its end, is left out of the daily scores.
    result = run(best, frame, frame.index[-1])
    means = period_means(result.outflow, observed)
    print(f"{len(fit.history)} evaluations; warm-up to {WARMUP_END.date()} excluded from the objective and scores")
    for label, window in (("calibration", CALIBRATION), ("validation ", VALIDATION)):
        points = rm.scores(result.outflow, observed, window=window)
        daily = rm.scores(means, observed, window=window, missing="drop")
        years = f"{window[0].year}-{window[1].year}"
        print(
            f"{label} {years}: KGE {points['kge']:.3f}, NSE {points['nse']:.3f}; "
            f"against daily means: KGE {daily['kge']:.3f}, NSE {daily['nse']:.3f}"
        )
    for path, value in fit.parameters.items():
        print(f"  {path.removeprefix(BASIN + '.'):28s} {value:10.4g}")

    # A hot start: the states where a run of 1979-1984 ends, through a file, start 1985-1988.
    args.output.mkdir(parents=True, exist_ok=True)
    before = frame[: CALIBRATION[1]]
    first = run(best, before, CALIBRATION[1])
    path = args.output / "continuous_states.json"
    save_states(path, final_states(first), time=VALIDATION[0].isoformat())
    after = frame[VALIDATION[0] :]
    resumed = run(start_from(best, load_states(path)), after, frame.index[-1])
    storages = states_frame(result).loc[VALIDATION[0] :]
    # To rounding: the states file holds millimetres, the kernels work in inches.
    same = bool(np.allclose(states_frame(resumed).iloc[0], storages.iloc[0], rtol=1e-12, atol=1e-12))
    settled = (resumed.outflow - result.outflow[VALIDATION[0] :]).abs()[VALIDATION[0] + pd.Timedelta(days=30) :]
    print(
        f"hot start from {path.name}: storages {'equal to' if same else 'DIFFER from'} the uninterrupted run's; "
        f"outflow within {settled.max():.2g} m³/s of it after 30 days"
    )

    if not args.no_plot:
        plot(observed, result, args.output / "continuous.png")
    return 0 if same else 1


def plot(observed: pd.Series, result: rm.NetworkResult, path: Path) -> None:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("matplotlib is not installed: no figure")
        return
    figure = Figure(figsize=(11, 7), layout="constrained")
    flows, storages = figure.subplots(2, 1, sharex=True, height_ratios=(2, 1))
    flows.plot(observed.index, observed, color="black", lw=0.8, label="observed (daily means)")
    flows.plot(result.index, result.outflow, color="tab:blue", lw=0.8, label="simulated")
    flows.axvspan(VALIDATION[0], VALIDATION[1], color="0.93", label="validation")
    flows.set_ylabel("discharge (m³/s)")
    flows.legend(loc="upper right")
    states = states_frame(result)["fulda"]
    for column, label in (("loss.soil", "soil"), ("loss.gw1", "groundwater 1"), ("snow.ice", "snow pack (ice)")):
        storages.plot(states.index, states[column], label=label)
    storages.set_ylabel("storage (mm)")
    storages.legend(loc="upper right")
    figure.savefig(path, dpi=110)
    print(f"figure: {path}")


if __name__ == "__main__":
    sys.exit(main())
