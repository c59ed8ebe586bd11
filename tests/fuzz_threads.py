"""Thread stress: first use of every class from many threads at once, in fresh processes; and many
threads calling every computation on shared objects while others set attributes.

    python tests/fuzz_threads.py [--threads 16] [--calls 200] [--processes 4]
"""

import argparse
import datetime
import os
import subprocess
import sys
import threading
import warnings

import rainmill

td = datetime.timedelta
u = rainmill.utils
ru = rainmill.reservoir.reservoir_utils
rb = rainmill.baseflow

# Builds one instance of every class and runs every computation once; the results must not depend
# on which thread got there first.
FIRST_USE = r"""
import datetime, sys, threading
import rainmill
td = datetime.timedelta
u, ru, rb = rainmill.utils, rainmill.reservoir.reservoir_utils, rainmill.baseflow
threads = int(sys.argv[1])
barrier = threading.Barrier(threads)
results, errors = [None] * threads, []

def everything():
    rain = u.IncrementalTimeSeries([0.5, 1.0, 0.0], td(hours=1), "rainfall")
    flow = u.ContinuousTimeSeries([10.0, 50.0, 30.0, 20.0], td(minutes=30), "discharge")
    rating = ru.ElevationDischarge([100.0, 110.0, 125.0], [0.0, 50.0, 300.0])
    outlets = {"c": ru.ConstantDischargeInfo(1.0), "g": ru.ControlledDischargeInfo(rating, 101.0),
               "w": ru.UnControlledDischargeInfo(rating), "s": ru.SpecifiedDischargeInfo(flow)}
    curve = ru.ElevationStorage([100.0, 110.0, 125.0], [0.0, 1.0e5, 5.0e5])
    pool = rainmill.reservoir.run_level_pool_routing(flow, 102.0, curve, outlets)
    loss = rainmill.rainfall_loss.run_deficit_and_constant(rain, 0.5, 1.0, 0.1, td(hours=4))
    base = rb.run_linear_reservoir(640.0, rain, {"a": rb.LinearReservoir(td(hours=2), 0.5, 0.0, 2)})
    return (pool.reservoir_elevation.data, sorted(pool.reservoir_individual_outflows), loss.excess.data,
            base[0].data, rainmill.reach.run_muskingum_routing(flow, td(hours=1), 0.2, 2, 10.0).data,
            rainmill.rainfall_transform.run_clark_uh(rain, 640.0, td(hours=2), td(hours=1)).data,
            rainmill.metrics.calculate_kge([1.0, 2.0, 3.0], [1.0, 2.0, 4.0]), rain.disaggregate(900).data,
            curve.get_storage(105.0), type(pool).__name__, type(loss).__name__)

def worker(i):
    try:
        barrier.wait()
        results[i] = everything()
    except BaseException as error:
        errors.append(repr(error))

workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
for w in workers: w.start()
for w in workers: w.join()
reference = everything()
different = sum(r != reference for r in results)
print(f"errors {len(errors)} different {different}", errors[:3])
sys.exit(1 if errors or different else 0)
"""


def first_use(threads, processes):
    """[problems]; each process runs every class's first use from `threads` threads at once."""
    problems = []
    for _ in range(processes):
        done = subprocess.run(
            [sys.executable, "-c", FIRST_USE, str(threads)], capture_output=True, text=True, timeout=300
        )
        if done.returncode != 0:
            problems.append(f"first use, exit status {done.returncode}: {(done.stdout + done.stderr).strip()[-400:]}")
    return problems


