"""The Rufus shopping assistant as MCP tools, a thin layer over ``RufusPool``.

``rufus_ask`` asks one question about a product, ``rufus_ask_many`` several in one thread.
Bad arguments are refused before any browser work; every failure (the assistant's HTTP
status, the time limit, a network error, the product page, a full queue) is a tool error
result with one line naming the cause. A thread id is given to the caller's API key and
can be continued only with that key. Each call is one log line, without keys, cookies or
answer text.
"""

from __future__ import annotations

import asyncio
import json
import logging
import time
from collections.abc import AsyncIterator, Callable
from contextlib import asynccontextmanager
from typing import TYPE_CHECKING, Annotated, Any, TypedDict

from mcp.server.mcpserver import Context
from mcp.server.mcpserver.exceptions import ToolError
from mcp.types import CallToolResult, TextContent, ToolAnnotations

from strovik.amazon_rufus.domain.models import asin_from_page_url, valid_asin
from strovik.amazon_rufus.inputs import http_url
from strovik.mcp.asgi import key_digest
from strovik.mcp.redaction import key_preview

if TYPE_CHECKING:
    from mcp.server.mcpserver import MCPServer

    from strovik.amazon_rufus.conversation import QuestionResult
    from strovik.amazon_rufus.pool import Conversation, RufusPool
    from strovik.mcp.rufus_options import RufusSettings

_log = logging.getLogger("strovik.mcp.rufus")

MAX_QUESTIONS = 50
# The owner of calls made without a key (over stdio the client is the local user).
LOCAL_OWNER = "local"


class AskResult(TypedDict):
    text: str
    thread_id: str | None
    asin: str | None


class AnswerItem(TypedDict, total=False):
    index: int
    question: str
    text: str
    error: str
    thread_id: str | None


class AskManyResult(TypedDict):
    answers: list[AnswerItem]
    thread_id: str | None


def _caller() -> tuple[str, str | None]:
    """The owner of this call's threads (a digest of its API key) and the key's preview."""
    from strovik.mcp.context import mcp_request_ctx

    current = mcp_request_ctx.get()
    key = current.get("api_key") if current else None
    if not isinstance(key, str):
        return LOCAL_OWNER, None
    return "key-" + key_digest(key), key_preview(key)


def _checked_product(asin: str | None, product_url: str | None) -> str | None:
    """The ASIN asked about when one is given (None: the seed's); ToolError naming a bad argument."""
    if asin is not None:
        if not valid_asin(asin):
            raise ToolError(f"asin must be 10 letters or digits, got {asin!r}")
        return asin.upper()
    if product_url is not None:
        if not http_url(product_url):
            raise ToolError(f"product_url must be an http(s) URL, got {product_url!r}")
        return asin_from_page_url(product_url)
    return None


def _checked_questions(questions: list[str]) -> list[str]:
    if not questions:
        raise ToolError("questions must hold at least one question")
    if len(questions) > MAX_QUESTIONS:
        raise ToolError(f"questions holds {len(questions)} questions; at most {MAX_QUESTIONS} per call")
    for number, question in enumerate(questions, start=1):
        if not question.strip():
            raise ToolError(f"questions[{number - 1}] is empty")
    return [question.strip() for question in questions]


def _item(result: QuestionResult) -> AnswerItem:
    item: AnswerItem = {"index": result.index, "question": result.question}
    if result.ok:
        item["text"] = result.text or ""
    else:
        item["error"] = result.error or "failed"
    item["thread_id"] = result.thread_id
    return item


