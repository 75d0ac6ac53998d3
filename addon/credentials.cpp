// arb_set_credentials and arb_get_credentials: a service account's user name
// and password kept in the credential store, the password only as a blob
// protected by the local secret protection layer.
//
// Every buffer that holds a password in clear is wiped before the function
// that owns it returns, on every path, so that no copy is left behind on the
// stack or the heap of the Node.js process.
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "addon/addon.h"
#include "addon/addon_internal.h"
#include "addon/credentials.h"
#include "addon/request.h"
#include "lss/lss.h"
#include "platform/credstore/kavocredstore.h"

namespace {

// Holds the module's request lock (kept by the protection layer, whose exit
// handler takes it too) for the scope.  Declared before ShutdownOnExit in a
// request, so the session is shut down before the lock is released.
class RequestLock {
  public:
    RequestLock() { lssRequestEnter(); }
    RequestLock(const RequestLock &) = delete;
    RequestLock &operator=(const RequestLock &) = delete;
    ~RequestLock() { lssRequestLeave(); }
};

// Wipes a buffer when the scope that owns it ends.  explicit_bzero is not
// removed by the optimiser even though the buffer is dead afterwards.
class WipeOnExit {
  public:
    WipeOnExit(void *buffer, size_t size) : buffer_(buffer), size_(size) {}
    WipeOnExit(const WipeOnExit &) = delete;
    WipeOnExit &operator=(const WipeOnExit &) = delete;
    ~WipeOnExit() { explicit_bzero(buffer_, size_); }

  private:
    void *buffer_;
    size_t size_;
};

// Calls LSSShutdown exactly once when the scope ends: every way out of a
// request after LSSInit closes the protection session, so the next request
// starts it afresh.
class ShutdownOnExit {
  public:
    ShutdownOnExit() = default;
    ShutdownOnExit(const ShutdownOnExit &) = delete;
    ShutdownOnExit &operator=(const ShutdownOnExit &) = delete;
    ~ShutdownOnExit() { (void)LSSShutdown(); }
};

// Copies at most `limit` bytes, stopping at the first zero byte; the rest of
// the `limit` bytes of the target are written as zeros.
void copyUpToZero(char *target, const char *source, size_t limit) {
    size_t length = strnlen(source, limit);
    memcpy(target, source, length);
    memset(target + length, 0, limit - length);
}

// A JavaScript string of a fixed-size field's text: up to its first zero
// byte, or the whole field when it holds none (so a stored user name of 256
// bytes is returned whole without reading past it).
template <size_t N>
napi_status makeFieldString(napi_env env, const char (&field)[N], napi_value *out) {
    return napi_create_string_utf8(env, field, strnlen(field, N), out);
}

}  // namespace

int32_t encryptCredential(const char *password, ProtectedSecret *protectedSecret) {
    if (password == nullptr || protectedSecret == nullptr) {
        MFA_FAIL(KAVO_STEP_INPUT, "encryptCredential", "Invalid argument to encryptCredential");
        return -1;
    }
    // The plaintext is the password with its terminating zero.
    const uint32_t plaintextLength = static_cast<uint32_t>(strlen(password)) + 1;
    int32_t size = 0;

    RequestLock lock;
    (void)LSSInit();
    ShutdownOnExit shutdown;

    int32_t status = LSSProtect(MFA_CRED_LABEL, MFA_CRED_LABEL_LENGTH, MFA_CRED_PROTECT_MODE,
                                password, plaintextLength, nullptr, &size);
    if (status != 0) {
        MFA_FAIL_STATUS(KAVO_STEP_PROTECT, status, "encryptCredential",
                        "Error while encrypting the data, Error: <%d>", status);
        return -1;
    }
    if (size <= 0) {
        MFA_FAIL(KAVO_STEP_PROTECT, "encryptCredential", "Invalid size of the protected data - %d",
                 size);
        return -1;
    }
    const int32_t room = size;
    unsigned char *blob = static_cast<unsigned char *>(malloc(static_cast<size_t>(room)));
    if (blob == nullptr) {
        MFA_FAIL(KAVO_STEP_MEMORY, "encryptCredential", "Out of Memory [FAIL]\n");
        return -1;
    }
    status = LSSProtect(MFA_CRED_LABEL, MFA_CRED_LABEL_LENGTH, MFA_CRED_PROTECT_MODE, password,
                        plaintextLength, blob, &size);
    if (status != 0) {
        MFA_FAIL_STATUS(KAVO_STEP_PROTECT, status, "encryptCredential",
                        "Error while encrypting the data, Error: <%d>", status);
        free(blob);
        return -1;
    }
    // The blob must lie within the room it was given and fit the record's
    // secret field; anything else would copy past one of the two.
    if (size < 0 || size > room || static_cast<uint32_t>(size) > CREDSTORE_SECRET_SIZE) {
        MFA_FAIL(KAVO_STEP_PROTECT, "encryptCredential",
                 "Protected data of %d bytes does not fit the credential record", size);
        free(blob);
        return -1;
    }
    protectedSecret->length = size;
    memcpy(protectedSecret->bytes, blob, static_cast<size_t>(size));
    free(blob);
    return 0;
}

