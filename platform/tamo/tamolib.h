/* Directory identity library, libtamo.so.0: the calls the add-on makes to
 * look up directory users, their SIDs and their security-equivalence lists.
 *
 * This build is a working simulator with two back ends.
 *
 * SQLite (the default): an SQLite directory database at $TAMO_DIRECTORY_DB
 * (default /etc/opt/zorvex/directory.db), opened read-only.  Each thread
 * keeps its own connection with its statements prepared, so lookups from
 * several threads run side by side; a connection is made again when the
 * file has been replaced (another inode) and in a child after fork().  The
 * path is checked with stat() first: anything but a regular file (a FIFO, a
 * device, a directory) is refused with TAMO_ERR_NOT_A_FILE without being
 * opened, so a call never blocks on it.  Schema (tamo_internal.h):
 *   entries(guid BLOB(16) PRIMARY KEY, login TEXT NULL UNIQUE, dn TEXT,
 *           sid TEXT NULL)              -- sid in "S-1-5-21-..." text form
 *   sev(user_guid, position, member_guid) -- ordered equivalence list
 * A member GUID without an entry makes tamolib_get_userinfo_from_guid fail.
 * Login names are compared byte for byte (case-sensitive).
 *
 * LDAP: when the file $TAMO_DIRECTORY_CONF (default
 * /etc/opt/zorvex/directory.conf) exists, every call is answered by an LDAP
 * directory instead, through OpenLDAP's client library, which is loaded with
 * dlopen() only then (the SQLite back end needs no LDAP library).  The file
 * chooses the server that receives the bind password, so it must be owned
 * by the calling user or root and writable by nobody else.  It is read
 * again when it changes (device, inode, size, modification time, mode or
 * owner), and so is the password file when it changes.  A file that cannot
 * be used makes every call fail with TAMO_ERR_CONFIG (a password that would
 * go out in clear: TAMO_ERR_CLEAR_TEXT_BIND), and one line naming the file
 * and the fault goes to standard error; there is no fallback to SQLite.
 * Keys, one "key = value" per line, '#' starting a comment line:
 *   uri             ldap://, ldaps:// or ldapi:// URIs separated by spaces,
 *                   tried in order (required)
 *   base            the search base (required)
 *   bind_dn         a simple bind as this DN, with the password read from
 *   password_file   this file (which must not be readable by group or
 *                   others, and must not be empty; one trailing line break
 *                   is dropped).  Only ldaps://, ldapi:// or StartTLS carry
 *                   the password: with an ldap:// URI and no starttls the
 *                   file is refused.  Without them: SASL EXTERNAL when
 *                   every URI is ldapi://, else an anonymous bind.
 *   starttls        yes|no (default no; ldap:// URIs only).  TLS (ldaps://
 *                   or StartTLS) checks the server's certificate against the
 *                   system's CA certificates.
 *   timeout_ms      the longest one library call waits, connecting to every
 *                   URI included (default 5000).  After a call times out,
 *                   calls fail at once with TAMO_ERR_UNAVAILABLE for
 *                   TAMO_FAIL_FAST_MS, so a long list against a silent
 *                   server fails within about timeout_ms.
 *   login_attribute sAMAccountName   the user's login name (equality search)
 *   sid_attribute   objectSid        the binary SID (the packed form)
 *   guid_attribute  objectGUID       16 bytes (equality search)
 *   sev_attribute   memberOf         DNs of the user's equivalence entries,
 *                                    in the order the server returns them
 *   user_filter     (&(objectCategory=person)(objectClass=user))
 *                   ANDed with the login match, so that only user objects
 *                   answer for a login (Active Directory gives groups and
 *                   computers one too); set it for another schema
 *   tls_ca_file     the CA certificates (PEM) that TLS checks the server
 *                   against instead of the system's; an absolute path, to
 *                   a file that only this user or root may write
 * One connection per thread, made on the thread's first call, made again
 * after an error, a change of either file, and in a child after fork(),
 * and closed when the thread ends, so that lookups of several threads never
 * wait for each other's answers.  Every read and write on it, the TLS
 * handshake included, waits at most until the call's deadline, without
 * spinning.  A search tells the server a time limit in whole seconds that
 * is never shorter than what the call has left (the call itself still ends
 * at timeout_ms).  A list call sends at most TAMO_LDAP_MAX_IN_FLIGHT
 * searches before it reads their answers (servers end a session that has
 * too many waiting).  When the server answers a bind with "invalid
 * credentials", no thread binds with the same files again: every call
 * fails at once with TAMO_ERR_BIND_REFUSED (and one line goes to standard
 * error) until directory.conf or its password file changes, so that our
 * retries never lock the account.  Search references (referrals), which
 * Active Directory returns for a search at a domain's root, are passed
 * over.  An answer larger than TAMO_LDAP_MAX_MESSAGE bytes is not read:
 * the call fails with TAMO_ERR_UNAVAILABLE.  Values in filters are escaped
 * as RFC 4515 requires, so '*', '(', ')', '\' and NUL in a name match only
 * themselves.  A list is direct membership, the values of sev_attribute as
 * the server holds them: nested groups are not expanded.
 *
 * Both back ends: a list call also tells the calling thread the DN of each
 * GUID it returns, and a GUID lookup made on that thread within
 * TAMO_LIST_MEMO_MS of the list call answers from it, without asking the
 * directory or looking at the files again: so a list of N entries costs the
 * directory one list call, whatever N.  The staleness this allows: such a
 * lookup gives the DN the entry had when the list was read, at most
 * TAMO_LIST_MEMO_MS earlier (an entry renamed or removed in between is still
 * given under its old DN), and a replaced database or a changed
 * directory.conf is seen by the next list call or SID lookup, not by these
 * lookups.  A GUID the list did not return (or one past the first
 * TAMO_LIST_MEMO_MAX entries) is looked up as before.
 * Differences from the SQLite back end: a list value that names no entry, or
 * an entry without a 16-byte GUID, fails the list call itself
 * (TAMO_ERR_UNRESOLVED) where SQLite fails the later lookup by GUID; a name
 * held by more than one entry is TAMO_ERR_AMBIGUOUS; whether names compare
 * case-sensitively is the server's matching rule for the login attribute.
 */
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
