/* OS abstraction layer: byte buffers and 16-bit string lengths.
 *
 * Empty ranges and identical areas are settled here.  Ranges of up to 64
 * bytes are copied and compared inline, where the call into the C library
 * would cost more than the work; longer copies are the C library's.  The
 * compare also finds the first differing byte itself, because callers use
 * the difference, which memcmp does not promise. */
#include <immintrin.h>
#include <string.h>

#include "osa/osa.h"

namespace {

/* Copies of at most 64 bytes are done inline with unaligned 8- and 16-byte
 * moves whose ranges may overlap each other; every load happens before the
 * first store, so the same code is also a correct memmove.  Calling the C
 * library for such small copies costs more in the call than in the copy. */
template <size_t N>
inline void loadStore2(unsigned char *d, const unsigned char *s, uint32_t n) {
    unsigned char head[N], tail[N];
    __builtin_memcpy(head, s, N);
    __builtin_memcpy(tail, s + n - N, N);
    __builtin_memcpy(d, head, N);
    __builtin_memcpy(d + n - N, tail, N);
}

inline void smallCopy(void *dst, const void *src, uint32_t n) {
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
        loadStore2<16>(d, s, n);
    } else if (n >= 8) {
        loadStore2<8>(d, s, n);
    } else if (n >= 4) {
        loadStore2<4>(d, s, n);
    } else if (n != 0) {
        const unsigned char first = s[0], middle = s[n / 2], last = s[n - 1];
        d[0] = first;
        d[n / 2] = middle;
        d[n - 1] = last;
    }
}

/* smallCopy for processors with AVX2: 32 to 64 bytes in two possibly
 * overlapping 32-byte moves, both loads before either store. */
[[gnu::target("avx2")]] inline void smallCopyAvx2(void *dst, const void *src, uint32_t n) {
    if (n < 32) {
        smallCopy(dst, src, n);
        return;
    }
    auto *d = static_cast<unsigned char *>(dst);
    const auto *s = static_cast<const unsigned char *>(src);
    const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s));
    const __m256i tail = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + n - 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), head);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + n - 32), tail);
}

constexpr uint32_t kSmallCopy = 64;

// An empty copy touches nothing: the C library's routine may not be handed
// a null area even for zero bytes.  The small copies load everything before
// they store, so overlap in either direction gives the bytes the source held
// before the copy, and they serve memmove as well.
[[gnu::aligned(64)]] void *copyGeneric(void *dst, const void *src, uint32_t n) {
    if (n <= kSmallCopy) {
        smallCopy(dst, src, n);
        return dst;
    }
    return memcpy(dst, src, n);
}

[[gnu::aligned(64)]] [[gnu::target("avx2")]] void *copyAvx2(void *dst, const void *src,
                                                            uint32_t n) {
    if (n <= kSmallCopy) {
        smallCopyAvx2(dst, src, n);
        return dst;
    }
    return memcpy(dst, src, n);
}

[[gnu::aligned(64)]] void *moveGeneric(void *dst, const void *src, uint32_t n) {
    if (n <= kSmallCopy) {
        smallCopy(dst, src, n);
        return dst;
    }
    return memmove(dst, src, n);
}

[[gnu::aligned(64)]] [[gnu::target("avx2")]] void *moveAvx2(void *dst, const void *src,
                                                            uint32_t n) {
    if (n <= kSmallCopy) {
        smallCopyAvx2(dst, src, n);
        return dst;
    }
    return memmove(dst, src, n);
}

}  // namespace

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

inline int32_t byteDifference(const unsigned char *a, const unsigned char *b, size_t at) {
    return static_cast<int32_t>(a[at]) - static_cast<int32_t>(b[at]);
}

/* Mask of the bytes that differ among the 16 at a and b (bit i: byte i). */
inline unsigned differing16(const unsigned char *a, const unsigned char *b) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) ^ 0xFFFFu;
}

/* The difference at the first differing byte of two equal-sized words read
 * little-endian from offset at, or 0 when the words are equal. */
template <typename toWord>
inline int32_t wordDifference(const unsigned char *a, const unsigned char *b, size_t at) {
    toWord x, y;
    __builtin_memcpy(&x, a + at, sizeof x);
    __builtin_memcpy(&y, b + at, sizeof y);
    const uint64_t differing = static_cast<uint64_t>(x ^ y);
    if (differing == 0) {
        return 0;
    }
    return byteDifference(a, b, at + static_cast<size_t>(__builtin_ctzll(differing)) / 8);
}

/* Up to 64 bytes, straight-line: blocks at the start and at the end of the
 * range, overlapping where the range is not a multiple of the block.  The
 * blocks are inspected in increasing offset, so the first difference wins;
 * an overlapped part was already found equal in the block before. */
