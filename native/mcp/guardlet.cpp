// The guardlet module: ApiKeyGuardlet, an ASGI middleware that admits HTTP
// requests by API key, and the deprecated FixedApiKeyAuthProvider.
// This file holds the module's definition, constants and load-time body; the
// method bodies live beside it, one concern per file.
#include "mcp/guardlet.hpp"

using namespace frame;

namespace guardlet {

Constants k;

namespace {

constexpr const char kModuleDoc[] =
    "MCP 鉴权中间件。\n\n"
    "无状态模式下服务器不保存用户 OAuth 凭证，但 SSE 连接层通过 API Key 进行\n"
    "基础访问控制，防止未授权访问。\n\n"
    "支持两种工作模式：\n"
    "1. 固定 API Key 模式（单用户/向后兼容）：直接比对本地存储的 API Key\n"
    "2. 远程校验模式（多用户）：通过 --auth-verify-url 调用 STROVA 后端校验 API Key\n\n"
    "鉴权方式：\n"
    "1. HTTP Header: `Authorization: Bearer <api_key>`\n"
    "2. URL Query: `?api_key=<api_key>` (兼容部分仅支持 query 的客户端)\n\n"
    "注意：由于 FastMCP AuthProvider 的中间件在 Starlette 中注册顺序较早，\n"
    "无法通过注入 Header 的方式兼容 Query Param。因此统一在自定义中间件中完成\n"
    "全部鉴权逻辑，不再使用 FastMCP 内置的 AuthProvider。\n";

constexpr const char kGuardletDoc[] =
    "ASGI 中间件：统一校验 API Key（支持 Header 和 Query Param 两种方式）。\n\n"
    "    支持两种工作模式：\n"
    "    - 固定 API Key 模式：直接比对本地 api_key 参数\n"
    "    - 远程校验模式：通过 auth_verify_url 调用 STROVA 后端校验\n\n"
    "    优先检查 Query Param，未找到则检查 Authorization Header。\n"
    "    校验失败返回 401，不继续向下传递请求。\n"
    "    ";

constexpr const char kProviderDoc[] =
    "固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。\n\n"
    "    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础\n"
    "    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt\n"
    "    在后端完成。\n"
    "    ";

PyObject* bytes_constant(const char* s) { return constant(check(PyBytes_FromString(s))); }
PyObject* str_constant(const char* s) { return constant(check(PyUnicode_FromString(s))); }
PyObject* int_constant(long v) { return constant(check(PyLong_FromLong(v))); }

PyObject* pair(PyObject* a, PyObject* b) { return constant(check(PyTuple_Pack(2, a, b))); }

void module_body(ModuleState& st) {
  st.set_global(k.logging, st.import("logging"));
  st.set_global(k.urllib, st.import("urllib.parse"));
  {
    Ref any = intern("Any");
    st.set_global(any, st.import_from("typing", any));
  }
  {
    Ref names[] = {intern("ASGIApp"), intern("Receive"), intern("Scope"), intern("Send")};
    Ref mod =
        st.import_module_for_from("starlette.types", {names[0].get(), names[1].get(), names[2].get(), names[3].get()});
    for (const Ref& n : names) st.set_global(n, ModuleState::from_module(mod, "starlette.types", n));
  }
  {
    Ref parse = getattr(st.global(k.urllib), k.parse);
    state.parse_qs.remember(getattr(parse, k.parse_qs), "urllib.parse", "parse_qs", {"parse_qsl", "unquote"});
    state.quote.remember(getattr(parse, intern("quote")), "urllib.parse", "quote", {"quote_from_bytes"});
    state.quote_plus.remember(getattr(parse, intern("quote_plus")), "urllib.parse", "quote_plus", {"quote"});
  }
  {
    Ref get_logger = getattr(st.global(k.logging), k.getLogger);
    st.set_global(k._logger, call(get_logger, k.strovik_mcp));
  }
  {
    Ref ns = st.class_namespace("ApiKeyGuardlet", kGuardletDoc);
    st.add_method(ns, init_def);
    st.add_method(ns, extract_token_def);
    st.add_method(ns, call_def);
    st.add_method(ns, verify_remote_def);
    st.add_method(ns, send_401_def);
    st.make_class("ApiKeyGuardlet", ns);
    ready(tracking_send_def);
  }
  {
    Ref ns = st.class_namespace("FixedApiKeyAuthProvider", kProviderDoc);
    st.add_method(ns, provider_init_def);
    st.add_method(ns, verify_token_def);
    st.make_class("FixedApiKeyAuthProvider", ns);
  }
  st.set_global(intern("__test__"), new_dict());
}

} // namespace

void make_constants() {
  // The names, several to a line.
  // clang-format off
  if (k.app) return;
#define NAME(n) k.n = interned(#n)
  NAME(app); NAME(_api_key); NAME(_auth_verify_url); NAME(_extract_token); NAME(_verify_remote);
  NAME(_send_401); NAME(_logger); NAME(info); NAME(warning); NAME(get); NAME(decode); NAME(lower);
  NAME(strip); NAME(type); NAME(reason); NAME(set); NAME(reset); NAME(json); NAME(status_code);
  NAME(valid); NAME(user_id); NAME(email); NAME(api_key); NAME(params); NAME(headers); NAME(timeout);
  NAME(AsyncClient); NAME(__aenter__); NAME(__aexit__); NAME(urllib); NAME(parse); NAME(parse_qs);
  NAME(logging); NAME(getLogger); NAME(mcp_request_ctx); NAME(errors); NAME(more_body); NAME(body);
  NAME(token); NAME(client_id); NAME(scopes); NAME(httpx); NAME(status);
#undef NAME
  // clang-format on
  k.query_string = interned("query_string");
  k.http = interned("http");
  k.utf_8 = interned("utf-8");
  k.replace = interned("replace");
  k.invalid_api_key = interned("invalid_api_key");
  k.mcp_api_key = interned("mcp_api_key");
  k.mcp_user_id = interned("mcp_user_id");
  k.mcp_user_email = interned("mcp_user_email");
  k.user_id_key = k.user_id;
  k.email_key = k.email;
  k.api_key_key = k.api_key;
  k.X_MCP_API_Key = interned("X-MCP-API-Key");
  k.http_response_start = interned("http.response.start");
  k.http_response_body = interned("http.response.body");
  k.expected_asgi_message = str_constant("Expected ASGI message");
  k.strovik_mcp = str_constant("strovik.mcp");
  k.AccessToken = interned("AccessToken");
  k.default_ = interned("default");
  k.strovik_mcp_scope = str_constant("strovik:mcp");
  k.log_remote_mode = str_constant("MCP Server 运行在远程校验模式，校验地址: %s");
  k.log_fixed_mode = str_constant("MCP Server 运行在固定 API Key 模式");
  k.log_no_auth = str_constant("MCP Server 未配置任何 API Key 鉴权！");
  k.log_remote_failed = str_constant("远程校验 API Key 失败: %s");
  k.body_prefix = str_constant("{\"error\":\"Unauthorized\",\"message\":\"Invalid or missing API Key\",\"reason\":\"");
  k.body_suffix = str_constant("\"}");
  k.empty_bytes = bytes_constant("");
  k.authorization = bytes_constant("authorization");
  k.int_10 = int_constant(10);
  k.int_200 = int_constant(200);
  k.int_401 = int_constant(401);
}

void make_late_constants() {
  if (k.content_type_pair) return;
  k.content_type_pair = pair(bytes_constant("content-type"), bytes_constant("application/json"));
  k.www_authenticate_pair = pair(bytes_constant("www-authenticate"), bytes_constant("Bearer realm=\"strovik-mcp\""));
  k.kw_reason = constant(check(PyTuple_Pack(1, k.reason)));
  k.kw_errors = constant(check(PyTuple_Pack(1, k.errors)));
  k.context_module = interned("strovik.mcp.context");
  k.context_fromlist = constant(check(PyTuple_Pack(1, k.mcp_request_ctx)));
  k.kw_verify = constant(check(PyTuple_Pack(3, k.params, k.headers, k.timeout)));
}

State state{{
    .def = make_def("guardlet", kModuleDoc),
    .short_name = "guardlet",
    .full_name = "strovik.mcp.guardlet",
    .source_path = "native/mcp/guardlet.cpp",
    .constants = make_constants,
    .late_constants = make_late_constants,
    .body = module_body,
    .uses_coroutines = true,
}};

} // namespace guardlet

PyMODINIT_FUNC PyInit_guardlet() { return frame::init_module(guardlet::state); }
