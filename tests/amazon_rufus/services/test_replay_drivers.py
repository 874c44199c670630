"""The question replay drivers with a recording page and a recording parser."""

from __future__ import annotations

import json
from types import ModuleType, SimpleNamespace
from typing import Any

import pytest

from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.services.parser import RufusParserService

from ..helpers import Answer, RecordingPage, RecordingParser, RecordingSeed, make_seed

SCRIPT = "\n" + "\n".join(
    [
        " " * 16 + "async ({ url, body, headers }) => {",
        " " * 18 + "const response = await fetch(url, {",
        " " * 20 + "method: 'POST',",
        " " * 20 + "headers,",
        " " * 20 + "body: JSON.stringify(body)",
        " " * 18 + "});",
        " " * 18 + "return await response.text();",
        " " * 16 + "}",
        " " * 16,
    ]
)

SEED_BODY = json.dumps({"x": 1, "historyThreadContext": {"threadId": "seed", "threadState": "ACTIVE", "t": 1}})


class StrSub(str):
    pass


def bodies(page: RecordingPage) -> list[Any]:
    return [json.loads(snapshot)["body"] for snapshot in page.snapshots]


def threads(page: RecordingPage) -> list[Any]:
    return [body.get("historyThreadContext") for body in bodies(page)]


def test_page_script_is_the_fixed_fetch_script() -> None:
    assert len(SCRIPT) == 323
    assert SCRIPT.endswith("}\n" + " " * 16)


def test_questions_are_replayed_in_order_with_the_thread_carried(replay: ModuleType) -> None:
    answers = [Answer("T1", "a1"), Answer(None, "a2"), Answer("T2", "a3"), Answer("", "a4")]
    parser = RecordingParser(answers[:])
    page = RecordingPage(["raw-a", "raw-b", "raw-c", "raw-d"])
    seed = make_seed(
        request_url="https://www.amazon.com/rufus/cl/streaming?lang=en_US",
        request_headers={"Cookie": "c", "Anti-Csrftoken-A2z": "tok", "X-Amz-Is-Papyrus": "true"},
        request_body=SEED_BODY,
        tab_id="tab-4",
        asin=" b0abc ",
    )
    questions = ["q1", "q2", "q3", "q4"]
    result = replay.RufusReplayService(parser).replay_with_page(page, seed, questions)

    assert type(result) is list
    assert [id(answer) for answer in result] == [id(answer) for answer in answers]
    assert parser.raw_texts == ["raw-a", "raw-b", "raw-c", "raw-d"]
    url = "https://www.amazon.com/rufus/cl/streaming?lang=en_US&tabId=tab-4&programId=NILE_CLASSIC%3Adesktop-cl&ref=nl_cl_dsk_csq"
    headers = {"anti-csrftoken-a2z": "tok", "x-amz-is-papyrus": "true", "content-type": "application/json"}
    for args, kwargs in page.calls:
        assert kwargs == {} and len(args) == 2
        assert args[0] == SCRIPT
        assert type(args[1]) is dict and list(args[1]) == ["url", "body", "headers"]
        assert args[1]["url"] == url
        assert list(args[1]["headers"].items()) == list(headers.items())
        # One headers dict and one URL serve every question.
        assert args[1]["headers"] is page.calls[0][0][1]["headers"]
        assert args[1]["url"] is page.calls[0][0][1]["url"]
    assert [body["queryContext"]["query"] for body in bodies(page)] == questions
    assert all(body["pageContext"]["targetPageMetadata"] == [{"type": "ASIN", "value": "B0ABC"}] for body in bodies(page))
    assert threads(page) == [
        {"threadId": "seed", "threadState": "ACTIVE", "t": 1},
        {"threadId": "T1", "threadState": "ACTIVE"},
        {"threadId": "T1", "threadState": "ACTIVE"},
        {"threadId": "T2", "threadState": "ACTIVE"},
    ]


