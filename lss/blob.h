/* The protected blob's stored layout, read and written here and nowhere else
 * (LSSProtect, LSSUnprotect, their tests and the fuzz target).
 *
 *   offset  size  field
 *        0     4  marker: LSS_BLOB_MAGIC, or LSS_BLOB_MAGIC_BE when the other
 *                 seven fields are big-endian; itself always little-endian
 *        4     4  version, LSS_BLOB_VERSION
 *        8     4  label length L
 *       12     4  wrapped content key length W (at most LSS_MAX_WRAPPED_KEY)
 *       16     4  ciphertext length C
 *       20     4  IV length, fixed by the cipher (blobIvLength)
 *       24     4  key source, LSS_KEY_SOURCE_*
 *       28     4  cipher, LSS_CIPHER_*
 *       32     L  label, no terminator
 *   32 + L     W  wrapped content key
 *           iv    IV
 *            C    ciphertext; nothing follows
 *
 * LSSProtect writes little-endian only.  Blobs are stored, so this never
 * changes. */
#ifndef KAVO_LSS_BLOB_H
#define KAVO_LSS_BLOB_H

#ifndef __cplusplus
#error "blob.h is for the layer's C++ sources and tests"
#endif

#include <stddef.h>
#include <stdint.h>

#include "lss/lss.h"

/* Header fields in stored order; field i lies at byte 4 * i. */
enum BlobField : uint32_t {
    kBlobMagic,
    kBlobVersion,
    kBlobLabelLength,
    kBlobWrappedKeyLength,
    kBlobCipherTextLength,
    kBlobIvLength,
    kBlobKeySource,
    kBlobCipher,
    kBlobFieldCount
};
constexpr size_t blobOffset(BlobField field) {
    return size_t{4} * field;
}
static_assert(blobOffset(kBlobFieldCount) == LSS_BLOB_HEADER_SIZE);

/* The header's fields in host order, whichever order the blob used. */
struct BlobHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t labelLength;
    uint32_t wrappedKeyLength;
    uint32_t cipherTextLength;
    uint32_t ivLength;
    uint32_t keySource;
    uint32_t cipher;
};
static_assert(sizeof(BlobHeader) == LSS_BLOB_HEADER_SIZE);
static_assert(offsetof(BlobHeader, cipher) == blobOffset(kBlobCipher));

inline constexpr uint32_t kCbc8IvLength = 8;
inline constexpr uint32_t kAesIvLength = 16;
inline constexpr uint32_t kAesBlockSize = 16;

constexpr uint32_t blobIvLength(uint32_t cipher) {
    return cipher == LSS_CIPHER_AES128 ? kAesIvLength : kCbc8IvLength;
}

inline uint32_t blobGetLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint32_t blobGetBe32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void blobPutLe32(uint8_t *p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline void blobPutBe32(uint8_t *p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

/* Reads the LSS_BLOB_HEADER_SIZE bytes at blob.  False, with nothing but
 * header->magic read, when the marker is neither LSS_BLOB_MAGIC nor
 * LSS_BLOB_MAGIC_BE. */
inline bool blobReadHeader(const uint8_t *blob, BlobHeader *header) {
    header->magic = blobGetLe32(blob);
    uint32_t (*get)(const uint8_t *) = nullptr;
    if (header->magic == LSS_BLOB_MAGIC) {
        get = blobGetLe32;
    } else if (header->magic == LSS_BLOB_MAGIC_BE) {
        get = blobGetBe32;
    } else {
        return false;
    }
    header->version = get(blob + blobOffset(kBlobVersion));
    header->labelLength = get(blob + blobOffset(kBlobLabelLength));
    header->wrappedKeyLength = get(blob + blobOffset(kBlobWrappedKeyLength));
    header->cipherTextLength = get(blob + blobOffset(kBlobCipherTextLength));
    header->ivLength = get(blob + blobOffset(kBlobIvLength));
    header->keySource = get(blob + blobOffset(kBlobKeySource));
    header->cipher = get(blob + blobOffset(kBlobCipher));
    return true;
}

/* Writes the header at blob; header.magic chooses the byte order of the
 * other fields, as blobReadHeader reads them. */
inline void blobWriteHeader(uint8_t *blob, const BlobHeader &header) {
    void (*put)(uint8_t *, uint32_t) =
        header.magic == LSS_BLOB_MAGIC_BE ? blobPutBe32 : blobPutLe32;
    blobPutLe32(blob, header.magic);
    put(blob + blobOffset(kBlobVersion), header.version);
    put(blob + blobOffset(kBlobLabelLength), header.labelLength);
    put(blob + blobOffset(kBlobWrappedKeyLength), header.wrappedKeyLength);
    put(blob + blobOffset(kBlobCipherTextLength), header.cipherTextLength);
    put(blob + blobOffset(kBlobIvLength), header.ivLength);
    put(blob + blobOffset(kBlobKeySource), header.keySource);
    put(blob + blobOffset(kBlobCipher), header.cipher);
}

#endif
