// Module definition and load sequence shared by the extension modules:
// multi-phase init with create and exec slots, the interpreter and
// re-initialisation guards, the version check, sys.modules registration,
// module globals looked up at each use, imports and class construction.
#pragma once

#include "module_frame/runtime/function.hpp"

#include <initializer_list>

namespace frame {

struct ModuleState {
  PyModuleDef def;            // must stay the first member: the slots get a pointer to it
  const char* short_name;     // "guardlet"
  const char* full_name;      // "strovik.mcp.guardlet"
  const char* source_path;    // file name used in code objects and traceback entries
  void (*constants)();        // interned names, strings, bytes, small ints
  void (*late_constants)();   // tuples, slices and the rest, after sys.modules registration
  void (*body)(ModuleState&); // the module body: imports, globals, classes
  bool uses_coroutines = false;

  // Process-wide state: one copy per loaded extension file.
  int64_t interpreter_id = -1;
  Kept module;
  PyObject* globals = nullptr; // the module's dict, borrowed from `module`
  Kept full_name_obj;
  Kept builtins; // the builtins module's dict

  /// A module global, looked up at each use: module dict, then builtins, else NameError.
  Ref global(Borrowed name, Where w = Where::current()) const;
  void set_global(Borrowed name, Borrowed value, Where w = Where::current()) const;

  /// `import a.b.c` (absolute); returns what the statement binds (the top package).
  Ref import(const char* dotted, Where w = Where::current()) const;
  /// `from a.b import name`: attribute of the imported module, else sys.modules["a.b.name"],
  /// else ImportError "cannot import name %S".
  Ref import_from(const char* dotted, Borrowed name, Where w = Where::current()) const;
  /// The imported module itself (`from a.b import x` imports `a.b` with a fromlist).
  Ref import_module_for_from(const char* dotted, std::initializer_list<PyObject*> names,
                             Where w = Where::current()) const;
  /// The same with the module name and the fromlist tuple made once, for imports run per call.
  Ref import_from(Borrowed module_name, Borrowed fromlist, Borrowed name, Where w = Where::current()) const;
  static Ref from_module(Borrowed mod, const char* dotted, Borrowed name, Where w = Where::current());

  /// A new class namespace with __module__, __qualname__ and __doc__ filled in.
  Ref class_namespace(const char* name, const char* doc, Where w = Where::current()) const;
  /// Readies `def` and stores its function object in the namespace under its name.
  void add_method(Borrowed ns, MethodDef& def, Where w = Where::current()) const;
  /// `type(name, (), ns)`, bound as a module global under `name`.
  Ref make_class(const char* name, Borrowed ns, Where w = Where::current()) const;
};

/// Module init: returns the definition for multi-phase initialisation.
PyObject* init_module(ModuleState& state) noexcept;

/// Fills the definition's fields and slots; call from a static initialiser.
PyModuleDef make_def(const char* short_name, const char* doc) noexcept;

} // namespace frame
