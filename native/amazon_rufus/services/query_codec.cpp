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

#include "module_frame/fast_paths/percent.hpp"

#include <string>

using namespace frame;

namespace replay {
namespace {

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
  state.parse_qsl.remember(parse_qsl, "urllib.parse", "parse_qsl",
                           {"_coerce_args", "unquote", "_generate_unquoted_parts", "_unquote_impl", "_asciire"});
  state.urlencode.remember(urlencode, "urllib.parse", "urlencode",
                           {"quote_plus", "quote", "quote_from_bytes", "_byte_quoter_factory", "_ALWAYS_SAFE_BYTES"});
}

Ref query_dict_if_standard(Borrowed parse_qsl, Borrowed query) {
  if (!PyUnicode_CheckExact(query.get()) || !state.parse_qsl.still(parse_qsl)) return Ref();
  // unquote's own defaults decide nothing here: parse_qsl passes them explicitly.
  try {
    Ref result = new_dict();
    for_each_query_field(query, [&](const QueryField& f) {
      Ref name = unquote_plus(query, f.begin, f.eq);
      Ref value = f.has_equals() ? unquote_plus(query, f.eq + 1, f.end) : Ref::borrow(k.empty_str);
      dict_set(result, name, value);
      return true;
    });
    return result;
  } catch (const PyErrOccurred&) {
    PyErr_Clear();
    return Ref();
  }
}

Ref encoded_if_standard(Borrowed urlencode, Borrowed query) {
  if (!PyDict_CheckExact(query.get()) || !state.urlencode.still(urlencode)) return Ref();
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
