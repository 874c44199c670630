"""Keeping API keys out of everything the server writes: log records, failure warnings, whoami.

One place for it: the server's log filter, the pooled key check's failure warning and
the ``whoami`` tool all use these functions.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Iterable, Sequence
from urllib.parse import parse_qs, quote, quote_plus, unquote_plus

MASK = "***"

# The remote key check's failure warning (the gate module's own text, so that both
# checks read alike in a log).
VERIFY_FAILURE_FORMAT = "远程校验 API Key 失败: %s"


def key_preview(key: str | None) -> str | None:
    """A key shortened for display: at most a quarter of it, never more than four characters."""
    if key is None:
        return None
    shown = min(4, len(key) // 4)
    return key[:shown] + MASK


def key_spellings(key: str) -> list[str]:
    """The forms in which ``key`` shows up in a text, longest first, each once.

    As it is; as ``repr`` of the text or of its UTF-8 bytes shows it (HTTP libraries quote
    a header value they refuse that way); percent-encoded, as it travels in a query. A lone
    surrogate, which UTF-8 cannot encode, is taken as the bytes repr escapes it. Forms of
    equal length keep this order.

    The gate module carries its own copy of this definition (it imports nothing of the
    host, and masks the HTTP client's records while it verifies a key); a differential
    test holds that copy to this one.
    """
    raw = key.encode("utf-8", "backslashreplace")
    forms = dict.fromkeys([key, repr(key)[1:-1], repr(raw)[2:-1], quote(raw, safe=""), quote_plus(raw, safe="")])
    return sorted((form for form in forms if form), key=len, reverse=True)


def failure_detail(exc: BaseException, key: str | None = None) -> object:
    """What a failure warning shows of ``exc``: never the key, never an empty text.

    An exception whose text is empty (a timeout, often) is shown by its type name.
    """
    text = str(exc)
    if not text:
        return type(exc).__name__
    if key:
        masked = text
        for spelling in key_spellings(key):
            masked = masked.replace(spelling, MASK)
        if masked != text:
            return masked
    return exc


# "name=value" pairs whose name is api_key (also percent-encoded, since the query
# parser decodes names too).
_PAIR_RE = re.compile(r"(?i)\b(api(?:_|%5f)key=)[^&\s\"'<>#;,)\]]*")
# "api_key": "value" as dict or JSON text shows it.
_QUOTED_RE = re.compile(r"(?i)([\"']api_key[\"']\s*:\s*[\"'])[^\"']*")
# Header forms: "X-MCP-API-Key: value", ('x-mcp-api-key', 'value'), b'x-mcp-api-key': b'value'.
_HEADER_RE = re.compile(r"(?i)(x-mcp-api-key[\"']?\s*[:=,]\s*b?[\"']?)[^\s\"',)}\]]+")
_BEARER_RE = re.compile(r"(?i)\b(bearer\s+)[^\s\"',)}\]]+")
# An HTTP library refusing a header quotes its value; the only header a key check
# sends with a value of its own is the key.
_ILLEGAL_HEADER_RE = re.compile(r"(?i)(illegal header value\s*)[^\r\n]*")


def redact_text(text: str, known_keys: Iterable[str] = ()) -> str:
    """Mask everything in ``text`` that is, or looks like, an API key."""
    for key in known_keys:
        if key and key in text:
            text = text.replace(key, MASK)
    text = _PAIR_RE.sub(r"\1" + MASK, text)
    text = _QUOTED_RE.sub(r"\1" + MASK, text)
    text = _HEADER_RE.sub(r"\1" + MASK, text)
    text = _ILLEGAL_HEADER_RE.sub(r"\1" + MASK, text)
    return _BEARER_RE.sub(r"\1" + MASK, text)


def query_api_key(query_string: bytes) -> str | None:
    """The first non-blank ``api_key`` query value, read the way the gate reads it.

    The host's one reading of that value. The gate module reads it natively from the
    raw bytes (it imports nothing of the host); tests/test_query_parity.py holds both
    to ``parse_qs`` of the strictly decoded text.
    """
    try:
        text = query_string.decode("utf-8")
    except UnicodeDecodeError:
        return None
    values = parse_qs(text).get("api_key")
    return values[0] if values else None


def redact_target(target: str) -> str:
    """Mask the values of ``api_key`` in a request target (path plus raw query).

    Not a reading of the key (``query_api_key`` is): every ``api_key`` field is masked
    in place, blank and repeated ones too, with its name decoded as the query parser
    decodes names, so that the gate finds no key left but the mask.
    """
    path, sep, query = target.partition("?")
    if not sep:
        return target
    pieces = []
    for piece in query.split("&"):
        name, eq, _value = piece.partition("=")
        if eq and unquote_plus(name) == "api_key":
            piece = name + "=" + MASK
        pieces.append(piece)
    return path + "?" + "&".join(pieces)


class KeyRedactingFilter(logging.Filter):
    """Handler filter that rewrites records so that no API key reaches the output.

    uvicorn's access records keep their argument tuple (its formatter unpacks it);
    only the request target in it is rewritten. Any other record whose rendered
    text holds a key-like value is replaced by its masked text, its traceback
    included. An exception argument whose text is empty is shown by its type name,
    so that a warning never ends in nothing.
    """

    def __init__(self, known_keys: Sequence[str] = ()) -> None:
        super().__init__()
        self.known_keys = [key for key in known_keys if key]

    def filter(self, record: logging.LogRecord) -> bool:
        args = record.args
        if record.name == "uvicorn.access" and isinstance(args, tuple) and len(args) == 5:
            target = args[2]
            if isinstance(target, str):
                target = redact_text(redact_target(target), self.known_keys)
                record.args = (args[0], args[1], target, args[3], args[4])
            return True
        if isinstance(args, tuple) and any(isinstance(arg, BaseException) and not str(arg) for arg in args):
            record.args = tuple(failure_detail(arg) if isinstance(arg, BaseException) else arg for arg in args)
        try:
            message = record.getMessage()
        except Exception:
            # A broken record is reported by the handler itself; show it without its
            # arguments so that they cannot leak through the error report.
            record.msg = redact_text(str(record.msg), self.known_keys)
            record.args = None
            return True
        cleaned = redact_text(message, self.known_keys)
        if cleaned != message:
            record.msg = cleaned
            record.args = None
            record.__dict__.pop("color_message", None)
        if record.exc_info and not record.exc_text:
            record.exc_text = logging.Formatter().formatException(record.exc_info)
        if record.exc_text:
            record.exc_text = redact_text(record.exc_text, self.known_keys)
        if record.stack_info:
            record.stack_info = redact_text(record.stack_info, self.known_keys)
        return True
