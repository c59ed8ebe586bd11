"""Every public callable, constructor, method, getter and setter, called with hostile arguments.

A call may return or raise, but only the exceptions the module documents (README, Errors), an
exception that a hostile argument raised itself (propagated unchanged, or wrapped as a TypeError),
an error the argument's own iteration raises in plain Python too, or a warning turned into an
error by the caller's filter. Anything else is a failure, and so is a call that succeeds although
an argument raised an interrupt, or that accepts two layers or outlets of the same name.

    python tests/fuzz_calls.py --cases 20000 [--seed N]   prints "fuzz: N cases, F failures"

Known faults are named (FAULTS) so that the summary tells them apart from new ones.
"""

import argparse
import array
import datetime
import json
import math
import os
import random
import sys
import warnings
from dataclasses import dataclass, field
from fractions import Fraction

import rainmill

import kernels_preload

kn = kernels_preload.load()

try:
    import numpy as np
except ImportError:  # the arrays are one pool among many
    np = None

td = datetime.timedelta
u = rainmill.utils
ru = rainmill.reservoir.reservoir_utils
rb = rainmill.baseflow
DOCUMENTED = (ValueError, TypeError, OverflowError, RuntimeError, MemoryError)

# Faults known at the time of writing, by the name a failure is filed under.
FAULTS = {
    "nul": "messages cut at NUL",
    "surrogate": "a keyword name with a lone surrogate raises UnicodeEncodeError",
    "swallowed": "an interrupt raised by __len__ is swallowed",
    "duplicate": "two layers or outlets with the same name are both counted",
}


# --- hostile objects ---------------------------------------------------------------------------

RAISED = []  # every exception a hostile object raised during the current call


def hostile_raise(kind, where):
    error = kind(f"hostile {where}")
    RAISED.append((where, error))
    raise error


class Number:
    """A number whose __float__ / __index__ raise, lie or return the wrong type."""

    def __init__(self, float_=None, index=None):
        self.float_, self.index = float_, index

    def __float__(self):
        if isinstance(self.float_, type):
            hostile_raise(self.float_, "__float__")
        return self.float_

    def __index__(self):
        if isinstance(self.index, type):
            hostile_raise(self.index, "__index__")
        return self.index

    def __repr__(self):
        return f"Number({self.float_!r}, {self.index!r})"


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, type):
            hostile_raise(self.value, "__float__")
        return self.value

    def __repr__(self):
        return f"FloatOnly({self.value!r})"


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, type):
            hostile_raise(self.value, "__index__")
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value!r})"


class FloatSub(float):
    pass


class Sequence:
    """A sequence whose __len__, __iter__ and items misbehave as configured."""

    def __init__(self, items, length=None, len_raises=None, iter_raises_at=None, iter_error=ValueError):
        self.items, self.length, self.len_raises = list(items), length, len_raises
        self.iter_raises_at, self.iter_error = iter_raises_at, iter_error

    def __len__(self):
        if self.len_raises is not None:
            hostile_raise(self.len_raises, "__len__")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.iter_raises_at:
                hostile_raise(self.iter_error, "__iter__")
            yield item

    def __repr__(self):
        return (
            f"Sequence({self.items!r}, length={self.length!r}, len_raises={self.len_raises!r}, "
            f"iter_raises_at={self.iter_raises_at!r})"
        )


class Mutator:
    """An item whose conversion changes the list being read."""

    def __init__(self, target, how):
        self.target, self.how = target, how

    def __float__(self):
        if self.how == "clear":
            self.target.clear()
        elif self.how == "grow":
            self.target.extend([1.0] * 64)
        elif self.how == "replace":
            self.target[:] = [Mutator(self.target, "clear")] * 3
        return 1.5

    def __repr__(self):
        return f"Mutator({self.how})"


def mutating_list(how):
    target = [0.5, 1.0]
    target.insert(1, Mutator(target, how))
    target.append(2.0)
    return target


class FakeNumpyBool:
    """Passes for a NumPy boolean (module numpy, name bool_), with a __bool__ that misbehaves."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, type):
            hostile_raise(self.value, "__bool__")
        return self.value

    def __repr__(self):
        return f"FakeNumpyBool({self.value!r})"


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class Twin(str):
    """Equal only to itself: two Twins with the same text are two dictionary keys."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other

    def __ne__(self, other):
        return self is not other


class Generic:
    """Delegates the sequence protocol to an array: forces the generic conversion path."""

    def __init__(self, inner):
        self.inner = inner

    def __len__(self):
        return len(self.inner)

    def __getitem__(self, i):
        return self.inner[i]

    def __iter__(self):
        return iter(self.inner)


class SeriesSub(u.ContinuousTimeSeries):
    pass


class IncrementalSub(u.IncrementalTimeSeries):
    pass


class DeltaSub(td):
    pass


class KindSub(str):
    pass


INTERRUPTS = (KeyboardInterrupt, SystemExit, MemoryError)

# --- value pools, one per parameter type (factories: every call gets fresh objects) -------------


def const(*values):
    return [lambda v=v: v for v in values]