inline int32_t compareShortGeneric(const unsigned char *a, const unsigned char *b, size_t n) {
    if (n >= 32) {
        const size_t third = n - 32, fourth = n - 16;
        const unsigned m0 = differing16(a, b), m1 = differing16(a + 16, b + 16);
        const unsigned m2 = differing16(a + third, b + third);
        const unsigned m3 = differing16(a + fourth, b + fourth);
        if ((m0 | m1 | m2 | m3) == 0) {
            return 0;
        }
        if (m0 != 0)
            return byteDifference(a, b, static_cast<size_t>(__builtin_ctz(m0)));
        if (m1 != 0)
            return byteDifference(a, b, 16 + static_cast<size_t>(__builtin_ctz(m1)));
        if (m2 != 0)
            return byteDifference(a, b, third + static_cast<size_t>(__builtin_ctz(m2)));
        return byteDifference(a, b, fourth + static_cast<size_t>(__builtin_ctz(m3)));
    }
    if (n >= 16) {
        const unsigned m0 = differing16(a, b), m1 = differing16(a + n - 16, b + n - 16);
        if (m0 != 0)
            return byteDifference(a, b, static_cast<size_t>(__builtin_ctz(m0)));
        if (m1 != 0)
            return byteDifference(a, b, n - 16 + static_cast<size_t>(__builtin_ctz(m1)));
        return 0;
    }
    if (n >= 8) {
        const int32_t head = wordDifference<uint64_t>(a, b, 0);
        return head != 0 ? head : wordDifference<uint64_t>(a, b, n - 8);
    }
    if (n >= 4) {
        const int32_t head = wordDifference<uint32_t>(a, b, 0);
        return head != 0 ? head : wordDifference<uint32_t>(a, b, n - 4);
    }
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return byteDifference(a, b, i);
        }
    }
    return 0;
}

/* Longer ranges: the C library's wider compare settles the common equal
 * case; a differing range is walked again, 16 bytes at a time, for the exact
 * difference.  Kept out of line so the short path saves no registers. */
[[gnu::noinline]] int32_t compareLong(const unsigned char *a, const unsigned char *b, size_t n) {
    if (memcmp(a, b, n) == 0) {
        return 0;
    }
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        if (const unsigned mask = differing16(a + i, b + i)) {
            return byteDifference(a, b, i + static_cast<size_t>(__builtin_ctz(mask)));
        }
    }
    return compareShortGeneric(a + i, b + i, n - i);
}

constexpr uint32_t kShortCompare = 64;

/* compareShortGeneric for processors with AVX2 (the C library's own compare uses
 * them too): 32 to 64 bytes in two possibly overlapping 32-byte blocks. */
[[gnu::target("avx2")]] int32_t compareShortAvx2(const unsigned char *a, const unsigned char *b,
                                                 size_t n) {
    if (n < 32) {
        return compareShortGeneric(a, b, n);
    }
    const size_t second = n - 32;
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a));
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + second));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + second));
    const auto m0 = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a0, b0)));
    const auto m1 = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a1, b1)));
    if ((m0 | m1) == 0) {
        return 0;
    }
    if (m0 != 0)
        return byteDifference(a, b, static_cast<size_t>(__builtin_ctz(m0)));
    return byteDifference(a, b, second + static_cast<size_t>(__builtin_ctz(m1)));
}

/* OSA_memcmp's whole work, with the short compare given; instantiated once
 * per processor kind so that each is a single function with no call inside
 * on the short path. */
using ShortCompare = int32_t (*)(const unsigned char *, const unsigned char *, size_t);
template <ShortCompare compareShort>
[[gnu::always_inline]] inline int32_t compareRange(const void *a, const void *b, uint32_t n) {
    if (a == b || n == 0) {
        return 0;
    }
    const auto *pa = static_cast<const unsigned char *>(a);
    const auto *pb = static_cast<const unsigned char *>(b);
    if (n <= kShortCompare) {
        return compareShort(pa, pb, n);
    }
    return compareLong(pa, pb, n);
}

[[gnu::aligned(64)]] int32_t memcmpGeneric(const void *a, const void *b, uint32_t n) {
    return compareRange<compareShortGeneric>(a, b, n);
}

[[gnu::aligned(64)]] [[gnu::target("avx2")]] int32_t memcmpAvx2(const void *a, const void *b,
                                                                uint32_t n) {
    return compareRange<compareShortAvx2>(a, b, n);
}

}  // namespace

/* Each of the three is bound once, when the module is loaded, to the variant
 * for the processor it runs on (an ifunc, as the C library binds its own
 * routines), so that a call costs no feature test and no second call.  The
 * resolvers run while the module is being relocated, before any constructor
 * and before a sanitizer's run-time is set up: they read the processor's
 * features and nothing else, and are not instrumented. */
extern "C" {

#define KAVO_RESOLVER __attribute__((no_sanitize("address", "thread", "undefined"), used))

KAVO_RESOLVER static auto resolveMemcpy() -> void *(*)(void *, const void *, uint32_t) {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? copyAvx2 : copyGeneric;
}

KAVO_RESOLVER static auto resolveMemmove() -> void *(*)(void *, const void *, uint32_t) {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? moveAvx2 : moveGeneric;
}

KAVO_RESOLVER static auto resolveMemcmp() -> int32_t (*)(const void *, const void *, uint32_t) {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? memcmpAvx2 : memcmpGeneric;
}

}  // extern "C"

void *OSA_memcpy(void *dst, const void *src, uint32_t n) __attribute__((ifunc("resolveMemcpy")));
void *OSA_memmove(void *dst, const void *src, uint32_t n) __attribute__((ifunc("resolveMemmove")));
int32_t OSA_memcmp(const void *a, const void *b, uint32_t n)
    __attribute__((ifunc("resolveMemcmp")));

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
