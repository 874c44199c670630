"""Fixtures for the tests of the shared module frame, exercised through ``strovik.mcp.guardlet``."""

import importlib

import pytest


@pytest.fixture(scope="session")
def guardlet():
    return importlib.import_module("strovik.mcp.guardlet")


@pytest.fixture(scope="session")
def ApiKeyGuardlet(guardlet):
    return guardlet.ApiKeyGuardlet


@pytest.fixture(scope="session")
def Provider(guardlet):
    return guardlet.FixedApiKeyAuthProvider


async def _app(scope, receive, send):
    return None


@pytest.fixture
def gate(ApiKeyGuardlet):
    return ApiKeyGuardlet(_app, api_key="frame-key")
