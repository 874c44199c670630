"""The seed commands on bad input: one line on stderr, the exit status, and the output file
(which exists, holding an earlier seed) left as it was, even with --force."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from .test_importing_browser import run

RUFUS = "https://www.amazon.com/rufus/cl/streaming"


def har(*requests: dict[str, object]) -> str:
    entries = [{"startedDateTime": "2024-05-01T10:00:00Z", "request": request} for request in requests]
    return json.dumps({"log": {"entries": entries}})


FILES = {
    "not_json": "{\"log\": ",
    "not_har": json.dumps({"log": {"pages": []}}),
    "only_get": har({"method": "GET", "url": RUFUS, "headers": []}),
    "text_body": har({"method": "POST", "url": RUFUS, "headers": [], "postData": {"text": "q=1"}}),
    "one_post": har({"method": "POST", "url": RUFUS, "headers": [], "postData": {"text": "{}"}}),
    "no_url": "curl -H 'content-type: application/json' --data-raw '{}'\n",
    "open_quote": "curl 'https://www.amazon.com/rufus/' --data-raw $'{\\'}\n",
    "wget": f"wget {RUFUS}\n",
    "get_line": f"curl '{RUFUS}' -H 'accept: */*'\n",
    "no_page": json.dumps({"request_url": RUFUS, "request_headers": {}, "request_body": "{}"}),
}


@pytest.mark.parametrize(
    ("args", "status", "fragment"),
    [
        (["seed", "import", "--har", "{not_json}", "--force"], 2, "is not JSON"),
        (["seed", "import", "--har", "{not_har}", "--force"], 2, "is not a HAR file (no log.entries list)"),
        (["seed", "import", "--har", "{only_get}", "--force"], 2, "holds no matching POST request"),
        (["seed", "import", "--har", "{text_body}", "--force"], 2, "request_body is not JSON"),
        (["seed", "import", "--har", "{one_post}", "--pick", "2", "--force"], 2, "--pick 2: HAR file"),
        (["seed", "import", "--har", "{one_post}", "--match", "(", "--force"], 2, "--match is not a regular"),
        (["seed", "import", "--curl", "{no_url}", "--force"], 2, "the curl command has no URL"),
        (["seed", "import", "--curl", "{open_quote}", "--force"], 2, "unterminated $'...' quote"),
        (["seed", "import", "--curl", "{wget}", "--force"], 2, "is not a curl command"),
        (["seed", "import", "--curl", "{get_line}", "--force"], 2, f"GET {RUFUS} is not a POST matching"),
        (["seed", "import", "--curl", "{missing}", "--force"], 2, "does not exist"),
        (["seed", "import", "--har", "{one_post}"], 1, "exists (use --force to replace it)"),
        (["capture", "--chromium", "{missing}"], 1, "exists (use --force to replace it)"),
        (["capture", "--url", "file:///etc/passwd", "--force"], 2, "--url must be an http(s) URL"),
        (["seed", "show", "{no_page}"], 2, "no page_url: replay needs --product-url"),
        (["seed", "show", "{not_json}"], 2, "is not JSON"),
    ],
)
def test_bad_input_ends_with_one_line_and_keeps_the_output(
    tmp_path: Path, args: list[str], status: int, fragment: str
) -> None:
    names = {"missing": str(tmp_path / "absent")}
    for name, text in FILES.items():
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        names[name] = str(path)
    output = tmp_path / "seed.json"
    output.write_text("earlier seed")
    if args[0] == "capture" or args[1] == "import":
        args = [*args, "--output", str(output)]
    result = run(*(arg.format(**names) for arg in args))
    assert result.returncode == status, result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("strovik-rufus: error: ") and fragment in lines[0], result.stderr
    assert output.read_text() == "earlier seed"
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted([*FILES, "seed.json"])
