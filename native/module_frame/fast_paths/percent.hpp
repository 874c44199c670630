// Query strings and percent escapes, read as urllib.parse reads them with its
// defaults: "&" separates fields, "+" reads as a space, and "%XX" escapes are
// decoded as UTF-8 (undecodable bytes replaced) one run of ASCII text at a
// time, with text outside ASCII kept as it is. Both modules' native query
// paths stand on these; the JSON reader uses the hex digits.
#pragma once

#include "module_frame/runtime/error.hpp"

#include <cstring>
#include <optional>
#include <string_view>

namespace frame {

/// The value of a hex digit, or -1.
constexpr int hex_value(Py_UCS4 c) noexcept {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

/// The characters of a str, or of ASCII bytes read as the str they decode to
/// (which saves building that str). Valid while the object lives.
struct Text {
  int kind;
  const void* data;
  Py_ssize_t length;

  Text(Borrowed str) noexcept
      : kind(PyUnicode_KIND(str.get())), data(PyUnicode_DATA(str.get())), length(PyUnicode_GET_LENGTH(str.get())) {}
  /// Bytes known to be all ASCII.
  static Text ascii(const char* bytes, Py_ssize_t n) noexcept { return Text(bytes, n); }

  Py_UCS4 operator[](Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i); }

private:
  Text(const char* bytes, Py_ssize_t n) noexcept : kind(PyUnicode_1BYTE_KIND), data(bytes), length(n) {}
};

/// Whether the `n` bytes at `p` are all ASCII.
bool is_ascii(const char* p, Py_ssize_t n) noexcept;

/// The characters of `o` when it is an exact bytes object holding only ASCII
/// (they are those of the str it decodes to); nothing for any other object.
inline std::optional<Text> ascii_bytes_text(Borrowed o) noexcept {
  PyObject* b = o.get();
  if (!PyBytes_CheckExact(b) || !is_ascii(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b))) return std::nullopt;
  return Text::ascii(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b));
}

/// `unquote(field.replace("+", " "))` of the characters [begin, end) of `s`.
Ref unquote_plus(const Text& s, Py_ssize_t begin, Py_ssize_t end);

/// Whether `unquote_plus(s, begin, end)` equals the ASCII text `word`, found without building it.
bool unquote_plus_equals(const Text& s, Py_ssize_t begin, Py_ssize_t end, std::string_view word) noexcept;

/// One non-empty field of a query: characters [begin, end), split at its first "=" (eq == end without one).
struct QueryField {
  Py_ssize_t begin, eq, end;
  bool has_equals() const noexcept { return eq < end; }
};

/// The first position in [begin, end) of the code units `d` holding `c`, or `end`.
template <class Ch>
Py_ssize_t find_unit(const Ch* d, Py_ssize_t begin, Py_ssize_t end, char c) noexcept {
  if constexpr (sizeof(Ch) == 1) {
    const void* hit = begin < end ? std::memchr(d + begin, c, static_cast<size_t>(end - begin)) : nullptr;
    return hit ? static_cast<const Ch*>(hit) - d : end;
  } else {
    while (begin < end && d[begin] != static_cast<Ch>(c)) ++begin;
    return begin;
  }
}

/// The field of the code units `d` that starts at `start`: it ends at the next "&" (or at `n`).
template <class Ch>
QueryField field_at(const Ch* d, Py_ssize_t start, Py_ssize_t n) noexcept {
  const Py_ssize_t stop = find_unit(d, start, n, '&');
  return QueryField{start, find_unit(d, start, stop, '='), stop};
}

/// Calls `visit(field)` for each non-empty "&"-separated field of `s`, in
/// order, until `visit` returns false.
template <class Visit>
void for_each_query_field(const Text& s, Visit&& visit) {
  const Py_ssize_t n = s.length;
  for (Py_ssize_t start = 0; start < n;) {
    QueryField f = s.kind == PyUnicode_1BYTE_KIND   ? field_at(static_cast<const Py_UCS1*>(s.data), start, n)
                   : s.kind == PyUnicode_2BYTE_KIND ? field_at(static_cast<const Py_UCS2*>(s.data), start, n)
                                                    : field_at(static_cast<const Py_UCS4*>(s.data), start, n);
    if (f.end > f.begin && !visit(f)) return;
    start = f.end + 1;
  }
}

} // namespace frame
