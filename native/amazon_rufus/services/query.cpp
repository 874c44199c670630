// Native readings of the two query-string functions build_replay_url calls,
// giving exactly what the standard library gives:
//
// - `dict(parse_qsl(query, keep_blank_values=True))` for a str query: fields
//   are separated by "&", empty fields are skipped, a field without "=" has an
//   empty value, "+" reads as a space, and percent escapes are decoded one run
//   of ASCII text at a time as UTF-8 with undecodable bytes replaced (text
//   outside ASCII is kept as it is);
// - `urlencode(query)` for a dict of str keys and str or int values: each
//   name and value is encoded as UTF-8, letters, digits and "_.-~" stay, a
//   space becomes "+", every other byte becomes "%XX" in upper-case hex, and
//   the fields are joined with "&".
//
// Each is used only while the module global is still the library function
// bound at load, with the library helpers it relies on unchanged; otherwise,
// and for any input outside the cases above, the caller calls the function.
#include "amazon_rufus/services/replay.hpp"

#include <string>

using namespace frame;

namespace replay {
namespace {

/// One library function and the module globals it reaches, as found at load.
struct Library {
  PyObject* function = nullptr;
  PyObject* defaults = nullptr;
  PyObject* globals = nullptr;
  static constexpr int kMaxHelpers = 5;
  PyObject* helper_names[kMaxHelpers] = {};
  PyObject* helpers[kMaxHelpers] = {};
  int nhelpers = 0;

  void forget() noexcept {
    Py_CLEAR(function);
    Py_CLEAR(defaults);
    Py_CLEAR(globals);
    for (int i = 0; i < nhelpers; ++i) Py_CLEAR(helpers[i]);
  }

  /// Whether `fn` is still this function with its defaults and helpers.
  bool still(Borrowed fn) const {
    if (!function || !fn.is(function)) return false;
    if (PyFunction_GetDefaults(function) != defaults) return false;
    for (int i = 0; i < nhelpers; ++i) {
      PyObject* v = PyDict_GetItemWithError(globals, helper_names[i]);
      if (v != helpers[i]) {
        PyErr_Clear();
        return false;
      }
    }
    return true;
  }

  /// Records `fn` if it is the function `name` of urllib.parse, defined there.
  bool remember(Borrowed fn, const char* name, std::initializer_list<const char*> helper_list) {
    forget();
    if (!PyFunction_Check(fn.get())) return false;
    PyObject* g = PyFunction_GetGlobals(fn.get());
    PyObject* module_name = PyDict_GetItemString(g, "__name__");
    if (!module_name || !PyUnicode_Check(module_name) ||
        PyUnicode_CompareWithASCIIString(module_name, "urllib.parse") != 0)
      return false;
    if (PyDict_GetItemString(g, name) != fn.get()) return false;
    nhelpers = 0;
    for (const char* h : helper_list) {
      if (!helper_names[nhelpers]) helper_names[nhelpers] = PyUnicode_InternFromString(h);
      if (!helper_names[nhelpers]) return false;
      PyObject* v = PyDict_GetItemWithError(g, helper_names[nhelpers]);
      if (!v) return false;
      helpers[nhelpers++] = Py_NewRef(v);
    }
    function = Py_NewRef(fn.get());
    defaults = Py_XNewRef(PyFunction_GetDefaults(fn.get()));
    globals = Py_NewRef(g);
    return true;
  }
};

Library g_parse_qsl;
Library g_urlencode;

int hex_value(Py_UCS4 c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

/// Appends the characters of `bytes` decoded as UTF-8 with replacement.
bool append_decoded(const std::string& bytes, std::u32string& out) {
  Ref piece = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
  if (!piece) return false;
  int kind = PyUnicode_KIND(piece.get());
  const void* data = PyUnicode_DATA(piece.get());
  for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(piece.get()); ++i) out.push_back(PyUnicode_READ(kind, data, i));
  return true;
}

/// One name or value of the query, characters [begin, end): "+" as a space, then unquoted.
Ref unquote_field(PyObject* qs, Py_ssize_t begin, Py_ssize_t end) {
  int kind = PyUnicode_KIND(qs);
  const void* data = PyUnicode_DATA(qs);
  bool has_percent = false, has_plus = false;
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    has_percent |= c == '%';
    has_plus |= c == '+';
  }
  if (!has_percent) {
    Ref field = Ref::steal(PyUnicode_Substring(qs, begin, end));
    if (!field || !has_plus) return field;
    Ref plus = Ref::steal(PyUnicode_FromOrdinal('+'));
    Ref space = Ref::steal(PyUnicode_FromOrdinal(' '));
    if (!plus || !space) return Ref();
    return Ref::steal(PyUnicode_Replace(field.get(), plus.get(), space.get(), -1));
  }
  std::u32string out;
  std::string run; // bytes of the current ASCII run
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0x80) {
      if (!run.empty()) {
        if (!append_decoded(run, out)) return Ref();
        run.clear();
      }
      out.push_back(c);
      continue;
    }
    if (c == '+') {
      run.push_back(' ');
    } else if (c == '%' && i + 2 < end && hex_value(PyUnicode_READ(kind, data, i + 1)) >= 0 &&
               hex_value(PyUnicode_READ(kind, data, i + 2)) >= 0) {
      run.push_back(static_cast<char>(hex_value(PyUnicode_READ(kind, data, i + 1)) * 16 +
                                      hex_value(PyUnicode_READ(kind, data, i + 2))));
      i += 2;
    } else {
      run.push_back(static_cast<char>(c));
    }
  }
  if (!run.empty() && !append_decoded(run, out)) return Ref();
  return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

