"""JSON-lines output that loses nothing: one record a line, flushed as it is written."""

from __future__ import annotations

import json
import os
import sys
from typing import Any, TextIO

from strovik.amazon_rufus.signals import held


class OutputClosed(Exception):
    """The reader of the output went away (a closed pipe, as with ``| head``)."""


class OutputFailed(Exception):
    """The output could not be written (a full disk, say); the message names it and why."""


class JsonLinesWriter:
    """Writes each record as one UTF-8 JSON line and flushes it at once.

    A line is written with stop signals held, so a signal never cuts one in half.
    BrokenPipeError becomes OutputClosed (and stdout is pointed at /dev/null so that the
    interpreter's own final flush stays quiet); other OSErrors become OutputFailed.
    """

    def __init__(self, stream: TextIO, name: str) -> None:
        self.stream = stream
        self.name = name

    @classmethod
    def append_to(cls, path: str) -> JsonLinesWriter:
        """A writer appending to the file at ``path`` (OutputFailed when it cannot be opened)."""
        try:
            stream = open(path, "a", encoding="utf-8")
        except OSError as exc:
            raise OutputFailed(f"cannot open {path}: {exc.strerror or exc}") from None
        return cls(stream, path)

    def write(self, record: dict[str, Any]) -> None:
        self.write_line(json.dumps(record, ensure_ascii=False))

    def write_line(self, text: str) -> None:
        """One line of text (for output meant for a person), with the same guarantees."""
        line = text + "\n"
        try:
            with held():
                self.stream.write(line)
                self.stream.flush()
        except BrokenPipeError:
            self._silence()
            raise OutputClosed(self.name) from None
        except OSError as exc:
            self._silence()
            raise OutputFailed(f"cannot write to {self.name}: {exc.strerror or exc}") from None

    def _silence(self) -> None:
        # Whatever is left in the buffer cannot be written; drop it rather than fail again at exit.
        if self.stream is sys.stdout:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)

    def close(self) -> None:
        if self.stream is not sys.stdout:
            try:
                self.stream.close()
            except OSError:
                pass
