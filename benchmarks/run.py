"""rainmill against the tools a user would pick instead, side by side in one process.

    make bench                       (or: .venv/bin/python benchmarks/run.py [--quick] [--output FILE])

For every computation and size: rainmill from lists (series from lists, the call, `.data` of every
result series), rainmill from float64 arrays (series from arrays, the call, `numpy.asarray` of every
result), the conversion floor (`array('d', x)` per input list, `.tolist()` per output list), a plain
pure-Python loop of the same algorithm (benchmarks/loops.py, checked bit for bit against rainmill),
a Numba `@njit` loop on arrays and the SciPy/NumPy way (benchmarks/peers.py). Times are the best of
several runs, in milliseconds. A peer that is not installed is reported as such.

A user's script does not run a call fifty times in a warmed process: the fresh-process section runs
KGE and Muskingum on 10^6-value arrays in new processes and reports the first call and calls 2-10
against the warm figure, in processor time, with the C library's allocator as rainmill sets it and
with glibc's defaults (the allocator tuned by the environment, which rainmill then leaves alone).

Optional modules beside this file add their own sections when present: each of EXTRA_MODULES
provides `report() -> str` (markdown), or else a `main()` whose printed output is included.
"""

import argparse
import contextlib
import datetime
import gc
import importlib
import importlib.util
import io
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from array import array
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import rainmill  # noqa: E402

import loops  # noqa: E402
import peers  # noqa: E402

np = peers.np
td = datetime.timedelta
u = rainmill.utils
CTS, ITS = u.ContinuousTimeSeries, u.IncrementalTimeSeries
EXTRA_MODULES = (
    "bench_threads",
    "bench_calibrate",
    "bench_network",
    "bench_continuous",
    "bench_event",
    "bench_spatial",
    "bench_scale",
)
NOT_INSTALLED = "not installed"
HOUR = 3600

# "Today's" array path: the generic per-item conversion, recorded before array arguments were read
# through the buffer protocol (benchmarks/baseline.txt, "workload size milliseconds" lines).
BASELINE_FILE = HERE / "baseline.txt"
# The most calls one figure of the table takes.
MAX_REPEATS = 1000


def best_of(call, repeats, budget, settle=0.0):
    """Smallest wall time of up to `repeats` calls, stopping once `budget` seconds are spent; a
    short call goes on until `settle` seconds are spent too (at most MAX_REPEATS calls).

    A call that moves megabytes right after another column's calls finds its data outside the
    caches for several calls, not one (the last-level cache takes some passes to refill): on 10^6
    values the array conversion ran 0.6-0.7 ms for five or six calls after the list path, then
    0.22 ms. Five calls measured that refill, not the call."""
    times = []
    started = time.perf_counter()
    gc.collect()
    while True:
        gc.disable()
        try:
            begin = time.perf_counter()
            call()
            times.append(time.perf_counter() - begin)
        finally:
            gc.enable()
        spent = time.perf_counter() - started
        if spent > budget or len(times) >= MAX_REPEATS:
            return min(times)
        if len(times) >= repeats and spent >= settle:
            return min(times)


def as_array(series):
    """A result series as a NumPy array: a view where the series exports a buffer, else a copy."""
    try:
        view = memoryview(series)
    except TypeError:
        return np.asarray(series.data)
    return np.asarray(view)


class Workload:
    """One computation at one size: inputs as lists, the six ways to run it, and their checks."""

    name = ""
    sizes = (10**3, 10**5, 10**6)
    peer_key = ""

    def __init__(self, n):
        self.n = n
        self.lists = self.make_inputs(n)  # tuple of input lists
        self.arrays = tuple(np.asarray(x, dtype=np.float64) for x in self.lists) if np is not None else None

    def make_inputs(self, n):
        raise NotImplementedError

    def rainmill_lists(self):
        raise NotImplementedError

    def rainmill_arrays(self):
        raise NotImplementedError

    def python(self):
        raise NotImplementedError

    def output_lengths(self):
        return [len(x) for x in flatten(self.reference)]

    def floor(self):
        for x in self.lists:
            array("d", x)
        for out in self.floor_outputs:
            out.tolist()

    def numba(self, f):
        raise NotImplementedError

    def scipy(self, f):
        raise NotImplementedError

    def prepare(self):
        self.reference = self.rainmill_lists()
        self.floor_outputs = [array("d", bytes(8 * k)) for k in self.output_lengths()]


