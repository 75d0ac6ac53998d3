// The LDAP back end of the directory simulator, on OpenLDAP's client
// library.  The library is loaded with dlopen() on first use, so that hosts
// that only use the SQLite back end need no LDAP library; the one table
// below lists every function taken from it.
//
// One connection per process, shared by all threads: searches run under a
// read lock on it, side by side; making the connection again (after an
// error, a new configuration, or in a child after fork()) takes the write
// lock.  Every call has a deadline of timeout_ms from its start; a call that
// reaches it makes the following calls fail at once for TAMO_FAIL_FAST_MS.
#include <dlfcn.h>
#include <lber.h>
#include <ldap.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace tamo::ldap {
namespace {

// Every function of libldap (and of liblber, which it brings) this back end
// calls.
#define TAMO_LDAP_FUNCTIONS(X) \
    X(ldap_initialize)         \
    X(ldap_set_option)         \
    X(ldap_get_option)         \
    X(ber_sockbuf_ctrl)        \
    X(ldap_connect)            \
    X(ldap_start_tls_s)        \
    X(ldap_sasl_bind_s)        \
    X(ldap_search_ext)         \
    X(ldap_search_ext_s)       \
    X(ldap_result)             \
    X(ldap_parse_result)       \
    X(ldap_abandon_ext)        \
    X(ldap_count_entries)      \
    X(ldap_first_entry)        \
    X(ldap_get_values_len)     \
    X(ldap_value_free_len)     \
    X(ldap_get_dn)             \
    X(ldap_memfree)            \
    X(ldap_msgfree)            \
    X(ldap_unbind_ext_s)       \
    X(ldap_bv2escaped_filter_value)

struct Api {
#define TAMO_LDAP_MEMBER(name) decltype(&::name) name = nullptr;
    TAMO_LDAP_FUNCTIONS(TAMO_LDAP_MEMBER)
#undef TAMO_LDAP_MEMBER
};

// The run-time names of libldap 2.6 and later, of 2.5, and the development
// link as a last resort.
constexpr const char *kLibraries[] = {"libldap.so.2", "libldap-2.5.so.0", "libldap.so"};

// Loads libldap once per process and keeps it; null (after one line on
// standard error) when it cannot be loaded.
const Api *api() {
    static const Api *const loaded = []() -> const Api * {
        void *handle = nullptr;
        for (const char *name : kLibraries) {
            if ((handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)) != nullptr) {
                break;
            }
        }
        if (handle == nullptr) {
            (void)std::fprintf(stderr, "libtamo: cannot load OpenLDAP's client library: %s\n",
                               dlerror());
            return nullptr;
        }
        auto *table = new Api;
        bool complete = true;
#define TAMO_LDAP_LOAD(name)                                                                \
    table->name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));                \
    if (table->name == nullptr) {                                                           \
        (void)std::fprintf(stderr, "libtamo: OpenLDAP's client library lacks %s\n", #name); \
        complete = false;                                                                   \
    }
        TAMO_LDAP_FUNCTIONS(TAMO_LDAP_LOAD)
#undef TAMO_LDAP_LOAD
        if (!complete) {
            delete table;
            dlclose(handle);
            return nullptr;
        }
        return table;
    }();
    return loaded;
}

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The end of one library call's time.
class Deadline {
  public:
    explicit Deadline(int timeoutMs) : end_(nowMs() + timeoutMs) {}
    int64_t remainingMs() const { return end_ - nowMs(); }
    bool passed() const { return remainingMs() <= 0; }
    // What is left, at least one millisecond (libldap treats zero as
    // "no limit" in places).
    struct timeval left() const {
        int64_t ms = remainingMs() > 1 ? remainingMs() : 1;
        return {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    }