int32_t set_creds_in_arb(const char *serviceName, const char *userName, const char *password) {
    ProtectedSecret protectedSecret = {};
    CredentialRecord credentialRecord = {};
    ServiceEntry serviceEntry = {};

    if (serviceName == nullptr || userName == nullptr || password == nullptr) {
        MFA_FAIL(KAVO_STEP_INPUT, "set_creds_in_arb", "Invalid argument to set_creds_in_arb");
        return -1;
    }
    const size_t serviceLength = strlen(serviceName);
    if (serviceLength >= CREDSTORE_SERVICE_NAME_SIZE) {
        MFA_FAIL(KAVO_STEP_INPUT, "set_creds_in_arb", "Service name too long - %lu bytes",
                 static_cast<unsigned long>(serviceLength));
        return -1;
    }
    const size_t userLength = strlen(userName);
    if (userLength >= CREDSTORE_USER_NAME_SIZE) {
        MFA_FAIL(KAVO_STEP_INPUT, "set_creds_in_arb",
                 "User name too long for service %s - %lu bytes", serviceName,
                 static_cast<unsigned long>(userLength));
        return -1;
    }

    // A password is stored only if a read can give it back whole: the read
    // opens it into MFA_PASSWORD_ROOM bytes, its zero included.
    const size_t passwordLength = strlen(password);
    if (passwordLength >= MFA_PASSWORD_ROOM) {
        MFA_FAIL(KAVO_STEP_INPUT, "set_creds_in_arb",
                 "Password too long for service %s - %lu bytes", serviceName,
                 static_cast<unsigned long>(passwordLength));
        return -1;
    }

    // A store request gives the name's length without its zero.
    serviceEntry.nameLength = static_cast<uint32_t>(serviceLength);
    memcpy(serviceEntry.name, serviceName, serviceLength + 1);
    credentialRecord.userNameLength = static_cast<uint32_t>(userLength + 1);
    memcpy(credentialRecord.userName, userName, userLength + 1);

    // encryptCredential has logged the reason of any failure.
    if (encryptCredential(password, &protectedSecret) != 0) {
        return -1;
    }
    credentialRecord.secretLength = static_cast<uint32_t>(protectedSecret.length);
    memcpy(credentialRecord.secret, protectedSecret.bytes,
           static_cast<size_t>(protectedSecret.length));

    const int32_t status = arb_set_credential(&serviceEntry, &credentialRecord);
    if (status == 0) {
        return 0;
    }
    if (status == CREDSTORE_ERR_USER_NAME_NOT_SET) {
        MFA_FAIL_STATUS(KAVO_STEP_STORE, status, "set_creds_in_arb",
                        "User name is not set for service %s", serviceName);
        return status;
    }
    MFA_FAIL_STATUS(KAVO_STEP_STORE, status, "set_creds_in_arb",
                    "Error in setting credential for service %s errorCode %d ", serviceName,
                    status);
    return status;
}

