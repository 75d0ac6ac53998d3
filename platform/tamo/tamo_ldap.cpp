// The LDAP back end of the directory simulator, on OpenLDAP's client
// library.  The library is loaded with dlopen() on first use, so that hosts
// that only use the SQLite back end need no LDAP library; the one table
// below lists every function taken from it.
//
// One connection per thread, made on the thread's first call, made again
// after an error, a new configuration or in a child after fork(), and
// closed when the thread ends: a thread waiting for its answer never holds
// up another's request.  Every call has a deadline of timeout_ms from its
// start, and every read and write on the connection is bounded by it (see
// DeadlineIo); a call that reaches it makes the calls of every thread fail
// at once for TAMO_FAIL_FAST_MS.
#include <dlfcn.h>
#include <lber.h>
#include <ldap.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
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
    X(ber_sockbuf_add_io)      \
    X(ldap_connect)            \
    X(ldap_start_tls_s)        \
    X(ldap_sasl_bind_s)        \
    X(ldap_search_ext)         \
    X(ldap_result)             \
    X(ldap_parse_result)       \
    X(ldap_abandon_ext)        \
    X(ldap_count_entries)      \
    X(ldap_first_entry)        \
    X(ldap_next_entry)         \
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

// The end of one library call's time.
class Deadline {
  public:
    explicit Deadline(int timeoutMs) : end_(nowMs() + timeoutMs) {}
    int64_t endMs() const { return end_; }
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

// Set when a call reached its deadline: until then, calls of every thread
// fail at once, so a long list against a silent server fails within about
// timeout_ms instead of once per entry.
std::atomic<int64_t> failFastUntil{0};

// A layer of our own on each connection's socket, below TLS: every read
// and write first waits, with poll(), for the socket to be ready until the
// current call's deadline, and fails with ETIMEDOUT after it.  libldap 2.5
// retries a TLS handshake on a non-blocking socket in a loop that neither
// waits nor looks at the clock, so a server that accepts the connection
// and then says nothing would hold a call past its deadline and spin a
// core; below the handshake, this layer makes each retry wait and the
// first one past the deadline fail for good.  It also reads ahead: libldap
// reads each message's header and body separately, and waits on the
// socket before each message; from a buffer of what has arrived, a list's
// many small answers cost a read for each chunk, not three per answer.
struct IoDeadline {
    int64_t endMs = 0;  // 0: no call in progress, no bound
    char buffer[16384];
    std::size_t begin = 0;  // what is read ahead and not yet taken
    std::size_t end = 0;
};

bool waitReady(Sockbuf_IO_Desc *sbiod, short events) {
    const auto *bound = static_cast<const IoDeadline *>(sbiod->sbiod_pvt);
    ber_socket_t fd = -1;
    const Api *ldap = api();
    if (bound == nullptr || bound->endMs == 0 || ldap == nullptr ||
        ldap->ber_sockbuf_ctrl(sbiod->sbiod_sb, LBER_SB_OPT_GET_FD, &fd) != 1 || fd < 0) {
        return true;
    }
    for (;;) {
        const int64_t left = bound->endMs - nowMs();
        struct pollfd p = {fd, events, 0};
        const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

int deadlineSetup(Sockbuf_IO_Desc *sbiod, void *arg) {
    sbiod->sbiod_pvt = arg;
    static_cast<IoDeadline *>(arg)->begin = static_cast<IoDeadline *>(arg)->end = 0;
    return 0;
}
int deadlineRemove(Sockbuf_IO_Desc *sbiod) {
    sbiod->sbiod_pvt = nullptr;
    return 0;
}
int deadlineCtrl(Sockbuf_IO_Desc *sbiod, int opt, void *arg) {
    const auto *io = static_cast<const IoDeadline *>(sbiod->sbiod_pvt);
    if (opt == LBER_SB_OPT_DATA_READY && io != nullptr && io->begin < io->end) {
        return 1;
    }
    return LBER_SBIOD_CTRL_NEXT(sbiod, opt, arg);
}
ber_slen_t deadlineRead(Sockbuf_IO_Desc *sbiod, void *buf, ber_len_t len) {
    auto *io = static_cast<IoDeadline *>(sbiod->sbiod_pvt);
    if (io == nullptr) {
        return LBER_SBIOD_READ_NEXT(sbiod, buf, len);
    }
    if (io->begin == io->end) {
        if (!waitReady(sbiod, POLLIN)) {
            return -1;
        }
        const ber_slen_t got = LBER_SBIOD_READ_NEXT(sbiod, io->buffer, sizeof io->buffer);
        if (got <= 0) {
            return got;
        }
        io->begin = 0;
        io->end = static_cast<std::size_t>(got);
    }
    const std::size_t n = std::min<std::size_t>(len, io->end - io->begin);
    std::memcpy(buf, io->buffer + io->begin, n);
    io->begin += n;
    return static_cast<ber_slen_t>(n);
}
ber_slen_t deadlineWrite(Sockbuf_IO_Desc *sbiod, void *buf, ber_len_t len) {
    return waitReady(sbiod, POLLOUT) ? LBER_SBIOD_WRITE_NEXT(sbiod, buf, len) : -1;
}
int deadlineClose(Sockbuf_IO_Desc *) {
    return 0;
}
Sockbuf_IO deadlineIo = {deadlineSetup, deadlineRemove, deadlineCtrl,
                         deadlineRead,  deadlineWrite,  deadlineClose};

// Called by libldap once the socket is connected, before TLS starts: puts
// the layer between the socket (level PROVIDER) and TLS (TRANSPORT).  A
// list sends many small searches one after another: without TCP_NODELAY,
// Nagle's algorithm would hold each back until the last is acknowledged.
int onConnect(LDAP *, Sockbuf *sb, LDAPURLDesc *, struct sockaddr *address,
              struct ldap_conncb *ctx) {
    const Api *ldap = api();
    ber_socket_t fd = -1;
    if (ldap == nullptr || ldap->ber_sockbuf_add_io(sb, &deadlineIo, LBER_SBIOD_LEVEL_PROVIDER + 5,
                                                    ctx->lc_arg) != 0) {
        return -1;
    }
    if (address != nullptr && (address->sa_family == AF_INET || address->sa_family == AF_INET6) &&
        ldap->ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) == 1 && fd >= 0) {
        const int on = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return 0;
}
void onClose(LDAP *, Sockbuf *, struct ldap_conncb *) {}

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

// One thread's connection.  The callback record and the deadline live here,
// beside the handle that points to them, and outlive it.
class Connection {
  public:
    Connection() { callbacks_ = {onConnect, onClose, &io_}; }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    // At thread exit: an orderly unbind, bounded like a call.
    ~Connection() {
        NoSigpipe noSigpipe;
        io_.endMs = nowMs() + 100;
        close();
    }

    // The handle for config, connected and bound, or the status why not.
    int32_t open(const Api *ldap, const Config &config, const Deadline &deadline, LDAP *&out) {
        io_.endMs = deadline.endMs();
        if (ld_ != nullptr && !broken_ && pid_ == getpid() && config_ == config) {
            out = ld_;
            return TAMO_OK;
        }
        close();
        if (config->bind.refused) {
            return TAMO_ERR_BIND_REFUSED;
        }
        if (nowMs() < failFastUntil.load()) {
            return TAMO_ERR_UNAVAILABLE;
        }
        const int32_t status = connect(ldap, config, deadline);
        out = ld_;
        return status;
    }

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
                broken_ = true;
                if (rc == LDAP_TIMEOUT || deadline.passed()) {
                    failFastUntil = nowMs() + TAMO_FAIL_FAST_MS;
                }
                return TAMO_ERR_UNAVAILABLE;
            default:
                return TAMO_ERR_LDAP;
        }
    }

  private:
    // Lets go of the handle: unbound in the process that made it.  One
    // inherited over fork() is left alone: unbinding or closing TLS on it
    // would write to the socket the parent still uses.
    void close() {
        if (ld_ != nullptr && pid_ == getpid()) {
            api()->ldap_unbind_ext_s(ld_, nullptr, nullptr);
        }
        ld_ = nullptr;
        config_.reset();
        broken_ = false;
    }

    int32_t connect(const Api *ldap, const Config &config, const Deadline &deadline);
    int32_t bind(const Api *ldap, LDAP *ld, const Config &config, const Deadline &deadline);

    LDAP *ld_ = nullptr;
    Config config_;  // the configuration ld_ was made with
    pid_t pid_ = 0;  // the process that made ld_
    bool broken_ = false;
    IoDeadline io_;
    ldap_conncb callbacks_;
};

// Makes a new connection for config: options, StartTLS, bind.
int32_t Connection::connect(const Api *ldap, const Config &config, const Deadline &deadline) {
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
    auto maxMessage = static_cast<ber_len_t>(TAMO_LDAP_MAX_MESSAGE);
    Sockbuf *sockbuf = nullptr;
    bool ok = ldap->ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS &&
              ldap->ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) == LDAP_OPT_SUCCESS &&
              ldap->ldap_set_option(ld, LDAP_OPT_RESTART, &on) == LDAP_OPT_SUCCESS &&
              ldap->ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network) == LDAP_OPT_SUCCESS &&
              ldap->ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &callbacks_) == LDAP_OPT_SUCCESS &&
              ldap->ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sockbuf) == LDAP_OPT_SUCCESS &&
              sockbuf != nullptr &&
              ldap->ber_sockbuf_ctrl(sockbuf, LBER_SB_OPT_SET_MAX_INCOMING, &maxMessage) == 1;
    bool tls = config->startTls;
    for (const std::string &uri : config->uris) {
        tls = tls || strncasecmp(uri.c_str(), "ldaps://", 8) == 0;
    }
    if (ok && tls) {
        // The server's certificate must check out against the configured
        // CA certificates, or else the system's.
        const int demand = LDAP_OPT_X_TLS_DEMAND;
        const int newContext = 0;
        const char *system = "/etc/ssl/certs/ca-certificates.crt";
        const char *caFile = !config->caFile.empty()     ? config->caFile.c_str()
                             : access(system, R_OK) == 0 ? system
                                                         : nullptr;
        ok = ldap->ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
             (caFile == nullptr ||
              ldap->ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, caFile) == LDAP_OPT_SUCCESS) &&
             ldap->ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &newContext) == LDAP_OPT_SUCCESS;
    }
    if (!ok) {
        ldap->ldap_unbind_ext_s(ld, nullptr, nullptr);
        return TAMO_ERR_LDAP;
    }

    int rc = ldap->ldap_connect(ld);
    if (rc == LDAP_SUCCESS) {
        // StartTLS and binding wait at most for what is left.
        struct timeval left = deadline.left();
        ldap->ldap_set_option(ld, LDAP_OPT_TIMEOUT, &left);
        if (config->startTls) {
            rc = ldap->ldap_start_tls_s(ld, nullptr, nullptr);
        }
    }
    int32_t status = TAMO_OK;
    if (rc == LDAP_SUCCESS) {
        status = bind(ldap, ld, config, deadline);
    } else {
        status = rc == LDAP_NO_MEMORY ? TAMO_ERR_NO_MEMORY : TAMO_ERR_UNAVAILABLE;
        if (rc == LDAP_TIMEOUT || deadline.passed()) {
            failFastUntil = nowMs() + TAMO_FAIL_FAST_MS;
        }
    }
    if (status != TAMO_OK) {
        ldap->ldap_unbind_ext_s(ld, nullptr, nullptr);
        return status;
    }
    ld_ = ld;
    config_ = config;
    pid_ = getpid();
    broken_ = false;
    return TAMO_OK;
}

