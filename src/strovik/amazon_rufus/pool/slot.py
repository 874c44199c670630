"""A browser slot: one thread that owns its Playwright, its browser (launched here or
reached over CDP) and one page, and runs the jobs its source hands it one at a time.

Playwright's synchronous API is bound to the thread that started it, and the replay
service asks through a page's blocking ``evaluate``: so each slot is a thread, and
whoever feeds it (the pool's event loop, a batch's queue) only hands jobs over and
hears of their results through the job's hooks (``SlotJob``).

Every slot bounds its browser calls with a ``Deadline`` (a browser gone silent is lost
like one that closed its connection), spreads over the endpoints of a shared
``EndpointBook``, and gives a job whose browser was lost back to its source, to go on
with what is left of it on another browser.
"""

from __future__ import annotations

import dataclasses
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Protocol

from strovik.amazon_rufus.browser import BrowserOptions, WorkerSession
from strovik.amazon_rufus.conversation import QuestionResult, open_product_page, run_conversation
from strovik.amazon_rufus.deadline import SILENCE_GRACE, BrowserSilent, Deadline, Watchdog
from strovik.amazon_rufus.domain.exceptions import BrowserError, EndpointError, PageError, RufusReplayError, first_line
from strovik.amazon_rufus.endpoints import EndpointBook
from strovik.amazon_rufus.internals import interrupt
from strovik.amazon_rufus.pool.job import CallStopped, SlotJob

if TYPE_CHECKING:
    from playwright.sync_api import BrowserContext, Page

# Playwright keeps every request and response a page made until the page closes: a page
# serves this many calls, then the next call opens a new one, so memory stays bounded.
PAGE_CALLS = 100
# A job whose browser is lost this many times is failed instead of moved again.
MAX_BROWSER_LOSSES = 3
# Trying a lost endpoint again holds a job: a host that accepts connections and never
# answers gives up after this many seconds instead of the launch timeout.
RETRY_CONNECT_TIMEOUT = 10.0


class SlotLeft(KeyboardInterrupt):
    """Raised in a slot thread to end the slot at once (``Slot.leave``, or a job's hook):
    the job in hand is left as it is. A KeyboardInterrupt, for the reason ``CallStopped``
    is one."""


class JobSource(Protocol):
    """Where a slot takes its jobs, called in the slot's thread."""

    def take(self) -> SlotJob | None:
        """The next job, waiting for one; None: the slot is to close its browser and end."""

    def give_back(self, job: SlotJob) -> None:
        """A job the slot could not finish (its browser lost, or none to be had), for this
        or another slot to go on with."""

    def started(self, up: bool) -> None:
        """With ``start_first``: the slot's first browser is ``up``, or could not be had."""

    def left(self) -> None:
        """The slot has ended, its browser closed."""


@dataclasses.dataclass(frozen=True)
class SlotSettings:
    """How a slot asks: ``timeout``, ``retries``, ``keep_going`` and ``backoff`` act on
    each conversation as in ``strovik-rufus replay``.

    ``fresh_context``: each job in a browser context of its own with its seed's cookies,
    closed when it ends (a batch); else one context and page kept from job to job while
    the product page stays the same (a pool, whose calls share one seed).
    ``start_first``: start the browser before taking a job and tell the source
    (``started``); ``leave_without_browser``: when no browser can be had, give the job
    back and end the slot, else fail the job and wait for the next.
    """

    browser: BrowserOptions
    timeout: float
    retries: int
    backoff: float = 1.0
    keep_going: bool = False
    fresh_context: bool = False
    start_first: bool = False
    leave_without_browser: bool = False


@dataclasses.dataclass
class SharedBook:
    """The endpoints the slots share (``None`` book: each slot launches its own browser),
    and the lock the slots hold around it."""

    book: EndpointBook | None
    lock: threading.Lock = dataclasses.field(default_factory=threading.Lock)

    def call(self, action: Callable[[EndpointBook], Any]) -> Any:
        assert self.book is not None
        with self.lock:
            return action(self.book)


class _Lost(Exception):
    """The browser went away under a job; its failures are not the job's."""


class _NoBrowser(Exception):
    """No browser can be had; ``note``: a slot's own failure worth a note (a driver that
    would not start), rather than endpoints that are all lost (each noted already)."""

    def __init__(self, message: str, note: bool) -> None:
        super().__init__(message)
        self.note = note


