"""``strovik-rufus``: replay Rufus questions from a captured seed request in Chromium.

The seed file is the JSON object the browser extension saves for one Rufus request
(see ``SeedRequestRecord.from_dict``). The product page is opened in Chromium through
Playwright with the seed's session, and every question is sent from inside that page
(``strovik.amazon_rufus.conversation``). Each answer is written as one JSON line the
moment it is read; progress and errors go to stderr.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Sequence
from importlib import metadata
from typing import NoReturn
from urllib.parse import urlsplit

from strovik.amazon_rufus.browser import BrowserOptions, BrowserSession, find_chromium
from strovik.amazon_rufus.conversation import QuestionResult, retarget_seed, run_conversation
from strovik.amazon_rufus.deadline import SILENCE_GRACE, BrowserSilent, Deadline, Watchdog
from strovik.amazon_rufus.domain.exceptions import BrowserError, PageError, RufusReplayError, first_line
from strovik.amazon_rufus.domain.models import SeedRequestRecord, valid_asin
from strovik.amazon_rufus.jsonlines import JsonLinesWriter, OutputClosed, OutputFailed
from strovik.amazon_rufus.signals import Stopped, stop_on_signals

PROG = "strovik-rufus"
EXIT_FAILURE = 1
EXIT_BAD_INPUT = 2
EXIT_OUTPUT_CLOSED = 141  # 128 + SIGPIPE, the status of a filter whose reader went away

EXIT_CODES = """\
exit status:
  0    every question answered
  1    a question failed, or the browser or the output failed
  2    bad input (options, seed file, questions file)
  129  stopped by SIGHUP, 130 by SIGINT (Ctrl-C), 143 by SIGTERM (128 + signal);
       answers received before the signal are all written
  141  stdout closed by its reader (as with | head), ended quietly"""


class CliError(Exception):
    """Ends the command with a one-line message on stderr and the given exit status."""

    def __init__(self, message: str, status: int = EXIT_BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


class _ArgumentParser(argparse.ArgumentParser):
    # argparse prints the usage block before its message; keep failures to one line.
    def error(self, message: str) -> NoReturn:
        raise CliError(message)


def _note(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


def read_text(path: str, what: str) -> str:
    """The UTF-8 text of ``path`` ("-" is stdin), without a leading byte order mark."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as handle:
                data = handle.read()
        return data.decode("utf-8-sig")
    except FileNotFoundError:
        raise CliError(f"{what} {path} does not exist") from None
    except IsADirectoryError:
        raise CliError(f"{what} {path} is a directory") from None
    except UnicodeDecodeError:
        raise CliError(f"{what} {path} is not UTF-8 text") from None
    except OSError as exc:
        raise CliError(f"cannot read {what} {path}: {exc.strerror or exc}") from None


def load_seed(path: str) -> SeedRequestRecord:
    """The seed record saved in ``path``; CliError when it cannot be used."""
    text = read_text(path, "seed file")
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(f"seed file {path} is not JSON: {exc}") from None
    return seed_from_data(data, f"seed file {path}")


def seed_from_data(data: object, source: str) -> SeedRequestRecord:
    """The seed record of ``data`` (a parsed seed object); CliError naming ``source``
    when it cannot be used, which includes a request body that is not JSON."""
    try:
        seed = SeedRequestRecord.from_dict(data)
    except RufusReplayError as exc:
        raise CliError(f"{source}: {first_line(exc.message)}") from None
    try:
        json.loads(seed.request_body)
    except json.JSONDecodeError as exc:
        raise CliError(f"{source}: request_body is not JSON: {exc}") from None
    return seed


def load_questions(questions_file: str | None, inline: Sequence[str] | None) -> list[str]:
    """Questions from a file ("-": stdin; one per line, blank lines skipped) or ``-q`` options."""
    if questions_file is not None:
        lines = read_text(questions_file, "questions file").split("\n")
        questions = [line.strip() for line in lines if line.strip()]
        if not questions:
            raise CliError(f"questions file {questions_file} holds no questions")
        return questions
    questions = [question.strip() for question in inline or ()]
    if not questions:
        raise CliError("no questions given")
    if not all(questions):
        raise CliError("a question given with -q is blank")
    return questions


def resolve_product_url(option: str | None, seed: SeedRequestRecord) -> str:
    url = option or seed.page_url
    if not url:
        raise CliError("no product page: pass --product-url or add page_url to the seed file")
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise CliError(f"product page URL must be an http(s) URL, got {url!r}")
    return url


