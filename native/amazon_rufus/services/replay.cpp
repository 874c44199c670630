// The replay module: RufusReplayService rebuilds a captured Rufus request for
// each question and replays it inside a browser page.
// This file holds the module's definition, constants and load-time body; the
// method bodies live beside it, one concern per file.
#include "amazon_rufus/services/replay.hpp"

using namespace frame;

namespace replay {

Constants k;

namespace {

constexpr const char kModuleDoc[] = "Rufus 请求重放服务。";
constexpr const char kServiceDoc[] = "基于 seed request 逐题重放 Rufus。";

// Runs in the page: posts the body, serialised in insertion order, and
// resolves to the whole response text whatever the status.
constexpr const char kPageScript[] =
    "\n"
    "                async ({ url, body, headers }) => {\n"
    "                  const response = await fetch(url, {\n"
    "                    method: 'POST',\n"
    "                    headers,\n"
    "                    body: JSON.stringify(body)\n"
    "                  });\n"
    "                  return await response.text();\n"
    "                }\n"
    "                ";
static_assert(sizeof(kPageScript) - 1 == 323, "the page script is a fixed text");

PyObject* str_constant(const char* s) { return constant(check(PyUnicode_FromString(s))); }

/// `from <dotted> import <names...>`, each name bound as a module global in order.
template <class... Names>
void import_names(ModuleState& st, Where w, const char* dotted, const Names&... names) {
  Ref mod = st.import_module_for_from(dotted, {ptr(names)...}, w);
  (st.set_global(names, ModuleState::from_module(mod, dotted, names, w), w), ...);
}

void module_body(ModuleState& st) {
  st.set_global(k.json, st.import("json"));
  remember_standard_json(st.global(k.json));
  import_names(st, Where::current(), "urllib.parse", k.parse_qsl, k.urlencode, k.urlsplit, k.urlunsplit);
  remember_standard_urllib(st.global(k.parse_qsl), st.global(k.urlencode));
  import_names(st, Where::current(), "strovik.amazon_rufus.domain.exceptions", k.RufusReplayError);
  import_names(st, Where::current(), "strovik.amazon_rufus.domain.models", intern("AnswerData"),
               intern("SeedRequestRecord"));
  import_names(st, Where::current(), "strovik.amazon_rufus.services.parser", k.RufusParserService);
  {
    Ref ns = st.class_namespace("RufusReplayService", kServiceDoc);
    // The allow-list is a class attribute, bound before any method.
    Ref allowlist = check(PySet_New(nullptr));
    for (PyObject* name : {k.anti_csrftoken_a2z, k.content_type, k.x_amz_is_papyrus})
      check_status(PySet_Add(allowlist.get(), name));
    dict_set(ns, k.REPLAY_HEADER_ALLOWLIST, allowlist);
    st.add_method(ns, init_def);
    st.add_method(ns, build_payload_def);
    st.add_method(ns, build_replay_url_def);
    st.add_method(ns, replay_def);
    st.add_method(ns, replay_with_page_def);
    st.add_method(ns, build_replay_headers_def);
    st.add_method(ns, upsert_asin_metadata_def);
    st.make_class("RufusReplayService", ns);
  }
  st.set_global(intern("__test__"), new_dict());
}

} // namespace

void make_constants() {
  // The names, several to a line.
  // clang-format off
  if (k.json) return;
#define NAME(n) k.n = interned(#n)
  NAME(json); NAME(loads); NAME(JSONDecodeError); NAME(RufusReplayError); NAME(RufusParserService);
  NAME(urlsplit); NAME(parse_qsl); NAME(urlencode); NAME(urlunsplit);
  NAME(scheme); NAME(netloc); NAME(path); NAME(query); NAME(fragment);
  NAME(setdefault); NAME(append); NAME(lower); NAME(strip); NAME(upper); NAME(REPLAY_HEADER_ALLOWLIST);
  NAME(_upsert_asin_metadata); NAME(_build_replay_headers); NAME(build_replay_url); NAME(build_payload);
  NAME(request_headers); NAME(request_url); NAME(request_body); NAME(tab_id); NAME(asin); NAME(parser);
  NAME(parse); NAME(evaluate); NAME(thread_id); NAME(partial_answers);
  NAME(queryContext); NAME(pageContext); NAME(bottomSheetContext); NAME(impressionsContext);
  NAME(historyThreadContext); NAME(actionType); NAME(qis); NAME(originPageType); NAME(targetPageMetadata);
  NAME(originPageMetadata); NAME(previousTurnsBottomSheetSize); NAME(FIRST_TIME_USER_MESSAGE_SEEN_STATUS);
  NAME(threadId); NAME(threadState); NAME(type); NAME(value); NAME(SEARCH); NAME(NileCLTextInput);
  NAME(DETAIL_PAGE); NAME(expanded); NAME(SEEN); NAME(THREAD_STATE_UNKNOWN); NAME(ASIN);
  NAME(tabId); NAME(programId); NAME(ref); NAME(url); NAME(body); NAME(headers);
#undef NAME
  // clang-format on
  k.empty_object = interned("{}");
  k.empty_str = interned("");
  k.not_json_message = str_constant("seed request body 不是合法 JSON");
  k.program_id_value = interned("NILE_CLASSIC:desktop-cl");
  k.ref_value = interned("nl_cl_dsk_csq");
  k.kw_keep_blank_values = constant(check(PyTuple_Pack(1, interned("keep_blank_values"))));
  k.content_type = interned("content-type");
  k.application_json = interned("application/json");
  k.anti_csrftoken_a2z = interned("anti-csrftoken-a2z");
  k.x_amz_is_papyrus = interned("x-amz-is-papyrus");
  k.page_script = str_constant(kPageScript);
}

State state{{
    .def = make_def("replay", kModuleDoc),
    .short_name = "replay",
    .full_name = "strovik.amazon_rufus.services.replay",
    .source_path = "native/amazon_rufus/services/replay.cpp",
    .constants = make_constants,
    .late_constants = nullptr,
    .body = module_body,
    .uses_coroutines = false,
}};

} // namespace replay

PyMODINIT_FUNC PyInit_replay() { return frame::init_module(replay::state); }
