"""Records exchanged by the Rufus replay tooling.

``SeedRequestRecord`` is one Rufus request as the browser extension captured it;
``AnswerData`` is one parsed Rufus answer.
"""

from __future__ import annotations

import json
import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import cast
from urllib.parse import urlsplit

from strovik.amazon_rufus.domain.exceptions import RufusReplayError

# Product pages name their ASIN in the path: /dp/<ASIN>, /gp/product/<ASIN>, /gp/aw/d/<ASIN>.
_PAGE_ASIN = re.compile(r"/(?:dp|gp/product|gp/aw/d)/([A-Za-z0-9]{10})(?:[/?#]|$)")


def _type_name(value: object) -> str:
    return "null" if value is None else type(value).__name__


def _read_headers(value: object, problems: list[str]) -> dict[str, str]:
    """Header names to values, from a JSON object or from a webRequest-style list.

    The list form is ``[{"name": ..., "value": ...}, ...]``, which is how the
    browser's webRequest API reports request headers.
    """
    headers: dict[str, str] = {}
    if isinstance(value, dict):
        pairs = list(value.items())
    elif isinstance(value, list):
        pairs = []
        for index, entry in enumerate(value):
            if not (isinstance(entry, dict) and "name" in entry and "value" in entry):
                problems.append(f"request_headers[{index}] must be an object with 'name' and 'value'")
                continue
            pairs.append((entry["name"], entry["value"]))
    else:
        problems.append(f"field 'request_headers' must be an object or a list, got {_type_name(value)}")
        return headers
    for name, header_value in pairs:
        if not isinstance(name, str) or not isinstance(header_value, str):
            problems.append(f"header {name!r} must have a string name and a string value")
            continue
        headers[name] = header_value
    return headers


def _is_absolute_http(url: str) -> bool:
    parts = urlsplit(url)
    return parts.scheme in ("http", "https") and bool(parts.hostname)


def valid_asin(text: str) -> bool:
    """Whether ``text`` has the form of an ASIN: 10 ASCII letters or digits."""
    return len(text) == 10 and text.isascii() and text.isalnum()


def asin_from_page_url(page_url: str) -> str | None:
    """The ASIN named in a product page's path, upper-cased, or None."""
    match = _PAGE_ASIN.search(page_url)
    return match.group(1).upper() if match else None


@dataclass
class SeedRequestRecord:
    """One captured Rufus request: what the replay service rebuilds for each question."""

    request_url: str
    request_headers: dict[str, str]
    request_body: str
    tab_id: str | None = None
    asin: str | None = None
    page_url: str | None = None

    @classmethod
    def from_dict(cls, data: object) -> SeedRequestRecord:
        """Build a record from the JSON object that the browser extension saves.

        Fields: ``request_url`` (an absolute http or https URL), ``request_headers``
        (object of string values, or a list of ``{"name", "value"}`` objects),
        ``request_body`` (JSON text, may be empty, or a JSON object, kept as its JSON
        text) are required; ``tab_id`` (string or integer),
        ``asin`` and ``page_url`` (strings) are optional and may be null. Without an
        ASIN, the one in ``page_url``'s product path is used. Unknown fields are
        ignored. Every missing or ill-typed field is listed in one RufusReplayError.
        """
        if not isinstance(data, Mapping):
            raise RufusReplayError(f"seed record must be a JSON object, got {_type_name(data)}")
        problems: list[str] = []
        missing = [name for name in ("request_url", "request_headers", "request_body") if name not in data]
        if missing:
            problems.append("missing field" + ("s " if len(missing) > 1 else " ") + ", ".join(map(repr, missing)))

        request_url = data.get("request_url")
        if "request_url" in data and (not isinstance(request_url, str) or not request_url):
            problems.append(f"field 'request_url' must be a non-empty string, got {_type_name(request_url)}")
        elif isinstance(request_url, str) and not _is_absolute_http(request_url):
            problems.append(f"field 'request_url' must be an absolute http(s) URL, got {request_url!r}")
        headers = _read_headers(data["request_headers"], problems) if "request_headers" in data else {}
        request_body = data.get("request_body")
        if isinstance(request_body, Mapping):
            request_body = json.dumps(request_body, ensure_ascii=False)
        elif "request_body" in data and not isinstance(request_body, str):
            problems.append(f"field 'request_body' must be a string or an object, got {_type_name(request_body)}")

        raw_tab = data.get("tab_id")
        tab_id: str | None = None
        if isinstance(raw_tab, bool) or not isinstance(raw_tab, (str, int, type(None))):
            problems.append(f"field 'tab_id' must be a string, an integer or null, got {_type_name(raw_tab)}")
        elif isinstance(raw_tab, int):
            tab_id = str(raw_tab)
        else:
            tab_id = raw_tab
        optional: dict[str, str | None] = {}
        for name in ("asin", "page_url"):
            value = data.get(name)
            if value is not None and not isinstance(value, str):
                problems.append(f"field {name!r} must be a string or null, got {_type_name(value)}")
                value = None
            optional[name] = value

        if problems:
            raise RufusReplayError("invalid seed record: " + "; ".join(problems))
        asin = optional["asin"]
        page_url = optional["page_url"]
        if not asin and page_url:
            asin = asin_from_page_url(page_url)
        return cls(
            request_url=cast(str, request_url),
            request_headers=headers,
            request_body=cast(str, request_body),
            tab_id=tab_id,
            asin=asin,
            page_url=page_url,
        )


@dataclass
class AnswerData:
    """One Rufus answer: the conversation's thread id after it and the answer text."""

    thread_id: str | None
    text: str
