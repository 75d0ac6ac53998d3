// The user name in the 16-bit form the identity library's list call takes,
// and the text form of a GUID for log messages.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "addon/addon.h"

uint16_t GetNextUnicodeCharFromUTF8String(const unsigned char **cursor) {
    if (cursor == nullptr || *cursor == nullptr) {
        return 0;
    }
    const unsigned char *p = *cursor;
    const unsigned char b0 = p[0];

    // Continuation bytes are not checked for the 10xxxxxx pattern; only a
    // zero byte stops a sequence.  Each needed byte is tested before the
    // next is read, so a sequence cut by the terminator never reads past it.
    if (b0 <= 0x7F) {
        *cursor = p + 1;
        return b0;
    }
    if (b0 >= 0xC0 && b0 <= 0xDF) {
        if (p[1] == 0) {
            return 0;
        }
        *cursor = p + 2;
        return static_cast<uint16_t>(((b0 & 0x1F) << 6) | (p[1] & 0x3F));
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (p[1] == 0 || p[2] == 0) {
            return 0;
        }
        *cursor = p + 3;
        return static_cast<uint16_t>(((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
    }
    // A stray continuation byte (0x80-0xBF) or a lead of four bytes or more
    // (0xF0-0xFF) has no 16-bit result: 0, and the cursor stays.
    return 0;
}

int32_t ConvertUTF8ToUnicodeString(const char *source, unsigned char *target) {
    if (source == nullptr || target == nullptr) {
        return 0;
    }
    const unsigned char *cursor = reinterpret_cast<const unsigned char *>(source);
    // Counted in size_t so that no length of source can overflow the index.
    size_t written = 0;
    while (*cursor != 0) {
        const unsigned char *before = cursor;
        uint16_t unit = GetNextUnicodeCharFromUTF8String(&cursor);
        if (cursor == before) {
            // The decoder could not consume this byte (a four-byte sequence,
            // a stray continuation byte, a sequence cut by the terminator).
            // Skip it: the loop always advances, so it ends, and a skipped
            // byte writes nothing, so the output stays within the
            // 2 x (length + 1) bytes of the caller's buffer.
            ++cursor;
            continue;
        }
        target[written] = static_cast<unsigned char>(unit & 0xFF);
        target[written + 1] = static_cast<unsigned char>(unit >> 8);
        written += 2;
    }
    target[written] = 0;
    target[written + 1] = 0;
    return written > INT32_MAX ? INT32_MAX : static_cast<int32_t>(written);
}

char *ConvertGUIDToString(char *buffer, const unsigned char *guid) {
    // The first three fields are read in the machine's byte order, as the
    // library lays them out; memcpy because the GUID need not be aligned.
    uint32_t data1;
    uint16_t data2, data3;
    memcpy(&data1, guid, sizeof data1);
    memcpy(&data2, guid + 4, sizeof data2);
    memcpy(&data3, guid + 6, sizeof data3);
    (void)snprintf(
        buffer, 38, "%08x-%04hx-%04hx-%02hhx-%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx", data1,
        data2, data3, guid[8], guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
    return buffer;
}
