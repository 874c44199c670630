"""Exceptions raised by the Rufus replay tooling."""

from __future__ import annotations


class RufusReplayError(Exception):
    """A Rufus request could not be rebuilt, replayed or read.

    The replay service may attach ``partial_answers`` (the answers obtained before
    the failure, in question order) to the exception it lets propagate.
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
