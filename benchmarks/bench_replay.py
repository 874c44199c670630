"""The Rufus replay helpers, native against plain Python, side by side.

Measured on a captured request of about 2 KB (workloads.SEED_BODY) with a thread id
and an ASIN: build_payload, build_replay_url, _build_replay_headers,
_upsert_asin_metadata, and replay_with_page over three questions with a page whose
``evaluate`` answers at once and a parser that returns a ready answer (so the rows
show the service's own work, not a browser's).

Until the native module imports, only the plain-Python rows are measured.

Usage: python benchmarks/bench_replay.py [pyperf options, e.g. --fast -o out.json]
"""

from __future__ import annotations

import os
import sys
from time import perf_counter
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pure_replay  # noqa: E402
import pyperf  # noqa: E402
from workloads import QUESTIONS, SEED_ASIN, SEED_BODY, SEED_RECORD, THREAD_ID  # noqa: E402

from strovik.amazon_rufus.domain.models import AnswerData  # noqa: E402

NativeService: Any
try:
    from strovik.amazon_rufus.services.replay import RufusReplayService as NativeService
except ImportError as exc:  # the native module is not built yet
    NativeService = None
    NATIVE_MISSING = str(exc)


class InstantPage:
    """A page whose script answers at once with the same text."""

    def evaluate(self, script: str, arg: dict[str, Any]) -> str:
        return '{"threadId": "t-1", "text": "ok"}'


class ReadyParser:
    def __init__(self) -> None:
        self.answer = AnswerData(thread_id=THREAD_ID, text="ok")

    def parse(self, raw_text: str) -> AnswerData:
        return self.answer


def services() -> dict[str, Any]:
    found: dict[str, Any] = {"pure": pure_replay.RufusReplayService(ReadyParser())}
    if NativeService is not None:
        found["native"] = NativeService(ReadyParser())
    return found


def time_build_payload(loops: int, service: Any) -> float:
    build = service.build_payload
    body, question, thread_id, asin = SEED_BODY, QUESTIONS[0], THREAD_ID, SEED_ASIN
    t0 = perf_counter()
    for _ in range(loops):
        build(body, question, thread_id, asin)
    return perf_counter() - t0


def time_build_replay_url(loops: int, service: Any) -> float:
    build = service.build_replay_url
    seed = SEED_RECORD
    t0 = perf_counter()
    for _ in range(loops):
        build(seed)
    return perf_counter() - t0


def time_build_replay_headers(loops: int, service: Any) -> float:
    build = service._build_replay_headers
    headers = SEED_RECORD.request_headers
    t0 = perf_counter()
    for _ in range(loops):
        build(headers)
    return perf_counter() - t0


def time_upsert_asin(loops: int, service: Any) -> float:
    upsert = service._upsert_asin_metadata
    page_context = {
        "originPageType": "DETAIL_PAGE",
        "targetPageMetadata": [
            {"type": "PARENT_ASIN", "value": "B0CHX1W4PF"},
            {"type": "BROWSE_NODE", "value": "172282"},
            {"type": "ASIN", "value": "B000000000"},
        ],
    }
    t0 = perf_counter()
    for _ in range(loops):
        upsert(page_context, "targetPageMetadata", SEED_ASIN)
    return perf_counter() - t0


def time_replay_with_page(loops: int, service: Any) -> float:
    replay = service.replay_with_page
    page, seed, questions = InstantPage(), SEED_RECORD, list(QUESTIONS)
    t0 = perf_counter()
    for _ in range(loops):
        replay(page, seed, questions)
    return perf_counter() - t0


def check(found: dict[str, Any]) -> None:
    """Both services must give the same results, or the timings compare different work."""
    if "native" not in found:
        return
    native, pure = found["native"], found["pure"]
    pairs = [
        ("build_payload", lambda s: s.build_payload(SEED_BODY, QUESTIONS[0], THREAD_ID, SEED_ASIN)),
        ("build_replay_url", lambda s: s.build_replay_url(SEED_RECORD)),
        ("_build_replay_headers", lambda s: s._build_replay_headers(SEED_RECORD.request_headers)),
    ]
    for name, run in pairs:
        a, b = run(native), run(pure)
        if a != b or (isinstance(a, dict) and list(a) != list(b)):
            raise SystemExit(f"bench_replay: {name} differs between the native and the pure-Python service")


BENCHES = [
    ("build_payload", time_build_payload),
    ("build_replay_url", time_build_replay_url),
    ("_build_replay_headers", time_build_replay_headers),
    ("_upsert_asin_metadata", time_upsert_asin),
    ("replay_with_page x3", time_replay_with_page),
]


def main() -> None:
    runner = pyperf.Runner()
    runner.metadata["description"] = "Rufus replay helpers, native against plain Python"
    args = runner.parse_args()
    found = services()
    if "native" not in found and not args.worker:
        print(f"bench_replay: native module not importable ({NATIVE_MISSING}); measuring plain Python only",
              file=sys.stderr)
    check(found)
    for label, func in BENCHES:
        for name, service in found.items():
            runner.bench_time_func(f"replay {label} {name}", func, service)


if __name__ == "__main__":
    main()
