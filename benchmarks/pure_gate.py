"""The API-key gate written in plain Python, the way a user of the package would write it.

It does the same work per request as ``strovik.mcp.guardlet.ApiKeyGuardlet``: the key
from the ``api_key`` query parameter (``urllib.parse.parse_qs``) or an
``Authorization: Bearer`` header, remote or fixed-key checking, the scope keys, the
request context variable set and reset around the application, a ``tracking_send``
closure and the closing body message for a response left open, and the 401 answer as
two messages. The benchmarks compare the native gate against this class.
"""

from __future__ import annotations

import logging
import urllib.parse
from typing import Any

from starlette.types import ASGIApp, Receive, Scope, Send

_logger = logging.getLogger("strovik.mcp")

_CONTENT_TYPE = (b"content-type", b"application/json")
_WWW_AUTHENTICATE = (b"www-authenticate", b'Bearer realm="strovik-mcp"')
_BODY_PREFIX = '{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"'
_BODY_SUFFIX = '"}'


class ApiKeyGuardlet:
    """ASGI middleware that admits HTTP requests carrying an acceptable API key."""

    def __init__(self, app: ASGIApp, *, api_key: str | None = None, auth_verify_url: str | None = None):
        self.app = app
        self._api_key = api_key
        self._auth_verify_url = auth_verify_url
        if auth_verify_url:
            _logger.info("MCP Server 运行在远程校验模式，校验地址: %s", auth_verify_url)
        elif api_key:
            _logger.info("MCP Server 运行在固定 API Key 模式")
        else:
            _logger.warning("MCP Server 未配置任何 API Key 鉴权！")

    def _extract_token(self, scope: Scope) -> str | None:
        try:
            query_string = scope.get("query_string", b"").decode("utf-8")
        except UnicodeDecodeError:
            # A client-controlled query that is not UTF-8 carries no key; headers still count.
            query_string = ""
        if query_string:
            params = urllib.parse.parse_qs(query_string)
            api_keys = params.get("api_key", [])
            if api_keys:
                return api_keys[0]
        for name, value in scope.get("headers", []):
            if name.lower() == b"authorization":
                auth = value.decode("utf-8", errors="replace")
                if auth.lower().startswith("bearer "):
                    return auth[7:].strip()
        return None

    async def _verify_remote(self, api_key: str | None) -> dict[str, Any] | None:
        if not api_key or not self._auth_verify_url:
            return None
        try:
            import httpx

            async with httpx.AsyncClient(timeout=10) as client:
                response = await client.get(
                    self._auth_verify_url, params={"api_key": api_key}, headers={"X-MCP-API-Key": api_key}
                )
            if response.status_code != 200:
                return None
            data = response.json()
            if data.get("valid"):
                return data
            return None
        except Exception as exc:
            _logger.warning("远程校验 API Key 失败: %s", exc)
            return None

    async def _send_401(self, _scope: Scope, send: Send, reason: str = "invalid_api_key") -> None:
        body = _BODY_PREFIX + reason + _BODY_SUFFIX
        await send({"type": "http.response.start", "status": 401, "headers": [_CONTENT_TYPE, _WWW_AUTHENTICATE]})
        await send({"type": "http.response.body", "body": body.encode("utf-8")})

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        token = self._extract_token(scope)
        if self._auth_verify_url:
            user_info = await self._verify_remote(token)
            if not user_info:
                await self._send_401(scope, send, reason="invalid_api_key")
                return
            scope["mcp_api_key"] = token
            scope["mcp_user_id"] = user_info.get("user_id")
            scope["mcp_user_email"] = user_info.get("email")
        elif self._api_key and token == self._api_key:
            scope["mcp_api_key"] = token
        else:
            await self._send_401(scope, send, reason="invalid_api_key")
            return

        from strovik.mcp.context import mcp_request_ctx

        ctx_token = mcp_request_ctx.set(
            {"api_key": token, "user_id": scope.get("mcp_user_id"), "email": scope.get("mcp_user_email")}
        )
        response_started = False
        response_complete = False

        async def tracking_send(message: Any) -> None:
            nonlocal response_started, response_complete
            if message["type"] == "http.response.start":
                response_started = True
            elif message["type"] == "http.response.body":
                if not message.get("more_body", False):
                    response_complete = True
            await send(message)

        try:
            await self.app(scope, receive, tracking_send)
        except RuntimeError as exc:
            if "Expected ASGI message" not in str(exc):
                raise
        finally:
            mcp_request_ctx.reset(ctx_token)
            if response_started and not response_complete:
                try:
                    await send({"type": "http.response.body", "body": b"", "more_body": False})
                except BaseException:
                    pass
