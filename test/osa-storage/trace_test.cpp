// The trace log and the alert message.
#include "test/osa-storage/platform_test.h"

namespace osa_test {

/* The time stamp of a trace record for the time t. */
std::string Stamp(time_t t) {
    struct tm calendar;
    char text[32];
    gmtime_r(&t, &calendar);
    asctime_r(&calendar, text);
    return std::string(text, 24);
}

class Trace : public Platform {
  protected:
    void SetUp() override {
        Platform::SetUp();
        // The first entry of a name wins over the provisioned ones below.
        Config("Trace:b:4:00:00:00:01\nTraceFile:s:0:" + kTraceFile + "\n" + provisioned);
        WriteText(kTraceFile, "");
    }
    /* Traces one message and returns what it appended after the header of
     * the null identity (24 + 2 characters). */
    template <typename... Args>
    static std::string Body(const char *format, Args... args) {
        WriteText(kTraceFile, "");
        EXPECT_EQ(OSA_syslog(0, format, args...), 0);
        const std::string text = ReadText(kTraceFile);
        EXPECT_GE(text.size(), 26u);
        EXPECT_EQ(text.substr(24, 2), " :");
        return text.size() >= 26 ? text.substr(26) : "";
    }
};

TEST_F(Trace, RecordHasTheExactBytes) {
    char ident[] = "ID:";
    const time_t before = time(nullptr);
    ASSERT_EQ(OSA_openlog(ident, 0, 0), 0);
    EXPECT_EQ(OSA_TraceEnabled, 1);
    EXPECT_STREQ(OSA_TraceFileName, kTraceFile.c_str());
    EXPECT_EQ(OSA_syslog(0, "A%dB\n", 5), 0);
    const time_t after = time(nullptr);
    const std::string text = ReadText(kTraceFile);
    EXPECT_TRUE(text == Stamp(before) + " ID:A5B\n" || text == Stamp(after) + " ID:A5B\n") << text;
}

TEST_F(Trace, FormatsAreWalkedConversionByConversion) {
    ASSERT_EQ(OSA_openlog(nullptr, 0, 0), 0);
    EXPECT_EQ(Body(""), "");
    EXPECT_EQ(Body("50%"), "50");
    EXPECT_EQ(Body("100%% a%-5"), "100% a");
    EXPECT_EQ(Body("[%5d|%-3x|%c|%s|%.2s|%hd]", 42, 255, 'Z' + 256, "str", "abc", 65537),
              "[   42|ff |Z|str|ab|1]");
    EXPECT_EQ(Body("%ld %lu %d", -1, -1, -1), "4294967295 4294967295 -1");
    const std::string piece = Body("%300d", 5);
    EXPECT_EQ(piece, std::string(255, ' '));  // cut to the 256-byte piece
}

TEST_F(Trace, FormatsCannotReachBeyondTheirArguments) {
    ASSERT_EQ(OSA_openlog(nullptr, 0, 0), 0);
    // "*" fields take their own int arguments, in printf's order.
    EXPECT_EQ(Body("%*d|%-*d|%*d|%.*s|", 4, 7, 3, 8, -3, 1, 2, "xyz"), "   7|8  |1  |xy|");
    // Anything holding n, $ or another letter is refused; it still takes
    // its conversion's argument, so the ones after stay in step, and the
    // target of the would-be %n is never written.
    int target = 1234;
    EXPECT_EQ(Body("<%ns|%hhnd|%2$d|%d>", &target, 1, 2, 3), "<|||3>");
    EXPECT_EQ(target, 1234);
    EXPECT_EQ(Body("x%n then %d"), "x%d");  // "%n then %" is a lone "%"
    // A length modifier never turns a narrow string into a wide one (the
    // sanitizer build would report the read past these three bytes).
    char narrow[] = "ab";
    EXPECT_EQ(Body("%ls|%-5lc|", narrow, 'q'), "ab|q    |");
}

TEST_F(Trace, OpenCountAndSwitch) {
    char first[] = "A", second[] = "B";
    EXPECT_EQ(OSA_openlog(first, 1, 0), -1);
    EXPECT_EQ(OSA_SyslogInitialized, 0u);
    EXPECT_EQ(OSA_openlog(first, 0, 0), 0);
    EXPECT_EQ(OSA_TraceEnabled, 1);
    EXPECT_EQ(OSA_openlog(second, 0, 0), 0);  // nested: tracing goes off
    EXPECT_EQ(OSA_TraceEnabled, 0);
    EXPECT_EQ(OSA_TraceIdent, second);
    EXPECT_EQ(OSA_syslog(0, "dropped\n"), 0);
    EXPECT_EQ(ReadText(kTraceFile), "");
    EXPECT_EQ(OSA_closelog(), 0);
    EXPECT_EQ(OSA_closelog(), 0);  // the mutex's destruction
    EXPECT_EQ(OSA_closelog(), -1);
    EXPECT_EQ(OSA_TraceIdent, nullptr);

    // The first message opens the log itself, under its own identity.
    EXPECT_EQ(OSA_syslog(0, nullptr), 0);
    EXPECT_EQ(OSA_SyslogInitialized, 0u);
    EXPECT_EQ(OSA_syslog(0, "x\n"), 0);
    EXPECT_EQ(OSA_SyslogInitialized, 1u);
    EXPECT_EQ(ReadText(kTraceFile).substr(24), " OSA/VESK:x\n");
    // A missing trace file is never created.
    unlink(kTraceFile.c_str());
    EXPECT_EQ(OSA_syslog(0, "x\n"), 0);
    EXPECT_FALSE(Exists(kTraceFile));
    EXPECT_EQ(OSA_closelog(), 0);

    // No "TraceFile" entry: the default name.
    Config("Trace:b:1:00\n");
    EXPECT_EQ(OSA_openlog(first, 0, 0), 0);
    EXPECT_EQ(OSA_TraceEnabled, 0);
    EXPECT_STREQ(OSA_TraceFileName, OSA_TRACE_FILE_DEFAULT);
}

TEST_F(Trace, KeyStoreOperationsAreTraced) {
    char ident[] = "KS:";
    ASSERT_EQ(OSA_openlog(ident, 0, 0), 0);
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, 0, nullptr), 0);
    std::string lines;
    std::istringstream text(ReadText(kTraceFile));
    for (std::string line; std::getline(text, line);) {
        lines += line.substr(25) + "\n";
    }
    EXPECT_EQ(lines, "KS:OSA_cfg_Init\nKS:OSA_cfg_Open\nKS:OSA_cfg_Open:handle->Name=" +
                         kSystemDir + "/xmgrcfg.ks0\nKS:OSA_cfg_Cloe\n");
}

