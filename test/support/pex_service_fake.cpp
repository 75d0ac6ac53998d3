/* The scriptable service double of the protection layer's tests; see
 * pex_service_fake.h. */
#include "test/support/pex_service_fake.h"

#include <stdio.h>
#include <string.h>

#include <array>

#include "cryptoclient/pex.h"
#include "lss/lss.h"

namespace lssfake {
namespace {

using KeyBytes = std::array<uint8_t, 24>;

struct Context {
    enum { kIdle, kEncrypt, kDecrypt } mode = kIdle;
    bool aes = false;
    KeyBytes key{};
    std::vector<uint8_t> iv;
    uint64_t position = 0; /* keystream position across updates */
};

struct Failure {
    int32_t status;
    int nth;
};

State g;
std::map<std::string, Failure> failures;
std::map<std::string, int> callCounts;
std::map<PexHandle, Context> contexts;
std::map<PexHandle, KeyBytes> keys; /* live key objects */
/* Handles start afresh with every reset: a count kept across the many
 * inputs of a fuzzing run would reach kWrappingKey after 18,177 content keys
 * and hand out a machine key's handle. */
constexpr PexHandle kFirstContext = 0xC000;
constexpr PexHandle kFirstKey = 0x1000;
PexHandle nextContext = kFirstContext;
PexHandle nextKey = kFirstKey;
uint8_t nextRandom = 1;

KeyBytes filledKey(uint8_t seed) {
    KeyBytes k{};
    for (size_t i = 0; i < k.size(); ++i) {
        k[i] = static_cast<uint8_t>(seed * 29 + i * 13 + 5);
    }
    return k;
}

/* Logs the call and decides whether it proceeds; *status is its answer. */
bool enter(const char *operation, int32_t *status) {
    g.calls.emplace_back(operation);
    const int count = ++callCounts[operation];
    *status = 0;
    if (!g.sessionOpen) {
        ++g.misuses;
        *status = PEX_ERR_NOT_INITIALIZED;
        return false;
    }
    auto it = failures.find(operation);
    if (it != failures.end() && (it->second.nth == 0 || it->second.nth == count)) {
        *status = it->second.status;
        return false;
    }
    return true;
}

Context *findContext(PexHandle context) {
    auto it = contexts.find(context);
    if (it == contexts.end()) {
        ++g.misuses;
        return nullptr;
    }
    return &it->second;
}

const KeyBytes *findKey(PexHandle key) {
    auto it = keys.find(key);
    if (it == keys.end()) {
        ++g.misuses;
        return nullptr;
    }
    return &it->second;
}

AlgorithmView view(const PexAlgorithm *algorithm) {
    AlgorithmView v;
    const uint8_t *oid = algorithm->oid;
    v.oid.assign(oid, oid + 2 + oid[1]);
    v.paramsLength = algorithm->paramsLength;
    if (algorithm->paramsLength != 0) {
        const PexParameters *p = algorithm->params;
        v.paramCount = p->count;
        v.paramType = p->type;
        v.iv.assign(p->iv, p->iv + p->ivLength);
    }
    return v;
}

uint8_t keystream(const Context &c, uint64_t i) {
    if (g.transparent) {
        return 0;
    }
    return static_cast<uint8_t>(c.key[i % c.key.size()] ^ c.iv[i % c.iv.size()] ^ (i * 7 + 1));
}

/* XORs length bytes from input into output at the context's position. */
void crypt(Context &c, const uint8_t *input, uint32_t length, uint8_t *output) {
    for (uint32_t i = 0; i < length; ++i) {
        output[i] = input[i] ^ keystream(c, c.position + i);
    }
    c.position += length;
}

void applyOverride(const char *operation, uint32_t *length) {
    auto it = g.lengthOverride.find(operation);
    if (it != g.lengthOverride.end()) {
        *length = it->second;
    }
}

int32_t startCrypt(const char *operation, PexHandle context, const PexAlgorithm *algorithm,
                   PexHandle key, bool encrypt) {
    int32_t status = 0;
    if (!enter(operation, &status)) {
        return status;
    }
    Context *c = findContext(context);
    const KeyBytes *k = findKey(key);
    if (c == nullptr || k == nullptr || algorithm->paramsLength != sizeof(PexParameters)) {
        return kBadArgument;
    }
    (encrypt ? g.encryptAlgorithm : g.decryptAlgorithm) = view(algorithm);
    c->mode = encrypt ? Context::kEncrypt : Context::kDecrypt;
    c->aes = memcmp(algorithm->oid, OID_AES128_CBC, sizeof OID_AES128_CBC) == 0;
    c->key = *k;
    c->iv = view(algorithm).iv;
    c->position = 0;
    return 0;
}

}  // namespace

void reset() {
    g = State{};
    failures.clear();
    callCounts.clear();
    contexts.clear();
    keys.clear();
    nextContext = kFirstContext;
    nextKey = kFirstKey;
    keys[kWrappingKey] = filledKey(0xA1);
    keys[kPartitionKey] = filledKey(0xB2);
}

State &state() {
    return g;
}

void fail(const std::string &operation, int32_t status, int nth) {
    failures[operation] = Failure{status, nth};
}

void clearLog() {
    g.calls.clear();
    callCounts.clear();
    g.contextsCreated = g.contextsDestroyed = g.misuses = 0;
    g.contentKeys.clear();
    g.destroyCalls.clear();
    g.encryptInputs.clear();
}

size_t liveContexts() {
    return contexts.size();
}

int leakedOrTwiceDestroyedKeys() {
    int bad = 0;
    for (PexHandle key : g.contentKeys) {
        auto it = g.destroyCalls.find(key);
        bad += (it == g.destroyCalls.end() || it->second != 1) ? 1 : 0;
    }
    return bad;
}

void freshLayer() {
    reset();
    (void)LSSShutdown();
    clearLog();
}

}  // namespace lssfake

