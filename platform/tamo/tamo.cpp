// Directory identity library simulator (libtamo.so.0): checks the add-on's
// arguments and hands each call to the back end that directory.conf
// chooses: the SQLite database by default, an LDAP directory when the file
// exists.  A list call's answer is kept for the lookups that follow it on
// the same thread (ListMemo).  See tamolib.h for the contract.
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace {

constexpr int32_t kUseSqlite = 1;

// The configuration as last read, and the files it was read from: read
// again only when either file changes, and its fault reported once per
// change.
struct ConfigCache {
    std::mutex mutex;
    bool valid = false;
    std::string path;
    tamo::FileStamp stamp;
    // The password file, once a configuration that names one was parsed:
    // a new password, or a mode that opens it to others, is seen at the
    // next call.
    std::string passwordFile;
    tamo::FileStamp passwordStamp;
    tamo::ldap::Config config;  // null when the files cannot be used
    int32_t failure = TAMO_ERR_CONFIG;
};

ConfigCache &configCache() {
    static ConfigCache cache;
    return cache;
}

bool unchanged(const ConfigCache &cache, const char *path, const tamo::FileStamp &stamp) {
    return cache.valid && cache.path == path && cache.stamp == stamp &&
           (cache.passwordFile.empty() ||
            cache.passwordStamp == tamo::stampOf(cache.passwordFile.c_str()));
}

// Chooses the back end for one call: kUseSqlite, or TAMO_OK with config set
// for LDAP, or the status of the fault.  A missing file at the default place
// means SQLite; a file named by TAMO_DIRECTORY_CONF must exist.
int32_t chooseBackend(tamo::ldap::Config &config) {
    const char *path = tamo::configPath();
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    if (!exists && errno == ENOENT && !tamo::configPathExplicit()) {
        return kUseSqlite;
    }
    const int statError = errno;
    const tamo::FileStamp stamp = exists ? tamo::stampOf(st) : tamo::FileStamp{};
    ConfigCache &cache = configCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!unchanged(cache, path, stamp)) {
        auto loaded = std::make_shared<tamo::LdapConfig>();
        std::string error;
        int32_t status = TAMO_ERR_CONFIG;
        if (!exists) {
            error = std::string("cannot read it: ") + std::strerror(statError);
        } else if (tamo::loadConfig(path, *loaded, error, &status)) {
            error.clear();
        }
        if (!error.empty()) {
            (void)std::fprintf(stderr, "libtamo: %s: %s\n", path, error.c_str());
        }
        cache.valid = true;
        cache.path = path;
        cache.stamp = stamp;
        cache.failure = status;
        cache.passwordFile.clear();
        if (loaded->passwordStamp) {
            cache.passwordFile = loaded->passwordFile;
            cache.passwordStamp = *loaded->passwordStamp;
        }
        cache.config = error.empty() ? tamo::ldap::Config(std::move(loaded)) : nullptr;
    }
    config = cache.config;
    return config != nullptr ? TAMO_OK : cache.failure;
}

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The last list this thread read, for TAMO_LIST_MEMO_MS: the add-on asks for
// the DN of each of its GUIDs right after the list call (and, for a list
// longer than its buffer, makes the list call again with the count it was
// told), and those calls are answered from here, without another round
// trip to the directory or another look at the files.
struct ListMemo {
    int64_t madeMs = 0;  // 0: nothing kept
    std::string login;
    tamo::SevList list;
    bool retryDue = false;  // the list was longer than the caller's buffer
    std::size_t next = 0;   // where the next GUID lookup most likely is

    bool fresh() const { return madeMs != 0 && nowMs() - madeMs <= TAMO_LIST_MEMO_MS; }
    void keep(const std::string &name, tamo::SevList &&read, bool tooLong) {
        if (read.size() > TAMO_LIST_MEMO_MAX) {
            // Only the first entries: no list call is answered from it.
            read.guids.resize(std::size_t{TAMO_LIST_MEMO_MAX} * TAMO_GUID_SIZE);
            read.dns.resize(TAMO_LIST_MEMO_MAX);
            tooLong = false;
        }
        madeMs = nowMs();
        login = name;
        list = std::move(read);
        retryDue = tooLong;
        next = 0;
    }
    void forget() {
        madeMs = 0;
        login.clear();
        list = {};
        retryDue = false;
    }
    // The DN the list gave for guid, or null.
    const std::string *dnOf(const unsigned char *guid) {
        if (!fresh()) {
            return nullptr;
        }
        const std::size_t n = list.size();
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = (next + k) % n;
            if (std::memcmp(list.guids.data() + i * TAMO_GUID_SIZE, guid, TAMO_GUID_SIZE) == 0) {
                next = i + 1;
                return list.dns[i].empty() ? nullptr : &list.dns[i];
            }
        }
        return nullptr;
    }
};

