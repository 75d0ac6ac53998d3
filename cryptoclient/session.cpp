/* Cryptographic service client: the one process-wide session.
 *
 * The session is opened by the first PEX_Init or PEX_Init2, counted by every
 * further one, and closed when PEX_Shutdown brings the count to 0 or below,
 * or by PEX_ShutdownAll.  Opening and closing are serialised by initGate, an
 * atomic spin gate rather than a mutex, because the gate guards the creation
 * and destruction of pexLock itself.
 *
 * The operation wrappers (wrappers.cpp) read pexInitialized and hModule
 * without the gate, so both are written here with atomic stores: hModule
 * first, then pexInitialized with release ordering, which the wrappers pair
 * with an acquire load.  InitCounter is only ever touched under the gate. */
#include <stdint.h>

#include "cryptoclient/pex.h"
#include "osa/osa.h"
#include "platform/pex2/pex2.h"

/* Exported session globals, all zero at load.  They keep their plain C types
 * and widths because other modules in the process read them directly. */
uint64_t hModule;
int32_t InitCounter;
int32_t pexInitialized;
pthread_mutex_t pexLock;

namespace {

/* The spin gate: 1 free, 0 held. */
int32_t initGate = 1;

/* What _TranslateTolvaErr rewrites; every other status passes unchanged. */
struct Translation {
    int32_t from;
    int32_t to;
};
constexpr Translation kTranslations[] = {
    {-1, PEX_ERR_TRANSLATED_1},     {-2, PEX_ERR_TRANSLATED_2}, {-4, PEX_ERR_INVALID_ARGUMENT},
    {-5, PEX_ERR_INVALID_ARGUMENT}, {-6, PEX_ERR_TRANSLATED_6},
};

/* Takes the gate.  Openers pass OSA_YIELD_PROCESSOR so that a waiter gives up
 * the processor between attempts; closers pass OSA_YIELD_SPIN and spin. */
void acquireGate(uint64_t yieldMode) {
    const int32_t held = 0;
    while (OSA_test_and_set(&initGate, &held, 0) == 0) {
        OSA_YieldExecution(yieldMode);
    }
}

void releaseGate() {
    OSA_clear_set(&initGate);
}

/* The counter is not clamped; wrapping arithmetic keeps even 2^31 unbalanced
 * calls well defined instead of overflowing a signed integer. */
void addToCounter(int32_t delta) {
    InitCounter =
        static_cast<int32_t>(static_cast<uint32_t>(InitCounter) + static_cast<uint32_t>(delta));
}

bool sessionOpen() {
    return __atomic_load_n(&pexInitialized, __ATOMIC_RELAXED) == 1;
}

/* Shared body of PEX_Init and PEX_Init2.  The gate is held by the caller;
 * returns the untranslated status. */
int32_t openSessionLocked(void *initArg, bool withFlags, uint32_t flags) {
    if (sessionOpen()) {
        addToCounter(1);
        return 0;
    }

    const uint32_t module =
        generateModuleID(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(initArg)));
    __atomic_store_n(&hModule, static_cast<uint64_t>(module), __ATOMIC_RELAXED);
    const int32_t osaStatus = OSA_Initialize(&hModule);
    if (osaStatus != 0) {
        __atomic_store_n(&hModule, 0, __ATOMIC_RELAXED);
        return osaStatus;
    }
    /* A failed earlier opening may have left it initialised: no matter. */
    (void)OSA_mutex_init(&pexLock);

    /* The library may write into both; nothing reads them afterwards. */
    uint8_t scratch[16] = {};
    uint64_t reserved = 0;
    const int32_t status =
        withFlags ? PEXX_Authenticate2(module, &pexLock, nullptr, scratch, 0, &reserved, flags)
                  : PEXX_Authenticate(module, &pexLock, nullptr, scratch, 0, &reserved);
    if (status != 0) {
        (void)OSA_Deinitialize(&hModule);
        __atomic_store_n(&hModule, 0, __ATOMIC_RELAXED);
        return status;
    }

    /* Publishes hModule and the initialised pexLock to the wrappers. */
    __atomic_store_n(&pexInitialized, 1, __ATOMIC_RELEASE);
    addToCounter(1);
    return 0;
}

int32_t openSession(void *initArg, bool withFlags, uint32_t flags) {
    if (initArg == nullptr) {
        return PEX_ERR_INVALID_ARGUMENT;
    }
    acquireGate(OSA_YIELD_PROCESSOR);
    const int32_t status = openSessionLocked(initArg, withFlags, flags);
    releaseGate();
    return _TranslateTolvaErr(status);
}

/* The gate is held by the caller.  Closing cannot fail: the library's
 * answer is ignored. */
void closeSessionLocked() {
    const uint64_t module = __atomic_load_n(&hModule, __ATOMIC_RELAXED);
    (void)PEXX_Goodbye(module);
    (void)OSA_Deinitialize(&hModule);
    /* The flag goes first, so a wrapper that still sees 1 also still sees
     * the identifier it belongs to. */
    __atomic_store_n(&pexInitialized, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&hModule, 0, __ATOMIC_RELAXED);
    (void)OSA_mutex_destroy(&pexLock);
}

}  // namespace

uint32_t generateModuleID(uint64_t initArg) {
    uint32_t s = 0;
    uint32_t m = 0;
    OSA_GetSecMsec(&s, &m);
    /* Seconds and milliseconds in one word; the top 10 bits of s fall away. */
    const uint32_t timeWord = (s << 10) | m;
    const auto stackWord = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s));
    const auto codeWord = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&generateModuleID));
    return stackWord ^ codeWord ^ timeWord ^ static_cast<uint32_t>(initArg);
}

int32_t _TranslateTolvaErr(int32_t status) {
    for (const Translation &t : kTranslations) {
        if (t.from == status) {
            return t.to;
        }
    }
    return status;
}

int32_t PEX_Init(void *initArg) {
    return openSession(initArg, false, 0);
}

/* flags reach the library only when this call opens the session. */
int32_t PEX_Init2(void *initArg, uint32_t flags) {
    return openSession(initArg, true, flags);
}

void PEX_Shutdown(void) {
    acquireGate(OSA_YIELD_SPIN);
    /* The count drops even on a closed session, so unbalanced calls shift
     * it; callers that keep their calls paired never see that. */
    addToCounter(-1);
    if (InitCounter <= 0 && sessionOpen()) {
        closeSessionLocked();
    }
    releaseGate();
}

void PEX_ShutdownAll(void) {
    acquireGate(OSA_YIELD_SPIN);
    InitCounter = 0;
    if (sessionOpen()) {
        closeSessionLocked();
    }
    releaseGate();
}

int32_t PEX_SetInitFlags(uint32_t flags) {
    /* No non-zero flag has a meaning. */
    if (flags != 0) {
        return PEX_ERR_INVALID_ARGUMENT;
    }
    return OSA_DisableShutDownEvents();
}

int32_t PEX_GetModuleInfo(void) {
    return PEX_ERR_NOT_SUPPORTED;
}
