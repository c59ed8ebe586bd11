"""The panic exception: how an internal failure reaches Python, and how one coming back from
Python code that the frame calls is resumed."""

import datetime

import pytest
import rainmill

HOUR = datetime.timedelta(hours=1)
CTS = rainmill.utils.ContinuousTimeSeries


def provoke_panic():
    # Routing an inflow without values cannot start: an internal failure.
    empty = CTS([], HOUR, "discharge")
    with pytest.raises(BaseException) as info:
        rainmill.reach.run_muskingum_routing(empty, HOUR, 0.2, 1, 0.0)
    return info.value


def test_panic_exception_class():
    panic = provoke_panic()
    cls = type(panic)
    assert cls.__module__ == "kiln_runtime"
    assert cls.__qualname__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(panic, Exception)
    assert "BaseException" in cls.__doc__
    assert len(panic.args) == 1 and isinstance(panic.args[0], str) and panic.args[0]
    assert type(provoke_panic()) is cls  # one class per process


def test_panic_from_python_code_is_resumed_as_a_new_panic(capfd):
    cls = type(provoke_panic())
    original = cls("raised by a callback")

    class Evil:
        def __float__(self):
            raise original

    with pytest.raises(cls) as info:
        CTS([1.0, Evil()], HOUR, "discharge")
    assert info.value is not original
    assert str(info.value) == "raised by a callback"
    err = capfd.readouterr().err
    assert "resuming a panic" in err
    assert "raised by a callback" in err  # the Python traceback is printed


def test_panic_with_unprintable_text_is_resumed_with_a_generic_message(capfd):
    cls = type(provoke_panic())

    class Unprintable(cls):
        def __str__(self):
            raise RuntimeError("no text")

    class Evil:
        def __float__(self):
            raise Unprintable()

    with pytest.raises(cls) as info:
        CTS([Evil()], HOUR, "discharge")
    assert type(info.value) is cls
    assert str(info.value) == "Unwrapped panic from Python code"
    capfd.readouterr()
