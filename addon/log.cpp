// The add-on layer's log: the system-log line, its copy on standard error
// when asked for, and the calling thread's request record.
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "addon/addon.h"
#include "addon/log.h"
#include "addon/request.h"

namespace {

// Set by Init from KAVO_LOG_STDERR; read by every log call on any thread.
int mirrorToStderr = 0;

// Room for one formatted line before escaping; anything longer is cut.
constexpr size_t kFormatted = KAVO_RECORD_LINE_SIZE;
// Every byte may become four ("\xHH"), plus a newline and the zero.
constexpr size_t kEscaped = 4 * kFormatted + 2;

// One record per thread, made on first use and released with the thread.
pthread_key_t recordKey;
pthread_once_t recordKeyOnce = PTHREAD_ONCE_INIT;
bool recordKeyMade = false;

void makeRecordKey() {
    recordKeyMade = pthread_key_create(&recordKey, free) == 0;
}

// The calling thread's record, or null when there is no memory for one.
KavoRequestRecord *threadRecord(bool create) {
    (void)pthread_once(&recordKeyOnce, makeRecordKey);
    if (!recordKeyMade) {
        return nullptr;
    }
    auto *record = static_cast<KavoRequestRecord *>(pthread_getspecific(recordKey));
    if (record == nullptr && create) {
        record = static_cast<KavoRequestRecord *>(calloc(1, sizeof *record));
        if (record != nullptr && pthread_setspecific(recordKey, record) != 0) {
            free(record);
            record = nullptr;
        }
    }
    return record;
}

bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

// Copies `text` (length bytes) into `out`, writing every control byte as
// \xHH, except a final newline when `keepFinalNewline` is set.  Returns the
// length written; `out` holds kEscaped bytes.
size_t escapeControls(const char *text, size_t length, bool keepFinalNewline, char *out) {
    static const char hex[] = "0123456789abcdef";
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool finalNewline = keepFinalNewline && i + 1 == length && byte == '\n';
        if (isControl(byte) && !finalNewline) {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = hex[byte >> 4];
            out[at++] = hex[byte & 0x0F];
        } else {
            out[at++] = static_cast<char>(byte);
        }
    }
    out[at] = '\0';
    return at;
}

void keepInRecord(const char *line, size_t length) {
    KavoRequestRecord *record = threadRecord(true);
    if (record == nullptr) {
        return;
    }
    if (record->lineCount < KAVO_RECORD_LINES) {
        // A line longer than a slot is kept cut.
        char *slot = record->lines[record->lineCount++];
        const size_t kept = length < KAVO_RECORD_LINE_SIZE ? length : KAVO_RECORD_LINE_SIZE - 1;
        memcpy(slot, line, kept);
        slot[kept] = '\0';
    }
    if (record->linesLogged < INT32_MAX) {
        ++record->linesLogged;
    }
}

// One write, so that lines of several threads never interleave.
void writeToStderr(char *line, size_t length) {
    if (length == 0 || line[length - 1] != '\n') {
        line[length++] = '\n';
    }
    ssize_t written;
    do {
        written = write(STDERR_FILENO, line, length);
    } while (written < 0 && errno == EINTR);
}

}  // namespace

void mfaLogConfigure(void) {
    const char *value = getenv("KAVO_LOG_STDERR");
    __atomic_store_n(&mirrorToStderr, value != nullptr && strcmp(value, "1") == 0 ? 1 : 0,
                     __ATOMIC_RELAXED);
}

void mfaLog(int priority, const char *format, ...) {
    char formatted[kFormatted];
    va_list args;
    va_start(args, format);
    // The analyzer misses the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    int length = vsnprintf(formatted, sizeof formatted, format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    size_t used = static_cast<size_t>(length) < sizeof formatted ? static_cast<size_t>(length)
                                                                 : sizeof formatted - 1;
    // The module's own format texts hold no control byte but a final
    // newline; every other one came from an argument.
    const size_t formatLength = strlen(format);
    const bool formatEndsWithNewline = formatLength > 0 && format[formatLength - 1] == '\n';
    char line[kEscaped];
    const size_t lineLength = escapeControls(formatted, used, formatEndsWithNewline, line);

    syslog(priority, "%s", line);
    keepInRecord(line, lineLength);
    if (__atomic_load_n(&mirrorToStderr, __ATOMIC_RELAXED) != 0) {
        writeToStderr(line, lineLength);
    }
}

void mfaRecordBegin(void) {
    KavoRequestRecord *record = threadRecord(true);
    if (record != nullptr) {
        record->step = KAVO_STEP_NONE;
        record->status = 0;
        record->hasStatus = 0;
        record->lineCount = 0;
        record->linesLogged = 0;
    }
}

void mfaRecordFailure(int32_t step, int32_t status, int32_t hasStatus) {
    KavoRequestRecord *record = threadRecord(true);
    if (record != nullptr && record->step == KAVO_STEP_NONE) {
        record->step = step;
        record->status = status;
        record->hasStatus = hasStatus;
    }
}

int32_t GetRequestRecord(KavoRequestRecord *out) {
    if (out == nullptr) {
        return -1;
    }
    const KavoRequestRecord *record = threadRecord(false);
    if (record == nullptr) {
        return -1;
    }
    memcpy(out, record, sizeof *out);
    return 0;
}
