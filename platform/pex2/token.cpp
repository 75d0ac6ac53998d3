// Cryptographic service simulator: the machine keys in a PKCS#11 token.
//
// Chosen by three entries of the configuration file, read through the OS
// layer's configuration functions: Pkcs11Module (the path of the token's
// PKCS#11 library), Pkcs11TokenLabel and Pkcs11PinFile (a file holding the
// user PIN, refused when group or others have any access to it).  Without
// them the key-store file is used (keystore.cpp); with only some of them, or
// with a token that cannot be used, every session fails and nothing falls
// back to the key-store file.
//
// The library is loaded with dlopen() when the configuration names it, never
// linked.  Its session, the login and the key handles are kept for the life
// of the process, across sessions of this library, so that a request pays
// for the token operations and not for a login; a process made by fork()
// initialises the library and logs in again on its first use, as PKCS#11
// requires, and a session that the token dropped is opened again by the
// next session start.
//
// The machine keys are made inside the token on first use and never leave
// it: two AES-256 secret-key objects, the wrapping key (kind 12) and the
// partition key, each CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE and not
// CKA_EXTRACTABLE, usable only to encrypt and decrypt, found afterwards by
// their labels and identifiers.  Wrapping a content key encrypts its bytes
// (and the check value) in the token with CKM_AES_CBC; the padding around
// them is added and checked here, so that the wrapped bytes are exactly
// those of a kind-12 key in the key-store file (pex2_internal.h).
//
// First use is recorded in the key-store directory by a marker file, written
// durably as the key-store file is, holding the identifiers of the two keys.
// Making the keys and the marker happens under the OS layer's whole-file
// lock on a lock file beside it, so that processes starting at once end with
// one set of keys.  Marker format 1, integers little-endian, 176 bytes:
//     0   4  magic "PXTK"
//     4   4  format version, 1
//     8   4  wrapping key identifier length, 1 to 64
//    12  64  wrapping key identifier (CKA_ID), zero beyond its length
//    76   4  partition key identifier length, 1 to 64
//    80  64  partition key identifier
//   144  32  SHA-256 of bytes 0 to 143
// No marker: keys with the two labels that are already in the token are
// taken over (never replaced), the missing ones are made.  A marker whose
// keys the token does not hold fails closed: a token that lost its keys is
// never taken for a new one, since blobs made under the lost keys exist.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

#include "osa/osa.h"
#include "platform/pex2/pex2_internal.h"

