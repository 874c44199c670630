"""The server process's logging: uvicorn's formats, and no API key in anything written."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from strovik.mcp.redaction import KeyRedactingFilter


def logging_config(level: str, known_keys: Sequence[str] = ()) -> dict[str, Any]:
    """A :func:`logging.config.dictConfig` set-up with one redacting filter on every handler.

    Errors go to stderr, uvicorn's access lines to stdout. ``known_keys`` (the fixed key)
    are masked wherever they appear. The HTTP client libraries stay at WARNING: at INFO
    they log each request URL, and a remote key check carries the key in its URL.
    """
    level = level.upper()
    redact = {"()": KeyRedactingFilter, "known_keys": list(known_keys)}
    return {
        "version": 1,
        "disable_existing_loggers": False,
        "filters": {"redact": redact},
        "formatters": {
            "default": {"()": "uvicorn.logging.DefaultFormatter", "fmt": "%(levelprefix)s %(name)s: %(message)s"},
            "access": {
                "()": "uvicorn.logging.AccessFormatter",
                "fmt": '%(levelprefix)s %(client_addr)s - "%(request_line)s" %(status_code)s',
            },
        },
        "handlers": {
            "default": {
                "class": "logging.StreamHandler",
                "formatter": "default",
                "filters": ["redact"],
                "stream": "ext://sys.stderr",
            },
            "access": {
                "class": "logging.StreamHandler",
                "formatter": "access",
                "filters": ["redact"],
                "stream": "ext://sys.stdout",
            },
        },
        "loggers": {
            "uvicorn": {"handlers": ["default"], "level": level, "propagate": False},
            "uvicorn.error": {"level": level},
            "uvicorn.access": {"handlers": ["access"], "level": level, "propagate": False},
            "httpx": {"level": "WARNING"},
            "httpcore": {"level": "WARNING"},
            "aiohttp": {"level": "WARNING"},
        },
        "root": {"handlers": ["default"], "level": level},
    }
