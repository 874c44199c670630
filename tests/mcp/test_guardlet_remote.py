"""Remote key verification against a real HTTP backend on 127.0.0.1, with real httpx."""

from __future__ import annotations

import asyncio
import json
import logging
import subprocess
import sys
import types
import urllib.parse

import httpx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from guardlet_helpers import (
    ANSWERS,
    DEFAULT_BODY,
    ECHO_KEY_PREFIX,
    HANG_KEY,
    LOGGER,
    START_401,
    VALID_USER,
    App,
    Recorder,
    VerifyBackend,
    context_var,
    finish,
    guardlet_module,
    http_scope,
    receive,
    tb_names,
    unused_port,
)

from strovik.mcp.redaction import failure_detail, key_spellings

WARNING_MSG = "远程校验 API Key 失败: %s"
CLIENT_HEADERS = {"host", "accept", "accept-encoding", "connection", "user-agent"}


@pytest.fixture(scope="module")
def verify_backend():
    backend = VerifyBackend().start()
    yield backend
    backend.close()


@pytest.fixture
def backend(verify_backend):
    verify_backend.seen.clear()
    verify_backend.hang_started.clear()
    verify_backend.hang_client_closed.clear()
    return verify_backend


@pytest.fixture
def G():
    return guardlet_module().ApiKeyGuardlet


@pytest.fixture
def logs(caplog):
    """Every log record, from every logger, at every level."""
    caplog.set_level(logging.DEBUG)
    return caplog


def new_gate(G, caplog, url, app=None, **kwargs):
    """A gate in remote mode; the construction record is dropped so only verification records remain."""
    gate = G(app if app is not None else App(), auth_verify_url=url, **kwargs)
    caplog.clear()
    return gate


def ours(caplog):
    return [record for record in caplog.records if record.name == LOGGER]


def verify(gate, key):
    return asyncio.run(gate._verify_remote(key))


def assert_no_key_in_logs(caplog, key):
    for record in ours(caplog):
        assert key not in record.getMessage(), (record.name, record.getMessage())
        assert key not in repr(record.args), (record.name, record.args)


# --- the request --------------------------------------------------------------------------------------


def test_key_is_sent_as_query_parameter_and_header(G, backend, logs):
    gate = new_gate(G, logs, backend.url())
    result = verify(gate, "k-valid")
    assert result == VALID_USER
    assert type(result) is dict
    (seen,) = backend.seen
    assert seen.method == "GET"
    assert seen.path == "/v1/mcp/verify-key"
    assert seen.query == {"api_key": ["k-valid"]}
    assert seen.header("X-MCP-API-Key") == ["k-valid"]
    assert seen.body == b""
    assert {name.lower() for name, _ in seen.headers} <= CLIENT_HEADERS | {"x-mcp-api-key"}
    assert ours(logs) == []


def test_url_is_handed_to_the_client_as_it_is(G, backend):
    url = backend.url("/custom/path?tenant=t1&x=")
    gate = G(App(), auth_verify_url=url)
    assert verify(gate, "k-valid") == VALID_USER
    (seen,) = backend.seen
    assert seen.path == "/custom/path"
    # the client decides how the params meet a query already in the URL
    expected = httpx.Request("GET", url, params={"api_key": "k-valid"}).url
    assert seen.query == urllib.parse.parse_qs(expected.query.decode(), keep_blank_values=True)
    assert seen.query["api_key"] == ["k-valid"]


def test_keys_with_reserved_characters_arrive_intact(G, backend, logs):
    key = "a b&c=d/+%?#"
    gate = new_gate(G, logs, backend.url())
    assert verify(gate, key) is None  # unknown to the backend
    (seen,) = backend.seen
    assert seen.query["api_key"] == [key]
    assert seen.header("X-MCP-API-Key") == [key]


def test_each_call_uses_its_own_connection(G, backend, logs):
    gate = new_gate(G, logs, backend.url())
    for _ in range(3):
        assert verify(gate, "k-valid") == VALID_USER
    assert len(backend.seen) == 3
    assert len({seen.client for seen in backend.seen}) == 3


def test_url_is_read_at_each_call(G, backend):
    gate = G(App(), auth_verify_url=backend.url("/first"))
    verify(gate, "k-valid")
    gate._auth_verify_url = backend.url("/second")
    verify(gate, "k-valid")
    assert [seen.path for seen in backend.seen] == ["/first", "/second"]


# --- the answer ---------------------------------------------------------------------------------------

