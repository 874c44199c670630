"""One Rufus conversation: questions asked in order in a product page, each answer
reported the moment it is read.

This is what ``strovik-rufus replay`` runs once and what a batch runs once per job::

    from strovik.amazon_rufus.browser import BrowserOptions, BrowserSession, find_chromium
    from strovik.amazon_rufus.conversation import run_conversation

    with BrowserSession(BrowserOptions(chromium=find_chromium())) as session:
        context = session.new_context(seed)          # carries the seed's cookies
        results = run_conversation(context, seed, questions, timeout=60, retries=2,
                                   keep_going=True, on_result=print)
        context.close()

``run_conversation(target, seed, questions, *, timeout=120.0, retries=0,
keep_going=False, service=None, on_result=None, on_ask=None, product_url=None,
backoff=1.0, thread_id=None) -> list[QuestionResult]``

- ``target`` is a Playwright ``BrowserContext`` (a page is opened on the product page
  and closed at the end) or a ``Page`` (used as it is, or first navigated to
  ``product_url`` when one is given). The product page is ``product_url``, else the
  seed's ``page_url``.
- Each question is one ``RufusReplayService.replay_with_page`` call, with a seed whose
  thread is that of the last good answer; the answer it returns is reported at once, as
  a ``QuestionResult``, to ``on_result``. ``on_ask(index, question, attempt)`` is called
  just before each question is sent.
- A question fails when the page's fetch fails, when the replay request is answered
  with a status outside 2xx (seen in the page's network responses; the page script
  itself resolves to the body whatever the status), when no answer is complete after
  ``timeout`` seconds (a timer in the page then calls ``window.stop()``, which aborts
  the fetch and so ends the pending ``evaluate``),
  or when the answer cannot be read. A network error, a time-out or a 5xx is retried up
  to ``retries`` times, after an exponential back-off with jitter (``backoff`` seconds
  doubled each attempt, capped at 30 s), in the same thread.
- A question that still fails is reported as a ``QuestionResult`` with ``error`` (and
  ``status`` when an HTTP status was seen). Without ``keep_going`` the conversation ends
  there; with it, the remaining questions are asked in the thread of the last good
  answer. A failure that leaves no page to ask in ends it as well.
- ``thread_id`` continues a conversation begun earlier: the first question is asked in
  that thread instead of the seed's own (a resumed batch job starts this way).
- The return value holds every result in order. Nothing is printed; exceptions raised
  by ``on_result``/``on_ask`` and BaseExceptions (KeyboardInterrupt, a caller's signal
  exception) propagate at once, after the results reported so far.
- Errors before the first question (the product page cannot be opened or answers
  4xx/5xx: ``PageError``; a seed body that is not JSON: ``RufusReplayError``) raise.

``service`` is the ``RufusReplayService`` to drive (a new one by default); it is only
called, so one service may serve several conversations.
"""

from __future__ import annotations

import dataclasses
import json
import random
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qsl, unquote, urlsplit

from strovik.amazon_rufus.domain.exceptions import (
    PageError,
    QuestionFailed,
    QuestionTimeout,
    ReplayHttpError,
    ReplayNetworkError,
    RufusReplayError,
    first_line,
)
from strovik.amazon_rufus.domain.models import AnswerData, SeedRequestRecord, asin_from_page_url
from strovik.amazon_rufus.signals import hold, release

if TYPE_CHECKING:
    from playwright.sync_api import BrowserContext, Page, Response

    from strovik.amazon_rufus.services.replay import RufusReplayService

MAX_BACKOFF = 30.0
FETCH_FAILED_HINT = (
    "the Rufus endpoint is unreachable, or the page is on another origin than the request URL "
    "(open a product page on the request URL's site)"
)
# Armed before each question: window.stop() aborts the page's pending fetch, so the page
# script rejects and evaluate returns, while the page itself stays as it is. (A reload
# would do the same, but a page closed right after such a navigation may never close.)
# Arming replaces the timer of the question before, so an answered question needs no
# round trip of its own to disarm it; a timer left armed after the last answer can only
# stop a navigation of the same page, which is why opening a product page disarms first.
_TIMER = "window.__strovikStopTimer"
_ARM_TIMER = f"ms => {{ clearTimeout({_TIMER}); {_TIMER} = setTimeout(() => window.stop(), ms); }}"
_DISARM_TIMER = f"() => clearTimeout({_TIMER})"


@dataclass(frozen=True)
class QuestionResult:
    """What became of one question.

    ``index`` counts questions from 1; ``thread_id`` is the conversation's thread after
    the answer (for a failure: the thread the question was asked in, None for the seed's
    own); exactly one of ``answer`` and ``error`` is set; ``status`` is the HTTP status of
    the replay request when a failure saw one; ``attempts`` counts the times it was sent.
    """

    index: int
    question: str
    thread_id: str | None
    answer: AnswerData | None = None
    error: str | None = None
    status: int | None = None
    attempts: int = 1

    @property
    def ok(self) -> bool:
        return self.error is None

    @property
    def text(self) -> str | None:
        return None if self.answer is None else self.answer.text

    def record(self) -> dict[str, Any]:
        """The result as one JSON-lines record."""
        record: dict[str, Any] = {"index": self.index, "question": self.question, "thread_id": self.thread_id}
        if self.ok:
            record["text"] = self.text
        else:
            record["error"] = self.error
            record["status"] = self.status
        return record


