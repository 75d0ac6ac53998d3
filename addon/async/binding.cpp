// The Promise companion's view of the add-on (see binding.h).
#include "addon/async/binding.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The add-on's phases, one member per exported name; read-only once bound.
struct Phases {
#define KAVO_PHASES(name, Type, read, core, make, ...)     \
    int32_t (*read)(napi_env, const napi_value *, Type *); \
    int32_t (*core)(Type *);                               \
    napi_value (*make)(napi_env, Type *);
    KAVO_REQUESTS(KAVO_PHASES)
#undef KAVO_PHASES
    int32_t (*GetRequestRecord)(KavoRequestRecord *);
};

pthread_mutex_t bindLock = PTHREAD_MUTEX_INITIALIZER;
bool bound = false; /* atomic */
Phases addon;

template <typename Function>
bool lookUp(void *handle, const char *name, Function *function) {
    *function = reinterpret_cast<Function>(dlsym(handle, name));
    return *function != nullptr;
}

}  // namespace

#define KAVO_THREADS_CREDENTIAL kCredentialThreads
#define KAVO_THREADS_DIRECTORY kDirectoryThreads
const KindInfo kKindInfo[kKinds] = {
#define KAVO_INFO(name, Type, read, core, make, arity, threads) \
    {#name, arity, KAVO_THREADS_##threads},
    KAVO_REQUESTS(KAVO_INFO)
#undef KAVO_INFO
};

bool addonBound() {
    return __atomic_load_n(&bound, __ATOMIC_ACQUIRE);
}

bool bindAddon(const char *path) {
    (void)pthread_mutex_lock(&bindLock);
    if (!bound) {
        // The handle is kept: the add-on stays loaded for the life of the
        // process anyway, and the bound functions live in it.
        void *handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        Phases found = {};
        const bool ok = handle != nullptr &&
                        lookUp(handle, "GetRequestRecord", &found.GetRequestRecord)
#define KAVO_LOOKUP(name, Type, read, core, make, ...)                            \
    &&lookUp(handle, #read, &found.read) && lookUp(handle, #core, &found.core) && \
        lookUp(handle, #make, &found.make)
                            KAVO_REQUESTS(KAVO_LOOKUP)
#undef KAVO_LOOKUP
            ;
        if (ok) {
            addon = found;
            __atomic_store_n(&bound, true, __ATOMIC_RELEASE);
        } else if (handle != nullptr) {
            (void)dlclose(handle);
        }
    }
    const bool result = bound;
    (void)pthread_mutex_unlock(&bindLock);
    return result;
}

int32_t readArguments(napi_env env, Request *request, const napi_value *argv) {
    switch (request->kind) {
#define KAVO_READ(name, Type, read, ...) \
    case k_##name:                       \
        return addon.read(env, argv, &request->data.name);
        KAVO_REQUESTS(KAVO_READ)
#undef KAVO_READ
        default:
            return -1;
    }
}

void runCore(Request *request) {
    int32_t status = -1;
    switch (request->kind) {
#define KAVO_CORE(name, Type, read, core, ...)    \
    case k_##name:                                \
        status = addon.core(&request->data.name); \
        break;
        KAVO_REQUESTS(KAVO_CORE)
#undef KAVO_CORE
        default:
            break;
    }
    if (status != 0) {
        request->failed = true;
        request->record = takeRecord();
    }
}

napi_value makeResult(napi_env env, Request *request) {
    switch (request->kind) {
#define KAVO_MAKE(name, Type, read, core, make, ...) \
    case k_##name:                                   \
        return addon.make(env, &request->data.name);
        KAVO_REQUESTS(KAVO_MAKE)
#undef KAVO_MAKE
        default:
            return nullptr;
    }
}

KavoRequestRecord *takeRecord() {
    auto *record = static_cast<KavoRequestRecord *>(malloc(sizeof(KavoRequestRecord)));
    if (record != nullptr && addon.GetRequestRecord(record) != 0) {
        free(record);
        record = nullptr;
    }
    return record;
}

void clearRequest(Request *request) {
    if (request->kind == k_get_sev_list) {
        free(request->data.get_sev_list.dns);
    }
    free(request->record);
    explicit_bzero(&request->data, sizeof request->data);
}