HOSTILE_NUMBERS = const(
    math.nan,
    math.inf,
    -math.inf,
    1e308,
    -0.0,
    10**400,
    -(10**400),
    2**63,
    True,
    "1.0",
    None,
    [],
    1 + 2j,
    Fraction(1, 3),
    Number(ValueError, 1),
    Number(KeyboardInterrupt, 1),
    IndexOnly(7),
    IndexOnly(10**400),
    Number("x", 1),
    Number(FloatSub(2.0), 2),
    FloatOnly(ZeroDivisionError),
    FloatOnly(SystemExit),
    IndexOnly(2**70),
    IndexOnly(MemoryError),
    IndexOnly(-1),
    object(),
    b"1",
)
FLOATS = const(0.0, 1.5, -2.0, 105.0, 1e5, 3, FloatOnly(2.5), IndexOnly(4))
HOSTILE_INTS = const(
    0,
    -1,
    2**31,
    -(2**31) - 1,
    2**63,
    -(2**63) - 1,
    2**64,
    10**30,
    1.0,
    True,
    "3",
    None,
    IndexOnly(2**40),
    IndexOnly(ValueError),
    IndexOnly(KeyboardInterrupt),
    IndexOnly(-(2**70)),
    IndexOnly("x"),
    Number(2.0, 2**70),
)
INTS = const(1, 2, 3, 30, 60, 900, 3600, IndexOnly(5))
# counts that set the amount of work: never a valid huge value, which would run for hours
WORK_INTS = const(
    1, 2, 3, 0, -1, -5, 2**64, -(2**63) - 1, 10**30, IndexOnly(2), IndexOnly(KeyboardInterrupt), 1.0, None
)
DURATIONS = const(td(hours=1), td(minutes=15), td(seconds=1), td(0), td(days=2), DeltaSub(hours=3))
HOSTILE_DURATIONS = const(
    td(seconds=-1),
    td(microseconds=1),
    td.max,
    td.min,
    3600,
    3600.0,
    None,
    "1h",
    DeltaSub(seconds=-5),
)
KINDS = const("discharge", "rainfall", "elevation", "volume", KindSub("volume"))
HOSTILE_KINDS = const("flow", "", "disc\x00harge", "\ud800", "x" * 10_000, 5, None, b"discharge", KindSub("disc\x00x"))
BOOLS = const(True, False)
HOSTILE_BOOLS = const(
    0,
    1,
    None,
    "True",
    FakeNumpyBool(True),
    FakeNumpyBool(ValueError),
    FakeNumpyBool(KeyboardInterrupt),
    FakeNumpyBool(3),
)
if np is not None:
    BOOLS += const(np.bool_(True))
    HOSTILE_NUMBERS += const(
        np.float32(1.5),
        np.int64(-3),
        np.uint64(2**64 - 1),
        np.bool_(True),
        np.float16(np.inf),
        np.array([1.0]),
        np.array(2.0),
        np.longdouble(1) / 3,
        np.timedelta64(5, "s"),
    )
    HOSTILE_INTS += const(np.int64(7), np.uint64(2**63), np.int8(-1), np.float64(3.0), np.bool_(False))


def arrays():
    """NumPy arrays of every dtype and layout, array.array and memoryviews of several formats."""
    made = [
        array.array("d", [1.0, 2.5, -3.0]),
        array.array("i", [1, -2, 3]),
        array.array("B", [0, 255]),
        array.array("f", [0.1, math.inf]),
        array.array("q", [2**62, -(2**63)]),
        array.array("Q", [2**64 - 1]),
        memoryview(array.array("d", [4.0, 5.0])),
        memoryview(b"\x00\x01\x02"),
        memoryview(array.array("h", [7, -7]))[::-1],
        memoryview(array.array("d", range(6))).cast("B").cast("d", (2, 3)),
        memoryview(b""),
    ]
    if np is None:
        return made
    base = np.array([0.0, 1.5, -2.25, 1e300, math.nan, math.inf, 3.0, 2**53 + 1.0])
    for dtype in (
        "f8",
        "f4",
        "f2",
        "i1",
        "i2",
        "i4",
        "i8",
        "u1",
        "u2",
        "u4",
        "u8",
        "?",
        ">f8",
        "<i4",
        ">u8",
        "c16",
        "O",
        "U3",
        "M8[s]",
        "m8[s]",
        "V8",
    ):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                a = base.astype(dtype)
        except TypeError, ValueError, OverflowError:
            a = np.zeros(4, dtype=dtype)
        made += [a, a[::-1], a[::3], a[:0]]
    made += [
        np.array([2**63, 2**64 - 1, 2**64 - 1025], dtype="u8"),
        np.array([2**62 + 1, -(2**63)], dtype="i8"),
        np.arange(12.0).reshape(3, 4),
        np.arange(12.0).reshape(3, 4)[:, 1],
        np.asfortranarray(np.ones((2, 2))),
        np.array(5.0),
        np.ones((3, 1)),
        np.ones(3, dtype=[("a", "f8")]),
        np.ma.masked_array([1.0, 2.0], [0, 1]),
        np.array([1.0, None, "x"], dtype=object),
        np.array([np.float32(1), 2**70], dtype=object),
    ]
    readonly = np.arange(4.0)
    readonly.flags.writeable = False
    made.append(readonly)
    return made


