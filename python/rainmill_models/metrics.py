"""Goodness of fit of a simulated hydrograph against observations, aligned on the time index.

Definitions (s simulated, o observed, means and population standard deviations over the scored pairs):

- "kge": Kling-Gupta efficiency, computed by the extension: 1 - sqrt((r-1)² + (α-1)² + (β-1)²);
- "r": Pearson correlation; "alpha": σs / σo; "beta": mean(s) / mean(o);
- "kge_prime": the 2012 variant with the ratio of coefficients of variation γ = (σs/μs) / (σo/μo)
  in place of α;
- "nse": Nash-Sutcliffe efficiency, 1 - Σ(s-o)² / Σ(o-mean(o))²;
- "log_nse": the NSE of ln(x + ε), ε = mean(o) / 100 (NaN when a value is below -ε);
- "pbias": 100 Σ(s-o) / Σo, percent, positive when the simulation overestimates;
- "peak_error": (max s - max o) / max o; "peak_time_error": hours from the observed to the simulated peak;
- "volume_error": (V(s) - V(o)) / V(o), volumes by the trapezoidal rule in time;
- "kge_climatology": the KGE a trivial model gets from the observations alone, their mean on each
  calendar day (month and day, over every year scored) against the observations (Schaefli and Gupta
  2007; Knoben et al. 2019); NaN when the scored observations span less than two years, where a
  calendar day has no other year to average over;
- "kge_skill": (kge - kge_climatology) / (1 - kge_climatology), the share of the gap between the
  climatology and a perfect fit that the model closes (negative: worse than the climatology).

How to read a KGE (Knoben et al. 2019): the mean flow itself, as a constant simulation, scores
`KGE_MEAN_FLOW` = 1 - sqrt(2) ≈ -0.41 on any record, so a KGE above -0.41 (not above 0, as with
the NSE) beats the mean; on a long record the climatology is the fairer bar, often 0.3 to 0.6 for a
seasonal river, and `kge_skill` says how far beyond it a model goes.

Observations of period means (a daily record: each day's mean flow stamped at its start) are
scored against the simulated mean over each period with `observed_period` ("D", any pandas
frequency, or "auto" for the observations' own step when longer than the simulation's; see
`rainmill_models.periods`); the simulation must then reach the end of the last period.

Units: observations with a unit (`attrs["units"]`, see `rainmill_models.io.units.unit_of`) are
converted into the simulated series' unit (a network result's flows carry theirs); observations
with a unit against a simulated series without one are refused, naming the unit. Without a unit the
observations are taken to be in the simulated series' unit.

Observations are scored at their own timestamps (within `window`, inclusive), each of which must be a
time of the simulation. NaN in either series raises an error naming the first timestamp, unless
`missing="drop"` leaves those pairs out.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt
import pandas as pd
import rainmill

from .io.timeseries import TimeSeriesError
from .io.units import UnitError, convert, unit_of
from .periods import period_sampler, resolve_period

Missing = Literal["raise", "drop"]
Window = tuple[object, object] | None
KGE_MEAN_FLOW = 1.0 - math.sqrt(2.0)  # the KGE of a constant simulation at the observed mean
CLIMATOLOGY_SPAN = pd.Timedelta(days=730)  # the shortest record a day-of-year climatology is scored on


def align(
    simulated: pd.Series,
    observed: pd.Series,
    *,
    missing: Missing = "raise",
    window: Window = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], pd.DatetimeIndex]:
    """The simulated and observed values at the observations' timestamps, and those timestamps."""
    if missing not in ("raise", "drop"):
        raise ValueError(f"missing must be 'raise' or 'drop', got {missing!r}")
    for name, series in (("simulated", simulated), ("observed", observed)):
        if not isinstance(series, pd.Series) or not isinstance(series.index, pd.DatetimeIndex):
            raise TypeError(f"{name}: expected a pandas Series with a DatetimeIndex")
        if not series.index.is_unique:
            raise TimeSeriesError(
                f"{name}: duplicate timestamp {series.index[series.index.duplicated()][0].isoformat()}"
            )
    if (pd.DatetimeIndex(simulated.index).tz is None) != (pd.DatetimeIndex(observed.index).tz is None):
        raise TimeSeriesError(
            "observed and simulated: one index has a time zone and the other not; give both or neither"
        )
    obs = in_simulated_unit(simulated, observed).sort_index()
    if window is not None:
        start, end = window
        obs = obs.loc[pd.Timestamp(start) : pd.Timestamp(end)]  # type: ignore[arg-type]
    absent = ~obs.index.isin(simulated.index)
    if absent.any():
        stamp = obs.index[int(np.argmax(absent))]
        raise TimeSeriesError(f"simulated: no value at {stamp.isoformat()}, a time of the observations")
    sim = simulated.reindex(obs.index).to_numpy(dtype=np.float64)
    obs_values = obs.to_numpy(dtype=np.float64)
    index = pd.DatetimeIndex(obs.index)
    bad = np.isnan(sim) | np.isnan(obs_values)
    if bad.any():
        if missing == "raise":
            i = int(np.argmax(bad))
            which = "observed" if math.isnan(obs_values[i]) else "simulated"
            raise TimeSeriesError(
                f"{which}: missing value at {index[i].isoformat()} (pass missing='drop' to leave such pairs out)"
            )
        sim, obs_values, index = sim[~bad], obs_values[~bad], index[~bad]
    if len(obs_values) == 0:
        raise TimeSeriesError("no observations to score (check the window and the missing values)")
    return sim, obs_values, index


