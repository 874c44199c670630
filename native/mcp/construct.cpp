// ApiKeyGuardlet.__init__: stores the configuration and announces the mode.
#include "mcp/guardlet.hpp"

using namespace frame;

namespace guardlet {
namespace {

constexpr const char kInitDoc[] =
    "\n"
    "        Args:\n"
    "            app: ASGI 应用\n"
    "            api_key: 固定 API Key（单用户模式，向后兼容）\n"
    "            auth_verify_url: STROVA 后端校验地址（多用户模式），\n"
    "                例如 https://strova.example.com/v1/mcp/verify-key\n"
    "        ";

Ref init_body(const Call& c) {
  Borrowed self = c.args[0], app = c.args[1], api_key = c.args[2], url = c.args[3];
  setattr(self, k.app, app);
  setattr(self, k._api_key, api_key);
  setattr(self, k._auth_verify_url, url);
  // The URL goes to the logger as an argument; the key itself is never logged.
  Ref logger = state.global(k._logger);
  if (truthy(url)) call_method(logger, k.info, k.log_remote_mode, url.get());
  else if (truthy(api_key)) call_method(logger, k.info, k.log_fixed_mode);
  else call_method(logger, k.warning, k.log_no_auth);
  return none();
}

const Param kParams[] = {
    {"self"},
    {"app", "ASGIApp"},
    {"api_key", "str | None", Check::StrOrNone, Default::None},
    {"auth_verify_url", "str | None", Check::StrOrNone, Default::None},
};

} // namespace

MethodDef init_def{
    .name = "__init__",
    .qualname = "ApiKeyGuardlet.__init__",
    .module = &state,
    .params = kParams,
    .nkwonly = 2,
    .doc = kInitDoc,
    .first_line = __LINE__,
    .plain = init_body,
};

} // namespace guardlet
