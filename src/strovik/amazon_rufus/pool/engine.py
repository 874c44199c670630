"""``RufusPool``: Rufus conversations asked by many callers at once on a few browser slots.

Each call waits for a slot (``FairQueue``: arrival order, fair between owners, a bounded
wait queue), then runs in that slot's thread (``Slot``) while the caller's coroutine reads
its results as they come. Cancelling the awaiting coroutine stops the question in flight.
"""

from __future__ import annotations

import asyncio
import logging
import queue
import time
from collections import OrderedDict
from collections.abc import Awaitable, Callable, Sequence
from dataclasses import dataclass, field

from strovik.amazon_rufus.browser import BATCH_CHROMIUM_ARGS, BrowserOptions
from strovik.amazon_rufus.conversation import QuestionResult, asin_page_url, retarget_seed
from strovik.amazon_rufus.deadline import Watchdog
from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.domain.models import SeedRequestRecord
from strovik.amazon_rufus.endpoints import EndpointBook
from strovik.amazon_rufus.pool.fair import FairQueue
from strovik.amazon_rufus.pool.job import End, Job, SlotJob
from strovik.amazon_rufus.pool.slot import SharedBook, Slot, SlotSettings

_log = logging.getLogger("strovik.amazon_rufus.pool")

# Thread ids remembered with their owner; the oldest are forgotten past this many.
MAX_THREADS = 100_000
# How long closing waits for the slots to close their browsers.
STOP_GRACE = 10.0


class UnknownThread(RufusReplayError):
    """A thread id that this pool did not give to this owner."""


@dataclass(frozen=True)
class PoolOptions:
    """``browsers`` slots (conversations answered at once); ``endpoints``: Chromiums started
    elsewhere with --remote-debugging-port, slots spread over them, else each slot launches
    its own from ``browser``. ``timeout`` and ``retries`` act on each question as in
    ``strovik-rufus replay``; ``queue`` calls may wait for a slot, more are refused at once."""

    browsers: int = 2
    endpoints: Sequence[str] = ()
    browser: BrowserOptions = field(default_factory=lambda: BrowserOptions(args=BATCH_CHROMIUM_ARGS))
    timeout: float = 120.0
    retries: int = 1
    queue: int = 64


@dataclass(frozen=True)
class Conversation:
    """What one call got: every result in order (answers, then at most one failure),
    ``error`` when it ended early (the failure's, or why it was cut short), the thread of
    the last good answer, and the ASIN asked about."""

    results: list[QuestionResult]
    error: str | None
    thread_id: str | None
    asin: str | None


class _Owners:
    """Which owner each thread id was given to (bounded, oldest forgotten first)."""

    def __init__(self, limit: int) -> None:
        self._limit = limit
        self._owner: OrderedDict[str, str] = OrderedDict()

    def owns(self, owner: str, thread: str) -> bool:
        return self._owner.get(thread) == owner

    def give(self, owner: str, thread: str) -> None:
        self._owner[thread] = owner
        self._owner.move_to_end(thread)
        while len(self._owner) > self._limit:
            self._owner.popitem(last=False)


class _Handover:
    """A slot's job source: the call handed to it; a call given back (its browser lost) is
    asked again by the same slot, on a new browser. None ends the slot."""

    def __init__(self) -> None:
        self._queue: queue.Queue[SlotJob | None] = queue.Queue()

    def put(self, job: SlotJob | None) -> None:
        self._queue.put(job)

    def take(self) -> SlotJob | None:
        return self._queue.get()

    def give_back(self, job: SlotJob) -> None:
        self._queue.put(job)

    def started(self, up: bool) -> None:
        pass

    def left(self) -> None:
        pass


