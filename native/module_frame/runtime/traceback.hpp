// Synthetic traceback entries for native code, built from public API only:
// an empty code object, a frame for it, and PyTraceBack_Here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

namespace frame {

/// Appends an entry (function name, file, line) to the traceback of the current exception.
void add_traceback_entry(PyObject* funcname, const char* filename, int line) noexcept;

} // namespace frame
