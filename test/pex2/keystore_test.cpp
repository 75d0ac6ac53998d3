// The machine key store guarded: private directory, regular file, never
// rewritten when damaged, provisioned atomically by one of several racing
// processes and intact after a kill at any moment, and the kept keys never
// outliving the file they came from.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include "test/pex2/pex2_test.h"

using namespace pex2test;

namespace {

const char *kSystemDirectory = "/etc/opt/zorvex/system";

/* Removes whatever is at the store's path, a directory included. */
void ClearStorePath() {
    if (unlink(kKeyStorePath) != 0 && errno == EISDIR) {
        rmdir(kKeyStorePath);
    }
}

/* The wrapping key kind of a new session, or the negated status. */
int64_t SessionKind(uint64_t module) {
    Session s(module);
    if (s.status() != PEX2_OK) {
        return s.status();
    }
    uint32_t present = 0;
    return s.Attribute(s.FindWrappingKey(), PEX_ATTR_KEY_KIND, &present);
}

/* Runs SessionKind in a child with the given kind for a new store, once the
 * gate (a pipe, or none) opens; the child's exit code is the kind it saw
 * (1, 2, 12), 99 after a failure. */
pid_t ForkSession(const char *kind, const int *gate) {
    const pid_t child = fork();
    if (child == 0) {
        setenv(PEX2_ENV_WRAPPING_KEY_KIND, kind, 1);
        // Waits until the parent closes the gate's write end.
        if (gate != nullptr) {
            close(gate[1]);
            char byte;
            (void)!read(gate[0], &byte, 1);
        }
        const int64_t seen = SessionKind(0x7000u + static_cast<uint64_t>(getpid()));
        _exit(seen > 0 ? static_cast<int>(seen) : 99);
    }
    return child;
}

int WaitCode(pid_t child) {
    int wstatus = 0;
    if (waitpid(child, &wstatus, 0) != child) {
        return -1;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus);
}

class KeyStore : public ::testing::Test {
   protected:
    void SetUp() override {
        ClearStorePath();
        chmod(kSystemDirectory, 0700);
        alarm(60);  // a call that blocks fails the program instead of hanging
    }
    void TearDown() override {
        alarm(0);
        chmod(kSystemDirectory, 0700);
        chown(kSystemDirectory, geteuid(), static_cast<gid_t>(-1));
        ClearStorePath();
    }
};

TEST_F(KeyStore, SomethingOtherThanARegularFileIsRefusedWithoutBlockingAndLeftAlone) {
    {
        Session first(0x6000u);
        ASSERT_EQ(first.status(), PEX2_OK);
    }
    const std::vector<uint8_t> good = ReadFileBytes(kKeyStorePath);
    ASSERT_EQ(good.size(), 116u);
    const std::string copy = std::string(kSystemDirectory) + "/copy.ks0";
    WriteFileBytes(copy.c_str(), good);

    struct Damage {
        const char *what;
        int (*make)(const std::string &copy);
        mode_t type;
    };
    const Damage damages[] = {
        {"link to a good store",
         [](const std::string &c) { return symlink(c.c_str(), kKeyStorePath); }, S_IFLNK},
        {"link to /dev/null",
         [](const std::string &) { return symlink("/dev/null", kKeyStorePath); }, S_IFLNK},
        {"FIFO", [](const std::string &) { return mkfifo(kKeyStorePath, 0600); }, S_IFIFO},
        {"directory", [](const std::string &) { return mkdir(kKeyStorePath, 0700); }, S_IFDIR},
    };
    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.what);
        ClearStorePath();
        ASSERT_EQ(damage.make(copy), 0);
        Session s(0x6001u);
        EXPECT_EQ(s.status(), PEX2_ERR_KEYSTORE_UNREADABLE);
        struct stat info {};
        ASSERT_EQ(lstat(kKeyStorePath, &info), 0);
        EXPECT_EQ(info.st_mode & S_IFMT, damage.type);
    }
    EXPECT_EQ(ReadFileBytes(copy.c_str()), good);
    unlink(copy.c_str());
}

TEST_F(KeyStore, EmptyStoreIsNeverRewritten) {
    WriteFileBytes(kKeyStorePath, {});
    for (uint64_t module : {0x6100u, 0x6101u}) {
        Session s(module);
        EXPECT_EQ(s.status(), PEX2_ERR_KEYSTORE_UNREADABLE);
        struct stat info {};
        ASSERT_EQ(lstat(kKeyStorePath, &info), 0);
        EXPECT_EQ(info.st_size, 0);
    }
}