// Binds as config says.  Until a password has bound once, one thread at a
// time tries it, so that a wrong one is sent once and not once per thread
// (the others wait for that one bind); after an invalid-credentials answer
// no thread binds with the same settings again (the next call fails at
// once with TAMO_ERR_BIND_REFUSED), so our retries never trip the server's
// lockout policy.
int32_t Connection::bind(const Api *ldap, LDAP *ld, const Config &config,
                         const Deadline &deadline) {
    LdapConfig::BindState &state = config->bind;
    std::unique_lock<std::timed_mutex> trial(state.mutex, std::defer_lock);
    if (!config->bindDn.empty() && !state.proven &&
        !trial.try_lock_until(std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(deadline.remainingMs()))) {
        return TAMO_ERR_UNAVAILABLE;
    }
    if (state.refused) {
        return TAMO_ERR_BIND_REFUSED;
    }
    int rc = LDAP_SUCCESS;
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
    if (rc == LDAP_SUCCESS) {
        state.proven = true;
        return TAMO_OK;
    }
    if (rc == LDAP_INVALID_CREDENTIALS) {
        if (!state.refused.exchange(true)) {
            (void)std::fprintf(stderr,
                               "libtamo: %s: the server refused the bind%s%s as invalid "
                               "credentials; not binding again until directory.conf or its "
                               "password file changes\n",
                               configPath(), config->bindDn.empty() ? "" : " as ",
                               config->bindDn.c_str());
        }
        return TAMO_ERR_BIND_REFUSED;
    }
    if (rc == LDAP_TIMEOUT || deadline.passed()) {
        failFastUntil = nowMs() + TAMO_FAIL_FAST_MS;
    }
    return rc == LDAP_NO_MEMORY ? TAMO_ERR_NO_MEMORY : TAMO_ERR_UNAVAILABLE;
}

