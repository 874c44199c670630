"""Reads Rufus answers out of the response text of one replayed request."""

from __future__ import annotations

import json

from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.domain.models import AnswerData

_SSE_SKIPPED_FIELDS = ("event:", "id:", "retry:")


def _snippet(line: str) -> str:
    return repr(line if len(line) <= 80 else line[:80] + "...")


def valid_text(text: str) -> str:
    """``text`` with surrogate pairs made into their characters and lone surrogates
    into U+FFFD, so that it always encodes as UTF-8.

    JSON escapes may spell one character as two surrogates, and a stream may cut
    between them; only the joined text can say which surrogates pair up.
    """
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")
    return text


class RufusParserService:
    """Turns the text of one Rufus response into one ``AnswerData``.

    The response is a stream of records, one JSON object per line (newline-delimited
    JSON). Lines may also arrive framed as server-sent events: a ``data:`` prefix
    (and one space after it) is removed, ``event:``, ``id:`` and ``retry:`` lines and
    comment lines starting with ``:`` are skipped. Blank lines are skipped. Lines are
    split at line feeds only (a carriage return before one is dropped), so a record
    may hold any other character, U+2028 included.

    Members read from each record (all optional, others are ignored):

    - ``"threadId"``: string or null, the conversation's thread id; null and the empty
      string name no thread. Every record that names a thread must name the same one;
      the answer's ``thread_id`` is that id, or None when no record names one.
    - ``"text"``: string, one fragment of the answer; the answer text is the
      concatenation of all fragments in record order. At least one record must carry
      a ``"text"`` member (it may be empty).
    - ``"error"``: string or null; a non-empty one means Rufus refused the question
      and is raised as the message of a RufusReplayError.

    Example::

        {"threadId": "t-1", "text": "The battery "}
        {"text": "lasts 10 hours."}

    reads as ``AnswerData(thread_id="t-1", text="The battery lasts 10 hours.")``.
    Fragments are joined before surrogate escapes are decoded: a pair split across two
    records becomes its character, a lone surrogate becomes U+FFFD, so the answer is
    always valid Unicode. Text that does not follow this format raises RufusReplayError naming the line.
    """

    def parse(self, raw_text: str) -> AnswerData:
        if not isinstance(raw_text, str):
            raise RufusReplayError(f"Rufus response must be text, got {type(raw_text).__name__}")
        thread_id: str | None = None
        fragments: list[str] = []
        seen_text = False
        seen_record = False
        for number, line in enumerate(raw_text.split("\n"), start=1):
            line = line.removesuffix("\r")
            if line.startswith("data:"):
                line = line[5:].removeprefix(" ")
            elif line.startswith(":") or line.startswith(_SSE_SKIPPED_FIELDS):
                continue
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except json.JSONDecodeError as exc:
                raise RufusReplayError(f"Rufus response line {number} is not JSON: {_snippet(line)}") from exc
            if not isinstance(record, dict):
                raise RufusReplayError(f"Rufus response line {number} is not a JSON object: {_snippet(line)}")
            seen_record = True

            error = record.get("error")
            if error:
                raise RufusReplayError(f"Rufus refused the question: {valid_text(str(error))}")
            record_thread = record.get("threadId")
            if record_thread is not None and not isinstance(record_thread, str):
                raise RufusReplayError(
                    f"Rufus response line {number}: threadId must be a string, got {type(record_thread).__name__}"
                )
            if record_thread:
                if thread_id is not None and record_thread != thread_id:
                    raise RufusReplayError(
                        f"Rufus response line {number}: thread {valid_text(record_thread)!r} differs from "
                        f"{valid_text(thread_id)!r}"
                    )
                thread_id = record_thread
            if "text" in record:
                text = record["text"]
                if not isinstance(text, str):
                    raise RufusReplayError(
                        f"Rufus response line {number}: text must be a string, got {type(text).__name__}"
                    )
                fragments.append(text)
                seen_text = True
        if not seen_record:
            raise RufusReplayError("Rufus response is empty")
        if not seen_text:
            raise RufusReplayError("Rufus response carries no answer text")
        return AnswerData(
            thread_id=None if thread_id is None else valid_text(thread_id), text=valid_text("".join(fragments))
        )