class RufusTools:
    """The two tools and the pool they ask through: registered on the MCP server first, the
    pool then started and stopped with the host application (``running``)."""

    def __init__(self, settings: RufusSettings) -> None:
        self._settings = settings
        self._pool: RufusPool | None = None
        self._loop: asyncio.AbstractEventLoop | None = None

    @asynccontextmanager
    async def running(self) -> AsyncIterator[RufusPool]:
        """The pool, for as long as the block runs; leaving it ends every call and closes every browser."""
        from strovik.amazon_rufus.batch.browsers import BATCH_CHROMIUM_ARGS
        from strovik.amazon_rufus.browser import DEFAULT_CHROMIUM, BrowserOptions
        from strovik.amazon_rufus.pool import PoolOptions, RufusPool

        settings = self._settings
        browser = BrowserOptions(
            chromium=settings.chromium or DEFAULT_CHROMIUM, storage_state=settings.storage_state,
            args=BATCH_CHROMIUM_ARGS,
        )
        options = PoolOptions(
            browsers=settings.browsers, endpoints=settings.endpoints, browser=browser, timeout=settings.timeout,
            retries=settings.retries, queue=settings.queue,
        )
        async with RufusPool(settings.seed, options) as pool:
            self._pool, self._loop = pool, asyncio.get_running_loop()
            try:
                yield pool
            finally:
                self._pool = None

    def pool_state(self) -> dict[str, int] | None:
        """The pool's size and its busy and waiting counts (None while it is not running)."""
        pool = self._pool
        if pool is None:
            return None
        return {"size": pool.size, "busy": pool.busy, "waiting": pool.waiting}

    def stop_soon(self, reason: str = "the server is stopping") -> None:
        """End every call now (callable from any thread, a signal handler included)."""
        pool, loop = self._pool, self._loop
        if pool is not None and loop is not None:
            try:
                loop.call_soon_threadsafe(pool.stop_calls, reason)
            except RuntimeError:
                pass  # the loop has closed: nothing runs any more

    def register(self, server: MCPServer) -> None:
        hints = ToolAnnotations(read_only_hint=True, open_world_hint=True)
        server.add_tool(self.rufus_ask, name="rufus_ask", annotations=hints)
        server.add_tool(self.rufus_ask_many, name="rufus_ask_many", annotations=hints)

    async def _converse(
        self,
        tool: str,
        questions: list[str],
        asin: str | None,
        product_url: str | None,
        thread_id: str | None,
        on_result: Callable[[QuestionResult], Any] | None = None,
    ) -> Conversation:
        from strovik.amazon_rufus.domain.exceptions import RufusReplayError
        from strovik.amazon_rufus.pool import Busy, Closed

        owner, preview = _caller()
        started = time.monotonic()
        outcome = "error"
        target = asin or (asin_from_page_url(product_url) if product_url else None)
        try:
            pool = self._pool
            if pool is None:
                raise ToolError("the Rufus pool is not running")
            try:
                conversation = await pool.ask(
                    questions, owner=owner, asin=asin, product_url=product_url, thread_id=thread_id,
                    on_result=on_result,
                )
            except (Busy, Closed, RufusReplayError) as exc:
                raise ToolError(str(exc)) from None
            target = conversation.asin
            outcome = "ok" if conversation.error is None else "failed"
            return conversation
        except BaseException as exc:
            if not isinstance(exc, ToolError):
                outcome = "cancelled"
            raise
        finally:
            _log.info(
                "tool %s key=%s asin=%s questions=%d duration=%.2fs outcome=%s",
                tool, preview, target, len(questions), time.monotonic() - started, outcome,
            )

    async def rufus_ask(
        self,
        question: str,
        asin: str | None = None,
        product_url: str | None = None,
        thread_id: str | None = None,
    ) -> Annotated[CallToolResult, AskResult]:
        """Ask Amazon's Rufus shopping assistant one question about a product.

        The product is the server's default one unless `asin` (10 letters or digits) or
        `product_url` (a product page, .../dp/ASIN) names another. Pass the returned
        `thread_id` to continue the same conversation.
        """
        try:
            [checked] = _checked_questions([question])
            _checked_product(asin, product_url)
            conversation = await self._converse("rufus_ask", [checked], asin, product_url, thread_id)
        except ToolError as exc:
            return _result(str(exc), error=True)
        if conversation.error is not None:
            return _result(conversation.error, error=True)
        answer = conversation.results[-1]
        content: AskResult = {"text": answer.text or "", "thread_id": conversation.thread_id, "asin": conversation.asin}
        return _result(json.dumps(content, ensure_ascii=False), dict(content))

    async def rufus_ask_many(
        self,
        questions: list[str],
        ctx: Context,
        asin: str | None = None,
        product_url: str | None = None,
        thread_id: str | None = None,
    ) -> Annotated[CallToolResult, AskManyResult]:
        """Ask Amazon's Rufus shopping assistant several questions, in order, in one conversation.

        At most 50 questions. The product is chosen as for rufus_ask. A question that fails
        ends the call as an error whose result still holds every answer received before it;
        later questions are not asked. With a progress token, one progress notification is
        sent per answer.
        """
        total = len(questions)
        answered = 0

        async def on_result(result: QuestionResult) -> None:
            nonlocal answered
            if result.ok:
                answered += 1
                await ctx.report_progress(answered, total)

        try:
            checked = _checked_questions(questions)
            _checked_product(asin, product_url)
            conversation = await self._converse("rufus_ask_many", checked, asin, product_url, thread_id, on_result)
        except ToolError as exc:
            return _result(str(exc), error=True)
        items = [_item(result) for result in conversation.results]
        if conversation.error is not None and (not items or "error" not in items[-1]):
            # Cut short before the question in hand had a result: it is the failing one.
            failing = len(items)
            items.append({"index": failing + 1, "question": checked[failing], "error": conversation.error,
                          "thread_id": conversation.thread_id})
        content: AskManyResult = {"answers": items, "thread_id": conversation.thread_id}
        if conversation.error is None:
            return _result(json.dumps(content, ensure_ascii=False), dict(content))
        line = f"question {items[-1]['index']} of {total} failed: {conversation.error}"
        return _result(line, dict(content), error=True)


def _result(text: str, structured: dict[str, Any] | None = None, *, error: bool = False) -> CallToolResult:
    """A tool result: ``text`` for the model, ``structured`` for programs, ``error`` for isError."""
    return CallToolResult(
        content=[TextContent(type="text", text=text)], structured_content=structured, is_error=error
    )
