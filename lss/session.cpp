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
#include <stddef.h>
#include <stdint.h>
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

/* Set once the exit handler is on the exit list of this load of the module.
 * Every credential request starts and shuts down the session, so registering
 * at each start would grow the exit list without bound in a long-lived
 * process; one registration closes the session at exit all the same. */
bool exitHandlerRegistered = false;

/* Large enough for any algorithm-information record the service fills in;
 * the layer only needs the probe's status. */
constexpr size_t kAlgorithmInfoSize = 256;

/* Scratch room for the partition key's buffer output, which is not used. */
constexpr uint32_t kPartitionBufferSize = 32;

void exitHandlerTrampoline(void * /*unused*/) {
    lssOnExit();
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

int32_t lssStart(void) {
    if (lssStarted != 0) {
        return 0;
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
    /* The result array is a single handle, so the capacity is 1 and the
     * first match wins.  It is stored for the caller only on success. */
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
int32_t LSSPut(void) {
    (void)lssStart();
    return LSS_ERR_FAILURE;
}

int32_t LSSGet(void) {
    (void)lssStart();
    return LSS_ERR_FAILURE;
}

int32_t LSSDeleteBag(void) {
    (void)lssStart();
    return LSS_ERR_FAILURE;
}

int32_t LSSDeleteAllBags(void) {
    (void)lssStart();
    return LSS_ERR_FAILURE;
}

int32_t LSSBagCount(void) {
    (void)lssStart();
    return LSS_ERR_FAILURE;
}

int32_t LSSBagList(void) {
    (void)lssStart();
    return LSS_ERR_FAILURE;
}
