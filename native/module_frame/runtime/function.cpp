// The function type of the frame: Python-visible attributes (CPython's
// function attributes plus `_is_coroutine`), descriptor binding, pickling by
// reference, and the vectorcall entry that binds arguments and runs the body.
#include "module_frame/runtime/function.hpp"

#include "module_frame/runtime/attributes.hpp"
#include "module_frame/runtime/coroutine.hpp"
#include "module_frame/runtime/module.hpp"
#include "module_frame/runtime/object_cache.hpp"
#include "module_frame/runtime/ops.hpp"
#include "module_frame/runtime/traceback.hpp"

#include <cstddef>

namespace frame {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  MethodDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module;
  PyObject* dict;
  PyObject* closure;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* is_coroutine; // cached `_is_coroutine`
  PyObject* weakrefs;
};

// The frame's method type and its spare objects: one per extension file.
PyTypeObject function_type;
ObjectCache<FunctionObject, &function_type, 8> function_cache;

FunctionObject* as_fn(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

// ---- calling ---------------------------------------------------------------

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  FunctionObject* fn = as_fn(self);
  const MethodDef& def = *fn->def;
  PyObject* bound[kMaxParams];
  if (!bind_arguments(def, args, nargsf, kwnames, bound)) {
    add_traceback_entry_named(def.rt.dotted, def, def.first_line);
    return nullptr;
  }
  Call call{def, Args{bound}, fn->closure};
  if (def.is_coroutine()) return new_coroutine(call);
  int line = def.first_line;
  try {
    return def.plain(call).release();
  } catch (const PyErrOccurred& e) {
    if (e.line) line = e.line;
    translate_current_exception();
  } catch (...) {
    translate_current_exception();
  }
  add_traceback(def, line);
  return nullptr;
}

// ---- attributes ------------------------------------------------------------

PyObject* get_globals(PyObject* self, void*) noexcept { return or_none(as_fn(self)->def->module->globals); }
PyObject* get_code(PyObject* self, void*) noexcept { return or_none(as_fn(self)->def->rt.code); }

Ref annotations_dict(const MethodDef& def);

// Built on first access: most function objects (one per request for closures) never need it.
PyObject* get_annotations(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] {
    FunctionObject* fn = as_fn(self);
    if (!fn->annotations) fn->annotations = annotations_dict(*fn->def).release();
    return Py_NewRef(fn->annotations);
  });
}

/// The stored defaults are for introspection only: calls always use the
/// constants declared with the method, so say so when they are changed.
int warn_defaults_unused(const char* what) noexcept {
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "changes to %s do not affect the values used in calls of this native function", what);
}

int set_defaults(PyObject* self, PyObject* v, void*) noexcept {
  if (v == Py_None) v = nullptr;
  if (v && !PyTuple_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  if (warn_defaults_unused("__defaults__") < 0) return -1;
  Py_XSETREF(as_fn(self)->defaults, Py_XNewRef(v));
  return 0;
}

int set_kwdefaults(PyObject* self, PyObject* v, void*) noexcept {
  if (v == Py_None) v = nullptr;
  if (v && !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  if (warn_defaults_unused("__kwdefaults__") < 0) return -1;
  Py_XSETREF(as_fn(self)->kwdefaults, Py_XNewRef(v));
  return 0;
}

int set_annotations(PyObject* self, PyObject* v, void*) noexcept {
  if (!v || !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_fn(self)->annotations, Py_NewRef(v));
  return 0;
}

/// asyncio.iscoroutinefunction() compares `_is_coroutine` with asyncio's marker.
Ref coroutine_marker() noexcept {
  Ref mod = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
  Ref marker = mod ? Ref::steal(PyObject_GetAttrString(mod.get(), "_is_coroutine")) : Ref();
  if (marker) return marker;
  PyErr_Clear();
  return boolean(true);
}

PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
  FunctionObject* fn = as_fn(self);
  if (!fn->is_coroutine) fn->is_coroutine = (fn->def->is_coroutine() ? coroutine_marker() : boolean(false)).release();
  return Py_NewRef(fn->is_coroutine);
}

using F = FunctionObject;

PyGetSetDef kGetSet[] = {
    {"__name__", get_field<F, &F::name>, set_name_field<F, &F::name>, nullptr, nullptr},
    {"__qualname__", get_field<F, &F::qualname>, set_qualname_field<F, &F::qualname>, nullptr, nullptr},
    {"__doc__", get_field<F, &F::doc>, set_any_field<F, &F::doc>, nullptr, nullptr},
    {"__module__", get_field<F, &F::module>, set_any_field<F, &F::module>, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_field<F, &F::closure>, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<F, &F::defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_field<F, &F::kwdefaults>, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr},
};

// Pickled by reference: the qualified name is found again on import.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return or_none(as_fn(self)->qualname); }

PyMethodDef kMethods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

// ---- lifecycle -------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* fn = as_fn(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->name);
  Py_VISIT(fn->qualname);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->module);
  Py_VISIT(fn->dict);
  Py_VISIT(fn->closure);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->kwdefaults);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->is_coroutine);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  FunctionObject* fn = as_fn(self);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->dict);
  Py_CLEAR(fn->closure);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->kwdefaults);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->is_coroutine);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  function_cache.give(as_fn(self));
}

