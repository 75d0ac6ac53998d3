/* The service stand-in of pex_double.h.
 *
 * Handles are plain counters that are never reused, so a stale handle is
 * always recognised.  Each function reads every byte that its arguments say
 * it may read and writes only within the capacities it is given: under
 * AddressSanitizer a length that the protection layer gets wrong shows up
 * here as an out-of-bounds access instead of passing unnoticed. */
#include "fuzz/pex_double.h"

#include <string.h>

#include <map>
#include <set>

#include "cryptoclient/pex.h"

namespace {

/* Statuses of the double itself; the layer passes them on unchanged. */
constexpr int32_t kStatusBadHandle = -1410;
constexpr int32_t kStatusBufferTooSmall = -1411;
constexpr int32_t kStatusNotInitialised = -1412;

/* The machine's two keys, which belong to the service and outlive everything. */
constexpr PexHandle kWrappingKey = 0x11;
constexpr PexHandle kPartitionKey = 0x22;
/* The kind of the wrapping key: 2 selects the 8-byte-IV wrap. */
constexpr uint32_t kWrappingKeyKind = PEX_KEY_KIND_2;
/* Wrapped keys are a fixed tag followed by filler, well below the 256-byte
 * room the layer gives. */
constexpr uint32_t kWrappedLength = 24;

enum class Mode { kNone, kEncrypt, kDecrypt };

struct Context {
    Mode mode = Mode::kNone;
};

struct State {
    std::map<PexHandle, Context> contexts;
    std::set<PexHandle> keys;
    PexHandle nextHandle = 0x1000;
    uint8_t nextRandom = 0;
    pex_double::Tally tally = {};
};

State &state() {
    static State s;
    return s;
}

bool isMachineKey(PexHandle key) {
    return key == kWrappingKey || key == kPartitionKey;
}

bool isUsableKey(PexHandle key) {
    return isMachineKey(key) || state().keys.count(key) != 0;
}

Context *findContext(PexHandle context) {
    auto it = state().contexts.find(context);
    return it == state().contexts.end() ? nullptr : &it->second;
}

/* Reads an algorithm record the way a service would: the identifier's DER
 * bytes and, when present, the whole IV.  The sum keeps the reads from being
 * optimised away. */
uint32_t touchAlgorithm(const PexAlgorithm *algorithm) {
    uint32_t sum = 0;
    const uint8_t *oid = algorithm->oid;
    for (uint32_t i = 0; i < 2u + oid[1]; ++i) {
        sum += oid[i];
    }
    if (algorithm->paramsLength >= sizeof(PexParameters)) {
        const PexParameters *params = algorithm->params;
        for (uint32_t i = 0; i < params->ivLength; ++i) {
            sum += params->iv[i];
        }
    }
    return sum;
}

volatile uint32_t sink;

/* Copies input to output when it fits: the identity cipher of the double. */
int32_t copyThrough(PexHandle context, Mode mode, const void *input, uint32_t inputLength,
                    void *output, uint32_t *outputLength) {
    const Context *ctx = findContext(context);
    if (ctx == nullptr || ctx->mode != mode) {
        return kStatusBadHandle;
    }
    if (inputLength > *outputLength) {
        *outputLength = inputLength;
        return kStatusBufferTooSmall;
    }
    if (inputLength > 0) {
        memmove(output, input, inputLength);
    }
    *outputLength = inputLength;
    return 0;
}

int32_t cipherInit(PexHandle context, const PexAlgorithm *algorithm, PexHandle key, Mode mode) {
    Context *ctx = findContext(context);
    if (ctx == nullptr || !isUsableKey(key)) {
        return kStatusBadHandle;
    }
    sink = touchAlgorithm(algorithm);
    ctx->mode = mode;
    return 0;
}

PexHandle newHandle() {
    return state().nextHandle++;
}

}  // namespace

namespace pex_double {

void Reset() {
    State &s = state();
    s.contexts.clear();
    s.keys.clear();
    s.nextRandom = 0;
    s.tally = {};
}

Tally Current() {
    Tally t = state().tally;
    t.liveContexts = state().contexts.size();
    t.liveKeys = state().keys.size();
    return t;
}

}  // namespace pex_double

/* ---- The client functions the protection layer calls ------------------ */

int32_t PEX_Init(void * /*initArg*/) {
    return 0;
}

void PEX_ShutdownAll(void) {}

int32_t PEX_GetAlgorithmInfo(const uint8_t *oid, void * /*info*/) {
    /* Every identifier is known, AES-128-CBC included. */
    return oid != nullptr ? 0 : kStatusNotInitialised;
}

int32_t PEX_CreateContext(uint32_t /*flags*/, PexHandle *context) {
    const PexHandle handle = newHandle();
    state().contexts[handle] = Context{};
    *context = handle;
    return 0;
}

int32_t PEX_DestroyContext(PexHandle context) {
    if (state().contexts.erase(context) == 0) {
        ++state().tally.badReleases;
        return kStatusBadHandle;
    }
    return 0;
}

int32_t PEX_DestroyObject(PexHandle context, PexHandle object) {
    if (findContext(context) == nullptr) {
        return kStatusBadHandle;
    }
    if (isMachineKey(object)) {
        ++state().tally.machineKeyDestroys;
        return kStatusBadHandle;
    }
    if (state().keys.erase(object) == 0) {
        ++state().tally.badReleases;
        return kStatusBadHandle;
    }
    return 0;
}

