// Module registration: the Node-API version, the registration entry, the
// property table of the four JavaScript functions, and the module's data.
#include <node_api.h>
#include <stdint.h>

#include "addon/addon.h"
#include "addon/log.h"

KAVO_BEGIN_DECLS

// Sixteen bytes of exported module data, zero at load; nothing in the
// module reads or writes them.
KAVO_EXPORT unsigned char nonce[16] = {};

KAVO_EXPORT int32_t node_api_module_get_api_version_v1(void);
KAVO_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports);

KAVO_END_DECLS

int32_t node_api_module_get_api_version_v1(void) {
    return 8;
}

napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    return Init(env, exports);
}

napi_value Init(napi_env env, napi_value exports) {
    // napi_default: each function read-only, non-enumerable, non-configurable.
    napi_property_descriptor table[4] = {
        {"arb_get_credentials", nullptr, arb_get_credentials, nullptr, nullptr, nullptr,
         napi_default, nullptr},
        {"arb_set_credentials", nullptr, arb_set_credentials, nullptr, nullptr, nullptr,
         napi_default, nullptr},
        {"get_sev_list", nullptr, get_sev_list, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"get_sid_from_name", nullptr, get_sid_from_name, nullptr, nullptr, nullptr, napi_default,
         nullptr},
    };

    mfaLogConfigure();
    // First, so that it is written even if the definition fails.
    MFA_LOG(LOG_INFO, "Init", "KAVO-MFA napi have been initialised");

    // Registration has no failure path of its own: the status is not examined.
    (void)napi_define_properties(env, exports, 4, table);
    return exports;
}
