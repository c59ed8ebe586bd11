from .utils import _FloatVector

__all__ = ["calculate_kge"]

def calculate_kge(
    sim: _FloatVector,
    obs: _FloatVector,
    use_log: bool = False,
) -> float: ...