TEST_F(KeyStore, DirectoryOthersCanWriteOrAnotherUserOwnsIsRefused) {
    for (mode_t mode : {mode_t{0720}, mode_t{0702}, mode_t{01777}}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(chmod(kSystemDirectory, mode), 0);
        Session s(0x6200u);
        EXPECT_EQ(s.status(), PEX2_ERR_KEYSTORE_UNSAFE);
        // Nothing is provisioned into such a directory.
        EXPECT_NE(access(kKeyStorePath, F_OK), 0);
    }
    ASSERT_EQ(chmod(kSystemDirectory, 0755), 0);
    {
        Session s(0x6201u);
        EXPECT_EQ(s.status(), PEX2_OK);
    }
    // An owner that is neither this user nor root (possible only with the
    // right to give files away).
    const uid_t stranger = geteuid() == 0 ? 4242 : 0;
    if (geteuid() == 0 && chown(kSystemDirectory, stranger, static_cast<gid_t>(-1)) == 0) {
        Session s(0x6202u);
        EXPECT_EQ(s.status(), PEX2_ERR_KEYSTORE_UNSAFE);
    }
}

TEST_F(KeyStore, ProcessesProvisioningTogetherAllUseTheStoreThatWon) {
    // Each contender would provision another wrapping key kind; whoever
    // loses must end up with the winner's.
    const char *kinds[] = {"1", "2", "12"};
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ClearStorePath();
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 6; ++i) {
            children.push_back(ForkSession(kinds[(i + round) % 3], gate));
        }
        close(gate[0]);
        close(gate[1]);
        std::vector<int> seen;
        for (pid_t child : children) {
            seen.push_back(WaitCode(child));
        }
        const std::vector<uint8_t> store = ReadFileBytes(kKeyStorePath);
        ASSERT_EQ(store.size(), 116u);
        for (int code : seen) {
            EXPECT_EQ(code, store[8]);
        }
    }
}

TEST_F(KeyStore, KillAtAnyMomentOfProvisioningLeavesNoStoreOrAWholeOne) {
    int absent = 0;
    int whole = 0;
    for (int i = 0; i < 40; ++i) {
        ClearStorePath();
        const pid_t child = ForkSession("12", nullptr);
        ASSERT_GT(child, 0);
        // Spread the kill over the child's start and its provisioning.
        struct timespec pause {0, (i % 20) * 150000L};
        nanosleep(&pause, nullptr);
        kill(child, SIGKILL);
        WaitCode(child);
        struct stat info {};
        if (lstat(kKeyStorePath, &info) != 0) {
            ++absent;
            continue;
        }
        ++whole;
        EXPECT_EQ(info.st_size, 116) << i;
        Session s(0x6400u);
        EXPECT_EQ(s.status(), PEX2_OK) << i;
    }
    // How the kills fell, for the test report.
    RecordProperty("absent", absent);
    RecordProperty("whole", whole);
}

TEST_F(KeyStore, KeptKeysNeverOutliveTheFileTheyCameFrom) {
    // Two stores with different kinds of wrapping key.
    std::vector<uint8_t> stores[2];
    const char *kinds[] = {"1", "2"};
    for (int i = 0; i < 2; ++i) {
        ClearStorePath();
        ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, kinds[i]);
        Session s(0x6500u + i);
        ASSERT_EQ(s.status(), PEX2_OK);
        stores[i] = ReadFileBytes(kKeyStorePath);
    }
    // The second store, settled, is read once and its keys kept.
    const struct timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, kKeyStorePath, old, 0), 0);
    sleep(2);  // the change time, which cannot be set back, settles too
    EXPECT_EQ(SessionKind(0x6510u), 2);
    EXPECT_EQ(SessionKind(0x6511u), 2);

    // Damaged in place with its size and modification time kept.
    std::vector<uint8_t> damaged = stores[1];
    damaged[40] ^= 0x01;
    WriteFileBytes(kKeyStorePath, damaged);
    ASSERT_EQ(utimensat(AT_FDCWD, kKeyStorePath, old, 0), 0);
    EXPECT_EQ(SessionKind(0x6512u), PEX2_ERR_KEYSTORE_UNREADABLE);

    // Replaced by another whole store: its keys, not the kept ones.
    const std::string aside = std::string(kSystemDirectory) + "/aside.ks0";
    WriteFileBytes(aside.c_str(), stores[0]);
    ASSERT_EQ(rename(aside.c_str(), kKeyStorePath), 0);
    EXPECT_EQ(SessionKind(0x6513u), 1);

    // Removed: provisioned afresh, with the kind asked for now.
    ClearStorePath();
    ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, "12");
    EXPECT_EQ(SessionKind(0x6514u), 12);
}

}  // namespace