using namespace lssfake;

int32_t PEX_Init(void *initArg) {
    g.calls.emplace_back("Init");
    g.initArgValue = *static_cast<const uint64_t *>(initArg);
    auto it = failures.find("Init");
    if (it != failures.end()) {
        return it->second.status;
    }
    g.sessionOpen = true;
    return 0;
}

void PEX_ShutdownAll(void) {
    g.calls.emplace_back("ShutdownAll");
    g.sessionOpen = false;
    if (g.announceShutdown) {
        fputs("lssfake: session closed\n", stderr);
    }
}

int32_t PEX_CreateContext(uint32_t flags, PexHandle *context) {
    int32_t status = 0;
    if (!enter("CreateContext", &status)) {
        return status;
    }
    if (flags != 0) {
        return kBadArgument;
    }
    *context = nextContext++;
    contexts[*context] = Context{};
    ++g.contextsCreated;
    return 0;
}

int32_t PEX_DestroyContext(PexHandle context) {
    int32_t status = 0;
    if (!enter("DestroyContext", &status)) {
        return status;
    }
    if (contexts.erase(context) == 0) {
        ++g.misuses;
        return kBadArgument;
    }
    ++g.contextsDestroyed;
    return 0;
}

int32_t PEX_GetAlgorithmInfo(const uint8_t *oid, void *info) {
    int32_t status = 0;
    if (!enter("GetAlgorithmInfo", &status)) {
        return status;
    }
    const bool aes = memcmp(oid, OID_AES128_CBC, sizeof OID_AES128_CBC) == 0;
    memset(info, 0x5A, 64); /* the service fills in a record the layer ignores */
    return aes && g.aesAvailable ? 0 : kScriptedFailure;
}

int32_t PEX_FindObjectsInit(PexHandle context, const PexAttribute *templ, uint32_t count) {
    int32_t status = 0;
    if (!enter("FindObjectsInit", &status)) {
        return status;
    }
    g.findTemplate.assign(templ, templ + count);
    return findContext(context) != nullptr ? 0 : kBadArgument;
}

int32_t PEX_FindObjects(PexHandle context, PexHandle *objects, uint32_t *count) {
    int32_t status = 0;
    if (!enter("FindObjects", &status)) {
        return status;
    }
    if (findContext(context) == nullptr || *count < 1) {
        return kBadArgument;
    }
    *count = g.wrappingKeyFound ? 1 : 0;
    if (g.wrappingKeyFound) {
        objects[0] = kWrappingKey;
    }
    return 0;
}

int32_t PEX_GetPartitionKey(PexHandle context, uint32_t zero, void *buffer, uint32_t *bufferLength,
                            PexHandle *key) {
    int32_t status = 0;
    if (!enter("GetPartitionKey", &status)) {
        return status;
    }
    if (findContext(context) == nullptr || zero != 0) {
        return kBadArgument;
    }
    g.partitionBufferLength = *bufferLength;
    memset(buffer, 0x77, *bufferLength);
    *key = kPartitionKey;
    return 0;
}

