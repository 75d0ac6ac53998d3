// Another version of the cryptographic service library, for the test that
// loading the add-on against it fails with a clear error instead of a dead
// process (test/js/registration.test.js): every entry point of the
// operation table and the session functions, each answering -1, except
// PEXX_Authenticate where PEX2_WITHOUT_AUTHENTICATE is defined.  The symbol
// version they carry is the linker version script's (test/CMakeLists.txt).
#include <stdint.h>

#include "platform/pex2/pex2.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define PEX_OP(name, params, args)                      \
    int32_t PEXX_##name PEX_PARAMS_WITH_MODULE params { \
        return -1;                                      \
    }
#define SSL_OP(name, params, args)                      \
    int32_t SSLX_##name PEX_PARAMS_WITH_MODULE params { \
        return -1;                                      \
    }
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP

#ifndef PEX2_WITHOUT_AUTHENTICATE
int32_t PEXX_Authenticate(uint64_t module, pthread_mutex_t *lock, void *reserved, void *scratch16,
                          uint32_t zero, uint64_t *out64) {
    return -1;
}
#endif
int32_t PEXX_Authenticate2(uint64_t module, pthread_mutex_t *lock, void *reserved, void *scratch16,
                           uint32_t zero, uint64_t *out64, uint32_t flags) {
    return -1;
}
int32_t PEXX_Goodbye(uint64_t module) {
    return -1;
}
#pragma GCC diagnostic pop
