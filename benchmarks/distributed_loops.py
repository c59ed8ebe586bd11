"""The distributed methods (ModClark, kinematic waves) as plain loops, in their kernels' order of operations.

As in event_loops.py, each `*_into` function writes into containers the caller allocates, so the same
source runs as pure Python on lists and, compiled with `numba.njit`, on float64 arrays; the `py_*`
wrappers allocate lists. tests/test_distributed_kernels.py checks them bit for bit against
rainmill_models._kernels, and bench_spatial.py times both against the kernels.
"""

import math

MANNING = 1.486
SQUARE_FEET_PER_ACRE = 43560.0
cbrt = math.cbrt  # the C library's cube root (bench_spatial.py binds numpy.cbrt for Numba, which lacks math.cbrt)


def lagged_mean_into(excess, cells, lags, weights, mean, shared):
    steps = len(mean)
    for t in range(steps):
        for c in range(cells):
            share = weights[c] * (excess[t] if shared else excess[t * cells + c])
            k = math.floor(lags[c])
            f = lags[c] - k
            if t + k >= steps:
                continue
            mean[t + k] += (1.0 - f) * share
            if f > 0.0 and t + k + 1 < steps:
                mean[t + k + 1] += f * share


def convolve_into(depths, unit, out):
    n = len(out)
    for j in range(n):
        e = depths[j]
        if e == 0.0:
            continue
        for k in range(min(len(unit), n - j)):
            out[j + k] += e * unit[k]


def section_flow(a, plane, b, z, conveyance, wet):
    if not a > 0.0:
        return 0.0
    perimeter = b
    if not plane:
        depth = a / b if z == 0.0 else 2.0 * a / (b + math.sqrt(b * b + 4.0 * z * a))
        perimeter = b + 2.0 * depth * wet
    radius = a / perimeter
    return conveyance * a * cbrt(radius * radius)


def advance(area, flow, dx, plane, b, z, conveyance, wet, dt, first, last, lateral):
    """One interval of the four-point scheme; returns the volume that left."""
    cells = len(area)
    elapsed = 0.0
    left = dt
    leaving = 0.0
    while True:
        fastest = 0.0
        for j in range(cells):
            q = section_flow(area[j], plane, b, z, conveyance, wet)
            flow[j] = q
            if area[j] > 0.0 and q / area[j] > fastest:
                fastest = q / area[j]
        celerity = fastest * (5.0 / 3.0)
        tau = left
        final = True
        if celerity > 0.0 and dx / celerity < tau:
            tau = dx / celerity
            final = False
        upstream = first + (last - first) * ((elapsed + 0.5 * tau) / dt)
        ratio = tau / dx
        gain = lateral * tau
        entering = upstream
        for j in range(cells):
            q = flow[j]
            area[j] = area[j] + (entering - q) * ratio + gain
            entering = q
        leaving += flow[cells - 1] * tau
        if final:
            return leaving
        elapsed += tau
        left = dt - elapsed
        if not left > 0.0:
            return leaving


def storage_of(area, dx):
    total = 0.0
    for a in area:
        total += a
    return total * dx


def kinematic_routing_into(inflow, out, volume, storage, area, flow, length, slope, n, plane, b, z, dt):
    cells = len(area)
    dx = length / cells
    conveyance = (MANNING / n) * math.sqrt(slope)
    wet = math.sqrt(1.0 + z * z)
    start = inflow[0]
    hi = 0.0
    if start > 0.0:
        lo = 0.0
        hi = 1.0
        while section_flow(hi, plane, b, z, conveyance, wet) < start:
            hi *= 2.0
        for _ in range(100):
            mid = 0.5 * (lo + hi)
            if section_flow(mid, plane, b, z, conveyance, wet) < start:
                lo = mid
            else:
                hi = mid
    for j in range(cells):
        area[j] = hi
    out[0] = section_flow(area[cells - 1], plane, b, z, conveyance, wet)
    storage[0] = storage_of(area, dx)
    for t in range(1, len(inflow)):
        volume[t - 1] = advance(area, flow, dx, plane, b, z, conveyance, wet, dt, inflow[t - 1], inflow[t], 0.0)
        out[t] = section_flow(area[cells - 1], plane, b, z, conveyance, wet)
        storage[t] = storage_of(area, dx)


def kinematic_transform_into(
    excess, out, volume, storage, sheet, sheet_flow, stream, stream_flow, area_acres, plane, channel, dt
):
    """`plane` = (length, slope, n); `channel` = (length, slope, n, is_plane, b, z), length 0 for none."""
    length, slope, n = plane
    width = area_acres * SQUARE_FEET_PER_ACRE / length
    sheet_dx = length / len(sheet)
    sheet_k = (MANNING / n) * math.sqrt(slope)
    c_length, c_slope, c_n, c_plane, c_b, c_z = channel
    has_channel = c_length != 0.0
    stream_dx = c_length / len(stream) if has_channel else 1.0
    stream_k = (MANNING / c_n) * math.sqrt(c_slope) if has_channel else 0.0
    wet = math.sqrt(1.0 + c_z * c_z)
    for t in range(1, len(excess)):
        rain = (excess[t - 1] / 12.0 / dt) * width
        v = advance(sheet, sheet_flow, sheet_dx, True, width, 0.0, sheet_k, 1.0, dt, 0.0, 0.0, rain)
        stored = storage_of(sheet, sheet_dx)
        q = section_flow(sheet[len(sheet) - 1], True, width, 0.0, sheet_k, 1.0)
        if has_channel:
            v = advance(
                stream, stream_flow, stream_dx, c_plane, c_b, c_z, stream_k, wet, dt, 0.0, 0.0, v / (dt * c_length)
            )
            stored += storage_of(stream, stream_dx)
            q = section_flow(stream[len(stream) - 1], c_plane, c_b, c_z, stream_k, wet)
        volume[t - 1] = v
        out[t] = q
        storage[t] = stored


def py_modclark(excess, lags, weights, unit, shared):
    cells = len(lags)
    mean = [0.0] * (len(excess) if shared else len(excess) // cells)
    lagged_mean_into(excess, cells, lags, weights, mean, shared)
    out = [0.0] * len(mean)
    convolve_into(mean, unit, out)
    return out


def py_kinematic_routing(inflow, length, slope, n, shape, b, z, cells, dt):
    size = len(inflow)
    out, volume, storage = [0.0] * size, [0.0] * max(size - 1, 0), [0.0] * size
    kinematic_routing_into(
        inflow, out, volume, storage, [0.0] * cells, [0.0] * cells, length, slope, n, shape == "plane", b, z, dt
    )
    return out, volume, storage


def py_kinematic_transform(
    excess, area, plane_length, plane_slope, plane_n, c_length, c_slope, c_n, shape, b, z, cells, dt
):
    size = len(excess)
    out, volume, storage = [0.0] * size, [0.0] * max(size - 1, 0), [0.0] * size
    stream = cells if c_length != 0.0 else 1
    kinematic_transform_into(
        excess, out, volume, storage, [0.0] * cells, [0.0] * cells, [0.0] * stream, [0.0] * stream, area,
        (plane_length, plane_slope, plane_n), (c_length, c_slope, c_n, shape == "plane", b, z), dt,
    )  # fmt: skip
    return out, volume, storage
