// Keeping API keys out of log records. The gate's own warning masks a key
// that an error message echoes; the HTTP client used for remote verification
// logs request URLs (which carry the key as a query parameter), so a filter on
// its loggers masks the key being verified in the current context.
#include "mcp/guardlet.hpp"

#include <algorithm>
#include <utility>
#include <vector>

using namespace frame;

namespace guardlet {
namespace {

/// The forms in which a key can turn up in a text, longest first, each once:
/// as it is, as Python and bytes reprs show it (a control character in a
/// header value), and percent-encoded as it travels in the query. The UTF-8
/// bytes have every lone surrogate escaped as the bytes repr shows it.
///
/// The same definition as `key_spellings` of the host's redaction module,
/// which the host's own key check uses; this module imports nothing of the
/// host, so it keeps its copy, and a differential test holds it to that one.
Ref make_key_forms(Borrowed api_key, Borrowed quote, Borrowed quote_plus) {
  Ref raw = check(PyUnicode_AsEncodedString(api_key.get(), "utf-8", "backslashreplace"));
  Ref r = check(PyObject_Repr(api_key.get()));
  Ref br = check(PyObject_Repr(raw.get()));
  Ref empty = check(PyUnicode_FromString(""));
  static PyObject* const kw_safe = constant(check(PyTuple_Pack(1, interned("safe"))));
  Ref candidates[] = {
      Ref::borrow(api_key),
      check(PySequence_GetSlice(r.get(), 1, PyUnicode_GET_LENGTH(r.get()) - 1)),
      check(PySequence_GetSlice(br.get(), 2, PyUnicode_GET_LENGTH(br.get()) - 1)),
      call_kw(quote, kw_safe, raw, empty),      // quote(raw, safe="")
      call_kw(quote_plus, kw_safe, raw, empty), // quote_plus(raw, safe="")
  };
  // Each once, longest first; forms of equal length keep the order above.
  std::vector<std::pair<Py_ssize_t, PyObject*>> kept;
  for (const Ref& form : candidates) {
    if (!truthy(form)) continue;
    bool seen = false;
    for (const auto& [len, earlier] : kept) seen = seen || equal(Borrowed(earlier), form);
    if (seen) continue;
    Py_ssize_t len = PyObject_Length(form.get());
    if (len < 0) throw_error();
    kept.emplace_back(len, form.get());
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  Ref forms = new_list();
  for (const auto& [len, form] : kept) list_append(forms, Borrowed(form));
  return forms;
}

/// Keeps `forms` of `api_key`, made from the standard quote and quote_plus
/// since the watchers' count was `seen`, when everything they depend on can
/// be watched.
void keep_forms(Borrowed api_key, Borrowed forms, uint64_t seen) {
  KeyForms& last = state.last_key_forms;
  last.kept.drop();
  Ref old_key = last.key.take(), old_forms = last.forms.take(); // released once the entry is whole
  last.key = Ref::borrow(api_key);
  last.forms = Ref::borrow(forms);
  // Code run since the lookups (the quoting itself, or a release above) may have replaced a helper.
  last.kept.keep({state.quote.globals(), state.quote_plus.globals(), state.builtins}, seen);
}

Ref key_forms(Borrowed api_key) {
  // quote and quote_plus are looked up at each use, so a replaced one takes effect at once.
  static PyObject* const quote_name = interned("quote");
  static PyObject* const quote_plus_name = interned("quote_plus");
  const uint64_t seen = watched_dict_changes();
  Ref parse = check(PyImport_ImportModule("urllib.parse"));
  Ref quote = getattr(parse, quote_name), quote_plus = getattr(parse, quote_plus_name);
  // Only an exact str is kept: a subclass may give other reprs or encodings each time.
  const bool keepable =
      PyUnicode_CheckExact(api_key.get()) && state.quote.still(quote) && state.quote_plus.still(quote_plus);
  const KeyForms& last = state.last_key_forms;
  if (keepable && last.kept.holds() && (last.key.is(api_key) || secret_equal(last.key, api_key)))
    return Ref::borrow(last.forms);
  Ref forms = make_key_forms(api_key, quote, quote_plus);
  if (keepable) keep_forms(api_key, forms, seen);
  return forms;
}

/// The log filter: rewrites a record of the HTTP client that shows the key
/// being verified; every record is let through.
Ref hide_key_body(const Call& c) {
  Borrowed record = c.args[0];
  PyObject* key = nullptr;
  check_status(PyContextVar_Get(state.verifying_key, Py_None, &key));
  Ref api_key = Ref::steal(key);
  if (api_key.is_none() || !PyUnicode_Check(api_key.get())) return boolean(true);
  Ref text = call_method(record, intern("getMessage").get());
  if (Ref masked = redact_key_forms(text, api_key)) {
    setattr(record, intern("msg"), masked);
    Ref no_args = check(PyTuple_New(0));
    setattr(record, intern("args"), no_args);
  }
  return boolean(true);
}

const Param kFilterParams[] = {{"record"}};

MethodDef hide_key_def{
    .name = "hide_verified_key",
    .qualname = "ApiKeyGuardlet._verify_remote.<locals>.hide_verified_key",
    .module = &state,
    .params = kFilterParams,
    .first_line = __LINE__,
    .plain = hide_key_body,
};

/// The loggers httpx and httpcore write to (filters are not inherited by child loggers).
constexpr const char* kClientLoggers[] = {"httpx",          "httpcore",       "httpcore.connection", "httpcore.http11",
                                          "httpcore.http2", "httpcore.proxy", "httpcore.socks"};

void install_filters() {
  if (state.verifying_key) return;
  Ref var = check(PyContextVar_New("strovik_mcp_verifying_key", nullptr));
  Ref logging = check(PyImport_ImportModule("logging"));
  Ref get_logger = getattr(logging, intern("getLogger"));
  Ref filter = make_function(hide_key_def);
  for (const char* name : kClientLoggers) {
    Ref n = check(PyUnicode_FromString(name));
    Ref logger = call(get_logger, n);
    call_method(logger, intern("addFilter").get(), filter);
  }
  state.verifying_key = var.release();
}

} // namespace

Ref redact_key_forms(Borrowed text, Borrowed api_key) {
  if (!PyUnicode_Check(text.get()) || !PyUnicode_Check(api_key.get())) return Ref();
  Ref forms = key_forms(api_key);
  Ref mask = check(PyUnicode_FromString("***"));
  Ref out = Ref::borrow(text);
  bool found = false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(forms.get()); ++i) {
    PyObject* form = PyList_GET_ITEM(forms.get(), i);
    if (PyUnicode_GET_LENGTH(form) == 0) continue;
    if (!check_status(PySequence_Contains(out.get(), form))) continue;
    found = true;
    out = check(PyUnicode_Replace(out.get(), form, mask.get(), -1));
  }
  return found ? out : Ref();
}

KeyInLogContext::KeyInLogContext(Borrowed api_key) {
  install_filters();
  token_ = check(PyContextVar_Set(state.verifying_key, api_key.get()));
}

KeyInLogContext::~KeyInLogContext() {
  // A coroutine closed from another context cannot reset there; the value
  // then simply stays in the context it was set in. Keep any pending error.
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  if (PyContextVar_Reset(state.verifying_key, token_.get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
}

} // namespace guardlet
