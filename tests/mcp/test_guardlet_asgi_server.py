"""The gate in front of a raw ASGI application, served by a real uvicorn server on 127.0.0.1 and reached
with a real httpx client."""

from __future__ import annotations

import json

import httpx
import pytest

from guardlet_helpers import DEFAULT_BODY, VerifyBackend, context_var, guardlet_module, uvicorn_server

FIXED_KEY = "e2e-fixed-key"


def make_app(events: list):
    var = context_var()

    async def app(scope, receive, send):
        if scope["type"] == "lifespan":
            while True:
                message = await receive()
                events.append(message["type"])
                if message["type"] == "lifespan.startup":
                    await send({"type": "lifespan.startup.complete"})
                else:
                    await send({"type": "lifespan.shutdown.complete"})
                    return
        path = scope["path"]
        events.append(path)
        start = {"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"application/json")]}
        if path == "/echo":
            body = json.dumps({
                "ctx": var.get(),
                "scope": [scope.get("mcp_api_key"), scope.get("mcp_user_id"), scope.get("mcp_user_email")],
            }).encode()
            await send(start)
            await send({"type": "http.response.body", "body": body})
        elif path == "/double-start":
            await send(start)
            await send(start)  # the server refuses this message with "Expected ASGI message ..."
        elif path == "/open-then-fail":
            await send(start)
            await send({"type": "http.response.body", "body": b"partial", "more_body": True})
            raise ValueError("application failed mid-response")

    return app


@pytest.fixture(scope="module")
def fixed_server():
    events: list = []
    gate = guardlet_module().ApiKeyGuardlet(make_app(events), api_key=FIXED_KEY)
    with uvicorn_server(gate, lifespan="on") as url:
        with httpx.Client(base_url=url, timeout=10) as client:
            yield client, events


@pytest.fixture(scope="module")
def remote_server():
    backend = VerifyBackend().start()
    events: list = []
    gate = guardlet_module().ApiKeyGuardlet(make_app(events), api_key="k-garbage", auth_verify_url=backend.url())
    try:
        with uvicorn_server(gate, lifespan="off") as url:
            with httpx.Client(base_url=url, timeout=10) as client:
                yield client, events, backend
    finally:
        backend.close()


def test_lifespan_reaches_the_application(fixed_server):
    _, events = fixed_server
    assert events[0] == "lifespan.startup"


@pytest.mark.parametrize(
    "params, headers",
    [
        ({}, {}),
        ({"api_key": "wrong"}, {}),
        ({}, {"Authorization": "Bearer wrong"}),
        ({}, {"Authorization": f"Basic {FIXED_KEY}"}),
        ({"api_key": ""}, {}),
    ],
    ids=["no-key", "wrong-query", "wrong-header", "basic-scheme", "blank-query"],
)
def test_refused_requests_get_the_401_over_the_wire(fixed_server, params, headers):
    client, events = fixed_server
    before = len(events)
    response = client.get("/echo", params=params, headers=headers)
    assert response.status_code == 401
    assert response.content == DEFAULT_BODY
    assert response.headers["content-type"] == "application/json"
    assert response.headers["www-authenticate"] == 'Bearer realm="strovik-mcp"'
    assert "content-length" not in response.headers
    assert response.json()["reason"] == "invalid_api_key"
    assert len(events) == before  # the application never saw it


@pytest.mark.parametrize(
    "params, headers",
    [
        ({"api_key": FIXED_KEY}, {}),
        ({}, {"Authorization": f"Bearer {FIXED_KEY}"}),
        ({}, {"authorization": f"bEaReR   {FIXED_KEY}"}),
        ({"api_key": FIXED_KEY}, {"Authorization": "Bearer wrong"}),
    ],
    ids=["query", "header", "header-case-and-spaces", "query-beats-header"],
)
def test_admitted_requests_reach_the_application_with_the_key(fixed_server, params, headers):
    client, _ = fixed_server
    response = client.get("/echo", params=params, headers=headers)
    assert response.status_code == 200
    assert response.json() == {
        "ctx": {"api_key": FIXED_KEY, "user_id": None, "email": None},
        "scope": [FIXED_KEY, None, None],
    }


def test_server_refusal_of_an_asgi_message_is_swallowed_and_the_response_closed(fixed_server):
    client, _ = fixed_server
    response = client.get("/double-start", params={"api_key": FIXED_KEY})
    assert response.status_code == 200
    assert response.content == b""


def test_application_failure_mid_response_still_ends_the_response(fixed_server):
    client, _ = fixed_server
    # uvicorn closes the connection after an application error, so the client must not reuse it: a
    # reused connection would race that close. The chunked body still has to be ended by the gate.
    response = client.get("/open-then-fail", params={"api_key": FIXED_KEY}, headers={"Connection": "close"})
    assert response.status_code == 200
    assert response.content == b"partial"
    # the server goes on serving
    assert client.get("/echo", params={"api_key": FIXED_KEY}).status_code == 200


def test_remote_mode_over_the_wire(remote_server):
    client, _, backend = remote_server
    response = client.get("/echo", headers={"Authorization": "Bearer k-valid"})
    assert response.status_code == 200
    assert response.json() == {
        "ctx": {"api_key": "k-valid", "user_id": 7, "email": "e7@example.com"},
        "scope": ["k-valid", 7, "e7@example.com"],
    }
    seen = backend.seen[-1]
    assert seen.query["api_key"] == ["k-valid"] and seen.header("X-MCP-API-Key") == ["k-valid"]


@pytest.mark.parametrize("key", ["k-garbage", "k-valid-zero", "k-500", "k-array"])
def test_remote_mode_refuses_over_the_wire(remote_server, key):
    # the fixed key of this gate is "k-garbage": remote mode ignores it
    client, events, _ = remote_server
    before = len(events)
    response = client.get("/echo", params={"api_key": key})
    assert response.status_code == 401
    assert response.content == DEFAULT_BODY
    assert len(events) == before
