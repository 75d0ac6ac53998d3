// Credential store simulator: libkavocredstore.so over one SQLite database.
//
// The process keeps one connection to the database and reuses it from call
// to call: opening a WAL database for every call, and closing it again,
// creates, checkpoints and deletes the -wal and -shm files each time, which
// cost far more than the query itself.  Calls of the process's threads take
// turns on that connection under one mutex; other processes use their own,
// and SQLite's locking and the busy timeout order them.  The connection is
// opened afresh when $KAVO_CREDSTORE_DB names another file, when the file
// at that path is no longer the one opened (removed or replaced), in a
// child after fork(), and after any failure other than "not found".  The
// statements a call runs are prepared once per connection and reused.  The
// database runs in WAL mode with synchronous=FULL, so a store that returned
// 0 survives the process being killed.
//
// The database holds who uses which service, so it is private to its owner:
// the library creates it 0600 itself before SQLite opens it, and SQLite
// gives the -wal and -shm files the database's mode.  Other users can then
// neither read it nor take the locks in its -shm file that would block every
// store.  A path that is a symbolic link, FIFO, device or directory is
// refused before anything opens it, since SQLite would follow the link or
// wait forever on the FIFO.
//
// Schema (created on first use):
//   credentials(service BLOB PRIMARY KEY, user_name BLOB, user_name_length
//               INTEGER, secret BLOB, secret_length INTEGER)
// `service` holds the raw bytes of the service name up to its first zero
// byte; a row written by hand must store it as a BLOB (X'...' or
// CAST(... AS BLOB)) to be found.  The two length columns are kept exactly
// as the caller gave them, so a row may carry a length that disagrees with
// its bytes; reads hand it back unchanged.
#include "platform/credstore/kavocredstore.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// How long a call waits for another connection's lock before giving up.
constexpr int kBusyTimeoutMs = 10000;

constexpr const char *kSchema =
    "CREATE TABLE IF NOT EXISTS credentials ("
    " service BLOB PRIMARY KEY NOT NULL,"
    " user_name BLOB,"
    " user_name_length INTEGER NOT NULL,"
    " secret BLOB,"
    " secret_length INTEGER NOT NULL)";

const char *databasePath() {
    const char *path = std::getenv("KAVO_CREDSTORE_DB");
    return (path != nullptr && path[0] != '\0') ? path : CREDSTORE_DEFAULT_DB;
}

// Maps an SQLite result code to the store's own status.
int32_t statusFromSqlite(int rc) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return CREDSTORE_ERR_BUSY;
        case SQLITE_FULL:
            return CREDSTORE_ERR_FULL;
        case SQLITE_CANTOPEN:
        case SQLITE_NOTADB:
        case SQLITE_PERM:
        case SQLITE_AUTH:
        case SQLITE_READONLY:
            return CREDSTORE_ERR_OPEN;
        default:
            return CREDSTORE_ERR_DATABASE;
    }
}

// Length of the service name: the bytes before the first zero, never more
// than the field holds.
size_t serviceKeyLength(const ServiceEntry *entry) {
    const void *zero = std::memchr(entry->name, 0, CREDSTORE_SERVICE_NAME_SIZE);
    return zero != nullptr ? static_cast<size_t>(static_cast<const char *>(zero) - entry->name)
                           : CREDSTORE_SERVICE_NAME_SIZE;
}

// Milliseconds on the monotonic clock, for the busy deadline.
int64_t nowMs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool isBusy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

// Makes sure the database path is a regular file of its own, creating it
// empty and private when it is missing (SQLite takes an empty file as a new
// database).  lstat, not stat: a symbolic link is refused, never followed.
int32_t prepareDatabaseFile(const char *path) {
    struct stat info {};
    if (lstat(path, &info) != 0) {
        if (errno != ENOENT) {
            return CREDSTORE_ERR_OPEN;
        }
        // O_EXCL: of several processes creating it at once one does, the
        // others find it made.  fchmod, since the creation mask may have
        // taken bits off 0600.
        const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const bool ok = fchmod(fd, 0600) == 0;
            close(fd);
            if (!ok) {
                return CREDSTORE_ERR_OPEN;
            }
        } else if (errno != EEXIST) {
            return CREDSTORE_ERR_OPEN;
        }
        if (lstat(path, &info) != 0) {
            return CREDSTORE_ERR_OPEN;
        }
    }
    if (!S_ISREG(info.st_mode)) {
        return CREDSTORE_ERR_NOT_REGULAR;
    }
    return CREDSTORE_OK;
}

