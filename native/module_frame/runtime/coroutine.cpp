#include "module_frame/runtime/coroutine.hpp"

#include "module_frame/runtime/attributes.hpp"
#include "module_frame/runtime/module.hpp"
#include "module_frame/runtime/object_cache.hpp"
#include "module_frame/runtime/traceback.hpp"

#include <cstddef>
#include <new>

namespace frame {

// ---- frame records ---------------------------------------------------------

struct FreeBlock {
  FreeBlock* next;
};

namespace {

constexpr int kMaxFreeFrames = 8;

/// Every record starts with a header naming the method whose free list it returns to.
struct alignas(std::max_align_t) RecordHeader {
  MethodDef* def;
};

} // namespace

void* Promise::operator new(std::size_t size, const Call& call) {
  auto* def = const_cast<MethodDef*>(&call.def);
  auto& rt = def->rt;
  void* raw;
  if (rt.free_frames) {
    raw = rt.free_frames;
    rt.free_frames = rt.free_frames->next;
    --rt.n_free_frames;
  } else {
    raw = ::operator new(sizeof(RecordHeader) + size);
  }
  auto* header = static_cast<RecordHeader*>(raw);
  header->def = def;
  return header + 1;
}

void Promise::operator delete(void* p, std::size_t) noexcept {
  auto* header = static_cast<RecordHeader*>(p) - 1;
  auto& rt = header->def->rt;
  if (rt.n_free_frames < kMaxFreeFrames) {
    auto* block = reinterpret_cast<FreeBlock*>(header);
    block->next = rt.free_frames;
    rt.free_frames = block;
    ++rt.n_free_frames;
    return;
  }
  ::operator delete(header);
}

namespace {

// ---- the Python coroutine object -------------------------------------------

struct CoroObject {
  PyObject_HEAD
  Task::Handle handle;
  MethodDef* def;
  PyObject* args[kMaxParams];
  PyObject* closure;
  // __name__, __qualname__ and __module__ once assigned on this coroutine;
  // null while the method's own values apply (see name_attr).
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* frame;
  PyObject* weakrefs;
  bool started;
  bool running;
};

struct AwaitIterObject {
  PyObject_HEAD
  CoroObject* coro;
};

// The frame's own types and their spare objects: one of each per extension
// file, shared by every module body in it.
PyTypeObject coro_type;
PyTypeObject await_iter_type;

ObjectCache<CoroObject, &coro_type, 16> coro_cache;
ObjectCache<AwaitIterObject, &await_iter_type, 16> iter_cache;

CoroObject* as_coro(PyObject* o) noexcept { return reinterpret_cast<CoroObject*>(o); }
CoroObject* iter_coro(PyObject* self) noexcept { return reinterpret_cast<AwaitIterObject*>(self)->coro; }
bool is_coro(PyObject* o) noexcept { return Py_TYPE(o) == &coro_type; }

/// The coroutine of this type behind `o` (itself, or the one of its await
/// iterator), or null for any other object.
CoroObject* native_coro_of(PyObject* o) noexcept {
  if (is_coro(o)) return as_coro(o);
  if (Py_TYPE(o) == &await_iter_type) return reinterpret_cast<AwaitIterObject*>(o)->coro;
  return nullptr;
}

Promise& promise(CoroObject* c) noexcept { return c->handle.promise(); }

/// The arguments of throw(typ[, val[, tb]]), exactly as given.
struct ThrowArgs {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* typ() const noexcept { return args[0]; }
  PyObject* val() const noexcept { return nargs > 1 ? args[1] : nullptr; }
  PyObject* tb() const noexcept { return nargs > 2 ? args[2] : nullptr; }
};

PySendResult coro_send(CoroObject* c, PyObject* value, PyObject** out) noexcept;
PySendResult coro_throw(CoroObject* c, const ThrowArgs& a, PyObject** out) noexcept;
int coro_close(CoroObject* c) noexcept;

/// Releases everything a finished coroutine held: the frame record goes back
/// to its free list, and names, module, code and cached frame read None.
/// (The method's own names and code object are never held: the method
/// outlives its coroutines.)
void finish(CoroObject* c) noexcept {
  // The coroutine reads as finished before the record goes: releasing what
  // it holds may run code that looks at it.
  if (auto handle = std::exchange(c->handle, {})) handle.destroy();
  for (int i = 0; i < c->def->nparams(); ++i) Py_CLEAR(c->args[i]); // the other slots are always empty
  Py_CLEAR(c->closure);
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  Py_CLEAR(c->module);
  Py_CLEAR(c->frame);
  c->started = true;
}

bool finished(CoroObject* c) noexcept { return !c->handle; }

PyObject* method_name(const MethodDef& d) noexcept { return d.rt.name; }
PyObject* method_qualname(const MethodDef& d) noexcept { return d.rt.qualname; }
PyObject* method_module(const MethodDef& d) noexcept { return d.module->full_name_obj.get(); }

/// `__name__`, `__qualname__` or `__module__` (borrowed, null for None): the
/// value assigned on this coroutine, else the method's own until the
/// coroutine finishes.
template <PyObject* CoroObject::*Field, PyObject* (*Own)(const MethodDef&)>
PyObject* name_attr(CoroObject* c) noexcept {
  if (PyObject* assigned = c->*Field) return assigned;
  return finished(c) ? nullptr : Own(*c->def);
}

PyObject* qualname_of(CoroObject* c) noexcept { return name_attr<&CoroObject::qualname, method_qualname>(c); }

/// cr_code (borrowed, null for None): the method's code object until the coroutine finishes.
PyObject* code_of(CoroObject* c) noexcept { return finished(c) ? nullptr : c->def->rt.code; }

/// Runs the body from its suspension point until it suspends again or ends.
PySendResult resume_body(CoroObject* c, PyObject** out) noexcept {
  Promise& p = promise(c);
  c->started = true;
  c->running = true;
  c->handle.resume();
  c->running = false;
  if (!c->handle.done()) {
    *out = p.yielded.release();
    return PYGEN_NEXT;
  }
  PySendResult r;
  if (p.error) {
    PyErr_SetRaisedException(p.error.release());
    r = PYGEN_ERROR;
  } else {
    *out = p.result ? p.result.release() : Py_NewRef(Py_None);
    r = PYGEN_RETURN;
  }
  finish(c);
  return r;
}

/// Hands the delegate's outcome to the body: its result, or its exception.
PySendResult continue_after_delegate(CoroObject* c, PySendResult s, Ref r, PyObject** out) noexcept {
  Promise& p = promise(c);
  if (s == PYGEN_NEXT) {
    *out = r.release();
    return PYGEN_NEXT;
  }
  // A finished delegate is let go before the body runs on: cr_await reads
  // None from here, and the delegate does not outlive its use.
  p.delegate.reset();
  if (s == PYGEN_RETURN) p.sent = std::move(r);
  else p.thrown = Ref::steal(PyErr_GetRaisedException());
  return resume_body(c, out);
}

PySendResult send_to(PyObject* delegate, PyObject* value, PyObject** out) noexcept {
  if (CoroObject* inner = native_coro_of(delegate)) return coro_send(inner, value, out);
  return PyIter_Send(delegate, value, out);
}

PySendResult coro_send(CoroObject* c, PyObject* value, PyObject** out) noexcept {
  if (c->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (finished(c)) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  if (!c->started) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
      finish(c);
      return PYGEN_ERROR;
    }
    return resume_body(c, out);
  }
  Promise& p = promise(c);
  if (!p.delegate) {
    p.sent = Ref::borrow(value);
    return resume_body(c, out);
  }
  c->running = true;
  PyObject* r = nullptr;
  PySendResult s = send_to(p.delegate.get(), value, &r);
  c->running = false;
  return continue_after_delegate(c, s, Ref::steal(r), out);
}

/// A StopIteration's value, as the result of a delegate that finished.
Ref take_stop_iteration_value() noexcept {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  return Ref::steal(PyObject_GetAttrString(exc.get(), "value"));
}

/// getattr that tells a missing attribute (0, `out` null) from an error (-1).
int optional_attr(PyObject* o, const char* name, Ref& out) noexcept {
  out = Ref::steal(PyObject_GetAttrString(o, name));
  if (out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

/// Closes a delegate: this type directly, any other object through its `close` method.
int close_delegate(PyObject* delegate) noexcept {
  if (CoroObject* inner = native_coro_of(delegate)) return coro_close(inner);
  Ref meth;
  if (optional_attr(delegate, "close", meth) < 0) return -1;
  if (!meth) return 0;
  return Ref::steal(PyObject_CallNoArgs(meth.get())) ? 0 : -1;
}

/// Takes the delegate away and closes it; -1 with the error set when closing failed.
int drop_and_close_delegate(CoroObject* c) noexcept {
  Ref delegate = std::move(promise(c).delegate);
  c->running = true;
  int err = close_delegate(delegate.get());
  c->running = false;
  return err;
}

PySendResult raise_in_body(CoroObject* c, Ref exc, PyObject** out) noexcept {
  promise(c).thrown = std::move(exc);
  return resume_body(c, out);
}

/// Normalises throw(typ[, val[, tb]]) into one exception instance, by the rules of `raise`.
Ref normalize_throw(const ThrowArgs& a) noexcept {
  PyObject *typ = a.typ(), *val = a.val(), *tb = a.tb();
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
    return Ref();
  }
  Ref exc;
  if (PyExceptionClass_Check(typ)) {
    if (val && PyExceptionInstance_Check(val) && PyObject_IsInstance(val, typ) == 1) {
      exc = Ref::borrow(val);
    } else {
      Ref args;
      if (!val || val == Py_None) args = Ref::steal(PyTuple_New(0));
      else if (PyTuple_Check(val)) args = Ref::borrow(val);
      else args = Ref::steal(PyTuple_Pack(1, val));
      if (!args) return Ref();
      exc = Ref::steal(PyObject_Call(typ, args.get(), nullptr));
      if (!exc) return Ref();
      if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", typ,
                     Py_TYPE(exc.get()));
        return Ref();
      }
    }
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return Ref();
    }
    exc = Ref::borrow(typ);
  } else {
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return Ref();
  }
  if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return Ref();
  return exc;
}

