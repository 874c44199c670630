"""The jobs a batch's slots take: a queue that holds them back until the browsers are up."""

from __future__ import annotations

import threading
from collections import deque
from collections.abc import Callable, Iterable

from strovik.amazon_rufus.pool.job import SlotJob

# Jobs begin once every slot's browser is up (or could not be had), or this many seconds
# after the first one is up: a browser endpoint that never answers holds its own slot
# until the connect limit, not the whole batch.
START_GRACE = 10.0


class StartGate:
    """Whether jobs still wait for browsers starting, so that starting browsers does not
    compete with the first jobs. No lock: the queue holds its own around these calls."""

    def __init__(self, starting: int, clock: Callable[[], float]) -> None:
        self.starting = starting
        self.clock = clock
        self.first_up: float | None = None

    def started(self, up: bool) -> None:
        self.starting -= 1
        if up and self.first_up is None:
            self.first_up = self.clock()

    def wait(self) -> float | None:
        """How long jobs still wait; None when they need not."""
        if not self.starting:
            return None
        if self.first_up is None:
            return START_GRACE
        left = self.first_up + START_GRACE - self.clock()
        return left if left > 0 else None


class JobQueue:
    """The batch's ``JobSource``: jobs in order, a job given back first, until every job
    is finished (``finish``) or the batch stops (``stop``, or ``stopped`` set)."""

    def __init__(
        self, jobs: Iterable[SlotJob], gate: StartGate, stopped: threading.Event, on_left: Callable[[], None]
    ) -> None:
        self.pending = deque(jobs)
        self.unfinished = len(self.pending)
        self.stopped = stopped
        self._gate = gate
        self._on_left = on_left
        self._lock = threading.Condition()

    def take(self) -> SlotJob | None:
        with self._lock:
            while self.unfinished and not self.stopped.is_set():
                wait = self._gate.wait()
                if wait is None and self.pending:
                    break
                self._lock.wait(wait)
            if self.stopped.is_set() or not self.pending:
                return None
            return self.pending.popleft()

    def give_back(self, job: SlotJob) -> None:
        with self._lock:
            self.pending.appendleft(job)
            self._lock.notify()

    def started(self, up: bool) -> None:
        with self._lock:
            self._gate.started(up)
            self._lock.notify_all()

    def left(self) -> None:
        self._on_left()

    def finish(self) -> None:
        """One job is over."""
        with self._lock:
            self.unfinished -= 1
            if not self.unfinished:
                self._lock.notify_all()

    def stop(self) -> None:
        self.stopped.set()
        with self._lock:
            self._lock.notify_all()
