/* Pieces shared by the directory simulator (tamo.cpp and its back ends) and
 * its provisioning command (tamo-provision.cpp): where the database and the
 * LDAP configuration live, the schema, the two forms of a SID, the
 * configuration parser and the back ends' entry points. */
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
