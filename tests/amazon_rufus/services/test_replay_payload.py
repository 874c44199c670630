"""Rebuilding a Rufus request body from the seed body: build_payload and the ASIN upsert."""

from __future__ import annotations

import json
from types import ModuleType, SimpleNamespace
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strovik.amazon_rufus.domain.exceptions import RufusReplayError

Q = "How long does the battery last?"
CONTEXT_KEYS = ["queryContext", "pageContext", "bottomSheetContext", "impressionsContext"]

SEED: dict[str, Any] = {
    "requestId": "r-1",
    "queryContext": {"locale": "en_US", "query": "old", "actionType": "SUGGESTION", "extra": {"k": 1}},
    "pageContext": {
        "pageType": "Detail",
        "originPageMetadata": [{"type": "BROWSE_NODE", "value": "123"}, {"type": "ASIN", "value": "B0OLD", "pos": 2}],
        "originPageType": "SEARCH",
    },
    "historyThreadContext": {"threadId": "seed-thread", "threadState": "ACTIVE", "turn": 3},
    "clientContext": {"version": "1.2"},
}

EMPTY_RESULT: dict[str, Any] = {
    "queryContext": {"query": Q, "actionType": "SEARCH", "qis": "NileCLTextInput"},
    "pageContext": {"originPageType": "DETAIL_PAGE"},
    "bottomSheetContext": {"previousTurnsBottomSheetSize": "expanded"},
    "impressionsContext": {"FIRST_TIME_USER_MESSAGE_SEEN_STATUS": "SEEN"},
}


def same(actual: Any, expected: Any) -> bool:
    """Equality that also compares key order (and tells True from 1)."""
    return json.dumps(actual, ensure_ascii=False) == json.dumps(expected, ensure_ascii=False)


def test_realistic_seed_keeps_its_shape(service: Any) -> None:
    result = service.build_payload(json.dumps(SEED), Q, None, " b0new12345 ")
    expected = {
        "requestId": "r-1",
        "queryContext": {
            "locale": "en_US", "query": Q, "actionType": "SEARCH", "extra": {"k": 1}, "qis": "NileCLTextInput",
        },
        "pageContext": {
            "pageType": "Detail",
            "originPageMetadata": [
                {"type": "BROWSE_NODE", "value": "123"}, {"type": "ASIN", "value": "B0NEW12345", "pos": 2},
            ],
            "originPageType": "DETAIL_PAGE",
            "targetPageMetadata": [{"type": "ASIN", "value": "B0NEW12345"}],
        },
        "historyThreadContext": {"threadId": "seed-thread", "threadState": "ACTIVE", "turn": 3},
        "clientContext": {"version": "1.2"},
        "bottomSheetContext": {"previousTurnsBottomSheetSize": "expanded"},
        "impressionsContext": {"FIRST_TIME_USER_MESSAGE_SEEN_STATUS": "SEEN"},
    }
    assert type(result) is dict
    assert same(result, expected)


@pytest.mark.parametrize("seed_body", ["", "{}", "[]", "[1, 2]", '"text"', "42", "-1.5", "null", "true", "false"])
def test_seed_that_is_not_an_object_builds_from_nothing(service: Any, seed_body: str) -> None:
    assert same(service.build_payload(seed_body, Q), EMPTY_RESULT)


@pytest.mark.parametrize("seed_body", ["{", "{'a': 1}", "nul", "{} {}", "   ", '{"a": 1,}'])
def test_seed_that_is_not_json_raises_chained_error(service: Any, seed_body: str) -> None:
    with pytest.raises(RufusReplayError) as caught:
        service.build_payload(seed_body, Q)
    assert caught.value.args == ("seed request body 不是合法 JSON",)
    assert isinstance(caught.value.__cause__, json.JSONDecodeError)


@pytest.mark.parametrize("key", CONTEXT_KEYS)
@pytest.mark.parametrize("bad_value", ["text", [1], 3, None, True])
def test_context_that_is_not_an_object_is_replaced_in_place(service: Any, key: str, bad_value: Any) -> None:
    seed = {"first": 1, key: bad_value, "last": 2}
    result = service.build_payload(json.dumps(seed), Q)
    order = ["first", key, "last"] + [name for name in CONTEXT_KEYS if name != key]
    assert list(result) == order
    assert same(result[key], EMPTY_RESULT[key])


