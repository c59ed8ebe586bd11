"""Float vectors read from array buffers, and the series' values exported as buffers.

Arrays, array.array objects and memoryviews are read from their memory; every such read must
give exactly what the generic path (iterating and calling float() on each item) gives, errors
included. The generic path is forced by wrapping the object in a plain Python sequence.
"""

import array
import ctypes
import datetime
import gc
import math
import struct
import warnings

import numpy as np
import pytest
import rainmill

HOUR = datetime.timedelta(hours=1)
CTS = rainmill.utils.ContinuousTimeSeries
ITS = rainmill.utils.IncrementalTimeSeries


class Generic:
    """The same items, only through the sequence protocol."""

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __len__(self):
        return len(self.wrapped)

    def __getitem__(self, index):
        return self.wrapped[index]

    def __iter__(self):
        return iter(self.wrapped)


def bits(values):
    return [struct.pack("<d", v) for v in values]


def outcome(data):
    """Bit patterns of the converted values, or the error's type and message."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return "ok", bits(CTS(data, HOUR, "discharge").data)
        except Exception as error:
            return type(error), str(error)


rng = np.random.default_rng(20261208)

EDGE_VALUES = {
    "f8": [0.0, -0.0, 0.1, -2.5, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308],
    "f4": [0.0, -0.0, 0.1, -2.5, math.inf, -math.inf, math.nan, 1e-45, 3.4028234663852886e38],
    "f2": [0.0, -0.0, 0.1, -2.5, math.inf, -math.inf, math.nan, 6e-8, 65504.0, 1e-5],
}


def sample(dtype, n=64):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        edges = np.array(EDGE_VALUES[dtype.str[1:]], dtype=dtype)
        # A negative NaN with a payload: its bits must come out as the item's float() gives them.
        payload = {2: 0xFE01, 4: 0xFFC00123, 8: 0xFFF8000000000123}[dtype.itemsize]
        nan = np.array([payload], dtype=f"u{dtype.itemsize}").view(dtype)
        return np.concatenate([edges, nan, (rng.standard_normal(n) * 1e3).astype(dtype)])
    if dtype.kind == "b":
        return rng.integers(0, 2, n).astype(bool)
    info = np.iinfo(dtype)
    edges = [info.min, info.max, 0, 1, info.max - 1]
    if dtype.itemsize == 8:
        # Neighbours of 2**53 and of the top, where the rounding to a double shows.
        edges += [2**53 + 1, 2**53 + 3, 2**62 + 2**10 + 1, info.max - 2**10, info.max - 2**9 + 1]
        if dtype.kind == "i":
            edges += [-(2**53) - 1, info.min + 1]
    random = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
    return np.concatenate([np.array(edges, dtype=dtype), random])


DTYPES = ["f8", "f4", "f2", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?"]


def layouts(base):
    """The same data in every layout an exporter may hand out."""
    yield "contiguous", base
    yield "strided", base[::3]
    yield "reversed", base[::-1]
    raw = np.zeros(base.nbytes + 1, dtype=np.uint8)
    unaligned = raw[1:].view(base.dtype)
    unaligned[:] = base
    yield "unaligned", unaligned
    yield "byte-swapped", base.astype(base.dtype.newbyteorder())
    yield "memoryview", memoryview(base)
    yield "strided memoryview", memoryview(base)[::2]
    yield "reversed memoryview", memoryview(base)[::-1]


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_array_layout_reads_as_the_generic_path(dtype):
    base = sample(dtype)
    for name, data in layouts(base):
        expected = outcome(Generic(data))
        assert outcome(data) == expected, name
        if expected[0] == "ok":
            # Each value must be exactly what float(item) gives for its item.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                assert expected[1] == bits([float(item) for item in data]), name


@pytest.mark.parametrize(
    "values, dtype",
    [
        ([2**63 - 1, -(2**63), 2**53 + 1, 2**53 + 3, 2**62 + 2**10 + 1, -(2**53) - 1], np.int64),
        ([2**64 - 1, 2**63 + 1, 2**64 - 2**11 + 1, 2**64 - 2**10, 2**53 + 1], np.uint64),
    ],
)
def test_huge_integers_round_as_python_ints_do(values, dtype):
    expected = [float(v) for v in values]  # exactly rounded, ties to even
    assert CTS(np.array(values, dtype=dtype), HOUR, "discharge").data == expected
    assert CTS(array.array("q" if dtype is np.int64 else "Q", values), HOUR, "discharge").data == expected


@pytest.mark.parametrize("code", list("bBhHiIlLqQfd"))
def test_array_module_arrays_read_as_their_items(code):
    values = [1, 0, 7, 100] if code not in "fd" else [0.1, -0.0, math.inf, 1e30]
    data = array.array(code, values)
    assert outcome(data) == outcome(list(data)) == outcome(tuple(data)) == outcome(Generic(data))


@pytest.mark.parametrize(
    "fmt", ["d", "f", "e", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "?", "c", "n", "N", "P"]
)
def test_memoryviews_of_every_format_read_as_their_items(fmt):
    raw = bytes(rng.integers(0, 256, 64, dtype=np.uint8))
    if fmt == "?":
        raw = bytes(b % 2 for b in raw)
    view = memoryview(raw).cast(fmt)
    assert outcome(view) == outcome(Generic(view))
    for sliced in (view[::2], view[::-1], view[1:1]):
        assert outcome(sliced) == outcome(Generic(sliced))


def test_lists_tuples_and_arrays_agree():
    values = rng.standard_normal(1000)
    expected = outcome(values.tolist())
    for data in (tuple(values.tolist()), array.array("d", values), values, memoryview(values), Generic(values)):
        assert outcome(data) == expected


@pytest.mark.parametrize(
    "data",
    [
        np.zeros((2, 3)),
        np.array(2.5),  # zero-dimensional
        np.array([1.0, "x", 2.0], dtype=object),
        np.array([1, 2.5, 2**80], dtype=object),
        np.array([1 + 2j, 3.0]),
        np.array(["1.0", "2"]),
        np.array([b"a"]),
        np.zeros(3, dtype=[("a", "f8"), ("b", "i4")]),
        np.array([np.datetime64("2020-01-01")]),
        np.array([1.0], dtype=np.longdouble),
        memoryview(np.zeros((2, 2))),
        memoryview(b"ab").cast("B", shape=[1, 2]),
        memoryview(struct.pack("d", 1.0)).cast("d", shape=[]),
    ],
    ids=lambda data: f"{type(data).__name__}-{getattr(data, 'dtype', getattr(data, 'format', ''))}",
)
def test_what_the_buffer_cannot_describe_keeps_the_generic_outcome(data):
    assert outcome(data) == outcome(Generic(data))


def test_a_released_memoryview_fails_as_before():
    view = memoryview(array.array("d", [1.0]))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        CTS(view, HOUR, "discharge")


class DoublingArray(np.ndarray):
    def __iter__(self):
        return (2 * item for item in np.asarray(self))


class DoublingArrayModuleArray(array.array):
    def __iter__(self):
        return (2 * item for item in array.array.__iter__(self))


class Impostor:
    """Claims NumPy's module and name and exports a buffer unlike its items."""

    __module__ = "numpy"

    def __init__(self):
        self.hidden = array.array("d", [99.0, 99.0])

    def __buffer__(self, flags):
        return memoryview(self.hidden)

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return float(index)


