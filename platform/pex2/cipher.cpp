// Cryptographic service simulator: algorithms, keys, wrapping and ciphers.
//
// All cryptography goes through OpenSSL's EVP interface; the algorithms behind
// each identifier and the wrapped-key format are described in pex2_internal.h.
// Output lengths follow one convention: the caller's out-length holds the room
// going in and the bytes written coming back; with too little room the call
// fails with PEX2_ERR_BUFFER_TOO_SMALL, writes nothing to the output, and
// leaves the room needed in the out-length.
#include <limits.h>
#include <string.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/pex2/pex2_internal.h"

namespace pex2 {
namespace {

enum class Alg { Unknown, Aes128Cbc, Keygen168, Cbc8Pad, WrapKind1, WrapKind12 };

struct KnownOid {
    const uint8_t *der;
    size_t size;
    Alg alg;
};

const KnownOid kOids[] = {
    {OID_AES128_CBC, sizeof OID_AES128_CBC, Alg::Aes128Cbc},
    {OID_PEX_KEYGEN168, sizeof OID_PEX_KEYGEN168, Alg::Keygen168},
    {OID_PEX_CBC8_PAD, sizeof OID_PEX_CBC8_PAD, Alg::Cbc8Pad},
    {OID_PEX_WRAP_KIND1, sizeof OID_PEX_WRAP_KIND1, Alg::WrapKind1},
    {OID_PEX_WRAP_KIND12, sizeof OID_PEX_WRAP_KIND12, Alg::WrapKind12},
};

/* Identifies a DER object identifier.  The tag and length bytes are compared
 * before the content, so no more bytes are read than the identifier claims. */
Alg parseOid(const uint8_t *oid, bool aesDisabled) {
    if (oid == nullptr) {
        return Alg::Unknown;
    }
    for (const KnownOid &known : kOids) {
        if (oid[0] == known.der[0] && oid[1] == known.der[1] &&
            memcmp(oid + 2, known.der + 2, known.size - 2) == 0) {
            // The test switch makes the AES identifier unknown everywhere.
            return known.alg == Alg::Aes128Cbc && aesDisabled ? Alg::Unknown : known.alg;
        }
    }
    return Alg::Unknown;
}

/* The IV of an algorithm record, which must carry exactly one of ivLength bytes. */
const uint8_t *readIv(const PexAlgorithm *algorithm, uint32_t ivLength) {
    if (algorithm->paramsLength != sizeof(PexParameters) || algorithm->params == nullptr) {
        return nullptr;
    }
    const PexParameters *params = algorithm->params;
    if (params->count != PEX_PARAM_COUNT_ONE || params->type != PEX_PARAM_IV ||
        params->ivLength != ivLength) {
        return nullptr;
    }
    return params->iv;
}

/* The wrap algorithm of a wrapping-key kind. */
struct WrapScheme {
    Alg alg;
    uint32_t ivLength;
    const EVP_CIPHER *(*cipher)();
    KeyType keyType;
};

bool schemeOfKind(uint32_t kind, WrapScheme *scheme) {
    switch (kind) {
        case PEX_KEY_KIND_1:
            *scheme = {Alg::WrapKind1, 8, EVP_des_ede3_cbc, KeyType::WrapTdes};
            return true;
        case PEX_KEY_KIND_2:
            *scheme = {Alg::Cbc8Pad, 8, EVP_des_ede3_cbc, KeyType::WrapTdes};
            return true;
        case PEX_KEY_KIND_12:
            *scheme = {Alg::WrapKind12, 16, EVP_aes_256_cbc, KeyType::WrapAes256};
            return true;
        default:
            return false;
    }
}

/* The kind of a machine wrapping key, or 0 for any other key. */
uint32_t kindOf(const KeyObject &key) {
    if (!key.machine) {
        return 0;
    }
    auto it = key.attributes.find(PEX_ATTR_KEY_KIND);
    return it == key.attributes.end() ? 0 : it->second;
}

/* One whole padded CBC pass (encrypt or decrypt) into out, which has room for
 * inLength plus one block.  Returns the bytes written, or -1. */
int runCbc(const EVP_CIPHER *cipher, const KeyMaterial &key, const uint8_t *iv, bool encrypt,
           const uint8_t *in, int inLength, uint8_t *out) {
    std::unique_ptr<EVP_CIPHER_CTX, EvpCtxFree> ctx(EVP_CIPHER_CTX_new());
    int n1 = 0;
    int n2 = 0;
    if (!ctx || EVP_CIPHER_key_length(cipher) != static_cast<int>(key.length) ||
        EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.bytes, iv, encrypt ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out, &n1, in, inLength) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out + n1, &n2) != 1) {
        return -1;
    }
    return n1 + n2;
}

