"""Large temporaries keep their pages from one call to the next (no page fault per call)."""

import os
import subprocess
import sys

import pytest

CHILD = """
import datetime, resource, sys
import numpy as np
import rainmill

a = np.linspace(0.0, 10.0, 10**6)
b = a[::-1].copy()
series = rainmill.utils.ContinuousTimeSeries
calls = {
    "kge": lambda: rainmill.metrics.calculate_kge(a, b),
    "kge, logs": lambda: rainmill.metrics.calculate_kge(a, b, True),
    "muskingum": lambda: rainmill.reach.run_muskingum_routing(
        series(a, datetime.timedelta(hours=1), "discharge"), datetime.timedelta(hours=2), 0.2, 1, 0.0
    ),
}
for name, call in calls.items():
    call()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(5):
        call()
    print(name, (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) // 5)
"""


@pytest.mark.skipif(os.environ.get("RAINMILL_SANITIZED") == "1", reason="the sanitizers' allocator")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's allocator")
@pytest.mark.parametrize("tuned", [False, True])
def test_calls_on_a_million_values_reuse_their_pages(tuned):
    # A fresh process, as a user's script: 16 MB of temporaries per call would
    # be 4,000 page faults if the allocator gave them back each time (still
    # some 400 a block where the 2 MiB-aligned middle of each is served by huge
    # pages). An environment that tunes the allocator itself is left alone.
    env = {k: v for k, v in os.environ.items() if not k.startswith("MALLOC_")}
    if tuned:
        env["MALLOC_TOP_PAD_"] = str(128 * 1024)  # glibc's own default
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    faults = {name: int(count) for name, count in (line.rsplit(" ", 1) for line in done.stdout.splitlines())}
    if tuned:
        assert min(faults.values()) > 400, faults
    else:
        assert max(faults.values()) < 100, faults
