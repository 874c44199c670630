"""The Rufus response parser: newline-delimited JSON records, optionally SSE-framed."""

from __future__ import annotations

import json

import pytest

from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.domain.models import AnswerData
from strovik.amazon_rufus.services.parser import RufusParserService


def ndjson(*records: object) -> str:
    return "".join(json.dumps(record, ensure_ascii=False) + "\n" for record in records)


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (
            ndjson({"threadId": "t-1", "text": "The battery "}, {"text": "lasts 10 hours."}),
            AnswerData(thread_id="t-1", text="The battery lasts 10 hours."),
        ),
        (ndjson({"text": "no thread"}), AnswerData(thread_id=None, text="no thread")),
        (ndjson({"text": "a"}, {"threadId": "late"}), AnswerData(thread_id="late", text="a")),
        (ndjson({"threadId": None, "text": ""}, {"threadId": ""}), AnswerData(thread_id=None, text="")),
        (
            ndjson({"threadId": "t", "text": "x"}, {"threadId": "t", "text": "y"}, {"threadId": "", "text": "z"}),
            AnswerData(thread_id="t", text="xyz"),
        ),
        (json.dumps({"text": "no trailing newline"}), AnswerData(thread_id=None, text="no trailing newline")),
        ('{"text": "a"}\r\n\r\n   \n{"text": "b"}\r\n', AnswerData(thread_id=None, text="ab")),
        (
            'event: message\nid: 4\nretry: 100\n: keep-alive\ndata: {"threadId": "s", "text": "sse "}\n\n'
            'data:{"text": "framed"}\n\n',
            AnswerData(thread_id="s", text="sse framed"),
        ),
        (ndjson({"text": "中文 答案", "kind": "x", "other": [1, 2]}), AnswerData(thread_id=None, text="中文 答案")),
        # U+2028 and U+0085 are line breaks for str.splitlines but plain characters in JSON text.
        (ndjson({"text": "a\u2028b\x85c"}), AnswerData(thread_id=None, text="a\u2028b\x85c")),
        (ndjson({"text": "  kept  "}, {"text": "\n"}), AnswerData(thread_id=None, text="  kept  \n")),
        (ndjson({"text": "ok", "error": ""}, {"error": None}), AnswerData(thread_id=None, text="ok")),
        # JSON escapes may cut an emoji between two records; only the joined text pairs them up.
        ('{"text": "a\\ud83d"}\n{"text": "\\ude00b"}\n', AnswerData(thread_id=None, text="a\U0001f600b")),
        (
            '{"threadId": "t\\udc00", "text": "x\\ud83d"}\n{"text": "\\ude00\\ud83d"}\n',
            AnswerData(thread_id="t\ufffd", text="x\U0001f600\ufffd"),
        ),
    ],
    ids=[
        "fragments-in-order",
        "no-thread",
        "thread-in-later-record",
        "empty-thread-names-none",
        "repeated-thread",
        "no-final-newline",
        "crlf-and-blank-lines",
        "server-sent-events",
        "unicode-and-unknown-members",
        "unicode-line-separators",
        "whitespace-kept-in-text",
        "empty-error-ignored",
        "surrogate-pair-split-across-records",
        "lone-surrogates-replaced",
    ],
)
def test_parse_reads_answer(raw: str, expected: AnswerData) -> None:
    assert RufusParserService().parse(raw) == expected


@pytest.mark.parametrize(
    ("raw", "message"),
    [
        ("", "Rufus response is empty"),
        ("\n \r\n: comment\n", "Rufus response is empty"),
        ("<html><body>Sign in</body></html>", "Rufus response line 1 is not JSON: '<html><body>Sign in</body></html>'"),
        (ndjson({"text": "a"}) + "{broken\n", "Rufus response line 2 is not JSON: '{broken'"),
        ("x" * 100, "Rufus response line 1 is not JSON: '" + "x" * 80 + "...'"),
        ('["text"]\n', "Rufus response line 1 is not a JSON object: '[\"text\"]'"),
        ("null\n", "Rufus response line 1 is not a JSON object: 'null'"),
        (ndjson({"threadId": "t"}), "Rufus response carries no answer text"),
        (ndjson({"text": 5}), "Rufus response line 1: text must be a string, got int"),
        (ndjson({"text": None}), "Rufus response line 1: text must be a string, got NoneType"),
        (ndjson({"text": "a"}, {"threadId": 7}), "Rufus response line 2: threadId must be a string, got int"),
        (ndjson({"threadId": "a", "text": ""}, {"threadId": "b"}), "Rufus response line 2: thread 'b' differs from 'a'"),
        (ndjson({"text": "a"}, {"error": "throttled"}), "Rufus refused the question: throttled"),
    ],
    ids=[
        "empty",
        "only-blank-and-comments",
        "html-page",
        "second-line-broken",
        "long-line-cut",
        "array-record",
        "null-record",
        "no-text",
        "text-not-string",
        "text-null",
        "thread-not-string",
        "conflicting-threads",
        "error-record",
    ],
)
def test_parse_refuses_unreadable_text(raw: str, message: str) -> None:
    with pytest.raises(RufusReplayError) as caught:
        RufusParserService().parse(raw)
    assert str(caught.value) == message


def test_not_json_error_keeps_decode_error_as_cause() -> None:
    with pytest.raises(RufusReplayError) as caught:
        RufusParserService().parse("{")
    assert isinstance(caught.value.__cause__, json.JSONDecodeError)


@pytest.mark.parametrize("raw", [None, b'{"text": "a"}', 5])
def test_parse_refuses_non_text(raw: object) -> None:
    with pytest.raises(RufusReplayError, match="Rufus response must be text, got "):
        RufusParserService().parse(raw)  # type: ignore[arg-type]
