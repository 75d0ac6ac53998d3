// SID text and packed forms, UTF-16 names, and the places of the database
// and the LDAP configuration, shared by the directory simulator and its
// provisioning command.
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace tamo {

const char *directoryPath() {
    const char *path = std::getenv("TAMO_DIRECTORY_DB");
    return (path != nullptr && path[0] != '\0') ? path : "/etc/opt/zorvex/directory.db";
}

bool configPathExplicit() {
    const char *path = std::getenv("TAMO_DIRECTORY_CONF");
    return path != nullptr && path[0] != '\0';
}

const char *configPath() {
    return configPathExplicit() ? std::getenv("TAMO_DIRECTORY_CONF")
                                : "/etc/opt/zorvex/directory.conf";
}

bool utf16ToUtf8(const unsigned char *name16, std::string &out) {
    for (std::size_t i = 0;; i += 2) {
        uint32_t unit = name16[i] | (name16[i + 1] << 8);
        if (unit == 0) {
            return true;
        }
        uint32_t code = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = name16[i + 2] | (name16[i + 3] << 8);
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
}

namespace {

// Reads one unsigned decimal (or 0x-prefixed hexadecimal when hexOk) number
// up to limit; advances text past it.  strtoull alone would accept signs and
// blanks, which have no place in a SID.
bool readNumber(const char *&text, uint64_t limit, bool hexOk, uint64_t &value) {
    int base = 10;
    const char *digits = text;
    if (hexOk && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text + 2;
    }
    const unsigned char first = static_cast<unsigned char>(*digits);
    if (base == 10 ? std::isdigit(first) == 0 : std::isxdigit(first) == 0) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long parsed = std::strtoull(digits, &end, base);
    if (errno != 0 || parsed > limit) {
        return false;
    }
    value = parsed;
    text = end;
    return true;
}

}  // namespace

std::size_t packSid(const char *text, unsigned char *packed) {
    if (text == nullptr || std::strncmp(text, "S-", 2) != 0) {
        return 0;
    }
    const char *p = text + 2;
    uint64_t revision = 0, authority = 0;
    if (!readNumber(p, 255, false, revision) || *p++ != '-' ||
        !readNumber(p, 0xFFFFFFFFFFFFull, true, authority)) {
        return 0;
    }
    std::size_t subCount = 0;
    unsigned char *sub = packed + 8;
    while (*p == '-') {
        ++p;
        uint64_t value = 0;
        if (subCount == TAMO_SID_MAX_SUBAUTHORITIES || !readNumber(p, 0xFFFFFFFFu, false, value)) {
            return 0;
        }
        for (int i = 0; i < 4; ++i) {
            sub[i] = static_cast<unsigned char>(value >> (8 * i));
        }
        sub += 4;
        ++subCount;
    }
    if (*p != '\0' || subCount == 0) {
        return 0;
    }
    packed[0] = static_cast<unsigned char>(revision);
    packed[1] = static_cast<unsigned char>(subCount);
    for (int i = 0; i < 6; ++i) {
        packed[2 + i] = static_cast<unsigned char>(authority >> (8 * (5 - i)));
    }
    return 8 + 4 * subCount;
}

bool formatSid(const unsigned char *packed, char *text, std::size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    text[0] = '\0';
    if (packed[1] > TAMO_SID_MAX_SUBAUTHORITIES) {
        return false;
    }
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) {
        authority = (authority << 8) | packed[2 + i];
    }
    // The usual convention: a small authority in decimal, a large one in hex.
    int used = (authority >> 32) == 0
                   ? std::snprintf(text, capacity, "S-%u-%" PRIu64, packed[0], authority)
                   : std::snprintf(text, capacity, "S-%u-0x%012" PRIx64, packed[0], authority);
    if (used < 0 || static_cast<std::size_t>(used) >= capacity) {
        text[0] = '\0';
        return false;
    }
    // The sub-authorities with std::to_chars: a third of snprintf's time, in
    // a lookup that makes up to 15 of them.  last is the NUL's place.
    char *at = text + used;
    char *const last = text + capacity - 1;
    for (unsigned i = 0; i < packed[1]; ++i) {
        const unsigned char *s = packed + 8 + std::size_t{4} * i;
        uint32_t value = s[0] | (s[1] << 8) | (s[2] << 16) | (static_cast<uint32_t>(s[3]) << 24);
        std::to_chars_result written{at, std::errc::value_too_large};
        if (at < last) {
            *at = '-';
            written = std::to_chars(at + 1, last, value);
        }
        if (written.ec != std::errc()) {
            text[0] = '\0';
            return false;
        }
        at = written.ptr;
    }
    *at = '\0';
    return true;
}

}  // namespace tamo