namespace pex2 {
namespace token {
namespace {

constexpr char kModuleEntry[] = "Pkcs11Module";
constexpr char kLabelEntry[] = "Pkcs11TokenLabel";
constexpr char kPinFileEntry[] = "Pkcs11PinFile";

constexpr char kWrappingLabel[] = "pex2 wrapping key";
constexpr char kPartitionLabel[] = "pex2 partition key";
constexpr char kMarkerName[] = "xmgrcfg.tk0";
constexpr char kLockName[] = "xmgrcfg.tk0.lock";

constexpr uint8_t kMarkerMagic[4] = {'P', 'X', 'T', 'K'};
constexpr uint32_t kMarkerVersion = 1;
constexpr size_t kIdMax = 64;
constexpr size_t kMarkerBytes = 176;
constexpr size_t kMarkerDigestAt = 144;
// New keys get identifiers of this many random bytes.
constexpr size_t kNewIdBytes = 16;
constexpr size_t kPinMax = 256;
constexpr size_t kLabelMax = 32;  // CK_TOKEN_INFO's label field

struct Settings {
    bool read = false;
    bool configured = false;
    std::string module;
    std::string label;
    std::string pinFile;
};

/* What fstat saw of the PIN file at a login the token refused. */
struct PinStamp {
    bool set = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
};

struct KeyIds {
    uint8_t wrapping[kIdMax] = {};
    uint32_t wrappingLength = 0;
    uint8_t partition[kIdMax] = {};
    uint32_t partitionLength = 0;
};

struct State {
    CK_FUNCTION_LIST *p11 = nullptr;  // kept once loaded: the library is never unloaded
    pid_t initializedIn = 0;          // the process whose C_Initialize is in force
    pid_t sessionOf = 0;              // the process whose session is open, 0 for none
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    bool ready = false;  // session open, logged in, keys found
    CK_OBJECT_HANDLE wrapping = 0;
    CK_OBJECT_HANDLE partition = 0;
    uint8_t partitionId[32] = {};
    Identity marker;  // the marker the keys were found from
    // Per machine key, a session of its own with a decryption kept running
    // (see decryptStreaming), and whether the token allows that at all.
    CK_SESSION_HANDLE stream[2] = {};
    bool streaming[2] = {};
    bool noStreaming = false;
    PinStamp refusedPin;
    std::string directory;  // the key-store directory, for opening again
};

// Guards the settings and the state; a PKCS#11 session runs one operation
// at a time, so every token call goes through it.  Taken after the tables'
// lock (cipher.cpp) and the key store's (keystore.cpp), never before them.
std::mutex tokenMutex;
Settings settings;
State state;

/* One line naming the cause, on standard error and in the trace; returns
 * status. */
__attribute__((format(printf, 2, 3))) int32_t fail(int32_t status, const char *format, ...) {
    char cause[512];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(cause, sizeof cause, format, args);
    va_end(args);
    (void)fprintf(stderr, "PEX2: %s\n", cause);
    OSA_syslog(0, "PEX2: %s\n", cause);
    return status;
}

const char *describe(CK_RV rv) {
    switch (rv) {
        case CKR_PIN_INCORRECT:
            return "wrong PIN";
        case CKR_PIN_LOCKED:
            return "PIN locked";
        case CKR_PIN_LEN_RANGE:
            return "PIN of a length the token refuses";
        case CKR_TOKEN_NOT_PRESENT:
            return "token not present";
        case CKR_TOKEN_NOT_RECOGNIZED:
            return "token not recognized";
        case CKR_DEVICE_REMOVED:
            return "device removed";
        case CKR_DEVICE_ERROR:
            return "device error";
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
            return "session lost";
        case CKR_USER_NOT_LOGGED_IN:
            return "not logged in";
        case CKR_CRYPTOKI_NOT_INITIALIZED:
            return "library not initialised";
        case CKR_KEY_HANDLE_INVALID:
        case CKR_OBJECT_HANDLE_INVALID:
            return "key gone";
        case CKR_MECHANISM_INVALID:
            return "mechanism not supported";
        case CKR_GENERAL_ERROR:
            return "general error";
        default:
            return "error";
    }
}

/* A string entry of the configuration; 0 when it is missing, -1 when it is
 * unusable (not a string, too long), else its length. */
int readEntry(const char *name, std::string *value) {
    char buffer[300] = {};
    const int got = OSA_query_registry_value(OSA_CONFIG_PATH, name, nullptr, buffer,
                                             static_cast<uint32_t>(sizeof buffer));
    if (got == 0) {
        return 0;
    }
    // A string comes back with its terminating NUL and no other.
    if (got < 2 || static_cast<size_t>(got) > sizeof buffer || buffer[got - 1] != '\0' ||
        strlen(buffer) != static_cast<size_t>(got - 1)) {
        return -1;
    }
    value->assign(buffer, static_cast<size_t>(got - 1));
    return got - 1;
}

void wipe(std::string *text) {
    if (!text->empty()) {
        OPENSSL_cleanse(text->data(), text->size());
    }
    text->clear();
}

/* Reads the PIN file: a regular file of this user or root that nobody else
 * may read or write, holding the PIN and at most one line end. */
int32_t readPin(std::string *pin, PinStamp *stamp) {
    const char *path = settings.pinFile.c_str();
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token PIN file %s cannot be opened: %s", path,
                    strerror(errno));
    }
    struct stat info {};
    int32_t status = PEX2_OK;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        status = fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token PIN file %s is not a regular file", path);
    } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        status = fail(PEX2_ERR_TOKEN_UNAVAILABLE,
                      "token PIN file %s is open to group or others (chmod 600)", path);
    } else if (info.st_uid != geteuid() && info.st_uid != 0) {
        status =
            fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token PIN file %s belongs to another user", path);
    } else if (info.st_size > static_cast<off_t>(kPinMax + 2)) {
        status = fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token PIN file %s is too long", path);
    }
    char bytes[kPinMax + 3] = {};
    ssize_t got = 0;
    if (status == PEX2_OK) {
        do {
            got = read(fd, bytes, sizeof bytes - 1);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            status = fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token PIN file %s cannot be read", path);
        }
    }
    close(fd);
    if (status == PEX2_OK) {
        size_t length = static_cast<size_t>(got);
        // One trailing line end is the file's, not the PIN's.
        if (length > 0 && bytes[length - 1] == '\n') {
            --length;
            if (length > 0 && bytes[length - 1] == '\r') {
                --length;
            }
        }
        if (length == 0 || length > kPinMax) {
            status =
                fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token PIN file %s is empty or too long", path);
        } else {
            pin->assign(bytes, length);
            *stamp = {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
        }
    }
    OPENSSL_cleanse(bytes, sizeof bytes);
    return status;
}

