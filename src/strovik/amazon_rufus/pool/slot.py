"""A browser slot: one thread that owns its Playwright, its browser (launched here or
reached over CDP) and one page, and runs the calls handed to it one at a time.

Playwright's synchronous API is bound to the thread that started it, and the replay
service asks through a page's blocking ``evaluate``: so each slot is a thread, and the
event loop that serves the calls only hands jobs over and reads their results.
"""

from __future__ import annotations

import dataclasses
import queue
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from strovik.amazon_rufus.batch.browsers import WorkerSession
from strovik.amazon_rufus.browser import BrowserOptions
from strovik.amazon_rufus.conversation import QuestionResult, open_product_page, run_conversation
from strovik.amazon_rufus.deadline import SILENCE_GRACE, BrowserSilent, Deadline, Watchdog
from strovik.amazon_rufus.domain.exceptions import BrowserError, EndpointError, RufusReplayError, first_line
from strovik.amazon_rufus.endpoints import EndpointBook
from strovik.amazon_rufus.internals import interrupt
from strovik.amazon_rufus.pool.job import CallStopped, End, Job

if TYPE_CHECKING:
    from playwright.sync_api import BrowserContext, Page

# Playwright keeps every request and response a page made until the page closes: a page
# serves this many calls, then the next call opens a new one, so memory stays bounded.
PAGE_CALLS = 100
# A call whose browser is lost this many times is failed instead of moved again.
MAX_BROWSER_LOSSES = 3
# Trying a lost endpoint again holds a call: a host that accepts connections and never
# answers gives up after this many seconds instead of the launch timeout.
RETRY_CONNECT_TIMEOUT = 10.0


@dataclasses.dataclass(frozen=True)
class SlotSettings:
    browser: BrowserOptions
    timeout: float
    retries: int
    backoff: float = 1.0


class _Lost(Exception):
    """The browser went away under a call; its failures are not the call's. ``answered``
    questions were answered (and reported) before, the last of them in ``thread``."""

    def __init__(self, reason: str, answered: int, thread: str | None) -> None:
        super().__init__(reason)
        self.answered = answered
        self.thread = thread


