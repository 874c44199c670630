"""The pooled remote check (the server's default in remote mode) against a real backend, in-process and through the server."""

from __future__ import annotations

import asyncio
import json
import logging
import socket

import httpx
import pytest
from backend import VerificationBackend
from server_harness import BACKEND_USERS, EXACT_401_BODY, ServerProcess, assert_exact_401, run, tools_and_whoami

from strovik.mcp.context import mcp_request_ctx
from strovik.mcp.guardlet import ApiKeyGuardlet
from strovik.mcp import verify_pool
from strovik.mcp.verify_pool import PooledApiKeyGuardlet, VerifyPool

USERS = list(BACKEND_USERS.items())
WARNING_FORMAT = "远程校验 API Key 失败: %s"


@pytest.fixture
def backend():
    server = VerificationBackend(BACKEND_USERS).start()
    yield server
    server.stop()


@pytest.fixture
def warnings(caplog):
    caplog.set_level(logging.WARNING, logger="strovik.mcp")

    def records():
        return [r for r in caplog.records if r.name == "strovik.mcp" and r.levelno == logging.WARNING]

    return records


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


async def _closing(pool, coro):
    try:
        return await coro
    finally:
        await pool.aclose()


def test_concurrent_checks_of_one_key_share_one_backend_request(backend):
    backend.delay = 0.2
    key, (user_id, _email) = USERS[0]
    pool = VerifyPool(cache_ttl=0)

    async def scenario():
        answers = await asyncio.gather(*(pool.verify(backend.url, key) for _ in range(20)))
        after = await pool.verify(backend.url, key)
        return answers, after

    answers, after = run(_closing(pool, scenario()))
    assert all(answer["user_id"] == user_id for answer in answers)
    # each caller gets its own copy, so one request cannot change another's answer
    assert len({id(answer) for answer in answers}) == 20
    # without a cache, the check after the shared one asks again
    assert after["user_id"] == user_id
    assert backend.calls_for(key) == 2


def test_positive_answers_are_cached_until_they_expire(backend):
    assert VerifyPool().cache_ttl == 0  # the cache is opt-in
    clock = Clock()
    key = USERS[1][0]
    pool = VerifyPool(cache_ttl=30, clock=clock)

    async def scenario():
        calls = []
        for advance in (0, 29.9, 0.1, 10):
            clock.now += advance
            assert (await pool.verify(backend.url, key))["email"] == BACKEND_USERS[key][1]
            calls.append(backend.calls_for(key))
        return calls

    assert run(_closing(pool, scenario())) == [1, 1, 2, 2]


def test_cache_is_keyed_by_url_and_holds_no_key(backend):
    key = USERS[2][0]
    pool = VerifyPool(cache_ttl=60)

    async def scenario():
        await pool.verify(backend.url, key)
        await pool.verify(backend.url, key)
        # the same key at another address is another question
        await pool.verify(backend.url + "?tenant=2", key)
        return key.encode() in b"".join(pool._cache) or key in repr(vars(pool))

    assert run(_closing(pool, scenario())) is False
    assert backend.calls_for(key) == 2


def test_cache_keeps_at_most_its_size_and_drops_the_oldest(backend):
    clock = Clock()
    keys = [key for key, _user in USERS[10:15]]
    pool = VerifyPool(cache_ttl=60, max_cache_entries=3, clock=clock)

    async def scenario():
        for key in keys:
            await pool.verify(backend.url, key)
        await pool.verify(backend.url, keys[-1])  # still cached
        await pool.verify(backend.url, keys[0])  # evicted: asked again
        return len(pool._cache)

    assert run(_closing(pool, scenario())) == 3
    assert [backend.calls_for(key) for key in keys] == [2, 1, 1, 1, 1]


@pytest.mark.parametrize(
    ("key", "warns"),
    [
        ("garbage-key", True),
        ("array-key", True),
        ("null-key", True),
        ("error-key", False),
        ("created-key", False),
        ("invalid-key", False),
        ("zero-key", False),
        ("unknown-key-1111", False),
    ],
)
def test_refusals_follow_the_gates_rules_and_are_never_cached(backend, warnings, key, warns):
    pool = VerifyPool(cache_ttl=60)

    async def scenario():
        return [await pool.verify(backend.url, key) for _ in range(2)]

    assert run(_closing(pool, scenario())) == [None, None]
    assert backend.calls_for(key) == 2
    assert len(warnings()) == (2 if warns else 0)
    for record in warnings():
        assert record.msg == WARNING_FORMAT
        assert key not in record.getMessage()