ARRAY_SAMPLES = arrays()
VECTORS = const([], [1.0], [0.0, 5.0, 2.0, 7.5], (1, 2, 3), range(5), [100.0, 105.0, 110.0, 120.0]) + [
    lambda a=a: a for a in ARRAY_SAMPLES
]
HOSTILE_VECTORS = const(
    "abc",
    b"\x00\x01",
    {1: 2},
    {1.0},
    None,
    3.0,
    [1.0, None],
    [[1.0]],
    [1.0, "x"],
    [math.nan, -math.inf],
    [1.0, Number(KeyboardInterrupt, 1)],
    [Number(ValueError, 1)],
    [FloatOnly(SystemExit)],
) + [
    lambda: (x for x in [1.0]),
    lambda: iter([1.0, 2.0]),
    lambda: Sequence([1.0, 2.0], len_raises=ValueError),
    lambda: Sequence([1.0, 2.0], len_raises=KeyboardInterrupt),
    lambda: Sequence([1.0, 2.0], len_raises=SystemExit),
    lambda: Sequence([1.0, 2.0], len_raises=MemoryError),
    lambda: Sequence([1.0], length=0),
    lambda: Sequence([1.0], length=-1),
    lambda: Sequence([1.0, 2.0, 3.0], length=2**70),
    lambda: Sequence([1.0, 2.0, 3.0], iter_raises_at=1),
    lambda: Sequence([1.0, 2.0], iter_raises_at=0, iter_error=KeyboardInterrupt),
    lambda: mutating_list("clear"),
    lambda: mutating_list("grow"),
    lambda: mutating_list("replace"),
]

if os.environ.get("RAINMILL_SANITIZED") != "1":
    # the sanitizer's allocator aborts on a request this large instead of failing it
    HOSTILE_VECTORS.append(lambda: Sequence([1.0, 2.0, 3.0], length=2**40))


def series_pool(cls):
    return [
        lambda cls=cls: cls([0.0, 10.0, 20.0, 5.0], td(minutes=10), "discharge"),
        lambda cls=cls: cls([1.0, 0.0, 0.5], td(hours=1), "rainfall"),
        lambda cls=cls: cls([], td(seconds=60), "volume"),
        lambda cls=cls: cls([math.nan, 1.0, math.inf], td(seconds=30), "elevation"),
        lambda cls=cls: cls([100.0] * 40, td(minutes=1), "discharge"),
    ]


CONTINUOUS = series_pool(u.ContinuousTimeSeries) + series_pool(SeriesSub)[:1]
INCREMENTAL = series_pool(u.IncrementalTimeSeries) + series_pool(IncrementalSub)[:1]
RATING = ru.ElevationDischarge([100.0, 110.0, 125.0], [0.0, 50.0, 300.0])
CURVES = const(
    ru.ElevationStorage([100.0, 110.0, 120.0], [0.0, 1.0e4, 5.0e4]),
    ru.ElevationStorage([], []),
    ru.ElevationStorage([100.0], [5.0]),
    ru.ElevationStorage([100.0, 164.0], [0.0, 64.0]),
)
RATINGS = const(RATING, ru.ElevationDischarge([90.0, 95.0, 130.0], [0.0, 0.0, 10.0]))
OUTLETS = [
    lambda: ru.ConstantDischargeInfo(1.0, 100.0),
    lambda: ru.ControlledDischargeInfo(RATING, 101.0, 118.0, 35.0),
    lambda: ru.UnControlledDischargeInfo(RATING, 0.5),
    lambda: ru.SpecifiedDischargeInfo(u.ContinuousTimeSeries([1.0, 2.0, 3.0], td(hours=2), "discharge")),
    lambda: ru.SpecifiedDischargeInfo(u.ContinuousTimeSeries([1.0, 2.0], td(seconds=60), "discharge"), None, 110.0),
]
LAYERS = [
    lambda: rb.LinearReservoir(td(hours=4), 0.3, 1.0, 2),
    lambda: rb.LinearReservoir(td(hours=1), 0.6, 0.0),
    lambda: rb.LinearReservoir(td(minutes=20), 0.5, 2.0, 3),
]
HOSTILE_LAYERS = [lambda: rb.LinearReservoir(td(hours=2), 0.2, 0.0, 2**40)]


def name_map(values, names=("a", "b", "gate")):
    """Dictionaries of named values, with hostile keys and values among them."""

    def build(rng):
        kind = rng.randrange(10)
        if kind == 0:  # two keys with the same text
            return {Twin("twin"): rng.choice(values)(), Twin("twin"): rng.choice(values)()}
        if kind == 1:
            return {rng.choice(["\x00", "a\x00b", "\ud800", 1, None, b"a"]): rng.choice(values)()}
        if kind == 2:
            return {"a": rng.choice([1, None, "x", rb.LinearReservoir(td(hours=1), 0.1, 0.0), RATING])}
        return {rng.choice(names) + str(i): rng.choice(values)() for i in range(rng.randrange(4))}

    build.needs_rng = True
    return build


# --- the catalogue -------------------------------------------------------------------------------


@dataclass
class Param:
    name: str
    valid: list  # factories
    hostile: list = field(default_factory=list)
    required: bool = True


def p_float(name, required=True):
    return Param(name, FLOATS, HOSTILE_NUMBERS, required)


def p_vector(name):
    return Param(name, VECTORS, HOSTILE_VECTORS)


def p_duration(name):
    return Param(name, DURATIONS, HOSTILE_DURATIONS)


def p_instance(name, valid, others=()):
    return Param(name, valid, const(None, 1.0, [1.0], "x") + list(others))


def p_map(name, values):
    return Param(name, [name_map(values)], const(None, [], [("a", 1)], "a"))


