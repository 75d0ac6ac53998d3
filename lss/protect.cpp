/* Local secret protection: LSSProtect.
 *
 * Each call generates a fresh content key, wraps it under one of the
 * machine's keys, encrypts the secret under a random IV into a blob laid out
 * as lss/blob.h describes, and destroys the content key again. */
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include "cryptoclient/pex.h"
#include "lss/blob.h"
#include "lss/lss.h"
#include "lss/lss_internal.h"

namespace {

/* The header, at most LSS_MAX_WRAPPED_KEY bytes of wrapped key, a 16-byte IV
 * and the extra block that padding may add under AES. */
constexpr int64_t kBoundOverhead = 320;

constexpr uint32_t kCbc8KeyBits = 168;
constexpr uint32_t kAesKeyBits = 128;
/* PEX_GenerateKey's last argument, passed as the service expects it. */
constexpr uint32_t kGenerateKeyReserved = 0xFFFFFFFFu;

/* labelLength + 16 * (dataLength / 16) + 320, rounded up to even, worked out
 * in 64 bits and refused when the caller's signed 32-bit length cannot hold
 * it: read as signed, a data length of 2^31 or more would shrink the bound
 * below the blob's size and let a too-small buffer pass the check. */
bool sizeBound(int32_t labelLength, uint32_t dataLength, int32_t *bound) {
    int64_t value = static_cast<int64_t>(labelLength) +
                    static_cast<int64_t>(kAesBlockSize) * (dataLength / kAesBlockSize) +
                    kBoundOverhead;
    if (value % 2 != 0) {
        ++value;
    }
    if (value > INT32_MAX) {
        return false;
    }
    *bound = static_cast<int32_t>(value);
    return true;
}

int32_t generateContentKey(uint32_t cipher, PexHandle *contentKey) {
    PexHandle context = 0;
    int32_t status = PEX_CreateContext(0, &context);
    if (status != 0) {
        return status;
    }
    PexAlgorithm algorithm{};
    algorithm.oid = cipher == LSS_CIPHER_AES128 ? OID_AES128_CBC : OID_PEX_KEYGEN168;
    algorithm.params = nullptr;
    algorithm.paramsLength = 0;

    const uint32_t bits = cipher == LSS_CIPHER_AES128 ? kAesKeyBits : kCbc8KeyBits;
    const PexAttribute attributes[3] = {
        lssTemplateAttribute(PEX_ATTR_KEY_USAGE, PEX_KEY_USAGE_CONTENT),
        lssTemplateAttribute(PEX_ATTR_KEY_BITS, bits),
        lssTemplateAttribute(PEX_ATTR_TOKEN, 1),
    };
    uint32_t scratch = 0;
    status = PEX_GenerateKey(context, &algorithm, attributes, 3, &scratch, contentKey,
                             kGenerateKeyReserved);
    (void)PEX_DestroyContext(context);
    return status;
}

/* The records are the caller's, so that they outlive the calls that follow. */
int32_t beginEncryption(PexHandle context, PexHandle contentKey, const uint8_t *oid, uint8_t *iv,
                        uint32_t ivLength, PexAlgorithm *algorithm, PexParameters *params) {
    const int32_t status = PEX_GetRandom(context, iv, ivLength);
    if (status != 0) {
        return status;
    }
    lssIvAlgorithm(algorithm, params, oid, iv, ivLength);
    return PEX_DataEncryptInit(context, algorithm, contentKey);
}

/* Cipher 1: the service pads, so one call encrypts the whole secret.  *room
 * goes in as the capacity at ct and comes back as the ciphertext length. */
int32_t encryptCbc8(PexHandle context, PexHandle contentKey, const uint8_t *data,
                    uint32_t dataLength, uint8_t *iv, uint8_t *ct, uint32_t *room) {
    PexParameters params;
    PexAlgorithm algorithm;
    int32_t status = beginEncryption(context, contentKey, OID_PEX_CBC8_PAD, iv, kCbc8IvLength,
                                     &algorithm, &params);
    if (status != 0) {
        return status;
    }
    const uint32_t capacity = *room;
    status = PEX_Encrypt(context, data, dataLength, ct, room);
    /* A length beyond the room given would carry the blob past the buffer. */
    if (status == 0 && *room > capacity) {
        return LSS_ERR_BUFFER_TOO_SMALL;
    }
    return status;
}

/* Cipher 2: the service neither pads nor unpads, so the layer pads the last
 * block itself (PKCS #7) and feeds the whole blocks and the last block in
 * separate updates.  *room goes in as the capacity at ct and comes back as
 * the ciphertext length. */
int32_t encryptAes(PexHandle context, PexHandle contentKey, const uint8_t *data,
                   uint32_t dataLength, uint8_t *iv, uint8_t *ct, uint32_t *room) {
    PexParameters params;
    PexAlgorithm algorithm;
    int32_t status =
        beginEncryption(context, contentKey, OID_AES128_CBC, iv, kAesIvLength, &algorithm, &params);
    if (status != 0) {
        return status;
    }

    const uint32_t whole = dataLength & ~(kAesBlockSize - 1);
    const uint32_t rest = dataLength & (kAesBlockSize - 1);
    uint8_t lastBlock[kAesBlockSize];
    if (rest > 0) {
        memcpy(lastBlock, data + whole, rest);
    }
    memset(lastBlock + rest, static_cast<int>(kAesBlockSize - rest), kAesBlockSize - rest);

    /* Each step's room is what the earlier steps left; a step that claims
     * more than its room is refused before the remainder could wrap. */
    const uint32_t capacity = *room;
    uint32_t used = 0;
    if (whole > 0) {
        uint32_t c1 = capacity;
        status = PEX_EncryptUpdate(context, data, whole, ct, &c1);
        if (status == 0 && c1 > capacity) {
            status = LSS_ERR_BUFFER_TOO_SMALL;
        }
        used = c1;
    }
    if (status == 0) {
        uint32_t c2 = capacity - used;
        status = PEX_EncryptUpdate(context, lastBlock, kAesBlockSize, ct + used, &c2);
        if (status == 0 && c2 > capacity - used) {
            status = LSS_ERR_BUFFER_TOO_SMALL;
        }
        used += c2;
    }
    /* The last block holds the tail of the secret in clear. */
    explicit_bzero(lastBlock, sizeof lastBlock);
    if (status == 0) {
        uint32_t c3 = capacity - used;
        status = PEX_EncryptFinal(context, ct + used, &c3);
        if (status == 0 && c3 > capacity - used) {
            status = LSS_ERR_BUFFER_TOO_SMALL;
        }
        used += c3;
    }
    *room = used;
    return status;
}

}  // namespace