  private:
    int64_t end_;
};

// The process's connection.  Never destroyed: threads may still be in a
// call while the process exits.
struct Shared {
    pthread_rwlock_t lock;
    LDAP *ld = nullptr;
    Config config;  // the configuration ld was made with
    pid_t pid = 0;  // the process that made ld
    std::atomic<bool> broken{false};
    std::atomic<int64_t> failFastUntil{0};
};

Shared &shared();

void initLock(pthread_rwlock_t *lock) {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    // Writers first, so that a reconnection or a fork is not starved by a
    // steady stream of searches.
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

// fork() waits for the calls in progress (each bounded by its deadline), so
// that the child gets the connection in a consistent state.  The child, a
// new thread as far as the lock knows, gets a fresh lock.
void beforeFork() {
    pthread_rwlock_wrlock(&shared().lock);
}
void inParent() {
    pthread_rwlock_unlock(&shared().lock);
}
void inChild() {
    initLock(&shared().lock);
}

Shared &shared() {
    static Shared *const state = [] {
        auto *s = new Shared;
        initLock(&s->lock);
        pthread_atfork(beforeFork, inParent, inChild);
        return s;
    }();
    return *state;
}

// A server that has gone away makes libldap's next write raise SIGPIPE,
// which ends a process that does not ignore it.  The signal is blocked in
// the calling thread for the length of a call, and one raised by the call is
// taken back before the old mask returns.
class NoSigpipe {
  public:
    NoSigpipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~NoSigpipe() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            const struct timespec now = {0, 0};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigpipe(const NoSigpipe &) = delete;
    NoSigpipe &operator=(const NoSigpipe &) = delete;

  private:
    sigset_t pipe_;
    sigset_t old_;
    bool wasPending_ = false;
};

// The search results of one operation, released on every path.
struct Message {
    const Api *ldap;
    LDAPMessage *m = nullptr;
    explicit Message(const Api *a) : ldap(a) {}
    ~Message() {
        if (m != nullptr) {
            ldap->ldap_msgfree(m);
        }
    }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;
};

struct Values {
    const Api *ldap;
    struct berval **v;
    Values(const Api *a, struct berval **values) : ldap(a), v(values) {}
    ~Values() {
        if (v != nullptr) {
            ldap->ldap_value_free_len(v);
        }
    }
    Values(const Values &) = delete;
    Values &operator=(const Values &) = delete;
    std::size_t size() const {
        std::size_t n = 0;
        while (v != nullptr && v[n] != nullptr) {
            ++n;
        }
        return n;
    }
};

// Makes a new connection for config: options, StartTLS, bind.  Called with
// the write lock held.
int32_t connect(const Api *ldap, Shared &s, const Config &config, const Deadline &deadline) {
    if (s.ld != nullptr) {
        if (s.pid == getpid()) {
            ldap->ldap_unbind_ext_s(s.ld, nullptr, nullptr);
        }
        // A connection inherited over fork() is left alone: unbinding or
        // closing TLS on it would write to the socket the parent still uses.
        s.ld = nullptr;
    }
    s.config = config;
    s.pid = getpid();
    s.broken = false;

    LDAP *ld = nullptr;
    if (ldap->ldap_initialize(&ld, config->uriList.c_str()) != LDAP_SUCCESS) {
        return TAMO_ERR_CONFIG;
    }
    const int version = LDAP_VERSION3;
    int on = 1;  // boolean options take any non-null pointer for "on"
    // Each URI gets its share of the time, so that trying all of them stays
    // within the call's deadline.
    const int64_t perUri = deadline.remainingMs() / static_cast<int64_t>(config->uris.size()) + 1;
    struct timeval network = {static_cast<time_t>(perUri / 1000),
                              static_cast<suseconds_t>(perUri % 1000 * 1000)};
    // libldap reads a message whole, of whatever length its header claims:
    // a bound on the connection's buffer keeps a hostile or broken server
    // from making it allocate gigabytes.
    ber_len_t maxMessage = TAMO_LDAP_MAX_MESSAGE;
    Sockbuf *sockbuf = nullptr;
    bool ok = ldap->ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS &&
              ldap->ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) == LDAP_OPT_SUCCESS &&
              ldap->ldap_set_option(ld, LDAP_OPT_RESTART, &on) == LDAP_OPT_SUCCESS &&
              ldap->ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network) == LDAP_OPT_SUCCESS &&
              ldap->ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sockbuf) == LDAP_OPT_SUCCESS &&
              sockbuf != nullptr &&
              ldap->ber_sockbuf_ctrl(sockbuf, LBER_SB_OPT_SET_MAX_INCOMING, &maxMessage) == 1;
    bool tls = config->startTls;
    for (const std::string &uri : config->uris) {
        tls = tls || strncasecmp(uri.c_str(), "ldaps://", 8) == 0;
    }
    if (ok && tls) {
        // The server's certificate must check out against the system's CA
        // certificates.
        const int demand = LDAP_OPT_X_TLS_DEMAND;
        const int newContext = 0;
        const char *caFile = "/etc/ssl/certs/ca-certificates.crt";
        ok = ldap->ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
             (access(caFile, R_OK) != 0 ||
              ldap->ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, caFile) == LDAP_OPT_SUCCESS) &&
             ldap->ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &newContext) == LDAP_OPT_SUCCESS;
    }
    if (!ok) {
        ldap->ldap_unbind_ext_s(ld, nullptr, nullptr);
        return TAMO_ERR_LDAP;
    }

    int rc = ldap->ldap_connect(ld);
    if (rc == LDAP_SUCCESS) {
        // Binding (and StartTLS) wait at most for what is left.
        struct timeval left = deadline.left();
        ldap->ldap_set_option(ld, LDAP_OPT_TIMEOUT, &left);
        if (config->startTls) {
            rc = ldap->ldap_start_tls_s(ld, nullptr, nullptr);
        }
    }
    if (rc == LDAP_SUCCESS) {
        if (!config->bindDn.empty()) {
            struct berval password = {config->password.size(),
                                      const_cast<char *>(config->password.data())};
            rc = ldap->ldap_sasl_bind_s(ld, config->bindDn.c_str(), LDAP_SASL_SIMPLE, &password,
                                        nullptr, nullptr, nullptr);
        } else if (config->allLdapi) {
            // An empty initial response: the identity the socket carries.
            struct berval none = {0, const_cast<char *>("")};
            rc = ldap->ldap_sasl_bind_s(ld, nullptr, "EXTERNAL", &none, nullptr, nullptr, nullptr);
        } else {
            struct berval none = {0, const_cast<char *>("")};
            rc = ldap->ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &none, nullptr, nullptr, nullptr);
        }
    }
    if (rc != LDAP_SUCCESS) {
        ldap->ldap_unbind_ext_s(ld, nullptr, nullptr);
        if (rc == LDAP_TIMEOUT || deadline.passed()) {
            s.failFastUntil = nowMs() + TAMO_FAIL_FAST_MS;
        }
        return rc == LDAP_NO_MEMORY ? TAMO_ERR_NO_MEMORY : TAMO_ERR_UNAVAILABLE;
    }
    s.ld = ld;
    return TAMO_OK;
}