thread_local Connection t_connection;

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

// One library call: its deadline, SIGPIPE held off, and the thread's
// connection.
class Call {
  public:
    Call(const Api *ldap, const Config &config)
        : ldap_(ldap), config_(config), deadline_(config->timeoutMs) {}
    int32_t open() { return t_connection.open(ldap_, config_, deadline_, ld_); }

    // Sends a search; the server's time limit is never shorter than what
    // the call has left, and the answer is waited for at most that long.
    int send(const char *base, int scope, const char *filter, char **attrs, int sizeLimit,
             int *id) const {
        struct timeval limit = {serverTimeLimit(deadline_.remainingMs()), 0};
        return ldap_->ldap_search_ext(ld_, base, scope, filter, attrs, 0, nullptr, nullptr, &limit,
                                      sizeLimit, id);
    }
    // The whole answer to the search id (its entries, references and
    // result), with the server's result code; LDAP_TIMEOUT when it did not
    // come in time (the search is abandoned then).
    int receive(int id, Message &answer) const {
        struct timeval left = deadline_.left();
        const int type = ldap_->ldap_result(ld_, id, LDAP_MSG_ALL, &left, &answer.m);
        if (type <= 0) {
            if (type == 0) {
                ldap_->ldap_abandon_ext(ld_, id, nullptr, nullptr);
            }
            return type == 0 ? LDAP_TIMEOUT : LDAP_SERVER_DOWN;
        }
        int rc = LDAP_OTHER;
        if (ldap_->ldap_parse_result(ld_, answer.m, &rc, nullptr, nullptr, nullptr, nullptr, 0) !=
            LDAP_SUCCESS) {
            return LDAP_OTHER;
        }
        return rc;
    }
    int32_t failure(int rc) const { return t_connection.failure(rc, deadline_); }

