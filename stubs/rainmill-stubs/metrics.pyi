from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

__all__ = ["calculate_kge"]

def calculate_kge(
    sim: Sequence[SupportsFloat | SupportsIndex],
    obs: Sequence[SupportsFloat | SupportsIndex],
    use_log: bool = False,
) -> float: ...
