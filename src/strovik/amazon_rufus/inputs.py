"""Reading what a Rufus command is given: seed files and seed objects, questions, the
product page. Every problem is an ``InputError`` whose text is one line naming the file or
option at fault; nothing here prints or exits, so a Python caller can use it too."""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Sequence
from urllib.parse import urlsplit

from strovik.amazon_rufus.domain.exceptions import RufusReplayError, first_line
from strovik.amazon_rufus.domain.models import SeedRequestRecord


class InputError(ValueError):
    """An input (file, option, jobs-file line) that cannot be used; the text says why in one line."""


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
        raise InputError(f"{what} {path} does not exist") from None
    except IsADirectoryError:
        raise InputError(f"{what} {path} is a directory") from None
    except UnicodeDecodeError:
        raise InputError(f"{what} {path} is not UTF-8 text") from None
    except OSError as exc:
        raise InputError(f"cannot read {what} {path}: {exc.strerror or exc}") from None


def load_seed(path: str) -> SeedRequestRecord:
    """The seed record saved in ``path``."""
    text = read_text(path, "seed file")
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise InputError(f"seed file {path} is not JSON: {exc}") from None
    return seed_from_data(data, f"seed file {path}")


def seed_from_data(data: object, source: str) -> SeedRequestRecord:
    """The seed record of ``data`` (a parsed seed object), refused naming ``source`` when it
    cannot be used, which includes a request body that is not JSON."""
    try:
        seed = SeedRequestRecord.from_dict(data)
    except RufusReplayError as exc:
        raise InputError(f"{source}: {first_line(exc.message)}") from None
    try:
        json.loads(seed.request_body)
    except json.JSONDecodeError as exc:
        raise InputError(f"{source}: request_body is not JSON: {exc}") from None
    return seed


def load_questions(questions_file: str | None, inline: Sequence[str] | None) -> list[str]:
    """Questions from a file ("-": stdin; one per line, blank lines skipped) or ``-q`` options."""
    if questions_file is not None:
        lines = read_text(questions_file, "questions file").split("\n")
        questions = [line.strip() for line in lines if line.strip()]
        if not questions:
            raise InputError(f"questions file {questions_file} holds no questions")
        return questions
    questions = [question.strip() for question in inline or ()]
    if not questions:
        raise InputError("no questions given")
    if not all(questions):
        raise InputError("a question given with -q is blank")
    return questions


def http_url(url: str) -> bool:
    """Whether ``url`` is an http(s) URL with a host."""
    parts = urlsplit(url)
    return parts.scheme in ("http", "https") and bool(parts.netloc)


def resolve_product_url(option: str | None, seed: SeedRequestRecord) -> str:
    """The product page to open: ``option``, else the seed's ``page_url``."""
    url = option or seed.page_url
    if not url:
        raise InputError("no product page: pass --product-url or add page_url to the seed file")
    if not http_url(url):
        raise InputError(f"product page URL must be an http(s) URL, got {url!r}")
    return url


def check_readable(path: str | None, what: str) -> None:
    """Refuse a file option naming a file that is not there, before any browser starts."""
    if path is not None and not os.path.isfile(path):
        raise InputError(f"{what} {path} does not exist")