def test_a_valid_that_is_not_a_json_boolean_is_read_by_truth_and_told_once(backend, caplog, monkeypatch):
    monkeypatch.setattr(verify_pool._NonBooleanValid, "warned", False)
    caplog.set_level(logging.WARNING, logger="strovik.mcp.verify_pool")
    pool = VerifyPool()

    async def scenario():
        # {"valid": true}, then {"valid": 0} twice: one notice, and 0 still refuses
        return [await pool.verify(backend.url, key) for key in (USERS[12][0], "zero-key", "zero-key")]

    answers = run(_closing(pool, scenario()))
    assert [answer is not None for answer in answers] == [True, False, False]
    notices = [r for r in caplog.records if r.name == "strovik.mcp.verify_pool"]
    assert len(notices) == 1 and "(int)" in notices[0].getMessage()


def test_answer_is_the_backends_whole_object(backend):
    key, (user_id, email) = USERS[3]
    pool = VerifyPool()
    answer = run(_closing(pool, pool.verify(backend.url, key)))
    assert answer == {"valid": True, "user_id": user_id, "email": email, "plan": "pro"}


def test_different_keys_at_once_each_get_their_own_answer(backend):
    backend.delay = 0.05
    pairs = USERS[20:50]
    pool = VerifyPool()

    async def scenario():
        return await asyncio.gather(*(pool.verify(backend.url, key) for key, _user in pairs))

    answers = run(_closing(pool, scenario()))
    assert [(a["user_id"], a["email"]) for a in answers] == [user for _key, user in pairs]
    assert all(backend.calls_for(key) == 1 for key, _user in pairs)


def test_one_kept_alive_connection_serves_successive_checks(backend):
    pool = VerifyPool(cache_ttl=0)

    async def scenario():
        for key, _user in USERS[30:40]:
            assert await pool.verify(backend.url, key)

    run(_closing(pool, scenario()))
    assert len({request.client_port for request in backend.seen()}) == 1


def test_a_kept_alive_connection_the_backend_closed_is_not_a_refusal(backend, warnings):
    pool = VerifyPool()

    async def scenario():
        assert await pool.verify(backend.url, USERS[8][0])
        # The backend closes the kept-alive connection as the next check arrives on it.
        backend.drop_reused = 1
        return await pool.verify(backend.url, USERS[9][0])

    assert run(_closing(pool, scenario()))["user_id"] == USERS[9][1][0]
    assert warnings() == []


def test_hanging_backend_times_out_and_other_keys_are_answered_meanwhile(backend, warnings):
    pool = VerifyPool(deadline=0.5)
    key = USERS[4][0]

    async def scenario():
        hung = asyncio.create_task(pool.verify(backend.url, "hang-key"))
        assert await asyncio.to_thread(backend.hanging.acquire, True, 30)
        other = await pool.verify(backend.url, key)
        assert not hung.done()
        return other, await hung

    try:
        other, hung = run(_closing(pool, scenario()), 60)
    finally:
        backend.release.set()
    assert other["user_id"] == BACKEND_USERS[key][0]
    assert hung is None
    [record] = warnings()
    assert record.getMessage().startswith("远程校验 API Key 失败: ")
    assert "hang-key" not in record.getMessage()


def test_a_cancelled_request_does_not_cancel_the_shared_check(backend):
    backend.delay = 0.3
    key = USERS[5][0]
    pool = VerifyPool(cache_ttl=0)

    async def scenario():
        first = asyncio.create_task(pool.verify(backend.url, key))
        second = asyncio.create_task(pool.verify(backend.url, key))
        await asyncio.sleep(0.05)
        first.cancel()
        with pytest.raises(asyncio.CancelledError):
            await first
        return await second

    assert run(_closing(pool, scenario()))["user_id"] == BACKEND_USERS[key][0]
    assert backend.calls_for(key) == 1


