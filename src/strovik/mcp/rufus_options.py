"""The Rufus tools' part of the ``strovik-mcp`` command line: its option group and its
checked settings. ``--rufus-seed`` turns the tools on; without it the server is exactly
what it is without Rufus."""

from __future__ import annotations

import argparse
from dataclasses import dataclass

from strovik.amazon_rufus.domain.exceptions import BrowserError
from strovik.amazon_rufus.domain.models import SeedRequestRecord
from strovik.amazon_rufus.inputs import InputError, check_readable, http_url, load_seed
from strovik.command_line import CommandError, count, positive_count, positive_seconds

# The options that mean something only with --rufus-seed, and their defaults.
_DEFAULTS: dict[str, object] = {
    "rufus_storage_state": None, "rufus_browsers": 2, "browser_endpoint": [], "chromium": None,
    "rufus_timeout": 120.0, "rufus_retries": 1, "rufus_queue": 64,
}


def add_rufus_options(group: argparse._ArgumentGroup) -> None:
    group.add_argument(
        "--rufus-seed", metavar="SEED.json",
        help="a captured Rufus request (see strovik-rufus capture): offers the tools rufus_ask and rufus_ask_many",
    )
    group.add_argument(
        "--rufus-storage-state", metavar="FILE", help="Playwright storage state (cookies) loaded into every browser"
    )
    group.add_argument(
        "--rufus-browsers", type=positive_count, default=_DEFAULTS["rufus_browsers"], metavar="N",
        help="conversations answered at the same time, one browser each (default: %(default)s)",
    )
    group.add_argument(
        "--browser-endpoint", action="append", default=[], metavar="URL",
        help="drive a Chromium started elsewhere with --remote-debugging-port instead of launching one; "
        "repeatable: browsers are spread over the endpoints, and a lost one's calls go to the others",
    )
    group.add_argument("--chromium", metavar="PATH", help="Chromium executable (default: chromium on PATH)")
    group.add_argument(
        "--rufus-timeout", type=positive_seconds, default=_DEFAULTS["rufus_timeout"], metavar="SECONDS",
        help="time limit for each answer (default: %(default)g)",
    )
    group.add_argument(
        "--rufus-retries", type=count, default=_DEFAULTS["rufus_retries"], metavar="N",
        help="ask a question again up to N times after a network error, time-out or 5xx (default: %(default)s)",
    )
    group.add_argument(
        "--rufus-queue", type=count, default=_DEFAULTS["rufus_queue"], metavar="N",
        help="calls that may wait for a browser (besides those running); more are refused as busy "
        "(default: %(default)s)",
    )


@dataclass(frozen=True)
class RufusSettings:
    seed: SeedRequestRecord
    storage_state: str | None
    browsers: int
    endpoints: tuple[str, ...]
    chromium: str | None  # None with endpoints: nothing is launched here
    timeout: float
    retries: int
    queue: int


def rufus_settings_from(args: argparse.Namespace) -> RufusSettings | None:
    """The Rufus settings, or None without ``--rufus-seed``; CommandError for a bad option,
    an unusable seed or a missing Chromium, before the server starts."""
    if args.rufus_seed is None:
        given = [name for name, default in _DEFAULTS.items() if getattr(args, name) != default]
        if given:
            raise CommandError(f"--{given[0].replace('_', '-')} needs --rufus-seed")
        return None
    try:
        seed = load_seed(args.rufus_seed)
        check_readable(args.rufus_storage_state, "storage state file")
    except InputError as exc:
        raise CommandError(str(exc)) from None
    if not (seed.page_url and http_url(seed.page_url)):
        raise CommandError(f"seed file {args.rufus_seed} has no http(s) page_url: the tools need a product page")
    for endpoint in args.browser_endpoint:
        if not http_url(endpoint) and not endpoint.startswith(("ws://", "wss://")):
            raise CommandError(f"--browser-endpoint must be an http(s) or ws(s) URL, got {endpoint!r}")
    chromium = None
    if not args.browser_endpoint:
        from strovik.amazon_rufus.browser import find_chromium

        try:
            chromium = find_chromium(args.chromium)
        except BrowserError as exc:
            raise CommandError(exc.message) from None
    return RufusSettings(
        seed=seed,
        storage_state=args.rufus_storage_state,
        browsers=args.rufus_browsers,
        endpoints=tuple(args.browser_endpoint),
        chromium=chromium,
        timeout=args.rufus_timeout,
        retries=args.rufus_retries,
        queue=args.rufus_queue,
    )
