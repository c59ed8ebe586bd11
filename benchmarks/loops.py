"""The computations as plain loops, in rainmill's order of floating-point operations.

Each kernel writes into output containers that the caller allocates, so the same source runs as
pure Python on lists and, compiled with `numba.njit`, on NumPy arrays (what a speed-minded user
writes). The `py_*` wrappers allocate lists and are the pure-Python column of the benchmark; they
give bit-identical numbers to rainmill (checked by the benchmark and by tests/test_bench_loops.py).
"""

import bisect
import math

# --- kernels: plain loops over indexable containers (lists or float64 arrays) -------------------


def muskingum_pass_into(inflow, out, dt, k, x, first):
    """One Muskingum routing pass; `first` is the first outflow."""
    two_k = k + k
    a = (1.0 - x) * two_k
    b = two_k * x
    d = dt + a
    c0 = (dt - b) / d
    c1 = (b + dt) / d
    c2 = (a - dt) / d
    previous_out = first
    previous_in = inflow[0]
    out[0] = first
    for t in range(1, len(inflow)):
        current = inflow[t]
        previous_out = c2 * previous_out + (c1 * previous_in + c0 * current)
        out[t] = previous_out
        previous_in = current


def deficit_constant_into(rain, excess, loss, deficit, dt, initial, maximum, rate, dry_seconds):
    step_hours = dt / 3600.0
    recovery = 1.0 - math.exp(step_hours / (dry_seconds / -3600.0)) if dry_seconds > 0 else 0.0
    constant = rate * step_hours
    state = initial
    for i in range(len(rain)):
        p = rain[i]
        gap = maximum - state
        if not gap > 0.0:
            gap = 0.0
        grown = gap * recovery + state
        # min with a NaN operand ignored, as C's fmin
        if grown != grown or grown > maximum:
            grown = maximum
        state = grown
        if p > 0.0:
            k = constant if p != p or constant < p else p
            q = p - k
            f = state if q != q or state < q else q
            state = state - f
            excess[i] = q - f
            loss[i] = f + k
        else:
            excess[i] = 0.0
            loss[i] = 0.0
        deficit[i] = state


def clark_ordinates_into(out, dt, tc, area):
    """The translation hydrograph: len(out) = ceil(tc / dt) ordinates."""
    previous = 0.0
    for i in range(1, len(out) + 1):
        x = i * dt / tc
        if x > 1.0:
            x = 1.0
        if x < 0.5:
            a = 1.414 * math.pow(x, 1.5)
        else:
            a = 1.0 - 1.414 * math.pow(1.0 - x, 1.5)
        out[i - 1] = (a - previous) * area * 1.00833 / (dt / 3600.0)
        previous = a


def convolve_into(rain, unit, out):
    """out (zeros, len(rain) + len(unit) - 1) accumulates the unit hydrograph for each non-zero depth."""
    n = len(unit)
    for i in range(len(rain)):
        p = rain[i]
        if p == 0.0:
            continue
        for j in range(n):
            out[i + j] = unit[j] * p + out[i + j]


def reservoir_chain_into(rain, out, state, dt, area_factor, fraction, c, d):
    """One baseflow layer: `state` holds each reservoir's discharge and is updated in place."""
    for i in range(len(rain)):
        flow = ((rain[i] * fraction) / dt) * area_factor
        for j in range(len(state)):
            flow = state[j] * d + flow * c
            state[j] = flow
        out[i] = flow


def kge_of(sim, obs):
    n = float(len(obs))
    total_sim = -0.0
    total_obs = -0.0
    for i in range(len(sim)):
        total_sim += sim[i]
    for i in range(len(obs)):
        total_obs += obs[i]
    mean_sim = total_sim / n
    mean_obs = total_obs / n
    s_ss = 0.0
    s_oo = 0.0
    s_so = 0.0
    for i in range(len(obs)):
        ds = sim[i] - mean_sim
        do = obs[i] - mean_obs
        s_ss += ds * ds
        s_oo += do * do
        s_so += do * ds
    q = math.sqrt(s_oo * s_ss)
    if q < 1e-6:
        correlation = 1.0
    else:
        r = s_so / q
        correlation = (r - 1.0) * (r - 1.0)
    guarded = 1e-6 if abs(mean_obs) < 1e-6 else mean_obs
    beta = mean_sim / guarded
    gamma = math.sqrt(s_ss / n) / max(1e-6, math.sqrt(s_oo / n))
    return 1.0 - math.sqrt((gamma - 1.0) * (gamma - 1.0) + ((beta - 1.0) * (beta - 1.0) + correlation))


