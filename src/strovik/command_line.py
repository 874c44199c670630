"""What the package's commands (``strovik-mcp``, ``strovik-rufus``) share on their command line:
the one-line error, the argument parser that raises it instead of printing a usage block, and
the checkers of numeric options."""

from __future__ import annotations

import argparse
from importlib import metadata
from typing import NoReturn

EXIT_BAD_INPUT = 2


class CommandError(Exception):
    """Ends a command with its text as one line on stderr and ``status`` as the exit status."""

    def __init__(self, message: str, status: int = EXIT_BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


class OneLineParser(argparse.ArgumentParser):
    """argparse prints the usage block before its message; a bad command line is one line."""

    def error(self, message: str) -> NoReturn:
        raise CommandError(message)


def _seconds(text: str, *, zero_allowed: bool) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value == float("inf") or not (value >= 0 if zero_allowed else value > 0):
        kind = "a number of seconds >= 0" if zero_allowed else "a positive number of seconds"
        raise argparse.ArgumentTypeError(f"must be {kind}, got {text!r}")
    return value


def positive_seconds(text: str) -> float:
    return _seconds(text, zero_allowed=False)


def non_negative_seconds(text: str) -> float:
    return _seconds(text, zero_allowed=True)


def count(text: str) -> int:
    """A whole number >= 0."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text!r}")
    return value


def positive_count(text: str) -> int:
    """A whole number >= 1."""
    value = count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text!r}")
    return value


def port(text: str) -> int:
    """A TCP port, 0 (any free one) to 65535."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid port {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is out of range 0-65535")
    return value


def package_version() -> str:
    """The installed package's version ("unknown" when run from a tree that is not installed)."""
    try:
        return metadata.version("strovik")
    except metadata.PackageNotFoundError:
        return "unknown"
