"""Memory and time of large networks: N subbasins x 10 years daily, keeping the gauges' series only.

Each size runs in a fresh interpreter (`python benchmarks/bench_scale.py --one N`), which reports its
peak resident memory (getrusage) and the run's wall time; the table gives the time per
element-point and its ratio to the smallest network's. The network: N subbasins (deficit-and-
constant loss, Clark transform, one linear-reservoir layer) in groups of 100 into Muskingum
reaches, the reaches into one junction (a gauge) and a sink.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time

import numpy as np
import pandas as pd

YEARS = 10


def network_data(subbasins: int) -> dict:
    groups = max(1, subbasins // 100)
    data: dict = {
        "options": {"name": f"{subbasins} subbasins", "gauges": ["junction"]},
        "subbasins": {},
        "reaches": {
            f"r{g}": {"routing": {"method": "muskingum", "k": 30.0, "x": 0.2}, "downstream": "junction"}
            for g in range(groups)
        },
        "junctions": {"junction": {"downstream": "outlet"}},
        "sinks": {"outlet": {}},
    }
    for i in range(subbasins):
        data["subbasins"][f"s{i}"] = {
            "area": 500.0 + i % 7,
            "downstream": f"r{i % groups}",
            "loss": {"method": "deficit-constant", "initial_deficit": 0.5, "max_deficit": 1.5,
                     "constant_rate": 0.1, "time_to_dry": 48.0},
            "transform": {"method": "clark", "tc": 30.0, "r": 24.0},
            "baseflow": {"method": "linear-reservoirs", "layers": {"g": {"fraction": 0.5, "k": 240.0}}},
        }  # fmt: skip
    return data


def _peak_bytes() -> float:
    """This process's peak resident memory: VmHWM, which starts anew at exec (getrusage's maximum keeps
    the resident size of the process that started this one, as `make bench` does)."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return float(line.split()[1]) * 1024
    except OSError:
        pass
    return float(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss) * 1024


def one(subbasins: int) -> dict[str, float]:
    import rainmill_models as rm

    days = pd.date_range("2000-01-01", periods=365 * YEARS, freq="D", tz="UTC")
    rng = np.random.default_rng(1)
    rain = pd.Series(rng.gamma(0.3, 0.5, len(days)), index=days)
    network = rm.Network.from_dict(network_data(subbasins))
    started = time.perf_counter()
    result = network.run(rain, end=days[-1], keep="gauges")
    seconds = time.perf_counter() - started
    assert bool(result.balances["closes"].all())
    peak = _peak_bytes()
    elements = len(network.elements)
    return {"subbasins": subbasins, "elements": elements, "points": len(days), "seconds": seconds, "peak": peak}


def table(sizes: list[int]) -> tuple[list[str], list[dict[str, float]]]:
    """The markdown table, and each size's figures (its time per element-point as a ratio to the first's)."""
    rows = []
    for size in sizes:
        out = subprocess.run([sys.executable, __file__, "--one", str(size)], capture_output=True, text=True, check=True)
        rows.append(json.loads(out.stdout.strip().splitlines()[-1]))
    base = rows[0]["seconds"] / (rows[0]["elements"] * rows[0]["points"])
    lines = [
        f'Large networks: N subbasins x {YEARS} years daily, keep="gauges", an explicit end (fresh process each)',
        "",
        "| subbasins | elements | points | run (s) | ns per element-point | vs smallest | peak RSS (MiB) |",
        "|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        per = row["seconds"] / (row["elements"] * row["points"])
        row["ratio"] = per / base
        lines.append(
            f"| {row['subbasins']:,} | {row['elements']:,} | {row['points']:,} | {row['seconds']:.2f} | "
            f"{per * 1e9:.0f} | {row['ratio']:.2f}x | {row['peak'] / 2**20:,.0f} |"
        )
    return lines, rows


def report(sizes: tuple[int, ...] = (1000, 10000)) -> str:
    """The table and the targets, as markdown (`make bench` includes it)."""
    lines, rows = table(list(sizes))
    # the largest network's figures as the table rounds them
    ratio, peak = float(f"{rows[-1]['ratio']:.2f}"), float(f"{rows[-1]['peak'] / 2**20:.0f}")
    lines += [
        "",
        f'- {sizes[-1]:,} subbasins x {YEARS} years daily with keep="gauges": peak RSS {peak:,.0f} MiB — '
        f"**{'met' if peak <= 1024 else 'not met'}** (target <= 1 GiB)",
        f"- time per element-point {ratio:.2f}x the {sizes[0]:,}-subbasin figure — "
        f"**{'met' if ratio <= 1.2 else 'not met'}** (target <= 1.2x)",
    ]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--one", type=int, help="run one size in this process and print its figures as JSON")
    parser.add_argument("--sizes", default="1000,10000")
    args = parser.parse_args()
    if args.one:
        print(json.dumps(one(args.one)))
        return
    print("\n".join(table([int(s) for s in args.sizes.split(",")])[0]))


if __name__ == "__main__":
    main()
