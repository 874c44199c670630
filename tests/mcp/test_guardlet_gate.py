"""The request gate on ASGI message flows: pass-through, admission in both modes, refusal, the scope keys,
the request context variable, response tracking and the closing message."""

from __future__ import annotations

import asyncio
import contextvars
import importlib
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from guardlet_helpers import (
    CLOSING,
    DEFAULT_BODY,
    START_401,
    App,
    Recorder,
    bearer,
    context_var,
    finish,
    guardlet_module,
    http_scope,
    receive,
    tb_names,
)

START = {"type": "http.response.start", "status": 200, "headers": []}
BODY_LAST = {"type": "http.response.body", "body": b"done", "more_body": False}
BODY_MORE = {"type": "http.response.body", "body": b"chunk", "more_body": True}
BODY_IMPLICIT_LAST = {"type": "http.response.body", "body": b"done"}
URL = "http://127.0.0.1:9/v1/mcp/verify-key"


class Halt(BaseException):
    """Stands for the exceptions that do not derive from Exception."""


@pytest.fixture
def G():
    return guardlet_module().ApiKeyGuardlet


@pytest.fixture
def outer_ctx():
    """An outer value of the request context variable, restored after the test."""
    var = context_var()
    token = var.set("outer")
    yield var
    var.reset(token)


def remote_gate_class(G, results: dict, calls: list):
    """A gate whose remote verification answers from ``results`` without a backend."""

    class RemoteGate(G):
        async def _verify_remote(self, api_key):
            calls.append(api_key)
            return results.get(api_key)

    return RemoteGate


def sends(*messages):
    """Application behaviour: send the given messages in order."""

    async def behaviour(scope, receive, send):
        for message in messages:
            await send(message)

    return behaviour


def sends_then_raises(exc, *messages):
    async def behaviour(scope, receive, send):
        for message in messages:
            await send(message)
        raise exc

    return behaviour


# --- pass-through -------------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["lifespan", "websocket", "custom"])
def test_non_http_connections_pass_through_untouched(G, outer_ctx, kind):
    class Watched(G):
        def _extract_token(self, scope):
            raise AssertionError("no key is looked for")

    app = App()
    gate = Watched(app, api_key="k")
    scope = {"type": kind, "query_string": b"", "headers": []}
    send = Recorder()
    assert finish(gate(scope, receive, send)) is None
    (call,) = app.calls
    assert call.scope is scope and call.receive is receive and call.send is send
    assert scope == {"type": kind, "query_string": b"", "headers": []}
    assert call.ctx == "outer"
    assert outer_ctx.get() == "outer"
    assert send.messages == []


def test_pass_through_needs_no_configuration_and_propagates_app_errors(G):
    app = App(sends_then_raises(LookupError("lifespan failed")))
    gate = G(app)
    with pytest.raises(LookupError, match="lifespan failed"):
        finish(gate({"type": "lifespan"}, receive, Recorder()))


def test_pass_through_send_is_the_raw_send_even_for_messages(G):
    app = App(sends({"type": "websocket.accept"}))
    send = Recorder()
    finish(G(app, api_key="k")({"type": "websocket"}, receive, send))
    assert send.messages == [{"type": "websocket.accept"}]


def test_scope_without_type_raises_key_error(G):
    app = App()
    with pytest.raises(KeyError):
        finish(G(app, api_key="k")({"query_string": b"api_key=k"}, receive, Recorder()))
    assert app.calls == []


# --- fixed-key mode -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "scope",
    [http_scope(b"api_key=fixed-key"), http_scope(headers=[bearer("fixed-key")]),
     http_scope(b"other=1", [bearer("fixed-key")])],
    ids=["query", "header", "header-after-query"],
)
def test_fixed_key_admits_and_publishes_the_key(G, outer_ctx, scope):
    app = App()
    gate = G(app, api_key="fixed-key")
    send = Recorder()
    assert finish(gate(scope, receive, send)) is None
    (call,) = app.calls
    assert call.scope is scope
    assert call.receive is receive
    assert call.send is not send  # replaced by the tracking wrapper
    assert call.scope_copy["mcp_api_key"] == "fixed-key"
    assert "mcp_user_id" not in scope and "mcp_user_email" not in scope
    assert call.ctx == {"api_key": "fixed-key", "user_id": None, "email": None}
    assert list(call.ctx) == ["api_key", "user_id", "email"]
    assert outer_ctx.get() == "outer"
    assert send.messages == []