/// Forwards a throw to the delegate, with its arguments as given: the
/// delegate judges them. GeneratorExit closes the delegate instead and is
/// raised in the body; so is the error of making it (arguments that break
/// the rules of `raise`), as a `raise` there would fail. The delegate's
/// outcome goes on as after a send.
PySendResult throw_to_delegate(CoroObject* c, const ThrowArgs& a, PyObject** out) noexcept {
  Promise& p = promise(c);
  if (PyErr_GivenExceptionMatches(a.typ(), PyExc_GeneratorExit)) {
    int err = drop_and_close_delegate(c);
    Ref exc = err < 0 ? Ref() : normalize_throw(a);
    if (!exc) exc = Ref::steal(PyErr_GetRaisedException());
    return raise_in_body(c, std::move(exc), out);
  }
  PyObject* delegate = p.delegate.get();
  PyObject* r = nullptr;
  PySendResult s;
  c->running = true;
  if (CoroObject* inner = native_coro_of(delegate)) {
    s = coro_throw(inner, a, &r);
  } else {
    Ref meth;
    if (optional_attr(delegate, "throw", meth) < 0) {
      c->running = false;
      p.delegate.reset();
      return raise_in_body(c, Ref::steal(PyErr_GetRaisedException()), out);
    }
    if (!meth) {
      // A delegate without throw is let go, and the exception raised here.
      c->running = false;
      Ref exc = normalize_throw(a);
      if (!exc) return PYGEN_ERROR;
      p.delegate.reset();
      return raise_in_body(c, std::move(exc), out);
    }
    Ref res = Ref::steal(PyObject_Vectorcall(meth.get(), a.args, static_cast<size_t>(a.nargs), nullptr));
    if (res) {
      s = PYGEN_NEXT;
      r = res.release();
    } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      r = take_stop_iteration_value().release();
      s = r ? PYGEN_RETURN : PYGEN_ERROR;
    } else {
      s = PYGEN_ERROR;
    }
  }
  c->running = false;
  return continue_after_delegate(c, s, Ref::steal(r), out);
}

