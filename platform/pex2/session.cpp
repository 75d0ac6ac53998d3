// Cryptographic service simulator: sessions, handles, contexts and key objects.
//
// Lock order: a session's own lock (the caller's mutex) first, then the table
// lock.  The table lock is never held while waiting for a session's lock, so a
// thread that holds a session's lock can always get at the tables.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <mutex>

#include <openssl/crypto.h>

#include "osa/osa.h"
#include "platform/pex2/pex2_internal.h"

namespace pex2 {

KeyMaterial::KeyMaterial(const KeyMaterial &other) : type(other.type), length(other.length) {
    memcpy(bytes, other.bytes, sizeof bytes);
}

KeyMaterial &KeyMaterial::operator=(const KeyMaterial &other) {
    if (this == &other) {
        return *this;
    }
    type = other.type;
    length = other.length;
    memcpy(bytes, other.bytes, sizeof bytes);
    return *this;
}

KeyMaterial::~KeyMaterial() {
    OPENSSL_cleanse(bytes, sizeof bytes);
}

namespace {

// How many closed sessions keep their lock on record for late calls.
constexpr size_t kClosedRemembered = 16;

struct ClosedSession {
    uint64_t module;
    pthread_mutex_t *lock;
};

std::mutex tableMutex;  // guards everything below
std::map<uint64_t, Session> sessions;
std::deque<ClosedSession> closedSessions;
pthread_mutex_t *lastLock = nullptr;  // handed over by the latest authentication

std::atomic<uint64_t> nextHandle{0x1000};

/* The lock a call for an identifier with no open session must leave held:
 * the caller's wrapper releases its own mutex once after such a call. */
pthread_mutex_t *lockForUnknownSession(uint64_t module) {
    for (auto it = closedSessions.rbegin(); it != closedSessions.rend(); ++it) {
        if (it->module == module) {
            return it->lock;
        }
    }
    return lastLock;
}

bool switchOn(const char *name) {
    const char *value = getenv(name);
    return value != nullptr && strcmp(value, "1") == 0;
}

/* The kind for a newly provisioned wrapping key; false for a value that is
 * neither 1, 2 nor 12, which refuses the authentication rather than quietly
 * provisioning some other kind than the test asked for. */
bool newWrappingKind(uint32_t *kind) {
    const char *value = getenv(PEX2_ENV_WRAPPING_KEY_KIND);
    if (value == nullptr || *value == '\0') {
        *kind = PEX_KEY_KIND_12;
        return true;
    }
    if (strcmp(value, "1") == 0) {
        *kind = PEX_KEY_KIND_1;
    } else if (strcmp(value, "2") == 0) {
        *kind = PEX_KEY_KIND_2;
    } else if (strcmp(value, "12") == 0) {
        *kind = PEX_KEY_KIND_12;
    } else {
        return false;
    }
    return true;
}

/* Makes a token key object of one machine key in the session. */
PexHandle addMachineKey(Session &session, const KeyMaterial &key, KeyHome home, uint32_t keyClass,
                        uint32_t bits, uint32_t kind) {
    const PexHandle handle = newHandle();
    KeyObject &object = session.keys[handle];
    object.key = key;
    object.machine = true;
    object.home = home;
    object.attributes = {{PEX_ATTR_CLASS, keyClass},
                         {PEX_ATTR_TOKEN, 1},
                         {PEX_ATTR_KEY_BITS, bits},
                         {PEX_ATTR_KEY_KIND, kind}};
    return handle;
}

/* Makes key objects of the machine keys in a new session. */
void addMachineKeys(Session &session, const MachineKeys &machine) {
    const bool token = machine.inToken;
    session.wrappingKey = addMachineKey(
        session, machine.wrapping, token ? KeyHome::TokenWrapping : KeyHome::Process,
        PEX_WRAPPING_KEY_CLASS, machine.wrapping.type == KeyType::WrapTdes ? 168u : 256u,
        machine.wrappingKind);
    session.partitionKey = addMachineKey(session, machine.partition,
                                         token ? KeyHome::TokenPartition : KeyHome::Process,
                                         PEX2_CLASS_PARTITION_KEY, 256, PEX_KEY_KIND_12);
    memcpy(session.partitionId, machine.partitionId, sizeof session.partitionId);
}

int32_t authenticate(uint64_t module, pthread_mutex_t *lock) {
    if (lock == nullptr) {
        return PEX2_ERR_BAD_ARGUMENT;
    }
    uint32_t kind = 0;
    if (!newWrappingKind(&kind)) {
        OSA_syslog(0, "PEX2: invalid %s\n", PEX2_ENV_WRAPPING_KEY_KIND);
        return PEX2_ERR_BAD_ARGUMENT;
    }
    {
        std::lock_guard<std::mutex> guard(tableMutex);
        auto it = sessions.find(module);
        if (it != sessions.end()) {
            return it->second.lock == lock ? PEX2_OK : PEX2_ERR_SESSION_EXISTS;
        }
    }
    if (pthread_mutex_lock(lock) != 0) {
        return PEX2_ERR_LOCK;
    }
    MachineKeys machine;
    int32_t status = loadMachineKeys(kind, &machine);
    if (status == PEX2_OK) {
        std::lock_guard<std::mutex> guard(tableMutex);
        try {
            auto [it, inserted] = sessions.try_emplace(module);
            if (!inserted) {
                // Another thread authenticated the same identifier meanwhile.
                status = it->second.lock == lock ? PEX2_OK : PEX2_ERR_SESSION_EXISTS;
            } else {
                Session &session = it->second;
                session.lock = lock;
                lastLock = lock;
                session.aesDisabled = switchOn(PEX2_ENV_DISABLE_AES);
                session.noWrappingKey = switchOn(PEX2_ENV_NO_WRAPPING_KEY);
                try {
                    addMachineKeys(session, machine);
                } catch (...) {
                    sessions.erase(it);
                    throw;
                }
            }
        } catch (...) {
            status = PEX2_ERR_NO_MEMORY;
        }
    }
    pthread_mutex_unlock(lock);
    if (status == PEX2_OK) {
        OSA_syslog(0, "PEX2: session %lx opened\n", static_cast<unsigned long>(module));
    } else {
        OSA_syslog(0, "PEX2: session %lx refused, status %d\n", static_cast<unsigned long>(module),
                   status);
    }
    return status;
}

}  // namespace

PexHandle newHandle() {
    return nextHandle.fetch_add(1, std::memory_order_relaxed);
}

Context *findContext(Session &session, PexHandle handle) {
    auto it = session.contexts.find(handle);
    return it == session.contexts.end() ? nullptr : &it->second;
}

KeyObject *findKey(Session &session, PexHandle handle) {
    auto it = session.keys.find(handle);
    return it == session.keys.end() ? nullptr : &it->second;
}

int32_t runInSession(uint64_t module, int32_t (*body)(Session &, void *), void *arg) {
    pthread_mutex_t *lock = nullptr;
    bool open = false;
    {
        std::lock_guard<std::mutex> guard(tableMutex);
        auto it = sessions.find(module);
        open = it != sessions.end();
        lock = open ? it->second.lock : lockForUnknownSession(module);
    }
    if (!open) {
        // Leave the lock held: the caller's wrapper releases it once.
        if (lock != nullptr) {
            pthread_mutex_lock(lock);
        }
        return PEX2_ERR_NO_SESSION;
    }
    if (pthread_mutex_lock(lock) != 0) {
        return PEX2_ERR_LOCK;
    }
    int32_t status;
    {
        std::lock_guard<std::mutex> guard(tableMutex);
        auto it = sessions.find(module);
        if (it == sessions.end() || it->second.lock != lock) {
            // Closed while this call waited for the lock, which stays held.
            return PEX2_ERR_NO_SESSION;
        }
        try {
            status = body(it->second, arg);
        } catch (...) {
            status = PEX2_ERR_NO_MEMORY;
        }
    }
    pthread_mutex_unlock(lock);
    return status;
}

}  // namespace pex2

