"""Fitting a model to observations at one or several gauges.

:func:`calibrate` searches the parameters named by their path in the model
description (``"subbasins.upper.loss.constant_rate"``, or an older single-chain
path such as ``"basin.transform.tc"``; durations in hours; a tuple of paths ties
them to one value) within bounds, scoring every candidate on one fixed
window of the observations' time index: the simulation always runs to the end
of that window, whatever the transform's length, so every candidate is scored
on the same timestamps. A candidate the description refuses (a Muskingum step
out of range, say) scores NaN and never wins.

The evaluations travel as plain data (the description as a dict, the series
as NumPy arrays), so they run unchanged serially, on threads, on processes or
on a Dask cluster (see :mod:`rainmill_models.calibration.runner`).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd
import rainmill

from ..elements import Series
from ..errors import ModelError
from ..io.forcing import Inputs, prepare_inputs
from ..io.timeseries import TimeSeriesError
from ..io.units import check_runoff_magnitude, factor_from_us, label
from ..metrics import Missing, _nse, align, benchmark_line, kge, scores
from ..network import Network
from ..parameters import ParameterKey, Setter, compile_parameters
from ..parameters import get_parameter as get_network_parameter
from ..periods import PeriodMeans, period_length, period_sampler, resolve_period
from ..simulation import simulate_network
from .plain_data import (
    FORCING,
    forcing_from_data,
    forcing_to_data,
    observed_in_model_units,
    series_from_data,
    series_to_data,
)
from .search import METHODS, SearchResult

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["OBJECTIVES", "CalibrationResult", "calibration_context", "prepare_calibration"]

# Scores to maximise (best at 1) and errors to bring to zero.
_SCORES_TO_ONE = ("kge", "kge_prime", "nse", "log_nse")
ERRORS_TO_ZERO = ("pbias", "peak_error", "volume_error")
OBJECTIVES = _SCORES_TO_ONE + ERRORS_TO_ZERO

Objective = str | Callable[[pd.Series, pd.Series], float]


def _objective_value(
    objective: Objective,
    simulated: pd.Series,
    observed: pd.Series,
    window: tuple[pd.Timestamp, pd.Timestamp],
    missing: Missing,
) -> float:
    if callable(objective):
        s, o, index = align(simulated, observed, missing=missing, window=window)
        return float(objective(pd.Series(s, index=index), pd.Series(o, index=index)))
    if objective == "kge":
        return kge(simulated, observed, missing=missing, window=window)
    return float(scores(simulated, observed, missing=missing, window=window)[objective])


def _loss(objective: Objective, value: float) -> tuple[float, float]:
    """The loss the optimiser minimises, and the value the history keeps."""
    if not math.isfinite(value):
        return math.nan, math.nan
    if callable(objective):
        return -value, value
    if objective in _SCORES_TO_ONE:
        return 1.0 - value, value
    return abs(value), value


def _kge(s: npt.NDArray[np.float64], o: npt.NDArray[np.float64]) -> float:
    return float(rainmill.metrics.calculate_kge(s, o))  # the arrays as they are: no lists


# Objectives scored straight from the aligned values, as metrics.scores does.
_FAST: dict[object, Callable[[npt.NDArray[np.float64], npt.NDArray[np.float64]], float]] = {
    "kge": _kge,
    "nse": _nse,
}


def key_name(key: ParameterKey) -> str:
    """A parameter key as the history and the results name it: tied paths joined by "|"."""
    return key if isinstance(key, str) else "|".join(key)


@dataclass(frozen=True)
class _Gauge:
    """One observed element: where its observations fall in the simulation, and their weight."""

    element: str
    observed: pd.Series
    positions: npt.NDArray[np.intp]  # the observations' points in the simulation
    values: npt.NDArray[np.float64]  # at those points, without the missing ones (missing="drop")
    weight: float
    # Observations of period means: the simulated means over the periods of the observations in the
    # window (`times`), of which `kept` are scored; None when the flows at the points are scored.
    means: PeriodMeans | None = None
    times: pd.DatetimeIndex | None = None
    kept: npt.NDArray[np.bool_] | None = None

    def simulated(self, outflow: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """The simulated values scored against `values`: flows at the points or means over the periods."""
        if self.means is None:
            return outflow[self.positions]
        return self.means(outflow)[self.kept]

    def scored(self, flow: pd.Series) -> pd.Series:
        """The simulated series scored against the observations: ``flow`` itself, or its means over the periods."""
        if self.means is None:
            return flow
        return pd.Series(self.means(flow.to_numpy(dtype=np.float64)), index=self.times)


@dataclass(frozen=True)
class _State:
    """One calibration, ready to evaluate candidates quickly.

    The forcing is brought to the computation step once and the parameter paths are resolved once;
    each candidate then rebuilds only the elements it touches, checks the step once, runs the
    network's lean core over the fixed number of points up to the window's end, and reads each
    gauge's outflow at its observations' positions.
    """

    network: Network
    setter: Setter[Network]
    inputs: Inputs
    gauges: tuple[_Gauge, ...]
    window: tuple[pd.Timestamp, pd.Timestamp]
    objective: Objective
    missing: Missing
    step: int
    index: pd.DatetimeIndex  # the times of the simulated points
    flow_factor: float

    @property
    def positions(self) -> npt.NDArray[np.intp]:
        """The first gauge's observation positions."""
        return self.gauges[0].positions


