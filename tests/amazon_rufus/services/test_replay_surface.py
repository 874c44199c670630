"""Load and surface of the native replay module: attributes, class, method objects,
argument binding, exact-type checks and traceback entries."""

from __future__ import annotations

import asyncio
import inspect
import json
import pickle
import subprocess
import sys
import textwrap
import traceback
import urllib.parse
from types import MethodType, ModuleType
from typing import Any

import pytest

import strovik.amazon_rufus.domain.exceptions as exceptions_module
import strovik.amazon_rufus.domain.models as models_module
import strovik.amazon_rufus.services.parser as parser_module

from ..helpers import RecordingPage, RecordingSeed, make_seed

MODULE = "strovik.amazon_rufus.services.replay"
CLASS_PATH = MODULE + ".RufusReplayService"

# name, parameters, defaults, annotations (in order, return last), docstring
METHODS: list[tuple[str, tuple[str, ...], tuple[Any, ...] | None, dict[str, str], str | None]] = [
    ("__init__", ("self", "parser"), (None,), {"parser": "RufusParserService | None", "return": "None"}, None),
    (
        "build_payload",
        ("self", "seed_body", "question", "thread_id", "asin"),
        (None, None),
        {"seed_body": "str", "question": "str", "thread_id": "str | None", "asin": "str | None", "return": "dict"},
        "基于 seed body 复刻扩展端 Rufus 请求上下文。",
    ),
    (
        "build_replay_url",
        ("self", "seed"),
        None,
        {"seed": "SeedRequestRecord", "return": "str"},
        "补齐扩展端 Rufus replay URL 参数。",
    ),
    (
        "replay",
        ("self", "seed", "questions"),
        None,
        {"seed": "SeedRequestRecord", "questions": "list[str]", "return": "list[AnswerData]"},
        "无页面句柄时返回失败占位，正式运行由页面重放实现覆盖。",
    ),
    (
        "replay_with_page",
        ("self", "page", "seed", "questions"),
        None,
        {"seed": "SeedRequestRecord", "questions": "list[str]", "return": "list[AnswerData]"},
        "在页面上下文中逐题 fetch Rufus。",
    ),
    (
        "_build_replay_headers",
        ("self", "request_headers"),
        None,
        {"request_headers": "dict[str, str]", "return": "dict[str, str]"},
        "提取浏览器允许脚本设置且 Rufus 必需的请求头。",
    ),
    (
        "_upsert_asin_metadata",
        ("self", "page_context", "key", "asin"),
        None,
        {"page_context": "dict", "key": "str", "asin": "str", "return": "None"},
        "确保页面 metadata 中存在目标 ASIN。",
    ),
]
METHOD_NAMES = [entry[0] for entry in METHODS]


class StrSub(str):
    pass


class ListSub(list):  # type: ignore[type-arg]
    pass


class DictSub(dict):  # type: ignore[type-arg]
    pass


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def tb_names(exc: BaseException) -> list[str]:
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


# --- module -------------------------------------------------------------------------------------


def test_module_attributes_are_bound_in_order(replay: ModuleType) -> None:
    names = list(vars(replay))
    expected = [
        "json", "parse_qsl", "urlencode", "urlsplit", "urlunsplit", "RufusReplayError",
        "AnswerData", "SeedRequestRecord", "RufusParserService", "RufusReplayService", "__test__",
    ]
    assert [name for name in names if name in expected] == expected
    assert names.index("__builtins__") < names.index("json")
    assert replay.__name__ == MODULE
    assert replay.__doc__ == "Rufus 请求重放服务。"
    assert replay.json is json
    for name in ("parse_qsl", "urlencode", "urlsplit", "urlunsplit"):
        assert getattr(replay, name) is getattr(urllib.parse, name)
    assert replay.RufusReplayError is exceptions_module.RufusReplayError
    assert replay.AnswerData is models_module.AnswerData
    assert replay.SeedRequestRecord is models_module.SeedRequestRecord
    assert replay.RufusParserService is parser_module.RufusParserService
    assert type(replay.__test__) is dict and replay.__test__ == {}
    assert not hasattr(replay, "REPLAY_HEADER_ALLOWLIST")
    assert sys.modules[MODULE] is replay


