"""Exceptions raised by the Rufus replay tooling."""

from __future__ import annotations


def first_line(text: str) -> str:
    """The first non-blank line of a message, stripped: Playwright's and the driver's
    messages go on with call logs that do not belong in a one-line error."""
    return next((line.strip() for line in str(text).splitlines() if line.strip()), "")


class RufusReplayError(Exception):
    """A Rufus request could not be rebuilt, replayed or read.

    The replay service may attach ``partial_answers`` (the answers obtained before
    the failure, in question order) to the exception it lets propagate.
    """

    # Whether asking the same question again may succeed; whether no further question can
    # be asked in the same page. Most failures are neither.
    retryable = False
    fatal = False

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class QuestionFailed(RufusReplayError):
    """One question got no answer.

    ``status`` is the HTTP status of the replay request when one was seen;
    ``retryable`` says whether asking the same question again may succeed (network
    errors, time limits, server errors); ``fatal`` that the page is gone and no
    further question can be asked in it.
    """

    def __init__(self, message: str, status: int | None = None, *, fatal: bool = False) -> None:
        super().__init__(message)
        self.status = status
        self.fatal = fatal


class ReplayHttpError(QuestionFailed):
    """The replay request was answered with a status outside 2xx."""

    def __init__(self, status: int, body: str) -> None:
        start = " ".join(body.split())[:120]
        super().__init__(f"Rufus answered HTTP {status}" + (f": {start}" if start else " with an empty body"), status)
        self.body = body
        self.retryable = status >= 500


class QuestionTimeout(QuestionFailed):
    """No complete answer arrived within the time limit."""

    retryable = True


class ReplayNetworkError(QuestionFailed):
    """The page's fetch failed before any answer arrived."""

    retryable = True


class PageError(RufusReplayError):
    """The product page could not be opened, or answered with an error status."""

    def __init__(self, message: str, status: int | None = None) -> None:
        super().__init__(message)
        self.status = status


class BrowserError(RufusReplayError):
    """Playwright or the browser could not be started."""


class EndpointError(BrowserError):
    """A browser started elsewhere could not be connected to."""