def test_existing_context_values_are_overwritten_in_place(service: Any) -> None:
    seed = {
        "impressionsContext": {"FIRST_TIME_USER_MESSAGE_SEEN_STATUS": "UNSEEN", "x": 1},
        "bottomSheetContext": {"a": 0, "previousTurnsBottomSheetSize": "collapsed"},
        "pageContext": {"originPageType": "SEARCH", "z": None},
        "queryContext": {"qis": "other", "query": "old", "actionType": "X"},
    }
    result = service.build_payload(json.dumps(seed), Q)
    assert same(
        result,
        {
            "impressionsContext": {"FIRST_TIME_USER_MESSAGE_SEEN_STATUS": "SEEN", "x": 1},
            "bottomSheetContext": {"a": 0, "previousTurnsBottomSheetSize": "expanded"},
            "pageContext": {"originPageType": "DETAIL_PAGE", "z": None},
            "queryContext": {"qis": "NileCLTextInput", "query": Q, "actionType": "SEARCH"},
        },
    )


@pytest.mark.parametrize("question", ["  padded \n", "", "中文问题？", "a\u0000b"])
def test_question_is_stored_verbatim(service: Any, question: str) -> None:
    assert service.build_payload("", question)["queryContext"]["query"] == question


@pytest.mark.parametrize(
    ("asin", "stored"),
    [("b0abc12345", "B0ABC12345"), ("  B0abc12345\t\n", "B0ABC12345"), ("x", "X")],
)
def test_asin_is_normalised_and_upserted_twice(service: Any, asin: str, stored: str) -> None:
    result = service.build_payload("", Q, None, asin)
    assert same(
        result["pageContext"],
        {
            "originPageType": "DETAIL_PAGE",
            "targetPageMetadata": [{"type": "ASIN", "value": stored}],
            "originPageMetadata": [{"type": "ASIN", "value": stored}],
        },
    )


@pytest.mark.parametrize("asin", [None, "", "   ", "\t\n"])
def test_blank_asin_leaves_metadata_untouched(service: Any, asin: str | None) -> None:
    seed = {"pageContext": {"targetPageMetadata": "keep", "originPageMetadata": {"odd": True}}}
    result = service.build_payload(json.dumps(seed), Q, None, asin)
    assert same(
        result["pageContext"],
        {"targetPageMetadata": "keep", "originPageMetadata": {"odd": True}, "originPageType": "DETAIL_PAGE"},
    )


def test_upsert_is_called_through_the_instance(replay: ModuleType) -> None:
    calls: list[tuple[Any, ...]] = []

    class Recording(replay.RufusReplayService):  # type: ignore[name-defined,misc]
        def _upsert_asin_metadata(self, *args: Any, **kwargs: Any) -> str:
            calls.append((args, kwargs))
            return "ignored"

    result = Recording().build_payload('{"pageContext": {"a": 1}}', Q, None, " b0x ")
    assert [(args[1:], kwargs) for args, kwargs in calls] == [
        (("targetPageMetadata", "B0X"), {}),
        (("originPageMetadata", "B0X"), {}),
    ]
    assert all(args[0] is result["pageContext"] for args, _ in calls)
    assert "targetPageMetadata" not in result["pageContext"]


def test_upsert_failure_propagates_unchanged(replay: ModuleType) -> None:
    failure = LookupError("metadata")

    class Failing(replay.RufusReplayService):  # type: ignore[name-defined,misc]
        def _upsert_asin_metadata(self, page_context: dict, key: str, asin: str) -> None:  # type: ignore[type-arg]
            raise failure

    with pytest.raises(LookupError) as caught:
        Failing().build_payload("", Q, None, "B0")
    assert caught.value is failure