PyObject* function_repr(PyObject* self) noexcept {
  FunctionObject* fn = as_fn(self);
  return PyUnicode_FromFormat("<native function %S at %p>", fn->qualname ? fn->qualname : Py_None, self);
}

// Looked up through an instance the function binds as a method; through the class it is itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

Ref annotations_dict(const MethodDef& def) {
  Ref d = new_dict();
  for (int i = 0; i < def.nparams(); ++i) {
    const Param& p = def.params[i];
    if (!p.annotation) continue;
    Ref text = check(PyUnicode_FromString(p.annotation));
    dict_set(d, def.rt.names[i], text);
  }
  if (def.return_annotation) {
    Ref text = check(PyUnicode_FromString(def.return_annotation));
    check_status(PyDict_SetItemString(d.get(), "return", text.get()));
  }
  return d;
}

Ref defaults_tuple(const MethodDef& def) {
  int n = 0;
  for (int i = 0; i < def.rt.npos; ++i) n += def.rt.defaults[i] != nullptr;
  if (n == 0) return Ref();
  Ref t = check(PyTuple_New(n));
  int k = 0;
  for (int i = 0; i < def.rt.npos; ++i)
    if (def.rt.defaults[i]) PyTuple_SET_ITEM(t.get(), k++, Py_NewRef(def.rt.defaults[i]));
  return t;
}

Ref kwdefaults_dict(const MethodDef& def) {
  if (def.nkwonly == 0) return Ref();
  Ref d = new_dict();
  for (int i = def.rt.npos; i < def.nparams(); ++i)
    if (def.rt.defaults[i]) dict_set(d, def.rt.names[i], def.rt.defaults[i]);
  return d;
}

Ref make_code(const MethodDef& def) {
  const int nparams = def.nparams();
  const int nvars = nparams + static_cast<int>(def.locals.size());
  Ref varnames = check(PyTuple_New(nvars));
  for (int i = 0; i < nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(def.rt.names[i]));
  for (size_t i = 0; i < def.locals.size(); ++i)
    PyTuple_SET_ITEM(varnames.get(), nparams + static_cast<Py_ssize_t>(i), intern(def.locals[i]).release());
  Ref empty_bytes = check(PyBytes_FromStringAndSize(nullptr, 0));
  Ref empty_tuple = check(PyTuple_New(0));
  Ref filename = check(PyUnicode_FromString(def.module->source_path));
  int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  if (def.is_coroutine()) flags |= CO_COROUTINE;
  // Code objects describe the signature for introspection; they hold no bytecode.
  return check(reinterpret_cast<PyObject*>(
      PyUnstable_Code_New(def.rt.npos, def.nkwonly, nvars, 0, flags, empty_bytes.get(), empty_tuple.get(),
                          empty_tuple.get(), varnames.get(), empty_tuple.get(), empty_tuple.get(), filename.get(),
                          def.rt.name, def.rt.qualname, def.first_line, empty_bytes.get(), empty_bytes.get())));
}

} // namespace

