// get_sev_list and GetSevListDornUser: a directory user's
// security-equivalence list as DNs, from the identity library's GUID list
// and one DN lookup per GUID.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "addon/addon.h"
#include "addon/addon_internal.h"
#include "addon/request.h"
#include "platform/tamo/tamolib.h"

namespace {

constexpr int32_t kFirstCapacity = 20;  // GUIDs offered to the first list call
constexpr size_t kGuidSize = 16;
constexpr size_t kDnSlotSize = 256;      // a DN is cut to 255 bytes and a zero
constexpr size_t kLocalNameUnits = 256;  // covers every name JavaScript can pass
// The library answers "too small" with the count it needs, so one more call
// normally suffices; a list that grows between calls may need a few, and a
// library that never stops asking must not hold the call forever.
constexpr int kMaxListCalls = 8;

}  // namespace

// The DN array: `count` slots of 256 bytes, then, when the DNs are kept
// whole, each DN with its zero, in list order.
struct DnArray {
    char *bytes;
    size_t size;      // the slots and the whole DNs appended so far
    size_t capacity;  // bytes allocated
};

// Appends one DN whole after the slots and the DNs before it.  The array at
// least doubles when it grows, so a long list costs a few reallocations,
// not one per DN.  False, after logging, when the array cannot grow.
static bool keepWholeDn(DnArray *array, const char *dn) {
    const size_t length = strlen(dn) + 1;
    if (length > SIZE_MAX - array->size) {
        MFA_FAIL(KAVO_STEP_MEMORY, "ConvertSevListFromGuidToDNs",
                 "Failed to allocate %lu bytes for the DNs in GetSevListDornUser",
                 static_cast<unsigned long>(SIZE_MAX));
        return false;
    }
    const size_t needed = array->size + length;
    if (needed > array->capacity) {
        const size_t doubled = array->capacity <= SIZE_MAX / 2 ? 2 * array->capacity : SIZE_MAX;
        const size_t capacity = needed > doubled ? needed : doubled;
        char *grown = static_cast<char *>(realloc(array->bytes, capacity));
        if (grown == nullptr) {
            MFA_FAIL(KAVO_STEP_MEMORY, "ConvertSevListFromGuidToDNs",
                     "Failed to allocate %lu bytes for the DNs in GetSevListDornUser",
                     static_cast<unsigned long>(capacity));
            return false;
        }
        array->bytes = grown;
        array->capacity = capacity;
    }
    memcpy(array->bytes + array->size, dn, length);
    array->size = needed;
    return true;
}

// Fetches the DN of every GUID, in order, into its 256-byte slot (cut to
// 255 bytes) and, when `keepWhole`, whole after the slots.  On the first
// failing lookup it logs the GUID and the status and returns false.
// Kept static: an internal step, reported under its own name.
static bool ConvertSevListFromGuidToDNs(const unsigned char *guids, int32_t count, DnArray *array,
                                        bool keepWhole) {
    // Set once for the whole list, as the library expects.
    int32_t selector = TAMO_INFO_DN;
    int32_t extra = 0;
    char *dn = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        const unsigned char *guid = guids + static_cast<size_t>(i) * kGuidSize;
        int32_t status =
            tamolib_get_userinfo_from_guid(guid, &selector, nullptr, nullptr, &extra, &dn);
        // A success without a string is a failed lookup too: there is no DN
        // to copy, and the pointer must not be taken from an earlier GUID.
        if (status != 0 || dn == nullptr) {
            char text[38];
            MFA_FAIL_STATUS(KAVO_STEP_DIRECTORY_ENTRY, status, "ConvertSevListFromGuidToDNs",
                            "Failed to get user details by GUID: %s, error: %d",
                            ConvertGUIDToString(text, guid), status);
            return false;
        }
        char *slot = array->bytes + static_cast<size_t>(i) * kDnSlotSize;
        memcpy(slot, dn, strnlen(dn, kDnSlotSize - 1));
        const bool kept = !keepWhole || keepWholeDn(array, dn);
        free(dn);
        // Cleared so that a later answer that leaves it untouched cannot
        // hand back the string just released.
        dn = nullptr;
        if (!kept) {
            return false;
        }
    }
    return true;
}

