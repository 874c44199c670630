"""End to end in a real Chromium page: a product page and a stand-in Rufus endpoint
served on 127.0.0.1, the replay service posting from inside the page, and the
strovik-rufus command doing the same as a separate process."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

from strovik.amazon_rufus.domain.models import AnswerData, SeedRequestRecord

from .conftest import chromium_path
from .helpers import RufusStandIn

QUESTIONS = ["How long does the battery last?", "Is it 🌧 waterproof?", "它支持快充吗？"]
STREAM_QUERY = "marketplaceId=ATVPDKIKX0DER&lang=en_US&tabId=stale"
EXPECTED_PATH = (
    "/rufus/cl/streaming?marketplaceId=ATVPDKIKX0DER&lang=en_US&tabId=tab-42"
    "&programId=NILE_CLASSIC%3Adesktop-cl&ref=nl_cl_dsk_csq"
)
SEED_HEADERS = {
    "Accept": "*/*",
    "Anti-CSRFToken-A2Z": "hJk2-token",
    "Content-Type": "application/json",
    "Cookie": "session-id=123-456",
    "User-Agent": "SeedAgent/1.0",
    "X-Amz-Is-Papyrus": "true",
    "X-Amz-Rufus-Debug": "drop-me",
}
SEED_BODY = {
    "clientId": "rufus-ext",
    "queryContext": {"query": "seed question", "locale": "en_US"},
    "pageContext": {"pageType": "Detail", "originPageMetadata": [{"type": "ASIN", "value": "B0SEEDSEED"}]},
    "historyThreadContext": {"threadState": "NEW", "turn": 0},
    "impressionsContext": "stale",
}


def seed_record(base_url: str) -> dict[str, Any]:
    return {
        "request_url": f"{base_url}/rufus/cl/streaming?{STREAM_QUERY}",
        "request_headers": SEED_HEADERS,
        "request_body": json.dumps(SEED_BODY),
        "tab_id": "tab-42",
        "page_url": f"{base_url}/dp/b0testasin",
        "captured_at": "2024-05-01T10:00:00Z",
    }


def expected_body(question: str, thread: str | None) -> dict[str, Any]:
    history: dict[str, Any] = (
        {"threadState": "NEW", "turn": 0} if thread is None else {"threadId": thread, "threadState": "NEW"}
    )
    return {
        "clientId": "rufus-ext",
        "queryContext": {"query": question, "locale": "en_US", "actionType": "SEARCH", "qis": "NileCLTextInput"},
        "pageContext": {
            "pageType": "Detail",
            "originPageMetadata": [{"type": "ASIN", "value": "B0TESTASIN"}],
            "originPageType": "DETAIL_PAGE",
            "targetPageMetadata": [{"type": "ASIN", "value": "B0TESTASIN"}],
        },
        "historyThreadContext": history,
        "impressionsContext": {"FIRST_TIME_USER_MESSAGE_SEEN_STATUS": "SEEN"},
        "bottomSheetContext": {"previousTurnsBottomSheetSize": "expanded"},
    }


def assert_posts_replay_the_questions(stand_in: RufusStandIn, questions: list[str], cookies: list[str]) -> None:
    assert len(stand_in.posts) == len(questions)
    for number, (post, question) in enumerate(zip(stand_in.posts, questions), start=1):
        assert post.path == EXPECTED_PATH
        # The page's JSON.stringify keeps the payload's key order, byte for byte.
        thread = None if number == 1 else f"thread-{number - 1}"
        assert post.body == json.dumps(expected_body(question, thread), ensure_ascii=False, separators=(",", ":"))
        assert post.header("anti-csrftoken-a2z") == ["hJk2-token"]
        assert post.header("x-amz-is-papyrus") == ["true"]
        assert post.header("content-type") == ["application/json"]
        assert post.header("x-amz-rufus-debug") == []
        # The page script never sets a Cookie header; cookies come from the browser's jar.
        assert post.header("cookie") == cookies
        assert post.header("user-agent") != ["SeedAgent/1.0"]


def test_replay_with_page_in_chromium(replay: ModuleType, rufus_standin: RufusStandIn, chromium_page: Any) -> None:
    seed = SeedRequestRecord.from_dict(seed_record(rufus_standin.base_url))
    assert seed.asin == "B0TESTASIN"
    chromium_page.goto(f"{rufus_standin.base_url}/dp/B0TESTASIN")
    assert chromium_page.text_content("#title") == "Stand-in product B0TESTASIN"

    evaluated: list[Any] = []

    class WatchedPage:
        def evaluate(self, script: str, arg: Any) -> Any:
            evaluated.append(list(arg["headers"]))
            return chromium_page.evaluate(script, arg)

    answers = replay.RufusReplayService().replay_with_page(WatchedPage(), seed, list(QUESTIONS))

    assert answers == [
        AnswerData(thread_id=f"thread-{number}", text=f"Answer {number}: about {question}")
        for number, question in enumerate(QUESTIONS, start=1)
    ]
    assert evaluated == [["anti-csrftoken-a2z", "content-type", "x-amz-is-papyrus"]] * 3
    assert_posts_replay_the_questions(rufus_standin, QUESTIONS, cookies=[])


def test_page_replay_stops_at_an_unreadable_answer(
    replay: ModuleType, rufus_standin: RufusStandIn, chromium_page: Any
) -> None:
    rufus_standin.broken_posts = {3}
    seed = SeedRequestRecord.from_dict(seed_record(rufus_standin.base_url))
    chromium_page.goto(f"{rufus_standin.base_url}/dp/B0TESTASIN")
    with pytest.raises(Exception) as caught:
        replay.RufusReplayService().replay_with_page(chromium_page, seed, list(QUESTIONS))
    assert "Rufus response line 1 is not JSON" in str(caught.value)
    partial = getattr(caught.value, "partial_answers")
    assert [answer.thread_id for answer in partial] == ["thread-1", "thread-2"]
    assert len(rufus_standin.posts) == 3


# --- the command, as a separate process -------------------------------------------------------------


def cli_command() -> list[str]:
    script = Path(sys.executable).with_name("strovik-rufus")
    assert script.exists(), "the strovik-rufus console script is not installed next to the interpreter"
    return [str(script)]


def run_cli(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [*cli_command(), *args],
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=180,
        stdin=subprocess.DEVNULL,
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
    )


def test_cli_replays_questions_in_chromium(rufus_standin: RufusStandIn, tmp_path: Path) -> None:
    seed_file = tmp_path / "seed.json"
    seed_file.write_text(json.dumps(seed_record(rufus_standin.base_url)), encoding="utf-8")
    args = ["replay", "--seed", str(seed_file), "--chromium", chromium_path()]
    for question in QUESTIONS:
        args += ["-q", question]
    result = run_cli(*args)

    assert result.returncode == 0, result.stderr
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"index": n, "question": q, "thread_id": f"thread-{n}", "text": f"Answer {n}: about {q}"}
        for n, q in enumerate(QUESTIONS, start=1)
    ]
    progress = [line for line in result.stderr.splitlines() if line.startswith("[")]
    assert progress == [f"[{n}/3] asking: {q}" for n, q in enumerate(QUESTIONS, start=1)]
    assert "Traceback" not in result.stderr
    assert_posts_replay_the_questions(rufus_standin, QUESTIONS, cookies=["session-id=123-456"])


def test_cli_prints_partial_answers_then_one_error_line(rufus_standin: RufusStandIn, tmp_path: Path) -> None:
    rufus_standin.broken_posts = {2}
    seed_file = tmp_path / "seed.json"
    seed_file.write_text(json.dumps(seed_record(rufus_standin.base_url)), encoding="utf-8")
    questions_file = tmp_path / "questions.txt"
    questions_file.write_text("\n".join(QUESTIONS) + "\n", encoding="utf-8")
    result = run_cli(
        "replay", "--seed", str(seed_file), "--questions-file", str(questions_file),
        "--product-url", f"{rufus_standin.base_url}/dp/B0TESTASIN", "--chromium", chromium_path(),
    )

    assert result.returncode == 1
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"index": 1, "question": QUESTIONS[0], "thread_id": "thread-1", "text": f"Answer 1: about {QUESTIONS[0]}"}
    ]
    errors = [line for line in result.stderr.splitlines() if "error" in line]
    assert errors == [
        "strovik-rufus: error: question 2 of 3 failed: "
        "Rufus response line 1 is not JSON: '<html><body>Sign in</body></html>'"
    ]
    assert result.stderr.splitlines()[-1] == errors[0]
    assert "Traceback" not in result.stderr
    assert len(rufus_standin.posts) == 2


def test_cli_reports_a_browser_that_will_not_start(rufus_standin: RufusStandIn, tmp_path: Path) -> None:
    seed_file = tmp_path / "seed.json"
    seed_file.write_text(json.dumps(seed_record(rufus_standin.base_url)), encoding="utf-8")
    result = run_cli("replay", "--seed", str(seed_file), "-q", "hi", "--chromium", "/bin/true")
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.splitlines() == [result.stderr.splitlines()[-1]]
    assert result.stderr.startswith("strovik-rufus: error: cannot start Chromium: ")
    assert rufus_standin.posts == []
