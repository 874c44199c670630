"""Run the real ``strovik-mcp`` process and talk to it with the MCP SDK's own client."""

from __future__ import annotations

import asyncio
import json
import os
import re
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any
from urllib.parse import quote

import httpx
import httpx2
import pytest
from mcp.client import Client
from mcp.client.sse import sse_client
from mcp.client.streamable_http import streamable_http_client

SERVING_RE = re.compile(r"serving MCP on (http://[^\s]+) ")
EXACT_401_BODY = b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'
WWW_AUTHENTICATE = 'Bearer realm="strovik-mcp"'
SERVER_FIXED_KEY = "fixed-Key_0123456789abcdefXYZ"
# key -> (user id, e-mail) known to the verification backend
BACKEND_USERS: dict[str, tuple[object, object]] = {
    f"user-key-{n:02d}-{'abcdefgh'[n % 8] * 6}": (1000 + n, f"user{n}@example.test") for n in range(60)
}
# Bounds for waiting on a process or a log line; never used as a verdict on speed.
START_LIMIT = 60.0
STOP_LIMIT = 30.0

TRANSPORTS = [
    pytest.param("sse", "query", id="sse-query"),
    pytest.param("sse", "bearer", id="sse-bearer"),
    pytest.param("http", "query", id="streamable-query"),
    pytest.param("http", "bearer", id="streamable-bearer"),
]


def assert_exact_401(response: httpx.Response) -> None:
    assert response.status_code == 401
    assert response.headers["content-type"] == "application/json"
    assert response.headers.get_list("www-authenticate") == [WWW_AUTHENTICATE]
    assert response.content == EXACT_401_BODY


async def sse_events(lines):
    """(event, data) pairs of an SSE stream read line by line."""
    event, data = None, []
    async for line in lines:
        if line.startswith("event:"):
            event = line.partition(":")[2].strip()
        elif line.startswith("data:"):
            data.append(line.partition(":")[2].strip())
        elif line == "" and (event or data):
            yield event, "\n".join(data)
            event, data = None, []


class ServerProcess:
    """One ``python -m strovik.mcp`` process on a free port of 127.0.0.1, output kept in files."""

    def __init__(self, workdir: Path, *args: str, env: dict[str, str] | None = None) -> None:
        workdir.mkdir(parents=True, exist_ok=True)
        self.workdir = workdir
        self.args = ["--host", "127.0.0.1", "--port", "0", *args]
        self.env = {key: value for key, value in os.environ.items() if key != "STROVIK_MCP_API_KEY"}
        self.env.update({"PYTHONUNBUFFERED": "1", "NO_PROXY": "127.0.0.1,localhost", "no_proxy": "127.0.0.1,localhost"})
        self.env.update(env or {})
        self.stdout_path = workdir / "stdout.txt"
        self.stderr_path = workdir / "stderr.txt"
        self.proc: subprocess.Popen[bytes] | None = None
        self.base_url = ""

    def start(self) -> ServerProcess:
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "strovik.mcp", *self.args],
                stdout=out,
                stderr=err,
                stdin=subprocess.DEVNULL,
                env=self.env,
            )
        deadline = time.monotonic() + START_LIMIT
        while time.monotonic() < deadline:
            match = SERVING_RE.search(self.stdout())
            if match:
                self.base_url = match.group(1)
                return self
            if self.proc.poll() is not None:
                raise RuntimeError(f"server exited with {self.proc.returncode}:\n{self.stderr()}")
            time.sleep(0.05)
        self.kill()
        raise RuntimeError(f"server did not start:\n{self.stderr()}")

    def stdout(self) -> str:
        return self.stdout_path.read_text("utf-8", errors="replace")

    def stderr(self) -> str:
        return self.stderr_path.read_text("utf-8", errors="replace")

    def output(self) -> str:
        return self.stdout() + self.stderr()

    def wait_for(self, predicate: Callable[[], bool], limit: float = 15.0) -> bool:
        """Poll until ``predicate()`` holds (a log line was flushed, say), for at most ``limit`` s."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.05)
        return predicate()

    def alive(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stop(self, sig: int = signal.SIGINT) -> int:
        assert self.proc is not None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(STOP_LIMIT)
        except subprocess.TimeoutExpired:
            self.kill()
            raise

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


def generated_key(stdout: str) -> str:
    """The key a server without --api-key printed in its banner."""
    lines = stdout.splitlines()
    for index, line in enumerate(lines):
        if line.startswith("No --api-key") and index + 1 < len(lines):
            return lines[index + 1].strip()
    raise AssertionError(f"no generated key in:\n{stdout}")


# ------------------------------------------------------------------ MCP client


@asynccontextmanager
async def mcp_client(base_url: str, key: str, transport: str, placement: str):
    """An entered SDK ``Client`` on ``transport`` ("sse" or "http"), key in "query" or "bearer"."""
    path = "/sse" if transport == "sse" else "/mcp"
    url = base_url + path
    headers: dict[str, str] = {}
    if placement == "query":
        url += "?api_key=" + quote(key, safe="")
    else:
        headers["Authorization"] = f"Bearer {key}"
    if transport == "sse":
        async with Client(sse_client(url, headers=headers, timeout=30)) as client:
            yield client
        return
    timeout = httpx2.Timeout(30.0, read=300.0)
    async with httpx2.AsyncClient(headers=headers, timeout=timeout) as http:
        async with Client(streamable_http_client(url, http_client=http)) as client:
            yield client


async def tools_and_whoami(base_url: str, key: str, transport: str, placement: str) -> tuple[list[str], dict[str, Any]]:
    async with mcp_client(base_url, key, transport, placement) as client:
        tools = await client.list_tools()
        result = await client.call_tool("whoami", {})
    assert not result.is_error, result
    return sorted(tool.name for tool in tools.tools), json.loads(result.content[0].text)


def run(coro: Any, limit: float = 120.0) -> Any:
    """Run a coroutine on a new loop, bounded so a hung server cannot hang the suite."""

    async def bounded() -> Any:
        async with asyncio.timeout(limit):
            return await coro

    return asyncio.run(bounded())
