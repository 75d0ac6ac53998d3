/* Cryptographic service client: the operation wrappers.
 *
 * Every wrapper is expanded from the operation table, cryptoclient/pex_ops.def:
 * PEX_Name (SSL_Name) refuses the call while no session is open, otherwise
 * calls PEXX_Name (SSLX_Name) with hModule in front of the caller's
 * arguments, and returns the library's status unchanged.  A library status
 * of PEX_ERR_NOT_INITIALIZED comes back with pexLock still held by this
 * thread, so the wrapper releases it once.  PEX_CreateContext alone is
 * written by hand, around the same helper, because it may open the session. */
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

/* The common form of every wrapper.  The acquire load of pexInitialized
 * pairs with the session's release store, so hModule, stored before the
 * flag, is the identifier of the open session. */
template <typename... Params, typename... Args>
[[gnu::always_inline]] inline int32_t forward(int32_t (*library)(uint64_t, Params...),
                                              Args... args) {
    if (__atomic_load_n(&pexInitialized, __ATOMIC_ACQUIRE) == 0) {
        return PEX_ERR_NOT_INITIALIZED;
    }
    const int32_t status = library(__atomic_load_n(&hModule, __ATOMIC_RELAXED), args...);
    if (status == PEX_ERR_NOT_INITIALIZED) [[unlikely]] {
        releaseLockAfterRefusal();
    }
    return status;
}

}  // namespace

/* Rows whose wrapper is written by hand below are listed as
 * PEX_HANDWRITTEN_<Name>; the generic expansion skips them.
 * PEX_IF_GENERIC(Name)(text) yields text for every other row. */
#define PEX_HANDWRITTEN_CreateContext PEX_PROBE
#define PEX_PROBE ~, 1
#define PEX_SECOND(a, b, ...) b
#define PEX_SECOND_OF(...) PEX_SECOND(__VA_ARGS__)
#define PEX_IS_HANDWRITTEN(name) PEX_SECOND_OF(PEX_HANDWRITTEN_##name, 0, ~)
#define PEX_CONCAT(a, b) PEX_CONCAT_(a, b)
#define PEX_CONCAT_(a, b) a##b
#define PEX_WHEN_HANDWRITTEN_0(...) __VA_ARGS__
#define PEX_WHEN_HANDWRITTEN_1(...)
#define PEX_IF_GENERIC(name) PEX_CONCAT(PEX_WHEN_HANDWRITTEN_, PEX_IS_HANDWRITTEN(name))
#define PEX_UNPACK(...) __VA_ARGS__

#include "cryptoclient/pex_kinds.h"
#define PEX_OP(name, params, args) \
    PEX_IF_GENERIC(name)           \
    (int32_t PEX_##name params { return forward(PEXX_##name, PEX_UNPACK args); })
#define SSL_OP(name, params, args)                    \
    int32_t SSL_##name params {                       \
        return forward(SSLX_##name, PEX_UNPACK args); \
    }
#include "cryptoclient/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
#include "cryptoclient/pex_kinds_end.h"

/* Bit 0 of flags opens the session first, or takes one more use of it; no
 * wrapper gives that use back, only PEX_Shutdown or PEX_ShutdownAll does.
 * The library receives flags unchanged, bit 0 included. */
int32_t PEX_CreateContext(uint32_t flags, PexHandle *context) {
    if ((flags & PEX_CONTEXT_OPEN_SESSION) != 0) {
        const int32_t status = PEX_Init(&createContextSeed);
        if (status != 0) {
            return status;
        }
    }
    return forward(PEXX_CreateContext, flags, context);
}
