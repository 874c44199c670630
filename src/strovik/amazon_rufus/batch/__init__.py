"""Replay at scale: many Rufus conversations at once, resumable, on one or many browsers.

``run_batch(jobs, ...)`` is a generator of ``BatchResult``; what its signature cannot say:

- Each ``BatchJob`` is one conversation (``run_conversation``): its questions are asked
  in order in a browser context of its own, closed when the job ends. Up to
  ``concurrency`` jobs run at once, on the browser slots of ``pool.slot`` (the engine of
  the MCP tools' pool too): threads that each own a Playwright and a browser, launched
  from ``browser`` (``BrowserOptions``; by default with ``BATCH_CHROMIUM_ARGS``), or, with
  ``endpoints``, reached with ``connect_over_cdp`` on Chromiums already running
  elsewhere, slots spread evenly over them. Jobs begin once every slot's browser is up,
  or ``jobqueue.START_GRACE`` seconds after the first one is.
- Results are yielded in the caller's thread as they come: every answer at once, a
  job's failures when the job ends. ``timeout``, ``retries`` and ``keep_going`` act on
  each conversation as in ``strovik-rufus replay``; a job's failure never stops the
  others. ``on_job(JobOutcome)`` and ``on_note(text)`` are called in the caller's
  thread too.
- ``answered`` (job id -> question index -> thread id, from ``read_answered``) holds
  the answers a previous run produced: those questions are skipped, and each question
  left is asked in the thread of the last answer before it.
- When a browser is lost (an endpoint goes away, a local browser dies) the failures it
  caused are dropped and what is left of its job runs again on another browser. A
  browser that goes silent with its connection open is lost too: a question not settled
  within ``timeout`` plus 5 s (``deadline.SILENCE_GRACE``) is cut off unwritten, asked again
  elsewhere; setting up and closing a context are bounded likewise.
- ``rate`` caps questions per minute across the batch; ``delay`` pauses between the
  questions of one conversation; both are jittered.
- Closing the generator (or an exception in the caller, such as a stop signal) stops
  the workers at once: a question in flight is not reported. ``BatchError`` is raised
  at the end when jobs were left unfinished because no browser was left.

Example::

    from contextlib import closing
    from strovik.amazon_rufus.batch import BatchJob, run_batch

    jobs = [BatchJob("B0EXAMPLE1", seed, ("Is it waterproof?", "Battery life?"))]
    with closing(run_batch(jobs, concurrency=4)) as results:
        for result in results:
            print(result.record())
"""

from strovik.amazon_rufus.batch.browsers import BATCH_CHROMIUM_ARGS, browser_host_command
from strovik.amazon_rufus.batch.runner import BatchError, BatchJob, BatchResult, JobOutcome, run_batch

__all__ = [
    "BATCH_CHROMIUM_ARGS",
    "BatchError",
    "BatchJob",
    "BatchResult",
    "JobOutcome",
    "browser_host_command",
    "run_batch",
]
