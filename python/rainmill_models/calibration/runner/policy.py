"""When work leaves the calling process: the timing policy of a runner, apart from any executor.

The calling process works through the items itself while the workers start,
then times the serial way on a share of the items and the parallel way on the
rest, and from then on takes the faster way, timing the other again now and
then (less often each time it loses). Workers are not started at all when
what they could save is less than what starting them costs (a process pool's
interpreters importing the package) or than a trip to them (per call).
"""

from __future__ import annotations

from typing import Literal

Way = Literal["serial", "parallel"]

# The parallel way is kept when its measured rate beats the serial one by this
# factor; the losing way is timed again after RECHECK calls while the two rates
# lie within RECHECK_RATIO of each other, after RECHECK_FAR calls otherwise
# (the load of the machine changes), and each time it loses again the wait
# doubles, up to RECHECK_LONGEST calls.
PARALLEL_MARGIN = 1.05
_RECHECK = 10
_RECHECK_FAR = 40
_RECHECK_LONGEST = 640
_RECHECK_RATIO = 0.8
# The serial way is timed on a share of a call holding about this much work
# (seconds; all of a call that holds less), and while the workers start the
# calling process works in slices of about WARMING_SLICE seconds, looking
# between slices whether they are ready.
SERIAL_TIMING = 0.01
WARMING_SLICE = 0.02


class Policy:
    """What the runner has measured, and the choices made from it.

    ``expected`` is how many items the whole run will hold at most (an
    optimiser's budget), when the caller knows it: starting workers is then
    judged on all the work, not on the calls seen so far.
    """

    def __init__(self, workers: int, trip_floor: float, expected: int | None = None) -> None:
        self.workers, self.trip_floor, self.expected = workers, trip_floor, expected
        # Items per second measured each way, and how often each was timed.
        self.rates: dict[Way, float] = {}
        self.timings: dict[Way, int] = {"serial": 0, "parallel": 0}
        self._leader: Way = "serial"
        self._since_check = 0
        self._backoff = 1
        # Seconds per item of the last serial piece (sizes the next ones), and
        # of an empty batch's round trip to the workers once they are ready.
        self.cost: float | None = None
        self.cost_slices = 0
        self.latency: float | None = None
        self.done = 0  # items evaluated so far, either way
        self.serial_seconds = 0.0  # spent on items in the calling process
        self.held_back = ""  # why the workers were not started (empty: they were, or may be)

    @property
    def costed(self) -> bool:
        # A first slice alone (cold caches, lazy set-ups) does not tell the cost.
        return self.cost_slices >= 2

    def worth_starting(self, count: int, start_cost: float) -> bool:
        """Whether the workers could save more than starting them and the trips to them cost."""
        cost = self.cost or 0.0
        share = 1.0 - 1.0 / self.workers
        if count * cost * share < self.trip_floor:
            self.held_back = "trip"
            return False
        if start_cost > 0.0:
            # The work to come: the rest of the expected work, else (unknown) judged by the work done so far.
            to_come = self.serial_seconds if self.expected is None else (self.expected - self.done) * cost
            left = max(count * cost, to_come)
            # Measured: starting two processes for 2.3 s of serial work (3.5 ms
            # evaluations) ended 0.7-0.97x serial, though the workers then ran
            # at 2x: the start slows the caller, and the workers prepare too.
            if left * share < start_cost:
                self.held_back = "start"
                return False
        self.held_back = ""
        return True

    def items_for(self, seconds: float, left: int) -> int:
        """How many of the ``left`` items make about ``seconds`` of serial work (at least one)."""
        if self.cost is None:
            return 1
        return max(1, min(left, int(seconds / max(self.cost, 1e-9))))

    def slice_done(self, items: int, seconds: float) -> None:
        """An untimed serial slice (while learning the cost or warming the workers)."""
        self.cost = seconds / items
        self.cost_slices += 1
        self.done += items
        self.serial_seconds += seconds

    def timed(self, way: Way, items: int, seconds: float) -> None:
        """A timed piece: its rate counts towards its way's."""
        seconds = max(seconds, 1e-9)
        self.done += items
        if way == "serial":
            self.cost = seconds / items
            self.serial_seconds += seconds
        # Of the first two timings the better counts (other load only slows a
        # way down); after that each new timing counts half, so that one
        # disturbed by other load fades.
        rate = items / seconds
        if way not in self.rates:
            self.rates[way] = rate
        elif self.timings[way] < 2:
            self.rates[way] = max(rate, self.rates[way])
        else:
            self.rates[way] = 0.5 * (rate + self.rates[way])
        self.timings[way] += 1

    def faster(self) -> Way:
        """The faster way by the rates measured so far (both are known)."""
        serial, parallel = self.rates["serial"], self.rates["parallel"]
        return "parallel" if parallel > PARALLEL_MARGIN * serial else "serial"

    def settled(self, way: Way) -> bool:
        return len(self.rates) == 2 and way == self.faster()

    def way(self, count: int) -> Way:
        """How the next piece runs: timing each way once, then the faster, with a recheck now and then."""
        serial, parallel = self.rates.get("serial"), self.rates.get("parallel")
        if serial is None:
            return "serial"
        if parallel is None:
            if self.latency is None or self.cost is None:
                return "parallel"
            # Even with no cost but the round trip of an empty batch, the
            # workers would be slower: no call is spent on timing them now
            # (they are timed later, at the first recheck).
            reach = count / (self.latency + count * self.cost / self.workers)
            if reach > serial:
                return "parallel"
            self.rates["parallel"] = parallel = reach
            self.timings["parallel"] = 2
        faster = self.faster()
        # A way that lost on its first timing gets a second one at once: the
        # first may have met a worker still preparing, or other load.
        slower: Way = "serial" if faster == "parallel" else "parallel"
        if self.timings[slower] < 2:
            return slower
        if faster != self._leader:
            self._leader, self._backoff, self._since_check = faster, 1, 0
        self._since_check += 1
        close = min(serial, parallel) > _RECHECK_RATIO * max(serial, parallel)
        if self._since_check >= min((_RECHECK if close else _RECHECK_FAR) * self._backoff, _RECHECK_LONGEST):
            self._since_check = 0
            self._backoff *= 2
            return slower
        return faster

    def note(self, kind: str, workers: int, in_process: bool) -> str:
        """What to tell the caller when the work stayed in the calling process (empty otherwise)."""
        serial, parallel = self.rates.get("serial"), self.rates.get("parallel")
        if parallel is None:
            cost = f"{1e3 * (self.cost or 0.0):.2g} ms an evaluation"
            held_back = {
                "trip": f"the {workers} workers of the {kind} would save less of a call ({cost}) than a trip to them costs",
                "start": f"starting the {workers} workers of the {kind} would cost more than they could save ({cost})",
            }
            if self.held_back:
                return f"evaluated in the calling process: {held_back[self.held_back]}"
            if not in_process and self.cost is not None:
                return f"evaluated in the calling process while the {workers} workers of the {kind} were getting ready"
            return ""
        if serial is None or parallel > PARALLEL_MARGIN * serial:
            return ""
        return (
            f"evaluated in the calling process: {kind} ({workers} workers) gave "
            f"{parallel:,.0f} evaluations/s against {serial:,.0f} serially"
        )
