"""Faults of the call frame found by hostile use: each test fails on the fault it names."""

import datetime
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import rainmill

HOUR = datetime.timedelta(hours=1)
CTS = rainmill.utils.ContinuousTimeSeries
kge = rainmill.metrics.calculate_kge


def run_python(code, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )


def test_first_error_at_the_stack_limit_is_a_recursion_error():
    # The first error of the process comes from deep inside nested conversions: reporting it must
    # not need anything created on the spot (which would fail there and end the process).
    result = run_python(
        """
        import datetime, sys
        import rainmill
        CTS = rainmill.utils.ContinuousTimeSeries
        class Deep:
            def __float__(self):
                return CTS([Deep()], datetime.timedelta(hours=1), "volume").data[0]
        try:
            CTS([Deep()], datetime.timedelta(hours=1), "volume")
        except RecursionError:
            print("RecursionError")
        """
    )
    assert (result.returncode, result.stdout.strip()) == (0, "RecursionError"), result.stderr


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_subinterpreters_cannot_import_the_module(config):
    result = run_python(
        f"""
        import datetime, _interpreters
        import rainmill
        series = rainmill.utils.ContinuousTimeSeries([1.0, 2.0], datetime.timedelta(hours=1), "volume")
        interp = _interpreters.create({config!r})
        try:
            failure = _interpreters.exec(interp, "import rainmill")
            print(failure.type.__name__ if failure else "imported")
            print(failure.msg if failure else "")
        finally:
            _interpreters.destroy(interp)
        fresh = rainmill.utils.ContinuousTimeSeries([3.0], datetime.timedelta(hours=1), "volume")
        print(series.data, fresh.data)
        """
    )
    assert result.returncode == 0, result.stderr
    name, message, data = result.stdout.splitlines()
    assert name == "ImportError"
    assert message == "module rainmill does not support loading in subinterpreters"
    assert data == "[1.0, 2.0] [3.0]"


class NamedWithNul:
    pass


NamedWithNul.__qualname__ = "Named\x00WithNul"


class NamedWithSurrogate:
    pass


NamedWithSurrogate.__qualname__ = "Named\udc80"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: CTS([1.0], HOUR, "disc\x00harge"),
            ValueError,
            'kind must be one of ["discharge", "rainfall", "elevation", "volume"]; got \'disc\x00harge\'',
        ),
        (
            lambda: kge([1.0], [1.0], **{"use\x00log": True}),
            TypeError,
            "calculate_kge() got an unexpected keyword argument 'use\x00log'",
        ),
        (
            lambda: CTS([1.0], HOUR, "volume", **{"kind\x00": 1}),
            TypeError,
            "ContinuousTimeSeries.__new__() got an unexpected keyword argument 'kind\x00'",
        ),
        (
            lambda: CTS(NamedWithNul(), HOUR, "volume"),
            TypeError,
            "argument 'data': 'Named\x00WithNul' object is not an instance of 'Sequence'",
        ),
        (
            lambda: kge([1.0], [1.0], NamedWithNul()),
            TypeError,
            "argument 'use_log': 'Named\x00WithNul' object is not an instance of 'bool'",
        ),
        (
            lambda: CTS(NamedWithSurrogate(), HOUR, "volume"),
            TypeError,
            "argument 'data': 'Named\udc80' object is not an instance of 'Sequence'",
        ),
    ],
)
def test_messages_are_never_cut_at_nul(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_an_enumeration_failure_names_the_whole_type():
    inflow = CTS([1.0, 1.0], HOUR, "discharge")
    curve = rainmill.reservoir.reservoir_utils.ElevationStorage([0.0, 10.0], [0.0, 100.0])
    with pytest.raises(TypeError) as info:
        rainmill.reservoir.run_level_pool_routing(inflow, 1.0, curve, {"gate": NamedWithNul()})
    message = str(info.value)
    assert message.startswith("argument 'discharge_info': failed to extract enum DischargeInfo")
    assert message.endswith(
        "TypeError: failed to extract field DischargeInfo::Constant.0, caused by "
        "TypeError: 'Named\x00WithNul' object is not an instance of 'ConstantDischargeInfo'"
    )


@pytest.mark.parametrize(
    "call, owner",
    [
        (lambda kw: kge([1.0], [1.0], **kw), "calculate_kge()"),
        (lambda kw: CTS([1.0], HOUR, "volume", **kw), "ContinuousTimeSeries.__new__()"),
        (
            lambda kw: rainmill.utils.IncrementalTimeSeries([1.0], HOUR, "rainfall").disaggregate(1800, **kw),
            "IncrementalTimeSeries.disaggregate()",
        ),
    ],
)
def test_an_unencodable_keyword_is_a_binding_error_quoting_it(call, owner):
    # As the interpreter's own functions do: sorted([], **{"\udc80": 1}).
    with pytest.raises(TypeError) as info:
        call({"\udc80": 1})
    assert str(info.value) == owner + " got an unexpected keyword argument '\udc80'"


def lying_length(error):
    class Lying:
        def __len__(self):
            raise error

        def __getitem__(self, index):
            if index < 2:
                return float(index)
            raise IndexError(index)

    return Lying()


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit])
def test_an_interrupt_from_len_ends_the_call(error):
    raised = error("from __len__")
    with pytest.raises(error) as info:
        CTS(lying_length(raised), HOUR, "volume")
    assert info.value is raised


