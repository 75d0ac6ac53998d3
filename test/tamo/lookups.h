// The directory library's answers as text (the SID of a login, the DN of a
// GUID, or the library's status), and names in the library's 16-bit form:
// one line to compare for either back end.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

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

inline std::string dnOf(const unsigned char *guid) {
    int32_t selector = TAMO_INFO_DN;
    char *dn = nullptr;
    const int32_t status =
        tamolib_get_userinfo_from_guid(guid, &selector, nullptr, nullptr, nullptr, &dn);
    if (status != TAMO_OK) {
        return std::to_string(status);
    }
    std::string text(dn);
    free(dn);
    return text;
}

// UTF-16LE code units ending with a zero unit.
inline std::vector<unsigned char> utf16(const std::u16string &text) {
    std::vector<unsigned char> out;
    for (char16_t unit : text) {
        out.push_back(static_cast<unsigned char>(unit & 0xFF));
        out.push_back(static_cast<unsigned char>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}
