"""The strovik MCP server: an MCP server behind the API-key gate, run by uvicorn.

The MCP application comes from the official MCP Python SDK and speaks two transports
side by side: SSE (``GET /sse`` plus ``POST /messages/``) and streamable HTTP
(``/mcp``). Every HTTP request passes :class:`strovik.mcp.guardlet.ApiKeyGuardlet`
first; the key travels as the ``api_key`` query parameter or as an
``Authorization: Bearer`` header.

Keys stay out of the server's own output: uvicorn's access log shows ``api_key``
query values masked, and a filter on every log handler masks whatever else looks
like a key before a record is written (:mod:`strovik.mcp.redaction`).

In remote mode every request's key is checked by the backend through one kept-alive
connection pool (:mod:`strovik.mcp.verify_pool`); ``--verify-per-request-client``
uses the gate's own check instead, a new HTTP client per request.
"""

from __future__ import annotations

import argparse
import hashlib
import logging
import logging.config
import os
import re
import secrets
import signal
import socket
import sys
from collections.abc import MutableMapping, Sequence
from contextlib import asynccontextmanager
from typing import TYPE_CHECKING, Any
from urllib.parse import quote, urlsplit

from strovik.mcp.redaction import KeyRedactingFilter, key_preview, query_api_key

if TYPE_CHECKING:
    from starlette.types import ASGIApp, Receive, Scope, Send

PROG = "strovik-mcp"
SERVER_NAME = "strovik-mcp"
API_KEY_ENV = "STROVIK_MCP_API_KEY"
SSE_PATH = "/sse"
MESSAGE_PATH = "/messages/"
STREAMABLE_HTTP_PATH = "/mcp"
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000
# Seconds uvicorn waits for open streams (SSE) to end before cancelling them.
GRACEFUL_SHUTDOWN_SECONDS = 5

_log = logging.getLogger("strovik.mcp.server")


# --------------------------------------------------------------------------- keys


def key_digest(key: str) -> str:
    """SHA-256 of a key, for places that must tell keys apart without holding them."""
    return hashlib.sha256(key.encode("utf-8", "surrogatepass")).hexdigest()


def logging_config(level: str, known_keys: Sequence[str] = ()) -> dict[str, Any]:
    """The process's logging set-up: uvicorn's formats, one redacting filter on every handler.

    The HTTP client libraries stay at WARNING: at INFO they log each request URL,
    and a remote key check carries the key in its URL.
    """
    level = level.upper()
    redact = {"()": KeyRedactingFilter, "known_keys": list(known_keys)}
    return {
        "version": 1,
        "disable_existing_loggers": False,
        "filters": {"redact": redact},
        "formatters": {
            "default": {"()": "uvicorn.logging.DefaultFormatter", "fmt": "%(levelprefix)s %(name)s: %(message)s"},
            "access": {
                "()": "uvicorn.logging.AccessFormatter",
                "fmt": '%(levelprefix)s %(client_addr)s - "%(request_line)s" %(status_code)s',
            },
        },
        "handlers": {
            "default": {
                "class": "logging.StreamHandler",
                "formatter": "default",
                "filters": ["redact"],
                "stream": "ext://sys.stderr",
            },
            "access": {
                "class": "logging.StreamHandler",
                "formatter": "access",
                "filters": ["redact"],
                "stream": "ext://sys.stdout",
            },
        },
        "loggers": {
            "uvicorn": {"handlers": ["default"], "level": level, "propagate": False},
            "uvicorn.error": {"level": level},
            "uvicorn.access": {"handlers": ["access"], "level": level, "propagate": False},
            "httpx": {"level": "WARNING"},
            "httpcore": {"level": "WARNING"},
            "aiohttp": {"level": "WARNING"},
        },
        "root": {"handlers": ["default"], "level": level},
    }


# ------------------------------------------------------------------- MCP app


async def whoami() -> dict[str, Any]:
    """Tell who this server takes the caller to be.

    Returns the user id and e-mail address that the API-key gate admitted the
    calling request with (both null for a fixed key) and the key itself, masked.
    """
    from strovik.mcp.context import mcp_request_ctx

    current = mcp_request_ctx.get()
    if not current:
        return {"api_key": None, "user_id": None, "email": None}
    return {
        "api_key": key_preview(current.get("api_key")),
        "user_id": current.get("user_id"),
        "email": current.get("email"),
    }