int32_t PEX_FindObjectsInit(PexHandle context, const PexAttribute *templ, uint32_t count) {
    if (findContext(context) == nullptr) {
        return kStatusBadHandle;
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        sum += templ[i].type + templ[i].value;
    }
    sink = sum;
    return 0;
}

int32_t PEX_FindObjects(PexHandle context, PexHandle *objects, uint32_t *count) {
    if (findContext(context) == nullptr) {
        return kStatusBadHandle;
    }
    if (*count >= 1) {
        objects[0] = kWrappingKey;
        *count = 1;
    }
    return 0;
}

int32_t PEX_GetPartitionKey(PexHandle context, uint32_t /*zero*/, void * /*buffer*/,
                            uint32_t * /*bufferLength*/, PexHandle *key) {
    if (findContext(context) == nullptr) {
        return kStatusBadHandle;
    }
    *key = kPartitionKey;
    return 0;
}

int32_t PEX_GetAttributeValue(PexHandle context, PexHandle object, PexAttribute *attributes,
                              uint32_t count) {
    if (findContext(context) == nullptr || !isUsableKey(object)) {
        return kStatusBadHandle;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const bool kind = attributes[i].type == PEX_ATTR_KEY_KIND && isMachineKey(object);
        attributes[i].present = kind ? 1 : 0;
        attributes[i].value = kind ? kWrappingKeyKind : 0;
    }
    return 0;
}

int32_t PEX_GenerateKey(PexHandle context, const PexAlgorithm *algorithm, const PexAttribute *templ,
                        uint32_t count, uint32_t * /*scratch*/, PexHandle *key,
                        uint32_t /*reserved*/) {
    if (findContext(context) == nullptr) {
        return kStatusBadHandle;
    }
    uint32_t sum = touchAlgorithm(algorithm);
    for (uint32_t i = 0; i < count; ++i) {
        sum += templ[i].type + templ[i].value;
    }
    sink = sum;
    *key = newHandle();
    state().keys.insert(*key);
    return 0;
}

int32_t PEX_GetRandom(PexHandle context, void *buffer, uint32_t length) {
    if (findContext(context) == nullptr) {
        return kStatusBadHandle;
    }
    /* A counter, not randomness: fuzz runs must be reproducible. */
    auto *bytes = static_cast<uint8_t *>(buffer);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[i] = state().nextRandom++;
    }
    return 0;
}

int32_t PEX_WrapKey(PexHandle context, const PexAlgorithm *algorithm, uint32_t /*zero*/,
                    void * /*reserved*/, PexHandle wrappingKey, PexHandle key, void *output,
                    uint32_t *outputLength) {
    if (findContext(context) == nullptr || !isMachineKey(wrappingKey) ||
        state().keys.count(key) == 0) {
        return kStatusBadHandle;
    }
    sink = touchAlgorithm(algorithm);
    if (*outputLength < kWrappedLength) {
        *outputLength = kWrappedLength;
        return kStatusBufferTooSmall;
    }
    static const char kTag[] = "WRAPPED:";
    memset(output, 0x5A, kWrappedLength);
    memcpy(output, kTag, sizeof kTag - 1);
    *outputLength = kWrappedLength;
    return 0;
}

int32_t PEX_UnwrapKey(PexHandle context, PexHandle wrappingKey, const void *wrapped,
                      uint32_t wrappedLength, PexHandle *key) {
    if (findContext(context) == nullptr || !isMachineKey(wrappingKey)) {
        return kStatusBadHandle;
    }
    /* Any bytes unwrap, but every one of them is read. */
    const auto *bytes = static_cast<const uint8_t *>(wrapped);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < wrappedLength; ++i) {
        sum += bytes[i];
    }
    sink = sum;
    *key = newHandle();
    state().keys.insert(*key);
    return 0;
}

int32_t PEX_DataEncryptInit(PexHandle context, const PexAlgorithm *algorithm, PexHandle key) {
    return cipherInit(context, algorithm, key, Mode::kEncrypt);
}

int32_t PEX_Encrypt(PexHandle context, const void *input, uint32_t inputLength, void *output,
                    uint32_t *outputLength) {
    return copyThrough(context, Mode::kEncrypt, input, inputLength, output, outputLength);
}

int32_t PEX_EncryptUpdate(PexHandle context, const void *input, uint32_t inputLength, void *output,
                          uint32_t *outputLength) {
    return copyThrough(context, Mode::kEncrypt, input, inputLength, output, outputLength);
}

int32_t PEX_EncryptFinal(PexHandle context, void * /*output*/, uint32_t *outputLength) {
    const Context *ctx = findContext(context);
    if (ctx == nullptr || ctx->mode != Mode::kEncrypt) {
        return kStatusBadHandle;
    }
    /* The identity cipher holds nothing back. */
    *outputLength = 0;
    return 0;
}

int32_t PEX_DataDecryptInit(PexHandle context, const PexAlgorithm *algorithm, PexHandle key) {
    return cipherInit(context, algorithm, key, Mode::kDecrypt);
}

int32_t PEX_Decrypt(PexHandle context, const void *input, uint32_t inputLength, void *output,
                    uint32_t *outputLength) {
    return copyThrough(context, Mode::kDecrypt, input, inputLength, output, outputLength);
}
