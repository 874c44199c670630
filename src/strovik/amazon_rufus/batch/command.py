"""``strovik-rufus batch``: the command-line face of ``run_batch``."""

from __future__ import annotations

import argparse
import sys
from contextlib import closing
from typing import Any, Protocol

from strovik.amazon_rufus.batch.browsers import BATCH_CHROMIUM_ARGS
from strovik.amazon_rufus.batch.jobfile import jobs_for_asins, load_jobs
from strovik.amazon_rufus.batch.progress import Progress
from strovik.amazon_rufus.batch.resume import read_answered
from strovik.amazon_rufus.batch.runner import BatchError, BatchJob, JobOutcome, run_batch
from strovik.amazon_rufus.browser import BrowserOptions, find_chromium
from strovik.amazon_rufus.domain.exceptions import BrowserError, first_line
from strovik.amazon_rufus.exits import EXIT_CODES, EXIT_FAILURE, note
from strovik.amazon_rufus.inputs import check_readable
from strovik.amazon_rufus.jsonlines import JsonLinesWriter, OutputFailed
from strovik.command_line import CommandError, count, non_negative_seconds, positive_count, positive_seconds

DESCRIPTION = """\
Run many Rufus conversations, several at a time, each in its own browser context:
one job per line of --jobs, or one job per ASIN of --asins asking every question of
--questions-file with --seed. Writes one JSON line per answer or failure (job, index,
question, thread_id, then text, or error and status), flushed as it comes."""

JOBS_HELP = """\
jobs file: one JSON object a line, e.g.
  {"id": "B0EXAMPLE1", "seed": "seed.json", "asin": "B0EXAMPLE1", "questions": ["Is it waterproof?"]}
  "seed" is a seed file (relative to the jobs file) or a seed object, default --seed;
  "product_url" or "asin" name the product (default: the seed's); "id" defaults to the line number.
"""


