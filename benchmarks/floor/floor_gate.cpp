// A minimal API-key gate written straight on the C API: the gate benchmark's
// floor. Per request it does the work the gate's behaviour requires on the
// measured paths (fixed-key mode) and nothing more: the key from the query's
// first `api_key` field or an `Authorization: Bearer` header, compared in
// constant time; the scope key; `strovik.mcp.context.mcp_request_ctx` taken
// from sys.modules on every request, so a replaced module is seen; the context
// variable set around the application and reset after it; a tracking send
// that records the response's progress; the closing body for a response left
// open; the 401 answer as two fresh message dicts. Its coroutines are state
// machines that are their own await iterators: no names, code objects,
// argument binding or method look-ups.
//
// Not a gate to deploy: no remote mode, no `throw`, and unusual input
// (percent escapes, `+`, non-ASCII bytes) goes through `urllib.parse`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <strings.h>

namespace {

/// Owns one reference.
class Own {
public:
  Own() = default;
  explicit Own(PyObject* o) : o_(o) {}
  Own(const Own&) = delete;
  Own& operator=(const Own&) = delete;
  ~Own() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }
  void reset(PyObject* o) { Py_XSETREF(o_, o); }

private:
  PyObject* o_ = nullptr;
};

struct Constants {
  PyObject *type, *http, *query_string, *headers, *api_key, *mcp_api_key, *mcp_user_id, *mcp_user_email;
  PyObject *user_id, *email, *more_body, *response_start, *response_body, *status, *body, *context_module;
  PyObject *var_name, *expected, *status_401, *content_type, *www_authenticate, *body_401, *empty_bytes;
  PyObject *app, *api_key_attr, *auth_verify_url, *extract_token, *send_401, *invalid_api_key, *kw_reason;
  PyObject *kw_reason_name, *body_prefix, *body_suffix;
} k;

// ---- small operations -------------------------------------------------------

bool same(PyObject* a, PyObject* b) { return a == b || PyObject_RichCompareBool(a, b, Py_EQ) == 1; }

/// `mapping[key]` as a new reference.
PyObject* item(PyObject* mapping, PyObject* key) {
  if (!PyDict_CheckExact(mapping)) return PyObject_GetItem(mapping, key);
  PyObject* v = PyDict_GetItemWithError(mapping, key);
  if (v) return Py_NewRef(v);
  if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

/// `mapping.get(key, dflt)` as a new reference.
PyObject* get(PyObject* mapping, PyObject* key, PyObject* dflt) {
  if (!PyDict_CheckExact(mapping)) return PyObject_CallMethod(mapping, "get", "OO", key, dflt);
  PyObject* v = PyDict_GetItemWithError(mapping, key);
  if (v) return Py_NewRef(v);
  return PyErr_Occurred() ? nullptr : Py_NewRef(dflt);
}

bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

bool plain_ascii(const char* p, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) >= 0x80 || p[i] == '%' || p[i] == '+') return false;
  return true;
}

/// `urllib.parse.parse_qs(query).get("api_key", [])[0]`, or None.
PyObject* parse_qs_token(PyObject* query) {
  Own module(PyImport_ImportModule("urllib.parse"));
  if (!module) return nullptr;
  Own fields(PyObject_CallMethod(module.get(), "parse_qs", "O", query));
  if (!fields) return nullptr;
  Own values(PyObject_CallMethod(fields.get(), "get", "OO", k.api_key, Py_None));
  if (!values || values.get() == Py_None) return values.release();
  return PySequence_GetItem(values.get(), 0);
}

/// The first non-empty `api_key` field of the query string, or None.
PyObject* query_token(PyObject* scope) {
  Own qs(get(scope, k.query_string, k.empty_bytes));
  if (!qs) return nullptr;
  if (!PyBytes_CheckExact(qs.get())) {
    Own text(PyObject_CallMethod(qs.get(), "decode", "s", "utf-8"));
    if (!text) return nullptr;
    return PyObject_IsTrue(text.get()) ? parse_qs_token(text.get()) : Py_NewRef(Py_None);
  }
  const char* p = PyBytes_AS_STRING(qs.get());
  const Py_ssize_t n = PyBytes_GET_SIZE(qs.get());
  if (!plain_ascii(p, n)) {
    Own text(PyUnicode_DecodeUTF8(p, n, nullptr));
    if (!text) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
      PyErr_Clear(); // a query that is not UTF-8 carries no key
      return Py_NewRef(Py_None);
    }
    return parse_qs_token(text.get());
  }
  const char* end = p + n;
  while (p < end) {
    auto* amp = static_cast<const char*>(std::memchr(p, '&', end - p));
    const char* field_end = amp ? amp : end;
    auto* eq = static_cast<const char*>(std::memchr(p, '=', field_end - p));
    if (eq && eq - p == 7 && std::memcmp(p, "api_key", 7) == 0 && field_end - eq > 1)
      return PyUnicode_DecodeASCII(eq + 1, field_end - eq - 1, nullptr);
    p = field_end + 1;
  }
  return Py_NewRef(Py_None);
}

