"""Ctrl-C during a long kernel call, in a child process: how soon the call gives way."""

import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

CHILD = textwrap.dedent(
    """
    import signal, sys, time
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    import kernels_preload  # RAINMILL_KERNELS_DIR: the build under test

    kernels_preload.preload()
    from rainmill_models import _kernels as k

    signal.signal(signal.SIGINT, lambda s, f: (_ for _ in ()).throw(KeyboardInterrupt))
    {setup}
    print("ready", flush=True)
    try:
        {call}
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    else:
        print("completed", flush=True)
    """
)


def reaction_to_ctrl_c(setup: str, call: str, timeout: float) -> float:
    """Seconds from SIGINT to the KeyboardInterrupt of `call` (which must run for several seconds)."""
    code = CHILD.format(setup=setup, call=call)
    child = subprocess.Popen(
        [sys.executable, "-c", code, str(Path(__file__).resolve().parent)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=timeout)
    finally:
        child.kill()
        child.wait()
    word, handled = out.split()
    assert word == "interrupted", (out, err)
    return float(handled) - sent
