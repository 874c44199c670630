#include "module_frame/ops.hpp"

namespace frame {

Ref mapping_get(Borrowed o, Borrowed key, Borrowed dflt, Where w) {
  if (PyDict_CheckExact(o.get())) {
    PyObject* v = PyDict_GetItemWithError(o.get(), key.get());
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error(w);
    return Ref::borrow(dflt ? dflt : Borrowed(Py_None));
  }
  static PyObject* const get = interned("get");
  if (dflt) return call_method(Callee(o, w), get, key, dflt);
  return call_method(Callee(o, w), get, key);
}

} // namespace frame