/// The value after "Bearer " of an `authorization` header, stripped, or None.
PyObject* bearer_token(PyObject* scope) {
  Own headers(get(scope, k.headers, Py_None));
  if (!headers || headers.get() == Py_None) return headers.release();
  Own iter(PyObject_GetIter(headers.get()));
  if (!iter) return nullptr;
  while (Own pair{PyIter_Next(iter.get())}) {
    Own fast(PySequence_Fast(pair.get(), "a header must be a pair"));
    if (!fast) return nullptr;
    if (PySequence_Fast_GET_SIZE(fast.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, "a header must be a pair");
      return nullptr;
    }
    PyObject* name = PySequence_Fast_GET_ITEM(fast.get(), 0);
    PyObject* value = PySequence_Fast_GET_ITEM(fast.get(), 1);
    if (!PyBytes_Check(name) || PyBytes_GET_SIZE(name) != 13 ||
        strncasecmp(PyBytes_AS_STRING(name), "authorization", 13) != 0 || !PyBytes_Check(value))
      continue;
    const char* v = PyBytes_AS_STRING(value);
    const Py_ssize_t n = PyBytes_GET_SIZE(value);
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n; ++i) ascii &= static_cast<unsigned char>(v[i]) < 0x80;
    if (ascii) {
      if (n < 7 || strncasecmp(v, "bearer ", 7) != 0) continue;
      const char *b = v + 7, *e = v + n;
      while (b < e && ascii_space(*b)) ++b;
      while (e > b && ascii_space(e[-1])) --e;
      return PyUnicode_DecodeASCII(b, e - b, nullptr);
    }
    Own auth(PyUnicode_DecodeUTF8(v, n, "replace"));
    Own lower(auth ? PyObject_CallMethod(auth.get(), "lower", nullptr) : nullptr);
    Own starts(lower ? PyObject_CallMethod(lower.get(), "startswith", "s", "bearer ") : nullptr);
    if (!starts) return nullptr;
    if (starts.get() != Py_True) continue;
    Own rest(PyUnicode_Substring(auth.get(), 7, PyUnicode_GET_LENGTH(auth.get())));
    return rest ? PyObject_CallMethod(rest.get(), "strip", nullptr) : nullptr;
  }
  return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

PyObject* extract_token(PyObject* scope) {
  Own token(query_token(scope));
  if (!token || token.get() != Py_None) return token.release();
  return bearer_token(scope);
}

