"""Remote key verification for a server under load: one kept-alive pool, coalesced, bounded.

:class:`PooledApiKeyGuardlet` is the API-key gate with its remote check replaced; the
server uses it in remote mode unless told ``--verify-per-request-client``. The request
it sends and the answers it accepts are the gate's own: ``GET`` the verification URL
with the query parameter ``api_key`` and the header ``X-MCP-API-Key``, both holding the
key; status 200 and a JSON object whose ``valid`` member is true (in Python's sense)
admit the key, anything else refuses it, and a failure is one warning line and a
refusal. What differs:

* one ``aiohttp.ClientSession`` serves every check, so connections to the backend are
  kept alive and reused (aiohttp was chosen by measurement:
  ``benchmarks/bench_verify_clients.py``; it asks once more when a kept-alive
  connection turns out closed by the backend);
* checks of the same key that overlap in time share one backend request;
* a check has one deadline for the whole of it (connect, send, answer and body), not
  one per read, and the answer's body is capped: a larger one is refused unread;
* positive answers are kept for ``cache_ttl`` seconds when asked to (default 0: every
  request is verified). Refusals are never kept;
* whether a refusal was the backend's word or an outage (unreachable, too slow, 5xx)
  is told apart, so that the server can answer an outage with 503.

The cache and the in-flight table are keyed by a SHA-256 of the verification URL and
the key; the key itself is never stored.
"""

from __future__ import annotations

import asyncio
import contextvars
import functools
import hashlib
import json
import logging
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from strovik.mcp.guardlet import ApiKeyGuardlet
from strovik.mcp.redaction import VERIFY_FAILURE_FORMAT, failure_detail

if TYPE_CHECKING:
    import aiohttp
    from starlette.types import ASGIApp, Scope, Send

_logger = logging.getLogger("strovik.mcp")

DEFAULT_DEADLINE = 10.0
DEFAULT_BODY_LIMIT = 64 * 1024
OUTAGE_RETRY_AFTER = 5

# A check's outcome: the backend's answer (None for a refusal) and whether the refusal
# came from an outage rather than from the backend's word.
Outcome = tuple[dict[str, Any] | None, bool]
_REFUSED: Outcome = (None, False)


class _Outage(Exception):
    """The backend could not give an answer: its text goes into the failure warning."""


class _BadAnswer(Exception):
    """The backend answered something that is not a verdict (too large, for one)."""


class _NonBooleanValid:
    """Warns once per process when a backend answers a ``valid`` that is not a JSON boolean."""

    warned = False

    @classmethod
    def check(cls, answer: dict[str, Any]) -> None:
        if cls.warned or "valid" not in answer or answer["valid"] is True or answer["valid"] is False:
            return
        cls.warned = True
        logging.getLogger("strovik.mcp.verify_pool").warning(
            "the key-verification backend answers a \"valid\" that is not a JSON boolean (%s); "
            "it is read by its truth value (shown once)",
            "null" if answer["valid"] is None else type(answer["valid"]).__name__,
        )


def _header_safe(key: str) -> bool:
    # What an HTTP/1.1 header value may hold without being refused or rewritten on the way.
    return key.isascii() and key.isprintable()


