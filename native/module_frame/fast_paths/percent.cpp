#include "module_frame/fast_paths/percent.hpp"

#include "module_frame/runtime/ops.hpp"

#include <cstdint>
#include <cstring>
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
char unescaped_byte(const Text& s, Py_ssize_t& i, Py_ssize_t end) noexcept {
  Py_UCS4 c = s[i];
  if (c == '+') return ' ';
  if (c == '%' && i + 2 < end) {
    int hi = hex_value(s[i + 1]);
    int lo = hex_value(s[i + 2]);
    if (hi >= 0 && lo >= 0) {
      i += 2;
      return static_cast<char>(hi * 16 + lo);
    }
  }
  return static_cast<char>(c);
}

} // namespace

bool is_ascii(const char* p, Py_ssize_t n) noexcept {
  // Eight bytes at a time, then the last few.
  uint64_t any = 0;
  Py_ssize_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    any |= word;
  }
  for (; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
  return (any & 0x8080808080808080u) == 0;
}

Ref unquote_plus(const Text& s, Py_ssize_t begin, Py_ssize_t end) {
  auto has = [&](char c) {
    switch (s.kind) {
    case PyUnicode_1BYTE_KIND: return find_unit(static_cast<const Py_UCS1*>(s.data), begin, end, c) < end;
    case PyUnicode_2BYTE_KIND: return find_unit(static_cast<const Py_UCS2*>(s.data), begin, end, c) < end;
    default: return find_unit(static_cast<const Py_UCS4*>(s.data), begin, end, c) < end;
    }
  };
  if (!has('%')) {
    Ref field =
        check(PyUnicode_FromKindAndData(s.kind, static_cast<const char*>(s.data) + begin * s.kind, end - begin));
    if (!has('+')) return field;
    static PyObject* const plus = interned("+");
    static PyObject* const space = interned(" ");
    return check(PyUnicode_Replace(field.get(), plus, space, -1));
  }
  std::u32string out;
  std::string run; // the bytes of the current ASCII run
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS4 c = s[i];
    if (c < 0x80) {
      run.push_back(unescaped_byte(s, i, end));
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

bool unquote_plus_equals(const Text& s, Py_ssize_t begin, Py_ssize_t end, std::string_view word) noexcept {
  // Text outside ASCII stays as it is and an escaped byte outside ASCII
  // decodes to a character outside it, so only an all-ASCII field whose
  // unescaped bytes are ASCII can equal an ASCII word.
  if (end - begin < static_cast<Py_ssize_t>(word.size())) return false;
  if (s.kind == PyUnicode_1BYTE_KIND) {
    // A field without "%" or "+" reads as it stands.
    const auto* d = static_cast<const Py_UCS1*>(s.data);
    if (find_unit(d, begin, end, '%') == end && find_unit(d, begin, end, '+') == end)
      return end - begin == static_cast<Py_ssize_t>(word.size()) &&
             std::memcmp(d + begin, word.data(), word.size()) == 0;
  }
  size_t k = 0;
  for (Py_ssize_t i = begin; i < end; ++i, ++k) {
    if (s[i] >= 0x80) return false;
    char b = unescaped_byte(s, i, end);
    if (k >= word.size() || b != word[k]) return false;
  }
  return k == word.size();
}

} // namespace frame
