"""Long calls: Ctrl-C stops them, and other Python threads run while they work."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import long_workloads

TESTS = os.path.dirname(os.path.abspath(__file__))


CHILD = textwrap.dedent(
    """
    import signal, sys, time
    sys.path.insert(0, {tests!r})
    import long_workloads

    call = long_workloads.build({name!r})
    handled = []

    def handler(signum, frame):
        handled.append(time.monotonic())
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, handler)
    print("ready", time.monotonic(), flush=True)
    try:
        call()
    except KeyboardInterrupt:
        print("interrupted", handled[0], flush=True)
    else:
        print("completed", flush=True)
    # The module is still usable, and short calls still complete.
    print("after", long_workloads.build({name!r}, 1e-9)() is not None, flush=True)
    """
)


@pytest.mark.parametrize("name", list(long_workloads.WORKLOADS))
def test_sigint_stops_a_long_call_within_half_a_second(name):
    script = CHILD.format(tests=TESTS, name=name)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        word, started = child.stdout.readline().split()
        assert word == "ready"
        time.sleep(0.2)  # well inside the call, which runs for many seconds uninterrupted
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    lines = out.split("\n")
    word, handled = lines[0].split()
    assert word == "interrupted", (out, err)
    assert float(started) < sent <= float(handled)
    # Bounded reaction, not a speed figure: the computation checks every few milliseconds.
    assert float(handled) - sent < 0.5
    assert lines[1] == "after True"
    assert child.returncode == 0, err


@pytest.mark.parametrize("name", list(long_workloads.WORKLOADS))
def test_other_threads_run_while_a_long_call_works(name):
    call = long_workloads.build(name, long_workloads.SHORT[name])
    count = 0
    stop = threading.Event()

    def spin():
        nonlocal count
        while not stop.is_set():
            count += 1
            if count % 1000 == 0:
                time.sleep(0.0001)  # hands the interpreter back quickly once the call returns

    previous = sys.getswitchinterval()
    # With a long switch interval the spinning thread cannot be switched in
    # during the call unless the call itself lets go of the interpreter.
    sys.setswitchinterval(5.0)
    spinner = threading.Thread(target=spin)
    try:
        spinner.start()
        while count < 1000:
            time.sleep(0.001)
        before = count
        result = call()
        during = count - before
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(previous)
    assert result is not None
    assert during > 0
