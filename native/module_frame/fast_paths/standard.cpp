#include "module_frame/fast_paths/standard.hpp"

#include "module_frame/runtime/ops.hpp"

namespace frame {

void StandardFunction::forget() noexcept {
  function_.reset();
  code_.reset();
  defaults_.reset();
  kwdefaults_.reset();
  globals_.reset();
  for (int i = 0; i < nhelpers_; ++i) {
    helper_names_[i].reset();
    helpers_[i].reset();
  }
  nhelpers_ = 0;
  helpers_seen_.drop();
}

bool StandardFunction::record(Borrowed fn, const char* module_name, const char* name,
                              std::initializer_list<const char*> helpers) {
  if (!fn || !PyFunction_Check(fn.get()) || helpers.size() > kMaxHelpers) return false;
  PyObject* g = PyFunction_GetGlobals(fn.get());
  PyObject* defined_in = PyDict_GetItemString(g, "__name__");
  if (!defined_in || !PyUnicode_Check(defined_in) || PyUnicode_CompareWithASCIIString(defined_in, module_name) != 0)
    return false;
  if (PyDict_GetItemString(g, name) != fn.get()) return false;
  for (const char* h : helpers) {
    Ref helper_name = intern(h);
    PyObject* v = PyDict_GetItemWithError(g, helper_name.get());
    if (!v) return false;
    helper_names_[nhelpers_] = std::move(helper_name);
    helpers_[nhelpers_++] = Ref::borrow(v);
  }
  function_ = Ref::borrow(fn);
  code_ = Ref::borrow(PyFunction_GetCode(fn.get()));
  defaults_ = Ref::borrow(PyFunction_GetDefaults(fn.get()));
  kwdefaults_ = Ref::borrow(PyFunction_GetKwDefaults(fn.get()));
  globals_ = Ref::borrow(g);
  return true;
}

bool StandardFunction::remember(Borrowed fn, const char* module_name, const char* name,
                                std::initializer_list<const char*> helpers) noexcept {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  forget();
  bool ok = false;
  try {
    ok = record(fn, module_name, name, helpers);
  } catch (const PyErrOccurred&) {
  }
  if (!ok) forget();
  PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
  return ok;
}

bool StandardFunction::same_function(Borrowed fn) const noexcept {
  PyObject* f = fn.get();
  return function_ && function_.is(f) && code_.is(PyFunction_GetCode(f)) && defaults_.is(PyFunction_GetDefaults(f)) &&
         kwdefaults_.is(PyFunction_GetKwDefaults(f));
}

bool StandardFunction::same_helpers() noexcept {
  if (helpers_seen_.holds()) return true;
  for (int i = 0; i < nhelpers_; ++i) {
    PyObject* v = PyDict_GetItemWithError(globals_.get(), helper_names_[i].get());
    if (!helpers_[i].is(v)) {
      PyErr_Clear();
      return false;
    }
  }
  // Nothing ran since the reads above: the helpers hold until the globals change.
  helpers_seen_.keep({globals_});
  return true;
}

} // namespace frame
