/* The cryptographic service simulator's internals, shared by its files.
 *
 * session.cpp keeps the tables (sessions, their contexts and key objects)
 * and the locking around every call; keystore.cpp loads or provisions the
 * machine keys in the key-store file, token.cpp in a PKCS#11 token when the
 * configuration names one; cipher.cpp does the cryptography through
 * OpenSSL's EVP interface (and the machine-key steps of wrapping through the
 * token when the keys live there); pex2.cpp holds the "not supported" entry
 * points generated from the operation table.  The simulator implements the
 * session entry points and the operations that the table marks PEX_OP_IMPL
 * or PEX_OP_OPEN; every other operation answers PEX2_ERR_NOT_SUPPORTED for
 * an open session.
 *
 * Algorithms:
 *   OID_AES128_CBC       AES-128-CBC, no padding: whole 16-byte blocks only.
 *   OID_PEX_KEYGEN168    generates a 168-bit three-key triple DES key.
 *   OID_PEX_CBC8_PAD     three-key triple DES CBC with PKCS#5 padding, 8-byte
 *                        IV; also the wrap algorithm of kind-2 wrapping keys.
 *   OID_PEX_WRAP_KIND1   wrap algorithm of kind-1 wrapping keys: three-key
 *                        triple DES CBC with padding, 8-byte IV.
 *   OID_PEX_WRAP_KIND12  wrap algorithm of kind-12 wrapping keys: AES-256-CBC
 *                        with padding, 16-byte IV.
 * The partition key is a kind-12 wrapping key.
 *
 * Wrapped-key bytes (format 1), all integers little-endian:
 *   0  u8   format version, 1
 *   1  u8   wrap algorithm: the wrapping key's kind (1, 2 or 12)
 *   2  u8   IV length (8 or 16)
 *   3  u8   key type of the wrapped key (KeyType::Aes128 or Tdes168)
 *   4  u16  key length in bytes (16 or 24)
 *   6  u16  length of the encrypted part
 *   8  IV, then the encrypted part: the key bytes followed by an 8-byte check
 *      value (the first 8 bytes of SHA-256 over the 8 header bytes, the IV
 *      and the key), encrypted with the wrap algorithm under the wrapping key.
 * The check value lets an unwrap under the wrong key, or of damaged bytes,
 * fail instead of yielding a wrong key. */
#ifndef KAVO_PEX2_INTERNAL_H
#define KAVO_PEX2_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "platform/pex2/pex2.h"

/* Test switches, read from the environment at authentication. */
#define PEX2_ENV_DISABLE_AES "PEX2_DISABLE_AES"             /* "1": AES-128-CBC unknown */
#define PEX2_ENV_WRAPPING_KEY_KIND "PEX2_WRAPPING_KEY_KIND" /* 1, 2 or 12 (default 12) */
#define PEX2_ENV_NO_WRAPPING_KEY "PEX2_NO_WRAPPING_KEY"     /* "1": the search finds nothing */

namespace pex2 {

/* What a key object's material is for. */
enum class KeyType : uint8_t {
    Aes128 = 1,     // content key, 16 bytes
    Tdes168 = 2,    // content key, 24 bytes (three-key triple DES)
    WrapTdes = 3,   // machine wrapping key of kind 1 or 2, 24 bytes
    WrapAes256 = 4  // machine wrapping key of kind 12 (and the partition key), 32 bytes
};

constexpr size_t kMaxKeyBytes = 32;
constexpr uint32_t kWrappedKeyMax = 256;
constexpr uint8_t kWrappedKeyVersion = 1;
constexpr size_t kWrappedHeaderBytes = 8;
constexpr size_t kCheckValueBytes = 8;
/* Longest template or attribute array a call accepts; bounds the work. */
constexpr uint32_t kMaxAttributes = 64;

/* Key material, wiped when it goes. */
struct KeyMaterial {
    KeyType type = KeyType::Aes128;
    uint32_t length = 0;
    uint8_t bytes[kMaxKeyBytes] = {};

