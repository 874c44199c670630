"""ASGI servers for the end-to-end benchmark, one per process, on 127.0.0.1.

    python benchmarks/bench_servers.py MODE [--verify-url URL] [--parts plain|fast]

binds a free port on 127.0.0.1, prints it as the first line of standard output and
serves until terminated. Modes:

  bare            the trivial app alone
  native          the trivial app behind strovik.mcp.guardlet.ApiKeyGuardlet (fixed key)
  pure            behind benchmarks/pure_gate.py (fixed key)
  starlette       behind benchmarks/starlette_gate.py (fixed key)
  remote          behind the native gate in remote mode (a new client per check:
                  strovik-mcp --verify-per-request-client)
  remote-pool     behind PooledApiKeyGuardlet with a 30 s cache (--verify-cache-ttl 30)
  remote-pool-nocache   behind PooledApiKeyGuardlet, no cache (strovik-mcp's remote default)
  backend         the key-verification backend the remote modes ask (always uvloop + httptools)

--parts plain serves with asyncio and h11, --parts fast with uvloop and httptools.
"""

from __future__ import annotations

import argparse
import os
import socket
import sys
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import uvicorn  # noqa: E402
from workloads import API_KEY, trivial_app  # noqa: E402

VERIFY_PATH = "/v1/mcp/verify-key"
# The keys the remote rows rotate over: distinct keys, so that coalescing and caching cannot
# stand in for the per-check cost.
REMOTE_KEYS = [f"sk-bench-{n:02d}-{n * 7919:012d}" for n in range(64)]
USERS = {API_KEY: (4242, "bench@example.com")}
USERS.update({key: (5000 + n, f"user{n}@example.com") for n, key in enumerate(REMOTE_KEYS)})

GATED_MODES = ("native", "pure", "starlette", "remote", "remote-pool", "remote-pool-nocache")
MODES = ("bare", *GATED_MODES, "backend")


def verification_backend() -> Any:
    """Answers the gate's key check: 200 and {"valid": true, "user_id", "email"} for a known key.

    A bare ASGI app, so that the backend costs little next to the server it answers.
    """
    import json
    from urllib.parse import parse_qs

    answers = {
        key: json.dumps({"valid": True, "user_id": user[0], "email": user[1]}).encode() for key, user in USERS.items()
    }
    refused = b'{"valid": false}'

    async def verify(scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "lifespan":
            return await trivial_app(scope, receive, send)
        keys = parse_qs(scope["query_string"].decode("latin-1")).get("api_key", [""])
        body = answers.get(keys[0], refused) if scope["path"] == VERIFY_PATH else refused
        headers = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]
        await send({"type": "http.response.start", "status": 200, "headers": headers})
        await send({"type": "http.response.body", "body": body})

    return verify


def build(mode: str, verify_url: str | None) -> Any:
    if mode == "bare":
        return trivial_app
    if mode == "backend":
        return verification_backend()
    if mode == "native":
        from strovik.mcp.guardlet import ApiKeyGuardlet

        return ApiKeyGuardlet(trivial_app, api_key=API_KEY)
    if mode == "pure":
        import pure_gate

        return pure_gate.ApiKeyGuardlet(trivial_app, api_key=API_KEY)
    if mode == "starlette":
        import starlette_gate

        return starlette_gate.starlette_gate(trivial_app, api_key=API_KEY)
    if not verify_url:
        raise SystemExit(f"bench_servers: mode {mode} needs --verify-url")
    if mode == "remote":
        from strovik.mcp.guardlet import ApiKeyGuardlet

        return ApiKeyGuardlet(trivial_app, auth_verify_url=verify_url)
    from strovik.mcp.verify_pool import PooledApiKeyGuardlet, VerifyPool

    ttl = 0.0 if mode == "remote-pool-nocache" else 30.0
    return PooledApiKeyGuardlet(trivial_app, auth_verify_url=verify_url, pool=VerifyPool(cache_ttl=ttl))


def main() -> None:
    parser = argparse.ArgumentParser(description="serve one benchmark app on 127.0.0.1")
    parser.add_argument("mode", choices=MODES)
    parser.add_argument("--verify-url")
    parser.add_argument(
        "--parts",
        choices=("plain", "fast"),
        default="plain",
        help="plain: asyncio loop and h11; fast: uvloop and httptools (the backend always runs fast)",
    )
    args = parser.parse_args()
    app = build(args.mode, args.verify_url)

    # IPPROTO_TCP explicitly: asyncio turns Nagle off only on sockets that name it,
    # and with Nagle on, a response sent as two messages waits for a delayed ACK.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    print(sock.getsockname()[1], flush=True)
    fast = args.parts == "fast" or args.mode == "backend"
    config = uvicorn.Config(
        app,
        log_level="warning",
        access_log=False,
        lifespan="on",
        backlog=1024,
        loop="uvloop" if fast else "asyncio",
        http="httptools" if fast else "h11",
    )
    uvicorn.Server(config).run(sockets=[sock])


if __name__ == "__main__":
    main()
