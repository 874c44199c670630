"""Many Rufus conversations at once: the workers, the job queue and the results stream.

The replay service blocks while a question is answered, so conversations run side by
side in worker threads, each with its own Playwright and browser (or browser
connection), one browser context per job. Results travel to the caller's thread
through one queue, so that the caller writes them in one place, as they come.
"""

from __future__ import annotations

import dataclasses
import queue
import threading
import time
from collections import deque
from collections.abc import Callable, Generator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from strovik.amazon_rufus.batch.browsers import BATCH_CHROMIUM_ARGS, WorkerSession
from strovik.amazon_rufus.batch.pacing import Pacer
from strovik.amazon_rufus.browser import BrowserOptions
from strovik.amazon_rufus.conversation import QuestionResult, run_conversation
from strovik.amazon_rufus.endpoints import EndpointBook
from strovik.amazon_rufus.internals import interrupt
from strovik.amazon_rufus.deadline import SILENCE_GRACE, BrowserSilent, Deadline, Watchdog
from strovik.amazon_rufus.domain.exceptions import BrowserError, EndpointError, RufusReplayError, first_line
from strovik.amazon_rufus.domain.models import SeedRequestRecord

# A job whose browser is lost this many times is reported as failed instead of moved again.
MAX_BROWSER_LOSSES = 3
# How long a stop waits for the workers to close their browsers.
STOP_GRACE = 10.0
# Jobs begin once every worker's browser is up (or could not be had), or this many seconds
# after the first one is up: a browser endpoint that never answers holds its own worker
# until the connect limit, not the whole batch.
START_GRACE = 10.0
# Trying a lost endpoint again may hold a job (the worker has taken it): a host that accepts
# connections but never answers gives up after this many seconds instead of the launch timeout.
RETRY_CONNECT_TIMEOUT = 10.0


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


class _Interrupted(KeyboardInterrupt):
    """Raised in a worker to end it at once (see ``internals.interrupt``)."""


@dataclass
class _JobState:
    job: BatchJob
    answered: dict[int, str | None]  # question index -> thread after its answer
    losses: int = 0

    def pending(self) -> list[int]:
        return [index for index in range(1, len(self.job.questions) + 1) if index not in self.answered]

    def runs(self) -> list[list[int]]:
        """The pending question indices in runs of consecutive ones."""
        runs: list[list[int]] = []
        for index in self.pending():
            if runs and runs[-1][-1] == index - 1:
                runs[-1].append(index)
            else:
                runs.append([index])
        return runs

    def thread_before(self, index: int) -> str | None:
        """The thread of the last answer before question ``index``: where it continues."""
        for earlier in range(index - 1, 0, -1):
            thread = self.answered.get(earlier)
            if thread:
                return thread
        return None


@dataclass(frozen=True)
class _Note:
    text: str


@dataclass(frozen=True)
class _WorkerExit:
    worker: _Worker


@dataclass
class _Settings:
    browser: BrowserOptions
    timeout: float
    retries: int
    keep_going: bool
    backoff: float