def add_batch_command(commands: Any) -> None:
    batch = commands.add_parser(
        "batch",
        help="run many conversations concurrently, resumable from their output",
        description=DESCRIPTION,
        epilog=JOBS_HELP + "\n" + EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    batch.add_argument("--jobs", metavar="FILE", help="jobs, one JSON object a line ('-' reads stdin)")
    batch.add_argument("--seed", metavar="SEED.json", help="seed request for --asins, and for jobs that name none")
    batch.add_argument("--asins", metavar="FILE", help="ASINs, one a line: one job each")
    batch.add_argument("--questions-file", metavar="FILE", help="questions asked about every ASIN, one a line")
    batch.add_argument(
        "--output", metavar="FILE", help="append the JSON lines to FILE instead of stdout (flushed per line)"
    )
    batch.add_argument(
        "--resume", action="store_true",
        help="skip the questions whose answers --output already holds; failed ones are asked again",
    )
    batch.add_argument(
        "--concurrency", type=positive_count, default=4, metavar="N", help="conversations at once (default: 4)"
    )
    batch.add_argument(
        "--browser-endpoint", action="append", default=[], metavar="URL",
        help="drive a Chromium started elsewhere with --remote-debugging-port (e.g. http://host:9222); "
        "repeatable: jobs are spread over the endpoints, and a lost endpoint's jobs go to the others",
    )
    batch.add_argument(
        "--rate", type=positive_seconds, metavar="N", help="at most N questions per minute across the batch"
    )
    batch.add_argument(
        "--delay", type=non_negative_seconds, default=0.0, metavar="SECONDS",
        help="pause between the questions of one conversation (jittered)",
    )
    batch.add_argument(
        "--timeout", type=positive_seconds, default=120.0, metavar="SECONDS",
        help="time limit for each answer (default: 120)",
    )
    batch.add_argument(
        "--retries", type=count, default=0, metavar="N",
        help="ask a question again up to N times after a network error, time-out or 5xx (default: 0)",
    )
    batch.add_argument(
        "--keep-going", action="store_true",
        help="after a failed question, go on with the job's next question (default: end that job)",
    )
    batch.add_argument("--storage-state", metavar="FILE", help="load Playwright storage state into every context")
    batch.add_argument("--chromium", metavar="PATH", help="Chromium executable (default: chromium on PATH)")
    batch.add_argument("--headed", "--headful", dest="headed", action="store_true", help="show the browser windows")
    batch.add_argument("--no-progress", action="store_true", help="no progress reports on stderr")
    batch.set_defaults(handler=_run_batch)


def _load(args: argparse.Namespace) -> list[BatchJob]:
    if args.jobs is not None:
        if args.asins or args.questions_file:
            raise CommandError("--jobs cannot be combined with --asins or --questions-file")
        return load_jobs(args.jobs, args.seed)
    if not (args.seed and args.asins and args.questions_file):
        raise CommandError("give --jobs FILE, or --seed FILE --asins FILE --questions-file FILE")
    return jobs_for_asins(args.seed, args.asins, args.questions_file)


def _run_batch(args: argparse.Namespace) -> int:
    jobs = _load(args)
    if args.resume and not args.output:
        raise CommandError("--resume needs --output FILE (the file it continues)")
    check_readable(args.storage_state, "storage state file")
    options = BrowserOptions(headed=args.headed, storage_state=args.storage_state, args=BATCH_CHROMIUM_ARGS)
    if not args.browser_endpoint:
        try:
            options.chromium = find_chromium(args.chromium)
        except BrowserError as exc:
            raise CommandError(exc.message) from None
    try:
        import strovik.amazon_rufus.services.replay  # noqa: F401
    except ImportError as exc:
        raise CommandError(f"the replay module cannot be loaded: {first_line(str(exc))}", EXIT_FAILURE) from None

    answered = read_answered(args.output, jobs) if args.resume else {}
    held = sum(len(answers) for answers in answered.values())
    pending_jobs = [job for job in jobs if len(answered.get(job.id, {})) < len(job.questions)]
    questions = sum(len(job.questions) - len(answered.get(job.id, {})) for job in pending_jobs)
    try:
        writer = JsonLinesWriter.append_to(args.output) if args.output else JsonLinesWriter(sys.stdout, "stdout")
    except OutputFailed as exc:
        raise CommandError(str(exc)) from None
    progress: _Reporter = _Quiet() if args.no_progress else Progress(len(pending_jobs), questions)
    if held:
        progress.note(f"resuming: {held} answers held already, {questions} questions in {len(pending_jobs)} jobs left")

    failed_jobs: list[JobOutcome] = []

    def on_job(outcome: JobOutcome) -> None:
        progress.job(outcome.unasked)
        if outcome.error is not None:
            failed_jobs.append(outcome)
            progress.note(f"job {outcome.job_id}: {outcome.failed} failed: {outcome.error}")

    results = run_batch(
        pending_jobs,
        concurrency=args.concurrency,
        endpoints=args.browser_endpoint,
        browser=options,
        timeout=args.timeout,
        retries=args.retries,
        keep_going=args.keep_going,
        rate=args.rate,
        delay=args.delay,
        answered=answered,
        on_job=on_job,
        on_note=progress.note,
    )
    try:
        with closing(results):
            for result in results:
                writer.write(result.record())
                progress.question(result.ok)
    except BatchError as exc:
        hint = " (run again with --resume to finish them)" if args.output else ""
        raise CommandError(exc.message + hint, EXIT_FAILURE) from None
    finally:
        progress.close()
        writer.close()
    if failed_jobs:
        raise CommandError(f"{len(failed_jobs)} of {len(pending_jobs)} jobs had failures", EXIT_FAILURE)
    return 0


class _Reporter(Protocol):
    """What the command tells as the batch goes: ``Progress``, or ``_Quiet``."""

    def question(self, ok: bool) -> None: ...
    def job(self, unasked: int) -> None: ...
    def note(self, text: str) -> None: ...
    def close(self) -> None: ...


class _Quiet:
    """``--no-progress``: no counts, but notes (a lost endpoint, a failed job) still said."""

    def question(self, ok: bool) -> None:
        pass

    def job(self, unasked: int) -> None:
        pass

    def note(self, text: str) -> None:
        note(text)

    def close(self) -> None:
        pass
