// A native reading of JSON text that gives exactly what the standard library's
// `json.loads(text)` gives with its default decoder, for build_payload.
//
// It is used only while `json.loads` is still the standard function bound to
// its default decoder and C scanner, and only for text it reads successfully:
// anything else (text that is not JSON, a byte-order mark, NaN and Infinity,
// integers longer than 18 digits, nesting deep enough to meet the recursion
// limit, an allocation failure) is handed back, and build_payload then calls
// `json.loads` itself, so errors are always the library's own.
//
// What it reproduces of the library: objects become exact dicts (a repeated
// name keeps its first position and its last value), arrays exact lists;
// white space is space, tab, line feed and carriage return only; strings may
// not hold raw control characters; "\uXXXX" escapes join a high and a low
// surrogate into one character and keep unpaired ones as they are; integers
// become int, numbers with a fraction or an exponent become float, rounded as
// float() rounds them.
#include "amazon_rufus/services/replay.hpp"

#include "module_frame/fast_paths/percent.hpp"

#include <cstring>
#include <string>

using namespace frame;

namespace replay {
namespace {

bool is_ws(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

/// The class attribute `name` as the class itself defines it (borrowed), or null.
PyObject* own_class_attr(PyObject* type, PyObject* name) {
  Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
  if (!dict) return nullptr;
  return PyDict_GetItemWithError(dict.get(), name);
}

/// Whether attribute `name` of `o` is `expected` (an identity test).
bool attr_is(PyObject* o, const char* name, PyObject* expected) {
  Ref v = Ref::steal(PyObject_GetAttrString(o, name));
  return v && v.get() == expected;
}

/// Decoder over the code units of one string representation.
template <class Ch>
class Decoder {
public:
  Decoder(const Ch* s, Py_ssize_t n) : s_(s), n_(n) {}

  /// The whole text as one JSON value surrounded by white space, or null.
  Ref document() {
    skip_ws();
    Ref v = value();
    if (!v) return v;
    skip_ws();
    if (i_ != n_) return Ref();
    return v;
  }

private:
  const Ch* s_;
  Py_ssize_t n_;
  Py_ssize_t i_ = 0;

  void skip_ws() {
    while (i_ < n_ && is_ws(s_[i_])) ++i_;
  }

  bool literal(const char* word, Py_ssize_t len) {
    if (n_ - i_ < len) return false;
    for (Py_ssize_t j = 0; j < len; ++j)
      if (s_[i_ + j] != static_cast<Ch>(word[j])) return false;
    i_ += len;
    return true;
  }

  Ref value() {
    if (i_ >= n_) return Ref();
    Ch c = s_[i_];
    switch (c) {
    case '"': return string();
    case '{': return object();
    case '[': return array();
    case 'n': return literal("null", 4) ? none() : Ref();
    case 't': return literal("true", 4) ? boolean(true) : Ref();
    case 'f': return literal("false", 5) ? boolean(false) : Ref();
    default:
      if (c == '-' || is_digit(c)) return number();
      return Ref();
    }
  }

  /// Entering a nested container counts against the interpreter's C recursion limit.
  struct Nesting {
    bool ok;
    Nesting() : ok(Py_EnterRecursiveCall(" while decoding a JSON object from a unicode string") == 0) {}
    ~Nesting() {
      if (ok) Py_LeaveRecursiveCall();
    }
  };

  Ref object() {
    Nesting nesting;
    if (!nesting.ok) return Ref();
    ++i_;
    skip_ws();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    if (i_ < n_ && s_[i_] == '}') {
      ++i_;
      return dict;
    }
    for (;;) {
      if (i_ >= n_ || s_[i_] != '"') return Ref();
      Ref key = string();
      if (!key) return key;
      skip_ws();
      if (i_ >= n_ || s_[i_] != ':') return Ref();
      ++i_;
      skip_ws();
      Ref item = value();
      if (!item) return item;
      if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return Ref();
      skip_ws();
      if (i_ >= n_) return Ref();
      if (s_[i_] == ',') {
        ++i_;
        skip_ws();
        continue;
      }
      if (s_[i_] != '}') return Ref();
      ++i_;
      return dict;
    }
  }

  Ref array() {
    Nesting nesting;
    if (!nesting.ok) return Ref();
    ++i_;
    skip_ws();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    if (i_ < n_ && s_[i_] == ']') {
      ++i_;
      return list;
    }
    for (;;) {
      Ref item = value();
      if (!item) return item;
      if (PyList_Append(list.get(), item.get()) < 0) return Ref();
      skip_ws();
      if (i_ >= n_) return Ref();
      if (s_[i_] == ',') {
        ++i_;
        skip_ws();
        continue;
      }
      if (s_[i_] != ']') return Ref();
      ++i_;
      return list;
    }
  }

  /// A str of `len` code units from `p`, all at most `maxc`, in its narrowest form.
  static Ref make_str(const Ch* p, Py_ssize_t len, Py_UCS4 maxc) {
    Ref u = Ref::steal(PyUnicode_New(len, maxc));
    if (!u || len == 0) return u;
    int kind = PyUnicode_KIND(u.get());
    void* data = PyUnicode_DATA(u.get());
    if (static_cast<size_t>(kind) == sizeof(Ch)) {
      std::memcpy(data, p, static_cast<size_t>(len) * sizeof(Ch));
    } else if (kind == PyUnicode_1BYTE_KIND) {
      auto* out = static_cast<Py_UCS1*>(data);
      for (Py_ssize_t j = 0; j < len; ++j) out[j] = static_cast<Py_UCS1>(p[j]);
    } else {
      auto* out = static_cast<Py_UCS2*>(data);
      for (Py_ssize_t j = 0; j < len; ++j) out[j] = static_cast<Py_UCS2>(p[j]);
    }
    return u;
  }

  Ref string() {
    Py_ssize_t start = ++i_;
    Py_UCS4 maxc = 0;
    while (i_ < n_) {
      Ch c = s_[i_];
      if (c == '"') {
        Ref r = make_str(s_ + start, i_ - start, maxc);
        ++i_;
        return r;
      }
      if (c == '\\') return escaped_string(start);
      if (c < 0x20) return Ref();
      if (c > maxc) maxc = c;
      ++i_;
    }
    return Ref();
  }

  /// Four hex digits at the current position, or -1.
  long hex4() {
    if (n_ - i_ < 4) return -1;
    long v = 0;
    for (int j = 0; j < 4; ++j) {
      int d = hex_value(s_[i_ + j]);
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    i_ += 4;
    return v;
  }

  /// The rest of a string that holds an escape; the text before it starts at `start`.
  Ref escaped_string(Py_ssize_t start) {
    std::u32string buf;
    buf.reserve(static_cast<size_t>(i_ - start) + 16);
    for (Py_ssize_t j = start; j < i_; ++j) buf.push_back(s_[j]);
    while (i_ < n_) {
      Ch c = s_[i_];
      if (c == '"') {
        ++i_;
        return Ref::steal(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buf.data(), static_cast<Py_ssize_t>(buf.size())));
      }
      if (c < 0x20) return Ref();
      ++i_;
      if (c != '\\') {
        buf.push_back(c);
        continue;
      }
      if (i_ >= n_) return Ref();
      Ch e = s_[i_++];
      switch (e) {
      case '"': buf.push_back('"'); break;
      case '\\': buf.push_back('\\'); break;
      case '/': buf.push_back('/'); break;
      case 'b': buf.push_back('\b'); break;
      case 'f': buf.push_back('\f'); break;
      case 'n': buf.push_back('\n'); break;
      case 'r': buf.push_back('\r'); break;
      case 't': buf.push_back('\t'); break;
      case 'u': {
        long u = hex4();
        if (u < 0) return Ref();
        if (u >= 0xD800 && u <= 0xDBFF && n_ - i_ >= 6 && s_[i_] == '\\' && s_[i_ + 1] == 'u') {
          // A high surrogate followed by a low one is one character; otherwise
          // the next escape is read on its own.
          Py_ssize_t back = i_;
          i_ += 2;
          long low = hex4();
          if (low < 0) return Ref();
          if (low >= 0xDC00 && low <= 0xDFFF) u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
          else i_ = back;
        }
        buf.push_back(static_cast<char32_t>(u));
        break;
      }
      default: return Ref();
      }
    }
    return Ref();
  }

  Ref number() {
    Py_ssize_t start = i_;
    bool negative = s_[i_] == '-';
    if (negative && ++i_ >= n_) return Ref();
    if (s_[i_] == '0') {
      ++i_;
    } else if (is_digit(s_[i_])) {
      while (i_ < n_ && is_digit(s_[i_])) ++i_;
    } else {
      return Ref();
    }
    bool is_float = false;
    if (i_ < n_ && s_[i_] == '.') {
      if (i_ + 1 >= n_ || !is_digit(s_[i_ + 1])) return Ref();
      i_ += 2;
      while (i_ < n_ && is_digit(s_[i_])) ++i_;
      is_float = true;
    }
    if (i_ < n_ && (s_[i_] == 'e' || s_[i_] == 'E')) {
      Py_ssize_t j = i_ + 1;
      if (j < n_ && (s_[j] == '+' || s_[j] == '-')) ++j;
      if (j >= n_ || !is_digit(s_[j])) return Ref();
      while (j < n_ && is_digit(s_[j])) ++j;
      i_ = j;
      is_float = true;
    }
    Py_ssize_t len = i_ - start;
    if (!is_float && len - negative <= 18) {
      long long v = 0;
      for (Py_ssize_t j = start + negative; j < i_; ++j) v = v * 10 + (s_[j] - '0');
      return Ref::steal(PyLong_FromLongLong(negative ? -v : v));
    }
    std::string text(static_cast<size_t>(len), '\0');
    for (Py_ssize_t j = 0; j < len; ++j) text[static_cast<size_t>(j)] = static_cast<char>(s_[start + j]);
    if (!is_float) return Ref::steal(PyLong_FromString(text.c_str(), nullptr, 10));
    char* end = nullptr;
    double d = PyOS_string_to_double(text.c_str(), &end, nullptr);
    if ((d == -1.0 && PyErr_Occurred()) || end != text.c_str() + len) return Ref();
    return Ref::steal(PyFloat_FromDouble(d));
  }
};

/// Whether `loads`, as looked up now, still decodes with the standard default decoder.
bool still_standard(Borrowed loads) {
  // The guard has checked that the global _default_decoder is still the decoder kept at load.
  if (!state.json.loads.still(loads)) return false;
  PyObject* decoder = state.json.decoder.get();
  if (!state.json.decoder_type.is(reinterpret_cast<PyObject*>(Py_TYPE(decoder)))) return false;
  Ref scanner = Ref::steal(PyObject_GetAttr(decoder, state.json.name_scan_once.get()));
  if (!state.json.scanner.is(scanner)) return false;
  return state.json.decode.is(own_class_attr(state.json.decoder_type.get(), state.json.name_decode.get())) &&
         state.json.raw_decode.is(own_class_attr(state.json.decoder_type.get(), state.json.name_raw_decode.get()));
}

/// Confirms at load that `json.loads` is the library's, with the default C scanner.
bool confirm_standard(Borrowed json_module) {
  if (!state.json.name_default_decoder) {
    state.json.name_default_decoder = intern("_default_decoder");
    state.json.name_scan_once = intern("scan_once");
    state.json.name_decode = intern("decode");
    state.json.name_raw_decode = intern("raw_decode");
  }
  Ref loads = getattr(json_module, intern("loads"));
  if (!state.json.loads.remember(loads, "json", "loads", {"_default_decoder"})) return false;
  PyObject* decoder = PyDict_GetItemWithError(state.json.loads.globals().get(), state.json.name_default_decoder.get());
  if (!decoder) return false;
  Ref scanner = getattr(decoder, state.json.name_scan_once);
  Ref c_json = Ref::steal(PyImport_GetModule(intern("_json").get()));
  if (!c_json) return false;
  Ref make_scanner = getattr(c_json, intern("make_scanner"));
  if (reinterpret_cast<PyObject*>(Py_TYPE(scanner.get())) != make_scanner.get()) return false;
  // The decoder's configuration is the default one.
  if (!attr_is(scanner.get(), "strict", Py_True) || !attr_is(scanner.get(), "object_hook", Py_None) ||
      !attr_is(scanner.get(), "object_pairs_hook", Py_None) ||
      !attr_is(scanner.get(), "parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type)) ||
      !attr_is(scanner.get(), "parse_int", reinterpret_cast<PyObject*>(&PyLong_Type)))
    return false;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(decoder));
  PyObject* decode = own_class_attr(type, state.json.name_decode.get());
  PyObject* raw_decode = decode ? own_class_attr(type, state.json.name_raw_decode.get()) : nullptr;
  if (!decode || !raw_decode) return false;
  state.json.decoder = Ref::borrow(decoder);
  state.json.decoder_type = Ref::borrow(type);
  state.json.scanner = std::move(scanner);
  state.json.decode = Ref::borrow(decode);
  state.json.raw_decode = Ref::borrow(raw_decode);
  return true;
}

} // namespace

void remember_standard_json(Borrowed json_module) noexcept {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  bool ok = false;
  try {
    ok = confirm_standard(json_module);
  } catch (const PyErrOccurred&) {
  }
  // Without a confirmed standard decoder, build_payload always calls json.loads.
  if (!ok) state.json.loads.remember(nullptr, "json", "loads", {});
  PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
}

Ref decode_standard_json(Borrowed loads, Borrowed text) {
  if (!still_standard(loads)) {
    if (PyErr_Occurred()) PyErr_Clear();
    return Ref();
  }
  PyObject* t = text.get();
  Py_ssize_t n = PyUnicode_GET_LENGTH(t);
  Ref result;
  switch (PyUnicode_KIND(t)) {
  case PyUnicode_1BYTE_KIND: result = Decoder<Py_UCS1>(PyUnicode_1BYTE_DATA(t), n).document(); break;
  case PyUnicode_2BYTE_KIND: result = Decoder<Py_UCS2>(PyUnicode_2BYTE_DATA(t), n).document(); break;
  default: result = Decoder<Py_UCS4>(PyUnicode_4BYTE_DATA(t), n).document(); break;
  }
  // Whatever stopped the native reading, json.loads will report or read itself.
  if (!result && PyErr_Occurred()) PyErr_Clear();
  return result;
}

} // namespace replay
