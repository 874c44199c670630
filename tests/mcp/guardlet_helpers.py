"""Helpers shared by the guardlet tests: ASGI parts that record what the gate does, hand driving of its
coroutines, a verification backend served over real HTTP on 127.0.0.1, and a real uvicorn server."""

from __future__ import annotations

import asyncio
import contextlib
import http.server
import importlib
import json
import select
import socket
import threading
import time
import traceback
import urllib.parse
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable

BODY_PREFIX = b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"'
BODY_SUFFIX = b'"}'
DEFAULT_BODY = BODY_PREFIX + b"invalid_api_key" + BODY_SUFFIX
START_401 = {
    "type": "http.response.start",
    "status": 401,
    "headers": [(b"content-type", b"application/json"), (b"www-authenticate", b'Bearer realm="strovik-mcp"')],
}
CLOSING = {"type": "http.response.body", "body": b"", "more_body": False}
LOGGER = "strovik.mcp"


def guardlet_module():
    return importlib.import_module("strovik.mcp.guardlet")


def context_var():
    return importlib.import_module("strovik.mcp.context").mcp_request_ctx


def finish(coro: Any) -> Any:
    """Resume a coroutine that must run to its end in one step; return its result."""
    try:
        yielded = coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise AssertionError(f"coroutine suspended unexpectedly, yielding {yielded!r}")


def tb_names(exc: BaseException) -> list[str]:
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


def http_scope(query: bytes = b"", headers: list | None = None, **extra: Any) -> dict:
    scope = {"type": "http", "query_string": query, "headers": list(headers or [])}
    scope.update(extra)
    return scope


def bearer(key: str) -> tuple[bytes, bytes]:
    return (b"authorization", b"Bearer " + key.encode())


async def receive() -> dict:
    return {"type": "http.request", "body": b"", "more_body": False}


class Recorder:
    """ASGI send callable recording every message. ``fail_at`` maps a call index (0-based) to the exception
    that call raises after recording its message. The awaited value is ``result``."""

    def __init__(self, fail_at: dict[int, BaseException] | None = None, result: Any = None):
        self.messages: list[dict] = []
        self.fail_at = dict(fail_at or {})
        self.result = result

    async def __call__(self, message: dict) -> Any:
        index = len(self.messages)
        self.messages.append(message)
        if index in self.fail_at:
            raise self.fail_at[index]
        return self.result

    @property
    def types(self) -> list[str]:
        return [message.get("type") for message in self.messages]


@dataclass
class Call:
    scope: dict
    receive: Any
    send: Any
    ctx: Any
    scope_copy: dict = field(default_factory=dict)


class App:
    """ASGI application recording each call (with the request context value seen during it) and then
    running ``behaviour`` if one was given."""

    def __init__(self, behaviour: Callable[[dict, Any, Any], Awaitable[Any]] | None = None):
        self.calls: list[Call] = []
        self.behaviour = behaviour

    async def __call__(self, scope: dict, receive: Any, send: Any) -> Any:
        ctx_module = importlib.import_module("strovik.mcp.context")
        var = getattr(ctx_module, "mcp_request_ctx", None)
        ctx = var.get(None) if var is not None else None
        self.calls.append(Call(scope, receive, send, ctx, dict(scope)))
        if self.behaviour is not None:
            return await self.behaviour(scope, receive, send)
        return "app result"


# --- a verification backend on 127.0.0.1 --------------------------------------------------------------

VALID_USER = {"valid": True, "user_id": 7, "email": "e7@example.com", "plan": "pro", "nested": {"a": [1, 2]}}

# key -> (status, body bytes); the key that a request carries chooses the answer
ANSWERS: dict[str, tuple[int, bytes]] = {
    "k-valid": (200, json.dumps(VALID_USER).encode()),
    "k-valid-string-false": (200, b'{"valid": "false", "user_id": 8}'),
    "k-valid-number": (200, b'{"valid": 2, "user_id": 9}'),
    "k-valid-list": (200, b'{"valid": [0], "user_id": 10}'),
    "k-valid-zero": (200, b'{"valid": 0, "user_id": 11}'),
    "k-valid-false": (200, b'{"valid": false, "user_id": 12}'),
    "k-valid-null": (200, b'{"valid": null}'),
    "k-valid-empty-string": (200, b'{"valid": ""}'),
    "k-valid-empty-object": (200, b'{"valid": {}}'),
    "k-no-valid": (200, b'{"user_id": 13, "email": "x"}'),
    "k-empty-object": (200, b"{}"),
    "k-array": (200, b'[{"valid": true}]'),
    "k-null": (200, b"null"),
    "k-string": (200, b'"valid"'),
    "k-number": (200, b"1"),
    "k-garbage": (200, b"<html>not json</html>"),
    "k-empty-body": (200, b""),
    "k-201": (201, json.dumps(VALID_USER).encode()),
    "k-204": (204, b""),
    "k-401": (401, json.dumps(VALID_USER).encode()),
    "k-403": (403, json.dumps(VALID_USER).encode()),
    "k-404": (404, b'{"valid": true}'),
    "k-500": (500, b'{"valid": true}'),
}