SERIES_PARAMS = [p_vector("data"), p_duration("time_step"), Param("kind", KINDS, HOSTILE_KINDS)]
CALLABLES = {
    "ContinuousTimeSeries": (u.ContinuousTimeSeries, SERIES_PARAMS),
    "IncrementalTimeSeries": (u.IncrementalTimeSeries, SERIES_PARAMS),
    "run_muskingum_routing": (
        rainmill.reach.run_muskingum_routing,
        [
            p_instance("inflow", CONTINUOUS, INCREMENTAL[:1]),
            p_duration("k"),
            p_float("x"),
            Param("sub_reaches", WORK_INTS[:3], WORK_INTS[3:]),
            p_float("initial_outflow"),
        ],
    ),
    "run_level_pool_routing": (
        rainmill.reservoir.run_level_pool_routing,
        [
            p_instance("inflow", CONTINUOUS),
            p_float("initial_elevation"),
            p_instance("elevation_storage", CURVES),
            p_map("discharge_info", OUTLETS),
        ],
    ),
    "run_clark_uh": (
        rainmill.rainfall_transform.run_clark_uh,
        [
            p_instance("rainfall", INCREMENTAL, CONTINUOUS[:1]),
            p_float("basin_area"),
            p_duration("tc"),
            p_duration("storage_r"),
        ],
    ),
    "run_deficit_and_constant": (
        rainmill.rainfall_loss.run_deficit_and_constant,
        [
            p_instance("rainfall", INCREMENTAL),
            p_float("initial_deficit"),
            p_float("max_deficit"),
            p_float("constant_loss_per_hr"),
            p_duration("time_to_dry"),
        ],
    ),
    "run_linear_reservoir": (
        rainmill.baseflow.run_linear_reservoir,
        [p_float("basin_area"), p_instance("rainfall", INCREMENTAL), p_map("reservoirs", LAYERS + HOSTILE_LAYERS[:0])],
    ),
    "calculate_kge": (
        rainmill.metrics.calculate_kge,
        [p_vector("sim"), p_vector("obs"), Param("use_log", BOOLS, HOSTILE_BOOLS, required=False)],
    ),
    "LinearReservoir": (
        rb.LinearReservoir,
        [
            p_duration("k_duration"),
            p_float("gw_fraction"),
            p_float("initial_q"),
            Param("num_reservoir", WORK_INTS[:3], WORK_INTS[3:] + const(2**40), required=False),
        ],
    ),
    "ElevationStorage": (ru.ElevationStorage, [p_vector("elevation"), p_vector("storage")]),
    "ElevationDischarge": (ru.ElevationDischarge, [p_vector("elevation"), p_vector("discharge")]),
    "ConstantDischargeInfo": (
        ru.ConstantDischargeInfo,
        [p_float("discharge"), p_float("minimum_elevation", False), p_float("maximum_elevation", False)],
    ),
    "SpecifiedDischargeInfo": (
        ru.SpecifiedDischargeInfo,
        [
            p_instance("discharge", CONTINUOUS),
            p_float("minimum_elevation", False),
            p_float("maximum_elevation", False),
            p_float("maximum_release", False),
        ],
    ),
    "ControlledDischargeInfo": (
        ru.ControlledDischargeInfo,
        [
            p_instance("elevation_discharge", RATINGS),
            p_float("minimum_elevation", False),
            p_float("maximum_elevation", False),
            p_float("maximum_release", False),
        ],
    ),
    "UnControlledDischargeInfo": (
        ru.UnControlledDischargeInfo,
        [p_instance("elevation_discharge", RATINGS), p_float("elevation_offset", False)],
    ),
    # result classes: no constructor callable from Python
    "LevelPoolResult": (rainmill.reservoir.LevelPoolResult, [p_float("x", False)]),
    "DeficitConstantResult": (rainmill.rainfall_loss.DeficitConstantResult, [p_float("x", False)]),
}
# --- the models package's kernels ----------------------------------------------------------------

# Numbers that size a kernel's work or output against a small step: the memory guard must refuse
# them up front, never allocate gigabytes.
KERNEL_NUMBERS = HOSTILE_NUMBERS + const(1e-300, 5e-324, 1e12, -1e-9)
# the kernels' parameter names, written out here because the debug-interpreter run has no package
SOIL_TEXT = (
    "canopy_max surface_max soil_max tension_max max_infiltration soil_percolation gw1_max gw1_percolation"
    " gw1_coefficient gw2_max gw2_percolation gw2_coefficient"
)
SOIL_NAMES = tuple(SOIL_TEXT.split())
SOIL_STATES = ("canopy", "surface", "soil", "gw1", "gw2")
DEFICIT_NAMES = ("max_deficit", "constant_rate", "et_coefficient")
SNOW_TEXT = (
    "threshold transition base melt_rate_min melt_rate_max refreeze_fraction liquid_fraction lapse_rate"
    " reference_elevation"
)
SNOW_NAMES = tuple(SNOW_TEXT.split())
SMALL_FLOATS = const(0.0, 0.1, 0.5, 1.0, 2.0)


def kernel_map(names):
    """Every name with a plausible number: the dictionary a method hands its kernel."""

    def build(rng):
        return {name: rng.choice(SMALL_FLOATS)() for name in names}

    build.needs_rng = True
    return build


def hostile_kernel_map(names):
    """The same dictionary with a name missing, one too many, a hostile key or a hostile value."""

    def build(rng):
        given = {name: rng.choice(SMALL_FLOATS)() for name in names}
        kind = rng.randrange(6)
        if kind == 0:
            del given[rng.choice(names)]
        elif kind == 1:
            given[rng.choice(["bogus", "", "canopy\x00", "\ud800", KindSub(names[0])])] = 1.0
        elif kind == 2:
            given[rng.choice([1, None, b"a", 2.5])] = 1.0
        elif kind == 3:
            given[rng.choice(names)] = rng.choice(KERNEL_NUMBERS)()
        elif kind == 4:  # the same name twice, as two distinct keys
            given[Twin(names[0])] = 1.0
        else:
            return rng.choice([None, [], list(given.items()), "canopy", 1.0, Sequence(list(given))])
        return given

    build.needs_rng = True
    return build


def p_kernel_float(name):
    return Param(name, FLOATS, KERNEL_NUMBERS)