def retarget_seed(
    seed: SeedRequestRecord, *, product_url: str | None = None, asin: str | None = None
) -> SeedRequestRecord:
    """The seed asking about another product.

    ``asin`` wins; otherwise the ASIN in ``product_url``'s /dp/ path (if any) replaces the
    seed's. ``product_url`` also becomes the seed's ``page_url``.
    """
    changes: dict[str, Any] = {}
    if product_url:
        changes["page_url"] = product_url
    target = asin or (asin_from_page_url(product_url) if product_url else None)
    if target:
        changes["asin"] = target.upper()
    return dataclasses.replace(seed, **changes) if changes else seed


def asin_page_url(seed: SeedRequestRecord, asin: str) -> str:
    """The product page of ``asin`` on the seed's site: the page script posts from it,
    so it must share the request URL's origin."""
    parts = urlsplit(seed.page_url or seed.request_url)
    return f"{parts.scheme}://{parts.netloc}/dp/{asin}"


def backoff_delay(attempt: int, base: float = 1.0) -> float:
    """Seconds to wait before sending a question for the (attempt + 1)-th time."""
    ceiling: float = min(MAX_BACKOFF, base * 2.0 ** (attempt - 1))
    return ceiling * random.uniform(0.5, 1.0)


def _url_key(url: str) -> tuple[Any, ...]:
    # The browser may write a URL differently (escapes, default port): compare meanings.
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    port = parts.port or {"http": 80, "https": 443}.get(scheme)
    query = sorted(parse_qsl(parts.query, keep_blank_values=True))
    return scheme, (parts.hostname or "").lower(), port, unquote(parts.path), query


def open_product_page(page: Page, url: str, timeout: float) -> None:
    """Navigate ``page`` to the product page; PageError when it fails or answers 4xx/5xx."""
    from playwright.sync_api import Error as PlaywrightError

    try:
        if page.url != "about:blank":
            page.evaluate(_DISARM_TIMER)  # a question's time limit must not stop this navigation
        response = page.goto(url, wait_until="domcontentloaded", timeout=timeout * 1000)
    except PlaywrightError as exc:
        raise PageError(f"cannot open {url}: {first_line(exc.message)}") from None
    if response is not None and response.status >= 400:
        raise PageError(f"product page {url} answered HTTP {response.status}", response.status)


class _WatchedPage:
    """The page as the replay service sees it.

    Each ``evaluate`` (one per question) runs under the time limit, and the page's
    network responses decide the outcome: a replay request answered outside 2xx raises
    ReplayHttpError instead of handing its body to the parser.
    """

    def __init__(self, page: Page, replay_url: str, timeout: float) -> None:
        self._page = page
        self._replay_key = _url_key(replay_url)
        self._timeout = timeout
        self._statuses: list[int] = []
        self._holding = False
        page.on("response", self._on_response)

    def detach(self) -> None:
        try:
            self._page.remove_listener("response", self._on_response)
        except Exception:  # noqa: BLE001 - the page may be gone
            pass

    def _on_response(self, response: Response) -> None:
        request = response.request
        while request.redirected_from is not None:
            request = request.redirected_from
        if request.method == "POST" and _url_key(request.url) == self._replay_key:
            self._statuses.append(response.status)

    def _status(self) -> int | None:
        # A redirected request reports each hop; the last non-redirect status is the answer's.
        final = [status for status in self._statuses if not 300 <= status < 400]
        return final[-1] if final else (self._statuses[-1] if self._statuses else None)

    def evaluate(self, script: str, arg: object) -> Any:
        from playwright.sync_api import Error as PlaywrightError

        self._statuses.clear()
        page = self._page
        try:
            page.evaluate(_ARM_TIMER, int(self._timeout * 1000))
        except PlaywrightError as exc:
            raise QuestionFailed(f"the page failed: {first_line(exc.message)}", fatal=page.is_closed()) from None
        started = time.monotonic()
        try:
            text = page.evaluate(script, arg)
        except PlaywrightError as exc:
            raise self._failure(exc.message, time.monotonic() - started) from None
        # The answer is in hand: a stop signal waits until it is reported (``let_go``).
        hold()
        self._holding = True
        status = self._status()
        if status is not None and not 200 <= status < 300:
            self.let_go()
            raise ReplayHttpError(status, text if isinstance(text, str) else "")
        return text

    def let_go(self) -> None:
        """The answer in hand is reported (or failed): stop signals are taken again."""
        if self._holding:
            self._holding = False
            release()

    def _failure(self, message: str, elapsed: float) -> QuestionFailed:
        page = self._page
        if page.is_closed():
            return QuestionFailed(f"the page was closed: {first_line(message)}", fatal=True)
        if elapsed >= self._timeout * 0.95:
            return QuestionTimeout(f"no answer within the {self._timeout:g} s time limit", self._status())
        detail = first_line(message).removeprefix("Page.evaluate: ")
        if "Failed to fetch" in message or "NetworkError" in message or "net::" in message:
            return ReplayNetworkError(f"network error: {detail} ({FETCH_FAILED_HINT})")
        return QuestionFailed(f"the page script failed: {detail}", self._status())


