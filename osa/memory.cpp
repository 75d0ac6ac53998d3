/* OS abstraction layer: byte buffers and 16-bit string lengths.
 *
 * The special cases (empty ranges, identical areas) are settled here; the
 * bytes themselves are moved by the C library's routines, which are faster
 * than any loop written here. */
#include <string.h>

#include "osa/osa.h"

namespace {

/* Copies of at most 64 bytes are done inline with unaligned 8- and 16-byte
 * moves whose ranges may overlap each other; every load happens before the
 * first store, so the same code is also a correct memmove.  Calling the C
 * library for such small copies costs more in the call than in the copy. */
template <size_t N>
inline void LoadStore2(unsigned char *d, const unsigned char *s, uint32_t n) {
    unsigned char head[N], tail[N];
    __builtin_memcpy(head, s, N);
    __builtin_memcpy(tail, s + n - N, N);
    __builtin_memcpy(d, head, N);
    __builtin_memcpy(d + n - N, tail, N);
}

inline void SmallCopy(void *dst, const void *src, uint32_t n) {
    auto *d = static_cast<unsigned char *>(dst);
    const auto *s = static_cast<const unsigned char *>(src);
    if (n >= 32) {  // 32..64: four 16-byte moves
        unsigned char a[16], b[16], c[16], e[16];
        __builtin_memcpy(a, s, 16);
        __builtin_memcpy(b, s + 16, 16);
        __builtin_memcpy(c, s + n - 32, 16);
        __builtin_memcpy(e, s + n - 16, 16);
        __builtin_memcpy(d, a, 16);
        __builtin_memcpy(d + 16, b, 16);
        __builtin_memcpy(d + n - 32, c, 16);
        __builtin_memcpy(d + n - 16, e, 16);
    } else if (n >= 16) {
        LoadStore2<16>(d, s, n);
    } else if (n >= 8) {
        LoadStore2<8>(d, s, n);
    } else if (n >= 4) {
        LoadStore2<4>(d, s, n);
    } else if (n != 0) {
        const unsigned char first = s[0], middle = s[n / 2], last = s[n - 1];
        d[0] = first;
        d[n / 2] = middle;
        d[n - 1] = last;
    }
}

constexpr uint32_t kSmallCopy = 64;

}  // namespace

void *OSA_memcpy(void *dst, const void *src, uint32_t n) {
    // An empty copy touches nothing: the C library's routine may not be
    // handed a null area even for zero bytes.
    if (n <= kSmallCopy) {
        SmallCopy(dst, src, n);
        return dst;
    }
    return memcpy(dst, src, n);
}

void *OSA_memmove(void *dst, const void *src, uint32_t n) {
    // SmallCopy loads everything before it stores, so overlap in either
    // direction gives the bytes the source held before the copy.
    if (n <= kSmallCopy) {
        SmallCopy(dst, src, n);
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
    // Both sides are compared as unsigned bytes, so 0x80..0xFF are found too.
    return const_cast<void *>(memchr(buffer, static_cast<unsigned char>(value), n));
}

int32_t OSA_memcmp(const void *a, const void *b, uint32_t n) {
    if (a == b || n == 0) {
        return 0;
    }
    // Callers use the difference of the first differing bytes, not only its
    // sign, and the C library promises only the sign.  So its (vectorised)
    // memcmp skips equal stretches block by block, and the first block that
    // differs is walked byte by byte for the exact difference.
    constexpr uint32_t kBlock = 256;
    const auto *pa = static_cast<const unsigned char *>(a);
    const auto *pb = static_cast<const unsigned char *>(b);
    uint32_t offset = 0;
    while (offset < n) {
        const uint32_t block = n - offset < kBlock ? n - offset : kBlock;
        if (memcmp(pa + offset, pb + offset, block) != 0) {
            for (uint32_t i = offset;; ++i) {
                if (pa[i] != pb[i]) {
                    return static_cast<int32_t>(pa[i]) - static_cast<int32_t>(pb[i]);
                }
            }
        }
        offset += block;
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
