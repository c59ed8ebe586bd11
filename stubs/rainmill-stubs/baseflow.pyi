from collections.abc import Mapping
from datetime import timedelta
from typing import SupportsFloat, SupportsIndex, final

from .utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__ = ["run_linear_reservoir", "LinearReservoir"]

@final
class LinearReservoir:
    """One groundwater layer: a chain of identical linear reservoirs."""

    def __new__(
        cls,
        k_duration: timedelta,
        gw_fraction: SupportsFloat | SupportsIndex,
        initial_q: SupportsFloat | SupportsIndex,
        num_reservoir: SupportsIndex = 1,
    ) -> LinearReservoir: ...
    @property
    def gw_fraction(self) -> float: ...
    @gw_fraction.setter
    def gw_fraction(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def initial_q(self) -> float: ...
    @initial_q.setter
    def initial_q(self, value: SupportsFloat | SupportsIndex) -> None: ...
    @property
    def num_reservoir(self) -> int: ...
    @num_reservoir.setter
    def num_reservoir(self, value: SupportsIndex) -> None: ...
    @property
    def k_duration(self) -> timedelta: ...

def run_linear_reservoir(
    basin_area: SupportsFloat | SupportsIndex,
    rainfall: IncrementalTimeSeries,
    reservoirs: Mapping[str, LinearReservoir],  # a dict (or subclass) at run time
) -> tuple[ContinuousTimeSeries, dict[str, ContinuousTimeSeries]]: ...
