"""The real server process in fixed-key mode, driven over HTTP by the MCP SDK's client and raw requests."""

from __future__ import annotations

import asyncio
import json
import re
import signal
import socket
import threading

import httpx
import pytest
from server_harness import (
    SERVER_FIXED_KEY,
    TRANSPORTS,
    ServerProcess,
    assert_exact_401,
    generated_key,
    run,
    sse_events,
    tools_and_whoami,
)

KEY = SERVER_FIXED_KEY
def _client(server: ServerProcess) -> httpx.Client:
    return httpx.Client(base_url=server.base_url, trust_env=False, timeout=30)


@pytest.mark.parametrize(("transport", "placement"), TRANSPORTS)
def test_sdk_client_lists_tools_and_calls_whoami(server_fixed, transport, placement):
    names, me = run(tools_and_whoami(server_fixed.base_url, KEY, transport, placement))
    assert "whoami" in names
    # A fixed key has no user behind it, and the tool shows only a masked key.
    assert me == {"api_key": "fixe***", "user_id": None, "email": None}


REFUSED = [
    pytest.param("GET", "/sse", [], id="no-key"),
    pytest.param("GET", "/sse?api_key=wrong", [], id="wrong-query-key"),
    pytest.param("GET", "/sse", [("Authorization", "Bearer wrong")], id="wrong-bearer"),
    pytest.param("GET", "/sse", [("Authorization", "Bearer" + KEY)], id="bearer-without-space"),
    pytest.param("GET", "/sse", [("Authorization", "Basic " + KEY)], id="basic-scheme"),
    pytest.param("GET", "/sse", [("Authorization", KEY)], id="bare-authorization"),
    pytest.param("GET", "/sse", [("X-MCP-API-Key", KEY)], id="backend-header-is-not-a-client-header"),
    pytest.param("GET", "/sse?api_key=", [], id="blank-query-key"),
    pytest.param("GET", "/sse?api_key=" + KEY.upper(), [], id="other-letter-case"),
    pytest.param("GET", "/sse?api_key=" + KEY + "%20", [], id="trailing-encoded-space"),
    pytest.param("GET", "/sse?api_key=" + KEY[:-1], [], id="prefix-of-key"),
    pytest.param("GET", "/sse?apikey=" + KEY, [], id="other-parameter-name"),
    pytest.param("GET", "/sse?api_key=%FF%FE", [], id="escapes-of-invalid-utf8"),
    pytest.param("GET", "/sse?api_key=wrong", [("Authorization", "Bearer " + KEY)], id="query-wins-over-header"),
    pytest.param("POST", "/messages/?session_id=" + "0" * 32, [], id="sse-message-post"),
    pytest.param("POST", "/mcp", [("Content-Type", "application/json")], id="streamable-post"),
    pytest.param("DELETE", "/mcp", [("Authorization", "Bearer wrong")], id="streamable-delete"),
    pytest.param("GET", "/no-such-path", [], id="unknown-path"),
]


@pytest.mark.parametrize(("method", "target", "headers"), REFUSED)
def test_refused_requests_get_the_exact_401(server_fixed, method, target, headers):
    body = b'{"jsonrpc":"2.0","id":1,"method":"ping"}' if method == "POST" else None
    with _client(server_fixed) as http:
        assert_exact_401(http.request(method, target, headers=headers, content=body))


ADMITTED = [
    pytest.param("/nowhere?api_key=" + KEY, [], id="query"),
    pytest.param("/nowhere", [("Authorization", "Bearer " + KEY)], id="bearer"),
    pytest.param("/nowhere", [("authorization", "bEaReR    " + KEY)], id="bearer-any-case-and-spaces"),
    pytest.param("/nowhere?api_key=&x=1", [("Authorization", "Bearer " + KEY)], id="blank-query-falls-back"),
    pytest.param("/nowhere?api_key=" + KEY + "&api_key=wrong", [], id="first-query-value-wins"),
    pytest.param("/nowhere?api%5Fkey=" + KEY, [], id="percent-encoded-parameter-name"),
    pytest.param(
        "/nowhere", [("Authorization", "Basic abc"), ("Authorization", "Bearer " + KEY)], id="second-authorization-header"
    ),
]