ADMITTED = ["k-valid", "k-valid-string-false", "k-valid-number", "k-valid-list"]
REFUSED_QUIETLY = ["k-valid-zero", "k-valid-false", "k-valid-null", "k-valid-empty-string", "k-valid-empty-object",
                   "k-no-valid", "k-empty-object", "k-201", "k-204", "k-401", "k-403", "k-404", "k-500",
                   "k-unknown"]
REFUSED_WITH_WARNING = {
    "k-array": AttributeError,
    "k-null": AttributeError,
    "k-string": AttributeError,
    "k-number": AttributeError,
    "k-garbage": json.JSONDecodeError,
    "k-empty-body": json.JSONDecodeError,
}


@pytest.mark.parametrize("key", ADMITTED)
def test_valid_answers_return_the_whole_object(G, backend, logs, key):
    result = verify(new_gate(G, logs, backend.url()), key)
    assert result == json.loads(ANSWERS[key][1])
    assert ours(logs) == []


@pytest.mark.parametrize("key", REFUSED_QUIETLY)
def test_refusing_answers_give_none_without_a_log_line(G, backend, logs, key):
    assert verify(new_gate(G, logs, backend.url()), key) is None
    assert len(backend.seen) == 1
    assert ours(logs) == []


@pytest.mark.parametrize("key, error", list(REFUSED_WITH_WARNING.items()))
def test_answers_that_are_not_objects_give_none_with_one_warning(G, backend, logs, key, error):
    assert verify(new_gate(G, logs, backend.url()), key) is None
    (record,) = ours(logs)
    assert record.levelno == logging.WARNING
    assert record.msg == WARNING_MSG
    assert len(record.args) == 1
    assert isinstance(record.args[0], error)
    assert record.exc_info is None
    assert record.getMessage() == "远程校验 API Key 失败: " + str(record.args[0])


# --- no request at all --------------------------------------------------------------------------------


@pytest.mark.parametrize("key", [None, ""])
def test_missing_key_is_refused_without_a_request(G, backend, logs, key):
    assert verify(new_gate(G, logs, backend.url()), key) is None
    assert backend.seen == []
    assert ours(logs) == []


@pytest.mark.parametrize("url", [None, ""])
def test_falsy_url_is_refused_without_a_request(G, backend, logs, url):
    gate = G(App(), api_key="k-valid", auth_verify_url=url)
    logs.clear()
    assert verify(gate, "k-valid") is None
    assert backend.seen == []
    assert ours(logs) == []


def test_instance_without_url_attribute_raises(G):
    gate = G.__new__(G)
    with pytest.raises(AttributeError) as info:
        verify(gate, "k")
    assert "_verify_remote" in tb_names(info.value)
    assert verify(gate, None) is None


# --- failures of the backend --------------------------------------------------------------------------


def test_unreachable_backend_gives_none_with_one_warning(G, logs):
    gate = new_gate(G, logs, f"http://127.0.0.1:{unused_port()}/v1/mcp/verify-key")
    assert verify(gate, "k-secret-unreachable") is None
    (record,) = ours(logs)
    assert record.msg == WARNING_MSG
    assert isinstance(record.args[0], httpx.ConnectError)
    assert record.getMessage().startswith("远程校验 API Key 失败: ")
    assert_no_key_in_logs(logs, "k-secret-unreachable")


@pytest.mark.parametrize("url", ["not a url", "ftp://127.0.0.1/x", "http://"])
def test_unusable_url_gives_none_with_one_warning(G, logs, url):
    assert verify(new_gate(G, logs, url), "k-secret-url") is None
    (record,) = ours(logs)
    assert isinstance(record.args[0], Exception)
    assert_no_key_in_logs(logs, "k-secret-url")


def test_key_that_utf8_cannot_encode_gives_none_with_one_warning(G, backend, logs):
    assert verify(new_gate(G, logs, backend.url()), "k\ud800") is None
    (record,) = ours(logs)
    assert record.msg == WARNING_MSG


def test_key_echoed_into_an_error_is_masked(G, backend, logs):
    key = ECHO_KEY_PREFIX + "s3cr3t-value"
    assert verify(new_gate(G, logs, backend.url()), key) is None
    (record,) = ours(logs)
    assert record.msg == WARNING_MSG
    assert len(record.args) == 1
    assert isinstance(record.args[0], str)
    message = record.getMessage()
    assert message.startswith("远程校验 API Key 失败: ")
    assert "illegal status line" in message
    assert_no_key_in_logs(logs, key)
    assert "s3cr3t-value" not in message


def _again_upper(function):
    return lambda *args, **kwargs: function(*args, **kwargs).replace("again", "AGAIN")


