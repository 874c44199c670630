"""strovik-rufus replay as a user meets it, against the stand-in in a real Chromium: signals,
failing and hung endpoints, closed outputs, sessions and the product asked about."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import threading
import time
from pathlib import Path
from typing import Any

import pytest

from .conftest import chromium_path
from .helpers import Fault, RufusStandIn
from .test_rufus_browser import cli_command, seed_record

HTML_403 = "<!DOCTYPE html>\n<html><body>Sign in to continue</body></html>"


def write_seed(tmp_path: Path, stand_in: RufusStandIn, name: str = "seed.json", **changes: Any) -> Path:
    record = {**seed_record(stand_in.base_url), **changes}
    path = tmp_path / name
    path.write_text(json.dumps(record), encoding="utf-8")
    return path


def start_cli(*args: str, **popen: Any) -> subprocess.Popen[str]:
    """The command started with its own PID, killed by that PID after 180 s at the latest
    (a read from its stdout cannot block a test for longer)."""
    popen.setdefault("stdout", subprocess.PIPE)
    process = subprocess.Popen(
        [*cli_command(), "replay", *args, "--chromium", chromium_path()],
        stdin=popen.pop("stdin", subprocess.DEVNULL),
        stderr=subprocess.PIPE,
        text=True,
        encoding="utf-8",
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
        **popen,
    )
    limit = threading.Timer(180, process.kill)
    limit.daemon = True
    limit.start()
    return process


def finish(process: subprocess.Popen[str], stdin: str | None = None) -> tuple[int, list[dict[str, Any]], str]:
    try:
        out, err = process.communicate(stdin, timeout=180)
    finally:
        process.kill()
    records = [json.loads(line) for line in (out or "").splitlines()]
    assert "Traceback" not in err, err
    return process.returncode, records, err


def run(*args: str, stdin: str | None = None) -> tuple[int, list[dict[str, Any]], str]:
    process = start_cli(*args, stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL)
    return finish(process, stdin)


def answer(index: int, question: str, post: int | None = None) -> dict[str, Any]:
    post = index if post is None else post
    return {"index": index, "question": question, "thread_id": f"thread-{post}", "text": f"Answer {post}: about {question}"}


def thread_of(post: Any) -> str | None:
    return json.loads(post.body).get("historyThreadContext", {}).get("threadId")


def descendants(pid: int) -> set[int]:
    """Processes below ``pid``, from /proc."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            parent = int(stat.rsplit(")", 1)[1].split()[1])
            children.setdefault(parent, []).append(int(entry))
    found: set[int] = set()
    todo = [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.add(child)
            todo.append(child)
    return found


def alive(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


QUESTIONS = [f"Question {n} about the 🔋?" for n in range(1, 41)]


@pytest.mark.parametrize(
    ("signum", "to_group"),
    [(signal.SIGINT, True), (signal.SIGTERM, False), (signal.SIGTERM, True), (signal.SIGHUP, True)],
    ids=["ctrl-c", "kill", "timeout-command", "hangup"],
)
def test_stop_signal_keeps_every_answer(
    rufus_standin: RufusStandIn, tmp_path: Path, signum: int, to_group: bool
) -> None:
    rufus_standin.delay = 0.1
    seed = write_seed(tmp_path, rufus_standin)
    questions = tmp_path / "questions.txt"
    questions.write_text("\n".join(QUESTIONS), encoding="utf-8")
    process = start_cli("--seed", str(seed), "--questions-file", str(questions), start_new_session=True)
    helpers: set[int] = set()
    try:
        assert process.stdout is not None
        first = [process.stdout.readline() for _ in range(3)]
        helpers = descendants(process.pid)
        assert helpers, "the driver and the browser run below the command"
        if to_group:
            os.killpg(process.pid, signum)
        else:
            process.send_signal(signum)
        status, records, err = finish(process)
        records = [json.loads(line) for line in first] + records
        deadline = time.monotonic() + 15
        while any(alive(pid) for pid in helpers) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert [pid for pid in helpers if alive(pid)] == []
    finally:
        for pid in helpers:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)

    assert status == 128 + signum
    # Every answer the endpoint gave, in order; at most the one in flight is missing.
    assert records == [answer(n, q) for n, q in enumerate(QUESTIONS[: len(records)], start=1)]
    assert len(rufus_standin.posts) - 1 <= len(records) < len(QUESTIONS)
    assert err.splitlines()[-1] == (
        f"strovik-rufus: stopped by {signal.Signals(signum).name}; every answer received before it is written"
    )


@pytest.mark.parametrize(
    ("faults", "page_status", "message"),
    [
        (
            {2: Fault(status=500, body='{"text": "Internal error, try later"}\n')},
            200,
            'question 2 of 3 failed: Rufus answered HTTP 500: {"text": "Internal error, try later"}',
        ),
        ({2: Fault(status=403, body=HTML_403)}, 200, "question 2 of 3 failed: Rufus answered HTTP 403: <!DOCTYPE html>"),
        (
            {2: Fault(drop=True)},
            200,
            "question 2 of 3 failed: network error: TypeError: Failed to fetch (the Rufus endpoint is unreachable, "
            "or the page is on another origin than the request URL",
        ),
        ({}, 404, "product page {base}/dp/b0testasin answered HTTP 404"),
    ],
    ids=["server-error-in-answer-format", "forbidden-html", "connection-dropped", "product-page-404"],
)
def test_failure_is_never_an_answer(
    rufus_standin: RufusStandIn, tmp_path: Path, faults: dict[int, Fault], page_status: int, message: str
) -> None:
    rufus_standin.faults = faults
    rufus_standin.page_status = page_status
    seed = write_seed(tmp_path, rufus_standin)
    status, records, err = run("--seed", str(seed), "-q", "one", "-q", "two", "-q", "three")

    assert status == 1
    assert records == ([answer(1, "one")] if faults else [])
    assert len(rufus_standin.posts) == (2 if faults else 0)
    last = err.splitlines()[-1]
    assert last.startswith("strovik-rufus: error: " + message.replace("{base}", rufus_standin.base_url)), last


@pytest.mark.parametrize(
    ("faults", "options", "status", "outcomes", "post_threads"),
    [
        # A hung answer fails its question once the limit has passed; nothing after it is asked.
        ({2: Fault(hang=True)}, ["--timeout", "2"], 1, ["ok", "no answer within the 2 s time limit"], [None, "thread-1"]),
        # Asked again in the same thread, the question gets its answer.
        ({2: Fault(hang=True)}, ["--timeout", "2", "--retries", "1"], 0, ["ok", "ok", "ok"], [None, "thread-1", "thread-1", "thread-3"]),
        ({2: Fault(status=503), 3: Fault(drop=True)}, ["--retries", "2"], 0, ["ok", "ok", "ok"], [None, "thread-1", "thread-1", "thread-1", "thread-4"]),
        # Retries end; a 4xx is not retried at all.
        ({2: Fault(status=502), 3: Fault(status=502)}, ["--retries", "1"], 1, ["ok", "Rufus answered HTTP 502"], [None, "thread-1", "thread-1"]),
        ({2: Fault(status=429)}, ["--retries", "3"], 1, ["ok", "Rufus answered HTTP 429"], [None, "thread-1"]),
        # Going on: the failure is a line of its own and the next question follows the last good answer.
        ({2: Fault(status=500)}, ["--keep-going"], 1, ["ok", "Rufus answered HTTP 500", "ok"], [None, "thread-1", "thread-1"]),
    ],
    ids=["timeout", "timeout-retried", "server-and-network-errors-retried", "retries-exhausted", "4xx-not-retried", "keep-going"],
)
def test_failed_questions_are_timed_retried_or_passed(
    rufus_standin: RufusStandIn,
    tmp_path: Path,
    faults: dict[int, Fault],
    options: list[str],
    status: int,
    outcomes: list[str],
    post_threads: list[str | None],
) -> None:
    rufus_standin.faults = faults
    seed = write_seed(tmp_path, rufus_standin)
    started = time.monotonic()
    code, records, err = run("--seed", str(seed), "-q", "one", "-q", "two", "-q", "three", *options)

    assert code == status, err
    assert [thread_of(post) for post in rufus_standin.posts] == post_threads
    keep_going = "--keep-going" in options
    written = [outcome for outcome in outcomes if outcome == "ok" or keep_going]
    assert len(records) == len(written)
    for record, outcome in zip(records, written):
        if outcome == "ok":
            assert "error" not in record and record["text"].endswith(record["question"])
        else:
            assert outcome in record["error"] and record["status"] == int(outcome.split()[-1])
    failure = next((outcome for outcome in outcomes if outcome != "ok"), None)
    if failure is not None:
        assert any(failure in line for line in err.splitlines() if line.startswith("strovik-rufus: ")), err
    assert time.monotonic() - started < 60


@pytest.mark.parametrize("reader", ["closed-pipe", "full-disk"])
def test_closed_or_full_output(rufus_standin: RufusStandIn, tmp_path: Path, reader: str) -> None:
    rufus_standin.delay = 0.05
    seed = write_seed(tmp_path, rufus_standin)
    questions = ["-q", "one", "-q", "two", "-q", "three", "-q", "four"]
    if reader == "full-disk":
        with open("/dev/full", "w") as full:
            status, _, err = finish(start_cli("--seed", str(seed), *questions, stdout=full))
        assert status == 1
        assert err.splitlines()[-1] == "strovik-rufus: error: cannot write to stdout: No space left on device"
        assert len(rufus_standin.posts) == 1
        return
    process = start_cli("--seed", str(seed), *questions)
    assert process.stdout is not None
    assert json.loads(process.stdout.readline()) == answer(1, "one")  # as `| head -1` reads
    process.stdout.close()
    status, _, err = finish(process)
    assert status == 141
    assert not [line for line in err.splitlines() if not line.startswith("[")], err
    assert len(rufus_standin.posts) < 4


COOKIE = "session-id=123-456"
STORAGE_STATE = {
    "cookies": [
        {
            "name": "session-id", "value": "123-456", "domain": "127.0.0.1", "path": "/", "expires": -1,
            "httpOnly": False, "secure": False, "sameSite": "Lax",
        }
    ],
    "origins": [],
}


@pytest.mark.parametrize(
    "how", ["seed-cookie", "no-session", "storage-state", "saved-then-loaded", "profile-directory"]
)
def test_session_reaches_the_endpoint(rufus_standin: RufusStandIn, tmp_path: Path, how: str) -> None:
    rufus_standin.session_cookie = COOKIE
    signed_in = write_seed(tmp_path, rufus_standin)
    anonymous_headers = {k: v for k, v in seed_record("")["request_headers"].items() if k != "Cookie"}
    anonymous = write_seed(tmp_path, rufus_standin, "anonymous.json", request_headers=anonymous_headers)
    state = tmp_path / "state.json"
    profile = tmp_path / "profile"
    if how == "storage-state":
        state.write_text(json.dumps(STORAGE_STATE))
    elif how == "saved-then-loaded":
        first = run("--seed", str(signed_in), "-q", "first", "--save-storage-state", str(state))
        assert first[0] == 0 and json.loads(state.read_text())["cookies"][0]["value"] == "123-456"
    elif how == "profile-directory":
        rufus_standin.page_sets_cookie = True  # signing in inside the profile
        assert run("--seed", str(anonymous), "-q", "first", "--user-data-dir", str(profile))[0] == 0
        rufus_standin.page_sets_cookie = False
    options = {
        "seed-cookie": ["--seed", str(signed_in)],
        "no-session": ["--seed", str(anonymous)],
        "storage-state": ["--seed", str(anonymous), "--storage-state", str(state)],
        "saved-then-loaded": ["--seed", str(anonymous), "--storage-state", str(state)],
        "profile-directory": ["--seed", str(anonymous), "--user-data-dir", str(profile)],
    }[how]
    status, records, err = run(*options, "-q", "Signed in?")

    if how == "no-session":
        assert status == 1
        assert "Rufus answered HTTP 403: <!DOCTYPE html> <html><body>Sign in to continue" in err.splitlines()[-1]
    else:
        assert status == 0, err
        assert records[-1]["text"].endswith("about Signed in?")
    assert rufus_standin.posts[-1].header("cookie") == ([] if how == "no-session" else [COOKIE])


@pytest.mark.parametrize(
    ("options", "asin", "notice"),
    [
        ([], "B0TESTASIN", None),
        (["--product-url", "{base}/dp/B0OTHER001?th=1"], "B0OTHER001", "from --product-url (the seed names B0TESTASIN)"),
        (["--asin", "B0DIRECT01"], "B0DIRECT01", "from --asin (the seed names B0TESTASIN)"),
    ],
    ids=["seed-asin", "product-url-asin", "asin-option"],
)
def test_product_asked_about_is_product_sent(
    rufus_standin: RufusStandIn, tmp_path: Path, options: list[str], asin: str, notice: str | None
) -> None:
    # The seed and the questions come with a byte order mark, the questions on stdin;
    # the answers are appended to an output file.
    seed = tmp_path / "seed.json"
    seed.write_bytes(b"\xef\xbb\xbf" + json.dumps(seed_record(rufus_standin.base_url)).encode())
    output = tmp_path / "answers.jsonl"
    output.write_text('{"earlier": true}\n')
    args = [option.format(base=rufus_standin.base_url) for option in options]
    status, records, err = run(
        "--seed", str(seed), "--questions-file", "-", "--output", str(output), *args, stdin="\ufeffWhich one?\n"
    )

    assert status == 0, err
    assert records == []
    lines = output.read_text(encoding="utf-8").splitlines()
    assert [json.loads(line) for line in lines] == [{"earlier": True}, answer(1, "Which one?")]
    body = json.loads(rufus_standin.posts[0].body)
    assert body["pageContext"]["targetPageMetadata"] == [{"type": "ASIN", "value": asin}]
    notices = [line for line in err.splitlines() if "asking about ASIN" in line]
    assert notices == ([f"strovik-rufus: asking about ASIN {asin} {notice}"] if notice else [])