// The statements of the two requests, prepared once per connection.
struct Statements {
    sqlite3_stmt *begin = nullptr;
    sqlite3_stmt *commit = nullptr;
    sqlite3_stmt *rollback = nullptr;
    sqlite3_stmt *insert = nullptr;
    sqlite3_stmt *select = nullptr;
};

void finalizeStatements(Statements *statements) {
    for (sqlite3_stmt *stmt : {statements->begin, statements->commit, statements->rollback,
                               statements->insert, statements->select}) {
        sqlite3_finalize(stmt);
    }
    *statements = Statements{};
}

int prepareStatements(sqlite3 *db, Statements *out) {
    struct Text {
        sqlite3_stmt **stmt;
        const char *sql;
    };
    // IMMEDIATE takes the write lock up front, so the busy timeout applies
    // to it rather than to a lock upgrade that could fail half-way.
    const Text texts[] = {
        {&out->begin, "BEGIN IMMEDIATE"},
        {&out->commit, "COMMIT"},
        {&out->rollback, "ROLLBACK"},
        {&out->insert,
         "INSERT OR REPLACE INTO credentials"
         " (service, user_name, user_name_length, secret, secret_length)"
         " VALUES (?1, ?2, ?3, ?4, ?5)"},
        {&out->select,
         "SELECT user_name, user_name_length, secret, secret_length"
         " FROM credentials WHERE service = ?1"},
    };
    for (const Text &text : texts) {
        const int rc =
            sqlite3_prepare_v3(db, text.sql, -1, SQLITE_PREPARE_PERSISTENT, text.stmt, nullptr);
        if (rc != SQLITE_OK) {
            finalizeStatements(out);
            return rc;
        }
    }
    return SQLITE_OK;
}

// Runs one set-up statement, retrying while another process holds the
// database, until the deadline.  Switching to WAL and creating the schema
// can meet SQLITE_BUSY without SQLite's busy handler ever being called (a
// lock upgrade it must not wait for), which is exactly what happens when
// several processes make their first calls on a new database together.
int execUntil(sqlite3 *db, const char *sql, int64_t deadline) {
    for (unsigned attempt = 0;; ++attempt) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (!isBusy(rc) || nowMs() >= deadline) {
            return rc;
        }
        // A short pause that grows, staggered by process so that the
        // contenders do not retry in step.
        const unsigned ms = 1 + (attempt < 20 ? attempt : 20) + static_cast<unsigned>(getpid()) % 3;
        struct timespec pause {
            0, static_cast<long>(ms) * 1000000L
        };
        nanosleep(&pause, nullptr);
    }
}

// Opens (creating if needed) the database, makes sure the schema exists and
// prepares the statements.  Returns 0 or a store status; on failure nothing
// stays open.
int32_t openDatabase(const char *path, sqlite3 **out, Statements *statements) {
    int32_t status = prepareDatabaseFile(path);
    if (status != CREDSTORE_OK) {
        return status;
    }
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(
        path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return CREDSTORE_ERR_OPEN;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    const int64_t deadline = nowMs() + kBusyTimeoutMs;
    // WAL lets readers and one writer proceed together across processes;
    // FULL makes every commit durable before the call returns.
    for (const char *sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", kSchema}) {
        rc = execUntil(db, sql, deadline);
        if (rc != SQLITE_OK) {
            sqlite3_close_v2(db);
            return statusFromSqlite(rc);
        }
    }
    rc = prepareStatements(db, statements);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return statusFromSqlite(rc);
    }
    *out = db;
    return CREDSTORE_OK;
}

// The process's connection and what it was opened on.  Guarded by
// cacheLock, which a call holds from taking the connection to giving it back,
// since a transaction spans several statements.  Trivially destructible on
// purpose: it must still be intact when closeCachedConnection runs at exit,
// after the C++ static destructors.
struct CachedConnection {
    sqlite3 *db = nullptr;
    Statements statements;
    char path[PATH_MAX] = {};
    dev_t device = 0;
    ino_t inode = 0;
    pid_t owner = 0;
};
pthread_mutex_t cacheLock = PTHREAD_MUTEX_INITIALIZER;
CachedConnection cached;

