from typing import SupportsFloat, SupportsIndex, TypeAlias

from typing_extensions import disjoint_base

from ..utils import ContinuousTimeSeries, _FloatVector

__all__ = [
    "ElevationDischarge",
    "ElevationStorage",
    "ControlledDischargeInfo",
    "UnControlledDischargeInfo",
    "SpecifiedDischargeInfo",
    "ConstantDischargeInfo",
]

_Float: TypeAlias = SupportsFloat | SupportsIndex

@disjoint_base
class ElevationDischarge:
    """Elevation-discharge rating curve for a reservoir outlet."""

    def __new__(cls, elevation: _FloatVector, discharge: _FloatVector) -> ElevationDischarge: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def discharge(self) -> list[float]: ...

@disjoint_base
class ElevationStorage:
    """Elevation-storage rating curve for a reservoir."""

    def __new__(cls, elevation: _FloatVector, storage: _FloatVector) -> ElevationStorage: ...
    @property
    def elevation(self) -> list[float]: ...
    @property
    def storage(self) -> list[float]: ...
    def get_elevation(self, storage: _Float) -> float: ...
    def get_storage(self, elevation: _Float) -> float: ...

@disjoint_base
class ControlledDischargeInfo:
    """Controlled release outlet (gate, valve, conduit)."""

    def __new__(
        cls,
        elevation_discharge: ElevationDischarge,
        minimum_elevation: _Float | None = None,
        maximum_elevation: _Float | None = None,
        maximum_release: _Float | None = None,
    ) -> ControlledDischargeInfo: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
    @property
    def maximum_release(self) -> float | None: ...

@disjoint_base
class UnControlledDischargeInfo:
    """Uncontrolled spillway outlet."""

    def __new__(
        cls, elevation_discharge: ElevationDischarge, elevation_offset: _Float | None = None
    ) -> UnControlledDischargeInfo: ...
    @property
    def elevation_discharge(self) -> ElevationDischarge: ...
    @property
    def elevation_offset(self) -> float | None: ...

@disjoint_base
class SpecifiedDischargeInfo:
    """Time-varying specified discharge outlet."""

    def __new__(
        cls,
        discharge: ContinuousTimeSeries,
        minimum_elevation: _Float | None = None,
        maximum_elevation: _Float | None = None,
        maximum_release: _Float | None = None,
    ) -> SpecifiedDischargeInfo: ...
    @property
    def discharge(self) -> ContinuousTimeSeries: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
    @property
    def maximum_release(self) -> float | None: ...

@disjoint_base
class ConstantDischargeInfo:
    """Constant-rate discharge outlet."""

    def __new__(
        cls,
        discharge: _Float,
        minimum_elevation: _Float | None = None,
        maximum_elevation: _Float | None = None,
    ) -> ConstantDischargeInfo: ...
    @property
    def discharge(self) -> float: ...
    @property
    def minimum_elevation(self) -> float | None: ...
    @property
    def maximum_elevation(self) -> float | None: ...
