"""Seeds from developer tools' exports, end to end: a HAR that Chromium recorded and a
"Copy as cURL (bash)" line, each imported and then replayed against the stand-in."""

from __future__ import annotations

import json
import re
import subprocess
from pathlib import Path
from typing import Any

from ..conftest import chromium_path
from ..helpers import RufusStandIn
from ..test_rufus_browser import cli_command

COOKIE = "session-id=123-456"
ASIN = "B0TESTASIN"


def run(*args: str, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [*cli_command(), *args], capture_output=True, text=True, encoding="utf-8", timeout=180,
        input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
    )


def assert_replays(seed: Path, stand_in: RufusStandIn) -> None:
    """The seed is a private file that ``replay`` uses with success: the session cookie it
    carries reaches the endpoint, which refuses a POST without it."""
    assert seed.stat().st_mode & 0o777 == 0o600
    stand_in.page_sets_cookie = False
    result = run("replay", "--seed", str(seed), "-q", "Signed in?", "--chromium", chromium_path())
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1])["text"].endswith("about Signed in?")
    assert stand_in.signed_in(stand_in.posts[-1])


def devtools_quote(text: str) -> str:
    """An argument quoted as Chromium's "Copy as cURL (bash)" quotes it."""
    if re.search(r"[\x00-\x1f\x7f-\x9f!']", text):
        text = text.replace("\\", "\\\\").replace("'", "\\'").replace("\n", "\\n").replace("\r", "\\r")
        return "$'" + re.sub(r"[\x00-\x1f\x7f-\x9f!]", lambda m: f"\\u{ord(m.group()):04x}", text) + "'"
    return f"'{text}'"


def test_har_recorded_by_chromium_imports_to_a_seed_that_replays(
    rufus_standin: RufusStandIn, chromium_browser: Any, tmp_path: Path
) -> None:
    rufus_standin.session_cookie = COOKIE
    rufus_standin.page_sets_cookie = True
    har = tmp_path / "rufus.har"
    context = chromium_browser.new_context(record_har_path=str(har))
    page = context.new_page()
    page.goto(f"{rufus_standin.base_url}/dp/{ASIN}?ask=1")
    page.wait_for_function("document.title === 'asked'", timeout=30_000)
    context.close()

    seed = tmp_path / "seed.json"
    result = run("seed", "import", "--har", str(har), "--output", str(seed))
    assert result.returncode == 0, result.stderr
    record = json.loads(seed.read_text())
    assert record["page_url"] == f"{rufus_standin.base_url}/dp/{ASIN}?ask=1" and record["asin"] == ASIN
    assert_replays(seed, rufus_standin)


def test_curl_line_imports_to_a_seed_that_replays(rufus_standin: RufusStandIn, tmp_path: Path) -> None:
    rufus_standin.session_cookie = COOKIE
    # A body with a quote, "!", a control character and text beyond ASCII makes the copy
    # use $'...' quoting with \u escapes; it must come back byte for byte.
    body = json.dumps(
        {"queryContext": {"query": "What's in it?! \u00e9\u4e2d\t\\n", "locale": "en_US"},
         "historyThreadContext": {"threadId": "thread-0", "threadState": "NEW"}},
        ensure_ascii=False,
    )
    arguments = [
        f"{rufus_standin.base_url}/rufus/cl/streaming?marketplaceId=ATVPDKIKX0DER&lang=en_US",
        "-H", "accept: */*",
        "-H", "anti-csrftoken-a2z: page-token",
        "-H", "content-type: application/json",
        "-b", f"{COOKIE}; i18n-prefs=USD",
        "-H", f"referer: {rufus_standin.base_url}/dp/{ASIN}",
        "--data-raw", body,
    ]
    line = "curl " + " \\\n  ".join(devtools_quote(argument) for argument in arguments) + " ; echo done\n"
    assert "$'" in line

    seed = tmp_path / "seed.json"
    result = run("seed", "import", "--curl", "-", "--output", str(seed), stdin=line)
    assert result.returncode == 0, result.stderr
    record = json.loads(seed.read_text())
    assert record["request_body"] == body
    assert record["request_headers"]["Cookie"] == f"{COOKIE}; i18n-prefs=USD"
    assert_replays(seed, rufus_standin)
