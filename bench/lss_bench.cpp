/* Benchmark of the protection layer against the same envelope built directly
 * on OpenSSL's EVP interface.
 *
 * The module side runs LSSProtect and LSSUnprotect through the real client
 * and the cryptographic service simulator, so it needs a provisioned
 * platform root: run it under tools/kavo-platform (bench/run does).  The
 * reference builds the blob the add-on stores (mode 2: an AES-128-CBC
 * content key, wrapped under the machine's AES-256 wrapping key, which is
 * the simulator's default kind) with the same header, label, IVs and
 * padding, but with the key material in process memory: it shows what the
 * service boundary, the context handling and the key objects cost. */
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <string.h>

#include <vector>

#include "lss/lss.h"

namespace {

const char kLabel[] = "ARB_Cred_Store";
constexpr int32_t kLabelLength = sizeof kLabel - 1;
const char kSecret[] = "service-password-12";
constexpr uint32_t kSecretLength = sizeof kSecret;  // with its terminating zero, as the add-on
constexpr int32_t kModeSearchedKey = LSS_MODE_SEARCHED_KEY;

/* ---- The module ------------------------------------------------------- */

/* Protects the secret and opens it again; false on any failure. */
bool roundTrip(std::vector<uint8_t> *blob, std::vector<uint8_t> *opened) {
    int32_t length = static_cast<int32_t>(blob->size());
    if (LSSProtect(kLabel, kLabelLength, kModeSearchedKey, kSecret, kSecretLength, blob->data(),
                   &length) != 0) {
        return false;
    }
    uint32_t openedLength = static_cast<uint32_t>(opened->size());
    return LSSUnprotect(kLabel, kLabelLength, blob->data(), static_cast<uint32_t>(length),
                        opened->data(), &openedLength) == 0 &&
           openedLength == kSecretLength;
}

std::vector<uint8_t> blobBuffer() {
    int32_t bound = 0;
    LSSProtect(kLabel, kLabelLength, kModeSearchedKey, kSecret, kSecretLength, nullptr, &bound);
    return std::vector<uint8_t>(static_cast<size_t>(bound));
}

/* Steady state: the session stays open between iterations. */
void lssModule(benchmark::State &state) {
    LSSInit();
    std::vector<uint8_t> blob = blobBuffer();
    std::vector<uint8_t> opened(blob.size());
    for (auto _ : state) {
        if (!roundTrip(&blob, &opened)) {
            state.SkipWithError(
                "LSSProtect/LSSUnprotect failed (is the service simulator built "
                "and the platform provisioned?)");
            break;
        }
    }
    LSSShutdown();
}

/* What one store and one read request of the add-on cost: each closes the
 * session afterwards, so each protect and unprotect opens it again. */
void lssRequestModule(benchmark::State &state) {
    std::vector<uint8_t> blob = blobBuffer();
    std::vector<uint8_t> opened(blob.size());
    for (auto _ : state) {
        int32_t length = static_cast<int32_t>(blob.size());
        uint32_t openedLength = static_cast<uint32_t>(opened.size());
        const bool ok = LSSProtect(kLabel, kLabelLength, kModeSearchedKey, kSecret, kSecretLength,
                                   blob.data(), &length) == 0;
        LSSShutdown();
        const bool opened_ok =
            ok && LSSUnprotect(kLabel, kLabelLength, blob.data(), static_cast<uint32_t>(length),
                               opened.data(), &openedLength) == 0;
        LSSShutdown();
        if (!opened_ok) {
            state.SkipWithError("LSSProtect/LSSUnprotect failed");
            break;
        }
    }
}

/* ---- The reference ---------------------------------------------------- */

constexpr size_t kHeader = 32;
constexpr size_t kIv = 16;

/* The machine's wrapping key, held in memory. */
uint8_t machineKey[32];

bool cipher(const EVP_CIPHER *algorithm, bool encrypt, const uint8_t *key, const uint8_t *iv,
            const uint8_t *in, size_t inLength, uint8_t *out, size_t *outLength) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    int last = 0;
    const bool ok = ctx != nullptr &&
                    EVP_CipherInit_ex(ctx, algorithm, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
                    EVP_CipherUpdate(ctx, out, &n, in, static_cast<int>(inLength)) == 1 &&
                    EVP_CipherFinal_ex(ctx, out + n, &last) == 1;
    EVP_CIPHER_CTX_free(ctx);
    *outLength = static_cast<size_t>(n + last);
    return ok;
}

void putLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t getLe32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

/* Header, label, wrapped key (wrap IV and the encrypted content key), IV and
 * ciphertext, as in the layer's blob.  Returns the blob's length, 0 on
 * failure. */
size_t protectReference(uint8_t *blob) {
    uint8_t contentKey[16];
    uint8_t *wrapped = blob + kHeader + kLabelLength;
    if (RAND_bytes(contentKey, sizeof contentKey) != 1 || RAND_bytes(wrapped, kIv) != 1) {
        return 0;
    }
    size_t wrappedLength = 0;
    if (!cipher(EVP_aes_256_cbc(), true, machineKey, wrapped, contentKey, sizeof contentKey,
                wrapped + kIv, &wrappedLength)) {
        return 0;
    }
    wrappedLength += kIv;
    uint8_t *iv = wrapped + wrappedLength;
    size_t cipherLength = 0;
    if (RAND_bytes(iv, kIv) != 1 ||
        !cipher(EVP_aes_128_cbc(), true, contentKey, iv, reinterpret_cast<const uint8_t *>(kSecret),
                kSecretLength, iv + kIv, &cipherLength)) {
        return 0;
    }
    const uint32_t fields[8] = {LSS_BLOB_MAGIC,
                                LSS_BLOB_VERSION,
                                kLabelLength,
                                static_cast<uint32_t>(wrappedLength),
                                static_cast<uint32_t>(cipherLength),
                                kIv,
                                LSS_KEY_SOURCE_SEARCH,
                                LSS_CIPHER_AES128};
    for (int i = 0; i < 8; ++i) {
        putLe32(blob + 4 * i, fields[i]);
    }
    memcpy(blob + kHeader, kLabel, kLabelLength);
    return kHeader + kLabelLength + wrappedLength + kIv + cipherLength;
}

/* Checks the header and label, unwraps and decrypts; the secret's length,
 * or 0 on failure. */
size_t unprotectReference(const uint8_t *blob, size_t length, uint8_t *out) {
    if (length < kHeader || getLe32(blob) != LSS_BLOB_MAGIC || getLe32(blob + 4) != 1 ||
        getLe32(blob + 8) != kLabelLength || memcmp(blob + kHeader, kLabel, kLabelLength) != 0) {
        return 0;
    }
    const uint32_t wrappedLength = getLe32(blob + 12);
    const uint32_t cipherLength = getLe32(blob + 16);
    if (kHeader + kLabelLength + uint64_t{wrappedLength} + kIv + cipherLength > length ||
        wrappedLength < kIv) {
        return 0;
    }
    const uint8_t *wrapped = blob + kHeader + kLabelLength;
    uint8_t contentKey[32];
    size_t keyLength = 0;
    if (!cipher(EVP_aes_256_cbc(), false, machineKey, wrapped, wrapped + kIv, wrappedLength - kIv,
                contentKey, &keyLength) ||
        keyLength != 16) {
        return 0;
    }
    const uint8_t *iv = wrapped + wrappedLength;
    size_t secretLength = 0;
    if (!cipher(EVP_aes_128_cbc(), false, contentKey, iv, iv + kIv, cipherLength, out,
                &secretLength)) {
        return 0;
    }
    return secretLength;
}

void lssReference(benchmark::State &state) {
    if (RAND_bytes(machineKey, sizeof machineKey) != 1) {
        state.SkipWithError("RAND_bytes failed");
        return;
    }
    std::vector<uint8_t> blob = blobBuffer();
    if (blob.size() < 512) {
        blob.resize(512);  // room for the reference envelope even without the module
    }
    std::vector<uint8_t> opened(blob.size());
    for (auto _ : state) {
        const size_t length = protectReference(blob.data());
        if (length == 0 ||
            unprotectReference(blob.data(), length, opened.data()) != kSecretLength) {
            state.SkipWithError("reference envelope failed");
            break;
        }
    }
}

}  // namespace

BENCHMARK(lssModule)->Name("lss_protect_unprotect/module");
BENCHMARK(lssReference)->Name("lss_protect_unprotect/reference");
BENCHMARK(lssRequestModule)->Name("lss_credential_requests/module");

BENCHMARK_MAIN();