class RufusPool:
    """Use as ``async with RufusPool(seed, options) as pool: await pool.ask(...)``, on one
    event loop. Browsers start with the first call; leaving the block ends every call and
    closes every browser."""

    def __init__(self, seed: SeedRequestRecord, options: PoolOptions | None = None) -> None:
        self.seed = seed
        self.options = options or PoolOptions()
        self._fair = FairQueue(self.options.browsers, self.options.queue)
        self._owners = _Owners(MAX_THREADS)
        # Each slot has its own source: a call goes to the idle slot best prepared for it.
        self._slots: dict[Slot, _Handover] = {}
        self._idle: list[Slot] = []
        self._running: set[Job] = set()
        self._watchdog = Watchdog()
        endpoints = list(self.options.endpoints)
        self._endpoints = SharedBook(EndpointBook(endpoints, time.monotonic) if endpoints else None)

    async def __aenter__(self) -> RufusPool:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    @property
    def size(self) -> int:
        return self.options.browsers

    @property
    def busy(self) -> int:
        return self._fair.busy

    @property
    def waiting(self) -> int:
        return self._fair.waiting

    async def ask(
        self,
        questions: Sequence[str],
        *,
        owner: str = "",
        asin: str | None = None,
        product_url: str | None = None,
        thread_id: str | None = None,
        on_result: Callable[[QuestionResult], Awaitable[None]] | None = None,
    ) -> Conversation:
        """Ask ``questions`` in order in one thread (``thread_id``, given earlier to the same
        ``owner``, continues one); ``asin`` or ``product_url`` picks the product, else the
        seed's. ``on_result`` is awaited with each result as it comes.

        Raises UnknownThread, ``fair.Busy`` when too many calls wait, ``fair.Closed`` once
        the pool is stopping. A failure of the conversation is no exception: it is the
        returned ``error``, after the results received before it."""
        if thread_id is not None and not self._owners.owns(owner, thread_id):
            raise UnknownThread("unknown thread")
        seed = retarget_seed(self.seed, product_url=product_url, asin=asin)
        url = product_url or (asin_page_url(self.seed, seed.asin) if asin and seed.asin else self.seed.page_url)
        if not url:
            raise RufusReplayError("no product page: give product_url or asin, or a seed with page_url")
        await self._fair.acquire(owner)
        loop = asyncio.get_running_loop()
        try:
            job = Job(seed=seed, questions=list(questions), product_url=url, thread_id=thread_id, loop=loop)
        except BaseException:
            self._fair.release(owner)
            raise
        self._start_slots()
        slot = max(self._idle, key=lambda idle: idle.readiness(url))
        self._idle.remove(slot)
        self._running.add(job)
        job.finished.add_done_callback(lambda _done: self._done(job, owner, slot))
        self._slots[slot].put(job)
        results: list[QuestionResult] = []
        thread = thread_id
        try:
            while not isinstance(item := await job.events.get(), End):
                results.append(item)
                if item.ok and item.thread_id:
                    thread = item.thread_id
                    self._owners.give(owner, thread)
                if on_result is not None:
                    await on_result(item)
        except BaseException:
            # The caller gave up (cancelled, or its on_result failed): stop the question in flight.
            self._stop(job, "the call was cancelled")
            raise
        error = item.error or next((result.error for result in results if not result.ok), None)
        return Conversation(results, error, thread, seed.asin)

    def stop_calls(self, reason: str) -> None:
        """End every call: those waiting with ``fair.Closed``, those running with ``reason`` as
        their error after the answers they got. Called on the pool's event loop."""
        self._fair.close(reason)
        for job in list(self._running):
            self._stop(job, reason)

    async def aclose(self) -> None:
        """End every call and close every browser (at most STOP_GRACE seconds)."""
        self.stop_calls("the server is stopping")
        slots, self._slots = self._slots, {}
        for jobs in slots.values():
            jobs.put(None)
        deadline = time.monotonic() + STOP_GRACE

        def join() -> None:
            for slot in slots:
                slot.join(max(0.0, deadline - time.monotonic()))

        await asyncio.get_running_loop().run_in_executor(None, join)
        self._watchdog.close()

    def _start_slots(self) -> None:
        if self._slots:
            return
        settings = SlotSettings(self.options.browser, self.options.timeout, self.options.retries)
        for number in range(1, self.options.browsers + 1):
            jobs = _Handover()
            slot = Slot(f"rufus-slot-{number}", settings, jobs, self._endpoints, self._watchdog, self._note)
            self._slots[slot] = jobs
            self._idle.append(slot)
            slot.start()

    def _stop(self, job: Job, reason: str) -> None:
        if job.finished.done():
            return
        job.stop_reason = job.stop_reason or reason
        for slot in self._slots:
            slot.stop_call(job)

    def _done(self, job: Job, owner: str, slot: Slot) -> None:
        self._running.discard(job)
        if slot in self._slots:
            self._idle.append(slot)
        self._fair.release(owner)

    @staticmethod
    def _note(text: str) -> None:
        _log.warning("%s", text)
