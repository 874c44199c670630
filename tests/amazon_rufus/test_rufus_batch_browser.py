"""strovik-rufus batch end to end: real Chromium, the stand-in Rufus endpoint on
127.0.0.1 answering after a delay, the command as a separate process."""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from collections import Counter
from collections.abc import Iterator
from contextlib import closing
from pathlib import Path
from typing import Any

import pytest

from strovik.amazon_rufus import endpoints
from strovik.amazon_rufus.batch import jobqueue
from strovik.amazon_rufus.batch.browsers import DISABLED_FEATURES, browser_host_command
from strovik.amazon_rufus.batch.jobfile import load_jobs
from strovik.amazon_rufus.batch.runner import run_batch
from strovik.amazon_rufus.browser import BrowserOptions, BrowserSession
from strovik.amazon_rufus.pool import slot

from .conftest import chromium_path
from .helpers import RufusStandIn

ASINS = [f"B0BATCH{number:03d}" for number in range(6)]
# Chromium hangs with a sanitizer runtime preloaded (scripts/sanitize.sh preloads one).
BROWSER_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
QUESTIONS = ["How long does the battery last?", "Is it waterproof?", "Does it charge fast?"]


def seed_record(base_url: str, request_base: str | None = None) -> dict[str, Any]:
    return {
        "request_url": f"{request_base or base_url}/rufus/cl/streaming?marketplaceId=ATVPDKIKX0DER",
        "request_headers": {"Content-Type": "application/json"},
        "request_body": json.dumps({"queryContext": {"query": "seed"}, "historyThreadContext": {"threadState": "NEW"}}),
        "page_url": f"{base_url}/dp/B0SEEDSEED",
    }


def batch_command(*args: str) -> list[str]:
    script = Path(sys.executable).with_name("strovik-rufus")
    return [str(script), "batch", "--chromium", chromium_path(), *args]


def run_batch_cli(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        batch_command(*args), capture_output=True, text=True, encoding="utf-8", timeout=180, stdin=subprocess.DEVNULL
    )


def read_lines(path: Path) -> list[dict[str, Any]]:
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]


def wait_for_lines(path: Path, count: int, process: subprocess.Popen[str]) -> None:
    deadline = time.monotonic() + 120
    while len(read_lines(path)) < count:
        assert process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "no output"
        time.sleep(0.05)


def assert_each_question_once_in_its_thread(lines: list[dict[str, Any]], stand_in: RufusStandIn,
                                            questions: dict[str, list[str]]) -> None:
    """Every question answered exactly once, and every request the stand-in saw asked in
    the thread of the answer before it in the same job (the seed's own for the first)."""
    assert Counter((line["job"], line["index"]) for line in lines) == Counter(
        (job, index) for job, asked in questions.items() for index in range(1, len(asked) + 1)
    )
    thread_of = {(line["job"], line["index"]): line["thread_id"] for line in lines}
    job_of_question = {question: (job, index) for job, asked in questions.items()
                       for index, question in enumerate(asked, start=1)}
    for line in lines:
        assert line["question"] == questions[line["job"]][line["index"] - 1]
        assert line["text"].endswith(f"about {line['question']}")
    for post in stand_in.posts:
        body = json.loads(post.body)
        job, index = job_of_question[body["queryContext"]["query"]]
        expected = thread_of[(job, index - 1)] if index > 1 else None
        assert body["historyThreadContext"].get("threadId") == expected, (job, index)


def per_asin_questions() -> dict[str, list[str]]:
    # Questions name their product, so that each request tells which job sent it.
    return {asin: [f"{question} ({asin})" for question in QUESTIONS] for asin in ASINS}


def write_jobs(path: Path, base_url: str, extra: list[dict[str, Any]] = ()) -> dict[str, list[str]]:
    (path.parent / "seed.json").write_text(json.dumps(seed_record(base_url)), encoding="utf-8")
    questions = per_asin_questions()
    jobs = [{"id": asin, "seed": "seed.json", "asin": asin, "questions": asked} for asin, asked in questions.items()]
    path.write_text("".join(json.dumps(job) + "\n" for job in [*jobs, *extra]), encoding="utf-8")
    return questions


