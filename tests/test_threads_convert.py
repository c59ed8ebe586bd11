"""Float vectors and name maps read from containers that change while they are read: by the
items' own __float__, or by other threads (the items' Python code lets them run mid-call)."""

import datetime
import struct
import sys
import threading

import pytest
import rainmill

CTS, ITS = rainmill.utils.ContinuousTimeSeries, rainmill.utils.IncrementalTimeSeries
HOUR = datetime.timedelta(hours=1)
STRIDE = 1 << 16  # items between two signal checks of a long conversion


def bits(values):
    return struct.pack(f"{len(values)}d", *values)


def converted(data):
    """The series' values, or the type and text of the error."""
    try:
        return bits(CTS(data, HOUR, "discharge").data)
    except Exception as error:
        return type(error), str(error)


def by_float(items):
    """What float() gives for each item, visited as the list iterator visits."""
    try:
        return bits([float(item) for item in items])
    except Exception as error:
        return type(error), str(error)


class Once:
    """An item whose __float__ changes the list that holds it, the first time only."""

    def __init__(self, change, value=0.5):
        self.change, self.value, self.done, self.holder = change, value, False, None

    def __float__(self):
        if not self.done:
            self.done = True
            self.change(self.holder)
        return self.value


def leave(_items):
    """A change that changes nothing."""


def changing_list(size, at, change):
    items = [float(i) if i % 3 else i for i in range(size)]
    item = Once(change)
    items[at] = item
    item.holder = items
    return items


CHANGES = {
    "append floats and ints": lambda items: items.extend([1.25, 7, 2**60 + 1, -0.0]),
    "append an int too large": lambda items: items.append(10**400),
    "clear": lambda items: items.clear(),
    "cut after the item": lambda items: items.__delitem__(slice(items.index(items[-1]) - 1, None)),
    "delete before the item": lambda items: items.__delitem__(slice(0, 2)),
    "insert in front": lambda items: items.insert(0, 99.0),
    "replace the rest by ints": lambda items: items.__setitem__(slice(5, None), list(range(4))),
    "replace the rest by items with __float__": lambda items: items.__setitem__(
        slice(5, None), [Once(leave, 3.5), True, 2.5]
    ),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
@pytest.mark.parametrize("size, at", [(8, 3), (8, 0), (STRIDE + 3, STRIDE - 1), (2 * STRIDE, STRIDE)])
def test_a_list_changed_by_an_item_is_read_as_its_iterator_reads_it(change, size, at):
    expected = by_float(changing_list(size, at, change))
    assert converted(changing_list(size, at, change)) == expected


class Index:
    def __index__(self):
        return 2**53 + 1


class SubFloat(float):
    pass


@pytest.mark.parametrize(
    "items",
    [
        [0, -1, 2**53, 2**53 + 1, 2**63, -(2**63) - 1, 2**1024 - 2**971],
        [1.5, -0.0, float("inf"), float("nan"), 7, True, False, SubFloat(0.1), Once(leave, -2.5), Index()],
        [1.0, 2**1024 - 2**970],
        [3, -(10**400)],
        [0.5, 10**400, Once(leave, "not a float")],
        [2.0, "1.0"],
        [None],
    ],
)
def test_list_tuple_and_other_sequences_read_items_alike(items):
    class Sequence:
        def __len__(self):
            return len(items)

        def __getitem__(self, index):
            return items[index]

    assert converted(list(items)) == converted(tuple(items)) == converted(Sequence())
    if not any(isinstance(item, str) for item in items):  # float() would also parse a str
        expected = by_float(items)
        if isinstance(expected, bytes) or expected[0] is OverflowError:
            assert converted(items) == expected


def run_threads(worker, readers, writers, seconds=0.4):
    """Runs worker(is_writer, stop) in readers + writers threads; returns what they raised."""
    stop = threading.Event()
    failures = []

    def guarded(is_writer):
        try:
            worker(is_writer, stop)
        except BaseException as error:
            failures.append(error)
            stop.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=guarded, args=(i < writers,)) for i in range(readers + writers)]
        for thread in threads:
            thread.start()
        stop.wait(seconds)
        stop.set()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    return failures


class Slow:
    """An item whose conversion runs Python code, so other threads run in the middle of a call."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        total = 0
        for i in range(20):
            total += i
        return self.value + total * 0.0


def test_a_list_changed_by_other_threads_gives_only_its_own_items():
    allowed = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0}
    shared = [Slow(1.0), 2.0, 3, Slow(4.0)] * 50

    def worker(is_writer, stop):
        step = 0
        while not stop.is_set():
            step += 1
            if is_writer:
                if len(shared) > 400:
                    del shared[::2]
                shared.extend([Slow(5.0), 0, 2.0])
                if step % 7 == 0:
                    shared[step % max(len(shared), 1) :] = [Slow(3.0), 1]
                if step % 50 == 0:
                    shared.clear()
            else:
                values = CTS(shared, HOUR, "discharge").data
                assert set(values) <= allowed

    assert run_threads(worker, readers=3, writers=2) == []


def test_a_name_map_changed_by_other_threads_gives_a_state_it_had():
    layer = rainmill.baseflow.LinearReservoir(datetime.timedelta(hours=2), 0.05, 0.0)
    rain = ITS([1.0, 0.5, 0.0], HOUR, "rainfall")
    names = [f"layer {i}" for i in range(12)]
    shared = {name: layer for name in names[:6]}
    changing = (
        "dictionary changed size during iteration",
        "dictionary keys changed during iteration",
    )

    def worker(is_writer, stop):
        step = 0
        while not stop.is_set():
            step += 1
            if is_writer:
                name = names[step % len(names)]
                if shared.pop(name, None) is None:
                    shared[name] = layer
                if not shared:
                    shared[names[0]] = layer
            else:
                try:
                    total, per_layer = rainmill.baseflow.run_linear_reservoir(1.0, rain, shared)
                except BaseException as error:
                    # Only a free-threaded interpreter lets another thread in mid-read.
                    assert str(error) in changing, repr(error)
                    continue
                assert set(per_layer) <= set(names)
                alone = rainmill.baseflow.run_linear_reservoir(1.0, rain, dict.fromkeys(per_layer, layer))
                assert bits(total.data) == bits(alone[0].data)

    assert run_threads(worker, readers=3, writers=2) == []
