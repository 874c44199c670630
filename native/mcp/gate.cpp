// ApiKeyGuardlet.__call__: the ASGI entry point. Non-HTTP connections pass
// through; an HTTP request is admitted with an acceptable key (published in
// the scope and the request context variable) or answered with 401.
#include "mcp/guardlet.hpp"

using namespace frame;

namespace guardlet {
namespace {

// Closure cells of tracking_send.
enum Cell { kSend, kResponseStarted, kResponseComplete };

Borrowed cell(Borrowed closure, Cell which) { return PyTuple_GET_ITEM(closure.get(), which); }

void set_flag(Borrowed closure, Cell which) { check_status(PyCell_Set(cell(closure, which).get(), Py_True)); }

bool flag(Borrowed closure, Cell which) { return PyCell_GET(cell(closure, which).get()) == Py_True; }

/// Watches the response's progress, then forwards the message to the raw send.
Task tracking_send_body(Call c) {
  Borrowed message = c.args[0];
  Ref type = item_of(message, k.type);
  if (equal(type, k.http_response_start)) {
    set_flag(c.closure, kResponseStarted);
  } else if (equal(type, k.http_response_body)) {
    Ref more = mapping_get(message, k.more_body, Py_False);
    if (!truthy(more)) set_flag(c.closure, kResponseComplete);
  }
  Ref send = Ref::borrow(PyCell_GET(cell(c.closure, kSend).get()));
  co_await awaiting(call(send, message.get()));
  co_return none();
}

Ref send_401(Borrowed self, Borrowed scope, Borrowed send) {
  return call_method_kw(self, k._send_401, k.kw_reason, scope, send, k.invalid_api_key);
}

/// `var.set(value)`; a ContextVar (whose methods cannot be replaced) is set through the C API.
Ref context_set(Borrowed var, Borrowed value) {
  if (PyContextVar_CheckExact(var.get())) return check(PyContextVar_Set(var.get(), value.get()));
  return call_method(var, k.set, value);
}

/// `var.reset(token)`, likewise.
void context_reset(Borrowed var, Borrowed token) {
  if (PyContextVar_CheckExact(var.get())) check_status(PyContextVar_Reset(var.get(), token.get()));
  else call_method(var, k.reset, token);
}

/// The per-request tracking_send: a closure whose cells hold the raw send and the two progress flags.
Ref make_tracking_send(Borrowed send) {
  if (Ref fn = state.spare_tracking_send.take()) {
    check_status(PyCell_Set(cell(function_closure(fn), kSend).get(), send.get()));
    return fn;
  }
  Ref cells[3] = {check(PyCell_New(send.get())), check(PyCell_New(Py_False)), check(PyCell_New(Py_False))};
  Ref closure = check(PyTuple_Pack(3, cells[0].get(), cells[1].get(), cells[2].get()));
  return make_function(tracking_send_def, closure);
}

/// Keeps a finished request's tracking_send for the next request when the
/// gate holds the only reference to it, to its closure and to each cell, and
/// nothing was assigned on it (no tracking_send, closure or cell of it
/// outlives the request), so that reuse cannot be seen.
void recycle_tracking_send(Ref fn) noexcept {
  if (state.spare_tracking_send || Py_REFCNT(fn.get()) != 1 || !function_as_made(fn)) return;
  Borrowed closure = function_closure(fn);
  if (Py_REFCNT(closure.get()) != 1) return;
  for (Cell which : {kSend, kResponseStarted, kResponseComplete})
    if (Py_REFCNT(cell(closure, which).get()) != 1) return;
  if (PyCell_Set(cell(closure, kSend).get(), Py_None) < 0 ||
      PyCell_Set(cell(closure, kResponseStarted).get(), Py_False) < 0 ||
      PyCell_Set(cell(closure, kResponseComplete).get(), Py_False) < 0) {
    PyErr_Clear();
    return;
  }
  state.spare_tracking_send = std::move(fn);
}

Ref request_context(Borrowed scope, Borrowed token) {
  Ref ctx = new_dict();
  dict_set(ctx, k.api_key, token);
  dict_set(ctx, k.user_id, mapping_get(scope, k.mcp_user_id, Py_None));
  dict_set(ctx, k.email, mapping_get(scope, k.mcp_user_email, Py_None));
  return ctx;
}

bool is_asgi_message_error(const SavedError& err) {
  if (!err.matches(PyExc_RuntimeError)) return false;
  Ref text = str_of(err.value());
  return check_status(PySequence_Contains(text.get(), k.expected_asgi_message));
}

Task call_body(Call c) {
  Borrowed self = c.args[0], scope = c.args[1], receive = c.args[2], send = c.args[3];

  if (!equal(item_of(scope, k.type), k.http)) {
    co_await awaiting(call(getattr(self, k.app), scope.get(), receive.get(), send.get()));
    co_return none();
  }

  Ref token = call_method(self, k._extract_token, scope.get());
  if (truthy(getattr(self, k._auth_verify_url))) {
    Ref user_info = co_await awaiting(call_method(self, k._verify_remote, token.get()));
    if (!truthy(user_info)) {
      co_await awaiting(send_401(self, scope, send));
      co_return none();
    }
    setitem(scope, k.mcp_api_key, token);
    setitem(scope, k.mcp_user_id, mapping_get(user_info, k.user_id));
    setitem(scope, k.mcp_user_email, mapping_get(user_info, k.email));
  } else {
    Ref api_key = getattr(self, k._api_key);
    if (!truthy(api_key) || !secret_equal(token, api_key)) {
      co_await awaiting(send_401(self, scope, send));
      co_return none();
    }
    setitem(scope, k.mcp_api_key, token);
  }

  Ref mcp_request_ctx = state.context_import.get(state);
  Ref ctx_token = context_set(mcp_request_ctx, request_context(scope, token));
  Ref tracking_send = make_tracking_send(send);
  Borrowed closure = function_closure(tracking_send);

  SavedError exc;
  try {
    co_await awaiting(call(getattr(self, k.app), scope.get(), receive.get(), tracking_send.get()));
  } catch (const PyErrOccurred&) {
    exc = SavedError::fetch();
  }
  if (exc && exc.matches(PyExc_RuntimeError)) {
    // An application that stops on an ASGI message error ends the request quietly.
    bool swallow = false;
    try {
      swallow = is_asgi_message_error(exc);
    } catch (const PyErrOccurred&) {
      SavedError raised = SavedError::fetch();
      PyException_SetContext(raised.value().get(), Py_NewRef(exc.value().get()));
      exc = std::move(raised);
    }
    if (swallow) exc = SavedError();
  }

  // The final block: reset the context, close a response left open.
  try {
    context_reset(mcp_request_ctx, ctx_token);
  } catch (const PyErrOccurred&) {
    SavedError raised = SavedError::fetch();
    if (exc) PyException_SetContext(raised.value().get(), Py_NewRef(exc.value().get()));
    raised.rethrow();
  }
  if (flag(closure, kResponseStarted) && !flag(closure, kResponseComplete)) {
    try {
      Ref closing = new_dict();
      dict_set(closing, k.type, k.http_response_body);
      dict_set(closing, k.body, k.empty_bytes);
      dict_set(closing, k.more_body, Py_False);
      co_await awaiting(call(send, closing.get()));
    } catch (const PyErrOccurred&) {
      PyErr_Clear(); // whatever the raw send raises here is dropped
    }
  }
  recycle_tracking_send(std::move(tracking_send));
  if (exc) exc.rethrow();
  co_return none();
}

const Param kCallParams[] = {{"self"}, {"scope", "Scope"}, {"receive", "Receive"}, {"send", "Send"}};
const char* const kCallLocals[] = {
    "token",         "user_info", "mcp_request_ctx", "ctx_token", "response_started", "response_complete",
    "tracking_send", "exc"};
const Param kTrackingParams[] = {{"message", "Any"}};

} // namespace

MethodDef call_def{
    .name = "__call__",
    .qualname = "ApiKeyGuardlet.__call__",
    .module = &state,
    .params = kCallParams,
    .return_annotation = "None",
    .first_line = __LINE__,
    .locals = kCallLocals,
    .coro = call_body,
};

MethodDef tracking_send_def{
    .name = "tracking_send",
    .qualname = "ApiKeyGuardlet.__call__.<locals>.tracking_send",
    .module = &state,
    .params = kTrackingParams,
    .return_annotation = "None",
    .first_line = __LINE__,
    .coro = tracking_send_body,
};

} // namespace guardlet
