/* The cryptographic service library libpex2.so: its entry points.
 *
 * Every entry point takes the caller's module identifier first.  The 91
 * operations behind the client's wrappers are declared from the operation
 * table; the session entry points are declared by hand.  All are exported
 * with the symbol version VESK_VERSION_2.3.0 (see libpex2.map). */
#ifndef KAVO_PEX2_H
#define KAVO_PEX2_H

#include <pthread.h>
#include <stdint.h>

#include "cryptoclient/pex_records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a service session under module.  The library keeps lock and locks
 * it for its own work in every later call of that session. */
int32_t PEXX_Authenticate(uint64_t module, pthread_mutex_t *lock, void *reserved,
                          void *scratch16, uint32_t zero, uint64_t *out64);
int32_t PEXX_Authenticate2(uint64_t module, pthread_mutex_t *lock, void *reserved,
                           void *scratch16, uint32_t zero, uint64_t *out64, uint32_t flags);
int32_t PEXX_Goodbye(uint64_t module);

#include "cryptoclient/pex_kinds.h"
#define PEX_OP(name, params, args) int32_t PEXX_##name PEX_PARAMS_WITH_MODULE params;
#define SSL_OP(name, params, args) int32_t SSLX_##name PEX_PARAMS_WITH_MODULE params;
#include "cryptoclient/pex_ops.def"
#undef PEX_OP
#undef SSL_OP
#include "cryptoclient/pex_kinds_end.h"

#ifdef __cplusplus
}
#endif

#endif