def flatten(result):
    """Every float sequence (or the float) of a result, in a fixed order."""
    if isinstance(result, dict):
        return [v for k in sorted(result) for v in flatten(result[k])]
    if isinstance(result, (CTS, ITS)):
        return [result.data]
    if isinstance(result, (tuple, list)) and result and not isinstance(result[0], (int, float)):
        return [v for item in result for v in flatten(item)]
    return [result]


def agree(expected, got, exact):
    expected, got = flatten(expected), flatten(got)
    if len(expected) != len(got):
        return False
    for e, g in zip(expected, got):
        if isinstance(e, float):
            e, g = [e], [float(g)]
        e, g = list(e), [float(v) for v in g]
        if exact:
            if e != g:
                return False
        elif len(e) != len(g) or not all(math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9) for a, b in zip(e, g)):
            return False
    return True


def hydrograph(n, seed):
    rng = random.Random(seed)
    return [
        200.0 + 150.0 * math.sin(i / 50.0) + 3000.0 * math.exp(-(((i % 500) - 60) ** 2) / 400.0) + rng.random()
        for i in range(n)
    ]


def rain(n, seed):
    rng = random.Random(seed)
    return [0.0 if rng.random() < 0.5 else rng.uniform(0.0, 0.4) for _ in range(n)]


class SeriesFromData(Workload):
    name = "series from data (conversion only)"

    def make_inputs(self, n):
        return (hydrograph(n, 1),)

    def rainmill_lists(self):
        return CTS(self.lists[0], td(hours=1), "discharge")

    def rainmill_arrays(self):
        return CTS(self.arrays[0], td(hours=1), "discharge")

    def output_lengths(self):
        return []

    python = None  # no algorithm to loop over


class Muskingum(Workload):
    peer_key = "muskingum"

    def __init__(self, n, sub_reaches):
        self.sub_reaches = sub_reaches
        self.name = f"Muskingum, {sub_reaches} sub-reach{'es' if sub_reaches > 1 else ''}"
        super().__init__(n)

    def make_inputs(self, n):
        return (hydrograph(n, 2),)

    def args(self):
        return td(hours=6), 0.2, self.sub_reaches, 210.0

    def rainmill_lists(self):
        inflow = CTS(self.lists[0], td(hours=1), "discharge")
        return rainmill.reach.run_muskingum_routing(inflow, *self.args()).data

    def rainmill_arrays(self):
        inflow = CTS(self.arrays[0], td(hours=1), "discharge")
        return as_array(rainmill.reach.run_muskingum_routing(inflow, *self.args()))

    def plain_args(self):
        return float(HOUR), 6.0 * HOUR, 0.2, self.sub_reaches, 210.0

    def python(self):
        return loops.py_muskingum(self.lists[0], *self.plain_args())

    def numba(self, f):
        return f(self.arrays[0], *self.plain_args())

    scipy = numba


class DeficitConstant(Workload):
    name = "deficit and constant"
    peer_key = "deficit"
    ARGS = (0.6, 1.5, 0.12)

    def make_inputs(self, n):
        return (rain(n, 3),)

    def rainmill_lists(self):
        r = rainmill.rainfall_loss.run_deficit_and_constant(
            ITS(self.lists[0], td(hours=1), "rainfall"), *self.ARGS, td(hours=48)
        )
        return r.excess.data, r.loss.data, r.deficit.data

    def rainmill_arrays(self):
        r = rainmill.rainfall_loss.run_deficit_and_constant(
            ITS(self.arrays[0], td(hours=1), "rainfall"), *self.ARGS, td(hours=48)
        )
        return as_array(r.excess), as_array(r.loss), as_array(r.deficit)

    def python(self):
        return loops.py_deficit_constant(self.lists[0], float(HOUR), *self.ARGS, 48.0 * HOUR)

    def numba(self, f):
        return f(self.arrays[0], float(HOUR), *self.ARGS, 48.0 * HOUR)


