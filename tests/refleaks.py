"""Reference-leak check: every callable, on its success and failure paths, run many times under a
debug interpreter (sys.gettotalrefcount); the total must not grow with the number of calls.

Run with a debug build of the modules (the models package's kernels are loaded from the same directory):
    PYTHONPATH=build/debug RAINMILL_KERNELS_DIR=build/debug .python/usr/bin/python3.14d tests/refleaks.py
"""

import argparse
import array
import contextlib
import ctypes
import datetime
import gc
import io
import math
import random
import signal
import sys
import warnings

import rainmill

import fuzz_calls

td = datetime.timedelta
HOUR = td(hours=1)
u = rainmill.utils
ru = rainmill.reservoir.reservoir_utils
CTS, ITS = u.ContinuousTimeSeries, u.IncrementalTimeSeries
ROUNDS, CALLS = 4, 100
FUZZ_CALLS = 20  # per round, for each hostile call of the fuzz harness
FUZZ_WARMUP = 300


def failing(call, *errors):
    def run():
        try:
            call()
        except errors:
            pass
        else:
            raise AssertionError("expected an error")

    return run


def panicking(call):
    def run():
        try:
            call()
        except BaseException as error:  # the panic exception is not importable
            if type(error).__name__ != "PanicException":
                raise
        else:
            raise AssertionError("expected a panic")

    return run


class Cause(TypeError):
    pass


class RaisingFloat:
    def __float__(self):
        error = TypeError("no float")
        error.__cause__ = KeyError("why")
        raise error


series = CTS([0.0, 10.0, 20.0], td(seconds=60), "discharge")
released_view = memoryview(array.array("d", [1.0]))
released_view.release()
rain = ITS([0.0, 1.0, 0.5], HOUR, "rainfall")
curve = ru.ElevationStorage([100.0, 164.0], [0.0, 64.0])
rating = ru.ElevationDischarge([100.0, 110.0], [0.0, 50.0])
outlets = {
    "gate": ru.ControlledDischargeInfo(rating, 90.0, 120.0, 20.0),
    "weir": ru.UnControlledDischargeInfo(rating, -5.0),
    "spec": ru.SpecifiedDischargeInfo(CTS([1.0] * 10, td(seconds=2), "discharge")),
    "min": ru.ConstantDischargeInfo(1.0, 100.0),
}
layer = rainmill.baseflow.LinearReservoir(td(hours=2), 0.5, 0.0)
routing_inflow = CTS([0.0, 10.0, 10.0], td(seconds=2), "discharge")

