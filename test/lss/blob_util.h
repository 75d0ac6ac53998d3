/* Helpers shared by the protection layer's tests: the credential label and
 * reading or rewriting a blob's header. */
#ifndef KAVO_TEST_LSS_BLOB_UTIL_H
#define KAVO_TEST_LSS_BLOB_UTIL_H

#include <stdint.h>

#include <vector>

namespace lsstest {

using Bytes = std::vector<uint8_t>;

inline constexpr char kLabel[] = "ARB_Cred_Store";
inline constexpr int32_t kLabelLength = 14;

/* Header fields by index: 0 magic, 1 version, 2 L, 3 W, 4 C, 5 ivLength,
 * 6 keySource, 7 cipher; read little-endian as LSSProtect writes them. */
inline uint32_t field(const Bytes &blob, int index) {
    const uint8_t *p = blob.data() + 4 * index;
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

/* The same blob behind the big-endian marker, its seven other header fields
 * rewritten big-endian. */
inline Bytes bigEndianTwin(const Bytes &blob) {
    Bytes twin = blob;
    twin[0] = 0x1A;
    twin[1] = 0xB2;
    for (int index = 1; index < 8; ++index) {
        const uint32_t v = field(blob, index);
        for (int i = 0; i < 4; ++i) {
            twin[4 * index + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
        }
    }
    return twin;
}

}  // namespace lsstest

#endif