@pytest.mark.parametrize("error", [ValueError, RuntimeError, TypeError, OverflowError, RecursionError])
def test_other_failing_length_queries_count_as_zero(error):
    assert CTS(lying_length(error("no length")), HOUR, "volume").data == [0.0, 1.0]


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs Linux /proc")
def test_a_lying_length_does_not_pin_memory():
    class Claims2Gi:
        def __len__(self):
            return 2**31

        def __getitem__(self, index):
            if index < 3:
                return 1.0
            raise IndexError(index)

    before = address_space()
    kept = [CTS(Claims2Gi(), HOUR, "volume") for _ in range(8)]
    grown = address_space() - before
    assert kept[0].data == [1.0, 1.0, 1.0]
    # Eight series of three values each: neither the claimed length (128 GiB in all) nor a
    # bounded up-front reservation (64 MiB in all) may stay with them. The sanitizer's allocator
    # keeps freed blocks mapped (its quarantine), so there only the claimed length shows.
    sanitized = os.environ.get("RAINMILL_SANITIZED") == "1"
    assert grown < (2**30 if sanitized else 32 * 2**20)


def test_a_resumed_panic_keeps_its_whole_message(capfd):
    with pytest.raises(BaseException) as info:
        rainmill.reach.run_muskingum_routing(CTS([], HOUR, "discharge"), HOUR, 0.2, 1, 0.0)
    panic = type(info.value)

    class Evil:
        def __float__(self):
            raise panic("before\x00after")

    with pytest.raises(panic) as info:
        CTS([Evil()], HOUR, "volume")
    assert str(info.value) == "before\x00after"
    capfd.readouterr()


def test_a_long_conversion_reacts_to_ctrl_c():
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                """
                import datetime, signal, time
                import rainmill
                reacted = []
                def handler(signum, frame):
                    reacted.append(time.monotonic())
                    raise KeyboardInterrupt
                signal.signal(signal.SIGINT, handler)
                print("ready", flush=True)
                try:
                    # About half a minute of items if nothing stops it.
                    rainmill.utils.ContinuousTimeSeries(range(10**9), datetime.timedelta(hours=1), "volume")
                    print("finished")
                except KeyboardInterrupt:
                    print("interrupted", reacted[0])
                """
            ),
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)  # well inside the conversion
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    word, when = out.split()
    assert word == "interrupted", err
    # The same clock in both processes: the handler ran within half a second of the signal.
    assert float(when) - sent < 0.5