void dropCachedConnection() {
    // A connection inherited through fork() belongs to the parent: closing
    // it here could checkpoint or delete the parent's WAL files, so the
    // child only forgets it.
    if (cached.db != nullptr && cached.owner == getpid()) {
        finalizeStatements(&cached.statements);
        sqlite3_close_v2(cached.db);
    }
    cached = CachedConnection{};
}

// True when the cached connection may serve a call on `path`.
bool cachedConnectionFits(const char *path) {
    if (cached.db == nullptr || cached.owner != getpid() || std::strcmp(cached.path, path) != 0) {
        return false;
    }
    // lstat: a symbolic link put in the file's place is another file.
    struct stat info {};
    return lstat(path, &info) == 0 && info.st_dev == cached.device && info.st_ino == cached.inode;
}

// The connection for the length of one call: it holds cacheLock, opens the
// process's connection when there is none that fits, and gives it back at
// the end of the call, dropping it after a failure so that the next call
// starts from a fresh one.
class Connection {
  public:
    Connection() { pthread_mutex_lock(&cacheLock); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection() {
        if (dropAtEnd_) {
            dropCachedConnection();
        }
        pthread_mutex_unlock(&cacheLock);
    }

    // Returns 0 or a store status.
    int32_t open() {
        const char *path = databasePath();
        if (cachedConnectionFits(path)) {
            return CREDSTORE_OK;
        }
        dropCachedConnection();
        sqlite3 *db = nullptr;
        Statements statements;
        const int32_t status = openDatabase(path, &db, &statements);
        if (status != CREDSTORE_OK) {
            return status;
        }
        cached.db = db;
        cached.statements = statements;
        cached.owner = getpid();
        // A path too long to remember is served by this call's connection
        // alone; it is closed when the call ends.
        if (std::strlen(path) >= sizeof cached.path) {
            dropAtEnd_ = true;
            return CREDSTORE_OK;
        }
        std::memcpy(cached.path, path, std::strlen(path) + 1);
        // Recorded after the schema step, which has created the file.  If
        // it cannot be read, the next call simply opens again.
        struct stat info {};
        if (lstat(path, &info) == 0) {
            cached.device = info.st_dev;
            cached.inode = info.st_ino;
        }
        return CREDSTORE_OK;
    }

    // Passes the call's status through; after a failure ("not found" is
    // none) the connection is closed when the call ends.
    int32_t fail(int32_t status) {
        if (status != CREDSTORE_OK && status != CREDSTORE_ERR_NOT_FOUND) {
            dropAtEnd_ = true;
        }
        return status;
    }

    sqlite3 *get() const { return cached.db; }
    const Statements &statements() const { return cached.statements; }

  private:
    bool dropAtEnd_ = false;
};

// Closes the connection when the library is unloaded or the process exits,
// which checkpoints the WAL into the database file.
__attribute__((destructor)) void closeCachedConnection() {
    pthread_mutex_lock(&cacheLock);
    dropCachedConnection();
    pthread_mutex_unlock(&cacheLock);
}

// One use of a kept statement: reset, with its bindings cleared, on every
// path, so that no read snapshot or bound pointer outlives the call.
class Use {
  public:
    explicit Use(sqlite3_stmt *stmt) : stmt_(stmt) {}
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;
    ~Use() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    sqlite3_stmt *get() const { return stmt_; }