class Clark(Workload):
    name = "Clark unit hydrograph, tc/dt = 48"
    peer_key = "clark"
    sizes = (10**3, 10**5)

    def make_inputs(self, n):
        return (rain(n, 4),)

    def rainmill_lists(self):
        return rainmill.rainfall_transform.run_clark_uh(
            ITS(self.lists[0], td(hours=1), "rainfall"), 1600.0, td(hours=48), td(hours=10)
        ).data

    def rainmill_arrays(self):
        return as_array(
            rainmill.rainfall_transform.run_clark_uh(
                ITS(self.arrays[0], td(hours=1), "rainfall"), 1600.0, td(hours=48), td(hours=10)
            )
        )

    def python(self):
        return loops.py_clark(self.lists[0], float(HOUR), 1600.0, 48.0 * HOUR, 10.0 * HOUR)

    def numba(self, f):
        return f(self.arrays[0], float(HOUR), 1600.0, 48.0 * HOUR, 10.0 * HOUR)

    scipy = numba


class Baseflow(Workload):
    name = "baseflow, 3 layers x 3 reservoirs"
    peer_key = "baseflow"
    LAYERS = {"fast": (24, 0.3, 2.0), "medium": (96, 0.2, 4.0), "slow": (480, 0.1, 8.0)}  # noqa: RUF012

    def make_inputs(self, n):
        return (rain(n, 5),)

    def layers(self):
        return {
            name: rainmill.baseflow.LinearReservoir(td(hours=k), f, q, 3) for name, (k, f, q) in self.LAYERS.items()
        }

    def plain_layers(self):
        return {name: (k * 3600.0, f, q, 3) for name, (k, f, q) in self.LAYERS.items()}

    def rainmill_lists(self):
        total, by_layer = rainmill.baseflow.run_linear_reservoir(
            1600.0, ITS(self.lists[0], td(hours=1), "rainfall"), self.layers()
        )
        return total.data, {k: v.data for k, v in by_layer.items()}

    def rainmill_arrays(self):
        total, by_layer = rainmill.baseflow.run_linear_reservoir(
            1600.0, ITS(self.arrays[0], td(hours=1), "rainfall"), self.layers()
        )
        return as_array(total), {k: as_array(v) for k, v in by_layer.items()}

    def python(self):
        return loops.py_baseflow(1600.0, self.lists[0], float(HOUR), self.plain_layers())

    def numba(self, f):
        return f(1600.0, self.arrays[0], float(HOUR), self.plain_layers())

    scipy = numba

    def exact_check(self, got):
        # the total adds the layers in the library's map order, which is unspecified: compare the
        # layers bit for bit and the total to rounding
        return agree(self.reference[1], got[1], exact=True) and agree(self.reference[0], got[0], exact=False)


class KGE(Workload):
    peer_key = "kge"

    def __init__(self, n, use_log):
        self.use_log = use_log
        self.name = "KGE, logs" if use_log else "KGE"
        super().__init__(n)

    def make_inputs(self, n):
        return hydrograph(n, 6), hydrograph(n, 7)

    def rainmill_lists(self):
        return rainmill.metrics.calculate_kge(*self.lists, self.use_log)

    def rainmill_arrays(self):
        return rainmill.metrics.calculate_kge(*self.arrays, self.use_log)

    def output_lengths(self):
        return []

    def python(self):
        return loops.py_kge(*self.lists, self.use_log)

    def numba(self, f):
        return f(*self.arrays, self.use_log)

    scipy = numba


class Disaggregate(Workload):
    name = "disaggregate, x120"
    peer_key = "disaggregate"
    sizes = (10**3, 10**5)

    def make_inputs(self, n):
        return (rain(n, 8),)

    def rainmill_lists(self):
        return ITS(self.lists[0], td(hours=1), "rainfall").disaggregate(30).data

    def rainmill_arrays(self):
        return as_array(ITS(self.arrays[0], td(hours=1), "rainfall").disaggregate(30))

    def python(self):
        return loops.py_disaggregate(self.lists[0], HOUR, 30)

    def numba(self, f):
        return f(self.arrays[0], HOUR, 30)

    scipy = numba