def p_kernel_map(name, names):
    return Param(name, [kernel_map(names)], [hostile_kernel_map(names)])


SHAPES = const("trapezoid", "rectangle", "triangle", "plane")  # the kinematic wave's channels
ZONE_VECTORS = const([1000.0], [500.0, 1500.0], [0.5, 0.5], [0.0], [], [0.2, 0.3, 0.5])
HUGE_ZONES = [lambda: [0.0] * 3000, lambda: Sequence([0.0], length=2**33)]
KERNELS = {
    "soil_moisture": (
        kn.soil_moisture,
        [
            p_vector("water"),
            p_vector("pet"),
            p_kernel_float("step_hours"),
            p_kernel_map("parameters", SOIL_NAMES),
            p_kernel_map("initial", SOIL_STATES),
        ],
    ),
    "deficit_constant_et": (
        kn.deficit_constant_et,
        [
            p_vector("water"),
            p_vector("pet"),
            p_kernel_float("step_hours"),
            p_kernel_map("parameters", DEFICIT_NAMES),
            p_kernel_float("initial_deficit"),
        ],
    ),
    "temperature_index_snow": (
        kn.temperature_index_snow,
        [
            p_vector("precipitation"),
            p_vector("temperature"),
            p_kernel_float("step_hours"),
            p_kernel_float("start_day"),
            p_kernel_map("parameters", SNOW_NAMES),
            Param("zone_elevations", ZONE_VECTORS, HOSTILE_VECTORS + HUGE_ZONES),
            Param("zone_fractions", ZONE_VECTORS, HOSTILE_VECTORS + HUGE_ZONES),
            Param("initial_ice", ZONE_VECTORS, HOSTILE_VECTORS),
            Param("initial_liquid", ZONE_VECTORS, HOSTILE_VECTORS),
            Param("zone_storages", BOOLS, HOSTILE_BOOLS, required=False),
        ],
    ),
    "constant_monthly_baseflow": (kn.constant_monthly_baseflow, [p_vector("months"), p_vector("monthly")]),
    "keep_buffer_pages": (kn.keep_buffer_pages, []),
    "convolve_unit_hydrograph": (kn.convolve_unit_hydrograph, [p_vector("excess"), p_vector("ordinates")]),
    "lagged_mean_excess": (
        kn.lagged_mean_excess,
        [p_vector("excess"), p_vector("lags"), p_vector("weights"), Param("shared", BOOLS, HOSTILE_BOOLS)],
    ),
    "modclark_transform": (
        kn.modclark_transform,
        [p_vector(n) for n in ("excess", "lags", "weights", "reservoir")] + [Param("shared", BOOLS, HOSTILE_BOOLS)],
    ),
    "kinematic_wave_routing": (
        kn.kinematic_wave_routing,
        [p_vector("inflow")]
        + [p_kernel_float(n) for n in ("length", "slope", "manning_n")]
        + [Param("shape", SHAPES, HOSTILE_KINDS), p_kernel_float("bottom_width"), p_kernel_float("side_slope")]
        + [Param("cells", WORK_INTS[:3], WORK_INTS[3:]), p_kernel_float("dt_seconds")],
    ),
    "kinematic_wave_transform": (
        kn.kinematic_wave_transform,
        [p_vector("excess")]
        + [p_kernel_float(n) for n in ("area_acres", "plane_length", "plane_slope", "plane_n")]
        + [p_kernel_float(n) for n in ("channel_length", "channel_slope", "channel_n")]
        + [Param("shape", SHAPES, HOSTILE_KINDS), p_kernel_float("bottom_width"), p_kernel_float("side_slope")]
        + [Param("cells", WORK_INTS[:3], WORK_INTS[3:]), p_kernel_float("dt_seconds")],
    ),
    "green_ampt_loss": (
        kn.green_ampt_loss,
        [p_vector("rain")]
        + [p_kernel_float(n) for n in ("suction", "conductivity", "moisture_deficit", "impervious", "step_hours")],
    ),
    "initial_constant_loss": (
        kn.initial_constant_loss,
        [p_vector("rain")] + [p_kernel_float(n) for n in ("initial_loss", "constant_rate", "impervious", "step_hours")],
    ),
    "lag_routing": (kn.lag_routing, [p_vector("inflow"), p_kernel_float("lag_hours"), p_kernel_float("step_hours")]),
    "modified_puls_routing": (
        kn.modified_puls_routing,
        [
            p_vector("inflow"),
            p_vector("storage"),
            p_vector("outflow"),
            Param("sub_reaches", WORK_INTS[:3], WORK_INTS[3:]),
            p_kernel_float("dt_seconds"),
        ],
    ),
    "muskingum_cunge_cell": (
        kn.muskingum_cunge_cell,
        [p_vector("inflow"), p_kernel_float("courant"), p_kernel_float("cell_reynolds")],
    ),
    "muskingum_cunge_routing": (
        kn.muskingum_cunge_routing,
        [p_vector("inflow")]
        + [p_kernel_float(n) for n in ("length", "slope", "manning_n", "bottom_width", "side_slope", "dt_seconds")],
    ),
    "recession_baseflow": (
        kn.recession_baseflow,
        [
            p_vector("direct"),
            p_kernel_float("initial_flow"),
            p_kernel_float("recession_constant"),
            p_kernel_float("threshold"),
            Param("threshold_is_ratio", BOOLS, HOSTILE_BOOLS),
            p_kernel_float("step_hours"),
        ],
    ),
    "scs_curve_number_loss": (
        kn.scs_curve_number_loss,
        [p_vector("rain")] + [p_kernel_float(n) for n in ("cn", "initial_abstraction_ratio", "impervious")],
    ),
    "scs_unit_hydrograph": (
        kn.scs_unit_hydrograph,
        [p_kernel_float(n) for n in ("lag_hours", "peak_rate_factor", "area_acres", "step_hours")],
    ),
    "snyder_unit_hydrograph": (
        kn.snyder_unit_hydrograph,
        [p_kernel_float(n) for n in ("tp_hours", "cp", "area_acres", "step_hours")],
    ),
    "user_unit_hydrograph": (
        kn.user_unit_hydrograph,
        [p_vector("ordinates")] + [p_kernel_float(n) for n in ("duration_hours", "area_acres", "step_hours")],
    ),
    "Values": (kn.Values, [p_vector("data")]),
}
CALLABLES.update(KERNELS)
# calls whose dictionaries must refuse two entries of the same name
TWIN_CHECKED = ("run_linear_reservoir", "run_level_pool_routing", "soil_moisture", "deficit_constant_et")
TWIN_CHECKED += ("temperature_index_snow",)

