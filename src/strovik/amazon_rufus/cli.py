"""``strovik-rufus``: replay Rufus questions from a captured seed request in Chromium.

    strovik-rufus replay --seed SEED.json (--questions-file FILE | -q TEXT [-q TEXT ...])
                         [--product-url URL] [--chromium PATH] [--headful]

The seed file is the JSON object the browser extension saves for one Rufus request
(see ``SeedRequestRecord.from_dict``). The product page is opened in Chromium through
Playwright, and every question is sent from inside that page. Each answer is printed
on stdout as one JSON line; progress goes to stderr.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import shutil
import sys
from collections.abc import Sequence
from typing import Any, NoReturn, TextIO
from urllib.parse import urlsplit

from strovik.amazon_rufus.domain.exceptions import RufusReplayError
from strovik.amazon_rufus.domain.models import SeedRequestRecord

PROG = "strovik-rufus"
DEFAULT_CHROMIUM = "/usr/bin/chromium"
CHROMIUM_ARGS = ["--no-sandbox", "--disable-background-networking"]
EXIT_FAILURE = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130


class CliError(Exception):
    """Ends the command with a one-line message on stderr and the given exit status."""

    def __init__(self, message: str, status: int = EXIT_BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


class _ArgumentParser(argparse.ArgumentParser):
    # argparse prints the usage block before its message; keep failures to one line.
    def error(self, message: str) -> NoReturn:
        raise CliError(message)


def _one_line(text: str) -> str:
    lines = [line.strip() for line in str(text).splitlines() if line.strip()]
    return lines[0] if lines else ""


def _describe(exc: BaseException) -> str:
    detail = _one_line(str(exc))
    return f"{type(exc).__name__}: {detail}" if detail else type(exc).__name__


def _read_text(path: str, what: str) -> str:
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.read()
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
    text = _read_text(path, "seed file")
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(f"seed file {path} is not JSON: {exc}") from None
    try:
        return SeedRequestRecord.from_dict(data)
    except RufusReplayError as exc:
        raise CliError(f"seed file {path}: {_one_line(str(exc))}") from None


def load_questions(questions_file: str | None, inline: Sequence[str] | None) -> list[str]:
    """Questions from a file (one per line, blank lines skipped) or from ``-q`` options."""
    if questions_file is not None:
        lines = _read_text(questions_file, "questions file").split("\n")
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


def resolve_chromium(option: str | None) -> str:
    path = option or shutil.which("chromium") or DEFAULT_CHROMIUM
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise CliError(f"Chromium executable not found at {path} (use --chromium PATH)")
    return path


class ProgressPage:
    """Passes ``evaluate`` on to a page and reports each question on stderr first.

    The replay service calls ``evaluate`` once per question, in question order, so the
    n-th call belongs to the n-th question.
    """

    def __init__(self, page: Any, questions: Sequence[str], stream: TextIO) -> None:
        self._page = page
        self._questions = questions
        self._stream = stream
        self._sent = 0

    def evaluate(self, expression: str, arg: Any = None) -> Any:
        self._sent += 1
        total = len(self._questions)
        question = self._questions[self._sent - 1] if self._sent <= total else "?"
        print(f"[{self._sent}/{total}] asking: {question}", file=self._stream, flush=True)
        return self._page.evaluate(expression, arg)


def answer_line(index: int, question: str, answer: Any) -> str:
    record = {
        "index": index,
        "question": question,
        "thread_id": getattr(answer, "thread_id", None),
        "text": getattr(answer, "text", None),
    }
    return json.dumps(record, ensure_ascii=False)


def _print_answers(answers: Sequence[Any], questions: Sequence[str], stream: TextIO) -> None:
    for index, (question, answer) in enumerate(zip(questions, answers), start=1):
        print(answer_line(index, question, answer), file=stream)
    stream.flush()


def _run_replay(args: argparse.Namespace) -> int:
    seed = load_seed(args.seed)
    questions = load_questions(args.questions_file, args.question)
    product_url = resolve_product_url(args.product_url, seed)
    chromium = resolve_chromium(args.chromium)

    try:
        from strovik.amazon_rufus.services.replay import RufusReplayService
    except ImportError as exc:
        raise CliError(f"the replay module cannot be loaded: {_one_line(str(exc))}", EXIT_FAILURE) from None
    try:
        from playwright.sync_api import Error as PlaywrightError
        from playwright.sync_api import sync_playwright
    except ImportError:
        raise CliError("Playwright is not installed (pip install 'strovik[rufus]')", EXIT_FAILURE) from None

    service = RufusReplayService()
    try:
        playwright = sync_playwright().start()
    except Exception as exc:
        raise CliError(f"cannot start Playwright: {_describe(exc)}", EXIT_FAILURE) from None
    try:
        try:
            # The browser is a program of its own: a preloaded library meant for
            # this interpreter (a sanitizer runtime, say) must not reach it.
            browser_env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
            browser = playwright.chromium.launch(
                executable_path=chromium, headless=not args.headful, args=CHROMIUM_ARGS, env=browser_env
            )
        except PlaywrightError as exc:
            raise CliError(f"cannot start Chromium: {_one_line(exc.message)}", EXIT_FAILURE) from None
        try:
            page = browser.new_page()
            try:
                page.goto(product_url, wait_until="domcontentloaded")
            except PlaywrightError as exc:
                raise CliError(f"cannot open {product_url}: {_one_line(exc.message)}", EXIT_FAILURE) from None
            print(f"opened {product_url}", file=sys.stderr, flush=True)
            progress = ProgressPage(page, questions, sys.stderr)
            try:
                answers = service.replay_with_page(progress, seed, questions)
            except (Exception, KeyboardInterrupt) as exc:
                partial = list(getattr(exc, "partial_answers", None) or ())
                _print_answers(partial, questions, sys.stdout)
                status = EXIT_INTERRUPTED if isinstance(exc, KeyboardInterrupt) else EXIT_FAILURE
                raise CliError(
                    f"replay stopped at question {len(partial) + 1} of {len(questions)}: {_describe(exc)}", status
                ) from None
        finally:
            browser.close()
    finally:
        playwright.stop()
    _print_answers(answers, questions, sys.stdout)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(prog=PROG, description="Replay Rufus questions from a captured seed request.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_ArgumentParser)
    replay = commands.add_parser(
        "replay",
        help="ask questions in a product page, one Rufus request per question",
        description="Open the product page in Chromium and ask each question with the seed request's context; "
        "prints one JSON line per answer.",
    )
    replay.add_argument("--seed", required=True, metavar="SEED.json", help="seed request saved by the extension")
    source = replay.add_mutually_exclusive_group(required=True)
    source.add_argument("--questions-file", metavar="FILE", help="questions, one per line")
    source.add_argument("-q", "--question", action="append", metavar="TEXT", help="a question (repeatable)")
    replay.add_argument("--product-url", metavar="URL", help="product page to open (default: the seed's page_url)")
    replay.add_argument("--chromium", metavar="PATH", help="Chromium executable (default: chromium on PATH)")
    replay.add_argument("--headful", action="store_true", help="show the browser window")
    replay.set_defaults(handler=_run_replay)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # Answer lines are JSON, which is UTF-8 whatever the terminal's locale says.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8")
    try:
        args = build_parser().parse_args(argv)
        return int(args.handler(args))
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr, flush=True)
        return exc.status
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr, flush=True)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