def create_mcp_server() -> Any:
    """The MCP server with this package's tools."""
    from mcp.server.mcpserver import MCPServer

    server = MCPServer(
        SERVER_NAME,
        instructions="Tools of the strovik operations kit. Call whoami to see the identity the API key gives you.",
    )
    server.add_tool(whoami, name="whoami")
    return server


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

    def __init__(self, app: ASGIApp, sse_path: str = SSE_PATH) -> None:
        self.app = app
        self.sse_path = sse_path

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        key = scope.get("mcp_api_key") if scope["type"] == "http" else None
        if not isinstance(key, str):
            await self.app(scope, receive, send)
            return
        scope["user"] = _principal(key)
        if scope.get("method") == "GET" and scope.get("path") == self.sse_path:
            query_key = query_api_key(scope.get("query_string", b""))
            send = SseStreamSend(send, key if query_key == key else None)
        await self.app(scope, receive, send)


def _principal(key: str) -> Any:
    from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser
    from mcp.server.auth.provider import AccessToken

    digest = key_digest(key)
    return AuthenticatedUser(AccessToken(token=digest, client_id="key-" + digest[:32], scopes=[]))


_ENDPOINT_EVENT_RE = re.compile(rb"event: ?endpoint\r?\ndata: ?[^\r\n]*?\?session_id=[0-9a-fA-F]+")


class SseStreamSend:
    """``send`` of one SSE stream response.

    Appends ``&api_key=...`` to the endpoint event when a key is given, and drops
    whatever is sent after the response is complete.
    """

    __slots__ = ("_send", "_suffix", "_complete")

    def __init__(self, send: Send, key: str | None) -> None:
        self._send = send
        self._suffix = None if key is None else b"&api_key=" + quote(key, safe="").encode("ascii")
        self._complete = False

    async def __call__(self, message: MutableMapping[str, Any]) -> None:
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


class ServerApp:
    """The gated ASGI application and the parts a host or a test may need to reach."""

    def __init__(self, gate: Any, mcp_app: Any, mcp_server: Any, verify_pool: Any = None) -> None:
        self.gate = gate
        self.mcp_app = mcp_app
        self.mcp_server = mcp_server
        self.verify_pool = verify_pool

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self.gate(scope, receive, send)


LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "::1")


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


def build_app(
    *,
    api_key: str | None = None,
    auth_verify_url: str | None = None,
    per_request_client: bool = False,
    verify_cache_ttl: float = 0.0,
    outage_status: int = 401,
    host: str = DEFAULT_HOST,
    allowed_hosts: Sequence[str] = (),
) -> ServerApp:
    """Build the MCP app for both transports and wrap it in the API-key gate.

    In remote mode the gate is :class:`strovik.mcp.verify_pool.PooledApiKeyGuardlet`
    (one connection pool, coalesced and bounded checks, answers cached only for
    ``verify_cache_ttl`` > 0), unless ``per_request_client`` asks for the plain
    :class:`~strovik.mcp.guardlet.ApiKeyGuardlet` and its new client per check.
    """
    from starlette.applications import Starlette

    from strovik.mcp.guardlet import ApiKeyGuardlet

    from mcp.server.transport_security import TransportSecuritySettings

    mcp_server = create_mcp_server()
    security = TransportSecuritySettings(enable_dns_rebinding_protection=False)
    sse_app = mcp_server.sse_app(
        sse_path=SSE_PATH, message_path=MESSAGE_PATH, host=host, transport_security=security
    )
    http_app = mcp_server.streamable_http_app(
        streamable_http_path=STREAMABLE_HTTP_PATH, host=host, transport_security=security
    )
    pool = None
    if auth_verify_url and not per_request_client:
        from strovik.mcp.verify_pool import VerifyPool

        pool = VerifyPool(cache_ttl=verify_cache_ttl)

    @asynccontextmanager
    async def lifespan(_app: Any):
        try:
            async with mcp_server.session_manager.run():
                yield
        finally:
            if pool is not None:
                await pool.aclose()

    mcp_app = Starlette(routes=[*sse_app.routes, *http_app.routes], lifespan=lifespan)
    inner = SessionBinding(HostCheck(mcp_app, host, allowed_hosts))
    if pool is not None:
        from strovik.mcp.verify_pool import PooledApiKeyGuardlet

        pooled = PooledApiKeyGuardlet(
            inner, api_key=api_key, auth_verify_url=auth_verify_url, pool=pool, outage_status=outage_status
        )
        return ServerApp(pooled, mcp_app, mcp_server, pool)
    gate = ApiKeyGuardlet(inner, api_key=api_key, auth_verify_url=auth_verify_url)
    return ServerApp(gate, mcp_app, mcp_server)


# ----------------------------------------------------------------------- CLI


