"""Asking Rufus from many callers at once: a pool of browser slots on one event loop.

The MCP server's Rufus tools are a thin layer over it, and a Python program can use it
directly::

    from strovik.amazon_rufus.inputs import load_seed
    from strovik.amazon_rufus.pool import PoolOptions, RufusPool

    async with RufusPool(load_seed("seed.json"), PoolOptions(browsers=2)) as pool:
        first = await pool.ask(["Is it waterproof?"], owner="me")
        more = await pool.ask(["And the battery?"], owner="me", thread_id=first.thread_id)
"""

from strovik.amazon_rufus.pool.engine import Conversation, PoolOptions, RufusPool, UnknownThread
from strovik.amazon_rufus.pool.fair import Busy, Closed

__all__ = ["Busy", "Closed", "Conversation", "PoolOptions", "RufusPool", "UnknownThread"]
