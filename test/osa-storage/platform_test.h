// Scaffolding of the tests that run against the configuration file at its
// fixed path, inside a private platform root (kavo_add_platform_test); they
// rewrite the configuration file there and put the provisioned one back
// afterwards.
#ifndef KAVO_TEST_OSA_PLATFORM_TEST_H
#define KAVO_TEST_OSA_PLATFORM_TEST_H

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

namespace osa_test {

inline const std::string kRoot = "/etc/opt/zorvex";
inline const std::string kSystemDir = kRoot + "/system";
inline const std::string kTraceFile = kRoot + "/trace.log";
extern std::string provisioned;  // the configuration as provisioned (platform_main.cpp)

inline std::string ReadText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline bool Exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

inline const std::string kUid = std::to_string(getuid());

/* Runs body in a child process that the alarm ends after `seconds`: a call
 * that blocks (opening a FIFO waits for its other end) fails the test
 * instead of hanging the suite.  The child's failures are printed as they
 * happen and reported here through its exit status. */
inline void InBoundedChild(const std::function<void()> &body, unsigned seconds = 10) {
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
inline void PlantNonRegular(const std::string &path, bool fifo) {
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
        osa_store::resetDirectories();
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

}  // namespace osa_test

#endif
