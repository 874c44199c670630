"""Watching a browser for the first Rufus request and making the seed of it.

``CaptureSession`` is a browser to watch: launched (``BrowserOptions``, optionally on a
persistent profile) or already running and reached over CDP (``endpoint``), in which case
its open tabs are watched and it is left running. ``RequestWatcher`` listens to every
request of the watched contexts (so tabs opened later count too) until a POST matches::

    with CaptureSession(BrowserOptions(chromium=find_chromium(), headed=True)) as session:
        contexts = session.watched_contexts()
        with RequestWatcher(contexts, re.compile(DEFAULT_MATCH)) as watcher:
            open_page(contexts[0], "https://www.amazon.com/")
            seed = watcher.wait(600)
"""

from __future__ import annotations

import re
import time
from collections.abc import Callable, Sequence
from typing import Any

from strovik.amazon_rufus.browser import WorkerSession
from strovik.amazon_rufus.domain.exceptions import BrowserError, first_line
from strovik.amazon_rufus.inputs import InputError
from strovik.amazon_rufus.seeds.record import SentRequest

# How often the other contexts' requests are looked at when several are watched.
POLL_SECONDS = 1.0


class NothingCaptured(Exception):
    """No usable matching request was sent within the time given, or the browser went away."""


class CaptureSession(WorkerSession):
    """A browser whose requests are watched: launched, or reached at ``endpoint``."""

    def watched_contexts(self) -> list[Any]:
        """The contexts to watch: a connected browser's own (its open tabs), else one of ours."""
        if self.endpoint is not None and self._browser is not None and self._browser.contexts:
            return list(self._browser.contexts)
        return [self.new_context()]


def open_page(context: Any, url: str, *, new_tab: bool = False) -> Any:
    """``url`` in a tab of ``context``: a new one, or (unless ``new_tab``) a blank one the
    browser opened with a persistent profile.

    Returns once the navigation has begun: the user may act on a page still loading.
    """
    from playwright.sync_api import Error as PlaywrightError

    try:
        blank = [] if new_tab else [page for page in context.pages if page.url == "about:blank"]
        page = blank[0] if blank else context.new_page()
        page.goto(url, wait_until="commit")
    except PlaywrightError as exc:
        raise BrowserError(f"cannot open {url}: {first_line(exc.message).removeprefix('Page.goto: ')}") from None
    return page


def _sent_request(request: Any) -> SentRequest:
    """What the browser sent, cookies included (``headers_array`` has every header)."""
    headers = [(header["name"], header["value"]) for header in request.headers_array()]
    try:
        body = request.post_data
    except UnicodeDecodeError:
        body = None  # not text, so not a Rufus request: the seed check refuses it
    return SentRequest(request.method, request.url, headers, body)


def _page_url(request: Any) -> str | None:
    try:
        return str(request.frame.page.url)
    except Exception:  # noqa: BLE001 - a worker's request has no page; the Referer serves
        return None


class RequestWatcher:
    """Listens to every request of ``contexts`` from ``__enter__`` on and keeps the POSTs
    whose URL matches ``pattern``; ``wait`` makes the seed of the first usable one."""

    def __init__(self, contexts: Sequence[Any], pattern: re.Pattern[str]) -> None:
        self.contexts = list(contexts)
        self.pattern = pattern
        self._matched: list[Any] = []

    def __enter__(self) -> RequestWatcher:
        for context in self.contexts:
            context.on("request", self._on_request)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for context in self.contexts:
            try:
                context.remove_listener("request", self._on_request)
            except Exception:  # noqa: BLE001 - the context may be gone with the browser
                pass

    def _on_request(self, request: Any) -> None:
        if request.method == "POST" and self.pattern.search(request.url):
            self._matched.append(request)

    def wait(self, seconds: float, on_skipped: Callable[[str], None] | None = None) -> dict[str, Any]:
        """The seed object of the first matching POST, waiting up to ``seconds`` for one.

        A matching request that would not make a usable seed (its body is not JSON, say)
        is passed over, said through ``on_skipped``. Raises NothingCaptured when the time
        is up, or when the browser is closed first.
        """
        from playwright.sync_api import Error as PlaywrightError
        from playwright.sync_api import TimeoutError as PlaywrightTimeout

        # The sync API delivers events only while it waits on the browser: the first
        # context's wait_for_event is that wait, cut into slices when others are watched.
        slice_seconds = POLL_SECONDS if len(self.contexts) > 1 else seconds
        end = time.monotonic() + seconds
        try:
            while True:
                while self._matched:
                    request = self._matched.pop(0)
                    try:
                        return _sent_request(request).seed(_page_url(request), f"the POST to {request.url}")
                    except InputError as exc:
                        if on_skipped is not None:
                            on_skipped(f"{exc}; still watching")
                remaining = end - time.monotonic()
                if remaining <= 0:
                    raise NothingCaptured(f"no POST matching {self.pattern.pattern!r} was sent within {seconds:g} s")
                try:
                    self.contexts[0].wait_for_event(
                        "request", predicate=lambda _request: bool(self._matched),
                        timeout=min(remaining, slice_seconds) * 1000,
                    )
                except PlaywrightTimeout:
                    pass
        except PlaywrightError as exc:
            detail = first_line(exc.message)
            raise NothingCaptured(f"the browser was closed before a matching POST was sent ({detail})") from None