def _closed_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.mark.parametrize(
    "key",
    ["plain-secret-key", "line\nbreak-secret-key", "nul\x00secret-key", "ключ-secret-key"],
    ids=["plain", "line-break", "nul", "non-ascii"],
)
def test_failures_log_one_warning_without_the_key(backend, warnings, key):
    pool = VerifyPool()
    for url in (backend.url, f"http://127.0.0.1:{_closed_port()}/v1/mcp/verify-key"):
        assert run(_closing(pool, pool.verify(url, key))) is None
    texts = [record.getMessage() for record in warnings()]
    # an unreachable backend always fails; odd keys fail already at the live one
    assert len(texts) == (1 if key == "plain-secret-key" else 2)
    for text in texts:
        assert text.startswith("远程校验 API Key 失败: ") and len(text) > len("远程校验 API Key 失败: ")
        assert "secret-key" not in text


class Recorder:
    def __init__(self):
        self.seen = []

    async def __call__(self, scope, receive, send):
        self.seen.append((scope.get("mcp_api_key"), scope.get("mcp_user_id"), scope.get("mcp_user_email"), mcp_request_ctx.get()))
        await send({"type": "http.response.start", "status": 204, "headers": []})
        await send({"type": "http.response.body", "body": b""})


def _scope(key: str) -> dict:
    return {"type": "http", "method": "GET", "path": "/", "query_string": b"api_key=" + key.encode(), "headers": []}


def test_pooled_gate_admits_through_the_pool_and_publishes_the_user(backend):
    key, (user_id, email) = USERS[6]
    app = Recorder()
    gate = PooledApiKeyGuardlet(app, auth_verify_url=backend.url, pool=VerifyPool(cache_ttl=60))
    assert isinstance(gate, ApiKeyGuardlet)
    sent = []

    async def send(message):
        sent.append(message)

    async def scenario():
        for candidate in (key, key, "invalid-key"):
            await gate(_scope(candidate), None, send)
        await gate._verify_pool.aclose()

    run(scenario())
    assert app.seen == [(key, user_id, email, {"api_key": key, "user_id": user_id, "email": email})] * 2
    assert [m["status"] for m in sent if m["type"] == "http.response.start"] == [204, 204, 401]
    assert backend.calls_for(key) == 1


@pytest.mark.parametrize(
    ("url", "key"), [("", "some-key"), (None, "some-key"), ("http://x/verify", ""), ("http://x/verify", None)]
)
def test_pooled_check_without_key_or_url_refuses_without_asking(url, key):
    gate = PooledApiKeyGuardlet(Recorder(), auth_verify_url=url)
    assert run(gate._verify_remote(key)) is None
    assert gate._verify_pool._client is None


@pytest.mark.parametrize("value", [b"key", 5, type("Text", (str,), {})("key")], ids=["bytes", "int", "str-subclass"])
def test_pooled_check_refuses_keys_that_are_not_exactly_str(value):
    gate = PooledApiKeyGuardlet(Recorder(), auth_verify_url="http://x/verify")
    with pytest.raises(TypeError, match="Argument 'api_key' has incorrect type"):
        run(gate._verify_remote(value))


# --------------------------------------------------------- through the server


def test_pooled_server_asks_once_per_key_while_it_is_cached(server_pooled, backend_server):
    key, (user_id, _email) = USERS[40]
    _names, me = run(tools_and_whoami(server_pooled.base_url, key, "sse", "query"))
    assert me["user_id"] == user_id
    with httpx.Client(base_url=server_pooled.base_url, trust_env=False, timeout=30) as http:
        for _ in range(5):
            assert http.get("/nowhere", headers={"Authorization": f"Bearer {key}"}).status_code == 404
        # refusals are not cached: each one asks again
        for _ in range(2):
            assert_exact_401(http.get("/sse", params={"api_key": "invalid-key"}))
    assert backend_server.calls_for(key) == 1
    assert backend_server.calls_for("invalid-key") == 2


def test_pooled_server_coalesces_a_burst_of_first_checks(server_pooled, backend_server):
    key = USERS[41][0]
    backend_server.delay = 0.3

    async def burst():
        async with httpx.AsyncClient(base_url=server_pooled.base_url, trust_env=False, timeout=60) as http:
            return await asyncio.gather(*(http.get("/nowhere", params={"api_key": key}) for _ in range(20)))

    try:
        responses = run(burst(), 60)
    finally:
        backend_server.delay = 0.0
    assert [r.status_code for r in responses] == [404] * 20
    assert backend_server.calls_for(key) == 1


