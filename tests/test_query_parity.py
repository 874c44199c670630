"""The gate's reading of "api_key" from the query string agrees with the standard library.

The reference is what a plain reading of the query gives: the raw bytes decoded strictly as
UTF-8, then ``urllib.parse.parse_qs(text).get("api_key", [None])[0]``. A query that is not
UTF-8 gives no key (the gate then goes on to the headers). Replacing ``urllib.parse``
functions must keep working: the gate then calls what it finds there.

The host's own reader, ``strovik.mcp.redaction.query_api_key``, is held to the same reference,
and the host's masking of request targets must leave the gate no key to read but the mask.
"""

from __future__ import annotations

import types
import urllib.parse

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from strovik.mcp.guardlet import ApiKeyGuardlet
from strovik.mcp.redaction import MASK, query_api_key, redact_target

_STD_PARSE_QS = urllib.parse.parse_qs


async def _app(scope, receive, send):  # never reached: only _extract_token is called
    raise AssertionError("the application must not run")


GATE = ApiKeyGuardlet(_app, api_key="unused")


def gate_key(raw: bytes) -> str | None:
    return GATE._extract_token({"type": "http", "query_string": raw, "headers": []})


def reference_key(raw: bytes) -> str | None:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if not text:
        return None
    return _STD_PARSE_QS(text).get("api_key", [None])[0]


# Pieces that matter to a query parser, as text: separators, escapes (good, broken, and
# ones that decode to bytes that are not UTF-8), spellings of the name, non-ASCII text.
_PIECES = [
    "api_key", "api%5Fkey", "api%5fkey", "API_KEY", "api+key", "api_key ", "%61pi_key", "api_key%00",
    "=", "==", "&", "&&", ";", "+", "++", "%", "%%", "%2", "%2g", "%zz", "%20", "%2B", "%2b", "%26", "%3D",
    "%25", "%5F", "%FF", "%ff", "%C3", "%C3%A9", "%80", "%C0%AF", "%E2%82", "%E2%82%AC", "%ED%A0%80",
    "%F0%9F", "%F0%9F%98%80", "%F4%90%80%80", "é", "中", "😀", "\x7f", "\u2028", " ", "key", "k",
]
_HEX = "0123456789abcdefABCDEF"

piece = st.sampled_from(_PIECES) | st.text(alphabet=_HEX + "%&=+_", max_size=4) | st.text(max_size=3)
free_query = st.lists(piece, max_size=16).map("".join)

name = st.sampled_from(["api_key", "api%5Fkey", "api_key+", "apikey", "x", ""]) | free_query
value = st.sampled_from(["", "%20k%20", "a+b", "%FF", "%C3", "é%E2%82%AC"]) | free_query
field = st.one_of(
    st.tuples(name, value).map(lambda nv: f"{nv[0]}={nv[1]}"),
    name,  # a field without "="
)
structured_query = st.lists(field, max_size=8).map("&".join)


@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(free_query, structured_query))
@example("api_key=a&api_key=b")
@example("api_key=&api_key=second")
@example("api_key=%20k%20")
@example("api_key=a+b")
@example("api%5Fkey=escaped-name")
@example("api_key=%FF%FE")
@example("api_key=caf%C3%A9%C3")
@example("api_key=%E2%82%ACeuro%E2%82")
@example("api_key=%ED%A0%80")
@example("api_key=%2")
@example("api_key=%")
@example("api_key")
@example("=api_key&api_key==x")
@example("api_key=é%C3%A9")
@example("\u0161pi_key=lookalike")  # U+0161 ends in the byte of "a": a name that only looks like api_key when narrowed
def test_query_key_matches_parse_qs(query: str) -> None:
    raw = query.encode("utf-8")
    assert gate_key(raw) == query_api_key(raw) == reference_key(raw)
    masked_query = redact_target("/sse?" + query).partition("?")[2]
    assert gate_key(masked_query.encode("utf-8")) in (None, MASK)


@settings(max_examples=500, deadline=None)
@given(st.lists(st.sampled_from([b"api_key=", b"k", b"&", b"%FF", b"\xff", b"\xc3", b"\xc3\xa9", b"\xed\xa0\x80",
                                 b"=", b"+", b"%C3"]), max_size=10).map(b"".join))
