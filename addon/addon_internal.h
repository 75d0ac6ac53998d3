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

/* Reads one string argument into `buffer` with read size `readSize` (a
 * longer string is cut to readSize - 1 bytes without a message).  A read
 * that fails (not a string) logs `message`.  A string holding a NUL byte
 * within what was read is refused with "<name> contains a NUL byte": the
 * length Node-API reports is then beyond the C string's, and the cut C
 * string would name another service or user, or hold a shorter password.
 * Evaluates to true when the argument was read. */
#define MFA_READ_STRING(function, message, name, env, value, buffer, readSize)               \
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
        return true;                                                                         \
    }())

#endif