bool always_safe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-' || c == '~';
}

/// Appends `quote_plus(str(o))` for an exact str or int; false when `o` is left to urlencode.
bool append_quoted(PyObject* o, std::string& out) {
  Ref text;
  if (PyUnicode_CheckExact(o)) {
    text = Ref::borrow(o);
  } else if (PyLong_CheckExact(o)) {
    text = Ref::steal(PyObject_Str(o));
    if (!text) return false;
  } else {
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size); // fails on lone surrogates
  if (!utf8) return false;
  static const char kHex[] = "0123456789ABCDEF";
  for (Py_ssize_t i = 0; i < size; ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (always_safe(c)) {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return true;
}

} // namespace

void remember_standard_urllib(Borrowed parse_qsl, Borrowed urlencode) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  if (!g_parse_qsl.remember(parse_qsl, "parse_qsl",
                            {"_coerce_args", "unquote", "_generate_unquoted_parts", "_unquote_impl", "_asciire"}))
    g_parse_qsl.forget();
  if (!g_urlencode.remember(urlencode, "urlencode",
                            {"quote_plus", "quote", "quote_from_bytes", "_byte_quoter_factory", "_ALWAYS_SAFE_BYTES"}))
    g_urlencode.forget();
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

Ref query_dict_if_standard(Borrowed parse_qsl, Borrowed query) {
  PyObject* qs = query.get();
  if (!PyUnicode_CheckExact(qs) || !g_parse_qsl.still(parse_qsl)) return Ref();
  // unquote's own defaults decide nothing here: parse_qsl passes them explicitly.
  Ref result = Ref::steal(PyDict_New());
  if (!result) return Ref();
  Py_ssize_t n = PyUnicode_GET_LENGTH(qs);
  int kind = PyUnicode_KIND(qs);
  const void* data = PyUnicode_DATA(qs);
  Py_ssize_t start = 0;
  while (start <= n && n > 0) {
    Py_ssize_t stop = start;
    while (stop < n && PyUnicode_READ(kind, data, stop) != '&') ++stop;
    if (stop > start) {
      Py_ssize_t eq = start;
      while (eq < stop && PyUnicode_READ(kind, data, eq) != '=') ++eq;
      Ref name = unquote_field(qs, start, eq);
      Ref value = eq < stop ? unquote_field(qs, eq + 1, stop) : Ref::steal(PyUnicode_FromStringAndSize("", 0));
      if (!name || !value || PyDict_SetItem(result.get(), name.get(), value.get()) < 0) {
        PyErr_Clear();
        return Ref();
      }
    }
    start = stop + 1;
  }
  return result;
}

Ref encoded_if_standard(Borrowed urlencode, Borrowed query) {
  if (!PyDict_CheckExact(query.get()) || !g_urlencode.still(urlencode)) return Ref();
  std::string out;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  bool first = true;
  while (PyDict_Next(query.get(), &pos, &key, &value)) {
    if (!first) out.push_back('&');
    first = false;
    if (!append_quoted(key, out)) break;
    out.push_back('=');
    if (!append_quoted(value, out)) break;
    key = nullptr;
  }
  if (key) {
    // A name or value this reading leaves to urlencode (or a failed conversion).
    PyErr_Clear();
    return Ref();
  }
  Ref result = Ref::steal(PyUnicode_DecodeASCII(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr));
  if (!result) PyErr_Clear();
  return result;
}

} // namespace replay