/// throw(typ[, val[, tb]]): forwarded to a delegate as given; otherwise the
/// exception is made by the rules of `raise` and raised at the suspension point.
PySendResult coro_throw(CoroObject* c, const ThrowArgs& a, PyObject** out) noexcept {
  if (!c->running && !finished(c) && promise(c).delegate) return throw_to_delegate(c, a, out);
  Ref exc = normalize_throw(a);
  if (!exc) return PYGEN_ERROR;
  if (c->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (finished(c)) {
    PyErr_SetRaisedException(exc.release());
    return PYGEN_ERROR;
  }
  if (!c->started) {
    // Nothing of the body ran: the exception leaves at its first line.
    PyErr_SetRaisedException(exc.release());
    add_traceback(*c->def, c->def->first_line);
    finish(c);
    return PYGEN_ERROR;
  }
  return raise_in_body(c, std::move(exc), out);
}

/// close(): 0 on success, -1 with an exception set.
int coro_close(CoroObject* c) noexcept {
  if (c->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return -1;
  }
  if (finished(c)) return 0;
  if (!c->started) {
    finish(c);
    return 0;
  }
  Ref exc;
  if (promise(c).delegate && drop_and_close_delegate(c) < 0) exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) {
    exc = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exc) return -1;
  }
  PyObject* r = nullptr;
  PySendResult s = raise_in_body(c, std::move(exc), &r);
  Ref result = Ref::steal(r);
  if (s == PYGEN_ERROR) {
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  if (s == PYGEN_NEXT || !result.is_none()) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return -1;
  }
  return 0;
}

