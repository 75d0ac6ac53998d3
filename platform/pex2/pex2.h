/* The cryptographic service library libpex2.so: its entry points.
 *
 * Every entry point takes the caller's module identifier first.  The
 * operations are declared from the operation table (pex_ops.def, beside this
 * header); the session entry points are declared by hand.  All are exported
 * with the symbol version VESK_VERSION_2.3.0 (libpex2.map).
 *
 * Locking: each call of an open session locks the mutex handed over when the
 * session was authenticated and unlocks it before returning.  A call naming a
 * module identifier with no open session returns PEX2_ERR_NO_SESSION with a
 * lock held by the calling thread, because the caller's wrapper releases it
 * once: the lock of that identifier's closed session when it is one of the
 * last few closed, else the lock of the latest successful authentication.
 * If no session was ever opened, none is taken.  A lock handed over must
 * therefore stay valid memory for the life of the process, as the client's
 * process-wide lock does.  PEXX_Goodbye is the exception: nobody releases a
 * lock after it, so for an unknown identifier it returns PEX2_ERR_NO_SESSION
 * without taking one. */
#ifndef KAVO_PEX2_H
#define KAVO_PEX2_H

#include <pthread.h>
#include <stdint.h>

#include "platform/pex2/pex_records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility; these are its entry points. */
#define PEX2_API __attribute__((visibility("default")))

/* Statuses of the library.  0 is success; every failure is negative. */
#define PEX2_OK 0
/* The module identifier names no open session.  Returned with the caller's
 * lock held, so that the caller's wrapper can release it once. */
#define PEX2_ERR_NO_SESSION (-1496)
/* The entry point exists for binary compatibility but does nothing here. */
#define PEX2_ERR_NOT_SUPPORTED (-1430)
/* A null pointer, a zero or out-of-range count, or a malformed record. */
#define PEX2_ERR_BAD_ARGUMENT (-1431)
/* The context handle is unknown, destroyed, or belongs to another session. */
#define PEX2_ERR_BAD_CONTEXT (-1432)
/* The key handle is unknown, destroyed, or belongs to another session. */
#define PEX2_ERR_BAD_KEY (-1433)
/* The algorithm identifier is unknown or disabled, or its IV is unusable. */
#define PEX2_ERR_BAD_ALGORITHM (-1434)
/* An input length the cipher cannot take (AES without padding needs whole
 * 16-byte blocks; triple DES decryption needs whole 8-byte blocks). */
#define PEX2_ERR_BAD_LENGTH (-1435)
/* The caller's output buffer is too small; the out-length holds the need. */
#define PEX2_ERR_BUFFER_TOO_SMALL (-1436)
/* The context has no operation started, or one of the other direction. */
#define PEX2_ERR_NOT_INITIALIZED (-1437)
/* Wrapped-key bytes that are malformed, of another version, or that do not
 * decrypt under the given wrapping key. */
#define PEX2_ERR_BAD_WRAPPED_KEY (-1438)
/* The cipher library failed (also a padding check that fails on decryption). */
#define PEX2_ERR_CRYPTO (-1439)
/* The machine key store exists but cannot be read or verified; it is left
 * untouched and no session opens. */
#define PEX2_ERR_KEYSTORE_UNREADABLE (-1440)
/* The machine key store could not be created or written. */
#define PEX2_ERR_KEYSTORE_WRITE (-1441)
/* Memory or a table is exhausted. */
#define PEX2_ERR_NO_MEMORY (-1442)
/* The session's lock could not be taken. */
#define PEX2_ERR_LOCK (-1443)
/* A session is already open under this module identifier with another lock. */
#define PEX2_ERR_SESSION_EXISTS (-1444)
/* The object is one of the machine's keys: they belong to the service and
 * are neither destroyed nor wrapped for export. */
#define PEX2_ERR_MACHINE_KEY (-1445)
/* The machine key store's directory is writable by group or others, or owned
 * by a user other than the caller and root: keys there could have been put
 * or moved by someone else, so no session opens. */
#define PEX2_ERR_KEYSTORE_UNSAFE (-1446)
/* The PKCS#11 token that the configuration names cannot be used: its module
 * does not load or initialise, no token has the label, the PIN file is
 * missing, unsafe or empty, the PIN is wrong, the configuration names only
 * part of the token, or the token session was lost.  Nothing falls back to
 * the key-store file. */
#define PEX2_ERR_TOKEN_UNAVAILABLE (-1447)
/* The token answers, but the machine keys recorded as made in it are not
 * there (or are not sensitive, non-extractable AES-256 keys): blobs made
 * under them cannot be opened, so nothing is made anew in their place. */
#define PEX2_ERR_TOKEN_KEYS_MISSING (-1448)

/* Attribute values the service itself gives its key objects (type 10). */
#define PEX2_CLASS_SECRET_KEY 4u    /* content keys: generated or unwrapped */
#define PEX2_CLASS_PARTITION_KEY 7u /* the partition key */

/* Opens a service session under module.  The library keeps lock and locks
 * it for its own work in every later call of that session. */
PEX2_API int32_t PEXX_Authenticate(uint64_t module, pthread_mutex_t *lock, void *reserved,
                                   void *scratch16, uint32_t zero, uint64_t *out64);
PEX2_API int32_t PEXX_Authenticate2(uint64_t module, pthread_mutex_t *lock, void *reserved,
                                    void *scratch16, uint32_t zero, uint64_t *out64,
                                    uint32_t flags);
PEX2_API int32_t PEXX_Goodbye(uint64_t module);

#define PEX_OP(name, params, args) PEX2_API int32_t PEXX_##name PEX_PARAMS_WITH_MODULE params;
#define SSL_OP(name, params, args) PEX2_API int32_t SSLX_##name PEX_PARAMS_WITH_MODULE params;
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP

#ifdef __cplusplus
}
#endif

#endif
