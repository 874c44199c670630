"""Where and with which headers a replayed question is sent: build_replay_url and
_build_replay_headers."""

from __future__ import annotations

from types import ModuleType, SimpleNamespace
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ..helpers import RecordingSeed

TAIL = "programId=NILE_CLASSIC%3Adesktop-cl&ref=nl_cl_dsk_csq"
ALLOWED = ("anti-csrftoken-a2z", "content-type", "x-amz-is-papyrus")


def url_for(service: Any, request_url: str, tab_id: Any = None) -> str:
    return service.build_replay_url(SimpleNamespace(request_url=request_url, tab_id=tab_id))


@pytest.mark.parametrize(
    ("request_url", "tab_id", "expected"),
    [
        (
            "https://www.amazon.com/rufus/cl/streaming",
            "tab-9",
            f"https://www.amazon.com/rufus/cl/streaming?tabId=tab-9&{TAIL}",
        ),
        (
            "https://www.amazon.com/rufus/cl/streaming?ref=abc&x=1&programId=P&tabId=old",
            "new",
            "https://www.amazon.com/rufus/cl/streaming?ref=abc&x=1&programId=P&tabId=new",
        ),
        ("https://h/p?ref=&programId=", None, "https://h/p?ref=&programId="),
        ("https://h/p?tabId=kept&a=1", None, f"https://h/p?tabId=kept&a=1&{TAIL}"),
        ("https://h/p?tabId=kept&a=1", "", f"https://h/p?tabId=kept&a=1&{TAIL}"),
        ("https://h/p?tabId=kept", 0, f"https://h/p?tabId=kept&{TAIL}"),
        ("https://h/p", None, f"https://h/p?{TAIL}"),
        ("https://h/p?a=&b&c=1", None, f"https://h/p?a=&b=&c=1&{TAIL}"),
        ("https://h/p?a=1&b=2&a=3", None, f"https://h/p?a=3&b=2&{TAIL}"),
        ("https://h/p?q=a+b%20c&z=%E4%B8%AD&s=%2F%26", None, f"https://h/p?q=a+b+c&z=%E4%B8%AD&s=%2F%26&{TAIL}"),
        ("https://h/p", 812, f"https://h/p?tabId=812&{TAIL}"),
        ("https://h/p", "a b/c", f"https://h/p?tabId=a+b%2Fc&{TAIL}"),
        (
            "http://user@127.0.0.1:8080/a%20b/c;p?x=1#frag?not=query",
            "t",
            f"http://user@127.0.0.1:8080/a%20b/c;p?x=1&tabId=t&{TAIL}#frag?not=query",
        ),
        ("/relative/path?x=1", None, f"/relative/path?x=1&{TAIL}"),
    ],
    ids=[
        "bare-url", "existing-ref-program-and-tab", "blank-ref-and-program-kept", "no-tab-keeps-seed-tab",
        "empty-tab", "zero-tab", "no-query-no-tab", "blank-parameters", "repeated-parameter", "re-encoded",
        "integer-tab", "tab-encoded", "parts-unchanged", "relative",
    ],
)
def test_build_replay_url(service: Any, request_url: str, tab_id: Any, expected: str) -> None:
    assert url_for(service, request_url, tab_id) == expected


@pytest.mark.parametrize(("tab_id", "reads"), [("tab", ["request_url", "tab_id", "tab_id"]), (None, ["request_url", "tab_id"])])
def test_build_replay_url_reads_the_seed(service: Any, tab_id: Any, reads: list[str]) -> None:
    seed = RecordingSeed(request_url="https://h/p", tab_id=tab_id)
    service.build_replay_url(seed)
    assert seed.reads == reads


def test_build_replay_url_missing_attribute(service: Any) -> None:
    with pytest.raises(AttributeError):
        service.build_replay_url(SimpleNamespace(request_url="https://h/p"))
    with pytest.raises(AttributeError):
        service.build_replay_url(SimpleNamespace(tab_id="t"))


def test_build_replay_url_uses_the_module_globals(replay: ModuleType, service: Any, monkeypatch: Any) -> None:
    seen: list[Any] = []
    original = replay.urlencode

    def recording_urlencode(*args: Any, **kwargs: Any) -> str:
        seen.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(replay, "urlencode", recording_urlencode)
    assert url_for(service, "https://h/p?b=1&a=2", "t") == f"https://h/p?b=1&a=2&tabId=t&{TAIL}"
    [(args, kwargs)] = seen
    assert kwargs == {} and len(args) == 1 and type(args[0]) is dict
    assert list(args[0].items()) == [
        ("b", "1"), ("a", "2"), ("tabId", "t"), ("programId", "NILE_CLASSIC:desktop-cl"), ("ref", "nl_cl_dsk_csq"),
    ]


@pytest.mark.parametrize(("returned", "error"), [(b"https://h/", "Expected str, got bytes"), (None, None)])
def test_build_replay_url_result_type(
    replay: ModuleType, service: Any, monkeypatch: Any, returned: Any, error: str | None
) -> None:
    monkeypatch.setattr(replay, "urlunsplit", lambda parts: returned)
    if error is None:
        assert url_for(service, "https://h/p") is None
    else:
        with pytest.raises(TypeError) as caught:
            url_for(service, "https://h/p")
        assert str(caught.value) == error