def test_fixed_mode_context_reads_user_keys_left_by_an_outer_layer(G):
    app = App()
    scope = http_scope(b"api_key=k", mcp_user_id="outer-user", mcp_user_email="outer@example.com")
    finish(G(app, api_key="k")(scope, receive, Recorder()))
    assert app.calls[0].ctx == {"api_key": "k", "user_id": "outer-user", "email": "outer@example.com"}


@pytest.mark.parametrize(
    "api_key, scope",
    [
        ("fixed-key", http_scope(b"api_key=wrong")),
        ("fixed-key", http_scope()),
        ("fixed-key", http_scope(headers=[bearer("fixed-key2")])),
        ("fixed-key", http_scope(b"api_key=fixed-key%20")),
        ("fixed-key", http_scope(b"api_key=FIXED-KEY")),
        (" spaced ", http_scope(b"api_key=spaced")),
        (None, http_scope(b"api_key=anything")),
        (None, http_scope()),
        ("", http_scope(headers=[(b"authorization", b"Bearer ")])),
        ("", http_scope()),
    ],
    ids=["wrong", "none", "longer-header-key", "trailing-space-query", "case", "stored-spaces",
         "unconfigured", "unconfigured-no-key", "empty-fixed-key-empty-token", "empty-fixed-key-no-token"],
)
def test_refused_requests_get_the_401_and_never_reach_the_app(G, outer_ctx, api_key, scope):
    app = App()
    gate = G(app, api_key=api_key)
    before = dict(scope)
    send = Recorder()
    assert finish(gate(scope, receive, send)) is None
    assert app.calls == []
    assert scope == before
    assert send.messages == [START_401, {"type": "http.response.body", "body": DEFAULT_BODY}]
    assert outer_ctx.get() == "outer"


def test_stored_key_with_spaces_matches_only_exactly(G):
    app = App()
    finish(G(app, api_key=" spaced ")(http_scope(b"api_key=%20spaced%20"), receive, Recorder()))
    assert app.calls[0].scope["mcp_api_key"] == " spaced "


def test_refusal_goes_through_send_401_with_the_reason_keyword(G):
    calls = []

    class Spy(G):
        async def _send_401(self, *args, **kwargs):
            calls.append((args, kwargs))
            return "ignored"

    scope, send = http_scope(b"api_key=bad"), Recorder()
    assert finish(Spy(App(), api_key="good")(scope, receive, send)) is None
    assert calls == [((scope, send), {"reason": "invalid_api_key"})]


@settings(max_examples=200, deadline=None)
@given(key=st.text(st.characters(exclude_categories=["Cs"]), min_size=1, max_size=16),
       token=st.text(st.characters(exclude_categories=["Cs"]), max_size=16), share=st.integers(0, 16))
def test_fixed_key_comparison_agrees_with_equality(key, token, share):
    G = guardlet_module().ApiKeyGuardlet

    class Direct(G):
        def _extract_token(self, scope):
            return scope["token"]

    token = key[:share] + token
    app = App()
    send = Recorder()
    finish(Direct(app, api_key=key)({"type": "http", "token": token}, receive, send))
    assert (len(app.calls) == 1) == (token == key)
    assert (send.messages == []) == (token == key)


def test_extracted_non_str_token_is_compared_with_equality(G):
    class Odd(G):
        def _extract_token(self, scope):
            return scope["token"]

    class EqualToAll:
        def __eq__(self, other):
            return True

    app = App()
    finish(Odd(app, api_key="k")({"type": "http", "token": EqualToAll()}, receive, Recorder()))
    assert len(app.calls) == 1
    finish(Odd(app, api_key="k")({"type": "http", "token": None}, receive, Recorder()))
    assert len(app.calls) == 1


# --- remote mode (verification replaced on a subclass) -------------------------------------------------


def test_remote_mode_admits_with_user_information(G, outer_ctx):
    calls = []
    Remote = remote_gate_class(G, {"rk": {"user_id": 7, "email": "e7", "valid": True}}, calls)
    app = App()
    scope = http_scope(headers=[bearer("rk")])
    finish(Remote(app, auth_verify_url=URL)(scope, receive, Recorder()))
    assert calls == ["rk"]
    (call,) = app.calls
    assert list(call.scope_copy)[-3:] == ["mcp_api_key", "mcp_user_id", "mcp_user_email"]
    assert (scope["mcp_api_key"], scope["mcp_user_id"], scope["mcp_user_email"]) == ("rk", 7, "e7")
    assert call.ctx == {"api_key": "rk", "user_id": 7, "email": "e7"}
    assert outer_ctx.get() == "outer"