def test_class_surface(replay: ModuleType) -> None:
    cls = replay.RufusReplayService
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == MODULE
    assert cls.__name__ == cls.__qualname__ == "RufusReplayService"
    assert cls.__doc__ == "基于 seed request 逐题重放 Rufus。"
    members = [name for name in vars(cls) if name == "REPLAY_HEADER_ALLOWLIST" or name in METHOD_NAMES]
    assert members == ["REPLAY_HEADER_ALLOWLIST", *METHOD_NAMES]
    allowlist = vars(cls)["REPLAY_HEADER_ALLOWLIST"]
    assert type(allowlist) is set
    assert allowlist == {"anti-csrftoken-a2z", "content-type", "x-amz-is-papyrus"}
    assert cls().REPLAY_HEADER_ALLOWLIST is allowlist


@pytest.mark.parametrize(("name", "params", "defaults", "annotations", "doc"), METHODS, ids=METHOD_NAMES)
def test_method_objects(
    replay: ModuleType,
    name: str,
    params: tuple[str, ...],
    defaults: tuple[Any, ...] | None,
    annotations: dict[str, str],
    doc: str | None,
) -> None:
    cls = replay.RufusReplayService
    function = vars(cls)[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"RufusReplayService.{name}"
    assert function.__module__ == MODULE
    assert function.__doc__ == doc
    assert function.__defaults__ == defaults
    assert function.__kwdefaults__ is None
    assert list(function.__annotations__.items()) == list(annotations.items())
    assert function.__globals__ is vars(replay)
    assert function._is_coroutine is False
    assert not asyncio.iscoroutinefunction(function)
    code = function.__code__
    assert code.co_argcount == len(params)
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames[: len(params)] == params
    assert "amazon_rufus/services/replay" in code.co_filename.replace("\\", "/")
    assert list(inspect.signature(function).parameters) == list(params)
    # Through the class the function itself, through an instance a bound method.
    assert getattr(cls, name) is function
    bound = getattr(cls(), name)
    assert type(bound) is MethodType and bound.__func__ is function
    assert pickle.loads(pickle.dumps(function)) is function


def test_reload_reuses_the_module_without_running_the_body_again(replay: ModuleType) -> None:
    import importlib

    cls = replay.RufusReplayService
    assert importlib.reload(replay) is replay
    assert replay.RufusReplayService is cls
    assert importlib.import_module(MODULE) is replay


# --- argument binding and type checks ------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda s: s.build_payload(), "build_payload() takes at least 3 positional arguments (1 given)"),
        (lambda s: s.build_payload("{}"), "build_payload() takes at least 3 positional arguments (2 given)"),
        (lambda s: s.build_payload("{}", "q", None, None, 1), "build_payload() takes at most 5 positional arguments (6 given)"),
        (lambda s: s.replay(make_seed()), "replay() takes exactly 3 positional arguments (2 given)"),
        (lambda s: s.build_replay_url(), "build_replay_url() takes exactly 2 positional arguments (1 given)"),
        (lambda s: s._build_replay_headers({}, {}), "_build_replay_headers() takes exactly 2 positional arguments (3 given)"),
        (lambda s: type(s)(None, None), "__init__() takes at most 2 positional arguments (3 given)"),
        (lambda s: s.build_payload("{}", "q", question="x"), "build_payload() got multiple values for keyword argument 'question'"),
        (lambda s: s.build_payload("{}", "q", nope=1), "build_payload() got an unexpected keyword argument 'nope'"),
        (lambda s: type(s)(parsr=None), "__init__() got an unexpected keyword argument 'parsr'"),
    ],
    ids=[
        "payload-none", "payload-one", "payload-too-many", "replay-too-few", "url-none", "headers-too-many",
        "init-too-many", "payload-twice", "payload-unknown", "init-unknown",
    ],
)
def test_binding_errors(service: Any, call: Any, message: str) -> None:
    with pytest.raises(TypeError) as caught:
        call(service)
    assert str(caught.value) == message


