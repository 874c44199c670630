"""Sessions that find their worker: routes in session ids, and requests passed between workers.

With several workers on one listening socket, the kernel hands each connection to any of
them, but an MCP session lives in one worker's memory: an SSE client's stream, and a
streamable-HTTP session of the handshake-era protocol versions. So every session names
its worker, by a *route* ``[NODE.]PID`` (the host's ``--node`` name, then the worker's
process id):

* SSE: the message endpoint of the endpoint event carries ``&worker=ROUTE``;
* streamable HTTP: the session id the client gets is ``ROUTE.ID``, where ID is the SDK's.

:class:`Router`, the outermost layer of each worker, reads the route of every request. A
request for a session of this worker goes on (the streamable-HTTP session id given back
to the SDK as it made it); one for another worker of this host is passed to that
worker's private Unix socket, untouched, and the answer streamed back; one for another
host is answered 404, since only a proxy in front of the hosts can route it (the README
gives the nginx rule, which reads the same route). Requests without a route (opening
requests, the sessionless protocol version, ``--stateless-http``) are served where they
land.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import re
from collections.abc import AsyncIterator
from dataclasses import dataclass
from typing import TYPE_CHECKING
from urllib.parse import parse_qs

from strovik.mcp.asgi import MESSAGE_PATH, STREAMABLE_HTTP_PATH

if TYPE_CHECKING:
    import aiohttp
    from starlette.types import ASGIApp, Message, Receive, Scope, Send

WORKER_PARAM = "worker"
SESSION_HEADER = b"mcp-session-id"
NODE_RE = re.compile(r"[A-Za-z0-9_-]{1,64}")
# Headers that belong to one connection, not to the request or answer passed on.
_HOP_BY_HOP = frozenset(
    (b"connection", b"keep-alive", b"transfer-encoding", b"te", b"upgrade", b"proxy-connection", b"content-length")
)

_log = logging.getLogger("strovik.mcp.server")


@dataclass(frozen=True)
class Routes:
    """This host's part in session routes: its ``node`` name (None: one host) and where its
    workers listen for requests passed between them (None: one worker, nothing to pass)."""

    node: str | None = None
    socket_dir: str | None = None

    def route(self, pid: int) -> str:
        return f"{self.node}.{pid}" if self.node else str(pid)

    def socket_path(self, pid: int) -> str:
        assert self.socket_dir is not None
        return os.path.join(self.socket_dir, f"{pid}.sock")

    def owner(self, route: str) -> int | None:
        """The process id of this host's worker that ``route`` names; None for another host or none."""
        node, _sep, pid = route.rpartition(".")
        if (node or None) != self.node or not pid.isdigit() or len(pid) > 10:
            return None
        return int(pid)


class Router:
    """Outermost layer of a worker: serves its own sessions, passes on the others' (see module doc)."""

    def __init__(self, app: ASGIApp, routes: Routes, pid: int | None = None) -> None:
        self.app = app
        self.routes = routes
        self.pid = os.getpid() if pid is None else pid
        self.route = routes.route(self.pid)
        self._prefix = self.route.encode("ascii") + b"."
        self._forwarder = Forwarder(routes)

    async def aclose(self) -> None:
        await self._forwarder.aclose()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        path = scope["path"]
        if path == STREAMABLE_HTTP_PATH:
            await self._streamable(scope, receive, send)
        elif path == MESSAGE_PATH:
            values = parse_qs(scope.get("query_string", b"").decode("latin-1")).get(WORKER_PARAM)
            await self._to_owner(values[0] if values else None, scope, receive, send)
        else:
            await self.app(scope, receive, send)

    async def _streamable(self, scope: Scope, receive: Receive, send: Send) -> None:
        headers = scope["headers"]
        for index, (name, value) in enumerate(headers):
            if name == SESSION_HEADER:
                if value.startswith(self._prefix):
                    local = [*headers[:index], (name, value[len(self._prefix):]), *headers[index + 1:]]
                    await self.app({**scope, "headers": local}, receive, self._naming(send))
                    return
                route, sep, _id = value.decode("latin-1").rpartition(".")
                await self._to_owner(route if sep else None, scope, receive, send)
                return
        await self.app(scope, receive, self._naming(send))

    def _naming(self, send: Send) -> Send:
        """``send`` that puts this worker's route in front of a session id the SDK gives out."""
        prefix = self._prefix

        async def naming_send(message: Message) -> None:
            if message["type"] == "http.response.start":
                headers = message.get("headers", ())
                if any(name.lower() == SESSION_HEADER for name, _value in headers):
                    named = [(n, prefix + v if n.lower() == SESSION_HEADER else v) for n, v in headers]
                    message = {**message, "headers": named}
            await send(message)

        return naming_send

    async def _to_owner(self, route: str | None, scope: Scope, receive: Receive, send: Send) -> None:
        if route is None or route == self.route:
            await self.app(scope, receive, send)
            return
        pid = self.routes.owner(route)
        if pid is None or self.routes.socket_dir is None:
            await _not_found(send, "the session is on another host; route its requests by their worker route")
            return
        await self._forwarder.forward(pid, scope, receive, send)


