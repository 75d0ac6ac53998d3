/* OS abstraction layer: byte buffers and 16-bit string lengths.
 *
 * Copies, moves, fills and searches are the C library's, which binds the
 * best routine for the processor when it is loaded.  Empty ranges and
 * identical areas are settled here first: the C library may not be handed a
 * null area even for zero bytes, nor memcpy the same area as source and
 * destination.  The compare is the one piece of our own, because callers use
 * the difference of the first differing bytes and memcmp promises only its
 * sign. */
#include <string.h>

#include "osa/osa.h"

void *OSA_memcpy(void *dst, const void *src, uint32_t n) {
    if (n == 0 || dst == src) {
        return dst;
    }
    return memcpy(dst, src, n);
}

void *OSA_memmove(void *dst, const void *src, uint32_t n) {
    if (n == 0 || dst == src) {
        return dst;
    }
    return memmove(dst, src, n);
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
    return const_cast<void *>(memchr(buffer, static_cast<unsigned char>(value), n));
}

namespace {

/* The difference at the first differing byte of two ranges that memcmp found
 * to differ: eight bytes at a time, the lowest differing bit of a
 * little-endian word giving the byte, then byte by byte for the tail.  The
 * scan stays within n even if the bytes changed since memcmp read them. */
[[gnu::noinline]] int32_t firstDifference(const unsigned char *a, const unsigned char *b,
                                          size_t n) {
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
        uint64_t x, y;
        memcpy(&x, a + i, sizeof x);
        memcpy(&y, b + i, sizeof y);
        if (x != y) {
            i += static_cast<size_t>(__builtin_ctzll(x ^ y)) / 8;
            break;
        }
    }
    while (i < n && a[i] == b[i]) {
        ++i;
    }
    return i < n ? static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]) : 0;
}

}  // namespace

int32_t OSA_memcmp(const void *a, const void *b, uint32_t n) {
    if (a == b || n == 0 || memcmp(a, b, n) == 0) {
        return 0;
    }
    return firstDifference(static_cast<const unsigned char *>(a),
                           static_cast<const unsigned char *>(b), n);
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