    KeyMaterial() = default;
    KeyMaterial(const KeyMaterial &other);
    KeyMaterial &operator=(const KeyMaterial &other);
    ~KeyMaterial();
};

/* Where a key object's material is: in this process, or a machine key kept
 * in the PKCS#11 token, which the process only ever names. */
enum class KeyHome : uint8_t { Process, TokenWrapping, TokenPartition };

struct KeyObject {
    KeyMaterial key;       // empty for a key kept in the token
    bool machine = false;  // a machine key: never destroyed or exported
    KeyHome home = KeyHome::Process;
    std::map<uint32_t, uint32_t> attributes;  // type -> value
};

struct EvpCtxFree {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

/* The cipher operation running in a context. */
struct CipherOp {
    enum class Mode { None, Encrypt, Decrypt };
    Mode mode = Mode::None;
    std::unique_ptr<EVP_CIPHER_CTX, EvpCtxFree> evp;
    uint32_t blockSize = 0;
    bool padding = false;
    bool updated = false;  // an update ran: one-shot calls are refused
    uint32_t pending = 0;  // input bytes EVP holds back, awaiting a whole block
};

struct Context {
    bool searching = false;
    std::vector<PexHandle> found;  // search results
    size_t next = 0;               // the next result FindObjects hands out
    CipherOp op;
};

struct Session {
    pthread_mutex_t *lock = nullptr;
    bool aesDisabled = false;
    bool noWrappingKey = false;
    PexHandle wrappingKey = 0;
    PexHandle partitionKey = 0;
    uint8_t partitionId[32] = {};  // the partition key's identifier, for token keys
    std::map<PexHandle, KeyObject> keys;
    std::map<PexHandle, Context> contexts;
};

/* A fresh handle; handles are never reused within the process. */
PexHandle newHandle();

/* Runs body(session, arg) for an open session with the session's lock and the
 * table lock held, releasing both before returning.  An identifier with no
 * open session gives PEX2_ERR_NO_SESSION with a lock held (see pex2.h). */
int32_t runInSession(uint64_t module, int32_t (*body)(Session &, void *), void *arg);

template <class F>
int32_t inSession(uint64_t module, F &&body) {
    return runInSession(
        module, [](Session &session, void *arg) { return (*static_cast<F *>(arg))(session); },
        &body);
}

Context *findContext(Session &session, PexHandle handle);
KeyObject *findKey(Session &session, PexHandle handle);

/* Machine keys: one wrapping key of kind 1, 2 or 12 and the partition key.
 * From the key-store file they come as material; from a token as names only
 * (inToken), with the partition key's identifier computed in the token. */
struct MachineKeys {
    uint32_t wrappingKind = 0;
    KeyMaterial wrapping;
    KeyMaterial partition;
    bool inToken = false;
    uint8_t partitionId[32] = {};
};

/* Reads the machine keys from the system key store, provisioning fresh keys
 * (the wrapping key of newKind) when the store is missing, also when it
 * vanishes while it is being opened.  A store that exists but is not a
 * regular file, is empty, or cannot be read or verified is left untouched:
 * PEX2_ERR_KEYSTORE_UNREADABLE; a directory others could write:
 * PEX2_ERR_KEYSTORE_UNSAFE.  The keys of a read are kept for later calls in
 * memory left out of core dumps (keystore.cpp).  When the configuration
 * names a PKCS#11 token, the keys are the token's instead (token.cpp), and
 * the key-store file is never read nor made. */
int32_t loadMachineKeys(uint32_t newKind, MachineKeys *keys);

/* What identifies one version of a file: a file replaced, rewritten or
 * touched gets another. */
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};
};
Identity identityOf(const struct stat &info);
bool sameIdentity(const Identity &a, const Identity &b);

/* Writes a new file `name` in `directory` durably without replacing
 * anything: written aside, synced, linked into place, directory synced.
 * 1 when it was published, 0 when the name was taken, -1 on failure. */
int publishNewFile(const char *directory, const char *name, const uint8_t *data, size_t length);

/* Whether `directory` is private enough to hold machine keys or their
 * marker: PEX2_OK, PEX2_ERR_KEYSTORE_UNREADABLE or PEX2_ERR_KEYSTORE_UNSAFE. */
int32_t checkKeyDirectory(const char *directory);

namespace token {

/* Reads the token entries of the configuration (Pkcs11Module,
 * Pkcs11TokenLabel, Pkcs11PinFile) once per process.  PEX2_OK with
 * *configured false when none is there; PEX2_ERR_TOKEN_UNAVAILABLE when only
 * some are, or one is unusable. */
int32_t configure(bool *configured);

/* Makes the token ready for this process (module loaded, session open,
 * logged in, the machine keys found or, on first use, made inside it under
 * the marker in `directory`) and names the keys in *keys.  Kept for the life
 * of the process; made again after fork() or a lost session. */
int32_t open(uint32_t newKind, const char *directory, MachineKeys *keys);

/* AES-256-CBC without padding under a machine key in the token: length is a
 * multiple of 16 and out has room for length bytes. */
int32_t cbc(KeyHome key, bool encrypt, const uint8_t iv[16], const uint8_t *in, uint32_t length,
            uint8_t *out);

}  // namespace token

/* Fresh random bytes; false when the generator fails. */
bool randomBytes(void *buffer, size_t length);

/* Writes the four little-endian bytes of value. */
inline void putLe32(uint8_t *p, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
inline uint32_t getLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace pex2

#endif
