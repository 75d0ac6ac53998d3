// End to end: the built add-on and the service simulator together, reached
// only through the add-on's exported PEX_* wrappers.
//
//   pex2_module_e2e MODULE             wraps two content keys, encrypts with
//                                      each, then runs itself again as
//   pex2_module_e2e MODULE --unwrap F  a second process that unwraps the keys
//                                      from file F and decrypts.
// Both processes share the platform root, so the second finds the machine key
// that the first one provisioned.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cryptoclient/pex.h"

namespace {

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            exit(1);                                                                 \
        }                                                                            \
    } while (0)

/* The wrappers, looked up in the loaded add-on. */
struct Api {
    decltype(&PEX_Init) Init;
    decltype(&PEX_ShutdownAll) ShutdownAll;
    decltype(&PEX_CreateContext) CreateContext;
    decltype(&PEX_DestroyContext) DestroyContext;
    decltype(&PEX_FindObjectsInit) FindObjectsInit;
    decltype(&PEX_FindObjects) FindObjects;
    decltype(&PEX_GetAttributeValue) GetAttributeValue;
    decltype(&PEX_GetRandom) GetRandom;
    decltype(&PEX_GenerateKey) GenerateKey;
    decltype(&PEX_WrapKey) WrapKey;
    decltype(&PEX_UnwrapKey) UnwrapKey;
    decltype(&PEX_DestroyObject) DestroyObject;
    decltype(&PEX_DataEncryptInit) DataEncryptInit;
    decltype(&PEX_EncryptUpdate) EncryptUpdate;
    decltype(&PEX_EncryptFinal) EncryptFinal;
    decltype(&PEX_Encrypt) Encrypt;
    decltype(&PEX_DataDecryptInit) DataDecryptInit;
    decltype(&PEX_Decrypt) Decrypt;
};

template <class F>
void Find(void *module, const char *name, F *out) {
    *out = reinterpret_cast<F>(dlsym(module, name));
    if (*out == nullptr) {
        fprintf(stderr, "missing %s\n", name);
        exit(1);
    }
}

Api Load(const char *path) {
    void *module = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
    if (module == nullptr) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        exit(1);
    }
    Api api;
    Find(module, "PEX_Init", &api.Init);
    Find(module, "PEX_ShutdownAll", &api.ShutdownAll);
    Find(module, "PEX_CreateContext", &api.CreateContext);
    Find(module, "PEX_DestroyContext", &api.DestroyContext);
    Find(module, "PEX_FindObjectsInit", &api.FindObjectsInit);
    Find(module, "PEX_FindObjects", &api.FindObjects);
    Find(module, "PEX_GetAttributeValue", &api.GetAttributeValue);
    Find(module, "PEX_GetRandom", &api.GetRandom);
    Find(module, "PEX_GenerateKey", &api.GenerateKey);
    Find(module, "PEX_WrapKey", &api.WrapKey);
    Find(module, "PEX_UnwrapKey", &api.UnwrapKey);
    Find(module, "PEX_DestroyObject", &api.DestroyObject);
    Find(module, "PEX_DataEncryptInit", &api.DataEncryptInit);
    Find(module, "PEX_EncryptUpdate", &api.EncryptUpdate);
    Find(module, "PEX_EncryptFinal", &api.EncryptFinal);
    Find(module, "PEX_Encrypt", &api.Encrypt);
    Find(module, "PEX_DataDecryptInit", &api.DataDecryptInit);
    Find(module, "PEX_Decrypt", &api.Decrypt);
    return api;
}

const char kSecret[] = "the service password, 40 bytes long....";
static_assert(sizeof kSecret == 40, "both ciphers then give 48 bytes of ciphertext");

PexHandle NewContext(const Api &api) {
    PexHandle context = 0;
    CHECK(api.CreateContext(0, &context) == 0);
    return context;
}

PexHandle FindWrappingKey(const Api &api, uint32_t *kind) {
    const PexHandle context = NewContext(api);
    PexAttribute templ[2] = {{PEX_ATTR_TOKEN, 0, 1, 1, 0, 0},
                             {PEX_ATTR_CLASS, 0, 1, PEX_WRAPPING_KEY_CLASS, 0, 0}};
    PexHandle key = 0;
    uint32_t count = 1;
    CHECK(api.FindObjectsInit(context, templ, 2) == 0);
    CHECK(api.FindObjects(context, &key, &count) == 0);
    CHECK(count == 1);
    PexAttribute query = {PEX_ATTR_KEY_KIND, 0, 0, 0, 0, 0};
    CHECK(api.GetAttributeValue(context, key, &query, 1) == 0);
    CHECK(query.present != 0);
    *kind = query.value;
    CHECK(api.DestroyContext(context) == 0);
    return key;
}

