"""Throughput of rainmill calls made from several Python threads at once.

Each workload runs `calls` times in one thread, then `calls` times in each of `threads` threads
started together; the figure is how many times the serial throughput the threads reach together
(2.0 is perfect scaling on two cores). Long calls detach from the interpreter, so the threads run
in parallel; the results are checked to equal the serial ones.

    PYTHONPATH=<build dir> python benchmarks/bench_threads.py [--threads N] [--repeat N]

`rows(threads, repeat)` returns the figures as (workload, serial calls/s, threaded calls/s, ratio,
CPUs busy) for a runner that gathers every benchmark into one table; `markdown(rows)` formats them.
"CPUs busy" is the process's CPU time over the wall time of the threaded run: above 1 only when the
threads really run at once, whatever else loads the machine.
"""

import argparse
import datetime
import math
import os
import sys
import threading
import time

import rainmill

td = datetime.timedelta
ru = rainmill.reservoir.reservoir_utils
CTS = rainmill.utils.ContinuousTimeSeries


def level_pool_workload():
    # Thirty days of hourly inflow, one-second internal steps, three outlets.
    hours = 30 * 24
    inflow = CTS(
        [400.0 + 9000.0 * math.exp(-(((h % 240) - 30) ** 2) / 200.0) for h in range(hours)], td(hours=1), "discharge"
    )
    curve = ru.ElevationStorage([1000.0 + 0.5 * k for k in range(81)], [4.0e7 * k + 2.5e5 * k * k for k in range(81)])
    rating = ru.ElevationDischarge([1000.0, 1010.0, 1020.0, 1030.0, 1040.0], [0.0, 300.0, 700.0, 1100.0, 1500.0])
    outlets = {
        "gate": ru.ControlledDischargeInfo(rating, minimum_elevation=1005.0, maximum_release=900.0),
        "spillway": ru.UnControlledDischargeInfo(
            ru.ElevationDischarge([1025.0, 1028.0, 1032.0, 1036.0, 1040.0], [0.0, 800.0, 3000.0, 7000.0, 12000.0])
        ),
        "low_level": ru.ConstantDischargeInfo(50.0, minimum_elevation=1002.0),
    }

    def call():
        result = rainmill.reservoir.run_level_pool_routing(inflow, 1020.0, curve, outlets)
        return memoryview(result.reservoir_elevation)[-1]

    return call


def muskingum_workload():
    # 2 * 10^5 values through 8 sub-reaches.
    inflow = CTS([100.0 + 50.0 * math.sin(i / 300.0) for i in range(200_000)], td(minutes=15), "discharge")

    def call():
        # The result is read through its buffer, as an array user would: building a list of every
        # value holds the interpreter and would measure that instead of the routing.
        return memoryview(rainmill.reach.run_muskingum_routing(inflow, td(hours=6), 0.2, 8, 100.0))[-1]

    return call


WORKLOADS = {
    "level pool (30 days hourly, 3 outlets)": level_pool_workload,
    "Muskingum (2e5 values, 8 sub-reaches)": muskingum_workload,
}


def _timed(call, calls, threads):
    results = [[] for _ in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def worker(out):
        barrier.wait()
        for _ in range(calls):
            out.append(call())

    pool = [threading.Thread(target=worker, args=(results[i],)) for i in range(threads)]
    for thread in pool:
        thread.start()
    barrier.wait()
    start, cpu_start = time.perf_counter(), time.process_time()
    for thread in pool:
        thread.join()
    elapsed = time.perf_counter() - start
    return elapsed, (time.process_time() - cpu_start) / elapsed, results


def rows(threads=2, repeat=3, calls=4):
    figures = []
    for name, make in WORKLOADS.items():
        call = make()
        expected = call()
        serial = min(_timed(call, calls, 1)[0] for _ in range(repeat))
        parallel, busy = math.inf, 0.0
        for _ in range(repeat):
            elapsed, cpus, results = _timed(call, calls, threads)
            assert all(value == expected for out in results for value in out), "threaded result differs"
            if elapsed < parallel:
                parallel, busy = elapsed, cpus
        serial_rate = calls / serial
        threaded_rate = threads * calls / parallel
        figures.append((name, serial_rate, threaded_rate, threaded_rate / serial_rate, busy))
    return figures


def markdown(figures, threads=2):
    lines = [
        f"| workload | 1 thread (calls/s) | {threads} threads (calls/s) | throughput ratio | CPUs busy |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, serial_rate, threaded_rate, ratio, busy in figures:
        lines.append(f"| {name} | {serial_rate:.2f} | {threaded_rate:.2f} | {ratio:.2f}x | {busy:.2f} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--calls", type=int, default=4, help="calls per thread per timed run")
    args = parser.parse_args()
    print(
        f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, GIL "
        f"{'enabled' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'disabled'}"
    )
    print(markdown(rows(args.threads, args.repeat, args.calls), args.threads))


if __name__ == "__main__":
    main()
