"""The hand-written .pyi stubs describe the compiled modules exactly, and a type checker reads them right.

The compiled functions carry their signature in __code__, __defaults__, __kwdefaults__ and
__annotations__; every stub is compared with those, so a stub cannot drift from the module it
describes. mypy then checks one file that uses the API as the host does (must pass strict checking)
and one that misuses it (every marked line, and only those, must be reported).
"""

import ast
import asyncio
import importlib
import inspect
import os
import re
import site
import subprocess
import sys
import typing
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType, NoneType, UnionType

import pytest

# The native modules; each one's stub lies beside it in its package directory, named <leaf>.pyi.
MODULES = ("strovik.mcp.guardlet", "strovik.amazon_rufus.services.replay")

MISSING = "<missing>"


def stub_file(module_name: str) -> Path:
    package, _, leaf = module_name.rpartition(".")
    return Path(importlib.import_module(package).__file__).parent / f"{leaf}.pyi"


@dataclass
class StubClass:
    methods: dict[str, ast.FunctionDef | ast.AsyncFunctionDef] = field(default_factory=dict)
    class_vars: dict[str, str] = field(default_factory=dict)  # name -> annotation text inside ClassVar[...]
    instance_vars: dict[str, str] = field(default_factory=dict)  # name -> annotation text


@dataclass
class Stub:
    path: Path
    imports: list[ast.stmt]
    variables: dict[str, str]
    classes: dict[str, StubClass]


def parse_stub(module_name: str) -> Stub:
    path = stub_file(module_name)
    tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
    stub = Stub(path, [], {}, {})
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            stub.imports.append(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            stub.variables[node.target.id] = ast.unparse(node.annotation)
        elif isinstance(node, ast.ClassDef):
            cls = stub.classes[node.name] = StubClass()
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    assert item.name not in cls.methods, f"{node.name}.{item.name} declared twice"
                    cls.methods[item.name] = item
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    ann = item.annotation
                    if isinstance(ann, ast.Subscript) and ast.unparse(ann.value) == "ClassVar":
                        cls.class_vars[item.target.id] = ast.unparse(ann.slice)
                    else:
                        cls.instance_vars[item.target.id] = ast.unparse(ann)
        elif not (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)):
            raise AssertionError(f"{path.name}: unexpected top-level statement {ast.unparse(node)!r}")
    return stub


def stub_namespace(stub: Stub) -> dict[str, object]:
    """Runs the stub's own imports, so its annotation texts can be evaluated to real objects."""
    namespace: dict[str, object] = {"ClassVar": typing.ClassVar}
    code = compile(ast.Module(body=stub.imports, type_ignores=[]), str(stub.path), "exec")
    exec(code, namespace)
    return namespace


def conforms(value: object, annotation: object) -> bool:
    """isinstance() for the annotation forms the stubs use: classes, X | Y, generics, Any, callables."""
    if annotation is typing.Any:
        return True
    if annotation is None:
        annotation = NoneType
    origin = typing.get_origin(annotation)
    if origin in (UnionType, typing.Union):
        return any(conforms(value, arm) for arm in typing.get_args(annotation))
    return isinstance(value, origin or annotation)


def module_classes(module: ModuleType) -> dict[str, type]:
    return {
        name: obj
        for name, obj in vars(module).items()
        if isinstance(obj, type) and obj.__module__ == module.__name__
    }


def is_function(obj: object) -> bool:
    return hasattr(obj, "__code__")


CLASS_BOOKKEEPING = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}


# ----------------------------------------------------------------------------------------------
# Signatures, normalised so that the stub's and the compiled function's compare as plain data.

@dataclass(frozen=True)
class Param:
    name: str
    kind: str
    default: str  # repr() of the default, or MISSING
    annotation: str  # annotation text, or MISSING


@dataclass(frozen=True)
class Signature:
    params: tuple[Param, ...]
    returns: str
    is_coroutine: bool


