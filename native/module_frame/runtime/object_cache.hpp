// A few released objects of one of the frame's types kept for reuse: a
// request makes and drops several coroutines, await iterators and function
// objects, and reusing their memory spares the allocator and the collector's
// allocation count.
#pragma once

#include "module_frame/runtime/ref.hpp"

namespace frame {

template <class T, PyTypeObject* Type, int Capacity>
class ObjectCache {
public:
  T* take() noexcept {
    if (n_ == 0) return PyObject_GC_New(T, Type);
    T* o = slots_[--n_];
    PyObject_Init(reinterpret_cast<PyObject*>(o), Type);
    return o;
  }
  /// Frees or keeps an object that is already untracked and cleared.
  void give(T* o) noexcept {
    if (n_ < Capacity) slots_[n_++] = o;
    else PyObject_GC_Del(o);
  }

private:
  T* slots_[Capacity] = {};
  int n_ = 0;
};

} // namespace frame
