"""Fixtures for the server's end-to-end tests: real server processes and a real verification backend."""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from backend import VerificationBackend
from server_harness import BACKEND_USERS, SERVER_FIXED_KEY, ServerProcess


@pytest.fixture(scope="module")
def backend_server() -> Iterator[VerificationBackend]:
    backend = VerificationBackend(BACKEND_USERS).start()
    yield backend
    backend.stop()


def _serve(tmp_path_factory: pytest.TempPathFactory, name: str, *args: str) -> Iterator[ServerProcess]:
    server = ServerProcess(tmp_path_factory.mktemp(name), *args).start()
    try:
        yield server
    finally:
        server.kill()


@pytest.fixture(scope="module")
def server_fixed(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ServerProcess]:
    yield from _serve(tmp_path_factory, "fixed", "--api-key", SERVER_FIXED_KEY)


@pytest.fixture(scope="module")
def server_pooled(tmp_path_factory: pytest.TempPathFactory, backend_server: VerificationBackend) -> Iterator[ServerProcess]:
    yield from _serve(
        tmp_path_factory, "pooled", "--auth-verify-url", backend_server.url, "--verify-pool", "--verify-cache-ttl", "600"
    )
