"""The command line's refusals, and the masking that keeps keys out of the server's logs."""

from __future__ import annotations

import io
import logging
import os
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest
from uvicorn.logging import AccessFormatter

from strovik.mcp.redaction import VERIFY_FAILURE_FORMAT, KeyRedactingFilter, key_preview, redact_target

SECRET = "s3cret-Value-Of-The-Key"
BACKEND = "http://127.0.0.1:9/v1/mcp/verify-key"


def _run_cli(*args: str, program: list[str] | None = None) -> subprocess.CompletedProcess[str]:
    env = {key: value for key, value in os.environ.items() if key != "STROVIK_MCP_API_KEY"}
    command = program or [sys.executable, "-m", "strovik.mcp"]
    return subprocess.run(
        [*command, *args], capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL, timeout=60
    )


@pytest.fixture(scope="module")
def busy_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen()
        yield sock.getsockname()[1]


BAD_OPTIONS = [
    pytest.param(["--port", "{busy}"], "cannot listen on 127.0.0.1:{busy}: address already in use", id="port-in-use"),
    pytest.param(["--host", "203.0.113.7", "--port", "0"], "cannot listen on 203.0.113.7:0", id="foreign-address"),
    pytest.param(["--host", " "], "--host must not be empty", id="blank-host"),
    pytest.param(["--port", "70000"], "out of range", id="port-out-of-range"),
    pytest.param(["--port", "eighty"], "invalid port 'eighty'", id="port-not-a-number"),
    pytest.param(["--auth-verify-url", "ftp://example.test/verify"], "must be an http:// or https:// URL", id="ftp-url"),
    pytest.param(["--auth-verify-url", "example.test/v1/mcp/verify-key"], "must be an http:// or https:// URL", id="no-scheme"),
    pytest.param(["--auth-verify-url", "http:///verify"], "must be an http:// or https:// URL", id="no-host"),
    pytest.param(["--api-key", SECRET, "--auth-verify-url", BACKEND], "exclude each other", id="key-and-url"),
    pytest.param(["--api-key", ""], "--api-key must not be empty", id="empty-key"),
    pytest.param(["--verify-pool"], "--verify-pool needs --auth-verify-url", id="pool-without-url"),
    pytest.param(["--api-key", SECRET, "--verify-cache-ttl", "5"], "--verify-cache-ttl needs --auth-verify-url", id="ttl-without-url"),
    pytest.param(["--verify-outage-status", "503"], "--verify-outage-status needs --auth-verify-url", id="outage-without-url"),
    pytest.param(
        ["--auth-verify-url", BACKEND, "--verify-per-request-client", "--verify-outage-status", "503"],
        "needs the pooled check",
        id="outage-with-per-request-client",
    ),
    pytest.param(["--auth-verify-url", BACKEND, "--verify-outage-status", "502"], "invalid choice", id="outage-status"),
    pytest.param(["--allowed-host", "https://proxy.test/"], "--allowed-host takes a host name", id="allowed-host-url"),
    pytest.param(["--auth-verify-url", BACKEND, "--verify-pool", "--verify-cache-ttl", "-1"], ">= 0", id="negative-ttl"),
    pytest.param(["--auth-verify-url", BACKEND, "--verify-pool", "--verify-cache-ttl", "nan"], ">= 0", id="nan-ttl"),
    pytest.param(["--log-level", "loud"], "invalid choice", id="log-level"),
    pytest.param(["--port", "0", "--metrics-port", "{busy}"], "cannot serve metrics on 127.0.0.1:{busy}", id="metrics-port-in-use"),
    pytest.param(["--workers", "0"], "must be at least 1", id="no-workers"),
    pytest.param(["--node", "host.a"], "--node takes letters, digits", id="node-name"),
    pytest.param(["--unknown-option"], "unrecognized arguments", id="unknown-option"),
]


@pytest.mark.parametrize(("args", "expected"), BAD_OPTIONS)
def test_bad_options_end_with_one_line_and_a_nonzero_exit(busy_port, args, expected):
    args = [arg.format(busy=busy_port) for arg in args]
    result = _run_cli(*args)
    assert result.returncode != 0
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("strovik-mcp: error: ")
    assert expected.format(busy=busy_port) in lines[0]
    assert SECRET not in result.stderr


def test_console_script_refuses_the_same_way(busy_port):
    script = shutil.which("strovik-mcp", path=str(Path(sys.executable).parent))
    program = [script] if script else [sys.executable, "-c", "import sys; from strovik.mcp.server import main; sys.exit(main())"]
    result = _run_cli("--port", str(busy_port), program=program)
    assert result.returncode == 1
    assert result.stderr == f"strovik-mcp: error: cannot listen on 127.0.0.1:{busy_port}: address already in use\n"


