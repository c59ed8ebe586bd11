"""Continuous simulation of an observed record: calibrate on 1980-1984, validate on 1985-1988.

Run it with

    .venv/bin/python examples/continuous.py [--evaluations N] [--output DIR] [--no-plot]

(or `make continuous-example`). The data are the Fulda's daily record (precipitation, air
temperature and discharge at a 2976.41 km² basin in Hesse, 1979-1988) that spotpy ships as
spotpy/examples/cmf_data/fulda_climate.csv (spotpy 1.6.7, MIT licence; installed with the
calibration requirements, requirements/calibrate.txt, not a dependency of the package). Potential
ET comes from the mean temperature by Oudin's formula (rainmill_models.pet, latitude 50.7° N).

The model: temperature-index snow over three elevation zones, five-storage soil-moisture
accounting, the Clark transform of the excess and a linear reservoir for the groundwater outflow.
1979 is a warm-up, excluded from the scores and the calibration. Thirteen parameters are fitted by
differential evolution (rainmill_models.search) on the KGE of 1980-1984; the script prints the
calibration and validation scores, writes the final states of 1984 to a file and starts 1985 from
them (a hot start, checked against the uninterrupted run), and draws the validation period
(examples/output/continuous.png; matplotlib is optional).
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import sys
from datetime import timedelta
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from rainmill_models.methods import Forcing
from rainmill_models.methods.continuous import SoilMoisture, TemperatureIndexSnow
from rainmill_models.metrics import kge, scores
from rainmill_models.pet import potential_et
from rainmill_models.search import search
from rainmill_models.transform import unit_hydrograph

HERE = Path(__file__).resolve().parent
AREA_ACRES = 2976.41 * 247.10538146716533
CFS_PER_CMS = 1.0 / 0.028316846592
CFS_PER_INCH_PER_DAY = AREA_ACRES * 43560.0 / 12.0 / 86400.0
DAY = 86400
WARMUP, CALIBRATION, VALIDATION = ("1979", "1979"), ("1980", "1984"), ("1985", "1988")

# name: (low, high), depths in inches, rates in inches per hour, times in days.
BOUNDS = {
    "soil_max": (0.8, 24.0),
    "tension_share": (0.0, 1.0),
    "max_infiltration": (0.004, 1.2),
    "soil_percolation": (0.0004, 0.4),
    "gw1_days": (1.0, 60.0),
    "gw1_percolation": (0.0, 0.08),
    "gw2_days": (20.0, 1000.0),
    "tc_days": (0.5, 6.0),
    "r_days": (0.5, 10.0),
    "baseflow_days": (0.3, 20.0),
    "threshold": (-2.0, 2.0),
    "melt_rate_min": (0.02, 0.2),
    "melt_rate_range": (0.0, 0.2),
}


def load_record() -> pd.DataFrame:
    """The Fulda record in inches per day (rain, PET), °C and cfs, on a daily index."""
    try:
        import spotpy.examples
    except ImportError:
        sys.exit("examples/continuous.py reads its data from spotpy: pip install spotpy==1.6.7")
    path = Path(spotpy.examples.__file__).parent / "cmf_data" / "fulda_climate.csv"
    raw = pd.read_csv(path, skiprows=[1], index_col=0)
    raw.index = pd.to_datetime(raw.index, format="%d.%m.%Y")
    frame = pd.DataFrame({"rain": raw["Prec"] / 25.4, "temperature": raw["tmean"]})
    frame["pet"] = potential_et(frame["temperature"], latitude=50.7).to_numpy() / 25.4
    frame["flow"] = raw["Q"] * CFS_PER_CMS
    return frame


@dataclasses.dataclass(frozen=True)
class Basin:
    """The basin's methods for one parameter set, and how their outputs become a flow in cfs."""

    snow: TemperatureIndexSnow
    soil: SoilMoisture
    tc_days: float
    r_days: float
    baseflow_days: float

    @classmethod
    def from_vector(cls, x: Any) -> Basin:
        p = dict(zip(BOUNDS, (float(v) for v in x), strict=True))
        snow = TemperatureIndexSnow(
            threshold=p["threshold"],
            transition=2.0,
            melt_rate_min=p["melt_rate_min"],
            melt_rate_max=p["melt_rate_min"] + p["melt_rate_range"],
            zone_elevations=(-200.0, 0.0, 250.0),  # around the temperature's elevation, m
            zone_fractions=(0.3, 0.4, 0.3),
        )
        soil = SoilMoisture(
            soil_max=p["soil_max"],
            tension_max=p["tension_share"] * p["soil_max"],
            max_infiltration=p["max_infiltration"],
            soil_percolation=p["soil_percolation"],
            canopy_max=0.08,
            surface_max=0.2,
            gw1_max=6.0,
            gw1_percolation=p["gw1_percolation"],
            gw1_coefficient=p["gw1_days"] * 24.0,
            gw2_max=40.0,
            gw2_coefficient=p["gw2_days"] * 24.0,
            initial_soil=0.5 * p["soil_max"],
            initial_gw2=12.0,
        )
        return cls(snow, soil, p["tc_days"], p["r_days"], p["baseflow_days"])

    def run(self, frame: pd.DataFrame) -> tuple[pd.Series, Any, Any]:
        """Outflow (cfs) over the frame's days, and the snow's and the soil's outputs."""
        pack = self.snow.run(frame["rain"].to_numpy(), frame["temperature"].to_numpy(), DAY, frame.index[0])
        soil = self.soil.run(pack.liquid, DAY, Forcing(potential_et=frame["pet"].to_numpy()))
        uh = unit_hydrograph(AREA_ACRES, timedelta(days=self.tc_days), timedelta(days=self.r_days), DAY)
        direct = np.convolve(soil.excess, uh)[: len(frame)]
        keep = math.exp(-1.0 / self.baseflow_days)
        base = np.empty(len(frame))
        level = 0.0
        for i, recharge in enumerate(soil.recharge):
            level = keep * level + (1.0 - keep) * recharge
            base[i] = level
        return pd.Series(direct + base * CFS_PER_INCH_PER_DAY, index=frame.index), pack, soil


