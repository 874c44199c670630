"""Inputs shared by the benchmark scripts and their checks: the trivial ASGI app, the
request scopes of each gate path, and a realistic captured Rufus request."""

from __future__ import annotations

import json
from typing import Any

from starlette.types import Receive, Scope, Send

from strovik.amazon_rufus.domain.models import SeedRequestRecord

# --------------------------------------------------------------------------- gate

API_KEY = "sk-strovik-7f3c9a2e41b8d6f05c1e9a7b3d2f8e64"
WRONG_KEY = "sk-strovik-00000000000000000000000000000000"

_COMMON_HEADERS = [
    (b"host", b"127.0.0.1:8000"),
    (b"user-agent", b"mcp-client/1.9 python-httpx/0.28"),
    (b"accept", b"text/event-stream"),
]


def http_scope(query: bytes = b"", extra_headers: list[tuple[bytes, bytes]] | None = None) -> dict[str, Any]:
    return {
        "type": "http",
        "asgi": {"version": "3.0", "spec_version": "2.4"},
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": "/sse",
        "raw_path": b"/sse",
        "root_path": "",
        "query_string": query,
        "headers": _COMMON_HEADERS + (extra_headers or []),
        "client": ("127.0.0.1", 51234),
        "server": ("127.0.0.1", 8000),
    }


# The three request paths measured for every gate variant.
PATHS: dict[str, dict[str, Any]] = {
    "query": http_scope(query=b"api_key=" + API_KEY.encode()),
    "bearer": http_scope(extra_headers=[(b"authorization", b"Bearer " + API_KEY.encode())]),
    "rejected": http_scope(query=b"api_key=" + WRONG_KEY.encode()),
}
EXPECTED_STATUS = {"query": 200, "bearer": 200, "rejected": 401}

LIFESPAN_SCOPE: dict[str, Any] = {"type": "lifespan", "asgi": {"version": "3.0", "spec_version": "2.0"}}

_START = {"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain"), (b"content-length", b"2")]}
_BODY = {"type": "http.response.body", "body": b"ok"}


async def trivial_app(scope: Scope, receive: Receive, send: Send) -> None:
    """Answers every HTTP request with 200 "ok"; completes lifespan events."""
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    await send(_START)
    await send(_BODY)


async def passthrough_app(scope: Scope, receive: Receive, send: Send) -> None:
    """Does nothing: the cheapest application, for measuring what wraps it."""


# --------------------------------------------------------------------------- replay

SEED_ASIN = "B0CHX3QBCH"
THREAD_ID = "amzn1.rufus.thread.5c2e8f1a-93d4-4b7e-a0c6-1f2d3e4a5b6c"

_SEED: dict[str, Any] = {
    "requestId": "9f1c2d3e-4b5a-6978-8a9b-0c1d2e3f4a5b",
    "clientContext": {
        "marketplaceId": "ATVPDKIKX0DER",
        "locale": "en_US",
        "currencyOfPreference": "USD",
        "deviceType": "desktop",
        "sessionId": "134-5521987-2231456",
        "customerId": "A2X9Q7ZK4M1B3C",
        "userAgent": (
            "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 Safari/537.36"
        ),
        "timezone": "America/Los_Angeles",
        "features": {"streaming": True, "markdown": True, "productCards": True, "followUpChips": True},
    },
    "queryContext": {
        "query": "is this good for travel?",
        "actionType": "SUGGESTION",
        "qis": "NileCLSuggestionChip",
        "suggestionId": "sugg-0c6f1a2b",
        "inputSource": "CHIP",
    },
    "pageContext": {
        "originPageType": "SEARCH_PAGE",
        "originPageUrl": "https://www.amazon.com/dp/B0CHX3QBCH?th=1&psc=1",
        "targetPageMetadata": [
            {"type": "PARENT_ASIN", "value": "B0CHX1W4PF"},
            {"type": "ASIN", "value": "B0CHX3QBCH"},
            {"type": "BROWSE_NODE", "value": "172282"},
        ],
        "originPageMetadata": [
            {"type": "ASIN", "value": "B0CHX3QBCH"},
            {"type": "SEARCH_TERM", "value": "noise cancelling headphones"},
        ],
        "refTag": "nav_sb_noss_2",
    },
    "bottomSheetContext": {"previousTurnsBottomSheetSize": "collapsed", "bottomSheetOpenCount": 2},
    "impressionsContext": {
        "FIRST_TIME_USER_MESSAGE_SEEN_STATUS": "NOT_SEEN",
        "DISCLAIMER_SEEN_STATUS": "SEEN",
        "ONBOARDING_TOOLTIP_STATUS": "DISMISSED",
    },
    "historyThreadContext": {
        "threadId": "amzn1.rufus.thread.0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9",
        "threadState": "THREAD_STATE_ACTIVE",
        "turnCount": 3,
        "lastTurnId": "turn-7d8e9f",
    },
    "experimentContext": {
        "treatments": {
            "RUFUS_DESKTOP_STREAMING_412": "T1",
            "RUFUS_FOLLOWUP_CHIPS_377": "C",
            "RUFUS_PRODUCT_CARDS_298": "T2",
            "RUFUS_MARKDOWN_RENDER_501": "T1",
            "RUFUS_LATENCY_GUARD_615": "C",
            "RUFUS_REVIEW_SNIPPETS_233": "T1",
        }
    },
    "suggestionsContext": {
        "suggestions": [
            "What do customers say about the battery life?",
            "Is it comfortable for long flights?",
            "How does it compare to the previous model?",
            "Does it support multipoint Bluetooth?",
            "What comes in the box?",
        ],
        "suggestionSetId": "set-44aa91",
    },
    "telemetry": {"pageLoadId": "pl-5f6e7d8c9b0a", "widgetVersion": "2.41.0", "renderTimeMs": 182},
}

SEED_BODY = json.dumps(_SEED)

SEED_HEADERS = {
    "Accept": "*/*",
    "Accept-Language": "en-US,en;q=0.9",
    "anti-csrftoken-a2z": "hF3kq9XyZ2m1wLpQ0vR8sT4uN6bC7dE5gJaKoIiMl",
    "Content-Type": "application/json",
    "Cookie": "session-id=134-5521987-2231456; ubid-main=131-2233445-5566778; i18n-prefs=USD",
    "Origin": "https://www.amazon.com",
    "Referer": "https://www.amazon.com/dp/B0CHX3QBCH?th=1&psc=1",
    "User-Agent": _SEED["clientContext"]["userAgent"],
    "x-amz-is-papyrus": "true",
    "x-amz-rufus-request-id": "9f1c2d3e-4b5a-6978-8a9b-0c1d2e3f4a5b",
}

SEED_RECORD = SeedRequestRecord(
    request_url=(
        "https://www.amazon.com/rufus/cl/streaming?marketplaceId=ATVPDKIKX0DER&locale=en_US"
        "&clientVersion=2.41.0&lang=en+US&tabId=old&requestId=9f1c2d3e"
    ),
    request_headers=SEED_HEADERS,
    request_body=SEED_BODY,
    tab_id="1872640193",
    asin=SEED_ASIN,
)

QUESTIONS = [
    "What do customers say about the battery life?",
    "Is it comfortable for long flights?",
    "Does it support multipoint Bluetooth?",
]