# methods: (instance factories, method name, parameters)
METHODS = {
    "disaggregate": (INCREMENTAL, "disaggregate", [Param("target_step", INTS, HOSTILE_INTS)]),
    "get_storage": (CURVES, "get_storage", [p_float("elevation")]),
    "get_elevation": (CURVES, "get_elevation", [p_float("storage")]),
    "total_duration": (CONTINUOUS + INCREMENTAL, "total_duration", []),
}
SETTERS = {
    "initial_q": FLOATS + HOSTILE_NUMBERS,
    "gw_fraction": FLOATS + HOSTILE_NUMBERS,
    "k_duration": DURATIONS + HOSTILE_DURATIONS,
}
INSTANCES = (
    CONTINUOUS
    + INCREMENTAL
    + CURVES
    + RATINGS
    + OUTLETS
    + LAYERS
    + [
        lambda: kn.Values([1.0, 2.0]),
        lambda: kn.lag_routing([1.0, 3.0, 2.0], 1.0, 1.0),
        lambda: rainmill.rainfall_loss.run_deficit_and_constant(INCREMENTAL[1](), 0.5, 1.0, 0.1, td(hours=1)),
        lambda: rainmill.reservoir.run_level_pool_routing(CONTINUOUS[0](), 105.0, CURVES[0](), {"o": OUTLETS[0]()}),
    ]
)
HOSTILE_KEYWORDS = [
    "bogus",
    "use\x00_log",
    "data\x00",
    "\ud800",
    "ker\ud800",
    "",
    "é" * 3,
    KindSub("data"),
    Twin("kind"),
]


def public_entry_points():
    """Every public callable of the module tree and of the models package's kernels, by name."""
    found, modules = {}, [rainmill, kn]
    while modules:
        module = modules.pop()
        for name in module.__all__:
            value = getattr(module, name)
            if type(value) is type(rainmill):
                modules.append(value)
            elif callable(value):
                found[name] = value
    return found


# --- one case ------------------------------------------------------------------------------------


@dataclass
class Case:
    label: str
    call: object
    args: list
    kwargs: dict
    hostile_keyword: object = None
    twin_map: bool = False
    attribute_op: bool = False
    iteration_errors: tuple = ()

    def describe(self):
        return f"{self.label}(*{self.args!r}, **{self.kwargs!r})"


def plain_iteration_error(value):
    """The error plain Python meets iterating the value as a sequence of floats (or None)."""
    if isinstance(value, (Sequence, list)) or (not hasattr(value, "__len__") and not hasattr(value, "__getitem__")):
        return None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for item in value:
                float(item)
    except Exception as error:
        return type(error)
    return None


def produce(factory, rng):
    return factory(rng) if getattr(factory, "needs_rng", False) else factory()


def draw_args(rng, params, hostility):
    args, kwargs, keyword = [], {}, False
    for param in params:
        pool = param.hostile if param.hostile and rng.random() < hostility else param.valid
        if not param.required and rng.random() < 0.3:
            keyword = True  # an omitted optional: later arguments go by keyword
            continue
        value = produce(rng.choice(pool), rng)
        if keyword or rng.random() < 0.25:
            keyword = True
            kwargs[param.name] = value
        else:
            args.append(value)
    return args, kwargs


def make_case(rng, hostility=0.35):
    kind = rng.random()
    if kind < 0.7:
        label = rng.choice(sorted(CALLABLES))
        call, params = CALLABLES[label]
        args, kwargs = draw_args(rng, params, hostility)
    elif kind < 0.85:
        label = rng.choice(sorted(METHODS))
        instances, name, params = METHODS[label]
        call = getattr(rng.choice(instances)(), name)
        args, kwargs = draw_args(rng, params, hostility)
    else:
        target = rng.choice(INSTANCES)()
        names = [n for n in dir(target) if not n.startswith("_")]
        name = rng.choice(names)
        if isinstance(target, rb.LinearReservoir) and name in SETTERS and rng.random() < 0.7:
            value = rng.choice(SETTERS[name])()
            return Case(
                f"set {name}",
                setattr,
                [target, name, value],
                {},
                attribute_op=True,
                iteration_errors=_iteration_errors([value]),
            )
        op = rng.random()
        if op < 0.6:
            return Case(f"get {name}", getattr, [target, name], {})
        if op < 0.8:
            return Case(
                f"set {name}", setattr, [target, name, rng.choice(FLOATS + HOSTILE_NUMBERS)()], {}, attribute_op=True
            )
        return Case(f"del {name}", delattr, [target, name], {}, attribute_op=True)
    case = Case(label, call, args, kwargs)
    shape = rng.random()
    if shape < 0.08:
        case.hostile_keyword = rng.choice(HOSTILE_KEYWORDS)
        case.kwargs[case.hostile_keyword] = 1.0
    elif shape < 0.12:
        case.args.append(rng.choice(FLOATS)())
    elif shape < 0.16 and args:
        case.kwargs[next(iter(params)).name] = args[0]  # given twice
    values = list(case.args) + list(case.kwargs.values())
    case.twin_map = any(isinstance(v, dict) and any(isinstance(k, Twin) for k in v) for v in values)
    case.iteration_errors = _iteration_errors(values)
    return case


