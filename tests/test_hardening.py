"""The hardening harness, bounded for the test suite: hostile-argument fuzzing of every entry point,
probes of the faults an outside attack found, thread stress, huge inputs and interrupted long calls.
`make check` runs the same parts at full size and prints one figure per part
(scripts/check_hardening.py).

KNOWN lists faults that are being mended on other branches: their tests are expected failures,
strictly, so each one fails the suite as soon as its fix lands, until its entry here is removed.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import fuzz_faults
import fuzz_huge
import fuzz_sigint
import fuzz_threads

HERE = Path(__file__).resolve().parent
SANITIZED = os.environ.get("RAINMILL_SANITIZED") == "1"
FUZZ_CASES = int(os.environ.get("RAINMILL_FUZZ_CASES", "1500"))
FUZZ_SEED = int(os.environ.get("RAINMILL_FUZZ_SEED", "0"))

# fault key -> what is wrong today (remove an entry once the fix is merged), for instance
#     "nul": "messages are cut at a NUL in a kind, keyword name or type name",
# Every fault of tests/fuzz_faults.py and every long call of tests/fuzz_sigint.py is mended now.
KNOWN: dict[str, str] = {}


def known(key):
    return pytest.mark.xfail(reason=KNOWN[key], strict=True) if key in KNOWN else ()


@pytest.mark.parametrize(
    "name", [pytest.param(name, marks=known(key)) for name, (_, key) in fuzz_faults.PROBES.items()]
)
def test_fault_probe(name):
    probe, _ = fuzz_faults.PROBES[name]
    if name == "lying __len__ pins memory" and SANITIZED:
        pytest.skip("the sanitizer's allocator reserves its own address space: nothing to measure")
    problem = probe()
    assert problem is None, problem


def test_fuzz_catalogue_covers_every_entry_point():
    import fuzz_calls

    fuzzed = {call for call, _ in fuzz_calls.CALLABLES.values()}
    missing = [name for name, call in fuzz_calls.public_entry_points().items() if call not in fuzzed]
    assert not missing, f"not fuzzed: {missing}"
    for instances, name, _ in fuzz_calls.METHODS.values():
        assert callable(getattr(instances[0](), name))
    methods = {name for _, name, _ in fuzz_calls.METHODS.values()}
    for factory in fuzz_calls.INSTANCES:
        public = [n for n in dir(factory()) if not n.startswith("_") and callable(getattr(factory(), n))]
        assert set(public) <= methods, f"methods not fuzzed: {set(public) - methods}"


def test_fuzz_every_entry_point_accepts_only_documented_outcomes(tmp_path):
    """Runs in a child, so that a crash is a failing test that names the case it crashed on."""
    trace, summary = tmp_path / "case.txt", tmp_path / "summary.json"
    done = subprocess.run(
        [
            sys.executable,
            str(HERE / "fuzz_calls.py"),
            "--cases",
            str(FUZZ_CASES),
            "--seed",
            str(FUZZ_SEED),
            "--trace",
            str(trace),
            "--json",
            str(summary),
        ],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    if not summary.exists():
        case = trace.read_text(errors="replace") if trace.exists() else "?"
        pytest.fail(f"the fuzzing process died (exit status {done.returncode}) on {case}\n{done.stderr[-2000:]}")
    report = json.loads(summary.read_text())
    assert report["cases"] == FUZZ_CASES
    new = {key: n for key, n in report["by_fault"].items() if key not in KNOWN}
    assert not new, "\n".join(report["examples"])


def test_first_use_of_every_class_from_many_threads():
    assert fuzz_threads.first_use(threads=8, processes=1) == []


def test_threads_share_objects_while_others_set_attributes():
    survived, problems = fuzz_threads.shared_objects(threads=6, calls=10)
    assert problems == []
    assert survived == 6 * 10 * 3


@pytest.mark.skipif(SANITIZED, reason="the sanitizers cannot run under an address-space limit")
@pytest.mark.parametrize("name, expression", [(n, e) for n, e, quick in fuzz_huge.CASES if quick])
def test_huge_input_ends_in_a_documented_outcome(name, expression):
    outcome, _ = fuzz_huge.run_case(expression)
    assert fuzz_huge.accepted(outcome), outcome


@pytest.mark.parametrize(
    "name",
    [pytest.param(n, marks=known("sigint")) for n in ("level pool over 2**31 s", "Muskingum with 10**12 sub-reaches")],
)
def test_long_call_reacts_to_sigint(name):
    # not a timing test: a generous bound on whether the call reacts at all; make check reports the time
    [(_, result)] = fuzz_sigint.run(wait=3.0, names={name})
    assert isinstance(result, float), result
