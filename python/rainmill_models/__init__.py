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
    from .calibration.calibrate import (
        CalibrationResult as CalibrationResult,
    )
    from .calibration.ensemble import (
        UncertaintyResult as UncertaintyResult,
    )
    from .calibration.ensemble import (
        run_many as run_many,
    )
    from .calibration.ensemble import (
        uncertainty as uncertainty,
    )
    from .calibration.events import (
        Event as Event,
    )
    from .calibration.events import (
        EventsCalibration as EventsCalibration,
    )
    from .calibration.fit import (
        calibrate as calibrate,
    )
    from .calibration.many import (
        CalibrationJob as CalibrationJob,
    )
    from .calibration.many import (
        calibrate_many as calibrate_many,
    )
    from .calibration.runner import (
        WorkerPool as WorkerPool,
    )
    from .calibration.sampling import (
        latin_hypercube as latin_hypercube,
    )
    from .calibration.sampling import (
        percentile_bands as percentile_bands,
    )
    from .elements import (
        ConstantOutlet as ConstantOutlet,
    )
    from .elements import (
        ControlledOutlet as ControlledOutlet,
    )
    from .elements import (
        Diversion as Diversion,
    )
    from .elements import (
        Junction as Junction,
    )
    from .elements import (
        Outlet as Outlet,
    )
    from .elements import (
        Pool as Pool,
    )
    from .elements import (
        Reach as Reach,
    )
    from .elements import (
        Reservoir as Reservoir,
    )
    from .elements import (
        Sink as Sink,
    )
    from .elements import (
        Source as Source,
    )
    from .elements import (
        SpecifiedOutlet as SpecifiedOutlet,
    )
    from .elements import (
        Subbasin as Subbasin,
    )
    from .elements import (
        UncontrolledOutlet as UncontrolledOutlet,
    )
    from .errors import (
        ModelError as ModelError,
    )
    from .io.forcing import (
        weighted_rain as weighted_rain,
    )
    from .io.readers import (
        read_flow_csv as read_flow_csv,
    )
    from .io.readers import (
        read_rain_csv as read_rain_csv,
    )
    from .io.timeseries import (
        TimeSeriesError as TimeSeriesError,
    )
    from .io.timeseries import (
        fill_flow as fill_flow,
    )
    from .io.timeseries import (
        fill_rain as fill_rain,
    )
    from .io.timeseries import (
        infer_step as infer_step,
    )
    from .io.timeseries import (
        to_continuous as to_continuous,
    )
    from .io.timeseries import (
        to_incremental as to_incremental,
    )
    from .io.timeseries import (
        to_series as to_series,
    )
    from .io.writers import (
        write_csv as write_csv,
    )
    from .methods.unit_hydrograph_clark import (
        unit_hydrograph as unit_hydrograph,
    )
    from .metrics import (
        align as align,
    )
    from .metrics import (
        kge as kge,
    )
    from .metrics import (
        scores as scores,
    )
    from .network import (
        Model as Model,
    )
    from .network import (
        Network as Network,
    )
    from .network import (
        Options as Options,
    )
    from .network import (
        RechargeWarning as RechargeWarning,
    )
    from .parameters import (
        compile_parameters as compile_parameters,
    )
    from .parameters import (
        get_parameter as get_parameter,
    )
    from .parameters import (
        with_parameters as with_parameters,
    )
    from .results import (
        NetworkResult as NetworkResult,
    )

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
