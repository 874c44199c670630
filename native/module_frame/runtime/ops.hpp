// Thin, throwing wrappers over the C-API calls that method bodies use most.
// Each records the caller's source line so a failure is reported at the
// statement that made it.
#pragma once

#include "module_frame/runtime/error.hpp"

#include <cstring>

namespace frame {

inline Ref getattr(Borrowed o, Borrowed name, Where w = Where::current()) {
  return check(PyObject_GetAttr(o.get(), name.get()), w);
}

inline void setattr(Borrowed o, Borrowed name, Borrowed v, Where w = Where::current()) {
  check_status(PyObject_SetAttr(o.get(), name.get(), v.get()), w);
}

inline PyObject* ptr(PyObject* o) noexcept { return o; }
inline PyObject* ptr(Borrowed o) noexcept { return o.get(); }
inline PyObject* ptr(const Ref& o) noexcept { return o.get(); }

/// The callee of a call, remembering where the call is made.
struct Callee {
  template <class T>
  Callee(const T& f, Where w = Where::current()) noexcept : fn(ptr(f)), where(w) {}
  PyObject* fn;
  Where where;
};

/// f(*args) through vectorcall.
template <class... A>
Ref call(Callee f, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {nullptr, ptr(args)...};
  return check(PyObject_Vectorcall(f.fn, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr), f.where);
}

/// f(*positional, **dict(zip(kwnames, kwvalues))): the last len(kwnames) values are keywords.
template <class... A>
Ref call_kw(Callee f, Borrowed kwnames, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {nullptr, ptr(args)...};
  size_t nkw = static_cast<size_t>(PyTuple_GET_SIZE(kwnames.get()));
  return check(
      PyObject_Vectorcall(f.fn, stack + 1, (sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()),
      f.where);
}

/// o.name(*args), without creating a bound-method object.
template <class... A>
Ref call_method(Callee o, PyObject* name, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {o.fn, ptr(args)...};
  return check(PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
               o.where);
}

/// o.name(*positional, **dict(zip(kwnames, kwvalues))), without a bound-method object;
/// the last len(kwnames) arguments are the keywords' values.
template <class... A>
Ref call_method_kw(Callee o, PyObject* name, Borrowed kwnames, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {o.fn, ptr(args)...};
  size_t nkw = static_cast<size_t>(PyTuple_GET_SIZE(kwnames.get()));
  return check(
      PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()),
      o.where);
}

inline bool truthy(Borrowed o, Where w = Where::current()) { return check_status(PyObject_IsTrue(o.get()), w); }

/// a == b. Two exact str are compared here: equal strings have the same length
/// and, being stored in their narrowest form, the same kind and code units.
inline bool equal(Borrowed a, Borrowed b, Where w = Where::current()) {
  PyObject *x = a.get(), *y = b.get();
  if (x == y) return true;
  if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(x);
    return n == PyUnicode_GET_LENGTH(y) && PyUnicode_KIND(x) == PyUnicode_KIND(y) &&
           std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<size_t>(n) * PyUnicode_KIND(x)) == 0;
  }
  return check_status(PyObject_RichCompareBool(x, y, Py_EQ), w);
}

inline Ref getitem(Borrowed o, Borrowed key, Where w = Where::current()) {
  return check(PyObject_GetItem(o.get(), key.get()), w);
}

/// o[key]; an exact dict is read directly, with the same result and KeyError.
inline Ref item_of(Borrowed o, Borrowed key, Where w = Where::current()) {
  if (PyDict_CheckExact(o.get())) {
    if (PyObject* v = PyDict_GetItemWithError(o.get(), key.get())) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
    throw_error(w);
  }
  return getitem(o, key, w);
}

/// o[key] = v; an exact dict is written directly.
inline void setitem(Borrowed o, Borrowed key, Borrowed v, Where w = Where::current()) {
  if (PyDict_CheckExact(o.get())) check_status(PyDict_SetItem(o.get(), key.get(), v.get()), w);
  else check_status(PyObject_SetItem(o.get(), key.get(), v.get()), w);
}

inline Ref new_dict(Where w = Where::current()) { return check(PyDict_New(), w); }
inline Ref new_list(Py_ssize_t n = 0, Where w = Where::current()) { return check(PyList_New(n), w); }

inline void dict_set(Borrowed d, Borrowed key, Borrowed v, Where w = Where::current()) {
  check_status(PyDict_SetItem(d.get(), key.get(), v.get()), w);
}

inline void list_append(Borrowed l, Borrowed v, Where w = Where::current()) {
  check_status(PyList_Append(l.get(), v.get()), w);
}

/// `o.get(key)` or `o.get(key, dflt)` called as a method (any mapping but an exact dict).
Ref call_get(Borrowed o, Borrowed key, Borrowed dflt, Where w);

/// `o.get(key)`, or `o.get(key, dflt)` when `dflt` is given; an exact dict is
/// read directly, with the same result.
inline Ref mapping_get(Borrowed o, Borrowed key, Borrowed dflt = nullptr, Where w = Where::current()) {
  if (!PyDict_CheckExact(o.get())) return call_get(o, key, dflt, w);
  if (PyObject* v = PyDict_GetItemWithError(o.get(), key.get())) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error(w);
  return Ref::borrow(dflt ? dflt : Borrowed(Py_None));
}

inline Ref str_of(Borrowed o, Where w = Where::current()) { return check(PyObject_Str(o.get()), w); }

inline Ref intern(const char* s) {
  PyObject* p = PyUnicode_InternFromString(s);
  if (!p) throw_error();
  return Ref::steal(p);
}

/// Module constants live as long as the process: they are created once at load
/// and deliberately never released.
inline PyObject* constant(Ref r) { return r.release(); }
inline PyObject* interned(const char* s) { return constant(intern(s)); }

} // namespace frame