def runtime_signature(func: typing.Any) -> Signature:
    code = func.__code__
    names = code.co_varnames
    annotations = func.__annotations__
    defaults = func.__defaults__ or ()
    kwdefaults = func.__kwdefaults__ or {}

    def param(name: str, kind: str, default: object) -> Param:
        shown = MISSING if default is MISSING else repr(default)
        return Param(name, kind, shown, annotations.get(name, MISSING))

    params = []
    positional = names[: code.co_argcount]
    first_default = len(positional) - len(defaults)
    for index, name in enumerate(positional):
        kind = "positional-only" if index < code.co_posonlyargcount else "positional-or-keyword"
        params.append(param(name, kind, defaults[index - first_default] if index >= first_default else MISSING))
    next_name = code.co_argcount + code.co_kwonlyargcount
    if code.co_flags & inspect.CO_VARARGS:
        params.append(param(names[next_name], "var-positional", MISSING))
        next_name += 1
    for name in names[code.co_argcount : code.co_argcount + code.co_kwonlyargcount]:
        params.append(param(name, "keyword-only", kwdefaults.get(name, MISSING)))
    if code.co_flags & inspect.CO_VARKEYWORDS:
        params.append(param(names[next_name], "var-keyword", MISSING))
    return Signature(
        tuple(params),
        annotations.get("return", MISSING),
        bool(code.co_flags & inspect.CO_COROUTINE),
    )


def stub_signature(node: ast.FunctionDef | ast.AsyncFunctionDef) -> Signature:
    args = node.args

    def param(arg: ast.arg, kind: str, default: ast.expr | None) -> Param:
        shown = MISSING if default is None else repr(ast.literal_eval(default))
        annotation = MISSING if arg.annotation is None else ast.unparse(arg.annotation)
        return Param(arg.arg, kind, shown, annotation)

    params = []
    positional = [(a, "positional-only") for a in args.posonlyargs] + [
        (a, "positional-or-keyword") for a in args.args
    ]
    first_default = len(positional) - len(args.defaults)
    for index, (arg, kind) in enumerate(positional):
        params.append(param(arg, kind, args.defaults[index - first_default] if index >= first_default else None))
    if args.vararg:
        params.append(param(args.vararg, "var-positional", None))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append(param(arg, "keyword-only", default))
    if args.kwarg:
        params.append(param(args.kwarg, "var-keyword", None))
    returns = MISSING if node.returns is None else ast.unparse(node.returns)
    return Signature(tuple(params), returns, isinstance(node, ast.AsyncFunctionDef))


def stub_methods() -> list[tuple[str, str, str]]:
    """Every (module, class, method) that a stub declares; collected without loading a native module."""
    return [
        (module_name, class_name, method)
        for module_name in MODULES
        for class_name, cls in parse_stub(module_name).classes.items()
        for method in cls.methods
    ]


# ----------------------------------------------------------------------------------------------


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_exactly_the_module_surface(module_name: str) -> None:
    """Classes, methods and class attributes: nothing missing from the stub, nothing invented."""
    module = importlib.import_module(module_name)
    stub = parse_stub(module_name)
    classes = module_classes(module)
    assert sorted(stub.classes) == sorted(classes)
    for name, cls in classes.items():
        members = {key: value for key, value in vars(cls).items() if key not in CLASS_BOOKKEEPING}
        methods = sorted(key for key, value in members.items() if is_function(value))
        attributes = sorted(key for key, value in members.items() if not is_function(value))
        assert sorted(stub.classes[name].methods) == methods, name
        assert sorted(stub.classes[name].class_vars) == attributes, name
    for variable in stub.variables:
        assert hasattr(module, variable), f"the stub declares {variable}, the module has no such global"


@pytest.mark.parametrize(("module_name", "class_name", "method"), stub_methods())
def test_stub_signature_matches_compiled_function(module_name: str, class_name: str, method: str) -> None:
    """Names, kinds (keyword-only included), defaults, annotation texts and async-ness agree."""
    module = importlib.import_module(module_name)
    func = vars(getattr(module, class_name))[method]  # the function itself, not a bound method
    expected = runtime_signature(func)
    assert stub_signature(parse_stub(module_name).classes[class_name].methods[method]) == expected
    # The coroutine flag in the code object and asyncio's view of the function tell the same story.
    assert asyncio.iscoroutinefunction(func) is expected.is_coroutine


def make_guardlet(module: typing.Any) -> object:
    async def app(scope: object, receive: object, send: object) -> None:
        return None

    return module.ApiKeyGuardlet(app, api_key="k", auth_verify_url="http://127.0.0.1:9/v1/mcp/verify-key")