bool samePin(const PinStamp &a, const PinStamp &b) {
    return a.set && b.set && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

/* Forgets the session without closing it: after fork() it is the parent's,
 * and when the token dropped it there is nothing left to close. */
void dropSession() {
    state.ready = false;
    state.sessionOf = 0;
    state.session = 0;
    state.streaming[0] = state.streaming[1] = false;
}

/* Ends the running decryptions: their keys are about to change or go. */
void closeStreams() {
    for (int k = 0; k < 2; ++k) {
        if (state.streaming[k] && state.sessionOf == getpid()) {
            (void)state.p11->C_CloseSession(state.stream[k]);
        }
        state.streaming[k] = false;
    }
}

void closeSession() {
    if (state.sessionOf == getpid() && state.p11 != nullptr) {
        closeStreams();
        (void)state.p11->C_CloseSession(state.session);
    }
    dropSession();
}

/* Loads the library and initialises it for this process. */
int32_t initialize() {
    const pid_t self = getpid();
    if (state.p11 != nullptr && state.initializedIn == self) {
        return PEX2_OK;
    }
    if (state.p11 == nullptr) {
        void *library = dlopen(settings.module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token module %s cannot be loaded: %s",
                        settings.module.c_str(), dlerror());
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        CK_FUNCTION_LIST *list = nullptr;
        if (getList == nullptr || getList(&list) != CKR_OK || list == nullptr) {
            dlclose(library);
            return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token module %s is no PKCS#11 library",
                        settings.module.c_str());
        }
        state.p11 = list;
    }
    CK_C_INITIALIZE_ARGS args = {};
    args.flags = CKF_OS_LOCKING_OK;
    // Already initialised: by someone else in this process, or, in a child
    // of fork(), by a library that does not start afresh in the child.
    // Either way it is usable as it is, and it is never finalised here.
    const CK_RV rv = state.p11->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token module %s cannot be initialised: %s (0x%lx)",
                    settings.module.c_str(), describe(rv), static_cast<unsigned long>(rv));
    }
    state.initializedIn = self;
    return PEX2_OK;
}

/* The slot whose token carries the configured label. */
int32_t findSlot(CK_SLOT_ID *slot) {
    CK_ULONG count = 0;
    CK_RV rv = state.p11->C_GetSlotList(CK_TRUE, nullptr, &count);
    CK_SLOT_ID slots[64];
    if (rv == CKR_OK && count > 0) {
        count = count < 64 ? count : 64;
        rv = state.p11->C_GetSlotList(CK_TRUE, slots, &count);
    }
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token slots cannot be listed: %s (0x%lx)",
                    describe(rv), static_cast<unsigned long>(rv));
    }
    char wanted[kLabelMax];
    memset(wanted, ' ', sizeof wanted);
    memcpy(wanted, settings.label.data(), settings.label.size());
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info{};
        if (state.p11->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
            memcmp(info.label, wanted, sizeof wanted) == 0) {
            *slot = slots[i];
            return PEX2_OK;
        }
    }
    return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "no token labelled \"%s\" is present",
                settings.label.c_str());
}

/* Opens a read-write session on the token and logs the user in. */
int32_t login() {
    CK_SLOT_ID slot = 0;
    int32_t status = findSlot(&slot);
    if (status != PEX2_OK) {
        return status;
    }
    state.slot = slot;
    std::string pin;
    PinStamp stamp;
    status = readPin(&pin, &stamp);
    if (status != PEX2_OK) {
        return status;
    }
    // A PIN the token refused is not offered again until the file changes:
    // tokens lock themselves after a few wrong PINs.
    if (samePin(stamp, state.refusedPin)) {
        wipe(&pin);
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE,
                    "token \"%s\" refused the PIN in %s before: wrong PIN (not offered again until"
                    " the file changes)",
                    settings.label.c_str(), settings.pinFile.c_str());
    }
    CK_RV rv = state.p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                        &state.session);
    if (rv != CKR_OK) {
        wipe(&pin);
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token \"%s\": no session: %s (0x%lx)",
                    settings.label.c_str(), describe(rv), static_cast<unsigned long>(rv));
    }
    state.sessionOf = getpid();
    rv = state.p11->C_Login(state.session, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(pin.data()),
                            pin.size());
    wipe(&pin);
    if (rv == CKR_PIN_INCORRECT) {
        state.refusedPin = stamp;
    }
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        closeSession();
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token \"%s\" refused the login: %s (0x%lx)",
                    settings.label.c_str(), describe(rv), static_cast<unsigned long>(rv));
    }
    state.refusedPin = PinStamp{};
    return PEX2_OK;
}

