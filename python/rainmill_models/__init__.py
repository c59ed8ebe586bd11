"""rainmill_models: event models on top of the rainmill extension.

Time-indexed data (pandas Series with a DatetimeIndex), a model description that loads from and
saves to TOML, a volume-conserving Clark transform, runs whose results share one time index,
mass balances, scores, plots and a command line (`python -m rainmill_models run ...`).

    import rainmill_models as rm
    model = rm.Model.load("model.toml")
    result = model.run(rm.read_rain_csv("rain.csv"))
    print(result.summary(rm.scores(result.outflow, rm.read_flow_csv("observed.csv"))))
"""

from .calibrate import CalibrationResult, calibrate
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
from .metrics import align, kge, scores
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
    "Loss",
    "MassBalance",
    "Model",
    "ModelError",
    "Options",
    "Outlet",
    "Reach",
    "Reservoir",
    "Result",
    "SpecifiedOutlet",
    "TimeSeriesError",
    "Transform",
    "UncertaintyResult",
    "UncontrolledOutlet",
    "align",
    "calibrate",
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
    "with_parameters",
    "write_csv",
]
