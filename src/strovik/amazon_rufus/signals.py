"""Stop signals for the command-line tools: SIGINT, SIGTERM and SIGHUP end a run cleanly.

Inside ``stop_on_signals()`` the first of these signals raises ``Stopped`` in the main
thread; the code in hand unwinds through its ``finally`` blocks, which stop the browser,
and the command exits with ``128 + signal number``. ``Stopped`` is a KeyboardInterrupt,
so no ``except Exception`` swallows it.

The exception is raised only at a point where unwinding leaves Playwright intact: in
plain Python code, or while Playwright's event loop waits for the driver (its
synchronous API then hands the exception to the waiting call and keeps the connection
usable, so the browser can still be closed). Raised inside one of the loop's callbacks
or inside the client's own code, it would be swallowed by asyncio or cut a message in
half; there the signal is put off and looked at again a few milliseconds later. While a
received answer is on its way to the output (``hold()`` … ``release()``, or ``held()``
around a block) it is put off as well, so an answer in hand is written and a line is
never cut.

If the clean-up has not ended the process ``grace`` seconds after the signal, or a
second signal arrives after the exception was raised, the process ends at once with
the same status (the browser driver then stops by itself when its pipe closes).
"""

from __future__ import annotations

import logging
import os
import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

from strovik.amazon_rufus.internals import UNSAFE_FRAME_PATHS

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
RECHECK_SECONDS = 0.02
_holding = 0


class Stopped(KeyboardInterrupt):
    """A stop signal arrived; ``signum`` is its number and ``status`` the exit status."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.status = 128 + signum


def _safe_to_raise(frame: FrameType | None) -> bool:
    if _holding:
        return False
    while frame is not None:
        if any(part in frame.f_code.co_filename for part in UNSAFE_FRAME_PATHS):
            return False
        frame = frame.f_back
    return True


@contextmanager
def stop_on_signals(grace: float = 20.0) -> Iterator[None]:
    first: list[int] = []
    raised: list[bool] = []
    active = [True]

    def look_again() -> None:
        if active:
            os.kill(os.getpid(), first[0])

    def handler(signum: int, frame: FrameType | None) -> None:
        if raised:
            os._exit(128 + first[0])
        if not first:
            first.append(signum)
            watchdog = threading.Timer(grace, os._exit, (128 + signum,))
            watchdog.daemon = True
            watchdog.start()
            # The driver may die of the same signal (it shares the process group); what
            # asyncio would then log about its closed pipe is no news to the user.
            logging.getLogger("asyncio").setLevel(logging.CRITICAL)
        if not _safe_to_raise(frame):
            again = threading.Timer(RECHECK_SECONDS, look_again)
            again.daemon = True
            again.start()
            return
        raised.append(True)
        raise Stopped(first[0])

    previous = {signum: signal.signal(signum, handler) for signum in STOP_SIGNALS}
    try:
        yield
    finally:
        active.clear()
        for signum, old in previous.items():
            signal.signal(signum, old)


def hold() -> None:
    """Put stop signals off until the matching ``release()``.

    Only the main thread counts: the signal handler runs there, and other threads
    (workers of a batch) leave it alone.
    """
    global _holding
    if threading.current_thread() is threading.main_thread():
        _holding += 1


def release() -> None:
    global _holding
    if threading.current_thread() is threading.main_thread():
        _holding -= 1


@contextmanager
def held() -> Iterator[None]:
    """Put stop signals off until the block has run."""
    hold()
    try:
        yield
    finally:
        release()
