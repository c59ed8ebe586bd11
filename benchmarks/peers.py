"""What a NumPy user would run instead of rainmill: Numba loops on arrays and the SciPy/NumPy way.

Each builder returns None when its peer is not installed, so the benchmark reports "not
installed" instead of failing.
"""

import importlib.util
import math
import types

import loops

try:
    import numpy as np
except ImportError:  # numpy is a development requirement; peers without it are simply absent
    np = None


def installed(name):
    return importlib.util.find_spec(name) is not None


def version(name):
    if not installed(name):
        return "not installed"
    module = __import__(name)
    return getattr(module, "__version__", "?")


def compiled(numba, function, *helpers):
    """`function` compiled with numba.njit, calling compiled copies of the `helpers` it names (a
    compiled function cannot call a plain Python one)."""
    namespace = dict(function.__globals__)
    namespace.update({helper.__name__: numba.njit(inline="always")(helper) for helper in helpers})
    return numba.njit(types.FunctionType(function.__code__, namespace, function.__name__, function.__defaults__))


def njit_with(numba, function, **compiled_helpers):
    """`function` compiled with numba.njit, the helpers it names bound to the given compiled functions."""
    namespace = dict(function.__globals__)
    namespace.update(compiled_helpers)
    return numba.njit(types.FunctionType(function.__code__, namespace, function.__name__, function.__defaults__))


def numba_functions():
    """Compiled loops on float64 arrays, each allocating its own outputs as a user's would."""
    if np is None or not installed("numba"):
        return None
    import numba

    muskingum_pass = numba.njit(loops.muskingum_pass_into)
    deficit_constant = numba.njit(loops.deficit_constant_into)
    ordinates = numba.njit(loops.clark_ordinates_into)
    convolve = numba.njit(loops.convolve_into)
    chain = numba.njit(loops.reservoir_chain_into)
    kge_of = numba.njit(loops.kge_of)
    log_into = numba.njit(loops.log_into)

    @numba.njit
    def muskingum(inflow, dt, k_seconds, x, sub_reaches, initial_outflow):
        k = k_seconds / float(sub_reaches)
        out = np.empty_like(inflow)
        muskingum_pass(inflow, out, dt, k, x, initial_outflow)
        for _ in range(1, sub_reaches):
            inflow, out = out, np.empty_like(out)
            muskingum_pass(inflow, out, dt, k, x, inflow[0])
        return out

    @numba.njit
    def deficit(rain, dt, initial, maximum, rate, dry_seconds):
        excess, loss, deficit_out = np.empty_like(rain), np.empty_like(rain), np.empty_like(rain)
        deficit_constant(rain, excess, loss, deficit_out, dt, initial, maximum, rate, dry_seconds)
        return excess, loss, deficit_out

    @numba.njit
    def clark(rain, dt, area, tc, storage):
        n = math.ceil(tc / dt)
        translation = np.empty(n)
        ordinates(translation, dt, tc, area)
        unit = np.empty(n)
        muskingum_pass(translation, unit, dt, storage, 0.0, 0.0)
        out = np.zeros(len(rain) + n - 1)
        convolve(rain, unit, out)
        return out

    @numba.njit
    def baseflow_layer(rain, dt, area_factor, fraction, c, d, initial_q, count):
        out = np.empty_like(rain)
        chain(rain, out, np.full(count, initial_q), dt, area_factor, fraction, c, d)
        return out

    def baseflow(area, rain, dt_seconds, layers):
        total = np.zeros_like(rain)
        outputs = {}
        for name, (k_seconds, fraction, initial_q, count) in layers.items():
            dt, c, d = loops.chain_coefficients(dt_seconds, k_seconds, count)
            out = baseflow_layer(rain, dt, area * 1.00833, fraction, c, d, initial_q, count)
            total = out + total
            outputs[name] = out
        return total, outputs

    @numba.njit
    def kge(sim, obs, use_log):
        if use_log:
            sim_log, obs_log = np.empty_like(sim), np.empty_like(obs)
            log_into(sim, sim_log)
            log_into(obs, obs_log)
            return kge_of(sim_log, obs_log)
        return kge_of(sim, obs)

    @numba.njit
    def disaggregate(values, step, target):
        factor = float(target) / float(step)
        copies = step // target
        out = np.empty(len(values) * copies)
        for i in range(len(values)):
            y = values[i] * factor
            for j in range(copies):
                out[i * copies + j] = y
        return out

    level_pool_into = compiled(numba, loops.level_pool_into, loops.filled, loops.search)

    @numba.njit
    def level_pool_arrays(
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
    ):
        n = len(inflow)
        storage, elevation, total = np.empty(n), np.empty(n), np.empty(n)
        individual = np.empty(len(kinds) * n)
        level_pool_into(
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
            storage,
            elevation,
            total,
            individual,
        )
        return storage, elevation, total, individual.reshape((len(kinds), n))

    def level_pool(inflow, step, initial_elevation, elevations, storages, specs):
        """specs: outlet fields as `loops.outlet_getter` takes them; returns (storage, elevation,
        total outflow, one row of outflow per outlet)."""
        kinds, params, starts, rating_elevations, rating_discharges = loops.level_pool_tables(specs)
        return level_pool_arrays(
            inflow,
            step,
            loops.initial_storage(elevations, storages, initial_elevation),
            initial_elevation,
            elevations,
            storages,
            np.array(kinds, dtype=np.int64),
            np.array(params, dtype=np.float64),
            np.array(starts, dtype=np.int64),
            np.array(rating_elevations, dtype=np.float64),
            np.array(rating_discharges, dtype=np.float64),
        )

    return {
        "level pool": level_pool,
        "muskingum": muskingum,
        "deficit": deficit,
        "clark": clark,
        "baseflow": baseflow,
        "kge": kge,
        "disaggregate": disaggregate,
    }


