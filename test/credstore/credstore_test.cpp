// Credential store simulator: what the module relies on (records stored and
// handed back exactly, services matched by name text, -802 and -805) and the
// store's own refusals, against a real SQLite database in a temporary
// directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/credstore/kavocredstore.h"
#include "test/support/temp_dir.h"

namespace {

class CredStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.create("kavo-credstore"));
        dbPath_ = dir_.file("credstore.db");
        setenv("KAVO_CREDSTORE_DB", dbPath_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KAVO_CREDSTORE_DB");
        dir_.remove();
    }

    // Runs SQL directly against the store's database, as a test that wants
    // an odd row would.
    void execSql(const std::string &sql) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(dbPath_.c_str(), &db), SQLITE_OK);
        char *error = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    }

    kavotest::TempDir dir_;
    std::string dbPath_;
};

ServiceEntry storeEntry(const char *name) {
    ServiceEntry entry{};
    entry.nameLength = static_cast<uint32_t>(strlen(name));
    memcpy(entry.name, name, strlen(name) + 1);
    return entry;
}

ServiceEntry readEntry(const char *name) {
    ServiceEntry entry = storeEntry(name);
    entry.nameLength += 1;
    return entry;
}

// Reads the record stored for `service` into *got, or into scratch when got
// is null; returns the store's status.
int getStored(const char *service, CredentialRecord *got = nullptr) {
    ServiceEntry entry = readEntry(service);
    CredentialRecord scratch{};
    return arb_get_credential(&entry, got != nullptr ? got : &scratch);
}

// The record stored for `service` comes back byte for byte as `want`.
void expectStoredExactly(const char *service, const CredentialRecord &want) {
    CredentialRecord got{};
    ASSERT_EQ(getStored(service, &got), CREDSTORE_OK);
    EXPECT_EQ(memcmp(&got, &want, sizeof got), 0);
}

CredentialRecord makeRecord(const char *user, const std::string &secret) {
    CredentialRecord record{};
    record.userNameLength = static_cast<uint32_t>(strlen(user) + 1);
    memcpy(record.userName, user, strlen(user) + 1);
    record.secretLength = static_cast<uint32_t>(secret.size());
    memcpy(record.secret, secret.data(), secret.size());
    return record;
}

TEST_F(CredStoreTest, StoredRecordComesBackByteForByteUnderTheReadLength) {
    std::string secret(300, '\0');
    for (size_t i = 0; i < secret.size(); ++i) {
        secret[i] = static_cast<char>(i * 7 + 1);  // zero bytes inside included
    }
    ServiceEntry entry = storeEntry("mail-relay");
    CredentialRecord stored = makeRecord("svc-account", secret);
    ASSERT_EQ(arb_set_credential(&entry, &stored), CREDSTORE_OK);
    EXPECT_TRUE(std::filesystem::exists(dbPath_));

    CredentialRecord got;
    memset(&got, 0xAA, sizeof got);  // the store must overwrite every byte
    ASSERT_EQ(getStored("mail-relay", &got), CREDSTORE_OK);
    EXPECT_EQ(memcmp(&got, &stored, sizeof got), 0);
    EXPECT_EQ(got.userNameLength, 12u);
    EXPECT_EQ(got.secretLength, 300u);
}

TEST_F(CredStoreTest, UnknownServiceIsNotFoundAndLeavesRecordZeroed) {
    CredentialRecord got;
    memset(&got, 0xAA, sizeof got);
    EXPECT_EQ(getStored("never-stored", &got), CREDSTORE_ERR_NOT_FOUND);
    CredentialRecord zero{};
    EXPECT_EQ(memcmp(&got, &zero, sizeof got), 0);

    // Names are compared as whole byte strings, not by prefix or case.
    ServiceEntry entry = storeEntry("Alpha");
    CredentialRecord record = makeRecord("u", "s");
    ASSERT_EQ(arb_set_credential(&entry, &record), CREDSTORE_OK);
    for (const char *other : {"alpha", "Alph", "Alpha2"}) {
        ServiceEntry miss = readEntry(other);
        EXPECT_EQ(arb_get_credential(&miss, &got), CREDSTORE_ERR_NOT_FOUND) << other;
    }
}

TEST_F(CredStoreTest, SecondStoreReplacesTheFirst) {
    ServiceEntry entry = storeEntry("svc");
    CredentialRecord first = makeRecord("first-user", std::string(200, 'x'));
    CredentialRecord second = makeRecord("u2", "short");
    ASSERT_EQ(arb_set_credential(&entry, &first), CREDSTORE_OK);
    ASSERT_EQ(arb_set_credential(&entry, &second), CREDSTORE_OK);
    // No trace of the longer first record survives in the second.
    expectStoredExactly("svc", second);
}