class Slot(threading.Thread):
    def __init__(
        self,
        name: str,
        settings: SlotSettings,
        source: JobSource,
        endpoints: SharedBook,
        watchdog: Watchdog,
        on_note: Callable[[str], None],
    ) -> None:
        # A daemon thread: a slot stuck in a browser call must not keep the process alive.
        super().__init__(name=name, daemon=True)
        self.settings = settings
        self._source = source
        self._endpoints = endpoints
        self._note = on_note
        self._session: WorkerSession | None = None
        self._endpoint: str | None = None
        self._placed = False  # ``_endpoint`` is counted for this slot already, not yet connected
        self._context: BrowserContext | None = None
        self._page: Page | None = None
        self._page_url: str | None = None
        self._page_calls = 0  # calls the page has served
        self._service: Any = None
        self._current: SlotJob | None = None
        self._leaving = False
        self._lock = threading.Lock()
        self._deadline = Deadline(watchdog, self._loop)

    # --- called from other threads

    @property
    def has_browser(self) -> bool:
        return self._session is not None

    def stop_call(self, job: SlotJob) -> None:
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

    def leave(self) -> None:
        """End the slot at once: it closes its browser, and the job in hand is left as it is."""
        self._leaving = True
        loop = self._loop()
        if loop is not None:
            interrupt(loop, SlotLeft())

    def _loop(self) -> Any:
        with self._lock:
            return None if self._session is None else self._session.loop

    # --- the slot's own thread

    def run(self) -> None:
        from strovik.amazon_rufus.services.replay import RufusReplayService

        self._service = RufusReplayService()
        try:
            if self.settings.start_first and not self._start():
                return
            while (job := self._source.take()) is not None:
                with self._lock:
                    self._current = job
                try:
                    if not self._take_on(job):
                        return
                finally:
                    with self._lock:
                        self._current = None
        except SlotLeft:
            pass
        finally:
            self._close()
            self._source.left()

    def _start(self) -> bool:
        up = False
        try:
            self._ready_session()
            up = True
        except _NoBrowser as exc:
            if exc.note:
                self._note(f"{self.name}: {exc}")
        finally:
            self._source.started(up)
        return up

    def _take_on(self, job: SlotJob) -> bool:
        """Run ``job`` (or give it back); False when the slot is to end."""
        if job.stop_reason is not None:  # given up before it began
            job.end([], job.stop_reason)
            return True
        self._move()
        try:
            self._ready_session()
        except _NoBrowser as exc:
            if not self.settings.leave_without_browser:
                job.end([], str(exc))
                return True
            if exc.note:
                self._note(f"{self.name}: {exc}")
            self._source.give_back(job)
            return False
        try:
            failures, error, status = self._ask(job)
        except _Lost as exc:
            # What is left of the job goes on on another browser (or endpoint).
            self._lose(str(exc))
            job.losses += 1
            if job.losses < MAX_BROWSER_LOSSES and job.stop_reason is None:
                self._source.give_back(job)
                return True
            job.end([], f"the browser was lost {job.losses} times during this conversation ({exc})")
            return True
        except CallStopped:
            self._close_page()
            job.end([], job.stop_reason or "the call was cancelled")
            return True
        job.end(failures, error, status)
        return True

    def _ask(self, job: SlotJob) -> tuple[list[QuestionResult], str | None, int | None]:
        """Ask what is left of ``job``: its failures (held until it is known whether the
        browser is lost; answers go to the job at once), and the error that ended it
        otherwise, with its status. Raises _Lost."""
        settings = self.settings
        # Each question must be settled within its time limit, and each step around the
        # questions (setting up the context, opening and closing the page) within as long.
        limit = settings.timeout + SILENCE_GRACE
        failures: list[QuestionResult] = []
        error: str | None = None
        status: int | None = None
        silent: str | None = None
        asked = False

        def on_ask(_index: int, _question: str, _attempt: int) -> None:
            nonlocal asked
            self._deadline.disarm()
            job.before_question(asked)
            asked = True
            self._deadline.arm(limit)

        def reporter(run: list[int]) -> Callable[[QuestionResult], None]:
            def on_result(result: QuestionResult) -> None:
                result = dataclasses.replace(result, index=run[result.index - 1])
                if result.ok:
                    job.answered[result.index] = result.thread_id
                    job.answer(result)
                else:
                    failures.append(result)
                self._deadline.arm(limit)

            return on_result

        try:
            self._deadline.arm(limit)
            page = self._ready_page(job)
            for run in job.runs():
                results = run_conversation(
                    page, job.seed, [job.questions[index - 1] for index in run],
                    timeout=settings.timeout, retries=settings.retries, keep_going=settings.keep_going,
                    service=self._service, on_result=reporter(run), on_ask=on_ask, backoff=settings.backoff,
                    thread_id=job.thread_before(run[0]),
                )
                if not settings.keep_going and not all(result.ok for result in results):
                    break
        except BrowserSilent as exc:
            # Cut off: the question in flight has no result and is asked again elsewhere.
            silent = str(exc)
        except Exception as exc:  # noqa: BLE001 - one job's failure never stops the others
            error = first_line(exc.message) if isinstance(exc, RufusReplayError) else _describe(exc)
            status = getattr(exc, "status", None)
        finally:
            self._deadline.disarm()
        if settings.fresh_context and silent is None:
            silent = self._close_page()
        if silent is None and (failures or error is not None) and not self._alive():
            silent = failures[-1].error if failures and failures[-1].error else (error or "no answer")
        if silent is not None:
            if failures or error is not None or job.pending():
                raise _Lost(silent)
            self._lose(silent)  # every answer is in; the browser is let go all the same
        return failures, error, status

    def _ready_page(self, job: SlotJob) -> Page:
        """This slot's page, on the job's product page: kept from the job before when it
        is on the same page (without ``fresh_context``)."""
        if not job.product_url:
            raise PageError("no product page: give product_url or a seed with page_url")
        page = self._page
        self._page_calls += 1
        if (
            page is not None
            and not page.is_closed()
            and self._page_url == job.product_url
            and self._page_calls <= PAGE_CALLS
        ):
            return page
        if page is not None:
            self._close_page()
        self._page_calls = 1
        session = self._ready_session()
        if self._context is None:
            self._context = session.new_context(job.seed)
        page = self._context.new_page()
        self._page, self._page_url = page, None
        open_product_page(page, job.product_url, self.settings.timeout)
        self._page_url = job.product_url
        return page

    def _close_page(self) -> str | None:
        """Close the page (which aborts a fetch still running in it) and, with fresh
        contexts, its context; the next job opens others. Returns why the browser is taken
        for silent, when it is."""
        session = self._session
        own_context = self.settings.fresh_context and session is not None and not session.persistent
        target: Any = self._context if own_context else self._page
        self._page = self._page_url = None
        if self.settings.fresh_context:
            self._context = None
        if target is None:
            return None
        self._deadline.arm(SILENCE_GRACE)
        try:
            # A stop sent while this thread was outside Playwright fires in its next call,
            # which may be this one; it fires once, so closing again works.
            for _ in range(2):
                try:
                    target.close()
                    break
                except BrowserSilent as exc:
                    return str(exc)
                except BaseException:  # noqa: BLE001 - the page may be gone
                    continue
        finally:
            self._deadline.disarm()
        return None

    def _move(self) -> None:
        """Between jobs: go over to an endpoint with two slots fewer than this one's (as
        when a lost one may be tried again), closing the browser here."""
        if self._endpoints.book is None or self._session is None or self._endpoint is None:
            return
        endpoint = self._endpoints.call(lambda book: book.pick(self._endpoint, fewer=True))
        if endpoint is not None:
            self._drop(silent=False)
            self._endpoint, self._placed = endpoint, True

    def _ready_session(self) -> WorkerSession:
        """The slot's browser, started or connected to when it has none. Raises _NoBrowser."""
        while self._session is None:
            if self._leaving:
                raise SlotLeft()
            options = self.settings.browser
            if self._endpoints.book is not None:
                if not self._placed:
                    self._endpoint = self._endpoints.call(lambda book: book.pick(self._endpoint))
                self._placed = False
                endpoint = self._endpoint
                if endpoint is None:
                    raise _NoBrowser("no browser endpoint is reachable", note=False)
                if self._endpoints.call(lambda book: book.is_lost(endpoint)):
                    limit = min(options.launch_timeout, RETRY_CONNECT_TIMEOUT)
                    options = dataclasses.replace(options, launch_timeout=limit)
            session = WorkerSession(options, self._endpoint)
            try:
                session.start()
            except BrowserError as exc:
                # Only a failed connection loses the endpoint: a driver that would not start
                # is this slot's fault, and other slots may still reach the endpoint.
                if self._endpoint is None or not isinstance(exc, EndpointError):
                    raise _NoBrowser(exc.message, note=True) from None
                self._endpoint_lost(exc.message)
                continue
            connected = self._endpoint
            if connected is not None:
                note = self._endpoints.call(lambda book: book.mark_back(connected))
                if note:
                    self._note(note)
            with self._lock:
                self._session = session
        return self._session

    def _endpoint_lost(self, reason: str) -> None:
        endpoint = self._endpoint
        assert endpoint is not None
        note = self._endpoints.call(lambda book: book.mark_lost(endpoint, reason))
        if note:
            self._note(note)

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

    def _lose(self, reason: str) -> None:
        """The browser is lost: said, and let go without a word to it."""
        if self._endpoint is not None:
            self._endpoint_lost(reason)
        else:
            self._note(f"{self.name}: the browser was lost ({reason}); starting another")
        self._drop(silent=True)

    def _drop(self, silent: bool) -> None:
        """Let the browser go: lost (``silent``: no word to it), or closed."""
        session = self._session
        self._page = self._context = None
        self._page_url = None
        if session is None:
            return
        try:
            if not silent:
                self._deadline.arm(SILENCE_GRACE)
                for _ in range(2):  # as in _close_page
                    try:
                        session.close()
                        break
                    except BrowserSilent:
                        break
                    except BaseException:  # noqa: BLE001 - closing what may be gone
                        continue
        finally:
            self._deadline.disarm()
            with self._lock:
                self._session = None
            session.abandon()

    def _close(self) -> None:
        self._drop(silent=False)
        if self._endpoints.book is not None:
            self._endpoints.call(lambda book: book.leave(self._endpoint))


def _describe(exc: BaseException) -> str:
    detail = first_line(str(exc))[:200]
    return f"{type(exc).__name__}: {detail}" if detail else type(exc).__name__
