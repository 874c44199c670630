"""The API-key gate built from Starlette's own parts: ``AuthenticationMiddleware`` with a backend.

The backend reads the key from the ``api_key`` query parameter (first non-blank value),
else from an ``Authorization: Bearer`` header, and compares it with the fixed key. A
refusal is the same 401 answer as the native gate's (status, content type,
``www-authenticate`` and body). An admitted request goes through a small layer that
writes ``mcp_api_key`` into the scope, sets the request context variable around the
application and closes a response the application left open.
"""

from __future__ import annotations

from typing import Any

from starlette.authentication import AuthCredentials, AuthenticationBackend, AuthenticationError, SimpleUser
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.requests import HTTPConnection
from starlette.responses import Response
from starlette.types import ASGIApp, Receive, Scope, Send

_BODY = b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'


class ApiKeyBackend(AuthenticationBackend):
    def __init__(self, api_key: str) -> None:
        self.api_key = api_key

    @staticmethod
    def presented_key(conn: HTTPConnection) -> str | None:
        for value in conn.query_params.getlist("api_key"):
            if value:
                return value
        for name, value in conn.scope.get("headers", []):
            if name.lower() == b"authorization":
                auth = value.decode("utf-8", errors="replace")
                if auth.lower().startswith("bearer "):
                    return auth[7:].strip()
        return None

    async def authenticate(self, conn: HTTPConnection) -> tuple[AuthCredentials, SimpleUser]:
        key = self.presented_key(conn)
        if not self.api_key or key != self.api_key:
            raise AuthenticationError("invalid_api_key")
        return AuthCredentials(["mcp"]), SimpleUser(key)


def unauthorized(_conn: HTTPConnection, _exc: Exception) -> Response:
    return Response(
        _BODY,
        status_code=401,
        media_type="application/json",
        headers={"www-authenticate": 'Bearer realm="strovik-mcp"'},
    )


class RequestContext:
    """Publishes the authenticated key to the application, like the native gate does."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        from strovik.mcp.context import mcp_request_ctx

        token = scope["user"].username
        scope["mcp_api_key"] = token
        ctx_token = mcp_request_ctx.set(
            {"api_key": token, "user_id": scope.get("mcp_user_id"), "email": scope.get("mcp_user_email")}
        )
        started = False
        complete = False

        async def tracking_send(message: Any) -> None:
            nonlocal started, complete
            if message["type"] == "http.response.start":
                started = True
            elif message["type"] == "http.response.body" and not message.get("more_body", False):
                complete = True
            await send(message)

        try:
            await self.app(scope, receive, tracking_send)
        finally:
            mcp_request_ctx.reset(ctx_token)
            if started and not complete:
                try:
                    await send({"type": "http.response.body", "body": b"", "more_body": False})
                except BaseException:
                    pass


def starlette_gate(app: ASGIApp, *, api_key: str) -> AuthenticationMiddleware:
    return AuthenticationMiddleware(RequestContext(app), backend=ApiKeyBackend(api_key), on_error=unauthorized)
