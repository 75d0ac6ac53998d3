// The directory simulator: lookups against a database written here with
// the shared schema, in a temporary file named by $TAMO_DIRECTORY_DB.
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"
#include "test/support/in_child.h"
#include "test/support/temp_dir.h"
#include "test/tamo/lookups.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Writes a directory holding only alice, with the SID sid, at path.
bool writeDirectory(const std::string &path, const char *sid) {
    sqlite3 *db = nullptr;
    const std::string insert =
        std::string(
            "INSERT INTO entries VALUES (x'0102030405060708090a0b0c0d0e0f10', 'alice',"
            " 'cn=alice', '") +
        sid + "')";
    const bool written = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                         sqlite3_exec(db, tamo::kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
                         sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return written;
}

Bytes guid(unsigned char n) {
    Bytes g(16, 0);
    g[0] = n;
    g[15] = 0xEE;
    return g;
}

class Directory : public ::testing::Test {
  protected:
    void SetUp() override {
        char path[] = "/tmp/tamo-test-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = path;
        setenv("TAMO_DIRECTORY_DB", path_.c_str(), 1);
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db_), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db_, tamo::kSchema, nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void TearDown() override {
        sqlite3_close(db_);
        unlink(path_.c_str());
        unsetenv("TAMO_DIRECTORY_DB");
    }

    void entry(const Bytes &g, const char *login, const std::string &dn, const char *sid) {
        sqlite3_stmt *stmt = nullptr;
        ASSERT_EQ(
            sqlite3_prepare_v2(db_, "INSERT INTO entries VALUES (?, ?, ?, ?)", -1, &stmt, nullptr),
            SQLITE_OK);
        sqlite3_bind_blob(stmt, 1, g.data(), 16, SQLITE_TRANSIENT);
        login != nullptr ? sqlite3_bind_text(stmt, 2, login, -1, SQLITE_TRANSIENT)
                         : sqlite3_bind_null(stmt, 2);
        sqlite3_bind_text(stmt, 3, dn.c_str(), -1, SQLITE_TRANSIENT);
        sid != nullptr ? sqlite3_bind_text(stmt, 4, sid, -1, SQLITE_TRANSIENT)
                       : sqlite3_bind_null(stmt, 4);
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
        sqlite3_finalize(stmt);
    }

    void member(const Bytes &user, int position, const Bytes &g) {
        sqlite3_stmt *stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db_, "INSERT INTO sev VALUES (?, ?, ?)", -1, &stmt, nullptr),
                  SQLITE_OK);
        sqlite3_bind_blob(stmt, 1, user.data(), 16, SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 2, position);
        sqlite3_bind_blob(stmt, 3, g.data(), 16, SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
        sqlite3_finalize(stmt);
    }

    std::string path_;
    sqlite3 *db_ = nullptr;
};

TEST_F(Directory, NameLookupGivesPackedSidThatConvertsBack) {
    entry(guid(1), "alice", "cn=alice", "S-1-5-21-3623811015-3361044348-30300820-1013");
    int32_t selector = TAMO_INFO_SID, a = -1, b = -1;
    unsigned char area[16] = {}, sid[68] = {};
    ASSERT_EQ(tamolib_get_userinfo_from_name("alice", &selector, area, sid, &a, &b), TAMO_OK);
    // Revision 1, five sub-authorities, authority 5 in 48-bit big-endian,
    // then 21 little-endian.
    const unsigned char head[12] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
    EXPECT_EQ(std::memcmp(sid, head, sizeof head), 0);
    EXPECT_EQ(Bytes(area, area + 16), guid(1));
    char text[TAMO_SID_TEXT_SIZE];
    ASSERT_EQ(tamolib_sid_to_string(sid, text), TAMO_OK);
    EXPECT_STREQ(text, "S-1-5-21-3623811015-3361044348-30300820-1013");

    EXPECT_EQ(tamolib_get_userinfo_from_name("Alice", &selector, area, sid, &a, &b),
              TAMO_ERR_NOT_FOUND);
    entry(guid(2), "nosid", "cn=nosid", nullptr);
    EXPECT_EQ(tamolib_get_userinfo_from_name("nosid", &selector, area, sid, &a, &b),
              TAMO_ERR_NO_SID);
}