@pytest.mark.parametrize(
    "name, replace, shown",
    [
        # quote_plus reaches quote and quote reaches quote_from_bytes, so the request itself then carries
        # the replacement's form of the key
        ("quote", _again_upper, "k-echo-AGAIN"),
        ("quote_from_bytes", _again_upper, "k-echo-AGAIN"),
        # httpx does not call quote_plus: a form that is text of the echoed error shows whether it is masked
        ("quote_plus", lambda quote_plus: lambda *args, **kwargs: "abc", "abc"),
    ],
)
def test_masking_follows_a_replaced_quote_for_a_key_seen_before(G, backend, logs, monkeypatch, name, replace, shown):
    key = ECHO_KEY_PREFIX + "again"
    gate = new_gate(G, logs, backend.url())
    verify(gate, key)
    monkeypatch.setattr(urllib.parse, name, replace(getattr(urllib.parse, name)))
    logs.clear()
    verify(gate, key)
    assert "***" in ours(logs)[0].getMessage()
    for record in logs.records:
        assert shown not in record.getMessage(), (record.name, record.getMessage())


class _FailingClientModule(types.ModuleType):
    """Stands in for httpx: constructing the client fails with the text the test chose."""

    def __init__(self) -> None:
        super().__init__("httpx")
        self.text = ""

    def AsyncClient(self):  # noqa: N802 - the name the gate looks up
        raise RuntimeError(self.text)


_ANY_CHAR = st.characters(blacklist_categories=())  # lone surrogates included
_KEY_PIECES = st.sampled_from(["\ud800", "\udfff", " ", "+", "%", "\\", "'", '"', "\n", "\x00", "é", "😀", "=", "&"])


@settings(max_examples=400, deadline=None)
@given(key=st.lists(_KEY_PIECES | st.text(_ANY_CHAR, min_size=1, max_size=3), min_size=1, max_size=6).map("".join),
       data=st.data())
def test_native_key_masking_matches_the_host_spellings(key, data):
    # The gate masks a key echoed into a failure with its own copy of the spellings; it must show exactly
    # what the host's failure_detail shows for the same failure text.
    spellings = key_spellings(key)
    raw = key.encode("utf-8", "surrogatepass")
    near = [key[:-1], key[1:], urllib.parse.quote(raw, safe=""), urllib.parse.quote_plus(raw, safe="")]
    pieces = st.sampled_from(spellings + [p for p in near if p]) | st.text(_ANY_CHAR, max_size=3)
    text = "".join(data.draw(st.lists(pieces, min_size=1, max_size=6))) or "x"
    client = _FailingClientModule()
    client.text = text
    shown: list[object] = []
    gate = guardlet_module().ApiKeyGuardlet(App(), auth_verify_url="http://127.0.0.1:9/")
    with pytest.MonkeyPatch.context() as m:
        m.setitem(sys.modules, "httpx", client)
        m.setattr(guardlet_module(), "_logger", types.SimpleNamespace(warning=lambda fmt, arg: shown.append(arg)))
        assert finish(gate._verify_remote(key)) is None
    assert [str(arg) for arg in shown] == [str(failure_detail(RuntimeError(text), key))]


def test_no_record_from_any_logger_holds_the_key(G, backend, logs):
    # the verification request carries the key in its URL: no log line of the request (the gate's own or the
    # HTTP client's request line) may show it, whatever the answer
    keys = ("k-valid", "k-garbage", "k-array", "k-500", ECHO_KEY_PREFIX + "zz9")
    gate = new_gate(G, logs, backend.url())
    for key in keys:
        verify(gate, key)
    shown = [record for record in logs.records if record.levelno >= logging.INFO]
    for key in keys:
        for record in shown:
            assert key not in record.getMessage(), (record.name, record.getMessage())


def test_logger_global_is_looked_up_when_logging(G, backend, monkeypatch):
    calls = []

    class Spy:
        def warning(self, *args):
            calls.append(args)

    gate = G(App(), auth_verify_url=backend.url())
    monkeypatch.setattr(guardlet_module(), "_logger", Spy())
    assert verify(gate, "k-garbage") is None
    assert len(calls) == 1
    assert calls[0][0] == WARNING_MSG
    assert isinstance(calls[0][1], json.JSONDecodeError)


def test_failing_warning_call_propagates(G, backend, monkeypatch):
    class Broken:
        def warning(self, *args):
            raise LookupError("logging broke")

    gate = G(App(), auth_verify_url=backend.url())
    monkeypatch.setattr(guardlet_module(), "_logger", Broken())
    with pytest.raises(LookupError, match="logging broke"):
        verify(gate, "k-array")