/* Secret keys with `label` (and identifier `id`, when given); up to two
 * handles, so that a second one shows. */
CK_RV findKeys(const char *label, const uint8_t *id, uint32_t idLength, CK_OBJECT_HANDLE *found,
               CK_ULONG *count) {
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_ATTRIBUTE templ[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_LABEL, const_cast<char *>(label), strlen(label)},
        {CKA_ID, const_cast<uint8_t *>(id), idLength},
    };
    CK_RV rv = state.p11->C_FindObjectsInit(state.session, templ, id != nullptr ? 3 : 2);
    if (rv != CKR_OK) {
        return rv;
    }
    *count = 0;
    rv = state.p11->C_FindObjects(state.session, found, 2, count);
    const CK_RV finished = state.p11->C_FindObjectsFinal(state.session);
    return rv != CKR_OK ? rv : finished;
}

/* A machine key must be a sensitive, non-extractable AES-256 key that may
 * encrypt and decrypt; its identifier is read into id. */
int32_t checkKey(CK_OBJECT_HANDLE key, const char *label, uint8_t *id, uint32_t *idLength) {
    CK_KEY_TYPE type = 0;
    CK_ULONG length = 0;
    CK_BBOOL sensitive = CK_FALSE;
    CK_BBOOL extractable = CK_TRUE;
    CK_BBOOL encrypt = CK_FALSE;
    CK_BBOOL decrypt = CK_FALSE;
    CK_ATTRIBUTE attributes[] = {
        {CKA_KEY_TYPE, &type, sizeof type},
        {CKA_VALUE_LEN, &length, sizeof length},
        {CKA_SENSITIVE, &sensitive, sizeof sensitive},
        {CKA_EXTRACTABLE, &extractable, sizeof extractable},
        {CKA_ENCRYPT, &encrypt, sizeof encrypt},
        {CKA_DECRYPT, &decrypt, sizeof decrypt},
        {CKA_ID, id, kIdMax},
    };
    const CK_RV rv = state.p11->C_GetAttributeValue(state.session, key, attributes,
                                                    sizeof attributes / sizeof attributes[0]);
    if (rv != CKR_OK || type != CKK_AES || length != 32 || sensitive != CK_TRUE ||
        extractable != CK_FALSE || encrypt != CK_TRUE || decrypt != CK_TRUE ||
        attributes[6].ulValueLen == 0 || attributes[6].ulValueLen > kIdMax) {
        return fail(PEX2_ERR_TOKEN_KEYS_MISSING,
                    "token key \"%s\" is not a sensitive, non-extractable AES-256 key with an"
                    " identifier; refused",
                    label);
    }
    *idLength = static_cast<uint32_t>(attributes[6].ulValueLen);
    return PEX2_OK;
}

/* Makes an AES-256 machine key inside the token. */
int32_t generateKey(const char *label, const uint8_t *id, uint32_t idLength,
                    CK_OBJECT_HANDLE *key) {
    CK_MECHANISM mechanism = {CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_AES;
    CK_ULONG length = 32;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE templ[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_KEY_TYPE, &type, sizeof type},
        {CKA_VALUE_LEN, &length, sizeof length},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_ENCRYPT, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_WRAP, &no, sizeof no},
        {CKA_UNWRAP, &no, sizeof no},
        {CKA_SIGN, &no, sizeof no},
        {CKA_VERIFY, &no, sizeof no},
        {CKA_DERIVE, &no, sizeof no},
        {CKA_LABEL, const_cast<char *>(label), strlen(label)},
        {CKA_ID, const_cast<uint8_t *>(id), idLength},
    };
    const CK_RV rv = state.p11->C_GenerateKey(state.session, &mechanism, templ,
                                              sizeof templ / sizeof templ[0], key);
    if (rv != CKR_OK) {
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token cannot make the key \"%s\": %s (0x%lx)",
                    label, describe(rv), static_cast<unsigned long>(rv));
    }
    OSA_syslog(0, "PEX2: machine key \"%s\" made in the token\n", label);
    return PEX2_OK;
}

