from datetime import timedelta
from typing import SupportsFloat, SupportsIndex

from .utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_clark_uh"]

def run_clark_uh(
    rainfall: IncrementalTimeSeries,
    basin_area: SupportsFloat | SupportsIndex,
    tc: timedelta,
    storage_r: timedelta,
) -> ContinuousTimeSeries: ...
