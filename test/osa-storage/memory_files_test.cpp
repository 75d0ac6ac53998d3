// Byte buffers, 16-bit string lengths and locked files, on real files in a
// private temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "osa/osa.h"
#include "test/support/temp_dir.h"

namespace {

TEST(OsaMemory, MemmoveGivesTheSourceBytesForBothOverlaps) {
    char up[] = "0123456789";
    EXPECT_EQ(OSA_memmove(up + 2, up, 6), up + 2);
    EXPECT_STREQ(up, "0101234589");
    char down[] = "0123456789";
    OSA_memmove(down, down + 3, 7);
    EXPECT_STREQ(down, "3456789789");
}

// Every length, with the areas overlapping by every offset in both
// directions, gives the bytes the source held before the copy.
TEST(OsaMemory, CopiesAndMovesOfEveryLengthAndOverlapMatchTheSource) {
    for (uint32_t n = 0; n <= 140; ++n) {
        for (int shift = -40; shift <= 40; ++shift) {
            std::vector<unsigned char> buffer(256), expected(256);
            for (size_t i = 0; i < buffer.size(); ++i) {
                buffer[i] = static_cast<unsigned char>(i * 7 + 3);
            }
            expected = buffer;
            const size_t from = 60, to = static_cast<size_t>(60 + shift);
            memmove(expected.data() + to, expected.data() + from, n);
            EXPECT_EQ(OSA_memmove(buffer.data() + to, buffer.data() + from, n), buffer.data() + to);
            ASSERT_EQ(buffer, expected) << "memmove of " << n << " bytes, shift " << shift;
        }
        std::vector<unsigned char> src(n + 1, 0x5A), dst(n + 2, 0);
        for (uint32_t i = 0; i < n; ++i) {
            src[i] = static_cast<unsigned char>(i + 1);
        }
        EXPECT_EQ(OSA_memcpy(dst.data(), src.data(), n), dst.data());
        ASSERT_EQ(memcmp(dst.data(), src.data(), n), 0) << "memcpy of " << n << " bytes";
        ASSERT_EQ(dst[n], 0) << "memcpy of " << n << " bytes wrote past the end";
    }
}

// The exact difference of the first differing bytes, wherever they lie
// relative to the words in which equal stretches are skipped.
TEST(OsaMemory, CompareFindsTheFirstDifferenceAtEveryPosition) {
    std::vector<unsigned char> a(1100), b;
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<unsigned char>(i % 251);  // a[i] + 3 never wraps
    }
    for (uint32_t at : {0u, 1u, 255u, 256u, 257u, 511u, 1099u}) {
        b = a;
        b[at] = static_cast<unsigned char>(a[at] + 3);
        if (at + 1 < b.size()) {
            b[at + 1] = 0;  // a later difference must not be the one reported
        }
        EXPECT_EQ(OSA_memcmp(a.data(), b.data(), 1100), -3) << "difference at " << at;
        EXPECT_EQ(OSA_memcmp(b.data(), a.data(), 1100), 3) << "difference at " << at;
        EXPECT_EQ(OSA_memcmp(a.data(), b.data(), at), 0) << "length " << at;
    }
}

// A differing range is scanned a word at a time, then byte by byte: a
// difference at any position of any short length is found.
TEST(OsaMemory, CompareOfShortRangesFindsADifferenceAtAnyPosition) {
    for (uint32_t n = 1; n <= 70; ++n) {
        std::vector<unsigned char> a(n, 0x80), b;
        for (uint32_t at = 0; at < n; ++at) {
            b = a;
            b[at] = 0x01;
            ASSERT_EQ(OSA_memcmp(a.data(), b.data(), n), 0x7F) << n << " bytes, at " << at;
            ASSERT_EQ(OSA_memcmp(b.data(), a.data(), n), -0x7F) << n << " bytes, at " << at;
        }
        EXPECT_EQ(OSA_memcmp(a.data(), std::vector<unsigned char>(n, 0x80).data(), n), 0);
    }
}