std::string pathIn(const char *name) {
    return state.directory + "/" + name;
}

/* Reads the marker: PEX2_OK with *present false when there is none. */
int32_t readMarker(bool *present, KeyIds *ids) {
    const std::string path = pathIn(kMarkerName);
    *present = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return PEX2_OK;
        }
        return fail(PEX2_ERR_KEYSTORE_UNREADABLE, "token marker %s cannot be opened: %s",
                    path.c_str(), strerror(errno));
    }
    struct stat info {};
    uint8_t bytes[kMarkerBytes + 1] = {};
    ssize_t got = -1;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        do {
            got = read(fd, bytes, sizeof bytes);
        } while (got < 0 && errno == EINTR);
    }
    close(fd);
    uint8_t digest[32];
    unsigned int size = 0;
    const uint32_t wrappingLength = getLe32(bytes + 8);
    const uint32_t partitionLength = getLe32(bytes + 76);
    if (got != static_cast<ssize_t>(kMarkerBytes) || memcmp(bytes, kMarkerMagic, 4) != 0 ||
        getLe32(bytes + 4) != kMarkerVersion ||
        EVP_Digest(bytes, kMarkerDigestAt, digest, &size, EVP_sha256(), nullptr) != 1 ||
        CRYPTO_memcmp(digest, bytes + kMarkerDigestAt, sizeof digest) != 0 || wrappingLength == 0 ||
        wrappingLength > kIdMax || partitionLength == 0 || partitionLength > kIdMax) {
        return fail(PEX2_ERR_KEYSTORE_UNREADABLE, "token marker %s does not verify; left untouched",
                    path.c_str());
    }
    ids->wrappingLength = wrappingLength;
    memcpy(ids->wrapping, bytes + 12, wrappingLength);
    ids->partitionLength = partitionLength;
    memcpy(ids->partition, bytes + 80, partitionLength);
    *present = true;
    return PEX2_OK;
}

int32_t writeMarker(const KeyIds &ids) {
    uint8_t bytes[kMarkerBytes] = {};
    memcpy(bytes, kMarkerMagic, 4);
    putLe32(bytes + 4, kMarkerVersion);
    putLe32(bytes + 8, ids.wrappingLength);
    memcpy(bytes + 12, ids.wrapping, ids.wrappingLength);
    putLe32(bytes + 76, ids.partitionLength);
    memcpy(bytes + 80, ids.partition, ids.partitionLength);
    unsigned int size = 0;
    if (EVP_Digest(bytes, kMarkerDigestAt, bytes + kMarkerDigestAt, &size, EVP_sha256(), nullptr) !=
        1) {
        return PEX2_ERR_CRYPTO;
    }
    // Under the lock nobody else writes it; a name taken all the same is
    // read back by the caller like any marker.
    if (publishNewFile(state.directory.c_str(), kMarkerName, bytes, sizeof bytes) < 0) {
        return fail(PEX2_ERR_KEYSTORE_WRITE, "token marker %s cannot be written",
                    pathIn(kMarkerName).c_str());
    }
    return PEX2_OK;
}

/* The one key with `label` and the marker's identifier. */
int32_t findRecorded(const char *label, const uint8_t *id, uint32_t idLength,
                     CK_OBJECT_HANDLE *key) {
    CK_OBJECT_HANDLE found[2] = {};
    CK_ULONG count = 0;
    const CK_RV rv = findKeys(label, id, idLength, found, &count);
    if (rv != CKR_OK) {
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token cannot be searched: %s (0x%lx)",
                    describe(rv), static_cast<unsigned long>(rv));
    }
    if (count == 0) {
        return fail(PEX2_ERR_TOKEN_KEYS_MISSING,
                    "token \"%s\" has lost the machine key \"%s\" that %s records; blobs made"
                    " under it cannot be opened",
                    settings.label.c_str(), label, pathIn(kMarkerName).c_str());
    }
    *key = found[0];
    uint8_t seen[kIdMax];
    uint32_t seenLength = 0;
    return checkKey(*key, label, seen, &seenLength);
}

