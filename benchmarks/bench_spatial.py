"""The distributed kernels against plain loops and Numba, and a year of hourly radar onto 100 subbasins.

    .venv/bin/python benchmarks/bench_spatial.py [--grid-only]      (also a section of `make bench`)

Kernels: ModClark (a subbasin-mean excess over 2,000 travel times, and a gridded excess of 400
cells) and the kinematic waves (a plane into a channel; a channel reach), timed from the call to the
NumPy view of the result; the pure-Python column is distributed_loops.py on lists (checked bit for bit
here and in tests/test_distributed_kernels.py), the Numba column the same loops compiled with
`numba.njit` on arrays. Targets: at least 50x the pure-Python loop, within 2x of Numba.

The grid: a year of hourly float32 rain on 200 x 200 cells (8,760 steps, 1.4 GB of NetCDF written
into a temporary directory, never kept) averaged onto 100 polygons by `spatial.subbasin_means`, in a
fresh process whose wall time and peak resident memory are reported. Targets: <= 30 s, <= 1 GB.
"""

import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import distributed_loops as loops  # noqa: E402
import peers  # noqa: E402
from bench_event import best, view  # noqa: E402  (the same timer as the event kernels)
from rainmill_models import _kernels as k  # noqa: E402

SPEEDUP_TARGET = 50.0
NUMBA_TARGET = 2.0
GRID = (8760, 200, 200)
SUBBASINS = 10  # a side: 100 subbasins
GRID_SECONDS, GRID_BYTES = 30.0, 1 << 30