class Shared:
    """Objects shared by every thread, and the expected result of every computation on them."""

    def __init__(self):
        self.rain = u.IncrementalTimeSeries([0.5, 1.0, 0.0, 0.2] * 25, td(hours=1), "rainfall")
        self.flow = u.ContinuousTimeSeries([10.0 + (i % 17) for i in range(200)], td(minutes=5), "discharge")
        self.curve = ru.ElevationStorage([100.0, 110.0, 125.0], [0.0, 1.0e5, 5.0e5])
        rating = ru.ElevationDischarge([100.0, 110.0, 125.0], [0.0, 50.0, 300.0])
        self.outlets = {
            "c": ru.ConstantDischargeInfo(1.0),
            "g": ru.ControlledDischargeInfo(rating, 101.0),
            "w": ru.UnControlledDischargeInfo(rating),
        }
        self.layer = rb.LinearReservoir(td(hours=2), 0.5, 0.0, 2)  # its attributes change under the readers
        self.changing_outlets = dict(self.outlets)  # and this dictionary changes its keys
        self.sim, self.obs = [1.0 + i % 7 for i in range(500)], [1.5 + i % 5 for i in range(500)]
        self.calls = {
            "level pool": lambda: (
                rainmill.reservoir.run_level_pool_routing(
                    self.flow, 102.0, self.curve, self.outlets
                ).reservoir_total_outflow.data
            ),
            "muskingum": lambda: rainmill.reach.run_muskingum_routing(self.flow, td(hours=1), 0.2, 3, 10.0).data,
            "clark": lambda: rainmill.rainfall_transform.run_clark_uh(self.rain, 640.0, td(hours=6), td(hours=2)).data,
            "loss": lambda: (
                rainmill.rainfall_loss.run_deficit_and_constant(self.rain, 0.5, 1.0, 0.1, td(hours=4)).deficit.data
            ),
            "kge": lambda: rainmill.metrics.calculate_kge(self.sim, self.obs, True),
            "disaggregate": lambda: self.rain.disaggregate(600).data,
            "lookups": lambda: [self.curve.get_elevation(s) for s in (0.0, 5.0e4, 3.0e5)],
        }
        self.expected = {name: call() for name, call in self.calls.items()}
        # every state the layer passes through, and the baseflow each gives
        self.states = [(q, f) for q in (0.0, 5.0) for f in (0.5, 0.25)]
        self.baseflow = set()
        for q, f in self.states:
            layer = rb.LinearReservoir(td(hours=2), f, q, 2)
            self.baseflow.add(tuple(rb.run_linear_reservoir(640.0, self.rain, {"a": layer})[0].data))


def shared_objects(threads, calls, setters=2):
    """(calls survived, [problems]): `threads` readers call everything while `setters` threads set the
    shared layer's attributes."""
    shared = Shared()
    stop = threading.Event()
    problems, counts = [], [0] * threads
    names = sorted(shared.calls)

    def refused(error):
        """A borrow conflict is a documented refusal; anything else is a finding."""
        return isinstance(error, RuntimeError) and "borrowed" in str(error)

    def reader(i):
        for k in range(calls):
            name = names[(i + k) % len(names)]
            steps = (
                lambda: (
                    shared.calls[name]() == shared.expected[name] or f"{name} gave a different result under threads"  # noqa: B023
                ),
                lambda: (
                    tuple(rb.run_linear_reservoir(640.0, shared.rain, {"a": shared.layer})[0].data) in shared.baseflow
                    or "baseflow saw a layer half-way through a change"
                ),
                lambda: (
                    rainmill.reservoir.run_level_pool_routing(shared.flow, 102.0, shared.curve, shared.changing_outlets)
                    and True
                ),
            )
            for step in steps:
                try:
                    outcome = step()
                except BaseException as error:
                    # a dictionary changed while it was read is refused with a panic
                    changed = type(error).__name__ == "PanicException" and "during iteration" in str(error)
                    if not (changed or refused(error)):
                        problems.append(f"reader: {type(error).__name__}: {error}")
                        return
                else:
                    if outcome is not True:
                        problems.append(outcome)
                counts[i] += 1

    def setter():
        k = 0
        while not stop.is_set():
            q, f = shared.states[k % len(shared.states)]
            if k % 2:
                shared.changing_outlets.pop("extra", None)
            else:
                shared.changing_outlets["extra"] = shared.outlets["c"]
            try:
                # set both fields at once is impossible; the other readers may see any combination
                shared.layer.initial_q = q
                shared.layer.gw_fraction = f
            except RuntimeError as error:
                if "borrowed" not in str(error):
                    problems.append(f"setter: {error}")
            k += 1

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        writers = [threading.Thread(target=setter) for _ in range(setters)]
        readers = [threading.Thread(target=reader, args=(i,)) for i in range(threads)]
        for t in writers + readers:
            t.start()
        for t in readers:
            t.join()
        stop.set()
        for t in writers:
            t.join()
    return sum(counts), problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--processes", type=int, default=4)
    args = parser.parse_args()
    problems = first_use(args.threads, args.processes)
    survived, shared_problems = shared_objects(args.threads, args.calls)
    problems += shared_problems
    for problem in dict.fromkeys(problems):
        print("FAIL " + problem)
    print(
        f"threads: first use {args.threads} threads x {args.processes} fresh processes; shared objects "
        f"{args.threads} threads x {survived // args.threads} calls survived; {len(problems)} problems"
    )
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
