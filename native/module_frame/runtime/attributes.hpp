// What the frame's object types (function and coroutine objects) share at
// the type-slot level: getters and setters of their Python-visible
// attributes, and the header of their statically allocated type objects.
#pragma once

#include "module_frame/runtime/ref.hpp"

namespace frame {

/// A getter's result: a new reference to `o`, or None for an empty slot.
inline PyObject* or_none(PyObject* o) noexcept { return Py_NewRef(o ? o : Py_None); }

/// `o` itself, or None for an empty slot (both borrowed).
inline PyObject* or_borrowed_none(PyObject* o) noexcept { return o ? o : Py_None; }

/// A setter that takes a str (or subclass) only; deleting or another type
/// raises TypeError with `message`.
inline int set_str(PyObject** slot, PyObject* value, const char* message) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

/// A setter that takes any object; deleting stores None.
inline int set_any(PyObject** slot, PyObject* value) noexcept {
  Py_XSETREF(*slot, Py_NewRef(value ? value : Py_None));
  return 0;
}

/// Getters and setters of an object field `Field` of the object struct `T`,
/// for the PyGetSetDef tables of the frame's types.
template <class T, PyObject* T::*Field>
PyObject* get_field(PyObject* self, void*) noexcept {
  return or_none(reinterpret_cast<T*>(self)->*Field);
}
template <class T, PyObject* T::*Field>
int set_name_field(PyObject* self, PyObject* value, void*) noexcept {
  return set_str(&(reinterpret_cast<T*>(self)->*Field), value, "__name__ must be set to a string object");
}
template <class T, PyObject* T::*Field>
int set_qualname_field(PyObject* self, PyObject* value, void*) noexcept {
  return set_str(&(reinterpret_cast<T*>(self)->*Field), value, "__qualname__ must be set to a string object");
}
template <class T, PyObject* T::*Field>
int set_any_field(PyObject* self, PyObject* value, void*) noexcept {
  return set_any(&(reinterpret_cast<T*>(self)->*Field), value);
}

/// Gives a static type object the header of an object nobody ever frees.
inline void init_static_type_header(PyTypeObject& t) noexcept {
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
  Py_SET_TYPE(reinterpret_cast<PyObject*>(&t), &PyType_Type);
}

} // namespace frame
