// An import statement run on every call of a body, answered from what the
// last run found while the dicts it read are unchanged.
#pragma once

#include "module_frame/fast_paths/dict_watch.hpp"
#include "module_frame/runtime/module.hpp"

namespace frame {

/// `from <module_name> import <name>` run on every call of a body, answered
/// without the import machinery while nothing the answer depends on can have
/// changed: it is kept for a plain module (not a package, not of a module
/// subclass) whose dict holds the name, and dict watchers on sys.modules and
/// on that module's dict drop it at their first change.
class PerCallImport {
public:
  PerCallImport(PyObject* const& module_name, PyObject* const& fromlist, PyObject* const& name) noexcept
      : module_name_(module_name), fromlist_(fromlist), name_(name) {}
  Ref get(const ModuleState& st, Where w = Where::current());

private:
  void keep(Borrowed module, Borrowed value);

  // Module constants, read when used (they are made after this object).
  PyObject* const& module_name_;
  PyObject* const& fromlist_;
  PyObject* const& name_;
  Kept value_;
  WatchedAnswer kept_;
};

} // namespace frame