def test_seed_attributes_are_read_in_order(replay: ModuleType) -> None:
    seed = RecordingSeed(request_headers={}, request_url="https://h/p", tab_id="t", request_body="", asin=None)
    replay.RufusReplayService(RecordingParser([Answer(None), Answer(None)])).replay_with_page(
        RecordingPage(), seed, ["a", "b"]
    )
    assert seed.reads == [
        "request_headers", "request_url", "tab_id", "tab_id", "request_body", "asin", "request_body", "asin",
    ]


def test_empty_question_list_still_builds_headers_and_url(replay: ModuleType) -> None:
    seed = RecordingSeed(request_headers={}, request_url="https://h/p", tab_id=None)
    page = RecordingPage()
    questions: list[str] = []
    result = replay.RufusReplayService(RecordingParser([])).replay_with_page(page, seed, questions)
    assert result == [] and result is not questions
    assert page.calls == []
    assert seed.reads == ["request_headers", "request_url", "tab_id"]


@pytest.mark.parametrize(
    ("seed", "error"),
    [
        (make_seed(request_headers=None), "Argument 'request_headers' has incorrect type (expected dict, got NoneType)"),
        (SimpleNamespace(request_headers={}, tab_id=None), "request_url"),
    ],
)
def test_header_and_url_errors_surface_without_questions(replay: ModuleType, seed: Any, error: str) -> None:
    with pytest.raises((TypeError, AttributeError)) as caught:
        replay.RufusReplayService(RecordingParser([])).replay_with_page(RecordingPage(), seed, [])
    assert error in str(caught.value)


@pytest.mark.parametrize("falsy", [None, "", 0, False, []])
def test_falsy_thread_id_keeps_the_previous_one(replay: ModuleType, falsy: Any) -> None:
    page = RecordingPage()
    parser = RecordingParser([Answer("T"), Answer(falsy), Answer(None)])
    replay.RufusReplayService(parser).replay_with_page(page, make_seed(request_body=""), ["a", "b", "c"])
    assert threads(page) == [
        None,
        {"threadId": "T", "threadState": "THREAD_STATE_UNKNOWN"},
        {"threadId": "T", "threadState": "THREAD_STATE_UNKNOWN"},
    ]


@pytest.mark.parametrize(
    ("thread_id", "type_name"), [(5, "int"), (1.5, "float"), (b"t", "bytes"), (["t"], "list"), (StrSub("t"), "StrSub")]
)
def test_thread_id_that_is_not_a_str_is_refused(replay: ModuleType, thread_id: Any, type_name: str) -> None:
    first = Answer("T")
    parser = RecordingParser([first, Answer(thread_id)])
    page = RecordingPage()
    with pytest.raises(TypeError) as caught:
        replay.RufusReplayService(parser).replay_with_page(page, make_seed(), ["a", "b", "c"])
    assert str(caught.value) == f"Expected str, got {type_name}"
    assert getattr(caught.value, "partial_answers") == [first]
    assert len(page.calls) == 2


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    ("case", "answered"),
    [("evaluate-first", 0), ("evaluate-third", 2), ("parse-second", 1), ("bad-seed-body", 0), ("question-not-str", 1)],
)
def test_failure_part_way_keeps_the_answers_so_far(replay: ModuleType, case: str, answered: int) -> None:
    failure = Boom(case)
    answers = [Answer("T1", "a1"), Answer("T2", "a2"), Answer("T3", "a3")]
    replies: list[Any] = ["r1", "r2", "r3"]
    parsed: list[Any] = answers[:]
    seed = make_seed()
    questions: list[Any] = ["q1", "q2", "q3"]
    if case == "evaluate-first":
        replies[0] = failure
    elif case == "evaluate-third":
        replies[2] = failure
    elif case == "parse-second":
        parsed[1] = failure
    elif case == "bad-seed-body":
        seed = make_seed(request_body="{not json")
    elif case == "question-not-str":
        questions[1] = 42
    page = RecordingPage(replies)

    with pytest.raises(Exception) as caught:
        replay.RufusReplayService(RecordingParser(parsed)).replay_with_page(page, seed, questions)

    error = caught.value
    if case == "bad-seed-body":
        assert type(error) is RufusReplayError and page.calls == []
    elif case == "question-not-str":
        assert str(error) == "Argument 'question' has incorrect type (expected str, got int)"
    else:
        assert error is failure and error.__cause__ is None
    partial = getattr(error, "partial_answers")
    assert type(partial) is list
    assert [id(answer) for answer in partial] == [id(answer) for answer in answers[:answered]]


