"""A conversation as a browser slot runs it (``SlotJob``), and the pool's call (``Job``),
which the slot thread that runs it and the event loop that awaits it share."""

from __future__ import annotations

import asyncio
from collections.abc import Sequence
from dataclasses import dataclass, field

from strovik.amazon_rufus.conversation import QuestionResult
from strovik.amazon_rufus.domain.models import SeedRequestRecord


class CallStopped(KeyboardInterrupt):
    """Raised in a slot thread's Playwright call to cut its question short: the caller
    cancelled, or the pool is stopping. A KeyboardInterrupt, so that it leaves
    Playwright's event loop and no ``except Exception`` swallows it."""


@dataclass(eq=False)
class SlotJob:
    """``questions`` asked in order with ``seed`` (aimed at the product) on ``product_url``.

    ``answered`` maps each question answered so far (1-based index) to the thread after
    its answer, here or in an earlier run: a job moved to another browser, or resumed
    from a batch's output, asks only the rest, each run of questions in the thread of the
    last answer before it (``thread_id`` before the first: None is the seed's own).

    The hooks are called in the slot's thread; a hook may raise ``SlotLeft`` to end the
    slot at once, leaving the job as it is.
    """

    seed: SeedRequestRecord
    questions: Sequence[str]
    product_url: str
    thread_id: str | None = None
    answered: dict[int, str | None] = field(default_factory=dict)
    losses: int = 0  # browsers lost under this job
    stop_reason: str | None = None  # why the job is cut short; set from another thread

    def pending(self) -> list[int]:
        return [index for index in range(1, len(self.questions) + 1) if index not in self.answered]

    def runs(self) -> list[list[int]]:
        """The pending question indices in runs of consecutive ones."""
        runs: list[list[int]] = []
        for index in self.pending():
            if runs and runs[-1][-1] == index - 1:
                runs[-1].append(index)
            else:
                runs.append([index])
        return runs

    def thread_before(self, index: int) -> str | None:
        """The thread question ``index`` continues: that of the last answer before it."""
        for earlier in range(index - 1, 0, -1):
            thread = self.answered.get(earlier)
            if thread:
                return thread
        return self.thread_id

    def before_question(self, follows: bool) -> None:
        """Just before a question is sent (``follows``: the job sent one before it on this
        browser); may wait, as for a rate limit."""

    def answer(self, result: QuestionResult) -> None:
        """A good answer, the moment it is read (already counted in ``answered``)."""

    def end(self, failures: Sequence[QuestionResult], error: str | None = None, status: int | None = None) -> None:
        """The job is over: its failed questions, and ``error`` (with the HTTP ``status``
        it saw) when it ended for a reason that is no question's failure: the product
        page, the browser, a stop."""


@dataclass(frozen=True)
class End:
    """The call is over; ``error`` says why it ended early (before any question, or cut
    short), None when every question got its result."""

    error: str | None = None


@dataclass(eq=False, kw_only=True)
class Job(SlotJob):
    """A pool call: results go to ``events`` on ``loop`` as they come, then one ``End``."""

    loop: asyncio.AbstractEventLoop
    events: asyncio.Queue[QuestionResult | End] = field(default_factory=asyncio.Queue)
    # Set (in the loop) once the slot thread is done with the job and free for the next.
    finished: asyncio.Future[None] = field(default_factory=lambda: asyncio.get_running_loop().create_future())

    def answer(self, result: QuestionResult) -> None:
        self._call(self.events.put_nowait, result)

    def end(self, failures: Sequence[QuestionResult], error: str | None = None, status: int | None = None) -> None:
        for failure in failures:
            self._call(self.events.put_nowait, failure)
        self._call(self.events.put_nowait, End(error))
        self._call(self._finish)

    def _finish(self) -> None:
        if not self.finished.done():
            self.finished.set_result(None)

    def _call(self, function: object, *args: object) -> None:
        try:
            self.loop.call_soon_threadsafe(function, *args)  # type: ignore[arg-type]
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more
