"""The event kernels of rainmill_models._kernels against a pure-Python loop and a Numba loop of each.

    .venv/bin/python benchmarks/bench_event.py      (also a section of `make bench`, benchmarks/run.py)

Every kernel takes float64 arrays (the models package's path) and is timed from the call to the
NumPy view of its result; the pure-Python column is the loop of event_loops.py on lists (checked bit
for bit against the kernel here and in tests/test_event_kernels.py); the Numba column is the same
loop compiled with `numba.njit` on arrays, allocating its own outputs. Targets: at least 50x the
pure-Python loop, within 2x of the Numba loop. Times are the best of several runs, in milliseconds.
"""

import importlib
import json
import math
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import event_loops as loops  # noqa: E402
import peers  # noqa: E402
from rainmill_models import _kernels as k  # noqa: E402

SPEEDUP_TARGET = 50.0
NUMBA_TARGET = 2.0


def best(call, repeats=7, budget=2.0, least=0.25):
    """Smallest wall time of at least `repeats` calls and `least` seconds of calls, within about
    `budget` seconds: a call of tens of microseconds is timed thousands of times, so a passing
    slowdown of the machine cannot decide its figure."""
    times = []
    started = time.perf_counter()
    while not times or (
        (len(times) < repeats or time.perf_counter() - started < least) and time.perf_counter() - started < budget
    ):
        begin = time.perf_counter()
        call()
        times.append(time.perf_counter() - begin)
    return min(times)


def view(values):
    return np.frombuffer(values, dtype=np.float64)


def rain(n, seed=1):
    rng = np.random.default_rng(seed)
    return rng.gamma(0.6, 0.05, n) * (rng.random(n) < 0.6)


def inflow(n, seed=2, period=200):
    t = np.arange(n, dtype=np.float64) % period
    rng = np.random.default_rng(seed)
    return 30.0 + 2000.0 * (t / 20.0) ** 2 * np.exp(2.0 * (1.0 - t / 20.0)) / 4.0 + rng.random(n)


def numba_functions():
    """The loops compiled for arrays (None without Numba)."""
    if not peers.installed("numba"):
        return None
    import numba

    table_time, table_flow = np.array(loops.UH_TIME), np.array(loops.UH_FLOW)
    compiled = {
        name: peers.compiled(numba, getattr(loops, name), loops.impervious_into)
        for name in ("curve_number_into", "initial_constant_into", "green_ampt_into")
    }
    scs_layout = peers.compiled(numba, loops.scs_layout, loops.table_area)
    scs_shape = peers.compiled(numba, loops.scs_shape_into, loops.unit_volume_into)
    user_shape = peers.compiled(numba, loops.user_shape_into, loops.unit_volume_into)
    convolve = numba.njit(loops.convolve_into)
    lag = numba.njit(loops.lag_into)
    hydraulics = numba.njit(loops.channel_hydraulics)
    grid = peers.njit_with(numba, loops.cunge_grid, channel_hydraulics=hydraulics)
    route = peers.njit_with(numba, loops.cunge_route_into, channel_hydraulics=hydraulics)
    puls = peers.compiled(numba, loops.puls_into, loops.interval_of, loops.along)
    recession = numba.njit(loops.recession_into)

    def loss(name):
        into = compiled[name]

        @numba.njit
        def run(water, *args):
            excess, infiltration = np.empty_like(water), np.empty_like(water)
            into(water, excess, infiltration, *args)
            return excess, infiltration

        return run

    @numba.njit
    def scs_transform(excess, lag_hours, prf, area, hours):
        count, stretch, peak_time = scs_layout(table_time, table_flow, lag_hours, prf, hours)
        unit = np.empty(count)
        scs_shape(unit, table_time, table_flow, stretch, peak_time, hours, area)
        out = np.zeros_like(excess)
        convolve(excess, unit, out)
        return out

    @numba.njit
    def user_transform(excess, ordinates, duration, area, hours):
        unit = np.empty(int(math.floor((len(ordinates) - 1) * duration / hours) + 1.0))
        user_shape(unit, ordinates, duration, hours, area)
        out = np.zeros_like(excess)
        convolve(excess, unit, out)
        return out

    @numba.njit
    def lag_routing(flow, lag_hours, hours):
        out = np.empty_like(flow)
        lag(flow, out, lag_hours, hours)
        return out

    @numba.njit
    def cunge(flow, length, slope, n, b, z, dt):
        cells, internal, dx, step, y0, conveyance, wet = grid(flow, length, slope, n, b, z, dt)
        out = np.empty_like(flow)
        old, new = np.full(cells + 1, flow[0]), np.full(cells + 1, flow[0])
        route(
            flow, out, old, new, np.full(cells, y0), np.zeros(cells), internal, dx, step, slope, b, z, conveyance, wet
        )
        return out

    @numba.njit
    def puls_routing(flow, storage, outflow, segments, dt):
        out = flow.copy()
        puls(out, storage, outflow, np.empty_like(storage), np.empty(len(storage) - 1), segments, dt)
        return out

    @numba.njit
    def recession_baseflow(direct, initial, constant, threshold, is_ratio, hours):
        out = np.empty_like(direct)
        recession(direct, out, initial, constant, threshold, is_ratio, hours)
        return out

    return {
        "curve_number": loss("curve_number_into"),
        "initial_constant": loss("initial_constant_into"),
        "green_ampt": loss("green_ampt_into"),
        "scs": scs_transform,
        "user": user_transform,
        "lag": lag_routing,
        "cunge": cunge,
        "puls": puls_routing,
        "recession": recession_baseflow,
    }


