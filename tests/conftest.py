"""Root of the test suite. Fixtures live beside the tests that use them, in each folder's conftest.py.

Tests that drive Chromium (through Playwright's synchronous API, or by starting a command that does)
carry the marker "browser". Every test in a module named test_*browser*.py gets it automatically;
elsewhere, mark such a test explicitly. scripts/sanitize.sh runs these tests in a pass of their own,
because Playwright's synchronous API switches stacks with greenlet, which a fully stack-instrumented
build cannot follow.

Under scripts/sanitize.sh every child process inherits LD_PRELOAD with the sanitizer runtimes: Python
children need it, Chromium hangs with it, so whatever starts the browser starts it (and Playwright's
driver) without LD_PRELOAD, as tests/amazon_rufus/conftest.py does.
"""

import fnmatch

import pytest


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "browser: drives Chromium through Playwright (greenlet stack switching)")


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if fnmatch.fnmatch(item.path.name, "test_*browser*.py"):
            item.add_marker(pytest.mark.browser)