# --- cancellation -------------------------------------------------------------------------------------


async def _cancel_when_hanging(backend, awaitable):
    task = asyncio.ensure_future(awaitable)
    for _ in range(500):  # bounded wait for the backend to hold the request
        if backend.hang_started.is_set() or task.done():
            break
        await asyncio.sleep(0.01)
    assert backend.hang_started.is_set(), "the request never reached the backend"
    await asyncio.sleep(0.2)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    return task


def test_cancellation_during_the_request_passes_on_and_closes_the_client(G, backend, logs):
    gate = new_gate(G, logs, backend.url())
    task = asyncio.run(_cancel_when_hanging(backend, gate._verify_remote(HANG_KEY)))
    assert task.cancelled()
    assert backend.hang_client_closed.wait(5), "the client connection was left open"
    assert ours(logs) == []


def test_cancellation_through_the_gate(G, backend, logs):
    app = App()
    send = Recorder()
    gate = new_gate(G, logs, backend.url(), app=app)
    asyncio.run(_cancel_when_hanging(backend, gate(http_scope(b"api_key=" + HANG_KEY.encode()), receive, send)))
    assert app.calls == [] and send.messages == []
    assert ours(logs) == []


# --- the gate end to end in remote mode ---------------------------------------------------------------


def test_gate_admits_with_the_backends_user_information(G, backend):
    app = App()
    scope = http_scope(headers=[(b"authorization", b"Bearer k-valid")])
    assert asyncio.run(G(app, auth_verify_url=backend.url())(scope, receive, Recorder())) is None
    (call,) = app.calls
    assert call.ctx == {"api_key": "k-valid", "user_id": 7, "email": "e7@example.com"}
    assert (scope["mcp_api_key"], scope["mcp_user_id"], scope["mcp_user_email"]) == ("k-valid", 7, "e7@example.com")


@pytest.mark.parametrize("query", [b"api_key=k-valid-zero", b"api_key=k-garbage", b"api_key=k-500", b""])
def test_gate_refuses_what_the_backend_refuses(G, backend, query):
    app = App()
    send = Recorder()
    asyncio.run(G(app, api_key="k-valid-zero", auth_verify_url=backend.url())(http_scope(query), receive, send))
    assert app.calls == []
    assert send.messages == [START_401, {"type": "http.response.body", "body": DEFAULT_BODY}]


def test_parallel_verifications_are_independent(G, backend):
    gate = G(App(), auth_verify_url=backend.url())

    async def main():
        keys = ["k-valid", "k-array", "k-valid-number", "k-500", "k-valid"] * 2
        return keys, await asyncio.gather(*(gate._verify_remote(key) for key in keys))

    keys, results = asyncio.run(main())
    for key, result in zip(keys, results):
        if key in ADMITTED:
            assert result == json.loads(ANSWERS[key][1])
        else:
            assert result is None
    assert context_var().get() is None


# --- without httpx ------------------------------------------------------------------------------------

WITHOUT_HTTPX = r"""
import asyncio, json, logging, sys
sys.modules["httpx"] = None
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record)
logging.getLogger("strovik.mcp").addHandler(Keep())
logging.getLogger("strovik.mcp").setLevel(logging.DEBUG)
import strovik.mcp.guardlet as g
loaded = "ApiKeyGuardlet" in vars(g)
gate = g.ApiKeyGuardlet(None, auth_verify_url="http://127.0.0.1:9/v1/mcp/verify-key")
records.clear()
results = [asyncio.run(gate._verify_remote("k-one")), asyncio.run(gate._verify_remote("k-two"))]
print(json.dumps({
    "loaded": loaded,
    "results": results,
    "levels": [r.levelname for r in records],
    "msgs": [r.msg for r in records],
    "arg_types": [type(r.args[0]).__name__ for r in records],
    "texts": [r.getMessage() for r in records],
}))
"""


def test_without_httpx_the_module_loads_and_every_key_is_refused_with_a_warning(tmp_path):
    proc = subprocess.run([sys.executable, "-c", WITHOUT_HTTPX], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["loaded"] is True
    assert result["results"] == [None, None]
    assert result["levels"] == ["WARNING", "WARNING"]
    assert result["msgs"] == [WARNING_MSG, WARNING_MSG]
    assert result["arg_types"] == ["ModuleNotFoundError", "ModuleNotFoundError"]
    assert all("k-one" not in text and "k-two" not in text for text in result["texts"])