// ---- Python-level protocol -------------------------------------------------

/// A return value as StopIteration (bare for None), for the Python-level methods.
PyObject* to_python(PySendResult s, PyObject* r) noexcept {
  if (s == PYGEN_NEXT) return r;
  if (s == PYGEN_RETURN) {
    Ref value = Ref::steal(r);
    if (value.is_none()) {
      PyErr_SetNone(PyExc_StopIteration);
    } else if (Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()))) {
      PyErr_SetObject(PyExc_StopIteration, exc.get());
    }
  }
  return nullptr;
}

PyObject* throw_args(CoroObject* c, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    return nullptr;
  }
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
  PyObject* r = nullptr;
  PySendResult s = coro_throw(c, ThrowArgs{args, nargs}, &r);
  return to_python(s, r);
}

PyObject* py_send(CoroObject* c, PyObject* value) noexcept {
  PyObject* r = nullptr;
  PySendResult s = coro_send(c, value, &r);
  return to_python(s, r);
}

PyObject* py_close(CoroObject* c) noexcept {
  if (coro_close(c) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* refuse_pickle(PyObject* self, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
  return nullptr;
}

// Coroutine type slots and methods.

// send/throw/close and the direct send, for the coroutine (`Of` = as_coro) and
// for its await iterator (`Of` = iter_coro), which acts as the coroutine itself.
using CoroOf = CoroObject* (*)(PyObject*) noexcept;

template <CoroOf Of>
PyObject* m_send(PyObject* self, PyObject* value) noexcept {
  return py_send(Of(self), value);
}
template <CoroOf Of>
PyObject* m_throw(PyObject* self, PyObject* const* args, Py_ssize_t n) noexcept {
  return throw_args(Of(self), args, n);
}
template <CoroOf Of>
PyObject* m_close(PyObject* self, PyObject*) noexcept {
  return py_close(Of(self));
}
template <CoroOf Of>
PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) noexcept {
  return coro_send(Of(self), arg, out);
}

PyObject* coro_am_await(PyObject* self) noexcept {
  auto* it = iter_cache.take();
  if (!it) return nullptr;
  it->coro = as_coro(Py_NewRef(self));
  PyObject_GC_Track(it);
  return reinterpret_cast<PyObject*>(it);
}

template <PyObject* CoroObject::*Field, PyObject* (*Own)(const MethodDef&)>
PyObject* coro_get_name_attr(PyObject* self, void*) noexcept {
  return or_none(name_attr<Field, Own>(as_coro(self)));
}

PyObject* coro_get_code(PyObject* self, void*) noexcept { return or_none(code_of(as_coro(self))); }

PyObject* coro_get_running(PyObject* self, void*) noexcept { return PyBool_FromLong(as_coro(self)->running); }

PyObject* coro_get_await(PyObject* self, void*) noexcept {
  CoroObject* c = as_coro(self);
  return or_none(c->handle ? promise(c).delegate.get() : nullptr);
}

PyObject* coro_get_frame(PyObject* self, void*) noexcept {
  CoroObject* c = as_coro(self);
  PyObject* code = code_of(c);
  if (!code) Py_RETURN_NONE;
  if (!c->frame) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    c->frame = reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), c->def->module->globals, locals.get()));
    if (!c->frame) return nullptr;
  }
  return Py_NewRef(c->frame);
}

