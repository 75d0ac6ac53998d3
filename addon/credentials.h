/* Credential storage and retrieval: the records and limits shared by
 * credentials.cpp and its tests.  The two records exchanged with the
 * credential store, ServiceEntry and CredentialRecord, come from the store's
 * own header. */
#ifndef KAVO_ADDON_CREDENTIALS_H
#define KAVO_ADDON_CREDENTIALS_H

#include <stddef.h>
#include <stdint.h>

#include "addon/addon.h"
#include "platform/credstore/kavocredstore.h"

KAVO_BEGIN_DECLS

/* Where encryptCredential leaves the protected blob: laid out like the
 * second half of a CredentialRecord, so that set_creds_in_arb copies it
 * across field by field. */
struct ProtectedSecret {
    int32_t length;
    unsigned char bytes[CREDSTORE_SECRET_SIZE];
};

#ifdef __cplusplus
static_assert(sizeof(ProtectedSecret) == 1028, "ProtectedSecret is 1028 bytes");
static_assert(offsetof(ProtectedSecret, length) == 0, "ProtectedSecret.length at 0");
static_assert(offsetof(ProtectedSecret, bytes) == 4, "ProtectedSecret.bytes at 4");
#endif

KAVO_END_DECLS

/* Every stored password is protected under this label (its length excludes
 * the terminating zero) and mode. */
#define MFA_CRED_LABEL "ARB_Cred_Store"
#define MFA_CRED_LABEL_LENGTH 14
#define MFA_CRED_PROTECT_MODE 2

/* Room for a regained password: the plaintext of a stored password is at
 * most 127 bytes with its zero. */
#define MFA_PASSWORD_ROOM 128
/* Largest userNameLength accepted from the store: the size of the caller's
 * user name buffer. */
#define MFA_USER_NAME_ROOM 256

#endif
