// Resources, key-store directories, key-store files and the trace log,
// against the configuration file at its fixed path.  Runs only inside a
// private platform root (see run-fresh-platform); the tests rewrite the
// configuration file there and put the provisioned one back afterwards.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "osa/osa.h"
#include "osa/storage_internal.h"

namespace {

const std::string kRoot = "/etc/opt/zorvex";
const std::string kSystemDir = kRoot + "/system";
const std::string kTraceFile = kRoot + "/trace.log";
std::string provisioned;  // the configuration as provisioned

std::string ReadText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool Exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

const std::string kUid = std::to_string(getuid());

/* Runs body in a child process that the alarm ends after `seconds`: a call
 * that blocks (opening a FIFO waits for its other end) fails the test
 * instead of hanging the suite.  The child's failures are printed as they
 * happen and reported here through its exit status. */
void InBoundedChild(const std::function<void()> &body, unsigned seconds = 10) {
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(seconds);
        body();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        << "blocked for more than " << seconds << " s";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/* Puts a FIFO, or a link to a device, where a regular file is expected. */
void PlantNonRegular(const std::string &path, bool fifo) {
    unlink(path.c_str());
    ASSERT_EQ(fifo ? mkfifo(path.c_str(), 0644) : symlink("/dev/zero", path.c_str()), 0) << path;
}

class Platform : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        // Writing through a FIFO or a device link left by a failed test
        // would block or go nowhere.
        struct stat status;
        if (lstat(OSA_CONFIG_PATH, &status) == 0 && !S_ISREG(status.st_mode)) {
            unlink(OSA_CONFIG_PATH);
        }
        WriteText(OSA_CONFIG_PATH, provisioned);
        Reset();
    }
    static void Reset() {
        osa_store::ResetDirectories();
        while (OSA_closelog() != -1) {
        }
    }
    static void Config(const std::string &text) { WriteText(OSA_CONFIG_PATH, text); }
    static std::string Path(uint32_t fileClass) {
        char path[OSA_PATH_MAX] = {};
        _OSA_GetCfgPath(fileClass, path);
        return path;
    }
};

TEST_F(Platform, IntegerEntries) {
    Config(
        "Trace:b:1:01\nFour:b:4:00:00:00:01\nFive:b:5:01:02:03:04:05\n"
        "Str:s:0:ab\nLong:s:0:abcdefg\n");
    uint32_t value = 99, size = 4;
    EXPECT_EQ(getIntegerFromCFG("Trace", &value, &size), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(getIntegerFromCFG("Four", &value, &size), 0);
    EXPECT_EQ(value, 1u);
    value = 99;
    EXPECT_EQ(getIntegerFromCFG("Five", &value, &size), 0);  // too long: 0, success
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(getIntegerFromCFG("Str", &value, &size), 0);  // 'a' 'b' NUL folded
    EXPECT_EQ(value, 0x616200u);
    EXPECT_EQ(getIntegerFromCFG("Long", &value, &size), -13);
    EXPECT_EQ(getIntegerFromCFG("Missing", &value, &size), -7);
    size = 5;
    EXPECT_EQ(getIntegerFromCFG("Five", &value, &size), -13);
    EXPECT_EQ(size, 5u);
}

TEST_F(Platform, ResourcesReportSizesAsTheLookupDid) {
    Config("Trace:b:1:01\nTraceFile:s:9:/x/y.log\n");
    uint32_t value = 0, size = 4;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE, &value, &size), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(size, 0u);
    for (uint32_t id : {0x1001u, 0x1009u, 0x0FFFu}) {
        size = 8;
        EXPECT_EQ(OSA_GetResource(id, &value, &size), -18);
        EXPECT_EQ(size, 0u);
    }
    char name[64] = {};
    size = sizeof name;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, name, &size), 0);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(name, "/x/y.log");
    char small[4] = "zzz";
    size = sizeof small;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, small, &size), 0);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(small, "zzz");
    size = sizeof name;
    EXPECT_EQ(OSA_GetResource(OSA_RES_DAC, name, &size), -7);

    // No configuration file: strings succeed with 0xFFFFFFFF, integers are 0.
    unlink(OSA_CONFIG_PATH);
    size = sizeof small;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, small, &size), 0);
    EXPECT_EQ(size, 0xFFFFFFFFu);
    EXPECT_STREQ(small, "zzz");
    size = 4;
    value = 7;
    EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE, &value, &size), 0);
    EXPECT_EQ(value, 0u);
}

