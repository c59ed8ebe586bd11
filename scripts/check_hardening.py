"""The hardening harness at full size, one figure per part (run by `make check`):

  sanitizers       the whole test suite (with a large fuzz run) under ASan + UBSan: findings
  reference leaks  every entry point and failure path under the debug interpreter: leaked references
                   per 1000 calls
  fuzz             hostile arguments to every public callable, constructor, method and setter of
                   rainmill and of the models package's kernels (rainmill_models._kernels): cases
                   run and failures (new and known)
  fault probes     the faults an outside attack found
  threads          first use from many threads in fresh processes; shared objects under setters
  huge inputs      outcomes under an address-space limit (the kernels' outputs sized by a parameter
                   must be refused before memory fills)
  SIGINT           the longest time a long call took to react to SIGINT

    .venv/bin/python scripts/check_hardening.py [--seed N] [--only PART ...] [--quick]

Every part's full output goes to build/check/<part>.log. The exit status is 1 when any part failed.
"""

import argparse
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PY = sys.executable
LOGS = ROOT / "build" / "check"
SANITIZER_REPORT = re.compile(
    r"ERROR: (Address|Leak|Memory|Thread)Sanitizer|runtime error:|AddressSanitizer:DEADLYSIGNAL"
)


def parts(seed, quick):
    scale = 10 if quick else 1
    return [
        (
            "sanitizers",
            ["make", "--no-print-directory", "test-asan", "PYTEST_ARGS=-q"],
            {"RAINMILL_FUZZ_CASES": str(10000 // scale), "RAINMILL_FUZZ_SEED": str(seed)},
            sanitizer_figure,
        ),
        (
            "reference leaks",
            ["make", "--no-print-directory", "test-refleaks", f"REFLEAKS_ARGS=--fuzz-cases {300 // scale}"],
            {},
            last_line("refleaks:"),
        ),
        (
            "fuzz",
            [
                PY,
                "tests/fuzz_calls.py",
                "--cases",
                str(30000 // scale),
                "--seed",
                str(seed),
                "--trace",
                str(LOGS / "fuzz-case.txt"),
            ],
            {},
            last_line("fuzz:"),
        ),
        ("fault probes", [PY, "tests/fuzz_faults.py"], {}, probe_figure),
        (
            "threads",
            [
                PY,
                "tests/fuzz_threads.py",
                "--threads",
                "16",
                "--calls",
                str(300 // scale),
                "--processes",
                str(max(1, 8 // scale)),
            ],
            {},
            last_line("threads:"),
        ),
        ("huge inputs", [PY, "tests/fuzz_huge.py"] + (["--quick"] if quick else []), {}, last_line("huge inputs:")),
        ("SIGINT", [PY, "tests/fuzz_sigint.py", "--wait", "3"], {}, last_line("SIGINT:")),
    ]


def last_line(prefix):
    def figure(output):
        lines = [line for line in output.splitlines() if line.startswith(prefix)]
        return lines[-1][len(prefix) :].strip() if lines else "no summary (see the log)"

    return figure


def sanitizer_figure(output):
    findings = sum(1 for line in output.splitlines() if SANITIZER_REPORT.search(line))
    summary = [line for line in output.splitlines() if re.search(r"\d+ (passed|failed)", line)]
    return f"{findings} sanitizer findings; pytest: {summary[-1].strip('= ') if summary else 'no summary'}"


def probe_figure(output):
    found = [line for line in output.splitlines() if line.startswith("FAULT")]
    return f"{len(found)} of the faults found by the outside attack still present" + (
        ": " + ", ".join(sorted({line.split("]")[0][7:] for line in found})) if found else ""
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=random.randrange(2**32))
    parser.add_argument("--only", nargs="*", help="run only these parts")
    parser.add_argument("--quick", action="store_true", help="a tenth of the work (a smoke run)")
    args = parser.parse_args()
    LOGS.mkdir(parents=True, exist_ok=True)
    rows = []
    started = time.monotonic()
    for name, command, extra_env, figure in parts(args.seed, args.quick):
        if args.only and name not in args.only:
            continue
        began = time.monotonic()
        log = LOGS / (name.replace(" ", "-") + ".log")
        print(f"check: {name} ...", flush=True)
        with open(log, "w") as out:
            status = subprocess.run(
                command, cwd=ROOT, env={**os.environ, **extra_env}, stdout=out, stderr=subprocess.STDOUT
            ).returncode
        output = log.read_text(errors="replace")
        row = (name, figure(output), "ok" if status == 0 else "FAIL", time.monotonic() - began)
        rows.append(row)
        print(f"check: {name}: {row[1]} [{row[2]}, {row[3]:.0f} s]", flush=True)
    print(
        f"\nhardening check, seed {args.seed}, {time.monotonic() - started:.0f} s (logs in {LOGS.relative_to(ROOT)}):"
    )
    width = max(len(r[0]) for r in rows)
    for name, text, verdict, _ in rows:
        print(f"  {name:<{width}}  {verdict:<4}  {text}")
    sys.exit(0 if all(r[2] == "ok" for r in rows) else 1)


if __name__ == "__main__":
    main()
