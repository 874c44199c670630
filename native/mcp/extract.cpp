// ApiKeyGuardlet._extract_token: the key from the query parameter "api_key",
// else from the first "Authorization: Bearer" header.
#include "mcp/guardlet.hpp"

#include "module_frame/fast_paths/percent.hpp"

using namespace frame;

namespace guardlet {
namespace {

/// A module of the plain type: no subclass can answer its attributes itself.
bool plain_module(Borrowed m) noexcept { return Py_TYPE(m.get()) == &PyModule_Type; }

/// `value` is `m.name` read from the module's own dict.
bool in_dict(Borrowed m, Borrowed name, Borrowed value) noexcept {
  return value.is(PyDict_GetItemWithError(PyModule_GetDict(m.get()), name.get()));
}

/// The first value of "api_key" in the query, as `parse_qs(query)` gives it
/// with its defaults: fields without "=" or with an empty value are left
/// out. A null Ref when there is none. The host reads the same value with
/// `strovik.mcp.redaction.query_api_key`; a parity test holds the two alike.
Ref first_api_key(const Text& query) {
  Ref key;
  for_each_query_field(query, [&](const QueryField& f) {
    if (!f.has_equals() || f.eq + 1 == f.end || !unquote_plus_equals(query, f.begin, f.eq, "api_key")) return true;
    key = unquote_plus(query, f.eq + 1, f.end);
    return false;
  });
  return key;
}

/// `parse_qs(query_string).get("api_key", [])[0]` through the parser found, or a null Ref.
Ref parsed_api_key(Borrowed parse_qs, Borrowed query_string) {
  Ref params = call(parse_qs, query_string.get());
  Ref empty = new_list();
  Ref api_keys = mapping_get(params, k.api_key, empty);
  if (!truthy(api_keys)) return Ref();
  Ref zero = check(PyLong_FromLong(0));
  return getitem(api_keys, zero);
}

/// The key from the query string, or a null Ref.
Ref key_from_query(Borrowed raw) {
  if (std::optional<Text> ascii = ascii_bytes_text(raw)) {
    if (ascii->length == 0) return Ref();
    // The standard parser's answer is read from the bytes, without building the decoded str.
    bool standard = false;
    Ref parse_qs = state.parse_qs_lookup.find(standard);
    if (standard) return first_api_key(*ascii);
    return parsed_api_key(parse_qs, check(PyUnicode_DecodeASCII(PyBytes_AS_STRING(raw.get()), ascii->length, nullptr)));
  }
  Ref query_string;
  if (PyBytes_CheckExact(raw.get())) {
    query_string = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), nullptr));
  } else {
    query_string = Ref::steal(PyObject_CallMethodOneArg(raw.get(), k.decode, k.utf_8));
  }
  if (!query_string) {
    // An unauthenticated client controls these bytes: a query that is not
    // UTF-8 gives no key, and the headers are still searched.
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
      PyErr_Clear();
      return Ref();
    }
    throw_error();
  }
  if (!truthy(query_string)) return Ref();

  bool standard = false;
  Ref parse_qs = state.parse_qs_lookup.find(standard);
  if (standard && PyUnicode_CheckExact(query_string.get())) return first_api_key(Borrowed(query_string));
  return parsed_api_key(parse_qs, query_string);
}

[[gnu::cold]] void unpack_error(Py_ssize_t n) {
  if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
  raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
}

/// `name, value = item`.
void unpack_pair(Borrowed item, Ref& name, Ref& value) {
  PyObject* o = item.get();
  if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    if (n != 2) unpack_error(n);
    name = Ref::borrow(PySequence_Fast_GET_ITEM(o, 0));
    value = Ref::borrow(PySequence_Fast_GET_ITEM(o, 1));
    return;
  }
  Ref it = check(PyObject_GetIter(o));
  Ref parts[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    parts[i] = Ref::steal(PyIter_Next(it.get()));
    if (!parts[i]) {
      if (PyErr_Occurred()) throw_error();
      unpack_error(i);
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) unpack_error(3);
  if (PyErr_Occurred()) throw_error();
  name = std::move(parts[0]);
  value = std::move(parts[1]);
}

/// name.lower() == b"authorization"
bool is_authorization(Borrowed name) {
  if (PyBytes_CheckExact(name.get())) {
    // bytes.lower() folds ASCII letters only; compare the same way.
    if (PyBytes_GET_SIZE(name.get()) != 13) return false;
    const char* s = PyBytes_AS_STRING(name.get());
    const char* want = "authorization";
    for (int i = 0; i < 13; ++i) {
      char ch = s[i];
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      if (ch != want[i]) return false;
    }
    return true;
  }
  Ref lowered = call_method(name, k.lower);
  return equal(lowered, k.authorization);
}

/// value.decode("utf-8", errors="replace")
Ref decode_header(Borrowed value) {
  if (PyBytes_CheckExact(value.get()))
    return check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()), PyBytes_GET_SIZE(value.get()), "replace"));
  Ref decode = getattr(value, k.decode);
  return call_kw(decode, k.kw_errors, k.utf_8, k.replace);
}