TEST_F(Platform, DirectoriesOfUpTo199Characters) {
    const std::string dir199 = "/" + std::string(198, 'd');
    Config("ConfigDirectory:s:0:" + dir199 + "x\n");
    EXPECT_EQ(_GetVESKDirectories(), -14);
    EXPECT_STREQ(OSA_Get_VESK_SystemPath(), "");  // the refused value is not kept
    // A later call reads the file again; the root defaults to the system one.
    Config("ConfigDirectory:s:0:" + dir199 + "\n");
    EXPECT_EQ(_GetVESKDirectories(), 0);
    EXPECT_EQ(OSA_Get_VESK_SystemPath(), dir199);
    EXPECT_EQ(OSA_Get_VESK_UserPath(), dir199);
    // Resolved once per process: later changes do not reach the strings.
    Config("ConfigDirectory:s:0:/other\n");
    EXPECT_EQ(_GetVESKDirectories(), 0);
    EXPECT_EQ(OSA_Get_VESK_SystemPath(), dir199);
}

TEST_F(Platform, PathTable) {
    Config("ConfigDirectory:s:4:/a/b\nUserDirectoryRoot:s:2:/u\n");
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    char path[OSA_PATH_MAX];
    EXPECT_EQ(_OSA_GetCfgPath(3, path), 17u);
    EXPECT_STREQ(path, "/a/b/xmgrcfg.vkd");
    EXPECT_EQ(_OSA_GetCfgPath(0, path), 5u);
    EXPECT_STREQ(path, "/a/b");
    const std::string user = "/u/" + kUid + "/";
    EXPECT_EQ(_OSA_GetCfgPath(1, nullptr), user.size() + 1);
    EXPECT_EQ(Path(1), user);
    EXPECT_EQ(OSA_Get_VESK_UserPath(), user);
    EXPECT_EQ(Path(4), user + "xmgrcfg.ks2");
    EXPECT_EQ(Path(7), "/a/b/xmgrcfg.ks0");
    EXPECT_EQ(Path(12), user + "vesksdi.key");
    memset(path, 'Q', sizeof path);
    EXPECT_EQ(_OSA_GetCfgPath(14, path), 0u);
    EXPECT_EQ(path[0], 'Q');

    // Status: class 14 touches nothing; a capacity one short of the size
    // delivers the path without its NUL.
    int32_t exists = -5, nameSize = -5;
    uint32_t size = 77;
    EXPECT_EQ(OSA_cfg_Status(nullptr, 14, &exists, &size, nullptr, 64, path, &nameSize), 2);
    EXPECT_EQ(exists, -5);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(nameSize, -5);
    EXPECT_EQ(OSA_cfg_Status(nullptr, 3, &exists, &size, nullptr, 16, path, &nameSize), 0);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(nameSize, 17);
    EXPECT_EQ(memcmp(path, "/a/b/xmgrcfg.vkd", 16), 0);
    EXPECT_EQ(path[16], 'Q');
}

TEST_F(Platform, UnconfiguredDirectoriesGiveNoUsablePath) {
    Config("Trace:b:1:00\n");
    EXPECT_EQ(OSA_cfg_Init(nullptr), -14);
    EXPECT_EQ(_OSA_GetCfgPath(7, nullptr), 1u);
    EXPECT_EQ(_OSA_GetCfgPath(4, nullptr), 1u);
    OsaCfgHandle *cfg = nullptr;
    EXPECT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_CREATE, &cfg), -1);
    EXPECT_EQ(cfg, nullptr);
    EXPECT_FALSE(Exists("/xmgrcfg.ks0"));
    // Fixing the configuration later is picked up.
    Config(provisioned);
    EXPECT_EQ(Path(7), kSystemDir + "/xmgrcfg.ks0");
}

