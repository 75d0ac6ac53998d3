// tamo-provision: creates and fills the database of the directory simulator
// (libtamo.so.0), so that the demo and the tests set up users, entries and
// security-equivalence lists without writing SQL.  Built as
// <build>/simulators/tamo-provision.
//
// usage: tamo-provision [--db PATH] COMMAND [ARGS...]
//   --db PATH   the database file; default $TAMO_DIRECTORY_DB, otherwise
//               /etc/opt/zorvex/directory.db (the file the library reads)
//
// commands (each creates the database and its schema first when missing):
//   init                            only create the database
//   add-user LOGIN DN [SID [GUID]]  add a user entry; prints its GUID.
//                                   SID is "S-1-5-21-..." text, "" for a
//                                   default derived from the entry number,
//                                   "-" for a user without SID
//   add-entry DN [GUID]             add an entry without login (a group, a
//                                   role, a container); prints its GUID
//   set-sev LOGIN [MEMBER...]       replace the user's list by the members in
//                                   the order given; MEMBER is the DN of an
//                                   existing entry, or guid:HEX for any GUID
//                                   (one without entry makes lookups fail)
//   list                            print every entry and list
//   export-ldif [BASE]              print the whole directory as LDIF for an
//                                   LDAP directory (see tools/ldap-fixture):
//                                   the login as sAMAccountName, the packed
//                                   SID as objectSid, the GUID as objectGUID,
//                                   the list as memberOf DNs in order, each
//                                   entry's naming values, and an entry for
//                                   every missing parent.  A list GUID without
//                                   entry becomes a DN that names nothing,
//                                   cn=unresolved-<hex>,BASE.
//   batch                           read commands from standard input, one
//                                   per line, fields separated by TAB; all
//                                   of them in one transaction
// GUIDs are written as 32 hexadecimal digits, the 16 bytes in stored order;
// a GUID argument may also carry dashes.  Exit status 0 on success, 1 on a
// failed command (nothing of it is kept), 2 on a usage error.
//
// example:
//   tamo-provision --db /tmp/p/directory.db add-entry "cn=admins,o=corp"
//   tamo-provision --db /tmp/p/directory.db add-user alice "cn=alice,o=corp" S-1-5-21-1-2-3-1001
//   tamo-provision --db /tmp/p/directory.db set-sev alice "cn=admins,o=corp"
#include <openssl/evp.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace {

constexpr const char kUsage[] =
    "usage: tamo-provision [--db PATH] COMMAND [ARGS...]\n"
    "  --db PATH   database file (default: $TAMO_DIRECTORY_DB, else /etc/opt/zorvex/directory.db)\n"
    "commands:\n"
    "  init                            create the database and its schema\n"
    "  add-user LOGIN DN [SID [GUID]]  add a user; SID \"S-1-5-21-...\", \"\" for a default,\n"
    "                                  \"-\" for none; prints the GUID\n"
    "  add-entry DN [GUID]             add an entry without login; prints the GUID\n"
    "  set-sev LOGIN [MEMBER...]       replace the user's ordered list; MEMBER is the DN of an\n"
    "                                  entry or guid:HEX (32 hex digits, dashes allowed)\n"
    "  list                            print all entries and lists\n"
    "  export-ldif [BASE]              print the directory as LDIF (AD attribute names);\n"
    "                                  list GUIDs without entry become cn=unresolved-HEX,BASE\n"
    "  batch                           commands from stdin, one per line, TAB-separated fields,\n"
    "                                  in one transaction\n";

using Guid = std::vector<unsigned char>;
using Args = std::vector<std::string>;

// A failed command: the message goes to stderr and the transaction is undone.
struct Failure {
    std::string message;
};
// A command line that does not fit the usage.
struct UsageError {
    std::string message;
};

std::string hexOf(const Guid &guid) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : guid) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

Guid parseGuid(const std::string &text) {
    std::string digits;
    for (char c : text) {
        if (c != '-') {
            digits += c;
        }
    }
    if (digits.size() != std::size_t{2} * TAMO_GUID_SIZE ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw Failure{"not a GUID (32 hexadecimal digits): " + text};
    }
    Guid guid(TAMO_GUID_SIZE);
    for (std::size_t i = 0; i < guid.size(); ++i) {
        guid[i] = static_cast<unsigned char>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
    }
    return guid;
}

Guid randomGuid() {
    std::random_device device;
    Guid guid(TAMO_GUID_SIZE);
    for (auto &byte : guid) {
        byte = static_cast<unsigned char>(device());
    }
    return guid;
}

