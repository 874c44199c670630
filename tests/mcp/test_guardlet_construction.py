"""Constructing the gate: what it stores and the one log line that announces its mode."""

from __future__ import annotations

import logging

import pytest

from guardlet_helpers import LOGGER, App, Recorder, finish, guardlet_module, http_scope, receive

REMOTE_MSG = "MCP Server 运行在远程校验模式，校验地址: %s"
FIXED_MSG = "MCP Server 运行在固定 API Key 模式"
NONE_MSG = "MCP Server 未配置任何 API Key 鉴权！"
URL = "http://127.0.0.1:9/v1/mcp/verify-key"


@pytest.fixture
def G():
    return guardlet_module().ApiKeyGuardlet


@pytest.mark.parametrize(
    "kwargs, level, msg, args",
    [
        ({"api_key": "secret-1"}, logging.INFO, FIXED_MSG, ()),
        ({"auth_verify_url": URL}, logging.INFO, REMOTE_MSG, (URL,)),
        ({"api_key": "secret-1", "auth_verify_url": URL}, logging.INFO, REMOTE_MSG, (URL,)),
        ({}, logging.WARNING, NONE_MSG, ()),
        ({"api_key": None, "auth_verify_url": None}, logging.WARNING, NONE_MSG, ()),
        ({"api_key": "", "auth_verify_url": ""}, logging.WARNING, NONE_MSG, ()),
        ({"api_key": "secret-1", "auth_verify_url": ""}, logging.INFO, FIXED_MSG, ()),
        ({"api_key": "", "auth_verify_url": URL}, logging.INFO, REMOTE_MSG, (URL,)),
    ],
    ids=["key", "url", "both", "neither", "explicit-none", "both-empty", "key-and-empty-url", "empty-key-and-url"],
)
def test_mode_is_announced_in_exactly_one_record(G, caplog, kwargs, level, msg, args):
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        G(App(), **kwargs)
    records = [r for r in caplog.records if r.name == LOGGER]
    assert len(records) == 1
    record = records[0]
    assert record.levelno == level
    # the URL is an argument of the record, not formatted into the text
    assert record.msg == msg
    assert record.args == args
    assert record.exc_info is None
    if kwargs.get("api_key"):
        assert kwargs["api_key"] not in record.getMessage()


@pytest.mark.parametrize(
    "app, api_key, url",
    [
        ("app-object", " key with spaces ", "http://h/v1/mcp/verify-key/"),
        (None, "", ""),
        (5, None, None),
        ("x", "KEY", "HTTP://Upper.Example/Path"),
    ],
)
def test_arguments_are_stored_unchanged_in_order(G, app, api_key, url):
    gate = G(app, api_key=api_key, auth_verify_url=url)
    assert list(vars(gate)) == ["app", "_api_key", "_auth_verify_url"]
    assert gate.app is app
    assert gate._api_key is api_key
    assert gate._auth_verify_url is url


def test_init_returns_none_and_can_rerun(G):
    gate = G(App(), api_key="a")
    assert gate.__init__("other", api_key="b", auth_verify_url="u") is None
    assert (gate.app, gate._api_key, gate._auth_verify_url) == ("other", "b", "u")


def test_key_given_positionally_is_refused(G, caplog):
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        with pytest.raises(TypeError) as info:
            G(App(), "secret-1")
    assert str(info.value) == "__init__() takes exactly 2 positional arguments (3 given)"
    assert caplog.records == []


def test_replaced_logger_is_used_at_once(G, monkeypatch):
    calls = []

    class Spy:
        def info(self, *args):
            calls.append(("info", args))

        def warning(self, *args):
            calls.append(("warning", args))

    monkeypatch.setattr(guardlet_module(), "_logger", Spy())
    G(App(), api_key="k")
    G(App(), auth_verify_url=URL)
    G(App())
    assert calls == [("info", (FIXED_MSG,)), ("info", (REMOTE_MSG, URL)), ("warning", (NONE_MSG,))]


def test_logger_errors_propagate_after_the_attributes_are_stored(G, monkeypatch):
    class Broken:
        def info(self, *args):
            raise LookupError("logger broke")

    monkeypatch.setattr(guardlet_module(), "_logger", Broken())
    gate = G.__new__(G)
    with pytest.raises(LookupError, match="logger broke"):
        gate.__init__("app", api_key="k")
    assert vars(gate) == {"app": "app", "_api_key": "k", "_auth_verify_url": None}


def test_subclass_overrides_take_effect(G):
    class Custom(G):
        def _extract_token(self, scope):
            return "from-subclass"

    app = App()
    send = Recorder()
    finish(Custom(app, api_key="from-subclass")(http_scope(), receive, send))
    assert len(app.calls) == 1
    assert app.calls[0].scope["mcp_api_key"] == "from-subclass"


def test_instances_take_new_attributes_and_the_gate_reads_them_per_request(G):
    first, second = App(), App()
    gate = G(first, api_key="old")
    finish(gate(http_scope(b"api_key=new"), receive, Recorder()))
    assert first.calls == []
    gate._api_key = "new"
    gate.app = second
    finish(gate(http_scope(b"api_key=new"), receive, Recorder()))
    assert first.calls == [] and len(second.calls) == 1