using namespace pex2;

int32_t PEXX_Authenticate(uint64_t module, pthread_mutex_t *lock, void * /*reserved*/,
                          void * /*scratch16*/, uint32_t /*zero*/, uint64_t * /*out64*/) {
    return authenticate(module, lock);
}

int32_t PEXX_Authenticate2(uint64_t module, pthread_mutex_t *lock, void * /*reserved*/,
                           void * /*scratch16*/, uint32_t /*zero*/, uint64_t * /*out64*/,
                           uint32_t /*flags*/) {
    return authenticate(module, lock);
}

int32_t PEXX_Goodbye(uint64_t module) {
    pthread_mutex_t *lock = nullptr;
    {
        std::lock_guard<std::mutex> guard(tableMutex);
        auto it = sessions.find(module);
        if (it == sessions.end()) {
            return PEX2_ERR_NO_SESSION;  // no lock taken: nobody would release it
        }
        lock = it->second.lock;
    }
    if (pthread_mutex_lock(lock) != 0) {
        return PEX2_ERR_LOCK;
    }
    int32_t status = PEX2_ERR_NO_SESSION;
    {
        std::lock_guard<std::mutex> guard(tableMutex);
        auto it = sessions.find(module);
        if (it != sessions.end() && it->second.lock == lock) {
            // The session's contexts and key objects go with it.
            sessions.erase(it);
            if (closedSessions.size() == kClosedRemembered) {
                closedSessions.pop_front();
            }
            closedSessions.push_back({module, lock});
            status = PEX2_OK;
        }
    }
    pthread_mutex_unlock(lock);
    if (status == PEX2_OK) {
        OSA_syslog(0, "PEX2: session %lx closed\n", static_cast<unsigned long>(module));
    }
    return status;
}

