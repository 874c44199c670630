"""The gated app built by ``build_app``, driven in-process with ASGI messages an HTTP server cannot send."""

from __future__ import annotations

import asyncio
from urllib.parse import parse_qs, urlsplit

import pytest
from backend import VerificationBackend
from server_harness import BACKEND_USERS, EXACT_401_BODY, SERVER_FIXED_KEY

from strovik.command_line import package_version
from strovik.mcp.app import build_app
from strovik.mcp.asgi import SessionBinding, SseStreamSend

KEY = SERVER_FIXED_KEY


class Recorder:
    """Sits where the gate hands requests on, and remembers every scope that got through."""

    def __init__(self, app):
        self.app = app
        self.scopes = []

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http":
            self.scopes.append(dict(scope))
        await self.app(scope, receive, send)


def http_scope(target: bytes, headers=(), method="GET"):
    path, _, query = target.partition(b"?")
    return {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": method,
        "scheme": "http",
        "path": path.decode(),
        "raw_path": path,
        "query_string": query,
        "root_path": "",
        "headers": [(b"host", b"127.0.0.1:8000"), *headers],
        "client": ("127.0.0.1", 50000),
        "server": ("127.0.0.1", 8000),
    }


async def call(app, scope, body=b""):
    sent = []
    requests = [{"type": "http.request", "body": body, "more_body": False}]

    async def receive():
        if requests:
            return requests.pop()
        await asyncio.Event().wait()  # the client never goes away on its own

    async def send(message):
        sent.append(message)

    await app(scope, receive, send)
    return sent


def status_and_body(sent):
    start = next(m for m in sent if m["type"] == "http.response.start")
    body = b"".join(m.get("body", b"") for m in sent if m["type"] == "http.response.body")
    return start["status"], dict(start["headers"]), body


@pytest.fixture
def fixed_app():
    app = build_app(api_key=KEY)
    recorder = Recorder(app.gate.app)
    app.gate.app = recorder
    return app, recorder


@pytest.mark.parametrize(
    "query",
    [b"api_key=\xff\xfe", b"api_key=" + KEY.encode() + b"\xff", b"\xc3(api_key=" + KEY.encode(), b"api_key=\xed\xa0\x80"],
    ids=["invalid-bytes", "key-then-invalid-byte", "broken-sequence-before-key", "encoded-surrogate"],
)
def test_non_utf8_query_is_refused_with_the_exact_401_and_never_reaches_the_app(fixed_app, query):
    app, recorder = fixed_app
    sent = asyncio.run(call(app, http_scope(b"/sse?" + query)))
    status, headers, body = status_and_body(sent)
    assert (status, body) == (401, EXACT_401_BODY)
    assert headers == {b"content-type": b"application/json", b"www-authenticate": b'Bearer realm="strovik-mcp"'}
    assert recorder.scopes == []


def test_non_utf8_query_falls_back_to_the_bearer_header(fixed_app):
    app, recorder = fixed_app
    scope = http_scope(b"/nowhere?api_key=\xff", [(b"authorization", b"Bearer " + KEY.encode())])
    status, _headers, _body = status_and_body(asyncio.run(call(app, scope)))
    assert status == 404
    assert [s["mcp_api_key"] for s in recorder.scopes] == [KEY]


