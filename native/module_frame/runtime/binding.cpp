// Argument binding with CPython's own rules and messages: positional
// arguments fill parameters in order, keywords are matched by name (pointer
// first, the names being interned), missing ones take their constant default,
// and annotated built-in types are checked exactly.
#include "module_frame/runtime/function.hpp"

namespace frame {
namespace {

// Messages are built out of line so the binding fast path stays small.
[[gnu::cold, gnu::noinline]] void positional_count_error(const MethodDef& def, Py_ssize_t given,
                                                         bool too_many) noexcept {
  const auto& rt = def.rt;
  bool exact = rt.min_pos == rt.npos;
  Py_ssize_t expected = too_many ? rt.npos : rt.min_pos;
  const char* more_or_less = exact ? "exactly" : (too_many ? "at most" : "at least");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, more_or_less,
               expected, expected == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void type_error(const MethodDef& def, int i, PyObject* value) noexcept {
  const Param& p = def.params[i];
  const char* expected = p.check == Check::Dict ? "dict" : p.check == Check::List ? "list" : "str";
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name, expected,
               Py_TYPE(value)->tp_name);
  bool subclass = (p.check == Check::Dict && PyDict_Check(value)) || (p.check == Check::List && PyList_Check(value)) ||
                  ((p.check == Check::Str || p.check == Check::StrOrNone) && PyUnicode_Check(value));
  if (!subclass) return;
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref r = Ref::steal(PyObject_CallMethod(
      exc.get(), "add_note", "s",
      "Note: this function accepts exactly the built-in type; subclasses of built-in types are rejected."));
  if (!r) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
}

bool type_ok(Check c, PyObject* v) noexcept {
  switch (c) {
  case Check::Any: return true;
  case Check::Str: return PyUnicode_CheckExact(v);
  case Check::StrOrNone: return v == Py_None || PyUnicode_CheckExact(v);
  case Check::Dict: return PyDict_CheckExact(v);
  case Check::List: return PyList_CheckExact(v);
  }
  return false;
}

/// Index of the parameter named `key`, or -1.
int find_keyword(const MethodDef& def, PyObject* key) noexcept {
  const auto& rt = def.rt;
  for (int i = 0; i < def.nparams(); ++i)
    if (rt.names[i] == key) return i;
  for (int i = 0; i < def.nparams(); ++i) {
    int eq = PyUnicode_Compare(rt.names[i], key);
    if (eq == 0) return i;
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return -1;
}

} // namespace

bool bind_arguments(const MethodDef& def, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** out) noexcept {
  const auto& rt = def.rt;
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!kwnames && nargs == rt.npos && def.nkwonly == 0 && !rt.any_checks) {
    // Every parameter given by position, nothing to check: the usual call.
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
  }
  if (nargs > rt.npos) {
    positional_count_error(def, nargs, true);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (int i = static_cast<int>(nargs); i < def.nparams(); ++i) out[i] = nullptr;

  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        return false;
      }
      int i = find_keyword(def, key);
      if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
        return false;
      }
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
        return false;
      }
      out[i] = args[nargs + k];
    }
  }

  for (int i = static_cast<int>(nargs); i < def.nparams(); ++i) {
    if (out[i]) continue;
    if (!rt.defaults[i]) {
      positional_count_error(def, nargs, false);
      return false;
    }
    out[i] = rt.defaults[i];
  }

  if (rt.any_checks) {
    for (int i = 0; i < def.nparams(); ++i) {
      if (!type_ok(def.params[i].check, out[i])) {
        type_error(def, i, out[i]);
        return false;
      }
    }
  }
  return true;
}

} // namespace frame
