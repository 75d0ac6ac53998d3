/* Local secret protection: LSSUnprotect.
 *
 * Reads a blob written by LSSProtect (layout in lss/blob.h),
 * checks its header and label, unwraps the content key under the machine key
 * that the header names, and decrypts the secret into the caller's buffer.
 * The blob is outside data: every length is checked against blobLength, in a
 * width that cannot wrap, before a byte behind it is read. */
#include <stdint.h>
#include <string.h>

#include "cryptoclient/pex.h"
#include "lss/blob.h"
#include "lss/lss.h"
#include "lss/lss_internal.h"

namespace {

/* The PKCS #7 padding that LSSProtect added under AES: on 0, *secretLength
 * is the length in front of the pad bytes of the n decrypted bytes. */
int32_t removeAesPadding(const uint8_t *out, uint32_t n, uint32_t *secretLength) {
    if (n < kAesBlockSize || n % kAesBlockSize != 0) {
        return LSS_ERR_BAD_CIPHERTEXT_LENGTH;
    }
    const uint32_t pad = out[n - 1];
    if (pad == 0 || pad > kAesBlockSize) {
        return LSS_ERR_FAILURE;
    }
    for (uint32_t i = n - pad; i < n; ++i) {
        if (out[i] != pad) {
            return LSS_ERR_FAILURE;
        }
    }
    *secretLength = n - pad;
    return 0;
}

/* *length goes in as the capacity of out and comes back as the secret's. */
int32_t decrypt(const BlobHeader &header, PexHandle contentKey, const uint8_t *iv,
                const uint8_t *cipherText, uint8_t *out, uint32_t *length) {
    PexHandle context = 0;
    int32_t status = PEX_CreateContext(0, &context);
    if (status != 0) {
        return status;
    }
    const bool aes = header.cipher == LSS_CIPHER_AES128;
    PexParameters params;
    PexAlgorithm algorithm;
    lssIvAlgorithm(&algorithm, &params, aes ? OID_AES128_CBC : OID_PEX_CBC8_PAD, iv,
                   blobIvLength(header.cipher));
    status = PEX_DataDecryptInit(context, &algorithm, contentKey);

    const uint32_t capacity = *length;
    uint32_t n = capacity;
    if (status == 0) {
        status = PEX_Decrypt(context, cipherText, header.cipherTextLength, out, &n);
    }
    /* The padding check reads out[0 .. n): a length past the room is refused. */
    if (status == 0 && n > capacity) {
        status = LSS_ERR_BUFFER_TOO_SMALL;
    }
    uint32_t secretLength = n;
    if (status == 0 && aes) {
        status = removeAesPadding(out, n, &secretLength);
        if (status != 0) {
            /* What was decrypted is not handed out as a secret. */
            explicit_bzero(out, n);
        }
    }
    (void)PEX_DestroyContext(context);
    if (status == 0) {
        *length = secretLength;
    }
    return status;
}

/* Everything after lssStart, so that the caller sets *outLength to 0 on
 * every failure in one place. */
int32_t unprotect(const void *label, int32_t labelLength, const uint8_t *blob, uint32_t blobLength,
                  uint8_t *out, uint32_t *outLength) {
    if (blobLength < LSS_BLOB_HEADER_SIZE) {
        return LSS_ERR_NOT_A_BLOB;
    }
    BlobHeader header{};
    if (!blobReadHeader(blob, &header)) {
        return LSS_ERR_NOT_A_BLOB;
    }
    if (header.version != LSS_BLOB_VERSION) {
        return LSS_ERR_BAD_VERSION;
    }
    const uint64_t claimed = uint64_t{LSS_BLOB_HEADER_SIZE} + header.labelLength +
                             header.wrappedKeyLength + header.ivLength + header.cipherTextLength;
    if (claimed > blobLength) {
        return LSS_ERR_NOT_A_BLOB;
    }

    /* The ciphertext length bounds the secret's. */
    if (out == nullptr) {
        *outLength = header.cipherTextLength;
        return 0;
    }
    if (*outLength < header.cipherTextLength) {
        return LSS_ERR_BUFFER_TOO_SMALL;
    }

    const uint8_t *blobLabel = blob + LSS_BLOB_HEADER_SIZE;
    if (labelLength < 0 || static_cast<uint32_t>(labelLength) != header.labelLength ||
        (header.labelLength > 0 && memcmp(blobLabel, label, header.labelLength) != 0)) {
        return LSS_ERR_LABEL_MISMATCH;
    }

    PexHandle wrappingKey = 0;
    int32_t status = 0;
    if (header.keySource == LSS_KEY_SOURCE_SEARCH) {
        status = lssFindWrappingKey(&wrappingKey);
    } else if (header.keySource == LSS_KEY_SOURCE_PARTITION) {
        status = lssGetPartitionKey(&wrappingKey);
    } else {
        return LSS_ERR_BAD_MODE;
    }
    if (status != 0) {
        return status;
    }

    const uint8_t *wrapped = blobLabel + header.labelLength;
    PexHandle context = 0;
    status = PEX_CreateContext(0, &context);
    if (status != 0) {
        return status;
    }
    PexHandle contentKey = 0;
    status = PEX_UnwrapKey(context, wrappingKey, wrapped, header.wrappedKeyLength, &contentKey);
    (void)PEX_DestroyContext(context);
    if (status != 0) {
        return status;
    }

    /* From here on the content key exists and is destroyed on every path.
     * The IV is read at the cipher's own length, so a header whose ivLength
     * disagrees with it is refused: the bounds check covered ivLength bytes. */
    if ((header.cipher != LSS_CIPHER_CBC8 && header.cipher != LSS_CIPHER_AES128) ||
        header.ivLength != blobIvLength(header.cipher)) {
        (void)lssDestroyKey(&contentKey);
        return LSS_ERR_NOT_A_BLOB;
    }
    const uint8_t *iv = wrapped + header.wrappedKeyLength;
    const uint8_t *cipherText = iv + header.ivLength;
    uint32_t length = *outLength;
    status = decrypt(header, contentKey, iv, cipherText, out, &length);
    if (status == 0) {
        *outLength = length;
    }
    (void)lssDestroyKey(&contentKey);
    return status;
}

}  // namespace

int32_t LSSUnprotect(const void *label, int32_t labelLength, const void *blob, uint32_t blobLength,
                     void *out, uint32_t *outLength) {
    int32_t status = lssStart();
    if (status == 0) {
        status = unprotect(label, labelLength, static_cast<const uint8_t *>(blob), blobLength,
                           static_cast<uint8_t *>(out), outLength);
    }
    if (status != 0) {
        *outLength = 0;
    }
    return status;
}
