// Coroutine methods: the C++20 coroutine that runs a body (`Task`), the
// awaiter that gives `co_await` yield-from semantics on any Python awaitable,
// and the Python coroutine type that drives it (send/throw/close/__await__
// and the direct send protocol).
#pragma once

#include "module_frame/runtime/function.hpp"

#include <coroutine>

namespace frame {

class Task;

struct Promise {
  explicit Promise(const Call& call) noexcept : def(&call.def) {}

  const MethodDef* def;

  // Written by the awaiter when the body suspends on a Python awaitable.
  Ref delegate; // the await iterator being driven (cr_await)
  Ref yielded;  // its first yielded value, handed to the driver

  // Written by the driver before it resumes the body at the await point.
  Ref sent;   // the delegate's result
  Ref thrown; // or an exception to raise there

  // The outcome once the body has finished.
  Ref result;
  Ref error;

  Task get_return_object() noexcept;
  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  void return_value(Ref r) noexcept { result = std::move(r); }
  void unhandled_exception() noexcept;

  // Frame records come from a small free list per coroutine method.
  static void* operator new(std::size_t size, const Call& call);
  static void operator delete(void* p, std::size_t size) noexcept;
};

/// The C++ side of a coroutine body; owned by the Python coroutine object.
class Task {
public:
  using promise_type = Promise;
  using Handle = std::coroutine_handle<Promise>;
  explicit Task(Handle h) noexcept : h_(h) {}
  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task(const Task&) = delete;
  ~Task() {
    if (h_) h_.destroy();
  }
  Handle release() noexcept { return std::exchange(h_, {}); }

private:
  Handle h_;
};

inline Task Promise::get_return_object() noexcept { return Task(Task::Handle::from_promise(*this)); }

/// `co_await awaiting(x)`: awaits the Python awaitable `x` with yield-from
/// semantics. Its value is the awaitable's result; its exception is rethrown
/// as PyErrOccurred at the await point.
class Awaiting {
public:
  Awaiting(Ref awaitable, Where where) noexcept : obj_(std::move(awaitable)), where_(where) {}
  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<Promise> h) noexcept;
  Ref await_resume();

private:
  Ref obj_;
  Where where_;
  Promise* suspended_in_ = nullptr;
  Ref value_;
  Ref error_;
};

inline Awaiting awaiting(Ref awaitable, Where where = Where::current()) noexcept {
  return Awaiting(std::move(awaitable), where);
}

/// A new coroutine object for a call of a coroutine method (body not started).
PyObject* new_coroutine(const Call& call) noexcept;

/// Makes the coroutine and await-iterator types ready.
void ready_coroutine_types();

} // namespace frame