TEST(OsaMemory, FillFindAndCompareUseUnsignedBytes) {
    unsigned char buffer[8];
    OSA_memset(buffer, 0x1A5, sizeof buffer);  // only the low byte counts
    EXPECT_EQ(buffer[7], 0xA5);
    buffer[5] = 0xFF;
    EXPECT_EQ(OSA_memchr(buffer, 0xFF, sizeof buffer), buffer + 5);
    EXPECT_EQ(OSA_memchr(buffer, 0xA5, sizeof buffer), buffer);
    EXPECT_EQ(OSA_memchr(buffer, 0x80, sizeof buffer), nullptr);
    EXPECT_EQ(OSA_memchr(buffer, 0xA5, 0), nullptr);

    const unsigned char a[] = {7, 0x01}, b[] = {7, 0xFF};
    EXPECT_EQ(OSA_memcmp(a, b, 2), -254);
    EXPECT_EQ(OSA_memcmp(b, a, 2), 254);
    EXPECT_EQ(OSA_memcmp(a, b, 1), 0);
    // The same address is equal, or already copied, without a byte being
    // touched: the sanitizer build would report an access past this one-byte
    // object.
    char one = 'x';
    EXPECT_EQ(OSA_memcmp(&one, &one, 4096), 0);
    EXPECT_EQ(OSA_memcpy(&one, &one, 4096), &one);
    EXPECT_EQ(OSA_memmove(&one, &one, 4096), &one);
    EXPECT_EQ(OSA_memcpy(&one, nullptr, 0), &one);
}

TEST(OsaMemory, UnicodeLengthsCountUnitsAndTheTerminator) {
    const uint16_t empty[] = {0};
    const uint16_t text[] = {0x41, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(OSA_UnicodeLength(empty), 0u);
    EXPECT_EQ(OSA_UnicodeSize(empty), 2u);
    EXPECT_EQ(OSA_UnicodeLength(text), 3u);
    EXPECT_EQ(OSA_UnicodeSize(text), 8u);
    EXPECT_EQ(OSA_UnicodeSize(nullptr), 0u);
    EXPECT_EQ(OSA_UnicodeLength(nullptr), 0u);
}

class OsaFiles : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.create("osa-files")); }
    void TearDown() override { ASSERT_TRUE(dir_.remove()); }
    std::string Path(const char *name) const { return dir_.file(name); }
    static std::vector<unsigned char> Pattern(size_t size) {
        std::vector<unsigned char> bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
        }
        return bytes;
    }
    static mode_t Mode(const std::string &path) {
        struct stat status = {};
        stat(path.c_str(), &status);
        return status.st_mode & 07777;
    }
    kavotest::TempDir dir_;
};

TEST_F(OsaFiles, CreatedFilesAre0644WhateverTheMask) {
    const mode_t previous = umask(0077);
    OsaFileHandle handle;
    ASSERT_EQ(OSA_CreateFile(Path("f").c_str(), 0, &handle), 0);
    EXPECT_STREQ(handle.path, Path("f").c_str());
    EXPECT_EQ(OSA_CloseFile(&handle), 0);
    EXPECT_EQ(Mode(Path("f")), 0644u);
    EXPECT_EQ(OSA_WriteFile(Path("empty").c_str(), "", 0), 0);
    EXPECT_EQ(Mode(Path("empty")), 0644u);
    // Directories honour the mask: 0700 under 0077 stays 0700.
    EXPECT_EQ(OSA_Mkdir(Path("d").c_str()), 0);
    EXPECT_EQ(Mode(Path("d")), 0700u);
    umask(previous);
    EXPECT_EQ(OSA_Mkdir(Path("d").c_str()), -1);
}