class Slot(threading.Thread):
    def __init__(
        self,
        number: int,
        settings: SlotSettings,
        jobs: queue.Queue[Job | None],
        book: EndpointBook | None,
        book_lock: threading.Lock,
        watchdog: Watchdog,
        on_note: Callable[[str], None],
    ) -> None:
        # A daemon thread: a slot stuck in a browser call must not keep the process alive.
        super().__init__(name=f"rufus-slot-{number}", daemon=True)
        self.settings = settings
        self._jobs = jobs
        self._book = book
        self._book_lock = book_lock
        self._note = on_note
        self._session: WorkerSession | None = None
        self._endpoint: str | None = None
        self._context: BrowserContext | None = None
        self._page: Page | None = None
        self._page_url: str | None = None
        self._page_calls = 0  # calls the page has served
        self._service: Any = None
        self._current: Job | None = None
        self._lock = threading.Lock()
        self._deadline = Deadline(watchdog, self._loop)

    # --- called from other threads

    def stop_call(self, job: Job) -> None:
        """Cut ``job``'s question in flight short, if this slot is running it."""
        with self._lock:
            session = self._session if self._current is job else None
            loop = session.loop if session is not None else None
        if loop is not None:
            interrupt(loop, CallStopped(), when=lambda: self._current is job)

    def readiness(self, url: str) -> int:
        """How ready this slot is for a call on ``url``: 2 its page is open there, 1 its browser
        is up, 0 neither. Read from the pool's thread while the slot is idle."""
        if self._session is None:
            return 0
        return 2 if self._page_url == url else 1

    def _loop(self) -> Any:
        with self._lock:
            return None if self._session is None else self._session.loop

    # --- the slot's own thread

    def run(self) -> None:
        from strovik.amazon_rufus.services.replay import RufusReplayService

        self._service = RufusReplayService()
        try:
            while (job := self._jobs.get()) is not None:
                with self._lock:
                    self._current = job
                try:
                    if job.stop_reason is not None:  # given up before it began
                        job.report(End(job.stop_reason))
                    else:
                        self._serve(job)
                finally:
                    with self._lock:
                        self._current = None
                    job.release()
        finally:
            self._close()

    def _serve(self, job: Job) -> None:
        questions = list(job.questions)
        thread = job.thread_id
        asked = losses = 0
        while asked < len(questions):
            try:
                count, thread, failed = self._ask(job, questions[asked:], asked, thread)
            except _Lost as exc:
                # What is left of the call is asked again on a new browser (or endpoint).
                asked += exc.answered
                thread = exc.thread
                losses += 1
                self._drop(silent=True)
                if losses < MAX_BROWSER_LOSSES and job.stop_reason is None:
                    continue
                job.report(End(f"the browser was lost {losses} times during this call ({exc})"))
                return
            except CallStopped:
                self._drop_page()
                job.report(End(job.stop_reason or "the call was cancelled"))
                return
            except RufusReplayError as exc:
                job.report(End(first_line(exc.message)))
                return
            if failed:
                break
            asked += count
        job.report(End())

    def _ask(self, job: Job, questions: list[str], before: int, thread: str | None) -> tuple[int, str | None, bool]:
        """Ask ``questions`` (the call's from index ``before`` on) in ``thread``: how many got
        a result, the thread of the last good answer, and whether a question failed."""
        settings = self.settings
        limit = settings.timeout + SILENCE_GRACE
        failures: list[QuestionResult] = []
        answered = 0
        last_thread = thread

        def on_ask(_index: int, _question: str, _attempt: int) -> None:
            self._deadline.arm(limit)

        def on_result(result: QuestionResult) -> None:
            nonlocal answered, last_thread
            self._deadline.arm(limit)
            result = dataclasses.replace(result, index=result.index + before)
            if result.ok:
                answered += 1
                last_thread = result.thread_id
                job.report(result)
            else:
                failures.append(result)  # held until it is known whether the browser is lost

        try:
            self._deadline.arm(limit)
            page = self._ready_page(job.product_url, job)
            run_conversation(
                page, job.seed, questions, timeout=settings.timeout, retries=settings.retries,
                service=self._service, on_result=on_result, on_ask=on_ask, backoff=settings.backoff,
                thread_id=thread,
            )
        except BrowserSilent as exc:
            raise _Lost(str(exc), answered, last_thread) from None
        finally:
            self._deadline.disarm()
        if failures and not self._alive():
            raise _Lost(failures[0].error or "no answer", answered, last_thread)
        for failure in failures:
            job.report(failure)
        return answered + len(failures), last_thread, bool(failures)

    def _ready_page(self, url: str, job: Job) -> Page:
        """This slot's page, on ``url``: kept from the call before when it is on the same page."""
        page = self._page
        self._page_calls += 1
        if page is not None and not page.is_closed() and self._page_url == url and self._page_calls <= PAGE_CALLS:
            return page
        self._drop_page()
        self._page_calls = 1
        context = self._ready_context(job)
        page = context.new_page()
        self._page, self._page_url = page, None
        open_product_page(page, url, self.settings.timeout)
        self._page_url = url
        return page

    def _ready_context(self, job: Job) -> BrowserContext:
        if self._context is not None:
            return self._context
        session = self._ready_session()
        self._context = session.new_context(job.seed)
        return self._context

    def _ready_session(self) -> WorkerSession:
        while self._session is None:
            endpoint = None
            options = self.settings.browser
            if self._book is not None:
                with self._book_lock:
                    endpoint = self._book.pick(self._endpoint)
                    lost = endpoint is not None and self._book.is_lost(endpoint)
                self._endpoint = endpoint
                if endpoint is None:
                    raise BrowserError("no browser endpoint is reachable")
                if lost:
                    options = dataclasses.replace(options, launch_timeout=min(options.launch_timeout, RETRY_CONNECT_TIMEOUT))
            session = WorkerSession(options, endpoint)
            try:
                session.start()
            except EndpointError as exc:
                assert endpoint is not None and self._book is not None
                with self._book_lock:
                    note = self._book.mark_lost(endpoint, exc.message)
                if note:
                    self._note(note)
                continue
            if endpoint is not None and self._book is not None:
                with self._book_lock:
                    note = self._book.mark_back(endpoint)
                if note:
                    self._note(note)
            with self._lock:
                self._session = session
        return self._session

    def _alive(self) -> bool:
        session = self._session
        if session is None:
            return False
        self._deadline.arm(SILENCE_GRACE)
        try:
            return session.alive()
        except BrowserSilent:
            return False
        finally:
            self._deadline.disarm()

    def _drop_page(self) -> None:
        """Close the page (which aborts a fetch still running in it); the next call opens another."""
        page, self._page, self._page_url = self._page, None, None
        if page is None:
            return
        self._deadline.arm(SILENCE_GRACE)
        try:
            # A stop sent while this thread was outside Playwright fires in its next call,
            # which may be this one; it fires once, so closing again works.
            for _ in range(2):
                try:
                    page.close()
                    break
                except BrowserSilent:
                    self._drop(silent=True)
                    break
                except BaseException:  # noqa: BLE001 - the page may be gone
                    continue
        finally:
            self._deadline.disarm()

    def _drop(self, silent: bool) -> None:
        """Let the browser go: lost (``silent``: no word to it) or at the end."""
        session = self._session
        self._page = self._context = None
        self._page_url = None
        if session is None:
            return
        if self._endpoint is not None and self._book is not None and silent:
            with self._book_lock:
                note = self._book.mark_lost(self._endpoint, "the browser was lost")
            if note:
                self._note(note)
        with self._lock:
            self._session = None
        if silent:
            session.abandon()
            return
        self._deadline.arm(SILENCE_GRACE)
        try:
            session.close()
        except BaseException:  # noqa: BLE001 - closing what may be gone
            session.abandon()
        finally:
            self._deadline.disarm()

    def _close(self) -> None:
        self._drop(silent=False)
        if self._book is not None:
            with self._book_lock:
                self._book.leave(self._endpoint)
