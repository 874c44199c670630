// RufusReplayService.build_payload: the body of a request for a new question,
// rebuilt from the captured seed body; and _upsert_asin_metadata, which puts
// the target ASIN into one metadata list of the page context.
//
// Keys the seed already has keep their places, because the page serialises
// the payload in insertion order; keys that are added are appended in the
// order of the steps below.
#include "amazon_rufus/services/replay.hpp"

using namespace frame;

namespace replay {
namespace {

/// The context object under `key`: `payload.setdefault(key, {})`, and a value
/// that is not a dict is replaced by a new empty one under the same key, so
/// the key keeps its place.
Ref context_object(Borrowed payload, PyObject* key) {
  Ref value;
  if (PyDict_CheckExact(payload.get())) {
    PyObject* v = PyDict_GetItemWithError(payload.get(), key);
    if (!v) {
      if (PyErr_Occurred()) throw_error();
      Ref fresh = new_dict();
      dict_set(payload, key, fresh);
      return fresh;
    }
    value = Ref::borrow(v);
  } else {
    Ref fresh = new_dict();
    value = call_method(payload, k.setdefault, key, fresh);
  }
  if (PyDict_Check(value.get())) return value;
  Ref fresh = new_dict();
  setitem(payload, key, fresh);
  return fresh;
}

/// Whether an ASCII character is one that str.strip() removes.
bool ascii_space(Py_UCS1 c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }

/// `(asin or "").strip().upper()`.
Ref normalize_asin(Borrowed asin) {
  if (asin.is_none() || PyUnicode_GET_LENGTH(asin.get()) == 0) return Ref::borrow(k.empty_str);
  PyObject* s = asin.get();
  if (!PyUnicode_IS_ASCII(s)) return call_method(call_method(asin, k.strip), k.upper);
  const Py_UCS1* data = PyUnicode_1BYTE_DATA(s);
  Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(s);
  while (begin < end && ascii_space(data[begin])) ++begin;
  while (end > begin && ascii_space(data[end - 1])) --end;
  if (begin == end) return Ref::borrow(k.empty_str);
  Ref out = check(PyUnicode_New(end - begin, 127));
  Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
  for (Py_ssize_t i = begin; i < end; ++i) {
    Py_UCS1 c = data[i];
    dst[i - begin] = (c >= 'a' && c <= 'z') ? static_cast<Py_UCS1>(c - 'a' + 'A') : c;
  }
  return out;
}

/// Decodes the seed text with the module's `json.loads`, looked up now.
Ref decode_seed(Borrowed text) {
  Ref json = state.global(k.json);
  Ref loads = getattr(json, k.loads);
  if (Ref fast = decode_standard_json(loads, text)) return fast;
  return call(loads, text);
}

/// Makes `exc.__context__` point at `context`, cutting a cycle as `raise` does.
void set_context(Borrowed exc, Borrowed context) {
  if (exc.is(context)) return;
  // Walk the new context's own chain; if `exc` is on it, cut the link there.
  Ref o = Ref::borrow(context);
  for (int guard = 0; o && guard < 1000; ++guard) {
    Ref next = Ref::steal(PyException_GetContext(o.get()));
    if (next.is(exc)) {
      PyException_SetContext(o.get(), nullptr);
      break;
    }
    o = std::move(next);
  }
  PyException_SetContext(exc.get(), Py_NewRef(context.get()));
}

/// Sets the context of the exception now being raised to `handled`, as an
/// exception raised inside an `except` block gets it.
void chain_to(const SavedError& handled) noexcept {
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  if (!raised) return;
  try {
    set_context(raised, handled.value());
  } catch (...) {
  }
  PyErr_Clear();
  PyErr_SetRaisedException(raised.release());
}

/// `except json.JSONDecodeError` applied to `err`: the class is looked up now.
bool is_decode_error(const SavedError& err) {
  Ref cls = getattr(state.global(k.json), k.JSONDecodeError);
  PyObject* c = cls.get();
  bool valid = PyExceptionClass_Check(c);
  if (PyTuple_Check(c)) {
    valid = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c); ++i)
      valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(c, i));
  }
  if (!valid) raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
  return PyErr_GivenExceptionMatches(err.value().get(), c);
}

