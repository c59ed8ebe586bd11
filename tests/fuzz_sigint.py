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
]


def react(setup, call, wait):
    """Seconds from SIGINT to the KeyboardInterrupt, or a text saying what happened instead."""
    code = CHILD.format(limit=LIMIT, setup=setup, call=call)
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
