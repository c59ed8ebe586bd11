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
