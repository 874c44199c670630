"""Which HTTP client should carry the server's pooled key checks? Measured, side by side.

Each variant runs the same key check against one local verification backend
(benchmarks/bench_servers.py backend, pinned to the second CPU): GET with the key as the
``api_key`` query parameter and the ``X-MCP-API-Key`` header, the answer's body read
(at most 64 KiB) and parsed as JSON. 32 checks are in flight at any moment, each of a
key that no other check in flight has, so coalescing could not hide the cost of a
check. Every variant serves the same number of checks, in interleaved rounds; the table
gives checks per second (best and median round) and the client process's CPU per check.

    python benchmarks/bench_verify_clients.py [--checks 3000] [--rounds 3] [--loop asyncio|uvloop] [-o out.json]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any
from urllib.parse import urlencode

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_servers import REMOTE_KEYS, VERIFY_PATH  # noqa: E402
from bench_wrk import CLIENT_CPU, SERVER_CPU, start  # noqa: E402

CONCURRENCY = 32
BODY_LIMIT = 64 * 1024
Check = Callable[[str], Awaitable[bool]]


async def _capped(chunks: AsyncIterator[bytes]) -> bytes | None:
    """The body read from ``chunks``, or None as soon as it passes BODY_LIMIT."""
    body = b""
    async for chunk in chunks:
        body += chunk
        if len(body) > BODY_LIMIT:
            return None
    return body


def _valid(status: int, body: bytes) -> bool:
    return status == 200 and bool(json.loads(body).get("valid"))


async def httpx_per_check(url: str) -> tuple[Check, Callable[[], Awaitable[None]]]:
    """What the native gate does: a new httpx.AsyncClient for every check."""
    import httpx

    async def check(key: str) -> bool:
        async with httpx.AsyncClient() as client:
            response = await client.get(url, params={"api_key": key}, headers={"X-MCP-API-Key": key}, timeout=10)
            return _valid(response.status_code, response.content)

    async def close() -> None:
        pass

    return check, close


async def httpx_shared(url: str) -> tuple[Check, Callable[[], Awaitable[None]]]:
    import httpx

    limits = httpx.Limits(max_connections=100, max_keepalive_connections=100)
    client = httpx.AsyncClient(limits=limits, timeout=10)

    async def check(key: str) -> bool:
        async with client.stream("GET", url, params={"api_key": key}, headers={"X-MCP-API-Key": key}) as response:
            body = await _capped(response.aiter_raw())
            return body is not None and _valid(response.status_code, body)

    return check, client.aclose


async def httpcore_pool(url: str) -> tuple[Check, Callable[[], Awaitable[None]]]:
    import httpcore

    pool = httpcore.AsyncConnectionPool(max_connections=100, max_keepalive_connections=100)

    async def check(key: str) -> bool:
        target = url + "?" + urlencode({"api_key": key})
        async with pool.stream("GET", target, headers=[(b"X-MCP-API-Key", key.encode())]) as response:
            body = await _capped(response.aiter_stream())
            return body is not None and _valid(response.status, body)

    return check, pool.aclose


async def aiohttp_session(url: str) -> tuple[Check, Callable[[], Awaitable[None]]]:
    import aiohttp

    session = aiohttp.ClientSession(
        connector=aiohttp.TCPConnector(limit=100), timeout=aiohttp.ClientTimeout(total=10), trust_env=False
    )

    async def check(key: str) -> bool:
        async with session.get(url, params={"api_key": key}, headers={"X-MCP-API-Key": key}) as response:
            if response.content_length is not None and response.content_length > BODY_LIMIT:
                return False
            body = await response.content.read(BODY_LIMIT + 1)
            while len(body) <= BODY_LIMIT and not response.content.at_eof():
                body += await response.content.read(BODY_LIMIT + 1 - len(body))
            return len(body) <= BODY_LIMIT and _valid(response.status, body)

    return check, session.close


VARIANTS: dict[str, Callable[[str], Awaitable[tuple[Check, Callable[[], Awaitable[None]]]]]] = {
    "httpx, new client per check": httpx_per_check,
    "httpx.AsyncClient, shared": httpx_shared,
    "httpcore.AsyncConnectionPool": httpcore_pool,
    "aiohttp.ClientSession": aiohttp_session,
}


def cpu_seconds() -> float:
    usage = os.times()
    return usage.user + usage.system


async def measure(name: str, url: str, checks: int) -> dict[str, float]:
    check, close = await VARIANTS[name](url)
    try:
        # Warm-up: connections opened, imports done.
        await asyncio.gather(*(check(REMOTE_KEYS[i]) for i in range(CONCURRENCY)))
        remaining = checks
        failures = 0

        async def worker(slot: int) -> None:
            nonlocal remaining, failures
            turn = 0
            while remaining > 0:
                remaining -= 1
                # Worker `slot` uses keys slot and slot + 32 in turn: no two checks in flight share a key.
                key = REMOTE_KEYS[slot + CONCURRENCY * (turn % 2)]
                turn += 1
                if not await check(key):
                    failures += 1

        cpu0, t0 = cpu_seconds(), time.perf_counter()
        await asyncio.gather(*(worker(slot) for slot in range(CONCURRENCY)))
        elapsed, cpu = time.perf_counter() - t0, cpu_seconds() - cpu0
    finally:
        await close()
    if failures:
        raise SystemExit(f"bench_verify_clients: {name}: {failures} checks failed")
    return {"checks_per_s": checks / elapsed, "cpu_us_per_check": 1e6 * cpu / checks}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--checks", type=int, default=3000, help="checks per variant and round (default 3000)")
    parser.add_argument("--per-check-checks", type=int, default=300, help="checks for the new-client-per-check row")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio")
    parser.add_argument("-o", "--output")
    args = parser.parse_args()

    if CLIENT_CPU is not None:
        os.sched_setaffinity(0, {SERVER_CPU})  # the clients run where the server would
    backend = start("backend")
    url = f"http://127.0.0.1:{backend.port}{VERIFY_PATH}"
    results: dict[str, list[dict[str, float]]] = {name: [] for name in VARIANTS}
    try:
        for round_no in range(args.rounds):
            names = list(VARIANTS)
            shift = round_no % len(names)
            for name in names[shift:] + names[:shift]:
                n = args.per_check_checks if name == "httpx, new client per check" else args.checks
                if args.loop == "uvloop":
                    import uvloop

                    got = uvloop.run(measure(name, url, n))
                else:
                    got = asyncio.run(measure(name, url, n))
                results[name].append(got)
                print(f"  {name:<32} {got['checks_per_s']:>8.0f} checks/s {got['cpu_us_per_check']:>8.1f} us CPU/check",
                      file=sys.stderr, flush=True)
    finally:
        backend.stop()

    report: dict[str, Any] = {"loop": args.loop, "concurrency": CONCURRENCY, "rows": {}}
    for name, rounds in results.items():
        rates = [r["checks_per_s"] for r in rounds]
        cpus = [r["cpu_us_per_check"] for r in rounds]
        report["rows"][name] = {
            "best": max(rates),
            "median": statistics.median(rates),
            "cpu_us_median": statistics.median(cpus),
        }
        print(f"{name:<32} best {max(rates):>8.0f} checks/s  median {statistics.median(rates):>8.0f}"
              f"  {statistics.median(cpus):>8.1f} us CPU/check ({args.loop})")
    if args.output:
        with open(args.output, "w") as f:
            json.dump(report, f, indent=2)


if __name__ == "__main__":
    main()