# --- headers -------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("seed_headers", "expected"),
    [
        (
            {
                "Cookie": "session-id=1",
                "X-Amz-Is-Papyrus": "true",
                "User-Agent": "Mozilla/5.0",
                "Anti-CSRFToken-A2Z": "tok",
                "CONTENT-TYPE": "application/json; charset=UTF-8",
                "accept": "*/*",
            },
            [("x-amz-is-papyrus", "true"), ("anti-csrftoken-a2z", "tok"), ("content-type", "application/json; charset=UTF-8")],
        ),
        ({}, [("content-type", "application/json")]),
        ({"Cookie": "a", "Origin": "https://www.amazon.com"}, [("content-type", "application/json")]),
        ({"anti-csrftoken-a2z": "t"}, [("anti-csrftoken-a2z", "t"), ("content-type", "application/json")]),
        ({"Content-Type": "text/plain"}, [("content-type", "text/plain")]),
        ({"content-type": ""}, [("content-type", "")]),
        (
            {"X-Amz-Is-Papyrus": "a", "Content-Type": "c", "x-amz-is-papyrus": "b"},
            [("x-amz-is-papyrus", "b"), ("content-type", "c")],
        ),
        ({"x-amz-is-papyrus ": "padded"}, [("content-type", "application/json")]),
    ],
    ids=[
        "mixed-case-allowed-and-dropped", "empty", "nothing-allowed", "default-content-type-appended",
        "seed-content-type-kept", "empty-content-type-kept", "later-spelling-overwrites", "no-trimming",
    ],
)
def test_build_replay_headers(service: Any, seed_headers: dict[str, str], expected: list[tuple[str, str]]) -> None:
    result = service._build_replay_headers(seed_headers)
    assert type(result) is dict and result is not seed_headers
    assert list(result.items()) == expected


def test_header_values_are_passed_on_as_they_are(service: Any) -> None:
    token = object()
    assert service._build_replay_headers({"Anti-Csrftoken-A2z": token})["anti-csrftoken-a2z"] is token


def test_allowlist_is_read_from_the_instance(replay: ModuleType, service: Any) -> None:
    service.REPLAY_HEADER_ALLOWLIST = ("cookie",)
    assert list(service._build_replay_headers({"Cookie": "c", "Anti-Csrftoken-A2z": "t"}).items()) == [
        ("cookie", "c"), ("content-type", "application/json"),
    ]

    class Wider(replay.RufusReplayService):  # type: ignore[name-defined,misc]
        REPLAY_HEADER_ALLOWLIST = {"x-extra"}

    assert Wider()._build_replay_headers({"X-Extra": "1", "Content-Type": "t"}) == {
        "x-extra": "1", "content-type": "application/json",
    }


@pytest.mark.parametrize("headers", [{1: "x"}, {"Content-Type": "1", None: "x"}])
def test_header_name_without_lower_raises(service: Any, headers: dict[Any, Any]) -> None:
    with pytest.raises(AttributeError):
        service._build_replay_headers(headers)


def test_bytes_header_name_is_not_an_allowed_name(service: Any) -> None:
    assert service._build_replay_headers({b"Content-Type": "x"}) == {"content-type": "application/json"}


class MutatingName:
    """A header name whose lower() adds headers to the dict being filtered."""

    def __init__(self, target: dict[Any, Any]) -> None:
        self.target = target

    def lower(self) -> str:
        for index in range(50):
            self.target[f"added-{index}"] = "x"
        return "content-type"


def test_headers_changing_during_iteration_raise(service: Any) -> None:
    headers: dict[Any, Any] = {"Content-Type": "a"}
    headers[MutatingName(headers)] = "b"
    headers["Accept"] = "c"
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        service._build_replay_headers(headers)


header_names = st.one_of(
    st.sampled_from(["Content-Type", "content-type", "ANTI-CSRFTOKEN-A2Z", "x-amz-is-papyrus", "X-Amz-Is-Papyrus"]),
    st.text(alphabet="abcdefghijklmnopqrstuvwxyzABCXYZ-", min_size=1, max_size=20),
)


@settings(max_examples=200, deadline=None)
@given(seed_headers=st.dictionaries(header_names, st.text(max_size=5), max_size=8))
def test_filtered_headers_only_hold_allowed_names(replay: ModuleType, seed_headers: dict[str, str]) -> None:
    result = replay.RufusReplayService()._build_replay_headers(seed_headers)
    assert set(result) <= set(ALLOWED)
    assert "content-type" in result
    for name in result:
        sources = [value for key, value in seed_headers.items() if key.lower() == name]
        if sources:
            assert result[name] == sources[-1]
        else:
            assert (name, result[name]) == ("content-type", "application/json")
    expected_order = list(dict.fromkeys(k.lower() for k in seed_headers if k.lower() in ALLOWED))
    assert list(result)[: len(expected_order)] == expected_order
