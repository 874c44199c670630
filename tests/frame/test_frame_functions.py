"""Method objects of the shared frame: attributes, setters, descriptor binding, pickling, code objects,
argument binding with its exact messages, exact-type checks and traceback entries."""

from __future__ import annotations

import asyncio
import asyncio.coroutines
import copy
import gc
import inspect
import pickle
import types
import typing
import warnings

import pytest
import starlette.types

from frame_helpers import RecordingSend, finish, http_scope, receive, source_path, tb_entries, tb_names

CO_COROUTINE = inspect.CO_COROUTINE

GATE_INIT_DOC_WORDS = ("app", "api_key", "auth_verify_url", "/v1/mcp/verify-key")
EXTRACT_DOC = "从 Query Param 或 Header 中提取 API Key。"
VERIFY_REMOTE_DOC = (
    "调用 STROVA 后端远程校验 API Key。\n\n        将 API Key 同时作为 query param 和 header 传参，\n"
    "        兼容后端不同接入方式。\n\n        Args:\n            api_key: 待校验的明文 API Key\n\n"
    "        Returns:\n            校验通过时返回 STROVA 后端响应的 user 信息 dict\n"
    "            校验失败时返回 None\n        "
)
VERIFY_TOKEN_DOC = "校验 Bearer Token 是否与固定 API Key 匹配。"

# class, name, signature text, positional count, keyword-only count, __defaults__, __kwdefaults__,
# annotations (in order), coroutine?, __doc__ (None = none, tuple = words the text must hold)
METHODS = [
    (
        "ApiKeyGuardlet", "__init__",
        "(self, app: 'ASGIApp', *, api_key: 'str | None' = None, auth_verify_url: 'str | None' = None)",
        2, 2, None, {"api_key": None, "auth_verify_url": None},
        [("app", "ASGIApp"), ("api_key", "str | None"), ("auth_verify_url", "str | None")],
        False, GATE_INIT_DOC_WORDS,
    ),
    (
        "ApiKeyGuardlet", "_extract_token", "(self, scope: 'Scope') -> 'str | None'",
        2, 0, None, None, [("scope", "Scope"), ("return", "str | None")], False, EXTRACT_DOC,
    ),
    (
        "ApiKeyGuardlet", "__call__", "(self, scope: 'Scope', receive: 'Receive', send: 'Send') -> 'None'",
        4, 0, None, None, [("scope", "Scope"), ("receive", "Receive"), ("send", "Send"), ("return", "None")],
        True, None,
    ),
    (
        "ApiKeyGuardlet", "_verify_remote", "(self, api_key: 'str | None') -> 'dict | None'",
        2, 0, None, None, [("api_key", "str | None"), ("return", "dict | None")], True, VERIFY_REMOTE_DOC,
    ),
    (
        "ApiKeyGuardlet", "_send_401",
        "(self, _scope: 'Scope', send: 'Send', reason: 'str' = 'invalid_api_key') -> 'None'",
        4, 0, ("invalid_api_key",), None,
        [("_scope", "Scope"), ("send", "Send"), ("reason", "str"), ("return", "None")], True, None,
    ),
    (
        "FixedApiKeyAuthProvider", "__init__", "(self, api_key: 'str')",
        2, 0, None, None, [("api_key", "str")], False, None,
    ),
    (
        "FixedApiKeyAuthProvider", "verify_token", "(self, token: 'str') -> 'Any'",
        2, 0, None, None, [("token", "str"), ("return", "Any")], True, VERIFY_TOKEN_DOC,
    ),
]
METHOD_IDS = [f"{m[0]}.{m[1]}" for m in METHODS]


def method(guardlet, class_name, name):
    return vars(getattr(guardlet, class_name))[name]


def capture_tracking_send(gate):
    """Run one admitted request and hand back the ``send`` callable the application was given."""
    seen = []

    async def app(scope, receive, send):
        seen.append(send)

    gate.app = app
    finish(gate(http_scope(b"api_key=frame-key"), receive, RecordingSend()))
    return seen[0]


