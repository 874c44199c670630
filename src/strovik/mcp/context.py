"""Request-scoped state of the MCP server.

While the API-key gate lets a request through to the application, ``mcp_request_ctx`` holds a dict
describing the caller, with the keys "api_key", "user_id" and "email" in that order (the user fields
are None in fixed-key mode). Outside an admitted request it holds None.
"""

from contextvars import ContextVar
from typing import Any

mcp_request_ctx: ContextVar[dict[str, Any] | None] = ContextVar("mcp_request_ctx", default=None)
