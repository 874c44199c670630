"""The MCP server of strovik and the API-key gate that stands in front of it.

The gate itself lives in the native module ``strovik.mcp.guardlet``; it is imported by whoever
needs it, never here.
"""