# --- attributes ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("row", METHODS, ids=METHOD_IDS)
def test_method_attributes(guardlet, row):
    cls_name, name, _sig, argc, kwonly, defaults, kwdefaults, annotations, is_coro, doc = row
    func = method(guardlet, cls_name, name)
    assert func.__name__ == name
    assert func.__qualname__ == f"{cls_name}.{name}"
    assert func.__module__ == "strovik.mcp.guardlet"
    assert func.__globals__ is vars(guardlet)
    assert func.__closure__ is None
    assert type(func.__dict__) is dict
    assert func.__defaults__ == defaults
    assert func.__kwdefaults__ == kwdefaults
    assert list(func.__annotations__.items()) == annotations
    if isinstance(doc, tuple):
        assert isinstance(func.__doc__, str) and all(word in func.__doc__ for word in doc)
    else:
        assert func.__doc__ == doc
    if is_coro:
        assert func._is_coroutine is asyncio.coroutines._is_coroutine
    else:
        assert func._is_coroutine is False
    assert asyncio.iscoroutinefunction(func) is is_coro
    assert callable(func)


@pytest.mark.parametrize("row", METHODS, ids=METHOD_IDS)
def test_code_objects_describe_the_signature(guardlet, row):
    cls_name, name, sig, argc, kwonly, *_rest = row
    is_coro = row[8]
    func = method(guardlet, cls_name, name)
    code = func.__code__
    assert isinstance(code, types.CodeType)
    assert "mcp/guardlet" in source_path(code.co_filename)
    assert code.co_filename == guardlet.ApiKeyGuardlet.__init__.__code__.co_filename
    assert code.co_firstlineno > 0
    assert code.co_argcount == argc
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == kwonly
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
    assert bool(code.co_flags & CO_COROUTINE) is is_coro
    # the signature is recovered from the code object, defaults and annotations alone
    assert str(inspect.signature(func)) == sig
    assert inspect.iscoroutinefunction(func) is is_coro


def test_local_variable_names_are_carried(guardlet):
    G = guardlet.ApiKeyGuardlet
    extract = G._extract_token.__code__
    assert {"query_string", "params", "api_keys", "name", "value", "auth"} <= set(extract.co_varnames)
    call = G.__call__.__code__
    names = set(call.co_varnames) | set(call.co_cellvars)
    assert {"token", "user_info", "mcp_request_ctx", "ctx_token", "response_started", "response_complete",
            "tracking_send", "exc"} <= names


def test_string_annotations_resolve_against_the_module_globals(guardlet):
    G = guardlet.ApiKeyGuardlet
    assert typing.get_type_hints(G.__call__) == {
        "scope": starlette.types.Scope,
        "receive": starlette.types.Receive,
        "send": starlette.types.Send,
        "return": type(None),
    }
    assert typing.get_type_hints(guardlet.FixedApiKeyAuthProvider.verify_token)["return"] is typing.Any
    assert typing.get_type_hints(G._verify_remote)["return"] == dict | None


def test_tracking_send_is_a_per_request_coroutine_closure(guardlet, gate):
    first = capture_tracking_send(gate)
    second = capture_tracking_send(gate)
    assert first is not second
    assert first.__name__ == "tracking_send"
    assert first.__qualname__ == "ApiKeyGuardlet.__call__.<locals>.tracking_send"
    assert first.__module__ == "strovik.mcp.guardlet"
    assert first.__globals__ is vars(guardlet)
    assert list(first.__annotations__.items()) == [("message", "Any"), ("return", "None")]
    assert first.__defaults__ is None and first.__kwdefaults__ is None
    assert first.__doc__ is None
    assert first._is_coroutine is asyncio.coroutines._is_coroutine
    assert asyncio.iscoroutinefunction(first)
    code = first.__code__
    assert code.co_argcount == 1 and code.co_kwonlyargcount == 0
    assert code.co_flags & CO_COROUTINE
    assert str(inspect.signature(first)) == "(message: 'Any') -> 'None'"


