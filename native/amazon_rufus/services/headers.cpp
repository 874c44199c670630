// RufusReplayService._build_replay_headers: of the seed request's headers,
// the ones a page script may set and Rufus needs, under lower-case names,
// with a JSON content type when the seed had none.
#include "amazon_rufus/services/replay.hpp"

using namespace frame;

namespace replay {
namespace {

/// `key.lower()`; an ASCII str is folded here, with the same result.
Ref lowered(Borrowed key) {
  PyObject* s = key.get();
  if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return call_method(key, k.lower);
  const Py_UCS1* data = PyUnicode_1BYTE_DATA(s);
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  Py_ssize_t first_upper = 0;
  while (first_upper < n && !(data[first_upper] >= 'A' && data[first_upper] <= 'Z')) ++first_upper;
  if (first_upper == n) return Ref::borrow(key);
  Ref out = check(PyUnicode_New(n, 127));
  Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS1 c = data[i];
    dst[i] = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c - 'A' + 'a') : c;
  }
  return out;
}

Ref build_replay_headers_body(const Call& c) {
  Borrowed self = c.args[0], request_headers = c.args[1];
  Ref headers = new_dict();
  // `for key, value in request_headers.items()`, with the items iterator's
  // checks against a dict that changes while it is being read.
  PyObject* d = request_headers.get();
  const Py_ssize_t size = PyDict_GET_SIZE(d);
  Py_ssize_t remaining = size, pos = 0;
  PyObject *raw_key, *raw_value;
  for (;;) {
    if (PyDict_GET_SIZE(d) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (!PyDict_Next(d, &pos, &raw_key, &raw_value)) break;
    if (remaining == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    --remaining;
    Ref key = Ref::borrow(raw_key), value = Ref::borrow(raw_value);
    Ref normalized = lowered(key);
    // Looked up on the instance for every header examined, as the method is
    // defined to: a subclass or instance attribute takes the class's place,
    // and a key's lower() may replace it while the loop runs.
    Ref allowlist = getattr(self, k.REPLAY_HEADER_ALLOWLIST);
    if (check_status(PySequence_Contains(allowlist.get(), normalized.get()))) dict_set(headers, normalized, value);
  }
  if (!PyDict_SetDefault(headers.get(), k.content_type, k.application_json)) throw_error();
  return headers;
}

const Param kParams[] = {{"self"}, {"request_headers", "dict[str, str]", Check::Dict}};
const char* const kLocals[] = {"headers", "key", "value", "normalized"};

} // namespace

MethodDef build_replay_headers_def{
    .name = "_build_replay_headers",
    .qualname = "RufusReplayService._build_replay_headers",
    .module = &state,
    .params = kParams,
    .doc = "提取浏览器允许脚本设置且 Rufus 必需的请求头。",
    .return_annotation = "dict[str, str]",
    .first_line = __LINE__,
    .locals = kLocals,
    .plain = build_replay_headers_body,
};

} // namespace replay
