"""The models package's native computations, built from the same core as the rainmill extension."""

from collections.abc import Buffer, Sequence

class Values(Buffer):
    """A run of float64 values computed by a kernel, exported as a read-only buffer."""

    def __new__(cls, data: Sequence[float]) -> Values: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    @property
    def data(self) -> list[float]: ...
