// get_sid_from_name: a directory user's SID in text form, looked up and
// converted by the identity library.
#include <stdint.h>

#include "addon/addon.h"
#include "addon/addon_internal.h"
#include "platform/tamo/tamolib.h"

napi_value get_sid_from_name(napi_env env, napi_callback_info info) {
    size_t argc = MFA_ARGUMENT_COUNT;
    napi_value argv[MFA_ARGUMENT_COUNT] = {};
    char name[256] = {};
    size_t nameLength = 0;
    // Selector 2 asks the lookup for the SID; the sixteen-byte area and the
    // two integers are filled in by the library and not read here.
    int32_t selector = TAMO_INFO_SID;
    unsigned char area[16] = {};
    unsigned char sid[68] = {};
    int32_t firstInteger = -1;
    int32_t secondInteger = -1;
    char sidText[190] = {};
    napi_value napiSid = nullptr;
    napi_value result = nullptr;

    if (!MFA_NAPI_STEP("get_sid_from_name", "get_sid_from_name: napi_get_cb_info failed",
                       napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr))) {
        return nullptr;
    }
    // Read size 255: at most 254 bytes of the name and a zero byte; a longer
    // name is cut without a message.
    if (!MFA_NAPI_STEP("get_sid_from_name", "napi_get_value_string_utf8 for reading name failed",
                       napi_get_value_string_utf8(env, argv[0], name, 255, &nameLength))) {
        return nullptr;
    }
    // The library's status is deliberately left out of the message.
    if (tamolib_get_userinfo_from_name(name, &selector, area, sid, &firstInteger, &secondInteger) !=
        0) {
        MFA_ERR("get_sid_from_name", "get_sid_from_name: tamolib_get_userinfo_from_name failed");
        return nullptr;
    }
    // No failure is detected here: whatever text the buffer holds (empty if
    // the library wrote nothing) is returned.  The last byte is forced to
    // zero so that a library that fills the whole buffer cannot make the
    // string run past it.
    (void)tamolib_sid_to_string(sid, sidText);
    sidText[sizeof sidText - 1] = '\0';

    if (!MFA_NAPI_STEP("get_sid_from_name",
                       "napi_create_string_utf8 failed for napi_sid in get_sid_from_name",
                       napi_create_string_utf8(env, sidText, NAPI_AUTO_LENGTH, &napiSid))) {
        return nullptr;
    }
    if (!MFA_NAPI_STEP("get_sid_from_name", "Failed to create NAPI object in get_sid_from_name",
                       napi_create_object(env, &result))) {
        return nullptr;
    }
    if (!MFA_NAPI_STEP("get_sid_from_name",
                       "napi_set_named_property failed for napi_sid in get_sid_from_name",
                       napi_set_named_property(env, result, "sid", napiSid))) {
        return nullptr;
    }
    return result;
}