THREAD_CASES = [
    # seed thread object, thread id, expected top-level keys, expected thread object
    (None, "T-9", [*CONTEXT_KEYS, "historyThreadContext"], {"threadId": "T-9", "threadState": "THREAD_STATE_UNKNOWN"}),
    (
        {"threadId": "old", "threadState": "ACTIVE", "turn": 3},
        "T-9",
        ["historyThreadContext", *CONTEXT_KEYS],
        {"threadId": "T-9", "threadState": "ACTIVE"},
    ),
    ({"turn": 1}, "T-9", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T-9", "threadState": "THREAD_STATE_UNKNOWN"}),
    ({"threadState": ""}, "T", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T", "threadState": "THREAD_STATE_UNKNOWN"}),
    ({"threadState": 0}, "T", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T", "threadState": "THREAD_STATE_UNKNOWN"}),
    ({"threadState": None}, "T", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T", "threadState": "THREAD_STATE_UNKNOWN"}),
    ({"threadState": 5}, "T", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T", "threadState": 5}),
    ({"threadState": {"s": 1}}, "T", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T", "threadState": {"s": 1}}),
    ("text", "T", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T", "threadState": "THREAD_STATE_UNKNOWN"}),
    ([{"threadState": "ACTIVE"}], "T", ["historyThreadContext", *CONTEXT_KEYS], {"threadId": "T", "threadState": "THREAD_STATE_UNKNOWN"}),
]


@pytest.mark.parametrize(("seed_thread", "thread_id", "keys", "thread"), THREAD_CASES)
def test_thread_id_rewrites_the_thread_context(
    service: Any, seed_thread: Any, thread_id: str, keys: list[str], thread: dict[str, Any]
) -> None:
    seed = {} if seed_thread is None else {"historyThreadContext": seed_thread}
    result = service.build_payload(json.dumps(seed), Q, thread_id)
    assert list(result) == keys
    assert same(result["historyThreadContext"], thread)


@pytest.mark.parametrize("thread_id", [None, ""])
@pytest.mark.parametrize("seed_thread", [{"threadId": "old", "threadState": "ACTIVE", "x": 1}, "odd", None, ...])
def test_no_thread_id_keeps_the_seed_thread_context(service: Any, thread_id: str | None, seed_thread: Any) -> None:
    seed = {} if seed_thread is ... else {"historyThreadContext": seed_thread}
    result = service.build_payload(json.dumps(seed), Q, thread_id)
    if seed_thread is ...:
        assert "historyThreadContext" not in result
    else:
        assert list(result)[0] == "historyThreadContext"
        assert same(result["historyThreadContext"], seed_thread)


def test_each_call_decodes_afresh(service: Any) -> None:
    body = json.dumps(SEED)
    first = service.build_payload(body, "one", "T", "B0A")
    first["queryContext"]["mutated"] = True
    second = service.build_payload(body, "two")
    assert second is not first
    assert "mutated" not in second["queryContext"]
    assert same(second["historyThreadContext"], SEED["historyThreadContext"])
    assert same(second["pageContext"]["originPageMetadata"], SEED["pageContext"]["originPageMetadata"])


def test_json_global_is_looked_up_at_each_call(replay: ModuleType, service: Any, monkeypatch: Any) -> None:
    class Sub(dict):  # type: ignore[type-arg]
        pass

    page_context = Sub(a=1)
    texts: list[str] = []

    def loads(text: str) -> dict[str, Any]:
        texts.append(text)
        return {"pageContext": page_context}

    monkeypatch.setattr(replay, "json", SimpleNamespace(loads=loads, JSONDecodeError=json.JSONDecodeError))
    result = service.build_payload("", Q)
    assert texts == ["{}"]
    # A dict subclass already in the payload counts as a context object and is kept.
    assert result["pageContext"] is page_context
    assert page_context == {"a": 1, "originPageType": "DETAIL_PAGE"}


NAMED = {*CONTEXT_KEYS, "historyThreadContext"}
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-5, 5) | st.text(max_size=4),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=3), children, max_size=3),
    max_leaves=6,
)
keys = st.sampled_from([*sorted(NAMED), "query", "qis", "a", "b", "zz", "originPageType"])
seed_objects = st.dictionaries(keys, json_values | st.dictionaries(keys, json_values, max_size=4), max_size=7)


@settings(max_examples=150, deadline=None)
@given(seed=seed_objects)
def test_keys_the_method_does_not_name_survive_in_place(replay: ModuleType, seed: dict[str, Any]) -> None:
    result = replay.RufusReplayService().build_payload(json.dumps(seed), Q)
    assert list(result)[: len(seed)] == list(seed)
    assert list(result)[len(seed):] == [key for key in CONTEXT_KEYS if key not in seed]
    for key, value in seed.items():
        if key not in NAMED - {"historyThreadContext"}:
            assert same(result[key], value)
        elif isinstance(value, dict):
            rebuilt = result[key]
            assert list(rebuilt)[: len(value)] == list(value)
            for inner, inner_value in value.items():
                if inner not in ("query", "actionType", "qis", "originPageType",
                                 "previousTurnsBottomSheetSize", "FIRST_TIME_USER_MESSAGE_SEEN_STATUS"):
                    assert same(rebuilt[inner], inner_value)


# --- ASIN metadata upsert -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("context", "expected"),
    [
        ({}, {"k": [{"type": "ASIN", "value": "B0A"}]}),
        ({"x": 1, "k": {"type": "ASIN"}, "y": 2}, {"x": 1, "k": [{"type": "ASIN", "value": "B0A"}], "y": 2}),
        ({"k": "ASIN", "y": 2}, {"k": [{"type": "ASIN", "value": "B0A"}], "y": 2}),
        ({"k": None}, {"k": [{"type": "ASIN", "value": "B0A"}]}),
        ({"k": 0}, {"k": [{"type": "ASIN", "value": "B0A"}]}),
        (
            {"k": [{"type": "NODE", "value": "1"}, "ASIN", ["type", "ASIN"], {"value": "v"}]},
            {"k": [{"type": "NODE", "value": "1"}, "ASIN", ["type", "ASIN"], {"value": "v"}, {"type": "ASIN", "value": "B0A"}]},
        ),
        (
            {"k": [{"type": "X"}, {"type": "ASIN", "value": "old", "pos": 1}, 3, {"type": "ASIN", "value": "other"}]},
            {"k": [{"type": "X"}, {"type": "ASIN", "value": "B0A", "pos": 1}, 3, {"type": "ASIN", "value": "other"}]},
        ),
        ({"k": [{"type": "asin", "value": "low"}]}, {"k": [{"type": "asin", "value": "low"}, {"type": "ASIN", "value": "B0A"}]}),
        ({"k": [{"type": "ASIN"}]}, {"k": [{"type": "ASIN", "value": "B0A"}]}),
        ({"k": [{"value": "first", "type": "ASIN"}]}, {"k": [{"value": "B0A", "type": "ASIN"}]}),
    ],
    ids=[
        "missing-key", "dict-value", "string-value", "none-value", "zero-value", "others-kept-new-appended",
        "first-match-only", "case-sensitive", "value-added", "value-keeps-its-place",
    ],
)
def test_upsert_asin_metadata(service: Any, context: dict[str, Any], expected: dict[str, Any]) -> None:
    before = context.get("k")
    assert service._upsert_asin_metadata(context, "k", "B0A") is None
    assert same(context, expected)
    if isinstance(before, list):
        assert context["k"] is before


def test_upsert_uses_list_subclass_append_and_dict_subclass_get(service: Any) -> None:
    class Items(list):  # type: ignore[type-arg]
        appended: list[Any] = []

        def append(self, item: Any) -> None:
            self.appended.append(item)
            super().append(item)

    class Entry(dict):  # type: ignore[type-arg]
        def get(self, key: Any, default: Any = None) -> Any:
            return "ASIN" if key == "type" else default

    items = Items([{"type": "NODE"}])
    context = {"k": items}
    service._upsert_asin_metadata(context, "k", "B0A")
    assert context["k"] is items
    assert Items.appended == [{"type": "ASIN", "value": "B0A"}]

    entry = Entry(type="SOMETHING")
    entry_context = {"k": [entry]}
    service._upsert_asin_metadata(entry_context, "k", "B0A")
    assert entry_context == {"k": [{"type": "SOMETHING", "value": "B0A"}]}


def test_upsert_failure_leaves_earlier_entries_alone(service: Any) -> None:
    class Broken(dict):  # type: ignore[type-arg]
        def get(self, key: Any, default: Any = None) -> Any:
            raise KeyError("broken entry")

    entries = [{"type": "NODE"}, Broken(), {"type": "ASIN", "value": "old"}]
    with pytest.raises(KeyError, match="broken entry"):
        service._upsert_asin_metadata({"k": entries}, "k", "B0A")
    assert entries[0] == {"type": "NODE"} and entries[2] == {"type": "ASIN", "value": "old"}
    assert len(entries) == 3
