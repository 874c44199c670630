"""Pacing of a batch: questions per minute across all workers, and a pause between
the questions of one conversation, both with jitter so that requests do not arrive
in lockstep."""

from __future__ import annotations

import random
import threading
import time


def jittered(seconds: float) -> float:
    """``seconds`` scaled by a random factor in [0.5, 1.5): the same mean, spread out."""
    return seconds * random.uniform(0.5, 1.5)


class Pacer:
    """Hands out send times ``60 / rate`` seconds apart on average, to every worker.

    ``wait`` blocks the calling worker until its turn; it returns False at once when
    ``stop`` is set (before or during the wait).
    """

    def __init__(self, rate_per_minute: float | None, delay: float, stop: threading.Event) -> None:
        self.interval = 60.0 / rate_per_minute if rate_per_minute else 0.0
        self.delay = delay
        self.stop = stop
        self._lock = threading.Lock()
        self._next = time.monotonic()

    def wait(self, follows_question: bool) -> bool:
        """Wait before sending a question; ``follows_question`` when the same
        conversation sent one before it (then ``delay`` applies too)."""
        if follows_question and self.delay > 0 and self.stop.wait(jittered(self.delay)):
            return False
        if self.interval > 0:
            with self._lock:
                now = time.monotonic()
                slot = max(now, self._next)
                self._next = slot + jittered(self.interval)
            if self.stop.wait(max(0.0, slot - now)):
                return False
        return not self.stop.is_set()
