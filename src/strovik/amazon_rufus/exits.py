"""How ``strovik-rufus`` ends and talks on stderr: its exit statuses, their help text and
the one printer of its notes, shared by every subcommand."""

from __future__ import annotations

import sys

from strovik.command_line import EXIT_BAD_INPUT

PROG = "strovik-rufus"
EXIT_FAILURE = 1
EXIT_OUTPUT_CLOSED = 141  # 128 + SIGPIPE, the status of a filter whose reader went away

__all__ = ["EXIT_BAD_INPUT", "EXIT_CODES", "EXIT_FAILURE", "EXIT_OUTPUT_CLOSED", "PROG", "note"]

EXIT_CODES = """\
exit status:
  0    every question answered
  1    a question failed, or the browser or the output failed
  2    bad input (options, seed file, questions file)
  129  stopped by SIGHUP, 130 by SIGINT (Ctrl-C), 143 by SIGTERM (128 + signal);
       answers received before the signal are all written
  141  stdout closed by its reader (as with | head), ended quietly"""


def note(message: str) -> None:
    """One line on stderr, prefixed with the command's name."""
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)