// A prepared statement that finalises itself, so that every failure path
// (a thrown Failure included) releases it.
class Statement {
  public:
    Statement(sqlite3 *db, const char *sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw Failure{sqlite3_errmsg(db)};
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &text(int index, const std::string &value) {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement &blob(int index, const Guid &value) {
        sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement &null(int index) {
        sqlite3_bind_null(stmt_, index);
        return *this;
    }
    Statement &integer(int index, int64_t value) {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    // Steps once; true while a row is available.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            throw Failure{sqlite3_errmsg(db_)};
        }
        return false;
    }
    sqlite3_stmt *get() const { return stmt_; }

  private:
    sqlite3 *db_;
    sqlite3_stmt *stmt_ = nullptr;
};

void exec(sqlite3 *db, const char *sql) {
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : "database error";
        sqlite3_free(error);
        throw Failure{message};
    }
}

Guid columnGuid(sqlite3_stmt *stmt, int column) {
    const auto *bytes = static_cast<const unsigned char *>(sqlite3_column_blob(stmt, column));
    return Guid(bytes, bytes + sqlite3_column_bytes(stmt, column));
}

std::string columnText(sqlite3_stmt *stmt, int column) {
    const unsigned char *text = sqlite3_column_text(stmt, column);
    return text != nullptr ? reinterpret_cast<const char *>(text) : std::string("-");
}

Guid insertEntry(sqlite3 *db, const std::string *login, const std::string &dn, const char *sid,
                 const std::string &guidText) {
    Guid guid = guidText.empty() ? randomGuid() : parseGuid(guidText);
    Statement insert(db, "INSERT INTO entries (guid, login, dn, sid) VALUES (?, ?, ?, ?)");
    insert.blob(1, guid);
    login != nullptr ? insert.text(2, *login) : insert.null(2);
    insert.text(3, dn);
    sid != nullptr ? insert.text(4, sid) : insert.null(4);
    insert.step();
    return guid;
}

void addUser(sqlite3 *db, const Args &args) {
    if (args.size() < 3 || args.size() > 5) {
        throw UsageError{"add-user LOGIN DN [SID [GUID]]"};
    }
    std::string sid = args.size() > 3 ? args[3] : "";
    if (sid.empty()) {
        // A stable default: the well-known domain prefix and a RID that
        // follows the number of entries already present.
        Statement countRows(db, "SELECT count(*) FROM entries");
        countRows.step();
        sid = "S-1-5-21-3623811015-3361044348-30300820-" +
              std::to_string(1000 + sqlite3_column_int64(countRows.get(), 0));
    }
    unsigned char packed[TAMO_SID_MAX_SIZE];
    if (sid != "-" && tamo::packSid(sid.c_str(), packed) == 0) {
        throw Failure{"not a SID (S-<revision>-<authority>-<1 to 15 sub-authorities>): " + sid};
    }
    Guid guid = insertEntry(db, &args[1], args[2], sid == "-" ? nullptr : sid.c_str(),
                            args.size() > 4 ? args[4] : "");
    std::cout << hexOf(guid) << '\n';
}

void addEntry(sqlite3 *db, const Args &args) {
    if (args.size() < 2 || args.size() > 3) {
        throw UsageError{"add-entry DN [GUID]"};
    }
    Guid guid = insertEntry(db, nullptr, args[1], nullptr, args.size() > 2 ? args[2] : "");
    std::cout << hexOf(guid) << '\n';
}

void setSev(sqlite3 *db, const Args &args) {
    if (args.size() < 2) {
        throw UsageError{"set-sev LOGIN [MEMBER...]"};
    }
    Statement user(db, "SELECT guid FROM entries WHERE login = ?");
    user.text(1, args[1]);
    if (!user.step()) {
        throw Failure{"no user with login " + args[1]};
    }
    Guid userGuid = columnGuid(user.get(), 0);
    Statement clear(db, "DELETE FROM sev WHERE user_guid = ?");
    clear.blob(1, userGuid).step();
    for (std::size_t i = 2; i < args.size(); ++i) {
        Guid member;
        if (args[i].rfind("guid:", 0) == 0) {
            member = parseGuid(args[i].substr(5));
        } else {
            Statement byDn(db, "SELECT guid FROM entries WHERE dn = ?");
            byDn.text(1, args[i]);
            if (!byDn.step()) {
                throw Failure{"no entry with DN " + args[i]};
            }
            member = columnGuid(byDn.get(), 0);
        }
        Statement insert(db, "INSERT INTO sev (user_guid, position, member_guid) VALUES (?, ?, ?)");
        insert.blob(1, userGuid).integer(2, static_cast<int64_t>(i - 2)).blob(3, member).step();
    }
}

void list(sqlite3 *db) {
    Statement entries(db, "SELECT guid, login, dn, sid FROM entries ORDER BY dn");
    while (entries.step()) {
        std::cout << hexOf(columnGuid(entries.get(), 0)) << '\t' << columnText(entries.get(), 1)
                  << '\t' << columnText(entries.get(), 2) << '\t' << columnText(entries.get(), 3)
                  << '\n';
    }
    Statement sev(db,
                  "SELECT u.login, s.position, s.member_guid, e.dn FROM sev s"
                  " JOIN entries u ON u.guid = s.user_guid"
                  " LEFT JOIN entries e ON e.guid = s.member_guid ORDER BY u.login, s.position");
    while (sev.step()) {
        std::cout << "sev\t" << columnText(sev.get(), 0) << '\t'
                  << sqlite3_column_int64(sev.get(), 1) << '\t' << hexOf(columnGuid(sev.get(), 2))
                  << '\t' << columnText(sev.get(), 3) << '\n';
    }
}

// Splits text at each sep that no backslash escapes (RDNs of a DN at ',',
// values of an RDN at '+'), keeping the escapes.
std::vector<std::string> splitUnescaped(const std::string &text, char sep) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            parts.back() += text.substr(i, 2);
            ++i;
        } else if (text[i] == sep) {
            parts.emplace_back();
        } else {
            parts.back() += text[i];
        }
    }
    return parts;
}

