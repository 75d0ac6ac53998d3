// The user name in the 16-bit form the identity library's list call takes
// (UTF-16LE: characters above U+FFFF become surrogate pairs), and the text
// form of a GUID for log messages.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "addon/addon.h"
#include "addon/addon_internal.h"

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

namespace {

// A character above U+FFFF as UTF-8: a lead byte F0-F4 and three
// continuation bytes, naming U+10000 to U+10FFFF.  The decoder step has no
// four-byte form, so the conversion reads these itself, strictly: every
// byte is tested before the next is read, so the terminator ends it too.
bool decodeFourBytes(const unsigned char *p, uint32_t *codePoint) {
    if (p[0] < 0xF0 || p[0] > 0xF4) {
        return false;
    }
    uint32_t value = p[0] & 0x07u;
    for (int i = 1; i < 4; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return false;
        }
        value = (value << 6) | (p[i] & 0x3Fu);
    }
    *codePoint = value;
    return value >= 0x10000 && value <= 0x10FFFF;
}

void putUnit(unsigned char *target, size_t *written, uint32_t unit) {
    target[*written] = static_cast<unsigned char>(unit & 0xFF);
    target[*written + 1] = static_cast<unsigned char>((unit >> 8) & 0xFF);
    *written += 2;
}

}  // namespace

size_t mfaConvertUtf8ToUtf16(const char *source, unsigned char *target, bool *complete) {
    const unsigned char *cursor = reinterpret_cast<const unsigned char *>(source);
    // Counted in size_t so that no length of source can overflow the index.
    size_t written = 0;
    *complete = true;
    while (*cursor != 0) {
        const unsigned char *before = cursor;
        const uint16_t unit = GetNextUnicodeCharFromUTF8String(&cursor);
        if (cursor != before) {
            putUnit(target, &written, unit);
            continue;
        }
        // Four bytes in, two 16-bit units (four bytes) out: a surrogate pair
        // stays within the 2 x (length + 1) bytes of the target.
        uint32_t codePoint = 0;
        if (decodeFourBytes(cursor, &codePoint)) {
            codePoint -= 0x10000;
            putUnit(target, &written, 0xD800 + (codePoint >> 10));
            putUnit(target, &written, 0xDC00 + (codePoint & 0x3FF));
            cursor += 4;
            continue;
        }
        // Nothing here converts (a stray continuation byte, a sequence cut
        // by the terminator, a lead of five bytes or more): the byte is
        // skipped, so the loop always advances and a skipped byte writes
        // nothing; the caller learns that the name was not kept whole.
        *complete = false;
        ++cursor;
    }
    target[written] = 0;
    target[written + 1] = 0;
    return written;
}

int32_t ConvertUTF8ToUnicodeString(const char *source, unsigned char *target) {
    if (source == nullptr || target == nullptr) {
        return 0;
    }
    bool complete = true;
    const size_t written = mfaConvertUtf8ToUtf16(source, target, &complete);
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