// One call's use of the shared connection, under the read lock.
class Session {
  public:
    explicit Session(const Api *ldap) : ldap_(ldap), s_(shared()) {}
    ~Session() {
        if (locked_) {
            pthread_rwlock_unlock(&s_.lock);
        }
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    int32_t open(const Config &config, const Deadline &deadline) {
        if (nowMs() < s_.failFastUntil.load()) {
            return TAMO_ERR_UNAVAILABLE;
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            pthread_rwlock_rdlock(&s_.lock);
            if (usable(config)) {
                locked_ = true;
                return TAMO_OK;
            }
            pthread_rwlock_unlock(&s_.lock);
            pthread_rwlock_wrlock(&s_.lock);
            int32_t status = usable(config) ? TAMO_OK : connect(ldap_, s_, config, deadline);
            pthread_rwlock_unlock(&s_.lock);
            if (status != TAMO_OK) {
                return status;
            }
        }
        return TAMO_ERR_UNAVAILABLE;
    }

    LDAP *ld() const { return s_.ld; }

    // The status for a failed operation; a lost or silent server makes the
    // next call connect again, a silent one first fails calls for a while.
    int32_t failure(int rc, const Deadline &deadline) {
        switch (rc) {
            case LDAP_NO_MEMORY:
                return TAMO_ERR_NO_MEMORY;
            case LDAP_TIMEOUT:
            case LDAP_SERVER_DOWN:
            case LDAP_CONNECT_ERROR:
            case LDAP_UNAVAILABLE:
            case LDAP_BUSY:
                s_.broken = true;
                if (rc == LDAP_TIMEOUT || deadline.passed()) {
                    s_.failFastUntil = nowMs() + TAMO_FAIL_FAST_MS;
                }
                return TAMO_ERR_UNAVAILABLE;
            default:
                return TAMO_ERR_LDAP;
        }
    }

  private:
    bool usable(const Config &config) const {
        return s_.ld != nullptr && !s_.broken && s_.pid == getpid() && s_.config == config;
    }

    const Api *ldap_;
    Shared &s_;
    bool locked_ = false;
};

// The value escaped for a filter as RFC 4515 requires.
bool escape(const Api *ldap, const void *data, std::size_t size, std::string &out) {
    struct berval in = {size, static_cast<char *>(const_cast<void *>(data))};
    struct berval escaped = {0, nullptr};
    if (ldap->ldap_bv2escaped_filter_value(&in, &escaped) != 0 || escaped.bv_val == nullptr) {
        return false;
    }
    out.assign(escaped.bv_val, escaped.bv_len);
    ldap->ldap_memfree(escaped.bv_val);
    return true;
}

// Searches the subtree of the base for the one entry whose attribute
// equals value; on TAMO_OK, result holds it.  attrs ends with a null.
int32_t findOne(const Api *ldap, Session &session, const Config &config, const Deadline &deadline,
                const std::string &attribute, const void *value, std::size_t size, char **attrs,
                Message &result) {
    std::string escaped;
    if (!escape(ldap, value, size, escaped)) {
        return TAMO_ERR_NO_MEMORY;
    }
    const std::string filter = "(" + attribute + "=" + escaped + ")";
    struct timeval left = deadline.left();
    int rc =
        ldap->ldap_search_ext_s(session.ld(), config->base.c_str(), LDAP_SCOPE_SUBTREE,
                                filter.c_str(), attrs, 0, nullptr, nullptr, &left, 2, &result.m);
    if (rc == LDAP_SIZELIMIT_EXCEEDED) {
        return TAMO_ERR_AMBIGUOUS;
    }
    if (rc != LDAP_SUCCESS) {
        return session.failure(rc, deadline);
    }
    const int found = ldap->ldap_count_entries(session.ld(), result.m);
    return found == 1 ? TAMO_OK : found == 0 ? TAMO_ERR_NOT_FOUND : TAMO_ERR_AMBIGUOUS;
}

// Reads the GUID of the entry named by each DN, all searches sent before
// the first answer is read.  guids receives dns.size() GUIDs.
int32_t resolveGuids(const Api *ldap, Session &session, const Config &config,
                     const Deadline &deadline, const std::vector<std::string> &dns,
                     unsigned char *guids) {
    char *attrs[] = {const_cast<char *>(config->guidAttribute.c_str()), nullptr};
    std::vector<int> ids;
    ids.reserve(dns.size());
    int32_t status = TAMO_OK;
    for (const std::string &dn : dns) {
        struct timeval left = deadline.left();
        int id = 0;
        int rc = ldap->ldap_search_ext(session.ld(), dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)",
                                       attrs, 0, nullptr, nullptr, &left, 1, &id);
        if (rc != LDAP_SUCCESS) {
            status =
                rc == LDAP_INVALID_DN_SYNTAX ? TAMO_ERR_UNRESOLVED : session.failure(rc, deadline);
            break;
        }
        ids.push_back(id);
    }
    std::size_t i = 0;
    for (; i < ids.size() && status == TAMO_OK; ++i) {
        Message result(ldap);
        struct timeval left = deadline.left();
        int type = ldap->ldap_result(session.ld(), ids[i], LDAP_MSG_ALL, &left, &result.m);
        if (type <= 0) {
            status = session.failure(type == 0 ? LDAP_TIMEOUT : LDAP_SERVER_DOWN, deadline);
            break;
        }
        int rc = LDAP_OTHER;
        if (ldap->ldap_parse_result(session.ld(), result.m, &rc, nullptr, nullptr, nullptr, nullptr,
                                    0) != LDAP_SUCCESS) {
            status = TAMO_ERR_LDAP;
        } else if (rc == LDAP_NO_SUCH_OBJECT || rc == LDAP_INVALID_DN_SYNTAX) {
            status = TAMO_ERR_UNRESOLVED;
        } else if (rc != LDAP_SUCCESS) {
            status = session.failure(rc, deadline);
        } else if (ldap->ldap_count_entries(session.ld(), result.m) != 1) {
            status = TAMO_ERR_UNRESOLVED;
        } else {
            Values guid(
                ldap, ldap->ldap_get_values_len(
                          session.ld(), ldap->ldap_first_entry(session.ld(), result.m), attrs[0]));
            if (guid.size() != 1 || guid.v[0]->bv_len != TAMO_GUID_SIZE) {
                status = TAMO_ERR_UNRESOLVED;
            } else {
                std::memcpy(guids + i * TAMO_GUID_SIZE, guid.v[0]->bv_val, TAMO_GUID_SIZE);
            }
        }
    }
    // Answers no one will read are abandoned, so that they do not pile up
    // on the shared connection (an answer already read is already gone).
    for (std::size_t j = status == TAMO_OK ? ids.size() : i; j < ids.size(); ++j) {
        ldap->ldap_abandon_ext(session.ld(), ids[j], nullptr, nullptr);
    }
    return status;
}