def systematic_cases():
    """{label: factory of a Case}: for every callable and method, a valid call, each binding error, and
    a conversion error and a hostile value for each parameter in turn; each setter with a wrong type."""
    rng = random.Random(0)
    made = {}

    def add(label, call_factory, params, args_factory):
        def factory():
            args, kwargs = args_factory()
            return Case(label, call_factory(), args, kwargs, iteration_errors=_iteration_errors(args))

        made[label] = factory

    targets = [(name, lambda call=call: call, params) for name, (call, params) in CALLABLES.items()]
    targets += [
        (label, lambda i=instances, n=name: getattr(i[0](), n), params)
        for label, (instances, name, params) in METHODS.items()
    ]
    for name, call_factory, params in targets:
        valid = lambda params=params: [produce(p.valid[0], rng) for p in params]  # noqa: E731
        add(f"{name} valid", call_factory, params, lambda v=valid: (v(), {}))
        add(f"{name} too many", call_factory, params, lambda v=valid: (v() + [1.0], {}))
        add(f"{name} unknown keyword", call_factory, params, lambda v=valid: (v(), {"bogus\x00": 1}))
        add(f"{name} missing", call_factory, params, lambda: ([], {}))
        if params:
            add(f"{name} twice", call_factory, params, lambda v=valid, p=params: (v(), {p[0].name: v()[0]}))
        for i, param in enumerate(params):
            for kind, bad in (
                ("wrong type", lambda: object()),
                (
                    "hostile",
                    lambda p=param: produce(p.hostile[len(p.name) % len(p.hostile)], rng) if p.hostile else object(),
                ),
            ):

                def args(v=valid, i=i, bad=bad):
                    values = v()
                    values[i] = bad()
                    return values, {}

                add(f"{name} {param.name} {kind}", call_factory, params, args)
    for attribute in SETTERS:
        made[f"set {attribute} wrong type"] = lambda a=attribute: Case(
            f"set {a}", setattr, [LAYERS[0](), a, object()], {}, attribute_op=True
        )
        made[f"del {attribute}"] = lambda a=attribute: Case(
            f"del {a}", delattr, [LAYERS[0](), a], {}, attribute_op=True
        )
    return made


def _iteration_errors(values):
    return tuple(e for e in (plain_iteration_error(v) for v in values) if e is not None)


# --- judging -------------------------------------------------------------------------------------


def run_case(case, warnings_as_errors):
    """Run one case; return (failure fault key or None, failure text or None, was_panic)."""
    RAISED.clear()
    error = None
    with warnings.catch_warnings():
        warnings.simplefilter("error" if warnings_as_errors else "ignore")
        try:
            case.call(*case.args, **case.kwargs)
        except BaseException as caught:  # judged below, the interrupts included
            error = caught
            # no cycle through this frame: the interpreter's MemoryError instances would keep it alive
            error.__traceback__ = None
    raised = list(RAISED)
    RAISED.clear()
    return judge(case, error, raised, warnings_as_errors)


def chain(error):
    seen = []
    while error is not None and error not in seen:
        seen.append(error)
        error = error.__cause__ or error.__context__
    return seen


def judge(case, error, raised, warnings_as_errors):
    panic = error is not None and type(error).__name__ == "PanicException"
    interrupts = [e for where, e in raised if isinstance(e, INTERRUPTS)]
    if error is None:
        if interrupts:
            where = [w for w, e in raised if isinstance(e, INTERRUPTS)][0]
            fault = "swallowed" if where == "__len__" else "swallowed-other"
            return fault, f"{type(interrupts[0]).__name__} from {where} swallowed: {case.describe()}", False
        lost = [(w, e) for w, e in raised if w != "__len__"]
        if lost:
            return (
                "lost",
                f"{type(lost[0][1]).__name__} from {lost[0][0]} lost, the call succeeded: {case.describe()}",
                False,
            )
        if case.twin_map and case.label in TWIN_CHECKED:
            return "duplicate", f"two entries named 'twin' accepted: {case.describe()}", False
        return None, None, False
    own = [e for _, e in raised]
    if any(e is own_error for e in chain(error) for own_error in own):
        return None, None, panic
    if interrupts and isinstance(error, BaseException) and not isinstance(error, type(interrupts[0])):
        where = [w for w, e in raised if isinstance(e, INTERRUPTS)][0]
        return (
            "swallowed" if where == "__len__" else "swallowed-other",
            f"{type(interrupts[0]).__name__} from {where} replaced by {type(error).__name__}: {case.describe()}",
            panic,
        )
    if isinstance(error, (KeyboardInterrupt, SystemExit)):
        return "interrupt", f"spurious {type(error).__name__}: {case.describe()}", False
    if panic:
        return None, None, True
    if isinstance(error, Warning) and warnings_as_errors:
        return None, None, False
    if isinstance(error, UnicodeEncodeError) and case.hostile_keyword is not None and "\ud800" in case.hostile_keyword:
        return "surrogate", f"UnicodeEncodeError for keyword {case.hostile_keyword!r}: {case.describe()}", False
    if case.hostile_keyword is not None and isinstance(error, TypeError) and "unexpected keyword" in str(error):  # noqa: SIM102
        if str(case.hostile_keyword) not in str(error):
            key = "nul" if "\x00" in case.hostile_keyword else "keyword"
            return key, f"message {str(error)!r} does not quote keyword {case.hostile_keyword!r}", False
    if isinstance(error, ValueError) and "kind must be one of" in str(error):
        kinds = [v for v in list(case.args) + list(case.kwargs.values()) if isinstance(v, str) and "\x00" in v]
        if any(k not in str(error) for k in kinds):
            return "nul", f"message {str(error)!r} cuts kind {kinds[0]!r}", False
    if isinstance(error, AttributeError) and (case.attribute_op or "__bool__" in str(error)):
        return None, None, False
    if type(error) in case.iteration_errors:
        return None, None, False
    if isinstance(error, DOCUMENTED):
        return None, None, False
    return "undocumented", f"{type(error).__name__}: {error} from {case.describe()}", panic