def test_remote_mode_missing_user_fields_read_as_none(G):
    Remote = remote_gate_class(G, {"rk": {"valid": True}}, [])
    app = App()
    scope = http_scope(b"api_key=rk")
    finish(Remote(app, auth_verify_url=URL)(scope, receive, Recorder()))
    assert scope["mcp_user_id"] is None and scope["mcp_user_email"] is None
    assert app.calls[0].ctx == {"api_key": "rk", "user_id": None, "email": None}


@pytest.mark.parametrize("result", [None, {}, 0, "", False, []])
def test_remote_mode_refuses_falsy_results(G, result):
    calls = []
    Remote = remote_gate_class(G, {"rk": result}, calls)
    app = App()
    scope = http_scope(b"api_key=rk")
    send = Recorder()
    finish(Remote(app, auth_verify_url=URL)(scope, receive, send))
    assert calls == ["rk"]
    assert app.calls == []
    assert "mcp_api_key" not in scope
    assert send.messages[0] == START_401


def test_remote_mode_verifies_a_missing_key_too(G):
    calls = []
    Remote = remote_gate_class(G, {}, calls)
    send = Recorder()
    finish(Remote(App(), auth_verify_url=URL)(http_scope(), receive, send))
    assert calls == [None]
    assert send.messages[1]["body"] == DEFAULT_BODY


def test_remote_mode_ignores_the_fixed_key(G):
    calls = []
    Remote = remote_gate_class(G, {"fixed": None}, calls)
    app = App()
    send = Recorder()
    finish(Remote(app, api_key="fixed", auth_verify_url=URL)(http_scope(b"api_key=fixed"), receive, send))
    assert calls == ["fixed"]
    assert app.calls == []
    assert send.messages[0]["status"] == 401


def test_remote_mode_accepts_any_truthy_object_with_get(G):
    class Info:
        def get(self, key):
            return {"user_id": "u-obj", "email": None}.get(key)

    app = App()
    Remote = remote_gate_class(G, {"rk": Info()}, [])
    finish(Remote(app, auth_verify_url=URL)(http_scope(b"api_key=rk"), receive, Recorder()))
    assert app.calls[0].ctx == {"api_key": "rk", "user_id": "u-obj", "email": None}


def test_truthy_result_without_get_raises_after_writing_the_key(G):
    app = App()
    Remote = remote_gate_class(G, {"rk": 1}, [])
    scope = http_scope(b"api_key=rk")
    with pytest.raises(AttributeError):
        finish(Remote(app, auth_verify_url=URL)(scope, receive, Recorder()))
    assert scope["mcp_api_key"] == "rk"
    assert app.calls == []


def test_verification_errors_propagate(G):
    class Failing(G):
        async def _verify_remote(self, api_key):
            raise ZeroDivisionError("verify broke")

    send = Recorder()
    with pytest.raises(ZeroDivisionError):
        finish(Failing(App(), auth_verify_url=URL)(http_scope(b"api_key=x"), receive, send))
    assert send.messages == []


def test_mode_is_decided_per_request_from_the_attributes(G):
    calls = []
    Remote = remote_gate_class(G, {"rk": {"user_id": 1}}, calls)
    app = App()
    gate = Remote(app, api_key="fixed")
    finish(gate(http_scope(b"api_key=fixed"), receive, Recorder()))
    assert calls == [] and len(app.calls) == 1
    gate._auth_verify_url = URL
    finish(gate(http_scope(b"api_key=fixed"), receive, Recorder()))
    assert calls == ["fixed"] and len(app.calls) == 1


def test_extraction_errors_propagate_without_a_401(G):
    class Broken(G):
        def _extract_token(self, scope):
            raise UnicodeError("bad request")

    send = Recorder()
    with pytest.raises(UnicodeError):
        finish(Broken(App(), api_key="k")(http_scope(), receive, send))
    assert send.messages == []


# --- response tracking and the closing message ---------------------------------------------------------


