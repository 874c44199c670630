"""``strovik-rufus capture`` and ``strovik-rufus seed import|show``: the command-line face of
the seed modules."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from strovik.amazon_rufus.browser import BrowserOptions, find_chromium
from strovik.amazon_rufus.domain.exceptions import BrowserError, first_line
from strovik.amazon_rufus.exits import EXIT_FAILURE, note
from strovik.amazon_rufus.inputs import InputError, http_url, load_seed, read_text
from strovik.amazon_rufus.jsonlines import JsonLinesWriter
from strovik.amazon_rufus.seeds.capture import CaptureSession, NothingCaptured, RequestWatcher, open_page
from strovik.amazon_rufus.seeds.curl import curl_request
from strovik.amazon_rufus.seeds.files import OutputFileError, check_writable, write_private
from strovik.amazon_rufus.seeds.har import har_requests
from strovik.amazon_rufus.seeds.record import DEFAULT_MATCH, SentRequest, header_value, seed_text, url_pattern
from strovik.amazon_rufus.seeds.show import describe, load_storage_state, refusal, render
from strovik.amazon_rufus.signals import Stopped
from strovik.command_line import CommandError, OneLineParser, positive_count, positive_seconds

DEFAULT_URL = "https://www.amazon.com/"
SEED_EXITS = """\
exit status:
  0    the seed was written (capture, import) or is usable (show)
  1    nothing matched in time, the browser failed, or an output file exists or cannot be written
  2    bad input (options, HAR file, curl line, seed file)
  130  stopped by Ctrl-C (129 SIGHUP, 143 SIGTERM); nothing written"""


def _add_output(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--output", required=True, metavar="SEED.json", help="the seed file to write (mode 0600)")
    parser.add_argument(
        "--match", default=DEFAULT_MATCH, metavar="REGEX",
        help="the request to take: a POST whose URL matches REGEX (default: a path containing /rufus/)",
    )
    parser.add_argument("--force", action="store_true", help="replace existing output files")


CAPTURE_DESCRIPTION = """\
Open Chromium on --url and watch every request of the browser (new tabs too) for the
first POST matching --match, sent when you ask Rufus a question; save it as a seed file."""

IMPORT_DESCRIPTION = """\
Make a seed from what a browser's developer tools export: "Save all as HAR" or
"Copy as cURL (bash)". The page URL is the request's Referer."""


