"""Deadlines for blocking browser calls.

A browser that goes silent without closing its connection (its host frozen, a network
that drops packets, a hung renderer) never answers a call, and the question time limit,
a timer inside the page, never fires on our side. So a thread arms a ``Deadline``
before it calls its browser; one ``Watchdog`` thread fires the deadlines that pass, and
``internals.interrupt`` raises ``BrowserSilent`` in the thread's blocked call. A passed deadline
fires again every ``repeat`` seconds until it is disarmed, so that each call the thread
makes while it lets go of that browser is cut short as well.
"""

from __future__ import annotations

import asyncio
import threading
import time
from collections.abc import Callable, Hashable

from strovik.amazon_rufus.internals import interrupt


# A browser that has not settled a question this long after its time limit, or that takes
# this long over one step around the questions, is taken for silent.
SILENCE_GRACE = 5.0


class BrowserSilent(KeyboardInterrupt):
    """Raised in a thread whose browser did not answer before its deadline: a
    KeyboardInterrupt, so that it leaves Playwright's event loop and no ``except
    Exception`` swallows it."""


class Watchdog:
    """One thread that watches the deadlines of any number of threads."""

    def __init__(self, repeat: float = 0.5) -> None:
        self._repeat = repeat
        self._lock = threading.Condition()
        self._armed: dict[Hashable, tuple[float, Callable[[], None]]] = {}
        self._closed = False
        self._thread: threading.Thread | None = None

    def arm(self, key: Hashable, seconds: float, fire: Callable[[], None]) -> None:
        """Call ``fire`` (in the watchdog's thread) ``seconds`` from now unless ``key`` is
        armed again or disarmed first."""
        with self._lock:
            if self._closed:
                return
            self._armed[key] = (time.monotonic() + seconds, fire)
            if self._thread is None:
                self._thread = threading.Thread(target=self._watch, name="rufus-watchdog", daemon=True)
                self._thread.start()
            self._lock.notify()

    def disarm(self, key: Hashable) -> None:
        with self._lock:
            self._armed.pop(key, None)

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._armed.clear()
            self._lock.notify()

    def _watch(self) -> None:
        while True:
            with self._lock:
                if self._closed:
                    return
                now = time.monotonic()
                due = [(key, fire) for key, (when, fire) in self._armed.items() if when <= now]
                if not due:
                    nearest = min((when for when, _ in self._armed.values()), default=None)
                    self._lock.wait(None if nearest is None else nearest - now)
                    continue
                for key, fire in due:
                    self._armed[key] = (now + self._repeat, fire)
            for _, fire in due:
                fire()


class Deadline:
    """The deadline of one thread's browser calls; ``loop`` gives the event loop of the
    thread's Playwright (None when it has none)."""

    def __init__(self, watchdog: Watchdog, loop: Callable[[], asyncio.AbstractEventLoop | None]) -> None:
        self._watchdog = watchdog
        self._loop = loop
        self._count = 0  # counts arms and disarms: a deadline fires only while still the last

    def arm(self, seconds: float) -> None:
        """Cut the thread's browser calls short unless it arms again or disarms within ``seconds``."""
        self._count += 1
        count = self._count

        def fire() -> None:
            loop = self._loop()
            if loop is not None:
                silent = BrowserSilent(f"no answer from the browser within {seconds:g} s")
                interrupt(loop, silent, when=lambda: self._count == count)

        self._watchdog.arm(self, seconds, fire)

    def disarm(self) -> None:
        self._count += 1
        self._watchdog.disarm(self)