TEST_F(Trace, OnlyTheCallersOwnRegularFileIsWritten) {
    ASSERT_EQ(OSA_openlog(nullptr, 0, 0), 0);
    const std::string target = kRoot + "/target.log";
    WriteText(target, "");
    unlink(kTraceFile.c_str());
    ASSERT_EQ(symlink(target.c_str(), kTraceFile.c_str()), 0);
    EXPECT_EQ(OSA_syslog(0, "through a link\n"), 0);
    EXPECT_EQ(ReadText(target), "");
    PlantNonRegular(kTraceFile, true);
    InBoundedChild([] { EXPECT_EQ(OSA_syslog(0, "into a FIFO\n"), 0); });
    unlink(kTraceFile.c_str());
    unlink(target.c_str());

    WriteText(kTraceFile, "");
    if (geteuid() == 0) {  // only root can hand a file to another user
        ASSERT_EQ(chown(kTraceFile.c_str(), 65534, 65534), 0);
        EXPECT_EQ(OSA_syslog(0, "into another user's file\n"), 0);
        EXPECT_EQ(ReadText(kTraceFile), "");
        ASSERT_EQ(chown(kTraceFile.c_str(), 0, 0), 0);
    }
    EXPECT_EQ(Body("own file\n"), "own file\n");
}

TEST_F(Trace, MessagesFromSeveralThreadsStayWhole) {
    char ident[] = "T:";
    ASSERT_EQ(OSA_openlog(ident, 0, 0), 0);
    // Literal text before a conversion is written one byte per call, so
    // only the log mutex keeps two threads' messages apart.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                OSA_syslog(0, "thread %d message %d of %s\n", t, i, "fifty");
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    // Every record is a whole header followed by one whole message.
    std::vector<std::string> expected, seen;
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 50; ++i) {
            expected.push_back(" T:thread " + std::to_string(t) + " message " + std::to_string(i) +
                               " of fifty");
        }
    }
    std::istringstream text(ReadText(kTraceFile));
    for (std::string line; std::getline(text, line);) {
        seen.push_back(line.size() > 24 ? line.substr(24) : line);
    }
    std::sort(expected.begin(), expected.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
}

TEST(AlertMessage, GoesToStandardOutput) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(OSA_WriteAlertMessage(1, 2, 3, "alert text"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "alert text\n");
}

}  // namespace osa_test
