"""Chromium for Rufus replays: where it is, how it starts, and the session it carries.

``BrowserSession`` starts Playwright's driver and Debian's Chromium (never a
downloaded build) and hands out browser contexts that carry the signed-in session:
the cookies of the seed's captured ``Cookie`` header, and optionally a Playwright
storage state file or a persistent profile directory. One session belongs to the
thread that started it (Playwright's synchronous API is bound to its thread)::

    with BrowserSession(BrowserOptions(chromium=find_chromium())) as session:
        context = session.new_context(seed)
        ...
        context.close()

``WorkerSession`` is the session a browser slot (a batch worker, a pool slot) owns: it
launches Chromium as above, or connects to one started elsewhere with
``--remote-debugging-port``. ``BATCH_CHROMIUM_ARGS`` are the flags slots launch with.
"""

from __future__ import annotations

import asyncio
import os
import shutil
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlsplit

from strovik.amazon_rufus.domain.exceptions import BrowserError, EndpointError, first_line
from strovik.amazon_rufus.domain.models import SeedRequestRecord
from strovik.amazon_rufus.internals import driver_loop, silence_closed_loop

DEFAULT_CHROMIUM = "/usr/bin/chromium"
# Added to the arguments Playwright passes itself: Debian's Chromium runs here as root
# in containers without user namespaces, and a replay needs no background services.
CHROMIUM_ARGS = ("--no-sandbox", "--disable-background-networking")

# Playwright's own --disable-features list (playwright-core's chromiumSwitches). Chromium
# honours only the last --disable-features switch, so ours must repeat it.
PLAYWRIGHT_DISABLED_FEATURES = (
    "AvoidUnnecessaryBeforeUnloadCheckSync",
    "DestroyProfileOnBrowserClose",
    "HttpsUpgrades",
    "HttpsFirstBalancedModeAutoEnable",
    "LensOverlay",
    "MediaRouter",
    "PaintHolding",
    "ThirdPartyStoragePartitioning",
    "AvoidCorsURLLoaderRestartOnRedirect",
    "TcpPortRandomizationWin",
    "OptimizationHints",
    "NetworkTimeServiceQuerying",
    "AimEnabled",
    "PreconnectToSearch",
    "msForceBrowserSignIn",
    "msEdgeUpdateLaunchServicesPreferredVersion",
)
# What each new browser context costs beyond its page, measured by process CPU time:
# - every context builds the address bar's hidden popup pages (WebUI), about as much
#   work as the product page itself;
# - a "spare" renderer process is started ahead for the last context used, which the
#   next job's new context can never use: two renderer processes per job instead of one.
BATCH_DISABLED_FEATURES = (
    "WebUIOmniboxPopup",
    "WebUIOmniboxAimPopup",
    "WebUIOmniboxFullPopup",
    "PreloadTopChromeWebUI",
    "SpareRendererForSitePerProcess",
)
DISABLED_FEATURES = PLAYWRIGHT_DISABLED_FEATURES + BATCH_DISABLED_FEATURES
BATCH_CHROMIUM_ARGS = ("--disable-features=" + ",".join(DISABLED_FEATURES),)


def find_chromium(option: str | None = None) -> str:
    """The Chromium executable to launch: ``option``, else ``chromium`` on PATH.

    Raises BrowserError when the file is missing or not executable.
    """
    path = option or shutil.which("chromium") or DEFAULT_CHROMIUM
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise BrowserError(f"Chromium executable not found at {path} (use --chromium PATH)")
    return path


def seed_cookies(seed: SeedRequestRecord) -> list[dict[str, Any]]:
    """The cookies of the seed's ``Cookie`` header, for ``BrowserContext.add_cookies``.

    A page script may not set a Cookie header, so the session must be in the browser's
    cookie jar: each cookie is set for the request URL's host, path "/", so that both
    the product page and the page's fetch send it.
    """
    header = next((value for name, value in seed.request_headers.items() if name.lower() == "cookie"), "")
    parts = urlsplit(seed.request_url)
    if not header or not parts.hostname:
        return []
    cookies = []
    for pair in header.split(";"):
        name, equals, value = pair.strip().partition("=")
        if not equals or not name.strip():
            continue
        cookies.append(
            {
                "name": name.strip(),
                "value": value.strip(),
                "domain": parts.hostname,
                "path": "/",
                "secure": parts.scheme == "https",
            }
        )
    return cookies


@contextmanager
def _without_preload() -> Iterator[dict[str, str]]:
    # The driver and the browser are programs of their own: a library preloaded into this
    # interpreter (a sanitizer runtime, say) must not reach them.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        yield dict(os.environ)
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload


@dataclass
class BrowserOptions:
    """How to start Chromium.

    ``args`` are added to ``CHROMIUM_ARGS`` (Playwright adds its own list as well).
    ``storage_state`` is a Playwright storage state file loaded into every new context;
    ``user_data_dir`` runs one persistent context on that profile directory instead.
    """

    chromium: str = DEFAULT_CHROMIUM
    headed: bool = False
    args: Sequence[str] = ()
    storage_state: str | None = None
    user_data_dir: str | None = None
    launch_timeout: float = 60.0
    env: Mapping[str, str] | None = field(default=None, repr=False)


