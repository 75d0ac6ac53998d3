// Lists the service names of the credential store simulator's database, one
// a line in hexadecimal (a name is bytes, not text), for the tools that
// handle every stored credential (tools/kavo rewrap).
//   credstore-list     the database at $KAVO_CREDSTORE_DB, else the default
// A database that does not exist yet holds no names: nothing is printed.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <sqlite3.h>

#include "platform/credstore/kavocredstore.h"

int main() {
    const char *path = getenv("KAVO_CREDSTORE_DB");
    if (path == nullptr) {
        path = CREDSTORE_DEFAULT_DB;
    }
    if (access(path, F_OK) != 0 && errno == ENOENT) {
        return 0;
    }
    sqlite3 *db = nullptr;
    sqlite3_stmt *names = nullptr;
    int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        rc = sqlite3_prepare_v2(db, "SELECT service FROM credentials ORDER BY service", -1, &names,
                                nullptr);
    }
    while (rc == SQLITE_OK && (rc = sqlite3_step(names)) == SQLITE_ROW) {
        const auto *name = static_cast<const unsigned char *>(sqlite3_column_blob(names, 0));
        const int length = sqlite3_column_bytes(names, 0);
        for (int i = 0; i < length; ++i) {
            printf("%02x", name[i]);
        }
        putchar('\n');
        rc = SQLITE_OK;
    }
    const bool done = rc == SQLITE_DONE;
    if (!done) {
        (void)fprintf(stderr, "credstore-list: %s: %s\n", path, sqlite3_errmsg(db));
    }
    sqlite3_finalize(names);
    sqlite3_close(db);
    return done && fflush(stdout) == 0 ? 0 : 1;
}