class _Conversation:
    def __init__(
        self,
        service: RufusReplayService,
        seed: SeedRequestRecord,
        questions: Sequence[str],
        on_result: Callable[[QuestionResult], None] | None,
        on_ask: Callable[[int, str, int], None] | None,
    ) -> None:
        self.service = service
        self.seed = seed
        self.questions = list(questions)
        self.on_result = on_result
        self.on_ask = on_ask
        self.results: list[QuestionResult] = []
        self.position = 0  # index into questions of the question being asked
        self.thread: str | None = None  # thread of the last good answer
        self.attempt = 1

    def report(self, result: QuestionResult) -> None:
        self.results.append(result)
        if self.on_result is not None:
            self.on_result(result)

    def asking(self) -> None:
        if self.on_ask is not None:
            self.on_ask(self.position + 1, self.questions[self.position], self.attempt)

    def answered(self, answer: AnswerData) -> None:
        thread = answer.thread_id or self.thread
        question = self.questions[self.position]
        self.thread = thread
        self.position += 1
        attempts, self.attempt = self.attempt, 1
        self.report(QuestionResult(self.position, question, thread, answer, attempts=attempts))

    def failed(self, failure: RufusReplayError) -> None:
        status = failure.status if isinstance(failure, QuestionFailed) else None
        question = self.questions[self.position]
        self.position += 1
        attempts, self.attempt = self.attempt, 1
        self.report(
            QuestionResult(self.position, question, self.thread, error=failure.message, status=status, attempts=attempts)
        )

    def seed_in_thread(self) -> SeedRequestRecord:
        """The seed, carrying the thread of the last good answer into its first question."""
        if self.thread is None:
            return self.seed
        payload = self.service.build_payload(self.seed.request_body, "", self.thread, self.seed.asin)
        return dataclasses.replace(self.seed, request_body=json.dumps(payload, ensure_ascii=False))


def run_conversation(
    target: BrowserContext | Page,
    seed: SeedRequestRecord,
    questions: Sequence[str],
    *,
    timeout: float = 120.0,
    retries: int = 0,
    keep_going: bool = False,
    service: RufusReplayService | None = None,
    on_result: Callable[[QuestionResult], None] | None = None,
    on_ask: Callable[[int, str, int], None] | None = None,
    product_url: str | None = None,
    backoff: float = 1.0,
    thread_id: str | None = None,
) -> list[QuestionResult]:
    """Ask ``questions`` in order in one conversation; see the module documentation."""
    if service is None:
        from strovik.amazon_rufus.services.replay import RufusReplayService

        service = RufusReplayService()
    # A seed body that is not JSON fails here, before anything is sent.
    service.build_payload(seed.request_body, "", None, seed.asin)
    conversation = _Conversation(service, seed, questions, on_result, on_ask)
    conversation.thread = thread_id
    if not conversation.questions:
        return []

    url = product_url or seed.page_url
    from playwright.sync_api import BrowserContext as PlaywrightContext

    own_page = isinstance(target, PlaywrightContext)
    page = target.new_page() if isinstance(target, PlaywrightContext) else target
    watched: _WatchedPage | None = None
    try:
        if url and (own_page or product_url):
            open_product_page(page, url, timeout)
        elif own_page:
            raise PageError("no product page: give product_url or a seed with page_url")
        watched = _WatchedPage(page, service.build_replay_url(seed), timeout)
        _ask(conversation, watched, retries, keep_going, backoff)
    finally:
        if watched is not None:
            watched.detach()
        if own_page:
            try:
                page.close()
            except Exception:  # noqa: BLE001 - the browser may already be gone
                pass
    return conversation.results


def _ask(conversation: _Conversation, page: _WatchedPage, retries: int, keep_going: bool, backoff: float) -> None:
    questions = conversation.questions
    service = conversation.service
    while conversation.position < len(questions):
        conversation.asking()
        question = questions[conversation.position]
        try:
            [answer] = service.replay_with_page(page, conversation.seed_in_thread(), [question])
        except RufusReplayError as failure:
            page.let_go()
            if failure.retryable and conversation.attempt <= retries:
                time.sleep(backoff_delay(conversation.attempt, backoff))
                conversation.attempt += 1
                continue
            conversation.failed(failure)
            if not keep_going or (isinstance(failure, QuestionFailed) and failure.fatal):
                return
            continue
        except BaseException:
            page.let_go()
            raise
        try:
            conversation.answered(answer)
        finally:
            page.let_go()
