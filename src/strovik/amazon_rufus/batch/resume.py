"""What an output file already holds, so that a resumed batch asks only the rest.

Each answer line settles its question; failure lines do not (the question is asked
again). A last line cut short by a crash is removed, so that appending goes on at a
line boundary.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence

from strovik.amazon_rufus.batch.runner import BatchJob
from strovik.amazon_rufus.inputs import InputError


def _drop_partial_tail(path: str) -> None:
    with open(path, "rb+") as handle:
        size = handle.seek(0, os.SEEK_END)
        if size == 0:
            return
        handle.seek(size - 1)
        if handle.read(1) == b"\n":
            return
        # Find the last complete line and cut after it.
        end = size
        while end > 0:
            start = max(0, end - 65536)
            handle.seek(start)
            chunk = handle.read(end - start)
            newline = chunk.rfind(b"\n")
            if newline >= 0:
                handle.truncate(start + newline + 1)
                return
            end = start
        handle.truncate(0)


def read_answered(path: str, jobs: Sequence[BatchJob]) -> dict[str, dict[int, str | None]]:
    """Job id -> question index -> thread id after that answer, for every answer line of
    ``path`` (an absent file holds none). InputError when a line is not a batch record or
    names a question that the job does not have at that index."""
    try:
        _drop_partial_tail(path)
        with open(path, encoding="utf-8") as handle:
            lines = handle.read().split("\n")
    except FileNotFoundError:
        return {}
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"cannot read output file {path} to resume: {getattr(exc, 'strerror', None) or exc}") from None
    questions = {job.id: job.questions for job in jobs}
    answered: dict[str, dict[int, str | None]] = {}
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
            job_id, index, question = record["job"], record["index"], record["question"]
        except (json.JSONDecodeError, TypeError, KeyError):
            raise InputError(f"output file {path} line {number} is not a batch result; cannot resume from it") from None
        if "text" not in record or job_id not in questions:
            continue
        asked = questions[job_id]
        if not (isinstance(index, int) and 1 <= index <= len(asked) and asked[index - 1] == question):
            raise InputError(
                f"output file {path} line {number}: job {job_id!r} has no question {index} {question!r}; "
                "is it the output of another batch?"
            )
        answered.setdefault(job_id, {})[index] = record.get("thread_id")
    return answered
