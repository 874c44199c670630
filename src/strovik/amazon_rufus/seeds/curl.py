"""The request of a curl command line, as developer tools' "Copy as cURL" writes one.

The line is split as bash would split it (``words.split_command``); of curl's options those
that say what is sent are read (URL, method, headers, cookies, body, referer, user agent),
the others are skipped, with their argument when they take one.
"""

from __future__ import annotations

from strovik.amazon_rufus.inputs import InputError
from strovik.amazon_rufus.seeds.record import SentRequest
from strovik.amazon_rufus.seeds.words import ShellSyntaxError, split_command

_BODY = {"-d", "--data", "--data-raw", "--data-binary", "--data-ascii", "--json"}
_SENT = {"-H", "--header", "-b", "--cookie", "-X", "--request", "-e", "--referer", "-A", "--user-agent", "--url"}
# curl options that take an argument but say nothing about the request sent.
_SKIPPED = {
    "-o", "--output", "-m", "--max-time", "--connect-timeout", "-x", "--proxy", "-u", "--user", "-c", "--cookie-jar",
    "-w", "--write-out", "--resolve", "--cacert", "--cert", "--key", "-r", "--range", "-F", "--form", "-T",
    "--upload-file", "--retry", "-K", "--config", "--data-urlencode", "-U", "--proxy-user", "--limit-rate", "-D",
    "--dump-header", "--interface", "--connect-to", "--max-redirs", "--unix-socket", "-E",
}
_TAKES_VALUE = _BODY | _SENT | _SKIPPED


def _options(words: list[str], source: str) -> list[tuple[str, str | None]]:
    """(option, value) pairs, the URL arguments given as ("--url", url)."""
    pairs: list[tuple[str, str | None]] = []
    i = 1
    while i < len(words):
        word = words[i]
        i += 1
        if not word.startswith("-") or word == "-":
            pairs.append(("--url", word))
        elif word in _TAKES_VALUE:
            if i >= len(words):
                raise InputError(f"{source}: option {word} has no value")
            pairs.append((word, words[i]))
            i += 1
        elif word[:2] in _TAKES_VALUE and not word.startswith("--"):
            pairs.append((word[:2], word[2:]))  # -XPOST, -H'...': a short option's value attached
        else:
            pairs.append((word, None))
    return pairs


def curl_request(text: str, source: str) -> SentRequest:
    """The request the curl command in ``text`` would send; InputError when it names none."""
    try:
        words = split_command(text)
    except ShellSyntaxError as exc:
        raise InputError(f"{source}: {exc}") from None
    if not words or words[0].rsplit("/", 1)[-1] not in ("curl", "curl.exe"):
        raise InputError(f"{source} is not a curl command (use 'Copy as cURL (bash)')")
    url = method = None
    headers: list[tuple[str, str]] = []
    bodies: list[str] = []
    for option, value in _options(words, source):
        if value is None:
            continue
        if option == "--url":
            url = url or value
        elif option in ("-X", "--request"):
            method = value
        elif option in ("-H", "--header"):
            name, colon, header = value.partition(":")
            if colon and name.strip():
                headers.append((name.strip(), header.strip()))
        elif option in ("-b", "--cookie"):
            if "=" not in value:
                raise InputError(f"{source}: {option} {value} names a cookie file; give the cookies themselves")
            headers.append(("Cookie", value))
        elif option in ("-e", "--referer"):
            headers.append(("Referer", value))
        elif option in ("-A", "--user-agent"):
            headers.append(("User-Agent", value))
        elif option in _BODY:
            if value.startswith("@") and option not in ("--data-raw",):
                raise InputError(f"{source}: {option} {value} reads the body from a file; give the body itself")
            if option == "--json" and not any(name.lower() == "content-type" for name, _ in headers):
                headers.append(("Content-Type", "application/json"))
            bodies.append(value)
    if url is None:
        raise InputError(f"{source}: the curl command has no URL")
    body = "&".join(bodies) if bodies else None  # curl joins several -d values with "&"
    return SentRequest(method or ("POST" if body is not None else "GET"), url, headers, body)
