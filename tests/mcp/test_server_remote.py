"""The real server process in remote mode, against a real verification backend started by the tests."""

from __future__ import annotations

import asyncio
import json
import threading

import httpx
import pytest
from backend import VERIFY_PATH, VerificationBackend
from server_harness import (
    BACKEND_USERS,
    TRANSPORTS,
    ServerProcess,
    assert_exact_401,
    run,
    sse_events,
    tools_and_whoami,
)

USERS = list(BACKEND_USERS.items())
WARNING = "远程校验 API Key 失败: "
ODD_KEY = "odd key+plus&amp=eq%25/?#"


# Remote mode's two checks: the pooled default and the gate's own, a new client per request.
REMOTE_CHECKS = {"pooled": [], "per-request-client": ["--verify-per-request-client"]}


@pytest.fixture(scope="module", params=list(REMOTE_CHECKS))
def server_remote(request, tmp_path_factory, backend_server: VerificationBackend):
    server = ServerProcess(
        tmp_path_factory.mktemp("remote"), "--auth-verify-url", backend_server.url, *REMOTE_CHECKS[request.param]
    ).start()
    try:
        yield server
    finally:
        server.kill()


@pytest.fixture(scope="module", autouse=True)
def _odd_user(backend_server):
    backend_server.users[ODD_KEY] = ("odd-user", "odd@example.test")


def _http(server: ServerProcess) -> httpx.Client:
    return httpx.Client(base_url=server.base_url, trust_env=False, timeout=30)


@pytest.mark.parametrize(("transport", "placement"), TRANSPORTS)
def test_whoami_returns_each_callers_own_user(server_remote, transport, placement):
    for key, (user_id, email) in [USERS[0], USERS[7], (ODD_KEY, ("odd-user", "odd@example.test"))]:
        names, me = run(tools_and_whoami(server_remote.base_url, key, transport, placement))
        assert "whoami" in names
        assert me == {"api_key": key[:4] + "***", "user_id": user_id, "email": email}


def test_every_request_is_checked_once_with_the_key_in_query_and_header(server_remote, backend_server):
    key = USERS[11][0]
    backend_server.reset()
    with _http(server_remote) as http:
        for _ in range(3):
            assert http.get("/nowhere", params={"api_key": key}).status_code == 404
    seen = [request for request in backend_server.seen() if key in request.query_keys]
    assert len(seen) == 3
    assert {(request.path, request.query_keys, request.header_key) for request in seen} == {(VERIFY_PATH, (key,), key)}


@pytest.mark.parametrize(
    ("key", "warns"),
    [
        ("garbage-key", True),
        ("array-key", True),
        ("null-key", True),
        ("error-key", False),
        ("created-key", False),
        ("invalid-key", False),
        ("zero-key", False),
        ("unknown-key-0000", False),
        ("", False),
    ],
)
def test_refusals_and_garbage_answers_refuse_the_key_and_the_server_keeps_serving(
    server_remote, backend_server, key, warns
):
    warnings_before = server_remote.stderr().count(WARNING)
    calls_before = len(backend_server.seen())
    with _http(server_remote) as http:
        assert_exact_401(http.get("/sse", params={"api_key": key}))
        # the warning is written before the 401 leaves the server
        assert server_remote.stderr().count(WARNING) == warnings_before + warns
        assert http.get("/nowhere", params={"api_key": USERS[1][0]}).status_code == 404
    # an empty key is refused without asking the backend
    assert len(backend_server.seen()) == calls_before + (2 if key else 1)
    if key:
        assert key not in server_remote.output()


def test_backend_down_refuses_keys_then_recovers(server_remote, backend_server):
    key = USERS[2][0]
    backend_server.stop()
    try:
        warnings_before = server_remote.stderr().count(WARNING)
        with _http(server_remote) as http:
            assert_exact_401(http.get("/sse", params={"api_key": key}))
            assert_exact_401(http.get("/sse", headers={"Authorization": f"Bearer {key}"}))
        assert server_remote.stderr().count(WARNING) == warnings_before + 2
    finally:
        backend_server.start()
    with _http(server_remote) as http:
        assert http.get("/nowhere", params={"api_key": key}).status_code == 404
    assert key not in server_remote.output()