// GetSevListDornUser, and with `keepWhole` the request core's list: the
// same slots, then every DN whole.
static char *sevListOf(const char *userName, int32_t *count, bool keepWhole) {
    if (userName == nullptr || count == nullptr) {
        return nullptr;
    }
    // The 16-bit name takes 2 x (length + 1) bytes.  Names from JavaScript
    // (at most 254 bytes) fit the stack buffer; a longer name from a C
    // caller gets a heap buffer rather than an unbounded stack frame.
    const size_t nameLength = strlen(userName);
    const size_t name16Size = 2 * (nameLength + 1);
    unsigned char localName[2 * kLocalNameUnits] = {};
    unsigned char *name16 = localName;
    if (name16Size > sizeof localName) {
        name16 = static_cast<unsigned char *>(calloc(name16Size, 1));
        if (name16 == nullptr) {
            MFA_FAIL(KAVO_STEP_MEMORY, "GetSevListDornUser",
                     "Failed to allocate %lu bytes for the user name in GetSevListDornUser",
                     static_cast<unsigned long>(name16Size));
            return nullptr;
        }
    }
    // A name that does not convert whole would be looked up as another
    // user's: refused before the library is asked.
    bool complete = true;
    (void)mfaConvertUtf8ToUtf16(userName, name16, &complete);
    if (!complete) {
        MFA_FAIL(KAVO_STEP_INPUT, "GetSevListDornUser",
                 "User name %s cannot be converted to UTF-16", userName);
        if (name16 != localName) {
            free(name16);
        }
        return nullptr;
    }

    *count = kFirstCapacity;
    unsigned char *guids = nullptr;
    int32_t extra = 0;
    int32_t status = TAMO_ERR_BUFFER_TOO_SMALL;
    for (int call = 0; call < kMaxListCalls; ++call) {
        // Never negative here, and taken in 64 bits: no size can wrap.
        const uint64_t guidBytes = static_cast<uint64_t>(*count) * kGuidSize;
        guids = static_cast<unsigned char *>(calloc(static_cast<size_t>(*count), kGuidSize));
        if (guids == nullptr) {
            MFA_FAIL(KAVO_STEP_MEMORY, "GetSevListDornUser",
                     "Failed to allocate %lu bytes for sevGUIDs in GetSevListDornUser",
                     static_cast<unsigned long>(guidBytes));
            if (name16 != localName) {
                free(name16);
            }
            return nullptr;
        }
        const int32_t capacity = *count;
        status = tamolib_get_sevlist_from_name(name16, count, guids, &extra);
        // The library's answer is input.  A success that claims more GUIDs
        // than were offered is taken as a request for that much room, so no
        // GUID beyond the array is ever read; a negative count is a failure.
        const bool negative = *count < 0;
        if (status == 0 && !negative && *count > capacity) {
            status = TAMO_ERR_BUFFER_TOO_SMALL;
        }
        if (status == 0 && !negative) {
            break;
        }
        free(guids);
        guids = nullptr;
        if (negative || status != TAMO_ERR_BUFFER_TOO_SMALL) {
            break;
        }
    }
    if (name16 != localName) {
        free(name16);
    }
    // No array left: the list call failed, or kept asking for more room.
    if (guids == nullptr) {
        MFA_FAIL_STATUS(KAVO_STEP_DIRECTORY_USER, status, "GetSevListDornUser",
                        "Failed to get SEV list of user: %s, error: %d", userName, status);
        return nullptr;
    }

    if (*count == 0) {
        MFA_FAIL(KAVO_STEP_SEV_EMPTY, "GetSevListDornUser", "sevCount is zero");
        free(guids);
        return nullptr;
    }

    const uint64_t dnBytes = static_cast<uint64_t>(*count) * kDnSlotSize;
    DnArray array = {static_cast<char *>(calloc(static_cast<size_t>(*count), kDnSlotSize)),
                     static_cast<size_t>(dnBytes), static_cast<size_t>(dnBytes)};
    if (array.bytes == nullptr) {
        // Reported as a 32-bit number; a size beyond its range shows as the
        // largest one rather than a wrapped value.
        MFA_FAIL(KAVO_STEP_MEMORY, "GetSevListDornUser",
                 "Failed to allocate %d bytes in GetSevListDornUser",
                 dnBytes > INT32_MAX ? INT32_MAX : static_cast<int>(dnBytes));
        free(guids);
        return nullptr;
    }
    if (!ConvertSevListFromGuidToDNs(guids, *count, &array, keepWhole)) {
        free(array.bytes);
        free(guids);
        return nullptr;
    }
    free(guids);
    return array.bytes;
}