# --- setters ------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attr, bad, message",
    [
        ("__name__", 5, "__name__ must be set to a string object"),
        ("__name__", None, "__name__ must be set to a string object"),
        ("__qualname__", b"x", "__qualname__ must be set to a string object"),
        ("__defaults__", ["invalid_api_key"], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", [("a", 1)], "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", None, "__annotations__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ],
)
def test_setters_refuse_wrong_types(guardlet, attr, bad, message):
    func = guardlet.ApiKeyGuardlet._send_401
    before = getattr(func, attr)
    with pytest.raises(TypeError) as info:
        setattr(func, attr, bad)
    assert str(info.value) == message
    assert getattr(func, attr) == before


@pytest.mark.parametrize(
    "attr, value",
    [
        ("__name__", "renamed"),
        ("__qualname__", "Somewhere.renamed"),
        ("__doc__", "new doc"),
        ("__doc__", None),
        ("__module__", "elsewhere"),
        ("__annotations__", {"x": "int"}),
        ("custom_attribute", 42),
    ],
)
def test_settable_attributes_take_the_new_value(guardlet, monkeypatch, attr, value):
    func = guardlet.ApiKeyGuardlet._extract_token
    monkeypatch.setattr(func, attr, value, raising=False)
    assert getattr(func, attr) == value
    if attr == "custom_attribute":
        assert func.__dict__["custom_attribute"] == 42


def test_changing_defaults_warns_and_does_not_affect_calls(guardlet):
    G = guardlet.ApiKeyGuardlet
    send401, init = G._send_401, G.__init__
    old_defaults, old_kwdefaults = send401.__defaults__, init.__kwdefaults__
    try:
        with pytest.warns(RuntimeWarning):
            send401.__defaults__ = ("changed",)
        with pytest.warns(RuntimeWarning):
            init.__kwdefaults__ = {"api_key": "injected", "auth_verify_url": "http://injected"}
        assert send401.__defaults__ == ("changed",)
        assert init.__kwdefaults__ == {"api_key": "injected", "auth_verify_url": "http://injected"}

        send = RecordingSend()
        finish(G._send_401(None, {}, send))
        assert send.messages[1]["body"].endswith(b'"reason":"invalid_api_key"}')
        gate = G(lambda *a: None)
        assert gate._api_key is None and gate._auth_verify_url is None
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            send401.__defaults__ = old_defaults
            init.__kwdefaults__ = old_kwdefaults
    assert send401.__defaults__ == ("invalid_api_key",)


def test_defaults_can_be_set_to_none_with_a_warning(guardlet):
    func = guardlet.ApiKeyGuardlet._send_401
    try:
        with pytest.warns(RuntimeWarning):
            func.__defaults__ = None
        assert func.__defaults__ is None
        send = RecordingSend()
        finish(guardlet.ApiKeyGuardlet._send_401(None, {}, send))  # the default still applies
        assert len(send.messages) == 2
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            func.__defaults__ = ("invalid_api_key",)


# --- descriptor binding, pickling ---------------------------------------------------------------------


def test_methods_bind_through_instances_and_not_through_the_class(guardlet, gate):
    G = guardlet.ApiKeyGuardlet
    bound = gate._extract_token
    assert type(bound) is types.MethodType
    assert bound.__self__ is gate
    assert bound.__func__ is vars(G)["_extract_token"]
    assert G._extract_token is vars(G)["_extract_token"]
    assert vars(G)["_extract_token"].__get__(None, G) is vars(G)["_extract_token"]
    scope = http_scope(b"api_key=abc")
    assert bound(scope) == G._extract_token(gate, scope) == "abc"
    assert gate.__call__.__func__ is vars(G)["__call__"]


@pytest.mark.parametrize("row", METHODS, ids=METHOD_IDS)
def test_methods_pickle_and_copy_by_reference(guardlet, row):
    func = method(guardlet, row[0], row[1])
    assert func.__reduce__() == f"{row[0]}.{row[1]}"
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func
    assert copy.deepcopy(func) is func


# --- argument binding ---------------------------------------------------------------------------------