    LDAP *ld() const { return ld_; }
    const Deadline &deadline() const { return deadline_; }

  private:
    NoSigpipe noSigpipe_;
    const Api *ldap_;
    const Config &config_;
    Deadline deadline_;
    LDAP *ld_ = nullptr;
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
// equals value (and that matches restrict, a filter, when given); on
// TAMO_OK, result holds it.  The search references that Active Directory
// returns for a search at a domain's root are not entries and are passed
// over.  attrs ends with a null.
int32_t findOne(const Api *ldap, Call &call, const Config &config, const std::string &restrict,
                const std::string &attribute, const void *value, std::size_t size, char **attrs,
                Message &result) {
    std::string escaped;
    if (!escape(ldap, value, size, escaped)) {
        return TAMO_ERR_NO_MEMORY;
    }
    std::string filter = "(" + attribute + "=" + escaped + ")";
    if (!restrict.empty()) {
        filter = "(&" + restrict + filter + ")";
    }
    int id = 0;
    int rc = call.send(config->base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs, 2, &id);
    if (rc == LDAP_SUCCESS) {
        rc = call.receive(id, result);
    }
    if (rc == LDAP_SIZELIMIT_EXCEEDED) {
        return TAMO_ERR_AMBIGUOUS;
    }
    if (rc != LDAP_SUCCESS) {
        return call.failure(rc);
    }
    const int found = ldap->ldap_count_entries(call.ld(), result.m);
    return found == 1 ? TAMO_OK : found == 0 ? TAMO_ERR_NOT_FOUND : TAMO_ERR_AMBIGUOUS;
}

// Sends count searches, search i by send(i, &id), with at most
// TAMO_LDAP_MAX_IN_FLIGHT of them waiting for their answer at a time
// (servers end a session that has too many: slapd at 100 for an anonymous
// one), another as each answer arrives, and hands the answers in order to
// take(i, rc, answer).  Stops at the first status other than TAMO_OK that
// send or take returns; searches whose answer no one will read are
// abandoned, so that they do not pile up on the connection.
template <class Send, class Take>
int32_t pipeline(const Api *ldap, Call &call, std::size_t count, Send send, Take take) {
    std::vector<int> ids(count, 0);
    int32_t status = TAMO_OK;
    std::size_t sent = 0;
    std::size_t done = 0;
    while (done < count && status == TAMO_OK) {
        while (sent < count && sent - done < TAMO_LDAP_MAX_IN_FLIGHT &&
               (status = send(sent, &ids[sent])) == TAMO_OK) {
            ++sent;
        }
        if (status != TAMO_OK) {
            break;
        }
        Message answer(ldap);
        const int rc = call.receive(ids[done], answer);
        status = take(done++, rc, answer);
    }
    for (std::size_t j = done; j < sent; ++j) {
        ldap->ldap_abandon_ext(call.ld(), ids[j], nullptr, nullptr);
    }
    return status;
}

// What a list call learns of the entries its DNs name: for list position
// i, the GUID at guids + i * TAMO_GUID_SIZE and the entry's DN in the
// server's form in names[i]; resolved[i] once both are known.
struct Resolution {
    const std::vector<std::string> &dns;
    unsigned char *guids;
    std::vector<std::string> &names;
    std::vector<bool> resolved;