Impostor.__name__ = Impostor.__qualname__ = "ndarray"


def test_subclasses_and_impostors_take_the_generic_path():
    doubled = np.arange(4.0).view(DoublingArray)
    assert CTS(doubled, HOUR, "discharge").data == [0.0, 2.0, 4.0, 6.0]
    assert CTS(DoublingArrayModuleArray("d", [1.0, 3.0]), HOUR, "discharge").data == [2.0, 6.0]
    impostor = Impostor()
    assert memoryview(impostor).tolist() == [99.0, 99.0]
    assert CTS(impostor, HOUR, "discharge").data == [0.0, 1.0]


def test_an_item_error_from_an_array_is_reported_as_for_a_list():
    data = np.array([1.0, "2.5x"], dtype=object)
    assert outcome(data) == outcome(list(data))
    assert outcome(data)[1].startswith("argument 'data': ")


# ---- the series as buffers ----------------------------------------------------


@pytest.mark.parametrize("cls, kind", [(CTS, "discharge"), (ITS, "rainfall")])
def test_series_export_a_read_only_view_of_their_values(cls, kind):
    values = [0.5, -0.0, math.inf, 1e-300]
    series = cls(values, HOUR, kind)
    view = memoryview(series)
    assert (view.format, view.itemsize, view.ndim, view.shape, view.strides) == ("d", 8, 1, (4,), (8,))
    assert view.readonly and view.c_contiguous
    assert bits(view.tolist()) == bits(values)
    with pytest.raises(TypeError, match="read-only"):
        view[0] = 1.0
    assert bits(np.asarray(series).tolist()) == bits(values)
    assert not np.asarray(series).flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        np.asarray(series)[0] = 1.0
    # Asking for a writable buffer is refused outright.
    with pytest.raises(TypeError, match="not writable"):
        (ctypes.c_double * 4).from_buffer(series)
    assert series.data == values