async def _app(scope, receive, send):
    return None


def _calls(guardlet):
    G, P = guardlet.ApiKeyGuardlet, guardlet.FixedApiKeyAuthProvider
    gate = G(_app, api_key="k")
    provider = P("k")
    send = RecordingSend()
    return {
        "init-extra-positional": (lambda: G(_app, "k"), "__init__() takes exactly 2 positional arguments (3 given)"),
        "init-missing-app": (lambda: G(), "__init__() takes exactly 2 positional arguments (1 given)"),
        "init-unknown-keyword": (lambda: G(_app, token="k"), "__init__() got an unexpected keyword argument 'token'"),
        "init-app-twice": (lambda: G(_app, app=_app), "__init__() got multiple values for keyword argument 'app'"),
        "extract-none": (lambda: gate._extract_token(), "_extract_token() takes exactly 2 positional arguments (1 given)"),
        "extract-too-many": (
            lambda: gate._extract_token({}, {}), "_extract_token() takes exactly 2 positional arguments (3 given)"),
        "extract-scope-twice": (
            lambda: gate._extract_token({}, scope={}), "_extract_token() got multiple values for keyword argument 'scope'"),
        "call-one": (lambda: gate({}), "__call__() takes exactly 4 positional arguments (2 given)"),
        "call-five": (lambda: gate({}, receive, send, None), "__call__() takes exactly 4 positional arguments (5 given)"),
        "verify-remote-none": (lambda: gate._verify_remote(), "_verify_remote() takes exactly 2 positional arguments (1 given)"),
        "send401-too-few": (lambda: gate._send_401({}), "_send_401() takes at least 3 positional arguments (2 given)"),
        "send401-too-many": (
            lambda: gate._send_401({}, send, "r", "x"), "_send_401() takes at most 4 positional arguments (5 given)"),
        "send401-unknown": (
            lambda: gate._send_401({}, send, why="r"), "_send_401() got an unexpected keyword argument 'why'"),
        "send401-reason-twice": (
            lambda: gate._send_401({}, send, "r", reason="r"),
            "_send_401() got multiple values for keyword argument 'reason'"),
        "provider-none": (lambda: P(), "__init__() takes exactly 2 positional arguments (1 given)"),
        "provider-two": (lambda: P("a", "b"), "__init__() takes exactly 2 positional arguments (3 given)"),
        "verify-token-none": (lambda: provider.verify_token(), "verify_token() takes exactly 2 positional arguments (1 given)"),
        "verify-token-two": (
            lambda: provider.verify_token("a", "b"), "verify_token() takes exactly 2 positional arguments (3 given)"),
    }


BINDING_CASES = [
    "init-extra-positional", "init-missing-app", "init-unknown-keyword", "init-app-twice", "extract-none",
    "extract-too-many", "extract-scope-twice", "call-one", "call-five", "verify-remote-none", "send401-too-few",
    "send401-too-many", "send401-unknown", "send401-reason-twice", "provider-none", "provider-two",
    "verify-token-none", "verify-token-two",
]


@pytest.mark.parametrize("case", BINDING_CASES)
def test_binding_errors_have_exact_messages(guardlet, case):
    call, message = _calls(guardlet)[case]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as info:
            call()
        gc.collect()
    assert str(info.value) == message
    # refused before a coroutine object exists: nothing was left unawaited
    assert not [w for w in caught if issubclass(w.category, RuntimeWarning)]


def test_singular_argument_wording_for_one_parameter(guardlet, gate):
    tracking_send = capture_tracking_send(gate)
    with pytest.raises(TypeError) as info:
        tracking_send()
    assert str(info.value) == "tracking_send() takes exactly 1 positional argument (0 given)"
    with pytest.raises(TypeError) as info:
        tracking_send({"type": "x"}, {"type": "y"})
    assert str(info.value) == "tracking_send() takes exactly 1 positional argument (2 given)"


def test_keyword_names_must_be_strings(guardlet, gate):
    with pytest.raises(TypeError, match="keywords must be strings"):
        gate._extract_token(**{1: {}})