async def drive_lifespan(app, between=None):
    inbox: asyncio.Queue = asyncio.Queue()
    sent = []

    async def receive():
        return await inbox.get()

    async def send(message):
        sent.append(message["type"])

    task = asyncio.create_task(app({"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}}, receive, send))
    await inbox.put({"type": "lifespan.startup"})
    while "lifespan.startup.complete" not in sent and not task.done():
        await asyncio.sleep(0.01)
    if between is not None:
        await between()
    await inbox.put({"type": "lifespan.shutdown"})
    await asyncio.wait_for(task, 30)
    return sent


INITIALIZE = (
    b'{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",'
    b'"capabilities":{},"clientInfo":{"name":"test","version":"1"}}}'
)


def test_lifespan_passes_the_gate(fixed_app):
    app, recorder = fixed_app

    async def streamable_request():
        # the streamable transport refuses to work unless the lifespan started its manager
        scope = http_scope(
            b"/mcp?api_key=" + KEY.encode(),
            [(b"content-type", b"application/json"), (b"accept", b"application/json, text/event-stream")],
            method="POST",
        )
        sent = await call(app, scope, INITIALIZE)
        status, _headers, body = status_and_body(sent)
        assert status == 200
        assert b'"serverInfo"' in body and b'"strovik-mcp"' in body
        assert f'"version":"{package_version()}"'.encode() in body

    assert asyncio.run(drive_lifespan(app, streamable_request)) == [
        "lifespan.startup.complete",
        "lifespan.shutdown.complete",
    ]
    assert len(recorder.scopes) == 1


def test_lifespan_shutdown_closes_the_verify_pools_connections():
    backend = VerificationBackend(BACKEND_USERS).start()
    try:
        key = next(iter(BACKEND_USERS))
        app = build_app(auth_verify_url=backend.url)

        async def one_request():
            sent = await call(app, http_scope(b"/nowhere?api_key=" + key.encode()))
            assert status_and_body(sent)[0] == 404
            assert len(backend._connections) == 1  # kept alive for the next check

        async def scenario():
            await drive_lifespan(app, one_request)
            for _ in range(500):
                if not backend._connections:
                    break
                await asyncio.sleep(0.01)

        asyncio.run(scenario())
        assert backend._connections == set()
        assert backend.calls_for(key) == 1
    finally:
        backend.stop()


class _Sink:
    def __init__(self):
        self.messages = []

    async def __call__(self, message):
        self.messages.append(message)


ODD_KEYS = ["plain-key", "with space+plus&amp=eq", "ключ-é-🔑", "per%cent/slash?q#h"]


@pytest.mark.parametrize("key", ODD_KEYS)
def test_sse_endpoint_event_carries_the_query_key_back_exactly(key):
    sink = _Sink()
    forward = SseStreamSend(sink, key)
    event = b"event: endpoint\r\ndata: /messages/?session_id=0123456789abcdef0123456789abcdef\r\n\r\n"

    async def stream():
        await forward({"type": "http.response.start", "status": 200, "headers": []})
        await forward({"type": "http.response.body", "body": event, "more_body": True})
        await forward({"type": "http.response.body", "body": event, "more_body": True})

    asyncio.run(stream())
    first, second = (m["body"].decode() for m in sink.messages[1:])
    endpoint = first.split("data: ")[1].split("\r\n")[0]
    query = parse_qs(urlsplit(endpoint).query)
    assert query == {"session_id": ["0123456789abcdef0123456789abcdef"], "api_key": [key]}
    # only the first endpoint event is rewritten
    assert second == event.decode()


def test_sse_stream_drops_messages_after_the_response_is_complete():
    sink = _Sink()
    forward = SseStreamSend(sink, None)

    async def stream():
        await forward({"type": "http.response.start", "status": 200, "headers": []})
        await forward({"type": "http.response.body", "body": b"data: x\r\n\r\n", "more_body": True})
        await forward({"type": "http.response.body", "body": b"", "more_body": False})
        # what the SDK's SSE route sends once the stream has ended
        await forward({"type": "http.response.start", "status": 200, "headers": []})
        await forward({"type": "http.response.body", "body": b""})

    asyncio.run(stream())
    assert [m["type"] for m in sink.messages] == ["http.response.start", "http.response.body", "http.response.body"]


@pytest.mark.parametrize(
    ("scope_extra", "bound"),
    [({"mcp_api_key": "k1"}, True), ({}, False), ({"mcp_api_key": None}, False)],
    ids=["admitted", "not-admitted", "no-key"],
)
def test_session_binding_names_only_admitted_callers(scope_extra, bound):
    seen = []

    async def app(scope, receive, send):
        seen.append(scope.get("user"))

    scope = {**http_scope(b"/messages/"), **scope_extra}
    asyncio.run(SessionBinding(app)(scope, None, None))
    assert (seen[0] is not None) is bound
    if bound:
        assert "k1" not in repr(seen[0].access_token)


def test_session_binding_tells_keys_apart_and_recognises_the_same_key():
    users = []

    async def app(scope, receive, send):
        users.append(scope["user"].access_token.client_id)

    for key in ("k1", "k2", "k1"):
        asyncio.run(SessionBinding(app)({**http_scope(b"/mcp"), "mcp_api_key": key}, None, None))
    assert users[0] == users[2] != users[1]