WORKLOADS = [
    SeriesFromData,
    lambda n: Muskingum(n, 1),
    lambda n: Muskingum(n, 8),
    DeficitConstant,
    Clark,
    Baseflow,
    lambda n: KGE(n, False),
    lambda n: KGE(n, True),
    Disaggregate,
]
SIZES = {
    SeriesFromData: SeriesFromData.sizes,
    Clark: Clark.sizes,
    Disaggregate: Disaggregate.sizes,
}


def fmt_ms(seconds):
    if seconds is None:
        return "n/a"
    if isinstance(seconds, str):
        return seconds
    ms = seconds * 1e3
    return f"{ms:.3g}" if ms < 100 else f"{ms:.0f}"


class Runner:
    COLUMNS = (
        "rainmill, lists",
        "rainmill, float64 arrays",
        "conversion floor",
        "pure Python",
        "Numba loop",
        "SciPy/NumPy",
    )

    def __init__(self, quick):
        self.quick = quick
        self.repeats = 2 if quick else 5
        self.budget = 0.2 if quick else 1.5
        self.settle = 0.0 if quick else 0.25
        self.rows = []  # (name, n, {column: seconds | str | None}, lists/floor)
        self.mismatches = []
        self.numba = peers.numba_functions()
        self.scipy = peers.scipy_functions()

    def time(self, call):
        return best_of(call, self.repeats, self.budget, self.settle)

    def run_workload(self, make, n):
        w = make(n)
        w.prepare()
        cells = {}
        cells["rainmill, lists"] = self.time(w.rainmill_lists)
        cells["rainmill, float64 arrays"] = self.time(w.rainmill_arrays) if np is not None else NOT_INSTALLED
        cells["conversion floor"] = self.time(w.floor)
        cells["pure Python"] = None
        if w.python is not None:
            exact = getattr(w, "exact_check", lambda g: agree(w.reference, g, exact=True))
            if not exact(w.python()):
                self.mismatches.append(f"{w.name}, n={n}: the pure-Python loop differs from rainmill")
            cells["pure Python"] = self.time(w.python)
        if np is not None and not agree(w.reference, w.rainmill_arrays(), exact=True):
            self.mismatches.append(f"{w.name}, n={n}: rainmill from arrays differs from rainmill from lists")
        for column, functions in (("Numba loop", self.numba), ("SciPy/NumPy", self.scipy)):
            if functions is None:
                cells[column] = NOT_INSTALLED
                continue
            f = functions.get(w.peer_key)
            if f is None:
                cells[column] = None
                continue
            peer = getattr(w, "numba" if column == "Numba loop" else "scipy")
            if not agree(w.reference, peer(f), exact=False):
                self.mismatches.append(f"{w.name}, n={n}: {column} disagrees with rainmill")
            cells[column] = self.time(lambda: peer(f))  # noqa: B023
        self.rows.append((w.name, n, cells))
        print(self.format_row(w.name, n, cells), flush=True)

    @staticmethod
    def header():
        columns = Runner.COLUMNS + ("lists / floor",)
        return "\n".join(
            [
                "| workload | n | " + " | ".join(columns) + " |",
                "|---|---:|" + "---:|" * len(columns),
            ]
        )

    @staticmethod
    def format_row(name, n, cells):
        ratio = ""
        lists, floor = cells["rainmill, lists"], cells["conversion floor"]
        if isinstance(lists, float) and isinstance(floor, float) and floor > 0:
            ratio = f"{lists / floor:.2f}"
        values = [fmt_ms(cells[c]) for c in Runner.COLUMNS] + [ratio]
        return f"| {name} | 10^{round(math.log10(n))} | " + " | ".join(values) + " |"

    def cell(self, name, n, column):
        for row_name, row_n, cells in self.rows:
            if row_name == name and row_n == n:
                value = cells[column]
                return value if isinstance(value, float) else None
        return None


