# Type information for the native module strovik.mcp.guardlet.
# Parameter names, kinds, defaults and annotation texts mirror the compiled functions exactly;
# tests/test_stubs.py compares the two.
import logging
from typing import Any

from starlette.types import ASGIApp, Receive, Scope, Send

_logger: logging.Logger

class ApiKeyGuardlet:
    app: ASGIApp
    _api_key: str | None
    _auth_verify_url: str | None
    def __init__(self, app: ASGIApp, *, api_key: str | None = None, auth_verify_url: str | None = None): ...
    def _extract_token(self, scope: Scope) -> str | None: ...
    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None: ...
    # The compiled function's annotation text is a bare dict (the backend's JSON object).
    async def _verify_remote(self, api_key: str | None) -> dict | None: ...  # type: ignore[type-arg]
    async def _send_401(self, _scope: Scope, send: Send, reason: str = "invalid_api_key") -> None: ...

class FixedApiKeyAuthProvider:
    _api_key: str
    def __init__(self, api_key: str): ...
    async def verify_token(self, token: str) -> Any: ...
