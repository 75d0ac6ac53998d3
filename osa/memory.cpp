/* OS abstraction layer: byte buffers and 16-bit string lengths.
 *
 * The special cases (empty ranges, identical areas) are settled here; the
 * bytes themselves are moved by the C library's routines, which are faster
 * than any loop written here. */
#include <string.h>

#include "osa/osa.h"

void *OSA_memcpy(void *dst, const void *src, uint32_t n) {
    // The C library's routine may not be handed a null area even for zero
    // bytes, so an empty copy returns before it.
    if (n != 0) {
        memcpy(dst, src, n);
    }
    return dst;
}

void *OSA_memmove(void *dst, const void *src, uint32_t n) {
    if (n != 0) {
        memmove(dst, src, n);
    }
    return dst;
}

void *OSA_memset(void *buffer, int32_t value, uint32_t n) {
    if (n != 0) {
        memset(buffer, static_cast<unsigned char>(value), n);
    }
    return buffer;
}

void *OSA_memchr(const void *buffer, int32_t value, uint32_t n) {
    if (n == 0) {
        return nullptr;
    }
    // Both sides are compared as unsigned bytes, so 0x80..0xFF are found too.
    return const_cast<void *>(memchr(buffer, static_cast<unsigned char>(value), n));
}

int32_t OSA_memcmp(const void *a, const void *b, uint32_t n) {
    if (a == b || n == 0) {
        return 0;
    }
    // Callers use the difference itself, not only its sign, so the first
    // differing pair is located and subtracted as unsigned bytes.
    const auto *pa = static_cast<const unsigned char *>(a);
    const auto *pb = static_cast<const unsigned char *>(b);
    for (uint32_t i = 0; i < n; ++i) {
        if (pa[i] != pb[i]) {
            return static_cast<int32_t>(pa[i]) - static_cast<int32_t>(pb[i]);
        }
    }
    return 0;
}

uint32_t OSA_UnicodeLength(const uint16_t *s) {
    if (s == nullptr) {
        return 0;
    }
    uint32_t units = 0;
    while (s[units] != 0) {
        ++units;
    }
    return units;
}

uint32_t OSA_UnicodeSize(const uint16_t *s) {
    if (s == nullptr) {
        return 0;
    }
    // The size counts the terminating zero unit as well.
    return (OSA_UnicodeLength(s) + 1u) * static_cast<uint32_t>(sizeof(uint16_t));
}
