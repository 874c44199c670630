"""The ASGI layers between the API-key gate and the MCP application, and the paths they serve.

A request the gate admitted passes :class:`SessionBinding` (the caller named to the SDK,
an SSE client's key carried into its message endpoint) and then :class:`HostCheck` (only
the Host and Origin names this server answers to) before it reaches the MCP routes.
"""

from __future__ import annotations

import hashlib
import logging
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING
from urllib.parse import quote

from strovik.mcp.redaction import query_api_key

if TYPE_CHECKING:
    from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser
    from starlette.types import ASGIApp, Message, Receive, Scope, Send

# The URL layout of the server: SSE (a stream plus a message endpoint) and streamable HTTP.
SSE_PATH = "/sse"
MESSAGE_PATH = "/messages/"
STREAMABLE_HTTP_PATH = "/mcp"

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "::1")

_log = logging.getLogger("strovik.mcp.server")


def key_digest(key: str) -> str:
    """SHA-256 of a key, for places that must tell keys apart without holding them."""
    return hashlib.sha256(key.encode("utf-8", "surrogatepass")).hexdigest()


class SessionBinding:
    """ASGI layer between the gate and the MCP app, for requests the gate admitted.

    * It names the caller to the SDK (``scope["user"]``, from a SHA-256 of the key),
      so that an MCP session opened with one key cannot be driven with another: the
      SDK answers a message for someone else's session as if the session did not
      exist.
    * An SSE client that gave its key as a query parameter is told to post its
      messages to an endpoint that carries the same parameter. The SDK's endpoint
      holds only the session id, and the client would lose its key on the way.
    * When an SSE stream has ended, the SDK's route still tries to send a second,
      empty response; that message is dropped instead of failing the request.
    """

    def __init__(self, app: ASGIApp, sse_path: str = SSE_PATH, route: str | None = None) -> None:
        self.app = app
        self.sse_path = sse_path
        # The worker's route (strovik.mcp.routing), carried in the message endpoint too.
        self.route = route

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        key = scope.get("mcp_api_key") if scope["type"] == "http" else None
        if not isinstance(key, str):
            await self.app(scope, receive, send)
            return
        scope["user"] = _principal(key)
        if scope.get("method") == "GET" and scope.get("path") == self.sse_path:
            query_key = query_api_key(scope.get("query_string", b""))
            send = SseStreamSend(send, key if query_key == key else None, self.route)
        await self.app(scope, receive, send)


def _principal(key: str) -> AuthenticatedUser:
    from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser
    from mcp.server.auth.provider import AccessToken

    digest = key_digest(key)
    return AuthenticatedUser(AccessToken(token=digest, client_id="key-" + digest[:32], scopes=[]))


_ENDPOINT_EVENT_RE = re.compile(rb"event: ?endpoint\r?\ndata: ?[^\r\n]*?\?session_id=[0-9a-fA-F]+")


class SseStreamSend:
    """``send`` of one SSE stream response.

    Appends ``&api_key=...`` to the endpoint event when a key is given, and
    ``&worker=...`` when a worker route is, and drops whatever is sent after the
    response is complete.
    """

    __slots__ = ("_send", "_suffix", "_complete")

    def __init__(self, send: Send, key: str | None, route: str | None = None) -> None:
        self._send = send
        suffix = b"" if key is None else b"&api_key=" + quote(key, safe="").encode("ascii")
        if route is not None:
            suffix += b"&worker=" + quote(route, safe="").encode("ascii")
        self._suffix: bytes | None = suffix or None
        self._complete = False

    async def __call__(self, message: Message) -> None:
        if self._complete:
            return
        if message.get("type") == "http.response.body":
            if not message.get("more_body", False):
                self._complete = True
            if self._suffix is not None:
                body = message.get("body", b"")
                match = _ENDPOINT_EVENT_RE.search(body)
                if match:
                    end = match.end()
                    message = {**message, "body": body[:end] + self._suffix + body[end:]}
                    self._suffix = None
        await self._send(message)


class HostCheck:
    """ASGI layer that admits only the Host (and browser Origin) names this server answers to.

    Listening on a loopback address, the loopback names are admitted with any port, which
    keeps a web page from reaching the server through DNS rebinding. Each
    ``allowed_hosts`` name is admitted as it is and with any port (a name that gives a
    port admits only that port), in ``Origin`` over http and https too. ``*`` admits
    any Host. Listening elsewhere with no ``allowed_hosts``, every Host is admitted.

    A refused request gets 421 (Host) or 403 (Origin) and is one warning line in the
    log. The MCP SDK's own check of the same headers is turned off, since it fails an
    SSE request with a traceback after answering it.
    """

    def __init__(self, app: ASGIApp, listen_host: str, allowed_hosts: Sequence[str] = ()) -> None:
        self.app = app
        names = list(dict.fromkeys(allowed_hosts))
        if listen_host in LOOPBACK_HOSTS:
            names += ["127.0.0.1", "localhost", "[::1]"]
        self.enabled = bool(names) and "*" not in names
        self._exact = {name.lower() for name in names if _has_port(name)}
        self._any_port = {name.lower() for name in names if not _has_port(name)}

    def allows_host(self, host: str) -> bool:
        host = host.lower()
        if host in self._exact or host in self._any_port:
            return True
        name, sep, port = host.rpartition(":")
        return bool(sep) and port.isdigit() and name in self._any_port

    def allows_origin(self, origin: str) -> bool:
        scheme, sep, rest = origin.partition("://")
        return bool(sep) and scheme.lower() in ("http", "https") and self.allows_host(rest)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if self.enabled and scope["type"] == "http":
            host = origin = None
            for name, value in scope.get("headers", ()):
                if name == b"host":
                    host = value.decode("latin-1")
                elif name == b"origin":
                    origin = value.decode("latin-1")
            if host is None or not self.allows_host(host):
                return await self._refuse(send, 421, "Host", host)
            if origin is not None and not self.allows_origin(origin):
                return await self._refuse(send, 403, "Origin", origin)
        await self.app(scope, receive, send)

    @staticmethod
    async def _refuse(send: Send, status: int, header: str, value: str | None) -> None:
        _log.warning("refused a request with %s %r: not an allowed host (see --allowed-host)", header, value)
        body = f"Invalid {header} header".encode()
        headers = [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", str(len(body)).encode())]
        await send({"type": "http.response.start", "status": status, "headers": headers})
        await send({"type": "http.response.body", "body": body})


def _has_port(name: str) -> bool:
    _host, sep, port = name.rpartition(":")
    return bool(sep) and port.isdigit() and not name.endswith("]")