@pytest.mark.parametrize(("target", "headers"), ADMITTED)
def test_admitted_requests_reach_the_app(server_fixed, target, headers):
    # The MCP app has no such route: its 404 shows the request got past the gate.
    with _client(server_fixed) as http:
        response = http.get(target, headers=headers)
    assert response.status_code == 404


def test_raw_non_utf8_query_bytes_never_reach_the_app(server_fixed):
    before = server_fixed.stdout().count("/sse?")
    with socket.create_connection(("127.0.0.1", int(server_fixed.base_url.rsplit(":", 1)[1])), timeout=30) as sock:
        sock.sendall(b"GET /sse?api_key=\xff\xfe" + KEY.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
    # uvicorn's HTTP parser refuses such a request line before any application sees it
    # (the gate's own answer to such bytes is checked in-process, in test_server_app).
    assert answer.startswith(b"HTTP/1.1 400 ")
    assert server_fixed.stdout().count("/sse?") == before
    with _client(server_fixed) as http:
        assert http.get("/nowhere", params={"api_key": KEY}).status_code == 404


def test_refused_message_never_reaches_the_open_session(server_fixed):
    async def scenario():
        async with httpx.AsyncClient(base_url=server_fixed.base_url, trust_env=False, timeout=30) as http:
            async with http.stream("GET", "/sse", params={"api_key": KEY}) as stream:
                events = sse_events(stream.aiter_lines())
                kind, endpoint = await anext(events)
                assert kind == "endpoint"
                bare_endpoint = endpoint.split("&api_key=")[0]

                def ping(ident):
                    return {"jsonrpc": "2.0", "id": ident, "method": "ping"}

                refused = await http.post(bare_endpoint, json=ping("refused"), params={"api_key": "wrong"})
                assert_exact_401(refused)
                refused = await http.post(bare_endpoint, json=ping("refused"))
                assert_exact_401(refused)
                for ident in ("admitted", "last"):
                    assert (await http.post(endpoint, json=ping(ident))).status_code == 202
                answered = []
                async for kind, data in events:
                    if kind == "message":
                        answered.append(json.loads(data).get("id"))
                        if answered[-1] == "last":
                            break
                return answered

    assert run(scenario(), 60) == ["admitted", "last"]


def test_access_log_never_shows_a_key(server_fixed):
    targets = [
        f"/logged?api_key={KEY}",
        f"/logged?x=1&api_key={KEY}&api_key=second-secret-value",
        f"/logged?api%5Fkey={KEY}",
        "/logged?api_key=refused-secret-value",
        f"/logged/{KEY}?api_key={KEY}",
    ]
    with _client(server_fixed) as http:
        for target in targets:
            http.get(target)
        # a bearer key is not in the request line, but must not show anywhere either
        http.get("/logged", headers={"Authorization": f"Bearer {KEY}"})
    assert server_fixed.wait_for(lambda: server_fixed.stdout().count('"GET /logged') == len(targets) + 1)
    output = server_fixed.output()
    for secret in (KEY, "second-secret-value", "refused-secret-value"):
        assert secret not in output
    logged = [line for line in server_fixed.stdout().splitlines() if '"GET /logged' in line]
    assert re.search(r'"GET /logged\?api_key=\*\*\* HTTP/1.1" 404', logged[0])
    assert "?x=1&api_key=***&api_key=*** " in logged[1]
    assert "?api%5Fkey=*** " in logged[2]
    assert '"GET /logged?api_key=*** HTTP/1.1" 401' in logged[3]
    assert "/logged/***?api_key=*** " in logged[4]


def test_without_key_options_a_random_key_is_generated_printed_once_and_used(tmp_path):
    server = ServerProcess(tmp_path).start()
    try:
        banner = server.stdout()
        key = generated_key(banner)
        assert len(key) >= 32
        url = re.search(r"(http://127\.0\.0\.1:\d+/sse\?api_key=\S+)", banner).group(1)
        assert url == f"{server.base_url}/sse?api_key={key}"
        assert f"Authorization: Bearer {key}" in banner
        names, me = run(tools_and_whoami(server.base_url, key, "sse", "query"))
        assert "whoami" in names and me["api_key"] == key[:4] + "***"
        with _client(server) as http:
            assert_exact_401(http.get("/sse"))
        server.wait_for(lambda: "/sse?api_key=***" in server.stdout())
        stdout = server.stdout()
        # printed once, in the banner; the access lines show it masked
        assert stdout.count("generated a random API key") == 1
        assert stdout.count(key) == banner.count(key) == 3
        assert key not in server.stderr()
    finally:
        assert server.stop() == 0


def test_key_from_the_environment_is_the_fixed_key(tmp_path):
    env_key = "environment-key-0987654321"
    server = ServerProcess(tmp_path, env={"STROVIK_MCP_API_KEY": env_key}).start()
    try:
        assert "Fixed-key mode" in server.stdout()
        assert env_key not in server.output()
        _names, me = run(tools_and_whoami(server.base_url, env_key, "http", "bearer"))
        assert me["api_key"] == "envi***"
        with _client(server) as http:
            assert_exact_401(http.get("/sse", params={"api_key": KEY}))
    finally:
        assert server.stop() == 0


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_lifespan_and_clean_shutdown_with_open_streams(tmp_path, sig):
    server = ServerProcess(tmp_path, "--api-key", KEY).start()
    stream_ended = threading.Event()
    stream_open = threading.Event()

    async def hold_stream():
        async with httpx.AsyncClient(base_url=server.base_url, trust_env=False, timeout=60) as http:
            async with http.stream("GET", "/sse", headers={"Authorization": f"Bearer {KEY}"}) as stream:
                async for _line in stream.aiter_lines():
                    stream_open.set()
        stream_ended.set()

    holder = threading.Thread(target=lambda: asyncio.run(hold_stream()), daemon=True)
    try:
        # the streamable transport needs the session manager the lifespan starts
        _names, me = run(tools_and_whoami(server.base_url, KEY, "http", "query"))
        assert me["api_key"] == "fixe***"
        holder.start()
        assert stream_open.wait(30)
        assert server.stop(sig) == 0
        holder.join(30)
        assert stream_ended.is_set()
    finally:
        server.kill()
    stderr = server.stderr()
    assert "Application startup complete." in stderr
    assert "Application shutdown complete." in stderr
    assert "Traceback" not in stderr and "ERROR" not in stderr


def test_allowed_host_admits_a_proxys_name_and_a_refused_host_is_one_log_line(tmp_path):
    server = ServerProcess(tmp_path, "--api-key", KEY, "--allowed-host", "proxy.example.test").start()
    auth = {"Authorization": f"Bearer {KEY}"}

    async def first_sse_event(host: str) -> tuple[str | None, str]:
        async with httpx.AsyncClient(base_url=server.base_url, trust_env=False, timeout=30) as http:
            async with http.stream("GET", "/sse", headers={**auth, "Host": host}) as stream:
                async for event in sse_events(stream.aiter_lines()):
                    return event

    try:
        # behind a proxy: the proxy's name, with or without a port, and the loopback name without one
        for host in ("proxy.example.test", "proxy.example.test:443", "127.0.0.1"):
            event, data = run(first_sse_event(host))
            assert event == "endpoint" and "session_id=" in data
        with _client(server) as http:
            for path in ("/sse", "/mcp"):
                refused = http.get(path, headers={**auth, "Host": "other.example.test"})
                assert refused.status_code == 421
        server.wait_for(lambda: server.stderr().count("refused a request with Host") == 2)
    finally:
        assert server.stop() == 0
    stderr = server.stderr()
    assert stderr.count("refused a request with Host") == 2
    assert "Traceback" not in stderr and "ERROR" not in stderr