def add_capture_command(commands: Any) -> None:
    summary = "open Chromium, let the user ask Rufus once, and save that request as a seed"
    capture = commands.add_parser(
        "capture", help=summary, description=CAPTURE_DESCRIPTION, epilog=SEED_EXITS,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _add_output(capture)
    capture.add_argument(
        "--url", metavar="URL", help=f"page to open (default: {DEFAULT_URL}; with --browser-endpoint: none, "
        "the open tabs are watched)"
    )
    capture.add_argument(
        "--wait", type=positive_seconds, default=600.0, metavar="SECONDS",
        help="give up when nothing matched within SECONDS (default: 600)",
    )
    capture.add_argument("--headless", action="store_true", help="no window (for a signed-in --user-data-dir)")
    browser = capture.add_mutually_exclusive_group()
    browser.add_argument("--user-data-dir", metavar="DIR", help="run Chromium on the persistent profile DIR")
    browser.add_argument(
        "--browser-endpoint", metavar="URL",
        help="watch a Chrome you run, started with --remote-debugging-port (e.g. http://127.0.0.1:9222); "
        "it and its tabs are left running",
    )
    capture.add_argument("--chromium", metavar="PATH", help="Chromium executable (default: chromium on PATH)")
    capture.add_argument(
        "--save-storage-state", metavar="FILE", help="also save the browser's cookies and storage to FILE (mode 0600)"
    )
    capture.set_defaults(handler=_run_capture)


def add_seed_command(commands: Any) -> None:
    seed = commands.add_parser(
        "seed", help="make a seed from developer tools' exports, or show what a seed carries",
        description="Make a seed file from a HAR file or a 'Copy as cURL' line, or describe a seed file.",
    )
    actions = seed.add_subparsers(dest="seed_command", required=True, metavar="ACTION", parser_class=OneLineParser)
    importing = actions.add_parser(
        "import", help="make a seed from a HAR file or a curl command line",
        description=IMPORT_DESCRIPTION,
        epilog=SEED_EXITS,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    source = importing.add_mutually_exclusive_group(required=True)
    source.add_argument("--har", metavar="FILE", help="a HAR file ('-' reads stdin)")
    source.add_argument("--curl", metavar="FILE", help="a file holding a curl command line ('-' reads stdin)")
    _add_output(importing)
    importing.add_argument(
        "--pick", type=positive_count, metavar="N",
        help="of several matching requests, take the N-th (default: the last)",
    )
    importing.set_defaults(handler=_run_import)
    show = actions.add_parser(
        "show", help="what a seed carries, without secret values",
        description="Print a seed's endpoint, ASIN, page URL, thread id, the header names replay keeps and drops, "
        "and its cookie names; exit 2 when replay would refuse it.",
    )
    show.add_argument("seed", metavar="SEED.json", help="the seed file ('-' reads stdin)")
    show.add_argument("--storage-state", metavar="FILE", help="a Playwright storage state: also its cookies' expiry")
    show.add_argument("--json", action="store_true", help="one JSON object instead of lines")
    show.set_defaults(handler=_run_show)


def _check_outputs(args: argparse.Namespace) -> None:
    try:
        check_writable(args.output, "seed file", force=args.force)
        if getattr(args, "save_storage_state", None):
            check_writable(args.save_storage_state, "storage state file", force=args.force)
    except OutputFileError as exc:
        raise CommandError(str(exc), EXIT_FAILURE) from None


def _write(path: str, text: str, what: str, force: bool) -> None:
    try:
        write_private(path, text, what, force=force)
    except OutputFileError as exc:
        raise CommandError(str(exc), EXIT_FAILURE) from None


def _written(seed: dict[str, Any], path: str, why_no_cookie: str = "") -> None:
    asin = f"ASIN {seed['asin']}" if seed["asin"] else "no ASIN (the page URL names none)"
    note(f"wrote {path}: {asin}, {seed['request_url']}")
    if header_value(seed["request_headers"].items(), "cookie") is None:
        note(f"the request carries no Cookie header{why_no_cookie}: replay it with --storage-state or --user-data-dir")


def _run_capture(args: argparse.Namespace) -> int:
    pattern = url_pattern(args.match)
    if args.url is not None and not http_url(args.url):
        raise InputError(f"--url must be an http(s) URL, got {args.url!r}")
    _check_outputs(args)
    try:
        chromium = find_chromium(args.chromium) if args.browser_endpoint is None else ""
    except BrowserError as exc:
        raise CommandError(exc.message) from None
    options = BrowserOptions(chromium=chromium, headed=not args.headless, user_data_dir=args.user_data_dir)
    session = CaptureSession(options, args.browser_endpoint)
    url = args.url or (None if args.browser_endpoint else DEFAULT_URL)
    try:
        session.start()
        contexts = session.watched_contexts()
        with RequestWatcher(contexts, pattern) as watcher:
            if url is not None:
                open_page(contexts[0], url, new_tab=args.browser_endpoint is not None)
            where = "the browser's tabs" if args.browser_endpoint else "the browser"
            note(f"watching {where}: sign in if asked, open a product page and ask Rufus one question "
                 f"(Ctrl-C to give up; waiting up to {args.wait:g} s)")
            seed = watcher.wait(args.wait, on_skipped=note)
        state = contexts[0].storage_state() if args.save_storage_state else None
    except (BrowserError, NothingCaptured) as exc:
        raise CommandError(str(exc), EXIT_FAILURE) from None
    except Stopped as exc:
        note(f"stopped by {exc}; no seed written")
        return exc.status
    except Exception as exc:  # noqa: BLE001 - Playwright's errors, once the browser went away
        raise CommandError(f"the browser failed: {first_line(str(exc))}", EXIT_FAILURE) from None
    finally:
        session.close()
    if state is not None:
        _write(args.save_storage_state, json.dumps(state, indent=2) + "\n", "storage state file", args.force)
    _write(args.output, seed_text(seed), "seed file", args.force)
    _written(seed, args.output)
    return 0


def _pick(requests: list[SentRequest], pick: int | None, source: str) -> tuple[int, SentRequest]:
    if not requests:
        raise InputError(f"{source} holds no matching POST request")
    if len(requests) > 1:
        note(f"{source} holds {len(requests)} matching requests:")
        for index, request in enumerate(requests, start=1):
            page = header_value(request.headers, "referer")
            note(f"  {index}  {request.time or '-'}  {request.url}" + (f"  from {page}" if page else ""))
    if pick is not None and pick > len(requests):
        raise InputError(f"--pick {pick}: {source} holds {len(requests)} matching request(s)")
    index = pick or len(requests)
    if len(requests) > 1:
        note(f"taking request {index}" + ("" if pick else " (the last; --pick N takes another)"))
    return index, requests[index - 1]


def _run_import(args: argparse.Namespace) -> int:
    pattern = url_pattern(args.match)
    _check_outputs(args)
    if args.har is not None:
        source = f"HAR file {args.har}"
        sent = har_requests(read_text(args.har, "HAR file"), source)
    else:
        source = f"curl file {args.curl}"
        sent = [curl_request(read_text(args.curl, "curl file"), source)]
    matching = [request for request in sent if request.matches(pattern)]
    if not matching and sent and args.curl is not None:
        request = sent[0]
        raise InputError(f"{source}: {request.method} {request.url} is not a POST matching {pattern.pattern!r}")
    index, request = _pick(matching, args.pick, source)
    seed = request.seed(source=f"{source}: request {index}" if len(matching) > 1 else source)
    _write(args.output, seed_text(seed), "seed file", args.force)
    _written(seed, args.output, " (a HAR saved without sensitive data?)" if args.har is not None else "")
    return 0


def _run_show(args: argparse.Namespace) -> int:
    seed = load_seed(args.seed)
    state = None
    if args.storage_state is not None:
        source = f"storage state file {args.storage_state}"
        state = load_storage_state(read_text(args.storage_state, "storage state file"), source)
    try:
        from strovik.amazon_rufus.services.replay import RufusReplayService
    except ImportError as exc:
        raise CommandError(f"the replay module cannot be loaded: {first_line(str(exc))}", EXIT_FAILURE) from None
    description = describe(seed, RufusReplayService()._build_replay_headers, state)
    writer = JsonLinesWriter(sys.stdout, "stdout")
    if args.json:
        writer.write(description)
    else:
        writer.write_line("\n".join(render(description)))
    problem = refusal(seed)
    if problem is not None:
        raise InputError(f"seed file {args.seed}: {problem}")
    return 0