/* The OS layer's whole-file lock on the lock file beside the marker, held
 * from take() until the object goes: first uses of the token, which write
 * to it, run one at a time. */
class ProvisionLock {
  public:
    ProvisionLock() = default;
    ProvisionLock(const ProvisionLock &) = delete;
    ProvisionLock &operator=(const ProvisionLock &) = delete;
    ~ProvisionLock() {
        if (held_) {
            OSA_CloseFile(&file_);
        }
    }
    bool held() const { return held_; }
    int32_t take() {
        const std::string path = pathIn(kLockName);
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            return fail(PEX2_ERR_KEYSTORE_UNREADABLE, "token lock %s is not a regular file",
                        path.c_str());
        }
        if (OSA_OpenFile(path.c_str(), OSA_FILE_CREATE, &file_) != 0) {
            return fail(PEX2_ERR_KEYSTORE_WRITE, "token lock %s cannot be opened", path.c_str());
        }
        held_ = true;
        return PEX2_OK;
    }

  private:
    OsaFileHandle file_{};
    bool held_ = false;
};

/* First use: under the lock, takes over the keys with the two labels that
 * the token holds, makes the missing ones, and writes the marker. */
int32_t provision(uint32_t newKind, ProvisionLock *lock, KeyIds *ids) {
    int32_t status = lock->held() ? PEX2_OK : lock->take();
    if (status != PEX2_OK) {
        return status;
    }
    bool present = false;
    status = readMarker(&present, ids);
    if (status == PEX2_OK && !present) {
        if (newKind != PEX_KEY_KIND_12) {
            status = fail(PEX2_ERR_BAD_ARGUMENT,
                          "a token keeps wrapping keys of kind 12 only, not %u", newKind);
        }
        const struct {
            const char *label;
            uint8_t *id;
            uint32_t *idLength;
        } keys[] = {{kWrappingLabel, ids->wrapping, &ids->wrappingLength},
                    {kPartitionLabel, ids->partition, &ids->partitionLength}};
        for (const auto &key : keys) {
            if (status != PEX2_OK) {
                break;
            }
            CK_OBJECT_HANDLE found[2] = {};
            CK_ULONG count = 0;
            const CK_RV rv = findKeys(key.label, nullptr, 0, found, &count);
            if (rv != CKR_OK) {
                status = fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token cannot be searched: %s (0x%lx)",
                              describe(rv), static_cast<unsigned long>(rv));
            } else if (count > 1) {
                status = fail(PEX2_ERR_TOKEN_KEYS_MISSING,
                              "token holds several keys \"%s\" and %s names none of them",
                              key.label, pathIn(kMarkerName).c_str());
            } else if (count == 1) {
                status = checkKey(found[0], key.label, key.id, key.idLength);
            } else {
                CK_OBJECT_HANDLE made = 0;
                *key.idLength = kNewIdBytes;
                status = randomBytes(key.id, kNewIdBytes)
                             ? generateKey(key.label, key.id, kNewIdBytes, &made)
                             : PEX2_ERR_CRYPTO;
            }
        }
        if (status == PEX2_OK) {
            status = writeMarker(*ids);
            if (status == PEX2_OK) {
                status = readMarker(&present, ids);
            }
        }
    }
    return status;
}

/* The partition key's identifier: SHA-256 of its encryption of a zero
 * block, which names the key without giving anything of it away. */
int32_t identify() {
    const uint8_t zero[16] = {};
    uint8_t check[16];
    CK_MECHANISM mechanism = {CKM_AES_CBC, const_cast<uint8_t *>(zero), sizeof zero};
    CK_ULONG length = sizeof check;
    CK_RV rv = state.p11->C_EncryptInit(state.session, &mechanism, state.partition);
    if (rv == CKR_OK) {
        rv = state.p11->C_Encrypt(state.session, const_cast<uint8_t *>(zero), sizeof zero, check,
                                  &length);
    }
    unsigned int size = 0;
    if (rv != CKR_OK || length != sizeof check) {
        return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "token cannot use the partition key: %s (0x%lx)",
                    describe(rv), static_cast<unsigned long>(rv));
    }
    return EVP_Digest(check, sizeof check, state.partitionId, &size, EVP_sha256(), nullptr) == 1
               ? PEX2_OK
               : PEX2_ERR_CRYPTO;
}