def test_jobs_run_side_by_side_and_a_failing_job_stops_no_other(rufus_standin: RufusStandIn, tmp_path: Path) -> None:
    rufus_standin.delay = 0.3
    in_flight, most = [0], [0]
    record, answer = rufus_standin.record, rufus_standin.answer

    def counting_record(post: Any) -> int:
        in_flight[0] += 1
        most[0] = max(most[0], in_flight[0])
        return record(post)

    def counting_answer(number: int, body: str) -> tuple[str, str]:
        in_flight[0] -= 1
        return answer(number, body)

    rufus_standin.record = counting_record  # type: ignore[method-assign]
    rufus_standin.answer = counting_answer  # type: ignore[method-assign]
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        unreachable = f"http://127.0.0.1:{closed.getsockname()[1]}"
    failing = [
        # The Rufus endpoint cannot be reached: every question fails, each on a line.
        {"id": "unreachable", "seed": seed_record(rufus_standin.base_url, unreachable), "questions": ["a?", "b?"]},
        # The product page answers 404: the job ends before its first question.
        {"id": "no-page", "product_url": f"{rufus_standin.base_url}/gone/B0NOPAGE00", "questions": ["c?"]},
    ]
    jobs_file = tmp_path / "jobs.jsonl"
    questions = write_jobs(jobs_file, rufus_standin.base_url, failing)
    output = tmp_path / "out.jsonl"
    result = run_batch_cli("--jobs", str(jobs_file), "--seed", str(tmp_path / "seed.json"), "--output", str(output),
                           "--concurrency", "3", "--keep-going")

    assert result.returncode == 1, result.stderr
    assert "Traceback" not in result.stderr
    assert result.stderr.splitlines()[-1] == "strovik-rufus: error: 2 of 8 jobs had failures"
    lines = read_lines(output)
    failures = [line for line in lines if "error" in line]
    assert [(line["job"], line["index"]) for line in sorted(failures, key=lambda line: (line["job"], line["index"]))] \
        == [("no-page", 1), ("unreachable", 1), ("unreachable", 2)]
    assert all("text" not in line and "status" in line for line in failures)
    assert "404" in next(line["error"] for line in failures if line["job"] == "no-page")
    assert all("network error" in line["error"] for line in failures if line["job"] == "unreachable")
    answers = [line for line in lines if "error" not in line]
    assert_each_question_once_in_its_thread(answers, rufus_standin, questions)
    for post in rufus_standin.posts:
        body = json.loads(post.body)
        asin = body["queryContext"]["query"].rsplit("(", 1)[1].rstrip(")")
        assert body["pageContext"]["targetPageMetadata"] == [{"type": "ASIN", "value": asin}]
    assert most[0] >= 2, "no two questions were ever in flight together"


