from datetime import timedelta
from typing import SupportsFloat, SupportsIndex

from .utils import ContinuousTimeSeries

__all__ = ["run_muskingum_routing"]

def run_muskingum_routing(
    inflow: ContinuousTimeSeries,
    k: timedelta,
    x: SupportsFloat | SupportsIndex,
    sub_reaches: SupportsIndex,
    initial_outflow: SupportsFloat | SupportsIndex,
) -> ContinuousTimeSeries: ...
