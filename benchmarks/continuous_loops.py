"""The continuous kernels as straightforward loops: pure Python on lists, and Numba's input.

Each function follows the order of operations its kernel documents and writes into outputs the
caller allocates (lists for the pure-Python loop, float64 arrays for Numba), so one source serves
both peers. bench_continuous.py checks them against the kernels before timing.
"""

import math


def soil_moisture_into(water, pet, dt, p, start, fluxes, storages):
    """`fluxes`: ten outputs of N values, `storages`: five of N + 1, in the kernel's order."""
    excess, q1_out, q2_out, canopy_et_out, surface_et_out, soil_et_out = (
        fluxes[0],
        fluxes[1],
        fluxes[2],
        fluxes[3],
        fluxes[4],
        fluxes[5],
    )
    infiltration_out, percolation_out, gw_percolation_out, deep_out = fluxes[6], fluxes[7], fluxes[8], fluxes[9]
    canopy_out, surface_out, soil_out, gw1_out, gw2_out = (
        storages[0],
        storages[1],
        storages[2],
        storages[3],
        storages[4],
    )
    canopy_max, surface_max, soil_max, tension_max, max_inf, soil_perc = p[0], p[1], p[2], p[3], p[4], p[5]
    gw1_max, gw1_perc, gw1_k, gw2_max, gw2_perc, gw2_k = p[6], p[7], p[8], p[9], p[10], p[11]
    c, f, s, g1, g2 = start[0], start[1], start[2], start[3], start[4]
    infiltration_step = max_inf * dt
    r1 = 1.0 - math.exp(-(dt / gw1_k))
    r2 = 1.0 - math.exp(-(dt / gw2_k))
    lower = soil_max - tension_max
    canopy_out[0] = c
    surface_out[0] = f
    soil_out[0] = s
    gw1_out[0] = g1
    gw2_out[0] = g2
    for i in range(len(water)):
        w = water[i]
        intercepted = min(w, canopy_max - c)
        c = c + intercepted
        canopy_et = min(pet[i], c)
        c = c - canopy_et
        demand = pet[i] - canopy_et
        f = f + (w - intercepted)
        room = soil_max - s
        infiltration = min(min(f, infiltration_step * (room / soil_max)), room)
        f = f - infiltration
        s = s + infiltration
        spill = max(f - surface_max, 0.0)
        f = f - spill
        surface_et = min(demand, f)
        f = f - surface_et
        demand = demand - surface_et
        tension_et = min(demand, max(s - lower, 0.0))
        s = s - tension_et
        demand = demand - tension_et
        reduced_et = min(demand * (s / lower), s) if lower > 0.0 else 0.0
        s = s - reduced_et
        down = 0.0
        if gw1_max > 0.0 and s > lower:
            upper = s - lower
            down = min(min(soil_perc * dt * (upper / tension_max) * ((gw1_max - g1) / gw1_max), upper), gw1_max - g1)
            s = s - down
            g1 = g1 + down
        q1 = g1 * r1
        g1 = g1 - q1
        down2 = 0.0
        if gw1_max > 0.0 and gw2_max > 0.0:
            down2 = min(min(gw1_perc * dt * (g1 / gw1_max) * ((gw2_max - g2) / gw2_max), g1), gw2_max - g2)
            g1 = g1 - down2
            g2 = g2 + down2
        q2 = g2 * r2
        g2 = g2 - q2
        deep = min(gw2_perc * dt * (g2 / gw2_max), g2) if gw2_max > 0.0 else 0.0
        g2 = g2 - deep
        excess[i] = spill
        q1_out[i] = q1
        q2_out[i] = q2
        canopy_et_out[i] = canopy_et
        surface_et_out[i] = surface_et
        soil_et_out[i] = tension_et + reduced_et
        infiltration_out[i] = infiltration
        percolation_out[i] = down
        gw_percolation_out[i] = down2
        deep_out[i] = deep
        canopy_out[i + 1] = c
        surface_out[i + 1] = f
        soil_out[i + 1] = s
        gw1_out[i + 1] = g1
        gw2_out[i + 1] = g2


def snow_into(precipitation, temperature, dt, start_day, p, elevations, fractions, fluxes, storages):
    """`fluxes`: liquid, snowfall, melt, refreeze, melt factor (N values); `storages`: ice, liquid water (N + 1)."""
    liquid, snowfall_out, melt_out, refreeze_out, factor = fluxes[0], fluxes[1], fluxes[2], fluxes[3], fluxes[4]
    ice_out, held_out = storages[0], storages[1]
    threshold, transition, base, melt_min, melt_max = p[0], p[1], p[2], p[3], p[4]
    refreeze_fraction, liquid_fraction, lapse, reference = p[5], p[6], p[7], p[8]
    n = len(precipitation)
    mean = (melt_max + melt_min) * 0.5
    half = (melt_max - melt_min) * 0.5
    for i in range(n):
        day = start_day + ((i + 0.5) * dt) / 24.0
        factor[i] = (mean + half * math.sin(2.0 * math.pi * ((day - 80.0) / 365.25))) * (dt / 24.0)
        liquid[i] = 0.0
        snowfall_out[i] = 0.0
        melt_out[i] = 0.0
        refreeze_out[i] = 0.0
        ice_out[i] = 0.0
        held_out[i] = 0.0
    ice_out[n] = 0.0
    held_out[n] = 0.0
    upper = threshold + transition * 0.5
    for z in range(len(fractions)):
        share_z = fractions[z]
        offset = lapse * ((elevations[z] - reference) / 1000.0)
        ice = 0.0
        held = 0.0
        for i in range(n):
            t = temperature[i] - offset
            if transition > 0.0:
                share = min(max((upper - t) / transition, 0.0), 1.0)
            else:
                share = 1.0 if t <= threshold else 0.0
            snowfall = precipitation[i] * share
            ice = ice + snowfall
            melt = 0.0
            refreeze = 0.0
            if t > base:
                melt = min(factor[i] * (t - base), ice)
                ice = ice - melt
                held = held + melt
            else:
                refreeze = min(refreeze_fraction * factor[i] * (base - t), held)
                held = held - refreeze
                ice = ice + refreeze
            held = held + (precipitation[i] - snowfall)
            outflow = max(held - liquid_fraction * ice, 0.0)
            held = held - outflow
            liquid[i] = liquid[i] + share_z * outflow
            snowfall_out[i] = snowfall_out[i] + share_z * snowfall
            melt_out[i] = melt_out[i] + share_z * melt
            refreeze_out[i] = refreeze_out[i] + share_z * refreeze
            ice_out[i + 1] = ice_out[i + 1] + share_z * ice
            held_out[i + 1] = held_out[i + 1] + share_z * held


def deficit_et_into(water, pet, dt, max_deficit, constant_rate, et_coefficient, deficit, fluxes, deficit_out):
    """`fluxes`: excess, percolation, et (N values); `deficit_out`: N + 1 values."""
    excess, percolation_out, et_out = fluxes[0], fluxes[1], fluxes[2]
    constant = constant_rate * dt
    deficit_out[0] = deficit
    for i in range(len(water)):
        spill = 0.0
        percolation = 0.0
        et = 0.0
        if water[i] > 0.0:
            percolation = min(water[i], constant)
            fill = min(water[i] - percolation, deficit)
            deficit = deficit - fill
            spill = water[i] - percolation - fill
        else:
            et = min(pet[i] * et_coefficient, max_deficit - deficit)
            deficit = deficit + et
        excess[i] = spill
        percolation_out[i] = percolation
        et_out[i] = et
        deficit_out[i + 1] = deficit