def test_every_parameter_binds_by_keyword(guardlet):
    G, P = guardlet.ApiKeyGuardlet, guardlet.FixedApiKeyAuthProvider
    gate = G(app=_app, auth_verify_url="http://127.0.0.1:9/v", api_key="k")
    assert (gate.app, gate._api_key, gate._auth_verify_url) == (_app, "k", "http://127.0.0.1:9/v")
    assert G._extract_token(self=gate, scope=http_scope(b"api_key=q")) == "q"
    send = RecordingSend()
    finish(G._send_401(self=gate, _scope={}, send=send, reason="why"))
    assert send.messages[1]["body"].endswith(b'"reason":"why"}')
    token = finish(P(api_key="k").verify_token(token="k"))
    assert token.token == "k"
    assert finish(G._verify_remote(self=gate, api_key=None)) is None
    # a keyword name equal to the parameter's but another (not interned) str object
    assert P(**{"".join(["api_", "key"]): "k"})._api_key == "k"


def test_missing_keyword_only_parameters_take_their_defaults(guardlet):
    gate = guardlet.ApiKeyGuardlet(_app)
    assert gate._api_key is None and gate._auth_verify_url is None


class Text(str):
    pass


def _type_check_cases(guardlet):
    G, P = guardlet.ApiKeyGuardlet, guardlet.FixedApiKeyAuthProvider
    gate = G(_app, api_key="k")
    provider = P("k")
    send = RecordingSend()
    return {
        "init-api-key-int": (lambda v: G(_app, api_key=v), 5, "api_key"),
        "init-api-key-bytes": (lambda v: G(_app, api_key=v), b"k", "api_key"),
        "init-url-int": (lambda v: G(_app, auth_verify_url=v), 1, "auth_verify_url"),
        "init-url-list": (lambda v: G(_app, auth_verify_url=v), ["u"], "auth_verify_url"),
        "verify-remote-int": (lambda v: gate._verify_remote(v), 7, "api_key"),
        "verify-remote-bytes": (lambda v: gate._verify_remote(api_key=v), b"k", "api_key"),
        "send401-none": (lambda v: gate._send_401({}, send, reason=v), None, "reason"),
        "send401-int": (lambda v: gate._send_401({}, send, v), 123, "reason"),
        "provider-none": (lambda v: P(v), None, "api_key"),
        "provider-int": (lambda v: P(api_key=v), 3, "api_key"),
        "verify-token-none": (lambda v: provider.verify_token(v), None, "token"),
        "verify-token-bytes": (lambda v: provider.verify_token(token=v), b"k", "token"),
    }


TYPE_CASES = [
    "init-api-key-int", "init-api-key-bytes", "init-url-int", "init-url-list", "verify-remote-int",
    "verify-remote-bytes", "send401-none", "send401-int", "provider-none", "provider-int", "verify-token-none",
    "verify-token-bytes",
]


@pytest.mark.parametrize("case", TYPE_CASES)
def test_type_checks_refuse_wrong_types_before_the_body(guardlet, case):
    call, value, param = _type_check_cases(guardlet)[case]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as info:
            call(value)
        gc.collect()
    assert str(info.value) == (
        f"Argument '{param}' has incorrect type (expected str, got {type(value).__name__})"
    )
    assert not getattr(info.value, "__notes__", None)
    assert not [w for w in caught if issubclass(w.category, RuntimeWarning)]


@pytest.mark.parametrize("case", ["init-api-key-int", "init-url-int", "verify-remote-int", "send401-int",
                                  "provider-int", "verify-token-none"])
def test_str_subclasses_are_refused_with_a_note(guardlet, case):
    call, _value, param = _type_check_cases(guardlet)[case]
    with pytest.raises(TypeError) as info:
        call(Text("frame-key"))
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected str, got Text)"
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == 1 and isinstance(notes[0], str) and notes[0]


