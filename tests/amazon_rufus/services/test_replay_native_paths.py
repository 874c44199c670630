"""build_payload and build_replay_url read JSON and query strings natively while the standard
library functions are in place: the results must be exactly the library's, and the library must
be called as soon as any part of it has been replaced."""

from __future__ import annotations

import json
import math
import sys
import urllib.parse
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from decimal import Decimal
from types import ModuleType, SimpleNamespace
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


def identical(a: Any, b: Any) -> bool:
    """Equal in value, type, key order and float representation (NaN equals NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(identical(a[key], b[key]) for key in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(identical(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return repr(a) == repr(b)
    return bool(a == b)


@contextmanager
def python_calls() -> Iterator[list[str]]:
    """Qualified names of the Python functions called inside the block."""
    names: list[str] = []

    def profile(frame: Any, event: str, arg: Any) -> None:
        if event == "call":
            names.append(f"{frame.f_globals.get('__name__')}.{frame.f_code.co_name}")

    sys.setprofile(profile)
    try:
        yield names
    finally:
        sys.setprofile(None)


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("ok", call())
    except Exception as exc:
        cause = exc.__cause__
        return ("raised", type(exc), str(exc), type(cause), str(cause))


def same_outcome(a: tuple[Any, ...], b: tuple[Any, ...]) -> bool:
    if a[0] == "ok" and b[0] == "ok":
        return identical(a[1], b[1])
    return a == b


# --- JSON ---------------------------------------------------------------------------------------------------


def payload_both_ways(replay: ModuleType, service: Any, text: str) -> tuple[tuple[Any, ...], tuple[Any, ...]]:
    """build_payload of `text` with the standard json module, then with json.loads behind a wrapper
    (which any reading of the text must then go through)."""
    native = outcome(lambda: service.build_payload(text, "q"))
    saved = replay.json
    replay.json = SimpleNamespace(loads=lambda s: json.loads(s), JSONDecodeError=json.JSONDecodeError)
    try:
        library = outcome(lambda: service.build_payload(text, "q"))
    finally:
        replay.json = saved
    return native, library


def test_standard_json_is_read_without_calling_json_loads(service: Any) -> None:
    with python_calls() as calls:
        result = service.build_payload('{"a": [1, 2.5, "\\u00e9"]}', "q")
    assert result["a"] == [1, 2.5, "é"]
    assert not any(name.startswith("json.") for name in calls), calls


JSON_TEXTS = [
    '{"v": "\\ud83d\\ude00"}', '{"v": "\\ud83d"}', '{"v": "\\ud83dx"}', '{"v": "\\ud83d\\u0041"}', '{"v": "\\ude00\\ud83d"}',
    '{"v": "\\udbff\\udfff"}', '{"v": "\\ud800\\udc00"}', '{"v": "a\x1fb"}', '{"v": "a\x20b"}',
    '{"v": "\\ud83d\\n"}', '{"v": "\\ud83d\\uZZZZ"}', '{"v": "\\ud83d\\ude0"}', '{"v": "\\u00E9\\u4e2D\\u0000"}',
    '{"v": "\\"\\\\\\/\\b\\f\\n\\r\\t"}', '{"v": "\\x"}', '{"v": "\\u12"}', '{"v": "tab\there"}', '{"v": "\x7f"}',
    '{"v": "é中😀"}', '{"中": {"😀": ["é"]}}', '{"a": 1, "b": 2, "a": 3}',
    '{"v": 1%s}' % ("0" * 17), '{"v": 1%s}' % ("0" * 18), '{"v": -%s}' % ("9" * 18), '{"v": -%s}' % ("9" * 19),
    '{"v": %s}' % ("7" * 5000), '{"v": 1E400}', '{"v": -1e400}', '{"v": 1e-400}', '{"v": -0}', '{"v": -0.0}',
    '{"v": 0.1e1}', '{"v": 4.9e-324}', '{"v": 2.2250738585072014e-308}', '{"v": 1.7976931348623157e308}',
    '{"v": 12345678901234567890.125}', '{"v": 01}', '{"v": 1.}', '{"v": .5}', '{"v": 1e}', '{"v": 1e+}', '{"v": -}',
    '{"v": --1}', '{"v": +1}', '{"v": NaN}', '{"v": Infinity}', '{"v": -Infinity}', '{"v": tru}', '{"v": nul}',
    '{"v": [1, 2,]}', '{"v": {},}', '{"v" 1}', "{'v': 1}", '{"v": 1} x', '\ufeff{"v": 1}', ' \t\r\n{"v" : [ ] }\n ',
    '{"v": 1}\x0b', '{"v": 1}\x0c', "[" * 5000 + "]" * 5000, '{"v":' * 3000 + "1" + "}" * 3000, "[" * 100000, '"\\u0000"',
]


@pytest.mark.parametrize("text", JSON_TEXTS, ids=range(len(JSON_TEXTS)))
def test_json_texts_read_as_the_library_reads_them(replay: ModuleType, service: Any, text: str) -> None:
    native, library = payload_both_ways(replay, service, text)
    assert same_outcome(native, library), (native, library)


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ('{"v": "\\ud83d\\ude00"}', "😀"),
        ('{"v": "\\ud83d\\u0041"}', "\ud83dA"),
        ('{"v": [1E400, -0.0, 10000000000000000000]}', [math.inf, -0.0, 10**19]),
        ('{"v": {"k": 1, "k": 2, "j": 3}}', {"k": 2, "j": 3}),
    ],
)
def test_json_values(service: Any, text: str, value: Any) -> None:
    assert identical(service.build_payload(text, "q")["v"], value)


json_leaves = (
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(alphabet=st.characters(codec="utf-8") | st.sampled_from("\ud800\udfff\"\\\x00\x1f"), max_size=8)
)
json_values = st.recursive(
    json_leaves,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=4), children, max_size=4),
    max_leaves=12,
)
NOISE = list('"\\u{}[],: \t\n\r-+.eE019ntfalsrd8\x01\x7fé中😀\ufeffNI/b')


@settings(max_examples=300, deadline=None)
@given(
    value=json_values,
    ensure_ascii=st.booleans(),
    indent=st.sampled_from([None, 1, "\t"]),
    edits=st.lists(st.tuples(st.integers(0, 10_000), st.sampled_from(["del", *NOISE])), max_size=3),
)
def test_json_read_like_the_library_even_when_mangled(
    replay: ModuleType, value: Any, ensure_ascii: bool, indent: Any, edits: list[tuple[int, str]]
) -> None:
    service = replay.RufusReplayService()
    text = json.dumps({"v": value}, ensure_ascii=ensure_ascii, indent=indent)
    chars = list(text)
    for position, edit in edits:
        position %= len(chars) + 1
        if edit == "del":
            del chars[min(position, len(chars) - 1)]
        else:
            chars.insert(position, edit)
    native, library = payload_both_ways(replay, service, "".join(chars))
    assert same_outcome(native, library), (native, library)


def test_replaced_default_decoder_is_used(service: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(parse_float=Decimal))
    assert service.build_payload('{"v": 1.5}', "q")["v"] == Decimal("1.5")


def test_replaced_decoder_method_is_used(service: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    original = json.JSONDecoder.decode
    seen: list[str] = []

    def decode(self: json.JSONDecoder, s: str, *args: Any) -> Any:
        seen.append(s)
        return original(self, s, *args)

    monkeypatch.setattr(json.JSONDecoder, "decode", decode)
    service.build_payload('{"v": 1}', "q")
    assert seen == ['{"v": 1}']


def test_replaced_scanner_is_used(service: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    decoder = json._default_decoder  # type: ignore[attr-defined]
    monkeypatch.setattr(decoder, "scan_once", lambda s, idx: ({"scanned": True}, len(s)))
    assert service.build_payload('{"v": 1}', "q")["scanned"] is True


def test_replaced_loads_in_the_json_module_is_used(service: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(json, "loads", lambda s: {"from": "patched"})
    assert service.build_payload('{"v": 1}', "q")["from"] == "patched"


# --- query strings ------------------------------------------------------------------------------------------


def library_url(seed: Any) -> str:
    parts = urllib.parse.urlsplit(seed.request_url)
    query = dict(urllib.parse.parse_qsl(parts.query, keep_blank_values=True))
    if seed.tab_id:
        query["tabId"] = seed.tab_id
    query.setdefault("programId", "NILE_CLASSIC:desktop-cl")
    query.setdefault("ref", "nl_cl_dsk_csq")
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, parts.path, urllib.parse.urlencode(query), parts.fragment))


def test_standard_query_functions_are_not_called(service: Any) -> None:
    seed = SimpleNamespace(request_url="https://h/p?a=%E4%B8%AD+b&c", tab_id=7)
    with python_calls() as calls:
        url = service.build_replay_url(seed)
    assert url == library_url(seed)
    assert "urllib.parse.parse_qsl" not in calls and "urllib.parse.urlencode" not in calls, calls


QUERY_PIECES = [
    *"ab=&+% é中😀~._-/?:;@!*'()[],$", "\x00", "\x7f", "\ud800", "%C3", "%A9", "%E4%B8%AD", "%ZZ", "%2", "%%",
    "%e4%b8", "%2B", "%20", "%3D", "%26",
]
TAB_IDS = [None, "", "t", 0, 812, -5, True, 1.5, b"by tes", "a b/c", "\ud800", "中", 10**30]


@settings(max_examples=400, deadline=None)
@given(
    prefix=st.sampled_from(["https://h/p?", "http://u@127.0.0.1:80/a%20b;p?", "/rel?", "?", "https://h/p#f?"]),
    pieces=st.lists(st.sampled_from(QUERY_PIECES), max_size=16),
    fragment=st.sampled_from(["", "#frag", "#a?b=c"]),
    tab_id=st.sampled_from(TAB_IDS),
)
def test_urls_built_as_the_library_builds_them(
    replay: ModuleType, prefix: str, pieces: list[str], fragment: str, tab_id: Any
) -> None:
    seed = SimpleNamespace(request_url=prefix + "".join(pieces) + fragment, tab_id=tab_id)
    native = outcome(lambda: replay.RufusReplayService().build_replay_url(seed))
    library = outcome(lambda: library_url(seed))
    assert native == library


@pytest.mark.parametrize(
    ("name", "replacement"),
    [
        ("unquote", lambda s, encoding, errors: s.upper()),  # reached by parse_qsl
        ("quote", lambda s, safe, encoding, errors: s.upper()),  # reached by urlencode through quote_plus
        ("_ALWAYS_SAFE_BYTES", b"="),  # lets quote_from_bytes return "=" unescaped
    ],
)
def test_replaced_query_helpers_are_used(
    service: Any, monkeypatch: pytest.MonkeyPatch, name: str, replacement: Any
) -> None:
    seed = SimpleNamespace(request_url="https://h/p?a=%3D", tab_id=None)
    unpatched = service.build_replay_url(seed)
    monkeypatch.setattr(urllib.parse, name, replacement)
    url = service.build_replay_url(seed)
    assert url == library_url(seed)
    assert url != unpatched


def test_replaced_parse_qsl_defaults_are_used(service: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    defaults = list(urllib.parse.parse_qsl.__defaults__ or ())
    defaults[-1] = ";"  # the separator
    monkeypatch.setattr(urllib.parse.parse_qsl, "__defaults__", tuple(defaults))
    url = service.build_replay_url(SimpleNamespace(request_url="https://h/p?a=1;b=2", tab_id=None))
    assert url.startswith("https://h/p?a=1&b=2&")
