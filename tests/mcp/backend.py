"""A small, real key-verification backend for the server's tests.

It listens on 127.0.0.1, answers ``GET /v1/mcp/verify-key`` the way the STROVA
backend does (status 200 and {"valid": true, "user_id": ..., "email": ...} for a
known key) and records every request it gets. Some keys make it misbehave on
purpose: see ``BEHAVIOURS``.
"""

from __future__ import annotations

import json
import socket
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

VERIFY_PATH = "/v1/mcp/verify-key"

# key -> what the backend does for it instead of looking the key up.
BEHAVIOURS = {
    "garbage-key": "garbage",  # 200 with a body that is not JSON
    "array-key": "array",  # 200 with a JSON array
    "null-key": "null",  # 200 with JSON null
    "error-key": "status500",  # 500 with a JSON object that claims validity
    "created-key": "status201",  # 201 with a JSON object that claims validity
    "invalid-key": "invalid",  # 200 with {"valid": false}
    "zero-key": "zero",  # 200 with {"valid": 0}
    "hang-key": "hang",  # no answer until released (or a bounded wait ends)
}


@dataclass(frozen=True)
class Seen:
    """One request as the backend received it."""

    path: str
    query_keys: tuple[str, ...]
    header_key: str | None
    client_port: int


class VerificationBackend:
    """Threaded HTTP/1.1 server (keep-alive) on 127.0.0.1; start, stop and start again on one port."""

    def __init__(self, users: dict[str, tuple[object, object]] | None = None, *, delay: float = 0.0) -> None:
        self.users = dict(users or {})
        self.delay = delay
        self.hang_limit = 30.0
        self.release = threading.Event()
        self.hanging = threading.Semaphore(0)
        self._lock = threading.Lock()
        self._seen: list[Seen] = []
        self._connections: set[socket.socket] = set()
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self.port = 0

    # -- life cycle

    def start(self) -> VerificationBackend:
        backend = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def setup(self) -> None:
                super().setup()
                with backend._lock:
                    backend._connections.add(self.connection)

            def finish(self) -> None:
                with backend._lock:
                    backend._connections.discard(self.connection)
                super().finish()

            def log_message(self, format: str, *args: object) -> None:
                pass

            def do_GET(self) -> None:
                backend._answer(self)

        server = ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        server.daemon_threads = True
        self.port = server.server_address[1]
        self._server = server
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stop listening; the port then refuses connections until ``start`` again."""
        self.release.set()
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        # Kept-alive connections would go on being served by their threads.
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if self._thread is not None:
            self._thread.join(10)
            self._thread = None
        self.release = threading.Event()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}{VERIFY_PATH}"

    # -- what was seen

    def seen(self) -> list[Seen]:
        with self._lock:
            return list(self._seen)

    def calls_for(self, key: str) -> int:
        return sum(1 for request in self.seen() if request.header_key == key)

    def reset(self) -> None:
        with self._lock:
            self._seen.clear()

    # -- answering

    def _answer(self, handler: BaseHTTPRequestHandler) -> None:
        parts = urlsplit(handler.path)
        query_keys = tuple(parse_qs(parts.query, keep_blank_values=True).get("api_key", []))
        header_key = handler.headers.get("X-MCP-API-Key")
        with self._lock:
            self._seen.append(Seen(parts.path, query_keys, header_key, handler.client_address[1]))
        if self.delay:
            time.sleep(self.delay)
        key = query_keys[0] if query_keys else None
        behaviour = BEHAVIOURS.get(key or "")
        if parts.path != VERIFY_PATH:
            return self._send(handler, 404, {"detail": "not found"})
        if behaviour == "hang":
            self.hanging.release()
            self.release.wait(self.hang_limit)
            return self._send(handler, 500, {"valid": False})
        if behaviour == "garbage":
            return self._send_raw(handler, 200, b"<html>definitely not json", "text/html")
        if behaviour == "array":
            return self._send(handler, 200, [{"valid": True}])
        if behaviour == "null":
            return self._send(handler, 200, None)
        if behaviour == "status500":
            return self._send(handler, 500, {"valid": True, "user_id": 0, "email": "x"})
        if behaviour == "status201":
            return self._send(handler, 201, {"valid": True, "user_id": 0, "email": "x"})
        if behaviour == "invalid":
            return self._send(handler, 200, {"valid": False, "user_id": 0, "email": "x"})
        if behaviour == "zero":
            return self._send(handler, 200, {"valid": 0, "user_id": 0, "email": "x"})
        if key is not None and key in self.users and header_key == key:
            user_id, email = self.users[key]
            return self._send(handler, 200, {"valid": True, "user_id": user_id, "email": email, "plan": "pro"})
        return self._send(handler, 401, {"valid": False})

    @staticmethod
    def _send(handler: BaseHTTPRequestHandler, status: int, payload: object) -> None:
        VerificationBackend._send_raw(handler, status, json.dumps(payload).encode(), "application/json")

    @staticmethod
    def _send_raw(handler: BaseHTTPRequestHandler, status: int, body: bytes, content_type: str) -> None:
        try:
            handler.send_response(status)
            handler.send_header("Content-Type", content_type)
            handler.send_header("Content-Length", str(len(body)))
            handler.end_headers()
            handler.wfile.write(body)
        except OSError:
            pass  # the client gave up (a cancelled or timed-out check)
