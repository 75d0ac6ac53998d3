/* Credential store library, libkavocredstore.so: its interface.
 *
 * The store keeps one credential per service: a user name and a secret (the
 * module stores a protected blob there, never a password in clear).  Callers
 * exchange two fixed-size records with it; their layouts are an interface
 * shared by every program that talks to the store, so sizes and offsets are
 * asserted below.
 *
 * All lengths are 32-bit integers in the machine's byte order. */
#ifndef KAVO_CREDSTORE_H
#define KAVO_CREDSTORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility; only the two calls below
 * leave it. */
#define KAVO_CREDSTORE_API __attribute__((visibility("default")))

#define CREDSTORE_SERVICE_NAME_SIZE 512u
#define CREDSTORE_USER_NAME_SIZE 1024u
#define CREDSTORE_SECRET_SIZE 1024u

/* Names the service.  The store matches services by the bytes of `name` up
 * to its first zero byte (never beyond the field), not by `nameLength`:
 * a store request gives the length without the terminating zero, a read
 * request with it. */
typedef struct ServiceEntry {
    uint32_t nameLength;
    char name[CREDSTORE_SERVICE_NAME_SIZE];
} ServiceEntry;

/* The credential itself.  `userNameLength` counts the user name's
 * terminating zero; `secretLength` is the number of meaningful bytes of
 * `secret`.  Bytes beyond the values are zero. */
typedef struct CredentialRecord {
    uint32_t userNameLength;
    char userName[CREDSTORE_USER_NAME_SIZE];
    uint32_t secretLength;
    unsigned char secret[CREDSTORE_SECRET_SIZE];
} CredentialRecord;

#ifdef __cplusplus
#define KAVO_CREDSTORE_ASSERT static_assert
#else
#define KAVO_CREDSTORE_ASSERT _Static_assert
#endif
KAVO_CREDSTORE_ASSERT(sizeof(ServiceEntry) == 516, "ServiceEntry is 516 bytes");
KAVO_CREDSTORE_ASSERT(offsetof(ServiceEntry, nameLength) == 0, "ServiceEntry.nameLength at 0");
KAVO_CREDSTORE_ASSERT(offsetof(ServiceEntry, name) == 4, "ServiceEntry.name at 4");
KAVO_CREDSTORE_ASSERT(sizeof(CredentialRecord) == 2056, "CredentialRecord is 2056 bytes");
KAVO_CREDSTORE_ASSERT(offsetof(CredentialRecord, userNameLength) == 0,
                      "CredentialRecord.userNameLength at 0");
KAVO_CREDSTORE_ASSERT(offsetof(CredentialRecord, userName) == 4, "CredentialRecord.userName at 4");
KAVO_CREDSTORE_ASSERT(offsetof(CredentialRecord, secretLength) == 1028,
                      "CredentialRecord.secretLength at 1028");
KAVO_CREDSTORE_ASSERT(offsetof(CredentialRecord, secret) == 1032,
                      "CredentialRecord.secret at 1032");
#undef KAVO_CREDSTORE_ASSERT

/* Statuses.  0 is success; every failure is a distinct negative value. */
enum {
    CREDSTORE_OK = 0,
    /* arb_get_credential: no credential is stored for the service. */
    CREDSTORE_ERR_NOT_FOUND = -802,
    /* arb_set_credential: the user name is empty (userNameLength 0 or a
     * zero first byte). */
    CREDSTORE_ERR_USER_NAME_NOT_SET = -805,
    /* A record pointer is null, or the service name is empty. */
    CREDSTORE_ERR_INVALID_ARGUMENT = -820,
    /* arb_set_credential: nameLength above 512, userNameLength above 1024 or
     * secretLength above 1024; nothing is stored. */
    CREDSTORE_ERR_LENGTH = -821,
    /* The database cannot be opened or created (missing directory,
     * permissions, not a database). */
    CREDSTORE_ERR_OPEN = -822,
    /* Another process held the database longer than the busy timeout. */
    CREDSTORE_ERR_BUSY = -823,
    /* The disk or the database is full; nothing is stored. */
    CREDSTORE_ERR_FULL = -824,
    /* A stored row holds more bytes than its record field can take (only a
     * row written around this library can); the record is left zeroed. */
    CREDSTORE_ERR_CORRUPT = -825,
    /* Any other database failure. */
    CREDSTORE_ERR_DATABASE = -826,
    /* The database path names something other than a regular file (a
     * symbolic link, FIFO, device or directory); it is refused without
     * being opened, and left as it is. */
    CREDSTORE_ERR_NOT_REGULAR = -827
};

/* Where the database lives: $KAVO_CREDSTORE_DB when it is set and not
 * empty, else this path.  It is created with its schema on first use, mode
 * 0600 whatever the process's creation mask (SQLite gives its -wal and -shm
 * files the database's mode).  Processes that make their first calls
 * together wait for each other, also while the database is being created. */
#define CREDSTORE_DEFAULT_DB "/etc/opt/zorvex/credstore.db"

/* Stores (inserts or replaces) the credential of the service in one
 * transaction.  Returns 0 once the store is durable. */
KAVO_CREDSTORE_API int32_t arb_set_credential(const ServiceEntry *serviceEntry,
                                              const CredentialRecord *credentialRecord);

/* Fills *credentialRecord (zeroed first) with the service's credential,
 * exactly as it was stored.  CREDSTORE_ERR_NOT_FOUND when there is none. */
KAVO_CREDSTORE_API int32_t arb_get_credential(const ServiceEntry *serviceEntry,
                                              CredentialRecord *credentialRecord);

#ifdef __cplusplus
}
#endif

#endif