/// auth.lower().startswith("bearer ") for the characters of a str. No
/// character outside ASCII lower-cases into one of "bearer ", so the test
/// reduces to the first seven characters compared without case.
bool has_bearer_scheme(const Text& auth) noexcept {
  if (auth.length < 7) return false;
  const char* want = "bearer ";
  for (int i = 0; i < 7; ++i) {
    Py_UCS4 ch = auth[i];
    if (ch >= 'A' && ch <= 'Z') ch = ch - 'A' + 'a';
    if (ch != static_cast<Py_UCS4>(want[i])) return false;
  }
  return true;
}

/// auth.lower().startswith("bearer ") for any object.
bool has_bearer_scheme(Borrowed auth) {
  if (PyUnicode_CheckExact(auth.get())) return has_bearer_scheme(Text(auth));
  Ref lowered = call_method(auth, k.lower);
  Ref prefix = check(PyUnicode_FromString("bearer "));
  Ref startswith = intern("startswith");
  Ref r = call_method(lowered, startswith.get(), prefix.get());
  return truthy(r);
}

/// auth[7:].strip() for the characters of a str, with the white space found here.
Ref bearer_credentials(const Text& auth) {
  Py_ssize_t begin = 7, end = auth.length;
  while (begin < end && Py_UNICODE_ISSPACE(auth[begin])) ++begin;
  while (end > begin && Py_UNICODE_ISSPACE(auth[end - 1])) --end;
  return check(
      PyUnicode_FromKindAndData(auth.kind, static_cast<const char*>(auth.data) + begin * auth.kind, end - begin));
}

/// auth[7:].strip() for any object.
Ref bearer_credentials(Borrowed auth) {
  PyObject* s = auth.get();
  if (PyUnicode_CheckExact(s)) return bearer_credentials(Text(auth));
  return call_method(check(PySequence_GetSlice(s, 7, PY_SSIZE_T_MAX)), k.strip);
}

/// The credentials of an "Authorization" header value if its scheme is Bearer, else a null Ref.
Ref bearer_from(Borrowed value) {
  if (std::optional<Text> ascii = ascii_bytes_text(value))
    return has_bearer_scheme(*ascii) ? bearer_credentials(*ascii) : Ref();
  Ref auth = decode_header(value);
  return has_bearer_scheme(auth) ? bearer_credentials(auth) : Ref();
}

Ref extract_token_body(const Call& c) {
  Borrowed scope = c.args[1];
  {
    Ref raw = mapping_get(scope, k.query_string, k.empty_bytes);
    Ref key = key_from_query(raw);
    if (key) return key;
  }
  // scope.get("headers", []): an exact dict never shows its default to any
  // code, so a shared empty tuple stands for the new list there.
  static PyObject* const no_headers = constant(check(PyTuple_New(0)));
  Ref headers = PyDict_CheckExact(scope.get()) ? mapping_get(scope, k.headers, no_headers)
                                               : mapping_get(scope, k.headers, new_list());
  Ref token;
  auto bearer_token = [&](Borrowed item) {
    Ref name, value;
    unpack_pair(item, name, value);
    if (!is_authorization(name)) return false;
    token = bearer_from(value);
    return bool(token);
  };
  if (PyList_CheckExact(headers.get())) {
    // As a list iterator does: the length is read again before every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers.get()); ++i)
      if (bearer_token(Ref::borrow(PyList_GET_ITEM(headers.get(), i)))) return token;
    return none();
  }
  Ref it = check(PyObject_GetIter(headers.get()));
  while (Ref item = Ref::steal(PyIter_Next(it.get())))
    if (bearer_token(item)) return token;
  if (PyErr_Occurred()) throw_error();
  return none();
}

const Param kParams[] = {{"self"}, {"scope", "Scope"}};
const char* const kLocals[] = {"query_string", "params", "api_keys", "name", "value", "auth"};

} // namespace

Ref ParseQsLookup::find(bool& standard) {
  if (kept_.holds() && plain_module(urllib_) && plain_module(parse_) && state.parse_qs.still(parse_qs_)) {
    standard = true;
    return Ref::borrow(parse_qs_);
  }
  Ref urllib = state.global(k.urllib);
  Ref parse = getattr(urllib, k.parse);
  Ref parse_qs = getattr(parse, k.parse_qs);
  standard = state.parse_qs.still(parse_qs);
  if (standard) keep(urllib, parse, parse_qs);
  return parse_qs;
}

void ParseQsLookup::keep(Borrowed urllib, Borrowed parse, Borrowed parse_qs) noexcept {
  kept_.drop();
  if (!plain_module(urllib) || !plain_module(parse) || !in_dict(urllib, k.parse, parse) ||
      !in_dict(parse, k.parse_qs, parse_qs)) {
    PyErr_Clear();
    return;
  }
  urllib_ = Ref::borrow(urllib);
  parse_ = Ref::borrow(parse);
  parse_qs_ = Ref::borrow(parse_qs);
  kept_.keep({state.globals, state.builtins, PyModule_GetDict(urllib.get()), PyModule_GetDict(parse.get())});
}

MethodDef extract_token_def{
    .name = "_extract_token",
    .qualname = "ApiKeyGuardlet._extract_token",
    .module = &state,
    .params = kParams,
    .doc = "从 Query Param 或 Header 中提取 API Key。",
    .return_annotation = "str | None",
    .first_line = __LINE__,
    .locals = kLocals,
    .plain = extract_token_body,
};

} // namespace guardlet