# The workloads timed in fresh processes, by name: what a user's script calls on 10^6 values.
FRESH = {"KGE": lambda n: KGE(n, False), "Muskingum, 1 sub-reach": lambda n: Muskingum(n, 1)}
FRESH_CALLS = 10
# Setting one of glibc's own variables to its default makes rainmill leave the allocator as glibc
# configures it: the way every call ran before rainmill kept the pages of large temporaries.
GLIBC_DEFAULTS = {"MALLOC_TOP_PAD_": str(128 * 1024)}


def fresh_child(name):
    """In a new process: the array path of one workload at 10^6, FRESH_CALLS times, then as many
    again once warm; each call's processor time (ms, the page faults included, other load not)."""
    w = FRESH[name](10**6)
    times = []
    for _ in range(2 * FRESH_CALLS):
        begin = time.thread_time()
        w.rainmill_arrays()
        times.append((time.thread_time() - begin) * 1e3)
    print(" ".join(f"{t:.4f}" for t in times))


def fresh_times(name, extra_env):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MALLOC_")} | extra_env
    done = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--fresh-child", name],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    return [float(x) / 1e3 for x in done.stdout.split()]


def fresh_process(rounds=3):
    """Per workload, the median over `rounds` new processes of: call 1, the median and the worst of
    calls 2-10, and the best of the ten calls after them (the warm figure); with rainmill's
    allocator settings ("kept") and with glibc's ("glibc")."""
    figures = {}
    for name in FRESH:
        row = {}
        for label, env in (("kept", {}), ("glibc", GLIBC_DEFAULTS)):
            runs = [fresh_times(name, env) for _ in range(rounds)]
            row[label] = tuple(
                statistics.median(pick(r) for r in runs)
                for pick in (
                    lambda r: r[0],
                    lambda r: statistics.median(r[1:FRESH_CALLS]),
                    lambda r: max(r[1:FRESH_CALLS]),
                    lambda r: min(r[FRESH_CALLS:]),
                )
            )
        figures[name] = row
    return figures