def log_into(values, out):
    for i in range(len(values)):
        v = values[i] + 1e-6
        # IEEE log (Python raises where C gives -inf or NaN)
        out[i] = math.log(v) if v > 0.0 else (-math.inf if v == 0.0 else math.nan)


# --- pure-Python wrappers (lists in, lists out) ------------------------------------------------


def divide(a, b):
    """a / b with IEEE semantics (Python raises on a zero divisor)."""
    if b == 0.0:
        return math.nan if a == 0.0 or a != a else math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def py_muskingum(inflow, dt, k_seconds, x, sub_reaches, initial_outflow):
    k = divide(k_seconds, float(sub_reaches))
    out = [0.0] * len(inflow)
    muskingum_pass_into(inflow, out, dt, k, x, initial_outflow)
    for _ in range(1, sub_reaches):
        inflow, out = out, [0.0] * len(out)
        muskingum_pass_into(inflow, out, dt, k, x, inflow[0])
    return out


def py_deficit_constant(rain, dt, initial, maximum, rate, dry_seconds):
    n = len(rain)
    excess, loss, deficit = [0.0] * n, [0.0] * n, [0.0] * n
    deficit_constant_into(rain, excess, loss, deficit, dt, initial, maximum, rate, dry_seconds)
    return excess, loss, deficit


def clark_ordinate_count(dt, tc):
    return math.ceil(tc / dt)


def py_clark(rain, dt, area, tc, storage):
    n = clark_ordinate_count(dt, tc)
    translation = [0.0] * n
    clark_ordinates_into(translation, dt, tc, area)
    unit = [0.0] * n
    muskingum_pass_into(translation, unit, dt, storage, 0.0, 0.0)
    out = [0.0] * (len(rain) + n - 1)
    convolve_into(rain, unit, out)
    return out


def chain_coefficients(dt_seconds, k_seconds, count):
    """(dt hours, C, D) of a layer of `count` reservoirs sharing the storage constant."""
    dt = dt_seconds / 3600.0
    per_reservoir = k_seconds / 3600.0 / float(count)
    c = dt / (per_reservoir + 0.5 * dt)
    return dt, c, 1.0 - c


def py_baseflow(area, rain, dt_seconds, layers):
    """layers: {name: (k_seconds, fraction, initial_q, count)}; returns (total, {name: output})."""
    total = [0.0] * len(rain)
    outputs = {}
    for name, (k_seconds, fraction, initial_q, count) in layers.items():
        dt, c, d = chain_coefficients(dt_seconds, k_seconds, count)
        out = [0.0] * len(rain)
        reservoir_chain_into(rain, out, [initial_q] * count, dt, area * 1.00833, fraction, c, d)
        total = [o + t for o, t in zip(out, total)]
        outputs[name] = out
    return total, outputs


def py_kge(sim, obs, use_log=False):
    if use_log:
        sim_log, obs_log = [0.0] * len(sim), [0.0] * len(obs)
        log_into(sim, sim_log)
        log_into(obs, obs_log)
        sim, obs = sim_log, obs_log
    return kge_of(sim, obs)


def py_disaggregate(values, step, target):
    factor = float(target) / float(step)
    copies = step // target
    out = []
    for v in values:
        out.extend([v * factor] * copies)
    return out


# --- level-pool routing, pure Python ------------------------------------------------------------


def _interp(xs, ys, x):
    """Piecewise-linear lookup; None outside the table."""
    i = bisect.bisect_left(xs, x)
    if i < len(xs) and xs[i] == x:
        return ys[i]
    if i == 0 or i == len(xs):
        return None
    x0, x1, y0, y1 = xs[i - 1], xs[i], ys[i - 1], ys[i]
    return ((x - x0) / (x1 - x0)) * (y1 - y0) + y0


def _rating(elevations, discharges, e):
    if e > elevations[-1]:
        raise ValueError(f"elevation {e} is above the maximum of the elevation-discharge curve")
    if e < elevations[0]:
        return 0.0
    return _interp(elevations, discharges, e)


def constant_outlet(discharge, minimum=None, maximum=None):
    def get(e):
        if (minimum is not None and e < minimum) or (maximum is not None and e > maximum):
            return 0.0
        return discharge

    return get


