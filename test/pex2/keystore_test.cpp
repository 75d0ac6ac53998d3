// The machine key store provisioned by one of several racing processes, a
// store that vanishes while it is opened, and the kept keys never outliving
// the file they came from nor reaching a core dump.  The damaged states
// (links, FIFOs, empty or short stores, unsafe directories, kills during
// provisioning) are built end to end by test/js/reliability.test.js.
//
// open(2) is interposed for the whole program: the library's calls resolve
// to the definition below first.  It passes every call on, and, once armed,
// removes the key store just before the next ordinary open of it (the
// key-store open that follows the simulator's look at the store), so that
// the store vanishes at the worst moment every time.
#undef _FORTIFY_SOURCE  // open() must be a plain function here
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "test/pex2/pex2_test.h"
#include "test/support/temp_dir.h"

using namespace pex2test;

namespace {

std::atomic<bool> vanishBeforeOpen{false};

}  // namespace

extern "C" __attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    using Open = int (*)(const char *, int, ...);
    static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
    if ((flags & O_PATH) == 0 && strcmp(path, kKeyStorePath) == 0 &&
        vanishBeforeOpen.exchange(false)) {
        unlink(path);
    }
    return real(path, flags, mode);
}

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

TEST_F(KeyStore, AStoreThatVanishesAsItIsOpenedIsProvisionedNotLeftEmpty) {
    {
        ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, "1");
        ASSERT_EQ(SessionKind(0x6520u), 1);
    }
    // Gone between the look at it and the key-store open, which creates a
    // missing file empty: that file must not become the store.
    ScopedEnv kind(PEX2_ENV_WRAPPING_KEY_KIND, "2");
    vanishBeforeOpen = true;
    EXPECT_EQ(SessionKind(0x6521u), 2);
    EXPECT_FALSE(vanishBeforeOpen) << "the store was never opened";
    EXPECT_EQ(ReadFileBytes(kKeyStorePath).size(), 116u);
    EXPECT_EQ(SessionKind(0x6522u), 2);
}

constexpr uint8_t kMask = 0x5A;

/* The wrapping key (kind 12) and the partition key of the store, masked
 * with kMask as soon as they are read, so that this program holds no copy
 * of them that FindInMemory could find. */
std::vector<std::vector<uint8_t>> MaskedKeys() {
    uint8_t store[116];
    const int fd = ::open(kKeyStorePath, O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && ::read(fd, store, sizeof store) == sizeof store;
    if (fd >= 0) {
        close(fd);
    }
    for (uint8_t &byte : store) {
        byte ^= kMask;
    }
    if (!read || (store[8] ^ kMask) != 12) {
        return {};
    }
    return {{store + 16, store + 48}, {store + 52, store + 84}};
}

/* Copies of the bytes that `masked` holds masked in this process's
 * memory, by whether their mapping is left out of core dumps.  Mappings
 * with nothing resident, or of more than 1 GiB (a sanitizer's shadow), are
 * passed over. */
struct Copies {
    int dumped = 0;
    int undumped = 0;
};

Copies FindInMemory(const std::vector<uint8_t> &masked) {
    struct Region {
        uintptr_t start, end;
        bool readable;
        bool undumped;
        bool resident;
    };
    std::vector<Region> regions;
    std::ifstream smaps("/proc/self/smaps");
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start = 0;
        unsigned long end = 0;
        char perms[5] = {};
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3) {
            const bool special = line.find("[vvar]") != std::string::npos ||
                                 line.find("[vsyscall]") != std::string::npos;
            regions.push_back({start, end, perms[0] == 'r' && !special, false, false});
        } else if (line.rfind("Rss:", 0) == 0 && !regions.empty()) {
            regions.back().resident = line.find_first_of("123456789") != std::string::npos;
        } else if (line.rfind("VmFlags:", 0) == 0 && !regions.empty()) {
            regions.back().undumped = (line + " ").find(" dd ") != std::string::npos;
        }
    }
    Copies copies;
    const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> chunk(size_t{1} << 20);
    // Reads overlap by the pattern's length, so that no copy straddles two
    // unseen; a copy in the overlap is counted with the later read.
    const size_t step = chunk.size() - masked.size();
    for (const Region &region : regions) {
        if (!region.readable || !region.resident ||
            region.end - region.start > (uintptr_t{1} << 30)) {
            continue;
        }
        for (uintptr_t at = region.start; at < region.end; at += step) {
            const size_t want = std::min<uintptr_t>(chunk.size(), region.end - at);
            const ssize_t got = pread(mem, chunk.data(), want, static_cast<off_t>(at));
            const size_t size = got > 0 ? static_cast<size_t>(got) : 0;
            const bool last = at + size >= region.end;
            // Unmasked here, compared masked: the raw bytes never stand in
            // the chunk, which is cleared before the next read.
            for (size_t i = 0; i < size; ++i) {
                chunk[i] ^= kMask;
            }
            const uint8_t *from = chunk.data();
            const uint8_t *const stop = chunk.data() + (last ? size : std::min(size, step));
            while (from < stop) {
                const auto *hit = static_cast<const uint8_t *>(
                    memmem(from, static_cast<size_t>(chunk.data() + size - from), masked.data(),
                           masked.size()));
                if (hit == nullptr || hit >= stop) {
                    break;
                }
                ++(region.undumped ? copies.undumped : copies.dumped);
                from = hit + 1;
            }
            memset(chunk.data(), 0, chunk.size());
            if (size < want) {
                break;
            }
        }
    }
    close(mem);
    return copies;
}

TEST_F(KeyStore, KeptKeysLieOnlyInMemoryLeftOutOfCoreDumpsAndGoWithTheLibrary) {
    // A settled store, whose keys a session start keeps.
    ASSERT_EQ(SessionKind(0x6530u), 12);
    const struct timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, kKeyStorePath, old, 0), 0);
    sleep(2);
    const auto keys = MaskedKeys();
    ASSERT_EQ(keys.size(), 2u);

    // A second copy of the library, loaded and unloaded here.
    Dl_info self = {};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&PEXX_Authenticate), &self), 0);
    kavotest::TempDir dir;
    ASSERT_TRUE(dir.create("pex2-unload"));
    const std::string copy = dir.file("libpex2-copy.so");
    std::filesystem::copy_file(self.dli_fname, copy);
    void *library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto authenticate =
        reinterpret_cast<decltype(&PEXX_Authenticate)>(dlsym(library, "PEXX_Authenticate"));
    const auto goodbye = reinterpret_cast<decltype(&PEXX_Goodbye)>(dlsym(library, "PEXX_Goodbye"));
    ASSERT_NE(authenticate, nullptr);
    ASSERT_NE(goodbye, nullptr);
    TestLock lock;
    uint8_t scratch[16] = {};
    uint64_t out = 0;
    ASSERT_EQ(authenticate(0x6531u, &lock.mutex, nullptr, scratch, 0, &out), PEX2_OK);
    ASSERT_EQ(goodbye(0x6531u), PEX2_OK);
    for (const auto &key : keys) {
        const Copies kept = FindInMemory(key);
        EXPECT_GE(kept.undumped, 1) << "the keys are kept";
        EXPECT_EQ(kept.dumped, 0) << "a copy of a machine key would reach a core dump";
    }
    ASSERT_EQ(dlclose(library), 0);
    for (const auto &key : keys) {
        const Copies left = FindInMemory(key);
        EXPECT_EQ(left.undumped + left.dumped, 0) << "the library left a machine key behind";
    }
}

}  // namespace
