/* Cryptographic service client: the public interface.
 *
 * One process-wide, reference-counted session with the cryptographic service
 * library, and one wrapper per row of its operation table
 * (platform/pex2/pex_ops.def) that puts the session's module identifier in
 * front of the caller's arguments.  Everything
 * here is exported with C linkage; other modules in the process may open and
 * close the same session and read the same globals. */
#ifndef KAVO_PEX_H
#define KAVO_PEX_H

#include <pthread.h>
#include <stdint.h>

#include "osa/export.h"
#include "platform/pex2/pex_records.h"

KAVO_BEGIN_DECLS

/* Statuses the client produces itself; every other status comes from the
 * library and passes through unchanged. */
enum {
    PEX_ERR_NOT_INITIALIZED = -1496, /* no session is open */
    PEX_ERR_INVALID_ARGUMENT = -1422,
    PEX_ERR_NOT_SUPPORTED = -1400,
    PEX_ERR_TRANSLATED_6 = -1409, /* the library's -6 */
    PEX_ERR_TRANSLATED_1 = -1497, /* the library's -1 */
    PEX_ERR_TRANSLATED_2 = -1499  /* the library's -2 */
};

/* Session globals.  pexInitialized and hModule are read by the wrappers with
 * atomic loads (acquire on pexInitialized, then hModule); an opening stores
 * hModule before it sets pexInitialized with release ordering. */
KAVO_EXPORT extern uint64_t hModule;
KAVO_EXPORT extern int32_t InitCounter;
KAVO_EXPORT extern int32_t pexInitialized;
KAVO_EXPORT extern pthread_mutex_t pexLock;

KAVO_EXPORT int32_t PEX_Init(void *initArg);
KAVO_EXPORT int32_t PEX_Init2(void *initArg, uint32_t flags);
KAVO_EXPORT void PEX_Shutdown(void);
KAVO_EXPORT void PEX_ShutdownAll(void);
KAVO_EXPORT int32_t PEX_SetInitFlags(uint32_t flags);
KAVO_EXPORT int32_t PEX_GetModuleInfo(void);
KAVO_EXPORT uint32_t generateModuleID(uint64_t initArg);
KAVO_EXPORT int32_t _TranslateTolvaErr(int32_t status);

/* PEX_CreateContext flag: open the session first (one more use of it). */
#define PEX_CONTEXT_OPEN_SESSION 0x1u

#define PEX_OP(name, params, args) KAVO_EXPORT int32_t PEX_##name params;
#define SSL_OP(name, params, args) KAVO_EXPORT int32_t SSL_##name params;
#include "platform/pex2/pex_ops.def"
#undef PEX_OP
#undef SSL_OP

KAVO_END_DECLS

#endif