int32_t ReadSetCredentialsArguments(napi_env env, const napi_value *argv,
                                    KavoSetCredentials *request) {
    mfaRecordBegin();
    // Read sizes one below the buffers: at most 254 bytes of each name and
    // 126 of the password; a longer string is refused, never cut, so that
    // two names sharing their first 254 bytes never share one credential
    // and no password is stored shorter than it was given.
    if (!MFA_READ_STRING(
            "arb_set_credentials", "napi_get_value_string_utf8 to get applicationName failed",
            "applicationName", env, argv[0], request->applicationName, 255, MFA_REFUSE_LONGER) ||
        !MFA_READ_STRING("arb_set_credentials", "napi_get_value_string_utf8 to get username failed",
                         "username", env, argv[1], request->userName, 255, MFA_REFUSE_LONGER) ||
        !MFA_READ_STRING("arb_set_credentials", "napi_get_value_string_utf8 to get password failed",
                         "password", env, argv[2], request->password, 127, MFA_REFUSE_LONGER)) {
        return -1;
    }
    return 0;
}

int32_t SetCredentialsCore(KavoSetCredentials *request) {
    mfaRecordBegin();
    if (set_creds_in_arb(request->applicationName, request->userName, request->password) != 0) {
        MFA_ERR("arb_set_credentials", "set_creds_in_arb failed");
        return -1;
    }
    return 0;
}

napi_value MakeSetCredentialsResult(napi_env env, KavoSetCredentials * /*request*/) {
    napi_value status = nullptr;
    napi_value result = nullptr;
    mfaRecordBegin();
    const bool built =
        MFA_NAPI_STEP("arb_set_credentials", "napi_create_object failed in arb_set_credentials",
                      napi_create_object(env, &result)) &&
        MFA_NAPI_STEP("arb_set_credentials", "napi_create_string_utf8 failed for status",
                      napi_create_string_utf8(env, "OK", NAPI_AUTO_LENGTH, &status)) &&
        MFA_NAPI_STEP("arb_set_credentials", "napi_set_named_property failed for status",
                      napi_set_named_property(env, result, "status", status));
    return built ? result : nullptr;
}

napi_value arb_set_credentials(napi_env env, napi_callback_info info) {
    KavoSetCredentials request = {};
    WipeOnExit wipePassword(request.password, sizeof request.password);
    // Once the work phase succeeded the credential is stored, even if
    // building the result fails.
    return MFA_RUN_CALLBACK("arb_set_credentials", "napi_get_cb_info failed", env, info, &request,
                            ReadSetCredentialsArguments, SetCredentialsCore,
                            MakeSetCredentialsResult);
}

int32_t load_creds_from_arb(const char *serviceName, char *userNameOut, char *passwordOut) {
    char password[MFA_PASSWORD_ROOM] = {};
    WipeOnExit wipePassword(password, sizeof password);
    ServiceEntry serviceEntry = {};
    CredentialRecord credentialRecord = {};
    uint32_t passwordLength = MFA_PASSWORD_ROOM;

    if (serviceName == nullptr || userNameOut == nullptr) {
        MFA_FAIL(KAVO_STEP_INPUT, "load_creds_from_arb", "Invalid argument to load_creds_from_arb");
        return -1;
    }
    // A read request gives the name's length with its zero; name and zero
    // must fit the record's field.
    const size_t serviceLength = strlen(serviceName);
    if (serviceLength >= CREDSTORE_SERVICE_NAME_SIZE) {
        MFA_FAIL(KAVO_STEP_INPUT, "load_creds_from_arb", "Service name too long - %lu bytes",
                 static_cast<unsigned long>(serviceLength));
        return -1;
    }
    serviceEntry.nameLength = static_cast<uint32_t>(serviceLength + 1);
    memcpy(serviceEntry.name, serviceName, serviceLength + 1);

    RequestLock lock;
    (void)LSSInit();
    ShutdownOnExit shutdown;

    const int32_t status = arb_get_credential(&serviceEntry, &credentialRecord);
    if (status == CREDSTORE_ERR_NOT_FOUND) {
        MFA_FAIL_STATUS(KAVO_STEP_STORE, status, "load_creds_from_arb",
                        "Service entry <%s> not found in ARB", serviceName);
        return -1;
    }
    if (status != 0) {
        MFA_FAIL_STATUS(KAVO_STEP_STORE, status, "load_creds_from_arb",
                        "Error in retrieving credentials for <%s> from ARB, Error - <%d>",
                        serviceName, status);
        return -1;
    }
    // The store hands back whatever was stored; its lengths are checked
    // before they are used to read the record.
    if (credentialRecord.userNameLength > MFA_USER_NAME_ROOM) {
        MFA_FAIL(KAVO_STEP_STORED_RECORD, "load_creds_from_arb", "Invalid user Name length - %d",
                 static_cast<int32_t>(credentialRecord.userNameLength));
        return -1;
    }
    copyUpToZero(userNameOut, credentialRecord.userName, credentialRecord.userNameLength);
    if (passwordOut == nullptr) {
        return 0;
    }
    if (credentialRecord.secretLength > CREDSTORE_SECRET_SIZE) {
        MFA_FAIL(KAVO_STEP_STORED_RECORD, "load_creds_from_arb", "Invalid secret length - %u",
                 credentialRecord.secretLength);
        return -1;
    }
    const int32_t unprotectStatus =
        LSSUnprotect(MFA_CRED_LABEL, MFA_CRED_LABEL_LENGTH, credentialRecord.secret,
                     credentialRecord.secretLength, password, &passwordLength);
    if (unprotectStatus != 0) {
        MFA_FAIL_STATUS(KAVO_STEP_UNPROTECT, unprotectStatus, "load_creds_from_arb",
                        "Error while decrypting proxy password retrieved from ARB, Error: <%d>",
                        unprotectStatus);
        return -1;
    }
    // Taken as signed: a length that is negative as well as one above the
    // room would reach past the password buffer.
    const int32_t signedLength = static_cast<int32_t>(passwordLength);
    if (signedLength > MFA_PASSWORD_ROOM || signedLength < 0) {
        MFA_FAIL(KAVO_STEP_STORED_RECORD, "load_creds_from_arb", "Invalid password length - %d",
                 signedLength);
        return -1;
    }
    copyUpToZero(passwordOut, password, static_cast<size_t>(signedLength));
    return 0;
}

