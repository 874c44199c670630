"""Taking the API key from a request's query string or its Authorization header."""

from __future__ import annotations

import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from guardlet_helpers import App, Recorder, bearer, finish, guardlet_module, http_scope, receive, DEFAULT_BODY


@pytest.fixture
def extract():
    gate = guardlet_module().ApiKeyGuardlet(App(), api_key="fixed")
    return gate._extract_token


@pytest.mark.parametrize(
    "scope, expected",
    [
        # the query wins, first occurrence first
        (http_scope(b"api_key=q1&api_key=q2", [bearer("h")]), "q1"),
        (http_scope(b"x=1&api_key=q1", [bearer("h")]), "q1"),
        # a blank query value is left out by the parser: the header decides
        (http_scope(b"api_key=", [bearer("h")]), "h"),
        (http_scope(b"api_key=&api_key=q2"), "q2"),
        (http_scope(b"other=1", [bearer("h")]), "h"),
        (http_scope(b"api_key"), None),
        # decoding of the query value: escapes, plus signs, no trimming
        (http_scope(b"api_key=%20abc%20"), " abc "),
        (http_scope(b"api_key=a+b"), "a b"),
        (http_scope(b"api_key=%E4%B8%AD%E6%96%87"), "中文"),
        (http_scope(b"api_key=%FFab"), "\ufffdab"),
        (http_scope(b"api_key=a%26b&c=d"), "a&b"),
        (http_scope(b"api_key=a;b"), "a;b"),
        (http_scope("api_key=中".encode()), "中"),
        # the Bearer scheme in any case, the value stripped
        (http_scope(headers=[(b"authorization", b"BEARER   key  ")]), "key"),
        (http_scope(headers=[(b"authorization", b"bearer k")]), "k"),
        (http_scope(headers=[(b"authorization", b"Bearer MiXeD-Case")]), "MiXeD-Case"),
        (http_scope(headers=[(b"authorization", b"Bearer ")]), ""),
        (http_scope(headers=[(b"authorization", b"Bearer \t k \t")]), "k"),
        (http_scope(headers=[(b"authorization", b"Bearer a b")]), "a b"),
        # not the Bearer scheme
        (http_scope(headers=[(b"authorization", b"Bearerkey")]), None),
        (http_scope(headers=[(b"authorization", b"Bearer\tkey")]), None),
        (http_scope(headers=[(b"authorization", b"Basic abc")]), None),
        (http_scope(headers=[(b"authorization", b" Bearer k")]), None),
        # the first Authorization header with the Bearer scheme wins; the name matches in any case
        (http_scope(headers=[(b"authorization", b"Basic abc"), (b"AuThOrIzAtIoN", b"Bearer second")]), "second"),
        (http_scope(headers=[(b"AUTHORIZATION", b"Bearer one"), (b"authorization", b"Bearer two")]), "one"),
        (http_scope(headers=[(b"x-api-key", b"Bearer no"), (b"authorization", b"Bearer yes")]), "yes"),
        # a name given as str never matches
        (http_scope(headers=[("authorization", b"Bearer k")]), None),
        # undecodable header bytes become U+FFFD
        (http_scope(headers=[(b"authorization", b"Bearer \xffk")]), "\ufffdk"),
        # nothing at all
        ({"type": "http"}, None),
        (http_scope(), None),
    ],
)
def test_extraction(extract, scope, expected):
    assert extract(scope) == expected


@pytest.mark.parametrize(
    "query, headers, expected",
    [
        (b"api_key=\xff", [bearer("from-header")], "from-header"),
        (b"api_key=good&x=\xff", [bearer("from-header")], "from-header"),
        (b"\xfe\xfe", [bearer("from-header")], "from-header"),
        (b"api_key=good&x=\xff", [], None),
        (b"api_key=%80&bad=\xc3", [], None),
    ],
)
def test_query_that_is_not_utf8_gives_no_key_and_headers_still_count(extract, query, headers, expected):
    assert extract(http_scope(query, headers)) == expected


@pytest.mark.parametrize(
    "api_key, query",
    [("good", b"api_key=good&x=\xff"), ("\ufffd", b"api_key=\xff"), ("good\ufffd", b"api_key=good\xff")],
)
def test_gate_answers_401_to_a_query_that_is_not_utf8(api_key, query):
    G = guardlet_module().ApiKeyGuardlet
    app = App()
    gate = G(app, api_key=api_key)
    send = Recorder()
    finish(gate(http_scope(query), receive, send))
    assert app.calls == []
    assert send.messages[1]["body"] == DEFAULT_BODY
    # a usable header key still admits the request
    finish(gate(http_scope(b"api_key=\xff", [bearer(api_key)]), receive, Recorder()))
    assert len(app.calls) == 1 and app.calls[0].scope["mcp_api_key"] == api_key


