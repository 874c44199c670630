"""``strovik-rufus``: replay Rufus questions from a captured seed request in Chromium.

The seed file is one captured Rufus request as a JSON object (see
``SeedRequestRecord.from_dict``): saved by a browser extension, or made by ``capture`` and
``seed import`` (``strovik.amazon_rufus.seeds``). The product page is opened in Chromium through
Playwright with the seed's session, and every question is sent from inside that page
(``strovik.amazon_rufus.conversation``). Each answer is written as one JSON line the
moment it is read; progress and errors go to stderr. Each subcommand lives in a module of
its own; this one builds the parser and turns failures into exit statuses.
"""

from __future__ import annotations

import argparse
import io
import sys
from collections.abc import Sequence

from strovik.amazon_rufus.exits import EXIT_BAD_INPUT, EXIT_CODES, EXIT_FAILURE, EXIT_OUTPUT_CLOSED, PROG, note
from strovik.amazon_rufus.inputs import InputError
from strovik.amazon_rufus.jsonlines import OutputClosed, OutputFailed
from strovik.amazon_rufus.signals import Stopped, stop_on_signals
from strovik.command_line import CommandError, OneLineParser, package_version


def build_parser() -> argparse.ArgumentParser:
    from strovik.amazon_rufus.batch.command import add_batch_command
    from strovik.amazon_rufus.replay_command import add_replay_command
    from strovik.amazon_rufus.seeds.command import add_capture_command, add_seed_command

    parser = OneLineParser(
        prog=PROG,
        description="Replay Rufus questions from a captured seed request.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=OneLineParser)
    add_replay_command(commands)
    add_batch_command(commands)
    add_capture_command(commands)
    add_seed_command(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # Answer lines are JSON, which is UTF-8 whatever the terminal's locale says.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(encoding="utf-8")
    with stop_on_signals():
        try:
            return _main(argv)
        except Stopped as exc:
            note(f"stopped by {exc}; every answer received before it is written")
            return exc.status


def _main(argv: Sequence[str] | None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return int(args.handler(args))
    except CommandError as exc:
        note(f"error: {exc}")
        return exc.status
    except InputError as exc:
        note(f"error: {exc}")
        return EXIT_BAD_INPUT
    except OutputClosed:
        return EXIT_OUTPUT_CLOSED
    except OutputFailed as exc:
        note(f"error: {exc}")
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
