"""The deprecated fixed-key token provider."""

from __future__ import annotations

import asyncio
import logging
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from guardlet_helpers import LOGGER, finish, guardlet_module, tb_names


@pytest.fixture(scope="module")
def Provider():
    return guardlet_module().FixedApiKeyAuthProvider


def runtime_str(text: str) -> str:
    """An equal string that is a distinct object from the literal."""
    return "".join(list(text))


def test_init_stores_only_the_key(Provider, caplog):
    key = runtime_str("shared-key")
    with warnings.catch_warnings(record=True) as caught, caplog.at_level(logging.DEBUG):
        warnings.simplefilter("always")
        provider = Provider(key)
    assert vars(provider) == {"_api_key": key}
    assert provider._api_key is key
    assert caught == []
    assert [r for r in caplog.records if r.name.startswith(LOGGER)] == []


def test_matching_token_gives_a_fresh_access_token(Provider):
    provider = Provider("shared-key")
    token = runtime_str("shared-key")
    first = finish(provider.verify_token(token))
    assert first.token is token
    assert first.client_id == "default"
    assert first.scopes == ["strovik:mcp"]
    assert type(first.scopes) is list
    cls = type(first)
    assert cls.__name__ == "AccessToken"
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    assert vars(first) == {}
    assert [name for name in vars(cls) if not name.startswith("__")] == ["token", "client_id", "scopes"]

    second = finish(provider.verify_token(token))
    assert type(second) is not cls
    assert second.scopes is not first.scopes
    assert second.scopes == first.scopes


@pytest.mark.parametrize(
    "key, token",
    [
        ("shared-key", "Shared-key"),
        ("shared-key", "shared-key "),
        ("shared-key", " shared-key"),
        ("shared-key", "shared-ke"),
        ("shared-key", "shared-keyy"),
        ("shared-key", ""),
        ("", "x"),
        ("ключ", "ключ\u0301"),
        ("a\x00b", "a"),
        ("k", "k\x00"),  # equal but for a trailing NUL: the lengths alone differ
    ],
)
def test_differing_tokens_give_none(Provider, key, token):
    assert finish(Provider(key).verify_token(token)) is None


@pytest.mark.parametrize("key", ["", "a", "中文钥匙", "a\x00b", "k" * 10_000, "\ud800"])
def test_equal_tokens_are_accepted(Provider, key):
    result = finish(Provider(key).verify_token(runtime_str(key)))
    assert result is not None and result.token == key


@settings(max_examples=300, deadline=None)
@given(key=st.text(max_size=24), token=st.text(max_size=24), share=st.integers(0, 24))
def test_comparison_agrees_with_equality(Provider, key, token, share):
    # a token sharing a prefix with the key exercises a late first difference
    token = key[:share] + token
    result = finish(Provider(key).verify_token(token))
    assert (result is not None) == (token == key)


def test_non_str_stored_key_is_compared_with_python_inequality(Provider):
    provider = Provider("k")
    provider._api_key = 5
    assert finish(provider.verify_token("5")) is None

    class EqualToAll:
        def __eq__(self, other):
            return True

        def __ne__(self, other):
            return False

    provider._api_key = EqualToAll()
    assert finish(provider.verify_token("anything")).token == "anything"

    class NotUnequalToAny:  # defines only !=, so == falls back to identity
        def __ne__(self, other):
            return False

    provider._api_key = NotUnequalToAny()
    assert finish(provider.verify_token("anything")) is not None

    class Text(str):
        pass

    provider._api_key = Text("k")
    assert finish(provider.verify_token("k")) is not None
    assert finish(provider.verify_token("j")) is None


def test_key_is_read_at_each_call(Provider):
    provider = Provider("old")
    provider._api_key = "new"
    assert finish(provider.verify_token("old")) is None
    assert finish(provider.verify_token("new")) is not None


def test_missing_key_raises_when_awaited_not_when_called(Provider):
    provider = Provider("k")
    del provider._api_key
    coro = provider.verify_token("k")
    with pytest.raises(AttributeError) as info:
        finish(coro)
    assert "verify_token" in tb_names(info.value)


@pytest.mark.parametrize("bad", [None, 1, b"k"])
def test_wrong_types_are_refused(Provider, bad):
    name = type(bad).__name__
    with pytest.raises(TypeError) as info:
        Provider(bad)
    assert str(info.value) == f"Argument 'api_key' has incorrect type (expected str, got {name})"
    with pytest.raises(TypeError) as info:
        Provider("k").verify_token(bad)
    assert str(info.value) == f"Argument 'token' has incorrect type (expected str, got {name})"


def test_verify_token_coroutine(Provider):
    coro = Provider("k").verify_token("k")
    assert asyncio.iscoroutine(coro)
    assert coro.__name__ == "verify_token"
    assert coro.__qualname__ == "FixedApiKeyAuthProvider.verify_token"
    # no await point of its own: it finishes at the first resumption
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value.token == "k"


def test_verify_token_on_an_event_loop(Provider):
    async def main():
        provider = Provider("loop-key")
        return await asyncio.gather(provider.verify_token("loop-key"), provider.verify_token("nope"))

    good, bad = asyncio.run(main())
    assert good.scopes == ["strovik:mcp"] and bad is None


@settings(max_examples=50, deadline=None)
@given(token=st.text(max_size=10))
def test_iscoroutine_for_any_token(Provider, token):
    coro = Provider("x").verify_token(token)
    assert asyncio.iscoroutine(coro)
    coro.close()
