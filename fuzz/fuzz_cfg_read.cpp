/* Fuzz target: reading and looking up configuration entries in arbitrary
 * file contents.
 *
 * The first two input bytes choose the capacity of the caller's value
 * buffer (0 to 319 bytes, heap-allocated at exactly that size, so that
 * AddressSanitizer sees any byte written past it); the rest is the file,
 * written to an in-memory file whose descriptor is handed to the readers.
 * The file is read entry by entry to its end, then searched for a few names,
 * and every result is checked against what the caller may rely on. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "fuzz/fuzz_check.h"
#include "osa/osa.h"

namespace {

constexpr size_t kNameSize = 32;         // a name of at most 31 characters and its NUL
constexpr int64_t kMaxStringSize = 268;  // a value of at most 267 characters and its NUL
constexpr size_t kCapacityRange = 320;

int contentFile() {
    static const int fd = memfd_create("kavo-fuzz-cfg", 0);
    FUZZ_CHECK(fd >= 0);
    return fd;
}

/* Checks one delivered entry against the caller's buffer of capacity bytes. */
void checkDelivered(int64_t result, char type, const uint8_t *value, size_t capacity) {
    FUZZ_CHECK(result >= -1);
    if (result == -1) {
        FUZZ_CHECK(type == 'b');  // only a binary entry can be too large
    }
    if (result <= 0) {
        return;
    }
    if (type == 's') {
        // The size with its NUL; copied only when it fits.
        FUZZ_CHECK(result <= kMaxStringSize);
        if (static_cast<size_t>(result) <= capacity) {
            FUZZ_CHECK(value[result - 1] == '\0');
            FUZZ_CHECK(strlen(reinterpret_cast<const char *>(value)) ==
                       static_cast<size_t>(result - 1));
        }
    } else {
        // Binary entries never report more bytes than the buffer holds.
        FUZZ_CHECK(type == 'b');
        FUZZ_CHECK(static_cast<size_t>(result) <= capacity);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t capacity = (data[0] | (static_cast<size_t>(data[1]) << 8)) % kCapacityRange;
    const uint8_t *contents = data + 2;
    const size_t length = size - 2;

    const int fd = contentFile();
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, contents, length, 0) == static_cast<ssize_t>(length));
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);

    auto *value = static_cast<uint8_t *>(malloc(capacity));
    auto *name = static_cast<char *>(malloc(kNameSize));
    auto *firstValue = static_cast<uint8_t *>(malloc(capacity));
    FUZZ_CHECK(name != nullptr && value != nullptr && firstValue != nullptr);
    char firstName[kNameSize] = {};
    int64_t firstResult = 0;

    // Every read consumes at least one byte until the end, so the loop ends;
    // the bound only guards against a reader that stops advancing.
    for (size_t reads = 0; reads <= length; ++reads) {
        if (lseek(fd, 0, SEEK_CUR) >= static_cast<off_t>(length)) {
            break;
        }
        memset(name, 0, kNameSize);
        char type = 0;
        const int64_t result = OSA_unxCfgRead(fd, name, &type, value, capacity);
        FUZZ_CHECK(memchr(name, '\0', kNameSize) != nullptr);
        checkDelivered(result, type, value, capacity);
        if (reads == 0) {
            memcpy(firstName, name, kNameSize);
            firstResult = result;
            if (result > 0 && static_cast<size_t>(result) <= capacity) {
                memcpy(firstValue, value, static_cast<size_t>(result));
            }
        }
        FUZZ_CHECK(reads < length);
    }

    const char *const names[] = {"Trace", "TraceFile", "ConfigDirectory", "UserDirectoryRoot",
                                 "MkUserDir"};
    for (const char *key : names) {
        char type = 0;
        const int64_t result = OSA_unxCfgLookup(fd, key, &type, value, capacity);
        checkDelivered(result, type, value, capacity);
    }

    // The first line's entry is found by its own name, with the same result
    // and value as reading it directly.
    if (firstName[0] != '\0') {
        char type = 0;
        const int64_t result = OSA_unxCfgLookup(fd, firstName, &type, value, capacity);
        FUZZ_CHECK(result == firstResult);
        if (result > 0 && static_cast<size_t>(result) <= capacity) {
            FUZZ_CHECK(memcmp(value, firstValue, static_cast<size_t>(result)) == 0);
        }
    }

    free(firstValue);
    free(name);
    free(value);
    return 0;
}
