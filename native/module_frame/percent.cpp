#include "module_frame/percent.hpp"

#include "module_frame/ops.hpp"

#include <string>

namespace frame {
namespace {

/// Appends the characters of `bytes` decoded as UTF-8, undecodable bytes replaced.
void append_decoded(const std::string& bytes, std::u32string& out) {
  Ref piece = check(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
  const int kind = PyUnicode_KIND(piece.get());
  const void* data = PyUnicode_DATA(piece.get());
  for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(piece.get()); ++i) out.push_back(PyUnicode_READ(kind, data, i));
}

/// The byte an ASCII character at `i` stands for ("+" a space, "%XX" its byte),
/// advancing `i` past an escape.
char unescaped_byte(int kind, const void* data, Py_ssize_t& i, Py_ssize_t end) noexcept {
  Py_UCS4 c = PyUnicode_READ(kind, data, i);
  if (c == '+') return ' ';
  if (c == '%' && i + 2 < end) {
    int hi = hex_value(PyUnicode_READ(kind, data, i + 1));
    int lo = hex_value(PyUnicode_READ(kind, data, i + 2));
    if (hi >= 0 && lo >= 0) {
      i += 2;
      return static_cast<char>(hi * 16 + lo);
    }
  }
  return static_cast<char>(c);
}

} // namespace

Ref unquote_plus(Borrowed s, Py_ssize_t begin, Py_ssize_t end) {
  PyObject* qs = s.get();
  const int kind = PyUnicode_KIND(qs);
  const void* data = PyUnicode_DATA(qs);
  auto has = [&](char c) {
    switch (kind) {
    case PyUnicode_1BYTE_KIND: return find_unit(static_cast<const Py_UCS1*>(data), begin, end, c) < end;
    case PyUnicode_2BYTE_KIND: return find_unit(static_cast<const Py_UCS2*>(data), begin, end, c) < end;
    default: return find_unit(static_cast<const Py_UCS4*>(data), begin, end, c) < end;
    }
  };
  if (!has('%')) {
    Ref field = check(PyUnicode_Substring(qs, begin, end));
    if (!has('+')) return field;
    static PyObject* const plus = interned("+");
    static PyObject* const space = interned(" ");
    return check(PyUnicode_Replace(field.get(), plus, space, -1));
  }
  std::u32string out;
  std::string run; // the bytes of the current ASCII run
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      run.push_back(unescaped_byte(kind, data, i, end));
      continue;
    }
    if (!run.empty()) {
      append_decoded(run, out);
      run.clear();
    }
    out.push_back(c);
  }
  if (!run.empty()) append_decoded(run, out);
  return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

bool unquote_plus_equals(Borrowed s, Py_ssize_t begin, Py_ssize_t end, std::string_view word) noexcept {
  // Text outside ASCII stays as it is and an escaped byte outside ASCII
  // decodes to a character outside it, so only an all-ASCII field whose
  // unescaped bytes are ASCII can equal an ASCII word.
  if (end - begin < static_cast<Py_ssize_t>(word.size())) return false;
  PyObject* qs = s.get();
  const int kind = PyUnicode_KIND(qs);
  const void* data = PyUnicode_DATA(qs);
  size_t k = 0;
  for (Py_ssize_t i = begin; i < end; ++i, ++k) {
    if (PyUnicode_READ(kind, data, i) >= 0x80) return false;
    char b = unescaped_byte(kind, data, i, end);
    if (k >= word.size() || b != word[k]) return false;
  }
  return k == word.size();
}

} // namespace frame