class UsageError(Exception):
    """A bad command line; its text is the one line shown to the user."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, no usage block
        raise UsageError(message)


def _positive_port(text: str) -> int:
    try:
        port = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid port {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"port {port} is out of range 0-65535")
    return port


def _ttl(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number of seconds {text!r}") from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("the cache time must be a finite number of seconds >= 0")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description=(
            "Serve the strovik MCP server over SSE (/sse) and streamable HTTP (/mcp), "
            "every request checked by its API key."
        ),
    )
    parser.add_argument("--host", default=DEFAULT_HOST, help="address to listen on (default: %(default)s)")
    parser.add_argument(
        "--port", type=_positive_port, default=DEFAULT_PORT, help="port to listen on, 0 for any free one (default: %(default)s)"
    )
    parser.add_argument(
        "--api-key",
        default=None,
        metavar="KEY",
        help=f"the one key every client must present (fixed-key mode); default: ${API_KEY_ENV}, "
        "else a random key generated and printed at start",
    )
    parser.add_argument(
        "--auth-verify-url",
        default=None,
        metavar="URL",
        help="STROVA backend address that verifies each key, e.g. https://host/v1/mcp/verify-key (remote mode)",
    )
    parser.add_argument(
        "--verify-per-request-client",
        action="store_true",
        help="remote mode: check each key with the gate's own check, a new HTTP client per request "
        "(slow; the default is one kept-alive connection pool)",
    )
    parser.add_argument(
        "--verify-pool",
        action="store_true",
        help="remote mode: the pooled check, which is the default (kept so that older command lines work)",
    )
    parser.add_argument(
        "--verify-cache-ttl",
        type=_ttl,
        default=None,
        metavar="SECONDS",
        help="remote mode: keep a positive answer this many seconds (default: no cache, every request is verified)",
    )
    parser.add_argument(
        "--verify-outage-status",
        type=int,
        choices=(401, 503),
        default=401,
        metavar="{401,503}",
        help="remote mode: status when the backend is unreachable, too slow or answers 5xx "
        "(default: %(default)s; 503 comes with Retry-After)",
    )
    parser.add_argument(
        "--allowed-host",
        action="append",
        default=[],
        metavar="NAME",
        help="a Host name clients may use (with any port), e.g. the name a reverse proxy is reached by; "
        "repeatable; '*' admits any Host",
    )
    parser.add_argument(
        "--forwarded-allow-ips",
        default=None,
        metavar="IPS",
        help="comma-separated proxy addresses whose X-Forwarded-For/-Proto headers are trusted, or '*' "
        "(uvicorn's option; default: $FORWARDED_ALLOW_IPS or 127.0.0.1)",
    )
    parser.add_argument(
        "--log-level",
        default="info",
        choices=["critical", "error", "warning", "info", "debug"],
        help="log level (default: %(default)s)",
    )
    return parser


class Settings:
    """The checked command line."""

    def __init__(self, args: argparse.Namespace, environ: dict[str, str]) -> None:
        explicit_key = args.api_key
        env_key = environ.get(API_KEY_ENV) or None
        url = args.auth_verify_url
        if url is not None:
            parts = urlsplit(url)
            if parts.scheme not in ("http", "https") or not parts.hostname:
                raise UsageError("--auth-verify-url must be an http:// or https:// URL with a host")
            if explicit_key is not None:
                raise UsageError("--api-key and --auth-verify-url exclude each other: in remote mode the backend decides")
        if explicit_key is not None and not explicit_key:
            raise UsageError("--api-key must not be empty")
        for given, option in (
            (args.verify_pool, "--verify-pool"),
            (args.verify_per_request_client, "--verify-per-request-client"),
            (args.verify_cache_ttl is not None, "--verify-cache-ttl"),
            (args.verify_outage_status != 401, "--verify-outage-status"),
        ):
            if given and url is None:
                raise UsageError(f"{option} needs --auth-verify-url")
        if args.verify_per_request_client:
            for given, option in (
                (args.verify_pool, "--verify-pool"),
                (args.verify_cache_ttl is not None, "--verify-cache-ttl"),
                (args.verify_outage_status != 401, "--verify-outage-status"),
            ):
                if given:
                    raise UsageError(f"{option} needs the pooled check, not --verify-per-request-client")
        for name in args.allowed_host:
            if not name or name != name.strip() or any(c in name for c in "/?#@ "):
                raise UsageError(f"--allowed-host takes a host name (with an optional :port), not {name!r}")

        if not args.host.strip():
            raise UsageError("--host must not be empty")
        self.host: str = args.host
        self.port: int = args.port
        self.auth_verify_url: str | None = url
        self.per_request_client: bool = args.verify_per_request_client
        self.verify_cache_ttl: float = args.verify_cache_ttl or 0.0
        self.outage_status: int = args.verify_outage_status
        self.allowed_hosts: list[str] = list(args.allowed_host)
        self.forwarded_allow_ips: str | None = args.forwarded_allow_ips
        self.log_level: str = args.log_level
        self.ignored_env_key = url is not None and env_key is not None
        self.generated_key = False
        if url is not None:
            self.api_key: str | None = None
        elif explicit_key is not None:
            self.api_key = explicit_key
        elif env_key is not None:
            self.api_key = env_key
        else:
            self.api_key = secrets.token_urlsafe(32)
            self.generated_key = True


def bind_socket(host: str, port: int) -> socket.socket:
    """Listen on host:port now, so that a taken port is reported before anything starts."""
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise UsageError(f"cannot resolve --host {host!r}: {exc.strerror}") from None
    family, kind, proto, _name, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(2048)
    except OSError as exc:
        sock.close()
        reason = exc.strerror or str(exc)
        raise UsageError(f"cannot listen on {_authority(host, port)}: {reason.lower()}") from None
    sock.set_inheritable(True)
    return sock


def _authority(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def serving_parts() -> tuple[str, str]:
    """uvicorn's event loop and HTTP parser: uvloop and httptools where they import, else asyncio and h11."""
    parts = []
    for fast, plain in (("uvloop", "asyncio"), ("httptools", "h11")):
        try:
            __import__(fast)
        except ImportError:
            parts.append(plain)
        else:
            parts.append(fast)
    return parts[0], parts[1]


