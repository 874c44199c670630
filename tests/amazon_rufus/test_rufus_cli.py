"""The strovik-rufus command on bad input: one line on stderr, non-zero exit, no traceback."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

GOOD_SEED = {
    "request_url": "https://www.amazon.com/rufus/cl/streaming",
    "request_headers": {"content-type": "application/json"},
    "request_body": "{}",
    "page_url": "https://www.amazon.com/dp/B0CX23V2ZK",
}


def run_cli(
    *args: str, code: str | None = None, timeout: float = 60, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    command = [sys.executable, "-c", code] if code else [sys.executable, "-m", "strovik.amazon_rufus.cli"]
    return subprocess.run(
        [*command, *args], capture_output=True, text=True, encoding="utf-8", timeout=timeout, stdin=subprocess.DEVNULL,
        env=env,
    )


def assert_one_line_error(result: subprocess.CompletedProcess[str], fragment: str, status: int = 2) -> None:
    assert result.returncode == status, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("strovik-rufus: error: ")
    assert fragment in lines[0]
    assert "Traceback" not in result.stderr


@pytest.fixture
def files(tmp_path: Path) -> dict[str, Path]:
    paths = {
        "seed": tmp_path / "seed.json",
        "seed_no_page": tmp_path / "seed-no-page.json",
        "not_json": tmp_path / "not-json.json",
        "array": tmp_path / "array.json",
        "lacking": tmp_path / "lacking.json",
        "latin1": tmp_path / "latin1.json",
        "questions": tmp_path / "questions.txt",
        "blank_questions": tmp_path / "blank.txt",
        "text_body": tmp_path / "text-body.json",
    }
    paths["text_body"].write_text(json.dumps({**GOOD_SEED, "request_body": "question=1"}))
    paths["seed"].write_text(json.dumps(GOOD_SEED))
    paths["seed_no_page"].write_text(json.dumps({k: v for k, v in GOOD_SEED.items() if k != "page_url"}))
    paths["not_json"].write_text('{"request_url": ')
    paths["array"].write_text("[1, 2]")
    paths["lacking"].write_text(json.dumps({"request_url": "https://x", "request_body": 3}))
    paths["latin1"].write_bytes('{"request_body": "caf\u00e9"}'.encode("latin-1"))
    paths["questions"].write_text("first?\n\nsecond?\n")
    paths["blank_questions"].write_text("\n   \n\t\n")
    return paths


@pytest.mark.parametrize(
    ("args", "fragment"),
    [
        ([], "the following arguments are required: COMMAND"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["replay", "-q", "hi"], "the following arguments are required: --seed"),
        (["replay", "--seed", "{seed}"], "one of the arguments --questions-file -q/--question is required"),
        (["replay", "--seed", "{seed}", "-q", "a", "--questions-file", "{questions}"], "not allowed with"),
        (["replay", "--seed", "{seed}", "-q", "a", "--bogus"], "unrecognized arguments: --bogus"),
        (["replay", "--seed", "{missing}", "-q", "a"], "does not exist"),
        (["replay", "--seed", "{dir}", "-q", "a"], "is a directory"),
        (["replay", "--seed", "{not_json}", "-q", "a"], "is not JSON: Expecting value: line 1 column 17"),
        (["replay", "--seed", "{latin1}", "-q", "a"], "is not UTF-8 text"),
        (["replay", "--seed", "{array}", "-q", "a"], "seed record must be a JSON object, got list"),
        (
            ["replay", "--seed", "{lacking}", "-q", "a"],
            "missing field 'request_headers'; field 'request_body' must be a string or an object, got int",
        ),
        (["replay", "--seed", "{seed}", "--questions-file", "{missing}"], "questions file"),
        (["replay", "--seed", "{seed}", "--questions-file", "{blank_questions}"], "holds no questions"),
        (["replay", "--seed", "{seed}", "-q", "a", "-q", "   "], "a question given with -q is blank"),
        (["replay", "--seed", "{seed_no_page}", "-q", "a"], "no product page: pass --product-url"),
        (["replay", "--seed", "{seed}", "-q", "a", "--product-url", "file:///etc/passwd"], "must be an http(s) URL"),
        (["replay", "--seed", "{seed}", "-q", "a", "--product-url", "https://"], "must be an http(s) URL"),
        (["replay", "--seed", "{seed}", "-q", "a", "--chromium", "{missing}"], "Chromium executable not found"),
        (["replay", "--seed", "{seed}", "-q", "a", "--chromium", "{seed}"], "Chromium executable not found"),
        (["replay", "--seed", "{seed}", "-q", "a", "--timeout", "0"], "must be a positive number of seconds"),
        (["replay", "--seed", "{seed}", "-q", "a", "--retries", "-1"], "must not be negative"),
        (["replay", "--seed", "{seed}", "-q", "a", "--asin", "B0/"], "--asin must be 10 letters or digits"),
        (["replay", "--seed", "{seed}", "-q", "a", "--storage-state", "{missing}"], "storage state file"),
        (["replay", "--seed", "{seed}", "-q", "a", "--storage-state", "{seed}", "--user-data-dir", "{dir}"],
         "not allowed with"),
        (["replay", "--seed", "{text_body}", "-q", "a"], "request_body is not JSON"),
    ],
)
def test_bad_input_ends_with_one_line(
    files: dict[str, Path], tmp_path: Path, args: list[str], fragment: str
) -> None:
    names = {name: str(path) for name, path in files.items()}
    names["missing"] = str(tmp_path / "absent.json")
    names["dir"] = str(tmp_path)
    result = run_cli(*(arg.format(**names) for arg in args))
    assert_one_line_error(result, fragment)


def test_replay_module_that_cannot_load_is_reported_in_one_line(files: dict[str, Path]) -> None:
    # Everything else is valid; the replay module is made unimportable in the child.
    code = (
        "import sys\n"
        "sys.modules['strovik.amazon_rufus.services.replay'] = None\n"
        "from strovik.amazon_rufus.cli import main\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    result = run_cli(
        "replay", "--seed", str(files["seed"]), "--questions-file", str(files["questions"]),
        "--chromium", sys.executable, code=code,
    )
    assert_one_line_error(result, "the replay module cannot be loaded", status=1)


@pytest.mark.parametrize(
    ("command", "driver", "fragment"),
    [
        ("replay", "broken", "error: cannot start Playwright: "),
        ("batch", "broken", "rufus-batch-1: cannot start Playwright: "),
        ("batch", "working", "lost (cannot connect to browser endpoint"),
    ],
)
def test_browser_that_cannot_be_had_is_reported_without_a_traceback(
    files: dict[str, Path], tmp_path: Path, command: str, driver: str, fragment: str
) -> None:
    env = dict(os.environ)
    if driver == "broken":
        env["PLAYWRIGHT_NODEJS_PATH"] = str(tmp_path / "no-node")
    if command == "replay":
        args = ["replay", "--seed", str(files["seed"]), "-q", "a", "--chromium", sys.executable]
    else:
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            endpoint = f"http://127.0.0.1:{closed.getsockname()[1]}"
        jobs = tmp_path / "jobs.jsonl"
        jobs.write_text(json.dumps({"seed": str(files["seed"]), "questions": ["a?"]}) + "\n")
        args = ["batch", "--jobs", str(jobs), "--browser-endpoint", endpoint, "--no-progress"]
    result = run_cli(*args, env=env)
    assert result.returncode == 1, result.stderr
    assert fragment in result.stderr
    assert all(line.startswith("strovik-rufus: ") for line in result.stderr.splitlines()), result.stderr


def test_help_lists_the_replay_options_and_exit_codes() -> None:
    result = run_cli("replay", "--help")
    assert result.returncode == 0
    options = ("--seed", "--questions-file", "-q", "--product-url", "--asin", "--output", "--timeout", "--retries")
    options += ("--keep-going", "--storage-state", "--user-data-dir", "--save-storage-state", "--headed", "--headful")
    for option in options:
        assert option in result.stdout
    codes = [line.split()[0] for line in result.stdout.split("exit status:")[1].splitlines() if line[:3] == "  1"]
    assert codes == ["1", "129", "141"] and "  0 " in result.stdout and "  2 " in result.stdout
    version = run_cli("--version")
    assert version.returncode == 0 and version.stdout.startswith("strovik-rufus ")
