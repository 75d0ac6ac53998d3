/* Local secret protection: the layer's internal operations.
 *
 * Shared by session.cpp, protect.cpp and unprotect.cpp, and read by the
 * layer's unit tests.  None of these names leaves the add-on: they carry
 * hidden visibility and are listed as internal in the export check. */
#ifndef KAVO_LSS_INTERNAL_H
#define KAVO_LSS_INTERNAL_H

#ifndef __cplusplus
#error "lss_internal.h is for the layer's C++ sources and tests"
#endif

#include <stdint.h>

#include "osa/export.h"
#include "platform/pex2/pex_records.h"

#define LSS_INTERNAL __attribute__((visibility("hidden")))

KAVO_BEGIN_DECLS

/* 1 once lssStart has opened the service session; lssOnExit clears it. */
LSS_INTERNAL extern int32_t lssStarted;
/* 1 if the probe of the last successful start found AES-128-CBC.  Only
 * lssStart writes it. */
LSS_INTERNAL extern int32_t lssAesAvailable;

/* Opens the process-wide service session on first use and probes for AES.
 * Returns 0 or the status of PEX_Init. */
LSS_INTERNAL int32_t lssStart(void);
/* Closes the session whatever its use count and clears lssStarted.  Runs at
 * process exit or module unload; LSSShutdown calls it too. */
LSS_INTERNAL void lssOnExit(void);

/* Each of the next four runs in a context of its own, destroyed before it
 * returns on every path. */

/* Finds the machine's wrapping key object by attribute search.  On 0 the
 * handle is stored in *key; -4 when no object matches (nothing stored). */
LSS_INTERNAL int32_t lssFindWrappingKey(PexHandle *key);
/* Fetches the partition key.  On 0 the handle is stored in *key. */
LSS_INTERNAL int32_t lssGetPartitionKey(PexHandle *key);
LSS_INTERNAL int32_t lssDestroyKey(const PexHandle *key);
/* Wraps *contentKey under *wrappingKey into destination.  *length goes in
 * as the capacity and comes back as the number of bytes written.  Returns
 * -5 when the wrapping key has no kind, -6 for an unknown kind, else the
 * service's status. */
LSS_INTERNAL int32_t lssWrapContentKey(const PexHandle *contentKey, const PexHandle *wrappingKey,
                                       void *destination, uint32_t *length);

KAVO_END_DECLS

/* One record of a search or key-generation template. */
static inline PexAttribute lssTemplateAttribute(uint32_t type, uint32_t value) {
    PexAttribute attribute{};
    attribute.type = type;
    attribute.present = 1;
    attribute.value = value;
    attribute.zero = 0;
    return attribute;
}

/* Fills in an algorithm record that carries one parameter, the IV, through
 * params; both records must outlive the service call that reads them. */
static inline void lssIvAlgorithm(PexAlgorithm *algorithm, PexParameters *params,
                                  const uint8_t *oid, const uint8_t *iv, uint32_t ivLength) {
    *params = PexParameters{};
    params->count = PEX_PARAM_COUNT_ONE;
    params->type = PEX_PARAM_IV;
    params->ivLength = ivLength;
    params->iv = iv;
    *algorithm = PexAlgorithm{};
    algorithm->oid = oid;
    algorithm->params = params;
    algorithm->paramsLength = sizeof(PexParameters);
}

#endif