class Forwarder:
    """Passes a request to another worker of this host over its Unix socket, and streams the answer back.

    One kept-alive aiohttp session per worker it has passed requests to (aiohttp was
    chosen by measurement: ``benchmarks/bench_workers.py``, the "forwarded" rows).
    """

    def __init__(self, routes: Routes) -> None:
        self.routes = routes
        self._sessions: dict[int, aiohttp.ClientSession] = {}

    def _session(self, pid: int) -> aiohttp.ClientSession:
        import aiohttp

        session = self._sessions.get(pid)
        if session is None or session.closed:
            connector = aiohttp.UnixConnector(path=self.routes.socket_path(pid))
            session = aiohttp.ClientSession(
                connector=connector, auto_decompress=False, timeout=aiohttp.ClientTimeout(total=None),
                skip_auto_headers=("User-Agent", "Accept-Encoding"),
            )
            self._sessions[pid] = session
        return session

    async def forward(self, pid: int, scope: Scope, receive: Receive, send: Send) -> None:
        import aiohttp

        body = bytearray()
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return
            body += message.get("body", b"")
            if not message.get("more_body", False):
                break
        target = scope.get("raw_path") or scope["path"].encode("utf-8")
        if scope.get("query_string"):
            target += b"?" + scope["query_string"]
        headers = [(n.decode("latin-1"), v.decode("latin-1")) for n, v in scope["headers"] if n not in _HOP_BY_HOP]
        _log.debug("passing %s %s to worker %d", scope["method"], scope["path"], pid)
        session = self._session(pid)
        try:
            response = await session.request(
                scope["method"], "http://worker" + target.decode("latin-1"), headers=headers, data=bytes(body),
                allow_redirects=False,
            )
        except aiohttp.ClientConnectionError:
            # Its worker has ended (a restarted one has a new process id): the session is gone.
            await self._drop(pid)
            await _not_found(send, "Could not find session")
            return
        async with response:
            answer = [(n.lower(), v) for n, v in response.raw_headers if n.lower() not in _HOP_BY_HOP]
            length = response.headers.get("Content-Length")
            if length is not None:
                answer.append((b"content-length", length.encode("ascii")))
            await send({"type": "http.response.start", "status": response.status, "headers": answer})
            # A client that goes away ends the stream from the other worker too.
            copying = asyncio.ensure_future(_copy_body(response, send))
            leaving = asyncio.ensure_future(_disconnected(receive))
            try:
                await asyncio.wait((copying, leaving), return_when=asyncio.FIRST_COMPLETED)
            finally:
                leaving.cancel()
                if not copying.done():
                    copying.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await copying

    async def _drop(self, pid: int) -> None:
        session = self._sessions.pop(pid, None)
        if session is not None:
            await session.close()

    async def aclose(self) -> None:
        for pid in list(self._sessions):
            await self._drop(pid)


async def _copy_body(response: aiohttp.ClientResponse, send: Send) -> None:
    try:
        async for chunk in response.content.iter_any():
            await send({"type": "http.response.body", "body": chunk, "more_body": True})
    except (asyncio.IncompleteReadError, OSError):
        pass  # the other worker stopped mid-answer: end ours where it ended
    except Exception as exc:  # aiohttp's payload errors
        _log.info("a request passed to another worker ended early: %s", exc)
    await send({"type": "http.response.body", "body": b"", "more_body": False})


async def _disconnected(receive: Receive) -> None:
    while (await receive())["type"] != "http.disconnect":
        pass


async def _not_found(send: Send, text: str) -> None:
    body = text.encode()
    headers = [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", str(len(body)).encode())]
    await send({"type": "http.response.start", "status": 404, "headers": headers})
    await send({"type": "http.response.body", "body": body})


@contextlib.asynccontextmanager
async def private_listener(app: ASGIApp, path: str, http: str) -> AsyncIterator[None]:
    """Serve ``app`` on the Unix socket ``path`` too, for requests other workers pass here.

    A second uvicorn server on the same loop, without a lifespan of its own (the worker's
    one is running) and without signal handlers (the worker's server has them).
    """
    import uvicorn

    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)  # left by an earlier process of the same id
    config = uvicorn.Config(app, uds=path, lifespan="off", log_config=None, http=http, proxy_headers=False)
    # The worker that took the request logs it; set after construction, because a Config
    # made with access_log=False removes the access log's handlers process-wide.
    config.access_log = False
    config.load()
    server = uvicorn.Server(config)
    server.lifespan = config.lifespan_class(config)
    await server.startup()
    try:
        yield
    finally:
        server.should_exit = True
        await server.shutdown()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
