/* Directory identity library, libtamo.so.0: the calls the add-on makes to
 * look up directory users, their SIDs and their security-equivalence lists. */
#ifndef KAVO_TAMOLIB_H
#define KAVO_TAMOLIB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility; these are its entry points. */
#define TAMO_API __attribute__((visibility("default")))

/* Status codes of the library. */
#define TAMO_OK 0
#define TAMO_ERR_BUFFER_TOO_SMALL (-9009) /* *count now holds the count needed */
#define TAMO_ERR_NOT_FOUND (-9001)        /* no such user or entry */
#define TAMO_ERR_INVALID_ARG (-9002)      /* null pointer, bad selector, bad SID */
#define TAMO_ERR_NO_SID (-9003)           /* the entry has no SID */
#define TAMO_ERR_DATABASE (-9004)         /* database missing, unreadable or corrupt */
#define TAMO_ERR_NO_MEMORY (-9005)
#define TAMO_ERR_NOT_A_FILE (-9006) /* database path is a FIFO, device or directory */
#define TAMO_ERR_CONFIG (-9007)     /* directory.conf (or its password file) unusable */
#define TAMO_ERR_UNAVAILABLE                                                                    \
    (-9008)                         /* LDAP server down, silent past timeout_ms, or bind failed \
                                     */
#define TAMO_ERR_AMBIGUOUS (-9010)  /* LDAP: more than one entry has the login name */
#define TAMO_ERR_BAD_VALUE (-9011)  /* LDAP: SID not a packed SID of at most 68 bytes */
#define TAMO_ERR_UNRESOLVED (-9012) /* LDAP: a list value names no entry with a 16-byte GUID */
#define TAMO_ERR_LDAP (-9013)       /* LDAP: any other error the server or library reports */
#define TAMO_ERR_NO_LDAP (-9014)    /* LDAP: OpenLDAP's client library cannot be loaded */
#define TAMO_ERR_CLEAR_TEXT_BIND (-9015) /* LDAP: bind_dn over ldap:// without starttls */
#define TAMO_ERR_BIND_REFUSED                                                      \
    (-9016) /* LDAP: the server refused the bind as invalid credentials; not tried \
               again until directory.conf or its password file changes */

/* LDAP: the largest message accepted from a server, an entry with all its
 * values.  Larger ones end the connection rather than fill the memory. */
#define TAMO_LDAP_MAX_MESSAGE 16777216 /* 16 MiB */

/* LDAP: how long calls fail at once after one has timed out. */
#define TAMO_FAIL_FAST_MS 1000

/* LDAP: the most searches one connection has sent and not yet had answered. */
#define TAMO_LDAP_MAX_IN_FLIGHT 64

/* How long, and for how many entries, a thread's GUID lookups are answered
 * with the DNs its last list call saw. */
#define TAMO_LIST_MEMO_MS 1000
#define TAMO_LIST_MEMO_MAX 4096

/* Selector values: what a user-information call is asked for. */
#define TAMO_INFO_DN 1  /* the entry's distinguished name */
#define TAMO_INFO_SID 2 /* the entry's SID in packed form */

/* Sizes of the values the library writes. */
#define TAMO_GUID_SIZE 16
#define TAMO_SID_MAX_SIZE 68 /* revision, count, 6-byte authority, 15 x 4 bytes */
#define TAMO_SID_MAX_SUBAUTHORITIES 15
#define TAMO_SID_TEXT_SIZE 190 /* longest SID text with its zero byte fits */

/* Finds a user by login name (zero-terminated UTF-8).  *selector must be
 * TAMO_INFO_SID: the user's GUID goes to guid (16 bytes) and the SID in
 * packed form (revision, sub-authority count, 48-bit big-endian authority,
 * 32-bit little-endian sub-authorities; at most TAMO_SID_MAX_SIZE bytes) to
 * sid.  reserved1 and reserved2 may be null; they are neither read nor
 * written.  Returns TAMO_OK, TAMO_ERR_NOT_FOUND, TAMO_ERR_NO_SID, ... */
TAMO_API int32_t tamolib_get_userinfo_from_name(const char *name, int32_t *selector,
                                                unsigned char *guid, unsigned char *sid,
                                                int32_t *reserved1, int32_t *reserved2);

/* Writes the text form "S-<revision>-<authority>-<sub>-..." of a packed SID
 * into text, which must hold TAMO_SID_TEXT_SIZE bytes.  A malformed SID
 * (more than 15 sub-authorities) gives the empty string and
 * TAMO_ERR_INVALID_ARG. */
TAMO_API int32_t tamolib_sid_to_string(const unsigned char *sid, char *text);

/* Returns the security-equivalence list of the user whose login name is
 * given as UTF-16LE code units ending with a zero unit.  *count holds the
 * capacity of guids in GUIDs on entry.  On TAMO_OK it holds the number of
 * GUIDs written (zero for a user without list); on TAMO_ERR_BUFFER_TOO_SMALL
 * nothing is written and it holds the number needed.  flags may be null and
 * is not used. */
TAMO_API int32_t tamolib_get_sevlist_from_name(const unsigned char *name16, int32_t *count,
                                               unsigned char *guids, int32_t *flags);

/* Finds an entry by GUID.  *selector must be TAMO_INFO_DN; on TAMO_OK *dn
 * points to a new malloc'd zero-terminated copy of the entry's DN, which the
 * caller frees.  reserved1 and reserved2 must be null; flags may be null
 * and is not used. */
TAMO_API int32_t tamolib_get_userinfo_from_guid(const unsigned char *guid, int32_t *selector,
                                                void *reserved1, void *reserved2, int32_t *flags,
                                                char **dn);

#ifdef __cplusplus
}
#endif

#endif
