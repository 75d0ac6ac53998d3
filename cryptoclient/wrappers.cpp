/* Cryptographic service client: the operation wrappers, one per row of the
 * operation table (platform/pex2/pex_ops.def).
 *
 * PEX_Name (SSL_Name) refuses the call while no session is open, otherwise
 * calls PEXX_Name (SSLX_Name) with hModule in front of the caller's
 * arguments and returns the library's status unchanged.  A library status
 * of PEX_ERR_NOT_INITIALIZED comes back with pexLock still held by this
 * thread, so the wrapper releases it once.  A row marked PEX_OP_OPEN (only
 * PEX_CreateContext) may open the session first. */
#include <stdint.h>

#include "cryptoclient/pex.h"
#include "osa/osa.h"
#include "platform/pex2/pex2.h"

namespace {

/* The address of this word is PEX_CreateContext's initArg for PEX_Init; its
 * value is never read. */
uintptr_t createContextSeed;

/* Kept out of line: the library reports a refused session rarely, and the
 * wrappers' common path stays a load, a call and a compare. */
[[gnu::noinline, gnu::cold]] void releaseLockAfterRefusal() {
    (void)OSA_mutex_unlock(&pexLock);
}

/* PEX_OP_OPEN rows: bit 0 of the flags, the first argument, opens the
 * session or takes one more use of it, which only PEX_Shutdown or
 * PEX_ShutdownAll gives back.  The library receives the flags unchanged. */
template <typename... Rest>
[[gnu::always_inline]] inline int32_t openIfAsked(uint32_t flags, Rest...) {
    return (flags & PEX_CONTEXT_OPEN_SESSION) != 0 ? PEX_Init(&createContextSeed) : 0;
}

/* The acquire load pairs with the session's release store, so hModule,
 * stored before the flag, is the open session's identifier. */
template <auto Library, typename... Args>
[[gnu::always_inline]] inline int32_t forward(Args... args) {
    if (__atomic_load_n(&pexInitialized, __ATOMIC_ACQUIRE) == 0) {
        return PEX_ERR_NOT_INITIALIZED;
    }
    const int32_t status = Library(__atomic_load_n(&hModule, __ATOMIC_RELAXED), args...);
    if (status == PEX_ERR_NOT_INITIALIZED) [[unlikely]] {
        releaseLockAfterRefusal();
    }
    return status;
}

}  // namespace

#define PEX_UNPACK(...) __VA_ARGS__
#define PEX_OP(name, params, args)                     \
    int32_t PEX_##name params {                        \
        return forward<&PEXX_##name>(PEX_UNPACK args); \
    }
#define SSL_OP(name, params, args)                     \
    int32_t SSL_##name params {                        \
        return forward<&SSLX_##name>(PEX_UNPACK args); \
    }
#define PEX_OP_OPEN(name, params, args)                                       \
    int32_t PEX_##name params {                                               \
        const int32_t opened = openIfAsked(PEX_UNPACK args);                  \
        return opened != 0 ? opened : forward<&PEXX_##name>(PEX_UNPACK args); \
    }
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
#undef PEX_OP_OPEN
