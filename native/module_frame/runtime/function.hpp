// Method objects: a Python function type whose instances are declared once, as
// data (`MethodDef`), and run a C++ body. The frame does argument binding,
// exact-type checks, attributes, descriptor binding and error reporting for all.
#pragma once

#include "module_frame/runtime/error.hpp"

#include <cstdint>
#include <span>

namespace frame {

struct ModuleState;
struct MethodDef;
class Task;

/// Exact-type check applied to an argument before the body runs.
enum class Check : uint8_t { Any, Str, StrOrNone, Dict, List };

/// Default value of a parameter; defaults are constants fixed at declaration.
enum class Default : uint8_t { Required, None, Str };

struct Param {
  const char* name;
  const char* annotation = nullptr; // stored as text in __annotations__; nullptr: none
  Check check = Check::Any;
  Default dflt = Default::Required;
  const char* dflt_str = nullptr;
};

/// Borrowed views of the bound arguments, in parameter order (self first).
struct Args {
  PyObject* const* v;
  Borrowed operator[](int i) const noexcept { return v[i]; }
};

/// What a body can see of its call: the arguments and the function's closure.
struct Call {
  const MethodDef& def;
  Args args;
  Borrowed closure; // the __closure__ tuple of cells, or nullptr
};

using PlainBody = Ref (*)(const Call&);
using CoroBody = Task (*)(Call);

constexpr int kMaxParams = 8;

struct MethodDef {
  const char* name;
  const char* qualname;
  ModuleState* module;
  std::span<const Param> params;
  int nkwonly = 0; // the last `nkwonly` params are keyword-only
  const char* doc = nullptr;
  const char* return_annotation = nullptr;
  int first_line = 0;
  std::span<const char* const> locals; // names of the body's other variables, for the code object
  PlainBody plain = nullptr;
  CoroBody coro = nullptr;

  // Filled once by `ready()`; constants for the life of the process.
  struct Runtime {
    PyObject* names[kMaxParams] = {};
    PyObject* defaults[kMaxParams] = {}; // borrowed-forever values, nullptr when required
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    PyObject* dotted = nullptr; // "<module>.<qualname>" for binding-error tracebacks
    PyObject* code = nullptr;
    PyObject* doc = nullptr;            // the docstring object, shared by every function of this method
    PyObject* defaults_tuple = nullptr; // initial __defaults__ (nullptr: None)
    int npos = 0;
    int min_pos = 0; // positional parameters without a default
    bool any_checks = false;
    struct FreeBlock* free_frames = nullptr;
    int n_free_frames = 0;
  } rt;

  int nparams() const noexcept { return static_cast<int>(params.size()); }
  bool is_coroutine() const noexcept { return coro != nullptr; }
};

/// Makes the runtime data of a method ready (interned names, defaults, code object).
void ready(MethodDef& def);

/// A new function object for `def`; `closure` is stored as __closure__ (a tuple of cells or nullptr).
Ref make_function(MethodDef& def, Borrowed closure = nullptr);

/// The __closure__ tuple of a function object of the frame (borrowed; null for none).
Borrowed function_closure(Borrowed fn) noexcept;

/// True when the function object `fn` is as make_function left it: no
/// attribute assigned or built, no weak reference to it. A function in this
/// state that only its maker still refers to can serve again for the same
/// closure without anyone being able to tell.
bool function_as_made(Borrowed fn) noexcept;

/// Makes the function type ready; called by the module's exec step.
void ready_function_type();

/// True when `o` is one of the frame's function objects.
bool is_function(Borrowed o) noexcept;

/// Binds and checks arguments for `def`; on success writes the borrowed
/// arguments into `out` (one per parameter). Raises TypeError on mismatch.
bool bind_arguments(const MethodDef& def, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** out) noexcept;

/// Adds a traceback entry (function name, the module's source path, line) to the current exception.
void add_traceback(const MethodDef& def, int line) noexcept;
/// The same with another entry name (the dotted path, for binding failures).
void add_traceback_entry_named(PyObject* name, const MethodDef& def, int line) noexcept;

} // namespace frame
