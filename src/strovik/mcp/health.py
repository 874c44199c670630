"""``GET /healthz`` for a balancer's health check: answered before the API-key gate, with no key.

200 ``{"status": "ok"}`` while the worker serves, 503 ``{"status": "stopping"}`` once it
has been told to stop, so that a balancer sends nothing more its way. With the Rufus
tools on, the pool's ``size``, ``busy`` and ``waiting`` counts are added under
``"rufus"``. Nothing about keys or users is in the answer.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from starlette.types import ASGIApp, Receive, Scope, Send

HEALTH_PATH = "/healthz"


class Health:
    """ASGI layer that answers ``/healthz`` itself and passes everything else on."""

    def __init__(self, app: ASGIApp, rufus_state: Callable[[], dict[str, int] | None] | None = None) -> None:
        self.app = app
        self.rufus_state = rufus_state
        self.stopping = False

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or scope["path"] != HEALTH_PATH:
            await self.app(scope, receive, send)
            return
        answer: dict[str, object] = {"status": "stopping" if self.stopping else "ok"}
        if self.rufus_state is not None:
            answer["rufus"] = self.rufus_state()
        body = json.dumps(answer).encode()
        headers = [
            (b"content-type", b"application/json"),
            (b"content-length", str(len(body)).encode()),
            (b"cache-control", b"no-store"),
        ]
        await send({"type": "http.response.start", "status": 503 if self.stopping else 200, "headers": headers})
        await send({"type": "http.response.body", "body": b"" if scope["method"] == "HEAD" else body})
