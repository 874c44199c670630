// Shared declarations of the guardlet module: its state, its constants and
// the method definitions that the class bodies are built from.
#pragma once

#include "module_frame/fast_paths/per_call_import.hpp"
#include "module_frame/fast_paths/standard.hpp"
#include "module_frame/runtime/coroutine.hpp"
#include "module_frame/runtime/module.hpp"
#include "module_frame/runtime/ops.hpp"

namespace guardlet {

/// Interned names, literal strings, bytes and small ints; created at load, never freed.
struct Constants {
  // names
  PyObject *app, *_api_key, *_auth_verify_url, *_extract_token, *_verify_remote, *_send_401, *_logger;
  PyObject *info, *warning, *get, *decode, *lower, *strip, *type, *reason, *set, *reset, *json, *status_code;
  PyObject *valid, *user_id, *email, *api_key, *params, *headers, *timeout, *AsyncClient, *__aenter__, *__aexit__;
  PyObject *urllib, *parse, *parse_qs, *logging, *getLogger, *mcp_request_ctx, *errors, *more_body, *body;
  PyObject *token, *client_id, *scopes, *httpx, *status;
  // strings
  PyObject *query_string, *http, *utf_8, *replace, *invalid_api_key, *mcp_api_key, *mcp_user_id, *mcp_user_email;
  PyObject *user_id_key, *email_key, *api_key_key, *X_MCP_API_Key, *http_response_start, *http_response_body;
  PyObject *expected_asgi_message, *strovik_mcp, *AccessToken, *default_, *strovik_mcp_scope;
  PyObject *log_remote_mode, *log_fixed_mode, *log_no_auth, *log_remote_failed;
  PyObject *body_prefix, *body_suffix;
  // bytes and ints
  PyObject *empty_bytes, *authorization, *int_10, *int_200, *int_401;
  // tuples made after registration
  PyObject *context_module, *context_fromlist, *content_type_pair, *www_authenticate_pair, *kw_reason, *kw_errors,
      *kw_verify;
};
extern Constants k;

extern frame::MethodDef init_def, extract_token_def, call_def, tracking_send_def, verify_remote_def, send_401_def;
extern frame::MethodDef provider_init_def, verify_token_def;

/// Builds the module constants (interned names and literals).
void make_constants();
void make_late_constants();

/// Constant-time equality of two str objects; falls back to `==` for anything else.
bool secret_equal(frame::Borrowed a, frame::Borrowed b);

/// `text` with every form of `api_key` (as it is, in reprs, percent-encoded)
/// replaced by "***"; a null Ref when the text holds none.
frame::Ref redact_key_forms(frame::Borrowed text, frame::Borrowed api_key);

/// While alive, records of the HTTP client's loggers that show `api_key` in
/// any form are masked (in this context only). Installs the filters once.
class KeyInLogContext {
public:
  explicit KeyInLogContext(frame::Borrowed api_key);
  ~KeyInLogContext();
  KeyInLogContext(const KeyInLogContext&) = delete;
  KeyInLogContext& operator=(const KeyInLogContext&) = delete;

private:
  frame::Ref token_;
};

/// `urllib.parse.parse_qs` looked up per request as the body does, kept
/// while it is the standard function: dict watchers on every dict the lookup
/// read (this module's globals, builtins, the two modules' dicts) drop it at
/// their first change. What no dict shows is checked on each use: both
/// modules still plain modules (a module subclass may answer attributes
/// itself) and the function still the standard one.
class ParseQsLookup {
public:
  /// The function found now, and whether it is the standard one unchanged.
  frame::Ref find(bool& standard);

private:
  void keep(frame::Borrowed urllib, frame::Borrowed parse, frame::Borrowed parse_qs) noexcept;

  frame::Kept urllib_, parse_, parse_qs_;
  frame::WatchedAnswer kept_;
};

/// The key forms last made, with the key they were made from. A verification
/// filters several records with one key, and a returning client sends the
/// same key again: the forms are reused while the key is that one (or an
/// equal str) and quote and quote_plus are still the standard functions.
/// Dict watchers on the functions' globals (which hold whatever they call)
/// and on builtins drop them at the first change.
struct KeyForms {
  frame::Kept key, forms;
  frame::WatchedAnswer kept;
};

/// The module's state: the frame's, and the caches of the module's fast paths.
struct State : frame::ModuleState {
  /// The `urllib.parse` functions the fast paths stand in for, as found at load.
  frame::StandardFunction parse_qs, quote, quote_plus;
  ParseQsLookup parse_qs_lookup;
  KeyForms last_key_forms;
  /// The request context variable, imported per request as the gate is defined to.
  frame::PerCallImport context_import{k.context_module, k.context_fromlist, k.mcp_request_ctx};
  /// A tracking_send of a finished request that nothing else refers to, kept for the next one.
  frame::Kept spare_tracking_send;
  /// The context variable holding the key being verified, for the HTTP client's log filter.
  PyObject* verifying_key = nullptr;
};

extern State state;

} // namespace guardlet