@dataclass
class _Batch:
    """What the workers share: the job queue, the endpoints, the stop flag, the events."""

    settings: _Settings
    pacer: Pacer
    stop: threading.Event
    endpoints: list[str]
    pending: deque[_JobState]
    unfinished: int
    starting: int  # workers still starting their browsers; jobs wait for them (START_GRACE)
    events: queue.Queue[Any] = field(default_factory=queue.Queue)
    watchdog: Watchdog = field(default_factory=Watchdog)
    lock: threading.Condition = field(default_factory=threading.Condition)
    clock: Callable[[], float] = time.monotonic
    first_up: float | None = None  # when the first worker's browser was up
    book: EndpointBook = field(init=False)

    def __post_init__(self) -> None:
        self.book = EndpointBook(self.endpoints, lambda: self.clock())

    def take(self) -> _JobState | None:
        """The next job; None once every job is finished or the batch stops."""
        with self.lock:
            while self.unfinished and not self.stop.is_set():
                wait = self._start_wait()
                if wait is None and self.pending:
                    break
                self.lock.wait(wait)
            if self.stop.is_set() or not self.pending:
                return None
            return self.pending.popleft()

    def _start_wait(self) -> float | None:
        """How long jobs still wait for starting workers; None when they need not."""
        if not self.starting:
            return None
        if self.first_up is None:
            return START_GRACE
        left = self.first_up + START_GRACE - self.clock()
        return left if left > 0 else None

    def give_back(self, state: _JobState) -> None:
        with self.lock:
            self.pending.appendleft(state)
            self.lock.notify()

    def started(self, up: bool) -> None:
        """A worker's browser is ``up`` (or could not be had): once all are, or START_GRACE
        after the first is up, jobs begin, so that starting browsers does not compete with
        the first jobs."""
        with self.lock:
            self.starting -= 1
            if up and self.first_up is None:
                self.first_up = self.clock()
            self.lock.notify_all()

    def finish(self, outcome: JobOutcome) -> None:
        with self.lock:
            self.unfinished -= 1
            if not self.unfinished:
                self.lock.notify_all()
        self.events.put(outcome)

    def pick_endpoint(self, previous: str | None, *, fewer: bool = False) -> str | None:
        """The endpoint for a worker (``EndpointBook.pick``)."""
        with self.lock:
            return self.book.pick(previous, fewer=fewer)

    def endpoint_lost(self, endpoint: str, reason: str) -> None:
        with self.lock:
            text = self.book.mark_lost(endpoint, reason)
        if text is not None:
            self.note(text)

    def is_lost(self, endpoint: str) -> bool:
        with self.lock:
            return self.book.is_lost(endpoint)

    def endpoint_back(self, endpoint: str) -> None:
        """A worker connected to ``endpoint``: if it was lost, it is usable again."""
        with self.lock:
            text = self.book.mark_back(endpoint)
        if text is not None:
            self.note(text)

    def note(self, text: str) -> None:
        self.events.put(_Note(text))