/// `token == key`, without an early exit for two ASCII strings.
int same_key(PyObject* token, PyObject* key) {
  if (!PyUnicode_CheckExact(token) || !PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(token) ||
      !PyUnicode_IS_ASCII(key))
    return PyObject_RichCompareBool(token, key, Py_EQ);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
  if (PyUnicode_GET_LENGTH(token) != n) return 0;
  auto* a = static_cast<const unsigned char*>(PyUnicode_DATA(token));
  auto* b = static_cast<const unsigned char*>(PyUnicode_DATA(key));
  unsigned char diff = 0;
  for (Py_ssize_t i = 0; i < n; ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}

PyObject* message(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
  Own d(PyDict_New());
  if (!d) return nullptr;
  for (auto [key, value] : items)
    if (!value || PyDict_SetItem(d.get(), key, value) < 0) return nullptr;
  return d.release();
}

PyObject* start_401() {
  Own headers(PyList_New(2));
  if (!headers) return nullptr;
  PyList_SET_ITEM(headers.get(), 0, Py_NewRef(k.content_type));
  PyList_SET_ITEM(headers.get(), 1, Py_NewRef(k.www_authenticate));
  return message({{k.type, k.response_start}, {k.status, k.status_401}, {k.headers, headers.get()}});
}

// ---- awaiting ---------------------------------------------------------------

/// The await iterator of an awaitable (steals it).
PyObject* await_iter(PyObject* awaitable) {
  Own o(awaitable);
  if (PyCoro_CheckExact(awaitable)) return o.release();
  unaryfunc getter = Py_TYPE(awaitable)->tp_as_async ? Py_TYPE(awaitable)->tp_as_async->am_await : nullptr;
  if (!getter) {
    PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression", Py_TYPE(awaitable)->tp_name);
    return nullptr;
  }
  return getter(awaitable);
}

/// One step of an await: 1 it yielded (*out set), 0 it finished, -1 it raised.
int drive(PyObject** waiting, PyObject* value, PyObject** out) {
  PyObject* result = nullptr;
  PySendResult st = PyIter_Send(*waiting, value, &result);
  if (st == PYGEN_NEXT) {
    *out = result;
    return 1;
  }
  Py_CLEAR(*waiting);
  if (st == PYGEN_ERROR) return -1;
  Py_DECREF(result);
  return 0;
}

/// Starts awaiting `callable(*args)`: 1, or -1 when the call or its await iterator fails.
int await_call(PyObject** waiting, PyObject* callable, std::initializer_list<PyObject*> args) {
  PyObject* awaitable = PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr);
  if (!awaitable) return -1;
  *waiting = await_iter(awaitable);
  return *waiting ? 1 : -1;
}

void close_waiting(PyObject** waiting) {
  if (!*waiting) return;
  Own it(*waiting);
  *waiting = nullptr;
  Own close(PyObject_GetAttrString(it.get(), "close"));
  Own r(close ? PyObject_CallNoArgs(close.get()) : nullptr);
  if (!r) PyErr_Clear();
}

// ---- the coroutine objects --------------------------------------------------

/// What both coroutine types start with, for the shared slots.
struct CoroHead {
  PyObject_HEAD
  PyObject* waiting;
  int state;
};

using StepFn = PySendResult (*)(PyObject*, PyObject*, PyObject**);

template <StepFn Step>
PyObject* coro_iternext(PyObject* self) {
  PyObject* out = nullptr;
  PySendResult st = Step(self, Py_None, &out);
  if (st == PYGEN_NEXT) return out;
  if (st == PYGEN_RETURN) Py_DECREF(out); // always None: a plain end of iteration
  return nullptr;
}

template <StepFn Step>
PyObject* coro_send(PyObject* self, PyObject* value) {
  PyObject* out = nullptr;
  PySendResult st = Step(self, value, &out);
  if (st == PYGEN_NEXT) return out;
  if (st == PYGEN_RETURN) {
    Py_DECREF(out);
    PyErr_SetNone(PyExc_StopIteration);
  }
  return nullptr;
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

// tracking send: a callable per request, a coroutine per message.

struct TrackingSend {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* send;
  bool started;
  bool complete;
};

struct TrackCoro {
  CoroHead head;
  TrackingSend* owner;
  PyObject* message;
};

enum TrackState { kTrackStart, kTrackSending, kTrackDone };

PyTypeObject* g_tracking_type;
PyTypeObject* g_track_coro_type;
PyTypeObject* g_call_coro_type;
PyTypeObject* g_gate_type;

void track_finish(TrackCoro* t) {
  t->head.state = kTrackDone;
  Py_CLEAR(t->owner);
  Py_CLEAR(t->message);
}

PySendResult track_step(PyObject* self, PyObject* value, PyObject** out) {
  auto* t = reinterpret_cast<TrackCoro*>(self);
  if (t->head.state == kTrackDone) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  if (t->head.state == kTrackStart) {
    value = Py_None;
    Own type(item(t->message, k.type));
    if (!type) return track_finish(t), PYGEN_ERROR;
    if (same(type.get(), k.response_start)) {
      t->owner->started = true;
    } else if (same(type.get(), k.response_body)) {
      Own more(get(t->message, k.more_body, Py_False));
      int truth = more ? PyObject_IsTrue(more.get()) : -1;
      if (truth < 0) return track_finish(t), PYGEN_ERROR;
      if (!truth) t->owner->complete = true;
    }
    if (await_call(&t->head.waiting, t->owner->send, {t->message}) < 0) return track_finish(t), PYGEN_ERROR;
    t->head.state = kTrackSending;
  }
  int r = drive(&t->head.waiting, value, out);
  if (r == 1) return PYGEN_NEXT;
  track_finish(t);
  if (r < 0) return PYGEN_ERROR;
  *out = Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

PyObject* tracking_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_SetString(PyExc_TypeError, "tracking_send() takes one message");
    return nullptr;
  }
  TrackCoro* t = PyObject_GC_New(TrackCoro, g_track_coro_type);
  if (!t) return nullptr;
  t->head.waiting = nullptr;
  t->head.state = kTrackStart;
  t->owner = reinterpret_cast<TrackingSend*>(Py_NewRef(self));
  t->message = Py_NewRef(args[0]);
  PyObject_GC_Track(t);
  return reinterpret_cast<PyObject*>(t);
}

