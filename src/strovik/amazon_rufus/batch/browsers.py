"""The browsers batch workers drive: launched locally, or already running elsewhere.

A worker thread owns one ``WorkerSession``: Playwright's driver plus either a Chromium
it launches (``endpoint=None``) or a connection to a Chromium started elsewhere with
``--remote-debugging-port`` (Playwright's ``connect_over_cdp``). Each Playwright
connection attaches to every page of the browser it is connected to, so a local
worker gets a browser of its own rather than sharing one.
"""

from __future__ import annotations

from strovik.amazon_rufus.browser import BrowserOptions, BrowserSession
from strovik.amazon_rufus.domain.exceptions import EndpointError, first_line

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


def browser_host_command(chromium: str, port: int, user_data_dir: str, address: str = "127.0.0.1") -> list[str]:
    """The command line of a Chromium that batch workers can reach with --browser-endpoint."""
    return [
        chromium,
        "--headless",
        "--no-sandbox",
        f"--remote-debugging-address={address}",
        f"--remote-debugging-port={port}",
        f"--user-data-dir={user_data_dir}",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-background-timer-throttling",
        "--disable-renderer-backgrounding",
        "--disable-backgrounding-occluded-windows",
        *BATCH_CHROMIUM_ARGS,
    ]


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
