// Shared declarations of the guardlet module: its state, its constants and
// the method definitions that the class bodies are built from.
#pragma once

#include "module_frame/runtime/coroutine.hpp"
#include "module_frame/runtime/module.hpp"
#include "module_frame/runtime/ops.hpp"

namespace guardlet {

extern frame::ModuleState state;

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

/// Remembers `urllib.parse.parse_qs` as found at load, for the native reading
/// of the key from the query.
void remember_standard_parse_qs(frame::Borrowed parse_qs) noexcept;

} // namespace guardlet
