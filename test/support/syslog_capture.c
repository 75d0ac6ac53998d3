/* Syslog capture for the JavaScript tests, loaded with LD_PRELOAD.
 *
 * Interposes syslog, vsyslog, __syslog_chk and __vsyslog_chk (the last two
 * are what a fortified build calls) and appends every record to the file
 * named by $KAVO_SYSLOG_CAPTURE instead of the system log, so that a test
 * reads exactly what the module sent: the priority as passed and the
 * formatted message.  One record is
 *     <priority> <length>\n<message bytes>\n
 * written with a single write() on an O_APPEND descriptor, so records of
 * several threads or processes never interleave; the length makes messages
 * that contain a newline unambiguous.  Without $KAVO_SYSLOG_CAPTURE the
 * calls go on to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#define CAPTURE_EXPORT __attribute__((visibility("default")))

/* The C library's vsyslog, for the case in which nothing is captured. */
static void forward(int priority, const char *format, va_list args) {
    typedef void (*vsyslog_fn)(int, const char *, va_list);
    vsyslog_fn next = (vsyslog_fn)dlsym(RTLD_NEXT, "vsyslog");
    if (next != NULL) {
        next(priority, format, args);
    }
}

static void capture(int priority, const char *format, va_list args) {
    const char *path = getenv("KAVO_SYSLOG_CAPTURE");
    if (path == NULL || path[0] == '\0') {
        forward(priority, format, args);
        return;
    }
    /* %m must see the errno of the caller, not one left by our own calls. */
    int savedErrno = errno;
    va_list copy;
    va_copy(copy, args);
    errno = savedErrno;
    int length = vsnprintf(NULL, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        errno = savedErrno;
        return;
    }
    char header[32];
    int headerLength = snprintf(header, sizeof header, "%d %d\n", priority, length);
    /* The message's terminating zero byte becomes the record's newline. */
    size_t total = (size_t)headerLength + (size_t)length + 1;
    char *record = malloc(total);
    if (record != NULL) {
        memcpy(record, header, (size_t)headerLength);
        errno = savedErrno;
        vsnprintf(record + headerLength, (size_t)length + 1, format, args);
        record[total - 1] = '\n';
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ssize_t written = write(fd, record, total);
            (void)written;
            close(fd);
        }
        free(record);
    }
    errno = savedErrno;
}

CAPTURE_EXPORT void vsyslog(int priority, const char *format, va_list args) {
    capture(priority, format, args);
}

CAPTURE_EXPORT void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    capture(priority, format, args);
    va_end(args);
}

CAPTURE_EXPORT void __vsyslog_chk(int priority, int flag, const char *format, va_list args) {
    (void)flag;
    capture(priority, format, args);
}

CAPTURE_EXPORT void __syslog_chk(int priority, int flag, const char *format, ...) {
    (void)flag;
    va_list args;
    va_start(args, format);
    capture(priority, format, args);
    va_end(args);
}
