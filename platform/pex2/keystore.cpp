// Cryptographic service simulator: the machine keys in the system key store.
//
// The keys live in the system key-store file of class 7 ("xmgrcfg.ks0"),
// read only through the module's key-store functions.  File format 1, all
// integers little-endian, 116 bytes:
//    0   4  magic "PXKS"
//    4   4  format version, 1
//    8   4  wrapping key kind: 1, 2 or 12
//   12   4  wrapping key length: 24 (kinds 1, 2) or 32 (kind 12)
//   16  32  wrapping key bytes, zero beyond the length
//   48   4  partition key length: 32
//   52  32  partition key bytes
//   84  32  SHA-256 of bytes 0 to 83
//
// Losing the store loses every secret protected under it, so it is guarded:
//  - Its directory must be private: owned by this user or root and writable
//    by nobody else, or another user could plant keys of their own or move
//    the store aside.  The store must be a regular file: a link, FIFO,
//    device or directory in its place is refused from lstat alone, without
//    opening it (opening a FIFO would block, a link to /dev/null would
//    swallow the keys).
//  - A missing store is provisioned atomically and durably, never by
//    replacing anything: the keys go to a temporary file in the same
//    directory, which is synced and then published with link(2) (or
//    renameat2 with RENAME_NOREPLACE where hard links are not available),
//    and the directory is synced.  Of two processes provisioning at once
//    one publishes and the other finds the name taken; both then read the
//    store that won.  A crash at any point leaves no store or a whole one.
//    The key-store functions are not used to test whether the store exists,
//    since opening a missing file creates it empty.  For the same reason the
//    store is held (an O_PATH descriptor, which neither reads it, follows a
//    link nor blocks on a FIFO) from the moment it is examined until the
//    key-store open has reached it: the open must reach the same file (same
//    device and inode, which cannot pass to another file while it is held).
//    A store removed in between makes the open create an empty file in its
//    place; that file is removed again and the store is treated as missing,
//    so that it is provisioned instead of every later session failing on
//    an empty store.
//  - A store that exists but is empty, short or does not verify is never
//    rewritten: every session fails and the file stays as it is, so the
//    blobs made under its keys stay recoverable once it is repaired.
//
// The keys of the last verified read are kept for the life of the process,
// in a page of their own that is left out of core dumps and wiped when the
// library is unloaded.  Each later session start checks the directory again
// and compares the store's identity (device, inode, size, modification and
// change times) with the one read, and reads the file again through the
// key-store functions whenever it differs; a store removed, replaced or
// damaged is never answered from the kept copy.  A file modified just before
// it was read may be changed again without its times moving (they advance in
// steps), so such a read is not kept.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <new>

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
// How often one session start looks for the store again after it changed
// under the open; a store that keeps vanishing fails the session instead.
constexpr int kLookups = 4;
// readStore's answer when the open reached another file than the one held.
constexpr int32_t kStoreChanged = 1;

// A store modified this close before it was examined is read again next
// time: file times advance in steps (a clock tick, or a whole second on
// file systems that keep no fractions), and a change within the step of the
// last one would not show.
constexpr long kSettledFineNs = 50L * 1000 * 1000;
constexpr long kSettledCoarseNs = 1000L * 1000 * 1000;

// The key-store functions keep process-wide path state without any lock of
// their own; every use of them here, and the kept keys, go through this mutex.
std::mutex storeMutex;

/* The store's path, resolved once: the directories it is built from never
 * change for the life of the process. */
char storePath[PATH_MAX];
bool storePathKnown = false;

/* The keys of the last verified read and the file they came from. */
struct KeptKeys {
    bool valid = false;
    Identity identity;
    MachineKeys keys;
};

/* The kept keys' page, mapped on first use and marked MADV_DONTDUMP, so
 * that the machine keys never reach a core dump.  Null while there is no
 * such page: then nothing is kept and every session reads the store. */
constexpr size_t kKeptPageBytes = 4096;
static_assert(sizeof(KeptKeys) <= kKeptPageBytes);
KeptKeys *kept = nullptr;

KeptKeys *keptKeys() {
    if (kept == nullptr) {
        void *page = mmap(nullptr, kKeptPageBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            return nullptr;
        }
        if (madvise(page, kKeptPageBytes, MADV_DONTDUMP) != 0) {
            munmap(page, kKeptPageBytes);
            return nullptr;
        }
        kept = new (page) KeptKeys;
    }
    return kept;
}

void forgetKeptKeys() {
    if (kept != nullptr) {
        *kept = KeptKeys{};
    }
}