class _Worker(threading.Thread):
    def __init__(self, batch: _Batch, number: int) -> None:
        # A daemon thread: a worker stuck in a browser call must not keep the process alive.
        super().__init__(name=f"rufus-batch-{number}", daemon=True)
        self.batch = batch
        self.session: WorkerSession | None = None
        self.endpoint: str | None = None
        self._loop_lock = threading.Lock()
        self._loop: Any = None
        self._service: Any = None
        self._deadline = Deadline(batch.watchdog, self._current_loop)

    def interrupt(self) -> None:
        with self._loop_lock:
            if self._loop is not None:
                interrupt(self._loop, _Interrupted())

    def _current_loop(self) -> Any:
        with self._loop_lock:
            return self._loop

    def run(self) -> None:
        from strovik.amazon_rufus.services.replay import RufusReplayService

        self._service = RufusReplayService()
        try:
            ready = False
            try:
                ready = self._ensure_session()
            finally:
                self.batch.started(ready)
            if not ready:
                return
            while (state := self.batch.take()) is not None:
                if not self._ensure_session(self._move()):
                    self.batch.give_back(state)
                    return
                self._run_job(state)
        except _Interrupted:
            pass
        finally:
            self._close_session()
            self.batch.events.put(_WorkerExit(self))

    def _move(self) -> str | None:
        """Between jobs: the endpoint to go over to when one has two workers fewer than
        this worker's (as when a lost one may be tried again); the session here is closed."""
        if self.session is None or self.endpoint is None:
            return None
        endpoint = self.batch.pick_endpoint(self.endpoint, fewer=True)
        if endpoint is not None:
            self._close_session()
        return endpoint

    def _ensure_session(self, endpoint: str | None = None) -> bool:
        """A session, on ``endpoint`` when given (already counted for this worker) or on
        the endpoint picked for it; False when none can be had."""
        batch = self.batch
        while self.session is None:
            if batch.stop.is_set():
                return False
            if batch.endpoints:
                self.endpoint = endpoint or batch.pick_endpoint(self.endpoint)
                endpoint = None
                if self.endpoint is None:
                    return False
            options = batch.settings.browser
            if self.endpoint is not None and batch.is_lost(self.endpoint):
                limit = min(options.launch_timeout, RETRY_CONNECT_TIMEOUT)
                options = dataclasses.replace(options, launch_timeout=limit)
            session = WorkerSession(options, self.endpoint)
            try:
                session.start()
            except BrowserError as exc:
                # Only a failed connection loses the endpoint: a driver that would not start
                # is this worker's fault, and other workers may still reach the endpoint.
                if self.endpoint is None or not isinstance(exc, EndpointError):
                    batch.note(f"{self.name}: {exc.message}")
                    return False
                batch.endpoint_lost(self.endpoint, exc.message)
                continue
            if self.endpoint is not None:
                batch.endpoint_back(self.endpoint)
            with self._loop_lock:
                self.session = session
                self._loop = session.loop
        return True

    def _close_session(self, silent: bool = False) -> None:
        """Close the session; one whose browser went ``silent`` is let go without a word to it."""
        session = self.session
        if session is None:
            return
        try:
            if not silent:
                self._deadline.arm(SILENCE_GRACE)
                # An interrupt sent while the worker was outside Playwright fires in the first
                # call it makes, which may be this one; it fires once, so closing again works.
                for _ in range(2):
                    try:
                        session.close()
                        break
                    except BrowserSilent:
                        break
                    except BaseException:  # noqa: BLE001
                        continue
        finally:
            self._deadline.disarm()
            with self._loop_lock:
                self.session, self._loop = None, None
            session.abandon()

    def _run_job(self, state: _JobState) -> None:
        batch, settings, job = self.batch, self.batch.settings, state.job
        session = self.session
        assert session is not None
        held: list[QuestionResult] = []
        answered = 0
        asked = False

        # Each question must be settled within its time limit, and each step around the
        # questions (setting up the context, opening and closing the page) within as long.
        limit = settings.timeout + SILENCE_GRACE

        def on_ask(index: int, question: str, attempt: int) -> None:
            nonlocal asked
            self._deadline.disarm()
            if not batch.pacer.wait(follows_question=asked):
                raise _Interrupted()
            asked = True
            self._deadline.arm(limit)

        def reporter(run: list[int]) -> Callable[[QuestionResult], None]:
            def on_result(result: QuestionResult) -> None:
                nonlocal answered
                if batch.stop.is_set():
                    raise _Interrupted()  # cut off by the stop: asked again on resume
                result = dataclasses.replace(result, index=run[result.index - 1])
                if result.ok:
                    state.answered[result.index] = result.thread_id
                    answered += 1
                    batch.events.put(BatchResult(job.id, result))
                else:
                    held.append(result)
                self._deadline.arm(limit)

            return on_result

        context = None
        silent: str | None = None
        try:
            self._deadline.arm(limit)
            context = session.new_context(job.seed)
            for run in state.runs():
                results = run_conversation(
                    context,
                    job.seed,
                    [job.questions[index - 1] for index in run],
                    timeout=settings.timeout,
                    retries=settings.retries,
                    keep_going=settings.keep_going,
                    service=self._service,
                    on_result=reporter(run),
                    on_ask=on_ask,
                    product_url=job.product_url,
                    backoff=settings.backoff,
                    thread_id=state.thread_before(run[0]),
                )
                if not settings.keep_going and not all(result.ok for result in results):
                    break
        except BrowserSilent as exc:
            # Cut off: the question in flight has no line and is asked again elsewhere.
            silent = str(exc)
        except Exception as exc:  # noqa: BLE001 - one job's failure never stops the others
            # Reported as the failure of the first question that has no line yet.
            reported = {result.index for result in held}
            first = next((index for index in state.pending() if index not in reported), None)
            message = exc.message if isinstance(exc, RufusReplayError) else _describe(exc)
            if first is None:
                batch.note(f"job {job.id}: {message}")
            else:
                held.append(
                    QuestionResult(
                        first, job.questions[first - 1], state.thread_before(first),
                        error=message, status=getattr(exc, "status", None),
                    )
                )
        finally:
            if context is not None and not session.persistent and silent is None:
                self._deadline.arm(SILENCE_GRACE)
                try:
                    context.close()
                except Exception:  # noqa: BLE001 - the browser may be gone
                    pass
                except BrowserSilent as exc:
                    silent = str(exc)  # the job's lines stand; the browser is let go below
            self._deadline.disarm()

        if silent is None and held and not self._alive(session):
            silent = held[-1].error or "no answer"
        if silent is not None and (held or state.pending()):
            self._browser_lost(state, silent)
            return
        for result in held:
            batch.events.put(BatchResult(job.id, result))
        unasked = len(state.pending()) - len(held)
        error = held[0].error if held else None
        batch.finish(JobOutcome(job.id, answered, len(held), max(0, unasked), error))
        if silent is not None:
            self._session_lost(silent)

    def _alive(self, session: WorkerSession) -> bool:
        self._deadline.arm(SILENCE_GRACE)
        try:
            return session.alive()
        except BrowserSilent:
            return False
        finally:
            self._deadline.disarm()

    def _session_lost(self, reason: str) -> None:
        batch = self.batch
        if self.endpoint is not None:
            batch.endpoint_lost(self.endpoint, reason)
        else:
            batch.note(f"{self.name}: the browser was lost ({reason}); starting another")
        self._close_session(silent=True)

    def _browser_lost(self, state: _JobState, reason: str) -> None:
        """The browser went away under the job: its failures are not the job's; the job
        (what is left of it) runs again on another browser."""
        batch = self.batch
        self._session_lost(reason)
        state.losses += 1
        if state.losses < MAX_BROWSER_LOSSES:
            batch.give_back(state)
            return
        first = state.pending()[0]
        failure = QuestionResult(
            first, state.job.questions[first - 1], state.thread_before(first),
            error=f"the browser was lost {state.losses} times during this job ({reason})",
        )
        batch.events.put(BatchResult(state.job.id, failure))
        batch.finish(JobOutcome(state.job.id, 0, 1, len(state.pending()) - 1, failure.error))