// the gate's coroutine, one per connection.

struct Gate {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* app;
  PyObject* api_key;
  PyObject* auth_verify_url;
};

enum CallState { kStart, kPassThrough, kSend401, kRejectStart, kRejectBody, kAwait401, kApp, kClosing, kDone };

struct CallCoro {
  CoroHead head;
  PyObject* gate; // a Gate, or an instance of the class-built gate (`by_attributes`)
  bool by_attributes;
  PyObject* body_401; // the 401 body while the refusal is sent
  PyObject* scope;
  PyObject* receive;
  PyObject* send;
  PyObject* var;
  PyObject* ctx_token;
  TrackingSend* tracking;
  PyObject* exc; // the application's exception, held across the closing send
};

void call_clear_refs(CallCoro* c) {
  Py_CLEAR(c->head.waiting);
  Py_CLEAR(c->gate);
  Py_CLEAR(c->body_401);
  Py_CLEAR(c->scope);
  Py_CLEAR(c->receive);
  Py_CLEAR(c->send);
  Py_CLEAR(c->var);
  Py_CLEAR(c->ctx_token);
  Py_CLEAR(c->tracking);
  Py_CLEAR(c->exc);
}

/// The end of the application's await and the final block: -1 raised, 0 ended, 1 awaiting the closing send.
int after_app(CallCoro* c, int outcome) {
  if (outcome < 0) {
    c->exc = PyErr_GetRaisedException();
    if (PyErr_GivenExceptionMatches(c->exc, PyExc_RuntimeError)) {
      Own text(PyObject_Str(c->exc));
      int found = text ? PySequence_Contains(text.get(), k.expected) : -1;
      if (found < 0) {
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, c->exc);
        c->exc = raised;
      } else if (found) {
        Py_CLEAR(c->exc);
      }
    }
  }
  int reset = PyContextVar_CheckExact(c->var) ? PyContextVar_Reset(c->var, c->ctx_token)
                                              : (Own(PyObject_CallMethod(c->var, "reset", "O", c->ctx_token)) ? 0 : -1);
  if (reset < 0) {
    if (c->exc) {
      PyObject* raised = PyErr_GetRaisedException();
      PyException_SetContext(raised, c->exc);
      c->exc = nullptr;
      PyErr_SetRaisedException(raised);
    }
    return -1;
  }
  if (c->tracking->started && !c->tracking->complete) {
    Own closing(message({{k.type, k.response_body}, {k.body, k.empty_bytes}, {k.more_body, Py_False}}));
    if (closing && await_call(&c->head.waiting, c->send, {closing.get()}) == 1) {
      c->head.state = kClosing;
      return 1;
    }
    PyErr_Clear(); // whatever the raw send raises here is dropped
  }
  if (!c->exc) return 0;
  PyErr_SetRaisedException(c->exc);
  c->exc = nullptr;
  return -1;
}

/// One of the gate's attributes: the field of a Gate, or read from the instance.
PyObject* setting(CallCoro* c, PyObject* Gate::*field, PyObject* name) {
  if (c->by_attributes) return PyObject_GetAttr(c->gate, name);
  PyObject* v = reinterpret_cast<Gate*>(c->gate)->*field;
  if (!v) PyErr_SetObject(PyExc_AttributeError, name);
  return Py_XNewRef(v);
}

/// Sends the 401 answer: in place for a Gate, through `self._send_401(...)` for the class-built gate.
int refuse(CallCoro* c) {
  if (c->by_attributes) {
    PyObject* args[] = {c->gate, c->scope, c->send, k.invalid_api_key};
    Own awaitable(PyObject_VectorcallMethod(k.send_401, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, k.kw_reason));
    if (!awaitable) return -1;
    c->head.waiting = await_iter(awaitable.release());
    c->head.state = kAwait401;
    return c->head.waiting ? 1 : -1;
  }
  c->body_401 = Py_NewRef(k.body_401);
  c->head.state = kSend401;
  return 1;
}

