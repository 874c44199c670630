"""Fixtures for the Rufus tests: the native replay module, a stand-in Rufus endpoint
on 127.0.0.1 and a real Chromium page."""

from __future__ import annotations

import importlib
import os
import shutil
from collections.abc import Iterator
from types import ModuleType
from typing import Any

import pytest

from .helpers import RufusStandIn, serve_standin

REPLAY_MODULE = "strovik.amazon_rufus.services.replay"
CHROMIUM_ARGS = ["--no-sandbox", "--disable-background-networking"]


@pytest.fixture(scope="session")
def replay() -> ModuleType:
    """The native replay module (an import failure fails every test that needs it)."""
    return importlib.import_module(REPLAY_MODULE)


@pytest.fixture
def service(replay: ModuleType) -> Any:
    return replay.RufusReplayService()


@pytest.fixture
def rufus_standin() -> Iterator[RufusStandIn]:
    with serve_standin() as stand_in:
        yield stand_in


# --- real Chromium ---------------------------------------------------------------------------


def chromium_path() -> str:
    return shutil.which("chromium") or "/usr/bin/chromium"


@pytest.fixture(scope="module")
def chromium_browser() -> Iterator[Any]:
    """Debian's Chromium driven through Playwright's synchronous API (never a download).

    Module-scoped: the synchronous API keeps an event loop running on the main
    thread while it is started, which would stop asyncio.run() in other tests."""
    from playwright.sync_api import sync_playwright

    # A sanitizer run preloads its runtime into Python; Playwright's driver and the
    # browser are separate programs and must start without it.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        playwright = sync_playwright().start()
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload
    env: dict[str, str | float | bool] = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    browser = playwright.chromium.launch(
        executable_path=chromium_path(), headless=True, args=CHROMIUM_ARGS, env=env, timeout=60_000
    )
    try:
        yield browser
    finally:
        browser.close()
        playwright.stop()


@pytest.fixture
def chromium_page(chromium_browser: Any) -> Iterator[Any]:
    context = chromium_browser.new_context()
    page = context.new_page()
    page.set_default_timeout(30_000)
    try:
        yield page
    finally:
        context.close()