/* True while the marker is the file the keys were found from. */
bool markerUnchanged() {
    struct stat info {};
    return lstat(pathIn(kMarkerName).c_str(), &info) == 0 &&
           sameIdentity(state.marker, identityOf(info));
}

/* Finds the keys the marker names, making them first when there is none. */
int32_t findKeysOfMarker(uint32_t newKind, ProvisionLock *lock) {
    KeyIds ids;
    bool present = false;
    int32_t status = readMarker(&present, &ids);
    if (status == PEX2_OK && !present) {
        status = provision(newKind, lock, &ids);
    }
    struct stat info {};
    if (status == PEX2_OK && lstat(pathIn(kMarkerName).c_str(), &info) != 0) {
        status = fail(PEX2_ERR_KEYSTORE_UNREADABLE, "token marker %s vanished",
                      pathIn(kMarkerName).c_str());
    }
    if (status == PEX2_OK) {
        state.marker = identityOf(info);
        status = findRecorded(kWrappingLabel, ids.wrapping, ids.wrappingLength, &state.wrapping);
    }
    if (status == PEX2_OK) {
        status =
            findRecorded(kPartitionLabel, ids.partition, ids.partitionLength, &state.partition);
    }
    return status == PEX2_OK ? identify() : status;
}

/* Makes the token ready: a session of this process, logged in, and the
 * keys of the marker.  With checkMarker, a marker replaced or removed since
 * the keys were found has them found again (the session stays). */
int32_t openLocked(uint32_t newKind, bool checkMarker) {
    const pid_t self = getpid();
    if (state.ready && state.sessionOf == self && (!checkMarker || markerUnchanged())) {
        return PEX2_OK;
    }
    state.ready = false;
    // On first use the lock is taken before the library reads the token: a
    // token being written by another first use may not read whole.
    ProvisionLock lock;
    struct stat info {};
    int32_t status = PEX2_OK;
    if (lstat(pathIn(kMarkerName).c_str(), &info) != 0 && errno == ENOENT) {
        status = lock.take();
    }
    if (status == PEX2_OK && state.sessionOf != self) {
        dropSession();  // the parent's, after fork()
        status = initialize();
        if (status == PEX2_OK) {
            status = login();
        }
    }
    if (status != PEX2_OK) {
        return status;
    }
    closeStreams();
    status = findKeysOfMarker(newKind, &lock);
    if (status != PEX2_OK) {
        closeSession();
        return status;
    }
    state.ready = true;
    return PEX2_OK;
}

}  // namespace

int32_t configure(bool *configured) {
    std::lock_guard<std::mutex> guard(tokenMutex);
    if (!settings.read) {
        Settings read;
        const int module = readEntry(kModuleEntry, &read.module);
        const int label = readEntry(kLabelEntry, &read.label);
        const int pinFile = readEntry(kPinFileEntry, &read.pinFile);
        if (module == 0 && label == 0 && pinFile == 0) {
            read.configured = false;
        } else if (module <= 0 || label <= 0 || pinFile <= 0) {
            return fail(PEX2_ERR_TOKEN_UNAVAILABLE,
                        "the configuration names a token only in part: %s, %s and %s go"
                        " together, each a string",
                        kModuleEntry, kLabelEntry, kPinFileEntry);
        } else if (read.label.size() > kLabelMax) {
            return fail(PEX2_ERR_TOKEN_UNAVAILABLE, "%s is longer than %zu characters", kLabelEntry,
                        kLabelMax);
        } else {
            read.configured = true;
        }
        read.read = true;
        settings = read;
    }
    *configured = settings.configured;
    return PEX2_OK;
}

int32_t open(uint32_t newKind, const char *directory, MachineKeys *keys) {
    std::lock_guard<std::mutex> guard(tokenMutex);
    state.directory = directory;
    const int32_t status = openLocked(newKind, true);
    if (status != PEX2_OK) {
        return status;
    }
    keys->inToken = true;
    keys->wrappingKind = PEX_KEY_KIND_12;
    keys->wrapping = KeyMaterial{};
    keys->wrapping.type = KeyType::WrapAes256;
    keys->partition = keys->wrapping;
    memcpy(keys->partitionId, state.partitionId, sizeof keys->partitionId);
    return PEX2_OK;
}