@pytest.mark.parametrize(
    "behaviour, raised, sent, closes",
    [
        (sends(START), None, [START], True),
        (sends(START, BODY_MORE), None, [START, BODY_MORE], True),
        (sends(START, BODY_LAST), None, [START, BODY_LAST], False),
        (sends(START, BODY_IMPLICIT_LAST), None, [START, BODY_IMPLICIT_LAST], False),
        (sends(BODY_MORE, BODY_MORE), None, [BODY_MORE, BODY_MORE], False),
        (sends(), None, [], False),
        (sends(START, BODY_LAST, BODY_MORE), None, [START, BODY_LAST, BODY_MORE], False),
        (sends({"type": "http.response.trailers"}, START), None, [{"type": "http.response.trailers"}, START], True),
        (sends_then_raises(ValueError("after start"), START), ValueError, [START], True),
        (sends_then_raises(ValueError("after end"), START, BODY_LAST), ValueError, [START, BODY_LAST], False),
        (sends_then_raises(ValueError("before start")), ValueError, [], False),
        (sends_then_raises(asyncio.CancelledError(), START), asyncio.CancelledError, [START], True),
        (sends_then_raises(RuntimeError("other failure"), START), RuntimeError, [START], True),
        (sends_then_raises(RuntimeError("x Expected ASGI message y"), START), None, [START], True),
        (sends_then_raises(RuntimeError("Expected ASGI message"), START, BODY_LAST), None, [START, BODY_LAST], False),
        (sends_then_raises(RuntimeError("expected asgi message"), START), RuntimeError, [START], True),
        (sends_then_raises(Halt(), START), Halt, [START], True),
    ],
    ids=["start-only", "start-more", "start-last", "start-implicit-last", "chunks-only", "nothing",
         "complete-stays", "other-type-first", "raise-after-start", "raise-after-end", "raise-before-start",
         "cancelled", "runtime-error", "expected-asgi-swallowed", "expected-asgi-complete", "case-sensitive",
         "base-exception"],
)
def test_response_tracking(G, outer_ctx, behaviour, raised, sent, closes):
    app = App(behaviour)
    send = Recorder()
    coro = G(app, api_key="k")(http_scope(b"api_key=k"), receive, send)
    if raised is None:
        assert finish(coro) is None
    else:
        with pytest.raises(raised):
            finish(coro)
    expected = list(sent) + ([CLOSING] if closes else [])
    assert send.messages == expected
    if closes:
        assert list(send.messages[-1]) == ["type", "body", "more_body"]
        assert send.messages[-1] is not CLOSING
    assert outer_ctx.get() == "outer"


def test_app_exception_propagates_unchanged(G):
    error = ValueError("original")
    with pytest.raises(ValueError) as info:
        finish(G(App(sends_then_raises(error, START)), api_key="k")(http_scope(b"api_key=k"), receive, Recorder()))
    assert info.value is error


def test_non_matching_runtime_error_is_reraised_with_its_traceback(G):
    async def behaviour(scope, receive, send):
        raise RuntimeError("deep failure")

    with pytest.raises(RuntimeError) as info:
        finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, Recorder()))
    assert "behaviour" in tb_names(info.value)


def test_tracking_send_forwards_the_same_object_and_returns_none(G):
    results = []
    message = dict(START)

    async def behaviour(scope, receive, send):
        results.append(await send(message))
        results.append(await send({"type": "custom.event", "x": 1}))
        results.append(await send(BODY_LAST))

    send = Recorder(result="raw-result")
    finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, send))
    assert send.messages[0] is message
    assert send.messages[1] == {"type": "custom.event", "x": 1}
    assert results == [None, None, None]


def test_message_counts_even_when_forwarding_fails(G):
    async def behaviour(scope, receive, send):
        try:
            await send(START)
        except OSError:
            pass

    send = Recorder(fail_at={0: OSError("client gone")})
    assert finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, send)) is None
    assert send.messages == [START, CLOSING]


def test_message_without_type_raises_before_forwarding(G):
    seen = []

    async def behaviour(scope, receive, send):
        try:
            await send({"body": b"x"})
        except KeyError as exc:
            seen.append(exc)
        await send(START)

    send = Recorder()
    finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, send))
    assert len(seen) == 1
    assert send.messages == [START, CLOSING]


