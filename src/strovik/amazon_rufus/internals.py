"""Every use the Rufus tools make of private parts of Playwright and asyncio, in one place.

Playwright's synchronous API offers no way to stop a blocking call from another thread, to
silence a failed start, or to tell whether a stop signal would cut its plumbing in half;
the tools rely on what its implementation does today. ``tests/amazon_rufus/
test_internals_browser.py`` checks each of these against the installed Playwright, and
pyproject.toml accepts only the Playwright versions that test has passed with.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Callable

# Frames of code that must not be cut short by a stop signal: asyncio's callback and task
# runners, and the Playwright client (its connection, dispatch and synchronous call plumbing).
UNSAFE_FRAME_PATHS = (
    os.path.join("asyncio", "events.py"),
    os.path.join("asyncio", "tasks.py"),
    os.path.join("asyncio", "futures.py"),
    os.path.join("playwright", "_impl", ""),
)


def driver_loop(handle: object) -> asyncio.AbstractEventLoop | None:
    """The event loop that Playwright's synchronous API runs in this thread (its private
    ``_loop``), from the object ``sync_playwright()`` returns or the started Playwright."""
    loop = getattr(handle, "_loop", None)
    return loop if isinstance(loop, asyncio.AbstractEventLoop) else None


def interrupt(loop: asyncio.AbstractEventLoop, exc: BaseException, when: Callable[[], bool] | None = None) -> None:
    """Raise ``exc`` in the thread that runs ``loop``, inside its current (or next)
    Playwright call; with ``when``, only if ``when()`` still holds at that moment (it is
    called in that thread).

    Playwright's synchronous API waits for the driver by running its event loop; an
    exception that a loop callback raises and that is a KeyboardInterrupt leaves the
    loop and is raised in the waiting call, with the loop left intact. This is the
    only way to end a blocking ``evaluate`` from another thread.
    """

    def raise_it() -> None:
        if when is None or when():
            raise exc

    try:
        loop.call_soon_threadsafe(raise_it)
    except RuntimeError:  # the loop is closed: the thread has stopped already
        pass


def silence_closed_loop(handle: object) -> None:
    """After a failed start, the driver leaves its error in a future of its own (now closed)
    loop, which asyncio would print as a traceback when the future is collected."""
    loop = driver_loop(handle)
    if loop is not None and loop.is_closed():
        loop.set_exception_handler(lambda _loop, _context: None)
