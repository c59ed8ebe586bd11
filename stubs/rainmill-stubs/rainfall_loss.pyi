from datetime import timedelta
from typing import SupportsFloat, SupportsIndex

from typing_extensions import disjoint_base

from .utils import IncrementalTimeSeries

__all__ = ["DeficitConstantResult", "run_deficit_and_constant"]

@disjoint_base
class DeficitConstantResult:
    """Results from the deficit-and-constant rainfall loss model."""

    @property
    def excess(self) -> IncrementalTimeSeries: ...
    @property
    def loss(self) -> IncrementalTimeSeries: ...
    @property
    def deficit(self) -> IncrementalTimeSeries: ...

def run_deficit_and_constant(
    rainfall: IncrementalTimeSeries,
    initial_deficit: SupportsFloat | SupportsIndex,
    max_deficit: SupportsFloat | SupportsIndex,
    constant_loss_per_hr: SupportsFloat | SupportsIndex,
    time_to_dry: timedelta,
) -> DeficitConstantResult: ...
