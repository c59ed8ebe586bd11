from collections.abc import Mapping
from typing import SupportsFloat, SupportsIndex

from typing_extensions import disjoint_base

from ..utils import ContinuousTimeSeries
from . import reservoir_utils as reservoir_utils
from .reservoir_utils import (
    ConstantDischargeInfo,
    ControlledDischargeInfo,
    ElevationStorage,
    SpecifiedDischargeInfo,
    UnControlledDischargeInfo,
)

__all__ = ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"]

@disjoint_base
class LevelPoolResult:
    """Results from a level pool routing simulation."""

    @property
    def reservoir_storage(self) -> ContinuousTimeSeries: ...
    @property
    def reservoir_elevation(self) -> ContinuousTimeSeries: ...
    @property
    def reservoir_total_outflow(self) -> ContinuousTimeSeries: ...
    @property
    def reservoir_individual_outflows(self) -> dict[str, ContinuousTimeSeries]: ...

def run_level_pool_routing(
    inflow: ContinuousTimeSeries,
    initial_elevation: SupportsFloat | SupportsIndex,
    elevation_storage: ElevationStorage,
    # A dict (or subclass) at run time; Mapping so that a dict of one outlet class is accepted.
    discharge_info: Mapping[
        str,
        UnControlledDischargeInfo | ControlledDischargeInfo | SpecifiedDischargeInfo | ConstantDischargeInfo,
    ],
) -> LevelPoolResult: ...