def test_raw_query_bytes_match_the_strict_decode_reading(raw: bytes) -> None:
    assert gate_key(raw) == query_api_key(raw) == reference_key(raw)


@pytest.mark.parametrize("raw", [b"api_key=\xff", b"\xc3(api_key=k", b"api_key=k&x=\xed\xa0\x80"])
def test_query_that_is_not_utf8_leaves_the_bearer_header_in_charge(raw: bytes) -> None:
    scope = {"type": "http", "query_string": raw, "headers": [(b"authorization", b"Bearer from-header")]}
    assert GATE._extract_token(scope) == "from-header"


# --------------------------------------------------------------------------- replaced functions

QUERIES = ["api_key=abc", "x=1&api_key=a+b%20c", "api_key=caf%C3%A9", "other=1", "api_key="]


@pytest.mark.parametrize("query", QUERIES)
def test_replaced_parse_qs_is_called_and_its_answer_used(monkeypatch: pytest.MonkeyPatch, query: str) -> None:
    calls: list[tuple] = []

    def parse_qs(*args, **kwargs):
        calls.append((args, kwargs))
        return {"api_key": ["from-the-replacement"]}

    monkeypatch.setattr(urllib.parse, "parse_qs", parse_qs)
    assert gate_key(query.encode()) == "from-the-replacement"
    assert calls == [((query,), {})]

    # Put back, the standard reading applies again at the next request.
    monkeypatch.undo()
    assert gate_key(query.encode()) == reference_key(query.encode())


@pytest.mark.parametrize("query", QUERIES + ["api%5Fkey=n", "api_key=%FF"])
def test_replaced_unquote_is_honoured(monkeypatch: pytest.MonkeyPatch, query: str) -> None:
    seen: list[str] = []
    original = urllib.parse.unquote

    def unquote(string, *args, **kwargs):
        seen.append(string)
        return original(string, *args, **kwargs).upper()

    monkeypatch.setattr(urllib.parse, "unquote", unquote)
    expected = _STD_PARSE_QS(query).get("api_key", [None])[0]  # parse_qs reaches the replacement too
    expected_calls = list(seen)
    seen.clear()
    assert gate_key(query.encode()) == expected
    assert seen == expected_calls


def test_replaced_parse_qsl_is_honoured(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(urllib.parse, "parse_qsl", lambda *args, **kwargs: [("api_key", "via-parse_qsl")])
    assert gate_key(b"api_key=plain") == "via-parse_qsl"


def test_parse_qs_with_the_standard_function_reinstalled_gives_the_standard_answer(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    # A wrapper that is not the standard function but answers like it.
    monkeypatch.setattr(urllib.parse, "parse_qs", lambda text: _STD_PARSE_QS(text))
    for query in QUERIES:
        assert gate_key(query.encode()) == reference_key(query.encode())


def _shouting_parse_qs(qs, keep_blank_values=False, strict_parsing=False, encoding="utf-8", errors="replace",
                       max_num_fields=None, separator="&"):
    return {"api_key": [qs.upper()]}


@pytest.mark.parametrize(
    "attribute, value, query, expected",
    [
        ("__code__", _shouting_parse_qs.__code__, "api_key=abc", "API_KEY=ABC"),
        ("__defaults__", (True,) + _STD_PARSE_QS.__defaults__[1:], "api_key=&api_key=second", ""),
    ],
    ids=["code", "defaults"],
)
def test_parse_qs_changed_in_place_is_honoured(monkeypatch: pytest.MonkeyPatch, attribute, value, query, expected):
    # the same function object, with its code or its defaults replaced
    monkeypatch.setattr(_STD_PARSE_QS, attribute, value)
    assert gate_key(query.encode()) == expected


def test_parse_qs_from_a_module_subclass_is_honoured(monkeypatch: pytest.MonkeyPatch) -> None:
    # A module's class can change without any dict changing; a property of the
    # new class answers the attribute before the module's dict does.
    assert gate_key(b"api_key=abc") == "abc"  # the standard reading, now kept

    class AnsweringModule(types.ModuleType):
        @property
        def parse_qs(self):
            return lambda text: {"api_key": ["from-the-subclass"]}

    monkeypatch.setattr(urllib.parse, "__class__", AnsweringModule)
    assert gate_key(b"api_key=abc") == "from-the-subclass"
    monkeypatch.undo()
    assert gate_key(b"api_key=abc") == "abc"