def _retarget(seed: SeedRequestRecord, args: argparse.Namespace) -> SeedRequestRecord:
    """The seed asking about the product of --asin or --product-url, said on stderr."""
    if args.asin is not None and not valid_asin(args.asin):
        raise CliError(f"--asin must be 10 letters or digits, got {args.asin!r}")
    retargeted = retarget_seed(seed, product_url=args.product_url, asin=args.asin)
    if retargeted.asin != seed.asin:
        source = "--asin" if args.asin else "--product-url"
        was = f"the seed names {seed.asin}" if seed.asin else "the seed names none"
        _note(f"asking about ASIN {retargeted.asin} from {source} ({was})")
    return retargeted


def _check_readable(path: str | None, what: str) -> None:
    if path is not None and not os.path.isfile(path):
        raise CliError(f"{what} {path} does not exist")


def _run_replay(args: argparse.Namespace) -> int:
    seed = load_seed(args.seed)
    questions = load_questions(args.questions_file, args.question)
    seed = _retarget(seed, args)
    product_url = resolve_product_url(args.product_url, seed)
    _check_readable(args.storage_state, "storage state file")
    try:
        chromium = find_chromium(args.chromium)
    except BrowserError as exc:
        raise CliError(exc.message) from None
    try:
        from strovik.amazon_rufus.services.replay import RufusReplayService
    except ImportError as exc:
        raise CliError(f"the replay module cannot be loaded: {first_line(str(exc))}", EXIT_FAILURE) from None
    try:
        writer = JsonLinesWriter.append_to(args.output) if args.output else JsonLinesWriter(sys.stdout, "stdout")
    except OutputFailed as exc:
        raise CliError(str(exc)) from None

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
            _note(f"question {result.index} of {total} failed: {result.error}")

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
        raise CliError(exc.message, EXIT_FAILURE) from None
    except BrowserSilent as exc:
        silent = True
        where = f"question {asking} of {total}: " if asking else ""
        raise CliError(f"{where}{exc} (is it frozen?)", EXIT_FAILURE) from None
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

    if not failures:
        return 0
    if not args.keep_going:
        failure = failures[0]
        raise CliError(f"question {failure.index} of {total} failed: {failure.error}", EXIT_FAILURE)
    answered = sum(result.ok for result in results)
    raise CliError(f"{len(failures)} of {total} questions failed ({answered} answered)", EXIT_FAILURE)


def _seconds(text: str, *, zero_allowed: bool) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value == float("inf") or not (value >= 0 if zero_allowed else value > 0):
        kind = "a number of seconds >= 0" if zero_allowed else "a positive number of seconds"
        raise argparse.ArgumentTypeError(f"must be {kind}, got {text!r}")
    return value


def _positive_float(text: str) -> float:
    return _seconds(text, zero_allowed=False)


def _non_negative_float(text: str) -> float:
    return _seconds(text, zero_allowed=True)


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text!r}")
    return value


def _version() -> str:
    try:
        return metadata.version("strovik")
    except metadata.PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog=PROG,
        description="Replay Rufus questions from a captured seed request.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_ArgumentParser)
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
        "--timeout", type=_positive_float, default=120.0, metavar="SECONDS",
        help="time limit for each answer (default: 120)",
    )
    replay.add_argument(
        "--retries", type=_count, default=0, metavar="N",
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
    from strovik.amazon_rufus.batch.command import add_batch_command

    add_batch_command(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # Answer lines are JSON, which is UTF-8 whatever the terminal's locale says.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8")
    with stop_on_signals():
        try:
            return _main(argv)
        except Stopped as exc:
            _note(f"stopped by {exc}; every answer received before it is written")
            return exc.status


def _main(argv: Sequence[str] | None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return int(args.handler(args))
    except CliError as exc:
        _note(f"error: {exc}")
        return exc.status
    except OutputClosed:
        return EXIT_OUTPUT_CLOSED
    except OutputFailed as exc:
        _note(f"error: {exc}")
        return EXIT_FAILURE


if __name__ == "__main__":
    # Run with -m, this file is a second copy of the module beside the one the batch
    # command imports: only the package's main catches that module's CliError.
    from strovik.amazon_rufus.cli import main as package_main

    sys.exit(package_main())
