// The SQLite back end of the directory simulator: read-only connections kept
// one per thread, with their statements prepared once, so that lookups from
// several threads run side by side and a call costs the queries themselves
// (the file is looked at again only after inotify reported a change, see
// statWatched).  A list is read with one query that joins each member to
// its entry's DN.
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace tamo::sqlite {
namespace {

constexpr const char kByLogin[] = "SELECT guid, sid FROM entries WHERE login = ?";
// Each member with the DN of its entry, NULL for a member without one
// (whose lookup by GUID is then made, and fails, as the contract says).
constexpr const char kMembers[] =
    "SELECT s.member_guid, e.dn FROM sev AS s LEFT JOIN entries AS e ON e.guid = s.member_guid"
    " WHERE s.user_guid = ? ORDER BY s.position";
constexpr const char kByGuid[] = "SELECT dn FROM entries WHERE guid = ?";

// Counts the forks this process is the child of, so that a connection can
// tell it was opened before a fork without a getpid() system call per
// lookup (a list of N entries makes N + 1 lookups).
std::atomic<unsigned> forkGeneration{0};
pthread_once_t forkHandlerOnce = PTHREAD_ONCE_INIT;

void countFork() {
    forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

void installForkHandler() {
    (void)pthread_atfork(nullptr, nullptr, countFork);
}

unsigned currentGeneration() {
    (void)pthread_once(&forkHandlerOnce, installForkHandler);
    return forkGeneration.load(std::memory_order_relaxed) + 1;
}

// One thread's connection and the file it was opened on.  A file replaced
// under the same path (another device or inode) gets a new connection; so
// does a child after fork(), which must not use its parent's.
class Connection {
  public:
    Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection() {
        if (generation_ == currentGeneration()) {
            close();
        }
    }

    // Makes the connection usable for the file at path, which stat() found
    // to be st.  Returns TAMO_OK or TAMO_ERR_DATABASE.
    int32_t open(const char *path, const struct stat &st) {
        if (db_ != nullptr) {
            if (generation_ == currentGeneration() && st.st_dev == dev_ && st.st_ino == ino_ &&
                path_ == path) {
                return TAMO_OK;
            }
            drop();
        }
        sqlite3 *db = nullptr;
        if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK) {
            sqlite3_close(db);
            return TAMO_ERR_DATABASE;
        }
        sqlite3_busy_timeout(db, 5000);
        // A page cache the size of a directory's working set (16 MB, taken
        // only as pages are read), kept across lookups while the file is
        // unchanged.
        (void)sqlite3_exec(db, "PRAGMA cache_size=-16000", nullptr, nullptr, nullptr);
        // Pages read through a shared mapping rather than copied in by a
        // read() each: a list of many entries touches many pages once.
        (void)sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
        db_ = db;
        if (!prepare(kByLogin, &byLogin_) || !prepare(kMembers, &members_) ||
            !prepare(kByGuid, &byGuid_)) {
            close();
            return TAMO_ERR_DATABASE;
        }
        path_ = path;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        generation_ = currentGeneration();
        return TAMO_OK;
    }

    // Lets go of the connection: closed in the process that opened it; one
    // inherited over fork() is left alone, since SQLite forbids using or
    // closing it there (closing could disturb the parent's file locks).
    void drop() {
        if (db_ != nullptr && generation_ == currentGeneration()) {
            close();
        } else {
            abandon();
        }
    }

    void close() {
        sqlite3_finalize(byLogin_);
        sqlite3_finalize(members_);
        sqlite3_finalize(byGuid_);
        sqlite3_close(db_);
        abandon();
    }

    sqlite3_stmt *byLogin() const { return byLogin_; }
    sqlite3_stmt *members() const { return members_; }
    sqlite3_stmt *byGuid() const { return byGuid_; }

  private:
    bool prepare(const char *sql, sqlite3_stmt **stmt) {
        return sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr) ==
               SQLITE_OK;
    }
    void abandon() {
        db_ = nullptr;
        byLogin_ = members_ = byGuid_ = nullptr;
        path_.clear();
        generation_ = 0;
    }

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *byLogin_ = nullptr;
    sqlite3_stmt *members_ = nullptr;
    sqlite3_stmt *byGuid_ = nullptr;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    unsigned generation_ = 0;  // 0: none; else the fork generation it was opened in
};

thread_local Connection t_connection;

// The calling thread's connection to the current database file.  The path
// is checked before SQLite opens it: a FIFO or a device would block the
// open, so anything but a regular file is refused.
int32_t connection(Connection *&out) {
    const char *path = directoryPath();
    struct stat st;
    // A file that is gone or replaced by something else is no longer kept
    // open either.
    // Every call looked at directory.conf first, which read the events.
    if (statWatched(path, st, false) != 0) {
        t_connection.drop();
        return TAMO_ERR_DATABASE;
    }
    if (!S_ISREG(st.st_mode)) {
        t_connection.drop();
        return TAMO_ERR_NOT_A_FILE;
    }
    int32_t status = t_connection.open(path, st);
    out = &t_connection;
    return status;
}

// Resets a kept statement and clears its bindings when a call is done with
// it, on every path, so that no read transaction outlives the call.
class Use {
  public:
    explicit Use(sqlite3_stmt *stmt) : stmt_(stmt) {}
    ~Use() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;
    sqlite3_stmt *get() const { return stmt_; }
    // Steps to the first row: TAMO_OK when there is one, TAMO_ERR_NOT_FOUND
    // when there is none, TAMO_ERR_DATABASE when the step fails.
    int32_t firstRow() const {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_DONE) {
            return TAMO_ERR_NOT_FOUND;
        }
        return rc == SQLITE_ROW ? TAMO_OK : TAMO_ERR_DATABASE;
    }

  private:
    sqlite3_stmt *stmt_;
};

}  // namespace