const char kSendDoc[] = "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration.";
const char kThrowDoc[] =
    "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise StopIteration.";
const char kCloseDoc[] = "close() -> raise GeneratorExit inside coroutine.";

PyMethodDef kCoroMethods[] = {
    {"send", m_send<as_coro>, METH_O, kSendDoc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_throw<as_coro>)), METH_FASTCALL, kThrowDoc},
    {"close", m_close<as_coro>, METH_NOARGS, kCloseDoc},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {"__reduce_ex__", refuse_pickle, METH_O, nullptr},
    {nullptr},
};

using C = CoroObject;

PyGetSetDef kCoroGetSet[] = {
    {"__name__", coro_get_name_attr<&C::name, method_name>, set_name_field<C, &C::name>, "name of the coroutine",
     nullptr},
    {"__qualname__", coro_get_name_attr<&C::qualname, method_qualname>, set_qualname_field<C, &C::qualname>,
     "qualified name of the coroutine", nullptr},
    {"__module__", coro_get_name_attr<&C::module, method_module>, set_any_field<C, &C::module>, nullptr, nullptr},
    {"cr_code", coro_get_code, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, "object being awaited, or None", nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_frame", coro_get_frame, nullptr, "Frame of the coroutine", nullptr},
    {nullptr},
};

PyAsyncMethods kCoroAsync = {coro_am_await, nullptr, nullptr, am_send<as_coro>};

/// Garbage collection of a coroutine: warn when it never ran, close it when suspended.
void coro_finalize(PyObject* self) noexcept {
  CoroObject* c = as_coro(self);
  if (finished(c)) return;
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  if (!c->started) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                         or_borrowed_none(qualname_of(c))) < 0)
      PyErr_WriteUnraisable(self);
    finish(c);
  } else if (coro_close(c) < 0) {
    PyErr_WriteUnraisable(self);
  }
  PyErr_SetRaisedException(pending.release());
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  CoroObject* c = as_coro(self);
  for (int i = 0; i < c->def->nparams(); ++i) Py_VISIT(c->args[i]);
  Py_VISIT(c->closure);
  Py_VISIT(c->frame);
  if (c->handle) {
    Promise& p = promise(c);
    Py_VISIT(p.delegate.get());
    Py_VISIT(p.yielded.get());
    Py_VISIT(p.sent.get());
    Py_VISIT(p.thrown.get());
  }
  return 0;
}

