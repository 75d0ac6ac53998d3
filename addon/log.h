/* The add-on layer's one way of reporting: a system-log line that begins
 * "MFA-NAPI: <function:line> ".  The layer never opens the log itself, so
 * the process's default identity and facility apply. */
#ifndef KAVO_ADDON_LOG_H
#define KAVO_ADDON_LOG_H

#include <syslog.h>

/* MFA_LOG(priority, "function", "text %s", args...): function is the C name
 * of the reporting function (a string literal); the source line follows. */
#define MFA_LOG(priority, function, format, ...) \
    syslog(priority, "MFA-NAPI: <%s:%d> " format, function, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define MFA_ERR(function, format, ...) MFA_LOG(LOG_ERR, function, format __VA_OPT__(, ) __VA_ARGS__)

#endif
