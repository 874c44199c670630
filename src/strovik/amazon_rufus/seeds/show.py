"""What a seed carries, told without any secret value: where it is sent, about which product,
in which thread, which headers the replay keeps and which it drops, and the names (never the
values) of its cookies, with their expiry when a storage state is given."""

from __future__ import annotations

import json
from collections.abc import Callable
from datetime import UTC, datetime
from typing import Any
from urllib.parse import urlsplit

from strovik.amazon_rufus.domain.models import SeedRequestRecord
from strovik.amazon_rufus.inputs import InputError, http_url
from strovik.amazon_rufus.seeds.record import header_value

HeaderFilter = Callable[[dict[str, str]], dict[str, str]]


def cookie_names(seed: SeedRequestRecord) -> list[str]:
    header = header_value(seed.request_headers.items(), "cookie") or ""
    names = [pair.partition("=")[0].strip() for pair in header.split(";") if "=" in pair]
    return [name for name in names if name]


def _thread_id(body: str) -> str | None:
    try:
        history = json.loads(body).get("historyThreadContext")
    except (json.JSONDecodeError, AttributeError):
        return None
    thread = history.get("threadId") if isinstance(history, dict) else None
    return thread if isinstance(thread, str) and thread else None


def _expiry(cookie: dict[str, Any]) -> str:
    """The cookie's expiry in UTC (ISO 8601), or "session" for one that ends with the browser."""
    expires = cookie.get("expires")
    if not isinstance(expires, (int, float)) or expires < 0:
        return "session"
    return datetime.fromtimestamp(expires, UTC).isoformat(timespec="seconds").replace("+00:00", "Z")


def storage_cookies(storage_state: dict[str, Any], host: str) -> dict[str, dict[str, Any]]:
    """The storage state's cookies sent to ``host``, by name."""
    found: dict[str, dict[str, Any]] = {}
    for cookie in storage_state.get("cookies") or []:
        if not isinstance(cookie, dict) or not isinstance(cookie.get("name"), str):
            continue
        domain = str(cookie.get("domain", "")).lstrip(".").lower()
        if host == domain or host.endswith("." + domain):
            found[cookie["name"]] = cookie
    return found


def describe(
    seed: SeedRequestRecord, replay_headers: HeaderFilter, storage_state: dict[str, Any] | None = None
) -> dict[str, Any]:
    """The seed's description; ``replay_headers`` is the replay's header filter
    (``RufusReplayService()._build_replay_headers``)."""
    parts = urlsplit(seed.request_url)
    kept = replay_headers(dict(seed.request_headers))
    names = list(seed.request_headers)
    description: dict[str, Any] = {
        "endpoint": f"{parts.scheme}://{parts.netloc}{parts.path}",
        "asin": seed.asin,
        "page_url": seed.page_url,
        "thread_id": _thread_id(seed.request_body),
        "headers_kept": [name for name in names if name.lower() in kept],
        "headers_dropped": [name for name in names if name.lower() not in kept],
        "cookies": cookie_names(seed),
    }
    if storage_state is not None:
        stored = storage_cookies(storage_state, (parts.hostname or "").lower())
        description["cookie_expiry"] = {
            name: _expiry(stored[name]) if name in stored else None for name in description["cookies"]
        }
    return description


def refusal(seed: SeedRequestRecord) -> str | None:
    """Why ``replay`` without --product-url would refuse the seed, or None."""
    if not seed.page_url:
        return "no page_url: replay needs --product-url"
    if not http_url(seed.page_url):
        return f"page_url must be an http(s) URL, got {seed.page_url!r}"
    return None


def render(description: dict[str, Any]) -> list[str]:
    """The description as lines for a person."""

    def names(values: list[str]) -> str:
        return ", ".join(values) if values else "none"

    lines = [
        f"endpoint: {description['endpoint']}",
        f"asin: {description['asin'] or 'none'}",
        f"page_url: {description['page_url'] or 'none'}",
        f"thread_id: {description['thread_id'] or 'none (a new conversation)'}",
        f"headers kept by replay: {names(description['headers_kept'])}",
        f"headers dropped by replay: {names(description['headers_dropped'])}",
        f"cookies: {names(description['cookies'])}",
    ]
    for name, expiry in description.get("cookie_expiry", {}).items():
        if expiry is None:
            lines.append(f"  {name}: not in the storage state")
        else:
            lines.append(f"  {name}: {'ends with the browser session' if expiry == 'session' else 'expires ' + expiry}")
    return lines


def load_storage_state(text: str, source: str) -> dict[str, Any]:
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise InputError(f"{source} is not JSON: {exc}") from None
    if not isinstance(data, dict) or not isinstance(data.get("cookies", []), list):
        raise InputError(f"{source} is not a Playwright storage state (no cookies list)")
    return data
