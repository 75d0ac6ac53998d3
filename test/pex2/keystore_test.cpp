// The machine key store provisioned by one of several racing processes, and
// the kept keys never outliving the file they came from.  The damaged states
// (links, FIFOs, empty or short stores, unsafe directories, kills during
// provisioning) are built end to end by test/js/reliability.test.js.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include "test/pex2/pex2_test.h"

using namespace pex2test;

namespace {

const char *kSystemDirectory = "/etc/opt/zorvex/system";

/* The wrapping key kind of a new session, or the negated status. */
int64_t SessionKind(uint64_t module) {
    Session s(module);
    if (s.status() != PEX2_OK) {
        return s.status();
    }
    uint32_t present = 0;
    return s.Attribute(s.FindWrappingKey(), PEX_ATTR_KEY_KIND, &present);
}

/* Runs SessionKind in a child with the given kind for a new store once the
 * parent closes the gate's write end; the child's exit code is the kind it
 * saw (1, 2, 12), 99 after a failure. */
pid_t ForkSession(const char *kind, const int gate[2]) {
    const pid_t child = fork();
    if (child == 0) {
        setenv(PEX2_ENV_WRAPPING_KEY_KIND, kind, 1);
        close(gate[1]);
        char byte;
        (void)!read(gate[0], &byte, 1);
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
        RemoveKeyStore();
        alarm(60);  // a call that blocks fails the program instead of hanging
    }
    void TearDown() override {
        alarm(0);
        RemoveKeyStore();
    }
};

TEST_F(KeyStore, ProcessesProvisioningTogetherAllUseTheStoreThatWon) {
    // Each contender would provision another wrapping key kind; whoever
    // loses must end up with the winner's.
    const char *kinds[] = {"1", "2", "12"};
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        RemoveKeyStore();
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

TEST_F(KeyStore, KeptKeysNeverOutliveTheFileTheyCameFrom) {
    // Two stores with different kinds of wrapping key.
    std::vector<uint8_t> stores[2];
    const char *kinds[] = {"1", "2"};
    for (int i = 0; i < 2; ++i) {
        RemoveKeyStore();
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
    RemoveKeyStore();
    ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, "12");
    EXPECT_EQ(SessionKind(0x6514u), 12);
}

}  // namespace
