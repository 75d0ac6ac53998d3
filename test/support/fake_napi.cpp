// The Node-API double; see fake_napi.h.
#include "test/support/fake_napi.h"

#include <algorithm>
#include <cstring>

namespace fakes {

Value *Napi::string(const std::string &text) {
    values.push_back(Value{Value::String, text, 0, {}});
    return &values.back();
}

Value *Napi::number(uint32_t value) {
    values.push_back(Value{Value::Number, {}, value, {}});
    return &values.back();
}

Napi &napi() {
    static Napi double_;
    return double_;
}

napi_callback_info args(std::initializer_list<napi_value> values) {
    napi().arguments.clear();
    for (napi_value value : values) {
        napi().arguments.push_back(asValue(value));
    }
    return nullptr;
}

napi_value string(const std::string &text) {
    return reinterpret_cast<napi_value>(napi().string(text));
}

void failNapi(const char *function, int nth) {
    napi().failFunction = function;
    napi().failOnCall = nth;
}

}  // namespace fakes

namespace {

napi_value handleOf(fakes::Value *value) {
    return reinterpret_cast<napi_value>(value);
}

// Counts the call and says whether it is the one that must fail.
bool failing(const char *function) {
    fakes::Napi &napi = fakes::napi();
    return ++napi.calls[function] == napi.failOnCall && napi.failFunction == function;
}

}  // namespace

extern "C" {

napi_status napi_get_cb_info(napi_env, napi_callback_info, size_t *argc, napi_value *argv,
                             napi_value *thisArg, void **data) {
    if (failing("napi_get_cb_info")) {
        return napi_generic_failure;
    }
    fakes::Napi &napi = fakes::napi();
    for (size_t i = 0; i < *argc; ++i) {
        argv[i] = i < napi.arguments.size() ? handleOf(napi.arguments[i])
                                            : handleOf(&napi.values.emplace_back());
    }
    *argc = napi.arguments.size();
    if (thisArg != nullptr) {
        *thisArg = nullptr;
    }
    if (data != nullptr) {
        *data = nullptr;
    }
    return napi_ok;
}

napi_status napi_get_value_string_utf8(napi_env, napi_value value, char *buffer, size_t size,
                                       size_t *length) {
    // A null buffer asks for the whole length, as in Node-API; it is not a
    // read, so its size is not recorded.
    if (buffer != nullptr) {
        fakes::napi().readSizes.push_back(size);
    }
    if (failing("napi_get_value_string_utf8")) {
        return napi_generic_failure;
    }
    const fakes::Value *v = fakes::asValue(value);
    if (v->kind != fakes::Value::String) {
        return napi_string_expected;
    }
    if (buffer == nullptr) {
        if (length == nullptr) {
            return napi_invalid_arg;
        }
        *length = v->text.size();
        return napi_ok;
    }
    const size_t copied = std::min(v->text.size(), size - 1);
    memcpy(buffer, v->text.data(), copied);
    buffer[copied] = '\0';
    if (length != nullptr) {
        *length = copied;
    }
    return napi_ok;
}

napi_status napi_create_uint32(napi_env, uint32_t number, napi_value *result) {
    if (failing("napi_create_uint32")) {
        return napi_generic_failure;
    }
    *result = handleOf(fakes::napi().number(number));
    return napi_ok;
}

napi_status napi_create_string_utf8(napi_env, const char *text, size_t length, napi_value *result) {
    fakes::napi().createdFrom.push_back(text);
    if (failing("napi_create_string_utf8")) {
        return napi_generic_failure;
    }
    // NAPI_AUTO_LENGTH reads up to the zero byte: a buffer without one is
    // read past its end, which AddressSanitizer reports.
    const size_t n = length == NAPI_AUTO_LENGTH ? strlen(text) : length;
    *result = fakes::string(std::string(text, n));
    return napi_ok;
}

napi_status napi_create_object(napi_env, napi_value *result) {
    if (failing("napi_create_object")) {
        return napi_generic_failure;
    }
    fakes::Napi &napi = fakes::napi();
    napi.values.push_back(fakes::Value{fakes::Value::Object, {}, 0, {}});
    *result = handleOf(&napi.values.back());
    return napi_ok;
}

napi_status napi_set_named_property(napi_env, napi_value object, const char *name,
                                    napi_value value) {
    if (failing("napi_set_named_property")) {
        return napi_generic_failure;
    }
    fakes::asValue(object)->properties.emplace_back(name, fakes::asValue(value));
    return napi_ok;
}

}  // extern "C"