int32_t PEXX_CreateContext(uint64_t module, uint32_t /*flags*/, PexHandle *context) {
    return inSession(module, [&](Session &session) {
        if (context == nullptr) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        const PexHandle handle = newHandle();
        session.contexts.try_emplace(handle);
        *context = handle;
        return PEX2_OK;
    });
}

int32_t PEXX_DestroyContext(uint64_t module, PexHandle context) {
    return inSession(module, [&](Session &session) {
        return session.contexts.erase(context) == 1 ? PEX2_OK : PEX2_ERR_BAD_CONTEXT;
    });
}

int32_t PEXX_FindObjectsInit(uint64_t module, PexHandle context, const PexAttribute *templ,
                             uint32_t count) {
    return inSession(module, [&](Session &session) {
        Context *ctx = findContext(session, context);
        if (ctx == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        if (count > kMaxAttributes || (templ == nullptr && count > 0)) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        std::vector<PexHandle> found;
        // Keys in handle order, so the machine keys made at authentication come first.
        for (const auto &[handle, key] : session.keys) {
            if (handle == session.wrappingKey && session.noWrappingKey) {
                continue;
            }
            bool match = true;
            for (uint32_t i = 0; i < count && match; ++i) {
                if (templ[i].present == 0) {
                    continue;  // an entry without a value constrains nothing
                }
                auto attribute = key.attributes.find(templ[i].type);
                match = attribute != key.attributes.end() && attribute->second == templ[i].value;
            }
            if (match) {
                found.push_back(handle);
            }
        }
        ctx->found = std::move(found);
        ctx->next = 0;
        ctx->searching = true;
        return PEX2_OK;
    });
}

int32_t PEXX_FindObjects(uint64_t module, PexHandle context, PexHandle *objects, uint32_t *count) {
    return inSession(module, [&](Session &session) {
        Context *ctx = findContext(session, context);
        if (ctx == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        if (count == nullptr || (objects == nullptr && *count > 0)) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        if (!ctx->searching) {
            return PEX2_ERR_NOT_INITIALIZED;
        }
        uint32_t written = 0;
        while (written < *count && ctx->next < ctx->found.size()) {
            objects[written++] = ctx->found[ctx->next++];
        }
        *count = written;
        return PEX2_OK;
    });
}

int32_t PEXX_GetAttributeValue(uint64_t module, PexHandle context, PexHandle object,
                               PexAttribute *attributes, uint32_t count) {
    return inSession(module, [&](Session &session) {
        if (findContext(session, context) == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        const KeyObject *key = findKey(session, object);
        if (key == nullptr) {
            return PEX2_ERR_BAD_KEY;
        }
        if (count > kMaxAttributes || (attributes == nullptr && count > 0)) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        // Only the flag and the value are answered; the other fields are the caller's.
        for (uint32_t i = 0; i < count; ++i) {
            auto it = key->attributes.find(attributes[i].type);
            const bool present = it != key->attributes.end();
            attributes[i].present = present ? 1 : 0;
            attributes[i].value = present ? it->second : 0;
        }
        return PEX2_OK;
    });
}

int32_t PEXX_DestroyObject(uint64_t module, PexHandle context, PexHandle object) {
    return inSession(module, [&](Session &session) {
        if (findContext(session, context) == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        auto it = session.keys.find(object);
        if (it == session.keys.end()) {
            return PEX2_ERR_BAD_KEY;
        }
        if (it->second.machine) {
            return PEX2_ERR_MACHINE_KEY;
        }
        session.keys.erase(it);
        return PEX2_OK;
    });
}