/// The gate up to its first await: -1 raised, 1 awaiting.
int call_start(CallCoro* c) {
  Own type(item(c->scope, k.type));
  if (!type) return -1;
  if (!same(type.get(), k.http)) {
    Own app(setting(c, &Gate::app, k.app));
    c->head.state = kPassThrough;
    return app ? await_call(&c->head.waiting, app.get(), {c->scope, c->receive, c->send}) : -1;
  }
  Own token(c->by_attributes ? PyObject_CallMethodOneArg(c->gate, k.extract_token, c->scope) : extract_token(c->scope));
  if (!token) return -1;
  Own url(setting(c, &Gate::auth_verify_url, k.auth_verify_url));
  if (!url) return -1;
  if (PyObject_IsTrue(url.get())) {
    PyErr_SetString(PyExc_NotImplementedError, "the floor gate has no remote mode");
    return -1;
  }
  Own api_key(setting(c, &Gate::api_key, k.api_key_attr));
  if (!api_key) return -1;
  int admitted = PyObject_IsTrue(api_key.get());
  if (admitted > 0) admitted = same_key(token.get(), api_key.get());
  if (admitted < 0) return -1;
  if (!admitted) return refuse(c);
  if (PyObject_SetItem(c->scope, k.mcp_api_key, token.get()) < 0) return -1;

  Own module(PyImport_GetModule(k.context_module));
  if (!module && !PyErr_Occurred()) module.reset(PyImport_Import(k.context_module));
  if (!module) return -1;
  c->var = PyObject_GetAttr(module.get(), k.var_name);
  if (!c->var) return -1;
  Own ctx(message({{k.api_key, token.get()},
                   {k.user_id, Own(get(c->scope, k.mcp_user_id, Py_None)).get()},
                   {k.email, Own(get(c->scope, k.mcp_user_email, Py_None)).get()}}));
  if (!ctx) return -1;
  c->ctx_token = PyContextVar_CheckExact(c->var) ? PyContextVar_Set(c->var, ctx.get())
                                                 : PyObject_CallMethod(c->var, "set", "O", ctx.get());
  if (!c->ctx_token) return -1;

  TrackingSend* tracking = PyObject_GC_New(TrackingSend, g_tracking_type);
  if (!tracking) return -1; // the context variable stays set, as after a failed closure
  tracking->vectorcall = tracking_call;
  tracking->send = Py_NewRef(c->send);
  tracking->started = tracking->complete = false;
  PyObject_GC_Track(tracking);
  c->tracking = tracking;
  c->head.state = kApp;
  Own app(setting(c, &Gate::app, k.app));
  if (!app ||
      await_call(&c->head.waiting, app.get(), {c->scope, c->receive, reinterpret_cast<PyObject*>(tracking)}) < 0)
    return after_app(c, -1);
  return 1;
}

PySendResult call_step(PyObject* self, PyObject* value, PyObject** out) {
  auto* c = reinterpret_cast<CallCoro*>(self);
  if (c->head.state == kDone) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  for (;;) {
    int outcome = 0; // of the await that has just finished
    if (c->head.waiting) {
      outcome = drive(&c->head.waiting, value, out);
      if (outcome == 1) return PYGEN_NEXT;
      value = Py_None;
    }
    int next; // -1 raised, 0 ended, 1 awaiting again
    switch (c->head.state) {
    case kStart: next = call_start(c); break;
    case kSend401: {
      Own start(start_401());
      c->head.state = kRejectStart;
      next = start ? await_call(&c->head.waiting, c->send, {start.get()}) : -1;
      break;
    }
    case kRejectStart: {
      Own body(message({{k.type, k.response_body}, {k.body, c->body_401}}));
      next = outcome < 0 || !body ? -1 : await_call(&c->head.waiting, c->send, {body.get()});
      c->head.state = kRejectBody;
      break;
    }
    case kPassThrough:
    case kRejectBody:
    case kAwait401: next = outcome; break;
    case kApp: next = after_app(c, outcome); break;
    case kClosing:
      if (outcome < 0) PyErr_Clear();
      next = 0;
      if (c->exc) {
        PyErr_SetRaisedException(c->exc);
        c->exc = nullptr;
        next = -1;
      }
      break;
    default: next = -1;
    }
    if (next == 1) continue;
    c->head.state = kDone;
    call_clear_refs(c);
    if (next < 0) return PYGEN_ERROR;
    *out = Py_NewRef(Py_None);
    return PYGEN_RETURN;
  }
}

