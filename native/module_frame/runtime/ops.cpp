#include "module_frame/runtime/ops.hpp"

namespace frame {

Ref call_get(Borrowed o, Borrowed key, Borrowed dflt, Where w) {
  static PyObject* const get = interned("get");
  if (dflt) return call_method(Callee(o, w), get, key, dflt);
  return call_method(Callee(o, w), get, key);
}

} // namespace frame