CASES = {
    "series construction": lambda: CTS((1.0, 2.0), HOUR, "volume"),
    "series getters": lambda: (series.data, series.kind, series.time_step, series.total_duration()),
    "series binding error": failing(lambda: CTS([1.0], HOUR, "volume", bogus=1), TypeError),
    "series missing": failing(lambda: CTS(), TypeError),
    "series kind error": failing(lambda: CTS([1.0], HOUR, "flow"), ValueError),
    "series negative step": failing(lambda: CTS([1.0], td(seconds=-1), "volume"), ValueError),
    "vector refusals": failing(lambda: CTS("x", HOUR, "volume"), TypeError),
    "vector generator": failing(lambda: CTS((x for x in [1.0]), HOUR, "volume"), TypeError),
    "vector item with cause": failing(lambda: CTS([RaisingFloat()], HOUR, "volume"), TypeError),
    "vector from arrays": lambda: [
        CTS(data, HOUR, "volume")
        for data in (array.array("d", [1.0, 2.0]), array.array("q", [3, 4]), memoryview(b"\x01\x02"))
    ],
    "vector from a released view": failing(lambda: CTS(released_view, HOUR, "volume"), ValueError),
    "series buffers": lambda: (memoryview(series).tolist(), bytes(rain)),
    "series writable buffer": failing(lambda: (ctypes.c_char * 1).from_buffer(series), TypeError),
    "disaggregate": lambda: rain.disaggregate(900).data,
    "disaggregate errors": failing(lambda: rain.disaggregate(7), ValueError),
    "int32 overflow": failing(lambda: rain.disaggregate(2**40), OverflowError),
    "curve lookups": lambda: (curve.get_storage(110.0), curve.get_elevation(10.0), curve.elevation),
    "curve range error": failing(lambda: curve.get_storage(1e300), ValueError),
    "curve construction error": failing(lambda: ru.ElevationStorage([1.0, 1.0], [0.0, 1.0]), ValueError),
    "outlet getters": lambda: [
        (o.minimum_elevation, getattr(o, "elevation_discharge", None), getattr(o, "discharge", None))
        for o in outlets.values()
        if not isinstance(o, ru.UnControlledDischargeInfo)
    ],
    "level pool": lambda: (
        rainmill.reservoir.run_level_pool_routing(routing_inflow, 100.0, curve, outlets).reservoir_individual_outflows
    ),
    "level pool result getters": lambda: (
        lambda r: (r.reservoir_storage, r.reservoir_elevation, r.reservoir_total_outflow)
    )(rainmill.reservoir.run_level_pool_routing(routing_inflow, 100.0, curve, {})),
    "level pool enum error": failing(
        lambda: rainmill.reservoir.run_level_pool_routing(routing_inflow, 100.0, curve, {"x": 1}), TypeError
    ),
    "level pool routing error": failing(
        lambda: rainmill.reservoir.run_level_pool_routing(routing_inflow, 170.0, curve, {}), ValueError
    ),
    "muskingum": lambda: rainmill.reach.run_muskingum_routing(series, HOUR, 0.2, 2, 0.0).data,
    "muskingum empty panic": panicking(
        lambda: rainmill.reach.run_muskingum_routing(CTS([], HOUR, "discharge"), HOUR, 0.2, 1, 0.0)
    ),
    "loss": lambda: (lambda r: (r.excess, r.loss, r.deficit))(
        rainmill.rainfall_loss.run_deficit_and_constant(rain, 0.5, 1.0, 0.1, HOUR)
    ),
    "clark": lambda: rainmill.rainfall_transform.run_clark_uh(rain, 640.0, td(hours=4), HOUR).data,
    "baseflow": lambda: rainmill.baseflow.run_linear_reservoir(640.0, rain, {"a": layer, "b": layer}),
    "baseflow map error": failing(lambda: rainmill.baseflow.run_linear_reservoir(640.0, rain, {"a": 1}), TypeError),
    "reservoir setters": lambda: (setattr(layer, "initial_q", 0.0), layer.k_duration, layer.num_reservoir),
    "reservoir deleter": failing(lambda: delattr(layer, "gw_fraction"), AttributeError),
    "kge": lambda: rainmill.metrics.calculate_kge([1.0, 2.0, 3.0], [1.0, 2.0, 4.0], True),
    "kge bool error": failing(lambda: rainmill.metrics.calculate_kge([1.0], [1.0], 1), TypeError),
}


def warning_as_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:  # noqa: SIM105
            rainmill.reach.run_muskingum_routing(series, HOUR, 0.9, 1, 0.0)
        except UserWarning:
            pass


def resumed_panic():
    cls = None
    try:
        rainmill.reach.run_muskingum_routing(CTS([], HOUR, "discharge"), HOUR, 0.2, 1, 0.0)
    except BaseException as error:
        cls = type(error)

    class Evil:
        def __float__(self):
            raise cls("from Python")

    with contextlib.redirect_stderr(io.StringIO()):
        panicking(lambda: CTS([Evil()], HOUR, "volume"))()


def interrupt(signum, frame):
    raise KeyboardInterrupt


def interrupted_conversion():
    # The timer fires while the conversion runs in native code.
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        CTS(range(10**8), HOUR, "volume")
    except KeyboardInterrupt:
        pass
    else:
        raise AssertionError("expected an interrupt")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


CASES["warning turned into an error"] = warning_as_error
CASES["interrupted conversion"] = interrupted_conversion
CASES["panic resumed from Python code"] = resumed_panic