@pytest.mark.parametrize(
    "error", [OSError("closing failed"), asyncio.CancelledError(), Halt()],
    ids=["os-error", "cancelled", "base-exception"],
)
def test_errors_of_the_closing_send_are_ignored(G, error):
    send = Recorder(fail_at={1: error})
    assert finish(G(App(sends(START)), api_key="k")(http_scope(b"api_key=k"), receive, send)) is None
    assert send.messages == [START, CLOSING]
    send = Recorder(fail_at={1: error})
    with pytest.raises(ValueError):
        finish(G(App(sends_then_raises(ValueError("app"), START)), api_key="k")(http_scope(b"api_key=k"), receive,
                                                                             send))
    assert send.messages == [START, CLOSING]


def test_tracking_send_after_the_request_still_forwards(G):
    kept = []

    async def behaviour(scope, receive, send):
        kept.append(send)

    send = Recorder()
    finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, send))
    assert send.messages == []
    assert finish(kept[0](START)) is None
    assert send.messages == [START]


def test_a_cell_of_tracking_send_kept_after_the_request_keeps_its_value(G):
    # the closure of a finished request may serve a later one only when nothing else holds a part of it
    kept_cells = []

    async def app(scope, receive, send):  # keeps a cell, not tracking_send itself
        kept_cells.append(send.__closure__[1])  # response_started
        await send(START)

    gate = G(app, api_key="k")
    for _ in range(2):
        finish(gate(http_scope(b"api_key=k"), receive, Recorder()))
    assert [c.cell_contents for c in kept_cells] == [True, True]
    assert kept_cells[0] is not kept_cells[1]


@pytest.mark.parametrize(
    "mark, seen",
    [
        (lambda send: setattr(send, "marker", 1), lambda send: hasattr(send, "marker")),
        (lambda send: setattr(send, "__qualname__", "x"), lambda send: send.__qualname__ == "x"),
        (lambda send: send.__annotations__.update(x=1), lambda send: "x" in send.__annotations__),
    ],
    ids=["attribute", "qualname", "annotations"],
)
def test_what_an_app_did_to_its_tracking_send_is_not_seen_by_the_next_request(G, mark, seen):
    # a tracking_send nothing refers to after its request may serve again only if it is as it was made
    seen_later = []

    async def app(scope, receive, send):
        if seen_later:
            seen_later.append(seen(send))
        else:
            mark(send)
            seen_later.append(None)
        await send(START)

    gate = G(app, api_key="k")
    for _ in range(2):
        finish(gate(http_scope(b"api_key=k"), receive, Recorder()))
    assert seen_later == [None, False]


def test_app_result_is_discarded(G):
    async def behaviour(scope, receive, send):
        return "something"

    assert finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, Recorder())) is None


# --- the request context variable ---------------------------------------------------------------------


def test_context_is_reset_even_when_the_app_fails(G, outer_ctx):
    seen = []

    async def behaviour(scope, receive, send):
        seen.append(outer_ctx.get())
        raise ValueError("x")

    with pytest.raises(ValueError):
        finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, Recorder()))
    assert seen == [{"api_key": "k", "user_id": None, "email": None}]
    assert outer_ctx.get() == "outer"


def test_concurrent_requests_see_their_own_context(G):
    Remote = remote_gate_class(G, {"a": {"user_id": "A"}, "b": {"user_id": "B"}}, [])
    var = context_var()
    seen = []

    async def behaviour(scope, receive, send):
        for _ in range(3):
            seen.append((scope["mcp_api_key"], var.get()["user_id"]))
            await asyncio.sleep(0)

    gate = Remote(App(behaviour), auth_verify_url=URL)

    async def main():
        await asyncio.gather(*(gate(http_scope(f"api_key={k}".encode()), receive, Recorder()) for k in "abab"))
        return var.get()

    assert asyncio.run(main()) is None
    assert len(seen) == 12
    assert all(key.upper() == user for key, user in seen)


@pytest.mark.parametrize("replaced", ["module in sys.modules", "attribute of the module"])
def test_context_module_is_imported_per_request(G, monkeypatch, replaced):
    replacement = contextvars.ContextVar("replacement", default="unset")
    seen = []

    async def behaviour(scope, receive, send):
        seen.append(replacement.get())

    gate = G(App(behaviour), api_key="k")
    finish(gate(http_scope(b"api_key=k"), receive, Recorder()))  # served before the replacement
    if replaced == "module in sys.modules":
        module = types.ModuleType("strovik.mcp.context")
        module.mcp_request_ctx = replacement
        monkeypatch.setitem(sys.modules, "strovik.mcp.context", module)
    else:
        monkeypatch.setattr(importlib.import_module("strovik.mcp.context"), "mcp_request_ctx", replacement)
    seen.clear()
    finish(gate(http_scope(b"api_key=k"), receive, Recorder()))
    assert seen == [{"api_key": "k", "user_id": None, "email": None}]
    assert replacement.get() == "unset"


