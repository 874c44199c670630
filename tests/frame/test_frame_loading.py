"""Loading of the guardlet extension module: its surface, the load guards and the failure path."""

from __future__ import annotations

import builtins
import importlib
import importlib.machinery
import importlib.util
import json
import logging
import shutil
import subprocess
import sys
import typing
import urllib.parse

import pytest
import starlette.types

from frame_helpers import run_python, source_path

MODULE_DOC = (
    "MCP 鉴权中间件。\n\n无状态模式下服务器不保存用户 OAuth 凭证，但 SSE 连接层通过 API Key 进行\n"
    "基础访问控制，防止未授权访问。\n\n支持两种工作模式：\n"
    "1. 固定 API Key 模式（单用户/向后兼容）：直接比对本地存储的 API Key\n"
    "2. 远程校验模式（多用户）：通过 --auth-verify-url 调用 STROVA 后端校验 API Key\n\n"
    "鉴权方式：\n1. HTTP Header: `Authorization: Bearer <api_key>`\n"
    "2. URL Query: `?api_key=<api_key>` (兼容部分仅支持 query 的客户端)\n\n"
    "注意：由于 FastMCP AuthProvider 的中间件在 Starlette 中注册顺序较早，\n"
    "无法通过注入 Header 的方式兼容 Query Param。因此统一在自定义中间件中完成\n"
    "全部鉴权逻辑，不再使用 FastMCP 内置的 AuthProvider。\n"
)

GATE_DOC = (
    "ASGI 中间件：统一校验 API Key（支持 Header 和 Query Param 两种方式）。\n\n    支持两种工作模式：\n"
    "    - 固定 API Key 模式：直接比对本地 api_key 参数\n"
    "    - 远程校验模式：通过 auth_verify_url 调用 STROVA 后端校验\n\n"
    "    优先检查 Query Param，未找到则检查 Authorization Header。\n"
    "    校验失败返回 401，不继续向下传递请求。\n    "
)

PROVIDER_DOC = (
    "固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。\n\n"
    "    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础\n"
    "    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt\n"
    "    在后端完成。\n    "
)

BODY_ORDER = [
    "__builtins__",
    "logging",
    "urllib",
    "Any",
    "ASGIApp",
    "Receive",
    "Scope",
    "Send",
    "_logger",
    "ApiKeyGuardlet",
    "FixedApiKeyAuthProvider",
    "__test__",
]


# --- the module surface -------------------------------------------------------------------------------


def test_module_is_an_extension_module_with_loader_attributes(guardlet):
    found = guardlet.__spec__
    assert guardlet.__name__ == "strovik.mcp.guardlet"
    assert guardlet.__loader__ is found.loader
    assert guardlet.__file__ == found.origin
    assert guardlet.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert guardlet.__package__ == "strovik.mcp" == found.parent
    assert "__path__" not in vars(guardlet)
    assert guardlet.__doc__ == MODULE_DOC


def test_module_body_binds_its_globals_in_order(tmp_path):
    # read in a fresh interpreter: other tests replace globals, which moves them in the dict
    names = run_python(
        "import json, strovik.mcp.guardlet as g; print(json.dumps(list(vars(g))))", cwd=str(tmp_path)
    )
    assert [name for name in names if name in BODY_ORDER] == BODY_ORDER
    # the create step copies the loader attributes before the body runs
    assert names.index("__file__") < names.index("__builtins__")
    public = {name for name in names if not name.startswith("__")}
    assert public == set(BODY_ORDER) - {"__builtins__", "__test__"}


def test_module_globals_are_the_imported_objects(guardlet):
    assert vars(guardlet)["__builtins__"] is builtins
    assert guardlet.logging is logging
    assert guardlet.urllib is sys.modules["urllib"]
    assert guardlet.urllib.parse is urllib.parse
    assert guardlet.Any is typing.Any
    for name in ("ASGIApp", "Receive", "Scope", "Send"):
        assert getattr(guardlet, name) is getattr(starlette.types, name)
    assert guardlet._logger is logging.getLogger("strovik.mcp")
    assert type(guardlet.__test__) is dict and guardlet.__test__ == {}


