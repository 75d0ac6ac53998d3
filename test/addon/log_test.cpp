// The add-on's log line: control bytes from arguments written as \xHH, the
// copy on standard error with KAVO_LOG_STDERR=1, and the per-thread request
// record that the Promise companion reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "addon/log.h"
#include "addon/request.h"
#include "test/addon/fakes.h"

namespace {

// Runs `body` with standard error sent to a pipe; returns what was written.
template <typename Body>
std::string stderrOf(Body body) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const int saved = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    return out;
}

void configureStderr(const char *value) {
    if (value == nullptr) {
        unsetenv("KAVO_LOG_STDERR");
    } else {
        setenv("KAVO_LOG_STDERR", value, 1);
    }
    mfaLogConfigure();
}

class Log : public ::testing::Test {
  protected:
    void SetUp() override { fakes::reset(); }
    void TearDown() override { configureStderr(nullptr); }
};

TEST_F(Log, ControlBytesFromArgumentsAreEscapedAndTheFormatsNewlineIsKept) {
    MFA_ERR("f", "Service entry <%s> not found", "a\nMFA-NAPI: <forged:1> b\r\x1b\x7f\t");
    MFA_ERR("f", "Out of Memory [FAIL]\n");
    MFA_ERR("f", "name <%s>\n", "x\n");
    MFA_ERR("f", "plain <%s> %d", "caf\xc3\xa9", -802);
    EXPECT_EQ(fakes::logMessages(),
              (std::vector<std::string>{"MFA-NAPI: <f> Service entry <a\\x0aMFA-NAPI: <forged:1> "
                                        "b\\x0d\\x1b\\x7f\\x09> not found",
                                        "MFA-NAPI: <f> Out of Memory [FAIL]\n",
                                        "MFA-NAPI: <f> name <x\\x0a>\n",
                                        "MFA-NAPI: <f> plain <caf\xc3\xa9> -802"}));
    EXPECT_EQ(fakes::logRecords()[0].priority, LOG_ERR);
}

TEST_F(Log, KavoLogStderrCopiesEachLineOnceAndOnlyWhenSetToOne) {
    configureStderr("1");
    const std::string out = stderrOf([] {
        MFA_LOG(LOG_INFO, "Init", "KAVO-MFA napi have been initialised");
        MFA_ERR("f", "Out of Memory [FAIL]\n");
        MFA_ERR("f", "entry <%s>", "two\nlines");
    });
    ASSERT_EQ(fakes::logRecords().size(), 3u);
    std::string expected;
    for (const auto &record : fakes::logRecords()) {
        expected += record.message;
        if (expected.back() != '\n') {
            expected += '\n';
        }
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);

    for (const char *value : {static_cast<const char *>(nullptr), "0", ""}) {
        configureStderr(value);
        EXPECT_EQ(stderrOf([] { MFA_ERR("f", "quiet"); }), "") << (value ? value : "unset");
    }
}

TEST_F(Log, TheRecordKeepsTheFirstFailureAndABoundedListOfLinesPerThread) {
    KavoRequestRecord record;
    mfaRecordBegin();
    mfaRecordFailure(KAVO_STEP_STORE, -802, 1);
    mfaRecordFailure(KAVO_STEP_NODE_API, 0, 0);
    for (int i = 0; i < KAVO_RECORD_LINES + 2; ++i) {
        MFA_ERR("f", "line %d", i);
    }
    ASSERT_EQ(GetRequestRecord(&record), 0);
    EXPECT_EQ(record.step, KAVO_STEP_STORE);
    EXPECT_EQ(record.status, -802);
    EXPECT_EQ(record.hasStatus, 1);
    EXPECT_EQ(record.lineCount, KAVO_RECORD_LINES);
    EXPECT_EQ(record.linesLogged, KAVO_RECORD_LINES + 2);
    EXPECT_TRUE(std::string(record.lines[KAVO_RECORD_LINES - 1])
                    .ends_with("> line " + std::to_string(KAVO_RECORD_LINES - 1)));

    // Another thread has a record of its own; this one is untouched.
    std::thread([] {
        KavoRequestRecord other;
        mfaRecordBegin();
        MFA_ERR("g", "elsewhere");
        ASSERT_EQ(GetRequestRecord(&other), 0);
        EXPECT_EQ(other.lineCount, 1);
        EXPECT_EQ(other.step, KAVO_STEP_NONE);
    }).join();
    ASSERT_EQ(GetRequestRecord(&record), 0);
    EXPECT_EQ(record.linesLogged, KAVO_RECORD_LINES + 2);

    // A new phase starts empty.
    mfaRecordBegin();
    ASSERT_EQ(GetRequestRecord(&record), 0);
    EXPECT_EQ(record.step, KAVO_STEP_NONE);
    EXPECT_EQ(record.lineCount, 0);
    // A thread that never logged has no record.
    std::thread([] {
        KavoRequestRecord none;
        EXPECT_EQ(GetRequestRecord(&none), -1);
    }).join();
}

}  // namespace
