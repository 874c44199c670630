"""Writing files that hold a signed-in session (seeds, storage states).

They are written whole or not at all (a temporary file in the same folder, then a rename),
readable by their owner only (mode 0600), and an existing file is replaced only when asked.
"""

from __future__ import annotations

import os
import tempfile


class OutputFileError(Exception):
    """A file cannot be written; the text says which and why in one line."""


def check_writable(path: str, what: str, *, force: bool) -> None:
    """Refuse ``path`` before any work is done: it exists (without ``force``), it is a
    folder, or its folder does not exist."""
    if os.path.isdir(path):
        raise OutputFileError(f"{what} {path} is a directory")
    if os.path.lexists(path) and not force:
        raise OutputFileError(f"{what} {path} exists (use --force to replace it)")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputFileError(f"cannot write {what} {path}: folder {folder} does not exist")


def write_private(path: str, text: str, what: str, *, force: bool) -> None:
    """Write ``text`` to ``path`` atomically with mode 0600.

    Without ``force`` the file is put in place with a hard link, which fails when ``path``
    exists, so a file made meanwhile by someone else is not replaced either.
    """
    folder = os.path.dirname(os.path.abspath(path))
    try:
        handle, temporary = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=folder)  # mode 0600
    except OSError as exc:
        raise OutputFileError(f"cannot write {what} {path}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
        if force:
            os.replace(temporary, path)
        else:
            _place_new(temporary, path)
    except FileExistsError:
        raise OutputFileError(f"{what} {path} exists (use --force to replace it)") from None
    except OSError as exc:
        raise OutputFileError(f"cannot write {what} {path}: {exc.strerror or exc}") from None
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


def _place_new(temporary: str, path: str) -> None:
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise
    except OSError:
        # A file system without hard links: check, then rename (a narrow race, as with any
        # tool on such a file system).
        if os.path.lexists(path):
            raise FileExistsError(path) from None
        os.replace(temporary, path)
