/* Internal helpers of the add-on layer's JavaScript callbacks. */
#ifndef KAVO_ADDON_INTERNAL_H
#define KAVO_ADDON_INTERNAL_H

#include <node_api.h>

#include "addon/log.h"

/* Every callback asks Node-API for up to three arguments, whatever it uses;
 * missing ones arrive as undefined. */
#define MFA_ARGUMENT_COUNT 3

/* Runs one Node-API step.  On failure it writes that step's own message
 * (a string literal, which differs from step to step) with the reporting
 * function's name and the line of the step, and evaluates to false; the
 * caller then ends the call.  A macro so that the line is the step's own. */
#define MFA_NAPI_STEP(function, message, call) \
    (((call) == napi_ok) ? true : (MFA_ERR(function, message), false))

#endif
