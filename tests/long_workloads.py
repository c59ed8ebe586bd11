"""Long calls of every computation that can run long, shared by the interruption and thread tests.

`build(name, scale)` returns a function of no arguments making one call; scale 1.0 makes a call of
many seconds (interruption tests), the scales in SHORT calls of about a tenth of a second.
"""

import datetime

import rainmill

td = datetime.timedelta
u = rainmill.utils
ru = rainmill.reservoir.reservoir_utils


def level_pool(scale):
    # Two inflow points 2**31 - 1 s apart: one-second steps over the whole span.
    step = max(1, int((2**31 - 1) * scale))
    inflow = u.ContinuousTimeSeries([1.0, 1.0], td(seconds=step), "discharge")
    curve = ru.ElevationStorage([0.0, 1e12], [0.0, 1e12])
    outlets = {"low": ru.ConstantDischargeInfo(1.0)}
    return lambda: rainmill.reservoir.run_level_pool_routing(inflow, 10.0, curve, outlets)


def muskingum_passes(scale):
    inflow = u.ContinuousTimeSeries([1.0, 2.0, 3.0, 2.0], td(hours=1), "discharge")
    passes = max(2, int(10**12 * scale))
    return lambda: rainmill.reach.run_muskingum_routing(inflow, td(hours=1), 0.2, passes, 1.0)


def clark_ordinates(scale):
    # One translation ordinate per second of a very long time of concentration.
    rain = u.IncrementalTimeSeries([1.0], td(seconds=1), "rainfall")
    tc = max(2, int(2**28 * scale))
    return lambda: rainmill.rainfall_transform.run_clark_uh(rain, 10.0, td(seconds=tc), td(seconds=3600))


def clark_convolution(scale):
    steps = max(2, int(10**5 * scale))
    rain = u.IncrementalTimeSeries([0.1] * steps, td(seconds=60), "rainfall")
    return lambda: rainmill.rainfall_transform.run_clark_uh(rain, 10.0, td(days=694), td(hours=2))


def baseflow(scale):
    steps = max(2, int(10**5 * scale))
    rain = u.IncrementalTimeSeries([0.1] * steps, td(seconds=60), "rainfall")
    layer = rainmill.baseflow.LinearReservoir(td(days=10**5), 0.5, 0.0, 10**6)
    return lambda: rainmill.baseflow.run_linear_reservoir(10.0, rain, {"deep": layer})


def disaggregation(scale):
    # 2000 intervals into 120 000 pieces each: 2.4e8 values at full scale, of
    # which an interrupted call writes only the first few hundred megabytes.
    copies = max(2, int(120_000 * scale))
    series = u.IncrementalTimeSeries([1.0] * 2000, td(seconds=30 * copies), "rainfall")
    return lambda: series.disaggregate(30)


def snow_zones(scale):
    # A million days over thousands of elevation zones (rainmill_models' continuous kernels).
    import numpy as np

    from rainmill_models import _kernels

    zones = max(1, int(4000 * scale))
    p = dict(threshold=0.0, transition=1.0, base=0.0, melt_rate_min=0.05, melt_rate_max=0.05)
    p |= dict(refreeze_fraction=0.05, liquid_fraction=0.1, lapse_rate=6.5, reference_elevation=0.0)
    water, temperature = np.full(10**6, 0.1), np.sin(np.arange(10**6) / 10.0) * 5.0
    elevations, fractions = np.linspace(0.0, 2000.0, zones), np.full(zones, 1.0 / zones)
    start = np.zeros(zones), np.zeros(zones)
    return lambda: _kernels.temperature_index_snow(water, temperature, 24.0, 0.0, p, elevations, fractions, *start)


WORKLOADS = {
    "level pool": level_pool,
    "Muskingum sub-reaches": muskingum_passes,
    "Clark ordinates": clark_ordinates,
    "Clark convolution": clark_convolution,
    "baseflow chain": baseflow,
    "disaggregation": disaggregation,
    "snow zones": snow_zones,
}


# Scales at which a call takes about a tenth of a second on a quiet machine.
SHORT = {
    "level pool": 2e-3,
    "Muskingum sub-reaches": 3e-6,
    "Clark ordinates": 6e-3,
    "Clark convolution": 1e-3,
    "baseflow chain": 5e-4,
    "disaggregation": 0.1,
    "snow zones": 2e-3,
}


def build(name, scale=1.0):
    return WORKLOADS[name](scale)