    // Records entry, the one named by dns[i]; TAMO_ERR_UNRESOLVED when it
    // has no 16-byte GUID.
    int32_t take(const Api *ldap, LDAP *ld, LDAPMessage *entry, const char *guidAttribute,
                 const char *name, std::size_t i) {
        Values guid(ldap, ldap->ldap_get_values_len(ld, entry, guidAttribute));
        if (guid.size() != 1 || guid.v[0]->bv_len != TAMO_GUID_SIZE) {
            return TAMO_ERR_UNRESOLVED;
        }
        std::memcpy(guids + i * TAMO_GUID_SIZE, guid.v[0]->bv_val, TAMO_GUID_SIZE);
        names[i] = name;
        resolved[i] = true;
        return TAMO_OK;
    }
};

// Resolves the list's DNs with a few subtree searches that each ask for up
// to kDnsPerSearch entries by their DN, (|(dn_attribute=DN1)(...)...), sent
// together: a list of up to kDnsPerSearch * TAMO_LDAP_MAX_IN_FLIGHT (1,024)
// entries costs one round trip, not one per TAMO_LDAP_MAX_IN_FLIGHT.  An
// entry found is matched to the list's DNs by its own DN, as the server
// gives it, exactly or else ignoring ASCII case; a DN no entry was matched
// to (another form of the same name, an entry outside the base, a server
// that does not know dn_attribute or refuses such a search) is left for
// resolveByBase.  The server tests every entry a search finds against the
// whole filter, so a search costs it about the square of its DNs: 16 DNs
// a search was the fastest (a list of 200 over ldapi:// took 2.9 ms with
// 16, 4 ms with 32 or 64, 5.8 ms with 128).
constexpr std::size_t kDnsPerSearch = 16;
constexpr std::size_t kFilterBytesPerSearch = 32768;

std::string lowerAscii(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

int32_t resolveBySearch(const Api *ldap, Call &call, const Config &config, Resolution &list) {
    std::unordered_map<std::string, std::vector<std::size_t>> exact;
    std::unordered_map<std::string, std::vector<std::size_t>> folded;
    std::vector<std::string> filters;
    std::vector<std::size_t> sizes;
    std::string escaped;
    for (std::size_t i = 0; i < list.dns.size(); ++i) {
        auto [at, added] = exact.try_emplace(list.dns[i]);
        at->second.push_back(i);
        folded[lowerAscii(list.dns[i])].push_back(i);
        if (!added) {
            continue;
        }
        if (!escape(ldap, list.dns[i].data(), list.dns[i].size(), escaped)) {
            return TAMO_ERR_NO_MEMORY;
        }
        if (filters.empty() || sizes.back() == kDnsPerSearch ||
            filters.back().size() > kFilterBytesPerSearch) {
            filters.emplace_back("(|");
            sizes.push_back(0);
        }
        filters.back() += "(" + config->dnAttribute + "=" + escaped + ")";
        ++sizes.back();
    }
    for (std::string &filter : filters) {
        filter += ")";
    }
    char *attrs[] = {const_cast<char *>(config->guidAttribute.c_str()), nullptr};
    const auto send = [&](std::size_t k, int *id) {
        const int rc = call.send(config->base.c_str(), LDAP_SCOPE_SUBTREE, filters[k].c_str(),
                                 attrs, static_cast<int>(sizes[k]), id);
        return rc == LDAP_SUCCESS ? TAMO_OK : call.failure(rc);
    };
    const auto take = [&](std::size_t, int rc, Message &answer) -> int32_t {
        switch (rc) {
            case LDAP_TIMEOUT:
            case LDAP_SERVER_DOWN:
            case LDAP_NO_MEMORY:
            case LDAP_BUSY:
            case LDAP_UNAVAILABLE:
                return call.failure(rc);
            default:  // the entries it found, whatever the server's result
                break;
        }
        for (LDAPMessage *entry = ldap->ldap_first_entry(call.ld(), answer.m); entry != nullptr;
             entry = ldap->ldap_next_entry(call.ld(), entry)) {
            char *name = ldap->ldap_get_dn(call.ld(), entry);
            if (name == nullptr) {
                continue;
            }
            const std::vector<std::size_t> *positions = nullptr;
            if (const auto same = exact.find(name); same != exact.end()) {
                positions = &same->second;
            } else if (const auto alike = folded.find(lowerAscii(name)); alike != folded.end()) {
                positions = &alike->second;
            }
            int32_t status = TAMO_OK;
            for (std::size_t k = 0; positions != nullptr && k < positions->size(); ++k) {
                if (status == TAMO_OK && !list.resolved[(*positions)[k]]) {
                    status = list.take(ldap, call.ld(), entry, attrs[0], name, (*positions)[k]);
                }
            }
            ldap->ldap_memfree(name);
            if (status != TAMO_OK) {
                return status;
            }
        }
        return TAMO_OK;
    };
    return pipeline(ldap, call, filters.size(), send, take);
}

// Reads the GUID and the entry's own DN of each DN of the list not yet
// resolved, with one base search per DN.
int32_t resolveByBase(const Api *ldap, Call &call, const Config &config, Resolution &list) {
    char *attrs[] = {const_cast<char *>(config->guidAttribute.c_str()), nullptr};
    std::vector<std::size_t> left;
    for (std::size_t i = 0; i < list.dns.size(); ++i) {
        if (!list.resolved[i]) {
            left.push_back(i);
        }
    }
    const auto send = [&](std::size_t k, int *id) {
        const int rc =
            call.send(list.dns[left[k]].c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 1, id);
        return rc == LDAP_SUCCESS             ? TAMO_OK
               : rc == LDAP_INVALID_DN_SYNTAX ? TAMO_ERR_UNRESOLVED
                                              : call.failure(rc);
    };
    const auto take = [&](std::size_t k, int rc, Message &answer) -> int32_t {
        if (rc == LDAP_NO_SUCH_OBJECT || rc == LDAP_INVALID_DN_SYNTAX) {
            return TAMO_ERR_UNRESOLVED;
        }
        if (rc != LDAP_SUCCESS) {
            return call.failure(rc);
        }
        if (ldap->ldap_count_entries(call.ld(), answer.m) != 1) {
            return TAMO_ERR_UNRESOLVED;
        }
        LDAPMessage *entry = ldap->ldap_first_entry(call.ld(), answer.m);
        char *name = ldap->ldap_get_dn(call.ld(), entry);
        const int32_t status =
            list.take(ldap, call.ld(), entry, attrs[0], name != nullptr ? name : "", left[k]);
        if (name != nullptr) {
            ldap->ldap_memfree(name);
        }
        return status;
    };
    return pipeline(ldap, call, left.size(), send, take);
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
    const Api *ldap = api();
    if (ldap == nullptr) {
        return TAMO_ERR_NO_LDAP;
    }
    if (name[0] == '\0') {
        return TAMO_ERR_NOT_FOUND;
    }
    Call call(ldap, config);
    if (int32_t status = call.open(); status != TAMO_OK) {
        return status;
    }
    char *attrs[] = {const_cast<char *>(config->sidAttribute.c_str()),
                     const_cast<char *>(config->guidAttribute.c_str()), nullptr};
    Message result(ldap);
    int32_t status = findOne(ldap, call, config, config->userFilter, config->loginAttribute, name,
                             std::strlen(name), attrs, result);
    if (status != TAMO_OK) {
        return status;
    }
    LDAPMessage *entry = ldap->ldap_first_entry(call.ld(), result.m);
    Values sidValue(ldap, ldap->ldap_get_values_len(call.ld(), entry, attrs[0]));
    if (sidValue.size() == 0) {
        return TAMO_ERR_NO_SID;
    }
    if (sidValue.size() != 1 || !isPackedSid(sidValue.v[0])) {
        return TAMO_ERR_BAD_VALUE;
    }
    std::memcpy(sid, sidValue.v[0]->bv_val, sidValue.v[0]->bv_len);
    Values guidValue(ldap, ldap->ldap_get_values_len(call.ld(), entry, attrs[1]));
    if (guid != nullptr && guidValue.size() == 1 && guidValue.v[0]->bv_len == TAMO_GUID_SIZE) {
        std::memcpy(guid, guidValue.v[0]->bv_val, TAMO_GUID_SIZE);
    }
    return TAMO_OK;
}

int32_t sevList(const Config &config, const std::string &name, SevList &list) {
    const Api *ldap = api();
    if (ldap == nullptr) {
        return TAMO_ERR_NO_LDAP;
    }
    if (name.empty()) {
        return TAMO_ERR_NOT_FOUND;
    }
    Call call(ldap, config);
    if (int32_t status = call.open(); status != TAMO_OK) {
        return status;
    }
    char *attrs[] = {const_cast<char *>(config->sevAttribute.c_str()), nullptr};
    Message result(ldap);
    int32_t status = findOne(ldap, call, config, config->userFilter, config->loginAttribute,
                             name.data(), name.size(), attrs, result);
    if (status != TAMO_OK) {
        return status;
    }
    std::vector<std::string> values;
    {
        Values members(ldap, ldap->ldap_get_values_len(
                                 call.ld(), ldap->ldap_first_entry(call.ld(), result.m), attrs[0]));
        for (std::size_t i = 0; i < members.size(); ++i) {
            values.emplace_back(members.v[i]->bv_val, members.v[i]->bv_len);
            if (values.back().find('\0') != std::string::npos) {
                return TAMO_ERR_UNRESOLVED;
            }
        }
    }
    list.guids.assign(values.size() * TAMO_GUID_SIZE, 0);
    list.dns.assign(values.size(), std::string());
    Resolution resolution{values, list.guids.data(), list.dns,
                          std::vector<bool>(values.size(), false)};
    status = resolveBySearch(ldap, call, config, resolution);
    return status == TAMO_OK ? resolveByBase(ldap, call, config, resolution) : status;
}

int32_t dnByGuid(const Config &config, const unsigned char *guid, char **dn) {
    const Api *ldap = api();
    if (ldap == nullptr) {
        return TAMO_ERR_NO_LDAP;
    }
    Call call(ldap, config);
    if (int32_t status = call.open(); status != TAMO_OK) {
        return status;
    }
    // "1.1": no attributes, only the entry's name.
    char *attrs[] = {const_cast<char *>(LDAP_NO_ATTRS), nullptr};
    Message result(ldap);
    int32_t status = findOne(ldap, call, config, std::string(), config->guidAttribute, guid,
                             TAMO_GUID_SIZE, attrs, result);
    if (status != TAMO_OK) {
        return status;
    }
    char *name = ldap->ldap_get_dn(call.ld(), ldap->ldap_first_entry(call.ld(), result.m));
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
