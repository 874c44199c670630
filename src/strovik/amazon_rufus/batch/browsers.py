"""Chromiums that batch workers and pool slots reach with --browser-endpoint: the command
line of such a host. (The browser flags themselves live in ``browser``.)"""

from __future__ import annotations

from strovik.amazon_rufus.browser import BATCH_CHROMIUM_ARGS, DISABLED_FEATURES

__all__ = ["BATCH_CHROMIUM_ARGS", "DISABLED_FEATURES", "browser_host_command"]


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
