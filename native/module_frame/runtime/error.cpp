#include "module_frame/runtime/error.hpp"

#include <cstdarg>
#include <exception>
#include <new>
#include <stdexcept>

namespace frame {

void throw_error(Where where) { throw PyErrOccurred{static_cast<int>(where.line())}; }

void raise(PyObject* type, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  PyErr_FormatV(type, fmt, va);
  va_end(va);
  throw PyErrOccurred{};
}

void raise_at(Where where, PyObject* type, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  PyErr_FormatV(type, fmt, va);
  va_end(va);
  throw PyErrOccurred{static_cast<int>(where.line())};
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrOccurred&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

} // namespace frame