@pytest.mark.parametrize(
    ("key", "masked"),
    [(None, None), ("", "***"), ("abc", "***"), ("abcdefgh", "ab***"), ("k" * 43, "kkkk***")],
)
def test_key_preview_never_shows_more_than_a_quarter(key, masked):
    assert key_preview(key) == masked


@pytest.mark.parametrize(
    ("target", "expected"),
    [
        ("/sse", "/sse"),
        ("/sse?api_key=" + SECRET, "/sse?api_key=***"),
        ("/m?session_id=abc&api_key=" + SECRET + "&x=1", "/m?session_id=abc&api_key=***&x=1"),
        ("/m?api_key=a&api_key=b", "/m?api_key=***&api_key=***"),
        ("/m?api%5Fkey=" + SECRET, "/m?api%5Fkey=***"),
        ("/m?api_key", "/m?api_key"),
        ("/m?my_api_key=visible", "/m?my_api_key=visible"),
    ],
)
def test_request_targets_lose_their_key_values(target, expected):
    assert redact_target(target) == expected


def _emit(record: logging.LogRecord, formatter: logging.Formatter | None = None, known=(SECRET,)) -> str:
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(formatter or logging.Formatter("%(levelname)s %(name)s %(message)s"))
    handler.addFilter(KeyRedactingFilter(list(known)))
    handler.handle(record)
    return stream.getvalue()


def _record(name: str, msg: str, *args: object, exc_info=None) -> logging.LogRecord:
    return logging.LogRecord(name, logging.INFO, __file__, 1, msg, args, exc_info)


def test_uvicorn_access_record_keeps_its_shape_and_loses_the_key():
    record = _record(
        "uvicorn.access", '%s - "%s %s HTTP/%s" %d', "127.0.0.1:5000", "GET", f"/sse?api_key={SECRET}", "1.1", 200
    )
    line = _emit(record, AccessFormatter('%(client_addr)s - "%(request_line)s" %(status_code)s', use_colors=False))
    assert line == '127.0.0.1:5000 - "GET /sse?api_key=*** HTTP/1.1" 200 OK\n'


OTHER_KEY = "unknown-Remote-Key-77"


@pytest.mark.parametrize(
    ("msg", "args"),
    [
        ('HTTP Request: %s %s "%s"', ("GET", f"http://b/verify?api_key={OTHER_KEY}", "HTTP/1.1 200 OK")),
        ("scope %r", ({"api_key": OTHER_KEY, "user_id": 1},)),
        ("json %s", (f'{{"api_key": "{OTHER_KEY}"}}',)),
        ("headers %r", ([(b"x-mcp-api-key", OTHER_KEY.encode())],)),
        ("sent %s", (f"X-MCP-API-Key: {OTHER_KEY}",)),
        ("auth %s", (f"Authorization: Bearer {OTHER_KEY}",)),
        ("failed: %s", (f"Illegal header value b'{OTHER_KEY}\\n'",)),
        ("the configured key %s showed up", (SECRET,)),
    ],
    ids=["url-query", "dict-repr", "json", "header-pairs", "header-line", "bearer", "illegal-header", "known-key"],
)
def test_any_record_that_shows_a_key_is_masked(msg, args):
    text = _emit(_record("some.library", msg, *args))
    assert OTHER_KEY not in text and SECRET not in text
    assert "***" in text


def test_tracebacks_are_masked_too():
    try:
        raise ValueError(f"backend said: bad key {SECRET} for Bearer {OTHER_KEY}")
    except ValueError:
        text = _emit(_record("strovik.mcp", "check failed", exc_info=sys.exc_info()))
    assert "Traceback" in text and "ValueError" in text
    assert SECRET not in text and OTHER_KEY not in text


@pytest.mark.parametrize("exc", [TimeoutError(), ConnectionError("")], ids=["timeout", "empty-text"])
def test_an_exception_without_text_is_shown_by_its_type(exc):
    text = _emit(_record("strovik.mcp", VERIFY_FAILURE_FORMAT, exc))
    assert text.rstrip().endswith(": " + type(exc).__name__)


def test_records_without_keys_pass_unchanged():
    record = _record("strovik.mcp", "MCP Server 运行在远程校验模式，校验地址: %s", "https://b.test/v1/mcp/verify-key")
    text = _emit(record)
    assert text == "INFO strovik.mcp MCP Server 运行在远程校验模式，校验地址: https://b.test/v1/mcp/verify-key\n"
    assert record.args == ("https://b.test/v1/mcp/verify-key",)