def workloads():
    """(name, n, kernel call, pure-Python call, Numba call name and arguments)."""
    n = 20_000
    water = rain(n)
    # The curve number's loop is a few nanoseconds a step: 10^5 steps, so that the conversions at the
    # call count as little as in a season of hourly rain.
    season = rain(100_000, seed=4)
    excess = rain(5_000, seed=3)
    flow = inflow(20_000)
    short = inflow(2_000)
    ordinates = [0.0, 120.0, 410.0, 300.0, 180.0, 90.0, 35.0, 10.0, 0.0]
    storage = [0.0, 2.0e5, 9.0e5, 2.5e6, 6.0e6, 1.2e7, 3.0e7]
    outflow = [0.0, 50.0, 200.0, 500.0, 1000.0, 2000.0, 4000.0]
    channel = (40_000.0, 0.001, 0.035, 40.0, 2.0, 1800.0)
    scs_args = (2.0, 484.0, 640.0, 1.0 / 12.0)

    def scs_kernel():
        return k.convolve_unit_hydrograph(excess, view(k.scs_unit_hydrograph(*scs_args)))

    def user_kernel():
        return k.convolve_unit_hydrograph(excess, view(k.user_unit_hydrograph(ordinates, 0.5, 640.0, 1.0 / 12.0)))

    lists = {
        "water": water.tolist(),
        "season": season.tolist(),
        "excess": excess.tolist(),
        "flow": flow.tolist(),
        "short": short.tolist(),
    }
    return [
        (
            "SCS curve number",
            len(season),
            lambda: k.scs_curve_number_loss(season, 78.0, 0.2, 0.1),
            lambda: loops.py_loss(loops.curve_number_into, lists["season"], 78.0, 0.2, 0.1),
            ("curve_number", (season, 78.0, 0.2, 0.1)),
        ),
        (
            "initial and constant",
            n,
            lambda: k.initial_constant_loss(water, 0.5, 0.1, 0.1, 0.25),
            lambda: loops.py_loss(loops.initial_constant_into, lists["water"], 0.5, 0.1, 0.1, 0.25),
            ("initial_constant", (water, 0.5, 0.1, 0.1, 0.25)),
        ),
        (
            "Green-Ampt",
            n,
            lambda: k.green_ampt_loss(water, 4.3, 0.15, 0.3, 0.1, 0.25),
            lambda: loops.py_loss(loops.green_ampt_into, lists["water"], 4.3, 0.15, 0.3, 0.1, 0.25),
            ("green_ampt", (water, 4.3, 0.15, 0.3, 0.1, 0.25)),
        ),
        (
            "SCS unit hydrograph (5-min step, lag 2 h)",
            len(excess),
            scs_kernel,
            lambda: loops.py_convolve(lists["excess"], loops.py_scs_uh(*scs_args)),
            ("scs", (excess, *scs_args)),
        ),
        (
            "user unit hydrograph (5-min step)",
            len(excess),
            user_kernel,
            lambda: loops.py_convolve(lists["excess"], loops.py_user_uh(ordinates, 0.5, 640.0, 1.0 / 12.0)),
            ("user", (excess, np.array(ordinates), 0.5, 640.0, 1.0 / 12.0)),
        ),
        (
            "lag, 2.4 steps",
            len(flow),
            lambda: k.lag_routing(flow, 1.2, 0.5),
            lambda: loops.py_lag(lists["flow"], 1.2, 0.5),
            ("lag", (flow, 1.2, 0.5)),
        ),
        (
            "Muskingum-Cunge, 40,000 ft",
            len(short),
            lambda: k.muskingum_cunge_routing(short, *channel),
            lambda: loops.py_muskingum_cunge(lists["short"], *channel),
            ("cunge", (short, *channel)),
        ),
        (
            "modified Puls, 3 sub-reaches",
            len(flow),
            lambda: k.modified_puls_routing(flow, storage, outflow, 3, 1800.0),
            lambda: loops.py_puls(lists["flow"], storage, outflow, 3, 1800.0),
            ("puls", (flow, np.array(storage), np.array(outflow), 3, 1800.0)),
        ),
        (
            "recession baseflow",
            len(flow),
            lambda: k.recession_baseflow(flow, 20.0, 0.9, 0.25, True, 0.5),
            lambda: loops.py_recession(lists["flow"], 20.0, 0.9, 0.25, True, 0.5),
            ("recession", (flow, 20.0, 0.9, 0.25, True, 0.5)),
        ),
    ]


