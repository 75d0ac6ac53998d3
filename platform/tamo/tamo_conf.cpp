// directory.conf: the settings of the LDAP back end, "key = value" lines
// with '#' comment lines, and the password file a simple bind reads.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace tamo {
namespace {

constexpr std::size_t kMaxFileSize = std::size_t{64} * 1024;
constexpr int kMaxTimeoutMs = 600000;

std::string_view trim(std::string_view text) {
    const char *blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// An attribute name as a filter may hold it: a descriptor (a letter, then
// letters, digits and hyphens) or a numeric OID.  Nothing else can reach a
// filter from the configuration.
bool isAttributeName(std::string_view name) {
    if (name.empty() || name.size() > 128) {
        return false;
    }
    const auto c0 = static_cast<unsigned char>(name[0]);
    if (std::isalpha(c0) != 0) {
        for (char c : name) {
            if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-') {
                return false;
            }
        }
        return true;
    }
    bool lastDot = true;
    for (char c : name) {
        if (c == '.') {
            if (lastDot) {
                return false;
            }
            lastDot = true;
        } else if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            lastDot = false;
        } else {
            return false;
        }
    }
    return !lastDot;
}

bool fail(std::string &error, std::size_t line, const std::string &message) {
    error = "line " + std::to_string(line) + ": " + message;
    return false;
}

// Stores the library's status for the outcome, when the caller asked.
void setStatus(int32_t *status, int32_t code) {
    if (status != nullptr) {
        *status = code;
    }
}

// Reads a whole small regular file without blocking on a FIFO or device:
// opened non-blocking, checked with fstat.  stamp receives what fstat saw
// before the first byte was read (so a change during the read shows as a
// new stamp later), or, when the file cannot be opened, what stat sees.
bool readSmallFile(const char *path, std::string &contents, FileStamp &stamp, std::string &error) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::string("cannot open ") + path + ": " + std::strerror(errno);
        stamp = stampOf(path);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    stamp = ok ? stampOf(st) : FileStamp{};
    if (!ok) {
        error = std::string("cannot stat ") + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = std::string(path) + " is not a regular file";
        ok = false;
    } else if (static_cast<std::size_t>(st.st_size) > kMaxFileSize) {
        error = std::string(path) + " is larger than 64 KiB";
        ok = false;
    }
    char chunk[4096];
    while (ok) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = std::string("cannot read ") + path + ": " + std::strerror(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else if (contents.size() + static_cast<std::size_t>(got) > kMaxFileSize) {
            error = std::string(path) + " is larger than 64 KiB";
            ok = false;
        } else {
            contents.append(chunk, static_cast<std::size_t>(got));
        }
    }
    explicit_bzero(chunk, sizeof chunk);
    close(fd);
    return ok;
}

// Whoever can write a file that decides which server is trusted, or which
// server gets the password, chooses them: such a file must be writable by
// this user or root alone.  Empty when it may be used, else the fault.
std::string foreignWriter(const FileStamp &stamp) {
    if ((stamp.mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "writable by group or others (chmod go-w)";
    }
    if (stamp.uid != geteuid() && stamp.uid != 0) {
        return "owned by another user (uid " + std::to_string(stamp.uid) + ")";
    }
    return {};
}

}  // namespace

bool isFilter(std::string_view filter) {
    if (filter.size() < 3 || filter.front() != '(' || filter.back() != ')') {
        return false;
    }
    // Values escape parentheses as \28 and \29, so every parenthesis
    // counts; the outer pair closes last.
    int depth = 0;
    for (std::size_t i = 0; i < filter.size(); ++i) {
        depth += filter[i] == '(' ? 1 : filter[i] == ')' ? -1 : 0;
        if (depth < 0 || (depth == 0 && i + 1 < filter.size())) {
            return false;
        }
    }
    return depth == 0;
}

int serverTimeLimit(int64_t remainingMs) {
    const int64_t seconds = remainingMs <= 0 ? 0 : (remainingMs + 999) / 1000;
    return static_cast<int>(std::min<int64_t>(seconds, kMaxTimeoutMs / 1000) + 1);
}

FileStamp stampOf(const struct stat &info) {
    FileStamp stamp;
    stamp.exists = true;
    stamp.dev = info.st_dev;
    stamp.ino = info.st_ino;
    stamp.size = info.st_size;
    stamp.mtime = info.st_mtim;
    stamp.mode = info.st_mode;
    stamp.uid = info.st_uid;
    return stamp;
}