void coro_dealloc(PyObject* self) noexcept {
  CoroObject* c = as_coro(self);
  // A finished coroutine has nothing to finalize; only the others run the finalizer.
  if (!finished(c) && PyObject_CallFinalizerFromDealloc(self) < 0) return; // resurrected
  PyObject_GC_UnTrack(self);
  if (c->weakrefs) PyObject_ClearWeakRefs(self);
  finish(c);
  Py_CLEAR(c->module);
  // An object the collector has marked finalized keeps that mark: never reuse it.
  if (PyObject_GC_IsFinalized(self)) PyObject_GC_Del(self);
  else coro_cache.give(c);
}

PyObject* coro_repr(PyObject* self) noexcept {
  CoroObject* c = as_coro(self);
  return PyUnicode_FromFormat("<native coroutine %S at %p>", or_borrowed_none(qualname_of(c)), self);
}

// Await iterator type.

PyObject* iter_next(PyObject* self) noexcept {
  PyObject* r = nullptr;
  PySendResult s = coro_send(iter_coro(self), Py_None, &r);
  if (s == PYGEN_RETURN && r == Py_None) {
    Ref::steal(r).reset();
    return nullptr; // exhausted
  }
  return to_python(s, r);
}

PyObject* iter_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
  return nullptr;
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(reinterpret_cast<PyObject*>(iter_coro(self)));
  return 0;
}
int iter_clear(PyObject* self) noexcept {
  auto* it = reinterpret_cast<AwaitIterObject*>(self);
  Py_CLEAR(it->coro);
  return 0;
}
void iter_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  iter_clear(self);
  iter_cache.give(reinterpret_cast<AwaitIterObject*>(self));
}

const char kIterSendDoc[] =
    "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.";
const char kIterThrowDoc[] =
    "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration.";

PyMethodDef kIterMethods[] = {
    {"send", m_send<iter_coro>, METH_O, kIterSendDoc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_throw<iter_coro>)), METH_FASTCALL,
     kIterThrowDoc},
    {"close", m_close<iter_coro>, METH_NOARGS, kCloseDoc},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {"__reduce_ex__", refuse_pickle, METH_O, nullptr},
    {nullptr},
};

PyAsyncMethods kIterAsync = {nullptr, nullptr, nullptr, am_send<iter_coro>};

// ---- awaiting inside a body ------------------------------------------------

/// The await iterator of `o`, as `await o` takes it.
Ref await_iter_of(PyObject* o) noexcept {
  PyTypeObject* t = Py_TYPE(o);
  if (t == &coro_type) {
    CoroObject* c = as_coro(o);
    if (c->handle && promise(c).delegate) {
      PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
      return Ref();
    }
    return Ref::borrow(o);
  }
  if (PyCoro_CheckExact(o)) return Ref::borrow(o);
  if (PyGen_Check(o)) {
    // A generator-based coroutine (types.coroutine) is awaited as it is.
    Ref code = Ref::steal(PyObject_GetAttrString(o, "gi_code"));
    if (!code) return Ref();
    if (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) return Ref::borrow(o);
  }
  unaryfunc getter = t->tp_as_async ? t->tp_as_async->am_await : nullptr;
  if (!getter) {
    PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression", t->tp_name);
    return Ref();
  }
  Ref res = Ref::steal(getter(o));
  if (!res) return res;
  if (PyCoro_CheckExact(res.get()) || Py_TYPE(res.get()) == &coro_type) {
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return Ref();
  }
  if (!PyIter_Check(res.get())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.200s'", Py_TYPE(res.get())->tp_name);
    return Ref();
  }
  return res;
}

} // namespace

