"""Progress of a batch on stderr: a live tqdm bar when stderr is a terminal, a plain
line every ``interval`` seconds otherwise (logs and CI keep one line per report)."""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO

BAR_FORMAT = "{percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} questions [{elapsed}<{remaining}, {rate_fmt}{postfix}]"
LINE_FORMAT = "{n_fmt}/{total_fmt} questions [{elapsed}<{remaining}, {rate_fmt}{postfix}]"


class Progress:
    def __init__(self, jobs: int, questions: int, stream: TextIO | None = None, interval: float = 10.0) -> None:
        self.stream = stream or sys.stderr
        self.jobs = jobs
        self.jobs_done = 0
        self.failures = 0
        self.interval = interval
        self._started = time.monotonic()
        self._last_line = self._started
        self._done = 0
        self._total = questions
        from tqdm import tqdm  # type: ignore[import-untyped]  # here: replay runs without it

        self._tqdm: Any = tqdm
        live = self.stream.isatty()
        self._bar = (
            tqdm(
                total=questions, file=self.stream, unit="q", bar_format=BAR_FORMAT,
                dynamic_ncols=True, smoothing=0.1,
            )
            if live
            else None
        )
        self._refresh()

    def _postfix(self) -> str:
        return f"jobs {self.jobs_done}/{self.jobs}, {self.failures} failed"

    def _refresh(self) -> None:
        if self._bar is not None:
            self._bar.set_postfix_str(self._postfix(), refresh=False)

    def question(self, ok: bool) -> None:
        self.failures += not ok
        self._advance(1)

    def job(self, unasked: int) -> None:
        self.jobs_done += 1
        self._advance(unasked)

    def _advance(self, count: int) -> None:
        self._done += count
        self._refresh()
        if self._bar is not None:
            self._bar.update(count)
        elif time.monotonic() - self._last_line >= self.interval:
            self._line()

    def _line(self) -> None:
        self._last_line = time.monotonic()
        meter = self._tqdm.format_meter(
            self._done, self._total, self._last_line - self._started, unit="q",
            bar_format=LINE_FORMAT, postfix=self._postfix(),
        )
        print(f"strovik-rufus: {meter}", file=self.stream, flush=True)

    def note(self, text: str) -> None:
        if self._bar is not None:
            self._bar.write(f"strovik-rufus: {text}", file=self.stream)
        else:
            print(f"strovik-rufus: {text}", file=self.stream, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._refresh()
            self._bar.close()
        else:
            self._line()
