"""Probes for faults that an outside attack found: each returns None when the module behaves
soundly, else what went wrong. tests/test_hardening.py runs them; scripts/check-hardening counts
them among the fuzz failures.
"""

import datetime
import os
import subprocess
import sys
import textwrap

import rainmill

from fuzz_calls import Sequence, Twin

td = datetime.timedelta
u = rainmill.utils
ru = rainmill.reservoir.reservoir_utils
SANITIZED = os.environ.get("RAINMILL_SANITIZED") == "1"


def expect(call, error_type, *texts):
    """None when call() raises error_type whose message holds every text, else a description."""
    try:
        call()
    except error_type as error:
        missing = [t for t in texts if t not in str(error)]
        return f"{type(error).__name__} {str(error)!r} lacks {missing!r}" if missing else None
    except BaseException as error:
        return f"{type(error).__name__} {str(error)!r}, expected {error_type.__name__}"
    return f"no error, expected {error_type.__name__}"


def nul_in_kind():
    return expect(lambda: u.ContinuousTimeSeries([1.0], td(hours=1), "disc\x00harge"), ValueError, "disc\x00harge")


def nul_in_keyword():
    return expect(
        lambda: rainmill.metrics.calculate_kge([1.0], [1.0], **{"use\x00_log": True}), TypeError, "use\x00_log"
    )


def nul_in_type_name():
    class Q:
        pass

    Q.__qualname__ = "Q\x00X"
    return expect(lambda: rainmill.rainfall_transform.run_clark_uh(Q(), 1.0, td(1), td(1)), TypeError, "Q\x00X")


def surrogate_keyword():
    return expect(lambda: rainmill.metrics.calculate_kge([1.0], [1.0], **{"use\ud800": True}), TypeError, "use\ud800")


def interrupts_from_len():
    for kind in (KeyboardInterrupt, SystemExit, MemoryError):
        problem = expect(lambda: u.ContinuousTimeSeries(Sequence([1.0], len_raises=kind), td(hours=1), "volume"), kind)  # noqa: B023
        if problem:
            return f"{kind.__name__} from __len__: {problem}"
    return None


def duplicate_layer_names():
    layer = rainmill.baseflow.LinearReservoir(td(hours=2), 0.3, 1.0)
    rain = u.IncrementalTimeSeries([1.0, 0.0], td(hours=1), "rainfall")
    return expect(
        lambda: rainmill.baseflow.run_linear_reservoir(640.0, rain, {Twin("a"): layer, Twin("a"): layer}),
        ValueError,
        "a",
    )


def duplicate_outlet_names():
    inflow = u.ContinuousTimeSeries([0.0, 10.0], td(seconds=4), "discharge")
    curve = ru.ElevationStorage([100.0, 164.0], [0.0, 64.0])
    outlet = ru.ConstantDischargeInfo(1.0)
    return expect(
        lambda: rainmill.reservoir.run_level_pool_routing(
            inflow, 100.0, curve, {Twin("gate"): outlet, Twin("gate"): outlet}
        ),
        ValueError,
        "gate",
    )


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    return 0


def lying_length_memory():
    if SANITIZED:  # the sanitizer's allocator reserves its own address space: nothing to measure
        return None
    before = address_space()
    try:
        series = u.ContinuousTimeSeries(Sequence([1.0, 2.0, 3.0], length=2**31), td(hours=1), "volume")
    except MemoryError:
        return None  # refused rather than pinned
    grown = address_space() - before
    if series.data != [1.0, 2.0, 3.0]:
        return f"data {series.data!r}"
    return f"a 3-item series keeps {grown / 2**30:.1f} GiB of address space" if grown > 2**30 else None


def run_child(code, timeout=60):
    """Run code in a fresh interpreter; (return code, combined output)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in [os.path.dirname(os.path.abspath(__file__)), env.get("PYTHONPATH", "")] if p
    )
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, env=env
    )
    return done.returncode, done.stdout + done.stderr


def first_error_at_stack_limit():
    code, output = run_child("""
        import sys
        import rainmill
        sys.setrecursionlimit(100000)
        class Deep:
            def __float__(self):
                return rainmill.metrics.calculate_kge([Deep()], [1.0])
        try:
            rainmill.metrics.calculate_kge([Deep()], [1.0])
        except RecursionError:
            print("RecursionError")
        except MemoryError:
            print("MemoryError")
        """)
    if code == 0 and ("RecursionError" in output or "MemoryError" in output):
        return None
    return f"exit status {code}: {output.strip()[-300:]}"


def subinterpreter_import():
    code, output = run_child("""
        import _interpreters, datetime
        import rainmill
        s = rainmill.utils.ContinuousTimeSeries([1.0], datetime.timedelta(hours=1), "discharge")
        s.data
        sub = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.exec(sub, "import rainmill, datetime\\n"
            "rainmill.utils.ContinuousTimeSeries([2.0], datetime.timedelta(hours=1), 'discharge').data")
        _interpreters.destroy(sub)
        print("sub:", failure.type.__name__ if failure is not None else "imported")
        print("main:", s.data, rainmill.utils.ContinuousTimeSeries([3.0], datetime.timedelta(hours=1), "volume").data)
        """)
    if code == 0 and "sub: ImportError" in output and "main: [1.0] [3.0]" in output:
        return None
    return f"exit status {code}: {output.strip()[-300:]}"


PROBES = {
    "nul in a kind": (nul_in_kind, "nul"),
    "nul in a keyword name": (nul_in_keyword, "nul"),
    "nul in a type name": (nul_in_type_name, "nul"),
    "surrogate keyword name": (surrogate_keyword, "surrogate"),
    "interrupt from __len__": (interrupts_from_len, "swallowed"),
    "duplicate layer names": (duplicate_layer_names, "duplicate"),
    "duplicate outlet names": (duplicate_outlet_names, "duplicate"),
    "lying __len__ pins memory": (lying_length_memory, "lying-len"),
    "first error at the stack limit": (first_error_at_stack_limit, "stack-limit"),
    "legacy subinterpreter": (subinterpreter_import, "subinterpreter"),
}


def run_probes():
    """[(probe name, fault key, problem)] for every probe that finds its fault."""
    found = []
    for name, (probe, key) in PROBES.items():
        problem = probe()
        if problem is not None:
            found.append((name, key, problem))
    return found


if __name__ == "__main__":
    faults = run_probes()
    for name, key, problem in faults:
        print(f"FAULT [{key}] {name}: {problem}")
    print(f"probes: {len(PROBES) - len(faults)} of {len(PROBES)} sound")
    sys.exit(1 if faults else 0)