def fresh_lines(figures):
    lines = [
        "## A user's script: calls in a fresh process (10^6 values, float64 arrays in)",
        "",
        "Processor time of the calling thread in milliseconds (page faults included; the other load on",
        "the machine, which makes clock times swing, not), each figure the median over three new",
        "processes. Warm: the best of calls 11-20 in the same process; the last column divides by the",
        'warm figure with the pages kept, which a warmed benchmark process shows. "kept": the allocator',
        'as rainmill sets it (large blocks from the heap, freed pages kept); "glibc": glibc\'s defaults,',
        "as every call ran before.",
        "",
        "| workload | allocator | call 1 | calls 2-10, median | calls 2-10, worst | warm | median / warm, kept |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for name, row in figures.items():
        for label in ("glibc", "kept"):
            first, median, worst, warm = row[label]
            cells = " | ".join(fmt_ms(c) for c in (first, median, worst, warm))
            lines.append(f"| {name} | {label} | {cells} | {median / row['kept'][3]:.2f} |")
    return lines + [""]


def level_pool(runner):
    """ns per internal step for the benchmark reservoir: rainmill, the pure-Python loop and the
    Numba loop on arrays, each checked against rainmill on ten days of the same case."""
    import bench_level_pool

    quick = runner.quick
    series, curve, outlets = bench_level_pool.build_case()
    data = series.data
    step = int(series.time_step.total_seconds())
    if quick:
        data = data[: 24 * 30]
        series = CTS(data, series.time_step, "discharge")
    steps = (len(data) - 1) * step
    run = lambda: rainmill.reservoir.run_level_pool_routing(series, 1020.0, curve, outlets)  # noqa: E731
    figures = {"steps": steps, "rainmill": best_of(run, 2 if quick else 3, 30.0) / steps * 1e9}

    # The pure-Python loop runs ten days of the same case (it would take minutes for the year).
    days = 10 if not quick else 2
    short = data[: 24 * days + 1]
    short_steps = (len(short) - 1) * step
    specs = outlet_specs(outlets)
    getters = {name: loops.outlet_getter(spec) for name, spec in specs.items()}
    python_call = lambda: loops.py_level_pool(  # noqa: E731
        short, step, 1020.0, curve.elevation, curve.storage, getters
    )
    figures["pure Python"] = best_of(python_call, 1, 0.0) / short_steps * 1e9
    expected = rainmill.reservoir.run_level_pool_routing(
        CTS(short, series.time_step, "discharge"), 1020.0, curve, outlets
    )
    expected = [
        expected.reservoir_storage.data,
        expected.reservoir_elevation.data,
        expected.reservoir_total_outflow.data,
    ]
    # outlet discharges are added in the library's map order: compare to rounding
    if not agree(expected, list(python_call()[:3]), exact=False):
        runner.mismatches.append("level pool: the pure-Python loop differs from rainmill")

    figures["Numba loop"] = NOT_INSTALLED
    if runner.numba is not None:
        numba_pool = runner.numba["level pool"]
        elevations, storages = np.array(curve.elevation), np.array(curve.storage)
        specs = list(specs.values())
        if not agree(
            expected, list(numba_pool(np.array(short), step, 1020.0, elevations, storages, specs)[:3]), exact=False
        ):
            runner.mismatches.append("level pool: the Numba loop disagrees with rainmill")
        inflow = np.array(data)
        numba_call = lambda: numba_pool(inflow, step, 1020.0, elevations, storages, specs)  # noqa: E731
        figures["Numba loop"] = best_of(numba_call, 2 if quick else 3, 30.0) / steps * 1e9
    return figures


def level_pool_lines(figures):
    def ns(value):
        return value if isinstance(value, str) else f"{value:.1f}" if value < 100 else f"{value:.0f}"

    return [
        "## Level pool (a year of hourly inflow, one-second internal steps, three outlets)",
        "",
        "| | ns per internal step |",
        "|---|---:|",
        f"| rainmill ({figures['steps']} steps) | {ns(figures['rainmill'])} |",
        f"| pure Python (ten days of the same case) | {ns(figures['pure Python'])} |",
        f"| Numba loop on arrays | {ns(figures['Numba loop'])} |",
        "| SciPy/NumPy | no level-pool routine in SciPy |",
        "",
    ]


def outlet_specs(outlets):
    """Each outlet as the plain fields of benchmarks/loops.py (see `loops.outlet_getter`)."""
    ru = rainmill.reservoir.reservoir_utils
    specs = {}
    for name, o in outlets.items():
        if isinstance(o, ru.ConstantDischargeInfo):
            specs[name] = ("constant", o.discharge, o.minimum_elevation, o.maximum_elevation)
        elif isinstance(o, ru.ControlledDischargeInfo):
            curve = o.elevation_discharge
            specs[name] = (
                "controlled",
                curve.elevation,
                curve.discharge,
                o.minimum_elevation,
                o.maximum_elevation,
                o.maximum_release,
            )
        elif isinstance(o, ru.UnControlledDischargeInfo):
            curve = o.elevation_discharge
            specs[name] = ("uncontrolled", curve.elevation, curve.discharge, o.elevation_offset)
        else:
            raise TypeError(f"no pure-Python outlet for {type(o).__name__}")
    return specs


def python_outlets(outlets):
    return {name: loops.outlet_getter(spec) for name, spec in outlet_specs(outlets).items()}


def read_baseline():
    baseline = {}
    if BASELINE_FILE.exists():
        for line in BASELINE_FILE.read_text().splitlines():
            if line and not line.startswith("#"):
                name, n, ms = line.rsplit(" ", 2)
                baseline[(name, int(n))] = float(ms) / 1e3
    return baseline


def verdict(ok):
    return "**met**" if ok else "**not met**"


def targets(runner, pool):
    """The target ratios, computed from the table."""
    big = 10**6
    lines = ["## Targets", ""]
    if runner.quick:
        return lines + ["(not evaluated in a --quick run)"]
    cell = runner.cell
    lists = cell(SeriesFromData.name, big, "rainmill, lists")
    arrays = cell(SeriesFromData.name, big, "rainmill, float64 arrays")
    if lists and arrays:
        ratio = lists / arrays
        lines.append(
            f"- A float64 array converts ≥ 10× faster than a list at 10^6: {ratio:.1f}× — {verdict(ratio >= 10)}"
        )
    baseline = read_baseline()
    for name, peer in (("Muskingum, 1 sub-reach", "lfilter"), ("KGE", "the NumPy KGE")):
        arrays = cell(name, big, "rainmill, float64 arrays")
        numba = cell(name, big, "Numba loop")
        scipy = cell(name, big, "SciPy/NumPy")
        before = baseline.get((name, big))
        if arrays is None:
            continue
        if before is not None:
            ratio = before / arrays
            lines.append(
                f"- {name}, array path ≥ 20× faster than before ({before * 1e3:.1f} ms, "
                f"benchmarks/baseline.txt): {ratio:.1f}× — {verdict(ratio >= 20)}"
            )
        if numba is not None:
            ratio = arrays / numba
            lines.append(f"- {name}, array path within 2× of the Numba loop: {ratio:.2f}× — {verdict(ratio <= 2)}")
        if scipy is not None:
            lines.append(
                f"- {name}, array path faster than {peer}: {arrays * 1e3:.2f} ms against "
                f"{scipy * 1e3:.2f} ms — {verdict(arrays < scipy)}"
            )
    # the workloads whose arithmetic is lighter than moving their data
    light = [SeriesFromData.name, "Muskingum, 1 sub-reach", "KGE", (Disaggregate.name, 10**5)]
    ratios = []
    for entry in light:
        name, n = entry if isinstance(entry, tuple) else (entry, big)
        lists, floor = cell(name, n, "rainmill, lists"), cell(name, n, "conversion floor")
        if lists and floor:
            ratios.append(f"{name} {lists / floor:.2f}")
            ok = lists / floor <= 1.15
            if not ok:
                ratios[-1] += " (over)"
    if ratios:
        worst_ok = all("(over)" not in r for r in ratios)
        lines.append(f"- List paths within 1.15× of the conversion floor: {', '.join(ratios)} — {verdict(worst_ok)}")
    # (workload, serial calls/s, threaded calls/s, ratio, CPUs busy) rows of benchmarks/bench_threads.py
    for workload, _, _, ratio, *_ in EXTRA_ROWS.get("bench_threads", []):
        if any(word in workload.lower() for word in ("level pool", "muskingum")):
            lines.append(
                f"- {workload}, 2 threads ≥ 1.8× the serial throughput: {ratio:.2f}× — {verdict(ratio >= 1.8)}"
            )
    for name, row in FRESH_FIGURES.items():
        ratio = row["kept"][1] / row["kept"][3]
        lines.append(
            f"- {name}, calls 2-10 in a fresh process within 1.2× of the warm figure: {ratio:.2f}× "
            f"(with glibc's defaults, before: {row['glibc'][1] / row['kept'][3]:.2f}×) — {verdict(ratio <= 1.2)}"
        )
    rainmill_ns, python_ns = pool["rainmill"], pool["pure Python"]
    lines.append(f"- Level pool ≤ 25 ns per internal step: {rainmill_ns:.1f} ns — {verdict(rainmill_ns <= 25)}")
    ratio = python_ns / rainmill_ns
    lines.append(f"- Level pool ≥ 100× the pure-Python loop: {ratio:.0f}× — {verdict(ratio >= 100)}")
    return lines


EXTRA_ROWS = {}  # module name -> the rows it returned, for the targets
FRESH_FIGURES = {}  # workload -> fresh_process() figures, for the targets


def extras():
    """Sections from the optional benchmark modules that are present: `report() -> str`, or
    `rows()` with `markdown(rows)`, or else a `main()` whose printed output is taken."""
    sections, failures = [], []
    for name in EXTRA_MODULES:
        if importlib.util.find_spec(name) is None:
            continue
        try:
            module = importlib.import_module(name)
            if hasattr(module, "report"):
                text = module.report()
            elif hasattr(module, "rows") and hasattr(module, "markdown"):
                figures = module.rows()
                EXTRA_ROWS[name] = figures
                text = module.markdown(figures)
            else:
                captured = io.StringIO()
                argv, sys.argv = sys.argv, [name]
                try:
                    with contextlib.redirect_stdout(captured):
                        module.main()
                finally:
                    sys.argv = argv
                text = "```\n" + captured.getvalue().rstrip() + "\n```"
        except Exception as error:  # an extra that breaks is reported, and fails the run at the end
            failures.append(f"{name}: {type(error).__name__}: {error}")
            text = f"failed: {type(error).__name__}: {error}"
        sections.append(f"## {name}\n\n{text.rstrip()}\n")
        print(sections[-1], flush=True)
    return sections, failures


def machine():
    cpu = platform.processor() or "?"
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    commit = "?"
    with contextlib.suppress(OSError, subprocess.SubprocessError):
        commit = subprocess.run(
            ["git", "describe", "--always", "--dirty"], cwd=HERE, capture_output=True, text=True, check=True
        ).stdout.strip()
    return [
        f"- date: {datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M} UTC",
        f"- machine: {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}; rainmill {commit}; NumPy {peers.version('numpy')}; "
        f"SciPy {peers.version('scipy')}; Numba {peers.version('numba')}",
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes only, few repeats (a smoke run)")
    parser.add_argument("--fresh-child", help=argparse.SUPPRESS)
    parser.add_argument("--only", help="only the workloads whose name contains this text (no extras)")
    parser.add_argument("--output", default=str(HERE / "RESULTS.md"), help="where to write the markdown")
    parser.add_argument(
        "--save-baseline",
        action="store_true",
        help="record this build's array-path times as the 'before' of the targets",
    )
    args = parser.parse_args()
    if args.fresh_child:
        fresh_child(args.fresh_child)
        return 0
    started = time.perf_counter()

    runner = Runner(args.quick)
    print("\n".join(machine()) + "\n")
    print("Times in ms, best of several runs.\n")
    print(Runner.header(), flush=True)
    for make in WORKLOADS:
        sizes = SIZES.get(make, Workload.sizes)
        for n in sizes[:1] if args.quick else sizes:
            if args.only and args.only not in make(10).name:
                continue
            runner.run_workload(make, n)

    fresh = []
    if not args.quick:
        FRESH_FIGURES.update(fresh_process())
        fresh = fresh_lines(FRESH_FIGURES)
        print("\n" + "\n".join(fresh))
    if args.only:
        return 0
    pool = level_pool(runner)
    pool_lines = level_pool_lines(pool)
    print("\n" + "\n".join(pool_lines))
    sections, failures = extras()
    target_lines = targets(runner, pool)
    print("\n".join(target_lines))
    if args.save_baseline:
        with BASELINE_FILE.open("w") as f:
            f.write("# Array-path times (ms) before array arguments were read through the buffer protocol.\n")
            for name, n, cells in runner.rows:
                if isinstance(cells["rainmill, float64 arrays"], float):
                    f.write(f"{name} {n} {cells['rainmill, float64 arrays'] * 1e3:.3f}\n")
    problems = runner.mismatches + failures
    for problem in problems:
        print("MISMATCH: " + problem if problem in runner.mismatches else "FAILED: " + problem)

    table = [Runner.header()] + [Runner.format_row(name, n, cells) for name, n, cells in runner.rows]
    text = "\n".join(
        [
            "# Benchmarks",
            "",
            "Written by `make bench` (benchmarks/run.py). Times in milliseconds, best of several runs, all",
            "in one process; a shared 2-core machine gives noisy figures, so read them as indicative.",
            "Pure-Python loops are checked bit for bit against rainmill; Numba and SciPy/NumPy to rounding.",
            "",
            *machine(),
            "",
            *table,
            "",
            *fresh,
            *pool_lines,
            *sections,
            *target_lines,
            *(["", "## Problems", ""] + [f"- {p}" for p in problems] if problems else []),
            "",
        ]
    )
    Path(args.output).write_text(text)
    print(f"\nwritten {args.output} in {time.perf_counter() - started:.0f} s")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