def test_failed_type_check_stores_nothing(guardlet, caplog):
    G = guardlet.ApiKeyGuardlet
    gate = G.__new__(G)
    with caplog.at_level("DEBUG", logger="strovik.mcp"):
        with pytest.raises(TypeError):
            gate.__init__(_app, api_key="k", auth_verify_url=5)
    assert vars(gate) == {}
    assert caplog.records == []


def test_other_parameters_accept_any_object(guardlet):
    G = guardlet.ApiKeyGuardlet
    for app in (None, 5, "not callable", object()):
        assert G(app).app is app
    send = RecordingSend()
    finish(G._send_401(object(), ["not a scope"], send))
    assert len(send.messages) == 2


# --- traceback entries --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "case, qualified",
    [
        ("init-extra-positional", "strovik.mcp.guardlet.ApiKeyGuardlet.__init__"),
        ("extract-none", "strovik.mcp.guardlet.ApiKeyGuardlet._extract_token"),
        ("send401-too-many", "strovik.mcp.guardlet.ApiKeyGuardlet._send_401"),
        ("verify-token-two", "strovik.mcp.guardlet.FixedApiKeyAuthProvider.verify_token"),
    ],
)
def test_binding_failure_entry_is_named_by_the_dotted_path(guardlet, case, qualified):
    call, _ = _calls(guardlet)[case]
    with pytest.raises(TypeError) as info:
        call()
    last = tb_entries(info.value)[-1]
    cls_name, name = qualified.split(".")[-2:]
    func = method(guardlet, cls_name, name)
    assert last.name == qualified
    assert source_path(last.filename) == source_path(func.__code__.co_filename)
    assert last.lineno == func.__code__.co_firstlineno


@pytest.mark.parametrize(
    "case, qualified",
    [
        ("init-api-key-int", "strovik.mcp.guardlet.ApiKeyGuardlet.__init__"),
        ("send401-none", "strovik.mcp.guardlet.ApiKeyGuardlet._send_401"),
        ("verify-token-none", "strovik.mcp.guardlet.FixedApiKeyAuthProvider.verify_token"),
    ],
)
def test_type_check_failure_entry_is_named_by_the_dotted_path(guardlet, case, qualified):
    call, value, _ = _type_check_cases(guardlet)[case]
    with pytest.raises(TypeError) as info:
        call(value)
    assert tb_names(info.value)[-1] == qualified


def test_body_failure_entry_carries_the_plain_name(guardlet, gate):
    with pytest.raises(ValueError) as info:
        gate._extract_token({"headers": [(b"a", b"b", b"c")]})
    last = tb_entries(info.value)[-1]
    code = guardlet.ApiKeyGuardlet._extract_token.__code__
    assert last.name == "_extract_token"
    assert source_path(last.filename) == source_path(code.co_filename)
    assert last.lineno >= code.co_firstlineno


def test_coroutine_body_failure_entry_carries_the_plain_name(guardlet):
    provider = guardlet.FixedApiKeyAuthProvider("k")
    del provider._api_key
    coro = provider.verify_token("k")
    with pytest.raises(AttributeError) as info:
        coro.send(None)
    names = tb_names(info.value)
    assert names.count("verify_token") == 1
    assert not any(name.startswith("strovik.mcp.guardlet.") for name in names)


def test_exception_from_a_callee_keeps_its_own_entries(guardlet, gate):
    def send(message):
        raise OSError("send failed")

    with pytest.raises(OSError) as info:
        finish(gate._send_401({}, send))
    names = tb_names(info.value)
    assert names.index("_send_401") < names.index("send")


def test_module_globals_are_looked_up_at_each_use(guardlet, gate, monkeypatch):
    monkeypatch.delattr(guardlet, "_logger")
    G = guardlet.ApiKeyGuardlet
    fresh = G.__new__(G)
    with pytest.raises(NameError) as info:
        fresh.__init__(_app, api_key="k")
    assert str(info.value) == "name '_logger' is not defined"
    assert tb_names(info.value)[-1] == "__init__"
    assert vars(fresh) == {"app": _app, "_api_key": "k", "_auth_verify_url": None}
