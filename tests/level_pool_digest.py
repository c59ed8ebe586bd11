"""Full level-pool runs on many random reservoirs, reduced to one digest.

Every outlet kind, gates, caps, rating curves crossed many times, overdraft and
overtopping, outlets and series that fail: each run contributes the exact bits
of every output value (float.hex), or the type and message of its error. Any
change to the routing loop must leave the digest unchanged.

    python tests/level_pool_digest.py            print the digest
    python tests/level_pool_digest.py --dump F   one line per reservoir, to find which one moved
"""

import argparse
import datetime
import hashlib
import math
import random

import rainmill

ru = rainmill.reservoir.reservoir_utils
CTS = rainmill.utils.ContinuousTimeSeries
SEED = 20250101
CASES = 2500


def ascending(rng, count, start, low, high):
    values, value = [], start
    for _ in range(count):
        values.append(value)
        value += rng.uniform(low, high)
    return values


def rating(rng, bottom, top, flow):
    """An elevation-discharge curve somewhere around [bottom, top]."""
    points = rng.randint(2, 12)
    start = rng.uniform(bottom - 2.0, bottom + 0.6 * (top - bottom))
    end = start + rng.uniform(0.6, 1.6) * (top - start + 1.0)
    step = (end - start) / (points - 1)
    elevations = [start + i * step for i in range(points)]
    first = 0.0 if rng.random() < 0.8 else rng.uniform(0, 0.2 * flow)
    discharges = ascending(rng, points, first, 0.0, rng.uniform(0.05, 1.5) * flow)
    if rng.random() < 0.2:
        discharges = [round(d) for d in discharges]  # equal neighbours allowed in discharge
    return ru.ElevationDischarge(elevations, discharges)


def maybe(rng, value, nan=0.05, none=0.5):
    draw = rng.random()
    if draw < nan:
        return math.nan
    if draw < nan + none:
        return None
    return value


def outlet(rng, bottom, top, span, flow):
    kind = rng.randrange(4)
    middle = rng.uniform(bottom, top)
    if kind == 0:
        offset = None if rng.random() < 0.5 else rng.uniform(-3.0, 3.0)
        return ru.UnControlledDischargeInfo(rating(rng, bottom, top, flow), offset)
    if kind == 1:
        return ru.ControlledDischargeInfo(
            rating(rng, bottom, top, flow),
            maybe(rng, middle - rng.uniform(0, 5)),
            maybe(rng, middle + rng.uniform(0, 5)),
            maybe(rng, rng.uniform(0, 2 * flow)),
        )
    if kind == 2:
        step = rng.choice([1, 2, 5, 30, 60, 600])
        # Usually long enough; sometimes shorter than the routing (an error while open).
        points = max(1, (span // step) + (rng.randint(1, 3) if rng.random() < 0.8 else -rng.randint(0, 5)))
        points = min(points, 4000)
        data = [max(0.0, rng.gauss(flow, flow)) for _ in range(points)] if rng.random() < 0.97 else []
        series = CTS(data, datetime.timedelta(seconds=step), "discharge")
        return ru.SpecifiedDischargeInfo(
            series, maybe(rng, middle - 2), maybe(rng, middle + 2), maybe(rng, rng.uniform(0, flow))
        )
    return ru.ConstantDischargeInfo(rng.uniform(0, flow), maybe(rng, middle - 1), maybe(rng, middle + 3))


def inflow_values(rng, count, scale):
    shape = rng.randrange(4)
    values = []
    level = rng.uniform(0, scale)
    for i in range(count):
        if shape == 0:
            level = max(0.0, level + rng.gauss(0, scale * 0.2))
        elif shape == 1:
            level = scale * (1 + math.sin(i / 5.0)) * rng.uniform(0.8, 1.2)
        elif shape == 2:
            level = scale * 8 * math.exp(-(((i % 40) - 10) ** 2) / 20.0) + scale * 0.1
        else:
            level = rng.uniform(-scale, 2 * scale)  # negative inflow drains the pool
        values.append(level)
    if rng.random() < 0.02:
        values[rng.randrange(count)] = math.nan
    if rng.random() < 0.01:
        values[rng.randrange(count)] = math.inf
    return values


def case(rng):
    points = rng.randint(2, 60)
    elevations = ascending(rng, points, rng.uniform(50, 1000), 0.05, 3.0)
    storages = ascending(rng, points, 0.0 if rng.random() < 0.85 else rng.uniform(1, 1e4), 10.0, rng.uniform(100, 2e5))
    curve = ru.ElevationStorage(elevations, storages)
    bottom, top = elevations[0], elevations[-1]

    step = rng.choice([1, 1, 2, 3, 7, 10, 60, 60, 300, 900, 3600])
    limit = 200_000 if rng.random() < 0.02 else 6_000
    count = max(1, min(120, limit // step + 1)) if step > 1 else rng.randint(1, 3000)
    count = rng.randint(1, count)
    span = step * (count - 1)
    scale = (storages[-1] - storages[0]) / max(span, 1) * rng.uniform(0.05, 1.5)
    inflow = CTS(inflow_values(rng, count, scale), datetime.timedelta(seconds=step), "discharge")

    draw = rng.random()
    if draw < 0.1:
        initial = rng.choice(elevations)  # exactly on a knot
    elif draw < 0.13:
        initial = rng.choice([bottom - 0.5, top + 0.5, math.nan])
    else:
        initial = rng.uniform(bottom, top)

    outlets = {f"o{i}": outlet(rng, bottom, top, span, scale) for i in range(rng.randint(0, 4))}
    return inflow, initial, curve, outlets


def run(inflow, initial, curve, outlets):
    try:
        result = rainmill.reservoir.run_level_pool_routing(inflow, initial, curve, outlets)
    except Exception as error:  # the digest records which error and its text
        return f"{type(error).__name__}: {error}"
    parts = []
    series = [result.reservoir_storage, result.reservoir_elevation, result.reservoir_total_outflow]
    series += list(result.reservoir_individual_outflows.values())
    parts.append(",".join(result.reservoir_individual_outflows))
    for s in series:
        parts.append(f"{s.kind}/{s.time_step.total_seconds()}:" + ",".join(v.hex() for v in s.data))
    return "|".join(parts)


def lines(cases=CASES, seed=SEED):
    rng = random.Random(seed)
    for index in range(cases):
        yield f"{index} {hashlib.sha256(run(*case(rng)).encode()).hexdigest()}"


def digest(cases=CASES, seed=SEED):
    total = hashlib.sha256()
    for line in lines(cases, seed):
        total.update(line.encode() + b"\n")
    return total.hexdigest()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dump", help="write one digest line per reservoir to this file")
    parser.add_argument("--cases", type=int, default=CASES)
    parser.add_argument("--seed", type=int, default=SEED)
    args = parser.parse_args()
    if args.dump:
        with open(args.dump, "w") as out:
            out.writelines(line + "\n" for line in lines(args.cases, args.seed))
    print(digest(args.cases, args.seed))
