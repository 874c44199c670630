"""strovik-rufus capture end to end: the stand-in's product page asks Rufus by itself (as a
user would), the command writes the seed of that request, and replay uses it."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import tempfile
import urllib.request
from collections.abc import Iterator
from pathlib import Path

import pytest

from ..conftest import chromium_path
from ..helpers import RufusStandIn
from ..test_rufus_batch_browser import start_browser_host, stop_browser_host, wait_for_browser_host
from .test_importing_browser import ASIN, COOKIE, assert_replays, run


@pytest.fixture
def browser_host() -> Iterator[tuple[str, subprocess.Popen[bytes]]]:
    """A Chromium the user started with --remote-debugging-port."""
    with tempfile.TemporaryDirectory() as profile:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        process = start_browser_host(port, profile)
        try:
            url = f"http://127.0.0.1:{port}"
            wait_for_browser_host(url)
            yield url, process
        finally:
            stop_browser_host(process)


@pytest.mark.parametrize("browser", ["launched", "endpoint"])
def test_captured_seed_replays(
    rufus_standin: RufusStandIn, tmp_path: Path, browser: str, request: pytest.FixtureRequest
) -> None:
    rufus_standin.session_cookie = COOKIE
    rufus_standin.page_sets_cookie = True  # signing in
    page_url = f"{rufus_standin.base_url}/dp/{ASIN}?ask=1"
    seed, state = tmp_path / "seed.json", tmp_path / "state.json"
    options = ["--url", page_url, "--output", str(seed), "--save-storage-state", str(state), "--wait", "60"]
    if browser == "endpoint":
        endpoint, host = request.getfixturevalue("browser_host")
        options += ["--browser-endpoint", endpoint]
    else:
        options += ["--headless", "--chromium", chromium_path()]

    result = run("capture", *options)
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    assert lines[0].startswith("strovik-rufus: watching ") and len(lines) == 2
    assert ASIN in lines[-1] and str(seed) in lines[-1]
    record = json.loads(seed.read_text())
    assert record["page_url"] == page_url and record["asin"] == ASIN and record["tab_id"] is None
    assert COOKIE in record["request_headers"]["Cookie"]
    assert state.stat().st_mode & 0o777 == 0o600 and json.loads(state.read_text())["cookies"]
    if browser == "endpoint":
        # The user's browser and the tab opened in it are left running.
        assert host.poll() is None
        with urllib.request.urlopen(f"{endpoint}/json/list", timeout=10) as tabs:
            assert page_url in [tab["url"] for tab in json.load(tabs)]
    assert_replays(seed, rufus_standin)
    assert not any(name.startswith(".") for name in os.listdir(tmp_path))  # no temporary file left
