"""``strovik-mcp``: the command line, its checked settings, and the process that serves the app.

The parser is built from one function per option group; :func:`settings_from` turns the
parsed arguments into a frozen :class:`Settings` (or one clear :class:`CommandError`);
:func:`main` binds the socket before anything starts, so that a taken port is one line,
then serves the app of :func:`strovik.mcp.app.build_app` on uvicorn.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import logging.config
import os
import secrets
import signal
import socket
import sys
import tempfile
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, NoReturn
from urllib.parse import urlsplit

from strovik.command_line import CommandError, OneLineParser, non_negative_seconds, port, positive_count
from strovik.mcp.app import DEFAULT_HOST
from strovik.mcp.asgi import SSE_PATH, STREAMABLE_HTTP_PATH
from strovik.mcp.logs import logging_config
from strovik.mcp.routing import NODE_RE, Routes
from strovik.mcp.rufus_options import RufusSettings, add_rufus_options, rufus_settings_from

if TYPE_CHECKING:
    from types import FrameType

    from strovik.mcp.rufus_tools import RufusTools

PROG = "strovik-mcp"
API_KEY_ENV = "STROVIK_MCP_API_KEY"
DEFAULT_PORT = 8000
# What the process could not do after its command line was accepted (listen, import).
EXIT_CANNOT_START = 1
LOG_LEVELS = ("critical", "error", "warning", "info", "debug")

_log = logging.getLogger("strovik.mcp.server")


# ------------------------------------------------------------------ parser


def build_parser() -> argparse.ArgumentParser:
    parser = OneLineParser(
        prog=PROG,
        description=(
            "Serve the strovik MCP server over SSE (/sse) and streamable HTTP (/mcp), "
            "every request checked by its API key."
        ),
    )
    _listen_options(parser)
    _key_options(parser)
    _remote_options(parser.add_argument_group("remote key checks (with --auth-verify-url)"))
    _proxy_options(parser.add_argument_group("behind a reverse proxy"))
    _scale_options(parser.add_argument_group("on several cores and hosts"))
    add_rufus_options(parser.add_argument_group("the Rufus shopping assistant as tools (with --rufus-seed)"))
    return parser


def _listen_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default=DEFAULT_HOST, help="address to listen on (default: %(default)s)")
    parser.add_argument(
        "--port", type=port, default=DEFAULT_PORT, help="port to listen on, 0 for any free one (default: %(default)s)"
    )
    parser.add_argument("--log-level", default="info", choices=LOG_LEVELS, help="log level (default: %(default)s)")
    parser.add_argument(
        "--stdio", action="store_true",
        help="serve one local MCP client over stdin/stdout instead of HTTP (no key gate; logs on stderr)",
    )


def _key_options(parser: argparse.ArgumentParser) -> None:
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


def _remote_options(group: argparse._ArgumentGroup) -> None:
    group.add_argument(
        "--verify-per-request-client",
        action="store_true",
        help="check each key with the gate's own check, a new HTTP client per request "
        "(slow; the default is one kept-alive connection pool)",
    )
    group.add_argument(
        "--verify-pool",
        action="store_true",
        help="the pooled check, which is the default (kept so that older command lines work)",
    )
    group.add_argument(
        "--verify-cache-ttl",
        type=non_negative_seconds,
        default=None,
        metavar="SECONDS",
        help="keep a positive answer this many seconds (default: no cache, every request is verified)",
    )
    group.add_argument(
        "--verify-outage-status",
        type=int,
        choices=(401, 503),
        default=401,
        metavar="{401,503}",
        help="status when the backend is unreachable, too slow or answers 5xx "
        "(default: %(default)s; 503 comes with Retry-After)",
    )


def _proxy_options(group: argparse._ArgumentGroup) -> None:
    group.add_argument(
        "--allowed-host",
        action="append",
        default=[],
        metavar="NAME",
        help="a Host name clients may use (with any port), e.g. the name a reverse proxy is reached by; "
        "repeatable; '*' admits any Host",
    )
    group.add_argument(
        "--forwarded-allow-ips",
        default=None,
        metavar="IPS",
        help="comma-separated proxy addresses whose X-Forwarded-For/-Proto headers are trusted, or '*' "
        "(uvicorn's option; default: $FORWARDED_ALLOW_IPS or 127.0.0.1)",
    )


def _scale_options(group: argparse._ArgumentGroup) -> None:
    group.add_argument(
        "--workers", type=positive_count, default=1, metavar="N",
        help="server processes on the one listening socket, each with its own event loop, gate and pools; "
        "a worker that dies is restarted (default: %(default)s)",
    )
    group.add_argument(
        "--stateless-http", action="store_true",
        help="serve streamable HTTP in the MCP SDK's stateless mode: any worker or host answers any request, "
        "but there are no sessions (no server-to-client requests, no resumable streams)",
    )
    group.add_argument(
        "--node", default=None, metavar="NAME",
        help="this host's name in session routes, for a reverse proxy in front of several hosts "
        "(letters, digits, '-' and '_'; see the README)",
    )
    group.add_argument(
        "--metrics-port", type=port, default=None, metavar="PORT",
        help="serve Prometheus metrics of all workers on 127.0.0.1:PORT",
    )


# ---------------------------------------------------------------- settings


@dataclass(frozen=True)
class Settings:
    """The checked command line: what the server is built and started with."""

    host: str
    port: int
    log_level: str
    # The fixed key (None in remote mode); generated_key says it was made up for this run.
    api_key: str | None
    generated_key: bool
    # A key in the environment that remote mode does not use (said once in the log).
    ignored_env_key: bool
    auth_verify_url: str | None
    per_request_client: bool
    verify_cache_ttl: float
    outage_status: int
    allowed_hosts: tuple[str, ...]
    forwarded_allow_ips: str | None
    # The Rufus tools (None: not offered); stdio: one local client on stdin/stdout, no gate.
    rufus: RufusSettings | None = None
    stdio: bool = False
    workers: int = 1
    stateless_http: bool = False
    node: str | None = None
    metrics_port: int | None = None


def settings_from(args: argparse.Namespace, environ: Mapping[str, str]) -> Settings:
    """Check the parsed arguments against each other; the first conflict is a :class:`CommandError`.

    The fixed key comes from ``--api-key``, else from ``$STROVIK_MCP_API_KEY`` in
    ``environ``, else is generated; remote mode takes none.
    """
    if not args.host.strip():
        raise CommandError("--host must not be empty")
    url = args.auth_verify_url
    if args.stdio:
        http_only = {
            "--api-key": args.api_key is not None, "--auth-verify-url": url is not None, "--workers": args.workers != 1,
            "--node": args.node is not None, "--metrics-port": args.metrics_port is not None,
        }
        for option, given in http_only.items():
            if given:
                raise CommandError(f"{option} does not apply to --stdio, which serves its one local client without a key")
    if args.node is not None and not NODE_RE.fullmatch(args.node):
        raise CommandError(f"--node takes letters, digits, '-' and '_' (at most 64), not {args.node!r}")
    _check_key_options(args.api_key, url)
    _check_remote_options(args, url)
    for name in args.allowed_host:
        if not name or name != name.strip() or any(c in name for c in "/?#@ "):
            raise CommandError(f"--allowed-host takes a host name (with an optional :port), not {name!r}")
    env_key = environ.get(API_KEY_ENV) or None
    api_key = None if url is not None else args.api_key or env_key
    generated_key = url is None and api_key is None
    return Settings(
        host=args.host,
        port=args.port,
        log_level=args.log_level,
        api_key=secrets.token_urlsafe(32) if generated_key else api_key,
        generated_key=generated_key,
        ignored_env_key=url is not None and env_key is not None,
        auth_verify_url=url,
        per_request_client=args.verify_per_request_client,
        verify_cache_ttl=args.verify_cache_ttl or 0.0,
        outage_status=args.verify_outage_status,
        allowed_hosts=tuple(args.allowed_host),
        forwarded_allow_ips=args.forwarded_allow_ips,
        rufus=rufus_settings_from(args),
        stdio=args.stdio,
        workers=args.workers,
        stateless_http=args.stateless_http,
        node=args.node,
        metrics_port=args.metrics_port,
    )


def _check_key_options(api_key: str | None, url: str | None) -> None:
    if url is not None:
        parts = urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise CommandError("--auth-verify-url must be an http:// or https:// URL with a host")
        if api_key is not None:
            raise CommandError("--api-key and --auth-verify-url exclude each other: in remote mode the backend decides")
    if api_key == "":
        raise CommandError("--api-key must not be empty")


def _check_remote_options(args: argparse.Namespace, url: str | None) -> None:
    pooled_only = {
        "--verify-pool": args.verify_pool,
        "--verify-cache-ttl": args.verify_cache_ttl is not None,
        "--verify-outage-status": args.verify_outage_status != 401,
    }
    given = {"--verify-per-request-client": args.verify_per_request_client, **pooled_only}
    for option, is_given in given.items():
        if is_given and url is None:
            raise CommandError(f"{option} needs --auth-verify-url")
    if args.verify_per_request_client:
        for option, is_given in pooled_only.items():
            if is_given:
                raise CommandError(f"{option} needs the pooled check, not --verify-per-request-client")


# ------------------------------------------------------------------- start


def bind_socket(host: str, port: int) -> socket.socket:
    """Listen on host:port now, so that a taken port is reported before anything starts."""
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise CommandError(f"cannot resolve --host {host!r}: {exc.strerror}", EXIT_CANNOT_START) from None
    family, kind, proto, _name, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(2048)
    except OSError as exc:
        sock.close()
        reason = exc.strerror or str(exc)
        raise CommandError(f"cannot listen on {_authority(host, port)}: {reason.lower()}", EXIT_CANNOT_START) from None
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
    """What the server prints when it listens on ``port``: where to connect and with which key.

    Only a generated key is shown; a key the user gave is theirs already.
    """
    base = f"http://{_authority(settings.host, port)}"
    lines = [f"{PROG} serving MCP on {base} (SSE: {base}{SSE_PATH}, streamable HTTP: {base}{STREAMABLE_HTTP_PATH})"]
    processes = f", {settings.workers} workers" if settings.workers > 1 else ""
    lines.append(f"uvicorn with the {parts[0]} event loop and the {parts[1]} HTTP parser{processes}.")
    key_text = "<your key>"
    if settings.auth_verify_url is not None:
        if settings.per_request_client:
            how = "a new client per check"
        else:
            cache = f"answers kept {settings.verify_cache_ttl:g} s" if settings.verify_cache_ttl else "no cache"
            how = f"kept-alive pool, {cache}, outage answered {settings.outage_status}"
        lines.append(f"Remote mode: every key is verified by {settings.auth_verify_url} ({how}).")
    elif settings.generated_key and settings.api_key is not None:
        lines.append("No --api-key, no --auth-verify-url: generated a random API key for this run:")
        lines.append(f"  {settings.api_key}")
        key_text = settings.api_key
    else:
        lines.append("Fixed-key mode: clients present the key you gave.")
    if settings.rufus is not None:
        rufus = settings.rufus
        where = f"{len(rufus.endpoints)} browser endpoints" if rufus.endpoints else "browsers started on the first call"
        lines.append(
            f"Rufus tools rufus_ask and rufus_ask_many: {rufus.browsers} at a time ({where}), "
            f"product {rufus.seed.asin or 'of the seed'} by default."
        )
    lines.append(f"Connect an MCP client (SSE) to:  {base}{SSE_PATH}?api_key={key_text}")
    lines.append(f"or send the header:  Authorization: Bearer {key_text}")
    return "\n".join(lines)


def _check_imports() -> None:
    try:
        import strovik.mcp.guardlet  # noqa: F401
    except ImportError as exc:
        raise CommandError(
            f"cannot load the API-key gate ({exc}); build it with: bash scripts/dev-build.sh", EXIT_CANNOT_START
        ) from None
    for module in ("uvicorn", "mcp", "aiohttp"):
        try:
            __import__(module)
        except ImportError as exc:
            raise CommandError(f"cannot import {module} ({exc}); install it with: pip install {module}", EXIT_CANNOT_START) from None


def _exit_on_sigterm(_signum: int, _frame: FrameType | None) -> NoReturn:
    raise SystemExit(0)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``strovik-mcp``; returns the process exit status (0 after SIGINT or SIGTERM)."""
    try:
        return _main(argv)
    except CommandError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr, flush=True)
        return exc.status
    except KeyboardInterrupt:
        return 0