int32_t lssWrapContentKey(const PexHandle *contentKey, const PexHandle *wrappingKey,
                          void *destination, uint32_t *length) {
    PexHandle context = 0;
    int32_t status = PEX_CreateContext(0, &context);
    if (status != 0) {
        return status;
    }

    PexAttribute kind{};
    kind.type = PEX_ATTR_KEY_KIND;
    status = PEX_GetAttributeValue(context, *wrappingKey, &kind, 1);
    const uint8_t *oid = nullptr;
    uint32_t ivLength = 0;
    if (status == 0) {
        if (kind.present == 0) {
            status = LSS_ERR_NO_KEY_KIND;
        } else if (kind.value == PEX_KEY_KIND_1) {
            oid = OID_PEX_WRAP_KIND1;
            ivLength = kCbc8IvLength;
        } else if (kind.value == PEX_KEY_KIND_2) {
            oid = OID_PEX_CBC8_PAD;
            ivLength = kCbc8IvLength;
        } else if (kind.value == PEX_KEY_KIND_12) {
            oid = OID_PEX_WRAP_KIND12;
            ivLength = kAesIvLength;
        } else {
            status = LSS_ERR_BAD_KEY_KIND;
        }
    }

    uint8_t iv[kAesIvLength] = {};
    if (status == 0) {
        status = PEX_GetRandom(context, iv, ivLength);
    }
    if (status == 0) {
        PexParameters params;
        PexAlgorithm algorithm;
        lssIvAlgorithm(&algorithm, &params, oid, iv, ivLength);
        status = PEX_WrapKey(context, &algorithm, 0, nullptr, *wrappingKey, *contentKey,
                             destination, length);
    }
    (void)PEX_DestroyContext(context);
    return status;
}