def controlled_outlet(elevations, discharges, minimum=None, maximum=None, release=None):
    minimum = elevations[0] if minimum is None or minimum != minimum else max(minimum, elevations[0])
    if maximum is not None:
        maximum = elevations[-1] if maximum != maximum else min(maximum, elevations[-1])
    cap = math.inf if release is None else release

    def get(e):
        if e < minimum or (maximum is not None and e > maximum):
            return 0.0
        q = _rating(elevations, discharges, e)
        return cap if q != q or cap < q else q

    return get


def uncontrolled_outlet(elevations, discharges, offset=None):
    offset = 0.0 if offset is None else offset
    return lambda e: _rating(elevations, discharges, e + offset)


def py_level_pool(inflow, step, initial_elevation, elevations, storages, outlets):
    """outlets: {name: get(elevation)}; returns (storage, elevation, total outflow, {name: outflow})."""
    n = len(inflow)
    span = (n - 1) * step
    storage = _interp(elevations, storages, initial_elevation)
    if storage is None:
        raise ValueError("initial elevation outside the elevation-storage curve")
    elevation = initial_elevation
    storage_out, elevation_out, total_out = [storage], [elevation], []
    individual = {name: [] for name in outlets}
    getters = list(outlets.items())
    previous_in = inflow[0]
    last = float(span)
    for t in range(span + 1):
        output_time = t % step == 0
        total = 0.0
        for name, get in getters:
            q = get(elevation)
            total += q
            if output_time:
                individual[name].append(q)
        if output_time:
            total_out.append(total)
        if t == 0:
            continue
        current, storage = filled(inflow, step, last, t, storage, previous_in, total)
        elevation = _interp(storages, elevations, storage)
        if elevation is None:
            raise ValueError(f"`storage` {storage} is outside the range of the elevation-storage curve.")
        if output_time:
            storage_out.append(storage)
            elevation_out.append(elevation)
        previous_in = current
    return storage_out, elevation_out, total_out, individual


def filled(inflow, step, last, t, storage, previous_in, total):
    """(inflow, storage) at second t (at most `last`) of an inflow series of `step` seconds: the
    inflow interpolated, the storage after a second of the mean inflow and the outflow `total`."""
    n = len(inflow)
    duration = float(t)
    if duration > last:
        duration = last
    pos = duration / step
    i = math.floor(pos)
    current = (inflow[i + 1] - inflow[i]) * (pos - i) + inflow[i] if i < n - 1 else inflow[n - 1]
    storage = storage + ((previous_in + current) * 0.5) * 1.0 - total * 1.0
    if not storage > 0.0:
        storage = 0.0
    return current, storage


def search(xs, lo, hi, x):
    """bisect.bisect_left(xs, x, lo, hi), written out."""
    while lo < hi:
        mid = (lo + hi) // 2
        if xs[mid] < x:
            lo = mid + 1
        else:
            hi = mid
    return lo


# --- level-pool routing on tables (pure Python on lists, or compiled with numba.njit on arrays) --

CONSTANT, CONTROLLED, UNCONTROLLED = 0, 1, 2


def outlet_getter(spec):
    """The pure-Python closure of one outlet spec: ("constant", discharge, minimum, maximum),
    ("controlled", elevations, discharges, minimum, maximum, release) or ("uncontrolled",
    elevations, discharges, offset), with None where a field is unset."""
    kind, *fields = spec
    return {"constant": constant_outlet, "controlled": controlled_outlet, "uncontrolled": uncontrolled_outlet}[kind](
        *fields
    )


def level_pool_tables(specs):
    """The outlets as flat tables: (kinds, params, starts, rating elevations, rating discharges).

    Outlet j has kind kinds[j] and three parameters params[3j:3j+3]: for a constant outlet the
    lowest and highest elevations at which it flows (-inf, inf where unset) and its discharge; for
    a controlled one the same two bounds (clipped to its rating curve as the library does) and its
    release cap (inf where unset); for an uncontrolled one its elevation offset. Its rating curve is
    rating_elevations[starts[j]:starts[j + 1]] (empty for a constant outlet)."""
    kinds, params, starts, rating_elevations, rating_discharges = [], [], [0], [], []
    for kind, *fields in specs:
        if kind == "constant":
            discharge, minimum, maximum = fields
            kinds.append(CONSTANT)
            params += [-math.inf if minimum is None else minimum, math.inf if maximum is None else maximum, discharge]
        elif kind == "controlled":
            elevations, discharges, minimum, maximum, release = fields
            minimum = elevations[0] if minimum is None or minimum != minimum else max(minimum, elevations[0])
            if maximum is None:
                maximum = math.inf
            else:
                maximum = elevations[-1] if maximum != maximum else min(maximum, elevations[-1])
            kinds.append(CONTROLLED)
            params += [minimum, maximum, math.inf if release is None else release]
            rating_elevations += elevations
            rating_discharges += discharges
        else:
            elevations, discharges, offset = fields
            kinds.append(UNCONTROLLED)
            params += [0.0 if offset is None else offset, 0.0, 0.0]
            rating_elevations += elevations
            rating_discharges += discharges
        starts.append(len(rating_elevations))
    return kinds, params, starts, rating_elevations, rating_discharges


