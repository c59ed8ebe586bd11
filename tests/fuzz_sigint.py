"""How long each long call takes to react to SIGINT. Each call runs in a child process; once it has
started, the parent sends SIGINT and waits a bounded time for the child to report the
KeyboardInterrupt (by the system-wide monotonic clock), then kills it.

    python tests/fuzz_sigint.py [--wait 3]      prints the longest reaction, flagged above 0.5 s
"""

import argparse
import os
import signal
import subprocess
import sys
import time

FLAG = 0.5  # seconds: a reaction slower than this is a failure
SETTLE = 0.3  # seconds between the start of the call and the signal
LIMIT = 6 << 30  # address space of a child

CHILD = """
import datetime, os, resource, sys, time
if os.environ.get("RAINMILL_SANITIZED") != "1":  # the sanitizers cannot run under the limit
    resource.setrlimit(resource.RLIMIT_AS, ({limit}, resource.getrlimit(resource.RLIMIT_AS)[1]))
import rainmill
td = datetime.timedelta
u, ru, rb = rainmill.utils, rainmill.reservoir.reservoir_utils, rainmill.baseflow
sys.path.insert(0, {tests!r})
import kernels_preload
kn = kernels_preload.load()
{setup}
print("started", flush=True)
try:
    {call}
    print("returned", time.monotonic(), flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""

# (name, setup, call): each call runs for many seconds when nothing stops it
CALLS = [
    (
        "level pool over 2**31 s",
        'inflow = u.ContinuousTimeSeries([10.0, 10.0], td(seconds=2**31 - 1), "discharge")\n'
        "curve = ru.ElevationStorage([0.0, 1e9], [0.0, 1e12])",
        "rainmill.reservoir.run_level_pool_routing(inflow, 0.0, curve, {})",
    ),
    (
        "Muskingum with 10**12 sub-reaches",
        'inflow = u.ContinuousTimeSeries([1.0] * 10, td(hours=1), "discharge")',
        "rainmill.reach.run_muskingum_routing(inflow, td(hours=1), 0.2, 10**12, 0.0)",
    ),
    (
        "Clark convolution, 10**5 steps x 10**5 ordinates",
        'rain = u.IncrementalTimeSeries([1.0] * 10**5, td(seconds=60), "rainfall")',
        "rainmill.rainfall_transform.run_clark_uh(rain, 640.0, td(seconds=60 * 10**5), td(hours=1))",
    ),
    (
        "baseflow through 10**6 reservoirs, 10**5 steps",
        'rain = u.IncrementalTimeSeries([1.0] * 10**5, td(hours=1), "rainfall")\n'
        'layers = {"a": rb.LinearReservoir(td(seconds=2**31 - 1), 0.5, 0.0, 10**6)}',
        "rainmill.baseflow.run_linear_reservoir(640.0, rain, layers)",
    ),
    (
        "disaggregate to 5 * 10**8 values",
        'rain = u.IncrementalTimeSeries([1.0] * 7, td(seconds=2147483640), "rainfall")',
        "rain.disaggregate(30)",
    ),
    ("conversion of range(4 * 10**8)", "", 'u.ContinuousTimeSeries(range(4 * 10**8), td(hours=1), "volume")'),
    # the models package's kernels whose work grows with a parameter or an input
    ("SCS unit hydrograph of 3 * 10**8 ordinates", "", "kn.scs_unit_hydrograph(6e7, 484.0, 640.0, 1.0)"),
    ("Snyder unit hydrograph of 3 * 10**8 ordinates", "", "kn.snyder_unit_hydrograph(6e7, 0.6, 640.0, 1.0)"),
    ("user unit hydrograph of 3 * 10**8 ordinates", "", "kn.user_unit_hydrograph([0.0, 1.0, 0.0], 1.5e8, 640.0, 1.0)"),
    ("convolution of 10**5 x 10**5", "rain = [1.0] * 10**5", "kn.convolve_unit_hydrograph(rain, rain)"),
    (
        "Muskingum-Cunge, 8000 sub-reaches x 10**5 steps",
        "inflow = [100.0 + (i % 50) for i in range(10**5)]",
        "kn.muskingum_cunge_routing(inflow, 4e6, 0.001, 0.035, 50.0, 2.0, 1.0)",
    ),
    (
        "modified Puls, 1000 sub-reaches x 10**6 steps",
        "inflow = [1.0 + (i % 7) for i in range(10**6)]",
        "kn.modified_puls_routing(inflow, [0.0, 1e6, 1e9], [0.0, 100.0, 1e4], 1000, 3600.0)",
    ),
    (
        "snow, 10**4 zones x 10**5 steps",
        "p = dict(threshold=1.0, transition=2.0, base=0.0, melt_rate_min=0.05, melt_rate_max=0.15, "
        "refreeze_fraction=0.5, liquid_fraction=0.05, lapse_rate=6.5, reference_elevation=1000.0)\n"
        "z = 10**4\nn = 10**5",
        "kn.temperature_index_snow([0.1] * n, [0.0] * n, 1.0, 0.0, p, [1000.0] * z, [1.0 / z] * z, [0.0] * z, [0.0] * z)",
    ),
    (
        "soil moisture, 5 * 10**7 steps",
        "import array\nw = array.array('d', [0.1]) * (5 * 10**7)\n"
        "p = dict(canopy_max=0.1, surface_max=0.2, soil_max=5.0, tension_max=3.0, max_infiltration=0.5, "
        "soil_percolation=0.1, gw1_max=2.0, gw1_percolation=0.05, gw1_coefficient=20.0, gw2_max=3.0, "
        "gw2_percolation=0.01, gw2_coefficient=200.0)\n"
        "s = dict(canopy=0.0, surface=0.0, soil=1.0, gw1=0.0, gw2=0.0)",
        "kn.soil_moisture(w, w, 1.0, p, s)",
    ),
    (
        "Green-Ampt, 10**8 steps",
        "import array\nw = array.array('d', [0.1]) * 10**8",
        "kn.green_ampt_loss(w, 4.0, 0.1, 0.3, 0.0, 1.0)",
    ),
]


def react(setup, call, wait):
    """Seconds from SIGINT to the KeyboardInterrupt, or a text saying what happened instead."""
    code = CHILD.format(limit=LIMIT, setup=setup, call=call, tests=os.path.dirname(os.path.abspath(__file__)))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if child.stdout.readline().strip() != "started":
            child.wait(timeout=wait)
            return f"did not start: {child.stderr.read().strip()[-300:]}"
        time.sleep(SETTLE)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        try:
            out, err = child.communicate(timeout=wait)
        except subprocess.TimeoutExpired:
            return f"no reaction within {wait:g} s"
        words = out.split()
        if len(words) >= 2 and words[0] == "interrupted":
            return max(0.0, float(words[1]) - sent)
        if words and words[0] == "returned":
            return f"finished before the signal ({float(words[1]) - sent:+.2f} s)"
        return f"exit status {child.returncode}: {err.strip()[-300:]}"
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


def run(wait, names=None):
    return [(name, react(setup, call, wait)) for name, setup, call in CALLS if names is None or name in names]


def summary(results, wait):
    times = [r for _, r in results if isinstance(r, float)]
    stuck = [n for n, r in results if not isinstance(r, float) and r.startswith("no reaction")]
    longest = f"> {wait:g} s (no reaction)" if stuck else f"{max(times):.3f} s" if times else "n/a"
    slow = [n for n, r in results if isinstance(r, float) and r > FLAG] + stuck
    return f"SIGINT: longest reaction {longest} over {len(results)} long calls; {len(slow)} slower than {FLAG} s", slow


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wait", type=float, default=3.0, help="seconds to wait for a reaction")
    args = parser.parse_args()
    results = run(args.wait)
    for name, result in results:
        text = f"{result:.3f} s" if isinstance(result, float) else result
        bad = (not isinstance(result, float) and not result.startswith("finished")) or (
            isinstance(result, float) and result > FLAG
        )
        print(f"{'FAIL' if bad else 'ok  '} {name}: {text}")
    line, slow = summary(results, args.wait)
    print(line)
    sys.exit(1 if slow else 0)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONFAULTHANDLER", "1")
    main()