def test_binding_failure_traceback_names_the_full_path(service: Any) -> None:
    with pytest.raises(TypeError) as caught:
        service.build_payload()
    last = traceback.extract_tb(caught.value.__traceback__)[-1]
    assert last.name == CLASS_PATH + ".build_payload"
    assert "amazon_rufus/services/replay" in last.filename.replace("\\", "/")


def test_keyword_arguments_bind_by_name(service: Any) -> None:
    by_keyword = service.build_payload(asin="b0x", thread_id="t", question="q", seed_body="")
    assert by_keyword == service.build_payload("", "q", "t", "b0x")
    assert service.build_replay_url(seed=make_seed()) == service.build_replay_url(make_seed())
    assert service._build_replay_headers(request_headers={}) == {"content-type": "application/json"}
    context: dict[str, Any] = {}
    assert service._upsert_asin_metadata(asin="A", key="k", page_context=context) is None
    assert context == {"k": [{"type": "ASIN", "value": "A"}]}
    assert service.replay(questions=[], seed=None) == []


@pytest.mark.parametrize(
    ("call", "param", "expected", "got"),
    [
        (lambda s: s.build_payload(1, "q"), "seed_body", "str", "int"),
        (lambda s: s.build_payload(None, "q"), "seed_body", "str", "NoneType"),
        (lambda s: s.build_payload("{}", None), "question", "str", "NoneType"),
        (lambda s: s.build_payload("{}", b"q"), "question", "str", "bytes"),
        (lambda s: s.build_payload("{}", "q", 1), "thread_id", "str", "int"),
        (lambda s: s.build_payload("{}", "q", asin=["B0"]), "asin", "str", "list"),
        (lambda s: s.build_payload(StrSub("{}"), "q"), "seed_body", "str", "StrSub"),
        (lambda s: s.build_payload("{}", "q", StrSub("t")), "thread_id", "str", "StrSub"),
        (lambda s: s.build_payload("{}", "q", None, StrSub("B0")), "asin", "str", "StrSub"),
        (lambda s: s.replay(make_seed(), ("q",)), "questions", "list", "tuple"),
        (lambda s: s.replay(make_seed(), None), "questions", "list", "NoneType"),
        (lambda s: s.replay(make_seed(), ListSub()), "questions", "list", "ListSub"),
        (lambda s: s.replay_with_page(RecordingPage(), make_seed(), ("q",)), "questions", "list", "tuple"),
        (lambda s: s.replay_with_page(RecordingPage(), make_seed(), ListSub(["q"])), "questions", "list", "ListSub"),
        (lambda s: s._build_replay_headers(None), "request_headers", "dict", "NoneType"),
        (lambda s: s._build_replay_headers([("a", "b")]), "request_headers", "dict", "list"),
        (lambda s: s._build_replay_headers(DictSub()), "request_headers", "dict", "DictSub"),
        (lambda s: s._upsert_asin_metadata([], "k", "A"), "page_context", "dict", "list"),
        (lambda s: s._upsert_asin_metadata(DictSub(), "k", "A"), "page_context", "dict", "DictSub"),
        (lambda s: s._upsert_asin_metadata({}, None, "A"), "key", "str", "NoneType"),
        (lambda s: s._upsert_asin_metadata({}, "k", 7), "asin", "str", "int"),
        (lambda s: s._upsert_asin_metadata({}, StrSub("k"), "A"), "key", "str", "StrSub"),
    ],
)
def test_exact_type_checks(service: Any, call: Any, param: str, expected: str, got: str) -> None:
    with pytest.raises(TypeError) as caught:
        call(service)
    assert str(caught.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    notes = getattr(caught.value, "__notes__", [])
    if got.endswith("Sub"):
        assert len(notes) == 1 and "subclass" in notes[0]
    else:
        assert notes == []


def test_type_check_runs_before_the_body(replay: ModuleType) -> None:
    seed = RecordingSeed(request_headers={}, request_url="https://x/", tab_id=None, request_body="{}", asin=None)
    page = RecordingPage()
    with pytest.raises(TypeError):
        replay.RufusReplayService().replay_with_page(page, seed, ("q",))
    assert seed.reads == []
    assert page.calls == []


def test_body_failure_traceback_names_the_method(service: Any) -> None:
    with pytest.raises(exceptions_module.RufusReplayError) as caught:
        service.build_payload("{", "q")
    assert tb_names(caught.value)[-1] == "build_payload"
    last = traceback.extract_tb(caught.value.__traceback__)[-1]
    assert "amazon_rufus/services/replay" in last.filename.replace("\\", "/")

    with pytest.raises(AttributeError) as caught_headers:
        service._build_replay_headers({1: "x"})
    assert tb_names(caught_headers.value)[-1] == "_build_replay_headers"

    failure = RuntimeError("page gone")
    with pytest.raises(RuntimeError) as caught_page:
        service.replay_with_page(RecordingPage([failure]), make_seed(), ["q"])
    names = tb_names(caught_page.value)
    assert names[-2:] == ["replay_with_page", "evaluate"]


# --- load failures, in a fresh interpreter ---------------------------------------------------------


SIBLINGS = [
    ("strovik.amazon_rufus.domain.exceptions", "RufusReplayError"),
    ("strovik.amazon_rufus.domain.models", "AnswerData"),
    ("strovik.amazon_rufus.domain.models", "SeedRequestRecord"),
    ("strovik.amazon_rufus.services.parser", "RufusParserService"),
]


@pytest.mark.parametrize("sibling", sorted({module for module, _ in SIBLINGS}))
def test_missing_sibling_module_fails_the_import_and_a_later_import_retries(sibling: str) -> None:
    result = run_python(
        f"""
        import sys, traceback
        sys.modules[{sibling!r}] = None
        try:
            import {MODULE}
        except ImportError as exc:
            names = [entry.name for entry in traceback.extract_tb(exc.__traceback__)]
            print("failed", type(exc).__name__, {sibling!r} in str(exc), "init {MODULE}" in names)
        else:
            print("loaded")
        print({MODULE!r} in sys.modules)
        del sys.modules[{sibling!r}]
        import {MODULE} as replay
        print(replay.RufusReplayService.__name__, sorted(replay.RufusReplayService.REPLAY_HEADER_ALLOWLIST)[0])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "failed ModuleNotFoundError True True",
        "False",
        "RufusReplayService anti-csrftoken-a2z",
    ]


@pytest.mark.parametrize(("sibling", "name"), SIBLINGS, ids=[name for _, name in SIBLINGS])
def test_missing_sibling_name_fails_the_import_and_a_later_import_retries(sibling: str, name: str) -> None:
    result = run_python(
        f"""
        import sys, traceback, importlib
        sibling = importlib.import_module({sibling!r})
        saved = getattr(sibling, {name!r})
        delattr(sibling, {name!r})
        try:
            import {MODULE}
        except ImportError as exc:
            names = [entry.name for entry in traceback.extract_tb(exc.__traceback__)]
            print("failed", type(exc).__name__, str(exc), "init {MODULE}" in names)
        else:
            print("loaded")
        setattr(sibling, {name!r}, saved)
        import {MODULE} as replay
        print(getattr(replay, {name!r}) is saved)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"failed ImportError cannot import name {name} True", "True"]


def test_second_interpreter_is_refused() -> None:
    result = run_python(
        f"""
        import _xxsubinterpreters as interpreters
        import {MODULE}
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import {MODULE}")
        except Exception as exc:
            print(type(exc).__name__, exc)
        else:
            print("loaded twice")
        """
    )
    assert result.returncode == 0, result.stderr
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
        in result.stdout
    )