def level_pool_into(
    inflow,
    step,
    initial_storage,
    initial_elevation,
    elevations,
    storages,
    kinds,
    params,
    starts,
    rating_elevations,
    rating_discharges,
    storage_out,
    elevation_out,
    total_out,
    individual_out,
):
    """The loop of `py_level_pool` over the outlet tables of `level_pool_tables` (a compiled loop
    cannot call the outlets' closures), the interpolations written out around `search`. Each output
    has len(inflow) values; individual_out[j * len(inflow) + k] is outlet j's k-th. Compiled, it
    needs `filled` and `search` compiled too (see `peers.compiled`)."""
    n = len(inflow)
    outlets = len(kinds)
    span = (n - 1) * step
    storage = initial_storage
    elevation = initial_elevation
    storage_out[0] = storage
    elevation_out[0] = elevation
    previous_in = inflow[0]
    last = float(span)
    points = len(storages)
    for t in range(span + 1):
        output_time = t % step == 0
        k = t // step
        total = 0.0
        for j in range(outlets):
            kind = kinds[j]
            low = params[3 * j]
            q = 0.0
            if kind == CONSTANT:
                if not (elevation < low or elevation > params[3 * j + 1]):
                    q = params[3 * j + 2]
            elif kind == UNCONTROLLED or not (elevation < low or elevation > params[3 * j + 1]):
                e = elevation + low if kind == UNCONTROLLED else elevation
                first, end = starts[j], starts[j + 1]
                if e > rating_elevations[end - 1]:
                    raise ValueError("elevation is above the maximum of the elevation-discharge curve")
                if not e < rating_elevations[first]:
                    lo = search(rating_elevations, first, end, e)
                    if lo < end and rating_elevations[lo] == e:
                        q = rating_discharges[lo]
                    elif lo == first or lo == end:  # only a NaN elevation gets here  # noqa: SIM109
                        q = math.nan
                    else:
                        x0, x1 = rating_elevations[lo - 1], rating_elevations[lo]
                        y0, y1 = rating_discharges[lo - 1], rating_discharges[lo]
                        q = ((e - x0) / (x1 - x0)) * (y1 - y0) + y0
                if kind == CONTROLLED:
                    cap = params[3 * j + 2]
                    if q != q or cap < q:
                        q = cap
            total += q
            if output_time:
                individual_out[j * n + k] = q
        if output_time:
            total_out[k] = total
        if t == 0:
            continue
        current, storage = filled(inflow, step, last, t, storage, previous_in, total)
        lo = search(storages, 0, points, storage)
        if lo < points and storages[lo] == storage:
            elevation = elevations[lo]
        elif lo == 0 or lo == points:
            raise ValueError("storage is outside the range of the elevation-storage curve")
        else:
            x0, x1, y0, y1 = storages[lo - 1], storages[lo], elevations[lo - 1], elevations[lo]
            elevation = ((storage - x0) / (x1 - x0)) * (y1 - y0) + y0
        if output_time:
            storage_out[k] = storage
            elevation_out[k] = elevation
        previous_in = current


def initial_storage(elevations, storages, initial_elevation):
    storage = _interp(elevations, storages, initial_elevation)
    if storage is None:
        raise ValueError("initial elevation outside the elevation-storage curve")
    return storage


def py_level_pool_tables(inflow, step, initial_elevation, elevations, storages, specs):
    """`level_pool_into` on lists; returns (storage, elevation, total outflow, [outflow per outlet])."""
    n = len(inflow)
    tables = level_pool_tables(specs)
    storage, elevation, total, individual = [0.0] * n, [0.0] * n, [0.0] * n, [0.0] * (n * len(specs))
    level_pool_into(
        inflow,
        step,
        initial_storage(elevations, storages, initial_elevation),
        initial_elevation,
        elevations,
        storages,
        *tables,
        storage,
        elevation,
        total,
        individual,
    )
    return storage, elevation, total, [individual[j * n : (j + 1) * n] for j in range(len(specs))]