def prepare_calibration(context: Mapping[str, Any]) -> _State:
    """Rebuild the network, the forcing and the observations of one calibration from plain data."""
    network = Network.from_dict(context["model"])
    window = (pd.Timestamp(context["window"][0]), pd.Timestamp(context["window"][1]))
    keys = [k if isinstance(k, str) else tuple(k) for k in context["paths"]]
    setter = compile_parameters(network, keys, continuous=True)
    inputs, start, step = prepare_inputs(
        network,
        forcing_from_data(context["rain"]),
        **{key: forcing_from_data(context.get(key)) for key in FORCING},
    )
    freq = pd.Timedelta(seconds=step)
    observed = context["observed"]
    if "values" in observed:  # one observed series: the network's (single) outlet
        observed = {network.outlets()[-1]: observed}
    seen_by = {name: series_from_data(item).sort_index() for name, item in observed.items()}
    insides = {name: seen.loc[window[0] : window[1]] for name, seen in seen_by.items()}
    lengths = {
        name: resolve_period(pd.DatetimeIndex(insides[name].index), context.get("observed_period"), step)
        for name in seen_by
    }
    # Means over periods need the simulation up to the end of the last period.
    end = max(
        [window[1]] + [pd.Timestamp(insides[n].index[-1] + lengths[n]) for n in seen_by if lengths[n] is not None]
    )
    points = -(-(end - start) // freq) + 1
    index = pd.date_range(start, periods=max(points, 0), freq=freq, name="time")
    weights = context.get("weights") or {}
    total = math.fsum(float(weights.get(name, 1.0)) for name in observed)
    gauges = []
    for name, seen in seen_by.items():
        inside = insides[name]
        kept = inside.notna().to_numpy() if context["missing"] == "drop" else np.ones(len(inside), dtype=bool)
        kept_inside = inside[kept]
        times = pd.DatetimeIndex(inside.index)
        gauges.append(
            _Gauge(
                element=name,
                observed=seen,
                positions=index.get_indexer(kept_inside.index),
                values=kept_inside.to_numpy(dtype=np.float64),
                weight=float(weights.get(name, 1.0)) / total,
                means=None if lengths[name] is None else period_sampler(index, times, lengths[name]),
                times=times,
                kept=kept,
            )
        )
    return _State(
        network=network,
        setter=setter,
        inputs=inputs,
        gauges=tuple(gauges),
        window=window,
        objective=context["objective"],
        missing=context["missing"],
        step=step,
        index=index,
        flow_factor=factor_from_us("flow", network.options.units),
    )


def _simulate(state: _State, values: Sequence[float] | npt.NDArray[np.float64]) -> dict[str, Series]:
    network = state.setter(map(float, values))
    return simulate_network(network, state.inputs, state.step, len(state.index))


def _outflow(state: _State, values: Sequence[float] | npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The first gauge's outflow with the given parameter values, at every point up to the window's end."""
    outflow: npt.NDArray[np.float64] = _simulate(state, values)[state.gauges[0].element].outflow
    return outflow * state.flow_factor  # the factor results apply, so the values are the same


def _gauge_value(state: _State, gauge: _Gauge, outflow: npt.NDArray[np.float64]) -> float:
    if state.objective in _FAST:
        # The fast path of metrics.scores: the same pairs, the same formula.
        s, o = gauge.simulated(outflow), gauge.values
        bad = np.isnan(s)
        if bad.any():
            if state.missing == "raise":
                return math.nan
            s, o = s[~bad], o[~bad]
        return _FAST[state.objective](s, o)
    simulated = gauge.scored(pd.Series(outflow, index=state.index))
    return _objective_value(state.objective, simulated, gauge.observed, state.window, state.missing)


def _combined(state: _State, series: Mapping[str, Series]) -> tuple[float, float]:
    """The weighted loss over the gauges and the weighted objective the history keeps."""
    loss = value = 0.0
    for gauge in state.gauges:
        outflow = series[gauge.element].outflow * state.flow_factor
        gauge_loss, gauge_value = _loss(state.objective, _gauge_value(state, gauge, outflow))
        if len(state.gauges) == 1:
            return gauge_loss, gauge_value
        loss += gauge.weight * gauge_loss
        value += gauge.weight * (abs(gauge_value) if state.objective in ERRORS_TO_ZERO else gauge_value)
    return loss, value


def evaluate_calibration(state: _State, values: npt.NDArray[np.float64]) -> tuple[float, float]:
    """The loss of one parameter vector and its objective (NaN for a model the description refuses)."""
    try:
        return _combined(state, _simulate(state, values))
    except ModelError, TimeSeriesError:
        return math.nan, math.nan


@dataclass(frozen=True)
class CalibrationResult:
    """What :func:`calibrate` found.

    ``model`` is the best description (``model.save(path)`` writes it as TOML),
    ``parameters`` its calibrated values, ``score`` the objective there and
    ``scores`` every score on the window (KGE with its components r, alpha and
    beta, NSE, percent bias, ...). ``history`` has one row per evaluation, in
    order: the ``generation`` (one per population of differential evolution,
    one per point otherwise), the parameter values and the objective (NaN for
    a refused model). ``interrupted`` is true when Ctrl-C stopped the search.
    ``refused`` counts the candidates that scored NaN (a model the description refuses, or a score
    that is not finite there) and ``refusal`` says why the first of them did.
    """

    model: Network
    parameters: dict[str, float]
    objective: str
    score: float
    scores: dict[str, float]
    history: pd.DataFrame = field(repr=False)
    simulated: pd.Series = field(repr=False)
    observed: pd.Series = field(repr=False)
    window: tuple[pd.Timestamp, pd.Timestamp]
    method: str
    evaluations: int
    seconds: float
    interrupted: bool = False
    message: str = ""
    gauges: pd.DataFrame | None = field(default=None, repr=False)  # every score at every gauge
    flow_unit: str = ""
    refused: int = 0
    refusal: str = ""

    def summary(self) -> str:
        """A few lines for a terminal: method, parameters, scores, the benchmarks, the refused candidates."""
        width = max(len(p) for p in self.parameters)
        state = " (interrupted)" if self.interrupted else ""
        lines = [
            f"calibration by {self.method}{state}: {self.evaluations} evaluations in {self.seconds:.2f} s",
            f"window {self.window[0]} to {self.window[1]}",
        ]
        lines += [f"  {path:<{width}}  {value:.6g}" for path, value in self.parameters.items()]
        lines.append(f"{self.objective} = {self.score:.6f}")
        lines.append("  ".join(f"{k} {v:.4g}" for k, v in self.scores.items()))
        lines.append(benchmark_line(self.scores))
        if self.refused:
            lines.append(
                f"{self.refused} of {self.evaluations} candidates refused (scored NaN)"
                + (f"; the first: {self.refusal}" if self.refusal else "")
            )
        return "\n".join(lines)

    def plot(self) -> Figure:
        """Observed vs simulated on the window, and the objective over the evaluations."""
        from ..figures import legend_beside, new_figure, score_label, time_axis

        figure = new_figure(2, height=3.2, sharex=False)
        flows, progress = figure.axes
        observed = self.observed.loc[self.window[0] : self.window[1]]
        flows.plot(observed.index, observed.to_numpy(), ".", color="0.3", label="observed")
        simulated = self.simulated.loc[self.window[0] : self.window[1]]
        flows.plot(simulated.index, simulated.to_numpy(), "-", color="C0", label="simulated")
        flows.set_ylabel(f"flow ({self.flow_unit})" if self.flow_unit else "flow")
        flows.set_title(f"best fit: {self.objective} = {self.score:.4f}")
        time_axis(flows, simulated.index)
        legend_beside(flows)
        values = self.history[self.objective].to_numpy(dtype=np.float64)
        evaluations = np.arange(1, len(values) + 1)
        progress.plot(evaluations, values, ".", markersize=2, color="0.6", label="evaluation")
        best = _running_best(self.objective, values)
        progress.plot(evaluations, best, "-", color="C1", label="best so far")
        progress.set_xlabel("evaluation (count)")
        progress.set_ylabel(score_label(self.objective))
        if self.objective in _SCORES_TO_ONE:
            finite = values[np.isfinite(values)]
            if finite.size:
                progress.set_ylim(max(np.nanpercentile(finite, 5), -1.0), 1.0)
        legend_beside(progress)
        return figure


def _running_best(objective: str, values: np.ndarray) -> np.ndarray:
    if objective in ERRORS_TO_ZERO:
        order = np.minimum.accumulate(np.where(np.isnan(values), np.inf, np.abs(values)))
    else:
        order = np.maximum.accumulate(np.where(np.isnan(values), -np.inf, values))
    return np.where(np.isinf(order), np.nan, order)


@dataclass(frozen=True)
class Prepared:
    """One calibration checked and turned into plain data, before its search.

    ``context`` travels to the workers (see :func:`prepare_calibration`); ``start`` is the model's
    own value of each parameter; ``state`` is the context prepared here, to run the best values.
    """

    context: dict[str, Any]
    start: list[float]
    window: tuple[pd.Timestamp, pd.Timestamp]
    missing: Missing
    gauges: dict[str, pd.Series]
    state: _State

    @property
    def flow_unit(self) -> str:
        """The unit of the simulated and observed flows."""
        return label("flow", self.state.network.options.units)

    def simulate(self, values: Sequence[float] | npt.NDArray[np.float64]) -> dict[str, pd.Series]:
        """Each gauge's simulated flow with the given parameter values, on the calibration's points."""
        state = self.state
        runs = _simulate(state, values)
        flows = {
            g.element: pd.Series(runs[g.element].outflow * state.flow_factor, index=state.index, name=g.element)
            for g in state.gauges
        }
        for flow in flows.values():
            flow.attrs["units"] = self.flow_unit  # scores convert observations given in another unit
        return flows

    def scores(self, simulated: Mapping[str, pd.Series]) -> dict[str, dict[str, float]]:
        """Every score of each gauge's simulated flow (as `simulate` gives it), over periods if observed so."""
        table = {}
        for gauge in self.state.gauges:
            flow = gauge.scored(simulated[gauge.element])
            table[gauge.element] = scores(flow, self.gauges[gauge.element], missing=self.missing, window=self.window)
        return table


def calibration_context(
    model: Network,
    rain: Any,
    observed: pd.Series | Mapping[str, pd.Series],
    keys: Sequence[Any],
    *,
    objective: Objective = "kge",
    window: tuple[Any, Any] | None = None,
    missing: Missing = "raise",
    weights: Mapping[str, float] | None = None,
    forcing: Mapping[str, Any] | None = None,
    observed_period: str | None = None,
    where: str = "",
) -> Prepared:
    """Check a calibration's arguments and turn them into plain data (``where`` prefixes the messages)."""
    if observed_period not in (None, "auto"):
        if not isinstance(observed_period, str):
            raise ValueError(f"observed_period must be None, 'auto' or a pandas frequency, not {observed_period!r}")
        period_length(pd.DatetimeIndex([]), observed_period)
    if not callable(objective) and objective not in OBJECTIVES:
        raise ValueError(f"objective must be one of {', '.join(OBJECTIVES)} or a function, not {objective!r}")
    if missing not in ("raise", "drop"):
        raise ValueError(f'missing must be "raise" or "drop", not {missing!r}')
    gauges = dict(observed) if isinstance(observed, Mapping) else None
    for name, given in (gauges or {"observed": cast(pd.Series, observed)}).items():
        if not isinstance(given, pd.Series) or not isinstance(given.index, pd.DatetimeIndex) or given.empty:
            raise ValueError(f"{where}{name}: observed must be a non-empty Series with a DatetimeIndex")
    if gauges is None:
        gauges = {model.outlets()[-1]: cast(pd.Series, observed)}
    for name in gauges:
        if name not in model.elements:
            raise ModelError(f"observed.{name}", "no such element in the model")
    for name in weights or {}:
        if name not in gauges:
            raise ValueError(f"{where}weights: {name!r} is not an observed element")
    gauges = {name: observed_in_model_units(model, name, series, where, rain) for name, series in gauges.items()}
    compile_parameters(model, keys, continuous=True)  # older single-chain paths resolve through the alias table
    start = [get_network_parameter(model, k) for k in keys]
    span = _windows(list(gauges.values()), window)
    for name, series in gauges.items():
        check_gauge_magnitude(model, name, series.loc[span[0] : span[1]], where)
    context = {
        "model": model.to_dict(),
        "rain": forcing_to_data(rain),
        **{key: forcing_to_data((forcing or {}).get(key)) for key in FORCING},
        "observed": {name: series_to_data(series) for name, series in gauges.items()},
        "weights": dict(weights or {}),
        "window": (span[0].isoformat(), span[1].isoformat()),
        "paths": [list(k) if isinstance(k, tuple) else k for k in keys],
        "objective": objective,
        "missing": missing,
        "observed_period": observed_period,
    }
    # The window, the observations and the objective are checked once here,
    # on the model as given, before any search starts.
    state = prepare_calibration(context)
    first_run = simulate_network(model, state.inputs, state.step, len(state.index))
    for gauge in state.gauges:
        flows = first_run[gauge.element].outflow * state.flow_factor
        _objective_value(objective, gauge.scored(pd.Series(flows, index=state.index)), gauge.observed, span, missing)
    return Prepared(context, start, span, missing, gauges, state)


# The largest mean specific runoff an event's observations may show before a unit slip is suspected
# (1000 m/yr, about 32 m³/s per km² held over the whole window: beyond any flood on record).
EVENT_RUNOFF_LIMIT_MM_PER_YEAR = 1.0e6


def upstream_area(network: Network, name: str) -> float:
    """The area of the subbasins whose runoff reaches element `name` (itself included), in the model's units."""
    subbasins = network.subbasins()
    return math.fsum(float(subbasins[here].area) for here in network.reaching(name) if here in subbasins)


def check_gauge_magnitude(network: Network, gauge: str, observed: pd.Series, where: str = "") -> None:
    """Warn (`UnitWarning`, naming the likely slip) when observed flows are implausible for the area upstream."""
    area = upstream_area(network, gauge)
    if area > 0:
        units = network.options.units
        check_runoff_magnitude(
            observed,
            area,
            flow_unit=label("flow", units),
            area_unit=label("area", units),
            name=f"{where}observed at {gauge}",
            high=EVENT_RUNOFF_LIMIT_MM_PER_YEAR,
        )


def check_bounds(parameters: Mapping[Any, tuple[float, float]]) -> list[tuple[float, float]]:
    """The (low, high) bounds of each parameter, once known to be finite with low < high."""
    bounds = []
    for key, given in parameters.items():
        low, high = (float(v) for v in given)
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise ValueError(f"{key_name(key)}: the bounds must be finite with low < high, not {given!r}")
        bounds.append((low, high))
    return bounds


def search_options(method: str, options: Mapping[str, Any] | None) -> dict[str, Any]:
    """The optimiser's options of a calibration: this package's defaults for differential evolution."""
    settings = dict(options or {})
    if METHODS.get(method) == "differential_evolution":  # search() refuses an unknown method
        # A perfect fit has a loss of 0, where SciPy's relative tolerance
        # alone never declares convergence.
        settings.setdefault("atol", 1e-6)
        settings.setdefault("maxiter", 300)
    return settings


def history_table(found: SearchResult, points: Any, columns: list[str], objective: str) -> pd.DataFrame:
    """One row per evaluation: its generation, the values of its point (by column) and the objective."""
    history = pd.DataFrame(points, columns=columns)
    history.insert(0, "generation", found.generations)
    history[objective] = found.values
    history.index.name = "evaluation"
    return history


def search_summary(found: SearchResult) -> dict[str, Any]:
    """What a calibration's result reports of its search: method, evaluations, seconds, interruption."""
    return {
        "method": found.method,
        "evaluations": found.evaluations,
        "seconds": found.seconds,
        "interrupted": found.interrupted,
        "message": found.message,
    }


def refused_summary(found: SearchResult, state: _State) -> dict[str, Any]:
    """How many candidates scored NaN, and why the first did (run again here to find out)."""
    bad = ~np.isfinite(np.asarray(found.values, dtype=np.float64))
    if not bad.any():
        return {"refused": 0, "refusal": ""}
    first = int(np.argmax(bad))
    try:
        runs = _simulate(state, found.points[first])
        nan = any(np.isnan(runs[g.element].outflow).any() for g in state.gauges)  # NaN whatever the unit factor
        reason = "the simulated flows hold NaN" if nan else ""
        reason = reason or f"{state.objective if isinstance(state.objective, str) else 'the objective'} is not finite"
    except (ArithmeticError, MemoryError, ValueError) as error:  # MODEL_FAULTS, ModelError and TimeSeriesError
        reason = " ".join(str(error).split()) or type(error).__name__
    return {"refused": int(bad.sum()), "refusal": f"evaluation {first + 1}: {reason}"}


def localized(window: tuple[Any, Any], index: pd.DatetimeIndex) -> tuple[pd.Timestamp, pd.Timestamp]:
    """A (start, end) window as timestamps, in the time zone of ``index`` where they have none of their own."""
    start, end = (
        t.tz_localize(index.tz) if index.tz is not None and t.tz is None else t for t in map(pd.Timestamp, window)
    )
    return start, end


def _windows(observed: list[pd.Series], window: tuple[Any, Any] | None) -> tuple[pd.Timestamp, pd.Timestamp]:
    spans = [_window(series, window) for series in observed]
    return min(s[0] for s in spans), max(s[1] for s in spans)


def _window(observed: pd.Series, window: tuple[Any, Any] | None) -> tuple[pd.Timestamp, pd.Timestamp]:
    index = pd.DatetimeIndex(observed.index)
    if window is None:
        return index[0], index[-1]
    start, end = localized(window, index)
    if not start < end:
        raise ValueError(f"window: the start {start} must come before the end {end}")
    if not ((index >= start) & (index <= end)).any():
        raise ValueError(f"window: no observation between {start} and {end}")
    return start, end
