"""Per-request cost of the API-key gate, native against plain Python and Starlette.

Every variant wraps the same trivial ASGI app (start + body) and is driven without a
server: the benchmark creates the gate's coroutine and runs it with ``send(None)``;
neither the app nor ``send`` ever suspends, so one step finishes the request.

Variants, per path (admitted by query, admitted by Bearer, rejected):
  native     strovik.mcp.guardlet.ApiKeyGuardlet
  pure       benchmarks/pure_gate.py
  starlette  benchmarks/starlette_gate.py (AuthenticationMiddleware)
  floor      benchmarks/floor: a minimal gate written straight on the C API, an extension
             type whose instances are called directly (built here on first use with the
             package's compiler flags; the yardstick)
  floor-class the same floor behind a class shaped like the package's: built with type(),
             settings in the instance __dict__, `_extract_token` and `_send_401` called
             through the instance on every request
  bare       the trivial app alone

Further rows explain where the time goes: the native gate with the query parser
taken through the standard ``urllib.parse.parse_qs`` (the module attribute replaced by
an equal wrapper), ``parse_qs`` alone, ``_extract_token`` alone, ``_send_401`` alone,
an admitted request whose app sends nothing (the gate without tracking_send's work),
creating and closing one gate coroutine, and a pass-through (lifespan) connection.

Usage: python benchmarks/bench_gate.py [pyperf options, e.g. --fast -o out.json]
"""

from __future__ import annotations

import asyncio
import functools
import os
import subprocess
import sys
import urllib.parse
from time import perf_counter
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pyperf  # noqa: E402
import pure_gate  # noqa: E402
import starlette_gate  # noqa: E402
from workloads import (  # noqa: E402
    API_KEY,
    EXPECTED_STATUS,
    LIFESPAN_SCOPE,
    PATHS,
    http_scope,
    passthrough_app,
    trivial_app,
)

from strovik.mcp.context import mcp_request_ctx  # noqa: E402
from strovik.mcp.guardlet import ApiKeyGuardlet  # noqa: E402


HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR_BUILD = os.path.join(HERE, "out", "floor")


def build_floor() -> None:
    """Builds (or brings up to date) the floor gate's extension module."""
    steps = []
    if not os.path.exists(os.path.join(FLOOR_BUILD, "CMakeCache.txt")):
        steps.append(["cmake", "-S", os.path.join(HERE, "floor"), "-B", FLOOR_BUILD, f"-DPython_EXECUTABLE={sys.executable}"])
    steps.append(["cmake", "--build", FLOOR_BUILD])
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"bench_gate: building the floor gate failed ({' '.join(step)}):\n{done.stdout[-2000:]}{done.stderr[-2000:]}")


def floor_gate_classes() -> dict[str, Any]:
    """The floor gates' classes by variant name; none when they have not been built."""
    if FLOOR_BUILD not in sys.path:
        sys.path.insert(0, FLOOR_BUILD)
    try:
        import floor_gate
    except ImportError:
        return {}
    return {"floor": floor_gate.Gate, "floor-class": floor_gate.ClassGate}


async def _receive() -> dict[str, Any]:
    return {"type": "http.request", "body": b"", "more_body": False}


async def _send(message: dict[str, Any]) -> None:
    pass


def variants(app: Any = trivial_app) -> dict[str, Any]:
    found = {
        "native": ApiKeyGuardlet(app, api_key=API_KEY),
        "pure": pure_gate.ApiKeyGuardlet(app, api_key=API_KEY),
        "starlette": starlette_gate.starlette_gate(app, api_key=API_KEY),
        "bare": app,
    }
    for name, floor in floor_gate_classes().items():
        found[name] = floor(app, api_key=API_KEY)
    return found


def run_once(asgi: Any, scope: dict[str, Any], send: Any = _send) -> None:
    """Runs one connection to the end; the callable must not suspend."""
    coro = asgi(scope, _receive, send)
    try:
        coro.send(None)
    except StopIteration:
        return
    coro.close()
    raise RuntimeError(f"{asgi!r} suspended; the benchmark needs a callable that finishes in one step")


def statuses(asgi: Any) -> dict[str, int]:
    """The response status of each path, to make sure every variant does the work it is timed for."""
    seen: dict[str, int] = {}
    for path, template in PATHS.items():
        messages: list[dict[str, Any]] = []

        async def record(message: dict[str, Any]) -> None:
            messages.append(message)

        run_once(asgi, dict(template), record)
        seen[path] = messages[0]["status"]
    return seen


def time_requests(loops: int, asgi: Any, template: dict[str, Any]) -> float:
    copy = template.copy
    receive, send = _receive, _send
    t0 = perf_counter()
    for _ in range(loops):
        coro = asgi(copy(), receive, send)
        try:
            coro.send(None)
        except StopIteration:
            pass
        else:
            raise RuntimeError("suspended")
    return perf_counter() - t0


def time_requests_via_stdlib_parser(loops: int, asgi: Any, template: dict[str, Any]) -> float:
    # An equal but distinct parse_qs makes the native gate call the parser it finds
    # in urllib.parse, as it does when the attribute has been replaced.
    original = urllib.parse.parse_qs
    urllib.parse.parse_qs = functools.partial(original)
    try:
        return time_requests(loops, asgi, template)
    finally:
        urllib.parse.parse_qs = original


def time_parse_qs(loops: int, query: str) -> float:
    parse_qs = urllib.parse.parse_qs
    t0 = perf_counter()
    for _ in range(loops):
        parse_qs(query).get("api_key", [])
    return perf_counter() - t0


