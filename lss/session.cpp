/* Local secret protection: the service session and key discovery.
 *
 * The layer opens the process-wide cryptographic service session lazily, on
 * the first protect, unprotect or bag call, and probes once per opening
 * whether the service knows AES-128-CBC.  LSSShutdown closes the session
 * again; an exit handler closes it at process exit or module unload.
 *
 * Every short sequence of service calls runs in a context of its own that
 * is destroyed before the function returns.  Key objects outlive their
 * contexts; the machine's wrapping keys are never destroyed here. */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include "cryptoclient/pex.h"
#include "lss/lss.h"
#include "lss/lss_internal.h"

/* The C runtime's exit list.  Registering against this object's own DSO
 * handle makes the handler run when the module is unloaded as well as at
 * process exit. */
extern "C" int __cxa_atexit(void (*func)(void *), void *arg, void *dso);
extern "C" void *__dso_handle __attribute__((visibility("hidden")));

int32_t lssStarted = 0;
int32_t lssAesAvailable = 0;

namespace {

/* Set once the exit handler is on the exit list of this load of the module:
 * every request starts the session, and a registration at each start would
 * grow the list without bound in a long-lived process. */
bool exitHandlerRegistered = false;

/* The request lock (lss.h).  The layer's state and the one service session
 * are process wide, so one request's LSSShutdown would otherwise close the
 * session under another thread's work.  Statically initialised: the module
 * needs no constructor. */
pthread_mutex_t requestLock = PTHREAD_MUTEX_INITIALIZER;

/* Set by the exit handler under requestLock: the process is exiting or the
 * module is being unloaded, and the session must not be opened again. */
bool closedForExit = false;

/* How long the exit handler waits for a request in flight on another thread
 * to end.  A request that is still running after that (a platform call that
 * hangs) is left alone: the session stays open rather than being closed
 * under it, and the process ends without closing it. */
constexpr time_t kExitWaitSeconds = 10;

/* Room for any algorithm-information record; only the probe's status counts. */
constexpr size_t kAlgorithmInfoSize = 256;

/* The partition key's buffer output, which is not used. */
constexpr uint32_t kPartitionBufferSize = 32;

/* At process exit (process.exit() included, with requests still running on
 * other threads) or module unload.  The layer is marked closed before the
 * lock is let go, so a later request fails at lssStart instead of opening a
 * session while the process tears down.  The lock is released all the same:
 * a thread left waiting for it would keep the process from joining it. */
void exitHandlerTrampoline(void * /*unused*/) {
    struct timespec deadline = {};
    (void)clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kExitWaitSeconds;
    if (pthread_mutex_timedlock(&requestLock, &deadline) != 0) {
        return;
    }
    closedForExit = true;
    lssOnExit();
    (void)pthread_mutex_unlock(&requestLock);
}

void registerExitHandlerOnce() {
    if (exitHandlerRegistered) {
        return;
    }
    /* If the runtime cannot take the entry, the next start tries again. */
    if (__cxa_atexit(exitHandlerTrampoline, nullptr, &__dso_handle) == 0) {
        exitHandlerRegistered = true;
    }
}

}  // namespace

void lssRequestEnter(void) {
    (void)pthread_mutex_lock(&requestLock);
}

void lssRequestLeave(void) {
    (void)pthread_mutex_unlock(&requestLock);
}

int32_t lssStart(void) {
    if (lssStarted != 0) {
        return 0;
    }
    if (closedForExit) {
        return LSS_ERR_FAILURE;
    }
    /* PEX_Init derives the module identifier from the address it is given,
     * not from the value stored there. */
    uint64_t processId = static_cast<uint64_t>(getpid());
    const int32_t status = PEX_Init(&processId);
    if (status != 0) {
        return status;
    }
    registerExitHandlerOnce();
    lssStarted = 1;

    /* A failed probe only selects the fallback cipher; the start succeeds. */
    alignas(8) uint8_t info[kAlgorithmInfoSize] = {};
    lssAesAvailable = PEX_GetAlgorithmInfo(OID_AES128_CBC, info) == 0 ? 1 : 0;
    return 0;
}

void lssOnExit(void) {
    PEX_ShutdownAll();
    lssStarted = 0;
}

int32_t lssFindWrappingKey(PexHandle *key) {
    PexHandle context = 0;
    int32_t status = PEX_CreateContext(0, &context);
    if (status != 0) {
        return status;
    }
    const PexAttribute search[2] = {
        lssTemplateAttribute(PEX_ATTR_TOKEN, 1),
        lssTemplateAttribute(PEX_ATTR_CLASS, PEX_WRAPPING_KEY_CLASS),
    };
    /* Room for one handle: the first match wins. */
    PexHandle found = 0;
    uint32_t count = 1;
    status = PEX_FindObjectsInit(context, search, 2);
    if (status == 0) {
        status = PEX_FindObjects(context, &found, &count);
    }
    (void)PEX_DestroyContext(context);
    if (status != 0) {
        return status;
    }
    if (count == 0) {
        return LSS_ERR_NO_WRAPPING_KEY;
    }
    *key = found;
    return 0;
}

int32_t lssGetPartitionKey(PexHandle *key) {
    PexHandle context = 0;
    int32_t status = PEX_CreateContext(0, &context);
    if (status != 0) {
        return status;
    }
    uint8_t buffer[kPartitionBufferSize] = {};
    uint32_t length = kPartitionBufferSize;
    PexHandle partitionKey = 0;
    status = PEX_GetPartitionKey(context, 0, buffer, &length, &partitionKey);
    (void)PEX_DestroyContext(context);
    if (status == 0) {
        *key = partitionKey;
    }
    return status;
}

int32_t lssDestroyKey(const PexHandle *key) {
    PexHandle context = 0;
    int32_t status = PEX_CreateContext(0, &context);
    if (status != 0) {
        return status;
    }
    status = PEX_DestroyObject(context, *key);
    (void)PEX_DestroyContext(context);
    return status;
}

/* ---- Exported entry points that do no protection work ------------------ */

int32_t LSSInit(void) {
    /* The session starts lazily, at the first protect or unprotect. */
    return 0;
}

int32_t LSSShutdown(void) {
    lssOnExit();
    return 0;
}

/* The bag functions are not supported.  Each still starts the session, as
 * callers of the layer have always seen it do, and then refuses. */
#define LSS_REFUSED_BAG_FUNCTION(name) \
    int32_t name(void) {               \
        (void)lssStart();              \
        return LSS_ERR_FAILURE;        \
    }

LSS_REFUSED_BAG_FUNCTION(LSSPut)
LSS_REFUSED_BAG_FUNCTION(LSSGet)
LSS_REFUSED_BAG_FUNCTION(LSSDeleteBag)
LSS_REFUSED_BAG_FUNCTION(LSSDeleteAllBags)
LSS_REFUSED_BAG_FUNCTION(LSSBagCount)
LSS_REFUSED_BAG_FUNCTION(LSSBagList)

#undef LSS_REFUSED_BAG_FUNCTION
