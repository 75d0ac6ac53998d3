// The SID text of a login through the directory library, or the library's
// status as text: one line to compare for either back end.
#pragma once

#include <string>

#include "platform/tamo/tamolib.h"

// sid, when given, receives the packed SID (TAMO_SID_MAX_SIZE bytes).
inline std::string sidOf(const char *login, unsigned char *sid = nullptr) {
    int32_t selector = TAMO_INFO_SID;
    unsigned char area[TAMO_GUID_SIZE], own[TAMO_SID_MAX_SIZE];
    sid = sid != nullptr ? sid : own;
    const int32_t status =
        tamolib_get_userinfo_from_name(login, &selector, area, sid, nullptr, nullptr);
    if (status != TAMO_OK) {
        return std::to_string(status);
    }
    char text[TAMO_SID_TEXT_SIZE];
    tamolib_sid_to_string(sid, text);
    return text;
}
