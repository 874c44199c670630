"""Seed records as the browser extension saves them, and their validation."""

from __future__ import annotations

from typing import Any

import pytest

from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.domain.models import SeedRequestRecord, asin_from_page_url

BASE: dict[str, Any] = {
    "request_url": "https://www.amazon.com/rufus/cl/streaming?lang=en_US",
    "request_headers": {"Content-Type": "application/json", "anti-csrftoken-a2z": "tok"},
    "request_body": '{"queryContext": {}}',
}


def seed_with(**changes: Any) -> dict[str, Any]:
    data = dict(BASE)
    for key, value in changes.items():
        if value is ...:
            data.pop(key, None)
        else:
            data[key] = value
    return data


def test_full_record_keeps_every_field_as_given() -> None:
    record = SeedRequestRecord.from_dict(
        seed_with(tab_id="tab-7", asin=" b0abc12345 ", page_url="https://www.amazon.com/dp/B0ZZZZZZZZ", extra=[1])
    )
    assert record == SeedRequestRecord(
        request_url=BASE["request_url"],
        request_headers=BASE["request_headers"],
        request_body=BASE["request_body"],
        tab_id="tab-7",
        asin=" b0abc12345 ",
        page_url="https://www.amazon.com/dp/B0ZZZZZZZZ",
    )
    # The header dict is the record's own: later changes to the input do not leak in.
    assert record.request_headers is not BASE["request_headers"]


@pytest.mark.parametrize(
    ("changes", "expected"),
    [
        ({}, {"tab_id": None, "asin": None, "page_url": None}),
        ({"tab_id": 812}, {"tab_id": "812"}),
        ({"tab_id": None, "asin": None}, {"tab_id": None, "asin": None}),
        ({"request_body": ""}, {"request_body": ""}),
        ({"request_body": {"q": "ü", "n": [1]}}, {"request_body": '{"q": "ü", "n": [1]}'}),
        ({"request_url": "http://127.0.0.1:8/x"}, {"request_url": "http://127.0.0.1:8/x"}),
        ({"page_url": "https://www.amazon.com/Some-Name/dp/b0cx23v2zk?th=1"}, {"asin": "B0CX23V2ZK"}),
        ({"page_url": "https://www.amazon.com/gp/product/B0CX23V2ZK/ref=x"}, {"asin": "B0CX23V2ZK"}),
        ({"page_url": "https://www.amazon.com/s?k=mouse"}, {"asin": None}),
        ({"page_url": "https://www.amazon.com/dp/B0CX23V2ZKX"}, {"asin": None}),
        ({"asin": "B0EXPLICIT", "page_url": "https://www.amazon.com/dp/B0CX23V2ZK"}, {"asin": "B0EXPLICIT"}),
        ({"asin": "", "page_url": "https://www.amazon.com/dp/B0CX23V2ZK"}, {"asin": "B0CX23V2ZK"}),
    ],
    ids=[
        "optional-absent",
        "integer-tab-id",
        "explicit-nulls",
        "empty-body",
        "object-body-as-json-text",
        "plain-http-url",
        "asin-from-dp-path",
        "asin-from-gp-product",
        "no-asin-in-search-url",
        "eleven-characters-is-not-an-asin",
        "explicit-asin-wins",
        "empty-asin-falls-back",
    ],
)
def test_optional_fields(changes: dict[str, Any], expected: dict[str, Any]) -> None:
    record = SeedRequestRecord.from_dict(seed_with(**changes))
    assert {name: getattr(record, name) for name in expected} == expected


def test_webrequest_header_list_is_accepted_in_order() -> None:
    headers = [
        {"name": "Content-Type", "value": "application/json"},
        {"name": "Cookie", "value": "a=1"},
        {"name": "Content-Type", "value": "text/plain"},
    ]
    record = SeedRequestRecord.from_dict(seed_with(request_headers=headers))
    assert list(record.request_headers.items()) == [("Content-Type", "text/plain"), ("Cookie", "a=1")]
    assert type(record.request_headers) is dict


@pytest.mark.parametrize(
    ("data", "fragments"),
    [
        ([], ["seed record must be a JSON object, got list"]),
        (None, ["seed record must be a JSON object, got null"]),
        (seed_with(request_url=...), ["missing field 'request_url'"]),
        (
            seed_with(request_url=..., request_headers=..., request_body=...),
            ["missing fields 'request_url', 'request_headers', 'request_body'"],
        ),
        (seed_with(request_url=""), ["'request_url' must be a non-empty string, got str"]),
        (seed_with(request_url=5), ["'request_url' must be a non-empty string, got int"]),
        (seed_with(request_url="/rufus/cl/streaming"), ["'request_url' must be an absolute http(s) URL, got '/rufus"]),
        (seed_with(request_url="ftp://h/x"), ["'request_url' must be an absolute http(s) URL"]),
        (seed_with(request_url="https://"), ["'request_url' must be an absolute http(s) URL"]),
        (seed_with(request_body=[1]), ["'request_body' must be a string or an object, got list"]),
        (seed_with(request_body=None), ["'request_body' must be a string or an object, got null"]),
        (seed_with(request_headers="Cookie: 1"), ["'request_headers' must be an object or a list, got str"]),
        (seed_with(request_headers={"A": 1}), ["header 'A' must have a string name and a string value"]),
        (seed_with(request_headers=[{"name": "A"}]), ["request_headers[0] must be an object with 'name' and 'value'"]),
        (seed_with(tab_id=True), ["'tab_id' must be a string, an integer or null, got bool"]),
        (seed_with(tab_id=[1]), ["'tab_id' must be a string, an integer or null, got list"]),
        (seed_with(asin=123), ["'asin' must be a string or null, got int"]),
        (seed_with(page_url={}), ["'page_url' must be a string or null, got dict"]),
        (
            seed_with(request_url=..., request_body=7, asin=1),
            ["missing field 'request_url'", "'request_body' must be a string or an object, got int", "'asin' must be"],
        ),
    ],
)
def test_bad_records_name_every_problem(data: Any, fragments: list[str]) -> None:
    with pytest.raises(RufusReplayError) as caught:
        SeedRequestRecord.from_dict(data)
    message = str(caught.value)
    assert "\n" not in message
    for fragment in fragments:
        assert fragment in message
    assert caught.value.message == message


@pytest.mark.parametrize(
    ("url", "asin"),
    [
        ("https://www.amazon.com/dp/B0CX23V2ZK", "B0CX23V2ZK"),
        ("https://www.amazon.de/-/en/Name/dp/b0cx23v2zk/ref=sr_1_1?keywords=x", "B0CX23V2ZK"),
        ("https://www.amazon.com/gp/aw/d/B0CX23V2ZK#reviews", "B0CX23V2ZK"),
        ("https://www.amazon.com/dp/B0CX23", None),
        ("https://www.amazon.com/dpx/B0CX23V2ZK", None),
    ],
)
def test_asin_from_page_url(url: str, asin: str | None) -> None:
    assert asin_from_page_url(url) == asin


def test_replay_error_takes_one_message() -> None:
    error = RufusReplayError("seed request body 不是合法 JSON")
    assert error.args == ("seed request body 不是合法 JSON",)
    with pytest.raises(TypeError):
        RufusReplayError()  # type: ignore[call-arg]