def in_simulated_unit(simulated: pd.Series, observed: pd.Series) -> pd.Series:
    """`observed` in the unit of `simulated` (see the module); itself when it has no unit."""
    seen, computed = unit_of(observed, what="observed"), unit_of(simulated, what="simulated")
    if seen is None or seen == computed:
        return observed
    if computed is None:
        raise UnitError(
            f"observed: in {seen}, but the simulated series has no unit (set simulated.attrs['units'] to compare)"
        )
    return convert(observed, computed, units=seen, name="observed")


def _nse(s: npt.NDArray[np.float64], o: npt.NDArray[np.float64]) -> float:
    spread = float(np.sum((o - o.mean()) ** 2))
    return 1.0 - float(np.sum((s - o) ** 2)) / spread if spread > 0 else math.nan


def _ratio(a: float, b: float) -> float:
    return a / b if b != 0 else math.nan


@overload
def scores(
    simulated: pd.Series,
    observed: pd.Series,
    *,
    missing: Missing = "raise",
    window: Window = None,
    observed_period: str | None = None,
) -> dict[str, float]: ...
@overload
def scores(
    simulated: Any,
    observed: Mapping[str, pd.Series],
    *,
    missing: Missing = "raise",
    window: Window = None,
    observed_period: str | None = None,
) -> pd.DataFrame: ...
def scores(
    simulated: Any,
    observed: pd.Series | Mapping[str, pd.Series],
    *,
    missing: Missing = "raise",
    window: Window = None,
    observed_period: str | None = None,
) -> dict[str, float] | pd.DataFrame:
    """Every score of the module, by name (see the module for the definitions).

    With a mapping element -> observed series, `simulated` is a network's result (or a mapping
    element -> simulated series): one row of scores per observed element. `observed_period` ("D",
    "auto"; None: the flows at the observations' times) scores period means (see the module).
    """
    if isinstance(observed, Mapping):
        rows = {}
        for name, seen in observed.items():
            at = simulated.at(name) if hasattr(simulated, "at") else simulated[name]
            rows[name] = _scores(over_periods(at, seen, observed_period, missing), seen, missing, window)
        return pd.DataFrame.from_dict(rows, orient="index").rename_axis("element")
    return _scores(over_periods(simulated, observed, observed_period, missing), observed, missing, window)


def over_periods(
    simulated: pd.Series, observed: pd.Series, observed_period: str | None, missing: Missing = "raise"
) -> pd.Series:
    """`simulated` as the observations are: its means over their periods, or itself (see the module).

    A period the simulation does not wholly cover is refused (missing="drop": left out).
    """
    if observed_period is None or len(simulated) < 2:
        return simulated
    index = pd.DatetimeIndex(observed.index)
    length = resolve_period(index, observed_period, (simulated.index[1] - simulated.index[0]).total_seconds())
    if length is None:
        return simulated
    last = index[-1] + length
    if last > simulated.index[-1] and missing == "raise":
        raise TimeSeriesError(
            f"simulated: ends at {simulated.index[-1].isoformat()}, before the end of the last observed period "
            f"({last.isoformat()}); run the simulation to that time"
        )
    sampler = period_sampler(pd.DatetimeIndex(simulated.index), index, length)
    means = pd.Series(sampler(simulated.to_numpy(dtype=np.float64)), index=index, name=simulated.name)
    means.attrs = dict(simulated.attrs)
    return means