def _main(argv: Sequence[str] | None) -> int:
    settings = settings_from(build_parser().parse_args(argv), os.environ)
    _check_imports()
    if settings.stdio:
        rufus = None
        if settings.rufus is not None:
            from strovik.mcp.rufus_tools import RufusTools

            rufus = RufusTools(settings.rufus)
        return _serve_stdio(settings, rufus)
    sock = bind_socket(settings.host, settings.port)

    signal.signal(signal.SIGTERM, _exit_on_sigterm)
    known_keys = [settings.api_key] if settings.api_key else []
    log_config = logging_config(settings.log_level, known_keys)
    logging.config.dictConfig(log_config)
    if settings.ignored_env_key:
        _log.info("%s is ignored: remote mode lets the backend decide every key", API_KEY_ENV)

    from strovik.mcp.workers import WorkerPlan, serve

    loop, http = serving_parts()
    # The workers' sockets and the metrics files, only when there are any.
    needs_private = settings.workers > 1 or settings.metrics_port is not None
    with sock, tempfile.TemporaryDirectory(prefix="strovik-mcp-") if needs_private else contextlib.nullcontext("") as private:
        routes = None
        if settings.workers > 1 or settings.node is not None:
            routes = Routes(settings.node, os.path.join(private, "workers") if settings.workers > 1 else None)
            if routes.socket_dir is not None:
                os.mkdir(routes.socket_dir, 0o700)
        on_worker_gone = _metrics(settings.metrics_port, os.path.join(private, "metrics"), routes)
        plan = WorkerPlan(
            app_options={
                "api_key": settings.api_key,
                "auth_verify_url": settings.auth_verify_url,
                "per_request_client": settings.per_request_client,
                "verify_cache_ttl": settings.verify_cache_ttl,
                "outage_status": settings.outage_status,
                "host": settings.host,
                "allowed_hosts": settings.allowed_hosts,
                "stateless_http": settings.stateless_http,
            },
            rufus=settings.rufus,
            routes=routes,
            metrics=settings.metrics_port is not None,
            http=http,
            supervisor=os.getpid() if settings.workers > 1 else None,
        )
        print(banner(settings, sock.getsockname()[1], (loop, http)), flush=True)
        serve(
            plan, sock, workers=settings.workers, log_config=log_config, log_level=settings.log_level, loop=loop,
            forwarded_allow_ips=settings.forwarded_allow_ips, on_worker_gone=on_worker_gone,
        )
    return 0


