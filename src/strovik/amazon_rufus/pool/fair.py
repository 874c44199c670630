"""Who gets the next browser slot: calls wait in arrival order, and while calls of other
owners wait, one owner holds at most half the slots (at least one; rounded up, so that
two owners together always fill an odd number of slots), so that one busy user cannot
starve the rest; alone, an owner may use them all.

Runs on one asyncio event loop; no threads.
"""

from __future__ import annotations

import asyncio
from collections import Counter
from dataclasses import dataclass, field


class Busy(Exception):
    """The wait queue is full: the call is refused at once."""


class Closed(Exception):
    """The pool is stopping: no call gets a slot any more."""


@dataclass
class _Waiter:
    owner: str
    granted: asyncio.Future[None] = field(default_factory=lambda: asyncio.get_running_loop().create_future())


class FairQueue:
    """``size`` slots; at most ``limit`` calls waiting for one (not counting those holding one)."""

    def __init__(self, size: int, limit: int) -> None:
        self.size = size
        self.limit = limit
        self.holding: Counter[str] = Counter()
        self._waiting: list[_Waiter] = []
        self._closed: str | None = None

    @property
    def busy(self) -> int:
        return sum(self.holding.values())

    @property
    def waiting(self) -> int:
        return len(self._waiting)

    async def acquire(self, owner: str) -> None:
        """Wait for a slot for ``owner``; Busy when too many calls wait already, Closed once closing."""
        if self._closed is not None:
            raise Closed(self._closed)
        waiter = _Waiter(owner)
        self._waiting.append(waiter)
        self._grant()
        if waiter.granted.done():
            return
        if len(self._waiting) > self.limit:
            self._waiting.remove(waiter)
            raise Busy(f"busy: {len(self._waiting)} calls waiting")
        try:
            await waiter.granted
        except asyncio.CancelledError:
            if waiter.granted.done() and not waiter.granted.cancelled() and waiter.granted.exception() is None:
                self.release(owner)  # granted just as the caller gave up
            elif waiter in self._waiting:
                self._waiting.remove(waiter)
                self._grant()  # an owner's cap may have depended on this waiter
            raise

    def release(self, owner: str) -> None:
        self.holding[owner] -= 1
        if self.holding[owner] <= 0:
            del self.holding[owner]
        self._grant()

    def close(self, reason: str) -> None:
        """Refuse every waiting and every later call with Closed(reason)."""
        self._closed = reason
        waiting, self._waiting = self._waiting, []
        for waiter in waiting:
            if not waiter.granted.done():
                waiter.granted.set_exception(Closed(reason))

    def _allowed(self, candidate: _Waiter) -> bool:
        others_wait = any(waiter.owner != candidate.owner for waiter in self._waiting)
        cap = (self.size + 1) // 2 if others_wait else self.size
        return self.holding[candidate.owner] < cap

    def _grant(self) -> None:
        # A waiter whose caller was cancelled leaves by itself, but may not have run yet.
        self._waiting = [waiter for waiter in self._waiting if not waiter.granted.done()]
        while self.busy < self.size:
            chosen = next((waiter for waiter in self._waiting if self._allowed(waiter)), None)
            if chosen is None:
                return
            self._waiting.remove(chosen)
            self.holding[chosen.owner] += 1
            chosen.granted.set_result(None)
