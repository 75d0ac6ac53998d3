/* Pieces shared by the directory simulator (tamo.cpp) and its provisioning
 * command (tamo-provision.cpp): where the database lives, its schema, and
 * the two forms of a SID. */
#ifndef KAVO_TAMO_INTERNAL_H
#define KAVO_TAMO_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace tamo {

// The database file: $TAMO_DIRECTORY_DB when set and non-empty, otherwise the
// fixed place beside the rest of the platform state.
const char *directoryPath();

// Creates the tables when they are missing; both programs agree on it here.
// login and dn are unique so that the provisioning command can name entries
// by either; sev rows are ordered by position within one user.
inline constexpr const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS entries ("
    " guid BLOB PRIMARY KEY CHECK (length(guid) = 16),"
    " login TEXT UNIQUE,"
    " dn TEXT NOT NULL UNIQUE,"
    " sid TEXT);"
    "CREATE TABLE IF NOT EXISTS sev ("
    " user_guid BLOB NOT NULL,"
    " position INTEGER NOT NULL,"
    " member_guid BLOB NOT NULL CHECK (length(member_guid) = 16),"
    " PRIMARY KEY (user_guid, position));";

// Parses "S-<revision>-<authority>-<sub>..." into the packed form (revision,
// sub-authority count, 48-bit big-endian authority, 32-bit little-endian
// sub-authorities).  packed must hold 68 bytes.  Returns the packed length,
// or 0 when the text is not a SID with 1 to 15 sub-authorities.
std::size_t packSid(const char *text, unsigned char *packed);

// Writes the text form of a packed SID into text (capacity bytes, at least
// 190 for any valid SID).  Returns false, with text empty, for a SID with
// more than 15 sub-authorities.
bool formatSid(const unsigned char *packed, char *text, std::size_t capacity);

}  // namespace tamo

#endif
