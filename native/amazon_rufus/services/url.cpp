// RufusReplayService.build_replay_url: the seed request's URL with its query
// re-encoded and completed by the tab id and the two fixed parameters of the
// extension's Rufus client. Scheme, host, path and fragment are kept.
//
// The URL functions are the module globals bound from urllib.parse at load,
// looked up at every call; while parse_qsl and urlencode are still the
// library's, their work is done natively with the same result.
#include "amazon_rufus/services/replay.hpp"

using namespace frame;

namespace replay {
namespace {

/// `query.setdefault(name, value)` on a plain dict.
void set_default(Borrowed query, PyObject* name, PyObject* value) {
  if (!PyDict_SetDefault(query.get(), name, value)) throw_error();
}

Ref build_replay_url_body(const Call& c) {
  Borrowed seed = c.args[1];
  Ref urlsplit = state.global(k.urlsplit);
  Ref parts = call(urlsplit, getattr(seed, k.request_url));

  Ref parse_qsl = state.global(k.parse_qsl);
  Ref query_text = getattr(parts, k.query);
  Ref query = query_dict_if_standard(parse_qsl, query_text);
  if (!query) {
    Ref query_pairs = call_kw(parse_qsl, k.kw_keep_blank_values, query_text, Py_True);
    // dict(pairs): a repeated name keeps its first place and its last value.
    query = call(reinterpret_cast<PyObject*>(&PyDict_Type), query_pairs);
  }

  if (truthy(getattr(seed, k.tab_id))) dict_set(query, k.tabId, getattr(seed, k.tab_id));
  set_default(query, k.programId, k.program_id_value);
  set_default(query, k.ref, k.ref_value);

  Ref urlunsplit = state.global(k.urlunsplit);
  Ref scheme = getattr(parts, k.scheme);
  Ref netloc = getattr(parts, k.netloc);
  Ref path = getattr(parts, k.path);
  Ref urlencode = state.global(k.urlencode);
  Ref encoded = encoded_if_standard(urlencode, query);
  if (!encoded) encoded = call(urlencode, query);
  Ref fragment = getattr(parts, k.fragment);
  Ref components = check(PyTuple_Pack(5, scheme.get(), netloc.get(), path.get(), encoded.get(), fragment.get()));
  Ref result = call(urlunsplit, components);
  if (!result.is_none() && !PyUnicode_CheckExact(result.get()))
    raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(result.get())->tp_name);
  return result;
}

const Param kParams[] = {{"self"}, {"seed", "SeedRequestRecord"}};
const char* const kLocals[] = {"parts", "query_pairs", "query"};

} // namespace

MethodDef build_replay_url_def{
    .name = "build_replay_url",
    .qualname = "RufusReplayService.build_replay_url",
    .module = &state,
    .params = kParams,
    .doc = "补齐扩展端 Rufus replay URL 参数。",
    .return_annotation = "str",
    .first_line = __LINE__,
    .locals = kLocals,
    .plain = build_replay_url_body,
};

} // namespace replay