class BrowserSession:
    """Playwright's driver and one Chromium, stopped together by ``close``.

    ``close`` never raises: each step (contexts, browser, driver) is attempted even when
    an earlier one failed, as happens when the run was cut short by a signal.
    """

    def __init__(self, options: BrowserOptions) -> None:
        self.options = options
        self._playwright: Any = None
        self._browser: Any = None
        self._persistent: Any = None

    def __enter__(self) -> BrowserSession:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def start(self) -> None:
        env = self._start_driver()
        from playwright.sync_api import Error as PlaywrightError

        options = self.options
        if options.env is not None:
            env = dict(options.env)
        launch: dict[str, Any] = {
            "executable_path": options.chromium,
            "headless": not options.headed,
            "args": [*CHROMIUM_ARGS, *options.args],
            "env": env,
            "timeout": options.launch_timeout * 1000,
        }
        chromium = self._playwright.chromium
        try:
            if options.user_data_dir is not None:
                self._persistent = chromium.launch_persistent_context(options.user_data_dir, **launch)
            else:
                self._browser = chromium.launch(**launch)
        except PlaywrightError as exc:
            self.close()
            raise BrowserError(f"cannot start Chromium: {first_line(exc.message)}") from None

    def _start_driver(self) -> dict[str, str]:
        """Start Playwright's driver, or raise BrowserError in one line.

        Returns the environment the driver was started with (ours without LD_PRELOAD),
        for a browser launched through it.
        """
        try:
            from playwright.sync_api import sync_playwright
        except ImportError:
            raise BrowserError("Playwright is not installed (pip install 'strovik[rufus]')") from None
        driver = sync_playwright()
        with _without_preload() as env:
            try:
                self._playwright = driver.start()
            except Exception as exc:
                silence_closed_loop(driver)
                raise BrowserError(f"cannot start Playwright: {first_line(str(exc)) or type(exc).__name__}") from None
        return env

    def new_context(self, seed: SeedRequestRecord | None = None) -> Any:
        """A browser context holding the session: storage state, then the seed's cookies.

        With a persistent profile there is only one context; it is returned each time
        and is closed by ``close``, not by the caller.
        """
        from playwright.sync_api import Error as PlaywrightError

        try:
            if self._persistent is not None:
                context = self._persistent
            else:
                context = self._browser.new_context(storage_state=self.options.storage_state)
            cookies = seed_cookies(seed) if seed is not None else []
            if cookies:
                context.add_cookies(cookies)
        except PlaywrightError as exc:
            raise BrowserError(f"cannot set up the browser session: {first_line(exc.message)}") from None
        return context

    def save_storage_state(self, context: Any, path: str) -> None:
        """Write the context's cookies and local storage to ``path`` (Playwright's format)."""
        from playwright.sync_api import Error as PlaywrightError

        try:
            context.storage_state(path=path)
        except PlaywrightError as exc:
            raise BrowserError(f"cannot save the storage state to {path}: {first_line(exc.message)}") from None
        except OSError as exc:
            raise BrowserError(f"cannot save the storage state to {path}: {exc.strerror or exc}") from None

    @property
    def persistent(self) -> bool:
        return self._persistent is not None

    @property
    def loop(self) -> asyncio.AbstractEventLoop | None:
        """The event loop of this session's Playwright, for ``internals.interrupt``."""
        return None if self._playwright is None else driver_loop(self._playwright)

    def abandon(self) -> None:
        """Stop Playwright's driver without a word to the browser, which may no longer
        answer: a connected browser drops this session's contexts itself when the
        connection closes, and a launched one is stopped with the driver (which waits
        about 30 s for a launched browser that does not answer before it kills it)."""
        self._browser = self._persistent = None
        self.close()

    def close(self) -> None:
        for step in (self._close_persistent, self._close_browser, self._stop_driver):
            try:
                step()
            except Exception:  # noqa: BLE001 - closing what may already be gone
                pass

    def _close_persistent(self) -> None:
        context, self._persistent = self._persistent, None
        if context is not None:
            context.close()

    def _close_browser(self) -> None:
        browser, self._browser = self._browser, None
        if browser is not None:
            browser.close()

    def _stop_driver(self) -> None:
        playwright, self._playwright = self._playwright, None
        if playwright is not None:
            playwright.stop()


class WorkerSession(BrowserSession):
    """A ``BrowserSession`` that either launches Chromium or connects to ``endpoint``.

    A failed connection raises EndpointError; a driver that cannot start, BrowserError.
    Closing a connected session closes the contexts it made and leaves the browser
    running (the browser disposes of them by itself when the connection drops).
    """

    def __init__(self, options: BrowserOptions, endpoint: str | None = None) -> None:
        super().__init__(options)
        self.endpoint = endpoint

    def start(self) -> None:
        if self.endpoint is None:
            super().start()
            return
        self._start_driver()
        from playwright.sync_api import Error as PlaywrightError

        try:
            self._browser = self._playwright.chromium.connect_over_cdp(
                self.endpoint, timeout=self.options.launch_timeout * 1000
            )
        except PlaywrightError as exc:
            self.close()
            detail = first_line(exc.message)[:160].removeprefix("BrowserType.connect_over_cdp: ")
            raise EndpointError(f"cannot connect to browser endpoint {self.endpoint}: {detail}") from None

    def alive(self) -> bool:
        """Whether the browser still answers (one round trip to it)."""
        browser = self._browser
        if browser is None or not browser.is_connected():
            return False
        try:
            cdp = browser.new_browser_cdp_session()
            cdp.send("Browser.getVersion")
            cdp.detach()
        except Exception:  # noqa: BLE001 - any failure means the browser is gone
            return False
        return True
