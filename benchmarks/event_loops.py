"""The event methods as plain loops, in the order of floating-point operations of their kernels.

As in loops.py, each `*_into` function writes into containers the caller allocates, so the same
source runs as pure Python on lists and, compiled with `numba.njit`, on float64 arrays. The `py_*`
wrappers allocate lists: they are the benchmark's pure-Python column, and tests/test_event_kernels.py
checks them bit for bit against the kernels of rainmill_models._kernels.
"""

import math

ACRE_INCH = 43560.0 / 12.0  # cubic feet of one inch over one acre

# NRCS NEH 630 chapter 16, table 16-1: t/Tp and q/qp of the dimensionless unit hydrograph.
UH_TIME = [i / 10 for i in range(21)] + [2.2, 2.4, 2.6, 2.8, 3.0, 3.2, 3.4, 3.6, 3.8, 4.0, 4.5, 5.0]
UH_FLOW = [0, .03, .1, .19, .31, .47, .66, .82, .93, .99, 1, .99, .93, .86, .78, .68, .56, .46, .39, .33, .28,
           .207, .147, .107, .077, .055, .04, .029, .021, .015, .011, .005, 0]  # fmt: skip
UH_TIME = [float(v) for v in UH_TIME]
UH_FLOW = [float(v) for v in UH_FLOW]

# --- losses -------------------------------------------------------------------------------------


def impervious_into(rain, impervious, excess, infiltration):
    """`excess` holds the pervious excess; mix in the impervious share, cap at the rain."""
    pervious = 1.0 - impervious
    for i in range(len(rain)):
        mixed = pervious * excess[i] + impervious * rain[i]
        x = mixed if mixed < rain[i] else rain[i]
        excess[i] = x
        infiltration[i] = rain[i] - x


def curve_number_into(rain, excess, infiltration, cn, ratio, impervious):
    s = 1000.0 / cn - 10.0
    ia = ratio * s
    total = 0.0
    before = 0.0
    for i in range(len(rain)):
        r = rain[i]
        total += r
        above = total - ia
        q = above * above / (above + s) if above > 0.0 else 0.0
        step = q - before
        before = q
        excess[i] = 0.0 if step < 0.0 else (r if step > r else step)
    impervious_into(rain, impervious, excess, infiltration)


def initial_constant_into(rain, excess, infiltration, initial, rate, impervious, hours):
    capacity = rate * hours
    left = initial
    for i in range(len(rain)):
        r = rain[i]
        taken = r if r < left else left
        left -= taken
        rest = r - taken
        excess[i] = rest - (rest if rest < capacity else capacity)
    impervious_into(rain, impervious, excess, infiltration)


def green_ampt_into(rain, excess, infiltration, suction, conductivity, deficit, impervious, hours):
    head = suction * deficit
    k = conductivity * hours
    eight_k = 8.0 * k
    total = 0.0
    for i in range(len(rain)):
        r = rain[i]
        a = k - (total + total)
        driven = total + head
        root = math.sqrt(a * a + eight_k * driven)
        capacity = 0.5 * (a + root)
        infiltrated = r if r < capacity else capacity
        total += infiltrated
        excess[i] = r - infiltrated
    impervious_into(rain, impervious, excess, infiltration)


# --- unit hydrographs ---------------------------------------------------------------------------


def unit_volume_into(shape, area, hours):
    total = 0.0
    for i in range(len(shape)):
        total += shape[i]
    factor = (area * ACRE_INCH) / (total * (hours * 3600.0))
    for i in range(len(shape)):
        shape[i] = shape[i] * factor


def table_area(times, flows, first, last):
    area = 0.0
    for i in range(first, last):
        area += (times[i + 1] - times[i]) * (0.5 * (flows[i] + flows[i + 1]))
    return area


def scs_layout(times, flows, lag, prf, hours):
    """(ordinate count, recession stretch, time to peak) of the SCS unit hydrograph at the step."""
    last = len(times) - 1
    rising = table_area(times, flows, 0, 10)
    stretch = (table_area(times, flows, 0, last) * (484.0 / prf) - rising) / table_area(times, flows, 10, last)
    peak_time = 0.5 * hours + lag
    base = peak_time * (1.0 + stretch * (times[last] - 1.0))
    return int(math.floor(base / hours) + 1.0), stretch, peak_time


def scs_shape_into(shape, times, flows, stretch, peak_time, hours, area):
    cursor = 0
    knots = len(times)
    for i in range(len(shape)):
        s = (i * hours) / peak_time
        if s > 1.0:
            s = 1.0 + (s - 1.0) / stretch
        while cursor + 1 < knots and times[cursor + 1] <= s:
            cursor += 1
        if cursor + 1 >= knots:
            shape[i] = 0.0
        else:
            x0 = times[cursor]
            y0 = flows[cursor]
            shape[i] = ((s - x0) / (times[cursor + 1] - x0)) * (flows[cursor + 1] - y0) + y0
    unit_volume_into(shape, area, hours)


