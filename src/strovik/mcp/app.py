"""The MCP server, its tools, and the gated ASGI application built around it.

The MCP application comes from the official MCP Python SDK and speaks two transports
side by side: SSE (``GET /sse`` plus ``POST /messages/``) and streamable HTTP
(``/mcp``). Every HTTP request passes the API-key gate first
(:class:`strovik.mcp.guardlet.ApiKeyGuardlet`, or in remote mode
:class:`strovik.mcp.verify_pool.PooledApiKeyGuardlet`), then the layers of
:mod:`strovik.mcp.asgi`.

The SDK and starlette are imported when an app is built, not with this module, so that
the command line can say which of them is missing.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Callable, Sequence
from contextlib import AbstractAsyncContextManager, AsyncExitStack, asynccontextmanager
from typing import TYPE_CHECKING, Any

from strovik.command_line import package_version
from strovik.mcp.asgi import MESSAGE_PATH, SSE_PATH, STREAMABLE_HTTP_PATH, HostCheck, SessionBinding
from strovik.mcp.context import mcp_request_ctx
from strovik.mcp.redaction import key_preview

if TYPE_CHECKING:
    from mcp.server.mcpserver import MCPServer
    from starlette.applications import Starlette
    from starlette.types import Receive, Scope, Send

    from strovik.mcp.guardlet import ApiKeyGuardlet
    from strovik.mcp.metrics import Metrics

SERVER_NAME = "strovik-mcp"
DEFAULT_HOST = "127.0.0.1"

# Adds tools to the MCP server (with its add_tool), before any client can list them.
ToolRegistration = Callable[["MCPServer"], None]
# Makes a context the host application enters once at start and leaves at stop (a pool of
# browsers, say). The MCP server's own lifespan would not do: its SSE app runs that once per
# SSE connection.
HostContext = Callable[[], AbstractAsyncContextManager[object]]


async def whoami() -> dict[str, Any]:
    """Tell who this server takes the caller to be.

    Returns the user id and e-mail address that the API-key gate admitted the
    calling request with (both null for a fixed key) and the key itself, masked.
    """
    current = mcp_request_ctx.get()
    if not current:
        return {"api_key": None, "user_id": None, "email": None}
    return {
        "api_key": key_preview(current.get("api_key")),
        "user_id": current.get("user_id"),
        "email": current.get("email"),
    }


def create_mcp_server(tools: Sequence[ToolRegistration] = (), metrics: Metrics | None = None) -> MCPServer:
    """The MCP server, named with the package's version, with ``whoami`` and the given ``tools``
    (each call counted in ``metrics`` when given)."""
    from mcp.server.mcpserver import MCPServer

    server: MCPServer = MCPServer(
        SERVER_NAME,
        version=package_version(),
        instructions="Tools of the strovik operations kit. Call whoami to see the identity the API key gives you.",
    )
    server.add_tool(whoami, name="whoami")
    for register in tools:
        register(server)
    if metrics is not None:
        from strovik.mcp.metrics import counted_tool_calls

        # The SDK dispatches every tools/call through this method, looked up on the server.
        server.call_tool = counted_tool_calls(server.call_tool, metrics)  # type: ignore[method-assign,assignment]
    return server


class ServerApp:
    """The gated ASGI application: what uvicorn serves, and where a test reaches the gate."""

    __slots__ = ("gate",)

    def __init__(self, gate: ApiKeyGuardlet) -> None:
        self.gate = gate

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self.gate(scope, receive, send)


def build_app(
    *,
    api_key: str | None = None,
    auth_verify_url: str | None = None,
    per_request_client: bool = False,
    verify_cache_ttl: float = 0.0,
    outage_status: int = 401,
    host: str = DEFAULT_HOST,
    allowed_hosts: Sequence[str] = (),
    tools: Sequence[ToolRegistration] = (),
    contexts: Sequence[HostContext] = (),
    stateless_http: bool = False,
    route: str | None = None,
    metrics: Metrics | None = None,
) -> ServerApp:
    """Build the MCP app for both transports and wrap it in the API-key gate.

    A fixed ``api_key`` or, in remote mode, ``auth_verify_url`` decides who is admitted.
    In remote mode the gate is :class:`strovik.mcp.verify_pool.PooledApiKeyGuardlet`
    (one connection pool, coalesced and bounded checks, answers cached only for
    ``verify_cache_ttl`` > 0; a backend outage answered ``outage_status``), unless
    ``per_request_client`` asks for the plain :class:`~strovik.mcp.guardlet.ApiKeyGuardlet`
    and its new client per check. ``host`` is the listening address and, with
    ``allowed_hosts``, decides which Host names are answered (:class:`HostCheck`).
    ``contexts`` are entered in the application's lifespan, in order, and left in
    reverse order once the MCP sessions have ended. ``stateless_http`` serves streamable
    HTTP in the SDK's stateless mode; ``route`` names this worker in SSE message
    endpoints (:mod:`strovik.mcp.routing`); ``metrics`` counts tool calls and remote checks.
    """
    from mcp.server.transport_security import TransportSecuritySettings
    from starlette.applications import Starlette

    from strovik.mcp.guardlet import ApiKeyGuardlet
    from strovik.mcp.verify_pool import PooledApiKeyGuardlet, VerifyPool

    mcp_server = create_mcp_server(tools, metrics)
    security = TransportSecuritySettings(enable_dns_rebinding_protection=False)
    sse_app = mcp_server.sse_app(sse_path=SSE_PATH, message_path=MESSAGE_PATH, host=host, transport_security=security)
    http_app = mcp_server.streamable_http_app(
        streamable_http_path=STREAMABLE_HTTP_PATH, host=host, transport_security=security, stateless_http=stateless_http
    )
    pool = None
    if auth_verify_url and not per_request_client:
        pool = VerifyPool(cache_ttl=verify_cache_ttl, observe=metrics.remote_check if metrics is not None else None)

    @asynccontextmanager
    async def lifespan(_app: Starlette) -> AsyncIterator[None]:
        async with AsyncExitStack() as stack:
            if pool is not None:
                stack.push_async_callback(pool.aclose)
            for context in contexts:
                await stack.enter_async_context(context())
            await stack.enter_async_context(mcp_server.session_manager.run())
            yield

    mcp_app = Starlette(routes=[*sse_app.routes, *http_app.routes], lifespan=lifespan)
    inner = SessionBinding(HostCheck(mcp_app, host, allowed_hosts), route=route)
    if pool is None:
        return ServerApp(ApiKeyGuardlet(inner, api_key=api_key, auth_verify_url=auth_verify_url))
    return ServerApp(
        PooledApiKeyGuardlet(inner, api_key=api_key, auth_verify_url=auth_verify_url, pool=pool, outage_status=outage_status)
    )