TEST(SidForms, LargestSidAndLargeAuthorityFitTheTextBuffer) {
    std::string text = "S-255-0xffffffffffff";
    for (int i = 0; i < 15; ++i) {
        text += "-4294967295";
    }
    unsigned char packed[68];
    ASSERT_EQ(tamo::packSid(text.c_str(), packed), 68u);
    char out[TAMO_SID_TEXT_SIZE];
    ASSERT_EQ(tamolib_sid_to_string(packed, out), TAMO_OK);
    EXPECT_EQ(out, text);
    EXPECT_LT(text.size(), static_cast<std::size_t>(TAMO_SID_TEXT_SIZE));
    // Any smaller buffer is refused whole, written only within its size.
    for (std::size_t capacity = 1; capacity <= text.size(); ++capacity) {
        std::string small(capacity + 1, 'x');
        EXPECT_FALSE(tamo::formatSid(packed, small.data(), capacity)) << capacity;
        EXPECT_EQ(small[0], '\0');
        EXPECT_EQ(small[capacity], 'x');
    }
    std::string exact(text.size() + 1, 'x');
    EXPECT_TRUE(tamo::formatSid(packed, exact.data(), exact.size()));
    EXPECT_STREQ(exact.c_str(), text.c_str());

    for (const char *bad :
         {"S-1-5", "S-1-5-", "S-1--5-1", "S-256-5-1", "S-1-5-4294967296", "S-1-5-1x", "s-1-5-1",
          "S-1-5-+1", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
        EXPECT_EQ(tamo::packSid(bad, packed), 0u) << bad;
    }
    packed[1] = 16;
    EXPECT_EQ(tamolib_sid_to_string(packed, out), TAMO_ERR_INVALID_ARG);
    EXPECT_STREQ(out, "");
}

TEST_F(Directory, ListComesInPositionOrderOrAsksForRoom) {
    entry(guid(1), "b\u00f6b", "cn=bob", "S-1-5-21-1-2-3-1");
    for (int i = 0; i < 3; ++i) {
        entry(guid(10 + i), nullptr, "cn=g" + std::to_string(i), nullptr);
    }
    member(guid(1), 2, guid(10));
    member(guid(1), 0, guid(12));
    member(guid(1), 1, guid(11));
    const Bytes name = utf16(u"b\u00f6b");

    int32_t count = 2, flags = 0;
    unsigned char guids[3 * 16];
    std::memset(guids, 0x5A, sizeof guids);
    EXPECT_EQ(tamolib_get_sevlist_from_name(name.data(), &count, guids, &flags),
              TAMO_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(guids[0], 0x5A);  // nothing written on a short buffer

    ASSERT_EQ(tamolib_get_sevlist_from_name(name.data(), &count, guids, &flags), TAMO_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(Bytes(guids, guids + 16), guid(12));
    EXPECT_EQ(Bytes(guids + 32, guids + 48), guid(10));

    // A user without list: success and zero.
    entry(guid(2), "lonely", "cn=lonely", nullptr);
    count = 20;
    EXPECT_EQ(tamolib_get_sevlist_from_name(utf16(u"lonely").data(), &count, guids, &flags),
              TAMO_OK);
    EXPECT_EQ(count, 0);
    count = 20;
    EXPECT_EQ(tamolib_get_sevlist_from_name(utf16(u"nobody").data(), &count, guids, &flags),
              TAMO_ERR_NOT_FOUND);
    // A lone surrogate names no one.
    EXPECT_EQ(tamolib_get_sevlist_from_name(utf16(u"\xD800").data(), &count, guids, &flags),
              TAMO_ERR_NOT_FOUND);
}

// What the add-on does after a list call: one lookup per GUID.  Those are
// answered from the list call's own reading for a short while, without
// looking at the file or querying it again; a member without entry, and
// anything later, is looked up as before.
TEST_F(Directory, LookupsOfAListsGuidsRightAfterItNeedNoFile) {
    entry(guid(1), "bob", "cn=bob", "S-1-5-21-1-2-3-1");
    entry(guid(10), nullptr, "cn=g0", nullptr);
    entry(guid(11), nullptr, "cn=g1", nullptr);
    member(guid(1), 0, guid(11));
    member(guid(1), 1, guid(13));  // no entry
    member(guid(1), 2, guid(10));
    int32_t count = 3;
    unsigned char guids[3 * 16];
    ASSERT_EQ(tamolib_get_sevlist_from_name(utf16(u"bob").data(), &count, guids, nullptr), TAMO_OK);
    ASSERT_EQ(count, 3);
    unlink(path_.c_str());
    EXPECT_EQ(dnOf(guid(11).data()), "cn=g1");
    EXPECT_EQ(dnOf(guid(10).data()), "cn=g0");
    EXPECT_EQ(dnOf(guid(13).data()), std::to_string(TAMO_ERR_DATABASE));
    EXPECT_EQ(sidOf("bob"), std::to_string(TAMO_ERR_DATABASE));
    std::this_thread::sleep_for(std::chrono::milliseconds(TAMO_LIST_MEMO_MS + 50));
    EXPECT_EQ(dnOf(guid(11).data()), std::to_string(TAMO_ERR_DATABASE));
}

TEST_F(Directory, GuidLookupGivesANewStringOrFails) {
    const std::string longDn(300, 'd');
    entry(guid(3), nullptr, longDn, nullptr);
    int32_t selector = TAMO_INFO_DN, flags = 0;
    char *dn = nullptr;
    ASSERT_EQ(
        tamolib_get_userinfo_from_guid(guid(3).data(), &selector, nullptr, nullptr, &flags, &dn),
        TAMO_OK);
    ASSERT_NE(dn, nullptr);
    EXPECT_EQ(dn, longDn);
    free(dn);

    dn = nullptr;
    EXPECT_EQ(
        tamolib_get_userinfo_from_guid(guid(4).data(), &selector, nullptr, nullptr, &flags, &dn),
        TAMO_ERR_NOT_FOUND);
    EXPECT_EQ(dn, nullptr);
    selector = TAMO_INFO_SID;
    EXPECT_EQ(
        tamolib_get_userinfo_from_guid(guid(3).data(), &selector, nullptr, nullptr, &flags, &dn),
        TAMO_ERR_INVALID_ARG);
}

TEST_F(Directory, KeptConnectionSeesAReplacedFileAndServesAChildAfterFork) {
    entry(guid(1), "alice", "cn=alice", "S-1-5-21-1-2-3-1");
    ASSERT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1");

    // Written beside and renamed over the kept one: another inode.
    const std::string next = path_ + ".next";
    ASSERT_TRUE(writeDirectory(next, "S-1-5-21-1-2-3-2"));
    ASSERT_EQ(rename(next.c_str(), path_.c_str()), 0);
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-2");

    // The child answers from a connection of its own, and the parent's
    // still works afterwards.
    kavotest::expectInChild([&] { return sidOf("alice") == "S-1-5-21-1-2-3-2"; });
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-2");

    unlink(path_.c_str());
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_DATABASE));
}

// The look at the database is kept until something changes along its path:
// whatever replaces it there is seen by the next lookup.  A change made in a
// child after fork() is seen by the parent too: the child must not take the
// parent's notice of it.
TEST(WatchedDatabase, AReplacementAnywhereAlongThePathIsSeenByTheNextLookup) {
    kavotest::TempDir dir;
    ASSERT_TRUE(dir.create("tamo-watch"));
    const std::string home = dir.file("home");
    const std::string db = home + "/zorvex/directory.db";
    const std::string next = db + ".next";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((home + "/zorvex").c_str(), 0700), 0);
    ASSERT_TRUE(writeDirectory(db, "S-1-5-21-1-2-3-1"));
    setenv("TAMO_DIRECTORY_DB", db.c_str(), 1);
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1");
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-1");

    // A directory two levels up renamed away, and another tree made in its
    // place, first without a database and then with one.
    ASSERT_EQ(rename(home.c_str(), dir.file("old").c_str()), 0);
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_DATABASE));
    ASSERT_EQ(mkdir((home + "/zorvex").c_str(), 0700), 0);
    ASSERT_TRUE(writeDirectory(db, "S-1-5-21-1-2-3-2"));
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-2");

    // A symbolic link renamed into its place, pointed elsewhere, and its
    // target replaced: a path through a link is looked at every call.
    ASSERT_TRUE(writeDirectory(dir.file("a.db"), "S-1-5-21-1-2-3-3"));
    ASSERT_TRUE(writeDirectory(dir.file("b.db"), "S-1-5-21-1-2-3-4"));
    for (const char *target : {"a.db", "b.db"}) {
        ASSERT_EQ(symlink(dir.file(target).c_str(), next.c_str()), 0);
        ASSERT_EQ(rename(next.c_str(), db.c_str()), 0);
        EXPECT_EQ(sidOf("alice"), target[0] == 'a' ? "S-1-5-21-1-2-3-3" : "S-1-5-21-1-2-3-4");
    }
    ASSERT_TRUE(writeDirectory(dir.file("c.db"), "S-1-5-21-1-2-3-5"));
    ASSERT_EQ(rename(dir.file("c.db").c_str(), dir.file("b.db").c_str()), 0);
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-5");

    // A file again; replaced in a child, which answers from the new one,
    // and then seen by the parent.
    ASSERT_EQ(unlink(db.c_str()), 0);
    ASSERT_TRUE(writeDirectory(db, "S-1-5-21-1-2-3-6"));
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-6");
    kavotest::expectInChild([&] {
        return sidOf("alice") == "S-1-5-21-1-2-3-6" && writeDirectory(next, "S-1-5-21-1-2-3-7") &&
               rename(next.c_str(), db.c_str()) == 0 && sidOf("alice") == "S-1-5-21-1-2-3-7";
    });
    EXPECT_EQ(sidOf("alice"), "S-1-5-21-1-2-3-7");
    unsetenv("TAMO_DIRECTORY_DB");
}