def test_pooled_server_refuses_while_the_backend_is_down(server_pooled, backend_server):
    key = USERS[42][0]
    backend_server.stop()
    try:
        with httpx.Client(base_url=server_pooled.base_url, trust_env=False, timeout=30) as http:
            assert_exact_401(http.get("/sse", params={"api_key": key}))
    finally:
        backend_server.start()
    with httpx.Client(base_url=server_pooled.base_url, trust_env=False, timeout=30) as http:
        assert http.get("/nowhere", params={"api_key": key}).status_code == 404
    assert key not in server_pooled.output()


# ------------------------------------------------- deadline, answer size, outages


def test_a_dripping_answer_is_cut_at_the_deadline_of_the_whole_check(backend, warnings):
    # One byte every 50 ms never lets a per-read timeout fire; only a deadline for the
    # whole check ends it (run's own bound fails the test if nothing does).
    pool = VerifyPool(deadline=0.5)
    outcome = run(_closing(pool, pool.check(backend.url, "drip-key")), 15)
    assert outcome == (None, True)
    [record] = warnings()
    assert "within 0.5 s" in record.getMessage()
    assert backend.wait_cut() < 1000


@pytest.mark.parametrize(
    ("key", "admitted"),
    [
        ("size-65536", True),
        ("size-65537", False),
        ("flood-length-key", False),
        ("flood-chunked-key", False),
    ],
)
def test_answers_over_64_kib_are_refused_without_being_read_whole(backend, warnings, key, admitted):
    pool = VerifyPool()
    answer, outage = run(_closing(pool, pool.check(backend.url, key)), 30)
    assert (answer is not None, outage) == (admitted, False)
    assert len(warnings()) == (0 if admitted else 1)
    if key.startswith("flood"):
        # the backend was left while it still had almost all of its 300 MB to send
        assert backend.wait_cut() < 64 * 1024 * 1024


def _outage_gate(backend, status):
    return PooledApiKeyGuardlet(
        Recorder(), auth_verify_url=backend.url, pool=VerifyPool(deadline=0.3), outage_status=status
    )


@pytest.mark.parametrize(
    ("key", "down", "outage"),
    [
        (USERS[7][0], True, True),  # unreachable
        ("error-key", False, True),  # 5xx
        ("hang-key", False, True),  # no answer within the deadline
        ("invalid-key", False, False),  # the backend's refusal
        ("garbage-key", False, False),  # an answer that is not JSON
    ],
    ids=["unreachable", "status-500", "deadline", "refused", "not-json"],
)
@pytest.mark.parametrize("status", [401, 503])
def test_outages_get_the_chosen_status_and_refusals_stay_401(backend, key, down, outage, status):
    gate = _outage_gate(backend, status)
    sent = []

    async def send(message):
        sent.append(message)

    async def scenario():
        await gate(_scope(key), None, send)
        await gate._verify_pool.aclose()

    if down:
        backend.stop()
    try:
        run(scenario(), 30)
    finally:
        backend.release.set()
    start, body = sent
    headers = dict(start["headers"])
    if outage and status == 503:
        assert start["status"] == 503
        assert headers[b"retry-after"].isdigit()
        assert b"www-authenticate" not in headers
        assert json.loads(body["body"])["reason"] == "verification_unavailable"
    else:
        assert start["status"] == 401
        assert headers[b"www-authenticate"] == b'Bearer realm="strovik-mcp"'
        assert body["body"] == EXACT_401_BODY


def test_server_with_outage_status_503_tells_an_outage_from_a_refusal(tmp_path, backend):
    server = ServerProcess(tmp_path, "--auth-verify-url", backend.url, "--verify-outage-status", "503").start()
    try:
        with httpx.Client(base_url=server.base_url, trust_env=False, timeout=30) as http:
            assert_exact_401(http.get("/sse", params={"api_key": "invalid-key"}))
            backend.stop()
            try:
                outage = http.get("/sse", params={"api_key": USERS[13][0]})
            finally:
                backend.start()
            assert outage.status_code == 503 and outage.headers["retry-after"].isdigit()
            assert "www-authenticate" not in outage.headers
            assert http.get("/nowhere", params={"api_key": USERS[13][0]}).status_code == 404
    finally:
        assert server.stop() == 0
