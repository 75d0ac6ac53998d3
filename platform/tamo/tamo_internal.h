/* Pieces shared by the directory simulator (tamo.cpp and its back ends) and
 * its provisioning command (tamo-provision.cpp): where the database and the
 * LDAP configuration live, the schema, the two forms of a SID, the
 * configuration parser and the back ends' entry points. */

/* The library's two back ends.
 *
 * SQLite (the default): an SQLite directory database at $TAMO_DIRECTORY_DB
 * (default /etc/opt/zorvex/directory.db), opened read-only.  Each thread
 * keeps its own connection with its statements prepared, so lookups from
 * several threads run side by side; a connection is made again when the
 * file has been replaced (another inode) and in a child after fork().  The
 * path is checked with stat() first: anything but a regular file (a FIFO, a
 * device, a directory) is refused with TAMO_ERR_NOT_A_FILE without being
 * opened, so a call never blocks on it.  What stat() said of the database
 * and of directory.conf is kept until inotify reports a change along either
 * path (statWatched below): the next call still sees any change, and a call
 * that finds none makes one epoll_wait() instead of a stat() per file.  Schema
 * (kSchema below):
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
 *   dn_attribute    distinguishedName  an entry's own DN, searchable by
 *                                    equality (entryDN on OpenLDAP): a
 *                                    list's entries are read with a few
 *                                    searches on it (see below)
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
 * at timeout_ms).  A list call reads the entries its values name with
 * searches on dn_attribute, 16 DNs to a search, sent together, so a list of
 * up to 1,024 entries costs two round trips (the user, then its entries);
 * a value no entry was found for that way (another form of the name, an
 * entry outside the base, a server without dn_attribute) is read with a
 * base search of its own.  At most TAMO_LDAP_MAX_IN_FLIGHT searches wait
 * for their answer at a time (servers end a session that has too many
 * waiting).  When the server answers a bind with "invalid
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
#ifndef KAVO_TAMO_INTERNAL_H
#define KAVO_TAMO_INTERNAL_H

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamo {

// The database file: $TAMO_DIRECTORY_DB when set and non-empty, otherwise the
// fixed place beside the rest of the platform state.
const char *directoryPath();

// The LDAP configuration: $TAMO_DIRECTORY_CONF when set and non-empty,
// otherwise directory.conf beside the database's default place.
const char *configPath();
// True when the variable names the file explicitly (then a missing file is
// an error, not a choice of the SQLite back end).
bool configPathExplicit();

// Creates the tables when they are missing; both programs agree on it here.
// login and dn are unique so that the provisioning command can name entries
// by either; sev rows are ordered by position within one user.
inline constexpr const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS entries ("
    " guid BLOB PRIMARY KEY CHECK (length(guid) = 16),"
    " login TEXT UNIQUE,"
    " dn TEXT NOT NULL UNIQUE,"
    " sid TEXT);"
    "CREATE TABLE IF NOT EXISTS sev ("
    " user_guid BLOB NOT NULL,"
    " position INTEGER NOT NULL,"
    " member_guid BLOB NOT NULL CHECK (length(member_guid) = 16),"
    " PRIMARY KEY (user_guid, position));";

// Parses "S-<revision>-<authority>-<sub>..." into the packed form (revision,
// sub-authority count, 48-bit big-endian authority, 32-bit little-endian
// sub-authorities).  packed must hold 68 bytes.  Returns the packed length,
// or 0 when the text is not a SID with 1 to 15 sub-authorities.
std::size_t packSid(const char *text, unsigned char *packed);

// Writes the text form of a packed SID into text (capacity bytes, at least
// 190 for any valid SID).  Returns false, with text empty, for a SID with
// more than 15 sub-authorities.
bool formatSid(const unsigned char *packed, char *text, std::size_t capacity);

// What tells one version of a file from the next: a change of any field
// makes the file be read again.  exists is false when stat() failed.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
    mode_t mode = 0;
    uid_t uid = 0;
};
FileStamp stampOf(const struct stat &info);
// The stamp of the file at path now (exists false when it cannot be stat'ed).
FileStamp stampOf(const char *path);
bool operator==(const FileStamp &a, const FileStamp &b);

// The monotonic clock in milliseconds: call deadlines and the list memo's
// age.
int64_t nowMs();

// stat() of path as a call made now would see it: 0 with st filled, or the
// errno of the failure.  The answer is kept, process-wide, until inotify
// reports a change along the path (or of the mount table).  readEvents
// reads what the kernel queued first; a later look within the same library
// call passes false, so that one call costs one epoll_wait() however many
// paths it looks at.  Paths that cannot be watched soundly, and every path when
// inotify cannot be had, are looked at with stat() each time (see tamo.cpp).
int statWatched(const char *path, struct stat &st, bool readEvents);

// The LDAP back end's settings, as read from directory.conf.
struct LdapConfig {
    std::vector<std::string> uris;  // each ldap://, ldaps:// or ldapi://
    std::string uriList;            // the same, separated by spaces
    std::string base;
    std::string bindDn;        // empty: SASL EXTERNAL (all ldapi://) or anonymous
    std::string passwordFile;  // set exactly when bindDn is
    std::string password;      // read from passwordFile by loadConfig
    // The password file as loadConfig found it, set once it was looked at.
    std::optional<FileStamp> passwordStamp;
    bool startTls = false;
    bool allLdapi = false;
    int timeoutMs = 5000;
    std::string loginAttribute = "sAMAccountName";
    std::string sidAttribute = "objectSid";
    std::string guidAttribute = "objectGUID";
    std::string sevAttribute = "memberOf";
    std::string dnAttribute = "distinguishedName";
    // ANDed with the login match: only user objects answer for a login,
    // not the groups and computers that also carry one in Active Directory.
    std::string userFilter = "(&(objectCategory=person)(objectClass=user))";
    std::string caFile;  // empty: the system's CA certificates

    // Whether binding with these settings is known to work, or was refused
    // as invalid credentials.  A refused bind is never tried again with the
    // same files: a lockout policy counts every attempt.  New files make a
    // new LdapConfig, and so a new try.
    struct BindState {
        std::timed_mutex mutex;  // held by the one bind that tries unproven settings
        std::atomic<bool> proven{false};
        std::atomic<bool> refused{false};
    };
    mutable BindState bind;

    LdapConfig() = default;
    LdapConfig(const LdapConfig &) = delete;
    LdapConfig &operator=(const LdapConfig &) = delete;
    ~LdapConfig();  // wipes the password
};

// True for a search filter as user_filter may hold it: one parenthesised
// filter with balanced parentheses (escaped values aside).
bool isFilter(std::string_view filter);

// The server-side time limit sent with a search, in whole seconds, when
// remainingMs is what the call has left: never shorter than that time,
// since a server may count a limit of N seconds from the last whole second
// and end a search after a little more than N - 1.
int serverTimeLimit(int64_t remainingMs);

// Parses the text of directory.conf (size bytes, not zero-terminated).  On
// failure returns false with error set to one line ("line N: ...") and
// *status, when given, to the library's status for it (TAMO_ERR_CONFIG or
// TAMO_ERR_CLEAR_TEXT_BIND); config is then partly filled and must be
// discarded.  Does not read the password file.
bool parseConfig(const char *text, std::size_t size, LdapConfig &config, std::string &error,
                 int32_t *status = nullptr);

// Reads and parses the file at path, then its password file, with the same
// reporting.  Refuses, without blocking, a path that is not a regular file,
// and a configuration that others could have written: one writable by group
// or others or owned by anyone but this user or root.
bool loadConfig(const char *path, LdapConfig &config, std::string &error,
                int32_t *status = nullptr);

// Decodes UTF-16LE code units, ending at a zero unit, into UTF-8, pairing
// surrogates; false for a lone surrogate.
bool utf16ToUtf8(const unsigned char *name16, std::string &out);

// One user's list as a back end reads it: the GUIDs (16 bytes each) in list
// order and, beside each, the DN that the lookup by that GUID would give
// (empty where the back end cannot tell), so that those lookups can be
// answered without asking again.
struct SevList {
    std::vector<unsigned char> guids;
    std::vector<std::string> dns;
    std::size_t size() const { return dns.size(); }
};

// The back ends.  Arguments are checked by the entry points; name is the
// UTF-8 login.  A list is read whole; the entry point fits it to the
// caller's buffer.
namespace sqlite {
int32_t userByName(const char *name, unsigned char *guid, unsigned char *sid);
int32_t sevList(const std::string &name, SevList &list);
int32_t dnByGuid(const unsigned char *guid, char **dn);
}  // namespace sqlite

namespace ldap {
using Config = std::shared_ptr<const LdapConfig>;
int32_t userByName(const Config &config, const char *name, unsigned char *guid, unsigned char *sid);
int32_t sevList(const Config &config, const std::string &name, SevList &list);
int32_t dnByGuid(const Config &config, const unsigned char *guid, char **dn);
}  // namespace ldap

}  // namespace tamo

#endif