def scipy_functions():
    """The vectorised way: linear recurrences through `scipy.signal.lfilter`, NumPy for the rest."""
    if np is None:
        return None
    functions = {
        "kge": numpy_kge,
        "disaggregate": lambda values, step, target: np.repeat(values * (float(target) / float(step)), step // target),
    }
    if not installed("scipy"):
        return functions
    from scipy.signal import lfilter, lfiltic

    def muskingum_pass(inflow, dt, k, x, first):
        two_k = k + k
        a = (1.0 - x) * two_k
        b = two_k * x
        d = dt + a
        numerator, denominator = [(dt - b) / d, (b + dt) / d], [1.0, -(a - dt) / d]
        state = lfiltic(numerator, denominator, [first], [inflow[0]])
        out = np.empty_like(inflow)
        out[0] = first
        out[1:] = lfilter(numerator, denominator, inflow[1:], zi=state)[0]
        return out

    def muskingum(inflow, dt, k_seconds, x, sub_reaches, initial_outflow):
        k = k_seconds / float(sub_reaches)
        out = muskingum_pass(inflow, dt, k, x, initial_outflow)
        for _ in range(1, sub_reaches):
            out = muskingum_pass(out, dt, k, x, out[0])
        return out

    def clark(rain, dt, area, tc, storage):
        n = math.ceil(tc / dt)
        x = np.minimum(np.arange(1, n + 1) * dt / tc, 1.0)
        curve = np.where(x < 0.5, 1.414 * np.power(x, 1.5), 1.0 - 1.414 * np.power(1.0 - x, 1.5))
        translation = np.diff(curve, prepend=0.0) * area * 1.00833 / (dt / 3600.0)
        unit = muskingum_pass(translation, dt, storage, 0.0, 0.0)
        return np.convolve(rain, unit)

    def baseflow(area, rain, dt_seconds, layers):
        total = np.zeros_like(rain)
        outputs = {}
        for name, (k_seconds, fraction, initial_q, count) in layers.items():
            dt, c, d = loops.chain_coefficients(dt_seconds, k_seconds, count)
            flow = ((rain * fraction) / dt) * (area * 1.00833)
            for _ in range(count):
                flow = lfilter([c], [1.0, -d], flow, zi=lfiltic([c], [1.0, -d], [initial_q]))[0]
            total = flow + total
            outputs[name] = flow
        return total, outputs

    functions.update(muskingum=muskingum, clark=clark, baseflow=baseflow)
    return functions


def numpy_kge(sim, obs, use_log=False):
    if use_log:
        sim, obs = np.log(sim + 1e-6), np.log(obs + 1e-6)
    mean_sim, mean_obs = sim.mean(), obs.mean()
    ds, do = sim - mean_sim, obs - mean_obs
    s_ss, s_oo, s_so = ds @ ds, do @ do, do @ ds
    q = math.sqrt(s_oo * s_ss)
    correlation = 1.0 if q < 1e-6 else (s_so / q - 1.0) ** 2
    beta = mean_sim / (1e-6 if abs(mean_obs) < 1e-6 else mean_obs)
    n = len(obs)
    gamma = math.sqrt(s_ss / n) / max(1e-6, math.sqrt(s_oo / n))
    return 1.0 - math.sqrt((gamma - 1.0) ** 2 + ((beta - 1.0) ** 2 + correlation))
