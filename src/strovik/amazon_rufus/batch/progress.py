"""Progress of a batch on stderr: a live tqdm bar when stderr is a terminal, a plain
line every ``interval`` seconds otherwise (logs and CI keep one line per report)."""

from __future__ import annotations

import sys
import threading
import time
from typing import Any, TextIO

BAR_FORMAT = "{percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} questions [{elapsed}<{remaining}, {rate_fmt}{postfix}]"
LINE_FORMAT = "{n_fmt}/{total_fmt} questions [{elapsed}<{remaining}, {rate_fmt}{postfix}]"
PREFIX = "strovik-rufus: "


class Progress:
    """Counts questions and jobs as they end; ``note`` prints a message without breaking
    the bar. A job that ends early (``unasked`` questions) takes its questions off."""

    def __init__(self, jobs: int, questions: int, stream: TextIO | None = None, interval: float = 10.0) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped]  # here: replay runs without it

        self.stream = stream or sys.stderr
        self.jobs = jobs
        self.jobs_done = 0
        self.failures = 0
        self._tqdm: Any = tqdm
        self._started = time.monotonic()
        self._done = 0
        self._total = questions
        self._lock = threading.Lock()
        self._closed = threading.Event()
        self._bar: Any = None
        if self.stream.isatty():
            self._bar = tqdm(
                total=questions, file=self.stream, unit="q", bar_format=BAR_FORMAT, dynamic_ncols=True, smoothing=0.1
            )
        else:
            threading.Thread(target=self._every, args=(interval,), name="rufus-batch-progress", daemon=True).start()

    def _postfix(self) -> str:
        return f"jobs {self.jobs_done}/{self.jobs}, {self.failures} failed"

    def question(self, ok: bool) -> None:
        self.failures += not ok
        self._advance(1)

    def job(self, unasked: int) -> None:
        self.jobs_done += 1
        self._advance(unasked)

    def _advance(self, count: int) -> None:
        with self._lock:
            self._done += count
            if self._bar is not None:
                self._bar.set_postfix_str(self._postfix(), refresh=False)
                self._bar.update(count)

    def _every(self, interval: float) -> None:
        while not self._closed.wait(interval):
            self._line()

    def _line(self) -> None:
        with self._lock:
            meter = self._tqdm.format_meter(
                self._done, self._total, time.monotonic() - self._started, unit="q",
                bar_format=LINE_FORMAT, postfix=self._postfix(),
            )
            print(PREFIX + meter, file=self.stream, flush=True)

    def note(self, text: str) -> None:
        with self._lock:
            if self._bar is not None:
                self._bar.write(PREFIX + text, file=self.stream)
            else:
                print(PREFIX + text, file=self.stream, flush=True)

    def close(self) -> None:
        self._closed.set()
        if self._bar is not None:
            with self._lock:
                self._bar.set_postfix_str(self._postfix(), refresh=False)
                self._bar.close()
        else:
            self._line()