int32_t PEX_DestroyObject(PexHandle context, PexHandle object) {
    int32_t status = 0;
    g.destroyCalls[object]++;
    if (!enter("DestroyObject", &status)) {
        return status;
    }
    if (findContext(context) == nullptr || keys.erase(object) == 0) {
        ++g.misuses;
        return kBadArgument;
    }
    if (object == kWrappingKey || object == kPartitionKey) {
        ++g.misuses; /* the machine's keys are never the layer's to destroy */
    }
    return 0;
}

int32_t PEX_GetAttributeValue(PexHandle context, PexHandle object, PexAttribute *attributes,
                              uint32_t count) {
    int32_t status = 0;
    if (!enter("GetAttributeValue", &status)) {
        return status;
    }
    if (findContext(context) == nullptr || findKey(object) == nullptr || count != 1) {
        return kBadArgument;
    }
    g.kindQuery = attributes[0];
    attributes[0].present = g.kindPresent ? 1 : 0;
    attributes[0].value = g.kindPresent ? g.kind : 0;
    return 0;
}

int32_t PEX_GetRandom(PexHandle context, void *buffer, uint32_t length) {
    int32_t status = 0;
    if (!enter("GetRandom", &status)) {
        return status;
    }
    auto *out = static_cast<uint8_t *>(buffer);
    for (uint32_t i = 0; i < length; ++i) {
        out[i] = nextRandom++;
    }
    return findContext(context) != nullptr ? 0 : kBadArgument;
}

int32_t PEX_GenerateKey(PexHandle context, const PexAlgorithm *algorithm, const PexAttribute *templ,
                        uint32_t count, uint32_t *scratch, PexHandle *key, uint32_t reserved) {
    int32_t status = 0;
    if (!enter("GenerateKey", &status)) {
        return status;
    }
    if (findContext(context) == nullptr || scratch == nullptr) {
        return kBadArgument;
    }
    g.generateAlgorithm = view(algorithm);
    g.generateTemplate.assign(templ, templ + count);
    g.generateReserved = reserved;
    *scratch = 0xDEAD;
    *key = nextKey++;
    keys[*key] = filledKey(static_cast<uint8_t>(*key));
    g.contentKeys.push_back(*key);
    return 0;
}

/* Wrapped form: 'W', the IV length, the IV, the key XOR the wrapping key,
 * then filler up to State::wrapLength. */
int32_t PEX_WrapKey(PexHandle context, const PexAlgorithm *algorithm, uint32_t zero, void *reserved,
                    PexHandle wrappingKey, PexHandle key, void *output, uint32_t *outputLength) {
    int32_t status = 0;
    if (!enter("WrapKey", &status)) {
        return status;
    }
    const KeyBytes *wk = findKey(wrappingKey);
    const KeyBytes *k = findKey(key);
    g.wrapAlgorithm = view(algorithm);
    g.wrapWrappingKey = wrappingKey;
    if (findContext(context) == nullptr || wk == nullptr || k == nullptr || zero != 0 ||
        reserved != nullptr || *outputLength < g.wrapLength) {
        return kBadArgument;
    }
    auto *out = static_cast<uint8_t *>(output);
    const std::vector<uint8_t> &iv = g.wrapAlgorithm.iv;
    memset(out, 0xEE, g.wrapLength);
    out[0] = 'W';
    out[1] = static_cast<uint8_t>(iv.size());
    memcpy(out + 2, iv.data(), iv.size());
    for (size_t i = 0; i < k->size(); ++i) {
        out[2 + iv.size() + i] = (*k)[i] ^ (*wk)[i];
    }
    *outputLength = g.wrapLength;
    applyOverride("WrapKey", outputLength);
    return 0;
}

