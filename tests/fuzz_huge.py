"""Huge inputs: each must end in MemoryError, OverflowError, a clear ValueError, or complete. Each runs
in a child process whose address space is limited (RLIMIT_AS), so nothing eats the machine, and
with a time limit, so nothing hangs the harness.

    python tests/fuzz_huge.py [--quick]
"""

import argparse
import os
import subprocess
import sys
import time

LIMIT = 3 << 30  # bytes of address space per child
TIMEOUT = 60  # seconds per child
ACCEPTED = ("MemoryError", "OverflowError", "ValueError", "completed")

PRELUDE = """
import datetime, resource, sys
resource.setrlimit(resource.RLIMIT_AS, ({limit}, resource.getrlimit(resource.RLIMIT_AS)[1]))
import rainmill
td = datetime.timedelta
u, ru, rb = rainmill.utils, rainmill.reservoir.reservoir_utils, rainmill.baseflow
sys.path.insert(0, {tests!r})
import kernels_preload
kn = kernels_preload.load()
SNOW = dict(threshold=1.0, transition=2.0, base=0.0, melt_rate_min=0.05, melt_rate_max=0.15,
            refreeze_fraction=0.5, liquid_fraction=0.05, lapse_rate=6.5, reference_elevation=1000.0)

def zones(count, steps):
    return kn.temperature_index_snow([0.1] * steps, [0.0] * steps, 1.0, 0.0, SNOW, [1000.0] * count,
                                     [1.0 / count] * count, [0.0] * count, [0.0] * count, True)

class Lying:
    def __init__(self, items, length):
        self.items, self.length = items, length
    def __len__(self):
        return self.length
    def __getitem__(self, i):
        return self.items[i]

before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    result = ({expression})
    del result
    print("outcome: completed")
except BaseException as error:
    print(f"outcome: {{type(error).__name__}}: {{str(error)[:200]}}")
print("grown:", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""

# (name, expression, quick): quick ones also run inside `make test`
CASES = [
    ("a series of range(10**9) values", 'u.ContinuousTimeSeries(range(10**9), td(hours=1), "volume")', False),
    (
        "a series whose __len__ claims 2**62 items",
        'u.ContinuousTimeSeries(Lying([1.0, 2.0], 2**62), td(hours=1), "volume")',
        True,
    ),
    (
        "a series whose __len__ claims 2**31 items",
        'u.ContinuousTimeSeries(Lying([1.0, 2.0], 2**31), td(hours=1), "volume")',
        False,
    ),
    (
        "disaggregate 10 values of 2147483640 s to 30 s",
        'u.IncrementalTimeSeries([1.0] * 10, td(seconds=2147483640), "rainfall").disaggregate(30)',
        True,
    ),
    (
        "disaggregate 10**5 values of 2147483640 s to 30 s",
        'u.IncrementalTimeSeries([1.0] * 10**5, td(seconds=2147483640), "rainfall").disaggregate(30)',
        False,
    ),
    (
        "Clark, tc of 30 years at a 1 s step",
        'rainmill.rainfall_transform.run_clark_uh(u.IncrementalTimeSeries([1.0], td(seconds=1), "rainfall"), '
        "640.0, td(days=365 * 30), td(hours=1))",
        True,
    ),
    (
        "Clark, the largest tc at a 1 s step",
        'rainmill.rainfall_transform.run_clark_uh(u.IncrementalTimeSeries([1.0], td(seconds=1), "rainfall"), '
        "640.0, td.max, td(hours=1))",
        False,
    ),
    (
        "baseflow through 2**40 reservoirs",
        'rb.run_linear_reservoir(640.0, u.IncrementalTimeSeries([1.0], td(hours=1), "rainfall"), '
        '{"a": rb.LinearReservoir(td(hours=2), 0.5, 0.0, 2**40)})',
        True,
    ),
    (
        "baseflow through 2**64 - 1 reservoirs",
        'rb.run_linear_reservoir(640.0, u.IncrementalTimeSeries([1.0], td(hours=1), "rainfall"), '
        '{"a": rb.LinearReservoir(td(hours=2), 0.5, 0.0, 2**64 - 1)})',
        False,
    ),
    ("a rating curve of 5 * 10**7 points", "ru.ElevationStorage(range(5 * 10**7), range(5 * 10**7))", False),
    (
        "KGE of two ranges of 5 * 10**7 values",
        "rainmill.metrics.calculate_kge(range(5 * 10**7), range(5 * 10**7))",
        False,
    ),
    (
        "Muskingum of a range of 5 * 10**7 values",
        'rainmill.reach.run_muskingum_routing(u.ContinuousTimeSeries(range(5 * 10**7), td(hours=1), "discharge"), '
        "td(hours=1), 0.2, 1, 0.0)",
        False,
    ),
    ("a time step of 2**31 s", 'u.ContinuousTimeSeries([1.0, 2.0], td(seconds=2**31), "volume")', True),
    (
        "the longest duration of a 2**31 - 1 s series",
        'u.IncrementalTimeSeries([1.0] * 10**6, td(seconds=2**31 - 1), "rainfall").total_duration()',
        True,
    ),
    (
        "level pool with 10**5 outlets",
        'rainmill.reservoir.run_level_pool_routing(u.ContinuousTimeSeries([1.0] * 3, td(seconds=2), "discharge"), '
        "100.0, ru.ElevationStorage([100.0, 1e9], [0.0, 1e12]), {str(i): ru.ConstantDischargeInfo(0.0) for i in range(10**5)})",
        False,
    ),
    # outputs of the models package's kernels sized by a parameter: refused before anything is filled
    ("SCS unit hydrograph from a lag of 10**12 hours", "kn.scs_unit_hydrograph(1e12, 484.0, 640.0, 1.0)", True),
    ("Snyder unit hydrograph from a lag of 10**12 hours", "kn.snyder_unit_hydrograph(1e12, 0.6, 640.0, 1.0)", True),
    ("user unit hydrograph at 10**12 hours", "kn.user_unit_hydrograph([0.0, 1.0, 0.0], 1e12, 640.0, 1.0)", True),
    ("snow zone storages of 10**6 zones x 10**4 steps", "zones(10**6, 10**4)", True),
    ("snow zone storages of 3 * 10**4 zones x 3 * 10**4 steps", "zones(3 * 10**4, 3 * 10**4)", False),
    (
        "Muskingum-Cunge through a reach of 10**15 ft",
        "kn.muskingum_cunge_routing([100.0, 200.0, 100.0], 1e15, 0.001, 0.035, 50.0, 2.0, 3600.0)",
        True,
    ),
    (
        "Muskingum-Cunge with 10**-9 s steps",
        "kn.muskingum_cunge_routing([100.0, 200.0, 100.0], 1e4, 0.001, 0.035, 50.0, 2.0, 1e-9)",
        True,
    ),
    ("lag by 10**300 steps", "kn.lag_routing([1.0, 2.0, 3.0], 1e300, 1e-10)", True),
    (
        "modified Puls with 2**62 sub-reaches",
        "kn.modified_puls_routing([1.0], [0.0, 1.0], [0.0, 1.0], 2**62, 60.0)",
        True,
    ),
]
# Above this growth (KiB) a refused request has filled memory before failing: checked for the
# kernels' outputs sized by a parameter, which the memory guard must refuse up front.
GROWN_LIMIT = 256 << 10
GUARDED = ("kn.", "zones(")


def run_case(expression, limit=LIMIT, timeout=TIMEOUT):
    """(outcome, seconds): 'completed', an exception name with its message, 'crash (...)' or 'timeout'."""
    started = time.monotonic()
    try:
        done = subprocess.run(
            [
                sys.executable,
                "-c",
                PRELUDE.format(limit=limit, expression=expression, tests=os.path.dirname(os.path.abspath(__file__))),
            ],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return f"timeout after {timeout} s", time.monotonic() - started
    elapsed = time.monotonic() - started
    lines = [line for line in done.stdout.splitlines() if line.startswith("outcome: ")]
    if done.returncode != 0 or not lines:
        return f"crash (exit status {done.returncode}): {done.stderr.strip()[-300:]}", elapsed
    outcome = lines[-1][len("outcome: ") :]
    grown = [int(line.split()[1]) for line in done.stdout.splitlines() if line.startswith("grown: ")]
    guarded = expression.startswith(GUARDED)
    if guarded and not outcome.startswith("completed") and grown and grown[-1] > GROWN_LIMIT:
        return f"filled {grown[-1] >> 10} MiB before {outcome}", elapsed
    return outcome, elapsed


def accepted(outcome):
    return outcome.split(":")[0] in ACCEPTED


def run(quick):
    results = []
    for name, expression, is_quick in CASES:
        if quick and not is_quick:
            continue
        outcome, elapsed = run_case(expression)
        results.append((name, outcome, elapsed))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if os.environ.get("RAINMILL_SANITIZED") == "1":
        print("huge inputs: skipped under the sanitizers (they cannot run under an address-space limit)")
        return
    results = run(args.quick)
    counts = {}
    for name, outcome, elapsed in results:
        kind = outcome.split(":")[0] if accepted(outcome) else "FAILED"
        counts[kind] = counts.get(kind, 0) + 1
        print(f"{'ok  ' if accepted(outcome) else 'FAIL'} {name}: {outcome} ({elapsed:.1f} s)")
    print("huge inputs: " + ", ".join(f"{n} {k}" for k, n in sorted(counts.items())))
    sys.exit(1 if "FAILED" in counts else 0)


if __name__ == "__main__":
    main()