# --- fast paths against the generic path ---------------------------------------------------------


def outcome(call):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return ("ok", [v.hex() for v in call().data])
    except Exception as error:
        return ("error", type(error).__name__, str(error))


def array_differential(rng):
    """An array-like argument converts exactly as the same items through the generic path."""
    value = rng.choice(ARRAY_SAMPLES)
    cls = rng.choice([u.ContinuousTimeSeries, u.IncrementalTimeSeries])
    fast = outcome(lambda: cls(value, td(hours=1), "discharge"))
    generic = outcome(lambda: cls(Generic(value), td(hours=1), "discharge"))
    if fast != generic:
        return "array", f"{type(value).__name__} {getattr(value, 'dtype', '')} {value!r}: {fast} != generic {generic}"
    return None, None


# --- driver --------------------------------------------------------------------------------------


@dataclass
class Report:
    cases: int = 0
    panics: int = 0
    failures: list = field(default_factory=list)  # (fault key, text)

    def by_fault(self):
        counts = {}
        for key, _ in self.failures:
            counts[key] = counts.get(key, 0) + 1
        return counts

    def summary(self):
        counts = self.by_fault()
        known = sum(n for k, n in counts.items() if k in FAULTS)
        parts = ", ".join(f"{k} {n}" for k, n in sorted(counts.items()))
        return (
            f"fuzz: {self.cases} cases, {len(self.failures)} failures ({len(self.failures) - known} new, "
            f"{known} known){': ' + parts if parts else ''}; {self.panics} PanicException outcomes"
        )


def run_one(rng, report, progress=None):
    if rng.random() < 0.1:
        key, text = array_differential(rng)
        panic = False
    else:
        case = make_case(rng)
        if progress is not None:
            progress(case)
        key, text, panic = run_case(case, warnings_as_errors=rng.random() < 0.3)
    report.cases += 1
    report.panics += panic
    if key is not None:
        report.failures.append((key, text))


def fuzz_with_hypothesis(cases, seed, progress=None):
    """Draw the cases with hypothesis (reproducible from the seed); every failure is collected."""
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import seed as hypothesis_seed
    from hypothesis import strategies as st

    report = Report()

    @hypothesis_seed(seed)
    @settings(
        max_examples=cases,
        database=None,
        deadline=None,
        phases=[Phase.generate],
        suppress_health_check=list(HealthCheck),
    )
    @given(st.integers(0, 2**64))
    def one(case_seed):
        run_one(random.Random(case_seed), report, progress)

    one()
    return report


# The address space a fuzzing process may take: an allocation beyond it fails at once with
# MemoryError instead of filling the machine's memory. Sanitizer runtimes reserve far more address
# space than they use, so sanitized runs go without it.
ADDRESS_SPACE_LIMIT = 4 << 30


def limit_address_space():
    if os.environ.get("RAINMILL_SANITIZED") == "1":
        return False
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, resource.getrlimit(resource.RLIMIT_AS)[1]))
    return True


def main():
    limit_address_space()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--show", type=int, default=12, help="failures printed in full")
    parser.add_argument("--trace", help="write each case here before running it (finds a crashing one)")
    parser.add_argument("--json", help="write the counts by fault and a few examples here")
    args = parser.parse_args()
    progress = None
    if args.trace:
        trace = os.open(args.trace, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

        def progress(case):
            text = case.describe()[:2000].encode("utf-8", "backslashreplace") + b"\n"
            os.lseek(trace, 0, os.SEEK_SET)
            os.ftruncate(trace, 0)
            os.write(trace, text)

    report = fuzz_with_hypothesis(args.cases, args.seed, progress)
    shown = {}
    for key, text in dict.fromkeys(report.failures):
        if shown.get(key, 0) < max(1, args.show // 4) and sum(shown.values()) < args.show:
            shown[key] = shown.get(key, 0) + 1
            print(f"FAIL [{key}{': ' + FAULTS[key] if key in FAULTS else ''}] {text[:600]}")
    print(report.summary())
    if args.json:
        examples = [f"[{key}] {text[:600]}" for key, text in list(dict.fromkeys(report.failures))[:20]]
        with open(args.json, "w") as f:
            json.dump(
                {"cases": report.cases, "panics": report.panics, "by_fault": report.by_fault(), "examples": examples}, f
            )
    sys.exit(1 if report.failures else 0)


if __name__ == "__main__":
    main()
