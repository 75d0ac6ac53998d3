// get_sid_from_name: a directory user's SID in text form, looked up and
// converted by the identity library.
#include <stdint.h>

#include "addon/addon.h"
#include "addon/addon_internal.h"
#include "addon/request.h"
#include "platform/tamo/tamolib.h"

int32_t ReadSidFromNameArguments(napi_env env, const napi_value *argv, KavoSidFromName *request) {
    mfaRecordBegin();
    // A name longer than 254 bytes is refused rather than looked up cut.
    if (!MFA_READ_STRING("get_sid_from_name", "napi_get_value_string_utf8 for reading name failed",
                         "name", env, argv[0], request->name, 255, MFA_REFUSE_LONGER)) {
        return -1;
    }
    return 0;
}

int32_t GetSidFromNameCore(KavoSidFromName *request) {
    // The area and the two integers are the library's to fill; none is read.
    int32_t selector = TAMO_INFO_SID;
    unsigned char area[16] = {};
    unsigned char sid[68] = {};
    int32_t firstInteger = -1;
    int32_t secondInteger = -1;

    mfaRecordBegin();
    // The library's status is deliberately left out of the message; the
    // request record keeps it.
    const int32_t status = tamolib_get_userinfo_from_name(request->name, &selector, area, sid,
                                                          &firstInteger, &secondInteger);
    if (status != 0) {
        MFA_FAIL_STATUS(KAVO_STEP_DIRECTORY_USER, status, "get_sid_from_name",
                        "get_sid_from_name: tamolib_get_userinfo_from_name failed");
        return -1;
    }
    // Whatever text the buffer holds is returned, even empty; the last byte
    // is forced to zero so that a library filling it cannot run the string on.
    (void)tamolib_sid_to_string(sid, request->sidText);
    request->sidText[sizeof request->sidText - 1] = '\0';
    return 0;
}

napi_value MakeSidFromNameResult(napi_env env, KavoSidFromName *request) {
    napi_value napiSid = nullptr;
    napi_value result = nullptr;
    mfaRecordBegin();
    const bool built =
        MFA_NAPI_STEP("get_sid_from_name",
                      "napi_create_string_utf8 failed for napi_sid in get_sid_from_name",
                      napi_create_string_utf8(env, request->sidText, NAPI_AUTO_LENGTH, &napiSid)) &&
        MFA_NAPI_STEP("get_sid_from_name", "Failed to create NAPI object in get_sid_from_name",
                      napi_create_object(env, &result)) &&
        MFA_NAPI_STEP("get_sid_from_name",
                      "napi_set_named_property failed for napi_sid in get_sid_from_name",
                      napi_set_named_property(env, result, "sid", napiSid));
    return built ? result : nullptr;
}

napi_value get_sid_from_name(napi_env env, napi_callback_info info) {
    KavoSidFromName request = {};
    return MFA_RUN_CALLBACK("get_sid_from_name", "get_sid_from_name: napi_get_cb_info failed", env,
                            info, &request, ReadSidFromNameArguments, GetSidFromNameCore,
                            MakeSidFromNameResult);
}