// A packed SID: revision, count of at most 15, 6-byte authority, then
// exactly count 4-byte sub-authorities.
bool isPackedSid(const struct berval *value) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(value->bv_val);
    return value->bv_len >= 8 && value->bv_len <= TAMO_SID_MAX_SIZE &&
           bytes[1] <= TAMO_SID_MAX_SUBAUTHORITIES && value->bv_len == 8u + 4u * bytes[1];
}

}  // namespace

int32_t userByName(const Config &config, const char *name, unsigned char *guid,
                   unsigned char *sid) {
    NoSigpipe noSigpipe;
    const Api *ldap = api();
    if (ldap == nullptr) {
        return TAMO_ERR_NO_LDAP;
    }
    if (name[0] == '\0') {
        return TAMO_ERR_NOT_FOUND;
    }
    Deadline deadline(config->timeoutMs);
    Session session(ldap);
    if (int32_t status = session.open(config, deadline); status != TAMO_OK) {
        return status;
    }
    char *attrs[] = {const_cast<char *>(config->sidAttribute.c_str()),
                     const_cast<char *>(config->guidAttribute.c_str()), nullptr};
    Message result(ldap);
    int32_t status = findOne(ldap, session, config, deadline, config->loginAttribute, name,
                             std::strlen(name), attrs, result);
    if (status != TAMO_OK) {
        return status;
    }
    LDAPMessage *entry = ldap->ldap_first_entry(session.ld(), result.m);
    Values sidValue(ldap, ldap->ldap_get_values_len(session.ld(), entry, attrs[0]));
    if (sidValue.size() == 0) {
        return TAMO_ERR_NO_SID;
    }
    if (sidValue.size() != 1 || !isPackedSid(sidValue.v[0])) {
        return TAMO_ERR_BAD_VALUE;
    }
    std::memcpy(sid, sidValue.v[0]->bv_val, sidValue.v[0]->bv_len);
    Values guidValue(ldap, ldap->ldap_get_values_len(session.ld(), entry, attrs[1]));
    if (guid != nullptr && guidValue.size() == 1 && guidValue.v[0]->bv_len == TAMO_GUID_SIZE) {
        std::memcpy(guid, guidValue.v[0]->bv_val, TAMO_GUID_SIZE);
    }
    return TAMO_OK;
}

