/* OS abstraction layer: initialised state, contexts, yield, the atomic spin
 * gate and the clocks.
 *
 * Other modules in the process call every function here through the exports,
 * so each keeps its argument list and result even where nothing inside the
 * module uses an argument. */
#include <sched.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include "osa/core_internal.h"
#include "osa/osa.h"

// Other modules read contexts through this layout.
static_assert(offsetof(OsaContext, tag) == 0 && sizeof(OsaContext::tag) == 8);
static_assert(offsetof(OsaContext, value) == 8 && sizeof(OsaContext::value) == 4);
static_assert(sizeof(OsaContext) == 16);

/* Process-wide state, 0 at load.  Callers serialise OSA_Initialize and
 * OSA_Deinitialize (the client session holds its spin gate around them), so
 * plain accesses suffice. */
int32_t osaInitialized;
uint64_t osaModuleHandle;

int32_t OSA_Initialize(void * /*unused*/) {
    // Initialisations are not counted: a second call changes nothing.
    if (osaInitialized == 0) {
        osaModuleHandle = 1;
        osaInitialized = 1;
    }
    return OSA_OK;
}

int32_t OSA_Deinitialize(void * /*unused*/) {
    if (osaInitialized == 0 || osaModuleHandle == 0) {
        return OSA_ERR_FAILURE;
    }
    osaModuleHandle = 0;
    osaInitialized = 0;
    return OSA_OK;
}

uint64_t OSA_GetModuleHandle(uint64_t selector) {
    return selector == 0 ? osaModuleHandle : 0;
}

int32_t OSA_CreateContext(int32_t value, OsaContext **context) {
    if (context == nullptr) {
        return OSA_ERR_FAILURE;
    }
    auto *record = static_cast<OsaContext *>(malloc(sizeof(OsaContext)));
    if (record == nullptr) {
        return OSA_ERR_FAILURE;
    }
    // Zero-filled first so that the padding after `value` is defined too.
    memset(record, 0, sizeof(*record));
    record->tag = OSA_CONTEXT_TAG;
    record->value = value;
    *context = record;
    return OSA_OK;
}

int32_t OSA_DestroyContext(OsaContext *context) {
    free(context);
    return OSA_OK;
}

int32_t OSA_DisableShutDownEvents(void) {
    return OSA_OK;
}

int32_t OSA_YieldExecution(uint64_t mode) {
    // Any other mode spins.
    if (mode == OSA_YIELD_PROCESSOR) {
        sched_yield();
    }
    return OSA_OK;
}

int32_t OSA_Delay(void) {
    return OSA_OK;
}

int32_t OSA_test_and_set(int32_t *flag, const int32_t *newValue, uint64_t /*ignored*/) {
    // A full barrier (a locked exchange on x86-64): whatever the previous
    // holder wrote before releasing the gate is visible to the next one.
    return __atomic_exchange_n(flag, *newValue, __ATOMIC_SEQ_CST);
}

void OSA_clear_set(int32_t *flag) {
    // Releasing the gate needs no read: only the holder clears it.
    __atomic_store_n(flag, 1, __ATOMIC_RELEASE);
}

uint32_t OSA_GetSecMsec(uint32_t *seconds, uint32_t *milliseconds) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    // The seconds are truncated to their low 32 bits, as callers store them.
    *seconds = static_cast<uint32_t>(now.tv_sec);
    *milliseconds = static_cast<uint32_t>(now.tv_usec / 1000);
    return *seconds;
}

uint64_t OSA_GetTODULong(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec);
}
