// ApiKeyGuardlet._send_401: the gate's refusal, a complete 401 answer of two
// ASGI messages with a one-line JSON body.
#include "mcp/guardlet.hpp"

#include <string>

using namespace frame;

namespace guardlet {
namespace {

bool needs_escape(Py_UCS4 ch) { return ch == '"' || ch == '\\' || ch < 0x20 || (ch >= 0xD800 && ch <= 0xDFFF); }

/// The reason as it stands inside a JSON string. Identifier-like reasons come
/// back unchanged; quotes, backslashes, control characters and lone
/// surrogates are escaped, so the body is always valid JSON and always encodable.
Ref json_string_content(Borrowed reason) {
  PyObject* s = reason.get();
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t i = 0;
  while (i < n && !needs_escape(PyUnicode_READ(kind, data, i))) ++i;
  if (i == n) return Ref::borrow(reason);

  std::u32string out;
  out.reserve(static_cast<size_t>(n) + 16);
  for (Py_ssize_t j = 0; j < n; ++j) {
    Py_UCS4 ch = PyUnicode_READ(kind, data, j);
    if (!needs_escape(ch)) {
      out.push_back(ch);
      continue;
    }
    const char* named = nullptr;
    switch (ch) {
    case '"': named = "\\\""; break;
    case '\\': named = "\\\\"; break;
    case '\n': named = "\\n"; break;
    case '\r': named = "\\r"; break;
    case '\t': named = "\\t"; break;
    case '\b': named = "\\b"; break;
    case '\f': named = "\\f"; break;
    default: break;
    }
    char buf[8];
    if (!named) {
      PyOS_snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(ch));
      named = buf;
    }
    for (const char* p = named; *p; ++p) out.push_back(static_cast<unsigned char>(*p));
  }
  return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

/// The UTF-8 body for `reason`.
Ref body_bytes(Borrowed reason) {
  Ref content = json_string_content(reason);
  Ref head = check(PyUnicode_Concat(k.body_prefix, content.get()));
  Ref text = check(PyUnicode_Concat(head.get(), k.body_suffix));
  return check(PyUnicode_AsUTF8String(text.get()));
}

/// The body of the gate's own refusal, made once: bytes are immutable, so
/// every answer may share it (the message dicts stay new every time).
Ref default_body_bytes() {
  static PyObject* const body = constant(body_bytes(k.invalid_api_key));
  return Ref::borrow(body);
}

Task send_401_body(Call c) {
  Borrowed send = c.args[2], reason = c.args[3];
  Ref body_data = reason.is(k.invalid_api_key) ? default_body_bytes() : body_bytes(reason);

  Ref start = new_dict();
  dict_set(start, k.type, k.http_response_start);
  dict_set(start, k.status, k.int_401);
  {
    Ref headers = new_list(2);
    PyList_SET_ITEM(headers.get(), 0, Py_NewRef(k.content_type_pair));
    PyList_SET_ITEM(headers.get(), 1, Py_NewRef(k.www_authenticate_pair));
    dict_set(start, k.headers, headers);
  }
  co_await awaiting(call(send, start.get()));

  Ref body = new_dict();
  dict_set(body, k.type, k.http_response_body);
  dict_set(body, k.body, body_data);
  co_await awaiting(call(send, body.get()));
  co_return none();
}

const Param kParams[] = {
    {"self"},
    {"_scope", "Scope"},
    {"send", "Send"},
    {"reason", "str", Check::Str, Default::Str, "invalid_api_key"},
};
const char* const kLocals[] = {"body"};

} // namespace

MethodDef send_401_def{
    .name = "_send_401",
    .qualname = "ApiKeyGuardlet._send_401",
    .module = &state,
    .params = kParams,
    .return_annotation = "None",
    .first_line = __LINE__,
    .locals = kLocals,
    .coro = send_401_body,
};

} // namespace guardlet
