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
    "drip-key": "drip",  # 200 and a body of 1000 bytes, one byte every 50 ms
    "flood-length-key": "flood-length",  # 200 declaring a 300 MB body, sent until the client leaves
    "flood-chunked-key": "flood-chunked",  # 200 with a chunked body that never ends
}
# key "size-N": 200 with a valid answer padded with spaces to exactly N bytes.
SIZE_PREFIX = "size-"


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
        # Requests on a kept-alive connection to drop unanswered, as a backend whose idle
        # timeout fires just as a request arrives does.
        self.drop_reused = 0
        # For each flood or drip answer: the bytes of body written before the client went away.
        self.cut_after: list[int] = []
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
                reused = getattr(self, "served", 0) > 0
                self.served = getattr(self, "served", 0) + 1
                with backend._lock:
                    drop = reused and backend.drop_reused > 0
                    backend.drop_reused -= drop
                if drop:
                    self.close_connection = True
                    return
                backend._answer(self)

        class Server(ThreadingHTTPServer):
            # The default backlog of 5 drops connections of a burst, which then wait for
            # TCP's retransmission (1 s, 3 s, ...) and can run into a check's deadline.
            request_queue_size = 128

        server = Server(("127.0.0.1", self.port), Handler)
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
        self.drop_connections()
        if self._thread is not None:
            self._thread.join(10)
            self._thread = None
        self.release = threading.Event()

    def drop_connections(self) -> None:
        """Close every kept-alive connection, as a backend does with idle ones; go on listening."""
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}{VERIFY_PATH}"

    # -- what was seen

    def seen(self) -> list[Seen]:
        with self._lock:
            return list(self._seen)

    def calls_for(self, key: str) -> int:
        return sum(1 for request in self.seen() if request.header_key == key)

    def wait_cut(self, limit: float = 15.0) -> int:
        """Bytes of body the last drip or flood answer wrote before the client went away."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            with self._lock:
                if self.cut_after:
                    return self.cut_after[-1]
            time.sleep(0.02)
        raise AssertionError("the backend is still sending: the client never went away")

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
        if behaviour in ("drip", "flood-length", "flood-chunked"):
            return self._stream(handler, behaviour)
        if key is not None and key.startswith(SIZE_PREFIX):
            body = json.dumps({"valid": True, "user_id": 1, "email": "big@example.test"}).encode()
            body = body.ljust(int(key[len(SIZE_PREFIX):]), b" ")
            return self._send_raw(handler, 200, body, "application/json")
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

    def _stream(self, handler: BaseHTTPRequestHandler, behaviour: str) -> None:
        """A body sent slowly or without end, bounded by ``hang_limit``; records where it was cut."""
        sent = 0
        deadline = time.monotonic() + self.hang_limit
        try:
            handler.send_response(200)
            handler.send_header("Content-Type", "application/json")
            if behaviour == "flood-chunked":
                handler.send_header("Transfer-Encoding", "chunked")
            else:
                handler.send_header("Content-Length", "1000" if behaviour == "drip" else str(300 * 1024 * 1024))
            handler.end_headers()
            while time.monotonic() < deadline:
                if behaviour == "drip":
                    handler.wfile.write(b" ")
                    handler.wfile.flush()
                    sent += 1
                    if sent == 1000 or self.release.wait(0.05):
                        return
                elif behaviour == "flood-length":
                    handler.wfile.write(b" " * 65536)
                    sent += 65536
                else:
                    handler.wfile.write(b"10000\r\n" + b" " * 65536 + b"\r\n")
                    sent += 65536
        except OSError:
            handler.close_connection = True
        finally:
            with self._lock:
                self.cut_after.append(sent)

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
