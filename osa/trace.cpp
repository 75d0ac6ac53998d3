/* OS abstraction layer: the trace log.
 *
 * A logging interface shaped like the system log's (open with an identity,
 * write formatted messages, close) whose messages go to a trace file, and
 * only when the configuration's "Trace" entry switches tracing on.  Each
 * message is appended as a UTC time stamp, a blank, the identity and the
 * formatted text; the file is opened and closed for every message.
 *
 * Formats are not handed to the C library's formatter as a whole: the walker
 * below takes one argument per conversion and formats each conversion on its
 * own, so that a format can never make the formatter take arguments that the
 * caller did not pass or write through one. */
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "osa/osa.h"
#include "osa/storage_internal.h"

char OSA_TraceFileName[128] = OSA_TRACE_FILE_DEFAULT;
int32_t OSA_TraceEnabled = 0;
char *OSA_TraceIdent = nullptr;
uint32_t OSA_SyslogInitialized = 0;
pthread_mutex_t OSA_LogMutex;  // initialised by the first open

namespace {

constexpr size_t kPiece = 256;     // one formatted conversion
constexpr size_t kSpec = 48;       // one rebuilt conversion specification
constexpr long kFieldLimit = 256;  // widths and precisions beyond a piece change nothing

/* A conversion specification taken apart: what may reach the formatter. */
struct Conversion {
    char flags[8];  // distinct characters of "-+ #0'"
    long width;     // -1: none
    bool widthStar;
    long precision;  // -1: none
    bool precisionStar;
    bool wide;       // l, ll, L, q, j, z or t: a long-sized integer
    char narrow[3];  // h or hh
    bool refused;    // holds anything else: n, $, e, f, g, ...
};

void addFlag(Conversion *c, char flag) {
    const size_t used = strlen(c->flags);
    if (strchr(c->flags, flag) == nullptr && used + 1 < sizeof c->flags) {
        c->flags[used] = flag;
    }
}

/* Reads a run of digits as a number, saturating at kFieldLimit. */
long readField(const char **p, const char *end) {
    long value = 0;
    while (*p < end && **p >= '0' && **p <= '9') {
        value = value * 10 + (**p - '0');
        if (value > kFieldLimit) {
            value = kFieldLimit;
        }
        ++*p;
    }
    return value;
}

/* Splits the characters between "%" and the conversion character.  Only
 * flags, a width, a precision and a length modifier, in that order, are
 * understood; anything else refuses the whole specification.  That keeps out
 * "n" (the formatter would write through the argument), "$" (it would pick
 * an argument by position) and the floating-point letters (it would take a
 * double that was never passed). */
Conversion parseConversion(const char *p, const char *end) {
    Conversion c = {};
    c.width = -1;
    c.precision = -1;
    while (p < end && strchr("-+ #0'", *p) != nullptr) {
        addFlag(&c, *p++);
    }
    if (p < end && *p == '*') {
        c.widthStar = true;
        ++p;
    } else if (p < end && *p >= '1' && *p <= '9') {
        c.width = readField(&p, end);
    }
    if (p < end && *p == '.') {
        ++p;
        if (p < end && *p == '*') {
            c.precisionStar = true;
            ++p;
        } else {
            c.precision = readField(&p, end);
        }
    }
    if (p < end && *p == 'h') {
        const bool twice = p + 1 < end && p[1] == 'h';
        memcpy(c.narrow, twice ? "hh" : "h", twice ? 3 : 2);
        p += twice ? 2 : 1;
    } else if (p < end && strchr("lLqjzt", *p) != nullptr) {
        c.wide = true;
        p += (*p == 'l' && p + 1 < end && p[1] == 'l') ? 2 : 1;
    }
    c.refused = p != end;
    return c;
}

/* Formats one conversion into piece; returns the bytes to write.  The "*"
 * fields take their int arguments first and are written into the
 * specification as digits, so that the formatter takes exactly one
 * argument.  A refused specification takes its argument and yields nothing. */
size_t formatConversion(const Conversion &parsed, char conversion, va_list *args, char *piece) {
    Conversion c = parsed;
    if (!c.refused && c.widthStar) {
        long star = va_arg(*args, int);
        if (star < 0) {
            addFlag(&c, '-');  // a negative width means left adjustment
            star = -star;
        }
        c.width = star > kFieldLimit ? kFieldLimit : star;
    }
    if (!c.refused && c.precisionStar) {
        const long star = va_arg(*args, int);
        c.precision = star < 0 ? -1 : (star > kFieldLimit ? kFieldLimit : star);
    }
    const bool integer = strchr("diouxX", conversion) != nullptr;
    char spec[kSpec];
    size_t used = static_cast<size_t>(snprintf(spec, sizeof spec, "%%%s", c.flags));
    if (c.width >= 0) {
        used += static_cast<size_t>(snprintf(spec + used, sizeof spec - used, "%ld", c.width));
    }
    if (c.precision >= 0) {
        used += static_cast<size_t>(snprintf(spec + used, sizeof spec - used, ".%ld", c.precision));
    }
    // Length modifiers reach the formatter only with integer conversions;
    // with s they would make it read a wide string past the end of a narrow
    // one.  Every long-sized modifier becomes "l", matching what is passed.
    if (integer) {
        (void)snprintf(spec + used, sizeof spec - used, "%s%c", c.wide ? "l" : c.narrow,
                       conversion);
    } else {
        (void)snprintf(spec + used, sizeof spec - used, "%c", conversion);
    }

    int length = -1;
    if (integer) {
        // The argument is a 32-bit int whatever the modifier says; with a
        // long-sized modifier its 32 bits are printed as a non-negative long.
        const int value = va_arg(*args, int);
        if (!c.refused) {
            length = c.wide ? snprintf(piece, kPiece, spec,
                                       static_cast<long>(static_cast<uint32_t>(value)))
                            : snprintf(piece, kPiece, spec, value);
        }
    } else if (conversion == 'c') {
        const int value = va_arg(*args, int);
        if (!c.refused) {
            length =
                snprintf(piece, kPiece, spec, static_cast<int>(static_cast<signed char>(value)));
        }
    } else {
        void *pointer = va_arg(*args, void *);
        if (!c.refused) {
            length = snprintf(piece, kPiece, spec, pointer);
        }
    }
    if (length <= 0) {
        return 0;
    }
    // A longer piece is cut to what the buffer holds.
    return static_cast<size_t>(length) < kPiece ? static_cast<size_t>(length) : kPiece - 1;
}

/* Walks the format: literal characters before a conversion are written one
 * byte per call, each conversion in one call, and the literal text after the
 * last conversion in one call.  A lone "%" at the end, or a format that ends
 * inside a specification, ends the message there. */
void writeMessage(int fd, const char *format, va_list *args) {
    const char *p = format;
    for (;;) {
        const char *percent = strchr(p, '%');
        if (percent == nullptr) {
            if (*p != '\0') {
                (void)!write(fd, p, strlen(p));
            }
            return;
        }
        for (; p < percent; ++p) {
            (void)!write(fd, p, 1);
        }
        const char *end = percent + 1;
        while (*end != '\0' && strchr("%diouxXcsp", *end) == nullptr) {
            ++end;
        }
        if (*end == '\0') {
            return;
        }
        if (*end == '%') {
            // "%%" (whatever stands between) is a single "%"; it takes no
            // argument.
            (void)!write(fd, "%", 1);
        } else {
            char piece[kPiece];
            const size_t length =
                formatConversion(parseConversion(percent + 1, end), *end, args, piece);
            if (length > 0) {
                (void)!write(fd, piece, length);
            }
        }
        p = end + 1;
    }
}

/* Writes the record header in one call: the UTC time in asctime form cut to
 * its 24 characters, a blank, and the identity (":" when there is none). */
void writeHeader(int fd) {
    const auto now = static_cast<time_t>(OSA_GetTODULong());
    struct tm calendar;
    char stamp[32] = {};
    if (gmtime_r(&now, &calendar) == nullptr || asctime_r(&calendar, stamp) == nullptr) {
        stamp[0] = '\0';
    }
    char head[32];
    const int headLength = snprintf(head, sizeof head, "%24.24s ", stamp);
    const char *ident = OSA_TraceIdent != nullptr ? OSA_TraceIdent : ":";
    struct iovec parts[2] = {
        {head, static_cast<size_t>(headLength)},
        {const_cast<char *>(ident), strlen(ident)},
    };
    (void)!writev(fd, parts, 2);
}

/* Opens the trace file for appending, or returns -1.  The default name lies
 * in a directory every user can write to, so the file is taken only when it
 * is not a symbolic link (one planted there would redirect a privileged
 * process's messages), is a regular file (a FIFO would block), and belongs
 * to this process's user or root. */
int openTraceFile(const char *path) {
    struct stat status;
    const int fd =
        osa_store::openRegular(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0, &status);
    if (fd < 0) {
        return -1;
    }
    if (status.st_uid != geteuid() && status.st_uid != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int OSA_openlog(char *ident, int option, int facility) {
    if (option != 0 || facility != 0) {
        return -1;
    }
    OSA_TraceIdent = ident;
    OSA_TraceEnabled = 0;
    // Only the first open reads the configuration; a nested one leaves
    // tracing off until the log is fully closed and opened again.
    if (OSA_SyslogInitialized++ != 0) {
        return 0;
    }
    uint32_t size = sizeof(OSA_TraceEnabled);
    if (OSA_GetResource(OSA_RES_TRACE, &OSA_TraceEnabled, &size) != OSA_OK) {
        OSA_TraceEnabled = 0;
    }
    // The name is read aside and taken only when it was copied whole: a
    // missing file or a value too large leaves the current name in place.
    char name[sizeof OSA_TraceFileName] = {};
    size = sizeof name;
    if (OSA_GetResource(OSA_RES_TRACE_FILE, name, &size) != OSA_OK) {
        (void)snprintf(OSA_TraceFileName, sizeof OSA_TraceFileName, "%s", OSA_TRACE_FILE_DEFAULT);
    } else if (size <= sizeof name) {
        name[sizeof name - 1] = '\0';
        memcpy(OSA_TraceFileName, name, sizeof name);
    }
    return OSA_mutex_init(&OSA_LogMutex);
}

int OSA_syslog(int /*priority*/, const char *format, ...) {
    if (format == nullptr) {
        return 0;
    }
    if (OSA_SyslogInitialized == 0) {
        static char implicitIdent[] = OSA_TRACE_IMPLICIT_IDENT;
        const int opened = OSA_openlog(implicitIdent, 0, 0);
        if (opened != 0) {
            return opened;
        }
    }
    if (OSA_TraceEnabled == 0) {
        return 0;
    }
    const int locked = OSA_mutex_lock(&OSA_LogMutex);
    if (locked != 0) {
        return locked;
    }
    // The trace file must exist already: tracing never creates it.
    char path[sizeof OSA_TraceFileName];
    memcpy(path, OSA_TraceFileName, sizeof path);
    path[sizeof path - 1] = '\0';
    const int fd = openTraceFile(path);
    if (fd < 0) {
        return OSA_mutex_unlock(&OSA_LogMutex);
    }
    writeHeader(fd);
    va_list args;
    va_start(args, format);
    writeMessage(fd, format, &args);
    va_end(args);
    close(fd);
    return OSA_mutex_unlock(&OSA_LogMutex);
}

int OSA_closelog(void) {
    if (OSA_SyslogInitialized == 0) {
        return -1;
    }
    OSA_TraceEnabled = 0;
    OSA_TraceIdent = nullptr;
    if (--OSA_SyslogInitialized == 0) {
        return OSA_mutex_destroy(&OSA_LogMutex);
    }
    return 0;
}

int OSA_WriteAlertMessage(uint64_t /*a*/, uint64_t /*b*/, uint64_t /*c*/, const char *text) {
    (void)fputs(text != nullptr ? text : "", stdout);
    (void)fputc('\n', stdout);
    (void)fflush(stdout);
    return 0;
}
