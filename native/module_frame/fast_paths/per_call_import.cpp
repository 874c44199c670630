#include "module_frame/fast_paths/per_call_import.hpp"

#include "module_frame/runtime/ops.hpp"

namespace frame {

Ref PerCallImport::get(const ModuleState& st, Where w) {
  if (kept_.holds()) return Ref::borrow(value_);
  Ref value = st.import_from(module_name_, fromlist_, name_, w);
  keep(PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name_), value);
  return value;
}

void PerCallImport::keep(Borrowed module, Borrowed value) {
  kept_.drop();
  if (!module || Py_TYPE(module.get()) != &PyModule_Type) {
    PyErr_Clear();
    return;
  }
  PyObject* dict = PyModule_GetDict(module.get());
  // The import of a package runs importlib's fromlist handling; a name found
  // elsewhere than in the dict came from a module __getattr__.
  static PyObject* const path = interned("__path__");
  if (PyDict_GetItemWithError(dict, path) || !value.is(PyDict_GetItemWithError(dict, name_))) {
    PyErr_Clear();
    return;
  }
  value_ = Ref::borrow(value);
  kept_.keep({PyImport_GetModuleDict(), dict});
}

} // namespace frame