struct Sealed {
    std::vector<uint8_t> wrapped;
    std::vector<uint8_t> iv;
    std::vector<uint8_t> cipherText;
};

/* Generates a content key, wraps it, encrypts kSecret with it (AES: the
 * layer's own padding and update calls; triple DES: one padded call). */
Sealed Seal(const Api &api, PexHandle wrapping, uint32_t kind, bool aes) {
    Sealed sealed;
    PexHandle context = NewContext(api);
    PexAlgorithm keygen = {aes ? OID_AES128_CBC : OID_PEX_KEYGEN168, nullptr, 0};
    PexAttribute templ[3] = {{PEX_ATTR_KEY_USAGE, 0, 1, PEX_KEY_USAGE_CONTENT, 0, 0},
                             {PEX_ATTR_KEY_BITS, 0, 1, aes ? 128u : 168u, 0, 0},
                             {PEX_ATTR_TOKEN, 0, 1, 1, 0, 0}};
    uint32_t scratch = 0;
    PexHandle key = 0;
    CHECK(api.GenerateKey(context, &keygen, templ, 3, &scratch, &key, 0xFFFFFFFFu) == 0);
    CHECK(api.DestroyContext(context) == 0);

    context = NewContext(api);
    const uint8_t *wrapOid = kind == 1   ? OID_PEX_WRAP_KIND1
                             : kind == 2 ? OID_PEX_CBC8_PAD
                                         : OID_PEX_WRAP_KIND12;
    const uint32_t wrapIvLength = kind == 12 ? 16 : 8;
    uint8_t wrapIv[16];
    CHECK(api.GetRandom(context, wrapIv, wrapIvLength) == 0);
    PexParameters wrapParams = {1, PEX_PARAM_IV, 0, wrapIvLength, 0, wrapIv};
    PexAlgorithm wrapAlg = {wrapOid, &wrapParams, sizeof wrapParams};
    sealed.wrapped.resize(256);
    uint32_t length = 256;
    CHECK(api.WrapKey(context, &wrapAlg, 0, nullptr, wrapping, key, sealed.wrapped.data(),
                      &length) == 0);
    CHECK(length <= 256);
    sealed.wrapped.resize(length);
    CHECK(api.DestroyContext(context) == 0);

    context = NewContext(api);
    sealed.iv.resize(aes ? 16 : 8);
    CHECK(api.GetRandom(context, sealed.iv.data(), static_cast<uint32_t>(sealed.iv.size())) == 0);
    PexParameters params = {1, PEX_PARAM_IV,    0, static_cast<uint32_t>(sealed.iv.size()),
                            0, sealed.iv.data()};
    PexAlgorithm cipher = {aes ? OID_AES128_CBC : OID_PEX_CBC8_PAD, &params, sizeof params};
    CHECK(api.DataEncryptInit(context, &cipher, key) == 0);
    sealed.cipherText.resize(64);
    const uint32_t n = sizeof kSecret;
    if (aes) {
        uint8_t last[16];
        const uint32_t whole = n & ~15u;
        const uint32_t rest = n % 16;
        memcpy(last, kSecret + whole, rest);
        memset(last + rest, static_cast<int>(16 - rest), 16 - rest);
        uint32_t c1 = 64;
        CHECK(api.EncryptUpdate(context, kSecret, whole, sealed.cipherText.data(), &c1) == 0);
        uint32_t c2 = 64 - c1;
        CHECK(api.EncryptUpdate(context, last, 16, sealed.cipherText.data() + c1, &c2) == 0);
        uint32_t c3 = 64 - c1 - c2;
        CHECK(api.EncryptFinal(context, sealed.cipherText.data() + c1 + c2, &c3) == 0);
        sealed.cipherText.resize(c1 + c2 + c3);
        CHECK(sealed.cipherText.size() == 48);
    } else {
        uint32_t c = 64;
        CHECK(api.Encrypt(context, kSecret, n, sealed.cipherText.data(), &c) == 0);
        sealed.cipherText.resize(c);
        CHECK(c == 48);
    }
    CHECK(api.DestroyContext(context) == 0);

    context = NewContext(api);
    CHECK(api.DestroyObject(context, key) == 0);
    CHECK(api.DestroyObject(context, key) != 0);
    CHECK(api.DestroyContext(context) == 0);
    return sealed;
}