def banner(settings: Settings, port: int, parts: tuple[str, str] = ("asyncio", "h11")) -> str:
    base = f"http://{_authority(settings.host, port)}"
    lines = [f"{PROG} serving MCP on {base} (SSE: {base}{SSE_PATH}, streamable HTTP: {base}{STREAMABLE_HTTP_PATH})"]
    lines.append(f"uvicorn with the {parts[0]} event loop and the {parts[1]} HTTP parser.")
    if settings.auth_verify_url is not None:
        if settings.per_request_client:
            how = "a new client per check"
        else:
            cache = f"answers kept {settings.verify_cache_ttl:g} s" if settings.verify_cache_ttl else "no cache"
            how = f"kept-alive pool, {cache}, outage answered {settings.outage_status}"
        lines.append(f"Remote mode: every key is verified by {settings.auth_verify_url} ({how}).")
        key_text = "<your key>"
    elif settings.generated_key:
        assert settings.api_key is not None
        lines.append("No --api-key, no --auth-verify-url: generated a random API key for this run:")
        lines.append(f"  {settings.api_key}")
        key_text = settings.api_key
    else:
        lines.append("Fixed-key mode: clients present the key you gave.")
        key_text = "<your key>"
    lines.append(f"Connect an MCP client (SSE) to:  {base}{SSE_PATH}?api_key={key_text}")
    lines.append(f"or send the header:  Authorization: Bearer {key_text}")
    return "\n".join(lines)


def _exit_on_sigterm(_signum: int, _frame: Any) -> None:
    raise SystemExit(0)


def _fail(message: str, code: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr, flush=True)
    return code


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``strovik-mcp``; returns the process exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        return 0


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        settings = Settings(args, dict(os.environ))
    except UsageError as exc:
        return _fail(str(exc), 2)
    try:
        import strovik.mcp.guardlet  # noqa: F401
    except ImportError as exc:
        return _fail(f"cannot load the API-key gate ({exc}); build it with: bash scripts/dev-build.sh", 1)
    for module, package in (("uvicorn", "uvicorn"), ("mcp", "mcp"), ("aiohttp", "aiohttp")):
        try:
            __import__(module)
        except ImportError as exc:
            return _fail(f"cannot import {module} ({exc}); install it with: pip install {package}", 1)
    try:
        sock = bind_socket(settings.host, settings.port)
    except UsageError as exc:
        return _fail(str(exc), 1)

    signal.signal(signal.SIGTERM, _exit_on_sigterm)
    known_keys = [settings.api_key] if settings.api_key else []
    logging.config.dictConfig(logging_config(settings.log_level, known_keys))
    if settings.ignored_env_key:
        _log.info("%s is ignored: remote mode lets the backend decide every key", API_KEY_ENV)

    import uvicorn

    loop, http = serving_parts()
    with sock:
        app = build_app(
            api_key=settings.api_key,
            auth_verify_url=settings.auth_verify_url,
            per_request_client=settings.per_request_client,
            verify_cache_ttl=settings.verify_cache_ttl,
            outage_status=settings.outage_status,
            host=settings.host,
            allowed_hosts=settings.allowed_hosts,
        )
        print(banner(settings, sock.getsockname()[1], (loop, http)), flush=True)
        config = uvicorn.Config(
            app.gate,
            log_config=None,
            log_level=settings.log_level,
            lifespan="on",
            loop=loop,
            http=http,
            forwarded_allow_ips=settings.forwarded_allow_ips,
            timeout_graceful_shutdown=GRACEFUL_SHUTDOWN_SECONDS,
        )
        uvicorn.Server(config).run(sockets=[sock])
    return 0


if __name__ == "__main__":
    sys.exit(main())
