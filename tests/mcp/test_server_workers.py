"""``strovik-mcp --workers 2``: one socket, sessions that reach their worker, health, metrics, a clean stop."""

from __future__ import annotations

import asyncio
import json
import os
import re
import signal
import socket
import urllib.request

import httpx
import httpx2
import pytest
from mcp.client import Client
from mcp.client.sse import sse_client
from mcp.client.streamable_http import streamable_http_client
from server_harness import SERVER_FIXED_KEY, STOP_LIMIT, ServerProcess, run

WORKER_RE = re.compile(r"Started server process \[(\d+)\]")
SESSIONS = 6
CALLS = 4


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _fresh_connections(**kwargs) -> httpx2.AsyncClient:
    # No kept-alive connection: every request is a new connection, which any worker may take.
    return httpx2.AsyncClient(limits=httpx2.Limits(max_keepalive_connections=0), **kwargs)


async def _session(base_url: str, transport: str) -> list[dict]:
    url = f"{base_url}/{'sse' if transport == 'sse' else 'mcp'}?api_key={SERVER_FIXED_KEY}"
    if transport == "sse":
        connect = sse_client(url, timeout=30, httpx_client_factory=lambda **kw: _fresh_connections(**kw))
        mode = "auto"
    else:
        connect = streamable_http_client(url, http_client=_fresh_connections(timeout=httpx2.Timeout(30.0)))
        mode = "legacy"  # a handshake-era session, held by the worker that opened it
    async with Client(connect, mode=mode) as client:
        results = [await client.call_tool("whoami", {}) for _ in range(CALLS)]
    assert not any(result.is_error for result in results), results
    return [json.loads(result.content[0].text) for result in results]


def _workers(server: ServerProcess) -> set[int]:
    return {int(pid) for pid in WORKER_RE.findall(server.stderr())}


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def _metric(text: str, name: str, **labels: str) -> float:
    wanted = ",".join(f'{key}="{value}"' for key, value in sorted(labels.items()))
    for line in text.splitlines():
        if line.startswith(f"{name}{{{wanted}}} "):
            return float(line.rsplit(" ", 1)[1])
    return 0.0


@pytest.fixture(scope="module")
def workers(tmp_path_factory):
    metrics_port = _free_port()
    server = ServerProcess(
        tmp_path_factory.mktemp("workers"), "--api-key", SERVER_FIXED_KEY, "--workers", "2",
        "--metrics-port", str(metrics_port),
    ).start()
    server.metrics_url = f"http://127.0.0.1:{metrics_port}/metrics"
    try:
        assert server.wait_for(lambda: server.stderr().count("Application startup complete") == 2, 60)
        yield server
    finally:
        server.kill()


@pytest.mark.parametrize("transport", ["sse", "http"])
def test_server_sessions_work_across_two_workers(workers, transport):
    async def many() -> list[list[dict]]:
        return await asyncio.gather(*(_session(workers.base_url, transport) for _ in range(SESSIONS)))

    for answers in run(many()):
        assert answers == [{"api_key": answers[0]["api_key"], "user_id": None, "email": None}] * CALLS


def test_server_health_needs_no_key_and_metrics_count_the_gate(workers):
    health = httpx.get(workers.base_url + "/healthz")
    assert (health.status_code, health.json()) == (200, {"status": "ok"})
    before = urllib.request.urlopen(workers.metrics_url, timeout=10).read().decode()
    assert httpx.get(workers.base_url + "/sse").status_code == 401
    assert httpx.get(workers.base_url + "/sse", headers={"Authorization": "Bearer wrong"}).status_code == 401
    run(_session(workers.base_url, "http"))
    after = urllib.request.urlopen(workers.metrics_url, timeout=10).read().decode()

    def grew(name: str, **labels: str) -> float:
        return _metric(after, name, **labels) - _metric(before, name, **labels)

    assert grew("strovik_mcp_requests_total", decision="refused", reason="missing_key") == 1
    assert grew("strovik_mcp_requests_total", decision="refused", reason="invalid_key") == 1
    assert grew("strovik_mcp_requests_total", decision="admitted", reason="") >= CALLS
    assert grew("strovik_mcp_tool_calls_total", tool="whoami", outcome="ok") == CALLS


def test_server_workers_restart_a_dead_one_and_stop_cleanly(workers):
    first = _workers(workers)
    assert len(first) == 2
    victim = min(first)
    os.kill(victim, signal.SIGKILL)
    assert workers.wait_for(lambda: len(_workers(workers) - first) == 1, 60), workers.stderr()
    assert workers.wait_for(lambda: workers.stderr().count("Application startup complete") == 3, 60)
    run(_session(workers.base_url, "sse"))
    assert workers.stop(signal.SIGTERM) == 0
    left = [pid for pid in _workers(workers) if _alive(pid)]
    assert left == [], workers.stderr()
    assert workers.wait_for(lambda: not any(_alive(pid) for pid in _workers(workers)), STOP_LIMIT)


def test_server_workers_end_with_a_killed_supervisor(tmp_path):
    server = ServerProcess(tmp_path, "--api-key", SERVER_FIXED_KEY, "--workers", "2").start()
    try:
        assert server.wait_for(lambda: len(_workers(server)) == 2, 60), server.stderr()
        server.kill()  # SIGKILL: the supervisor cannot stop its workers itself
        assert server.wait_for(lambda: not any(_alive(pid) for pid in _workers(server)), STOP_LIMIT)
    finally:
        for pid in _workers(server):
            if _alive(pid):
                os.kill(pid, signal.SIGKILL)
