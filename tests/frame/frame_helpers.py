"""Tools for driving the guardlet's native coroutines by hand and for inspecting what they leave behind.

The coroutine methods of the gate await whatever the ASGI ``send`` callable returns, so a ``send`` that
hands back one of the awaitables below gives a test full control over every suspension point.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import traceback
from typing import Any, Callable


def finish(coro: Any) -> Any:
    """Resume a coroutine that is expected to run to its end in one step and return its result."""
    try:
        yielded = coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise AssertionError(f"coroutine suspended unexpectedly, yielding {yielded!r}")


def tb_entries(exc: BaseException) -> list[traceback.FrameSummary]:
    return list(traceback.extract_tb(exc.__traceback__))


def tb_names(exc: BaseException) -> list[str]:
    return [entry.name for entry in tb_entries(exc)]


def source_path(path: str) -> str:
    return path.replace("\\", "/")


class Pause:
    """Awaitable whose await iterator is a plain generator: it yields ``value`` once, then returns what it
    was sent. Everything that happens to the generator is written to ``log``."""

    def __init__(self, value: Any = "pause", log: list | None = None, catch: type | None = None):
        self.value = value
        self.log = log if log is not None else []
        self.catch = catch
        self.iterator: Any = None

    def __await__(self):
        self.iterator = self._run()
        return self.iterator

    def _run(self):
        try:
            got = yield self.value
        except BaseException as exc:
            self.log.append(("thrown", type(exc)))
            if self.catch is not None and isinstance(exc, self.catch):
                got = yield "caught"
                self.log.append(("resumed", got))
                return got
            raise
        finally:
            self.log.append("finally")
        self.log.append(("resumed", got))
        return got


class Ready:
    """Awaitable that completes at once with ``result``."""

    def __init__(self, result: Any = None):
        self.result = result

    def __await__(self):
        return self.result
        yield  # pragma: no cover - makes this a generator function


class NextOnly:
    """An iterator with ``__next__`` only (no send/throw/close): yields its values, then stops with ``result``."""

    def __init__(self, values: list, result: Any = None):
        self.values = list(values)
        self.result = result
        self.nexts = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.nexts += 1
        if self.values:
            return self.values.pop(0)
        raise StopIteration(self.result)


class Closable(NextOnly):
    """A ``NextOnly`` iterator that also records calls of ``close``."""

    def __init__(self, values: list, result: Any = None):
        super().__init__(values, result)
        self.closed = 0

    def close(self):
        self.closed += 1


class AwaitReturning:
    """Awaitable whose ``__await__`` returns a fixed object (an iterator, or something invalid)."""

    def __init__(self, returned: Any):
        self.returned = returned

    def __await__(self):
        return self.returned


class PausingSend:
    """ASGI send callable: records each message and returns a fresh ``Pause`` for it.

    ``on_call`` runs inside the call, that is while the calling coroutine's body is executing."""

    def __init__(self, on_call: Callable[[dict], None] | None = None, catch: type | None = None):
        self.messages: list = []
        self.pauses: list[Pause] = []
        self.log: list = []
        self.on_call = on_call
        self.catch = catch

    def __call__(self, message):
        self.messages.append(message)
        if self.on_call is not None:
            self.on_call(message)
        pause = Pause(f"pause-{len(self.messages)}", self.log, self.catch)
        self.pauses.append(pause)
        return pause


class ReturningSend:
    """ASGI send callable that records each message and returns a given awaitable (or any object)."""

    def __init__(self, make: Callable[[dict], Any]):
        self.messages: list = []
        self.make = make

    def __call__(self, message):
        self.messages.append(message)
        return self.make(message)


class RecordingSend:
    """Coroutine-function ASGI send that records messages and never suspends."""

    def __init__(self):
        self.messages: list = []

    async def __call__(self, message):
        self.messages.append(message)


async def receive():
    return {"type": "http.request", "body": b"", "more_body": False}


def http_scope(query: bytes = b"", headers: list | None = None) -> dict:
    return {"type": "http", "query_string": query, "headers": list(headers or [])}


def run_python(code: str, cwd: str, timeout: float = 120) -> dict:
    """Run ``code`` in a fresh interpreter of this environment; its last stdout line must be JSON."""
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    proc = subprocess.run(
        [sys.executable, "-c", code],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    lines = [line for line in proc.stdout.splitlines() if line.strip()]
    if proc.returncode != 0 or not lines:
        raise AssertionError(
            f"subprocess failed (rc={proc.returncode})\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    return json.loads(lines[-1])