/* The check value sealed with a wrapped key: the start of SHA-256 over the
 * wrapped bytes' header, the IV and the key. */
bool checkValue(const uint8_t *header, const uint8_t *iv, uint32_t ivLength, const KeyMaterial &key,
                uint8_t check[kCheckValueBytes]) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool ok = md && EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(md.get(), header, kWrappedHeaderBytes) == 1 &&
                    EVP_DigestUpdate(md.get(), iv, ivLength) == 1 &&
                    EVP_DigestUpdate(md.get(), key.bytes, key.length) == 1 &&
                    EVP_DigestFinal_ex(md.get(), digest, &size) == 1;
    if (ok) {
        memcpy(check, digest, kCheckValueBytes);
    }
    OPENSSL_cleanse(digest, sizeof digest);
    return ok;
}

uint32_t paddedLength(uint32_t length, uint32_t blockSize) {
    return (length / blockSize + 1) * blockSize;
}

/* Encrypts (or decrypts) the sealed part of wrapped-key bytes under a
 * machine wrapping key, with the padding of the scheme's cipher: in this
 * process for a key of the key-store file; for a key in the token, the
 * block cipher runs there and the padding is added or checked here, so that
 * both give the same bytes.  *written is the output's length. */
int32_t runWrap(const WrapScheme &scheme, const KeyObject &wrapping, const uint8_t *iv,
                bool encrypt, const uint8_t *in, uint32_t inLength, uint8_t *out,
                uint32_t *written) {
    if (wrapping.home == KeyHome::Process) {
        const int n =
            runCbc(scheme.cipher(), wrapping.key, iv, encrypt, in, static_cast<int>(inLength), out);
        *written = n < 0 ? 0 : static_cast<uint32_t>(n);
        return n < 0 ? PEX2_ERR_CRYPTO : PEX2_OK;
    }
    const uint32_t block = scheme.ivLength;  // 16: the token keeps kind 12 only
    if (encrypt) {
        const uint32_t total = paddedLength(inLength, block);
        const auto pad = static_cast<uint8_t>(total - inLength);
        memcpy(out, in, inLength);
        memset(out + inLength, pad, pad);
        *written = total;
        return token::cbc(wrapping.home, true, iv, out, total, out);
    }
    if (inLength == 0 || inLength % block != 0) {
        return PEX2_ERR_BAD_WRAPPED_KEY;
    }
    const int32_t status = token::cbc(wrapping.home, false, iv, in, inLength, out);
    if (status != PEX2_OK) {
        return status;
    }
    const uint8_t pad = out[inLength - 1];
    uint8_t bad = pad == 0 || pad > block ? 1 : 0;
    for (uint32_t i = 0; bad == 0 && i < pad; ++i) {
        bad |= out[inLength - 1 - i] != pad ? 1 : 0;
    }
    *written = bad != 0 ? 0 : inLength - pad;
    return bad != 0 ? PEX2_ERR_BAD_WRAPPED_KEY : PEX2_OK;
}