def test_hanging_backend_holds_only_the_request_it_was_asked_about(server_remote, backend_server):
    async def scenario():
        async with httpx.AsyncClient(base_url=server_remote.base_url, trust_env=False, timeout=60) as http:
            hung = asyncio.create_task(http.get("/sse", params={"api_key": "hang-key"}))
            assert await asyncio.to_thread(backend_server.hanging.acquire, True, 30)
            try:
                _names, me = await tools_and_whoami(server_remote.base_url, USERS[3][0], "sse", "bearer")
                assert me["user_id"] == USERS[3][1][0]
                assert not hung.done()
            finally:
                backend_server.release.set()
            return await hung

    try:
        assert_exact_401(run(scenario(), 60))
    finally:
        backend_server.release = threading.Event()


def test_fifty_concurrent_clients_each_see_only_their_own_identity(server_remote):
    keys = [key for key, _user in USERS[:50]]

    async def client(index: int, key: str):
        transport = "sse" if index % 2 else "http"
        placement = "query" if index % 4 < 2 else "bearer"
        _names, me = await tools_and_whoami(server_remote.base_url, key, transport, placement)
        return key, me

    async def intruder(index: int):
        async with httpx.AsyncClient(base_url=server_remote.base_url, trust_env=False, timeout=60) as http:
            # a real user's key with one character changed is still a stranger
            forged = keys[index][:-1] + ("x" if keys[index][-1] != "x" else "y")
            return await http.get("/sse", params={"api_key": forged})

    async def everyone():
        return await asyncio.gather(
            *(client(index, key) for index, key in enumerate(keys)), *(intruder(index) for index in range(10))
        )

    results = run(everyone(), 240)
    for key, me in results[:50]:
        user_id, email = BACKEND_USERS[key]
        assert me == {"api_key": key[:4] + "***", "user_id": user_id, "email": email}
    for response in results[50:]:
        assert_exact_401(response)


def test_a_session_cannot_be_driven_with_another_users_key(server_remote):
    owner, other = USERS[4][0], USERS[5][0]

    async def scenario():
        async with httpx.AsyncClient(base_url=server_remote.base_url, trust_env=False, timeout=30) as http:
            async with http.stream("GET", "/sse", headers={"Authorization": f"Bearer {owner}"}) as stream:
                events = sse_events(stream.aiter_lines())
                kind, endpoint = await anext(events)
                assert kind == "endpoint" and "api_key" not in endpoint

                def ping(ident):
                    return {"jsonrpc": "2.0", "id": ident, "method": "ping"}

                foreign = await http.post(endpoint, json=ping("foreign"), headers={"Authorization": f"Bearer {other}"})
                # the other user passes the gate, but the session is not theirs
                assert foreign.status_code == 404
                own = await http.post(endpoint, json=ping("own"), headers={"Authorization": f"Bearer {owner}"})
                assert own.status_code == 202
                async for kind, data in events:
                    if kind == "message":
                        return json.loads(data).get("id")

    assert run(scenario(), 60) == "own"


@pytest.mark.parametrize("check", list(REMOTE_CHECKS))
def test_debug_logging_never_shows_a_key(tmp_path, backend_server, check):
    args = ["--auth-verify-url", backend_server.url, "--log-level", "debug", *REMOTE_CHECKS[check]]
    server = ServerProcess(tmp_path, *args).start()
    line_break_key = "line\nbreak-secret-part"
    try:
        run(tools_and_whoami(server.base_url, USERS[6][0], "sse", "query"))
        run(tools_and_whoami(server.base_url, USERS[8][0], "http", "bearer"))
        with _http(server) as http:
            for key in ("garbage-key", "null-key", line_break_key, "ключ-secret-part", "unknown-secret-part"):
                assert_exact_401(http.get("/sse", params={"api_key": key}))
    finally:
        assert server.stop() == 0
    output = server.output()
    assert "DEBUG" in output and WARNING in output
    for secret in (USERS[6][0], USERS[8][0], "garbage-key", "null-key", "secret-part"):
        assert secret not in output
