// Shared declarations of the replay module: its state, its constants and the
// method definitions that the RufusReplayService class body is built from.
#pragma once

#include "module_frame/fast_paths/standard.hpp"
#include "module_frame/runtime/module.hpp"
#include "module_frame/runtime/ops.hpp"

namespace replay {

/// Interned names and literal strings; created at load, never freed.
struct Constants {
  // module globals and attributes looked up by the bodies
  PyObject *json, *loads, *JSONDecodeError, *RufusReplayError, *RufusParserService;
  PyObject *urlsplit, *parse_qsl, *urlencode, *urlunsplit;
  PyObject *scheme, *netloc, *path, *query, *fragment;
  PyObject *setdefault, *append, *lower, *strip, *upper, *REPLAY_HEADER_ALLOWLIST;
  PyObject *_upsert_asin_metadata, *_build_replay_headers, *build_replay_url, *build_payload;
  PyObject *request_headers, *request_url, *request_body, *tab_id, *asin, *parser, *parse, *evaluate;
  PyObject *thread_id, *partial_answers;
  // payload keys and values
  PyObject *queryContext, *pageContext, *bottomSheetContext, *impressionsContext, *historyThreadContext;
  PyObject *actionType, *qis, *originPageType, *targetPageMetadata, *originPageMetadata;
  PyObject *previousTurnsBottomSheetSize, *FIRST_TIME_USER_MESSAGE_SEEN_STATUS, *threadId, *threadState;
  PyObject *type, *value, *SEARCH, *NileCLTextInput, *DETAIL_PAGE, *expanded, *SEEN, *THREAD_STATE_UNKNOWN;
  PyObject *ASIN, *empty_object, *empty_str, *not_json_message;
  // URL parameters
  PyObject *tabId, *programId, *ref, *program_id_value, *ref_value, *kw_keep_blank_values;
  // headers
  PyObject *content_type, *application_json, *anti_csrftoken_a2z, *x_amz_is_papyrus;
  // the page script's argument object and the script itself
  PyObject *url, *body, *headers, *page_script;
};
extern Constants k;

/// The standard JSON decoder as found at load, for build_payload's native
/// reading: `loads` remembers nothing when it could not be confirmed.
struct StandardJson {
  frame::StandardFunction loads; // with its global _default_decoder
  frame::Kept decoder;
  frame::Kept decoder_type;
  frame::Kept scanner;
  frame::Kept decode; // JSONDecoder.decode and .raw_decode as defined by the class
  frame::Kept raw_decode;
  frame::Kept name_default_decoder, name_scan_once, name_decode, name_raw_decode;
};

/// The module's state: the frame's, and the guards of the module's fast paths.
struct State : frame::ModuleState {
  /// The `urllib.parse` functions build_replay_url's native readings stand in for, as found at load.
  frame::StandardFunction parse_qsl, urlencode;
  StandardJson json;
};

extern State state;

extern frame::MethodDef init_def, build_payload_def, build_replay_url_def, replay_def, replay_with_page_def;
extern frame::MethodDef build_replay_headers_def, upsert_asin_metadata_def;

/// Builds the module constants (interned names and literals).
void make_constants();

/// Remembers the standard library's JSON decoder, as bound at load, so that
/// build_payload can tell whether `json.loads` is still that function.
void remember_standard_json(frame::Borrowed json_module) noexcept;

/// `json.loads(text)` when `loads` is the standard function with its default
/// decoder: the decoded value, or a null Ref (and no error set) when the text
/// is left to `json.loads` itself (invalid JSON, NaN and Infinity, very long
/// integers, deep nesting, or a replaced decoder).
frame::Ref decode_standard_json(frame::Borrowed loads, frame::Borrowed text);

/// Remembers the standard `parse_qsl` and `urlencode`, as bound at load, so
/// that build_replay_url can tell whether the module globals are still those.
void remember_standard_urllib(frame::Borrowed parse_qsl, frame::Borrowed urlencode) noexcept;

/// `dict(parse_qsl(query, keep_blank_values=True))` while `parse_qsl` is the
/// standard function and `query` a str; otherwise a null Ref (no error set).
frame::Ref query_dict_if_standard(frame::Borrowed parse_qsl, frame::Borrowed query);

/// `urlencode(query)` while `urlencode` is the standard function and `query`
/// a dict of str keys and str or int values; otherwise a null Ref (no error set).
frame::Ref encoded_if_standard(frame::Borrowed urlencode, frame::Borrowed query);

} // namespace replay