char *GetSevListDornUser(const char *userName, int32_t *count) {
    return sevListOf(userName, count, false);
}

int32_t ReadSevListArguments(napi_env env, const napi_value *argv, KavoSevList *request) {
    mfaRecordBegin();
    // Read size 5: at most four bytes of the type, so "dornX" is served as
    // "dorn" and "admin" is compared as "admi"; the type selects a kind of
    // user and names no one, so it alone is cut.  A longer user name is
    // refused.
    if (!MFA_READ_STRING("get_sev_list", "napi_get_value_string_utf8 failed", "userType", env,
                         argv[0], request->userType, 5, MFA_CUT_LONGER) ||
        !MFA_READ_STRING("get_sev_list", "napi_get_value_string_utf8 failed", "userName", env,
                         argv[1], request->userName, 255, MFA_REFUSE_LONGER)) {
        return -1;
    }
    return 0;
}

int32_t GetSevListCore(KavoSevList *request) {
    mfaRecordBegin();
    request->count = 0;
    request->dns = nullptr;
    request->wholeDns = nullptr;
    if (strcmp(request->userType, "dorn") != 0) {
        if (strcmp(request->userType, "ad") == 0) {
            MFA_FAIL(KAVO_STEP_USER_TYPE, "get_sev_list",
                     "Getting SEV list for AD user is not supported");
        } else {
            MFA_FAIL(KAVO_STEP_USER_TYPE, "get_sev_list", "unknown user type");
        }
        return -1;
    }
    request->dns = sevListOf(request->userName, &request->count, true);
    if (request->dns == nullptr) {
        MFA_ERR("get_sev_list", "Failed to get sev list of user type %s", request->userType);
        return -1;
    }
    request->wholeDns = request->dns + static_cast<size_t>(request->count) * kDnSlotSize;
    return 0;
}

napi_value MakeSevListResult(napi_env env, KavoSevList *request) {
    char propertyName[16] = {};
    napi_value napiCount = nullptr;
    napi_value result = nullptr;
    const int32_t count = request->count;
    char *dns = request->dns;
    // The whole DNs follow one another; without them (a request made some
    // other way) the slots are used.
    const char *dn = request->wholeDns;
    request->dns = nullptr;
    request->wholeDns = nullptr;

    mfaRecordBegin();
    // Every exit releases the DN array.
    bool built = MFA_NAPI_STEP("get_sev_list", "napi_create_uint32 failed",
                               napi_create_uint32(env, static_cast<uint32_t>(count), &napiCount)) &&
                 MFA_NAPI_STEP("get_sev_list", "Failed to create NAPI object in get_sev_list",
                               napi_create_object(env, &result)) &&
                 MFA_NAPI_STEP("get_sev_list",
                               "napi_set_named_property failed for sev_count in get_sev_list",
                               napi_set_named_property(env, result, "sev_count", napiCount));
    for (int32_t i = 0; built && i < count; ++i) {
        napi_value napiGroup = nullptr;
        built = MFA_NAPI_STEP(
            "get_sev_list", "napi_create_string_utf8 failed for napi_group in get_sev_list",
            napi_create_string_utf8(env,
                                    dn != nullptr ? dn : dns + static_cast<size_t>(i) * kDnSlotSize,
                                    NAPI_AUTO_LENGTH, &napiGroup));
        if (dn != nullptr) {
            dn += strlen(dn) + 1;
        }
        if (built) {
            (void)snprintf(propertyName, sizeof propertyName, "%s%d", "group", i);
            built = MFA_NAPI_STEP("get_sev_list",
                                  "napi_set_named_property failed for napi_group in get_sev_list",
                                  napi_set_named_property(env, result, propertyName, napiGroup));
        }
    }
    free(dns);
    return built ? result : nullptr;
}

napi_value get_sev_list(napi_env env, napi_callback_info info) {
    KavoSevList request = {};
    return MFA_RUN_CALLBACK("get_sev_list", "napi_get_cb_info failed", env, info, &request,
                            ReadSevListArguments, GetSevListCore, MakeSevListResult);
}
