"""rainmill_models: watershed models on top of the rainmill extension.

Time-indexed data (pandas Series with a DatetimeIndex), model descriptions that load from and save
to TOML (a network of subbasins, reaches, reservoirs, junctions, sources, diversions and sinks, or
an older single-chain file, which loads as a network), methods chosen from a registry, runs whose results share one time index,
water balances per element, scores, plots and a command line (`python -m rainmill_models run ...`).

    import rainmill_models as rm
    network = rm.Network.load("network.toml")
    result = network.run(rm.read_rain_csv("rain.csv"))
    print(result.summary())
    print(rm.scores(result.at("outlet"), rm.read_flow_csv("observed.csv")))
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from . import elements, errors, metrics, network, parameters, results
    from .calibration import calibrate as calibration_window
    from .calibration import ensemble, events, fit, many, runner, sampling
    from .io import forcing, readers, timeseries, writers
    from .methods import unit_hydrograph_clark

    # The public names, as type checkers see them (at run time `__getattr__` imports each on first use).
    CalibrationResult = calibration_window.CalibrationResult
    UncertaintyResult = ensemble.UncertaintyResult
    run_many = ensemble.run_many
    uncertainty = ensemble.uncertainty
    Event = events.Event
    EventsCalibration = events.EventsCalibration
    calibrate = fit.calibrate
    CalibrationJob = many.CalibrationJob
    calibrate_many = many.calibrate_many
    WorkerPool = runner.WorkerPool
    latin_hypercube = sampling.latin_hypercube
    percentile_bands = sampling.percentile_bands
    ConstantOutlet = elements.ConstantOutlet
    ControlledOutlet = elements.ControlledOutlet
    Diversion = elements.Diversion
    Junction = elements.Junction
    Outlet = elements.Outlet
    Pool = elements.Pool
    Reach = elements.Reach
    Reservoir = elements.Reservoir
    Sink = elements.Sink
    Source = elements.Source
    SpecifiedOutlet = elements.SpecifiedOutlet
    Subbasin = elements.Subbasin
    UncontrolledOutlet = elements.UncontrolledOutlet
    ModelError = errors.ModelError
    weighted_rain = forcing.weighted_rain
    read_flow_csv = readers.read_flow_csv
    read_rain_csv = readers.read_rain_csv
    TimeSeriesError = timeseries.TimeSeriesError
    fill_flow = timeseries.fill_flow
    fill_rain = timeseries.fill_rain
    infer_step = timeseries.infer_step
    to_continuous = timeseries.to_continuous
    to_incremental = timeseries.to_incremental
    to_series = timeseries.to_series
    write_csv = writers.write_csv
    unit_hydrograph = unit_hydrograph_clark.unit_hydrograph
    align = metrics.align
    kge = metrics.kge
    scores = metrics.scores
    Model = network.Model
    Network = network.Network
    Options = network.Options
    RechargeWarning = network.RechargeWarning
    compile_parameters = parameters.compile_parameters
    get_parameter = parameters.get_parameter
    with_parameters = parameters.with_parameters
    NetworkResult = results.NetworkResult

# Each public name by the module that defines it. They are imported on first use, so that importing
# the package (as `python -m rainmill_models` and every worker process does) costs little and a
# Ctrl-C pressed meanwhile reaches the command line's own handling.
_EXPORTS: dict[str, tuple[str, ...]] = {
    "calibration.calibrate": ("CalibrationResult",),
    "calibration.fit": ("calibrate",),
    "calibration.ensemble": ("UncertaintyResult", "run_many", "uncertainty"),
    "calibration.events": ("Event", "EventsCalibration"),
    "calibration.many": ("CalibrationJob", "calibrate_many"),
    "calibration.runner": ("WorkerPool",),
    "calibration.sampling": ("latin_hypercube", "percentile_bands"),
    "elements": (
        "ConstantOutlet",
        "ControlledOutlet",
        "Diversion",
        "Junction",
        "Outlet",
        "Pool",
        "Reach",
        "Reservoir",
        "Sink",
        "Source",
        "SpecifiedOutlet",
        "Subbasin",
        "UncontrolledOutlet",
    ),
    "errors": ("ModelError",),
    "io.forcing": ("weighted_rain",),
    "io.readers": ("read_flow_csv", "read_rain_csv"),
    "io.timeseries": (
        "TimeSeriesError",
        "fill_flow",
        "fill_rain",
        "infer_step",
        "to_continuous",
        "to_incremental",
        "to_series",
    ),
    "io.writers": ("write_csv",),
    "methods.unit_hydrograph_clark": ("unit_hydrograph",),
    "metrics": ("align", "kge", "scores"),
    "network": ("Model", "Network", "Options", "RechargeWarning"),
    "parameters": ("compile_parameters", "get_parameter", "with_parameters"),
    "results": ("NetworkResult",),
}
_HOMES = {name: module for module, names in _EXPORTS.items() for name in names}
# The names of the retired single-chain model: what replaced each, said when one is asked for.
_RETIRED = {
    "Basin": "rm.Subbasin",
    "Loss": "a loss method table (loss = {method = ..., ...}) of rm.Subbasin",
    "Transform": "a transform method table of rm.Subbasin",
    "BaseflowLayer": "a layer of the linear-reservoirs baseflow method of rm.Subbasin",
    "Result": "rm.NetworkResult",
    "MassBalance": "NetworkResult.balances",
    "simulate": "Network.run (or rainmill_models.simulation.simulate_network)",
}

__all__ = sorted(_HOMES)


def __getattr__(name: str) -> Any:
    """A public name or a submodule, imported on first use."""
    home = _HOMES.get(name)
    if name in _RETIRED:
        raise AttributeError(f"rainmill_models.{name} is retired with the single-chain model; use {_RETIRED[name]}")
    if home is not None:
        value = getattr(importlib.import_module(f".{home}", __name__), name)
    else:
        try:
            value = importlib.import_module(f".{name}", __name__)
        except ModuleNotFoundError as error:
            if error.name != f"{__name__}.{name}":
                raise
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
