// Node-API double: just the functions the SID and SEV-list callbacks use.
// Values live in the Napi object behind the env handle; any function can be
// told to fail on its n-th call, to reach steps JavaScript cannot.
#include <cstring>

#include "test/addon/fakes.h"

namespace fakes {

Value *Napi::string(const std::string &text) {
    values.push_back(Value{Value::String, text, 0, {}});
    return &values.back();
}

Value *Napi::number(uint32_t value) {
    values.push_back(Value{Value::Number, {}, value, {}});
    return &values.back();
}

void reset() {
    logRecords().clear();
    directory() = Directory{};
}

}  // namespace fakes

namespace {

fakes::Napi &napiOf(napi_env env) {
    return *reinterpret_cast<fakes::Napi *>(env);
}

fakes::Value *valueOf(napi_value value) {
    return reinterpret_cast<fakes::Value *>(value);
}

napi_value handleOf(fakes::Value *value) {
    return reinterpret_cast<napi_value>(value);
}

// Counts the call and says whether it is the one that must fail.
bool failing(napi_env env, const char *function) {
    auto &napi = napiOf(env);
    return ++napi.calls[function] == napi.failOnCall && napi.failFunction == function;
}

}  // namespace

extern "C" {

napi_status napi_get_cb_info(napi_env env, napi_callback_info, size_t *argc, napi_value *argv,
                             napi_value *, void **) {
    if (failing(env, "napi_get_cb_info")) {
        return napi_generic_failure;
    }
    auto &napi = napiOf(env);
    for (std::size_t i = 0; i < *argc; ++i) {
        argv[i] = i < napi.arguments.size() ? handleOf(napi.arguments[i])
                                            : handleOf(&napi.values.emplace_back());
    }
    *argc = napi.arguments.size();
    return napi_ok;
}

napi_status napi_get_value_string_utf8(napi_env env, napi_value value, char *buffer, size_t size,
                                       size_t *length) {
    if (failing(env, "napi_get_value_string_utf8")) {
        return napi_generic_failure;
    }
    const fakes::Value *v = valueOf(value);
    if (v->kind != fakes::Value::String) {
        return napi_string_expected;
    }
    std::size_t copied = std::min(v->text.size(), size - 1);
    std::memcpy(buffer, v->text.data(), copied);
    buffer[copied] = '\0';
    *length = copied;
    return napi_ok;
}

napi_status napi_create_uint32(napi_env env, uint32_t number, napi_value *result) {
    if (failing(env, "napi_create_uint32")) {
        return napi_generic_failure;
    }
    *result = handleOf(napiOf(env).number(number));
    return napi_ok;
}

napi_status napi_create_string_utf8(napi_env env, const char *text, size_t length,
                                    napi_value *result) {
    if (failing(env, "napi_create_string_utf8")) {
        return napi_generic_failure;
    }
    *result = handleOf(napiOf(env).string(length == NAPI_AUTO_LENGTH ? std::string(text)
                                                                     : std::string(text, length)));
    return napi_ok;
}

napi_status napi_create_object(napi_env env, napi_value *result) {
    if (failing(env, "napi_create_object")) {
        return napi_generic_failure;
    }
    auto &napi = napiOf(env);
    napi.values.push_back(fakes::Value{fakes::Value::Object, {}, 0, {}});
    *result = handleOf(&napi.values.back());
    return napi_ok;
}

napi_status napi_set_named_property(napi_env env, napi_value object, const char *name,
                                    napi_value value) {
    if (failing(env, "napi_set_named_property")) {
        return napi_generic_failure;
    }
    valueOf(object)->properties.emplace_back(name, valueOf(value));
    return napi_ok;
}

}  // extern "C"
