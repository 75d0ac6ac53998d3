/* Internal helpers of the add-on layer's JavaScript callbacks. */
#ifndef KAVO_ADDON_INTERNAL_H
#define KAVO_ADDON_INTERNAL_H

#include <node_api.h>
#include <string.h>

#include "addon/log.h"
#include "addon/request.h"

/* Every callback asks Node-API for up to three arguments, whatever it uses;
 * missing ones arrive as undefined. */
#define MFA_ARGUMENT_COUNT 3

/* Runs one Node-API step.  On failure it writes that step's own message
 * (a string literal, which differs from step to step) with the reporting
 * function's name and the line of the step, and evaluates to false; the
 * caller then ends the call.  A macro so that the line is the step's own. */
#define MFA_NAPI_STEP(function, message, call) \
    (((call) == napi_ok) ? true : (MFA_FAIL(KAVO_STEP_NODE_API, function, message), false))

/* The arguments of one callback call, as Node-API hands them over. */
struct MfaArguments {
    size_t argc = MFA_ARGUMENT_COUNT;
    napi_value argv[MFA_ARGUMENT_COUNT] = {};
};

/* The phases every synchronous callback runs after its arguments arrived:
 * read them into the request, do the work, build the result.  A phase that
 * fails has logged its own message; the call then returns nullptr. */
template <typename Request>
napi_value mfaRunPhases(napi_env env, const MfaArguments &arguments, Request *request,
                        int32_t (*read)(napi_env, const napi_value *, Request *),
                        int32_t (*core)(Request *), napi_value (*make)(napi_env, Request *)) {
    if (read(env, arguments.argv, request) != 0 || core(request) != 0) {
        return nullptr;
    }
    return make(env, request);
}

/* A synchronous callback from its start: asks Node-API for the arguments (a
 * failure logs `message`, the callback's own text) and then runs the phases
 * on `request`.  A macro so that the step's line is the callback's own. */
#define MFA_RUN_CALLBACK(function, message, env, info, request, read, core, make)                  \
    ([&]() -> napi_value {                                                                         \
        MfaArguments arguments_;                                                                   \
        if (!MFA_NAPI_STEP(function, message,                                                      \
                           napi_get_cb_info(env, info, &arguments_.argc, arguments_.argv, nullptr, \
                                            nullptr))) {                                           \
            return nullptr;                                                                        \
        }                                                                                          \
        return mfaRunPhases(env, arguments_, request, read, core, make);                           \
    }())

/* How MFA_READ_STRING treats a string longer than readSize - 1 bytes. */
enum MfaLongString {
    MFA_REFUSE_LONGER, /* refused: "<name> is longer than <readSize - 1> bytes" */
    MFA_CUT_LONGER     /* cut to readSize - 1 bytes without a message */
};

/* Reads one string argument into `buffer` with read size `readSize`.  A
 * read that fails (not a string) logs `message`.  A string holding a NUL
 * byte within what was read is refused with "<name> contains a NUL byte":
 * the length Node-API reports is then beyond the C string's, and the cut C
 * string would name another service or user, or hold a shorter password.
 * For the same reason a string longer than readSize - 1 bytes is refused
 * (MFA_REFUSE_LONGER) unless the argument only selects a kind by its first
 * bytes (MFA_CUT_LONGER).  Node-API never splits a character, so a read
 * that left room for one more (four bytes at most) took the whole string;
 * only a read that came near the end asks for the whole length.
 * Evaluates to true when the argument was read. */
#define MFA_READ_STRING(function, message, name, env, value, buffer, readSize, longer)       \
    ([&]() -> bool {                                                                         \
        size_t length_ = 0;                                                                  \
        if (napi_get_value_string_utf8(env, value, buffer, readSize, &length_) != napi_ok) { \
            MFA_FAIL(KAVO_STEP_ARGUMENT_TYPE, function, message);                            \
            return false;                                                                    \
        }                                                                                    \
        if (strnlen(buffer, readSize) < length_) {                                           \
            MFA_FAIL(KAVO_STEP_ARGUMENT_NUL, function, name " contains a NUL byte");         \
            return false;                                                                    \
        }                                                                                    \
        const size_t usable_ = static_cast<size_t>(readSize) - 1;                            \
        size_t whole_ = length_;                                                             \
        if ((longer) == MFA_REFUSE_LONGER && length_ + 4 > usable_ &&                        \
            napi_get_value_string_utf8(env, value, nullptr, 0, &whole_) != napi_ok) {        \
            MFA_FAIL(KAVO_STEP_ARGUMENT_TYPE, function, message);                            \
            return false;                                                                    \
        }                                                                                    \
        if (whole_ > usable_) {                                                              \
            MFA_FAIL(KAVO_STEP_ARGUMENT_TOO_LONG, function, name " is longer than %d bytes", \
                     static_cast<int>(usable_));                                             \
            return false;                                                                    \
        }                                                                                    \
        return true;                                                                         \
    }())

/* The 16-bit name of GetSevListDornUser: converts like
 * ConvertUTF8ToUnicodeString (same output, same bound) and returns the
 * bytes written before the two zero bytes; *complete is false when a byte
 * could not be converted and was skipped, so that the result names someone
 * else. */
size_t mfaConvertUtf8ToUtf16(const char *source, unsigned char *target, bool *complete);

#endif
