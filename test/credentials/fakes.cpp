// Test doubles for credentials.cpp; see fakes.h.
#include "test/credentials/fakes.h"

#include <syslog.h>

#include <cstring>

#include "lss/lss.h"

namespace fakes {

LssConfig lss;
LssLog lssLog;
StoreState store;

unsigned char blobByte(size_t index) {
    return static_cast<unsigned char>(0xB0 ^ (index * 13));
}

void reset() {
    napi() = Napi{};
    lss = {};
    lssLog = {};
    store = {};
    logRecords().clear();
}

std::vector<std::string> messages() {
    static const std::string prefix = "MFA-NAPI: <";
    std::vector<std::string> out;
    for (const LogRecord &line : logRecords()) {
        const std::string &t = line.message;
        size_t colon = t.find(':', prefix.size());
        size_t close = t.find("> ", prefix.size());
        bool digits = colon != std::string::npos && close != std::string::npos && close > colon + 1;
        for (size_t i = colon + 1; digits && i < close; ++i) {
            digits = t[i] >= '0' && t[i] <= '9';
        }
        if (line.priority != LOG_ERR || t.compare(0, prefix.size(), prefix) != 0 || !digits) {
            out.push_back("UNEXPECTED: " + t);
            continue;
        }
        out.push_back(t.substr(prefix.size(), colon - prefix.size()) + "| " + t.substr(close + 2));
    }
    return out;
}

}  // namespace fakes

using namespace fakes;

// ---- Protection layer ---------------------------------------------------------
// The request lock: these tests run on one thread.
extern "C" void lssRequestEnter(void) {}
extern "C" void lssRequestLeave(void) {}

extern "C" int32_t LSSInit(void) {
    ++lssLog.inits;
    return 0;
}

extern "C" int32_t LSSShutdown(void) {
    ++lssLog.shutdowns;
    return 0;
}

extern "C" int32_t LSSProtect(const void *label, int32_t labelLength, int32_t mode,
                              const void *data, uint32_t dataLength, void *out,
                              int32_t *outLength) {
    ProtectCall call;
    call.label.assign(static_cast<const char *>(label), static_cast<size_t>(labelLength));
    call.labelLength = labelLength;
    call.mode = mode;
    call.data.assign(static_cast<const char *>(data), dataLength);
    call.dataPointer = data;
    call.hasOut = out != nullptr;
    call.roomIn = *outLength;
    lssLog.protects.push_back(call);

    const int32_t bound = lss.bound >= 0 ? lss.bound : static_cast<int32_t>(dataLength) + 64;
    if (out == nullptr) {
        *outLength = bound;
        return lss.sizeQueryStatus;
    }
    if (lss.protectStatus != 0) {
        return lss.protectStatus;
    }
    const int32_t length = lss.blobLength >= 0 ? lss.blobLength : bound - 10;
    // Writes only within the room it was given, like the real layer; the
    // length it reports may be larger when a test asks for it.
    const int32_t written = length < *outLength ? length : *outLength;
    for (int32_t i = 0; i < written; ++i) {
        static_cast<unsigned char *>(out)[i] = blobByte(static_cast<size_t>(i));
    }
    *outLength = length;
    return 0;
}

extern "C" int32_t LSSUnprotect(const void *label, int32_t labelLength, const void *,
                                uint32_t blobLength, void *out, uint32_t *outLength) {
    ++lssLog.unprotects;
    lssLog.unprotectLabel.assign(static_cast<const char *>(label),
                                 static_cast<size_t>(labelLength));
    lssLog.unprotectLabelLength = labelLength;
    lssLog.unprotectBlobLength = blobLength;
    lssLog.unprotectRoom = *outLength;
    lssLog.unprotectOut = out;
    if (lss.unprotectStatus != 0) {
        return lss.unprotectStatus;
    }
    size_t n = lss.plaintext.size() < *outLength ? lss.plaintext.size() : *outLength;
    memcpy(out, lss.plaintext.data(), n);
    *outLength = lss.reportedLength.value_or(static_cast<uint32_t>(lss.plaintext.size()));
    return 0;
}

// ---- Credential store -----------------------------------------------------------
extern "C" int32_t arb_set_credential(const ServiceEntry *serviceEntry,
                                      const CredentialRecord *credentialRecord) {
    ++store.sets;
    lssLog.shutdownsBeforeStore = lssLog.shutdowns;
    store.lastSetEntry = *serviceEntry;
    store.lastSetRecord = *credentialRecord;
    return store.setStatus;
}

extern "C" int32_t arb_get_credential(const ServiceEntry *serviceEntry,
                                      CredentialRecord *credentialRecord) {
    ++store.gets;
    lssLog.shutdownsBeforeStore = lssLog.shutdowns;
    store.lastGetEntry = *serviceEntry;
    if (store.getStatus != 0) {
        return store.getStatus;
    }
    *credentialRecord = store.getRecord;
    return 0;
}
