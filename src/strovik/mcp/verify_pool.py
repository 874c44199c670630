"""Remote key verification for busy servers: one shared client, coalesced checks, a short cache.

:class:`PooledApiKeyGuardlet` is the API-key gate with its remote check replaced.
The request it sends and the answers it accepts are the gate's own: ``GET`` the
verification URL with the query parameter ``api_key`` and the header
``X-MCP-API-Key``, both holding the key; status 200 and a JSON object whose
``valid`` member is true admit the key, anything else refuses it, and a failure
is one warning line and a refusal. What differs:

* one ``httpx.AsyncClient`` serves every check, so connections to the backend are
  kept alive and reused instead of opened per request;
* checks of the same key that overlap in time share one backend request;
* positive answers are kept for ``cache_ttl`` seconds (0 turns the cache off).
  Refusals are never kept, so a key issued a moment ago works at once; a revoked
  key may keep working until its entry expires.

The cache and the in-flight table are keyed by a SHA-256 of the verification URL
and the key; the key itself is never stored.
"""

from __future__ import annotations

import asyncio
import functools
import hashlib
import logging
import time
from collections.abc import Callable
from typing import Any

from strovik.mcp.guardlet import ApiKeyGuardlet

_logger = logging.getLogger("strovik.mcp")

_FAILURE_MESSAGE = "远程校验 API Key 失败: %s"
_MASK = "***"


def _loggable(exc: Exception, key: str) -> object:
    """What the failure warning shows of ``exc``: never the key, never an empty text.

    HTTP libraries quote a bad header value in their errors, as ``repr`` of the
    text or of its bytes, so those spellings of the key are masked too.
    """
    text = str(exc)
    spellings = {key, repr(key)[1:-1], repr(key.encode("utf-8", "surrogatepass"))[2:-1]}
    leaked = [spelling for spelling in spellings if spelling and spelling in text]
    if leaked:
        for spelling in sorted(leaked, key=len, reverse=True):
            text = text.replace(spelling, _MASK)
        return text
    if not text:
        return type(exc).__name__
    return exc


class VerifyPool:
    """Shared state of pooled remote checks: the client, the in-flight checks, the cache."""

    def __init__(
        self,
        *,
        cache_ttl: float = 30.0,
        timeout: float = 10.0,
        max_connections: int = 100,
        max_cache_entries: int = 10_000,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if cache_ttl < 0:
            raise ValueError("cache_ttl must be >= 0")
        if max_cache_entries < 1:
            raise ValueError("max_cache_entries must be >= 1")
        self.cache_ttl = cache_ttl
        self.timeout = timeout
        self.max_connections = max_connections
        self.max_cache_entries = max_cache_entries
        self._clock = clock
        self._client: Any = None
        self._client_loop: asyncio.AbstractEventLoop | None = None
        self._in_flight: dict[bytes, asyncio.Task[dict[str, Any] | None]] = {}
        # digest -> (expiry on the clock, the backend's answer); insertion order is age.
        self._cache: dict[bytes, tuple[float, dict[str, Any]]] = {}
        self.backend_calls = 0

    @staticmethod
    def _identity(url: str, key: str) -> bytes:
        digest = hashlib.sha256()
        digest.update(url.encode("utf-8", "surrogatepass"))
        digest.update(b"\0")
        digest.update(key.encode("utf-8", "surrogatepass"))
        return digest.digest()

    async def verify(self, url: str, key: str) -> dict[str, Any] | None:
        """The backend's answer for ``key`` (a fresh copy per caller), or None for a refusal."""
        ident = self._identity(url, key)
        cached = self._cache_get(ident)
        if cached is not None:
            return dict(cached)
        loop = asyncio.get_running_loop()
        task = self._in_flight.get(ident)
        if task is None or task.get_loop() is not loop:
            task = loop.create_task(self._ask_backend(url, key, ident))
            self._in_flight[ident] = task
            task.add_done_callback(functools.partial(self._forget, ident))
        # The shared check goes on for the others when one waiting request is cancelled.
        result = await asyncio.shield(task)
        return dict(result) if result is not None else None

    def _forget(self, ident: bytes, task: asyncio.Task[Any]) -> None:
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

    def _shared_client(self) -> Any:
        import httpx

        loop = asyncio.get_running_loop()
        if self._client is None or self._client_loop is not loop:
            limits = httpx.Limits(
                max_connections=self.max_connections, max_keepalive_connections=self.max_connections
            )
            self._client = httpx.AsyncClient(limits=limits, timeout=self.timeout)
            self._client_loop = loop
        return self._client

    async def _ask_backend(self, url: str, key: str, ident: bytes) -> dict[str, Any] | None:
        self.backend_calls += 1
        try:
            client = self._shared_client()
            try:
                # httpx bounds each phase of the request; this bounds the whole of it.
                async with asyncio.timeout(self.timeout):
                    response = await client.get(
                        url, params={"api_key": key}, headers={"X-MCP-API-Key": key}, timeout=self.timeout
                    )
            except TimeoutError:
                raise TimeoutError(f"no answer from the backend within {self.timeout:g} s") from None
            if response.status_code == 200:
                data = response.json()
                # Only a JSON object has get(); any other JSON value fails here and is logged.
                if data.get("valid"):
                    self._cache_put(ident, data)
                    return data
            return None
        except Exception as exc:
            _logger.warning(_FAILURE_MESSAGE, _loggable(exc, key))
            return None

    async def aclose(self) -> None:
        """Cancel checks still running, drop the cache and close the shared client."""
        for task in list(self._in_flight.values()):
            task.cancel()
        self._in_flight.clear()
        self._cache.clear()
        client, self._client, self._client_loop = self._client, None, None
        if client is not None:
            await client.aclose()


class PooledApiKeyGuardlet(ApiKeyGuardlet):
    """The API-key gate whose remote checks go through a :class:`VerifyPool`."""

    def __init__(
        self,
        app: Any,
        *,
        api_key: str | None = None,
        auth_verify_url: str | None = None,
        pool: VerifyPool | None = None,
    ) -> None:
        super().__init__(app, api_key=api_key, auth_verify_url=auth_verify_url)
        self._verify_pool = pool if pool is not None else VerifyPool()

    async def _verify_remote(self, api_key: str | None) -> dict[str, Any] | None:
        """Verify the key with the backend, through the shared client, coalesced and cached.

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
        return await self._verify_pool.verify(url, api_key)