HANG_KEY = "k-hang"
ECHO_KEY_PREFIX = "k-echo-"  # the backend echoes the key into a malformed status line
HANG_LIMIT = 5.0


@dataclass
class Seen:
    method: str
    path: str
    query: dict[str, list[str]]
    headers: list[tuple[str, str]]
    client: tuple[str, int]
    body: bytes

    def header(self, name: str) -> list[str]:
        return [value for key, value in self.headers if key.lower() == name.lower()]


class VerifyBackend:
    """A key-verification endpoint served by ``http.server`` in a thread, on 127.0.0.1 only."""

    def __init__(self) -> None:
        self.seen: list[Seen] = []
        self.hang_started = threading.Event()
        self.hang_client_closed = threading.Event()
        self._stopping = threading.Event()
        backend = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, format: str, *args: Any) -> None:  # keep test output quiet
                pass

            def do_GET(self) -> None:
                backend._handle(self)

            def do_POST(self) -> None:
                backend._handle(self)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    @property
    def port(self) -> int:
        return self.server.server_address[1]

    def url(self, path: str = "/v1/mcp/verify-key") -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def start(self) -> "VerifyBackend":
        self.thread.start()
        return self

    def close(self) -> None:
        self._stopping.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)

    def _handle(self, handler: http.server.BaseHTTPRequestHandler) -> None:
        split = urllib.parse.urlsplit(handler.path)
        length = int(handler.headers.get("content-length") or 0)
        body = handler.rfile.read(length) if length else b""
        seen = Seen(
            method=handler.command,
            path=split.path,
            query=urllib.parse.parse_qs(split.query, keep_blank_values=True),
            headers=list(handler.headers.items()),
            client=handler.client_address,
            body=body,
        )
        self.seen.append(seen)
        key = (seen.query.get("api_key") or [""])[0]
        if key == HANG_KEY:
            self._hang(handler)
            return
        if key.startswith(ECHO_KEY_PREFIX):
            handler.close_connection = True
            handler.wfile.write(b"HTTP/1.1 abc " + key.encode() + b"\r\n\r\n")
            return
        status, payload = ANSWERS.get(key, (403, b'{"valid": false}'))
        handler.send_response(status)
        if status != 204:
            handler.send_header("content-type", "application/json")
            handler.send_header("content-length", str(len(payload)))
        handler.end_headers()
        if status != 204:
            handler.wfile.write(payload)

    def _hang(self, handler: http.server.BaseHTTPRequestHandler) -> None:
        """Answer nothing; note when the client gives up and closes the connection."""
        handler.close_connection = True
        self.hang_started.set()
        sock = handler.connection
        deadline = time.monotonic() + HANG_LIMIT
        while time.monotonic() < deadline and not self._stopping.is_set():
            readable, _, _ = select.select([sock], [], [], 0.05)
            if readable:
                try:
                    data = sock.recv(1, socket.MSG_PEEK)
                except OSError:
                    data = b""
                if data == b"":
                    self.hang_client_closed.set()
                    return


def unused_port() -> int:
    """A port on 127.0.0.1 with nothing listening (bound and released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


# --- a real uvicorn server ----------------------------------------------------------------------------


@contextlib.contextmanager
def uvicorn_server(app: Any, **config: Any):
    """Serve ``app`` with uvicorn on 127.0.0.1 (a free port) in a thread; yield the base URL."""
    import uvicorn

    cfg = uvicorn.Config(app, host="127.0.0.1", port=0, log_level="critical", access_log=False,
                         http="h11", ws="none", **config)
    server = uvicorn.Server(cfg)
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            raise RuntimeError("uvicorn did not start")
        time.sleep(0.01)
    port = server.servers[0].sockets[0].getsockname()[1]
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        thread.join(20)


def run(awaitable: Awaitable[Any]) -> Any:
    """Await on a fresh asyncio event loop."""

    async def main() -> Any:
        return await awaitable

    return asyncio.run(main())
