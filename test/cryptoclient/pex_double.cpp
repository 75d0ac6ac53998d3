/* The scriptable library double (see pex_double.h).  Its entry points are
 * expanded from platform/pex2/pex_ops.def, like the real library's. */
#include "test/cryptoclient/pex_double.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <type_traits>

#include "platform/pex2/pex_records.h"

namespace pexdouble {
namespace {

/* The status with which the library reports a closed session and keeps the
 * session mutex locked; the client's own name for it lives in pex.h, which
 * this file cannot include (see the U8 note below). */
constexpr int32_t kSessionRefused = -1496;

std::mutex stateMutex;
std::map<std::string, int32_t> scripts;
std::vector<Call> callLog;
bool logging = true;
size_t operations = 0;
pthread_mutex_t *heldLock = nullptr;
AuthenticationView authentication;
int failures = 0;
std::vector<const pthread_mutex_t *> unlocks;

/* Runs `read` on the double's state with the state locked; what it returns. */
template <typename Read>
auto underLock(Read read) {
    std::lock_guard<std::mutex> guard(stateMutex);
    return read();
}

template <typename T>
uint64_t word(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<uint64_t>(value);
    }
}

int32_t scripted(const std::string &function) {
    const auto it = scripts.find(function);
    return it == scripts.end() ? 0 : it->second;
}

void record(const char *function, std::vector<uint64_t> args) {
    if (logging) {
        callLog.push_back(Call{function, std::move(args)});
    }
}

/* One operation: record it, then hold the session mutex for the "work" as
 * the real library does.  A refused call keeps the mutex locked. */
template <typename... A>
int32_t operation(const char *function, uint64_t module, A... args) {
    int32_t status;
    pthread_mutex_t *lock;
    {
        std::lock_guard<std::mutex> guard(stateMutex);
        ++operations;
        record(function, {module, word(args)...});
        status = scripted(function);
        lock = heldLock;
    }
    if (lock != nullptr) {
        bool ok = pthread_mutex_lock(lock) == 0;
        if (ok && status != kSessionRefused) {
            ok = pthread_mutex_unlock(lock) == 0;
        }
        if (!ok) {
            std::lock_guard<std::mutex> guard(stateMutex);
            ++failures;
        }
    }
    return status;
}

int32_t authenticate(const char *function, std::vector<uint64_t> args, pthread_mutex_t *lock,
                     void *scratch16, uint64_t *out64) {
    std::lock_guard<std::mutex> guard(stateMutex);
    record(function, std::move(args));
    authentication.out64AtEntry = out64 != nullptr ? *out64 : ~0ull;
    /* A real library may fill both; writing them catches a short buffer. */
    if (scratch16 != nullptr) {
        memset(scratch16, 0xA5, 16);
    }
    if (out64 != nullptr) {
        *out64 = 0x5A5A5A5A5A5A5A5Aull;
    }
    const int32_t status = scripted(function);
    if (status == 0) {
        heldLock = lock;
    }
    return status;
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> guard(stateMutex);
    scripts.clear();
    callLog.clear();
    logging = true;
    operations = 0;
    heldLock = nullptr;
    authentication = AuthenticationView{};
    failures = 0;
    unlocks.clear();
}

void script(const std::string &function, int32_t status) {
    std::lock_guard<std::mutex> guard(stateMutex);
    scripts[function] = status;
}

void setLogging(bool on) {
    std::lock_guard<std::mutex> guard(stateMutex);
    logging = on;
}

std::vector<Call> calls() {
    return underLock([] { return callLog; });
}

size_t countOf(const std::string &function) {
    return underLock([&function] {
        return static_cast<size_t>(
            std::count_if(callLog.begin(), callLog.end(),
                          [&function](const Call &c) { return c.function == function; }));
    });
}

size_t operationCount() {
    return underLock([] { return operations; });
}

AuthenticationView lastAuthentication() {
    return underLock([] { return authentication; });
}

pthread_mutex_t *sessionLock() {
    return underLock([] { return heldLock; });
}

int lockFailures() {
    return underLock([] { return failures; });
}

size_t unlockCount() {
    return underLock([] { return unlocks.size(); });
}

size_t unlockCount(const pthread_mutex_t *mutex) {
    return underLock(
        [mutex] { return static_cast<size_t>(std::count(unlocks.begin(), unlocks.end(), mutex)); });
}

}  // namespace pexdouble

extern "C" {

int32_t PEXX_Authenticate(uint64_t module, pthread_mutex_t *lock, void *reserved, void *scratch16,
                          uint32_t zero, uint64_t *out64) {
    return pexdouble::authenticate("PEXX_Authenticate",
                                   {module, pexdouble::word(lock), pexdouble::word(reserved),
                                    pexdouble::word(scratch16), zero, pexdouble::word(out64)},
                                   lock, scratch16, out64);
}

int32_t PEXX_Authenticate2(uint64_t module, pthread_mutex_t *lock, void *reserved, void *scratch16,
                           uint32_t zero, uint64_t *out64, uint32_t flags) {
    return pexdouble::authenticate(
        "PEXX_Authenticate2",
        {module, pexdouble::word(lock), pexdouble::word(reserved), pexdouble::word(scratch16), zero,
         pexdouble::word(out64), flags},
        lock, scratch16, out64);
}

int32_t PEXX_Goodbye(uint64_t module) {
    std::lock_guard<std::mutex> guard(pexdouble::stateMutex);
    pexdouble::record("PEXX_Goodbye", {module});
    pexdouble::heldLock = nullptr;
    return pexdouble::scripted("PEXX_Goodbye");
}

/* The operations.  An 8-bit argument is received here as the whole 64-bit
 * register or stack slot (U8 names uint64_t for this expansion only), so a
 * test can see whether the client zero-extended it; every other kind is
 * received as the library declares it. */
#define U8 uint64_t
#define PEX_DOUBLE_UNPACK(...) __VA_ARGS__
#define PEX_OP(name, params, args)                                                  \
    int32_t PEXX_##name PEX_PARAMS_WITH_MODULE params {                             \
        return pexdouble::operation("PEXX_" #name, module, PEX_DOUBLE_UNPACK args); \
    }
#define SSL_OP(name, params, args)                                                  \
    int32_t SSLX_##name PEX_PARAMS_WITH_MODULE params {                             \
        return pexdouble::operation("SSLX_" #name, module, PEX_DOUBLE_UNPACK args); \
    }
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
#undef U8

/* Every OSA_mutex_unlock made by the client comes here first. */
int __real_OSA_mutex_unlock(pthread_mutex_t *mutex);
int __wrap_OSA_mutex_unlock(pthread_mutex_t *mutex) {
    const int result = __real_OSA_mutex_unlock(mutex);
    std::lock_guard<std::mutex> guard(pexdouble::stateMutex);
    pexdouble::unlocks.push_back(mutex);
    if (result != 0) {
        ++pexdouble::failures;
    }
    return result;
}

}  // extern "C"