def test_views_share_the_series_memory():
    series = CTS(rng.standard_normal(1000), HOUR, "discharge")
    first, second = np.asarray(series), np.asarray(series)
    assert np.shares_memory(first, second)
    assert first.base is not None


def test_a_view_keeps_its_series_alive():
    series = CTS([1.0, 2.0, 3.0], HOUR, "discharge")
    view = memoryview(series)
    array_view = np.asarray(CTS([4.0, 5.0], HOUR, "discharge"))
    del series
    gc.collect()
    # Churn the allocator so that freed memory would be overwritten.
    junk = [CTS([9.0] * 3, HOUR, "discharge") for _ in range(100)]
    assert view.tolist() == [1.0, 2.0, 3.0]
    assert type(view.obj) is CTS
    assert array_view.tolist() == [4.0, 5.0]
    del junk


def test_empty_series_and_subclasses_export_views():
    assert memoryview(CTS([], HOUR, "discharge")).tolist() == []
    assert np.asarray(ITS([], HOUR, "rainfall")).shape == (0,)

    class Sub(CTS):
        pass

    assert np.asarray(Sub([1.0], HOUR, "discharge")).tolist() == [1.0]
    assert memoryview(ITS([1.0, 2.0], HOUR, "rainfall").disaggregate(1800)).tolist() == [0.5, 0.5, 1.0, 1.0]


def test_a_series_view_converts_back_at_memory_speed_with_the_same_values():
    series = CTS(rng.standard_normal(100), HOUR, "discharge")
    assert CTS(memoryview(series), HOUR, "discharge").data == series.data
    assert CTS(np.asarray(series), HOUR, "discharge").data == series.data
    # A series itself is not a sequence: it is still refused where one is expected.
    with pytest.raises(TypeError, match="not an instance of 'Sequence'"):
        CTS(series, HOUR, "discharge")


def test_booleans_stored_as_other_nonzero_bytes_read_as_their_items():
    raw = bytes([0, 1, 2, 255, 0, 128])
    for data in (np.frombuffer(raw, dtype=bool), memoryview(raw).cast("?")):
        assert outcome(data) == outcome(Generic(data))
        assert CTS(data, HOUR, "volume").data == [0.0, 1.0, 1.0, 1.0, 0.0, 1.0]


def test_a_pandas_series_is_read_by_position_item_by_item():
    pd = pytest.importorskip("pandas")
    series = pd.Series([1.5, 2.5, 3.5], index=[30, 10, 20])
    assert CTS(series, HOUR, "discharge").data == [1.5, 2.5, 3.5]
    assert outcome(series) == outcome(series.to_numpy()) == outcome(Generic(series))