// A file system mounted over the directory that holds the database sends no
// inotify event: the mount table is watched for it.  Runs in a child with a
// mount namespace of its own, where one can be had.
TEST(WatchedDatabase, AFileSystemMountedOverItsDirectoryIsSeenByTheNextLookup) {
    kavotest::TempDir dir;
    ASSERT_TRUE(dir.create("tamo-mount"));
    const std::string home = dir.file("home");
    const std::string other = dir.file("other");
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    ASSERT_TRUE(writeDirectory(home + "/directory.db", "S-1-5-21-1-2-3-1"));
    ASSERT_TRUE(writeDirectory(other + "/directory.db", "S-1-5-21-1-2-3-2"));
    const pid_t probe = fork();
    ASSERT_GE(probe, 0);
    if (probe == 0) {
        _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(probe, &status, 0), probe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        GTEST_SKIP() << "no mount namespace can be had here";
    }
    setenv("TAMO_DIRECTORY_DB", (home + "/directory.db").c_str(), 1);
    kavotest::expectInChild([&] {
        return unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               sidOf("alice") == "S-1-5-21-1-2-3-1" &&
               mount(other.c_str(), home.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               sidOf("alice") == "S-1-5-21-1-2-3-2";
    });
    unsetenv("TAMO_DIRECTORY_DB");
}

TEST_F(Directory, FifoOrDirectoryInPlaceOfTheDatabaseIsRefusedWithoutBlocking) {
    unlink(path_.c_str());
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    // Opening a FIFO with no writer would block for ever: the alarm turns a
    // hang into a failure.
    alarm(10);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_NOT_A_FILE));
    int32_t count = 20;
    unsigned char guids[20 * 16];
    EXPECT_EQ(tamolib_get_sevlist_from_name(utf16(u"alice").data(), &count, guids, nullptr),
              TAMO_ERR_NOT_A_FILE);
    alarm(0);
    unlink(path_.c_str());
    ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
    EXPECT_EQ(sidOf("alice"), std::to_string(TAMO_ERR_NOT_A_FILE));
    rmdir(path_.c_str());
}

TEST_F(Directory, ThreadsLookUpSideBySide) {
    for (int i = 0; i < 8; ++i) {
        const std::string login = "user" + std::to_string(i);
        entry(guid(static_cast<unsigned char>(i + 1)), login.c_str(), "cn=" + login,
              ("S-1-5-21-1-2-3-" + std::to_string(i)).c_str());
    }
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int round = 0; round < 200; ++round) {
                const int i = (t + round) % 8;
                const std::string login = "user" + std::to_string(i);
                wrong[t] += sidOf(login.c_str()) != "S-1-5-21-1-2-3-" + std::to_string(i);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

TEST_F(Directory, MissingDatabaseIsADatabaseError) {
    setenv("TAMO_DIRECTORY_DB", "/nonexistent/directory.db", 1);
    int32_t selector = TAMO_INFO_SID;
    unsigned char area[16], sid[68];
    EXPECT_EQ(tamolib_get_userinfo_from_name("alice", &selector, area, sid, nullptr, nullptr),
              TAMO_ERR_DATABASE);
}

}  // namespace
