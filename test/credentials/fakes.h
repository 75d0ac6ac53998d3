// Test doubles for everything credentials.cpp calls outside itself: the
// protection layer and the credential store here, Node-API and syslog from
// test/support.  Each double records what it was given and answers as configured,
// so that a test can drive every step and failure of the add-on's credential
// paths without a Node.js process.
#ifndef KAVO_TEST_CREDENTIALS_FAKES_H
#define KAVO_TEST_CREDENTIALS_FAKES_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/credstore/kavocredstore.h"
#include "test/support/fake_napi.h"
#include "test/support/fake_syslog.h"

namespace fakes {

// ---- Protection layer ------------------------------------------------------
struct ProtectCall {
    std::string label;
    int32_t labelLength = 0;
    int32_t mode = 0;
    std::string data;  // dataLength bytes
    bool hasOut = false;
    int32_t roomIn = 0;
    const void *dataPointer = nullptr;
};

struct LssConfig {
    int32_t sizeQueryStatus = 0;
    int32_t protectStatus = 0;
    // Size bound reported by the query; -1 means plaintext length + 64.
    int32_t bound = -1;
    // Blob length written by the protect call; -1 means bound - 10.
    int32_t blobLength = -1;
    int32_t unprotectStatus = 0;
    // Plaintext written by LSSUnprotect (up to the room) and the length it
    // reports (by default the plaintext's size).
    std::string plaintext;
    std::optional<uint32_t> reportedLength;
};

struct LssLog {
    int inits = 0;
    int shutdowns = 0;
    std::vector<ProtectCall> protects;
    int unprotects = 0;
    std::string unprotectLabel;
    int32_t unprotectLabelLength = 0;
    uint32_t unprotectBlobLength = 0;
    uint32_t unprotectRoom = 0;
    void *unprotectOut = nullptr;
    // LSSShutdown calls seen before the store was called.
    int shutdownsBeforeStore = -1;
};

// The blob bytes the protect double writes: a recognisable pattern.
unsigned char blobByte(size_t index);

// ---- Credential store --------------------------------------------------------
struct StoreState {
    int32_t setStatus = 0;
    int32_t getStatus = 0;
    int sets = 0;
    int gets = 0;
    ServiceEntry lastSetEntry{};
    CredentialRecord lastSetRecord{};
    ServiceEntry lastGetEntry{};
    CredentialRecord getRecord{};  // handed back by arb_get_credential
};

extern LssConfig lss;
extern LssLog lssLog;
extern StoreState store;

// Clears every double back to its defaults.
void reset();

// The system log's records, in order, each as "function| text" with the prefix and the
// line number taken off; a line that does not start with
// "MFA-NAPI: <function:line> " or is not at LOG_ERR comes back whole,
// marked "UNEXPECTED: ".
std::vector<std::string> messages();

}  // namespace fakes

#endif
