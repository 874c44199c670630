"""What the Rufus tools take from Playwright's and asyncio's internals still holds for the
installed versions: a failure here names what moved, before any replay misbehaves."""

from __future__ import annotations

import asyncio
import os
import sys
import threading
import time
from typing import Any

import pytest

from strovik.amazon_rufus.internals import UNSAFE_FRAME_PATHS, driver_loop, interrupt


class _Cut(KeyboardInterrupt):
    pass


def test_frame_paths_name_existing_code() -> None:
    roots = [path for path in sys.path if os.path.isdir(path)]
    for part in UNSAFE_FRAME_PATHS:
        assert any(os.path.exists(os.path.join(root, part)) for root in roots), f"{part} moved"


def test_a_blocking_call_is_cut_from_another_thread_and_the_page_still_works(chromium_page: Any) -> None:
    loop = driver_loop(chromium_page)
    assert isinstance(loop, asyncio.AbstractEventLoop), "Playwright's sync objects keep no _loop any more"
    timer = threading.Timer(0.5, interrupt, (loop, _Cut()))
    timer.start()
    started = time.monotonic()
    with pytest.raises(_Cut):
        chromium_page.evaluate("() => new Promise(resolve => setTimeout(resolve, 20000))")
    assert time.monotonic() - started < 10, "the interrupt did not end the blocking call"
    assert chromium_page.evaluate("1 + 1") == 2, "the connection did not survive the interrupt"