// The value of an RDN component, its escapes undone (\XX hexadecimal and
// \c for a special character).
std::string unescapeValue(const std::string &text) {
    std::string value;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            value += text[i];
        } else if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            value += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            value += text[++i];
        }
    }
    return value;
}

// One LDIF attribute line: the value as it is when it is a safe string,
// otherwise (and always for binary values) in base64 after "::".
std::string ldifLine(const std::string &attribute, const std::string &value, bool binary = false) {
    bool safe = !binary && (value.empty() || (value[0] != ' ' && value[0] != ':' &&
                                              value[0] != '<' && value.back() != ' '));
    for (unsigned char c : value) {
        safe = safe && c != 0 && c != '\n' && c != '\r' && c < 0x80;
    }
    if (safe) {
        return attribute + ": " + value + "\n";
    }
    std::string encoded(4 * ((value.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(encoded.data()),
                                 reinterpret_cast<const unsigned char *>(value.data()),
                                 static_cast<int>(value.size()));
    encoded.resize(static_cast<std::size_t>(length));
    return attribute + ":: " + encoded + "\n";
}

std::string lowerCase(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Writes the directory as LDIF, parents before children.
void exportLdif(sqlite3 *db, const Args &args) {
    if (args.size() > 2) {
        throw UsageError{"export-ldif [BASE]"};
    }
    const std::string base = args.size() > 1 ? args[1] : "";
    struct Entry {
        std::string dn, login, sid, guid;
        std::vector<std::string> members;
    };
    std::map<std::string, std::string> dnByGuid;
    std::vector<Entry> entries;
    Statement all(db, "SELECT guid, login, dn, sid FROM entries");
    while (all.step()) {
        Entry entry;
        Guid guid = columnGuid(all.get(), 0);
        entry.guid.assign(guid.begin(), guid.end());
        if (sqlite3_column_type(all.get(), 1) != SQLITE_NULL) {
            entry.login = columnText(all.get(), 1);
        }
        entry.dn = columnText(all.get(), 2);
        if (sqlite3_column_type(all.get(), 3) != SQLITE_NULL) {
            unsigned char packed[TAMO_SID_MAX_SIZE];
            std::size_t length = tamo::packSid(columnText(all.get(), 3).c_str(), packed);
            if (length == 0) {
                throw Failure{"entry " + entry.dn + " has a malformed SID"};
            }
            entry.sid.assign(reinterpret_cast<const char *>(packed), length);
        }
        dnByGuid[entry.guid] = entry.dn;
        entries.push_back(std::move(entry));
    }
    for (Entry &entry : entries) {
        Statement members(db, "SELECT member_guid FROM sev WHERE user_guid = ? ORDER BY position");
        members.blob(1, Guid(entry.guid.begin(), entry.guid.end()));
        while (members.step()) {
            Guid member = columnGuid(members.get(), 0);
            auto found = dnByGuid.find(std::string(member.begin(), member.end()));
            entry.members.push_back(found != dnByGuid.end() ? found->second
                                                            : "cn=unresolved-" + hexOf(member) +
                                                                  (base.empty() ? "" : "," + base));
        }
    }
    // Every ancestor that is no entry of its own gets an empty one.
    std::set<std::string> known;
    for (const Entry &entry : entries) {
        known.insert(lowerCase(entry.dn));
    }
    std::vector<Entry> parents;
    for (const Entry &entry : entries) {
        std::vector<std::string> rdns = splitUnescaped(entry.dn, ',');
        for (std::size_t i = 1; i < rdns.size(); ++i) {
            std::string parent;
            for (std::size_t j = i; j < rdns.size(); ++j) {
                parent += (j > i ? "," : "") + rdns[j];
            }
            if (known.insert(lowerCase(parent)).second) {
                parents.push_back(Entry{parent, "", "", "", {}});
            }
        }
    }
    entries.insert(entries.end(), parents.begin(), parents.end());
    std::vector<std::pair<std::size_t, const Entry *>> byDepth;
    byDepth.reserve(entries.size());
    for (const Entry &entry : entries) {
        byDepth.emplace_back(splitUnescaped(entry.dn, ',').size(), &entry);
    }
    std::stable_sort(byDepth.begin(), byDepth.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    for (const auto &[depth, pointer] : byDepth) {
        const Entry &entry = *pointer;
        std::string text = ldifLine("dn", entry.dn);
        text += "objectClass: kavoDirectoryEntry\nobjectClass: extensibleObject\n";
        for (std::string part : splitUnescaped(splitUnescaped(entry.dn, ',')[0], '+')) {
            part.erase(0, part.find_first_not_of(' '));
            const std::size_t eq = part.find('=');
            if (eq == std::string::npos || eq == 0) {
                throw Failure{"not a DN: " + entry.dn};
            }
            text += ldifLine(part.substr(0, eq), unescapeValue(part.substr(eq + 1)));
        }
        if (!entry.login.empty()) {
            text += ldifLine("sAMAccountName", entry.login);
        }
        if (!entry.sid.empty()) {
            text += ldifLine("objectSid", entry.sid, true);
        }
        if (!entry.guid.empty()) {
            text += ldifLine("objectGUID", entry.guid, true);
        }
        for (const std::string &member : entry.members) {
            text += ldifLine("memberOf", member);
        }
        std::cout << text << '\n';
    }
}

void run(sqlite3 *db, const Args &args);

void batch(sqlite3 *db) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Args fields;
        std::stringstream stream(line);
        std::string field;
        while (std::getline(stream, field, '\t')) {
            fields.push_back(field);
        }
        // A trailing TAB stands for a last empty field (an empty SID).
        if (line.back() == '\t') {
            fields.emplace_back();
        }
        if (fields[0] == "batch") {
            throw UsageError{"batch cannot be nested"};
        }
        run(db, fields);
    }
}

void run(sqlite3 *db, const Args &args) {
    const std::string &command = args[0];
    if (command == "init") {
        if (args.size() != 1) {
            throw UsageError{"init takes no arguments"};
        }
    } else if (command == "add-user") {
        addUser(db, args);
    } else if (command == "add-entry") {
        addEntry(db, args);
    } else if (command == "set-sev") {
        setSev(db, args);
    } else if (command == "list") {
        list(db);
    } else if (command == "export-ldif") {
        exportLdif(db, args);
    } else if (command == "batch") {
        batch(db);
    } else {
        throw UsageError{"unknown command " + command};
    }
}

}  // namespace

int main(int argc, char **argv) {
    Args args(argv + 1, argv + argc);
    std::string path = tamo::directoryPath();
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    if (args.size() >= 2 && args[0] == "--db") {
        path = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }

    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::cerr << "tamo-provision: cannot open " << path << ": " << sqlite3_errmsg(db) << '\n';
        sqlite3_close(db);
        return 1;
    }
    sqlite3_busy_timeout(db, 5000);
    int status = 0;
    try {
        // The library keeps read-only connections; one transaction per
        // invocation means it sees all of a batch or none.  In WAL mode a
        // lookup costs no file lock or header read of its own, and lookups
        // go on while a batch is written.
        exec(db, "PRAGMA journal_mode=WAL");
        exec(db, "BEGIN IMMEDIATE");
        exec(db, tamo::kSchema);
        run(db, args);
        exec(db, "COMMIT");
    } catch (const UsageError &error) {
        std::cerr << "tamo-provision: " << error.message << "\n" << kUsage;
        status = 2;
    } catch (const Failure &error) {
        std::cerr << "tamo-provision: " << error.message << '\n';
        status = 1;
    }
    if (status != 0) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
    return status;
}
