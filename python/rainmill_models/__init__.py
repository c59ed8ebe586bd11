"""rainmill_models: watershed models on top of the rainmill extension.

Time-indexed data (pandas Series with a DatetimeIndex), model descriptions that load from and save
to TOML (a network of subbasins, reaches, reservoirs, junctions, sources, diversions and sinks, or
the older single chain), methods chosen from a registry, runs whose results share one time index,
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
    from .calibration import CalibrationResult, calibrate
    from .description import (
        BaseflowLayer,
        Basin,
        ConstantOutlet,
        ControlledOutlet,
        Loss,
        Model,
        ModelError,
        Options,
        Outlet,
        Reach,
        Reservoir,
        SpecifiedOutlet,
        Transform,
        UncontrolledOutlet,
        get_parameter,
        with_parameters,
    )
    from .ensemble import UncertaintyResult, run_many, uncertainty
    from .events import Event, EventsCalibration
    from .metrics import align, kge, scores
    from .network import (
        Diversion,
        Junction,
        Network,
        Pool,
        Sink,
        Source,
        Subbasin,
        compile_parameters,
    )
    from .network_run import NetworkResult, weighted_rain
    from .run import MassBalance, Result, simulate
    from .sampling import latin_hypercube, percentile_bands
    from .timeseries import (
        TimeSeriesError,
        fill_flow,
        fill_rain,
        infer_step,
        read_flow_csv,
        read_rain_csv,
        to_continuous,
        to_incremental,
        to_series,
        write_csv,
    )
    from .transform import unit_hydrograph

# Each public name by the module that defines it. They are imported on first use, so that importing
# the package (as `python -m rainmill_models` and every worker process does) costs little and a
# Ctrl-C pressed meanwhile reaches the command line's own handling.
_EXPORTS: dict[str, tuple[str, ...]] = {
    "calibration": ("CalibrationResult", "calibrate"),
    "description": (
        "BaseflowLayer",
        "Basin",
        "ConstantOutlet",
        "ControlledOutlet",
        "Loss",
        "Model",
        "ModelError",
        "Options",
        "Outlet",
        "Reach",
        "Reservoir",
        "SpecifiedOutlet",
        "Transform",
        "UncontrolledOutlet",
        "get_parameter",
        "with_parameters",
    ),
    "ensemble": ("UncertaintyResult", "run_many", "uncertainty"),
    "events": ("Event", "EventsCalibration"),
    "metrics": ("align", "kge", "scores"),
    "network": ("Diversion", "Junction", "Network", "Pool", "Sink", "Source", "Subbasin", "compile_parameters"),
    "network_run": ("NetworkResult", "weighted_rain"),
    "run": ("MassBalance", "Result", "simulate"),
    "sampling": ("latin_hypercube", "percentile_bands"),
    "timeseries": (
        "TimeSeriesError",
        "fill_flow",
        "fill_rain",
        "infer_step",
        "read_flow_csv",
        "read_rain_csv",
        "to_continuous",
        "to_incremental",
        "to_series",
        "write_csv",
    ),
    "transform": ("unit_hydrograph",),
}
_HOMES = {name: module for module, names in _EXPORTS.items() for name in names}

__all__ = [
    "BaseflowLayer",
    "Basin",
    "CalibrationResult",
    "ConstantOutlet",
    "ControlledOutlet",
    "Diversion",
    "Event",
    "EventsCalibration",
    "Junction",
    "Loss",
    "MassBalance",
    "Model",
    "ModelError",
    "Network",
    "NetworkResult",
    "Options",
    "Outlet",
    "Pool",
    "Reach",
    "Reservoir",
    "Result",
    "Sink",
    "Source",
    "SpecifiedOutlet",
    "Subbasin",
    "TimeSeriesError",
    "Transform",
    "UncertaintyResult",
    "UncontrolledOutlet",
    "align",
    "calibrate",
    "compile_parameters",
    "fill_flow",
    "fill_rain",
    "get_parameter",
    "infer_step",
    "kge",
    "latin_hypercube",
    "percentile_bands",
    "read_flow_csv",
    "read_rain_csv",
    "run_many",
    "scores",
    "simulate",
    "to_continuous",
    "to_incremental",
    "to_series",
    "uncertainty",
    "unit_hydrograph",
    "weighted_rain",
    "with_parameters",
    "write_csv",
]


def __getattr__(name: str) -> Any:
    """A public name or a submodule, imported on first use."""
    home = _HOMES.get(name)
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
