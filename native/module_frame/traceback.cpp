#include "module_frame/traceback.hpp"

namespace frame {

void add_traceback_entry(PyObject* funcname, const char* filename, int line) noexcept {
  // The entry is added to the exception being raised; keep it aside while
  // building the code and frame objects so their allocation cannot clobber it.
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  PyObject* file = PyUnicode_FromString(filename);
  PyObject* code = nullptr;
  PyFrameObject* frame = nullptr;
  if (file) {
    // PyCode_NewEmpty takes C strings; go through UTF-8 of the name object.
    const char* name = PyUnicode_AsUTF8(funcname);
    if (name) code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, line));
  }
  PyObject* globals = code ? PyDict_New() : nullptr;
  if (globals) frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
  if (!frame) {
    // Building the entry failed: drop that error and keep the original one.
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
  Py_XDECREF(file);
}

} // namespace frame
