// The in-process system-log double shared by the unit tests: syslog,
// vsyslog and their fortified entries (__syslog_chk, __vsyslog_chk, which a
// _FORTIFY_SOURCE build calls) record here instead of reaching the host's
// log.  Recording is thread-safe; read the records once no thread logs.
#ifndef KAVO_TEST_SUPPORT_FAKE_SYSLOG_H
#define KAVO_TEST_SUPPORT_FAKE_SYSLOG_H

#include <string>
#include <vector>

namespace fakes {

struct LogRecord {
    int priority;
    std::string format;
    std::string message;  // formatted
};

std::vector<LogRecord> &logRecords();

}  // namespace fakes

#endif