def test_missing_context_variable_raises_import_error(G, monkeypatch):
    monkeypatch.setitem(sys.modules, "strovik.mcp.context", types.ModuleType("strovik.mcp.context"))
    monkeypatch.delitem(sys.modules, "strovik.mcp.context.mcp_request_ctx", raising=False)
    called = []

    async def app(scope, receive, send):
        called.append(scope)

    scope = http_scope(b"api_key=k")
    with pytest.raises(ImportError) as info:
        finish(G(app, api_key="k")(scope, receive, Recorder()))
    assert str(info.value) == "cannot import name mcp_request_ctx"
    assert scope["mcp_api_key"] == "k"
    assert called == []


def test_context_variable_falls_back_to_the_submodule_entry(G, monkeypatch):
    replacement = contextvars.ContextVar("fallback", default=None)
    monkeypatch.setitem(sys.modules, "strovik.mcp.context", types.ModuleType("strovik.mcp.context"))
    monkeypatch.setitem(sys.modules, "strovik.mcp.context.mcp_request_ctx", replacement)
    seen = []

    async def behaviour(scope, receive, send):
        seen.append(replacement.get())

    finish(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, Recorder()))
    assert seen == [{"api_key": "k", "user_id": None, "email": None}]


class FakeVar:
    def __init__(self, reset_error=None):
        self.log = []
        self.reset_error = reset_error

    def set(self, value):
        self.log.append(("set", value))
        return "token-object"

    def reset(self, token):
        self.log.append(("reset", token))
        if self.reset_error is not None:
            raise self.reset_error

    def get(self, default=None):
        return default


def test_set_and_reset_are_called_once_with_the_token(G, monkeypatch):
    var = FakeVar()
    module = types.ModuleType("strovik.mcp.context")
    module.mcp_request_ctx = var
    monkeypatch.setitem(sys.modules, "strovik.mcp.context", module)
    finish(G(App(), api_key="k")(http_scope(b"api_key=k"), receive, Recorder()))
    assert var.log == [("set", {"api_key": "k", "user_id": None, "email": None}), ("reset", "token-object")]


def test_failing_reset_propagates_chained_and_skips_the_closing_send(G, monkeypatch):
    var = FakeVar(reset_error=LookupError("reset failed"))
    module = types.ModuleType("strovik.mcp.context")
    module.mcp_request_ctx = var
    monkeypatch.setitem(sys.modules, "strovik.mcp.context", module)
    send = Recorder()
    with pytest.raises(LookupError) as info:
        finish(G(App(sends_then_raises(ValueError("app failed"), START)), api_key="k")(
            http_scope(b"api_key=k"), receive, send))
    assert isinstance(info.value.__context__, ValueError)
    assert send.messages == [START]


# --- driven by a real event loop ----------------------------------------------------------------------


def test_gate_on_an_asyncio_loop_with_real_suspensions(G):
    var = context_var()

    async def behaviour(scope, receive, send):
        message = await receive()
        assert message["type"] == "http.request"
        await asyncio.sleep(0)
        await send(START)
        await asyncio.sleep(0)
        await send(BODY_MORE)
        await asyncio.sleep(0)
        raise ValueError("late")

    app = App(behaviour)

    async def main():
        send_log = []

        async def send(message):
            await asyncio.sleep(0)
            send_log.append(message)

        with pytest.raises(ValueError):
            await G(app, api_key="k")(http_scope(b"api_key=k"), receive, send)
        return send_log, var.get()

    send_log, after = asyncio.run(main())
    assert send_log == [START, BODY_MORE, CLOSING]
    assert after is None
    assert app.calls[0].ctx == {"api_key": "k", "user_id": None, "email": None}


def test_cancelled_request_task_closes_the_response(G):
    async def main():
        started = asyncio.Event()
        var = context_var()

        async def behaviour(scope, receive, send):
            await send(START)
            started.set()
            await asyncio.Event().wait()

        send = Recorder()
        task = asyncio.create_task(G(App(behaviour), api_key="k")(http_scope(b"api_key=k"), receive, send))
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return send.messages, var.get()

    messages, after = asyncio.run(main())
    assert messages == [START, CLOSING]
    assert after is None
