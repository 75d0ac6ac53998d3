// Cryptographic service simulator: one entry point per row of the operation
// table (pex_ops.def), each answering "not supported".
//
// The stubs are weak: an operation that the simulator implements has a strong
// definition in session.cpp or cipher.cpp, which the linker takes instead, so
// the table stays the one list of entry points and every row is exported.
#include "platform/pex2/pex2_internal.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "platform/pex2/pex_kinds.h"
#define PEX_OP(name, params, args)                                            \
    __attribute__((weak)) int32_t PEXX_##name PEX_PARAMS_WITH_MODULE params { \
        return pex2::unsupported(module);                                     \
    }
#define SSL_OP(name, params, args)                                            \
    __attribute__((weak)) int32_t SSLX_##name PEX_PARAMS_WITH_MODULE params { \
        return pex2::unsupported(module);                                     \
    }
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
#include "platform/pex2/pex_kinds_end.h"
#pragma GCC diagnostic pop