# One real instance per class, built as the host builds it, to compare the attributes it carries.
INSTANCE_FACTORIES: dict[tuple[str, str], typing.Callable[[typing.Any], object]] = {
    ("strovik.mcp.guardlet", "ApiKeyGuardlet"): make_guardlet,
    ("strovik.mcp.guardlet", "FixedApiKeyAuthProvider"): lambda module: module.FixedApiKeyAuthProvider("k"),
    ("strovik.amazon_rufus.services.replay", "RufusReplayService"): lambda module: module.RufusReplayService(),
}


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_attribute_types_hold_at_runtime(module_name: str) -> None:
    """Declared globals, class attributes and instance attributes exist and have the declared types."""
    module = importlib.import_module(module_name)
    stub = parse_stub(module_name)
    namespace = stub_namespace(stub)
    for variable, annotation in stub.variables.items():
        assert conforms(getattr(module, variable), eval(annotation, namespace)), variable
    for class_name, declared in stub.classes.items():
        cls = getattr(module, class_name)
        for attribute, annotation in declared.class_vars.items():
            assert conforms(vars(cls)[attribute], eval(annotation, namespace)), f"{class_name}.{attribute}"
        instance = INSTANCE_FACTORIES[module_name, class_name](module)
        assert sorted(vars(instance)) == sorted(declared.instance_vars), class_name
        for attribute, annotation in declared.instance_vars.items():
            value = getattr(instance, attribute)
            assert conforms(value, eval(annotation, namespace)), f"{class_name}.{attribute} = {value!r}"


# ----------------------------------------------------------------------------------------------
# mypy reads the stubs the way an editor or a user's CI would.

GOOD_USE = '''\
"""Uses the native modules the way the host does."""
from typing import Any

from starlette.types import Receive, Scope, Send

from strovik.amazon_rufus.domain.models import AnswerData, SeedRequestRecord
from strovik.amazon_rufus.services.replay import RufusReplayService
from strovik.mcp.context import mcp_request_ctx
from strovik.mcp.guardlet import ApiKeyGuardlet, FixedApiKeyAuthProvider


async def app(scope: Scope, receive: Receive, send: Send) -> None:
    caller = mcp_request_ctx.get()
    body = b"" if caller is None else str(caller["user_id"]).encode()
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": body})


fixed = ApiKeyGuardlet(app, api_key="secret")
remote = ApiKeyGuardlet(app, auth_verify_url="http://127.0.0.1:9/v1/mcp/verify-key")
both = ApiKeyGuardlet(app=fixed, api_key=None, auth_verify_url=None)  # a gate is an ASGI app too
token: str | None = fixed._extract_token({"type": "http", "query_string": b"", "headers": []})


async def serve(scope: Scope, receive: Receive, send: Send) -> None:
    await both(scope, receive, send)
    user: dict[str, Any] | None = await remote._verify_remote(token)
    if user is None:
        await remote._send_401(scope, send)
        await remote._send_401(scope, send, reason="expired")


async def admitted(provider: FixedApiKeyAuthProvider, presented: str) -> bool:
    return await provider.verify_token(presented) is not None


provider = FixedApiKeyAuthProvider("secret")
service = RufusReplayService()
explicit = RufusReplayService(parser=service.parser)
payload: dict[str, Any] = service.build_payload("{}", "question", "thread-1", asin="B000000000")
headers: dict[str, str] = service._build_replay_headers({"Content-Type": "application/json"})
allowed: set[str] = RufusReplayService.REPLAY_HEADER_ALLOWLIST
service._upsert_asin_metadata({}, "asin", "B000000000")


def replay_all(page: object, seed: SeedRequestRecord) -> list[AnswerData]:
    url: str = service.build_replay_url(seed)
    assert url
    return service.replay_with_page(page, seed, ["q1", "q2"]) + explicit.replay(seed, [])
'''