def climatology_kge(observed: npt.NDArray[np.float64], index: pd.DatetimeIndex) -> float:
    """The KGE of the observations' mean on each calendar day against the observations (NaN under two years)."""
    if len(observed) < 2 or index[-1] - index[0] < CLIMATOLOGY_SPAN:
        return math.nan
    days = index.month * 100 + index.day  # 29 February is a calendar day of its own
    climatology = pd.Series(observed).groupby(np.asarray(days)).transform("mean").to_numpy(dtype=np.float64)
    return float(rainmill.metrics.calculate_kge(climatology, observed))  # the arrays as they are: no lists


def _scores(simulated: pd.Series, observed: pd.Series, missing: Missing, window: Window) -> dict[str, float]:
    s, o, index = align(simulated, observed, missing=missing, window=window)
    mean_s, mean_o = float(s.mean()), float(o.mean())
    std_s, std_o = float(s.std()), float(o.std())
    r = float(np.corrcoef(s, o)[0, 1]) if std_s > 0 and std_o > 0 else math.nan
    beta = _ratio(mean_s, mean_o)
    gamma = _ratio(_ratio(std_s, mean_s), _ratio(std_o, mean_o))
    eps = mean_o / 100.0
    with np.errstate(invalid="ignore", divide="ignore"):
        log_nse = _nse(np.log(s + eps), np.log(o + eps)) if eps > 0 else math.nan
    seconds = ((index - index[0]) / pd.Timedelta(seconds=1)).to_numpy(dtype=np.float64)
    volume_s = float(np.trapezoid(s, seconds)) if len(s) > 1 else mean_s
    volume_o = float(np.trapezoid(o, seconds)) if len(o) > 1 else mean_o
    peak_s, peak_o = int(np.argmax(s)), int(np.argmax(o))
    value = rainmill.metrics.calculate_kge(s, o)
    benchmark = climatology_kge(o, index)
    return {
        "kge": value,
        "r": r,
        "alpha": _ratio(std_s, std_o),
        "beta": beta,
        "kge_prime": 1.0 - math.sqrt((r - 1.0) ** 2 + (beta - 1.0) ** 2 + (gamma - 1.0) ** 2),
        "nse": _nse(s, o),
        "log_nse": log_nse,
        "pbias": 100.0 * _ratio(float(np.sum(s - o)), float(np.sum(o))),
        "peak_error": _ratio(float(s[peak_s] - o[peak_o]), float(o[peak_o])),
        "peak_time_error": (index[peak_s] - index[peak_o]) / pd.Timedelta(hours=1),
        "volume_error": _ratio(volume_s - volume_o, volume_o),
        "kge_climatology": benchmark,
        "kge_skill": _ratio(value - benchmark, 1.0 - benchmark) if math.isfinite(benchmark) else math.nan,
    }


def benchmark_line(table: Mapping[str, float]) -> str:
    """How the KGE reads against trivial models: the mean flow and the observations' climatology."""
    line = f"benchmarks: KGE of the mean flow {KGE_MEAN_FLOW:.2f}"
    climatology = table.get("kge_climatology", math.nan)
    if math.isfinite(climatology):
        line += f", of the day-of-year climatology {climatology:.3f} (skill {table.get('kge_skill', math.nan):.3f})"
    else:
        line += " (a climatology needs two years of observations)"
    return line


def kge(
    simulated: pd.Series,
    observed: pd.Series,
    *,
    use_log: bool = False,
    missing: Missing = "raise",
    window: Window = None,
) -> float:
    """The Kling-Gupta efficiency of the extension, on the aligned pairs (logarithms with `use_log`)."""
    s, o, _ = align(simulated, observed, missing=missing, window=window)
    return rainmill.metrics.calculate_kge(s, o, use_log)
