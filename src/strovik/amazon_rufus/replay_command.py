"""``strovik-rufus replay``: one conversation, each answer written as one JSON line the moment
it is read (``strovik.amazon_rufus.conversation`` does the asking)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from strovik.amazon_rufus.browser import BrowserOptions, BrowserSession, find_chromium
from strovik.amazon_rufus.conversation import QuestionResult, retarget_seed, run_conversation
from strovik.amazon_rufus.deadline import SILENCE_GRACE, BrowserSilent, Deadline, Watchdog
from strovik.amazon_rufus.domain.exceptions import BrowserError, PageError, first_line
from strovik.amazon_rufus.domain.models import SeedRequestRecord, valid_asin
from strovik.amazon_rufus.exits import EXIT_CODES, EXIT_FAILURE, note
from strovik.amazon_rufus.inputs import InputError, check_readable, load_questions, load_seed, resolve_product_url
from strovik.amazon_rufus.jsonlines import JsonLinesWriter, OutputFailed
from strovik.command_line import CommandError, count, positive_seconds


def add_replay_command(commands: Any) -> None:
    replay = commands.add_parser(
        "replay",
        help="ask questions in a product page, one Rufus request per question",
        description="Open the product page in Chromium and ask each question with the seed request's context "
        "and session; writes one JSON line per answer (index, question, thread_id, text) as soon as it arrives.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    replay.add_argument("--seed", required=True, metavar="SEED.json", help="seed request saved by the extension")
    source = replay.add_mutually_exclusive_group(required=True)
    source.add_argument("--questions-file", metavar="FILE", help="questions, one per line ('-' reads stdin)")
    source.add_argument("-q", "--question", action="append", metavar="TEXT", help="a question (repeatable)")
    replay.add_argument(
        "--product-url", metavar="URL", help="product page to open (default: the seed's page_url); "
        "its /dp/ASIN becomes the ASIN asked about"
    )
    replay.add_argument("--asin", metavar="ASIN", help="the ASIN to ask about (default: the seed's)")
    replay.add_argument(
        "--output", metavar="FILE", help="append the JSON lines to FILE instead of stdout (flushed per answer)"
    )
    replay.add_argument(
        "--timeout", type=positive_seconds, default=120.0, metavar="SECONDS",
        help="time limit for each answer (default: 120)",
    )
    replay.add_argument(
        "--retries", type=count, default=0, metavar="N",
        help="ask a question again up to N times after a network error, time-out or 5xx, "
        "with exponential back-off (default: 0)",
    )
    replay.add_argument(
        "--keep-going", action="store_true",
        help="write a failed question as a JSON line with 'error' and 'status' and go on with the next",
    )
    session = replay.add_mutually_exclusive_group()
    session.add_argument("--storage-state", metavar="FILE", help="load Playwright storage state (cookies) from FILE")
    session.add_argument("--user-data-dir", metavar="DIR", help="run Chromium on the persistent profile DIR")
    replay.add_argument(
        "--save-storage-state", metavar="FILE", help="save the browser's storage state to FILE at the end"
    )
    replay.add_argument("--chromium", metavar="PATH", help="Chromium executable (default: chromium on PATH)")
    replay.add_argument("--headed", "--headful", dest="headed", action="store_true", help="show the browser window")
    replay.set_defaults(handler=_run_replay)


def _retarget(seed: SeedRequestRecord, args: argparse.Namespace) -> SeedRequestRecord:
    """The seed asking about the product of --asin or --product-url, said on stderr."""
    if args.asin is not None and not valid_asin(args.asin):
        raise InputError(f"--asin must be 10 letters or digits, got {args.asin!r}")
    retargeted = retarget_seed(seed, product_url=args.product_url, asin=args.asin)
    if retargeted.asin != seed.asin:
        source = "--asin" if args.asin else "--product-url"
        was = f"the seed names {seed.asin}" if seed.asin else "the seed names none"
        note(f"asking about ASIN {retargeted.asin} from {source} ({was})")
    return retargeted


def _checked_inputs(args: argparse.Namespace) -> tuple[SeedRequestRecord, list[str], str, str]:
    """The seed (aimed at the product asked about), the questions, the product page and the
    Chromium to launch, each refused in one line before anything starts."""
    seed = load_seed(args.seed)
    questions = load_questions(args.questions_file, args.question)
    seed = _retarget(seed, args)
    product_url = resolve_product_url(args.product_url, seed)
    check_readable(args.storage_state, "storage state file")
    try:
        chromium = find_chromium(args.chromium)
    except BrowserError as exc:
        raise CommandError(exc.message) from None
    return seed, questions, product_url, chromium


def _open_output(args: argparse.Namespace) -> JsonLinesWriter:
    try:
        return JsonLinesWriter.append_to(args.output) if args.output else JsonLinesWriter(sys.stdout, "stdout")
    except OutputFailed as exc:
        raise CommandError(str(exc)) from None


def _run_replay(args: argparse.Namespace) -> int:
    seed, questions, product_url, chromium = _checked_inputs(args)
    try:
        from strovik.amazon_rufus.services.replay import RufusReplayService
    except ImportError as exc:
        raise CommandError(f"the replay module cannot be loaded: {first_line(str(exc))}", EXIT_FAILURE) from None
    writer = _open_output(args)

    total = len(questions)
    failures: list[QuestionResult] = []
    options = BrowserOptions(
        chromium=chromium, headed=args.headed, storage_state=args.storage_state, user_data_dir=args.user_data_dir
    )
    session = BrowserSession(options)
    # The time limit is a timer in the page: a browser that freezes never lets it fire, so
    # each question (and each step around them) must also be settled within the limit
    # plus a grace, or the call in hand is cut short.
    watchdog = Watchdog()
    deadline = Deadline(watchdog, lambda: session.loop)
    limit = args.timeout + SILENCE_GRACE
    asking = 0

    def on_ask(index: int, question: str, attempt: int) -> None:
        nonlocal asking
        asking = index
        again = f" (attempt {attempt})" if attempt > 1 else ""
        print(f"[{index}/{total}] asking{again}: {question}", file=sys.stderr, flush=True)
        deadline.arm(limit)

    def on_result(result: QuestionResult) -> None:
        nonlocal asking
        asking = 0
        deadline.arm(limit)
        if result.ok:
            writer.write(result.record())
            return
        failures.append(result)
        if args.keep_going:
            writer.write(result.record())
            note(f"question {result.index} of {total} failed: {result.error}")

    silent = False
    try:
        session.start()
        deadline.arm(limit)
        context = session.new_context(seed)
        results = run_conversation(
            context,
            seed,
            questions,
            timeout=args.timeout,
            retries=args.retries,
            keep_going=args.keep_going,
            service=RufusReplayService(),
            on_result=on_result,
            on_ask=on_ask,
            product_url=product_url,
        )
        if args.save_storage_state:
            session.save_storage_state(context, args.save_storage_state)
    except (BrowserError, PageError) as exc:
        raise CommandError(exc.message, EXIT_FAILURE) from None
    except BrowserSilent as exc:
        silent = True
        where = f"question {asking} of {total}: " if asking else ""
        raise CommandError(f"{where}{exc} (is it frozen?)", EXIT_FAILURE) from None
    finally:
        try:
            if not silent:
                deadline.arm(SILENCE_GRACE)
                session.close()
        except BrowserSilent:
            pass
        finally:
            deadline.disarm()
            watchdog.close()
            session.abandon()
            writer.close()

    return _exit_status(failures, results, total, args.keep_going)


def _exit_status(failures: list[QuestionResult], results: list[QuestionResult], total: int, keep_going: bool) -> int:
    """0 when every question was answered; else the failure, or the count of failures, in one line."""
    if not failures:
        return 0
    if not keep_going:
        failure = failures[0]
        raise CommandError(f"question {failure.index} of {total} failed: {failure.error}", EXIT_FAILURE)
    answered = sum(result.ok for result in results)
    raise CommandError(f"{len(failures)} of {total} questions failed ({answered} answered)", EXIT_FAILURE)
