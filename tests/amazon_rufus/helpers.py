"""Recording collaborators and the stand-in Rufus endpoint used by the Rufus tests."""

from __future__ import annotations

import json
import socket
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace
from typing import Any


def ordered(value: Any) -> Any:
    """Nested dicts as lists of pairs, so that == also compares key order."""
    if isinstance(value, dict):
        return [(key, ordered(item)) for key, item in value.items()]
    if isinstance(value, list):
        return [ordered(item) for item in value]
    return value


class Answer:
    """An answer object as the drivers see it: only ``thread_id`` is read."""

    def __init__(self, thread_id: Any, label: str = "") -> None:
        self.thread_id = thread_id
        self.label = label

    def __repr__(self) -> str:
        return f"Answer({self.thread_id!r}, {self.label!r})"


class RecordingPage:
    """A page whose ``evaluate`` records each call and answers from a script of replies.

    A reply that is an exception instance is raised instead of returned. The argument
    object is recorded both as the object itself and as JSON text taken at call time,
    which keeps the key order and the state at the moment of the call.
    """

    def __init__(self, replies: list[Any] | None = None) -> None:
        self.replies = list(replies or [])
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []
        self.snapshots: list[str] = []

    def evaluate(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append((args, kwargs))
        if len(args) == 2:
            self.snapshots.append(json.dumps(args[1]))
        reply = self.replies.pop(0) if self.replies else f"raw-{len(self.calls)}"
        if isinstance(reply, BaseException):
            raise reply
        return reply


class RecordingParser:
    """A parser that records the raw texts it gets and returns scripted answers."""

    def __init__(self, answers: list[Any], on_parse: Callable[[int], None] | None = None) -> None:
        self.answers = list(answers)
        self.raw_texts: list[Any] = []
        self.on_parse = on_parse

    def parse(self, *args: Any, **kwargs: Any) -> Any:
        assert not kwargs and len(args) == 1, (args, kwargs)
        self.raw_texts.append(args[0])
        if self.on_parse is not None:
            self.on_parse(len(self.raw_texts))
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer


class RecordingSeed:
    """A seed record that logs every attribute read, in order."""

    def __init__(self, **fields: Any) -> None:
        object.__setattr__(self, "_fields", fields)
        object.__setattr__(self, "reads", [])

    def __getattr__(self, name: str) -> Any:
        fields = object.__getattribute__(self, "_fields")
        object.__getattribute__(self, "reads").append(name)
        if name not in fields:
            raise AttributeError(name)
        return fields[name]


def make_seed(**overrides: Any) -> SimpleNamespace:
    fields: dict[str, Any] = {
        "request_url": "https://www.amazon.com/rufus/cl/streaming?lang=en_US",
        "request_headers": {"Content-Type": "application/json", "Cookie": "session-id=1"},
        "request_body": "{}",
        "tab_id": "tab-1",
        "asin": "B0TESTASIN",
    }
    fields.update(overrides)
    return SimpleNamespace(**fields)


# --- stand-in Rufus endpoint -------------------------------------------------------------

PRODUCT_PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>Test product</title></head>
<body><h1 id="title">Stand-in product {asin}</h1></body></html>
"""


# Added to the product page loaded with ?ask=1: the page asks Rufus once by itself, as the
# real page does when the user asks a question, with a body and headers of Rufus's shape.
ASKING_SCRIPT = """<script>
fetch("/rufus/cl/streaming?marketplaceId=ATVPDKIKX0DER&lang=en_US", {
  method: "POST",
  headers: {"Content-Type": "application/json", "Anti-CSRFToken-A2Z": "page-token", "X-Amz-Is-Papyrus": "true"},
  body: JSON.stringify({
    clientId: "rufus-page",
    queryContext: {query: "What's in the box?", locale: "en_US"},
    pageContext: {pageType: "Detail", originPageMetadata: [{type: "ASIN", value: "%s"}]},
    historyThreadContext: {threadState: "NEW", turn: 0}
  })
}).then(response => response.text()).then(() => { document.title = "asked"; });
</script>
"""


@dataclass
class RecordedPost:
    path: str
    headers: list[tuple[str, str]]
    body: str

    def header(self, name: str) -> list[str]:
        return [value for key, value in self.headers if key.lower() == name.lower()]


@dataclass
class Fault:
    """How the stand-in misbehaves for one POST: another status (with ``body`` in place of
    the answer when given), a connection broken without an answer, or no answer until
    the server stops (at most ``HANG_LIMIT`` seconds)."""

    status: int = 200
    body: str | None = None
    drop: bool = False
    hang: bool = False


HANG_LIMIT = 60.0


def split_records(text: str) -> list[str]:
    """``text`` as two "text" records cut after its first high surrogate (else in the
    middle), written with ASCII escapes, as a stream may cut an emoji in two."""
    units = text.encode("utf-16-le")
    cut = next((i + 2 for i in range(0, len(units), 2) if 0xD8 <= units[i + 1] <= 0xDB), len(units) // 4 * 2)
    halves = [units[:cut].decode("utf-16-le", "surrogatepass"), units[cut:].decode("utf-16-le", "surrogatepass")]
    return [json.dumps({"text": half}) for half in halves]


@dataclass
class RufusStandIn:
    """A product page and a Rufus-like streaming endpoint on one 127.0.0.1 origin.

    Every POST is recorded. The n-th POST is answered, as newline-delimited JSON, with
    the thread id "thread-<n>" and the text "Answer <n>: about <question>" in three
    fragments, the question cut in two between records (inside its first surrogate pair
    when it has one); a fresh id per answer makes it visible which answer's id the next
    question carries. POST numbers in ``broken_posts`` get an HTML page instead, as an
    expired session would, and those in ``faults`` misbehave as described there. With
    ``session_cookie`` set, a POST without that cookie is refused with 403, as the real
    service refuses a browser that is not signed in; ``page_sets_cookie`` makes the
    product page set it (a sign-in). ``delay`` seconds pass before each answer. Loaded
    with ``?ask=1``, the product page sends a Rufus request itself (``ASKING_SCRIPT``).
    """

    base_url: str = ""
    posts: list[RecordedPost] = field(default_factory=list)
    broken_posts: set[int] = field(default_factory=set)
    faults: dict[int, Fault] = field(default_factory=dict)
    session_cookie: str | None = None
    page_sets_cookie: bool = False
    page_status: int = 200
    delay: float = 0.0
    lock: threading.Lock = field(default_factory=threading.Lock)
    stopped: threading.Event = field(default_factory=threading.Event)

    def record(self, post: RecordedPost) -> int:
        with self.lock:
            self.posts.append(post)
            return len(self.posts)

    def answer(self, number: int, body: str) -> tuple[str, str]:
        if number in self.broken_posts:
            return "text/html", "<html><body>Sign in</body></html>"
        query = json.loads(body)["queryContext"]["query"]
        lines = [
            json.dumps({"threadId": f"thread-{number}", "messageId": f"m-{number}", "text": f"Answer {number}: "}),
            *split_records(f"about {query}"),
            json.dumps({"threadId": f"thread-{number}", "done": True}),
        ]
        return "application/x-ndjson", "".join(line + "\n" for line in lines)

    def signed_in(self, post: RecordedPost) -> bool:
        if self.session_cookie is None:
            return True
        sent = [part.strip() for value in post.header("cookie") for part in value.split(";")]
        return self.session_cookie in sent


def _handler_for(stand_in: RufusStandIn) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # Headers and body go out in two writes; with Nagle's algorithm the body would wait
        # for the client's delayed ACK (about 40 ms) on a kept-alive connection.
        disable_nagle_algorithm = True

        def log_message(self, format: str, *args: Any) -> None:
            pass

        def _reply(self, status: int, content_type: str, text: str, *extra: tuple[str, str]) -> None:
            data = text.encode("utf-8")
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            for name, value in extra:
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self) -> None:
            if self.path.startswith("/dp/"):
                asin = self.path.split("/")[2].split("?")[0]
                cookie = stand_in.session_cookie if stand_in.page_sets_cookie else None
                extra = [("Set-Cookie", f"{cookie}; Max-Age=3600; Path=/")] if cookie else []
                page = PRODUCT_PAGE.format(asin=asin)
                if "ask=1" in self.path.partition("?")[2]:
                    page += ASKING_SCRIPT % asin
                self._reply(stand_in.page_status, "text/html; charset=utf-8", page, *extra)
            else:
                self._reply(404, "text/plain", "not found")

        def do_POST(self) -> None:
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length).decode("utf-8")
            post = RecordedPost(self.path, list(self.headers.items()), body)
            number = stand_in.record(post)
            fault = stand_in.faults.get(number, Fault())
            if fault.hang:
                stand_in.stopped.wait(HANG_LIMIT)
            if stand_in.delay:
                stand_in.stopped.wait(stand_in.delay)
            if fault.drop or fault.hang:
                # Bytes that are not HTTP: the browser gives up on the request rather than
                # sending it again, as it would after a silently closed connection.
                self.close_connection = True
                try:
                    self.wfile.write(b"\x00 not http\r\n\r\n")
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass  # the browser gave up first
                return
            if not stand_in.signed_in(post):
                self._reply(403, "text/html", "<!DOCTYPE html>\n<html><body>Sign in to continue</body></html>")
                return
            content_type, text = stand_in.answer(number, body)
            self._reply(fault.status, content_type, text if fault.body is None else fault.body)

    return Handler


@contextmanager
def serve_standin() -> Iterator[RufusStandIn]:
    """Runs a RufusStandIn on a free 127.0.0.1 port for the duration of the block."""
    stand_in = RufusStandIn()
    server = ThreadingHTTPServer(("127.0.0.1", 0), _handler_for(stand_in))
    server.daemon_threads = True
    stand_in.base_url = f"http://127.0.0.1:{server.server_address[1]}"
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield stand_in
    finally:
        stand_in.stopped.set()
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)
