/* Records, argument kinds and algorithm identifiers exchanged with the
 * cryptographic service.
 *
 * The protection layer builds these records and the service library reads
 * them, so both sides include this one header; the static_asserts pin the
 * layouts that the library relies on. */
#ifndef KAVO_PEX_RECORDS_H
#define KAVO_PEX_RECORDS_H

#include <stddef.h>
#include <stdint.h>

/* Contexts and key objects of the service are opaque 64-bit handles. */
typedef uint64_t PexHandle;

/* The argument kinds of the operation table (pex_ops.def). */
typedef uint32_t U32;
typedef uint8_t U8;
typedef void *P;

/* A row's parameters on the library side: the module identifier first. */
#define PEX_PARAMS_WITH_MODULE(...) (uint64_t module, __VA_ARGS__)

/* One attribute of a search template, a key-generation template or a query.
 * In a template the layer sets type, present (1), value and zero; in a query
 * only type, and the service answers in present and value. */
typedef struct PexAttribute {
    uint32_t type;
    uint32_t reserved0; /* padding, not written */
    uint32_t present;   /* value-present flag */
    uint32_t value;
    uint32_t zero;      /* 0 in a template */
    uint32_t reserved1; /* not written */
} PexAttribute;

/* One parameter, the IV of a CBC operation. */
typedef struct PexParameters {
    uint64_t count; /* always 1 */
    uint32_t type;  /* PEX_PARAM_IV */
    uint32_t reserved0;
    uint32_t ivLength; /* 8 or 16 */
    uint32_t reserved1;
    const uint8_t *iv;
} PexParameters;

typedef struct PexAlgorithm {
    const uint8_t *oid;          /* DER: tag 0x06, length byte, content */
    const PexParameters *params; /* unset when paramsLength is 0 */
    uint32_t paramsLength;       /* sizeof(PexParameters) with an IV, 0 for key generation */
} PexAlgorithm;

#define PEX_PARAM_COUNT_ONE 1u
#define PEX_PARAM_IV 0x80000004u

/* Attribute types that the protection layer uses. */
enum {
    PEX_ATTR_CLASS = 10,    /* wrapping-key search criterion (value 6) */
    PEX_ATTR_TOKEN = 12,    /* search criterion and key attribute (value 1) */
    PEX_ATTR_KEY_BITS = 20, /* key length in bits: 128 or 168 */
    PEX_ATTR_KEY_KIND = 21, /* wrapping-key kind: 1, 2 or 12 */
    PEX_ATTR_KEY_USAGE = 22 /* key usage flags (0x110000) */
};

#define PEX_WRAPPING_KEY_CLASS 6u
#define PEX_KEY_USAGE_CONTENT 0x110000u

/* Wrapping-key kinds (attribute PEX_ATTR_KEY_KIND). */
enum { PEX_KEY_KIND_1 = 1, PEX_KEY_KIND_2 = 2, PEX_KEY_KIND_12 = 12 };

/* Algorithm identifiers, DER-encoded with tag and length. */
#define PEX_OID_AES128_CBC_BYTES 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02
#define PEX_OID_VENDOR_PREFIX 0x06, 0x0B, 0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x37, 0x01, 0x02, 0x08

static const uint8_t OID_AES128_CBC[] = {PEX_OID_AES128_CBC_BYTES};
static const uint8_t OID_PEX_KEYGEN168[] = {PEX_OID_VENDOR_PREFIX, 0x1A};
static const uint8_t OID_PEX_CBC8_PAD[] = {PEX_OID_VENDOR_PREFIX, 0x1B};
static const uint8_t OID_PEX_WRAP_KIND1[] = {PEX_OID_VENDOR_PREFIX, 0x17};
static const uint8_t OID_PEX_WRAP_KIND12[] = {PEX_OID_VENDOR_PREFIX, 0x63};

#ifdef __cplusplus
static_assert(sizeof(PexAttribute) == 24, "PexAttribute is 24 bytes");
static_assert(offsetof(PexAttribute, type) == 0);
static_assert(offsetof(PexAttribute, present) == 8);
static_assert(offsetof(PexAttribute, value) == 12);
static_assert(offsetof(PexAttribute, zero) == 16);
static_assert(sizeof(PexParameters) == 32, "PexParameters is 32 bytes");
static_assert(offsetof(PexParameters, count) == 0);
static_assert(offsetof(PexParameters, type) == 8);
static_assert(offsetof(PexParameters, ivLength) == 16);
static_assert(offsetof(PexParameters, iv) == 24);
static_assert(offsetof(PexAlgorithm, oid) == 0);
static_assert(offsetof(PexAlgorithm, params) == 8);
static_assert(offsetof(PexAlgorithm, paramsLength) == 16);
static_assert(sizeof(OID_AES128_CBC) == 11 && sizeof(OID_PEX_KEYGEN168) == 13);
#endif

#endif