def finish(result):
    """The NumPy views of a kernel's result (one or several Values)."""
    return [view(part) for part in result] if isinstance(result, tuple) else view(result)


def as_lists(result):
    return [list(part) for part in result] if isinstance(result, tuple) else list(result)


def rows():
    """(workload, n, kernel ms, pure-Python ms, Numba ms or None, bit-exact) per workload."""
    compiled = numba_functions()
    out = []
    for name, n, kernel, python, (numba_name, numba_args) in workloads():
        got = finish(kernel())
        exact = as_lists([part.tolist() for part in got] if isinstance(got, list) else got.tolist()) == as_lists(
            python()
        )
        kernel_ms = best(lambda kernel=kernel: finish(kernel())) * 1e3
        python_ms = best(python, repeats=3) * 1e3
        numba_ms = None
        if compiled is not None:
            function = compiled[numba_name]
            function(*numba_args)  # compile outside the timing
            numba_ms = best(lambda function=function, args=numba_args: function(*args)) * 1e3
        out.append((name, n, kernel_ms, python_ms, numba_ms, exact))
    return out


def markdown(figures):
    lines = [
        "Each kernel on float64 arrays (call to NumPy view), the same loop in pure Python on lists and",
        "compiled with Numba on arrays. Targets: >= 50x pure Python, <= 2x Numba.",
        "",
        "| kernel | n | rainmill ms | pure Python ms | Numba ms | x pure Python | / Numba | bit-exact |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for name, n, kernel_ms, python_ms, numba_ms, exact in figures:
        speedup = python_ms / kernel_ms
        against = "n/a" if numba_ms is None else f"{kernel_ms / numba_ms:.2f}"
        flags = ("" if speedup >= SPEEDUP_TARGET else " (below 50x)") + (
            "" if numba_ms is None or kernel_ms / numba_ms <= NUMBA_TARGET else " (above 2x)"
        )
        lines.append(
            f"| {name} | {n} | {kernel_ms:.3g} | {python_ms:.3g} | "
            f"{'not installed' if numba_ms is None else f'{numba_ms:.3g}'} | {speedup:.0f}x | {against}{flags} | "
            f"{'yes' if exact else 'NO'} |"
        )
    fast = sum(python_ms / kernel_ms >= SPEEDUP_TARGET for _, _, kernel_ms, python_ms, _, _ in figures)
    near = [kernel_ms / numba_ms <= NUMBA_TARGET for _, _, kernel_ms, _, numba_ms, _ in figures if numba_ms]
    lines += [
        "",
        f"- Each kernel >= 50x its pure-Python loop: {fast} of {len(figures)} — {'met' if fast == len(figures) else 'not met'}",
        f"- Each kernel within 2x of its Numba loop: {sum(near)} of {len(near)} — "
        f"{'met' if near and all(near) else 'not met'}",
    ]
    return "\n".join(lines)


STUDY_WORKERS = 2
STUDY_TARGET = 1.7


def study_events(count=100, durations=(6.0, 12.0, 24.0)):
    """`count` frequency storms of each duration: alternating blocks from one synthetic DDF curve
    (depth = 3.28 t / (t + 0.25)^0.75 in, t in hours: 7.2 in in 24 h), each storm's depth scaled by a
    draw in [0.5, 1.2] and its peak placed at a draw in [0.3, 0.6] of its duration (seeded)."""
    from rainmill_models import storms

    curve = storms.ddf_curve(3.28, 0.25, 0.75)
    rng = np.random.default_rng(17)
    events = {}
    for i in range(count):
        scale, peak = rng.uniform(0.5, 1.2), rng.uniform(0.3, 0.6)
        for hours in durations:
            depth = curve(hours) * scale
            events[f"{i:03d}-{hours:g}h"] = storms.alternating_block_storm(
                curve, hours, "2024-06-01T00:00", "6min", depth=depth, peak=peak
            )
    return events


def study(count=100):
    """The design-storm study on run_many: serial, then 2 processes, then Dask with 2 workers.

    Returns (runs, serial s, [(executor, seconds, same results)]).
    """
    import rainmill_models as rm
    from bench_calibrate import dask_client

    network = rm.Network.load(HERE.parent / "examples" / "design_storm.toml")
    events = study_events(count)
    began = time.perf_counter()
    reference = rm.run_many(network, events, progress=False)
    serial = time.perf_counter() - began
    figures = []
    began = time.perf_counter()
    table = rm.run_many(network, events, executor=STUDY_WORKERS, progress=False)
    figures.append((f"processes ({STUDY_WORKERS})", time.perf_counter() - began, table.equals(reference)))
    dask = dask_client(STUDY_WORKERS)
    if dask is not None:
        client, close = dask
        try:
            # A cluster in use: its workers have started and imported the package (as the calibration
            # benchmark warms its pools and cluster); the process pool above starts within its timing.
            client.run(importlib.import_module, "rainmill_models.calibration.ensemble_runs")
            began = time.perf_counter()
            table = rm.run_many(network, events, executor=client, progress=False)
            figures.append(
                (f"Dask LocalCluster ({STUDY_WORKERS})", time.perf_counter() - began, table.equals(reference))
            )
        finally:
            close()
    return len(events), serial, figures


def study_markdown(runs, serial, figures):
    lines = [
        f"Design-storm study: {runs} storms (100 x 6, 12, 24 h alternating blocks) through examples/design_storm.toml",
        "(three subbasins, three reaches, a detention pond) on `run_many`.",
        "",
        "| executor | seconds | runs/s | x serial | same table |",
        "|---|---:|---:|---:|---|",
        f"| serial | {serial:.2f} | {runs / serial:.1f} | 1.00 | |",
    ]
    best = 0.0
    for name, seconds, same in figures:
        best = max(best, serial / seconds)
        lines.append(
            f"| {name} | {seconds:.2f} | {runs / seconds:.1f} | {serial / seconds:.2f} | {'yes' if same else 'NO'} |"
        )
    verdict = "met" if best >= STUDY_TARGET else "not met"
    lines += ["", f"- The study >= {STUDY_TARGET}x serial on {STUDY_WORKERS} workers: {best:.2f}x — {verdict}"]
    return "\n".join(lines)


def study_in_fresh_process(count=100):
    """study() in a new interpreter whose main module is a one-line `-c`, like a user's small script:
    the workers of its process pool then start without importing this benchmark runner's modules."""
    code = (
        f"import json, sys; sys.path.insert(0, {str(HERE)!r}); import bench_event; "
        f"print(json.dumps(bench_event.study({count})))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    runs, serial, figures = json.loads(done.stdout.splitlines()[-1])
    return runs, serial, [tuple(figure) for figure in figures]


def report():
    """The section of benchmarks/RESULTS.md."""
    return markdown(rows()) + "\n\n" + study_markdown(*study_in_fresh_process())


if __name__ == "__main__":
    if sys.argv[1:] == ["--study"]:
        print(study_markdown(*study()))
    else:
        print(report())