def test_run_time_imports_are_not_module_globals(guardlet):
    for name in ("httpx", "json", "mcp_request_ctx", "strovik"):
        assert name not in vars(guardlet)


@pytest.mark.parametrize(
    "class_name, doc, methods",
    [
        ("ApiKeyGuardlet", GATE_DOC, ["__init__", "_extract_token", "__call__", "_verify_remote", "_send_401"]),
        ("FixedApiKeyAuthProvider", PROVIDER_DOC, ["__init__", "verify_token"]),
    ],
)
def test_classes_are_plain_type_built_classes(guardlet, class_name, doc, methods):
    cls = getattr(guardlet, class_name)
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)
    assert cls.__name__ == cls.__qualname__ == class_name
    assert cls.__module__ == "strovik.mcp.guardlet"
    assert cls.__doc__ == doc
    namespace = list(vars(cls))
    assert namespace[:2] == ["__module__", "__doc__"]
    assert [name for name in namespace if name not in ("__module__", "__doc__", "__dict__", "__weakref__")] == methods
    # no __slots__: instances take arbitrary attributes
    assert "__slots__" not in vars(cls)
    assert "__dict__" in vars(cls) and "__weakref__" in vars(cls)


def test_exactly_one_symbol_is_exported(guardlet):
    nm = shutil.which("nm")
    if nm is None or not guardlet.__file__.endswith(".so"):
        pytest.skip("needs nm and an ELF extension module")
    out = subprocess.run([nm, "-D", "--defined-only", guardlet.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_guardlet"]


# --- importing again ----------------------------------------------------------------------------------


def test_second_import_and_reload_return_the_same_module_without_rerunning_the_body(guardlet):
    gate_class = guardlet.ApiKeyGuardlet
    marker = guardlet.__test__
    assert importlib.import_module("strovik.mcp.guardlet") is guardlet
    import strovik.mcp.guardlet as again

    assert again is guardlet
    assert importlib.reload(guardlet) is guardlet
    # a rerun of the body would have built new classes and a new __test__ dict
    assert guardlet.ApiKeyGuardlet is gate_class
    assert guardlet.__test__ is marker


def test_creating_the_module_again_returns_the_recorded_module(guardlet):
    found = importlib.util.find_spec("strovik.mcp.guardlet")
    module = importlib.util.module_from_spec(found)
    assert module is guardlet
    found.loader.exec_module(module)
    assert module.ApiKeyGuardlet is guardlet.ApiKeyGuardlet


# --- load guards and the failure path, each in a fresh interpreter -------------------------------------

SUBINTERPRETER = r"""
import json, _xxsubinterpreters as interpreters
import strovik.mcp.guardlet
interp = interpreters.create(isolated=False)
interpreters.run_string(interp, '''
import json
try:
    import strovik.mcp.guardlet
except ImportError as exc:
    result = {"error": type(exc).__name__, "message": str(exc)}
else:
    result = {"error": None}
print(json.dumps(result), flush=True)
''')
interpreters.destroy(interp)
print(json.dumps({"main_still_loaded": "strovik.mcp.guardlet" in __import__("sys").modules}), flush=True)
"""


def test_second_interpreter_is_refused(tmp_path):
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    assert proc.returncode == 0, proc.stderr
    sub, main = (json.loads(line) for line in lines)
    assert sub == {
        "error": "ImportError",
        "message": "Interpreter change detected - this module can only be loaded into one interpreter per process.",
    }
    assert main == {"main_still_loaded": True}


FAILED_IMPORT = r"""
import json, sys, traceback
sys.modules["starlette.types"] = None
first = {}
try:
    import strovik.mcp.guardlet
except ImportError as exc:
    first = {
        "type": type(exc).__name__,
        "message": str(exc),
        "entries": [[e.name, e.filename, e.lineno] for e in traceback.extract_tb(exc.__traceback__)],
        "left_in_sys_modules": "strovik.mcp.guardlet" in sys.modules,
    }
del sys.modules["starlette.types"]
import starlette.types
import strovik.mcp.guardlet as g
second = {
    "gate": g.ApiKeyGuardlet.__name__,
    "asgi_app_bound": g.ASGIApp is starlette.types.ASGIApp,
    "test": g.__test__,
    "source": g.ApiKeyGuardlet.__init__.__code__.co_filename,
    "same_again": __import__("importlib").import_module("strovik.mcp.guardlet") is g,
}
print(json.dumps({"first": first, "second": second}))
"""


def test_failed_import_adds_init_entry_and_a_later_import_starts_afresh(tmp_path):
    result = run_python(FAILED_IMPORT, cwd=str(tmp_path))
    first, second = result["first"], result["second"]
    assert first, "importing with starlette.types unavailable must fail"
    assert first["type"] == "ModuleNotFoundError"
    assert "starlette.types" in first["message"]
    assert first["left_in_sys_modules"] is False
    init_entries = [entry for entry in first["entries"] if entry[0] == "init strovik.mcp.guardlet"]
    assert len(init_entries) == 1
    _, filename, lineno = init_entries[0]
    assert source_path(filename) == source_path(second["source"])
    assert "mcp/guardlet" in source_path(filename)
    assert lineno > 0
    assert second == {**second, "gate": "ApiKeyGuardlet", "asgi_app_bound": True, "test": {}, "same_again": True}


MISSING_NAME = r"""
import json, sys, types
fake = types.ModuleType("starlette.types")
fake.ASGIApp = fake.Receive = fake.Scope = object   # no Send
sys.modules["starlette.types"] = fake
try:
    import strovik.mcp.guardlet
except ImportError as exc:
    out = {"type": type(exc).__name__, "message": str(exc)}
else:
    out = {"type": None}
print(json.dumps(out))
"""


def test_from_import_of_a_missing_name_raises_cannot_import_name(tmp_path):
    assert run_python(MISSING_NAME, cwd=str(tmp_path)) == {"type": "ImportError", "message": "cannot import name Send"}


SUBMODULE_FALLBACK = r"""
import json, sys, types
real = __import__("starlette.types", fromlist=["Send"])
fake = types.ModuleType("starlette.types")
fake.ASGIApp, fake.Receive, fake.Scope = real.ASGIApp, real.Receive, real.Scope
sentinel = object()
sys.modules["starlette.types"] = fake
sys.modules["starlette.types.Send"] = sentinel
import strovik.mcp.guardlet as g
print(json.dumps({"fallback_used": g.Send is sentinel}))
"""


def test_from_import_falls_back_to_the_submodule_entry(tmp_path):
    assert run_python(SUBMODULE_FALLBACK, cwd=str(tmp_path)) == {"fallback_used": True}


NO_ASYNCIO_MARKER = r"""
import json, sys
sys.modules["asyncio.coroutines"] = None
import strovik.mcp.guardlet as g
G = g.ApiKeyGuardlet
print(json.dumps({
    "coroutine": [G.__call__._is_coroutine, G._verify_remote._is_coroutine, G._send_401._is_coroutine,
                  g.FixedApiKeyAuthProvider.verify_token._is_coroutine],
    "plain": [G.__init__._is_coroutine, G._extract_token._is_coroutine],
}))
"""


def test_is_coroutine_is_true_when_the_asyncio_marker_cannot_be_imported(tmp_path):
    result = run_python(NO_ASYNCIO_MARKER, cwd=str(tmp_path))
    assert result == {"coroutine": [True, True, True, True], "plain": [False, False]}
