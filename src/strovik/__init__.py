"""strovik: an operations tool kit.

Subpackages:
    strovik.mcp           the MCP server and its API-key gate (native module ``guardlet``)
    strovik.amazon_rufus  the Rufus assistant tooling (native module ``services.replay``)

Nothing is imported here, so ``import strovik`` stays cheap and never loads a native module.
"""