FileStamp stampOf(const char *path) {
    struct stat info {};
    return stat(path, &info) == 0 ? stampOf(info) : FileStamp{};
}

bool operator==(const FileStamp &a, const FileStamp &b) {
    return a.exists == b.exists &&
           (!a.exists || (a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
                          a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec &&
                          a.mode == b.mode && a.uid == b.uid));
}

LdapConfig::~LdapConfig() {
    if (!password.empty()) {
        explicit_bzero(password.data(), password.size());
    }
}

bool parseConfig(const char *text, std::size_t size, LdapConfig &config, std::string &error,
                 int32_t *status) {
    setStatus(status, TAMO_ERR_CONFIG);
    const std::string_view all(text, size);
    if (all.find('\0') != std::string_view::npos) {
        return fail(error,
                    1 + static_cast<std::size_t>(
                            std::count(all.begin(), all.begin() + all.find('\0'), '\n')),
                    "a NUL byte");
    }
    // The keys, in the order of Key.
    enum Key {
        kUri,
        kBase,
        kBindDn,
        kPasswordFile,
        kStartTls,
        kTimeout,
        kUserFilter,
        kCaFile,
        kFirstAttribute
    };
    static constexpr std::string_view kKeys[] = {
        "uri",           "base",           "bind_dn",
        "password_file", "starttls",       "timeout_ms",
        "user_filter",   "tls_ca_file",    "login_attribute",
        "sid_attribute", "guid_attribute", "sev_attribute",
        "dn_attribute"};
    constexpr std::size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
    bool seen[kKeyCount] = {};
    std::size_t lineNo = 0;
    for (std::size_t at = 0; at < all.size();) {
        std::size_t eol = all.find('\n', at);
        if (eol == std::string_view::npos) {
            eol = all.size();
        }
        const std::string_view line = trim(all.substr(at, eol - at));
        at = eol + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            return fail(error, lineNo, "expected key = value");
        }
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        std::size_t index = 0;
        while (index < kKeyCount && kKeys[index] != key) {
            ++index;
        }
        if (index == kKeyCount) {
            // Named only when it is plain text, so the message stays one line.
            const bool printable = std::all_of(key.begin(), key.end(), [](char c) {
                return static_cast<unsigned char>(c) >= 0x20 &&
                       static_cast<unsigned char>(c) < 0x7F;
            });
            return fail(error, lineNo,
                        printable ? "unknown key \"" + std::string(key) + "\"" : "unknown key");
        }
        if (seen[index]) {
            return fail(error, lineNo, std::string(key) + " given twice");
        }
        seen[index] = true;
        if (value.empty()) {
            return fail(error, lineNo, std::string(key) + " has no value");
        }
        for (char c : value) {
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
                return fail(error, lineNo, std::string(key) + " holds a control character");
            }
        }
        const std::string v(value);
        switch (index) {
            case kUri: {
                config.allLdapi = true;
                std::size_t p = 0;
                while (p < v.size()) {
                    const std::size_t end = std::min(v.find_first_of(" \t", p), v.size());
                    const std::string uri = v.substr(p, end - p);
                    p = v.find_first_not_of(" \t", end);
                    p = p == std::string::npos ? v.size() : p;
                    const bool ldapi = startsWithNoCase(uri, "ldapi://");
                    if (!ldapi && !startsWithNoCase(uri, "ldap://") &&
                        !startsWithNoCase(uri, "ldaps://")) {
                        return fail(error, lineNo,
                                    "uri \"" + uri + "\" is not ldap://, ldaps:// or ldapi://");
                    }
                    if (uri.find(',') != std::string::npos) {
                        return fail(error, lineNo, "separate URIs with spaces, not commas");
                    }
                    config.allLdapi = config.allLdapi && ldapi;
                    config.uris.push_back(uri);
                    config.uriList += (config.uriList.empty() ? "" : " ") + uri;
                }
                break;
            }
            case kBase:
                config.base = v;
                break;
            case kBindDn:
                config.bindDn = v;
                break;
            case kPasswordFile:
                config.passwordFile = v;
                break;
            case kStartTls:
                if (v != "yes" && v != "no") {
                    return fail(error, lineNo, "starttls must be yes or no");
                }
                config.startTls = v == "yes";
                break;
            case kTimeout: {
                int ms = 0;
                auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), ms);
                if (ec != std::errc() || end != v.data() + v.size() || ms < 1 ||
                    ms > kMaxTimeoutMs) {
                    return fail(error, lineNo,
                                "timeout_ms must be a number of milliseconds from 1 to 600000");
                }
                config.timeoutMs = ms;
                break;
            }
            case kUserFilter:
                if (!isFilter(v)) {
                    return fail(error, lineNo,
                                "user_filter \"" + v +
                                    "\" is not one filter in parentheses, such as "
                                    "(objectClass=user)");
                }
                config.userFilter = v;
                break;
            case kCaFile:
                if (v[0] != '/') {
                    return fail(error, lineNo, "tls_ca_file must be an absolute path");
                }
                config.caFile = v;
                break;
            default: {
                if (!isAttributeName(v)) {
                    return fail(error, lineNo,
                                std::string(key) + " \"" + v + "\" is not an attribute name");
                }
                std::string *attributes[] = {&config.loginAttribute, &config.sidAttribute,
                                             &config.guidAttribute, &config.sevAttribute,
                                             &config.dnAttribute};
                *attributes[index - kFirstAttribute] = v;
                break;
            }
        }
    }
    if (config.uris.empty()) {
        return fail(error, lineNo, "uri is missing");
    }
    if (config.base.empty()) {
        return fail(error, lineNo, "base is missing");
    }
    if (config.bindDn.empty() != config.passwordFile.empty()) {
        return fail(error, lineNo, "bind_dn and password_file go together");
    }
    if (config.startTls) {
        for (const std::string &uri : config.uris) {
            if (!startsWithNoCase(uri, "ldap://")) {
                return fail(error, lineNo, "starttls applies to ldap:// URIs only");
            }
        }
    } else if (!config.bindDn.empty()) {
        // A simple bind sends the password as it is: only a connection that
        // is encrypted (ldaps://, StartTLS) or never leaves the machine
        // (ldapi://) may carry it.
        for (const std::string &uri : config.uris) {
            if (startsWithNoCase(uri, "ldap://")) {
                setStatus(status, TAMO_ERR_CLEAR_TEXT_BIND);
                return fail(error, lineNo,
                            "bind_dn over " + uri +
                                " would send the password in clear; use ldaps://, ldapi:// or "
                                "starttls = yes");
            }
        }
    }
    setStatus(status, TAMO_OK);
    return true;
}