def _describe(exc: BaseException) -> str:
    detail = first_line(str(exc))[:200]
    return f"{type(exc).__name__}: {detail}" if detail else type(exc).__name__


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
    """Run ``jobs`` and yield each answer or failure as it comes; see the package docs."""
    settings = _Settings(
        browser=browser or BrowserOptions(args=BATCH_CHROMIUM_ARGS),
        timeout=timeout,
        retries=retries,
        keep_going=keep_going,
        backoff=backoff,
    )
    held = answered or {}
    states = [_JobState(job, dict(held.get(job.id, {}))) for job in jobs]
    states = [state for state in states if state.pending()]
    if not states:
        return
    stop = threading.Event()
    count = min(concurrency, len(states))
    batch = _Batch(settings, Pacer(rate, delay, stop), stop, list(endpoints), deque(states), len(states), count)
    workers = [_Worker(batch, number) for number in range(1, count + 1)]
    for worker in workers:
        worker.start()
    running, outcomes = len(workers), 0
    try:
        # Until every job is reported (a worker still connecting to an endpoint has no job),
        # or every worker has left.
        while running and outcomes < len(states):
            event = batch.events.get()
            if isinstance(event, BatchResult):
                yield event
            elif isinstance(event, JobOutcome):
                outcomes += 1
                if on_job is not None:
                    on_job(event)
            elif isinstance(event, _Note):
                if on_note is not None:
                    on_note(event.text)
            elif isinstance(event, _WorkerExit):
                running -= 1
    finally:
        _stop_workers(batch, workers)
        batch.watchdog.close()
    if batch.unfinished:
        # Every endpoint lost, or else browsers (or Playwright's driver) that would not start.
        all_lost = batch.book.all_lost()
        where = "browser endpoint is reachable" if all_lost else "browser could be started"
        raise BatchError(f"{batch.unfinished} of {len(states)} jobs not finished: no {where}")


def _stop_workers(batch: _Batch, workers: list[_Worker]) -> None:
    batch.stop.set()
    with batch.lock:
        batch.lock.notify_all()
    for worker in workers:
        if worker.is_alive():
            worker.interrupt()
    deadline = time.monotonic() + STOP_GRACE
    for worker in workers:
        # A worker connecting to an endpoint (no session) has nothing to close here, and a
        # connection that hangs ends by its own limit, after which the worker sees the stop.
        # A browser launched here is always waited for, so that none is left running.
        if worker.session is None and batch.endpoints:
            continue
        worker.join(max(0.0, deadline - time.monotonic()))
