// Reference handles: `Ref` owns one strong reference, `Borrowed` owns none.
// Ownership is visible in signatures, and no code counts references by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

class Ref;
class Kept;

/// A reference the holder does not own; valid while its owner keeps the object alive.
class Borrowed {
public:
  constexpr Borrowed() noexcept = default;
  constexpr Borrowed(PyObject* p) noexcept : p_(p) {}
  Borrowed(const Ref& r) noexcept;
  Borrowed(const Kept& k) noexcept;

  PyObject* get() const noexcept { return p_; }
  PyObject* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(Borrowed other) const noexcept { return p_ == other.p_; }
  bool is_none() const noexcept { return p_ == Py_None; }

private:
  PyObject* p_ = nullptr;
};

/// An owned strong reference, released when the handle goes out of scope.
class Ref {
public:
  constexpr Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~Ref() { Py_XDECREF(p_); }

  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  /// Takes over a reference the caller owns (the result of a "new reference" API).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  /// Adds a reference to an object someone else owns.
  static Ref borrow(Borrowed b) noexcept { return Ref(Py_XNewRef(b.get())); }

  PyObject* get() const noexcept { return p_; }
  PyObject* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(Borrowed other) const noexcept { return p_ == other.get(); }
  bool is_none() const noexcept { return p_ == Py_None; }

  /// Hands the reference to the caller (for returning to CPython).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }

private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Borrowed::Borrowed(const Ref& r) noexcept : p_(r.get()) {}

/// A strong reference kept by a process-wide cache. It may be replaced or
/// dropped while the interpreter runs, but it is never released at exit:
/// static destructors run after the interpreter is gone, so it has none.
class Kept {
public:
  constexpr Kept() noexcept = default;
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;

  /// Holds `r` from now on, releasing what was held before.
  Kept& operator=(Ref r) noexcept {
    PyObject* old = std::exchange(p_, r.release());
    Py_XDECREF(old);
    return *this;
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(Borrowed other) const noexcept { return p_ == other.get(); }
  void reset() noexcept { Py_CLEAR(p_); }
  /// Hands the reference over, leaving nothing kept.
  Ref take() noexcept { return Ref::steal(std::exchange(p_, nullptr)); }

private:
  PyObject* p_ = nullptr;
};

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

inline Borrowed::Borrowed(const Kept& k) noexcept : p_(k.get()) {}

} // namespace frame
