"""The Rufus tools of a real strovik-mcp process: MCP SDK clients, Debian's Chromium and the
stand-in Rufus endpoint on 127.0.0.1."""

from __future__ import annotations

import asyncio
import json
import sys
import time
from pathlib import Path
from typing import Any

import psutil
import pytest
from amazon_rufus.helpers import Fault, RufusStandIn, serve_standin
from backend import VerificationBackend
from mcp import StdioServerParameters
from mcp.client import Client
from server_harness import BACKEND_USERS, SERVER_FIXED_KEY, ServerProcess, mcp_client, run

SEED_ASIN = "B0SEED0001"
OTHER_ASIN = "B0OTHER002"
KEYS = list(BACKEND_USERS)[:2]


@pytest.fixture(scope="module")
def standin() -> Any:
    with serve_standin() as stand_in:
        yield stand_in


@pytest.fixture
def rufus(standin: RufusStandIn) -> RufusStandIn:
    standin.posts.clear()
    standin.faults.clear()
    standin.delay = 0.0
    return standin


def write_seed(stand_in: RufusStandIn, folder: Path) -> Path:
    path = folder / "seed.json"
    body = {"queryContext": {"query": "seed question"}, "historyThreadContext": {}, "asin": SEED_ASIN}
    path.write_text(json.dumps({
        "request_url": f"{stand_in.base_url}/rufus/cl/streaming",
        "request_headers": {"Content-Type": "application/json"},
        "request_body": json.dumps(body),
        "page_url": f"{stand_in.base_url}/dp/{SEED_ASIN}",
        "asin": SEED_ASIN,
    }))
    return path


