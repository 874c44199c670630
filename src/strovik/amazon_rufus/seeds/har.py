"""The requests of a HAR file (developer tools' "Save all as HAR", Playwright's record_har_path)."""

from __future__ import annotations

import json
from typing import Any

from strovik.amazon_rufus.inputs import InputError
from strovik.amazon_rufus.seeds.record import SentRequest


def _request(entry: Any, where: str) -> SentRequest:
    request = entry.get("request") if isinstance(entry, dict) else None
    if not isinstance(request, dict) or not all(isinstance(request.get(key), str) for key in ("method", "url")):
        raise InputError(f"{where} has no request with a method and a URL")
    headers = []
    for header in request.get("headers") or []:
        if isinstance(header, dict) and isinstance(header.get("name"), str) and isinstance(header.get("value"), str):
            headers.append((header["name"], header["value"]))
    post = request.get("postData")
    body = post.get("text") if isinstance(post, dict) else None
    time = entry.get("startedDateTime")
    return SentRequest(
        request["method"], request["url"], headers, body if isinstance(body, str) else None,
        time if isinstance(time, str) else None,
    )


def har_requests(text: str, source: str) -> list[SentRequest]:
    """Every request of the HAR text, in the file's order; InputError when it is no HAR."""
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise InputError(f"{source} is not JSON: {exc}") from None
    log = data.get("log") if isinstance(data, dict) else None
    entries = log.get("entries") if isinstance(log, dict) else None
    if not isinstance(entries, list):
        raise InputError(f"{source} is not a HAR file (no log.entries list)")
    return [_request(entry, f"{source}: entry {index}") for index, entry in enumerate(entries, start=1)]
