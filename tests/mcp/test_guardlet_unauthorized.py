"""The 401 answer: two ASGI messages, fixed headers and a JSON body that is valid for every reason."""

from __future__ import annotations

import asyncio
import gc
import json
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from guardlet_helpers import (
    BODY_PREFIX,
    BODY_SUFFIX,
    DEFAULT_BODY,
    START_401,
    Recorder,
    finish,
    guardlet_module,
    tb_names,
)


@pytest.fixture(scope="module")
def gate():
    async def app(scope, receive, send):
        raise AssertionError("the 401 path never calls the application")

    return guardlet_module().ApiKeyGuardlet(app, api_key="k")


def answer(gate, *args, **kwargs):
    send = Recorder()
    assert finish(gate._send_401({}, send, *args, **kwargs)) is None
    return send.messages


def needs_escaping(text: str) -> bool:
    return any(ch in '"\\' or ord(ch) < 0x20 or 0xD800 <= ord(ch) <= 0xDFFF for ch in text)


def test_default_answer_is_exact(gate):
    start, body = answer(gate)
    assert start == START_401
    assert list(start) == ["type", "status", "headers"]
    assert type(start["headers"]) is list
    assert body == {"type": "http.response.body", "body": DEFAULT_BODY}
    assert list(body) == ["type", "body"]
    assert "more_body" not in body
    assert len(body["body"]) == 90
    assert type(body["body"]) is bytes
    assert json.loads(body["body"]) == {
        "error": "Unauthorized",
        "message": "Invalid or missing API Key",
        "reason": "invalid_api_key",
    }


def test_header_pairs_are_shared_constants_in_new_lists(gate):
    first, _ = answer(gate)
    second, _ = answer(gate, reason="other")
    assert first["headers"] is not second["headers"]
    assert first["headers"][0] is second["headers"][0]
    assert first["headers"][1] is second["headers"][1]
    assert len(first["headers"][1][1]) == 26


@pytest.mark.parametrize(
    "reason",
    ["invalid_api_key", "", "missing_api_key", "expired", "with space", "Ünïcödé", "中文原因", "emoji 😀",
     "tab-free/slash", "\x7f", "a'b", "\u2028"],
)
def test_reasons_without_special_characters_are_placed_as_they_are(gate, reason):
    _, body = answer(gate, reason=reason)
    assert body["body"] == BODY_PREFIX + reason.encode("utf-8") + BODY_SUFFIX
    assert json.loads(body["body"])["reason"] == reason


@pytest.mark.parametrize(
    "reason",
    ['quote"d', "back\\slash", "new\nline", "nul\x00", "bell\x07", "\x1f", "\ud800", "lone \udfff low",
     '","injected":"yes', '\\"'],
)
def test_reasons_that_need_escaping_give_valid_json(gate, reason):
    start, body = answer(gate, reason=reason)
    assert start == START_401
    raw = body["body"]
    text = raw.decode("utf-8")  # always valid UTF-8
    parsed = json.loads(text)
    assert list(parsed) == ["error", "message", "reason"]
    assert parsed["reason"] == reason
    assert raw.startswith(BODY_PREFIX) and raw.endswith(BODY_SUFFIX)
    assert "\n" not in text


@settings(max_examples=300, deadline=None)
@given(st.text(st.characters(codec=None, exclude_categories=[]), max_size=40))
def test_every_reason_round_trips_through_json(gate, reason):
    # lone surrogates included; pairs of them are left out since JSON would read them as one character
    if any(0xD800 <= ord(a) <= 0xDBFF and 0xDC00 <= ord(b) <= 0xDFFF for a, b in zip(reason, reason[1:])):
        return
    _, body = answer(gate, reason=reason)
    raw = body["body"]
    assert json.loads(raw.decode("utf-8"))["reason"] == reason
    if not needs_escaping(reason):
        assert raw == BODY_PREFIX + reason.encode("utf-8") + BODY_SUFFIX


def test_reason_is_positional_or_keyword(gate):
    assert answer(gate, "by-position")[1]["body"].endswith(b'"reason":"by-position"}')
    assert answer(gate, reason="by-keyword")[1]["body"].endswith(b'"reason":"by-keyword"}')


@pytest.mark.parametrize("reason", [None, 123, b"bytes", ["x"]])
def test_wrong_reason_type_is_refused_at_the_call(gate, reason):
    send = Recorder()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as info:
            gate._send_401({}, send, reason=reason)
        gc.collect()
    assert str(info.value) == f"Argument 'reason' has incorrect type (expected str, got {type(reason).__name__})"
    assert send.messages == []
    assert not caught


def test_calling_without_awaiting_sends_nothing(gate):
    send = Recorder()
    coro = gate._send_401({}, send)
    assert send.messages == []
    coro.close()
    assert send.messages == []


def test_each_message_is_sent_as_one_positional_argument(gate):
    calls = []

    def send(*args, **kwargs):
        calls.append((args, kwargs))
        return asyncio.sleep(0)

    asyncio.run(gate._send_401({}, send))
    assert [(len(args), kwargs) for args, kwargs in calls] == [(1, {}), (1, {})]


def test_failing_first_send_stops_the_answer(gate):
    send = Recorder(fail_at={0: ConnectionResetError("gone")})
    with pytest.raises(ConnectionResetError, match="gone") as info:
        finish(gate._send_401({}, send))
    assert send.types == ["http.response.start"]
    assert "_send_401" in tb_names(info.value)


def test_failing_second_send_propagates(gate):
    send = Recorder(fail_at={1: OSError("late")})
    with pytest.raises(OSError, match="late"):
        finish(gate._send_401({}, send))
    assert send.types == ["http.response.start", "http.response.body"]


def test_cancellation_during_the_first_send(gate):
    async def main():
        blocker = asyncio.Event()
        sent = []

        async def send(message):
            sent.append(message["type"])
            await blocker.wait()

        task = asyncio.create_task(gate._send_401({}, send))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return sent

    assert asyncio.run(main()) == ["http.response.start"]


def test_self_and_scope_are_not_used(gate):
    send = Recorder()
    G = guardlet_module().ApiKeyGuardlet
    finish(G._send_401(None, None, send))
    assert [m["type"] for m in send.messages] == ["http.response.start", "http.response.body"]