BAD_USE = '''\
"""Each line marked "expect-error" misuses the API; mypy must report exactly those lines."""
from typing import Any

from starlette.types import Receive, Scope, Send

from strovik.amazon_rufus.domain.models import SeedRequestRecord
from strovik.amazon_rufus.services.replay import RufusReplayService
from strovik.mcp.guardlet import ApiKeyGuardlet, FixedApiKeyAuthProvider


async def app(scope: Scope, receive: Receive, send: Send) -> None:
    return None


ApiKeyGuardlet(app, "secret")  # expect-error: the key is keyword-only
ApiKeyGuardlet(app, api_key=5)  # expect-error
ApiKeyGuardlet(app, auth_verify_url=b"http://127.0.0.1/")  # expect-error
ApiKeyGuardlet(app, api_key="k", verify_url="http://127.0.0.1/")  # expect-error: no such keyword
ApiKeyGuardlet(api_key="k")  # expect-error: app is required
gate = ApiKeyGuardlet(app, api_key="k")
found: str = gate._extract_token({})  # expect-error: may be None
FixedApiKeyAuthProvider(None)  # expect-error
FixedApiKeyAuthProvider(api_key=b"k")  # expect-error


async def misuse(scope: Scope, receive: Receive, send: Send) -> None:
    user: dict[str, Any] | None = gate._verify_remote("k")  # expect-error: not awaited
    await gate._send_401(scope, send, reason=401)  # expect-error
    await gate._send_401(scope, send, "reason", "extra")  # expect-error: too many arguments
    await gate(scope, receive)  # expect-error: send is missing
    await FixedApiKeyAuthProvider("k").verify_token(b"k")  # expect-error
    gate._extract_token(scope).upper()  # expect-error: may be None


service = RufusReplayService()
service.build_payload("{}", "question", 1)  # expect-error
service.build_payload("{}")  # expect-error: question is required
headers: dict[str, int] = service._build_replay_headers({})  # expect-error
service._upsert_asin_metadata({}, "asin", None)  # expect-error
RufusReplayService.REPLAY_HEADER_ALLOWLIST = {1}  # expect-error


def misuse_replay(seed: SeedRequestRecord) -> None:
    service.replay(seed, ("q",))  # expect-error
    service.replay_with_page(None, seed, [1, 2])  # expect-error
    service.build_replay_url("https://www.amazon.com/")  # expect-error
    count: int = service.replay(seed, [])  # expect-error
'''

ERROR_LINE = re.compile(r"^(?P<file>[^:\n]+):(?P<line>\d+): error: (?P<message>.*)$", re.MULTILINE)


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory: pytest.TempPathFactory) -> dict[str, dict[int, list[str]]]:
    """Runs mypy once over both files; returns the errors per file name and line."""
    import strovik

    work = tmp_path_factory.mktemp("typing")
    (work / "good_use.py").write_text(GOOD_USE, encoding="utf-8")
    (work / "bad_use.py").write_text(BAD_USE, encoding="utf-8")
    # User code is checked strictly. The stubs repeat the compiled annotation texts, which include a
    # bare "dict" and an unannotated "page", so those two strict rules are relaxed for strovik alone;
    # any other error in a stub is still reported.
    (work / "mypy.ini").write_text(
        "[mypy]\nstrict = True\nfollow_imports = silent\n\n"
        "[mypy-strovik.*]\ndisallow_any_generics = False\ndisallow_untyped_defs = False\ndisallow_incomplete_defs = False\n",
        encoding="utf-8",
    )

    package_dir = Path(strovik.__file__).parent
    assert (package_dir / "py.typed").is_file(), "without py.typed type checkers ignore the stubs"
    # The sanitizer run preloads its runtimes into every child; mypy needs none of that.
    env = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "MYPYPATH")}
    installed = {str(Path(p).resolve()) for p in site.getsitepackages()}
    if str(package_dir.parent.resolve()) not in installed:
        # An editable install reaches the sources through an import hook that mypy cannot follow.
        env["MYPYPATH"] = str(package_dir.parent)
    result = subprocess.run(
        [
            sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--no-error-summary",
            "--cache-dir", str(work / ".mypy_cache"), "good_use.py", "bad_use.py",
        ],
        cwd=work, env=env, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors: dict[str, dict[int, list[str]]] = {"good_use.py": {}, "bad_use.py": {}}
    for match in ERROR_LINE.finditer(result.stdout):
        errors.setdefault(match["file"], {}).setdefault(int(match["line"]), []).append(match["message"])
    assert set(errors) == {"good_use.py", "bad_use.py"}, f"errors outside the two files:\n{result.stdout}"
    return errors


def test_mypy_accepts_correct_use(mypy_report: dict[str, dict[int, list[str]]]) -> None:
    assert mypy_report["good_use.py"] == {}


def test_mypy_reports_every_misuse_and_nothing_else(mypy_report: dict[str, dict[int, list[str]]]) -> None:
    expected = {number for number, line in enumerate(BAD_USE.splitlines(), 1) if "# expect-error" in line}
    reported = mypy_report["bad_use.py"]
    assert {number: BAD_USE.splitlines()[number - 1].strip() for number in expected - set(reported)} == {}
    assert {number: reported[number] for number in set(reported) - expected} == {}
