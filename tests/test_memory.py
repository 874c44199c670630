"""Leak check: every public method of the native modules, on its success and its error paths, is run many
times after a warm-up, and the interpreter's count of allocated memory blocks must stay flat."""

from __future__ import annotations

import asyncio
import gc
import importlib
import logging
import pickle
import socket
import subprocess
import sys
import types
import warnings

import pytest

ITERATIONS = 2000
WARMUP = 200
SLACK = 50  # blocks; a leak of one block per call shows up as ~ITERATIONS

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "getallocatedblocks") or sys.getallocatedblocks() == 0,
    reason="needs the interpreter's own allocator (sys.getallocatedblocks)",
)


def block_growth(action, iterations=ITERATIONS, warmup=WARMUP, rounds=3):
    """Blocks still allocated after ``iterations`` calls of ``action`` (after a warm-up); the smallest of the
    measured rounds, so that a one-off cache fill, or a thread an earlier test left winding down, is not
    taken for a leak (the count is the whole process's); a leak grows in every round."""
    for _ in range(warmup):
        action()
    results = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(iterations):
            action()
        gc.collect()
        results.append(sys.getallocatedblocks() - before)
    return min(results)


def raises(exc_type, call, *args, **kwargs):
    """An action that must raise ``exc_type``."""

    def action():
        try:
            call(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{call!r} did not raise {exc_type.__name__}")

    return action


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("coroutine suspended")


def drive_raises(exc_type, make):
    def action():
        try:
            drive(make())
        except exc_type:
            return
        raise AssertionError(f"expected {exc_type.__name__}")

    return action


@pytest.fixture(scope="module")
def guardlet():
    """The gate module, logging into a private logger whose records are dropped, so that the logging path
    runs in full without any capture handler keeping the records."""
    module = importlib.import_module("strovik.mcp.guardlet")
    private = logging.Logger("strovik.mcp.memory-check", logging.DEBUG)
    private.addHandler(logging.NullHandler())
    private.propagate = False
    saved = module._logger
    module._logger = private
    yield module
    module._logger = saved


class Text(str):
    pass


async def _receive():
    return {"type": "http.request"}


async def _send(message):
    return None


async def _app(scope, receive, send):
    return None


START = {"type": "http.response.start", "status": 200, "headers": []}
BODY_MORE = {"type": "http.response.body", "body": b"x", "more_body": True}


def _app_sending(*messages, error=None):
    async def app(scope, receive, send):
        for message in messages:
            await send(message)
        if error is not None:
            raise error

    return app


async def _failing_send(message):
    raise OSError("send failed")


class _Pause:
    def __await__(self):
        value = yield "pause"
        return value


def _pausing_send(message):
    return _Pause()


def guardlet_cases(g):
    G, P = g.ApiKeyGuardlet, g.FixedApiKeyAuthProvider
    fixed = G(_app, api_key="mem-key")
    provider = P("mem-key")
    no_key = P("mem-key")
    del no_key._api_key

    class Remote(G):
        async def _verify_remote(self, api_key):
            return {"user_id": 1, "email": "m@example.com"} if api_key == "good" else None

    remote = Remote(_app, auth_verify_url="http://127.0.0.1:9/v")
    scope_q = {"type": "http", "query_string": b"api_key=mem-key", "headers": []}
    scope_h = {"type": "http", "query_string": b"", "headers": [(b"authorization", b"Bearer mem-key")]}

    def http(query=b"", headers=()):
        return {"type": "http", "query_string": query, "headers": list(headers)}

    def coroutine_protocol():
        coro = fixed._send_401({}, _pausing_send)
        coro.send(None)
        try:
            coro.throw(KeyError("x"))
        except KeyError:
            pass
        coro = fixed._send_401({}, _pausing_send)
        coro.send(None)
        coro.close()
        coro = fixed._send_401({}, _pausing_send)
        iterator = coro.__await__()
        next(iterator)
        iterator.send(None)
        try:
            iterator.send(None)
        except StopIteration:
            pass
        _ = (coro.__name__, coro.cr_code, coro.cr_await)
        fresh = fixed._send_401({}, _send)
        _ = fresh.cr_frame
        fresh.close()

    def never_awaited():
        fixed._send_401({}, _send)

    def reentrant_and_misuse():
        coro = fixed(http(b"api_key=mem-key"), _receive, _send)
        try:
            coro.send(1)
        except TypeError:
            pass
        try:
            coro.send(None)
        except RuntimeError:
            pass
        coro = fixed._send_401({}, _send)
        try:
            pickle.dumps(coro)
        except TypeError:
            pass
        try:
            coro.throw(ValueError, ValueError("a"), 5)
        except TypeError:
            pass
        coro.close()

    def method_objects():
        for func in (G.__init__, G._extract_token, G.__call__, G._verify_remote, G._send_401, P.verify_token):
            _ = (func.__name__, func.__qualname__, func.__code__, func.__defaults__, func.__kwdefaults__,
                 func.__annotations__, func._is_coroutine, func.__reduce__())
        bound = fixed._extract_token
        pickle.loads(pickle.dumps(G._send_401))
        try:
            G._send_401.__name__ = 5
        except TypeError:
            pass
        G._send_401.__defaults__ = ("invalid_api_key",)
        return bound

    def tracking_send_use():
        kept = []

        async def app(scope, receive, send):
            kept.append(send)

        gate = G(app, api_key="mem-key")
        drive(gate(http(b"api_key=mem-key"), _receive, _send))
        drive(kept[0](START))

    return {
        "init-fixed": lambda: G(_app, api_key="mem-key"),
        "init-remote": lambda: G(_app, auth_verify_url="http://127.0.0.1:9/v"),
        "init-none": lambda: G(_app),
        "init-positional-key": raises(TypeError, G, _app, "k"),
        "init-wrong-type": raises(TypeError, G, _app, api_key=5),
        "init-str-subclass": raises(TypeError, G, _app, api_key=Text("k")),
        "init-unknown-keyword": raises(TypeError, G, _app, nope=1),
        "extract-query": lambda: fixed._extract_token(scope_q),
        "extract-header": lambda: fixed._extract_token(scope_h),
        "extract-nothing": lambda: fixed._extract_token({}),
        "extract-not-utf8": lambda: fixed._extract_token(http(b"api_key=\xff", [(b"authorization", b"Bearer x")])),
        "extract-bad-pair": raises(ValueError, fixed._extract_token, http(headers=[(b"a", b"b", b"c")])),
        "extract-str-query": raises(AttributeError, fixed._extract_token, {"query_string": "x"}),
        "send401-default": lambda: drive(fixed._send_401({}, _send)),
        "send401-escaped": lambda: drive(fixed._send_401({}, _send, reason='q"b\\s\n\ud800')),
        "send401-wrong-type": raises(TypeError, fixed._send_401, {}, _send, reason=None),
        "send401-failing-send": drive_raises(OSError, lambda: fixed._send_401({}, _failing_send)),
        "gate-pass-through": lambda: drive(fixed({"type": "lifespan"}, _receive, _send)),
        "gate-admitted-query": lambda: drive(fixed(http(b"api_key=mem-key"), _receive, _send)),
        "gate-admitted-header": lambda: drive(fixed(http(headers=[(b"authorization", b"Bearer mem-key")]), _receive,
                                                    _send)),
        "gate-rejected": lambda: drive(fixed(http(b"api_key=wrong"), _receive, _send)),
        "gate-not-utf8": lambda: drive(fixed(http(b"api_key=\xff"), _receive, _send)),
        "gate-remote-admitted": lambda: drive(remote(http(b"api_key=good"), _receive, _send)),
        "gate-remote-rejected": lambda: drive(remote(http(b"api_key=bad"), _receive, _send)),
        "gate-app-fails-open": drive_raises(
            ValueError, lambda: G(_app_sending(START, error=ValueError("x")), api_key="k")(
                http(b"api_key=k"), _receive, _send)),
        "gate-app-swallowed": lambda: drive(G(_app_sending(START, BODY_MORE, error=RuntimeError(
            "Expected ASGI message x")), api_key="k")(http(b"api_key=k"), _receive, _send)),
        "gate-closing-send-fails": lambda: drive(G(_app_sending(START), api_key="k")(
            http(b"api_key=k"), _receive, _failing_send_after_start())),
        "gate-no-type": drive_raises(KeyError, lambda: fixed({}, _receive, _send)),
        "gate-binding-error": raises(TypeError, fixed, {}),
        "verify-remote-no-key": lambda: drive(remote._verify_remote(None)),
        "verify-remote-empty-key": lambda: drive(G._verify_remote(fixed, "")),
        "verify-remote-no-url": lambda: drive(fixed._verify_remote("k")),
        "verify-remote-wrong-type": raises(TypeError, fixed._verify_remote, 5),
        "provider-init": lambda: P("mem-key"),
        "provider-init-wrong-type": raises(TypeError, P, None),
        "verify-token-match": lambda: drive(provider.verify_token("mem-key")),
        "verify-token-mismatch": lambda: drive(provider.verify_token("other")),
        "verify-token-wrong-type": raises(TypeError, provider.verify_token, b"x"),
        "verify-token-no-key": drive_raises(AttributeError, lambda: no_key.verify_token("x")),
        "coroutine-protocol": coroutine_protocol,
        "coroutine-never-awaited": never_awaited,
        "coroutine-misuse": reentrant_and_misuse,
        "method-objects": method_objects,
        "tracking-send": tracking_send_use,
    }


def _failing_send_after_start():
    calls = []

    async def send(message):
        calls.append(message)
        if len(calls) > 1:
            raise OSError("closing failed")

    return send


GUARDLET_CASES = [
    "init-fixed", "init-remote", "init-none", "init-positional-key", "init-wrong-type", "init-str-subclass",
    "init-unknown-keyword", "extract-query", "extract-header", "extract-nothing", "extract-not-utf8",
    "extract-bad-pair", "extract-str-query", "send401-default", "send401-escaped", "send401-wrong-type",
    "send401-failing-send", "gate-pass-through", "gate-admitted-query", "gate-admitted-header", "gate-rejected",
    "gate-not-utf8", "gate-remote-admitted", "gate-remote-rejected", "gate-app-fails-open", "gate-app-swallowed",
    "gate-closing-send-fails", "gate-no-type", "gate-binding-error", "verify-remote-no-key",
    "verify-remote-empty-key", "verify-remote-no-url", "verify-remote-wrong-type", "provider-init",
    "provider-init-wrong-type", "verify-token-match", "verify-token-mismatch", "verify-token-wrong-type",
    "verify-token-no-key", "coroutine-protocol", "coroutine-never-awaited", "coroutine-misuse", "method-objects",
    "tracking-send",
]


@pytest.mark.parametrize("case", GUARDLET_CASES)
def test_guardlet_calls_do_not_leak(guardlet, case):
    action = guardlet_cases(guardlet)[case]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        grown = block_growth(action)
    assert grown < SLACK, f"{case}: {grown} blocks left after {ITERATIONS} calls"


# --- remote verification over real HTTP (fewer rounds: each one opens a client and a connection) ---------

# The backend runs in its own process, so that its threads and sockets do not count in this one.
BACKEND = r"""
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        key = self.path.partition("api_key=")[2]
        body = {"good": b'{"valid": true, "user_id": 1}', "array": b"[1]"}.get(key, b'{"valid": 0}')
        self.send_response(200)
        self.send_header("content-length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
"""


@pytest.fixture(scope="module")
def backend_url():
    proc = subprocess.Popen([sys.executable, "-c", BACKEND], stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline())
        yield f"http://127.0.0.1:{port}/v1/mcp/verify-key"
    finally:
        proc.kill()
        proc.wait(10)


def _closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def growth_until_flat(action, round_size, warmup, max_rounds):
    """Growth of each measured round, stopping at the first round that stays within the slack. Caches of the
    HTTP stack fill over the first few hundred requests, so the growth decays; a leak repeats every round."""
    for _ in range(warmup):
        action()
    growth = []
    for _ in range(max_rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(round_size):
            action()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
        if growth[-1] < SLACK:
            break
    return growth


@pytest.mark.parametrize("key, url_kind", [("good", "backend"), ("array", "backend"), ("any", "closed")],
                         ids=["admitted", "not-an-object", "unreachable"])
def test_remote_verification_does_not_leak(guardlet, backend_url, key, url_kind):
    url = backend_url if url_kind == "backend" else f"http://127.0.0.1:{_closed_port()}/v"
    gate = guardlet.ApiKeyGuardlet(_app, auth_verify_url=url)
    loop = asyncio.new_event_loop()
    try:
        growth = growth_until_flat(lambda: loop.run_until_complete(gate._verify_remote(key)), round_size=100,
                                   warmup=100, max_rounds=6)
    finally:
        loop.close()
    assert min(growth) < SLACK, f"{key}: blocks left per round of 100 verifications: {growth}"


# --- the replay module ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def replay():
    try:
        return importlib.import_module("strovik.amazon_rufus.services.replay")
    except ImportError as exc:
        pytest.skip(f"replay module not importable: {exc}")


class _Parser:
    def __init__(self, thread_id="T-1"):
        self.answer = types.SimpleNamespace(thread_id=thread_id)

    def parse(self, raw_text):
        return self.answer


class _Page:
    def evaluate(self, script, argument):
        return '{"answer": "ok"}'


class _Dict(dict):
    pass


SEED_BODY = (
    '{"queryContext": {"query": "old", "extra": 1}, "pageContext": {"targetPageMetadata": '
    '[{"type": "ASIN", "value": "OLD"}, 5]}, "historyThreadContext": {"threadId": "t0", "threadState": "S"}, '
    '"keep": [1, 2, {"a": null}]}'
)


def replay_cases(r):
    Service = r.RufusReplayService
    service = Service(_Parser())
    failing = Service(_Parser(thread_id=5))
    seed = types.SimpleNamespace(
        request_url="https://www.amazon.com/rufus/cl/streaming?x=1&x=2&b=&programId=P#frag",
        request_headers={"Content-Type": "application/json", "Cookie": "c", "anti-csrftoken-a2z": "t",
                         "X-Amz-Is-Papyrus": "1"},
        request_body=SEED_BODY,
        tab_id="42",
        asin=" b0abc12345 ",
    )
    bad_seed = types.SimpleNamespace(**{**vars(seed), "request_body": "{"})
    page = _Page()

    def upsert():
        ctx = {"targetPageMetadata": [{"type": "asin"}, {"type": "ASIN", "value": "x"}], "other": None}
        service._upsert_asin_metadata(ctx, "targetPageMetadata", "B0")
        service._upsert_asin_metadata(ctx, "other", "B0")

    return {
        "init-with-parser": lambda: Service(_Parser()),
        "init-default-parser": lambda: Service(),
        "build-payload": lambda: service.build_payload(SEED_BODY, "question?", "T-9", " b0abc12345 "),
        "build-payload-empty": lambda: service.build_payload("", "q"),
        "build-payload-not-json": raises(r.RufusReplayError, service.build_payload, "{", "q"),
        "build-payload-wrong-type": raises(TypeError, service.build_payload, SEED_BODY, "q", 1),
        "build-payload-str-subclass": raises(TypeError, service.build_payload, Text("{}"), "q"),
        "build-replay-url": lambda: service.build_replay_url(seed),
        "build-replay-url-missing-attribute": raises(AttributeError, service.build_replay_url, object()),
        "replay": lambda: service.replay(seed, ["q"]),
        "replay-wrong-type": raises(TypeError, service.replay, seed, ("q",)),
        "replay-with-page": lambda: service.replay_with_page(page, seed, ["q1", "q2", "q3"]),
        "replay-with-page-bad-thread": raises(TypeError, failing.replay_with_page, page, seed, ["q1"]),
        "replay-with-page-not-json": raises(r.RufusReplayError, service.replay_with_page, page, bad_seed, ["q"]),
        "replay-with-page-wrong-type": raises(TypeError, service.replay_with_page, page, seed, None),
        "headers": lambda: service._build_replay_headers(seed.request_headers),
        "headers-empty": lambda: service._build_replay_headers({}),
        "headers-wrong-type": raises(TypeError, service._build_replay_headers, _Dict()),
        "headers-bad-key": raises(AttributeError, service._build_replay_headers, {1: "x"}),
        "upsert": upsert,
        "upsert-wrong-type": raises(TypeError, service._upsert_asin_metadata, {}, "k", None),
        "binding-error": raises(TypeError, service.build_payload, "{}"),
    }


REPLAY_CASES = [
    "init-with-parser", "init-default-parser", "build-payload", "build-payload-empty", "build-payload-not-json",
    "build-payload-wrong-type", "build-payload-str-subclass", "build-replay-url",
    "build-replay-url-missing-attribute", "replay", "replay-wrong-type", "replay-with-page",
    "replay-with-page-bad-thread", "replay-with-page-not-json", "replay-with-page-wrong-type", "headers",
    "headers-empty", "headers-wrong-type", "headers-bad-key", "upsert", "upsert-wrong-type", "binding-error",
]


@pytest.mark.parametrize("case", REPLAY_CASES)
def test_replay_calls_do_not_leak(replay, case):
    action = replay_cases(replay)[case]
    grown = block_growth(action)
    assert grown < SLACK, f"{case}: {grown} blocks left after {ITERATIONS} calls"
