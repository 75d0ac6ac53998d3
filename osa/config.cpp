/* OS abstraction layer: the configuration file, numbered resources and the
 * two key-store directories.
 *
 * The file holds one entry per line, "name:type:length:value": type "s" for a
 * text value, "b" for a binary value written as ":xx" groups after the length.
 * There are no comments and no blank lines: a line that does not parse ends
 * every search that reaches it, which the cryptographic service library
 * relies on when it reads the file through these functions. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "osa/osa.h"
#include "osa/storage_internal.h"

namespace {

// Read limits of one entry: the name and value widths of the scan pattern.
constexpr size_t kNameBuffer = 32;    // "%31[^:]" and its NUL
constexpr size_t kValueBuffer = 268;  // "%267[^\n]" and its NUL
// The writers' room checks count a line of at most 300 characters.
constexpr uint64_t kLineRoom = OSA_CFG_LINE_MAX;
// A string entry that passes its room check is at most 300 - 8 characters of
// name and value, plus ":s:", a length field of up to 20 characters (a
// negative 64-bit number), ":", the newline and the NUL.
constexpr size_t kStringLineBuffer = (OSA_CFG_LINE_MAX - 8) + 3 + 20 + 1 + 1 + 1;
constexpr size_t kDirectorySize = 256;

struct Entry {
    char name[kNameBuffer];
    char type;
    long length;
    char text[kValueBuffer];
};

/* Reads the next line from fd and splits it; false at the end of the file or
 * when the line does not hold all four fields. */
bool readEntry(int fd, Entry *entry) {
    char line[OSA_CFG_LINE_BUFFER] = {};
    memset(entry, 0, sizeof *entry);
    // A read error ends the file: what came before is not a whole line.
    if (fget_string(line, fd) <= 0) {
        return false;
    }
    return sscanf(line, "%31[^:]:%1c:%ld:%267[^\n]", entry->name, &entry->type, &entry->length,
                  entry->text) == 4;
}

/* Hands an entry's value over as OSA_unxCfgRead describes it.  At most
 * kValueBuffer bytes are ever written: a string value is at most 267
 * characters and its NUL, and a binary value has at most one byte per two
 * characters of the value text. */
int64_t deliverEntry(const Entry &entry, void *value, size_t size) {
    if (entry.type == 's') {
        const size_t needed = strlen(entry.text) + 1;
        // Too small a buffer learns the size it needs; nothing is copied.
        if (needed <= size) {
            memcpy(value, entry.text, needed);
        }
        return static_cast<int64_t>(needed);
    }
    if (entry.type != 'b') {
        return 0;
    }
    if (static_cast<unsigned long>(entry.length) > size) {
        return -1;
    }
    if (entry.length == 0) {
        return 0;
    }
    auto *bytes = static_cast<unsigned char *>(value);
    char rest[kValueBuffer];
    memcpy(rest, entry.text, sizeof rest);
    for (long k = 1;; ++k) {
        unsigned int byte = 0;
        char next[kValueBuffer] = {};
        const int matched = sscanf(rest, "%x:%267s", &byte, next);
        if (matched < 1) {
            return 0;
        }
        bytes[k - 1] = static_cast<unsigned char>(byte & 0xFFu);
        if (matched == 1) {
            // The last group on the line: whole only if it was the last byte.
            return k == entry.length ? entry.length : 0;
        }
        if (k == entry.length) {
            return entry.length;  // groups beyond the length are ignored
        }
        memcpy(rest, next, sizeof rest);
    }
}

/* Process-wide key-store directories, empty until resolved. */
char systemDirectory[kDirectorySize];
char userDirectoryRoot[kDirectorySize];
bool directoriesResolved;

/* The configuration entry behind a numbered resource, or null when the id
 * is not supported; `integer` tells integer entries from strings. */
