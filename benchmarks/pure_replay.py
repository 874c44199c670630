"""The Rufus replay service written in plain Python, as a user of the package would write it.

Same behaviour as ``strovik.amazon_rufus.services.replay.RufusReplayService``: header
filtering, URL completion, payload building with the ASIN upsert and the thread rule,
and the question loop around ``page.evaluate``. The benchmarks compare the native
module against this class, and benchmarks/test_comparisons.py checks that both give
the same results, so that the comparison is between equal work.
"""

from __future__ import annotations

import json
from typing import Any
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.services.parser import RufusParserService

PAGE_SCRIPT = """
                async ({ url, body, headers }) => {
                  const response = await fetch(url, {
                    method: 'POST',
                    headers,
                    body: JSON.stringify(body)
                  });
                  return await response.text();
                }
                """


class RufusReplayService:
    REPLAY_HEADER_ALLOWLIST = {"anti-csrftoken-a2z", "content-type", "x-amz-is-papyrus"}

    def __init__(self, parser: Any = None) -> None:
        self.parser = parser or RufusParserService()

    def build_payload(
        self, seed_body: str, question: str, thread_id: str | None = None, asin: str | None = None
    ) -> dict:
        try:
            payload = json.loads(seed_body or "{}")
        except json.JSONDecodeError as exc:
            raise RufusReplayError("seed request body 不是合法 JSON") from exc
        if not isinstance(payload, dict):
            payload = {}

        query_context = self._context(payload, "queryContext")
        query_context["query"] = question
        query_context["actionType"] = "SEARCH"
        query_context["qis"] = "NileCLTextInput"

        page_context = self._context(payload, "pageContext")
        page_context["originPageType"] = "DETAIL_PAGE"
        normalized_asin = (asin or "").strip().upper()
        if normalized_asin:
            self._upsert_asin_metadata(page_context, "targetPageMetadata", normalized_asin)
            self._upsert_asin_metadata(page_context, "originPageMetadata", normalized_asin)

        self._context(payload, "bottomSheetContext")["previousTurnsBottomSheetSize"] = "expanded"
        self._context(payload, "impressionsContext")["FIRST_TIME_USER_MESSAGE_SEEN_STATUS"] = "SEEN"

        if thread_id:
            history_context = payload.get("historyThreadContext")
            if not isinstance(history_context, dict):
                history_context = {}
            payload["historyThreadContext"] = {
                "threadId": thread_id,
                "threadState": history_context.get("threadState") or "THREAD_STATE_UNKNOWN",
            }
        return payload

    @staticmethod
    def _context(payload: dict, key: str) -> dict:
        value = payload.setdefault(key, {})
        if not isinstance(value, dict):
            value = payload[key] = {}
        return value

    def build_replay_url(self, seed: Any) -> str:
        parts = urlsplit(seed.request_url)
        query = dict(parse_qsl(parts.query, keep_blank_values=True))
        if seed.tab_id:
            query["tabId"] = seed.tab_id
        query.setdefault("programId", "NILE_CLASSIC:desktop-cl")
        query.setdefault("ref", "nl_cl_dsk_csq")
        return urlunsplit((parts.scheme, parts.netloc, parts.path, urlencode(query), parts.fragment))

    def replay(self, seed: Any, questions: list[str]) -> list:
        return []

    def replay_with_page(self, page: Any, seed: Any, questions: list[str]) -> list:
        answers = []
        thread_id = None
        headers = self._build_replay_headers(seed.request_headers)
        replay_url = self.build_replay_url(seed)
        for question in questions:
            payload = self.build_payload(seed.request_body, question, thread_id, seed.asin)
            raw_text = page.evaluate(PAGE_SCRIPT, {"url": replay_url, "body": payload, "headers": headers})
            answer = self.parser.parse(raw_text)
            thread_id = answer.thread_id or thread_id
            answers.append(answer)
        return answers

    def _build_replay_headers(self, request_headers: dict[str, str]) -> dict[str, str]:
        headers = {}
        for key, value in request_headers.items():
            normalized = key.lower()
            if normalized in self.REPLAY_HEADER_ALLOWLIST:
                headers[normalized] = value
        headers.setdefault("content-type", "application/json")
        return headers

    def _upsert_asin_metadata(self, page_context: dict, key: str, asin: str) -> None:
        metadata = page_context.get(key)
        if not isinstance(metadata, list):
            metadata = page_context[key] = []
        for item in metadata:
            if isinstance(item, dict) and item.get("type") == "ASIN":
                item["value"] = asin
                return
        metadata.append({"type": "ASIN", "value": asin})