def window(period: tuple[str, str]) -> tuple[pd.Timestamp, pd.Timestamp]:
    return pd.Timestamp(period[0]), pd.Timestamp(period[1] + "-12-31")


def _prepare(frame: pd.DataFrame) -> pd.DataFrame:
    return frame


def _loss(frame: pd.DataFrame, x: np.ndarray) -> float:
    outflow, _, _ = Basin.from_vector(x).run(frame)
    value = kge(outflow, frame["flow"], window=window(CALIBRATION))
    return 1.0 - value if math.isfinite(value) else math.inf


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--evaluations", type=int, default=2000)
    parser.add_argument("--output", type=Path, default=HERE / "output")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)
    frame = load_record()

    generations = max(1, args.evaluations // (10 * len(BOUNDS)) - 1)
    options = dict(maxiter=generations, popsize=10, tol=0.0, polish=False)
    result = search(_prepare, _loss, frame, list(BOUNDS.values()), seed=1, progress=False, options=options)
    basin = Basin.from_vector(result.x)
    outflow, pack, soil = basin.run(frame)
    calibration = scores(outflow, frame["flow"], window=window(CALIBRATION))
    validation = scores(outflow, frame["flow"], window=window(VALIDATION))
    print(f"{result.evaluations} evaluations in {result.seconds:.1f} s; warm-up {WARMUP[0]} excluded")
    print(f"calibration {CALIBRATION[0]}-{CALIBRATION[1]}: KGE {calibration['kge']:.3f}, NSE {calibration['nse']:.3f}")
    print(f"validation  {VALIDATION[0]}-{VALIDATION[1]}: KGE {validation['kge']:.3f}, NSE {validation['nse']:.3f}")
    for name, value in zip(BOUNDS, result.x, strict=True):
        print(f"  {name:18s} {value:10.4g}")

    # A hot start: the states at the end of the calibration period, through a file.
    args.output.mkdir(parents=True, exist_ok=True)
    split = frame.index.get_loc(pd.Timestamp(VALIDATION[0] + "-01-01"))
    before = Basin.run(basin, frame.iloc[:split])
    states = {"soil": basin.soil.final_states(before[2].states), "snow": basin.snow.final_states(before[1])}
    path = args.output / "continuous_states.json"
    path.write_text(json.dumps(states, indent=2))
    read = json.loads(path.read_text())
    resumed = dataclasses.replace(
        basin, soil=basin.soil.hot_start(read["soil"]), snow=basin.snow.hot_start(read["snow"])
    )
    after = resumed.run(frame.iloc[split:])
    same = np.array_equal(after[2].storage["soil"], soil.storage["soil"][split:])
    print(
        f"hot start from {path.name}: soil storage {'identical to' if same else 'DIFFERS from'} the uninterrupted run"
    )

    if not args.no_plot:
        plot(frame, outflow, pack, soil, args.output / "continuous.png")
    return 0 if same else 1


def plot(frame: pd.DataFrame, outflow: pd.Series, pack: Any, soil: Any, path: Path) -> None:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("matplotlib is not installed: no figure")
        return
    figure = Figure(figsize=(11, 7), layout="constrained")
    flows, storages = figure.subplots(2, 1, sharex=True, height_ratios=(2, 1))
    flows.plot(frame.index, frame["flow"] / CFS_PER_CMS, color="black", lw=0.8, label="observed")
    flows.plot(outflow.index, outflow / CFS_PER_CMS, color="tab:blue", lw=0.8, label="simulated")
    flows.axvspan(pd.Timestamp(VALIDATION[0]), frame.index[-1], color="0.93", label="validation")
    flows.set_ylabel("discharge (m³/s)")
    flows.legend(loc="upper right")
    points = frame.index.append(pd.DatetimeIndex([frame.index[-1] + pd.Timedelta(days=1)]))
    storages.plot(points, soil.storage["soil"] * 25.4, label="soil")
    storages.plot(points, soil.storage["gw1"] * 25.4, label="groundwater 1")
    storages.plot(points, pack.storage["ice"] * 25.4, label="snow pack (ice)")
    storages.set_ylabel("storage (mm)")
    storages.legend(loc="upper right")
    figure.savefig(path, dpi=110)
    print(f"figure: {path}")


if __name__ == "__main__":
    sys.exit(main())