const char *resourceEntry(uint32_t id, bool *integer) {
    *integer = false;
    switch (id) {
        case OSA_RES_DAC:
            return "DAC";
        case OSA_RES_SYNC_PERIOD:
            *integer = true;
            return "VESKSDI Sync Period";
        case OSA_RES_SHARED_LIBRARY:
            return "SharedLibrary";
        case OSA_RES_DAC2:
            return "DAC2";
        case OSA_RES_MKUSERDIR:
            return "MkUserDir";
        case OSA_RES_TRACE:
            *integer = true;
            return "Trace";
        case OSA_RES_TRACE_FILE:
            return "TraceFile";
        case OSA_RES_RESTRICTION_LEVEL:
            *integer = true;
            return "RestrictionLevel";
        default:
            return nullptr;  // 0x1001 and every id outside the table
    }
}

}  // namespace

int fget_string(char *line, int fd) {
    int stored = 0;
    for (;;) {
        if (stored == OSA_CFG_LINE_MAX) {
            // Cut: the 301st character is consumed and lost, so the next
            // read starts with the 302nd.
            char lost;
            ssize_t r;
            do {
                r = read(fd, &lost, 1);
            } while (r < 0 && errno == EINTR);
            line[stored] = '\0';
            return 1;
        }
        // One byte per call leaves the descriptor just after the line.
        ssize_t r;
        do {
            r = read(fd, &line[stored], 1);
        } while (r < 0 && errno == EINTR);
        if (r <= 0) {
            line[stored] = '\0';
            return static_cast<int>(r);
        }
        ++stored;
        if (line[stored - 1] == '\n') {
            line[stored] = '\0';
            return stored + 1;
        }
    }
}

int64_t OSA_unxCfgRead(int fd, char *name, char *type, void *value, size_t size) {
    Entry entry;
    if (!readEntry(fd, &entry)) {
        return 0;
    }
    memcpy(name, entry.name, kNameBuffer);
    *type = entry.type;
    return deliverEntry(entry, value, size);
}

int64_t OSA_unxCfgWrite(int fd, const char *name, char type, const void *value, int64_t length) {
    const size_t nameLength = strlen(name);
    // The reader takes at most 31 characters of a name, so a longer name
    // would write a line that no search can pass; it is refused.
    if (nameLength >= kNameBuffer) {
        return 0;
    }
    if (type == 'b') {
        // A negative or oversized length could wrap the room check below and
        // walk the value far past its end; neither fits a line anyway.
        if (length < 0 || static_cast<uint64_t>(length) > kLineRoom) {
            return 0;
        }
        if (nameLength + 3u * static_cast<uint64_t>(length) + 8u > kLineRoom) {
            return 0;
        }
        char line[OSA_CFG_LINE_MAX];
        const int head =
            snprintf(line, sizeof line, "%s:%c:%ld", name, type, static_cast<long>(length));
        if (head <= 0) {
            return 0;
        }
        (void)!write(fd, line, static_cast<size_t>(head));
        // The room check leaves space for every group and the newline.
        const auto *bytes = static_cast<const unsigned char *>(value);
        size_t used = 0;
        for (int64_t k = 0; k < length; ++k) {
            used +=
                static_cast<size_t>(snprintf(line + used, sizeof line - used, ":%2.2x", bytes[k]));
        }
        line[used++] = '\n';
        (void)!write(fd, line, used);
        return length;
    }
    if (type == 's') {
        const char *text = static_cast<const char *>(value);
        const size_t textLength = strlen(text);
        if (nameLength + textLength + 8u > kLineRoom) {
            return 0;
        }
        char line[kStringLineBuffer];
        const int formatted = snprintf(line, sizeof line, "%s:%c:%ld:%s\n", name, type,
                                       static_cast<long>(length), text);
        if (formatted <= 0 || static_cast<size_t>(formatted) >= sizeof line) {
            return 0;
        }
        const ssize_t written = write(fd, line, static_cast<size_t>(formatted));
        return written > 0 ? static_cast<int64_t>(textLength) : 0;
    }
    return 0;
}

int64_t OSA_unxCfgLookup(int fd, const char *name, char *type, void *value, size_t size) {
    if (lseek(fd, 0, SEEK_SET) < 0) {
        return -1;
    }
    // Entries passed over are delivered into scratch space: the caller's
    // buffer receives the matching entry's value or stays untouched.
    unsigned char scratch[kValueBuffer];
    Entry entry;
    while (readEntry(fd, &entry)) {
        *type = entry.type;
        if (strcmp(entry.name, name) == 0) {
            return deliverEntry(entry, value, size);
        }
        if (deliverEntry(entry, scratch, size) == 0) {
            return 0;
        }
    }
    return 0;
}