int32_t userByName(const char *name, unsigned char *guid, unsigned char *sid) {
    Connection *connection_ = nullptr;
    if (int32_t status = connection(connection_); status != TAMO_OK) {
        return status;
    }
    Use query(connection_->byLogin());
    sqlite3_bind_text(query.get(), 1, name, -1, SQLITE_STATIC);
    if (int32_t status = query.firstRow(); status != TAMO_OK) {
        return status;
    }
    const unsigned char *sidText = sqlite3_column_text(query.get(), 1);
    if (sidText == nullptr) {
        return TAMO_ERR_NO_SID;
    }
    // Pack into a local buffer first so that a bad stored SID leaves the
    // caller's buffer untouched.
    unsigned char packed[TAMO_SID_MAX_SIZE] = {};
    std::size_t length = packSid(reinterpret_cast<const char *>(sidText), packed);
    if (length == 0) {
        return TAMO_ERR_DATABASE;
    }
    std::memcpy(sid, packed, length);
    if (guid != nullptr && sqlite3_column_bytes(query.get(), 0) == TAMO_GUID_SIZE) {
        std::memcpy(guid, sqlite3_column_blob(query.get(), 0), TAMO_GUID_SIZE);
    }
    return TAMO_OK;
}

int32_t sevList(const std::string &name, SevList &list) {
    Connection *connection_ = nullptr;
    if (int32_t status = connection(connection_); status != TAMO_OK) {
        return status;
    }
    Use user(connection_->byLogin());
    sqlite3_bind_text(user.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    if (int32_t status = user.firstRow(); status != TAMO_OK) {
        return status;
    }

    Use members(connection_->members());
    sqlite3_bind_blob(members.get(), 1, sqlite3_column_blob(user.get(), 0),
                      sqlite3_column_bytes(user.get(), 0), SQLITE_STATIC);
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(members.get())) == SQLITE_ROW) {
        if (sqlite3_column_bytes(members.get(), 0) != TAMO_GUID_SIZE) {
            return TAMO_ERR_DATABASE;
        }
        const auto *guid =
            static_cast<const unsigned char *>(sqlite3_column_blob(members.get(), 0));
        list.guids.insert(list.guids.end(), guid, guid + TAMO_GUID_SIZE);
        const unsigned char *dn = sqlite3_column_text(members.get(), 1);
        list.dns.emplace_back(dn != nullptr ? reinterpret_cast<const char *>(dn) : "");
    }
    return rc == SQLITE_DONE ? TAMO_OK : TAMO_ERR_DATABASE;
}

int32_t dnByGuid(const unsigned char *guid, char **dn) {
    Connection *connection_ = nullptr;
    if (int32_t status = connection(connection_); status != TAMO_OK) {
        return status;
    }
    Use query(connection_->byGuid());
    sqlite3_bind_blob(query.get(), 1, guid, TAMO_GUID_SIZE, SQLITE_STATIC);
    if (int32_t status = query.firstRow(); status != TAMO_OK) {
        return status;
    }
    const unsigned char *text = sqlite3_column_text(query.get(), 0);
    char *copy = strdup(text != nullptr ? reinterpret_cast<const char *>(text) : "");
    if (copy == nullptr) {
        return TAMO_ERR_NO_MEMORY;
    }
    *dn = copy;
    return TAMO_OK;
}

}  // namespace tamo::sqlite