TEST_F(CredStoreTest, ServiceNameEndsAtFirstZeroAndNeverBeyondItsField) {
    // Bytes after the zero and nameLength play no part in the match.
    ServiceEntry entry = storeEntry("svc");
    memcpy(entry.name + 4, "junk", 4);
    entry.nameLength = 77;
    CredentialRecord record = makeRecord("user", "secret");
    ASSERT_EQ(arb_set_credential(&entry, &record), CREDSTORE_OK);
    CredentialRecord got{};
    EXPECT_EQ(getStored("svc", &got), CREDSTORE_OK);

    // A name that fills all 512 bytes with no zero is taken whole.
    ServiceEntry full{};
    full.nameLength = 512;
    memset(full.name, 'n', sizeof full.name);
    ASSERT_EQ(arb_set_credential(&full, &record), CREDSTORE_OK);
    ServiceEntry fullLookup = full;
    EXPECT_EQ(arb_get_credential(&fullLookup, &got), CREDSTORE_OK);
    fullLookup.name[511] = 'm';
    EXPECT_EQ(arb_get_credential(&fullLookup, &got), CREDSTORE_ERR_NOT_FOUND);
}

TEST_F(CredStoreTest, EmptyUserNameIsRefusedWithUserNameNotSet) {
    ServiceEntry entry = storeEntry("svc");
    CredentialRecord emptyText = makeRecord("", "secret");  // length 1, zero first byte
    EXPECT_EQ(arb_set_credential(&entry, &emptyText), CREDSTORE_ERR_USER_NAME_NOT_SET);
    CredentialRecord zeroLength = makeRecord("user", "secret");
    zeroLength.userNameLength = 0;
    EXPECT_EQ(arb_set_credential(&entry, &zeroLength), CREDSTORE_ERR_USER_NAME_NOT_SET);
    EXPECT_EQ(getStored("svc"), CREDSTORE_ERR_NOT_FOUND);
}

TEST_F(CredStoreTest, LengthsBeyondTheirFieldsAreRefusedAndNothingIsStored) {
    ServiceEntry entry = storeEntry("svc");
    CredentialRecord record = makeRecord("user", "secret");

    CredentialRecord longUser = record;
    longUser.userNameLength = 1025;
    EXPECT_EQ(arb_set_credential(&entry, &longUser), CREDSTORE_ERR_LENGTH);
    CredentialRecord longSecret = record;
    longSecret.secretLength = 1025;
    EXPECT_EQ(arb_set_credential(&entry, &longSecret), CREDSTORE_ERR_LENGTH);
    CredentialRecord hugeSecret = record;
    hugeSecret.secretLength = 0xFFFFFFFFu;
    EXPECT_EQ(arb_set_credential(&entry, &hugeSecret), CREDSTORE_ERR_LENGTH);
    ServiceEntry longName = entry;
    longName.nameLength = 513;
    EXPECT_EQ(arb_set_credential(&longName, &record), CREDSTORE_ERR_LENGTH);
    EXPECT_EQ(getStored("svc"), CREDSTORE_ERR_NOT_FOUND);

    // The field sizes themselves are accepted.
    CredentialRecord fullRecord{};
    fullRecord.userNameLength = 1024;
    memset(fullRecord.userName, 'u', sizeof fullRecord.userName);
    fullRecord.secretLength = 1024;
    memset(fullRecord.secret, 0x5A, sizeof fullRecord.secret);
    ASSERT_EQ(arb_set_credential(&entry, &fullRecord), CREDSTORE_OK);
    expectStoredExactly("svc", fullRecord);
}