TEST_F(Platform, KeyStoreRoundTrip) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    const std::string file = kSystemDir + "/xmgrcfg.ks0";
    OSA_cfg_Delete(7);
    ASSERT_FALSE(Exists(file));
    // A missing file is created empty (0644) even for a read-only open.
    OsaCfgHandle *cfg = nullptr;
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_READ_ONLY, &cfg), 0);
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(cfg->Signature, OSA_CFG_SIGNATURE);
    EXPECT_EQ(cfg->Self, cfg);
    EXPECT_EQ(cfg->Name, file);
    EXPECT_EQ(cfg->NameSize, file.size() + 1);
    char buffer[16] = {};
    int32_t count = -1;
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, sizeof buffer, buffer, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
    struct stat status = {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);

    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_CREATE, &cfg), 0);
    EXPECT_EQ(OSA_cfg_Write(cfg, 2, 4, "keys", &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_READ_ONLY, &cfg), 0);
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, sizeof buffer, buffer, &count), 0);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(memcmp(buffer, "\0\0keys", 6), 0);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);

    int32_t exists = 0, nameSize = 0;
    uint32_t size = 0;
    char name[OSA_PATH_MAX];
    EXPECT_EQ(OSA_cfg_Status(nullptr, 7, &exists, &size, nullptr, sizeof name, name, &nameSize), 0);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(name, file);
    EXPECT_EQ(OSA_cfg_Delete(7), 0);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(OSA_cfg_Delete(7), -1);
    EXPECT_EQ(OSA_cfg_Delete(14), -1);
    cfg = reinterpret_cast<OsaCfgHandle *>(1);
    EXPECT_EQ(OSA_cfg_Open(nullptr, 14, 0, &cfg), -1);
    EXPECT_EQ(cfg, nullptr);
    // Without a place for the handle the open only makes sure the file exists.
    EXPECT_EQ(OSA_cfg_Open(nullptr, 8, 0, nullptr), 0);
    EXPECT_TRUE(Exists(kSystemDir + "/xmgrcfg.ks1"));
}

TEST_F(Platform, KeyStoreFilesMustBeRegularFiles) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    OSA_cfg_Delete(12);
    const std::string store = Path(7), key = Path(2);
    PlantNonRegular(store, true);
    PlantNonRegular(key, false);
    InBoundedChild([] {
        for (uint32_t fileClass : {2u, 7u}) {
            for (uint32_t flags : {OSA_FILE_READ_ONLY, 0u, OSA_FILE_CREATE}) {
                OsaCfgHandle *cfg = reinterpret_cast<OsaCfgHandle *>(1);
                EXPECT_EQ(OSA_cfg_Open(nullptr, fileClass, flags, &cfg), -1)
                    << "class " << fileClass << ", flags " << flags;
                EXPECT_EQ(cfg, nullptr);
            }
            // Status and kind see them as missing.
            int32_t exists = -5;
            uint32_t size = 77;
            EXPECT_EQ(
                OSA_cfg_Status(nullptr, fileClass, &exists, &size, nullptr, 0, nullptr, nullptr),
                0);
            EXPECT_EQ(exists, 0);
            EXPECT_EQ(size, 0u);
        }
        int32_t kind = 9, reserved = 9;
        uint32_t length = 0;
        EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, 0, nullptr, &length), 0);
        EXPECT_EQ(kind, 0);
        // The system directory, class 0, is a directory and still opens.
        EXPECT_EQ(OSA_cfg_Open(nullptr, 0, OSA_FILE_READ_ONLY, nullptr), 0);
    });
    // Nothing was created or replaced in their place.
    struct stat status = {};
    EXPECT_TRUE(lstat(store.c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
    EXPECT_TRUE(lstat(key.c_str(), &status) == 0 && S_ISLNK(status.st_mode));
    unlink(store.c_str());
    unlink(key.c_str());
}

TEST_F(Platform, AConfigurationFileThatIsNotRegularReadsAsMissing) {
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "link to /dev/zero");
        PlantNonRegular(OSA_CONFIG_PATH, fifo);
        InBoundedChild([] {
            char name[16] = "zzz";
            uint32_t size = sizeof name;
            EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE_FILE, name, &size), 0);
            EXPECT_EQ(size, 0xFFFFFFFFu);
            EXPECT_STREQ(name, "zzz");
            uint32_t value = 7;
            size = sizeof value;
            EXPECT_EQ(OSA_GetResource(OSA_RES_TRACE, &value, &size), 0);
            EXPECT_EQ(value, 0u);
            EXPECT_EQ(_GetVESKDirectories(), -14);
            EXPECT_EQ(OSA_MkUserdir(nullptr), EINVAL);
        });
        unlink(OSA_CONFIG_PATH);
    }
}

TEST_F(Platform, HandleChecks) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    int32_t count = 0;
    char byte = 0;
    EXPECT_EQ(CheckCfPtr(nullptr), 2);
    EXPECT_EQ(OSA_cfg_Close(nullptr), 2);
    EXPECT_EQ(OSA_cfg_Read(nullptr, 0, 1, &byte, &count), 2);
    OsaCfgHandle *cfg = nullptr;
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, 0, &cfg), 0);
    OsaCfgHandle copy = *cfg;
    EXPECT_EQ(CheckCfPtr(&copy), 3);
    EXPECT_EQ(OSA_cfg_Write(&copy, 0, 1, "x", &count), 3);
    cfg->Signature = 551;
    EXPECT_EQ(OSA_cfg_Close(cfg), 4);  // refused and not released
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, 1, &byte, &count), 4);
    cfg->Signature = OSA_CFG_SIGNATURE;
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
}