namespace {

/* Decrypts with the key in its session's running CBC decryption, started
 * once: fed the IV block and then the ciphertext, a CBC decryption gives the
 * plaintext of the ciphertext blocks whatever it decrypted before (each
 * block is decrypted and combined with the block before it), and the first
 * block's output is dropped.  One call into the token then, instead of
 * starting an operation, which costs a token far more (reading the key
 * object).  CKR_OK with *done false when the token does not do this (it
 * keeps output back, or refuses a second session or the mechanism in
 * parts): then never again in this process. */
CK_RV decryptStreaming(int k, CK_OBJECT_HANDLE handle, const uint8_t iv[16], const uint8_t *in,
                       uint32_t length, uint8_t *out, bool *done) {
    *done = false;
    uint8_t chained[16 + kWrappedKeyMax];
    uint8_t plain[16 + kWrappedKeyMax];
    if (state.noStreaming || length > kWrappedKeyMax) {
        return CKR_OK;
    }
    CK_RV rv = CKR_OK;
    if (!state.streaming[k]) {
        const uint8_t zero[16] = {};
        CK_MECHANISM mechanism = {CKM_AES_CBC, const_cast<uint8_t *>(zero), sizeof zero};
        rv = state.p11->C_OpenSession(state.slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                      &state.stream[k]);
        if (rv == CKR_OK) {
            rv = state.p11->C_DecryptInit(state.stream[k], &mechanism, handle);
            if (rv != CKR_OK) {
                (void)state.p11->C_CloseSession(state.stream[k]);
            }
        }
        if (rv != CKR_OK && rv != CKR_KEY_HANDLE_INVALID && rv != CKR_OBJECT_HANDLE_INVALID) {
            state.noStreaming = true;
            return CKR_OK;
        }
        state.streaming[k] = rv == CKR_OK;
    }
    CK_ULONG written = 16 + length;
    if (rv == CKR_OK) {
        memcpy(chained, iv, 16);
        memcpy(chained + 16, in, length);
        rv = state.p11->C_DecryptUpdate(state.stream[k], chained, 16 + length, plain, &written);
    }
    if (rv == CKR_OK && written == 16 + length) {
        memcpy(out, plain + 16, length);
        *done = true;
    } else if (rv == CKR_OK) {
        state.noStreaming = true;  // output kept back: not usable this way
        closeStreams();
    }
    OPENSSL_cleanse(plain, sizeof plain);
    return rv;
}

}  // namespace

int32_t cbc(KeyHome key, bool encrypt, const uint8_t iv[16], const uint8_t *in, uint32_t length,
            uint8_t *out) {
    std::lock_guard<std::mutex> guard(tokenMutex);
    // A session started before fork(), or one whose token went away, is
    // opened again here; the keys exist by now, so nothing is made.
    int32_t status = openLocked(PEX_KEY_KIND_12, false);
    if (status != PEX2_OK) {
        return status;
    }
    CK_MECHANISM mechanism = {CKM_AES_CBC, const_cast<uint8_t *>(iv), 16};
    const CK_OBJECT_HANDLE handle =
        key == KeyHome::TokenWrapping ? state.wrapping : state.partition;
    CK_ULONG written = length;
    bool done = false;
    CK_RV rv = encrypt ? CKR_OK
                       : decryptStreaming(key == KeyHome::TokenWrapping ? 0 : 1, handle, iv, in,
                                          length, out, &done);
    if (done) {
        return PEX2_OK;
    }
    if (rv == CKR_OK) {
        rv = encrypt ? state.p11->C_EncryptInit(state.session, &mechanism, handle)
                     : state.p11->C_DecryptInit(state.session, &mechanism, handle);
    }
    if (rv == CKR_OK) {
        rv = encrypt ? state.p11->C_Encrypt(state.session, const_cast<uint8_t *>(in), length, out,
                                            &written)
                     : state.p11->C_Decrypt(state.session, const_cast<uint8_t *>(in), length, out,
                                            &written);
    }
    if (rv == CKR_OK && written == length) {
        return PEX2_OK;
    }
    // Whatever went wrong, the next use starts from a new session.
    closeSession();
    status = rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID
                 ? PEX2_ERR_TOKEN_KEYS_MISSING
                 : PEX2_ERR_TOKEN_UNAVAILABLE;
    return fail(status, "token \"%s\" failed to %s with a machine key: %s (0x%lx)",
                settings.label.c_str(), encrypt ? "encrypt" : "decrypt", describe(rv),
                static_cast<unsigned long>(rv));
}

}  // namespace token
}  // namespace pex2
