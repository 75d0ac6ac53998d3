// Directory identity library simulator (libtamo.so.0): answers the add-on's
// user, SID and security-equivalence lookups from an SQLite directory
// database written by tamo-provision.  See tamolib.h for the contract.
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace {

// One read-only connection for the length of one call.  Opening per call
// keeps the library stateless across fork() and always shows the latest
// committed database.
class Connection {
  public:
    Connection() {
        if (sqlite3_open_v2(tamo::directoryPath(), &db_, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
            return;
        }
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Connection() { sqlite3_close(db_); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    sqlite3 *get() const { return db_; }

  private:
    sqlite3 *db_ = nullptr;
};

class Query {
  public:
    Query(sqlite3 *db, const char *sql) {
        if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            stmt_ = nullptr;
        }
    }
    ~Query() { sqlite3_finalize(stmt_); }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;
    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt *get() const { return stmt_; }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(stmt_); }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

// Decodes UTF-16LE code units, ending at a zero unit, into UTF-8, pairing
// surrogates; a lone surrogate cannot name any login and makes the lookup
// fail.
bool utf16ToUtf8(const unsigned char *name16, std::string &out) {
    for (std::size_t i = 0;; i += 2) {
        uint32_t unit = name16[i] | (name16[i + 1] << 8);
        if (unit == 0) {
            return true;
        }
        uint32_t code = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = name16[i + 2] | (name16[i + 3] << 8);
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
}

void bindText(Query &query, int index, const std::string &text) {
    sqlite3_bind_text(query.get(), index, text.data(), static_cast<int>(text.size()),
                      SQLITE_STATIC);
}

}  // namespace

extern "C" {

int32_t tamolib_get_userinfo_from_name(const char *name, int32_t *selector, unsigned char *guid,
                                       unsigned char *sid, int32_t * /*reserved1*/,
                                       int32_t * /*reserved2*/) {
    if (name == nullptr || selector == nullptr || *selector != TAMO_INFO_SID || sid == nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    Connection connection;
    Query query(connection.get(), "SELECT guid, sid FROM entries WHERE login = ?");
    if (!query.ok()) {
        return TAMO_ERR_DATABASE;
    }
    sqlite3_bind_text(query.get(), 1, name, -1, SQLITE_STATIC);
    int rc = query.step();
    if (rc == SQLITE_DONE) {
        return TAMO_ERR_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return TAMO_ERR_DATABASE;
    }
    const unsigned char *sidText = sqlite3_column_text(query.get(), 1);
    if (sidText == nullptr) {
        return TAMO_ERR_NO_SID;
    }
    // Pack into a local buffer first so that a bad stored SID leaves the
    // caller's buffer untouched.
    unsigned char packed[TAMO_SID_MAX_SIZE] = {};
    std::size_t length = tamo::packSid(reinterpret_cast<const char *>(sidText), packed);
    if (length == 0) {
        return TAMO_ERR_DATABASE;
    }
    std::memcpy(sid, packed, length);
    if (guid != nullptr && sqlite3_column_bytes(query.get(), 0) == TAMO_GUID_SIZE) {
        std::memcpy(guid, sqlite3_column_blob(query.get(), 0), TAMO_GUID_SIZE);
    }
    return TAMO_OK;
}

int32_t tamolib_sid_to_string(const unsigned char *sid, char *text) {
    if (sid == nullptr || text == nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    return tamo::formatSid(sid, text, TAMO_SID_TEXT_SIZE) ? TAMO_OK : TAMO_ERR_INVALID_ARG;
}

int32_t tamolib_get_sevlist_from_name(const unsigned char *name16, int32_t *count,
                                      unsigned char *guids, int32_t * /*flags*/) {
    if (name16 == nullptr || count == nullptr || *count < 0 || (*count > 0 && guids == nullptr)) {
        return TAMO_ERR_INVALID_ARG;
    }
    std::string login;
    if (!utf16ToUtf8(name16, login)) {
        return TAMO_ERR_NOT_FOUND;
    }
    Connection connection;
    Query user(connection.get(), "SELECT guid FROM entries WHERE login = ?");
    if (!user.ok()) {
        return TAMO_ERR_DATABASE;
    }
    bindText(user, 1, login);
    int rc = user.step();
    if (rc == SQLITE_DONE) {
        return TAMO_ERR_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return TAMO_ERR_DATABASE;
    }

    Query members(connection.get(),
                  "SELECT member_guid FROM sev WHERE user_guid = ? ORDER BY position");
    if (!members.ok()) {
        return TAMO_ERR_DATABASE;
    }
    sqlite3_bind_blob(members.get(), 1, sqlite3_column_blob(user.get(), 0),
                      sqlite3_column_bytes(user.get(), 0), SQLITE_STATIC);
    // Count first, write only when everything fits: a short buffer gets the
    // needed count and no partial list.
    std::string all;
    while ((rc = members.step()) == SQLITE_ROW) {
        if (sqlite3_column_bytes(members.get(), 0) != TAMO_GUID_SIZE) {
            return TAMO_ERR_DATABASE;
        }
        all.append(static_cast<const char *>(sqlite3_column_blob(members.get(), 0)),
                   TAMO_GUID_SIZE);
    }
    if (rc != SQLITE_DONE) {
        return TAMO_ERR_DATABASE;
    }
    const std::size_t needed = all.size() / TAMO_GUID_SIZE;
    if (needed > static_cast<std::size_t>(*count)) {
        *count = static_cast<int32_t>(needed);
        return TAMO_ERR_BUFFER_TOO_SMALL;
    }
    if (needed > 0) {
        std::memcpy(guids, all.data(), all.size());
    }
    *count = static_cast<int32_t>(needed);
    return TAMO_OK;
}

int32_t tamolib_get_userinfo_from_guid(const unsigned char *guid, int32_t *selector,
                                       void *reserved1, void *reserved2, int32_t * /*flags*/,
                                       char **dn) {
    if (guid == nullptr || selector == nullptr || *selector != TAMO_INFO_DN || dn == nullptr ||
        reserved1 != nullptr || reserved2 != nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    Connection connection;
    Query query(connection.get(), "SELECT dn FROM entries WHERE guid = ?");
    if (!query.ok()) {
        return TAMO_ERR_DATABASE;
    }
    sqlite3_bind_blob(query.get(), 1, guid, TAMO_GUID_SIZE, SQLITE_STATIC);
    int rc = query.step();
    if (rc == SQLITE_DONE) {
        return TAMO_ERR_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return TAMO_ERR_DATABASE;
    }
    const unsigned char *text = sqlite3_column_text(query.get(), 0);
    char *copy = strdup(text != nullptr ? reinterpret_cast<const char *>(text) : "");
    if (copy == nullptr) {
        return TAMO_ERR_NO_MEMORY;
    }
    *dn = copy;
    return TAMO_OK;
}

}  // extern "C"