int32_t LSSProtect(const void *label, int32_t labelLength, int32_t mode, const void *data,
                   uint32_t dataLength, void *out, int32_t *outLength) {
    /* A negative label length would turn into a huge copy. */
    if (labelLength < 0) {
        return LSS_ERR_FAILURE;
    }
    int32_t bound = 0;
    if (!sizeBound(labelLength, dataLength, &bound)) {
        return LSS_ERR_BUFFER_TOO_SMALL;
    }
    if (out == nullptr) {
        *outLength = bound;
        return 0;
    }
    const int32_t capacity = *outLength;
    if (capacity < bound) {
        return LSS_ERR_BUFFER_TOO_SMALL;
    }

    int32_t status = lssStart();
    if (status != 0) {
        return status;
    }

    auto *blob = static_cast<uint8_t *>(out);
    const auto labelSize = static_cast<uint32_t>(labelLength);
    if (labelSize > 0) {
        memcpy(blob + LSS_BLOB_HEADER_SIZE, label, labelSize);
    }

    PexHandle wrappingKey = 0;
    uint32_t keySource = 0;
    if (mode == LSS_MODE_SEARCHED_KEY) {
        status = lssFindWrappingKey(&wrappingKey);
        keySource = LSS_KEY_SOURCE_SEARCH;
    } else if (mode == LSS_MODE_PARTITION_KEY || mode == LSS_MODE_PARTITION_KEY_CBC8) {
        status = lssGetPartitionKey(&wrappingKey);
        keySource = LSS_KEY_SOURCE_PARTITION;
    } else {
        return LSS_ERR_BAD_MODE;
    }
    if (status != 0) {
        return status;
    }

    /* An odd mode forces cipher 1 even when the service offers AES. */
    const uint32_t cipher =
        (lssAesAvailable == 1 && mode % 2 == 0) ? LSS_CIPHER_AES128 : LSS_CIPHER_CBC8;
    const uint32_t ivLength = blobIvLength(cipher);

    PexHandle contentKey = 0;
    status = generateContentKey(cipher, &contentKey);
    if (status != 0) {
        return status;
    }

    /* From here on the content key exists and is destroyed on every path. */
    uint8_t *wrapped = blob + LSS_BLOB_HEADER_SIZE + labelSize;
    uint32_t wrappedLength = LSS_MAX_WRAPPED_KEY;
    status = lssWrapContentKey(&contentKey, &wrappingKey, wrapped, &wrappedLength);
    /* The bound leaves room for LSS_MAX_WRAPPED_KEY bytes only; a longer
     * answer would push the ciphertext past the buffer. */
    if (status == 0 && wrappedLength > LSS_MAX_WRAPPED_KEY) {
        status = LSS_ERR_BUFFER_TOO_SMALL;
    }
    if (status != 0) {
        (void)lssDestroyKey(&contentKey);
        return status;
    }

    /* The room left for the ciphertext: at least one block after the
     * capacity check, but refused if negative so no answer can make it wrap. */
    const int64_t room = static_cast<int64_t>(capacity) - LSS_BLOB_HEADER_SIZE - ivLength -
                         labelSize - wrappedLength;
    if (room < 0) {
        (void)lssDestroyKey(&contentKey);
        return LSS_ERR_BUFFER_TOO_SMALL;
    }
    auto cipherTextLength = static_cast<uint32_t>(room);

    PexHandle context = 0;
    status = PEX_CreateContext(0, &context);
    if (status != 0) {
        (void)lssDestroyKey(&contentKey);
        return status;
    }
    uint8_t iv[kAesIvLength] = {};
    uint8_t *cipherText = wrapped + wrappedLength + ivLength;
    const auto *secret = static_cast<const uint8_t *>(data);
    if (cipher == LSS_CIPHER_AES128) {
        status =
            encryptAes(context, contentKey, secret, dataLength, iv, cipherText, &cipherTextLength);
    } else {
        status =
            encryptCbc8(context, contentKey, secret, dataLength, iv, cipherText, &cipherTextLength);
    }
    (void)PEX_DestroyContext(context);
    if (status != 0) {
        (void)lssDestroyKey(&contentKey);
        return status;
    }
    memcpy(wrapped + wrappedLength, iv, ivLength);

    const BlobHeader header = {LSS_BLOB_MAGIC,   LSS_BLOB_VERSION, labelSize, wrappedLength,
                               cipherTextLength, ivLength,         keySource, cipher};
    blobWriteHeader(blob, header);

    /* Every part was checked against the capacity, so the sum fits. */
    *outLength = static_cast<int32_t>(LSS_BLOB_HEADER_SIZE + labelSize + wrappedLength + ivLength +
                                      cipherTextLength);
    (void)lssDestroyKey(&contentKey);
    return 0;
}
