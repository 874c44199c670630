"""The strovik MCP server's public face: ``build_app`` for hosts and tests, ``main`` for the command.

The server lives in modules with one job each: :mod:`strovik.mcp.app` (the MCP server,
its tools and the gated application), :mod:`strovik.mcp.asgi` (the layers between the
gate and the MCP routes), :mod:`strovik.mcp.cli` (the command line and the process),
:mod:`strovik.mcp.logs` (logging without keys), :mod:`strovik.mcp.workers` (one or several
server processes), :mod:`strovik.mcp.routing` (sessions that find their worker),
:mod:`strovik.mcp.health` (``/healthz``), :mod:`strovik.mcp.metrics` (``--metrics-port``). The ``strovik-mcp`` command and
``python -m strovik.mcp`` start here.
"""

from strovik.mcp.app import build_app
from strovik.mcp.cli import main

__all__ = ["build_app", "main"]

if __name__ == "__main__":
    import sys

    sys.exit(main())