int OSA_query_registry_value(const char *path, const char *name, void * /*ignored*/, void *value,
                             uint32_t size) {
    // Only a regular file is read: a FIFO or a device in its place would
    // block the caller or feed it without end, so it counts as missing.
    const int fd = osa_store::openRegular(path, O_RDONLY, 0);
    if (fd < 0) {
        return -1;
    }
    char type = 0;
    const int64_t result = OSA_unxCfgLookup(fd, name, &type, value, size);
    close(fd);
    return static_cast<int>(result);
}

int32_t getIntegerFromCFG(const char *name, uint32_t *value, uint32_t *size) {
    if (*size > sizeof(uint32_t)) {
        return OSA_ERR_INT_SIZE;
    }
    auto *bytes = reinterpret_cast<unsigned char *>(value);
    memset(bytes, 0, *size);
    const int result = OSA_query_registry_value(OSA_CONFIG_PATH, name, nullptr, bytes, *size);
    if (result == 0) {
        return OSA_ERR_NOT_FOUND;
    }
    if (result < 0) {
        // No file, or a binary entry longer than asked: the integer is 0.
        *value = 0;
        return OSA_OK;
    }
    if (static_cast<uint32_t>(result) > *size) {
        return OSA_ERR_INT_SIZE;  // a string too long for the buffer
    }
    // Most significant byte first.
    uint32_t folded = 0;
    for (int i = 0; i < result; ++i) {
        folded = (folded << 8) | bytes[i];
    }
    *value = folded;
    return OSA_OK;
}

int32_t OSA_GetResource(uint32_t id, void *value, uint32_t *size) {
    bool integer = false;
    const char *entry = resourceEntry(id, &integer);
    if (entry == nullptr) {
        *size = 0;
        return OSA_ERR_NOT_SUPPORTED;
    }
    if (integer) {
        const int32_t result = getIntegerFromCFG(entry, static_cast<uint32_t *>(value), size);
        *size = 0;
        return result;
    }
    // Callers tell "copied" from "missing file" (0xFFFFFFFF) and "too large"
    // by comparing the size with their capacity.
    const int result = OSA_query_registry_value(OSA_CONFIG_PATH, entry, nullptr, value, *size);
    *size = static_cast<uint32_t>(result);
    return result == 0 ? OSA_ERR_NOT_FOUND : OSA_OK;
}

int32_t _GetVESKDirectories(void) {
    if (directoriesResolved) {
        return OSA_OK;
    }
    // Directories of up to 199 characters keep every key-store path, file
    // name and per-user part included, well inside the path buffers.
    const int system = OSA_query_registry_value(OSA_CONFIG_PATH, "ConfigDirectory", nullptr,
                                                systemDirectory, kDirectorySize);
    if (system < 1 || system > 200) {
        // A refused value may have been copied; it must not be used as a
        // directory, so the string is emptied and a later call tries again.
        memset(systemDirectory, 0, sizeof systemDirectory);
        return OSA_ERR_NO_SYSTEM_DIR;
    }
    const int user = OSA_query_registry_value(OSA_CONFIG_PATH, "UserDirectoryRoot", nullptr,
                                              userDirectoryRoot, kDirectorySize);
    if (user < 2 || user > 200) {
        memcpy(userDirectoryRoot, systemDirectory, kDirectorySize);
    }
    directoriesResolved = true;
    return OSA_OK;
}

char *OSA_Get_VESK_SystemPath(void) {
    return systemDirectory;
}

char *OSA_Get_VESK_UserPath(void) {
    return userDirectoryRoot;
}

namespace osa_store {

void resetDirectories() {
    memset(systemDirectory, 0, sizeof systemDirectory);
    memset(userDirectoryRoot, 0, sizeof userDirectoryRoot);
    directoriesResolved = false;
    resetKeystorePaths();
}

}  // namespace osa_store
