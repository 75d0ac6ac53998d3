// The PKCS#11 token a platform root is configured with (tools/softhsm-token),
// seen from a test: its entries in the mounted configuration, and a session
// of the test's own on the token, to look at the machine keys from outside
// the crypto service, take them away, or put known ones in their place.
//
// The token library is the one the service loads, so in a process that also
// uses the service both share it: this session never finalises the library
// nor logs out, and takes "already initialised" and "already logged in" as
// they come.
#ifndef KAVO_TEST_SUPPORT_TEST_TOKEN_H
#define KAVO_TEST_SUPPORT_TEST_TOKEN_H

#include <dlfcn.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace kavotest {

constexpr const char *kConfigPath = "/etc/opt/zorvex/vesk64.cfg";
constexpr const char *kTokenMarkerPath = "/etc/opt/zorvex/system/xmgrcfg.tk0";
constexpr const char *kWrappingKeyLabel = "pex2 wrapping key";
constexpr const char *kPartitionKeyLabel = "pex2 partition key";

/* The value of a string entry of the mounted configuration, "" if none. */
inline std::string ConfigEntry(const std::string &name) {
    std::ifstream in(kConfigPath);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size() + 3, name + ":s:") == 0) {
            const size_t value = line.find(':', name.size() + 3);
            return value == std::string::npos ? "" : line.substr(value + 1);
        }
    }
    return "";
}

/* True when the root's machine keys are kept in a token. */
inline bool TokenConfigured() {
    return !ConfigEntry("Pkcs11Module").empty();
}

class TestToken {
  public:
    TestToken() = default;
    TestToken(const TestToken &) = delete;
    TestToken &operator=(const TestToken &) = delete;
    ~TestToken() {
        if (open_) {
            p11_->C_CloseSession(session_);
        }
    }

    /* Opens a session on the configured token and logs in with the root's
     * PIN file; false (with the reason in error()) when it cannot. */
    bool Open() {
        void *library = dlopen(ConfigEntry("Pkcs11Module").c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getList =
            library == nullptr
                ? nullptr
                : reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        if (getList == nullptr || getList(&p11_) != CKR_OK) {
            return Failed("no PKCS#11 library");
        }
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        const CK_RV init = p11_->C_Initialize(&args);
        if (init != CKR_OK && init != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            return Failed("C_Initialize");
        }
        CK_SLOT_ID slots[16];
        CK_ULONG count = 16;
        if (p11_->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) {
            return Failed("C_GetSlotList");
        }
        std::string label = ConfigEntry("Pkcs11TokenLabel");
        label.resize(32, ' ');
        for (CK_ULONG i = 0; i < count && !open_; ++i) {
            CK_TOKEN_INFO info{};
            if (p11_->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
                memcmp(info.label, label.data(), 32) == 0) {
                slot_ = slots[i];
                open_ = p11_->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                            nullptr, &session_) == CKR_OK;
            }
        }
        std::ifstream pinFile(ConfigEntry("Pkcs11PinFile").c_str());
        std::string pin;
        std::getline(pinFile, pin);
        const CK_RV login =
            open_ ? p11_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(pin.data()),
                                  pin.size())
                  : CKR_TOKEN_NOT_PRESENT;
        return login == CKR_OK || login == CKR_USER_ALREADY_LOGGED_IN ? true : Failed("C_Login");
    }

    const std::string &error() const { return error_; }

    /* Secret keys with the label. */
    std::vector<CK_OBJECT_HANDLE> Find(const char *label) {
        CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
        CK_ATTRIBUTE templ[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                {CKA_LABEL, const_cast<char *>(label), strlen(label)}};
        std::vector<CK_OBJECT_HANDLE> found(8);
        CK_ULONG count = 0;
        if (p11_->C_FindObjectsInit(session_, templ, 2) == CKR_OK) {
            p11_->C_FindObjects(session_, found.data(), found.size(), &count);
            p11_->C_FindObjectsFinal(session_);
        }
        found.resize(count);
        return found;
    }

    /* A CK_BBOOL or CK_ULONG attribute, or ~0 when the token gives none. */
    CK_ULONG Number(CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type) {
        CK_ULONG value = 0;
        CK_BBOOL flag = CK_FALSE;
        const bool boolean = type != CKA_KEY_TYPE && type != CKA_VALUE_LEN;
        CK_ATTRIBUTE attribute = {type, boolean ? static_cast<void *>(&flag) : &value,
                                  boolean ? sizeof flag : sizeof value};
        if (p11_->C_GetAttributeValue(session_, key, &attribute, 1) != CKR_OK) {
            return ~0UL;
        }
        return boolean ? flag : value;
    }

    /* What the token answers when asked for the key's value. */
    CK_RV ReadValue(CK_OBJECT_HANDLE key) {
        uint8_t value[64];
        CK_ATTRIBUTE attribute = {CKA_VALUE, value, sizeof value};
        return p11_->C_GetAttributeValue(session_, key, &attribute, 1);
    }

    /* Destroys every key with the label; the count destroyed. */
    size_t DestroyAll(const char *label) {
        size_t destroyed = 0;
        for (CK_OBJECT_HANDLE key : Find(label)) {
            destroyed += p11_->C_DestroyObject(session_, key) == CKR_OK ? 1 : 0;
        }
        return destroyed;
    }

    /* Puts a machine key of known value into the token, as sensitive and
     * non-extractable as one made there. */
    bool Import(const char *label, const uint8_t value[32], const std::string &id) {
        CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
        CK_KEY_TYPE type = CKK_AES;
        CK_BBOOL yes = CK_TRUE;
        CK_BBOOL no = CK_FALSE;
        CK_ATTRIBUTE templ[] = {
            {CKA_CLASS, &keyClass, sizeof keyClass},
            {CKA_KEY_TYPE, &type, sizeof type},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_SENSITIVE, &yes, sizeof yes},
            {CKA_EXTRACTABLE, &no, sizeof no},
            {CKA_ENCRYPT, &yes, sizeof yes},
            {CKA_DECRYPT, &yes, sizeof yes},
            {CKA_VALUE, const_cast<uint8_t *>(value), 32},
            {CKA_LABEL, const_cast<char *>(label), strlen(label)},
            {CKA_ID, const_cast<char *>(id.data()), id.size()},
        };
        CK_OBJECT_HANDLE key = 0;
        return p11_->C_CreateObject(session_, templ, sizeof templ / sizeof templ[0], &key) ==
               CKR_OK;
    }

    /* Whether another session of this process keeps the user logged in:
     * this session is closed and a new one opened without logging in.  A
     * token logs the user out when the last session of a process closes,
     * so the new session is a user's only while another is open. */
    bool LoggedInElsewhere() {
        p11_->C_CloseSession(session_);
        open_ = p11_->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                    &session_) == CKR_OK;
        CK_SESSION_INFO info{};
        return open_ && p11_->C_GetSessionInfo(session_, &info) == CKR_OK &&
               info.state == CKS_RW_USER_FUNCTIONS;
    }

  private:
    bool Failed(const char *what) {
        error_ = what;
        return false;
    }

    CK_FUNCTION_LIST *p11_ = nullptr;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = 0;
    bool open_ = false;
    std::string error_;
};

}  // namespace kavotest

#endif