bool loadConfig(const char *path, LdapConfig &config, std::string &error, int32_t *status) {
    setStatus(status, TAMO_ERR_CONFIG);
    std::string text;
    FileStamp stamp;
    if (!readSmallFile(path, text, stamp, error)) {
        return false;
    }
    // Whoever can write the file chooses the server that receives the
    // password: the same rule as for the key-store directory.
    if (error = foreignWriter(stamp); !error.empty()) {
        return false;
    }
    if (!parseConfig(text.data(), text.size(), config, error, status)) {
        return false;
    }
    setStatus(status, TAMO_ERR_CONFIG);
    if (!config.caFile.empty()) {
        // The CA certificates decide which server is believed: the same rule.
        const FileStamp ca = stampOf(config.caFile.c_str());
        if (!ca.exists || !S_ISREG(ca.mode)) {
            error = "tls_ca_file " + config.caFile + " is not a readable regular file";
            return false;
        }
        if (std::string fault = foreignWriter(ca); !fault.empty()) {
            error = "tls_ca_file " + config.caFile + " is " + fault;
            return false;
        }
    }
    if (config.passwordFile.empty()) {
        setStatus(status, TAMO_OK);
        return true;
    }
    std::string password;
    config.passwordStamp.emplace();
    if (!readSmallFile(config.passwordFile.c_str(), password, *config.passwordStamp, error)) {
        return false;
    }
    bool ok = true;
    if ((config.passwordStamp->mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = "password file " + config.passwordFile + " is open to group or others (chmod 600)";
        ok = false;
    } else {
        // One trailing line break is the file's, not the password's.
        if (!password.empty() && password.back() == '\n') {
            password.pop_back();
            if (!password.empty() && password.back() == '\r') {
                password.pop_back();
            }
        }
        // A simple bind with a DN and no password is an unauthenticated
        // bind, which servers answer as anonymous: never sent.
        if (password.empty()) {
            error = "password file " + config.passwordFile + " is empty";
            ok = false;
        } else {
            config.password = password;
        }
    }
    if (!password.empty()) {
        explicit_bzero(password.data(), password.size());
    }
    if (ok) {
        setStatus(status, TAMO_OK);
    }
    return ok;
}

}  // namespace tamo
