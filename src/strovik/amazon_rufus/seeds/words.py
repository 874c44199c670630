"""Splitting a shell command line into words as bash does, for a pasted "Copy as cURL" line.

Developer tools quote each argument for bash: '…' for most text and ANSI-C quoting, $'…',
when the text holds a quote, ``!`` or a control character (with \\uXXXX escapes for those).
The standard library's ``shlex`` does not read $'…', so this is a small tokenizer of its own.
It reads one command: the quoting forms ('…', "…", $'…', $"…", backslashes), line
continuations and comments. Nothing is expanded (``$HOME`` stays as written) and an
unquoted newline, ``;``, ``|`` or ``&`` ends the command.
"""

from __future__ import annotations

import re

# bash's ANSI-C escapes: \a \b \e \E \f \n \r \t \v \\ \' \" \? \NNN \xHH \uHHHH \UHHHHHHHH \cX
_SIMPLE = {"a": "\a", "b": "\b", "e": "\x1b", "E": "\x1b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
_SIMPLE.update({"\\": "\\", "'": "'", '"': '"', "?": "?"})
_NUMERIC = {"x": (16, 2), "u": (16, 4), "U": (16, 8)}
_HEX = re.compile(r"[0-9A-Fa-f]+")
_OCTAL = re.compile(r"[0-7]{1,3}")
_ENDS_COMMAND = frozenset("\n;|&")


class ShellSyntaxError(ValueError):
    """The text cannot be split: an unterminated quote, or a backslash at the very end."""


def _ansi_c(text: str, start: int) -> tuple[str, int]:
    """The value of the $'…' body starting at ``start``, and the index after its closing quote."""
    out: list[str] = []
    i = start
    while True:
        if i >= len(text):
            raise ShellSyntaxError("unterminated $'...' quote")
        char = text[i]
        if char == "'":
            return "".join(out), i + 1
        if char != "\\" or i + 1 >= len(text):
            out.append(char)
            i += 1
            continue
        escape = text[i + 1]
        i += 2
        if escape in _SIMPLE:
            out.append(_SIMPLE[escape])
        elif escape in _NUMERIC:
            base, width = _NUMERIC[escape]
            digits = _HEX.match(text, i, i + width)
            if digits is None:
                out.append("\\" + escape)  # bash keeps an escape without digits as written
                continue
            code = int(digits.group(), base)
            out.append(chr(code) if code <= 0x10FFFF else "\ufffd")
            i = digits.end()
        elif escape in "01234567":
            digits = _OCTAL.match(text, i - 1)
            assert digits is not None
            out.append(chr(int(digits.group(), 8) & 0xFF))
            i = digits.end()
        elif escape == "c" and i < len(text):
            out.append(chr(ord(text[i].upper()) ^ 0x40) if text[i] != "?" else "\x7f")
            i += 1
        else:
            out.append("\\" + escape)
    # not reached


def _double_quoted(text: str, start: int) -> tuple[str, int]:
    """The value of the "…" body starting at ``start``, and the index after its closing quote."""
    out: list[str] = []
    i = start
    while i < len(text):
        char = text[i]
        if char == '"':
            return "".join(out), i + 1
        if char == "\\" and i + 1 < len(text) and text[i + 1] in '$`"\\\n':
            if text[i + 1] != "\n":  # backslash-newline is a line continuation
                out.append(text[i + 1])
            i += 2
            continue
        out.append(char)
        i += 1
    raise ShellSyntaxError('unterminated "..." quote')


def split_command(text: str) -> list[str]:
    """The words of the first command in ``text``, quotes removed, as bash would pass them."""
    words: list[str] = []
    word: list[str] = []
    in_word = False  # a word may be empty (''), so its existence is tracked apart from its text
    i = 0
    while i < len(text):
        char = text[i]
        if char in " \t\r" or char in _ENDS_COMMAND:
            if in_word:
                words.append("".join(word))
                word, in_word = [], False
            if char in _ENDS_COMMAND and words:
                break
            i += 1
        elif char == "#" and not in_word:
            newline = text.find("\n", i)
            i = len(text) if newline < 0 else newline
        elif char == "\\":
            if i + 1 >= len(text):
                raise ShellSyntaxError("a backslash ends the text")
            if text[i + 1] != "\n":
                word.append(text[i + 1])
                in_word = True
            i += 2
        elif char == "'":
            end = text.find("'", i + 1)
            if end < 0:
                raise ShellSyntaxError("unterminated '...' quote")
            word.append(text[i + 1 : end])
            in_word, i = True, end + 1
        elif char == "$" and text[i + 1 : i + 2] == "'":
            value, i = _ansi_c(text, i + 2)
            word.append(value)
            in_word = True
        elif char == '"' or (char == "$" and text[i + 1 : i + 2] == '"'):
            value, i = _double_quoted(text, text.index('"', i) + 1)
            word.append(value)
            in_word = True
        else:
            word.append(char)
            in_word = True
            i += 1
    if in_word:
        words.append("".join(word))
    return words