def test_constructor_picks_the_parser(replay: ModuleType, monkeypatch: Any) -> None:
    assert type(replay.RufusReplayService().parser) is RufusParserService
    assert type(replay.RufusReplayService(parser=None).parser) is RufusParserService
    given = RecordingParser([])
    assert replay.RufusReplayService(given).parser is given
    assert replay.RufusReplayService(parser=given).parser is given

    class Falsy:
        def __bool__(self) -> bool:
            return False

    made: list[tuple[Any, ...]] = []

    def factory(*args: Any, **kwargs: Any) -> str:
        made.append((args, kwargs))
        return "made-parser"

    monkeypatch.setattr(replay, "RufusParserService", factory)
    assert replay.RufusReplayService(Falsy()).parser == "made-parser"
    assert replay.RufusReplayService(given).parser is given
    assert replay.RufusReplayService().parser == "made-parser"
    assert made == [((), {}), ((), {})]


def test_parser_is_looked_up_on_self_for_every_question(replay: ModuleType) -> None:
    service = replay.RufusReplayService(RecordingParser([Answer("T")]))
    later = RecordingParser([Answer(None), Answer(None)])
    service.parser.on_parse = lambda count: setattr(service, "parser", later)
    result = service.replay_with_page(RecordingPage(["1", "2", "3"]), make_seed(), ["a", "b", "c"])
    assert len(result) == 3
    assert later.raw_texts == ["2", "3"]


def test_collaborators_are_called_through_self(replay: ModuleType) -> None:
    calls: list[Any] = []
    headers_marker = {"h": "1"}

    class Custom(replay.RufusReplayService):  # type: ignore[name-defined,misc]
        def _build_replay_headers(self, *args: Any, **kwargs: Any) -> dict[str, str]:
            calls.append(("headers", args, kwargs))
            return headers_marker

        def build_replay_url(self, *args: Any, **kwargs: Any) -> str:
            calls.append(("url", args, kwargs))
            return "custom-url"

        def build_payload(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
            calls.append(("payload", args, kwargs))
            return {"n": len(calls)}

    seed = make_seed(request_body="BODY", asin="ASIN")
    page = RecordingPage()
    Custom(RecordingParser([Answer("T"), Answer(None)])).replay_with_page(page, seed, ["a", "b"])
    assert calls == [
        ("headers", (seed.request_headers,), {}),
        ("url", (seed,), {}),
        ("payload", ("BODY", "a", None, "ASIN"), {}),
        ("payload", ("BODY", "b", "T", "ASIN"), {}),
    ]
    assert [call[0][1] for call in page.calls] == [
        {"url": "custom-url", "body": {"n": 3}, "headers": headers_marker},
        {"url": "custom-url", "body": {"n": 4}, "headers": headers_marker},
    ]
    assert page.calls[0][0][1]["headers"] is headers_marker


def test_a_list_that_grows_is_followed_to_its_end(replay: ModuleType) -> None:
    questions = ["a"]

    def grow(count: int) -> None:
        if count == 1:
            questions.append("b")

    parser = RecordingParser([Answer(None), Answer(None)], on_parse=grow)
    result = replay.RufusReplayService(parser).replay_with_page(RecordingPage(), make_seed(), questions)
    assert len(result) == 2


def test_replay_without_a_page_returns_a_new_empty_list(replay: ModuleType) -> None:
    service = replay.RufusReplayService(RecordingParser([]))
    seed = RecordingSeed()
    questions: list[Any] = ["a", 1, None]
    first = service.replay(seed, questions)
    second = service.replay(seed, questions)
    assert first == [] and second == [] and first is not second and first is not questions
    assert seed.reads == []
