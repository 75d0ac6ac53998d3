/* The add-on layer's one way of reporting: a system-log line that begins
 * "MFA-NAPI: <function:line> ".  The layer never opens the log itself, so
 * the process's default identity and facility apply.
 *
 * Every line is also kept in the calling thread's request record (see
 * request.h) and, when the module was loaded with KAVO_LOG_STDERR=1, written
 * to standard error as well.  Control characters that a caller's or a
 * library's string brings into a line are written as \xHH, so a line can
 * never be split or forged. */
#ifndef KAVO_ADDON_LOG_H
#define KAVO_ADDON_LOG_H

#include <stdint.h>
#include <syslog.h>

#include "addon/request.h"
#include "osa/export.h"

KAVO_BEGIN_DECLS

/* Formats and writes one line; see above.  Internal to the module. */
__attribute__((visibility("hidden"), format(printf, 2, 3))) void mfaLog(int priority,
                                                                        const char *format, ...);
/* Reads KAVO_LOG_STDERR; called by Init at each registration. */
__attribute__((visibility("hidden"))) void mfaLogConfigure(void);
/* Starts a fresh request record on the calling thread. */
__attribute__((visibility("hidden"))) void mfaRecordBegin(void);
/* Notes the failing step (and the library's status when hasStatus) in the
 * calling thread's record; the first failure of a phase is kept. */
__attribute__((visibility("hidden"))) void mfaRecordFailure(int32_t step, int32_t status,
                                                            int32_t hasStatus);

KAVO_END_DECLS

/* MFA_LOG(priority, "function", "text %s", args...): function is the C name
 * of the reporting function (a string literal); the source line follows. */
#define MFA_LOG(priority, function, format, ...) \
    mfaLog(priority, "MFA-NAPI: <%s:%d> " format, function, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define MFA_ERR(function, format, ...) MFA_LOG(LOG_ERR, function, format __VA_OPT__(, ) __VA_ARGS__)

/* A failure of `step`, with no library status, then its line. */
#define MFA_FAIL(step, function, format, ...) \
    (mfaRecordFailure(step, 0, 0), MFA_ERR(function, format __VA_OPT__(, ) __VA_ARGS__))

/* A failure of `step` with the library's `status`, then its line. */
#define MFA_FAIL_STATUS(step, status, function, format, ...) \
    (mfaRecordFailure(step, status, 1), MFA_ERR(function, format __VA_OPT__(, ) __VA_ARGS__))

#endif