CallCoro* new_call_coro(PyObject* gate, bool by_attributes, CallState state, PyObject* scope, PyObject* receive,
                        PyObject* send) {
  CallCoro* c = PyObject_GC_New(CallCoro, g_call_coro_type);
  if (!c) return nullptr;
  c->head.waiting = nullptr;
  c->head.state = state;
  c->gate = Py_NewRef(gate);
  c->by_attributes = by_attributes;
  c->body_401 = nullptr;
  c->scope = Py_NewRef(scope);
  c->receive = Py_XNewRef(receive);
  c->send = Py_NewRef(send);
  c->var = c->ctx_token = c->exc = nullptr;
  c->tracking = nullptr;
  PyObject_GC_Track(c);
  return c;
}

PyObject* gate_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 3 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_SetString(PyExc_TypeError, "the gate takes scope, receive and send");
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(new_call_coro(self, false, kStart, args[0], args[1], args[2]));
}

// ---- the same gate as a class built like the package's -----------------------
// `type("ClassGate", (), namespace)` with C methods: instances keep `app`,
// `_api_key` and `_auth_verify_url` in their __dict__, and a request reads them
// and calls `self._extract_token(scope)` and `self._send_401(...)` through the
// instance, so the cost of the class's shape and of looking things up on every
// request is in the figure, and only that.

PyObject* class_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"app", "api_key", "auth_verify_url", nullptr};
  PyObject *app, *api_key = Py_None, *url = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO", const_cast<char**>(names), &app, &api_key, &url))
    return nullptr;
  if (PyObject_SetAttr(self, k.app, app) < 0 || PyObject_SetAttr(self, k.api_key_attr, api_key) < 0 ||
      PyObject_SetAttr(self, k.auth_verify_url, url) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

// C methods bound through a method descriptor: `self` comes first, then the other arguments.
PyObject* class_call(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  if (n != 3) {
    PyErr_SetString(PyExc_TypeError, "the gate takes scope, receive and send");
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(new_call_coro(self, true, kStart, args[0], args[1], args[2]));
}

PyObject* class_extract_token(PyObject*, PyObject* const* args, Py_ssize_t n) {
  if (n != 1) {
    PyErr_SetString(PyExc_TypeError, "_extract_token takes the scope");
    return nullptr;
  }
  return extract_token(args[0]);
}

/// `_send_401(self, scope, send, reason="invalid_api_key")`, a coroutine of the same kind as the gate's.
PyObject* class_send_401(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  bool by_keyword = nkw == 1 && n == 2 && same(PyTuple_GET_ITEM(kwnames, 0), k.kw_reason_name);
  if (!(nkw == 0 && (n == 2 || n == 3)) && !by_keyword) {
    PyErr_SetString(PyExc_TypeError, "_send_401 takes scope, send and reason");
    return nullptr;
  }
  PyObject* reason = n + nkw == 3 ? args[2] : k.invalid_api_key;
  Own body(reason == k.invalid_api_key ? Py_NewRef(k.body_401)
                                       : PyUnicode_FromFormat("%U%U%U", k.body_prefix, reason, k.body_suffix));
  if (body && PyUnicode_Check(body.get())) body.reset(PyUnicode_AsUTF8String(body.get()));
  if (!body) return nullptr;
  CallCoro* c = new_call_coro(self, true, kSend401, args[0], nullptr, args[1]);
  if (c) c->body_401 = body.release();
  return reinterpret_cast<PyObject*>(c);
}

PyMethodDef g_class_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(class_init)), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"__call__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(class_call)), METH_FASTCALL, nullptr},
    {"_extract_token", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(class_extract_token)), METH_FASTCALL,
     nullptr},
    {"_send_401", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(class_send_401)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
};