class VerifyPool:
    """Shared state of pooled remote checks: the session, the in-flight checks, the cache."""

    def __init__(
        self,
        *,
        cache_ttl: float = 0.0,
        deadline: float = DEFAULT_DEADLINE,
        body_limit: int = DEFAULT_BODY_LIMIT,
        max_connections: int = 100,
        max_cache_entries: int = 10_000,
        clock: Callable[[], float] = time.monotonic,
        observe: Callable[[str, float], None] | None = None,
    ) -> None:
        if cache_ttl < 0:
            raise ValueError("cache_ttl must be >= 0")
        if max_cache_entries < 1:
            raise ValueError("max_cache_entries must be >= 1")
        self.cache_ttl = cache_ttl
        self.deadline = deadline
        self.body_limit = body_limit
        self.max_connections = max_connections
        self.max_cache_entries = max_cache_entries
        self._clock = clock
        # Told each backend check's outcome ("valid", "refused", "outage") and its seconds.
        self.observe = observe
        self._client: aiohttp.ClientSession | None = None
        self._client_loop: asyncio.AbstractEventLoop | None = None
        self._in_flight: dict[bytes, asyncio.Task[Outcome]] = {}
        # digest -> (expiry on the clock, the backend's answer); insertion order is age.
        self._cache: dict[bytes, tuple[float, dict[str, Any]]] = {}

    @staticmethod
    def _identity(url: str, key: str) -> bytes:
        digest = hashlib.sha256()
        digest.update(url.encode("utf-8", "surrogatepass"))
        digest.update(b"\0")
        digest.update(key.encode("utf-8", "surrogatepass"))
        return digest.digest()

    async def verify(self, url: str, key: str) -> dict[str, Any] | None:
        """The backend's answer for ``key`` (a fresh copy per caller), or None for a refusal."""
        return (await self.check(url, key))[0]

    async def check(self, url: str, key: str) -> Outcome:
        """The backend's answer for ``key`` (a fresh copy) or None, and whether None means an outage."""
        ident = self._identity(url, key)
        cached = self._cache_get(ident)
        if cached is not None:
            return dict(cached), False
        loop = asyncio.get_running_loop()
        task = self._in_flight.get(ident)
        if task is None or task.get_loop() is not loop:
            task = loop.create_task(self._ask_backend(url, key, ident))
            self._in_flight[ident] = task
            task.add_done_callback(functools.partial(self._forget, ident))
        # The shared check goes on for the others when one waiting request is cancelled.
        answer, outage = await asyncio.shield(task)
        return (dict(answer) if answer is not None else None), outage

    def _forget(self, ident: bytes, task: asyncio.Task[Outcome]) -> None:
        if self._in_flight.get(ident) is task:
            del self._in_flight[ident]

    def _cache_get(self, ident: bytes) -> dict[str, Any] | None:
        entry = self._cache.get(ident)
        if entry is None:
            return None
        if entry[0] > self._clock():
            return entry[1]
        del self._cache[ident]
        return None

    def _cache_put(self, ident: bytes, answer: dict[str, Any]) -> None:
        if self.cache_ttl <= 0:
            return
        now = self._clock()
        self._cache.pop(ident, None)
        if len(self._cache) >= self.max_cache_entries:
            for stale in [i for i, (expiry, _answer) in self._cache.items() if expiry <= now]:
                del self._cache[stale]
            while len(self._cache) >= self.max_cache_entries:
                del self._cache[next(iter(self._cache))]
        self._cache[ident] = (now + self.cache_ttl, answer)

    def _session(self) -> aiohttp.ClientSession:
        import aiohttp

        loop = asyncio.get_running_loop()
        if self._client is None or self._client_loop is not loop:
            connector = aiohttp.TCPConnector(limit=self.max_connections)
            # The deadline is kept by _ask_backend for the whole check; no timer of aiohttp's own.
            timeout = aiohttp.ClientTimeout(total=None)
            self._client = aiohttp.ClientSession(connector=connector, timeout=timeout, trust_env=False)
            self._client_loop = loop
        return self._client

    async def _ask_backend(self, url: str, key: str, ident: bytes) -> Outcome:
        started = time.perf_counter()
        answer, outage = await self._ask(url, key, ident)
        if self.observe is not None:
            outcome = "valid" if answer is not None else "outage" if outage else "refused"
            self.observe(outcome, time.perf_counter() - started)
        return answer, outage

    async def _ask(self, url: str, key: str, ident: bytes) -> Outcome:
        try:
            if not _header_safe(key):
                raise ValueError("the key cannot be sent as an HTTP header value")
            session = self._session()
            try:
                async with asyncio.timeout(self.deadline):
                    status, body = await self._fetch(session, url, key)
            except TimeoutError:
                raise _Outage(f"no complete answer from the backend within {self.deadline:g} s") from None
            if status >= 500:
                return None, True
            if status != 200:
                return _REFUSED
            data = json.loads(body)
            # Only a JSON object has get(); any other JSON value fails here and is logged.
            valid = data.get("valid")
            _NonBooleanValid.check(data)
            if not valid:
                return _REFUSED
            self._cache_put(ident, data)
            return data, False
        except Exception as exc:
            _logger.warning(VERIFY_FAILURE_FORMAT, failure_detail(exc, key))
            return None, _is_outage(exc)

    async def _fetch(self, session: aiohttp.ClientSession, url: str, key: str) -> tuple[int, bytes]:
        """Status and body of one backend request; a body over the limit is refused unread."""
        limit = self.body_limit
        async with session.get(url, params={"api_key": key}, headers={"X-MCP-API-Key": key}) as response:
            if response.status != 200:
                return response.status, b""
            length = response.content_length
            if length is not None and length > limit:
                response.close()
                raise _BadAnswer(f"the backend's answer of {length} bytes exceeds {limit} bytes")
            body = bytearray()
            while len(body) <= limit:
                chunk = await response.content.read(limit + 1 - len(body))
                if not chunk:
                    return 200, bytes(body)
                body += chunk
            response.close()
            raise _BadAnswer(f"the backend's answer exceeds {limit} bytes")

    async def aclose(self) -> None:
        """Cancel checks still running, drop the cache and close the shared session."""
        for task in list(self._in_flight.values()):
            task.cancel()
        self._in_flight.clear()
        self._cache.clear()
        client, self._client, self._client_loop = self._client, None, None
        if client is not None:
            await client.close()