TEST_F(OsaFiles, PathsOf256CharactersAreRefused) {
    std::string longPath = dir_.path() + "/";
    longPath.append(256 - longPath.size(), 'p');
    OsaFileHandle handle;
    handle.fd = 99;
    EXPECT_EQ(OSA_CreateFile(longPath.c_str(), 0, &handle), -1);
    EXPECT_EQ(handle.fd, -1);
    EXPECT_EQ(strlen(handle.path), 255u);
    EXPECT_EQ(OSA_FileExist(longPath.c_str()), -1);
    EXPECT_EQ(OSA_DeleteFile(longPath.c_str()), -1);
    EXPECT_EQ(OSA_Mkdir(longPath.c_str()), -1);
    // One character less is an ordinary path: nothing with the cut name of
    // 255 characters was created above.
    longPath.pop_back();
    EXPECT_EQ(access(longPath.c_str(), F_OK), -1);
    ASSERT_EQ(OSA_CreateFile(longPath.c_str(), 0, &handle), 0);
    OSA_CloseFile(&handle);
    EXPECT_EQ(OSA_FileExist(longPath.c_str()), 0);
}

TEST_F(OsaFiles, BytesAtOffsetsAndShortReads) {
    OsaFileHandle handle;
    EXPECT_EQ(OSA_OpenFile(Path("missing").c_str(), 0, &handle), -1);
    EXPECT_EQ(handle.fd, -1);
    ASSERT_EQ(OSA_CreateFile(Path("f").c_str(), 0, &handle), 0);
    int32_t count = 0;
    EXPECT_EQ(OSA_WriteBytes(&handle, 4, "abcd", 4, &count), 0);
    EXPECT_EQ(count, 4);
    char buffer[16] = {};
    EXPECT_EQ(OSA_ReadBytes(&handle, 2, buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(memcmp(buffer, "\0\0abcd", 6), 0);
    OSA_CloseFile(&handle);

    // A read-only handle cannot write: -1, with the write's -1 as count.
    ASSERT_EQ(OSA_OpenFile(Path("f").c_str(), OSA_FILE_READ_ONLY, &handle), 0);
    EXPECT_EQ(OSA_WriteBytes(&handle, 0, "x", 1, &count), -1);
    EXPECT_EQ(count, -1);
    OSA_CloseFile(&handle);
    uint32_t size = 0;
    EXPECT_EQ(OSA_GetFileSize(Path("f").c_str(), &size), 0);
    EXPECT_EQ(size, 8u);
    size = 5;
    EXPECT_EQ(OSA_GetFileSize(Path("missing").c_str(), &size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(OSA_FileExist(Path("missing").c_str()), -1);
}

TEST_F(OsaFiles, WholeFileCopyReadAndWrite) {
    const auto big = Pattern(8192);
    ASSERT_EQ(OSA_WriteFile(Path("src").c_str(), big.data(), 8192), 0);
    ASSERT_EQ(OSA_CopyFile(Path("dst").c_str(), Path("src").c_str()), 0);
    void *data = nullptr;
    int32_t size = 0;
    ASSERT_EQ(OSA_ReadFile(Path("dst").c_str(), &data, &size), 0);
    ASSERT_EQ(size, 8192);
    EXPECT_EQ(memcmp(data, big.data(), 8192), 0);
    free(data);

    // 5000 bytes: a full chunk and a remainder of 904.
    const auto odd = Pattern(5000);
    ASSERT_EQ(OSA_WriteFile(Path("odd").c_str(), odd.data(), 5000), 0);
    ASSERT_EQ(OSA_ReadFile(Path("odd").c_str(), &data, &size), 0);
    ASSERT_EQ(size, 5000);
    EXPECT_EQ(memcmp(data, odd.data(), 5000), 0);
    free(data);

    // An empty source empties the destination; a missing one leaves it.
    ASSERT_EQ(OSA_WriteFile(Path("none").c_str(), "", 0), 0);
    EXPECT_EQ(OSA_CopyFile(Path("dst").c_str(), Path("none").c_str()), 0);
    uint32_t length = 1;
    OSA_GetFileSize(Path("dst").c_str(), &length);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(OSA_CopyFile(Path("odd").c_str(), Path("missing").c_str()), -1);
    EXPECT_EQ(OSA_ReadFile(Path("missing").c_str(), &data, &size), -1);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0);

    // Copying a file onto itself (here through a second name) is refused and
    // keeps its contents; so is a negative size for a whole-file write.
    ASSERT_EQ(link(Path("odd").c_str(), Path("alias").c_str()), 0);
    EXPECT_EQ(OSA_CopyFile(Path("alias").c_str(), Path("odd").c_str()), -1);
    EXPECT_EQ(OSA_WriteFile(Path("odd").c_str(), "x", -1), -1);
    OSA_GetFileSize(Path("odd").c_str(), &length);
    EXPECT_EQ(length, 5000u);
}

/* Runs `child` in a forked process and returns its exit status. */
template <typename F>
pid_t Fork(F child) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(child());
    }
    return pid;
}

bool Finished(pid_t pid, int *status) {
    return waitpid(pid, status, WNOHANG) == pid;
}

TEST_F(OsaFiles, LocksExcludeAcrossProcesses) {
    const std::string path = Path("locked");
    const auto payload = Pattern(3000);
    ASSERT_EQ(OSA_WriteFile(path.c_str(), payload.data(), 3000), 0);

    // A reader holds its shared lock; a writer that creates and truncates
    // waits for it and only then empties the file.
    OsaFileHandle reader;
    ASSERT_EQ(OSA_OpenFile(path.c_str(), OSA_FILE_READ_ONLY, &reader), 0);
    const pid_t writer = Fork([&] {
        OsaFileHandle handle;
        if (OSA_OpenFile(path.c_str(), OSA_FILE_CREATE, &handle) != 0) {
            return 1;
        }
        int32_t count = 0;
        OSA_WriteBytes(&handle, 0, "new", 3, &count);
        return OSA_CloseFile(&handle) == 0 && count == 3 ? 0 : 2;
    });
    ASSERT_GT(writer, 0);
    usleep(200 * 1000);
    int status = 0;
    EXPECT_FALSE(Finished(writer, &status));
    unsigned char check[3000];
    int32_t count = 0;
    EXPECT_EQ(OSA_ReadBytes(&reader, 0, check, sizeof check, &count), 0);
    EXPECT_EQ(count, 3000);
    EXPECT_EQ(memcmp(check, payload.data(), 3000), 0);
    OSA_CloseFile(&reader);
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    uint32_t size = 0;
    OSA_GetFileSize(path.c_str(), &size);
    EXPECT_EQ(size, 3u);

    // A writer's exclusive lock keeps even the existence check waiting.
    OsaFileHandle holder;
    ASSERT_EQ(OSA_OpenFile(path.c_str(), 0, &holder), 0);
    const pid_t probe = Fork([&] { return OSA_FileExist(path.c_str()) == 0 ? 0 : 1; });
    usleep(200 * 1000);
    EXPECT_FALSE(Finished(probe, &status));
    OSA_CloseFile(&holder);
    ASSERT_EQ(waitpid(probe, &status, 0), probe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(OsaFiles, UnreadableFileDoesNotExist) {
    ASSERT_EQ(OSA_WriteFile(Path("secret").c_str(), "x", 1), 0);
    ASSERT_EQ(chmod(Path("secret").c_str(), 0200), 0);
    ASSERT_EQ(OSA_WriteFile(Path("public").c_str(), "x", 1), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(OSA_FileExist(Path("secret").c_str()), -1);
        EXPECT_EQ(OSA_FileExist(Path("public").c_str()), 0);
        return;
    }
    // Root reads every file, so the check runs in a child that has given up
    // root for an unprivileged user; the directory must let that user in.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const uid_t nobody = 65534;
        if (setgid(nobody) != 0 || setuid(nobody) != 0) {
            _exit(3);
        }
        const bool unreadableMissing = OSA_FileExist(Path("secret").c_str()) == -1;
        const bool readableFound = OSA_FileExist(Path("public").c_str()) == 0;
        _exit(unreadableMissing && readableFound ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong answers; 3: could not drop root";
}

}  // namespace
