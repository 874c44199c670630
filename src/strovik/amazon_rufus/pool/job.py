"""One call's conversation as the slot thread that runs it and the event loop that awaits
it share it: questions in, each result out as it comes, then the end."""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Sequence
from dataclasses import dataclass, field

from strovik.amazon_rufus.conversation import QuestionResult
from strovik.amazon_rufus.domain.models import SeedRequestRecord


class CallStopped(KeyboardInterrupt):
    """Raised in a slot thread's Playwright call to cut its question short: the caller
    cancelled, or the pool is stopping. A KeyboardInterrupt, so that it leaves
    Playwright's event loop and no ``except Exception`` swallows it."""


@dataclass(frozen=True)
class End:
    """The conversation is over; ``error`` says why it ended early (before any question,
    or cut short), None when every question got its result."""

    error: str | None = None


@dataclass(eq=False)
class Job:
    seed: SeedRequestRecord
    questions: Sequence[str]
    product_url: str
    thread_id: str | None
    loop: asyncio.AbstractEventLoop
    events: asyncio.Queue[QuestionResult | End] = field(default_factory=asyncio.Queue)
    # Set (in the loop) once the slot thread is done with the job and free for the next.
    finished: asyncio.Future[None] = field(default_factory=lambda: asyncio.get_running_loop().create_future())
    stop_reason: str | None = None  # why the call was cut short, set from the loop's thread
    lock: threading.Lock = field(default_factory=threading.Lock)

    # Called in the slot thread.
    def report(self, item: QuestionResult | End) -> None:
        self._call(self.events.put_nowait, item)

    def release(self) -> None:
        self._call(self._finish)

    def _finish(self) -> None:
        if not self.finished.done():
            self.finished.set_result(None)

    def _call(self, function: object, *args: object) -> None:
        try:
            self.loop.call_soon_threadsafe(function, *args)  # type: ignore[arg-type]
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more