/* Unwraps and decrypts; the result must be kSecret. */
void Open(const Api &api, PexHandle wrapping, const Sealed &sealed, bool aes) {
    PexHandle context = NewContext(api);
    PexHandle key = 0;
    CHECK(api.UnwrapKey(context, wrapping, sealed.wrapped.data(),
                        static_cast<uint32_t>(sealed.wrapped.size()), &key) == 0);
    CHECK(api.DestroyContext(context) == 0);

    context = NewContext(api);
    PexParameters params = {1, PEX_PARAM_IV,    0, static_cast<uint32_t>(sealed.iv.size()),
                            0, sealed.iv.data()};
    PexAlgorithm cipher = {aes ? OID_AES128_CBC : OID_PEX_CBC8_PAD, &params, sizeof params};
    CHECK(api.DataDecryptInit(context, &cipher, key) == 0);
    uint8_t out[64];
    uint32_t n = sizeof out;
    CHECK(api.Decrypt(context, sealed.cipherText.data(),
                      static_cast<uint32_t>(sealed.cipherText.size()), out, &n) == 0);
    if (aes) {
        CHECK(n == 48);  // the layer's own padding comes back and is removed here
        n -= out[n - 1];
    }
    CHECK(n == sizeof kSecret);
    CHECK(memcmp(out, kSecret, n) == 0);
    CHECK(api.DestroyObject(context, key) == 0);
    CHECK(api.DestroyContext(context) == 0);
}

void WriteBlock(FILE *f, const std::vector<uint8_t> &bytes) {
    const uint32_t n = static_cast<uint32_t>(bytes.size());
    CHECK(fwrite(&n, sizeof n, 1, f) == 1);
    CHECK(fwrite(bytes.data(), 1, n, f) == n);
}

std::vector<uint8_t> ReadBlock(FILE *f) {
    uint32_t n = 0;
    CHECK(fread(&n, sizeof n, 1, f) == 1 && n <= 4096);
    std::vector<uint8_t> bytes(n);
    CHECK(fread(bytes.data(), 1, n, f) == n);
    return bytes;
}

int Unwrap(const Api &api, const char *file) {
    uint64_t pid = static_cast<uint64_t>(getpid());
    CHECK(api.Init(&pid) == 0);
    uint32_t kind = 0;
    const PexHandle wrapping = FindWrappingKey(api, &kind);
    FILE *f = fopen(file, "rb");
    CHECK(f != nullptr);
    for (bool aes : {true, false}) {
        Sealed sealed;
        sealed.wrapped = ReadBlock(f);
        sealed.iv = ReadBlock(f);
        sealed.cipherText = ReadBlock(f);
        Open(api, wrapping, sealed, aes);
    }
    fclose(f);
    api.ShutdownAll();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s MODULE [--unwrap FILE]\n", argv[0]);
        return 2;
    }
    const Api api = Load(argv[1]);
    if (argc == 4 && strcmp(argv[2], "--unwrap") == 0) {
        return Unwrap(api, argv[3]);
    }

    // No session yet: the wrappers refuse without reaching the library.
    PexHandle context = 0;
    CHECK(api.CreateContext(0, &context) == -1496);

    uint64_t pid = static_cast<uint64_t>(getpid());
    CHECK(api.Init(&pid) == 0);
    uint32_t kind = 0;
    const PexHandle wrapping = FindWrappingKey(api, &kind);
    CHECK(kind == 1 || kind == 2 || kind == 12);
    const Sealed aes = Seal(api, wrapping, kind, true);
    const Sealed tdes = Seal(api, wrapping, kind, false);
    // This process can open what it sealed.
    Open(api, wrapping, aes, true);
    Open(api, wrapping, tdes, false);
    api.ShutdownAll();
    CHECK(api.CreateContext(0, &context) == -1496);

    char file[] = "/tmp/pex2-e2e-XXXXXX";
    const int fd = mkstemp(file);
    CHECK(fd >= 0);
    FILE *f = fdopen(fd, "wb");
    CHECK(f != nullptr);
    for (const Sealed *sealed : {&aes, &tdes}) {
        WriteBlock(f, sealed->wrapped);
        WriteBlock(f, sealed->iv);
        WriteBlock(f, sealed->cipherText);
    }
    CHECK(fclose(f) == 0);

    // The second process: a fresh program, the same platform root.
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        execl("/proc/self/exe", argv[0], argv[1], "--unwrap", file, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    unlink(file);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    printf(
        "end to end: kind %u wrapping key, AES-128-CBC and triple DES keys unwrapped in a "
        "second process\n",
        kind);
    return 0;
}
