// The one C++ exception type of the frame: "a Python error is set".
// Bodies throw it after a failed C-API call; the frame's boundary catches it,
// adds the traceback entry and returns NULL (or -1) to CPython.
#pragma once

#include "module_frame/runtime/ref.hpp"

#include <cassert>
#include <source_location>

namespace frame {

struct PyErrOccurred {
  /// Thrown only while a Python error is set; debug builds check that it is.
  explicit PyErrOccurred(int where_line = 0) noexcept : line(where_line) {
    assert(PyErr_Occurred() && "PyErrOccurred thrown with no Python error set");
  }
  /// Source line of the statement that failed, 0 when unknown.
  int line;
};

using Where = std::source_location;

[[noreturn]] void throw_error(Where where = Where::current());

/// Sets a Python exception of `type` with a printf-style message and throws.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);
[[noreturn]] void raise_at(Where where, PyObject* type, const char* fmt, ...);

/// A new reference from the C API, or a throw when it is NULL.
inline Ref check(PyObject* p, Where where = Where::current()) {
  if (!p) throw_error(where);
  return Ref::steal(p);
}

/// An int status from the C API (-1 means failure).
inline int check_status(int r, Where where = Where::current()) {
  if (r < 0) throw_error(where);
  return r;
}

/// The exception currently being raised, taken out of the thread state.
class SavedError {
public:
  SavedError() = default;
  static SavedError fetch() {
    SavedError e;
    e.exc_ = Ref::steal(PyErr_GetRaisedException());
    return e;
  }
  explicit operator bool() const noexcept { return bool(exc_); }
  Borrowed value() const noexcept { return exc_; }
  bool matches(PyObject* type) const noexcept { return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type); }
  /// Puts the exception back as the current one.
  void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }
  /// Puts it back and throws: re-raise with the traceback kept.
  [[noreturn]] void rethrow(Where where = Where::current()) {
    restore();
    throw_error(where);
  }

private:
  Ref exc_;
};

/// Turns any C++ exception escaping a body into a set Python error.
/// Call only inside a catch block.
void translate_current_exception() noexcept;

/// The boundary of a function CPython calls: runs `body` and returns its
/// result, or sets the Python error for whatever it throws and returns `failed`.
template <class R, class F>
R guarded(R failed, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return failed;
  }
}

} // namespace frame