/// `raise RufusReplayError("seed request body 不是合法 JSON") from err`.
[[noreturn]] void raise_not_json(const SavedError& err) {
  Ref cls = state.global(k.RufusReplayError);
  Ref exc = call(cls, k.not_json_message);
  if (PyExceptionClass_Check(exc.get())) {
    Ref made = call(exc);
    if (!PyExceptionInstance_Check(made.get()))
      raise(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", exc.get(),
            Py_TYPE(made.get()));
    exc = std::move(made);
  } else if (!PyExceptionInstance_Check(exc.get())) {
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  PyException_SetCause(exc.get(), Py_NewRef(err.value().get()));
  set_context(exc, err.value());
  PyErr_SetRaisedException(exc.release());
  throw_error();
}

/// json.loads on the seed text; invalid JSON becomes RufusReplayError chained from the decode error.
Ref load_payload(Borrowed seed_body) {
  Borrowed text = PyUnicode_GET_LENGTH(seed_body.get()) ? seed_body : Borrowed(k.empty_object);
  int line = 0;
  try {
    return decode_seed(text);
  } catch (const PyErrOccurred& e) {
    line = e.line;
  }
  SavedError exc = SavedError::fetch();
  bool matched = false;
  try {
    matched = is_decode_error(exc);
  } catch (const PyErrOccurred&) {
    chain_to(exc);
    throw;
  }
  if (!matched) {
    exc.restore();
    throw PyErrOccurred{line};
  }
  try {
    raise_not_json(exc);
  } catch (const PyErrOccurred&) {
    chain_to(exc);
    throw;
  }
}

Ref build_payload_body(const Call& c) {
  Borrowed self = c.args[0], seed_body = c.args[1], question = c.args[2], thread_id = c.args[3], asin = c.args[4];
  Ref payload = load_payload(seed_body);
  if (!PyDict_Check(payload.get())) payload = new_dict();

  Ref query_context = context_object(payload, k.queryContext);
  setitem(query_context, k.query, question);
  setitem(query_context, k.actionType, k.SEARCH);
  setitem(query_context, k.qis, k.NileCLTextInput);

  Ref page_context = context_object(payload, k.pageContext);
  setitem(page_context, k.originPageType, k.DETAIL_PAGE);

  Ref normalized_asin = normalize_asin(asin);
  if (PyUnicode_GET_LENGTH(normalized_asin.get()) > 0) {
    call_method(self, k._upsert_asin_metadata, page_context, k.targetPageMetadata, normalized_asin);
    call_method(self, k._upsert_asin_metadata, page_context, k.originPageMetadata, normalized_asin);
  }

  Ref bottom_sheet_context = context_object(payload, k.bottomSheetContext);
  setitem(bottom_sheet_context, k.previousTurnsBottomSheetSize, k.expanded);

  Ref impressions_context = context_object(payload, k.impressionsContext);
  setitem(impressions_context, k.FIRST_TIME_USER_MESSAGE_SEEN_STATUS, k.SEEN);

  if (!thread_id.is_none() && PyUnicode_GET_LENGTH(thread_id.get()) > 0) {
    // A seed thread object that is not a dict counts as an empty one.
    Ref history_context = mapping_get(payload, k.historyThreadContext);
    Ref thread_state = PyDict_Check(history_context.get()) ? mapping_get(history_context, k.threadState) : none();
    if (!truthy(thread_state)) thread_state = Ref::borrow(k.THREAD_STATE_UNKNOWN);
    Ref thread = new_dict();
    dict_set(thread, k.threadId, thread_id);
    dict_set(thread, k.threadState, thread_state);
    setitem(payload, k.historyThreadContext, thread);
  }
  return payload;
}

/// Updates `item` when it is the ASIN entry; reports whether it was.
bool update_asin_entry(Borrowed item, Borrowed asin) {
  if (!PyDict_Check(item.get())) return false;
  Ref type = mapping_get(item, k.type);
  if (!equal(type, k.ASIN)) return false;
  setitem(item, k.value, asin);
  return true;
}

Ref upsert_asin_metadata_body(const Call& c) {
  Borrowed page_context = c.args[1], key = c.args[2], asin = c.args[3];
  Ref metadata;
  if (PyObject* v = PyDict_GetItemWithError(page_context.get(), key.get())) metadata = Ref::borrow(v);
  else if (PyErr_Occurred()) throw_error();
  if (!metadata || !PyList_Check(metadata.get())) {
    metadata = new_list();
    dict_set(page_context, key, metadata);
  }

  if (PyList_CheckExact(metadata.get())) {
    // As a list iterator does: the length is read again before every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(metadata.get()); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(metadata.get(), i));
      if (update_asin_entry(item, asin)) return none();
    }
  } else {
    Ref it = check(PyObject_GetIter(metadata.get()));
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
      if (update_asin_entry(item, asin)) return none();
    if (PyErr_Occurred()) throw_error();
  }

  Ref entry = new_dict();
  dict_set(entry, k.type, k.ASIN);
  dict_set(entry, k.value, asin);
  if (PyList_CheckExact(metadata.get())) list_append(metadata, entry);
  else call_method(metadata, k.append, entry);
  return none();
}

const Param kPayloadParams[] = {
    {"self"},
    {"seed_body", "str", Check::Str},
    {"question", "str", Check::Str},
    {"thread_id", "str | None", Check::StrOrNone, Default::None},
    {"asin", "str | None", Check::StrOrNone, Default::None},
};
const char* const kPayloadLocals[] = {"payload",
                                      "exc",
                                      "query_context",
                                      "page_context",
                                      "normalized_asin",
                                      "bottom_sheet_context",
                                      "impressions_context",
                                      "history_context"};

const Param kUpsertParams[] = {
    {"self"},
    {"page_context", "dict", Check::Dict},
    {"key", "str", Check::Str},
    {"asin", "str", Check::Str},
};
const char* const kUpsertLocals[] = {"metadata", "item"};

} // namespace

MethodDef build_payload_def{
    .name = "build_payload",
    .qualname = "RufusReplayService.build_payload",
    .module = &state,
    .params = kPayloadParams,
    .doc = "基于 seed body 复刻扩展端 Rufus 请求上下文。",
    .return_annotation = "dict",
    .first_line = __LINE__,
    .locals = kPayloadLocals,
    .plain = build_payload_body,
};

MethodDef upsert_asin_metadata_def{
    .name = "_upsert_asin_metadata",
    .qualname = "RufusReplayService._upsert_asin_metadata",
    .module = &state,
    .params = kUpsertParams,
    .doc = "确保页面 metadata 中存在目标 ASIN。",
    .return_annotation = "None",
    .first_line = __LINE__,
    .locals = kUpsertLocals,
    .plain = upsert_asin_metadata_body,
};

} // namespace replay
