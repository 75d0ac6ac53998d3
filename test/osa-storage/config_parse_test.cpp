// The configuration line format: reading lines, reading, looking up and
// writing entries on descriptors of real temporary files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "osa/osa.h"

namespace {

class OsaConfigFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/osa-cfg-XXXXXX";
        fd_ = mkstemp(pattern);
        ASSERT_GE(fd_, 0);
        path_ = pattern;
    }
    void TearDown() override {
        close(fd_);
        unlink(path_.c_str());
    }
    /* Replaces the file's contents and rewinds the descriptor. */
    void Write(const std::string &text) {
        ASSERT_EQ(ftruncate(fd_, 0), 0);
        ASSERT_EQ(pwrite(fd_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        lseek(fd_, 0, SEEK_SET);
    }
    std::string Contents() const {
        std::string text(4096, '\0');
        const ssize_t n = pread(fd_, text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return text;
    }
    int64_t Lookup(const char *name, void *value, size_t size) {
        char type = 0;
        return OSA_unxCfgLookup(fd_, name, &type, value, size);
    }
    int fd_ = -1;
    std::string path_;
};

TEST_F(OsaConfigFile, LinesAreCutAt300Characters) {
    Write("ab\n" + std::string(301, 'x') + "\nlast");
    char line[OSA_CFG_LINE_BUFFER];
    EXPECT_EQ(fget_string(line, fd_), 4);  // "ab\n" and the NUL
    EXPECT_STREQ(line, "ab\n");
    EXPECT_EQ(fget_string(line, fd_), 1);
    EXPECT_EQ(strlen(line), 300u);
    // The 301st character was consumed; the newline is the next line.
    EXPECT_EQ(fget_string(line, fd_), 2);
    EXPECT_STREQ(line, "\n");
    // A last line without a newline is not reported as a line.
    EXPECT_EQ(fget_string(line, fd_), 0);
    EXPECT_EQ(lseek(fd_, 0, SEEK_CUR), 3 + 302 + 4);
}

TEST_F(OsaConfigFile, ReadDeliversStringsAndBinaryValues) {
    Write("Dir:s:99:/var/x y\nKey:b:3:0A:ff:1c3\nOther:q:1:zz\n");
    char name[32], type = 0, value[16] = {};
    EXPECT_EQ(OSA_unxCfgRead(fd_, name, &type, value, 4), 9);  // too small: size only
    EXPECT_EQ(value[0], '\0');
    lseek(fd_, 0, SEEK_SET);
    EXPECT_EQ(OSA_unxCfgRead(fd_, name, &type, value, sizeof value), 9);
    EXPECT_STREQ(name, "Dir");
    EXPECT_EQ(type, 's');
    EXPECT_STREQ(value, "/var/x y");
    EXPECT_EQ(OSA_unxCfgRead(fd_, name, &type, value, 2), -1);  // 3 bytes do not fit
    lseek(fd_, 18, SEEK_SET);
    EXPECT_EQ(OSA_unxCfgRead(fd_, name, &type, value, sizeof value), 3);
    EXPECT_EQ(type, 'b');
    EXPECT_EQ(memcmp(value, "\x0a\xff\xc3", 3), 0);  // only the low 8 bits of 1c3
    EXPECT_EQ(OSA_unxCfgRead(fd_, name, &type, value, sizeof value), 0);  // unknown type
    EXPECT_EQ(OSA_unxCfgRead(fd_, name, &type, value, sizeof value), 0);  // end of file
}

TEST_F(OsaConfigFile, LookupStopsAtTheFirstMatchOrUnusableLine) {
    unsigned char value[8] = {};
    Write("A:b:2:01:02:03\nA:b:1:09\nB:b:3:01:02\nC:b:1:07\n");
    EXPECT_EQ(Lookup("A", value, sizeof value), 2);  // extra groups ignored, first wins
    EXPECT_EQ(value[1], 2);
    // Fewer groups than the length: 0, and the entries after it are hidden.
    EXPECT_EQ(Lookup("B", value, sizeof value), 0);
    EXPECT_EQ(Lookup("C", value, sizeof value), 0);

    Write("\nA:s:1:x\n");
    EXPECT_EQ(Lookup("A", value, sizeof value), 0);  // a blank first line hides all
    Write("Zero:b:0\nA:s:1:x\n");
    EXPECT_EQ(Lookup("A", value, sizeof value), 0);
    Write("A:s:1:x\n" + std::string(301, 'y') + "\nB:s:1:z\n");
    EXPECT_EQ(Lookup("B", value, sizeof value), 0);  // the lone newline ends it
    Write("A:s:1:x\nB:s:1:z");
    EXPECT_EQ(Lookup("B", value, sizeof value), 0);  // no newline, never found

    // Entries passed over never reach the caller's buffer.
    memset(value, 0xEE, sizeof value);
    Write("Small:s:1:abc\nBin:b:2:01:02\nWanted:s:5:too long for it\n");
    EXPECT_EQ(Lookup("Wanted", value, sizeof value), 16);
    EXPECT_EQ(value[0], 0xEE);
    EXPECT_EQ(value[7], 0xEE);
}

TEST_F(OsaConfigFile, WrittenEntriesReadBack) {
    const unsigned char bytes[] = {0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "Trace", 'b', bytes, 4), 4);
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "Empty", 'b', bytes, 0), 0);
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "Dir", 's', "/a/b", 77), 4);
    EXPECT_EQ(Contents(), "Trace:b:4:00:00:00:01\nEmpty:b:0\nDir:s:77:/a/b\n");
    char value[8] = {};
    EXPECT_EQ(Lookup("Trace", value, sizeof value), 4);
    EXPECT_EQ(memcmp(value, bytes, 4), 0);
}

TEST_F(OsaConfigFile, WriterRefusesWhatDoesNotFitALine) {
    const std::string name32(32, 'n');
    EXPECT_EQ(OSA_unxCfgWrite(fd_, name32.c_str(), 's', "v", 1), 0);
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "N", 'x', "v", 1), 0);
    // Room check for strings: name + value + 8 <= 300.
    const std::string fits(291, 'v'), tooLong(292, 'v');
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "N", 's', tooLong.c_str(), 1), 0);
    // A line that passes the check with a 20-character length field is
    // formatted whole (the buffer holds it) and written.
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "N", 's', fits.c_str(), INT64_MIN), 291);
    EXPECT_EQ(Contents(), "N:s:-9223372036854775808:" + fits + "\n");
    // Binary: name + 3 * length + 8 <= 300; lengths that would wrap the
    // check are refused before a byte is read.
    ASSERT_EQ(ftruncate(fd_, 0), 0);
    lseek(fd_, 0, SEEK_SET);
    const unsigned char zeros[98] = {};
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "N", 'b', zeros, 98), 0);
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "N", 'b', zeros, -1), 0);
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "N", 'b', zeros, 0x5555555555555556LL), 0);
    EXPECT_EQ(OSA_unxCfgWrite(fd_, "N", 'b', zeros, 97), 97);
    EXPECT_EQ(Contents().size(), 6u + 3 * 97 + 1);
}

TEST(OsaRegistry, MissingFileAndLookup) {
    char value[8];
    EXPECT_EQ(OSA_query_registry_value("/nonexistent/vesk64.cfg", "Trace", nullptr, value, 8), -1);
}

}  // namespace