void ready(MethodDef& def) {
  auto& rt = def.rt;
  if (rt.name) return;
  if (def.nparams() > kMaxParams) raise(PyExc_SystemError, "%s: more than %d parameters", def.qualname, kMaxParams);
  rt.npos = def.nparams() - def.nkwonly;
  rt.min_pos = rt.npos;
  for (int i = 0; i < def.nparams(); ++i) {
    const Param& p = def.params[i];
    rt.names[i] = interned(p.name);
    if (p.check != Check::Any) rt.any_checks = true;
    if (p.dflt == Default::None) rt.defaults[i] = Py_None;
    else if (p.dflt == Default::Str) rt.defaults[i] = interned(p.dflt_str);
    if (p.dflt != Default::Required && i < rt.npos && i < rt.min_pos) rt.min_pos = i;
  }
  rt.name = interned(def.name);
  rt.qualname = interned(def.qualname);
  rt.dotted = constant(check(PyUnicode_FromFormat("%s.%s", def.module->full_name, def.qualname)));
  rt.code = constant(make_code(def));
  rt.doc = def.doc ? constant(check(PyUnicode_FromString(def.doc))) : Py_None;
  rt.defaults_tuple = defaults_tuple(def).release();
}

Ref make_function(MethodDef& def, Borrowed closure) {
  ready(def);
  FunctionObject* fn = function_cache.take();
  if (!fn) throw_error();
  fn->vectorcall = function_vectorcall;
  fn->def = &def;
  fn->name = Py_NewRef(def.rt.name);
  fn->qualname = Py_NewRef(def.rt.qualname);
  fn->doc = Py_NewRef(def.rt.doc);
  fn->module = Py_NewRef(def.module->full_name_obj.get());
  fn->dict = nullptr;
  fn->closure = Py_XNewRef(closure.get());
  fn->defaults = nullptr;
  fn->kwdefaults = nullptr;
  fn->annotations = nullptr;
  fn->is_coroutine = nullptr;
  fn->weakrefs = nullptr;
  Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));
  PyObject_GC_Track(result.get());
  fn->defaults = Py_XNewRef(def.rt.defaults_tuple);
  fn->kwdefaults = kwdefaults_dict(def).release();
  return result;
}

void ready_function_type() {
  PyTypeObject& t = function_type;
  if (t.tp_flags & Py_TPFLAGS_READY) return;
  init_static_type_header(t);
  t.tp_name = "strovik.native_function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_IMMUTABLETYPE;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_call = PyVectorcall_Call;
  t.tp_dealloc = function_dealloc;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_repr = function_repr;
  t.tp_descr_get = function_descr_get;
  t.tp_getset = kGetSet;
  t.tp_methods = kMethods;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  check_status(PyType_Ready(&t));
}

bool is_function(Borrowed o) noexcept { return Py_TYPE(o.get()) == &function_type; }

Borrowed function_closure(Borrowed fn) noexcept { return as_fn(fn.get())->closure; }

bool function_as_made(Borrowed o) noexcept {
  const FunctionObject* fn = as_fn(o.get());
  const MethodDef& def = *fn->def;
  return fn->name == def.rt.name && fn->qualname == def.rt.qualname && fn->doc == def.rt.doc &&
         fn->module == def.module->full_name_obj.get() && fn->defaults == def.rt.defaults_tuple && !fn->dict &&
         !fn->kwdefaults && !fn->annotations && !fn->weakrefs;
}

void add_traceback_entry_named(PyObject* name, const MethodDef& def, int line) noexcept {
  add_traceback_entry(name, def.module->source_path, line);
}

void add_traceback(const MethodDef& def, int line) noexcept { add_traceback_entry_named(def.rt.name, def, line); }

} // namespace frame
