// ApiKeyGuardlet._verify_remote: asks the verification backend whether a key
// is valid. Every failure is one warning and a None result; the key is sent
// as the "api_key" query parameter and as the "X-MCP-API-Key" header.
#include "mcp/guardlet.hpp"

using namespace frame;

namespace guardlet {
namespace {

constexpr const char kVerifyDoc[] =
    "调用 STROVA 后端远程校验 API Key。\n\n"
    "        将 API Key 同时作为 query param 和 header 传参，\n"
    "        兼容后端不同接入方式。\n\n"
    "        Args:\n"
    "            api_key: 待校验的明文 API Key\n\n"
    "        Returns:\n"
    "            校验通过时返回 STROVA 后端响应的 user 信息 dict\n"
    "            校验失败时返回 None\n"
    "        ";

/// What the warning shows of a failure: the exception itself, unless its
/// text carries the key in any form (a backend or the HTTP client may echo
/// it), then that text with every such form masked. When the text cannot be
/// read or masked, only the exception's type name is shown.
Ref loggable(const SavedError& err, Borrowed api_key) {
  Ref exc = Ref::borrow(err.value());
  try {
    Ref masked = redact_key_forms(str_of(exc), api_key);
    return masked ? masked : exc;
  } catch (const PyErrOccurred&) {
    PyErr_Clear();
  }
  return check(PyUnicode_FromString(Py_TYPE(exc.get())->tp_name));
}

/// `exc_type, exc, tb` of a caught exception, as `__aexit__` receives them.
Ref exit_args_call(Borrowed aexit, const SavedError& err) {
  PyObject* exc = err.value().get();
  Ref tb = Ref::steal(PyException_GetTraceback(exc));
  return call(aexit, reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb.get() : Py_None);
}

Task verify_remote_body(Call c) {
  Borrowed self = c.args[0], api_key = c.args[1];
  if (api_key.is_none() || PyUnicode_GET_LENGTH(api_key.get()) == 0) co_return none();
  if (!truthy(getattr(self, k._auth_verify_url))) co_return none();

  SavedError failure;
  Ref result;
  try {
    Ref httpx = state.import("httpx");
    // The HTTP client logs the request URL, which carries the key: its
    // records are masked while this verification runs.
    KeyInLogContext key_in_logs(api_key);
    Ref manager = call(getattr(httpx, k.AsyncClient));
    Ref aexit = getattr(manager, k.__aexit__);
    Ref client = co_await awaiting(call_method(manager, k.__aenter__));

    SavedError inside;
    bool have_result = false;
    try {
      Ref url = getattr(self, k._auth_verify_url);
      Ref params = new_dict();
      dict_set(params, k.api_key, api_key);
      Ref headers = new_dict();
      dict_set(headers, k.X_MCP_API_Key, api_key);
      Ref get = getattr(client, k.get);
      Ref response = co_await awaiting(call_kw(get, k.kw_verify, url.get(), params.get(), headers.get(), k.int_10));
      if (equal(getattr(response, k.status_code), k.int_200)) {
        Ref data = call_method(response, k.json);
        if (truthy(mapping_get(data, k.valid))) {
          if (!data.is_none() && !PyDict_CheckExact(data.get()))
            raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.get())->tp_name);
          result = std::move(data);
          have_result = true;
        }
      }
    } catch (const PyErrOccurred&) {
      inside = SavedError::fetch();
    }

    if (inside) {
      // Leave the client's context with the exception; a true answer drops it.
      Ref suppress = co_await awaiting(exit_args_call(aexit, inside));
      if (!truthy(suppress)) inside.rethrow();
      co_return none();
    }
    co_await awaiting(call(aexit, Py_None, Py_None, Py_None));
    if (have_result) co_return result;
    co_return none();
  } catch (const PyErrOccurred&) {
    failure = SavedError::fetch();
  }

  if (!failure.matches(PyExc_Exception)) failure.rethrow(); // cancellation and exits pass on
  Ref shown = loggable(failure, api_key);
  Ref logger = state.global(k._logger);
  call_method(logger, k.warning, k.log_remote_failed, shown.get());
  co_return none();
}

const Param kParams[] = {{"self"}, {"api_key", "str | None", Check::StrOrNone}};

} // namespace

MethodDef verify_remote_def{
    .name = "_verify_remote",
    .qualname = "ApiKeyGuardlet._verify_remote",
    .module = &state,
    .params = kParams,
    .doc = kVerifyDoc,
    .return_annotation = "dict | None",
    .first_line = __LINE__,
    .coro = verify_remote_body,
};

} // namespace guardlet
