"""Deadlines for the blocking browser calls of batch workers.

A browser that goes silent without closing its connection (its host frozen, a network
that drops packets) never answers a call, and the question time limit, a timer inside
the page, never fires on our side. So a worker arms a deadline before it calls its
browser; one watchdog thread calls the worker back when the deadline passes, and again
every ``repeat`` seconds until the worker disarms it, so that each call the worker makes
while it lets go of that browser is cut short as well.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Hashable


class Watchdog:
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
                self._thread = threading.Thread(target=self._watch, name="rufus-batch-watchdog", daemon=True)
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
