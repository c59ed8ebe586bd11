"""The Clark ordinate guard measures a request against what the process may still allocate."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    os.environ.get("RAINMILL_SANITIZED") == "1" or not sys.platform.startswith("linux"),
    reason="needs /proc and an address-space limit; the sanitizer's shadow memory cannot live under one",
)

CHILD = textwrap.dedent(
    """
    import datetime, resource, sys
    import rainmill

    page = resource.getpagesize()
    mapped = int(open("/proc/self/statm").read().split()[0]) * page
    ordinates = 2**27  # one GiB per working vector
    # Room for one working vector, not for the two the run needs.
    limit = mapped + 3 * 2**29
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    rain = rainmill.utils.IncrementalTimeSeries([1.0, 0.0], datetime.timedelta(seconds=1), "rainfall")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        rainmill.rainfall_transform.run_clark_uh(
            rain, 100.0, datetime.timedelta(seconds=ordinates), datetime.timedelta(seconds=60))
    except MemoryError:
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print("MemoryError", grown)
    else:
        print("completed")
    # A request that fits still runs under the same limit.
    small = rainmill.rainfall_transform.run_clark_uh(
        rain, 100.0, datetime.timedelta(seconds=10**6), datetime.timedelta(seconds=60))
    print("small", len(small.data))
    """
)


def test_request_beyond_the_address_space_limit_fails_before_filling_anything():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.split("\n")[:2]
    kind, grown_kib = first.split()
    assert kind == "MemoryError"
    # Nothing of the GiB-sized vectors was touched (ru_maxrss is in KiB).
    assert int(grown_kib) < 64 * 1024
    assert second == f"small {2 + 10**6 - 1}"