/// Builds `ClassGate`; its methods are descriptors of `object`'s kind, so any instance binds them.
PyObject* make_class_gate() {
  Own ns(PyDict_New());
  if (!ns || PyDict_SetItemString(ns.get(), "__module__", Own(PyUnicode_FromString("floor_gate")).get()) < 0)
    return nullptr;
  for (PyMethodDef& def : g_class_methods) {
    Own descr(PyDescr_NewMethod(&PyBaseObject_Type, &def));
    if (!descr || PyDict_SetItemString(ns.get(), def.ml_name, descr.get()) < 0) return nullptr;
  }
  return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "ClassGate", ns.get());
}

// ---- type slots -------------------------------------------------------------

int track_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* t = reinterpret_cast<TrackCoro*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(t->head.waiting);
  Py_VISIT(t->owner);
  Py_VISIT(t->message);
  return 0;
}

int track_clear(PyObject* self) {
  auto* t = reinterpret_cast<TrackCoro*>(self);
  Py_CLEAR(t->head.waiting);
  track_finish(t);
  return 0;
}

PyObject* track_close(PyObject* self, PyObject*) {
  auto* t = reinterpret_cast<TrackCoro*>(self);
  close_waiting(&t->head.waiting);
  track_finish(t);
  Py_RETURN_NONE;
}

int call_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* c = reinterpret_cast<CallCoro*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->head.waiting);
  Py_VISIT(c->gate);
  Py_VISIT(c->body_401);
  Py_VISIT(c->scope);
  Py_VISIT(c->receive);
  Py_VISIT(c->send);
  Py_VISIT(c->var);
  Py_VISIT(c->ctx_token);
  Py_VISIT(c->tracking);
  Py_VISIT(c->exc);
  return 0;
}

int call_clear(PyObject* self) {
  call_clear_refs(reinterpret_cast<CallCoro*>(self));
  return 0;
}

PyObject* call_close(PyObject* self, PyObject*) {
  auto* c = reinterpret_cast<CallCoro*>(self);
  close_waiting(&c->head.waiting);
  if (c->head.state == kApp && c->ctx_token) {
    if (PyContextVar_CheckExact(c->var) && PyContextVar_Reset(c->var, c->ctx_token) < 0) PyErr_Clear();
  }
  c->head.state = kDone;
  call_clear_refs(c);
  Py_RETURN_NONE;
}

int tracking_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<TrackingSend*>(self)->send);
  return 0;
}

int tracking_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<TrackingSend*>(self)->send);
  return 0;
}

int gate_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* g = reinterpret_cast<Gate*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(g->app);
  Py_VISIT(g->api_key);
  Py_VISIT(g->auth_verify_url);
  return 0;
}

int gate_clear(PyObject* self) {
  auto* g = reinterpret_cast<Gate*>(self);
  Py_CLEAR(g->app);
  Py_CLEAR(g->api_key);
  Py_CLEAR(g->auth_verify_url);
  return 0;
}

template <int (*Clear)(PyObject*)>
void dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Clear(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"app", "api_key", "auth_verify_url", nullptr};
  PyObject *app, *api_key = Py_None, *url = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO", const_cast<char**>(names), &app, &api_key, &url))
    return nullptr;
  Gate* g = PyObject_GC_New(Gate, type);
  if (!g) return nullptr;
  g->vectorcall = gate_call;
  g->app = Py_NewRef(app);
  g->api_key = Py_NewRef(api_key);
  g->auth_verify_url = Py_NewRef(url);
  PyObject_GC_Track(g);
  return reinterpret_cast<PyObject*>(g);
}

PyMemberDef g_gate_members[] = {
    {"app", Py_T_OBJECT_EX, offsetof(Gate, app), 0, nullptr},
    {"_api_key", Py_T_OBJECT_EX, offsetof(Gate, api_key), 0, nullptr},
    {"_auth_verify_url", Py_T_OBJECT_EX, offsetof(Gate, auth_verify_url), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Gate, vectorcall), Py_READONLY, nullptr},
    {nullptr},
};

PyMemberDef g_tracking_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(TrackingSend, vectorcall), Py_READONLY, nullptr},
    {nullptr},
};

PyMethodDef g_call_methods[] = {
    {"send", coro_send<call_step>, METH_O, nullptr},
    {"close", call_close, METH_NOARGS, nullptr},
    {nullptr},
};

PyMethodDef g_track_methods[] = {
    {"send", coro_send<track_step>, METH_O, nullptr},
    {"close", track_close, METH_NOARGS, nullptr},
    {nullptr},
};

