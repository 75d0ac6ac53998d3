// The system-log double; see fake_syslog.h.
#include "test/support/fake_syslog.h"

#include <pthread.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace fakes {

std::vector<LogRecord> &logRecords() {
    static std::vector<LogRecord> records;
    return records;
}

}  // namespace fakes

namespace {

pthread_mutex_t recordLock = PTHREAD_MUTEX_INITIALIZER;

[[gnu::format(printf, 2, 0)]] void record(int priority, const char *format, va_list args) {
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
    pthread_mutex_lock(&recordLock);
    fakes::logRecords().push_back({priority, format, text});
    pthread_mutex_unlock(&recordLock);
}

}  // namespace

extern "C" {

void vsyslog(int priority, const char *format, va_list args) {
    record(priority, format, args);
}

void __vsyslog_chk(int priority, int /*flag*/, const char *format, va_list args) {
    record(priority, format, args);
}

void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

void __syslog_chk(int priority, int /*flag*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

}  // extern "C"