/* Wipes a stack buffer when it goes. */
template <size_t N>
struct Scratch {
    uint8_t bytes[N] = {};
    ~Scratch() { OPENSSL_cleanse(bytes, N); }
};

/* Three-key triple DES: odd parity, and three distinct single keys. */
bool newTdesKey(KeyMaterial *key) {
    key->type = KeyType::Tdes168;
    key->length = 24;
    do {
        if (!randomBytes(key->bytes, 24)) {
            return false;
        }
        for (size_t i = 0; i < 24; ++i) {
            uint8_t b = key->bytes[i] & 0xFE;
            key->bytes[i] = b | ((__builtin_popcount(b) & 1) == 0 ? 1 : 0);
        }
    } while (memcmp(key->bytes, key->bytes + 8, 8) == 0 ||
             memcmp(key->bytes + 8, key->bytes + 16, 8) == 0 ||
             memcmp(key->bytes, key->bytes + 16, 8) == 0);
    return true;
}

/* What a data algorithm runs on: the cipher, the key type it takes, its
 * block size and whether it pads. */
struct DataCipher {
    const EVP_CIPHER *cipher;
    KeyType keyType;
    uint32_t blockSize;
    bool padding;
};

int32_t dataInit(uint64_t module, PexHandle context, const PexAlgorithm *algorithm,
                 PexHandle keyHandle, CipherOp::Mode mode) {
    return inSession(module, [&](Session &session) {
        Context *ctx = findContext(session, context);
        if (ctx == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        const KeyObject *key = findKey(session, keyHandle);
        if (key == nullptr) {
            return PEX2_ERR_BAD_KEY;
        }
        if (algorithm == nullptr) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        DataCipher chosen{};
        switch (parseOid(algorithm->oid, session.aesDisabled)) {
            case Alg::Aes128Cbc:
                chosen = {EVP_aes_128_cbc(), KeyType::Aes128, 16, false};
                break;
            case Alg::Cbc8Pad:
                chosen = {EVP_des_ede3_cbc(), KeyType::Tdes168, 8, true};
                break;
            default:
                return PEX2_ERR_BAD_ALGORITHM;
        }
        const auto [cipher, keyType, blockSize, padding] = chosen;
        if (key->key.type != keyType) {
            return PEX2_ERR_BAD_KEY;
        }
        const uint8_t *iv = readIv(algorithm, blockSize);
        if (iv == nullptr) {
            return PEX2_ERR_BAD_ALGORITHM;
        }
        CipherOp op;
        op.evp.reset(EVP_CIPHER_CTX_new());
        const int encrypt = mode == CipherOp::Mode::Encrypt ? 1 : 0;
        if (!op.evp ||
            EVP_CipherInit_ex(op.evp.get(), cipher, nullptr, key->key.bytes, iv, encrypt) != 1 ||
            EVP_CIPHER_CTX_set_padding(op.evp.get(), padding ? 1 : 0) != 1) {
            return PEX2_ERR_CRYPTO;
        }
        op.mode = mode;
        op.blockSize = blockSize;
        op.padding = padding;
        ctx->op = std::move(op);  // replaces any operation the context had running
        return PEX2_OK;
    });
}

/* The checks common to the encrypting and decrypting calls: the context, the
 * running operation and the pointers.  Returns the operation or sets status. */
CipherOp *opFor(Session &session, PexHandle context, CipherOp::Mode mode, const void *input,
                uint32_t inputLength, uint32_t *outputLength, int32_t *status) {
    Context *ctx = findContext(session, context);
    if (ctx == nullptr) {
        *status = PEX2_ERR_BAD_CONTEXT;
        return nullptr;
    }
    if (outputLength == nullptr || (input == nullptr && inputLength > 0)) {
        *status = PEX2_ERR_BAD_ARGUMENT;
        return nullptr;
    }
    if (ctx->op.mode != mode) {
        *status = PEX2_ERR_NOT_INITIALIZED;
        return nullptr;
    }
    // EVP counts in int; the largest output is one block above the input.
    if (inputLength > static_cast<uint32_t>(INT_MAX) - 2 * ctx->op.blockSize) {
        *status = PEX2_ERR_BAD_LENGTH;
        return nullptr;
    }
    return &ctx->op;
}

/* Runs body on the context's running operation in the given mode once the
 * checks of opFor passed; otherwise returns their status. */
template <typename F>
int32_t withOp(uint64_t module, PexHandle context, CipherOp::Mode mode, const void *input,
               uint32_t inputLength, uint32_t *outputLength, F &&body) {
    return inSession(module, [&](Session &session) {
        int32_t status = PEX2_OK;
        CipherOp *op = opFor(session, context, mode, input, inputLength, outputLength, &status);
        return op == nullptr ? status : body(op);
    });
}

/* Checks the room for need bytes; with too little, reports the need. */
int32_t checkRoom(const void *output, uint32_t *outputLength, uint32_t need) {
    if (*outputLength < need) {
        *outputLength = need;
        return PEX2_ERR_BUFFER_TOO_SMALL;
    }
    return output == nullptr && need > 0 ? PEX2_ERR_BAD_ARGUMENT : PEX2_OK;
}

const uint8_t kNoInput[1] = {0};

}  // namespace