PyType_Slot g_gate_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gate_new)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(gate_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(gate_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<gate_clear>)},
    {Py_tp_members, g_gate_members},
    {0, nullptr},
};

PyType_Slot g_tracking_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(tracking_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tracking_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<tracking_clear>)},
    {Py_tp_members, g_tracking_members},
    {0, nullptr},
};

template <StepFn Step, int (*Traverse)(PyObject*, visitproc, void*), int (*Clear)(PyObject*)>
PyType_Slot g_coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(Step)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext<Step>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Clear>)},
    {Py_tp_methods, Step == call_step ? g_call_methods : g_track_methods},
    {0, nullptr},
};

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;

PyType_Spec g_gate_spec = {"floor_gate.Gate", sizeof(Gate), 0, kFlags | Py_TPFLAGS_HAVE_VECTORCALL, g_gate_slots};
PyType_Spec g_tracking_spec = {"floor_gate.tracking_send", sizeof(TrackingSend), 0,
                               kFlags | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               g_tracking_slots};
PyType_Spec g_call_coro_spec = {"floor_gate.gate_coroutine", sizeof(CallCoro), 0,
                                kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                g_coro_slots<call_step, call_traverse, call_clear>};
PyType_Spec g_track_coro_spec = {"floor_gate.tracking_coroutine", sizeof(TrackCoro), 0,
                                 kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                 g_coro_slots<track_step, track_traverse, track_clear>};

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

int init_constants() {
  k.type = intern("type");
  k.http = intern("http");
  k.query_string = intern("query_string");
  k.headers = intern("headers");
  k.api_key = intern("api_key");
  k.mcp_api_key = intern("mcp_api_key");
  k.mcp_user_id = intern("mcp_user_id");
  k.mcp_user_email = intern("mcp_user_email");
  k.user_id = intern("user_id");
  k.email = intern("email");
  k.more_body = intern("more_body");
  k.response_start = intern("http.response.start");
  k.response_body = intern("http.response.body");
  k.status = intern("status");
  k.body = intern("body");
  k.context_module = intern("strovik.mcp.context");
  k.var_name = intern("mcp_request_ctx");
  k.expected = intern("Expected ASGI message");
  k.status_401 = PyLong_FromLong(401);
  k.content_type = Py_BuildValue("(y y)", "content-type", "application/json");
  k.www_authenticate = Py_BuildValue("(y y)", "www-authenticate", "Bearer realm=\"strovik-mcp\"");
  k.body_401 = PyBytes_FromString(
      "{\"error\":\"Unauthorized\",\"message\":\"Invalid or missing API Key\",\"reason\":\"invalid_api_key\"}");
  k.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
  k.app = intern("app");
  k.api_key_attr = intern("_api_key");
  k.auth_verify_url = intern("_auth_verify_url");
  k.extract_token = intern("_extract_token");
  k.send_401 = intern("_send_401");
  k.invalid_api_key = intern("invalid_api_key");
  k.kw_reason_name = intern("reason");
  k.kw_reason = PyTuple_Pack(1, k.kw_reason_name);
  k.body_prefix = intern("{\"error\":\"Unauthorized\",\"message\":\"Invalid or missing API Key\",\"reason\":\"");
  k.body_suffix = intern("\"}");
  return PyErr_Occurred() ? -1 : 0;
}

int floor_exec(PyObject* module) {
  if (init_constants() < 0) return -1;
  auto make = [&](PyType_Spec* spec, PyTypeObject** slot, bool public_name) {
    *slot = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
    if (!*slot) return -1;
    return public_name ? PyModule_AddObjectRef(module, "Gate", reinterpret_cast<PyObject*>(*slot)) : 0;
  };
  if (make(&g_gate_spec, &g_gate_type, true) < 0 || make(&g_tracking_spec, &g_tracking_type, false) < 0 ||
      make(&g_call_coro_spec, &g_call_coro_type, false) < 0 || make(&g_track_coro_spec, &g_track_coro_type, false) < 0)
    return -1;
  Own class_gate(make_class_gate());
  return class_gate ? PyModule_AddObjectRef(module, "ClassGate", class_gate.get()) : -1;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(floor_exec)}, {0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT,
                        "floor_gate",
                        "A minimal API-key gate: the benchmark's floor.",
                        0,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr};

} // namespace

PyMODINIT_FUNC PyInit_floor_gate() {
  g_module.m_slots = g_slots;
  return PyModuleDef_Init(&g_module);
}
