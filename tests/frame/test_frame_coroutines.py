"""The coroutine objects returned by the guardlet's coroutine methods: send/throw/close, the await iterator,
delegation, the never-awaited warning, released state, pickling, and driving by a real asyncio loop."""

from __future__ import annotations

import asyncio
import collections.abc
import contextvars
import copy
import gc
import inspect
import pickle
import sys
import types
import warnings

import pytest

from frame_helpers import (
    AwaitReturning,
    Closable,
    NextOnly,
    PausingSend,
    Ready,
    RecordingSend,
    ReturningSend,
    finish,
    http_scope,
    receive,
)

SEND_DOC = "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."
THROW_DOC = "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise StopIteration."
CLOSE_DOC = "close() -> raise GeneratorExit inside coroutine."
ITER_SEND_DOC = "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."
ITER_THROW_DOC = "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."


def collected_warnings(action):
    """Run ``action`` (which drops coroutine objects), collect garbage, return the RuntimeWarnings issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        action()
        gc.collect()
    return [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]


def rejected_scope():
    return http_scope(b"api_key=wrong")


async def _noop_app(scope, receive, send):
    return None


# --- identity of the coroutine objects ----------------------------------------------------------------


def _coroutine_makers(gate, provider):
    send = RecordingSend()
    return {
        "__call__": (lambda: gate(rejected_scope(), receive, send), "ApiKeyGuardlet.__call__"),
        "_verify_remote": (lambda: gate._verify_remote("k"), "ApiKeyGuardlet._verify_remote"),
        "_send_401": (lambda: gate._send_401({}, send), "ApiKeyGuardlet._send_401"),
        "verify_token": (lambda: provider.verify_token("k"), "FixedApiKeyAuthProvider.verify_token"),
    }


COROUTINE_NAMES = ["__call__", "_verify_remote", "_send_401", "verify_token"]


@pytest.mark.parametrize("name", COROUTINE_NAMES)
def test_coroutine_identity_and_attributes(guardlet, gate, Provider, name):
    make, qualname = _coroutine_makers(gate, Provider("k"))[name]
    coro = make()
    try:
        assert coro.__name__ == name
        assert coro.__qualname__ == qualname
        assert coro.__module__ == "strovik.mcp.guardlet"
        cls_name = qualname.split(".")[0]
        assert coro.cr_code is vars(getattr(guardlet, cls_name))[name].__code__
        assert coro.cr_await is None
        assert coro.cr_running is False
        assert isinstance(coro, collections.abc.Coroutine)
        assert isinstance(coro, collections.abc.Awaitable)
        assert asyncio.iscoroutine(coro)
        assert inspect.isawaitable(coro)
        assert not isinstance(coro, types.CoroutineType)
    finally:
        coro.close()


def test_coroutine_type_docs(gate):
    coro = gate._send_401({}, RecordingSend())
    kind = type(coro)
    assert kind.send.__doc__ == SEND_DOC
    assert kind.throw.__doc__ == THROW_DOC
    assert kind.close.__doc__ == CLOSE_DOC
    assert vars(kind)["__name__"].__doc__ == "name of the coroutine"
    assert vars(kind)["__qualname__"].__doc__ == "qualified name of the coroutine"
    assert vars(kind)["cr_await"].__doc__ == "object being awaited, or None"
    assert vars(kind)["cr_frame"].__doc__ == "Frame of the coroutine"
    iterator_kind = type(coro.__await__())
    assert iterator_kind.send.__doc__ == ITER_SEND_DOC
    assert iterator_kind.throw.__doc__ == ITER_THROW_DOC
    coro.close()


def test_read_only_attributes_cannot_be_set(gate):
    coro = gate._send_401({}, RecordingSend())
    for attr in ("cr_code", "cr_await", "cr_running", "cr_frame"):
        with pytest.raises(AttributeError):
            setattr(coro, attr, None)
    coro.close()


@pytest.mark.parametrize(
    "attr, bad, message",
    [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__name__", None, "__name__ must be set to a string object"),
        ("__qualname__", b"q", "__qualname__ must be set to a string object"),
    ],
)
def test_name_setters(gate, attr, bad, message):
    coro = gate._send_401({}, RecordingSend())
    with pytest.raises(TypeError) as info:
        setattr(coro, attr, bad)
    assert str(info.value) == message
    setattr(coro, attr, "other")
    assert getattr(coro, attr) == "other"
    coro.__module__ = "elsewhere"
    assert coro.__module__ == "elsewhere"
    coro.close()


def test_cr_frame_is_made_once_from_the_code(gate):
    coro = gate._send_401({}, RecordingSend())
    frame = coro.cr_frame
    assert isinstance(frame, types.FrameType)
    assert frame.f_code is coro.cr_code
    assert coro.cr_frame is frame
    coro.close()
    assert coro.cr_frame is None


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_coroutines_and_await_iterators_refuse_pickling(gate, protocol):
    coro = gate._send_401({}, RecordingSend())
    with pytest.raises(TypeError) as info:
        pickle.dumps(coro, protocol)
    assert str(info.value).startswith("cannot pickle '")
    assert str(info.value).endswith("' object")
    assert type(coro).__name__ in str(info.value)
    with pytest.raises(TypeError):
        pickle.dumps(coro.__await__(), protocol)
    coro.close()


def test_coroutines_refuse_copy_and_reduce(gate):
    coro = gate._send_401({}, RecordingSend())
    for call in (coro.__reduce__, lambda: coro.__reduce_ex__(2), lambda: copy.copy(coro)):
        with pytest.raises(TypeError, match=r"^cannot pickle '.+' object$"):
            call()
    coro.close()


# --- resuming -----------------------------------------------------------------------------------------


def test_hand_driven_send_through_every_suspension(gate):
    # what the body awaits while it runs on: nothing, a finished delegate being let go at once
    awaited_during_calls = []
    send = PausingSend(on_call=lambda message: awaited_during_calls.append(coro.cr_await))
    coro = gate._send_401({}, send)
    assert coro.send(None) == "pause-1"
    assert coro.cr_await is send.pauses[0].iterator
    assert coro.cr_running is False
    assert [m["type"] for m in send.messages] == ["http.response.start"]
    assert coro.send("value-1") == "pause-2"
    assert send.log == ["finally", ("resumed", "value-1")]
    assert coro.cr_await is send.pauses[1].iterator
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value is None
    assert [m["type"] for m in send.messages] == ["http.response.start", "http.response.body"]
    assert awaited_during_calls == [None, None]


def test_finished_coroutine_releases_its_state(gate):
    send = PausingSend()
    coro = gate._send_401({}, send)
    coro.send(None)
    coro.send(None)
    with pytest.raises(StopIteration):
        coro.send(None)
    assert coro.__name__ is None
    assert coro.__qualname__ is None
    assert coro.__module__ is None
    assert coro.cr_code is None
    assert coro.cr_frame is None
    assert coro.cr_await is None
    assert coro.cr_running is False
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert str(info.value) == "cannot reuse already awaited coroutine"
    assert coro.close() is None


def test_reused_coroutine_objects_start_fresh(gate):
    """Released coroutine objects are reused: a reused one must behave as new,
    including the never-awaited warning and the close of a suspended one."""

    async def noop(message):
        pass

    for _ in range(40):  # released objects go back for reuse
        finish(gate._send_401({}, noop))
    for _ in range(40):
        coro = gate._send_401({}, PausingSend())
        coro.send(None)
        del coro  # suspended: closed when collected
    gc.collect()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(20):
            gate._send_401({}, noop)
        gc.collect()
    texts = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    assert texts == ["coroutine 'ApiKeyGuardlet._send_401' was never awaited"] * 20
    coro = gate._send_401({}, noop)
    assert coro.__qualname__ == "ApiKeyGuardlet._send_401" and coro.cr_await is None
    assert finish(coro) is None


def test_first_send_must_be_none(gate):
    coro = gate(rejected_scope(), receive, RecordingSend())
    with pytest.raises(TypeError) as info:
        coro.send(1)
    assert str(info.value) == "can't send non-None value to a just-started coroutine"
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert str(info.value) == "cannot reuse already awaited coroutine"


def test_reentrant_resumption_is_refused_while_running(gate):
    seen = {}
    holder = {}

    def on_call(message):
        coro = holder["coro"]
        seen["running"] = coro.cr_running
        for name, call in (("send", lambda: coro.send(None)), ("throw", lambda: coro.throw(KeyError)),
                           ("close", coro.close)):
            try:
                call()
            except ValueError as exc:
                seen[name] = str(exc)

    coro = gate._send_401({}, PausingSend(on_call=on_call))
    holder["coro"] = coro
    coro.send(None)
    assert seen == {
        "running": True,
        "send": "coroutine already executing",
        "throw": "coroutine already executing",
        "close": "coroutine already executing",
    }
    assert coro.cr_running is False
    coro.close()


def test_running_flag_covers_the_delegate_step(gate):
    seen = []
    holder = {}

    class Watch:
        def __await__(self):
            seen.append(holder["coro"].cr_running)
            got = yield "watch"
            seen.append(holder["coro"].cr_running)
            return got

    coro = gate._send_401({}, ReturningSend(lambda m: Watch()))
    holder["coro"] = coro
    assert coro.send(None) == "watch"
    assert coro.send(None) == "watch"
    assert seen == [True, True, True]
    coro.close()


def test_next_only_delegate_is_driven_with_next(gate):
    iterators = []

    def make(message):
        iterator = NextOnly(["a", "b"], result="done")
        iterators.append(iterator)
        return AwaitReturning(iterator)

    coro = gate._send_401({}, ReturningSend(make))
    assert coro.send(None) == "a"
    assert coro.send(None) == "b"
    assert coro.send(None) == "a"  # first message done, second send's iterator starts
    assert iterators[0].nexts == 3
    coro.close()


def test_sending_a_value_into_a_next_only_delegate_uses_its_send(gate):
    coro = gate._send_401({}, ReturningSend(lambda m: AwaitReturning(NextOnly(["a"]))))
    assert coro.send(None) == "a"
    with pytest.raises(AttributeError):
        coro.send("value")
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


# --- await errors inside the bodies -------------------------------------------------------------------


async def _python_coroutine():
    return None


@pytest.mark.parametrize(
    "make, exc_type, message",
    [
        (lambda: 5, TypeError, "object int can't be used in 'await' expression"),
        (lambda: AwaitReturning(5), TypeError, "__await__() returned non-iterator of type 'int'"),
        (lambda: (x for x in ()), TypeError, "object generator can't be used in 'await' expression"),
    ],
    ids=["not-awaitable", "non-iterator", "plain-generator"],
)
def test_await_of_unusable_objects(gate, make, exc_type, message):
    coro = gate._send_401({}, ReturningSend(lambda m: make()))
    with pytest.raises(exc_type) as info:
        coro.send(None)
    assert str(info.value) == message


def test_await_returning_a_coroutine_is_refused(gate):
    inner = _python_coroutine()
    coro = gate._send_401({}, ReturningSend(lambda m: AwaitReturning(inner)))
    try:
        with pytest.raises(TypeError) as info:
            coro.send(None)
        assert str(info.value) == "__await__() returned a coroutine"
    finally:
        inner.close()


def test_await_of_a_suspended_sibling_is_refused(gate):
    other = gate._send_401({}, PausingSend())
    assert other.send(None) == "pause-1"
    coro = gate._send_401({}, ReturningSend(lambda m: other))
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert str(info.value) == "coroutine is being awaited already"
    other.close()


def test_generator_based_coroutines_and_python_coroutines_are_awaited(gate):
    @types.coroutine
    def legacy():
        got = yield "legacy"
        return got

    coro = gate._send_401({}, ReturningSend(lambda m: legacy()))
    assert coro.send(None) == "legacy"
    assert coro.send(None) == "legacy"
    with pytest.raises(StopIteration):
        coro.send(None)

    async def modern():
        await Ready()

    coro = gate._send_401({}, ReturningSend(lambda m: modern()))
    with pytest.raises(StopIteration):
        coro.send(None)


def test_await_of_another_guardlet_coroutine(gate, ApiKeyGuardlet):
    # a rejected request awaits _send_401, a coroutine of the same type
    send = PausingSend()
    coro = gate(rejected_scope(), receive, send)
    assert coro.send(None) == "pause-1"
    assert coro.cr_await is not None
    assert coro.send(None) == "pause-2"
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value is None
    assert len(send.messages) == 2


def test_delegate_result_is_passed_into_the_body(ApiKeyGuardlet):
    calls = []

    class Remote(ApiKeyGuardlet):
        def _verify_remote(self, api_key):
            calls.append(api_key)
            return AwaitReturning(NextOnly(["checking"], result={"user_id": 3, "email": "e3"}))

    seen = []

    async def app(scope, receive, send):
        seen.append((scope["mcp_user_id"], scope["mcp_user_email"]))

    gate = Remote(app, auth_verify_url="http://127.0.0.1:9/verify")
    coro = gate(http_scope(b"api_key=k3"), receive, RecordingSend())
    assert coro.send(None) == "checking"
    with pytest.raises(StopIteration):
        coro.send(None)
    assert calls == ["k3"]
    assert seen == [(3, "e3")]


def test_delegate_exception_is_raised_in_the_body(gate):
    class Failing:
        def __await__(self):
            yield "once"
            raise LookupError("delegate failed")

    coro = gate._send_401({}, ReturningSend(lambda m: Failing()))
    assert coro.send(None) == "once"
    with pytest.raises(LookupError, match="delegate failed"):
        coro.send(None)
    assert coro.cr_await is None
    assert coro.__name__ is None


# --- throw --------------------------------------------------------------------------------------------


def test_throw_is_forwarded_to_the_delegate(gate):
    send = PausingSend()
    coro = gate._send_401({}, send)
    coro.send(None)
    with pytest.raises(KeyError, match="thrown"):
        coro.throw(KeyError("thrown"))
    assert send.log == [("thrown", KeyError), "finally"]
    assert coro.__name__ is None
    assert len(send.messages) == 1


def test_throw_caught_by_the_delegate_returns_its_next_value(gate):
    send = PausingSend(catch=KeyError)
    coro = gate._send_401({}, send)
    coro.send(None)
    assert coro.throw(KeyError) == "caught"
    assert coro.send("after") == "pause-2"
    assert ("resumed", "after") in send.log
    coro.close()


def test_throw_with_a_delegate_without_throw_raises_in_the_body(gate):
    coro = gate._send_401({}, ReturningSend(lambda m: AwaitReturning(NextOnly(["x"]))))
    coro.send(None)
    with pytest.raises(ZeroDivisionError):
        coro.throw(ZeroDivisionError)
    assert coro.cr_await is None


def test_throw_with_a_delegate_is_forwarded_as_given(gate):
    # the delegate, not this coroutine, judges the arguments; its error ends the body
    coro = gate._send_401({}, PausingSend())
    coro.send(None)
    with pytest.raises(TypeError):
        coro.throw(int)
    assert coro.cr_await is None and coro.__name__ is None


@pytest.mark.parametrize(
    "args, raised",
    [((GeneratorExit,), GeneratorExit), ((GeneratorExit(), "value"), TypeError)],
    ids=["generator-exit", "instance-with-separate-value"],
)
def test_throw_generator_exit_closes_the_delegate_first(gate, args, raised):
    # The delegate is closed before the exception is made; one that cannot be made by the rules of
    # raise fails in the body, which it ends like any other exception.
    send = PausingSend()
    coro = gate._send_401({}, send)
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(raised):
            coro.throw(*args)
    assert send.log == [("thrown", GeneratorExit), "finally"]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_throw_into_an_unstarted_coroutine(gate):
    send = RecordingSend()
    coro = gate._send_401({}, send)
    with pytest.raises(ValueError, match="early"):
        coro.throw(ValueError("early"))
    assert send.messages == []
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_throw_three_argument_form(gate):
    try:
        raise KeyError("with traceback")
    except KeyError as exc:
        tb = exc.__traceback__
    coro = gate._send_401({}, PausingSend())
    coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(KeyError) as info:
            coro.throw(KeyError, KeyError("v"), tb)
    assert info.value.args == ("v",)


class NotAnInstance(Exception):
    def __new__(cls, *args):
        return 5


@pytest.mark.parametrize(
    "args, message",
    [
        ((ValueError, None, 5), "raise: arg 3 must be a traceback or None"),
        ((ValueError("a"), "b"), "instance exception may not have a separate value"),
        ((NotAnInstance,), None),
        ((int,), "raise: exception class must be a subclass of BaseException"),
        ((5,), "raise: exception class must be a subclass of BaseException"),
    ],
    ids=["bad-traceback", "instance-with-value", "class-making-non-instance", "non-exception-class", "non-class"],
)
def test_throw_argument_rules(gate, args, message):
    coro = gate._send_401({}, RecordingSend())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError) as info:
            coro.throw(*args)
    if message is None:
        assert str(info.value) == (
            f"calling {NotAnInstance!r} should have returned an instance of BaseException, not {int!r}"
        )
    else:
        assert str(info.value) == message
    coro.close()


def test_throw_needs_at_least_one_argument(gate):
    coro = gate._send_401({}, RecordingSend())
    with pytest.raises(TypeError):
        coro.throw()
    coro.close()


# --- close --------------------------------------------------------------------------------------------


def test_close_of_an_unstarted_coroutine_finishes_it_without_warning(gate):
    send = RecordingSend()

    def action():
        coro = gate._send_401({}, send)
        assert coro.close() is None
        assert coro.__name__ is None
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    assert collected_warnings(action) == []
    assert send.messages == []


def test_close_closes_the_delegate_then_the_body(gate):
    send = PausingSend()
    coro = gate._send_401({}, send)
    coro.send(None)
    assert coro.close() is None
    assert send.log == [("thrown", GeneratorExit), "finally"]
    assert coro.cr_await is None
    assert coro.__name__ is None
    assert coro.close() is None
    assert len(send.messages) == 1


@pytest.mark.parametrize("delegate_has_close", [True, False])
def test_close_with_iterator_delegates(gate, delegate_has_close):
    iterator = Closable(["x"]) if delegate_has_close else NextOnly(["x"])
    coro = gate._send_401({}, ReturningSend(lambda m: AwaitReturning(iterator)))
    coro.send(None)
    assert coro.close() is None
    if delegate_has_close:
        assert iterator.closed == 1
    assert coro.__name__ is None


def test_close_through_a_same_type_delegate(gate):
    send = PausingSend()
    coro = gate(rejected_scope(), receive, send)
    coro.send(None)  # suspended inside _send_401, inside the first send
    assert coro.close() is None
    assert send.log == [("thrown", GeneratorExit), "finally"]
    assert coro.__name__ is None


def test_close_raises_when_the_body_keeps_running(ApiKeyGuardlet):
    # the application is suspended after starting a response; on close the gate's cleanup awaits the
    # closing message, and that send suspends: the body did not give up on GeneratorExit
    app_pause = PausingSend()

    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await app_pause({"type": "app-wait"})

    closing = []

    def raw_send(message):
        if message.get("more_body") is False and message.get("body") == b"":
            closing.append(message)
            return AwaitReturning(NextOnly(["closing-wait"]))
        return Ready()

    gate = ApiKeyGuardlet(app, api_key="k")
    coro = gate(http_scope(b"api_key=k"), receive, raw_send)
    assert coro.send(None) == "pause-1"
    with pytest.raises(RuntimeError) as info:
        coro.close()
    assert str(info.value) == "coroutine ignored GeneratorExit"
    assert len(closing) == 1
    # resuming lets the cleanup end; the GeneratorExit it was handling then leaves the body
    with pytest.raises(GeneratorExit):
        coro.send(None)


def test_unraisable_error_when_a_suspended_coroutine_is_collected(ApiKeyGuardlet, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_value))
    app_pause = PausingSend()

    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await app_pause({"type": "app-wait"})

    def raw_send(message):
        if message.get("body") == b"" and message.get("more_body") is False:
            return AwaitReturning(NextOnly(["closing-wait"]))
        return Ready()

    gate = ApiKeyGuardlet(app, api_key="k")
    coro = gate(http_scope(b"api_key=k"), receive, raw_send)
    coro.send(None)
    del coro
    gc.collect()
    assert len(reports) == 1
    assert isinstance(reports[0], RuntimeError)
    assert str(reports[0]) == "coroutine ignored GeneratorExit"


# --- the await iterator -------------------------------------------------------------------------------


def test_await_iterator_acts_as_the_coroutine(gate):
    send = PausingSend()
    coro = gate._send_401({}, send)
    iterator = coro.__await__()
    assert iter(iterator) is iterator
    assert next(iterator) == "pause-1"
    assert iterator.send("v") == "pause-2"
    with pytest.raises(StopIteration):
        next(iterator)
    assert coro.__name__ is None

    coro = gate._send_401({}, PausingSend(catch=KeyError))
    iterator = coro.__await__()
    next(iterator)
    assert iterator.throw(KeyError) == "caught"
    assert iterator.close() is None
    assert coro.__name__ is None


def test_await_iterator_type_cannot_be_instantiated(gate):
    coro = gate._send_401({}, RecordingSend())
    with pytest.raises(TypeError) as info:
        type(coro.__await__())()
    assert str(info.value) == "cannot instantiate type, use 'await coroutine' instead"
    coro.close()


# --- the never-awaited warning ------------------------------------------------------------------------


@pytest.mark.parametrize("name", COROUTINE_NAMES)
def test_never_awaited_warning_names_the_qualname(gate, Provider, name):
    make, qualname = _coroutine_makers(gate, Provider("k"))[name]
    assert collected_warnings(lambda: make()) == [f"coroutine '{qualname}' was never awaited"]


def test_never_awaited_warning_for_tracking_send(ApiKeyGuardlet):
    seen = []

    async def app(scope, receive, send):
        seen.append(send)

    gate = ApiKeyGuardlet(app, api_key="k")
    finish(gate(http_scope(b"api_key=k"), receive, RecordingSend()))
    tracking_send = seen.pop()
    assert collected_warnings(lambda: tracking_send({"type": "x"})) == [
        "coroutine 'ApiKeyGuardlet.__call__.<locals>.tracking_send' was never awaited"
    ]


def test_never_awaited_warning_truncates_the_name(gate):
    def action():
        coro = gate._send_401({}, RecordingSend())
        coro.__qualname__ = "q" * 80

    assert collected_warnings(action) == [f"coroutine '{'q' * 50}' was never awaited"]


def test_no_warning_for_started_or_finished_coroutines(gate):
    send = PausingSend()

    def action():
        suspended = gate._send_401({}, send)
        suspended.send(None)
        finished = gate._send_401({}, RecordingSend())
        finish(finished)

    assert collected_warnings(action) == []
    # the suspended coroutine was closed when it was collected
    assert send.log == [("thrown", GeneratorExit), "finally"]


def test_never_awaited_warning_turned_into_an_error_leaves_no_error_behind(gate, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_value))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        gate._send_401({}, RecordingSend())
        gc.collect()
    # the finalizer cannot raise: the error is at most reported, and the interpreter carries on cleanly
    assert len(reports) <= 1
    assert all(isinstance(report, RuntimeWarning) for report in reports)
    send = RecordingSend()
    finish(gate._send_401({}, send))
    assert len(send.messages) == 2


# --- driven by a real asyncio loop --------------------------------------------------------------------


def test_asyncio_run_drives_a_coroutine_directly(gate):
    send = RecordingSend()
    assert asyncio.run(gate._send_401({}, send)) is None
    assert [m["type"] for m in send.messages] == ["http.response.start", "http.response.body"]


def test_tasks_and_python_awaits(gate, Provider):
    async def main():
        sent = []

        async def send(message):
            await asyncio.sleep(0)
            sent.append(message["type"])

        task = asyncio.ensure_future(gate._send_401({}, send))
        assert isinstance(task, asyncio.Task)
        token = await Provider("k").verify_token("k")
        await task
        results = await asyncio.gather(*(gate._send_401({}, send) for _ in range(5)))
        return sent, token, results

    sent, token, results = asyncio.run(main())
    assert sent.count("http.response.start") == 6 and sent.count("http.response.body") == 6
    assert token.client_id == "default"
    assert results == [None] * 5


def test_task_cancellation_reaches_the_awaited_send(gate):
    events = []

    async def main():
        blocker = asyncio.Event()

        async def send(message):
            try:
                await blocker.wait()
            except asyncio.CancelledError:
                events.append("send-cancelled")
                raise

        task = asyncio.create_task(gate._send_401({}, send))
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert asyncio.run(main()) is True
    assert events == ["send-cancelled"]


def test_wait_for_timeout_closes_the_chain(gate):
    async def main():
        async def send(message):
            await asyncio.Event().wait()

        with pytest.raises(TimeoutError):
            await asyncio.wait_for(gate._send_401({}, send), 0.05)

    asyncio.run(main())


def test_cancellation_passes_through_nested_guardlet_coroutines(ApiKeyGuardlet):
    async def main():
        started = asyncio.Event()
        cleaned = []

        async def app(scope, receive, send):
            await send({"type": "http.response.start", "status": 200, "headers": []})
            started.set()
            await asyncio.Event().wait()

        async def raw_send(message):
            cleaned.append(message)

        gate = ApiKeyGuardlet(app, api_key="k")
        task = asyncio.create_task(gate(http_scope(b"api_key=k"), receive, raw_send))
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return cleaned

    cleaned = asyncio.run(main())
    assert cleaned[-1] == {"type": "http.response.body", "body": b"", "more_body": False}


def _malloc_in_use():
    """Bytes the C allocator has handed out (glibc's mallinfo2), or None where that cannot be read."""
    import ctypes
    import ctypes.util

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd or None


def test_frame_records_of_finished_coroutines_are_given_back(ApiKeyGuardlet):
    # a few records are kept for reuse; thousands that were suspended at once must not all stay reserved
    if _malloc_in_use() is None:
        pytest.skip("needs glibc's mallinfo2")

    from frame_helpers import Pause

    async def app(scope, receive, send):
        await Pause()

    gate = ApiKeyGuardlet(app, api_key="k")

    def suspend_and_close(n):
        coros = [gate(http_scope(b"api_key=k"), receive, RecordingSend()) for _ in range(n)]
        for c in coros:
            assert c.send(None) == "pause"
        for c in coros:
            c.close()

    # each request sets the context variable in the context it runs in: a context of their own
    contextvars.copy_context().run(suspend_and_close, 200)
    gc.collect()
    before = _malloc_in_use()
    contextvars.copy_context().run(suspend_and_close, 5000)
    gc.collect()
    assert _malloc_in_use() - before < 1_000_000