def snyder_lag_and_factor(tp, cp, hours):
    adjusted = tp + (hours - tp / 5.5) / 4.0
    return adjusted, 640.0 * cp * (0.5 * hours + adjusted) / adjusted


def user_count(count, duration, hours):
    return int(math.floor((count - 1) * duration / hours) + 1.0)


def user_shape_into(shape, ordinates, duration, hours, area):
    n = len(ordinates)
    for i in range(len(shape)):
        position = (i * hours) / duration
        whole = math.floor(position)
        j = int(whole)
        if j + 1 >= n:
            shape[i] = ordinates[j] if j < n and position == whole else 0.0
        else:
            y0 = ordinates[j]
            shape[i] = (position - whole) * (ordinates[j + 1] - y0) + y0
    unit_volume_into(shape, area, hours)


def convolve_into(excess, unit, out):
    """`out` starts at zero; every wet interval adds its response, earliest first."""
    n = len(excess)
    m = len(unit)
    for j in range(n):
        e = excess[j]
        if e == 0.0:
            continue
        reach = n - j if n - j < m else m
        for i in range(reach):
            out[j + i] += e * unit[i]


# --- routing ------------------------------------------------------------------------------------


def lag_into(inflow, out, lag, hours):
    n = len(inflow)
    steps = lag / hours
    whole = math.floor(steps)
    fraction = steps - whole
    shift = n if whole >= n else int(whole)
    keep = 1.0 - fraction
    first = inflow[0]
    for i in range(n):
        now = inflow[i - shift] if i >= shift else first
        if fraction == 0.0:
            out[i] = now
        else:
            before = inflow[i - shift - 1] if i >= shift + 1 else first
            out[i] = keep * now + fraction * before


def channel_hydraulics(flow, y, b, z, conveyance, wet):
    """(normal depth by Newton from y on Manning's equation cubed, top width, celerity) at `flow`."""
    ratio = flow * (1.0 / conveyance)
    target = ratio * ratio * ratio
    for _ in range(100):
        area = y * (b + z * y)
        perimeter = b + y * wet
        top = b + 2.0 * z * y
        square = area * area
        fourth = square * square
        value = fourth * area - target * (perimeter * perimeter)
        rate = fourth * (5.0 * top * perimeter - 2.0 * area * wet)
        step = value * perimeter / rate
        following = y - step
        if not following > 0.0:
            y = 0.5 * y
            continue
        y = following
        if abs(step) <= 1e-10 * y:
            break
    area = y * (b + z * y)
    perimeter = b + y * wet
    top = b + 2.0 * z * y
    return y, top, flow * (5.0 * top * perimeter - 2.0 * wet * area) / (3.0 * area * top * perimeter)


def cunge_grid(inflow, length, slope, n, b, z, dt):
    """(cells, internal steps, dx, internal step, depth at the peak, conveyance, dP/dy)."""
    conveyance = (1.486 / n) * math.sqrt(slope)
    wet = 2.0 * math.sqrt(1.0 + z * z)
    peak = 1e-6
    for i in range(len(inflow)):
        if inflow[i] > peak:
            peak = inflow[i]
    y0, top, c = channel_hydraulics(peak, 1.0, b, z, conveyance, wet)
    cells = math.ceil(length / (0.5 * (c * dt + peak / (top * slope * c))))
    dx = length / cells
    internal = math.ceil(c * dt / dx)
    if internal < 1:
        internal = 1
    return cells, internal, dx, dt / internal, y0, conveyance, wet


def cunge_route_into(inflow, out, old, new, depth, owed, internal, dx, step, slope, b, z, conveyance, wet):
    """The variable-parameter routing; `old`, `new` (cells + 1), `depth`, `owed` (cells) are set up."""
    cells = len(depth)
    out[0] = inflow[0]
    for t in range(1, len(inflow)):
        before = inflow[t - 1]
        rise = inflow[t] - before
        for s in range(1, internal + 1):
            new[0] = (s / internal) * rise + before
            for j in range(cells):
                ref = (old[j] + new[j] + old[j + 1]) * (1.0 / 3.0)
                if not ref > 1e-6:
                    ref = 1e-6
                y, top, c = channel_hydraulics(ref, depth[j], b, z, conveyance, wet)
                depth[j] = y
                courant = c * (step / dx)
                reynolds = ref / (top * (slope * dx) * c)
                e = 1.0 / (1.0 + courant + reynolds)
                c0 = (-1.0 + courant + reynolds) * e
                c1 = (1.0 + courant - reynolds) * e
                c2 = (1.0 - courant + reynolds) * e
                paid = ((c0 * new[j] + c1 * old[j]) + c2 * old[j + 1]) - owed[j]
                owed[j] = -paid if paid < 0.0 else 0.0
                new[j + 1] = 0.0 if paid < 0.0 else paid
            for j in range(cells + 1):
                old[j], new[j] = new[j], old[j]
        out[t] = old[cells]


