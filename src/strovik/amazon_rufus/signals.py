"""Stop signals for the command-line tools: SIGINT, SIGTERM and SIGHUP end a run cleanly.

Inside ``stop_on_signals()`` the first of these signals raises ``Stopped`` in the main
thread (a BaseException, so that no ``except Exception`` swallows it); the code in hand
unwinds through its ``finally`` blocks, which stop the browser, and the command exits
with ``128 + signal number``. If that clean-up has not ended the process after
``grace`` seconds, or a second signal arrives, the process ends at once with the same
status (the browser driver then stops by itself when its pipe closes).

``held()`` defers the signals while a record is written, so that a line is never cut.
"""

from __future__ import annotations

import os
import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(BaseException):
    """A stop signal arrived; ``signum`` is its number and ``status`` the exit status."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.status = 128 + signum


@contextmanager
def stop_on_signals(grace: float = 20.0) -> Iterator[None]:
    stopping: list[int] = []

    def handler(signum: int, frame: FrameType | None) -> None:
        if stopping:
            os._exit(128 + stopping[0])
        stopping.append(signum)
        watchdog = threading.Timer(grace, os._exit, (128 + signum,))
        watchdog.daemon = True
        watchdog.start()
        raise Stopped(signum)

    previous = {signum: signal.signal(signum, handler) for signum in STOP_SIGNALS}
    try:
        yield
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)


@contextmanager
def held() -> Iterator[None]:
    """Deliver stop signals only after the block (main thread only)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)
