"""One request as a browser sent it, and the seed object made from it.

Capture, HAR and cURL import all end here: a ``SentRequest`` (URL, headers in the order
sent, body) becomes the JSON object ``SeedRequestRecord.from_dict`` reads, checked the way
``replay`` checks a seed file, so that a seed written is a seed ``replay`` accepts.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from strovik.amazon_rufus.domain.models import asin_from_page_url
from strovik.amazon_rufus.inputs import InputError, seed_from_data

# A POST whose path (not its query) holds a /rufus/ segment: Rufus's streaming endpoint.
DEFAULT_MATCH = r"^[^?#]*/rufus/"


def url_pattern(text: str) -> re.Pattern[str]:
    """``--match``'s regular expression; InputError naming the fault when it is not one."""
    try:
        return re.compile(text)
    except re.error as exc:
        raise InputError(f"--match is not a regular expression: {exc}") from None


def header_value(headers: Iterable[tuple[str, str]], name: str) -> str | None:
    """The value of the first header called ``name`` (in any letter case), or None."""
    return next((value for key, value in headers if key.lower() == name.lower()), None)


@dataclass
class SentRequest:
    """One request: what a seed is made of. ``time`` is when it was sent, as the source says it."""

    method: str
    url: str
    headers: list[tuple[str, str]] = field(default_factory=list)
    body: str | None = None
    time: str | None = None

    def matches(self, pattern: re.Pattern[str]) -> bool:
        return self.method.upper() == "POST" and pattern.search(self.url) is not None

    def seed(self, page_url: str | None = None, source: str = "request") -> dict[str, Any]:
        """The seed object of this request, refused with an InputError naming ``source``
        when ``replay`` would refuse it.

        ``page_url`` defaults to the Referer header (the page that sent the request); the
        ASIN is the one in the page URL's product path. Playwright and developer tools give
        no tab id, so ``tab_id`` is null.
        """
        page_url = page_url or header_value(self.headers, "referer")
        seed = {
            "request_url": self.url,
            "request_headers": merged_headers(self.headers),
            "request_body": self.body or "",
            "page_url": page_url,
            "asin": asin_from_page_url(page_url) if page_url else None,
            "tab_id": None,
        }
        seed_from_data(seed, source)
        return seed


def merged_headers(headers: Iterable[tuple[str, str]]) -> dict[str, str]:
    """Headers as one object: HTTP/2 pseudo-headers (":authority") left out, a repeated
    name's values joined as HTTP joins them ("; " for Cookie, ", " for the others)."""
    merged: dict[str, str] = {}
    names: dict[str, str] = {}  # lower-case name -> the spelling first seen
    for name, value in headers:
        if name.startswith(":"):
            continue
        key = names.setdefault(name.lower(), name)
        if key in merged:
            merged[key] += ("; " if key.lower() == "cookie" else ", ") + value
        else:
            merged[key] = value
    return merged


def seed_text(seed: dict[str, Any]) -> str:
    """A seed object as the file holds it."""
    return json.dumps(seed, indent=2, ensure_ascii=False) + "\n"