TEST_F(Platform, KeyStoreUpdatesFromSeveralProcessesAreNotLost) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_CREATE, nullptr), 0);
    // Each process adds 1 to a counter in the file 40 times, reading and
    // writing under one exclusive open.
    auto worker = [] {
        for (int i = 0; i < 40; ++i) {
            OsaCfgHandle *cfg = nullptr;
            uint32_t counter = 0;
            int32_t count = 0;
            if (OSA_cfg_Open(nullptr, 7, 0, &cfg) != 0 ||
                OSA_cfg_Read(cfg, 0, sizeof counter, &counter, &count) != 0) {
                return 1;
            }
            ++counter;
            usleep(100);
            if (OSA_cfg_Write(cfg, 0, sizeof counter, &counter, &count) != 0 ||
                OSA_cfg_Close(cfg) != 0) {
                return 2;
            }
        }
        return 0;
    };
    pid_t children[3];
    for (pid_t &child : children) {
        child = fork();
        if (child == 0) {
            _exit(worker());
        }
        ASSERT_GT(child, 0);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    OsaCfgHandle *cfg = nullptr;
    uint32_t counter = 0;
    int32_t count = 0;
    ASSERT_EQ(OSA_cfg_Open(nullptr, 7, OSA_FILE_READ_ONLY, &cfg), 0);
    EXPECT_EQ(OSA_cfg_Read(cfg, 0, sizeof counter, &counter, &count), 0);
    EXPECT_EQ(counter, 120u);
    EXPECT_EQ(OSA_cfg_Close(cfg), 0);
}

TEST_F(Platform, UserDirectoryAndKind) {
    ASSERT_EQ(OSA_cfg_Init(nullptr), 0);
    const std::string userDir = kRoot + "/users/" + kUid;
    OSA_cfg_Delete(2);
    OSA_cfg_Delete(12);
    EXPECT_EQ(OSA_cfg_Create(nullptr), 0);  // runs the provisioned MkUserDir
    struct stat status = {};
    ASSERT_EQ(stat(userDir.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    int32_t kind = 9, reserved = 9;
    uint32_t length = 0;
    char user[32];
    memset(user, 'Q', sizeof user);
    EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, 0, user, &length), 0);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(reserved, 0);
    EXPECT_EQ(length, kUid.size());
    EXPECT_EQ(user[0], 'Q');  // capacity 0: nothing copied
    ASSERT_EQ(OSA_cfg_Open(nullptr, 12, 0, nullptr), 0);
    EXPECT_TRUE(Exists(userDir + "/vesksdi.key"));
    EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, length, user, &length), 0);
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(std::string(user, length), kUid);
    EXPECT_EQ(user[length], 'Q');  // exactly the capacity, no NUL
    ASSERT_EQ(OSA_cfg_Open(nullptr, 2, 0, nullptr), 0);
    EXPECT_EQ(OSA_cfg_Class(nullptr, &kind, &reserved, sizeof user, user, &length), 0);
    EXPECT_EQ(kind, -1);
    EXPECT_STREQ(user, kUid.c_str());
}

TEST_F(Platform, MkUserdirRunsOnlyATextCommand) {
    const std::string marker = kRoot + "/marker";
    Config("MkUserDir:b:2:41:42\nMkUserDir:s:0:touch " + marker + "\n");
    EXPECT_EQ(OSA_MkUserdir(nullptr), 2);  // the first entry is binary
    Config("Trace:b:1:00\n");
    EXPECT_EQ(OSA_MkUserdir(nullptr), 2);
    Config("MkUserDir:s:0:touch " + marker + "\n");
    EXPECT_FALSE(Exists(marker));
    EXPECT_EQ(OSA_MkUserdir(nullptr), 0);
    EXPECT_TRUE(Exists(marker));
    Config("MkUserDir:s:0:exit 3\n");
    EXPECT_EQ(OSA_MkUserdir(nullptr), 3 << 8);
    unlink(OSA_CONFIG_PATH);
    EXPECT_EQ(OSA_MkUserdir(nullptr), ENOENT);
}

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

}  // namespace

int main(int argc, char **argv) {
    // Never run against the host's own configuration.
    if (getenv("KAVO_PLATFORM_ROOT") == nullptr || !Exists(OSA_CONFIG_PATH)) {
        fprintf(stderr, "needs a private platform root (run through tools/kavo-platform)\n");
        return 77;
    }
    provisioned = ReadText(OSA_CONFIG_PATH);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