bool Awaiting::await_suspend(std::coroutine_handle<Promise> h) noexcept {
  Ref iter = await_iter_of(obj_.get());
  if (!iter) {
    error_ = Ref::steal(PyErr_GetRaisedException());
    return false;
  }
  PyObject* r = nullptr;
  PySendResult s = send_to(iter.get(), Py_None, &r);
  if (s == PYGEN_NEXT) {
    Promise& p = h.promise();
    p.delegate = std::move(iter);
    p.yielded = Ref::steal(r);
    suspended_in_ = &p;
    return true;
  }
  iter.reset();
  if (s == PYGEN_RETURN) value_ = Ref::steal(r);
  else error_ = Ref::steal(PyErr_GetRaisedException());
  return false;
}

Ref Awaiting::await_resume() {
  if (suspended_in_) {
    Promise& p = *suspended_in_;
    if (p.thrown) {
      PyErr_SetRaisedException(p.thrown.release());
      throw_error(where_);
    }
    return std::move(p.sent);
  }
  if (error_) {
    PyErr_SetRaisedException(error_.release());
    throw_error(where_);
  }
  return std::move(value_);
}

void Promise::unhandled_exception() noexcept {
  int line = 0;
  try {
    throw;
  } catch (const PyErrOccurred& e) {
    line = e.line;
  } catch (...) {
  }
  translate_current_exception();
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    // A StopIteration must not end the coroutine as if it had returned.
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(exc.get(), Ref(cause).release());
    PyException_SetContext(exc.get(), cause.release());
    PyErr_SetRaisedException(exc.release());
  }
  add_traceback(*def, line ? line : def->first_line);
  error = Ref::steal(PyErr_GetRaisedException());
}

PyObject* new_coroutine(const Call& call) noexcept {
  auto* c = coro_cache.take();
  if (!c) return nullptr;
  const MethodDef& def = call.def;
  c->handle = {};
  c->def = const_cast<MethodDef*>(&def);
  for (int i = 0; i < kMaxParams; ++i) c->args[i] = i < def.nparams() ? Py_NewRef(call.args.v[i]) : nullptr;
  c->closure = Py_XNewRef(call.closure.get());
  c->name = nullptr;
  c->qualname = nullptr;
  c->module = nullptr;
  c->frame = nullptr;
  c->weakrefs = nullptr;
  c->started = false;
  c->running = false;
  Ref coro = Ref::steal(reinterpret_cast<PyObject*>(c));
  return guarded<PyObject*>(nullptr, [&] {
    c->handle = def.coro(Call{def, Args{c->args}, c->closure}).release();
    PyObject_GC_Track(c);
    return coro.release();
  });
}

void ready_coroutine_types() {
  PyTypeObject& t = coro_type;
  if (!(t.tp_flags & Py_TPFLAGS_READY)) {
    init_static_type_header(t);
    t.tp_name = "strovik.native_coroutine";
    t.tp_basicsize = sizeof(CoroObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_as_async = &kCoroAsync;
    t.tp_dealloc = coro_dealloc;
    t.tp_finalize = coro_finalize;
    t.tp_traverse = coro_traverse;
    t.tp_repr = coro_repr;
    t.tp_methods = kCoroMethods;
    t.tp_getset = kCoroGetSet;
    t.tp_weaklistoffset = offsetof(CoroObject, weakrefs);
    check_status(PyType_Ready(&t));
  }
  PyTypeObject& it = await_iter_type;
  if (!(it.tp_flags & Py_TPFLAGS_READY)) {
    init_static_type_header(it);
    it.tp_name = "strovik.native_coroutine_wrapper";
    it.tp_basicsize = sizeof(AwaitIterObject);
    it.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    it.tp_as_async = &kIterAsync;
    it.tp_new = iter_new;
    it.tp_dealloc = iter_dealloc;
    it.tp_traverse = iter_traverse;
    it.tp_clear = iter_clear;
    it.tp_iter = PyObject_SelfIter;
    it.tp_iternext = iter_next;
    it.tp_methods = kIterMethods;
    check_status(PyType_Ready(&it));
  }
}

} // namespace frame
