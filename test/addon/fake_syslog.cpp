// System-log double: the add-on's syslog calls land here, not in the host's
// log.  Both the plain and the fortified entry are defined.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "test/addon/fakes.h"

namespace fakes {

std::vector<LogRecord> &logRecords() {
    static std::vector<LogRecord> records;
    return records;
}

std::vector<std::string> logMessages() {
    // "MFA-NAPI: <function:123> text" becomes "MFA-NAPI: <function> text".
    std::vector<std::string> messages;
    for (const auto &record : logRecords()) {
        std::string message = record.message;
        const std::size_t colon = message.find(':', sizeof "MFA-NAPI: <" - 1);
        const std::size_t close = message.find('>');
        if (message.rfind("MFA-NAPI: <", 0) == 0 && colon < close && close != std::string::npos) {
            message.erase(colon, close - colon);
        }
        messages.push_back(message);
    }
    return messages;
}

}  // namespace fakes

namespace {

void record(int priority, const char *format, va_list args) {
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
    fakes::logRecords().push_back({priority, text});
}

}  // namespace

extern "C" {

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
