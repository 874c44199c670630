// The native reading of "api_key" from a query string, giving exactly what
// `urllib.parse.parse_qs(query).get("api_key", [])[:1]` gives with the
// library's defaults: "&" separates fields, fields without "=" or with an
// empty value are left out, "+" reads as a space, and percent escapes are
// decoded as UTF-8 with undecodable bytes replaced, one run of ASCII text at
// a time, as `urllib.parse.unquote` does.
#include "mcp/guardlet.hpp"

#include <cstring>
#include <string>
#include <string_view>

using namespace frame;

namespace guardlet {
namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/// Appends `run` (ASCII only) with "+" as a space and percent escapes decoded to bytes.
void unescape_ascii(std::string_view run, std::string& out) {
  for (size_t i = 0; i < run.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(run[i]);
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < run.size() &&
               hex_value(static_cast<unsigned char>(run[i + 1])) >= 0 &&
               hex_value(static_cast<unsigned char>(run[i + 2])) >= 0) {
      out.push_back(static_cast<char>(hex_value(static_cast<unsigned char>(run[i + 1])) * 16 +
                                      hex_value(static_cast<unsigned char>(run[i + 2]))));
      i += 2;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
}

bool is_ascii(unsigned char c) { return c < 0x80; }

/// One name or value of the query, decoded; `field` is valid UTF-8.
Ref decode_component(std::string_view field) {
  std::string utf8;
  utf8.reserve(field.size());
  if (field.find('%') == std::string_view::npos) {
    for (char c : field) utf8.push_back(c == '+' ? ' ' : c);
    return check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
  }
  std::string run_bytes;
  size_t i = 0;
  while (i < field.size()) {
    size_t j = i;
    bool ascii = is_ascii(static_cast<unsigned char>(field[i]));
    while (j < field.size() && is_ascii(static_cast<unsigned char>(field[j])) == ascii) ++j;
    std::string_view run = field.substr(i, j - i);
    if (!ascii) {
      utf8.append(run); // text outside ASCII passes unchanged
    } else {
      run_bytes.clear();
      unescape_ascii(run, run_bytes);
      // Decoded bytes that are not UTF-8 become U+FFFD, exactly as the decoder replaces them.
      Ref piece = check(PyUnicode_DecodeUTF8(run_bytes.data(), static_cast<Py_ssize_t>(run_bytes.size()), "replace"));
      Py_ssize_t n = 0;
      const char* p = PyUnicode_AsUTF8AndSize(piece.get(), &n);
      if (!p) throw_error();
      utf8.append(p, static_cast<size_t>(n));
    }
    i = j;
  }
  return check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

/// True when the decoded name is "api_key". A replaced byte or any text
/// outside ASCII cannot decode to it, so comparing the unescaped bytes suffices.
bool names_api_key(std::string_view name) {
  if (name.size() < 7) return false;
  std::string bytes;
  bytes.reserve(name.size());
  for (unsigned char c : name)
    if (!is_ascii(c)) return false;
  unescape_ascii(name, bytes);
  return bytes == "api_key";
}

} // namespace

Ref first_api_key(const char* query, Py_ssize_t size) {
  std::string_view qs(query, static_cast<size_t>(size));
  size_t start = 0;
  while (start <= qs.size()) {
    size_t end = qs.find('&', start);
    if (end == std::string_view::npos) end = qs.size();
    std::string_view field = qs.substr(start, end - start);
    start = end + 1;
    size_t eq = field.find('=');
    if (field.empty() || eq == std::string_view::npos) continue;
    std::string_view value = field.substr(eq + 1);
    if (value.empty()) continue;
    if (names_api_key(field.substr(0, eq))) return decode_component(value);
  }
  return Ref();
}

} // namespace guardlet