class SameText(str):
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


class Stop(Exception):
    pass


def interrupted_long_call():
    # A signal handler raising in the middle of a long, detached computation.
    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    long_inflow = CTS([1.0, 1.0], td(seconds=2**31 - 1), "discharge")
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        rainmill.reservoir.run_level_pool_routing(long_inflow, 100.0, curve, {"min": outlets["min"]})
    except Stop:
        pass
    else:
        raise AssertionError("expected the handler's exception")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


CASES["level pool NaN inflow"] = failing(
    lambda: rainmill.reservoir.run_level_pool_routing(
        CTS([1.0, math.nan], td(seconds=2), "discharge"), 100.0, curve, {}
    ),
    ValueError,
)
CASES["duplicate outlet names"] = failing(
    lambda: rainmill.reservoir.run_level_pool_routing(
        routing_inflow, 100.0, curve, {SameText("a"): outlets["min"], SameText("a"): outlets["min"]}
    ),
    ValueError,
)
CASES["duplicate layer names"] = failing(
    lambda: rainmill.baseflow.run_linear_reservoir(640.0, rain, {SameText("a"): layer, SameText("a"): layer}),
    ValueError,
)
CASES["interrupted long call"] = interrupted_long_call


def fuzz_case(seed):
    """One hostile call of the fuzz harness (tests/fuzz_calls.py), rebuilt identically on every run."""

    def run():
        case = fuzz_calls.make_case(random.Random(seed))
        fuzz_calls.run_case(case, warnings_as_errors=seed % 3 == 0)

    return run


def systematic_case(factory):
    def run():
        fuzz_calls.run_case(factory(), warnings_as_errors=False)

    return run


def leaked(case, calls=CALLS):
    if calls != CALLS:
        # Interpreter caches (free lists, type and specialisation caches) fill over the first few
        # hundred calls of a hostile case; short rounds start after they have.
        for _ in range(FUZZ_WARMUP):
            case()
    deltas = []
    for _ in range(ROUNDS):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(calls):
            case()
        gc.collect()
        deltas.append(sys.gettotalrefcount() - before)
    # The first round may fill caches; a leak shows as growth in every later round.
    return min(deltas[1:])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fuzz-cases", type=int, default=150, help="hostile calls from tests/fuzz_calls.py")
    parser.add_argument("-v", action="store_true", help="print every case whose total moved")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleaks: needs a debug interpreter (python3.14d)")
    fuzz_calls.limit_address_space()
    cases = [(name, case, CALLS) for name, case in CASES.items()]
    cases += [(label, systematic_case(factory), FUZZ_CALLS) for label, factory in fuzz_calls.systematic_cases().items()]
    cases += [(f"fuzz case {seed}", fuzz_case(seed), FUZZ_CALLS) for seed in range(args.fuzz_cases)]
    # what the measuring itself costs, for each number of calls per round
    baseline = {calls: leaked(lambda: None, calls) for calls in (CALLS, FUZZ_CALLS)}
    failed = leaked_total = calls_total = 0
    for name, case, calls in cases:
        delta = leaked(case, calls) - baseline[calls]
        if calls != CALLS and delta >= calls // 2:
            # a leak grows with the number of calls; a cache settling does not: measure again, longer
            calls = 10 * calls
            delta = leaked(case, calls) - leaked(lambda: None, calls)
        leaked_total += max(delta, 0)
        if delta and args.v:
            print(f"{name}: {delta:+d} references per {calls} calls")
        calls_total += calls
        # A leak costs at least one reference per call; a few stray ones come
        # from the interpreter's own caches warming up.
        if delta >= calls // 2:
            failed += 1
            print(f"LEAK {name}: {delta} references per {calls} calls")
    per_thousand = 1000 * leaked_total / calls_total
    print(
        f"refleaks: {len(cases) - failed} passed, {failed} failed; "
        f"{per_thousand:.2f} leaked references per 1000 calls ({calls_total} calls measured)"
    )
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