def interval_of(knots, x, cursor):
    last = len(knots) - 2
    while cursor < last and knots[cursor + 1] <= x:
        cursor += 1
    while cursor > 0 and knots[cursor] > x:
        cursor -= 1
    return cursor


def along(xs, ys, i, x):
    return ((x - xs[i]) / (xs[i + 1] - xs[i])) * (ys[i + 1] - ys[i]) + ys[i]


def puls_into(flow, storage, outflow, indication, slope, segments, dt):
    """Route `flow` in place through `segments` equal segments; `indication` and `slope` (one
    shorter) are scratch space."""
    for i in range(len(storage)):
        indication[i] = (2.0 * (storage[i] / segments)) / dt + outflow[i]
    for i in range(len(slope)):
        slope[i] = (outflow[i + 1] - outflow[i]) / (indication[i + 1] - indication[i])
    for _ in range(segments):
        cursor = interval_of(outflow, flow[0], 0)
        previous_in = flow[0]
        previous_out = flow[0]
        previous_n = along(outflow, indication, cursor, flow[0])
        cursor = interval_of(indication, previous_n, 0)
        for t in range(1, len(flow)):
            current = flow[t]
            now = (previous_in + current) + (previous_n - (previous_out + previous_out))
            cursor = interval_of(indication, now, cursor)
            out = (now - indication[cursor]) * slope[cursor] + outflow[cursor]
            if now < indication[0]:
                out = outflow[0]
            flow[t] = out
            previous_in = current
            previous_out = out
            previous_n = now


# --- baseflow -----------------------------------------------------------------------------------


def recession_into(direct, out, initial, constant, threshold, is_ratio, hours):
    factor = constant ** (hours / 24.0)
    base = initial
    recession = 0.0
    peak = 0.0
    previous = 0.0
    receding = False
    for i in range(len(direct)):
        if i > 0:
            base *= factor
            if receding:
                recession *= factor
        plain = direct[i] + base
        total = plain
        if receding:
            if plain > recession:
                receding = False
                peak = plain
            else:
                total = recession
        if not receding:
            if total > peak:
                peak = total
            limit = threshold * peak if is_ratio else threshold
            if i > 0 and total < previous and total <= limit and peak > limit:
                receding = True
                recession = total
        out[i] = total - direct[i]
        previous = total


# --- pure-Python wrappers: lists in, lists out ---------------------------------------------------


def py_loss(into, rain, *args):
    excess, infiltration = [0.0] * len(rain), [0.0] * len(rain)
    into(rain, excess, infiltration, *args)
    return excess, infiltration


def py_scs_uh(lag, prf, area, hours):
    count, stretch, peak_time = scs_layout(UH_TIME, UH_FLOW, lag, prf, hours)
    shape = [0.0] * count
    scs_shape_into(shape, UH_TIME, UH_FLOW, stretch, peak_time, hours, area)
    return shape


def py_snyder_uh(tp, cp, area, hours):
    lag, prf = snyder_lag_and_factor(tp, cp, hours)
    return py_scs_uh(lag, prf, area, hours)


def py_user_uh(ordinates, duration, area, hours):
    shape = [0.0] * user_count(len(ordinates), duration, hours)
    user_shape_into(shape, ordinates, duration, hours, area)
    return shape


def py_convolve(excess, unit):
    out = [0.0] * len(excess)
    convolve_into(excess, unit, out)
    return out


def py_lag(inflow, lag, hours):
    out = [0.0] * len(inflow)
    lag_into(inflow, out, lag, hours)
    return out


def py_muskingum_cunge(inflow, length, slope, n, b, z, dt):
    cells, internal, dx, step, y0, conveyance, wet = cunge_grid(inflow, length, slope, n, b, z, dt)
    out = [0.0] * len(inflow)
    old, new = [inflow[0]] * (cells + 1), [inflow[0]] * (cells + 1)
    cunge_route_into(
        inflow, out, old, new, [y0] * cells, [0.0] * cells, internal, dx, step, slope, b, z, conveyance, wet
    )
    return out


def py_puls(inflow, storage, outflow, segments, dt):
    flow = list(inflow)
    puls_into(flow, storage, outflow, [0.0] * len(storage), [0.0] * (len(storage) - 1), segments, dt)
    return flow


def py_recession(direct, initial, constant, threshold, is_ratio, hours):
    out = [0.0] * len(direct)
    recession_into(direct, out, initial, constant, threshold, is_ratio, hours)
    return out
