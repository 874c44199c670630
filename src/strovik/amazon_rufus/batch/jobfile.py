"""Batch input: a jobs file (JSON lines), or one seed, a list of ASINs and a list of
questions. Everything is read and checked before the first question is sent, and a
problem is one line naming the file and line."""

from __future__ import annotations

import json
import os
from typing import Any

from strovik.amazon_rufus.batch.runner import BatchJob
from strovik.amazon_rufus.conversation import asin_page_url, retarget_seed
from strovik.amazon_rufus.domain.models import SeedRequestRecord, valid_asin
from strovik.amazon_rufus.inputs import (
    InputError,
    load_questions,
    load_seed,
    read_text,
    resolve_product_url,
    seed_from_data,
)

JOB_FIELDS = {"id", "seed", "product_url", "asin", "questions"}


def _job(job_id: str, seed: SeedRequestRecord, questions: list[str], product_url: Any, asin: Any) -> BatchJob:
    if asin is not None:
        asin = asin.strip().upper()
        if not valid_asin(asin):
            raise InputError(f"ASIN must be 10 letters or digits, got {asin!r}")
    url = product_url or (asin_page_url(seed, asin) if asin else None)
    if not (url or seed.page_url):
        raise InputError("no product page: give 'product_url' or 'asin', or a seed with page_url")
    seed = retarget_seed(seed, product_url=url, asin=asin)
    return BatchJob(job_id, seed, tuple(questions), resolve_product_url(url, seed))


def jobs_for_asins(seed_path: str, asins_path: str, questions_path: str) -> list[BatchJob]:
    """One job per ASIN of ``asins_path`` (one a line), each asking every question."""
    seed = load_seed(seed_path)
    questions = load_questions(questions_path, None)
    jobs: list[BatchJob] = []
    seen: dict[str, int] = {}
    for number, line in enumerate(read_text(asins_path, "ASINs file").split("\n"), start=1):
        asin = line.strip().upper()
        if not asin:
            continue
        if not valid_asin(asin):
            raise InputError(
                f"ASINs file {asins_path} line {number}: not an ASIN (10 letters or digits): {line.strip()!r}"
            )
        if asin in seen:
            raise InputError(f"ASINs file {asins_path} line {number}: {asin} is listed already on line {seen[asin]}")
        seen[asin] = number
        jobs.append(_job(asin, seed, questions, None, asin))
    if not jobs:
        raise InputError(f"ASINs file {asins_path} holds no ASINs")
    return jobs


def load_jobs(path: str, default_seed: str | None = None) -> list[BatchJob]:
    """The jobs of a JSON-lines jobs file; see the README's "Batch replay" section."""
    base = os.path.dirname(os.path.abspath(path)) if path != "-" else os.getcwd()
    # Seed paths inside the file are relative to it; --seed is relative to where we run.
    default_seed = os.path.abspath(default_seed) if default_seed else None
    seeds: dict[str, SeedRequestRecord] = {}
    jobs: list[BatchJob] = []
    lines: dict[str, int] = {}
    for number, line in enumerate(read_text(path, "jobs file").split("\n"), start=1):
        if not line.strip():
            continue
        try:
            job = _parse_job(line, number, base, seeds, default_seed)
        except InputError as exc:
            raise InputError(f"jobs file {path} line {number}: {exc}") from None
        if job.id in lines:
            raise InputError(f"jobs file {path} line {number}: job id {job.id!r} is used already on line {lines[job.id]}")
        lines[job.id] = number
        jobs.append(job)
    if not jobs:
        raise InputError(f"jobs file {path} holds no jobs")
    return jobs


def _parse_job(
    line: str, number: int, base: str, seeds: dict[str, SeedRequestRecord], default_seed: str | None
) -> BatchJob:
    try:
        data = json.loads(line)
    except json.JSONDecodeError as exc:
        raise InputError(f"not JSON: {exc}") from None
    if not isinstance(data, dict):
        raise InputError("a job must be a JSON object")
    unknown = sorted(set(data) - JOB_FIELDS)
    if unknown:
        raise InputError(f"unknown field {unknown[0]!r} (fields: {', '.join(sorted(JOB_FIELDS))})")
    job_id = data.get("id", str(number))
    if isinstance(job_id, bool) or not isinstance(job_id, (str, int)) or str(job_id) == "":
        raise InputError("'id' must be a non-empty string or a number")
    questions = data.get("questions")
    if (
        not isinstance(questions, list)
        or not questions
        or not all(isinstance(question, str) and question.strip() for question in questions)
    ):
        raise InputError("'questions' must be a non-empty list of non-blank strings")
    for name in ("product_url", "asin"):
        if data.get(name) is not None and not isinstance(data[name], str):
            raise InputError(f"{name!r} must be a string")
    seed = _job_seed(data.get("seed", default_seed), base, seeds)
    questions = [question.strip() for question in questions]
    return _job(str(job_id), seed, questions, data.get("product_url"), data.get("asin"))


def _job_seed(value: Any, base: str, seeds: dict[str, SeedRequestRecord]) -> SeedRequestRecord:
    if value is None:
        raise InputError("no 'seed' (give a seed file path or a seed object, or --seed for every job)")
    if isinstance(value, str):
        path = value if os.path.isabs(value) else os.path.join(base, value)
        if path not in seeds:
            seeds[path] = load_seed(path)
        return seeds[path]
    if not isinstance(value, dict):
        raise InputError("'seed' must be a file path or a seed object")
    return seed_from_data(value, "seed")