@pytest.fixture(scope="module")
def seed(standin: RufusStandIn, tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_seed(standin, tmp_path_factory.mktemp("seed"))


def sent(post: Any) -> dict[str, Any]:
    return json.loads(post.body)


@pytest.fixture(scope="module")
def remote(tmp_path_factory: pytest.TempPathFactory, seed: Path) -> Any:
    """A remote-mode server (two users) with 2 browsers, a 3 s time limit and one call that may wait."""
    backend = VerificationBackend(BACKEND_USERS).start()
    server = ServerProcess(
        tmp_path_factory.mktemp("rufus"), "--auth-verify-url", backend.url, "--rufus-seed", str(seed),
        "--rufus-browsers", "2", "--rufus-timeout", "3", "--rufus-retries", "0", "--rufus-queue", "1",
    ).start()
    try:
        yield server
    finally:
        server.kill()
        backend.stop()


@pytest.mark.parametrize("transport", ["http", "sse"])
def test_ask_continue_and_ask_many_with_progress(remote: ServerProcess, rufus: RufusStandIn, transport: str) -> None:
    async def scenario() -> tuple[Any, Any, Any, list[tuple[float, float | None]]]:
        progress: list[tuple[float, float | None]] = []

        async def on_progress(done: float, total: float | None, _message: str | None) -> None:
            progress.append((done, total))

        async with mcp_client(remote.base_url, KEYS[0], transport, "bearer") as client:
            tools = {tool.name: tool for tool in (await client.list_tools()).tools}
            assert tools["rufus_ask"].output_schema and tools["rufus_ask_many"].output_schema
            first = await client.call_tool("rufus_ask", {"question": "Is it waterproof?"})
            again = await client.call_tool(
                "rufus_ask", {"question": "And the battery?", "asin": OTHER_ASIN,
                              "thread_id": first.structured_content["thread_id"]},
            )
            many = await client.call_tool(
                "rufus_ask_many", {"questions": ["One?", "Two?"], "product_url": f"{rufus.base_url}/dp/{OTHER_ASIN}"},
                progress_callback=on_progress,
            )
        return first, again, many, progress

    first, again, many, progress = run(scenario())
    assert not first.is_error and not again.is_error and not many.is_error, (first, again, many)
    assert first.structured_content == {"text": "Answer 1: about Is it waterproof?", "thread_id": "thread-1",
                                        "asin": SEED_ASIN}
    assert again.structured_content["asin"] == OTHER_ASIN
    posts = [sent(post) for post in rufus.posts]
    assert posts[1]["historyThreadContext"]["threadId"] == "thread-1"
    assert OTHER_ASIN in json.dumps(posts[1]) and OTHER_ASIN in json.dumps(posts[2])
    answers = many.structured_content["answers"]
    assert [(a["index"], a["question"], a["text"]) for a in answers] == [
        (1, "One?", "Answer 3: about One?"), (2, "Two?", "Answer 4: about Two?")]
    assert many.structured_content["thread_id"] == "thread-4"
    assert progress == [(1, 2), (2, 2)]


def _slow(rufus: RufusStandIn) -> None:
    rufus.delay = 6.0


FAILURES = {
    # case: (what the stand-in does, the call, the error line's start)
    "http error part way": (lambda r: r.faults.update({2: Fault(status=503)}), "many", "question 2 of 3 failed: Rufus answered HTTP 503"),
    "time limit": (lambda r: r.faults.update({1: Fault(hang=True)}), "ask", "no answer within the 3 s time limit"),
    "bad argument": (lambda r: None, "bad", "asin must be 10 letters or digits"),
    "another key's thread": (lambda r: None, "thread", "unknown thread"),
    "busy": (_slow, "busy", "busy: 1 calls waiting"),
}


@pytest.mark.parametrize("case", list(FAILURES))
def test_failures_are_one_line_tool_errors(remote: ServerProcess, rufus: RufusStandIn, case: str) -> None:
    arrange, call, expected = FAILURES[case]
    arrange(rufus)

    async def scenario() -> Any:
        async with mcp_client(remote.base_url, KEYS[0], "http", "bearer") as client:
            if call == "many":
                return await client.call_tool("rufus_ask_many", {"questions": ["a?", "b?", "c?"]})
            if call == "ask":
                return await client.call_tool("rufus_ask", {"question": "a?"})
            if call == "bad":
                return await client.call_tool("rufus_ask", {"question": "a?", "asin": "B0-SHORT"})
            if call == "thread":
                mine = await client.call_tool("rufus_ask", {"question": "mine?"})
                async with mcp_client(remote.base_url, KEYS[1], "http", "bearer") as other:
                    return await other.call_tool(
                        "rufus_ask", {"question": "yours?", "thread_id": mine.structured_content["thread_id"]}
                    )
            # busy: two slow calls hold both browsers, a third waits, a fourth is refused
            held = [asyncio.create_task(client.call_tool("rufus_ask", {"question": f"slow {n}?"})) for n in range(3)]
            await asyncio.sleep(2.0)
            try:
                return await client.call_tool("rufus_ask", {"question": "one too many?"})
            finally:
                rufus.delay = 0.0
                await asyncio.gather(*held)

    posts_before = len(rufus.posts)
    result = run(scenario())
    assert result.is_error, result
    line = result.content[0].text
    assert line.startswith(expected) and "\n" not in line, line
    if call == "many":
        answers = result.structured_content["answers"]
        assert [("text" in a, "error" in a) for a in answers] == [(True, False), (False, True)]
    if call == "thread":
        assert len(rufus.posts) == posts_before + 1  # nothing sent for the other key
    if call == "bad":
        assert len(rufus.posts) == posts_before


def test_a_cancelled_call_frees_its_browser(remote: ServerProcess, rufus: RufusStandIn) -> None:
    rufus.faults.update({1: Fault(hang=True), 2: Fault(hang=True)})

    async def scenario() -> float:
        async with mcp_client(remote.base_url, KEYS[0], "http", "bearer") as client:
            hung = [asyncio.create_task(client.call_tool("rufus_ask", {"question": f"hang {n}?"})) for n in range(2)]
            while len(rufus.posts) < 2:
                await asyncio.sleep(0.05)
            for task in hung:
                task.cancel()
            cancelled = time.monotonic()
            answer = await client.call_tool("rufus_ask", {"question": "next?"})
            assert not answer.is_error, answer
            return time.monotonic() - cancelled

    # Both browsers were held by hung questions: the next call is answered only once one is free.
    assert run(scenario()) < 2.5
    assert remote.wait_for(lambda: "outcome=cancelled" in remote.stderr())


def test_stdio_serves_the_tools_without_a_gate(seed: Path, rufus: RufusStandIn) -> None:
    params = StdioServerParameters(command=sys.executable, args=["-m", "strovik.mcp", "--stdio", "--rufus-seed", str(seed)])

    async def scenario() -> Any:
        async with Client(params) as client:
            return await client.call_tool("rufus_ask", {"question": "Over stdio?"})

    result = run(scenario())
    assert not result.is_error, result
    assert result.structured_content["text"].endswith("about Over stdio?")


def test_a_stop_ends_calls_and_leaves_no_browser(tmp_path: Path, seed: Path, rufus: RufusStandIn) -> None:
    rufus.faults.update({1: Fault(hang=True)})
    server = ServerProcess(tmp_path, "--api-key", SERVER_FIXED_KEY, "--rufus-seed", str(seed)).start()
    assert server.proc is not None
    try:
        async def scenario() -> Any:
            async with mcp_client(server.base_url, SERVER_FIXED_KEY, "http", "bearer") as client:
                call = asyncio.create_task(client.call_tool("rufus_ask", {"question": "hang?"}))
                while not rufus.posts:
                    await asyncio.sleep(0.05)
                browsers = [child.pid for child in psutil.Process(server.proc.pid).children(recursive=True)]
                server.proc.send_signal(2)
                return await call, browsers

        result, browsers = run(scenario())
        assert server.proc.wait(30) == 0
    finally:
        server.kill()
    assert result.is_error and "stopping" in result.content[0].text, result
    assert browsers and not [pid for pid in browsers if psutil.pid_exists(pid) and psutil.Process(pid).status() != "zombie"]
    assert "Traceback" not in server.stderr(), server.stderr()
