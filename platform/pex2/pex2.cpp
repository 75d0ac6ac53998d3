// Cryptographic service simulator: the entry points of the operations it does
// not implement, one per plain row of the operation table (pex_ops.def), each
// answering "not supported" with the same locking as every other call.  The
// rows marked PEX_OP_IMPL or PEX_OP_OPEN are defined in session.cpp and
// cipher.cpp.
#include "platform/pex2/pex2_internal.h"

namespace {

int32_t unsupported(uint64_t module) {
    return pex2::inSession(module, [](pex2::Session &) { return PEX2_ERR_NOT_SUPPORTED; });
}

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define PEX_OP(name, params, args)                      \
    int32_t PEXX_##name PEX_PARAMS_WITH_MODULE params { \
        return unsupported(module);                     \
    }
#define SSL_OP(name, params, args)                      \
    int32_t SSLX_##name PEX_PARAMS_WITH_MODULE params { \
        return unsupported(module);                     \
    }
#define PEX_OP_IMPL(name, params, args)
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
#undef PEX_OP_IMPL
#pragma GCC diagnostic pop