TEST_F(CredStoreTest, NullRecordsAndEmptyServiceNameAreInvalidArguments) {
    ServiceEntry entry = storeEntry("svc");
    CredentialRecord record = makeRecord("user", "secret");
    EXPECT_EQ(arb_set_credential(nullptr, &record), CREDSTORE_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(arb_set_credential(&entry, nullptr), CREDSTORE_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(arb_get_credential(nullptr, &record), CREDSTORE_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(arb_get_credential(&entry, nullptr), CREDSTORE_ERR_INVALID_ARGUMENT);
    ServiceEntry empty{};
    EXPECT_EQ(arb_set_credential(&empty, &record), CREDSTORE_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(arb_get_credential(&empty, &record), CREDSTORE_ERR_INVALID_ARGUMENT);
}

TEST_F(CredStoreTest, RowsWrittenBySqlComeBackAsStoredOrAreRefusedWhenTheyCannotFit) {
    ServiceEntry entry = storeEntry("seed");
    CredentialRecord record = makeRecord("user", "secret");
    ASSERT_EQ(arb_set_credential(&entry, &record), CREDSTORE_OK);  // creates the schema

    // A length that disagrees with the bytes is handed back unchanged.
    execSql("INSERT INTO credentials VALUES (CAST('odd' AS BLOB), 'abc', 257, X'0102', 2)");
    ServiceEntry odd = readEntry("odd");
    CredentialRecord got{};
    ASSERT_EQ(arb_get_credential(&odd, &got), CREDSTORE_OK);
    EXPECT_EQ(got.userNameLength, 257u);
    EXPECT_STREQ(got.userName, "abc");
    EXPECT_EQ(got.secretLength, 2u);
    EXPECT_EQ(got.secret[0], 1);
    EXPECT_EQ(got.secret[1], 2);

    // Bytes that would not fit a field, or a length no record can carry,
    // are refused and the record stays zeroed.
    execSql("INSERT INTO credentials VALUES (CAST('big' AS BLOB), 'u', 2, zeroblob(1025), 1025)");
    execSql("INSERT INTO credentials VALUES (CAST('neg' AS BLOB), 'u', -1, X'00', 1)");
    execSql("INSERT INTO credentials VALUES (CAST('wide' AS BLOB), 'u', 2, X'00', 4294967296)");
    CredentialRecord zero{};
    for (const char *name : {"big", "neg", "wide"}) {
        ServiceEntry bad = readEntry(name);
        memset(&got, 0xAA, sizeof got);
        EXPECT_EQ(arb_get_credential(&bad, &got), CREDSTORE_ERR_CORRUPT) << name;
        EXPECT_EQ(memcmp(&got, &zero, sizeof got), 0) << name;
    }
}

TEST_F(CredStoreTest, DatabaseThatCannotBeOpenedGivesOpenStatus) {
    ServiceEntry entry = storeEntry("svc");
    CredentialRecord record = makeRecord("user", "secret");

    setenv("KAVO_CREDSTORE_DB", dir_.file("missing/dir/credstore.db").c_str(), 1);
    EXPECT_EQ(arb_set_credential(&entry, &record), CREDSTORE_ERR_OPEN);
    CredentialRecord got{};
    EXPECT_EQ(arb_get_credential(&entry, &got), CREDSTORE_ERR_OPEN);

    std::string notDb = dir_.file("not-a-db");
    FILE *file = fopen(notDb.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("this is not an SQLite database, just some text long enough to fill a header\n", file);
    fclose(file);
    setenv("KAVO_CREDSTORE_DB", notDb.c_str(), 1);
    EXPECT_EQ(arb_set_credential(&entry, &record), CREDSTORE_ERR_OPEN);
}

TEST_F(CredStoreTest, DatabaseRunsInWriteAheadLogMode) {
    ServiceEntry entry = storeEntry("svc");
    CredentialRecord record = makeRecord("user", "secret");
    ASSERT_EQ(arb_set_credential(&entry, &record), CREDSTORE_OK);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "wal");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(CredStoreTest, KeptConnectionSeesOtherWritersAndFollowsAReplacedFile) {
    ServiceEntry first = storeEntry("first");
    CredentialRecord record = makeRecord("user", "secret");
    ASSERT_EQ(arb_set_credential(&first, &record), CREDSTORE_OK);

    // A row committed through another connection is seen by the next call.
    execSql("INSERT INTO credentials VALUES (CAST('other' AS BLOB), X'6F7468657200', 6, X'01', 1)");
    ServiceEntry other = readEntry("other");
    CredentialRecord got{};
    ASSERT_EQ(arb_get_credential(&other, &got), CREDSTORE_OK);
    EXPECT_STREQ(got.userName, "other");

    // The database removed and made anew at the same path: the store works
    // on the new file, not on the removed one it had open.
    for (const char *suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(dbPath_ + suffix);
    }
    ServiceEntry second = storeEntry("second");
    ASSERT_EQ(arb_set_credential(&second, &record), CREDSTORE_OK);
    ServiceEntry firstRead = readEntry("first");
    EXPECT_EQ(arb_get_credential(&firstRead, &got), CREDSTORE_ERR_NOT_FOUND);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(db, "SELECT CAST(service AS TEXT) FROM credentials", -1, &stmt, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "second");
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(CredStoreTest, StoreSurvivesWriterBeingKilledAndConcurrentWritersAllLand) {
    // A child stores and is killed at once: the commit must already be
    // durable when arb_set_credential returns.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ServiceEntry entry = storeEntry("killed-writer");
        CredentialRecord record = makeRecord("durable", "blob");
        int status = arb_set_credential(&entry, &record);
        if (status == 0) {
            raise(SIGKILL);
        }
        _exit(1);
    }
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << "child failed to store";
    CredentialRecord got{};
    ASSERT_EQ(getStored("killed-writer", &got), CREDSTORE_OK);
    EXPECT_STREQ(got.userName, "durable");

    // Several processes writing at once wait for each other's locks.
    constexpr int kWriters = 4;
    constexpr int kStoresEach = 15;
    pid_t writers[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        writers[w] = fork();
        ASSERT_GE(writers[w], 0);
        if (writers[w] == 0) {
            for (int i = 0; i < kStoresEach; ++i) {
                std::string name = "svc-" + std::to_string(w) + "-" + std::to_string(i);
                ServiceEntry entry = storeEntry(name.c_str());
                CredentialRecord record = makeRecord(name.c_str(), name);
                if (arb_set_credential(&entry, &record) != 0) {
                    _exit(1);
                }
            }
            _exit(0);
        }
    }
    for (pid_t writer : writers) {
        ASSERT_EQ(waitpid(writer, &wstatus, 0), writer);
        EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    }
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kStoresEach; ++i) {
            std::string name = "svc-" + std::to_string(w) + "-" + std::to_string(i);
            ServiceEntry entry = readEntry(name.c_str());
            ASSERT_EQ(arb_get_credential(&entry, &got), CREDSTORE_OK) << name;
            EXPECT_EQ(std::string(got.userName), name);
        }
    }
}

}  // namespace

namespace {

// Forks `count` children that wait on one pipe and then run `body`; returns
// how many exited 0.  Closing the pipe's write end starts them together.
template <class Body>
int runTogether(int count, Body body) {
    int gate[2];
    if (pipe(gate) != 0) {
        return -1;
    }
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        pid_t child = fork();
        if (child == 0) {
            close(gate[1]);
            char byte;
            (void)!read(gate[0], &byte, 1);
            _exit(body(i) ? 0 : 1);
        }
        children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]);
    int succeeded = 0;
    for (pid_t child : children) {
        int wstatus = 0;
        if (child > 0 && waitpid(child, &wstatus, 0) == child && WIFEXITED(wstatus) &&
            WEXITSTATUS(wstatus) == 0) {
            ++succeeded;
        }
    }
    return succeeded;
}

TEST_F(CredStoreTest, PathThatIsNoRegularFileIsRefusedWithoutBlockingOrFollowing) {
    ServiceEntry entry = storeEntry("svc");
    CredentialRecord record = makeRecord("user", "secret");
    // A real database elsewhere, which a link must not lead to.
    const std::string target = dir_.file("target.db");
    setenv("KAVO_CREDSTORE_DB", target.c_str(), 1);
    ASSERT_EQ(arb_set_credential(&entry, &record), CREDSTORE_OK);

    const std::string fifo = dir_.file("fifo.db");
    const std::string link = dir_.file("link.db");
    const std::string directory = dir_.file("directory.db");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    alarm(20);  // a call that blocks fails the test instead of hanging it
    for (const std::string &path : {fifo, link, directory, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        setenv("KAVO_CREDSTORE_DB", path.c_str(), 1);
        EXPECT_EQ(arb_set_credential(&entry, &record), CREDSTORE_ERR_NOT_REGULAR);
        CredentialRecord got{};
        EXPECT_EQ(arb_get_credential(&entry, &got), CREDSTORE_ERR_NOT_REGULAR);
    }
    alarm(0);
    struct stat info {};
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    // A link put in place of a database in use is noticed on the next call.
    setenv("KAVO_CREDSTORE_DB", dbPath_.c_str(), 1);
    ASSERT_EQ(arb_set_credential(&entry, &record), CREDSTORE_OK);
    for (const char *suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(dbPath_ + suffix);
    }
    ASSERT_EQ(symlink(target.c_str(), dbPath_.c_str()), 0);
    CredentialRecord got{};
    EXPECT_EQ(arb_get_credential(&entry, &got), CREDSTORE_ERR_NOT_REGULAR);
}

TEST_F(CredStoreTest, ProcessesMakingTheirFirstCallsTogetherAllSucceed) {
    constexpr int kRounds = 8;
    constexpr int kProcesses = 16;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        for (const char *suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(dbPath_ + suffix);
        }
        // A fresh database: every child creates, switches to WAL and makes
        // the schema at the same moment as the others.
        const int succeeded = runTogether(kProcesses, [](int i) {
            std::string name = "first-" + std::to_string(i);
            ServiceEntry entry = storeEntry(name.c_str());
            CredentialRecord record = makeRecord(name.c_str(), name);
            return arb_set_credential(&entry, &record) == CREDSTORE_OK;
        });
        EXPECT_EQ(succeeded, kProcesses);
        for (int i = 0; i < kProcesses; ++i) {
            std::string name = "first-" + std::to_string(i);
            ServiceEntry entry = readEntry(name.c_str());
            CredentialRecord got{};
            EXPECT_EQ(arb_get_credential(&entry, &got), CREDSTORE_OK) << name;
        }
    }
}

}  // namespace