  private:
    sqlite3_stmt *stmt_;
};

// Runs a statement that returns no rows.
int runOnce(sqlite3_stmt *stmt) {
    Use use(stmt);
    const int rc = sqlite3_step(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int32_t storeRow(sqlite3_stmt *insert, const ServiceEntry *entry, const CredentialRecord *record) {
    Use use(insert);
    sqlite3_stmt *stmt = use.get();
    // Lengths were checked against their fields by the caller, so the bytes
    // bound here never reach past the records, which outlive the statement's
    // use (the guard clears the bindings).
    sqlite3_bind_blob(stmt, 1, entry->name, static_cast<int>(serviceKeyLength(entry)),
                      SQLITE_STATIC);
    sqlite3_bind_blob(stmt, 2, record->userName, static_cast<int>(record->userNameLength),
                      SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 3, record->userNameLength);
    sqlite3_bind_blob(stmt, 4, record->secret, static_cast<int>(record->secretLength),
                      SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 5, record->secretLength);
    int rc = sqlite3_step(stmt);
    return rc == SQLITE_DONE ? CREDSTORE_OK : statusFromSqlite(rc);
}

// Reads a stored length back into its 32-bit field; a value that no caller
// could have stored marks a damaged row.
bool lengthFromColumn(sqlite3_stmt *stmt, int column, uint32_t *out) {
    sqlite3_int64 value = sqlite3_column_int64(stmt, column);
    if (value < 0 || value > static_cast<sqlite3_int64>(UINT32_MAX)) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

// Copies a BLOB (or TEXT) column into a record field, refusing a value
// longer than the field.
bool bytesFromColumn(sqlite3_stmt *stmt, int column, void *field, size_t fieldSize) {
    const void *bytes = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    if (size < 0 || static_cast<size_t>(size) > fieldSize) {
        return false;
    }
    if (size > 0 && bytes != nullptr) {
        std::memcpy(field, bytes, static_cast<size_t>(size));
    }
    return true;
}

// The store request's work on the call's connection, in one transaction.
int32_t storeInTransaction(Connection &connection, const ServiceEntry *serviceEntry,
                           const CredentialRecord *credentialRecord) {
    int32_t status = connection.open();
    if (status != CREDSTORE_OK) {
        return status;
    }
    const Statements &statements = connection.statements();
    int rc = runOnce(statements.begin);
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    status = storeRow(statements.insert, serviceEntry, credentialRecord);
    if (status == CREDSTORE_OK) {
        rc = runOnce(statements.commit);
        if (rc == SQLITE_OK) {
            return CREDSTORE_OK;
        }
        status = statusFromSqlite(rc);
    }
    runOnce(statements.rollback);
    return status;
}

// The read request's work on the call's connection.
int32_t readRow(Connection &connection, const ServiceEntry *serviceEntry, size_t keyLength,
                CredentialRecord *credentialRecord) {
    int32_t status = connection.open();
    if (status != CREDSTORE_OK) {
        return status;
    }
    Use select(connection.statements().select);
    sqlite3_stmt *stmt = select.get();
    sqlite3_bind_blob(stmt, 1, serviceEntry->name, static_cast<int>(keyLength), SQLITE_STATIC);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        return CREDSTORE_ERR_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return statusFromSqlite(rc);
    }
    CredentialRecord row{};
    if (!bytesFromColumn(stmt, 0, row.userName, sizeof row.userName) ||
        !lengthFromColumn(stmt, 1, &row.userNameLength) ||
        !bytesFromColumn(stmt, 2, row.secret, sizeof row.secret) ||
        !lengthFromColumn(stmt, 3, &row.secretLength)) {
        return CREDSTORE_ERR_CORRUPT;
    }
    // The caller sees either the whole row or a zeroed record.
    std::memcpy(credentialRecord, &row, sizeof row);
    return CREDSTORE_OK;
}

}  // namespace

extern "C" int32_t arb_set_credential(const ServiceEntry *serviceEntry,
                                      const CredentialRecord *credentialRecord) {
    if (serviceEntry == nullptr || credentialRecord == nullptr) {
        return CREDSTORE_ERR_INVALID_ARGUMENT;
    }
    if (serviceEntry->nameLength > CREDSTORE_SERVICE_NAME_SIZE ||
        credentialRecord->userNameLength > CREDSTORE_USER_NAME_SIZE ||
        credentialRecord->secretLength > CREDSTORE_SECRET_SIZE) {
        return CREDSTORE_ERR_LENGTH;
    }
    if (credentialRecord->userNameLength == 0 || credentialRecord->userName[0] == '\0') {
        return CREDSTORE_ERR_USER_NAME_NOT_SET;
    }
    if (serviceKeyLength(serviceEntry) == 0) {
        return CREDSTORE_ERR_INVALID_ARGUMENT;
    }

    Connection connection;
    return connection.fail(storeInTransaction(connection, serviceEntry, credentialRecord));
}

extern "C" int32_t arb_get_credential(const ServiceEntry *serviceEntry,
                                      CredentialRecord *credentialRecord) {
    if (serviceEntry == nullptr || credentialRecord == nullptr) {
        return CREDSTORE_ERR_INVALID_ARGUMENT;
    }
    std::memset(credentialRecord, 0, sizeof *credentialRecord);
    size_t keyLength = serviceKeyLength(serviceEntry);
    if (keyLength == 0) {
        return CREDSTORE_ERR_INVALID_ARGUMENT;
    }

    Connection connection;
    return connection.fail(readRow(connection, serviceEntry, keyLength, credentialRecord));
}