/* Wipes the kept keys when the library is unloaded or the process ends.
 * The page is returned only when no session start is under way: a thread
 * still in one at exit may go on using it, so it is then only wiped. */
__attribute__((destructor)) void wipeKeptKeys() {
    std::unique_lock<std::mutex> lock(storeMutex, std::try_to_lock);
    if (kept == nullptr) {
        return;
    }
    OPENSSL_cleanse(kept, kKeptPageBytes);
    if (lock.owns_lock()) {
        munmap(kept, kKeptPageBytes);
        kept = nullptr;
    }
}

/* The store's file, held without being opened for reading (see the head
 * comment): examined like lstat, and its inode kept from being reused. */
class HeldFile {
  public:
    HeldFile() = default;
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;
    ~HeldFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    /* False, with errno set, when nothing can be held at path. */
    bool hold(const char *path) {
        fd_ = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd_ < 0) {
            return false;
        }
        if (fstat(fd_, &info_) != 0) {
            const int error = errno;
            close(fd_);
            fd_ = -1;
            errno = error;
            return false;
        }
        return true;
    }
    const struct stat &info() const { return info_; }

  private:
    int fd_ = -1;
    struct stat info_ {};
};

/* Fills a buffer of the store's bytes and wipes it when it goes. */
struct StoreBuffer {
    uint8_t bytes[kReadBytes] = {};
    ~StoreBuffer() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

bool sha256(const uint8_t *data, size_t length, uint8_t digest[32]) {
    unsigned int size = 0;
    return EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == 32;
}

uint32_t wrappingKeyLength(uint32_t kind) {
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

int32_t parse(const uint8_t *data, int32_t count, MachineKeys *keys) {
    uint8_t digest[32];
    if (count != static_cast<int32_t>(kStoreBytes) || memcmp(data, kMagic, 4) != 0 ||
        getLe32(data + 4) != kStoreVersion || !sha256(data, kDigestOffset, digest) ||
        CRYPTO_memcmp(digest, data + kDigestOffset, sizeof digest) != 0) {
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    const uint32_t kind = getLe32(data + 8);
    const uint32_t wrappingLength = getLe32(data + 12);
    const uint32_t partitionLength = getLe32(data + 48);
    if (wrappingKeyLength(kind) == 0 || wrappingLength != wrappingKeyLength(kind) ||
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
void setOddParity(uint8_t *key, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = key[i] & 0xFE;
        b |= (__builtin_popcount(b) & 1) == 0 ? 1 : 0;
        key[i] = b;
    }
}

/* Fresh machine keys and their serialised store. */
bool provision(uint32_t kind, MachineKeys *keys, uint8_t *store) {
    const uint32_t wrappingLength = wrappingKeyLength(kind);
    keys->wrappingKind = kind;
    keys->wrapping.type = kind == PEX_KEY_KIND_12 ? KeyType::WrapAes256 : KeyType::WrapTdes;
    keys->wrapping.length = wrappingLength;
    keys->partition.type = KeyType::WrapAes256;
    keys->partition.length = 32;
    if (!randomBytes(keys->wrapping.bytes, wrappingLength) ||
        !randomBytes(keys->partition.bytes, 32)) {
        return false;
    }
    if (keys->wrapping.type == KeyType::WrapTdes) {
        setOddParity(keys->wrapping.bytes, wrappingLength);
    }
    memset(store, 0, kStoreBytes);
    memcpy(store, kMagic, 4);
    putLe32(store + 4, kStoreVersion);
    putLe32(store + 8, kind);
    putLe32(store + 12, wrappingLength);
    memcpy(store + 16, keys->wrapping.bytes, wrappingLength);
    putLe32(store + 48, 32);
    memcpy(store + 52, keys->partition.bytes, 32);
    return sha256(store, kDigestOffset, store + kDigestOffset);
}

/* The directory part of the store's path, for the checks and the sync. */
bool directoryOf(const char *path, char *directory, size_t size) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        return false;
    }
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length >= size) {
        return false;
    }
    memcpy(directory, path, length);
    directory[length] = '\0';
    return true;
}

bool writeAll(int fd, const uint8_t *data, size_t length) {
    while (length > 0) {
        const ssize_t put = write(fd, data, length);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        data += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

bool syncDirectory(const char *directory) {
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

/* Writes a fresh store with a wrapping key of `kind` beside `path` and
 * publishes it there unless another process was first.  Reading the store
 * afterwards is the caller's business: whoever won, that is the store. */
int32_t provisionStore(const char *directory, uint32_t kind) {
    MachineKeys fresh;
    StoreBuffer buffer;
    if (!provision(kind, &fresh, buffer.bytes)) {
        return PEX2_ERR_CRYPTO;
    }
    const int published = publishNewFile(directory, "xmgrcfg.ks0", buffer.bytes, kStoreBytes);
    if (published < 0) {
        OSA_syslog(0, "PEX2: key store cannot be written\n");
        return PEX2_ERR_KEYSTORE_WRITE;
    }
    if (published == 1) {
        OSA_syslog(0, "PEX2: machine keys provisioned, wrapping key kind %u\n", kind);
    }
    return PEX2_OK;
}

/* Publishes `temporary` under `path` unless something is there already.
 * Returns 1 when it published, 0 when the name was taken, -1 on failure. */
int publishNoReplace(const char *temporary, const char *path) {
    if (link(temporary, path) == 0) {
        return 1;
    }
    if (errno == EEXIST) {
        return 0;
    }
    // File systems without hard links: an exclusive rename does the same.
    if (renameat2(AT_FDCWD, temporary, AT_FDCWD, path, RENAME_NOREPLACE) == 0) {
        return 1;
    }
    return errno == EEXIST ? 0 : -1;
}

int64_t nanoseconds(const struct timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

/* True when no later change of the file can leave its times as they are:
 * both were set a whole step before `examined`. */
bool isSettled(const struct stat &info, const struct timespec &examined) {
    const bool coarse = info.st_mtim.tv_nsec == 0 && info.st_ctim.tv_nsec == 0;
    const int64_t step = coarse ? kSettledCoarseNs : kSettledFineNs;
    const int64_t latest = std::max(nanoseconds(info.st_mtim), nanoseconds(info.st_ctim));
    return latest + step < nanoseconds(examined);
}

/* Removes the file at path if it is still the empty file `made`. */
void removeIfStillEmpty(const char *path, const struct stat &made) {
    struct stat now {};
    if (lstat(path, &now) == 0 && now.st_dev == made.st_dev && now.st_ino == made.st_ino &&
        S_ISREG(now.st_mode) && now.st_size == 0) {
        unlink(path);
    }
}

/* Reads and verifies the store held as `held` through the key-store
 * functions; on success `identity` is the file that was read.  The file is
 * examined before it is read, so a change in between shows as a new
 * identity next time.  kStoreChanged when the open reached another file. */
int32_t readStore(const char *path, const struct stat &held, MachineKeys *keys, Identity *identity,
                  bool *settled) {
    OsaCfgHandle *cfg = nullptr;
    if (OSA_cfg_Open(nullptr, kStoreClass, OSA_FILE_READ_ONLY, &cfg) != 0) {
        OSA_syslog(0, "PEX2: key store cannot be opened\n");
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    struct timespec examined {};
    clock_gettime(CLOCK_REALTIME, &examined);
    struct stat info {};
    const bool regular = fstat(cfg->File.fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && (info.st_dev != held.st_dev || info.st_ino != held.st_ino)) {
        // The store went away after it was examined.  An empty file here is
        // one that an open (this one, or another process's) created in its
        // place: left, it would fail every session from now on.
        if (info.st_size == 0) {
            removeIfStillEmpty(path, info);
        }
        OSA_cfg_Close(cfg);
        OSA_syslog(0, "PEX2: key store changed while it was opened; looked for again\n");
        return kStoreChanged;
    }
    StoreBuffer buffer;
    int32_t count = 0;
    const int32_t read = OSA_cfg_Read(cfg, 0, kReadBytes, buffer.bytes, &count);
    OSA_cfg_Close(cfg);
    if (read != 0 || !regular) {
        OSA_syslog(0, "PEX2: key store cannot be read\n");
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    if (count == 0) {
        OSA_syslog(0, "PEX2: key store is empty; left untouched\n");
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    const int32_t status = parse(buffer.bytes, count, keys);
    if (status != PEX2_OK) {
        OSA_syslog(0, "PEX2: key store does not verify; left untouched\n");
        return status;
    }
    *identity = identityOf(info);
    *settled = isSettled(info, examined);
    return PEX2_OK;
}

}  // namespace

Identity identityOf(const struct stat &info) {
    Identity id;
    id.device = info.st_dev;
    id.inode = info.st_ino;
    id.size = info.st_size;
    id.modified = info.st_mtim;
    id.changed = info.st_ctim;
    return id;
}

bool sameIdentity(const Identity &a, const Identity &b) {
    const auto sameTime = [](const struct timespec &x, const struct timespec &y) {
        return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
    };
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           sameTime(a.modified, b.modified) && sameTime(a.changed, b.changed);
}

int32_t checkKeyDirectory(const char *directory) {
    struct stat info {};
    if (stat(directory, &info) != 0 || !S_ISDIR(info.st_mode)) {
        OSA_syslog(0, "PEX2: key-store directory cannot be examined\n");
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (info.st_uid != geteuid() && info.st_uid != 0)) {
        OSA_syslog(0,
                   "PEX2: key-store directory is writable by others or owned by another user;"
                   " refused\n");
        return PEX2_ERR_KEYSTORE_UNSAFE;
    }
    return PEX2_OK;
}

int publishNewFile(const char *directory, const char *name, const uint8_t *data, size_t length) {
    char path[PATH_MAX];
    char temporary[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", directory, name) >= static_cast<int>(sizeof path) ||
        snprintf(temporary, sizeof temporary, "%s/.%s.XXXXXX", directory, name) >=
            static_cast<int>(sizeof temporary)) {
        return -1;
    }
    const int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd < 0) {
        OSA_syslog(0, "PEX2: %s cannot be created\n", name);
        return -1;
    }
    const bool written = fchmod(fd, 0600) == 0 && writeAll(fd, data, length) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    int published = -1;
    if (written && closed) {
        published = publishNoReplace(temporary, path);
    }
    // After link(2) the temporary name is a second name of the file; after
    // a rename or a failure it may be gone already.
    unlink(temporary);
    return published >= 0 && syncDirectory(directory) ? published : -1;
}

int32_t loadMachineKeys(uint32_t newKind, MachineKeys *keys) {
    std::lock_guard<std::mutex> guard(storeMutex);
    if (!storePathKnown) {
        if (OSA_cfg_Init(nullptr) != 0) {
            OSA_syslog(0, "PEX2: no system key-store directory\n");
            return PEX2_ERR_KEYSTORE_UNREADABLE;
        }
        const uint32_t size = _OSA_GetCfgPath(kStoreClass, nullptr);
        if (size == 0 || size > sizeof storePath) {
            OSA_syslog(0, "PEX2: no system key-store path\n");
            return PEX2_ERR_KEYSTORE_UNREADABLE;
        }
        _OSA_GetCfgPath(kStoreClass, storePath);
        storePathKnown = true;
    }
    char directory[PATH_MAX];
    if (!directoryOf(storePath, directory, sizeof directory)) {
        return PEX2_ERR_KEYSTORE_UNREADABLE;
    }
    // The directory is checked at every session start, so that one made
    // unsafe refuses sessions at once, kept keys or not.
    int32_t status = checkKeyDirectory(directory);
    if (status != PEX2_OK) {
        forgetKeptKeys();
        return status;
    }
    // With a token configured the key-store file is neither read nor made,
    // whatever happens in the token.
    bool inToken = false;
    status = token::configure(&inToken);
    if (status != PEX2_OK || inToken) {
        return status != PEX2_OK ? status : token::open(newKind, directory, keys);
    }
    // The kept keys answer as long as the store is the file they came from:
    // one lstat, nothing opened.
    struct stat seen {};
    const KeptKeys *known = keptKeys();
    if (known != nullptr && known->valid && lstat(storePath, &seen) == 0 && S_ISREG(seen.st_mode) &&
        sameIdentity(known->identity, identityOf(seen))) {
        *keys = known->keys;
        return PEX2_OK;
    }
    // Whatever follows, the kept keys are not the store's any more.
    forgetKeptKeys();
    for (int lookup = 0; lookup < kLookups; ++lookup) {
        HeldFile store;
        const bool present = store.hold(storePath);
        const int holdError = errno;
        const struct stat &info = store.info();
        if (!present) {
            if (holdError != ENOENT) {
                OSA_syslog(0, "PEX2: key store cannot be examined\n");
                return PEX2_ERR_KEYSTORE_UNREADABLE;
            }
            // Provisioned here or by whoever was first; read in the next
            // round either way.
            status = provisionStore(directory, newKind);
            if (status != PEX2_OK) {
                return status;
            }
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            OSA_syslog(0, "PEX2: key store is not a regular file; left untouched\n");
            return PEX2_ERR_KEYSTORE_UNREADABLE;
        }
        Identity identity;
        bool settled = false;
        status = readStore(storePath, info, keys, &identity, &settled);
        if (status == kStoreChanged) {
            continue;
        }
        if (status == PEX2_OK && settled && kept != nullptr) {
            kept->valid = true;
            kept->identity = identity;
            kept->keys = *keys;
        }
        return status;
    }
    OSA_syslog(0, "PEX2: key store keeps vanishing\n");
    return PEX2_ERR_KEYSTORE_UNREADABLE;
}

}  // namespace pex2