thread_local ListMemo t_memo;

// Runs a back-end call so that no C++ exception (an allocation failing)
// leaves the library.
template <typename Call>
int32_t guarded(Call call) {
    try {
        return call();
    } catch (...) {
        return TAMO_ERR_NO_MEMORY;
    }
}

}  // namespace

extern "C" {

int32_t tamolib_get_userinfo_from_name(const char *name, int32_t *selector, unsigned char *guid,
                                       unsigned char *sid, int32_t * /*reserved1*/,
                                       int32_t * /*reserved2*/) {
    if (name == nullptr || selector == nullptr || *selector != TAMO_INFO_SID || sid == nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    return guarded([&] {
        tamo::ldap::Config config;
        int32_t backend = chooseBackend(config);
        if (backend == kUseSqlite) {
            return tamo::sqlite::userByName(name, guid, sid);
        }
        return backend == TAMO_OK ? tamo::ldap::userByName(config, name, guid, sid) : backend;
    });
}

int32_t tamolib_sid_to_string(const unsigned char *sid, char *text) {
    if (sid == nullptr || text == nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    return tamo::formatSid(sid, text, TAMO_SID_TEXT_SIZE) ? TAMO_OK : TAMO_ERR_INVALID_ARG;
}

int32_t tamolib_get_sevlist_from_name(const unsigned char *name16, int32_t *count,
                                      unsigned char *guids, int32_t * /*flags*/) {
    if (name16 == nullptr || count == nullptr || *count < 0 || (*count > 0 && guids == nullptr)) {
        return TAMO_ERR_INVALID_ARG;
    }
    return guarded([&] {
        std::string login;
        if (!tamo::utf16ToUtf8(name16, login)) {
            return TAMO_ERR_NOT_FOUND;
        }
        ListMemo &memo = t_memo;
        int32_t status = TAMO_OK;
        tamo::SevList list;
        if (memo.retryDue && memo.login == login && memo.fresh()) {
            // The call again with the count it was told: answered with the
            // list just read.
            list = std::move(memo.list);
        } else {
            tamo::ldap::Config config;
            int32_t backend = chooseBackend(config);
            status = backend == kUseSqlite ? tamo::sqlite::sevList(login, list)
                     : backend == TAMO_OK  ? tamo::ldap::sevList(config, login, list)
                                           : backend;
        }
        if (status != TAMO_OK) {
            memo.forget();
            return status;
        }
        const std::size_t n = list.size();
        if (n > static_cast<std::size_t>(*count)) {
            *count = static_cast<int32_t>(n);
            memo.keep(login, std::move(list), true);
            return TAMO_ERR_BUFFER_TOO_SMALL;
        }
        if (n > 0) {
            std::memcpy(guids, list.guids.data(), n * TAMO_GUID_SIZE);
        }
        *count = static_cast<int32_t>(n);
        memo.keep(login, std::move(list), false);
        return TAMO_OK;
    });
}

int32_t tamolib_get_userinfo_from_guid(const unsigned char *guid, int32_t *selector,
                                       void *reserved1, void *reserved2, int32_t * /*flags*/,
                                       char **dn) {
    if (guid == nullptr || selector == nullptr || *selector != TAMO_INFO_DN || dn == nullptr ||
        reserved1 != nullptr || reserved2 != nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    return guarded([&] {
        if (const std::string *known = t_memo.dnOf(guid); known != nullptr) {
            char *copy = strdup(known->c_str());
            if (copy == nullptr) {
                return TAMO_ERR_NO_MEMORY;
            }
            *dn = copy;
            return TAMO_OK;
        }
        tamo::ldap::Config config;
        int32_t backend = chooseBackend(config);
        if (backend == kUseSqlite) {
            return tamo::sqlite::dnByGuid(guid, dn);
        }
        return backend == TAMO_OK ? tamo::ldap::dnByGuid(config, guid, dn) : backend;
    });
}

}  // extern "C"