int32_t ReadGetCredentialsArguments(napi_env env, const napi_value *argv,
                                    KavoGetCredentials *request) {
    mfaRecordBegin();
    if (!MFA_READ_STRING("arb_get_credentials", "napi_get_value_string_utf8 failed", "serviceName",
                         env, argv[0], request->serviceName, 255, MFA_REFUSE_LONGER)) {
        return -1;
    }
    return 0;
}

int32_t GetCredentialsCore(KavoGetCredentials *request) {
    mfaRecordBegin();
    if (load_creds_from_arb(request->serviceName, request->userName, request->password) != 0) {
        MFA_ERR("arb_get_credentials", "load_creds_from_arb failed");
        return -1;
    }
    return 0;
}

napi_value MakeGetCredentialsResult(napi_env env, KavoGetCredentials *request) {
    napi_value napiUserName = nullptr;
    napi_value napiPassword = nullptr;
    napi_value result = nullptr;
    mfaRecordBegin();
    const bool built =
        MFA_NAPI_STEP("arb_get_credentials", "napi_create_object failed for credentialsObject",
                      napi_create_object(env, &result)) &&
        MFA_NAPI_STEP("arb_get_credentials",
                      "napi_create_string_utf8 failed for username in arb_get_credentials",
                      makeFieldString(env, request->userName, &napiUserName)) &&
        MFA_NAPI_STEP("arb_get_credentials",
                      "napi_create_string_utf8 failed for password in arb_get_credentials",
                      makeFieldString(env, request->password, &napiPassword)) &&
        MFA_NAPI_STEP("arb_get_credentials",
                      "napi_set_named_property failed for username in arb_get_credentials",
                      napi_set_named_property(env, result, "user_name", napiUserName)) &&
        MFA_NAPI_STEP("arb_get_credentials",
                      "napi_set_named_property failed for password in arb_get_credentials",
                      napi_set_named_property(env, result, "password", napiPassword));
    return built ? result : nullptr;
}

napi_value arb_get_credentials(napi_env env, napi_callback_info info) {
    KavoGetCredentials request = {};
    WipeOnExit wipePassword(request.password, sizeof request.password);
    return MFA_RUN_CALLBACK("arb_get_credentials", "napi_get_cb_info failed", env, info, &request,
                            ReadGetCredentialsArguments, GetCredentialsCore,
                            MakeGetCredentialsResult);
}