def _is_outage(exc: Exception) -> bool:
    """Whether a failed check means the backend could not be asked (rather than a bad answer)."""
    import aiohttp

    return isinstance(exc, (_Outage, OSError, aiohttp.ClientConnectionError, aiohttp.ClientPayloadError))


# Whether the last remote check of the current request failed by an outage; read by
# _send_401 of the same request (the gate awaits both in one task, so one context).
_outage_seen: contextvars.ContextVar[bool] = contextvars.ContextVar("strovik_mcp_verify_outage", default=False)


class PooledApiKeyGuardlet(ApiKeyGuardlet):
    """The API-key gate whose remote checks go through a :class:`VerifyPool`.

    With ``outage_status`` 503, a request refused because the backend could not answer
    gets 503 with ``Retry-After`` (and no Bearer challenge: the key was not judged); a
    key the backend refused still gets the gate's 401.
    """

    def __init__(
        self,
        app: ASGIApp,
        *,
        api_key: str | None = None,
        auth_verify_url: str | None = None,
        pool: VerifyPool | None = None,
        outage_status: int = 401,
    ) -> None:
        super().__init__(app, api_key=api_key, auth_verify_url=auth_verify_url)
        if outage_status not in (401, 503):
            raise ValueError("outage_status must be 401 or 503")
        self._verify_pool = pool if pool is not None else VerifyPool()
        self._outage_status = outage_status

    async def _verify_remote(self, api_key: str | None) -> dict[str, Any] | None:
        """Verify the key with the backend through the shared pool, coalesced, bounded in time and size.

        Returns the backend's answer on success and None on failure, like the gate's own check.
        """
        if api_key is not None and type(api_key) is not str:
            raise TypeError(
                f"Argument 'api_key' has incorrect type (expected str, got {type(api_key).__name__:.200})"
            )
        if not api_key:
            return None
        url = self._auth_verify_url
        if not url:
            return None
        answer, outage = await self._verify_pool.check(url, api_key)
        if outage and self._outage_status == 503:
            _outage_seen.set(True)
        return answer

    async def _send_401(self, _scope: Scope, send: Send, reason: str = "invalid_api_key") -> None:
        if not _outage_seen.get():
            return await super()._send_401(_scope, send, reason)
        _outage_seen.set(False)
        await send(
            {
                "type": "http.response.start",
                "status": 503,
                "headers": [
                    (b"content-type", b"application/json"),
                    (b"retry-after", str(OUTAGE_RETRY_AFTER).encode()),
                ],
            }
        )
        await send(
            {
                "type": "http.response.body",
                "body": b'{"error":"Service Unavailable","message":"API key verification is unavailable",'
                b'"reason":"verification_unavailable"}',
            }
        )
