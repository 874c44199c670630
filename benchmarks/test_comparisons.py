"""The benchmarks compare equal work: the plain-Python and Starlette versions answer like
the native modules, and the harness really measures admitted requests.

    .venv/bin/python -m pytest benchmarks/test_comparisons.py -q
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_gate  # noqa: E402
import bench_wrk  # noqa: E402
import pure_gate  # noqa: E402
import pure_replay  # noqa: E402
import starlette_gate  # noqa: E402
from workloads import API_KEY, QUESTIONS, SEED_BODY, SEED_RECORD, THREAD_ID, http_scope  # noqa: E402

from strovik.amazon_rufus.domain.exceptions import RufusReplayError  # noqa: E402
from strovik.amazon_rufus.domain.models import AnswerData, SeedRequestRecord  # noqa: E402
from strovik.mcp.context import mcp_request_ctx  # noqa: E402
from strovik.mcp.guardlet import ApiKeyGuardlet  # noqa: E402

replay_module = pytest.importorskip("strovik.amazon_rufus.services.replay")


# --------------------------------------------------------------------------- gate

SCOPES = {
    "query key": http_scope(query=b"api_key=" + API_KEY.encode()),
    "query key twice, first wins": http_scope(query=b"api_key=" + API_KEY.encode() + b"&api_key=other"),
    "bearer key": http_scope(extra_headers=[(b"authorization", b"Bearer " + API_KEY.encode())]),
    "bearer in capitals, padded": http_scope(extra_headers=[(b"Authorization", b"BEARER   " + API_KEY.encode() + b"  ")]),
    "blank query value, bearer key": http_scope(
        query=b"api_key=", extra_headers=[(b"authorization", b"Bearer " + API_KEY.encode())]
    ),
    "basic then bearer": http_scope(
        extra_headers=[(b"authorization", b"Basic eDp5"), (b"authorization", b"Bearer " + API_KEY.encode())]
    ),
    "wrong query key": http_scope(query=b"api_key=wrong"),
    "wrong bearer key": http_scope(extra_headers=[(b"authorization", b"Bearer wrong")]),
    "no key": http_scope(),
    "query not utf-8, bearer key": http_scope(
        query=b"api_key=\xff", extra_headers=[(b"authorization", b"Bearer " + API_KEY.encode())]
    ),
}


def run_gate(make_gate: Any, scope: dict[str, Any]) -> dict[str, Any]:
    seen: dict[str, Any] = {"messages": [], "app": None}

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        seen["app"] = (scope.get("mcp_api_key"), mcp_request_ctx.get())
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})

    async def send(message: dict[str, Any]) -> None:
        seen["messages"].append(message)

    bench_gate.run_once(make_gate(app), dict(scope), send)
    return seen


def answer(seen: dict[str, Any]) -> tuple[int, bytes, bytes | None]:
    start, body = seen["messages"][0], seen["messages"][-1]
    headers = dict(start["headers"])
    return start["status"], body["body"], headers.get(b"www-authenticate")


@pytest.mark.parametrize("label", list(SCOPES))
def test_gate_versions_answer_alike(label: str) -> None:
    scope = SCOPES[label]
    native = run_gate(lambda app: ApiKeyGuardlet(app, api_key=API_KEY), scope)
    pure = run_gate(lambda app: pure_gate.ApiKeyGuardlet(app, api_key=API_KEY), scope)
    star = run_gate(lambda app: starlette_gate.starlette_gate(app, api_key=API_KEY), scope)

    # The plain-Python gate sends the very same messages and publishes the same key and context.
    assert pure["messages"] == native["messages"]
    assert pure["app"] == native["app"]
    if label == "query not utf-8, bearer key":
        return  # Starlette reads query bytes as Latin-1, so its gate sees a (wrong) query key here
    # The Starlette gate differs in header details only (it adds content-length).
    assert answer(star) == answer(native)
    assert (star["app"] is None) == (native["app"] is None)
    if native["app"] is not None:
        assert native["app"] == (API_KEY, {"api_key": API_KEY, "user_id": None, "email": None})
        assert star["app"] == native["app"]


def test_each_benchmarked_variant_answers_each_path_as_expected() -> None:
    for name, asgi in bench_gate.variants().items():
        expected = {"query": 200, "bearer": 200, "rejected": 401 if name != "bare" else 200}
        assert bench_gate.statuses(asgi) == expected, name


def test_driving_an_app_that_suspends_is_refused() -> None:
    import asyncio

    async def sleepy(scope: Any, receive: Any, send: Any) -> None:
        await asyncio.sleep(0)

    with pytest.raises(RuntimeError, match="suspended"):
        bench_gate.run_once(sleepy, dict(SCOPES["no key"]))


# --------------------------------------------------------------------------- replay

json_scalar = st.none() | st.booleans() | st.integers(-10, 10) | st.text(max_size=4)
json_value = st.recursive(
    json_scalar,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=8,
)
context_names = st.sampled_from(
    ["queryContext", "pageContext", "bottomSheetContext", "impressionsContext", "historyThreadContext", "other"]
)
metadata = st.lists(
    st.one_of(
        st.fixed_dictionaries({"type": st.sampled_from(["ASIN", "asin", "BROWSE_NODE"]), "value": st.text(max_size=3)}),
        json_value,
    ),
    max_size=4,
)
page_context = st.dictionaries(
    st.sampled_from(["targetPageMetadata", "originPageMetadata", "originPageType", "x"]), metadata | json_value
)
history = st.fixed_dictionaries(
    {"threadId": st.text(max_size=3)}, optional={"threadState": json_scalar, "turnCount": json_scalar}
)
seed_object = st.dictionaries(context_names, page_context | history | json_value, max_size=6)


def both_services() -> tuple[Any, Any]:
    return replay_module.RufusReplayService(object()), pure_replay.RufusReplayService(object())


@settings(max_examples=300, deadline=None)
@given(
    seed=seed_object | json_value,
    question=st.text(max_size=6),
    thread_id=st.none() | st.text(max_size=3),
    asin=st.none() | st.sampled_from(["", "  ", " b0abc ", "B0CHX3QBCH"]),
)
def test_build_payload_versions_agree_in_content_and_key_order(seed, question, thread_id, asin) -> None:
    native, pure = both_services()
    body = json.dumps(seed)
    assert json.dumps(native.build_payload(body, question, thread_id, asin)) == json.dumps(
        pure.build_payload(body, question, thread_id, asin)
    )


@pytest.mark.parametrize("body", ["{", "[1,", "not json", '{"a": }'])
def test_build_payload_versions_refuse_bad_json_alike(body: str) -> None:
    for service in both_services():
        with pytest.raises(RufusReplayError) as caught:
            service.build_payload(body, "q")
        assert isinstance(caught.value.__cause__, json.JSONDecodeError)


@pytest.mark.parametrize(
    "url, tab_id",
    [
        (SEED_RECORD.request_url, SEED_RECORD.tab_id),
        ("https://www.amazon.com/rufus/cl/streaming", "7"),
        ("https://h/p?ref=keep&programId=&b&a=1&a=2#frag", None),
        ("https://h/p?q=a+b%20c&tabId=old", ""),
    ],
)
def test_build_replay_url_versions_agree(url: str, tab_id: str | None) -> None:
    seed = SeedRequestRecord(request_url=url, request_headers={}, request_body="", tab_id=tab_id)
    native, pure = both_services()
    assert native.build_replay_url(seed) == pure.build_replay_url(seed)


@pytest.mark.parametrize(
    "headers",
    [SEED_RECORD.request_headers, {}, {"CONTENT-TYPE": "text/plain", "content-type": "x"}, {"Cookie": "c"}],
)
def test_build_replay_headers_versions_agree(headers: dict[str, str]) -> None:
    native, pure = both_services()
    got = native._build_replay_headers(headers)
    assert list(got.items()) == list(pure._build_replay_headers(headers).items())


def test_replay_with_page_versions_send_the_same_requests() -> None:
    class Page:
        def __init__(self) -> None:
            self.calls: list[tuple[str, str]] = []

        def evaluate(self, script: str, arg: dict[str, Any]) -> str:
            self.calls.append((script, json.dumps(arg)))
            return str(len(self.calls))

    class Parser:
        def parse(self, raw_text: str) -> AnswerData:
            return AnswerData(thread_id=THREAD_ID if raw_text == "1" else None, text=raw_text)

    pages = []
    for cls in (replay_module.RufusReplayService, pure_replay.RufusReplayService):
        page = Page()
        answers = cls(Parser()).replay_with_page(page, SEED_RECORD, list(QUESTIONS))
        assert [a.text for a in answers] == ["1", "2", "3"]
        pages.append(page.calls)
    assert pages[0] == pages[1]
    assert THREAD_ID in pages[0][2][1] and THREAD_ID not in pages[0][0][1]
    assert json.loads(pages[0][0][1])["body"] == json.loads(
        json.dumps(pure_replay.RufusReplayService(object()).build_payload(SEED_BODY, QUESTIONS[0], None, "B0CHX3QBCH"))
    )


# --------------------------------------------------------------------------- end-to-end harness


@pytest.fixture(scope="module")
def native_server():
    server = bench_wrk.start("native")
    yield server
    server.stop()


@pytest.mark.parametrize("transport", ["query", "bearer"])
def test_wrk_measures_admitted_requests(native_server, transport: str) -> None:
    got = bench_wrk.run_wrk(native_server.port, transport, 1, 4, 1, native_server.process.pid)
    assert got["rps"] > 0 and got["non_2xx"] == 0 and got["socket_errors"] == 0
    assert got["cpu_us"] > 0


def test_wrk_notices_refused_requests(native_server, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(bench_wrk, "API_KEY", "not-the-key")
    got = bench_wrk.run_wrk(native_server.port, "query", 1, 4, 1)
    assert got["rps"] > 0 and got["non_2xx"] > 0