def test_resume_after_sigterm_asks_each_question_once(rufus_standin: RufusStandIn, tmp_path: Path) -> None:
    rufus_standin.delay = 0.3
    jobs_file = tmp_path / "jobs.jsonl"
    questions = write_jobs(jobs_file, rufus_standin.base_url)
    output = tmp_path / "out.jsonl"
    args = ("--jobs", str(jobs_file), "--output", str(output), "--concurrency", "2")
    process = subprocess.Popen(batch_command(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               stdin=subprocess.DEVNULL)
    try:
        wait_for_lines(output, 5, process)
        process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 128 + signal.SIGTERM, stderr
    assert "stopped by SIGTERM" in stderr and "Traceback" not in stderr
    stopped_at = len(read_lines(output))
    assert 5 <= stopped_at < 18

    resumed = run_batch_cli(*args, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert f"resuming: {stopped_at} answers held already" in resumed.stderr
    assert_each_question_once_in_its_thread(read_lines(output), rufus_standin, questions)


def start_browser_host(port: int, profile: str) -> subprocess.Popen[bytes]:
    # A process group of its own, so that the host's helper processes can be waited for too.
    command = browser_host_command(chromium_path(), port, profile)
    return subprocess.Popen(
        command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=BROWSER_ENV, start_new_session=True
    )


def _group_running(group: int) -> bool:
    """Whether a process of ``group`` still runs (zombies left to init do not count)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] not in ("Z", "X"):
            return True
    return False


def stop_browser_host(process: subprocess.Popen[bytes]) -> None:
    """Stop the host and every process it started, and wait until none runs: a helper
    still writing to the profile would make removing it fail."""
    try:
        os.killpg(process.pid, signal.SIGCONT)
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait(timeout=10)
    deadline = time.monotonic() + 10
    while _group_running(process.pid) and time.monotonic() < deadline:
        time.sleep(0.05)


def wait_for_browser_host(url: str) -> None:
    deadline = time.monotonic() + 30
    while True:
        try:
            urllib.request.urlopen(f"{url}/json/version", timeout=2).close()
            return
        except OSError:
            assert time.monotonic() < deadline, f"browser host {url} did not start"
            time.sleep(0.1)


@pytest.fixture
def browser_hosts() -> Iterator[list[tuple[str, subprocess.Popen[bytes]]]]:
    """Two Chromium processes started with the README's browser host command (a test
    that starts one again puts it in the list, to be stopped here)."""
    hosts: list[tuple[str, subprocess.Popen[bytes]]] = []
    with tempfile.TemporaryDirectory() as profiles:
        try:
            for number in range(2):
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", 0))
                    port = probe.getsockname()[1]
                profile = os.path.join(profiles, str(number))
                hosts.append((f"http://127.0.0.1:{port}", start_browser_host(port, profile)))
            for url, _ in hosts:
                wait_for_browser_host(url)
            yield hosts
        finally:
            for _, process in hosts:
                stop_browser_host(process)


@pytest.mark.parametrize("loss", ["killed", "frozen"])
def test_jobs_of_a_lost_browser_endpoint_go_to_the_other(
    rufus_standin: RufusStandIn, tmp_path: Path, browser_hosts: list[tuple[str, subprocess.Popen[bytes]]], loss: str
) -> None:
    """A killed host closes its connection; a frozen one (SIGSTOP) goes silent with the
    connection open, so only the runner's own deadline (--timeout plus a grace) notices."""
    rufus_standin.delay = 0.3
    jobs_file = tmp_path / "jobs.jsonl"
    questions = write_jobs(jobs_file, rufus_standin.base_url)
    output = tmp_path / "out.jsonl"
    (first, lost), (second, _) = browser_hosts
    process = subprocess.Popen(
        batch_command("--jobs", str(jobs_file), "--output", str(output), "--concurrency", "2", "--timeout", "2",
                      "--browser-endpoint", first, "--browser-endpoint", second),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL,
    )
    try:
        wait_for_lines(output, 2, process)
        if loss == "killed":
            lost.kill()
        else:
            os.kill(lost.pid, signal.SIGSTOP)
        _, stderr = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
        if loss == "frozen":
            os.kill(lost.pid, signal.SIGCONT)
    assert process.returncode == 0, stderr
    assert f"browser endpoint {first} lost" in stderr
    assert_each_question_once_in_its_thread(read_lines(output), rufus_standin, questions)


def test_a_lost_browser_endpoint_that_comes_back_gets_jobs_again(
    rufus_standin: RufusStandIn, tmp_path: Path, browser_hosts: list[tuple[str, subprocess.Popen[bytes]]],
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    """A host killed after the first answer and started again on its port: once its
    cool-down is over, a worker goes back to it. Answers wait while it is down, so that
    jobs are left for it."""
    monkeypatch.setattr(endpoints, "RETRY_AFTER", 0.2)
    # The host is back (it answers /json/version) before a worker goes to it; a loaded machine
    # may still take over 10 s to connect to a browser that has just started.
    monkeypatch.setattr(slot, "RETRY_CONNECT_TIMEOUT", 30.0)
    jobs_file = tmp_path / "jobs.jsonl"
    questions = write_jobs(jobs_file, rufus_standin.base_url)
    (first, killed), (second, _) = browser_hosts
    host_up = threading.Event()
    host_up.set()
    answer = rufus_standin.answer

    def gated_answer(number: int, body: str) -> tuple[str, str]:
        host_up.wait(60)
        return answer(number, body)

    rufus_standin.answer = gated_answer  # type: ignore[method-assign]
    notes: list[str] = []

    def on_note(text: str) -> None:
        notes.append(text)
        if text.startswith(f"browser endpoint {first} lost"):
            port = int(first.rsplit(":", 1)[1])
            browser_hosts[0] = (first, start_browser_host(port, str(tmp_path / "again")))
            wait_for_browser_host(first)
            # Slower answers from now on, so that jobs are still left when a worker goes back.
            rufus_standin.delay = 0.3
            host_up.set()

    lines = []
    with closing(run_batch(load_jobs(str(jobs_file)), concurrency=2, endpoints=[first, second],
                           timeout=30, on_note=on_note)) as results:
        for result in results:
            lines.append(result.record())
            if len(lines) == 1:
                # Killed once both workers ask questions: a host lost while a worker is still
                # setting up its page is noticed only by the deadline, after the other
                # worker's held answer has run into its own time limit.
                limit = time.monotonic() + 30
                while len({json.loads(post.body)["queryContext"]["query"][-12:] for post in rufus_standin.posts}) < 2:
                    assert time.monotonic() < limit, "the second worker asked nothing"
                    time.sleep(0.02)
                host_up.clear()
                os.killpg(killed.pid, signal.SIGKILL)  # the host and every process it started
                killed.wait(10)
    assert f"browser endpoint {first} is back" in notes, notes
    assert_each_question_once_in_its_thread(lines, rufus_standin, questions)


@pytest.mark.parametrize("silent_from", ["the start", "its second try"])
def test_an_endpoint_that_never_answers_holds_up_no_job_for_long(
    rufus_standin: RufusStandIn, tmp_path: Path, browser_hosts: list[tuple[str, subprocess.Popen[bytes]]],
    monkeypatch: pytest.MonkeyPatch, silent_from: str,
) -> None:
    """A host that accepts connections and never answers, from the start (jobs begin on
    the other endpoint after the start grace, and the run ends without waiting for the
    60 s connect limit) or when tried again after a loss (the worker, holding a job, gives
    up after the retry's connect limit)."""
    monkeypatch.setattr(endpoints, "RETRY_AFTER", 0.2)
    monkeypatch.setattr(slot, "RETRY_CONNECT_TIMEOUT", 1.0)
    monkeypatch.setattr(jobqueue, "START_GRACE", 1.0)
    rufus_standin.delay = 0.3
    jobs_file = tmp_path / "jobs.jsonl"
    questions = write_jobs(jobs_file, rufus_standin.base_url)
    (first, host), (second, _) = browser_hosts
    host.kill()
    host.wait(10)
    silent = socket.socket()
    silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)

    def go_silent() -> None:
        # The port accepts connections into the backlog and nothing ever reads them.
        silent.bind(("127.0.0.1", int(first.rsplit(":", 1)[1])))
        silent.listen(16)

    notes: list[str] = []

    def on_note(text: str) -> None:
        notes.append(text)
        if silent_from == "its second try" and text.startswith(f"browser endpoint {first} lost"):
            go_silent()

    if silent_from == "the start":
        go_silent()
    started = time.monotonic()
    with closing(silent), closing(run_batch(load_jobs(str(jobs_file)), concurrency=2, endpoints=[first, second],
                                            timeout=30, on_note=on_note)) as results:
        lines = [result.record() for result in results]
    assert time.monotonic() - started < 40
    if silent_from == "its second try":
        assert any(note.startswith(f"browser endpoint {first} still lost") for note in notes), notes
    assert_each_question_once_in_its_thread(lines, rufus_standin, questions)


def test_batch_arguments_keep_playwrights_disabled_features() -> None:
    """Chromium honours only the last --disable-features switch: the batch's list must
    hold every feature that Playwright's own list switches off."""
    # Playwright's own arguments only (no --disable-features of ours), and the switch that
    # lets CDP report the command line.
    with BrowserSession(BrowserOptions(chromium=chromium_path(), args=("--enable-automation",))) as session:
        context = session.new_context()
        cdp = context.browser.new_browser_cdp_session()
        command_line = cdp.send("Browser.getBrowserCommandLine")["arguments"]
    switches = [arg.split("=", 1)[1] for arg in command_line if arg.startswith("--disable-features=")]
    assert switches, command_line
    assert set(switches[-1].split(",")) <= set(DISABLED_FEATURES)