int32_t PEX_UnwrapKey(PexHandle context, PexHandle wrappingKey, const void *wrapped,
                      uint32_t wrappedLength, PexHandle *key) {
    int32_t status = 0;
    if (!enter("UnwrapKey", &status)) {
        return status;
    }
    g.unwrapWrappingKey = wrappingKey;
    const KeyBytes *wk = findKey(wrappingKey);
    const auto *in = static_cast<const uint8_t *>(wrapped);
    if (findContext(context) == nullptr || wk == nullptr) {
        return kBadArgument;
    }
    KeyBytes k{};
    if (g.transparent) {
        for (uint32_t i = 0; i < wrappedLength; ++i) {
            k[i % k.size()] ^= in[i];
        }
    } else if (wrappedLength < 2 || in[0] != 'W' || in[1] > 16 ||
               wrappedLength < 2u + in[1] + 24u) {
        return kBadArgument;
    } else {
        for (size_t i = 0; i < k.size(); ++i) {
            k[i] = in[2 + in[1] + i] ^ (*wk)[i];
        }
    }
    *key = nextKey++;
    keys[*key] = k;
    g.contentKeys.push_back(*key);
    return 0;
}

int32_t PEX_DataEncryptInit(PexHandle context, const PexAlgorithm *algorithm, PexHandle key) {
    return startCrypt("DataEncryptInit", context, algorithm, key, true);
}

int32_t PEX_DataDecryptInit(PexHandle context, const PexAlgorithm *algorithm, PexHandle key) {
    return startCrypt("DataDecryptInit", context, algorithm, key, false);
}

namespace {

/* PEX_Encrypt takes the 8-byte-block cipher, which pads its input itself
 * (PKCS #5); PEX_EncryptUpdate takes AES, whole blocks only, no padding. */
int32_t encryptCall(const char *operation, bool aes, PexHandle context, const void *input,
                    uint32_t inputLength, void *output, uint32_t *outputLength) {
    int32_t status = 0;
    if (!enter(operation, &status)) {
        return status;
    }
    Context *c = findContext(context);
    const auto *in = static_cast<const uint8_t *>(input);
    g.encryptInputs.emplace_back(in, in + inputLength);
    const uint32_t pad = aes || g.transparent ? 0 : 8 - inputLength % 8;
    if (c == nullptr || c->mode != Context::kEncrypt || c->aes != aes ||
        (aes && inputLength % 16 != 0) || *outputLength < inputLength + pad) {
        return kBadArgument;
    }
    std::vector<uint8_t> padded(in, in + inputLength);
    padded.insert(padded.end(), pad, static_cast<uint8_t>(pad));
    crypt(*c, padded.data(), static_cast<uint32_t>(padded.size()), static_cast<uint8_t *>(output));
    *outputLength = static_cast<uint32_t>(padded.size());
    applyOverride(operation, outputLength);
    return 0;
}

}  // namespace

int32_t PEX_Encrypt(PexHandle context, const void *input, uint32_t inputLength, void *output,
                    uint32_t *outputLength) {
    return encryptCall("Encrypt", false, context, input, inputLength, output, outputLength);
}

int32_t PEX_EncryptUpdate(PexHandle context, const void *input, uint32_t inputLength, void *output,
                          uint32_t *outputLength) {
    return encryptCall("EncryptUpdate", true, context, input, inputLength, output, outputLength);
}

int32_t PEX_EncryptFinal(PexHandle context, void * /*output*/, uint32_t *outputLength) {
    int32_t status = 0;
    if (!enter("EncryptFinal", &status)) {
        return status;
    }
    Context *c = findContext(context);
    if (c == nullptr || c->mode != Context::kEncrypt) {
        return kBadArgument;
    }
    *outputLength = 0;
    applyOverride("EncryptFinal", outputLength);
    return 0;
}

/* AES returns every block, padding included; the 8-byte-block cipher strips
 * its own padding. */
int32_t PEX_Decrypt(PexHandle context, const void *input, uint32_t inputLength, void *output,
                    uint32_t *outputLength) {
    int32_t status = 0;
    if (!enter("Decrypt", &status)) {
        return status;
    }
    Context *c = findContext(context);
    if (c == nullptr || c->mode != Context::kDecrypt || *outputLength < inputLength) {
        return kBadArgument;
    }
    auto *out = static_cast<uint8_t *>(output);
    crypt(*c, static_cast<const uint8_t *>(input), inputLength, out);
    uint32_t n = inputLength;
    if (!c->aes && !g.transparent) {
        const uint32_t pad = n == 0 ? 0 : out[n - 1];
        if (n % 8 != 0 || pad == 0 || pad > 8 || pad > n) {
            return kBadArgument;
        }
        n -= pad;
    }
    *outputLength = n;
    applyOverride("Decrypt", outputLength);
    return 0;
}