def _metrics(port: int | None, directory: str, routes: Routes | None) -> Callable[[int], None]:
    """Start serving metrics on 127.0.0.1:``port`` (when given), kept by every worker in ``directory``.

    Returns what to do when a worker has died: forget its live gauges and its socket.
    """
    if port is not None:
        from strovik.mcp.metrics import METRICS_HOST, MULTIPROC_ENV, serve_metrics

        os.mkdir(directory, 0o700)
        # Read by prometheus_client when it is first imported, here and in every worker.
        os.environ[MULTIPROC_ENV] = directory
        try:
            serve_metrics(port)
        except OSError as exc:
            reason = (exc.strerror or str(exc)).lower()
            raise CommandError(f"cannot serve metrics on {_authority(METRICS_HOST, port)}: {reason}", EXIT_CANNOT_START) from None

    def worker_gone(pid: int) -> None:
        if port is not None:
            from strovik.mcp.metrics import forget_worker

            forget_worker(pid)
        if routes is not None and routes.socket_dir is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(routes.socket_path(pid))

    return worker_gone


def _serve_stdio(settings: Settings, rufus: RufusTools | None) -> int:
    """One local client on stdin/stdout: stdout carries the protocol alone, logs go to stderr."""
    import asyncio
    from contextlib import AsyncExitStack

    from strovik.mcp.app import create_mcp_server

    logging.config.dictConfig(logging_config(settings.log_level))
    server = create_mcp_server([rufus.register] if rufus is not None else ())

    async def serve() -> None:
        async with AsyncExitStack() as stack:
            if rufus is not None:
                await stack.enter_async_context(rufus.running())
            await server.run_stdio_async()

    signal.signal(signal.SIGTERM, _exit_on_sigterm)
    asyncio.run(serve())
    return 0


if __name__ == "__main__":
    sys.exit(main())
