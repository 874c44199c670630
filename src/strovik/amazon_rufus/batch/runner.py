"""Many Rufus conversations at once: a batch's jobs on browser slots, and the results stream.

The replay service blocks while a question is answered, so conversations run side by
side on browser slots (``pool.slot``: threads that each own a Playwright and a browser,
or a browser connection), one browser context per job. Results travel to the caller's
thread through one queue, so that the caller writes them in one place, as they come.
"""

from __future__ import annotations

import queue
import threading
import time
from collections.abc import Callable, Generator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from strovik.amazon_rufus.batch.jobqueue import JobQueue, StartGate
from strovik.amazon_rufus.batch.pacing import Pacer
from strovik.amazon_rufus.browser import BATCH_CHROMIUM_ARGS, BrowserOptions
from strovik.amazon_rufus.conversation import QuestionResult
from strovik.amazon_rufus.deadline import Watchdog
from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.domain.models import SeedRequestRecord
from strovik.amazon_rufus.endpoints import EndpointBook
from strovik.amazon_rufus.pool.job import SlotJob
from strovik.amazon_rufus.pool.slot import SharedBook, Slot, SlotLeft, SlotSettings

# How long a stop waits for the slots to close their browsers.
STOP_GRACE = 10.0


@dataclass(frozen=True)
class BatchJob:
    """One conversation: ``questions`` asked in order with ``seed`` (already aimed at the
    job's product) in ``product_url`` (default: the seed's ``page_url``). ``id`` names
    the job in the results and must be unique in a batch."""

    id: str
    seed: SeedRequestRecord
    questions: tuple[str, ...]
    product_url: str | None = None


@dataclass(frozen=True)
class BatchResult:
    """One answer or failure of one job's question."""

    job_id: str
    result: QuestionResult

    @property
    def ok(self) -> bool:
        return self.result.ok

    def record(self) -> dict[str, Any]:
        """The JSON-lines record: job, index, question, thread_id, then text or error and status."""
        return {"job": self.job_id, **self.result.record()}


@dataclass(frozen=True)
class JobOutcome:
    """How a job ended in this run: answers and failures reported, questions left
    unasked (after a failure without keep-going), and the first failure's message."""

    job_id: str
    answered: int
    failed: int
    unasked: int
    error: str | None = None


class BatchError(RufusReplayError):
    """Jobs were left unfinished because no browser was left to run them."""


@dataclass(frozen=True)
class _Note:
    text: str


@dataclass(frozen=True)
class _SlotExit:
    pass


@dataclass(eq=False, kw_only=True)
class _Task(SlotJob):
    """A batch job on the slots: paced, its results and its end put on ``events``."""

    job: BatchJob
    stop: threading.Event
    pacer: Pacer
    events: queue.Queue[Any]
    reported: int = 0  # answers reported in this run

    def before_question(self, follows: bool) -> None:
        if not self.pacer.wait(follows_question=follows):
            raise SlotLeft()

    def answer(self, result: QuestionResult) -> None:
        if self.stop.is_set():
            raise SlotLeft()  # cut off by the stop: asked again on resume
        self.reported += 1
        self.events.put(BatchResult(self.job.id, result))

    def end(self, failures: Sequence[QuestionResult], error: str | None = None, status: int | None = None) -> None:
        failures = list(failures)
        if error is not None:
            # Reported as the failure of the first question that has no line yet.
            reported = {failure.index for failure in failures}
            first = next((index for index in self.pending() if index not in reported), None)
            if first is None:
                self.events.put(_Note(f"job {self.job.id}: {error}"))
            else:
                question = self.questions[first - 1]
                failures.append(QuestionResult(first, question, self.thread_before(first), error=error, status=status))
        for failure in failures:
            self.events.put(BatchResult(self.job.id, failure))
        unasked = max(0, len(self.pending()) - len(failures))
        outcome = JobOutcome(self.job.id, self.reported, len(failures), unasked, failures[0].error if failures else None)
        self.events.put(outcome)


def run_batch(
    jobs: Sequence[BatchJob],
    *,
    concurrency: int = 4,
    endpoints: Sequence[str] = (),
    browser: BrowserOptions | None = None,
    timeout: float = 120.0,
    retries: int = 0,
    keep_going: bool = False,
    rate: float | None = None,
    delay: float = 0.0,
    answered: Mapping[str, Mapping[int, str | None]] | None = None,
    on_job: Callable[[JobOutcome], None] | None = None,
    on_note: Callable[[str], None] | None = None,
    backoff: float = 1.0,
) -> Generator[BatchResult, None, None]:
    """A generator: closing it (or an exception in the caller) stops every slot at once,
    a question in flight unreported. The package docs say what it does with its jobs."""
    settings = SlotSettings(
        browser or BrowserOptions(args=BATCH_CHROMIUM_ARGS), timeout, retries, backoff=backoff,
        keep_going=keep_going, fresh_context=True, start_first=True, leave_without_browser=True,
    )
    held = answered or {}
    events: queue.Queue[Any] = queue.Queue()
    stop = threading.Event()
    pacer = Pacer(rate, delay, stop)
    tasks = [
        _Task(
            seed=job.seed, questions=job.questions, product_url=job.product_url or job.seed.page_url or "",
            answered=dict(held.get(job.id, {})), job=job, stop=stop, pacer=pacer, events=events,
        )
        for job in jobs
    ]
    tasks = [task for task in tasks if task.pending()]
    if not tasks:
        return
    count = min(concurrency, len(tasks))
    jobs_queue = JobQueue(tasks, StartGate(count, time.monotonic), stop, on_left=lambda: events.put(_SlotExit()))
    shared = SharedBook(EndpointBook(list(endpoints), time.monotonic) if endpoints else None)
    watchdog = Watchdog()
    slots = [
        Slot(f"rufus-batch-{number}", settings, jobs_queue, shared, watchdog, lambda text: events.put(_Note(text)))
        for number in range(1, count + 1)
    ]
    for slot in slots:
        slot.start()
    running, outcomes = len(slots), 0
    try:
        # Until every job is reported (a slot still connecting to an endpoint has no job),
        # or every slot has left.
        while running and outcomes < len(tasks):
            event = events.get()
            if isinstance(event, BatchResult):
                yield event
            elif isinstance(event, JobOutcome):
                outcomes += 1
                jobs_queue.finish()
                if on_job is not None:
                    on_job(event)
            elif isinstance(event, _Note):
                if on_note is not None:
                    on_note(event.text)
            elif isinstance(event, _SlotExit):
                running -= 1
    finally:
        _stop(jobs_queue, slots, shared)
        watchdog.close()
    if jobs_queue.unfinished:
        # Every endpoint lost, or else browsers (or Playwright's driver) that would not start.
        all_lost = shared.book is not None and shared.book.all_lost()
        where = "browser endpoint is reachable" if all_lost else "browser could be started"
        raise BatchError(f"{jobs_queue.unfinished} of {len(tasks)} jobs not finished: no {where}")


def _stop(jobs: JobQueue, slots: list[Slot], endpoints: SharedBook) -> None:
    jobs.stop()
    for slot in slots:
        if slot.is_alive():
            slot.leave()
    deadline = time.monotonic() + STOP_GRACE
    for slot in slots:
        # A slot connecting to an endpoint (no browser yet) has nothing to close here, and a
        # connection that hangs ends by its own limit, after which the slot sees the stop.
        # A browser launched here is always waited for, so that none is left running.
        if not slot.has_browser and endpoints.book is not None:
            continue
        slot.join(max(0.0, deadline - time.monotonic()))