def time_extract(loops: int, gate: Any, template: dict[str, Any]) -> float:
    extract = gate._extract_token
    scope = dict(template)
    t0 = perf_counter()
    for _ in range(loops):
        extract(scope)
    return perf_counter() - t0


def time_send_401(loops: int, gate: Any, template: dict[str, Any]) -> float:
    send_401, send = gate._send_401, _send
    t0 = perf_counter()
    for _ in range(loops):
        coro = send_401(template, send)
        try:
            coro.send(None)
        except StopIteration:
            pass
    return perf_counter() - t0


def time_create_close(loops: int, asgi: Any, template: dict[str, Any]) -> float:
    receive, send = _receive, _send
    t0 = perf_counter()
    for _ in range(loops):
        asgi(template, receive, send).close()
    return perf_counter() - t0


def observed(gate_class: Any, app_kind: str, scope: dict[str, Any]) -> list[Any]:
    """What the app, the raw send and the caller see of one connection through a gate."""
    seen: list[Any] = []

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        seen.append(("app", dict(scope), mcp_request_ctx.get(None)))
        if app_kind == "asgi error":
            raise RuntimeError("Expected ASGI message 'http.response.start'")
        await send({"type": "http.response.start", "status": 200, "headers": []})
        if app_kind == "raises":
            raise ValueError("app failed")
        await send({"type": "http.response.body", "body": b"ok", "more_body": app_kind == "left open"})

    async def send(message: dict[str, Any]) -> None:
        seen.append(("send", message))

    async def connection() -> None:
        try:
            await gate_class(app, api_key=API_KEY)(dict(scope), _receive, send)
        except Exception as exc:  # noqa: BLE001 - the exception is part of what is compared
            seen.append(("raised", type(exc), str(exc)))
        seen.append(("context after", mcp_request_ctx.get(None)))

    asyncio.run(connection())
    return seen


def check_floor(floor_class: Any) -> None:
    """A floor gate must behave as the native gate wherever it is measured and around it."""
    key = API_KEY.encode()
    scopes = dict(PATHS)
    scopes.update(
        escaped=http_scope(query=b"x=1&api_key=" + key.replace(b"-", b"%2D") + b"&api_key=other"),
        blank_then_key=http_scope(query=b"api_key=&flag&api_key=" + key),
        bearer_padded=http_scope(extra_headers=[(b"Authorization", b"BEARER \t" + key + b"  ")]),
        basic_then_bearer=http_scope(extra_headers=[(b"authorization", b"Basic eDp5"), (b"authorization", b"Bearer " + key)]),
        bearer_not_ascii=http_scope(extra_headers=[(b"authorization", "Bearer \u00e9".encode())]),
        query_not_utf8=http_scope(query=b"api_key=\xff", extra_headers=[(b"authorization", b"Bearer " + key)]),
        no_key=http_scope(),
        lifespan=dict(LIFESPAN_SCOPE),
    )
    for label, scope in scopes.items():
        for app_kind in ("answers", "left open", "raises", "asgi error"):
            native, floor = observed(ApiKeyGuardlet, app_kind, scope), observed(floor_class, app_kind, scope)
            if native != floor:
                raise SystemExit(f"bench_gate: {floor_class.__name__} differs from the native gate ({label}, app {app_kind}):"
                                 f"\n native {native}\n floor  {floor}")


def check() -> None:
    for name, asgi in variants().items():
        got = statuses(asgi)
        want = EXPECTED_STATUS if name != "bare" else {path: 200 for path in PATHS}
        if got != want:
            raise SystemExit(f"bench_gate: variant {name!r} answers {got}, expected {want}")
    for floor_class in floor_gate_classes().values():
        check_floor(floor_class)


def main() -> None:
    if "--worker" not in sys.argv:
        build_floor()
    runner = pyperf.Runner()
    runner.metadata["description"] = "per-request cost of the API-key gate (native, pure Python, Starlette, bare app)"
    check()
    gates = variants()
    for path, template in PATHS.items():
        for name, asgi in gates.items():
            runner.bench_time_func(f"gate {path} {name}", time_requests, asgi, template)

    query_template = PATHS["query"]
    runner.bench_time_func(
        "gate query native-stdlib-parse_qs", time_requests_via_stdlib_parser, gates["native"], query_template
    )
    runner.bench_time_func("parse_qs alone", time_parse_qs, query_template["query_string"].decode())
    for path in ("query", "bearer"):
        for name in ("native", "pure"):
            runner.bench_time_func(f"_extract_token {path} {name}", time_extract, gates[name], PATHS[path])

    for name in ("native", "pure", "floor-class"):
        if name in gates:
            runner.bench_time_func(f"_send_401 {name}", time_send_401, gates[name], PATHS["rejected"])

    passthrough = variants(passthrough_app)
    # Admitted by query, but the app returns at once: the gate's cost without the two
    # sends that go through tracking_send.
    for name in ("native", "pure", "bare"):
        runner.bench_time_func(f"query, app sends nothing {name}", time_requests, passthrough[name], PATHS["query"])
    for name in ("native", "pure"):
        runner.bench_time_func(
            f"coroutine create+close {name}", time_create_close, passthrough[name], PATHS["query"]
        )
    for name in ("native", "pure", "floor", "floor-class", "bare"):
        if name in passthrough:
            runner.bench_time_func(f"passthrough lifespan {name}", time_requests, passthrough[name], LIFESPAN_SCOPE)


if __name__ == "__main__":
    main()
