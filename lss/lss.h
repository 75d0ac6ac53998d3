/* Local secret protection: the public interface.
 *
 * LSSProtect turns a secret into a self-contained protected blob whose
 * content key is wrapped under one of the machine's keys in the
 * cryptographic service; LSSUnprotect opens it again on a machine that holds
 * the same key.  Blobs are stored: the layout (lss/blob.h) never changes. */
#ifndef KAVO_LSS_H
#define KAVO_LSS_H

#include <stdint.h>

#include "osa/export.h"

KAVO_BEGIN_DECLS

/* ---- Blob format: the constants; the layout is in lss/blob.h ------------ */
#define LSS_BLOB_MAGIC 0x0000A12Bu    /* bytes 2B A1 00 00 */
#define LSS_BLOB_MAGIC_BE 0x0000B21Au /* bytes 1A B2 00 00: header fields big-endian */
#define LSS_BLOB_VERSION 1u
#define LSS_BLOB_HEADER_SIZE 32u
#define LSS_MAX_WRAPPED_KEY 256u

enum {
    LSS_KEY_SOURCE_SEARCH = 2,   /* wrapped under the key object found by search */
    LSS_KEY_SOURCE_PARTITION = 4 /* wrapped under the partition key */
};

enum {
    LSS_CIPHER_CBC8 = 1,  /* 168-bit key, 8-byte blocks, padding by the service */
    LSS_CIPHER_AES128 = 2 /* AES-128-CBC, PKCS #7 padding by this layer */
};

/* Protection modes (LSSProtect's third argument). */
enum { LSS_MODE_SEARCHED_KEY = 2, LSS_MODE_PARTITION_KEY = 4, LSS_MODE_PARTITION_KEY_CBC8 = 5 };

/* Statuses of this layer; statuses of the service pass through unchanged. */
enum {
    LSS_ERR_FAILURE = -1, /* bad padding; unsupported bag function */
    LSS_ERR_BUFFER_TOO_SMALL = -2,
    LSS_ERR_BAD_VERSION = -3,
    LSS_ERR_NO_WRAPPING_KEY = -4,
    LSS_ERR_NO_KEY_KIND = -5,
    LSS_ERR_BAD_KEY_KIND = -6,
    LSS_ERR_LABEL_MISMATCH = -7,
    LSS_ERR_BAD_MODE = -8,
    LSS_ERR_NOT_A_BLOB = -9,
    LSS_ERR_BAD_CIPHERTEXT_LENGTH = -1416
};

KAVO_EXPORT int32_t LSSInit(void);
KAVO_EXPORT int32_t LSSShutdown(void);

KAVO_EXPORT int32_t LSSProtect(const void *label, int32_t labelLength, int32_t mode,
                               const void *data, uint32_t dataLength, void *out,
                               int32_t *outLength);
KAVO_EXPORT int32_t LSSUnprotect(const void *label, int32_t labelLength, const void *blob,
                                 uint32_t blobLength, void *out, uint32_t *outLength);

/* The bag functions are not supported: each starts the session and returns
 * LSS_ERR_FAILURE. */
KAVO_EXPORT int32_t LSSPut(void);
KAVO_EXPORT int32_t LSSGet(void);
KAVO_EXPORT int32_t LSSDeleteBag(void);
KAVO_EXPORT int32_t LSSDeleteAllBags(void);
KAVO_EXPORT int32_t LSSBagCount(void);
KAVO_EXPORT int32_t LSSBagList(void);

/* The module's request lock: every credential request holds it from before
 * its first protection call until after LSSShutdown.  The exit handler takes
 * it too, so it never closes the session under a request running on another
 * thread, and after it has run no request opens the session again.  The
 * add-on's own; not part of the module's C interface, so never exported. */
__attribute__((visibility("hidden"))) void lssRequestEnter(void);
__attribute__((visibility("hidden"))) void lssRequestLeave(void);

KAVO_END_DECLS

#endif
