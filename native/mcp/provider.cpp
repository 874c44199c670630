// FixedApiKeyAuthProvider: the deprecated fixed-key token verifier, kept for
// older importers. A matching token gets an access-token object whose class
// is made anew for every success.
#include "mcp/guardlet.hpp"

using namespace frame;

namespace guardlet {
namespace {

Ref provider_init_body(const Call& c) {
  setattr(c.args[0], k._api_key, c.args[1]);
  return none();
}

Task verify_token_body(Call c) {
  Borrowed self = c.args[0], token = c.args[1];
  Ref api_key = getattr(self, k._api_key);
  // A str key is compared in constant time; a stored key of any other type decides by `!=`.
  bool differs = PyUnicode_CheckExact(api_key.get())
                     ? !secret_equal(token, api_key)
                     : check_status(PyObject_RichCompareBool(token.get(), api_key.get(), Py_NE));
  if (differs) co_return none();
  Ref ns = new_dict();
  dict_set(ns, k.token, token);
  dict_set(ns, k.client_id, k.default_);
  Ref scopes = new_list(1);
  PyList_SET_ITEM(scopes.get(), 0, Py_NewRef(k.strovik_mcp_scope));
  dict_set(ns, k.scopes, scopes);
  Ref bases = check(PyTuple_New(0));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), k.AccessToken, bases.get(), ns.get());
  co_return call(cls);
}

const Param kInitParams[] = {{"self"}, {"api_key", "str", Check::Str}};
const Param kVerifyParams[] = {{"self"}, {"token", "str", Check::Str}};

} // namespace

MethodDef provider_init_def{
    .name = "__init__",
    .qualname = "FixedApiKeyAuthProvider.__init__",
    .module = &state,
    .params = kInitParams,
    .first_line = __LINE__,
    .plain = provider_init_body,
};

MethodDef verify_token_def{
    .name = "verify_token",
    .qualname = "FixedApiKeyAuthProvider.verify_token",
    .module = &state,
    .params = kVerifyParams,
    .doc = "校验 Bearer Token 是否与固定 API Key 匹配。",
    .return_annotation = "Any",
    .first_line = __LINE__,
    .coro = verify_token_body,
};

} // namespace guardlet