int32_t sevList(const Config &config, const std::string &name, int32_t *count,
                unsigned char *guids) {
    NoSigpipe noSigpipe;
    const Api *ldap = api();
    if (ldap == nullptr) {
        return TAMO_ERR_NO_LDAP;
    }
    if (name.empty()) {
        return TAMO_ERR_NOT_FOUND;
    }
    Deadline deadline(config->timeoutMs);
    Session session(ldap);
    if (int32_t status = session.open(config, deadline); status != TAMO_OK) {
        return status;
    }
    char *attrs[] = {const_cast<char *>(config->sevAttribute.c_str()), nullptr};
    Message result(ldap);
    int32_t status = findOne(ldap, session, config, deadline, config->loginAttribute, name.data(),
                             name.size(), attrs, result);
    if (status != TAMO_OK) {
        return status;
    }
    std::vector<std::string> dns;
    {
        Values members(ldap,
                       ldap->ldap_get_values_len(
                           session.ld(), ldap->ldap_first_entry(session.ld(), result.m), attrs[0]));
        for (std::size_t i = 0; i < members.size(); ++i) {
            dns.emplace_back(members.v[i]->bv_val, members.v[i]->bv_len);
            if (dns.back().find('\0') != std::string::npos) {
                return TAMO_ERR_UNRESOLVED;
            }
        }
    }
    if (dns.size() > static_cast<std::size_t>(*count)) {
        *count = static_cast<int32_t>(dns.size());
        return TAMO_ERR_BUFFER_TOO_SMALL;
    }
    // Resolved into a buffer of its own: a failure leaves the caller's
    // untouched.
    std::vector<unsigned char> resolved(dns.size() * TAMO_GUID_SIZE);
    status = resolveGuids(ldap, session, config, deadline, dns, resolved.data());
    if (status != TAMO_OK) {
        return status;
    }
    if (!resolved.empty()) {
        std::memcpy(guids, resolved.data(), resolved.size());
    }
    *count = static_cast<int32_t>(dns.size());
    return TAMO_OK;
}

int32_t dnByGuid(const Config &config, const unsigned char *guid, char **dn) {
    NoSigpipe noSigpipe;
    const Api *ldap = api();
    if (ldap == nullptr) {
        return TAMO_ERR_NO_LDAP;
    }
    Deadline deadline(config->timeoutMs);
    Session session(ldap);
    if (int32_t status = session.open(config, deadline); status != TAMO_OK) {
        return status;
    }
    // "1.1": no attributes, only the entry's name.
    char *attrs[] = {const_cast<char *>(LDAP_NO_ATTRS), nullptr};
    Message result(ldap);
    int32_t status = findOne(ldap, session, config, deadline, config->guidAttribute, guid,
                             TAMO_GUID_SIZE, attrs, result);
    if (status != TAMO_OK) {
        return status;
    }
    char *name = ldap->ldap_get_dn(session.ld(), ldap->ldap_first_entry(session.ld(), result.m));
    if (name == nullptr) {
        return TAMO_ERR_LDAP;
    }
    char *copy = strdup(name);
    ldap->ldap_memfree(name);
    if (copy == nullptr) {
        return TAMO_ERR_NO_MEMORY;
    }
    *dn = copy;
    return TAMO_OK;
}

}  // namespace tamo::ldap
