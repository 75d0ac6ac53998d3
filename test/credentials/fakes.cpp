// Test doubles for credentials.cpp; see fakes.h.
#include "test/credentials/fakes.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include <cstring>
#include <deque>

#include "lss/lss.h"

namespace fakes {

NapiFailures napiFailures;
NapiLog napiLog;
LssConfig lss;
LssLog lssLog;
StoreState store;
std::vector<LogLine> logLines;

namespace {

struct CallInfo {
    std::vector<napi_value> values;
};

// Stable addresses for every value handed out during one test.
std::deque<Value> valuePool;
std::deque<CallInfo> callPool;
int createObjectCalls = 0;
int createStringCalls = 0;
int setNamedPropertyCalls = 0;

Value *newValue()
{
    valuePool.emplace_back();
    return &valuePool.back();
}

Value *undefinedValue()
{
    static Value undefined;
    return &undefined;
}

}  // namespace

napi_value string(const std::string &text)
{
    Value *value = newValue();
    value->kind = Value::String;
    value->text = text;
    return reinterpret_cast<napi_value>(value);
}

napi_callback_info args(std::initializer_list<napi_value> values)
{
    callPool.push_back(CallInfo{values});
    return reinterpret_cast<napi_callback_info>(&callPool.back());
}

Value *asValue(napi_value value)
{
    return reinterpret_cast<Value *>(value);
}

unsigned char blobByte(size_t index)
{
    return static_cast<unsigned char>(0xB0 ^ (index * 13));
}

void reset()
{
    napiFailures = {};
    napiLog = {};
    lss = {};
    lssLog = {};
    store = {};
    logLines.clear();
    valuePool.clear();
    callPool.clear();
    createObjectCalls = createStringCalls = setNamedPropertyCalls = 0;
}

std::vector<std::string> messages()
{
    static const std::string prefix = "MFA-NAPI: <";
    std::vector<std::string> out;
    for (const LogLine &line : logLines) {
        const std::string &t = line.text;
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

// ---- syslog: captured instead of sent -------------------------------------
extern "C" void syslog(int priority, const char *format, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    logLines.push_back({priority, format, text});
}

// ---- Node-API ---------------------------------------------------------------
extern "C" napi_status napi_get_cb_info(napi_env, napi_callback_info cbinfo, size_t *argc,
                                       napi_value *argv, napi_value *thisArg, void **data)
{
    const auto *info = reinterpret_cast<const CallInfo *>(cbinfo);
    for (size_t i = 0; i < *argc; ++i) {
        argv[i] = i < info->values.size() ? info->values[i]
                                          : reinterpret_cast<napi_value>(undefinedValue());
    }
    *argc = info->values.size();
    if (thisArg != nullptr) {
        *thisArg = nullptr;
    }
    if (data != nullptr) {
        *data = nullptr;
    }
    return napi_ok;
}

extern "C" napi_status napi_get_value_string_utf8(napi_env, napi_value value, char *buf, size_t bufsize,
                                                  size_t *result)
{
    napiLog.readSizes.push_back(bufsize);
    const Value *v = asValue(value);
    if (v->kind != Value::String) {
        return napi_string_expected;
    }
    size_t n = v->text.size() < bufsize - 1 ? v->text.size() : bufsize - 1;
    memcpy(buf, v->text.data(), n);
    buf[n] = '\0';
    if (result != nullptr) {
        *result = n;
    }
    return napi_ok;
}

extern "C" napi_status napi_create_object(napi_env, napi_value *result)
{
    if (++createObjectCalls == napiFailures.createObject) {
        return napi_generic_failure;
    }
    Value *v = newValue();
    v->kind = Value::Object;
    *result = reinterpret_cast<napi_value>(v);
    return napi_ok;
}

extern "C" napi_status napi_create_string_utf8(napi_env, const char *str, size_t length, napi_value *result)
{
    napiLog.createdFrom.push_back(str);
    if (++createStringCalls == napiFailures.createString) {
        return napi_generic_failure;
    }
    // NAPI_AUTO_LENGTH reads up to the zero byte: a buffer without one is
    // read past its end, which the address sanitizer reports.
    size_t n = length == NAPI_AUTO_LENGTH ? strlen(str) : length;
    *result = string(std::string(str, n));
    return napi_ok;
}

extern "C" napi_status napi_set_named_property(napi_env, napi_value object, const char *utf8name,
                                               napi_value value)
{
    if (++setNamedPropertyCalls == napiFailures.setNamedProperty) {
        return napi_generic_failure;
    }
    asValue(object)->props.emplace_back(utf8name, asValue(value));
    return napi_ok;
}

// ---- Protection layer ---------------------------------------------------------
// The request lock: these tests run on one thread.
extern "C" void lssRequestEnter(void) {}
extern "C" void lssRequestLeave(void) {}

extern "C" int32_t LSSInit(void)
{
    ++lssLog.inits;
    return 0;
}

extern "C" int32_t LSSShutdown(void)
{
    ++lssLog.shutdowns;
    return 0;
}

extern "C" int32_t LSSProtect(const void *label, int32_t labelLength, int32_t mode, const void *data,
                              uint32_t dataLength, void *out, int32_t *outLength)
{
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

extern "C" int32_t LSSUnprotect(const void *label, int32_t labelLength, const void *, uint32_t blobLength,
                                void *out, uint32_t *outLength)
{
    ++lssLog.unprotects;
    lssLog.unprotectLabel.assign(static_cast<const char *>(label), static_cast<size_t>(labelLength));
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
extern "C" int32_t arb_set_credential(const ServiceEntry *serviceEntry, const CredentialRecord *credentialRecord)
{
    ++store.sets;
    lssLog.shutdownsBeforeStore = lssLog.shutdowns;
    store.lastSetEntry = *serviceEntry;
    store.lastSetRecord = *credentialRecord;
    return store.setStatus;
}

extern "C" int32_t arb_get_credential(const ServiceEntry *serviceEntry, CredentialRecord *credentialRecord)
{
    ++store.gets;
    lssLog.shutdownsBeforeStore = lssLog.shutdowns;
    store.lastGetEntry = *serviceEntry;
    if (store.getStatus != 0) {
        return store.getStatus;
    }
    *credentialRecord = store.getRecord;
    return 0;
}