def test_result_is_a_plain_str(extract):
    for scope in (http_scope(b"api_key=abc"), http_scope(headers=[bearer("abc")])):
        assert type(extract(scope)) is str


def test_scope_is_read_only_through_get(extract):
    class OnlyGet:
        def __init__(self, data):
            self.data = data
            self.keys = []

        def get(self, key, default=None):
            self.keys.append(key)
            return self.data.get(key, default)

    scope = OnlyGet({"headers": [bearer("k")]})
    assert extract(scope) == "k"
    assert scope.keys == ["query_string", "headers"]
    nothing = OnlyGet({})
    assert extract(nothing) is None


def test_headers_may_be_any_iterable_of_pairs(extract):
    pairs = iter([[b"accept", b"*/*"], [b"authorization", b"Bearer from-list"]])
    assert extract({"headers": pairs}) == "from-list"
    assert extract({"headers": (p for p in [(b"authorization", b"Bearer gen")])}) == "gen"


def test_scope_is_not_written(extract):
    scope = http_scope(b"api_key=a", [bearer("b")])
    before = {k: (list(v) if isinstance(v, list) else v) for k, v in scope.items()}
    extract(scope)
    assert scope == before


@pytest.mark.parametrize(
    "header, message",
    [
        ((b"authorization", b"Bearer k", b"extra"), "too many values to unpack (expected 2)"),
        ((b"authorization",), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
    ],
)
def test_header_entries_must_be_pairs(extract, header, message):
    with pytest.raises(ValueError) as info:
        extract(http_scope(headers=[header]))
    assert str(info.value) == message


def test_header_errors_are_raised_even_after_other_headers(extract):
    with pytest.raises(ValueError):
        extract(http_scope(headers=[(b"accept", b"x"), (b"a", b"b", b"c")]))


@pytest.mark.parametrize("query", ["api_key=x", 5])
def test_query_without_decode_raises_attribute_error(extract, query):
    with pytest.raises(AttributeError):
        extract({"query_string": query})


def test_parse_qs_is_looked_up_through_the_module_global(extract, monkeypatch):
    seen = []

    def parse_qs(text):
        seen.append(text)
        return {"api_key": ["patched"]}

    monkeypatch.setattr(guardlet_module(), "urllib", types.SimpleNamespace(parse=types.SimpleNamespace(parse_qs=parse_qs)))
    assert extract(http_scope(b"api_key=real")) == "patched"
    assert seen == ["api_key=real"]
    # an empty query never reaches the parser
    assert extract(http_scope(b"", [bearer("h")])) == "h"
    assert seen == ["api_key=real"]


def test_first_element_of_parsed_list_is_returned_as_is(extract, monkeypatch):
    marker = object()
    monkeypatch.setattr(
        guardlet_module(), "urllib",
        types.SimpleNamespace(parse=types.SimpleNamespace(parse_qs=lambda text: {"api_key": [marker, "b"]})),
    )
    assert extract(http_scope(b"anything")) is marker


_SPACES = [bytes([c]) for c in b" \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x85\xa0"] + ["\u2003".encode(), "\u3000".encode()]
_AUTH_VALUES = st.tuples(
    st.sampled_from([b"Bearer ", b"bEaReR ", b"Bearer", b"Basic ", b"", "Bеarer ".encode()]),
    st.lists(st.sampled_from(_SPACES) | st.binary(max_size=3), max_size=8).map(b"".join),
).map(b"".join)


@settings(max_examples=800, deadline=None)
@given(_AUTH_VALUES)
def test_bearer_header_reads_as_decoded_lowered_and_stripped(raw):
    # the reading the gate is defined by, against any bytes: ASCII, other UTF-8, undecodable
    auth = raw.decode("utf-8", errors="replace")
    expected = auth[7:].strip() if auth.lower().startswith("bearer ") else None
    gate = guardlet_module().ApiKeyGuardlet(App(), api_key="fixed")
    assert gate._extract_token(http_scope(headers=[(b"authorization", raw)])) == expected