bool randomBytes(void *buffer, size_t length) {
    auto *p = static_cast<unsigned char *>(buffer);
    while (length > 0) {
        const size_t chunk = length < (1u << 20) ? length : (1u << 20);
        if (RAND_bytes(p, static_cast<int>(chunk)) != 1) {
            return false;
        }
        p += chunk;
        length -= chunk;
    }
    return true;
}

}  // namespace pex2

using namespace pex2;

int32_t PEXX_GetAlgorithmInfo(uint64_t module, const uint8_t *oid, void * /*info*/) {
    // The information record's size is not fixed between caller and service,
    // so nothing is written to it; the status alone says "available".
    return inSession(module, [&](Session &session) {
        return parseOid(oid, session.aesDisabled) == Alg::Unknown ? PEX2_ERR_BAD_ALGORITHM
                                                                  : PEX2_OK;
    });
}

int32_t PEXX_GetRandom(uint64_t module, PexHandle context, void *buffer, uint32_t length) {
    return inSession(module, [&](Session &session) {
        if (findContext(session, context) == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        if (buffer == nullptr && length > 0) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        return randomBytes(buffer, length) ? PEX2_OK : PEX2_ERR_CRYPTO;
    });
}

int32_t PEXX_GetPartitionKey(uint64_t module, PexHandle context, uint32_t /*zero*/, void *buffer,
                             uint32_t *bufferLength, PexHandle *key) {
    return inSession(module, [&](Session &session) {
        if (findContext(session, context) == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        if (key == nullptr) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        // The buffer receives the key's identifier (SHA-256 of the key), never
        // the key itself; it is optional.
        if (bufferLength != nullptr) {
            const KeyObject *partition = findKey(session, session.partitionKey);
            uint8_t id[32];
            unsigned int size = 0;
            const int32_t room = checkRoom(buffer, bufferLength, sizeof id);
            if (room != PEX2_OK) {
                return room;
            }
            if (partition != nullptr && partition->home != KeyHome::Process) {
                // A key in the token is named by what the token computed.
                memcpy(id, session.partitionId, sizeof id);
            } else if (partition == nullptr ||
                       EVP_Digest(partition->key.bytes, partition->key.length, id, &size,
                                  EVP_sha256(), nullptr) != 1) {
                return PEX2_ERR_CRYPTO;
            }
            memcpy(buffer, id, sizeof id);
            *bufferLength = sizeof id;
        }
        *key = session.partitionKey;
        return PEX2_OK;
    });
}

int32_t PEXX_GenerateKey(uint64_t module, PexHandle context, const PexAlgorithm *algorithm,
                         const PexAttribute *templ, uint32_t count, uint32_t * /*scratch*/,
                         PexHandle *key, uint32_t /*reserved*/) {
    return inSession(module, [&](Session &session) {
        if (findContext(session, context) == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        if (algorithm == nullptr || key == nullptr || count > kMaxAttributes ||
            (templ == nullptr && count > 0)) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        uint32_t bits;
        switch (parseOid(algorithm->oid, session.aesDisabled)) {
            case Alg::Aes128Cbc:
                bits = 128;
                break;
            case Alg::Keygen168:
                bits = 168;
                break;
            default:
                return PEX2_ERR_BAD_ALGORITHM;
        }
        // The template must ask for the algorithm's length; the class and kind
        // are the service's to give, so a template cannot forge a machine key.
        KeyObject object;
        bool lengthGiven = false;
        for (uint32_t i = 0; i < count; ++i) {
            const PexAttribute &a = templ[i];
            if (a.present == 0) {
                continue;
            }
            if (a.type == PEX_ATTR_KEY_BITS) {
                if (a.value != bits) {
                    return PEX2_ERR_BAD_ARGUMENT;
                }
                lengthGiven = true;
            } else if (a.type == PEX_ATTR_CLASS || a.type == PEX_ATTR_KEY_KIND) {
                return PEX2_ERR_BAD_ARGUMENT;
            }
            object.attributes[a.type] = a.value;
        }
        if (!lengthGiven) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        object.attributes[PEX_ATTR_CLASS] = PEX2_CLASS_SECRET_KEY;
        if (bits == 128) {
            object.key.type = KeyType::Aes128;
            object.key.length = 16;
            if (!randomBytes(object.key.bytes, 16)) {
                return PEX2_ERR_CRYPTO;
            }
        } else if (!newTdesKey(&object.key)) {
            return PEX2_ERR_CRYPTO;
        }
        const PexHandle handle = newHandle();
        session.keys.emplace(handle, std::move(object));
        *key = handle;
        return PEX2_OK;
    });
}

int32_t PEXX_WrapKey(uint64_t module, PexHandle context, const PexAlgorithm *algorithm,
                     uint32_t /*zero*/, void * /*reserved*/, PexHandle wrappingKey, PexHandle key,
                     void *output, uint32_t *outputLength) {
    return inSession(module, [&](Session &session) {
        if (findContext(session, context) == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        const KeyObject *wrapping = findKey(session, wrappingKey);
        const KeyObject *wrapped = findKey(session, key);
        WrapScheme scheme;
        if (wrapping == nullptr || wrapped == nullptr ||
            !schemeOfKind(kindOf(*wrapping), &scheme)) {
            return PEX2_ERR_BAD_KEY;
        }
        if (wrapped->machine) {
            return PEX2_ERR_MACHINE_KEY;  // machine keys never leave the service
        }
        if (algorithm == nullptr || outputLength == nullptr) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        // The algorithm must be the one of the wrapping key's kind.
        if (parseOid(algorithm->oid, session.aesDisabled) != scheme.alg) {
            return PEX2_ERR_BAD_ALGORITHM;
        }
        const uint8_t *iv = readIv(algorithm, scheme.ivLength);
        if (iv == nullptr) {
            return PEX2_ERR_BAD_ALGORITHM;
        }
        const uint32_t blockSize = scheme.ivLength;
        const uint32_t plainLength = wrapped->key.length + kCheckValueBytes;
        const uint32_t sealedLength = paddedLength(plainLength, blockSize);
        const uint32_t total = kWrappedHeaderBytes + scheme.ivLength + sealedLength;
        const int32_t room = checkRoom(output, outputLength, total);
        if (room != PEX2_OK) {
            return room;
        }
        Scratch<kWrappedKeyMax> out;
        uint8_t *header = out.bytes;
        header[0] = kWrappedKeyVersion;
        header[1] = static_cast<uint8_t>(kindOf(*wrapping));
        header[2] = static_cast<uint8_t>(scheme.ivLength);
        header[3] = static_cast<uint8_t>(wrapped->key.type);
        header[4] = static_cast<uint8_t>(wrapped->key.length);
        header[5] = 0;
        header[6] = static_cast<uint8_t>(sealedLength);
        header[7] = static_cast<uint8_t>(sealedLength >> 8);
        memcpy(out.bytes + kWrappedHeaderBytes, iv, scheme.ivLength);
        Scratch<kMaxKeyBytes + kCheckValueBytes> plain;
        memcpy(plain.bytes, wrapped->key.bytes, wrapped->key.length);
        if (!checkValue(header, iv, scheme.ivLength, wrapped->key,
                        plain.bytes + wrapped->key.length)) {
            return PEX2_ERR_CRYPTO;
        }
        uint32_t n = 0;
        const int32_t sealed = runWrap(scheme, *wrapping, iv, true, plain.bytes, plainLength,
                                       out.bytes + kWrappedHeaderBytes + scheme.ivLength, &n);
        if (sealed != PEX2_OK || n != sealedLength) {
            return sealed != PEX2_OK ? sealed : PEX2_ERR_CRYPTO;
        }
        memcpy(output, out.bytes, total);
        *outputLength = total;
        return PEX2_OK;
    });
}

int32_t PEXX_UnwrapKey(uint64_t module, PexHandle context, PexHandle wrappingKey,
                       const void *wrappedBytes, uint32_t wrappedLength, PexHandle *key) {
    return inSession(module, [&](Session &session) {
        if (findContext(session, context) == nullptr) {
            return PEX2_ERR_BAD_CONTEXT;
        }
        const KeyObject *wrapping = findKey(session, wrappingKey);
        WrapScheme scheme;
        if (wrapping == nullptr || !schemeOfKind(kindOf(*wrapping), &scheme)) {
            return PEX2_ERR_BAD_KEY;
        }
        if (wrappedBytes == nullptr || key == nullptr) {
            return PEX2_ERR_BAD_ARGUMENT;
        }
        // Every length is checked against the bytes given before it is used.
        const auto *bytes = static_cast<const uint8_t *>(wrappedBytes);
        if (wrappedLength < kWrappedHeaderBytes || wrappedLength > kWrappedKeyMax ||
            bytes[0] != kWrappedKeyVersion || bytes[1] != kindOf(*wrapping) ||
            bytes[2] != scheme.ivLength) {
            return PEX2_ERR_BAD_WRAPPED_KEY;
        }
        KeyMaterial material;
        const uint32_t keyLength = bytes[4] | static_cast<uint32_t>(bytes[5]) << 8;
        if (bytes[3] == static_cast<uint8_t>(KeyType::Aes128) && keyLength == 16) {
            material.type = KeyType::Aes128;
        } else if (bytes[3] == static_cast<uint8_t>(KeyType::Tdes168) && keyLength == 24) {
            material.type = KeyType::Tdes168;
        } else {
            return PEX2_ERR_BAD_WRAPPED_KEY;
        }
        material.length = keyLength;
        const uint32_t sealedLength = bytes[6] | static_cast<uint32_t>(bytes[7]) << 8;
        const uint32_t plainLength = keyLength + kCheckValueBytes;
        if (sealedLength != paddedLength(plainLength, scheme.ivLength) ||
            wrappedLength != kWrappedHeaderBytes + scheme.ivLength + sealedLength) {
            return PEX2_ERR_BAD_WRAPPED_KEY;
        }
        const uint8_t *iv = bytes + kWrappedHeaderBytes;
        Scratch<kWrappedKeyMax> plain;
        uint32_t n = 0;
        const int32_t opened = runWrap(scheme, *wrapping, iv, false, iv + scheme.ivLength,
                                       sealedLength, plain.bytes, &n);
        if (opened != PEX2_OK && opened != PEX2_ERR_CRYPTO) {
            return opened;  // the token's own failure
        }
        if (opened != PEX2_OK || n != plainLength) {
            return PEX2_ERR_BAD_WRAPPED_KEY;  // wrong key or damaged bytes
        }
        memcpy(material.bytes, plain.bytes, keyLength);
        uint8_t check[kCheckValueBytes];
        if (!checkValue(bytes, iv, scheme.ivLength, material, check)) {
            return PEX2_ERR_CRYPTO;
        }
        if (CRYPTO_memcmp(check, plain.bytes + keyLength, kCheckValueBytes) != 0) {
            return PEX2_ERR_BAD_WRAPPED_KEY;
        }
        KeyObject object;
        object.key = material;
        object.attributes[PEX_ATTR_CLASS] = PEX2_CLASS_SECRET_KEY;
        object.attributes[PEX_ATTR_KEY_BITS] = material.type == KeyType::Aes128 ? 128 : 168;
        const PexHandle handle = newHandle();
        session.keys.emplace(handle, std::move(object));
        *key = handle;
        return PEX2_OK;
    });
}

int32_t PEXX_DataEncryptInit(uint64_t module, PexHandle context, const PexAlgorithm *algorithm,
                             PexHandle key) {
    return dataInit(module, context, algorithm, key, CipherOp::Mode::Encrypt);
}

int32_t PEXX_DataDecryptInit(uint64_t module, PexHandle context, const PexAlgorithm *algorithm,
                             PexHandle key) {
    return dataInit(module, context, algorithm, key, CipherOp::Mode::Decrypt);
}

int32_t PEXX_Encrypt(uint64_t module, PexHandle context, const void *input, uint32_t inputLength,
                     void *output, uint32_t *outputLength) {
    const auto run = [&](CipherOp *op) -> int32_t {
        if (op->updated) {
            return PEX2_ERR_NOT_INITIALIZED;  // a one-shot call cannot follow updates
        }
        if (!op->padding && inputLength % op->blockSize != 0) {
            return PEX2_ERR_BAD_LENGTH;
        }
        const uint32_t need = op->padding ? paddedLength(inputLength, op->blockSize) : inputLength;
        const int32_t status = checkRoom(output, outputLength, need);
        if (status != PEX2_OK) {
            return status;
        }
        auto *out = static_cast<uint8_t *>(output);
        const auto *in = inputLength > 0 ? static_cast<const uint8_t *>(input) : kNoInput;
        int n1 = 0;
        int n2 = 0;
        const bool ok =
            EVP_EncryptUpdate(op->evp.get(), out, &n1, in, static_cast<int>(inputLength)) == 1 &&
            EVP_EncryptFinal_ex(op->evp.get(), out + n1, &n2) == 1;
        *op = CipherOp();  // the operation is over either way
        if (!ok) {
            return PEX2_ERR_CRYPTO;
        }
        *outputLength = static_cast<uint32_t>(n1 + n2);
        return PEX2_OK;
    };
    return withOp(module, context, CipherOp::Mode::Encrypt, input, inputLength, outputLength, run);
}

int32_t PEXX_EncryptUpdate(uint64_t module, PexHandle context, const void *input,
                           uint32_t inputLength, void *output, uint32_t *outputLength) {
    const auto run = [&](CipherOp *op) -> int32_t {
        if (!op->padding && inputLength % op->blockSize != 0) {
            return PEX2_ERR_BAD_LENGTH;
        }
        // Encryption hands out every whole block at once; the rest waits.
        const uint32_t need = (op->pending + inputLength) / op->blockSize * op->blockSize;
        const int32_t status = checkRoom(output, outputLength, need);
        if (status != PEX2_OK) {
            return status;
        }
        const auto *in = inputLength > 0 ? static_cast<const uint8_t *>(input) : kNoInput;
        int n = 0;
        if (EVP_EncryptUpdate(op->evp.get(), static_cast<uint8_t *>(output), &n, in,
                              static_cast<int>(inputLength)) != 1 ||
            n != static_cast<int>(need)) {
            *op = CipherOp();
            return PEX2_ERR_CRYPTO;
        }
        op->pending = (op->pending + inputLength) % op->blockSize;
        op->updated = true;
        *outputLength = need;
        return PEX2_OK;
    };
    return withOp(module, context, CipherOp::Mode::Encrypt, input, inputLength, outputLength, run);
}

int32_t PEXX_EncryptFinal(uint64_t module, PexHandle context, void *output,
                          uint32_t *outputLength) {
    const auto run = [&](CipherOp *op) -> int32_t {
        // With padding the last block is always written; without, nothing is held back.
        const uint32_t need = op->padding ? op->blockSize : 0;
        const int32_t status = checkRoom(output, outputLength, need);
        if (status != PEX2_OK) {
            return status;
        }
        Scratch<EVP_MAX_BLOCK_LENGTH> last;
        int n = 0;
        const bool ok =
            EVP_EncryptFinal_ex(op->evp.get(), last.bytes, &n) == 1 && n == static_cast<int>(need);
        *op = CipherOp();
        if (!ok) {
            return PEX2_ERR_CRYPTO;
        }
        if (need > 0) {
            memcpy(output, last.bytes, need);
        }
        *outputLength = need;
        return PEX2_OK;
    };
    return withOp(module, context, CipherOp::Mode::Encrypt, nullptr, 0, outputLength, run);
}

int32_t PEXX_Decrypt(uint64_t module, PexHandle context, const void *input, uint32_t inputLength,
                     void *output, uint32_t *outputLength) {
    const auto run = [&](CipherOp *op) -> int32_t {
        int32_t status = PEX2_OK;
        if (inputLength % op->blockSize != 0 || (op->padding && inputLength == 0)) {
            return PEX2_ERR_BAD_LENGTH;
        }
        if (!op->padding) {
            status = checkRoom(output, outputLength, inputLength);
            if (status != PEX2_OK) {
                return status;
            }
        }
        // The padded plaintext's length is known only once it is decrypted, so
        // the work runs on a copy of the operation into a buffer of our own:
        // with too little room the caller can retry on the untouched context.
        std::unique_ptr<EVP_CIPHER_CTX, EvpCtxFree> work(EVP_CIPHER_CTX_new());
        std::vector<uint8_t> plain(inputLength + op->blockSize);
        const auto *in = inputLength > 0 ? static_cast<const uint8_t *>(input) : kNoInput;
        int n1 = 0;
        int n2 = 0;
        const bool ok = work && EVP_CIPHER_CTX_copy(work.get(), op->evp.get()) == 1 &&
                        EVP_DecryptUpdate(work.get(), plain.data(), &n1, in,
                                          static_cast<int>(inputLength)) == 1 &&
                        EVP_DecryptFinal_ex(work.get(), plain.data() + n1, &n2) == 1;
        const uint32_t n = ok ? static_cast<uint32_t>(n1 + n2) : 0;
        if (ok) {
            status = checkRoom(output, outputLength, n);
        }
        if (ok && status == PEX2_OK) {
            if (n > 0) {
                memcpy(output, plain.data(), n);
            }
            *outputLength = n;
        }
        OPENSSL_cleanse(plain.data(), plain.size());
        if (!ok) {
            *op = CipherOp();
            return PEX2_ERR_CRYPTO;  // a padding that does not verify lands here too
        }
        if (status == PEX2_OK) {
            *op = CipherOp();
        }
        return status;
    };
    return withOp(module, context, CipherOp::Mode::Decrypt, input, inputLength, outputLength, run);
}
