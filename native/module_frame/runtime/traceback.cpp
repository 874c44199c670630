#include "module_frame/runtime/traceback.hpp"

#include "module_frame/runtime/ref.hpp"

namespace frame {

void add_traceback_entry(PyObject* funcname, const char* filename, int line) noexcept {
  // The entry is added to the exception being raised; keep it aside while
  // building the code and frame objects so their allocation cannot clobber it.
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return;
  Ref code, globals, frame;
  // PyCode_NewEmpty takes C strings; go through UTF-8 of the name object.
  if (const char* name = PyUnicode_AsUTF8(funcname))
    code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, line)));
  if (code) globals = Ref::steal(PyDict_New());
  if (globals)
    frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
  // When building the entry failed, drop that error and keep the original one.
  if (!frame) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

} // namespace frame
