"""Prometheus metrics of the server, shared by all of its workers (``--metrics-port``).

prometheus_client's multiprocess mode keeps each worker's values in files under one
directory (``$PROMETHEUS_MULTIPROC_DIR``, set by the supervisor before any worker
starts); the supervisor serves their sum on 127.0.0.1. A worker records:

* requests the API-key gate admitted, and those it refused by reason (``missing_key``,
  ``invalid_key``, ``verification_unavailable`` for a 503 of a backend outage);
* remote key checks sent to the backend, by outcome, with a latency histogram;
* tool calls by tool and outcome (``ok``, ``error`` for an error result, ``failed`` for
  an exception);
* the Rufus pool's slots busy and calls waiting, sampled every second.

prometheus_client is imported only when metrics are asked for.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from typing import TYPE_CHECKING, Any

from strovik.mcp.redaction import query_api_key

if TYPE_CHECKING:
    from starlette.types import ASGIApp, Message, Receive, Scope, Send

MULTIPROC_ENV = "PROMETHEUS_MULTIPROC_DIR"
METRICS_HOST = "127.0.0.1"
RUFUS_SAMPLE_SECONDS = 1.0
# Backend latency buckets, in seconds: a kept-alive check is a few ms, the deadline 10 s.
CHECK_BUCKETS = (0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0)


class Metrics:
    """One worker's metric objects; their values land in the shared multiprocess directory."""

    def __init__(self) -> None:
        from prometheus_client import Counter, Gauge, Histogram

        self.requests = Counter(
            "strovik_mcp_requests", "HTTP requests judged by the API-key gate", ["decision", "reason"]
        )
        self.checks = Counter("strovik_mcp_remote_checks", "Key checks sent to the verification backend", ["outcome"])
        self.check_seconds = Histogram(
            "strovik_mcp_remote_check_seconds", "Latency of a key check sent to the backend", buckets=CHECK_BUCKETS
        )
        self.tool_calls = Counter("strovik_mcp_tool_calls", "MCP tool calls", ["tool", "outcome"])
        self.rufus_busy = Gauge(
            "strovik_mcp_rufus_slots_busy", "Rufus pool slots answering a call", multiprocess_mode="livesum"
        )
        self.rufus_waiting = Gauge(
            "strovik_mcp_rufus_calls_waiting", "Rufus calls waiting for a slot", multiprocess_mode="livesum"
        )

    def remote_check(self, outcome: str, seconds: float) -> None:
        self.checks.labels(outcome).inc()
        self.check_seconds.observe(seconds)

    def tool_call(self, tool: str, outcome: str) -> None:
        self.tool_calls.labels(tool, outcome).inc()

    @asynccontextmanager
    async def sampling_rufus(self, state: Callable[[], dict[str, int] | None]) -> AsyncIterator[None]:
        """Copy the Rufus pool's busy and waiting counts into the gauges while the block runs."""

        async def sample() -> None:
            while True:
                current = state()
                if current is not None:
                    self.rufus_busy.set(current["busy"])
                    self.rufus_waiting.set(current["waiting"])
                await asyncio.sleep(RUFUS_SAMPLE_SECONDS)

        task = asyncio.get_running_loop().create_task(sample())
        try:
            yield
        finally:
            task.cancel()
            self.rufus_busy.set(0)
            self.rufus_waiting.set(0)


class CountedRequests:
    """ASGI layer around the gate: counts each HTTP request as admitted or refused by reason.

    The gate writes ``mcp_api_key`` into the scope it passes on, the same dict, so a
    request it admitted is told by that key once the gate returns.
    """

    def __init__(self, app: ASGIApp, metrics: Metrics) -> None:
        self.app = app
        self.metrics = metrics

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        status = 0

        async def watching_send(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, watching_send)
        finally:
            if "mcp_api_key" in scope:
                self.metrics.requests.labels("admitted", "").inc()
            else:
                self.metrics.requests.labels("refused", refusal_reason(scope, status)).inc()


def refusal_reason(scope: Scope, status: int) -> str:
    if status == 503:
        return "verification_unavailable"
    if query_api_key(scope.get("query_string", b"")):
        return "invalid_key"
    for name, value in scope.get("headers", ()):
        if name == b"authorization" and value[:7].lower() == b"bearer " and value[7:].strip():
            return "invalid_key"
    return "missing_key"


def counted_tool_calls(call_tool: Callable[..., Awaitable[Any]], metrics: Metrics) -> Callable[..., Awaitable[Any]]:
    """``call_tool`` of the MCP server, counting each call by tool and outcome."""

    async def counted(name: str, arguments: dict[str, Any], *args: Any, **kwargs: Any) -> Any:
        outcome = "failed"
        try:
            result = await call_tool(name, arguments, *args, **kwargs)
            outcome = "error" if getattr(result, "is_error", False) else "ok"
            return result
        except Exception as exc:
            from mcp.server.mcpserver.exceptions import ToolError

            outcome = "error" if isinstance(exc, ToolError) else "failed"
            raise
        finally:
            metrics.tool_call(name, outcome)

    return counted


def serve_metrics(port: int) -> None:
    """Serve the sum of every worker's metrics on 127.0.0.1:``port`` from a daemon thread."""
    from prometheus_client import CollectorRegistry, start_http_server
    from prometheus_client.multiprocess import MultiProcessCollector

    registry = CollectorRegistry()
    MultiProcessCollector(registry)
    start_http_server(port, addr=METRICS_HOST, registry=registry)


def forget_worker(pid: int) -> None:
    """Drop a worker that has ended from the live gauges (its counters stay counted)."""
    if os.environ.get(MULTIPROC_ENV):
        from prometheus_client import multiprocess

        multiprocess.mark_process_dead(pid)