def numba_functions():
    if not peers.installed("numba"):
        return None
    import numba

    flow = peers.njit_with(numba, loops.section_flow, cbrt=np.cbrt)
    store = numba.njit(loops.storage_of)
    advance = peers.njit_with(numba, loops.advance, section_flow=flow)
    routing = peers.njit_with(numba, loops.kinematic_routing_into, section_flow=flow, advance=advance, storage_of=store)
    transform = peers.njit_with(
        numba, loops.kinematic_transform_into, section_flow=flow, advance=advance, storage_of=store
    )
    lagged = numba.njit(loops.lagged_mean_into)
    convolve = numba.njit(loops.convolve_into)

    @numba.njit
    def modclark(excess, lags, weights, unit, shared):
        cells = len(lags)
        mean = np.zeros(len(excess) if shared else len(excess) // cells)
        lagged(excess, cells, lags, weights, mean, shared)
        out = np.zeros(len(mean))
        convolve(mean, unit, out)
        return out

    @numba.njit
    def route(inflow, length, slope, n, plane, b, z, cells, dt):
        size = len(inflow)
        out, volume, storage = np.zeros(size), np.zeros(size - 1), np.zeros(size)
        routing(inflow, out, volume, storage, np.zeros(cells), np.zeros(cells), length, slope, n, plane, b, z, dt)
        return out

    @numba.njit
    def runoff(excess, area, plane, channel, cells, dt):
        size = len(excess)
        out, volume, storage = np.zeros(size), np.zeros(size - 1), np.zeros(size)
        transform(excess, out, volume, storage, np.zeros(cells), np.zeros(cells), np.zeros(cells), np.zeros(cells),
                  area, plane, channel, dt)  # fmt: skip
        return out

    return modclark, route, runoff


def cases():
    rng = np.random.default_rng(3)
    steps = 8760
    excess = rng.gamma(0.6, 0.05, steps) * (rng.random(steps) < 0.2)
    lags = np.sort(rng.random(2000)) * 24.0
    weights = np.full(2000, 1.0 / 2000)
    unit = np.exp(-np.arange(60) / 8.0)
    cells = rng.gamma(0.6, 0.05, (steps, 400)).ravel() * (rng.random(steps * 400) < 0.2)
    grid_lags = rng.random(400) * 24.0
    grid_weights = np.full(400, 1.0 / 400)
    t = np.arange(2000, dtype=np.float64) % 200
    inflow = 30.0 + 2000.0 * (t / 20.0) ** 2 * np.exp(2.0 * (1.0 - t / 20.0)) / 4.0
    storm = np.zeros(2000)
    storm[10:60] = 0.05
    storm[700:760] = 0.08
    channel = ("trapezoid", 10.0, 1.5)
    return [
        ("ModClark, mean excess, 8,760 steps x 2,000 travel times", k.modclark_transform,
         (excess, lags, weights, unit, True), loops.py_modclark, 0),
        ("ModClark, gridded excess, 8,760 steps x 400 cells", k.modclark_transform,
         (cells, grid_lags, grid_weights, unit, False), loops.py_modclark, 0),
        ("kinematic-wave routing, 2,000 steps x 20 cells", k.kinematic_wave_routing,
         (inflow, 30000.0, 0.001, 0.04, *channel, 20, 900.0), loops.py_kinematic_routing, 1),
        ("kinematic-wave plane and channel, 2,000 steps x 20 cells", k.kinematic_wave_transform,
         (storm, 640.0, 600.0, 0.02, 0.15, 8000.0, 0.004, 0.035, *channel, 20, 300.0), loops.py_kinematic_transform, 1),
    ]  # fmt: skip


def numba_call(compiled, index, args):
    """The Numba loop of case `index` on its arguments, as a call without arguments."""
    modclark, route, runoff = compiled
    if index < 2:
        return lambda: modclark(*args)
    if index == 2:
        inflow, length, slope, n, shape, b, z, cells, dt = args
        return lambda: route(inflow, length, slope, n, shape == "plane", b, z, cells, dt)
    e, area, pl, ps, pn, cl, cs, cn, shape, b, z, cells, dt = args
    return lambda: runoff(e, area, (pl, ps, pn), (cl, cs, cn, shape == "plane", b, z), cells, dt)


def rows():
    compiled = numba_functions()
    out = []
    for index, (label, kernel, args, loop, triple) in enumerate(cases()):
        result = kernel(*args)
        got = view(result[0] if triple else result)
        listed = [a.tolist() if isinstance(a, np.ndarray) else a for a in args]
        begin = time.perf_counter()
        plain = loop(*listed)
        python = time.perf_counter() - begin
        assert got.tolist() == (plain[0] if triple else plain), label
        native = best(
            lambda kernel=kernel, args=args, triple=triple: view(kernel(*args)[0] if triple else kernel(*args))
        )
        numba = None
        if compiled is not None:
            call = numba_call(compiled, index, args)
            call()
            numba = best(call)
        out.append((label, native, python, numba))
    return out


def grid_child(path, count):
    """The child's work: the means of the file onto count x count squares, offset by a third of a cell."""
    import shapely

    from rainmill_models import spatial

    nx = GRID[2]
    side = nx / count
    shapes = {
        f"s{i}-{j}": shapely.box(j * side + 0.3, i * side + 0.3, (j + 1) * side - 0.3, (i + 1) * side - 0.3)
        for i in range(count)
        for j in range(count)
    }
    begin = time.perf_counter()
    means = spatial.subbasin_means(path, shapes)
    elapsed = time.perf_counter() - begin
    print(elapsed, means.shape[0], means.shape[1], float(means.to_numpy().mean()))


def write_grid(path):
    import netCDF4

    steps, ny, nx = GRID
    rng = np.random.default_rng(5)
    with netCDF4.Dataset(path, "w") as data:
        data.createDimension("time", steps)
        data.createDimension("y", ny)
        data.createDimension("x", nx)
        time_var = data.createVariable("time", "f8", ("time",))
        time_var.units = "hours since 2024-01-01 00:00:00"
        time_var[:] = np.arange(steps, dtype=np.float64)
        data.createVariable("y", "f8", ("y",))[:] = np.arange(ny) + 0.5
        data.createVariable("x", "f8", ("x",))[:] = np.arange(nx) + 0.5
        rain = data.createVariable("rain", "f4", ("time", "y", "x"), chunksizes=(24, ny, nx))
        rain.units = "mm"
        for start in range(0, steps, 240):
            block = rng.gamma(0.3, 1.0, (min(240, steps - start), ny, nx)).astype(np.float32)
            rain[start : start + len(block)] = block


def grid_figures():
    with tempfile.TemporaryDirectory() as directory:
        path = str(Path(directory) / "radar.nc")
        write_grid(path)
        size = Path(path).stat().st_size
        code = f"import sys; sys.path.insert(0, {str(HERE)!r}); import bench_spatial; bench_spatial.grid_child({path!r}, {SUBBASINS})"
        begin = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        wall = time.perf_counter() - begin
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        elapsed, steps, basins, _ = done.stdout.split()
        return size, float(elapsed), wall, peak, int(steps), int(basins)


def markdown(kernel_rows, grid):
    lines = ["## Distributed methods and gridded means (bench_spatial.py)", ""]
    if kernel_rows:
        lines += [
            "| kernel | rainmill ms | pure Python ms | x Python | Numba ms | rainmill / Numba |",
            "|---|---:|---:|---:|---:|---:|",
        ]
    worst_python, worst_numba = float("inf"), 0.0
    for label, native, python, numba in kernel_rows:
        speedup = python / native
        worst_python = min(worst_python, speedup)
        versus = "not installed" if numba is None else f"{native / numba:.2f}"
        if numba is not None:
            worst_numba = max(worst_numba, native / numba)
        numba_ms = "not installed" if numba is None else f"{numba * 1e3:.2f}"
        lines.append(f"| {label} | {native * 1e3:.2f} | {python * 1e3:.0f} | {speedup:.0f} | {numba_ms} | {versus} |")
    lines += (
        [
            "",
            f"- At least {SPEEDUP_TARGET:.0f}x pure Python: worst {worst_python:.0f}x — {'met' if worst_python >= SPEEDUP_TARGET else 'not met'}",
            f"- Within {NUMBA_TARGET:.0f}x of Numba: worst {worst_numba:.2f}x — {'met' if worst_numba <= NUMBA_TARGET else 'not met'}",
        ]
        if kernel_rows
        else []
    )
    if grid is not None:
        size, elapsed, wall, peak, steps, basins = grid
        lines += [
            "",
            f"A year of hourly float32 rain, {GRID[1]} x {GRID[2]} cells x {steps:,} steps ({size / 1e9:.2f} GB of NetCDF), onto {basins} subbasins:",
            f"- `subbasin_means` {elapsed:.1f} s (the child process {wall:.1f} s with its imports) — "
            f"{'met' if elapsed <= GRID_SECONDS else 'not met'} (<= {GRID_SECONDS:.0f} s)",
            f"- peak resident memory {peak / 2**20:.0f} MiB — {'met' if peak <= GRID_BYTES else 'not met'} (<= 1 GiB)",
        ]
    return "\n".join(lines)


def report():
    """The section of benchmarks/RESULTS.md."""
    return markdown(rows(), grid_figures())


if __name__ == "__main__":
    if sys.argv[1:] == ["--grid-only"]:
        print(markdown([], grid_figures()))
    else:
        print(report())
