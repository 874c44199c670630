#include "module_frame/runtime/module.hpp"

#include "module_frame/runtime/coroutine.hpp"
#include "module_frame/runtime/ops.hpp"
#include "module_frame/runtime/traceback.hpp"

namespace frame {
namespace {

ModuleState& state_of(PyModuleDef* def) { return *reinterpret_cast<ModuleState*>(def); }

/// Copies one attribute of the import spec into the module dict; a missing
/// attribute is skipped, any other error fails.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool skip_none) noexcept {
  Ref v = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!v) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return true;
    }
    return false;
  }
  if (skip_none && v.is_none()) return true;
  return PyDict_SetItemString(dict, to, v.get()) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef* def) noexcept {
  ModuleState& st = state_of(def);
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (st.interpreter_id == -1) {
    st.interpreter_id = id;
  } else if (st.interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (st.module) return Py_NewRef(st.module.get());

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
      !copy_spec_attr(spec, dict, "origin", "__file__", false) ||
      !copy_spec_attr(spec, dict, "parent", "__package__", false) ||
      !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true))
    return nullptr;
  return module.release();
}

/// Warns when the running interpreter is not the one the module was built for.
void check_version(const ModuleState& st) {
  int major = static_cast<int>((Py_Version >> 24) & 0xff);
  int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
  check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                PY_MAJOR_VERSION, PY_MINOR_VERSION, st.full_name, "does not match", major, minor));
}

int exec(PyObject* module) noexcept {
  ModuleState& st = state_of(PyModule_GetDef(module));
  if (st.module) {
    if (st.module.is(module)) return 0;
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 st.short_name);
    return -1;
  }
  bool body_started = false;
  int line = 0;
  try {
    st.module = Ref::borrow(module);
    st.globals = PyModule_GetDict(module);
    {
      Ref builtins = check(PyImport_ImportModule("builtins"));
      check_status(PyDict_SetItemString(st.globals, "__builtins__", builtins.get()));
      if (!st.builtins) st.builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
    }
    check_version(st);
    if (!st.full_name_obj) st.full_name_obj = intern(st.full_name);
    if (st.constants) st.constants();
    ready_function_type();
    if (st.uses_coroutines) ready_coroutine_types();
    {
      Ref modules = check(PyImport_GetModuleDict() ? Py_NewRef(PyImport_GetModuleDict()) : nullptr);
      int has = check_status(PyDict_Contains(modules.get(), st.full_name_obj.get()));
      if (!has) check_status(PyDict_SetItem(modules.get(), st.full_name_obj.get(), module));
    }
    if (st.late_constants) st.late_constants();
    body_started = true;
    st.body(st);
    return 0;
  } catch (const PyErrOccurred& e) {
    line = e.line;
  } catch (...) {
    translate_current_exception();
  }
  if (body_started) {
    if (Ref name = Ref::steal(PyUnicode_FromFormat("init %s", st.full_name)))
      add_traceback_entry(name.get(), st.source_path, line);
  }
  st.module.reset();
  st.globals = nullptr;
  if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", st.full_name);
  return -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

} // namespace

PyModuleDef make_def(const char* short_name, const char* doc) noexcept {
  PyModuleDef def = {PyModuleDef_HEAD_INIT};
  def.m_name = short_name;
  def.m_doc = doc;
  def.m_size = 0;
  def.m_methods = nullptr;
  def.m_slots = kSlots;
  return def;
}

PyObject* init_module(ModuleState& state) noexcept { return PyModuleDef_Init(&state.def); }

Ref ModuleState::global(Borrowed name, Where w) const {
  PyObject* v = PyDict_GetItemWithError(globals, name.get());
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error(w);
  v = PyDict_GetItemWithError(builtins.get(), name.get());
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error(w);
  raise_at(w, PyExc_NameError, "name '%U' is not defined", name.get());
}

void ModuleState::set_global(Borrowed name, Borrowed value, Where w) const {
  check_status(PyDict_SetItem(globals, name.get(), value.get()), w);
}

Ref ModuleState::import(const char* dotted, Where w) const {
  Ref name = check(PyUnicode_FromString(dotted), w);
  return check(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, nullptr, 0), w);
}

Ref ModuleState::import_module_for_from(const char* dotted, std::initializer_list<PyObject*> names, Where w) const {
  Ref name = check(PyUnicode_FromString(dotted), w);
  Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())), w);
  Py_ssize_t i = 0;
  for (PyObject* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
  return check(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist.get(), 0), w);
}

namespace {

/// `name` of the imported module `mod` (named `module_name`): its attribute,
/// else sys.modules["<module_name>.<name>"], else ImportError.
Ref name_from(Borrowed mod, Borrowed module_name, Borrowed name, Where w) {
  if (Ref v = Ref::steal(PyObject_GetAttr(mod.get(), name.get()))) return v;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error(w);
  PyErr_Clear();
  Ref full = check(PyUnicode_FromFormat("%U.%U", module_name.get(), name.get()), w);
  if (PyObject* v = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get())) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error(w);
  raise_at(w, PyExc_ImportError, "cannot import name %S", name.get());
}

} // namespace

Ref ModuleState::from_module(Borrowed mod, const char* dotted, Borrowed name, Where w) {
  return name_from(mod, check(PyUnicode_FromString(dotted), w), name, w);
}

Ref ModuleState::import_from(Borrowed module_name, Borrowed fromlist, Borrowed name, Where w) const {
  Ref mod = check(PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist.get(), 0), w);
  return name_from(mod, module_name, name, w);
}

Ref ModuleState::import_from(const char* dotted, Borrowed name, Where w) const {
  Ref mod = import_module_for_from(dotted, {name.get()}, w);
  return from_module(mod, dotted, name, w);
}

Ref ModuleState::class_namespace(const char* name, const char* doc, Where w) const {
  Ref ns = new_dict(w);
  check_status(PyDict_SetItemString(ns.get(), "__module__", full_name_obj.get()), w);
  Ref qual = intern(name);
  check_status(PyDict_SetItemString(ns.get(), "__qualname__", qual.get()), w);
  Ref d = doc ? check(PyUnicode_FromString(doc), w) : none();
  check_status(PyDict_SetItemString(ns.get(), "__doc__", d.get()), w);
  return ns;
}

void ModuleState::add_method(Borrowed ns, MethodDef& def, Where w) const {
  ready(def);
  Ref fn = make_function(def);
  check_status(PyDict_SetItem(ns.get(), def.rt.name, fn.get()), w);
}

Ref ModuleState::make_class(const char* name, Borrowed ns, Where w) const {
  Ref n = intern(name);
  Ref bases = check(PyTuple_New(0), w);
  Ref cls = call(Callee(reinterpret_cast<PyObject*>(&PyType_Type), w), n, bases, ns);
  set_global(n, cls, w);
  return cls;
}

} // namespace frame
