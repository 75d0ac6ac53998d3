// The Node-API double shared by the add-on's unit tests: the functions the
// add-on's callbacks call, over values kept in one process-wide Napi object.
// Any function can be told to fail on its n-th call, to reach the steps that
// JavaScript itself cannot make fail.  The env handle is not looked at.
#ifndef KAVO_TEST_SUPPORT_FAKE_NAPI_H
#define KAVO_TEST_SUPPORT_FAKE_NAPI_H

#include <node_api.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fakes {

struct Value {
    enum Kind { Undefined, String, Number, Object } kind = Undefined;
    std::string text;
    uint32_t number = 0;
    std::vector<std::pair<std::string, Value *>> properties;  // in set order
};

struct Napi {
    std::deque<Value> values;  // every value handed out, alive until reset
    std::vector<Value *> arguments;
    // Fails the n-th call (1-based) of the named Node-API function.
    std::string failFunction;
    int failOnCall = 1;
    std::map<std::string, int> calls;
    std::vector<size_t> readSizes;          // bufsize of each string read
    std::vector<const char *> createdFrom;  // source pointer of each string made

    Value *string(const std::string &text);
    Value *number(uint32_t number);
    napi_env env() { return reinterpret_cast<napi_env>(this); }
};

// The one double; `napi() = Napi{}` resets it.
Napi &napi();

// Sets the arguments of the next callback and returns its info handle.
napi_callback_info args(std::initializer_list<napi_value> values);
napi_value string(const std::string &text);
inline Value *asValue(napi_value value) {
    return reinterpret_cast<Value *>(value);
}
// The n-th call (1-based) of the named function fails from now on.
void failNapi(const char *function, int nth = 1);

}  // namespace fakes

#endif
