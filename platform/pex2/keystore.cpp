// Cryptographic service simulator: the machine keys in the system key store.
//
// The keys live in the system key-store file of class 7 ("xmgrcfg.ks0"),
// reached only through the module's key-store functions.  File format 1, all
// integers little-endian, 116 bytes:
//    0   4  magic "PXKS"
//    4   4  format version, 1
//    8   4  wrapping key kind: 1, 2 or 12
//   12   4  wrapping key length: 24 (kinds 1, 2) or 32 (kind 12)
//   16  32  wrapping key bytes, zero beyond the length
//   48   4  partition key length: 32
//   52  32  partition key bytes
//   84  32  SHA-256 of bytes 0 to 83
// A store that is empty is provisioned with fresh keys.  Any other content that
// does not verify is left exactly as it is, and no session opens, so the
// blobs made under the old keys stay recoverable once the file is repaired.
#include <string.h>

#include <mutex>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "osa/osa.h"
#include "platform/pex2/pex2_internal.h"

namespace pex2 {
namespace {

constexpr uint32_t kStoreClass = 7;  // "xmgrcfg.ks0" in the system directory
constexpr uint8_t kMagic[4] = {'P', 'X', 'K', 'S'};
constexpr uint32_t kStoreVersion = 1;
constexpr size_t kStoreBytes = 116;
constexpr size_t kDigestOffset = 84;
// Reads ask for more than a store holds, so that a longer file is noticed.
constexpr uint32_t kReadBytes = 512;

// The key-store functions keep process-wide path state without any lock of
// their own; every use of them here goes through this mutex.
std::mutex storeMutex;

/* Fills a buffer of the store's bytes and wipes it when it goes. */
struct StoreBuffer {
    uint8_t bytes[kReadBytes] = {};
    ~StoreBuffer() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

bool Sha256(const uint8_t *data, size_t length, uint8_t digest[32]) {
    unsigned int size = 0;
    return EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == 32;
}

uint32_t WrappingKeyLength(uint32_t kind) {
    switch (kind) {
        case PEX_KEY_KIND_1:
        case PEX_KEY_KIND_2:
            return 24;
        case PEX_KEY_KIND_12:
            return 32;
        default:
            return 0;
    }
}

int32_t Parse(const uint8_t *data, int32_t count, MachineKeys *keys) {
    uint8_t digest[32];
    if (count != static_cast<int32_t>(kStoreBytes) || memcmp(data, kMagic, 4) != 0 ||
        GetLe32(data + 4) != kStoreVersion || !Sha256(data, kDigestOffset, digest) ||
        CRYPTO_memcmp(digest, data + kDigestOffset, sizeof digest) != 0) {
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    const uint32_t kind = GetLe32(data + 8);
    const uint32_t wrappingLength = GetLe32(data + 12);
    const uint32_t partitionLength = GetLe32(data + 48);
    if (WrappingKeyLength(kind) == 0 || wrappingLength != WrappingKeyLength(kind) ||
        partitionLength != 32) {
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    keys->wrappingKind = kind;
    keys->wrapping.type = kind == PEX_KEY_KIND_12 ? KeyType::WrapAes256 : KeyType::WrapTdes;
    keys->wrapping.length = wrappingLength;
    memcpy(keys->wrapping.bytes, data + 16, wrappingLength);
    keys->partition.type = KeyType::WrapAes256;
    keys->partition.length = partitionLength;
    memcpy(keys->partition.bytes, data + 52, partitionLength);
    return PEX2_OK;
}

/* Gives each byte of a DES key odd parity, as DES keys are defined to have. */
void SetOddParity(uint8_t *key, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = key[i] & 0xFE;
        b |= (__builtin_popcount(b) & 1) == 0 ? 1 : 0;
        key[i] = b;
    }
}

/* Fresh machine keys and their serialised store. */
bool Provision(uint32_t kind, MachineKeys *keys, uint8_t *store) {
    const uint32_t wrappingLength = WrappingKeyLength(kind);
    keys->wrappingKind = kind;
    keys->wrapping.type = kind == PEX_KEY_KIND_12 ? KeyType::WrapAes256 : KeyType::WrapTdes;
    keys->wrapping.length = wrappingLength;
    keys->partition.type = KeyType::WrapAes256;
    keys->partition.length = 32;
    if (!RandomBytes(keys->wrapping.bytes, wrappingLength) ||
        !RandomBytes(keys->partition.bytes, 32)) {
        return false;
    }
    if (keys->wrapping.type == KeyType::WrapTdes) {
        SetOddParity(keys->wrapping.bytes, wrappingLength);
    }
    memset(store, 0, kStoreBytes);
    memcpy(store, kMagic, 4);
    PutLe32(store + 4, kStoreVersion);
    PutLe32(store + 8, kind);
    PutLe32(store + 12, wrappingLength);
    memcpy(store + 16, keys->wrapping.bytes, wrappingLength);
    PutLe32(store + 48, 32);
    memcpy(store + 52, keys->partition.bytes, 32);
    return Sha256(store, kDigestOffset, store + kDigestOffset);
}

}  // namespace

int32_t LoadMachineKeys(uint32_t newKind, MachineKeys *keys) {
    std::lock_guard<std::mutex> guard(storeMutex);
    if (OSA_cfg_Init(nullptr) != 0) {
        OSA_syslog(0, "PEX2: no system key-store directory\n");
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    StoreBuffer buffer;
    int32_t count = 0;

    // Shared first: every authentication but the very first only reads.
    // Opening creates the file empty when it is missing.
    OsaCfgHandle *cfg = nullptr;
    if (OSA_cfg_Open(nullptr, kStoreClass, OSA_FILE_READ_ONLY, &cfg) != 0) {
        OSA_syslog(0, "PEX2: key store cannot be opened\n");
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    int32_t status = OSA_cfg_Read(cfg, 0, kReadBytes, buffer.bytes, &count);
    OSA_cfg_Close(cfg);
    if (status != 0) {
        OSA_syslog(0, "PEX2: key store cannot be read\n");
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    if (count > 0) {
        status = Parse(buffer.bytes, count, keys);
        if (status != PEX2_OK) {
            OSA_syslog(0, "PEX2: key store does not verify; left untouched\n");
        }
        return status;
    }

    // Empty: take the file exclusively (read-write, no truncation) and look
    // again, since another process may have provisioned it in between.
    if (OSA_cfg_Open(nullptr, kStoreClass, 0, &cfg) != 0) {
        OSA_syslog(0, "PEX2: key store cannot be opened for writing\n");
        return PEX2_ERR_KEYSTORE_WRITE;
    }
    status = OSA_cfg_Read(cfg, 0, kReadBytes, buffer.bytes, &count);
    if (status != 0) {
        status = PEX2_ERR_KEYSTORE_UNREADABLE;
    } else if (count > 0) {
        status = Parse(buffer.bytes, count, keys);
    } else if (!Provision(newKind, keys, buffer.bytes)) {
        status = PEX2_ERR_CRYPTO;
    } else {
        int32_t written = 0;
        status = OSA_cfg_Write(cfg, 0, kStoreBytes, buffer.bytes, &written) == 0
                     ? PEX2_OK
                     : PEX2_ERR_KEYSTORE_WRITE;
        if (status == PEX2_OK) {
            OSA_syslog(0, "PEX2: machine keys provisioned, wrapping key kind %u\n", newKind);
        }
    }
    OSA_cfg_Close(cfg);
    return status;
}

}  // namespace pex2
