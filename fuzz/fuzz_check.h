/* The fuzz targets' invariant check.  A failed check aborts, so that the
 * fuzzer records the input as a crash and the replay test fails on it; it
 * stays active in every build, NDEBUG included. */
#ifndef KAVO_FUZZ_CHECK_H
#define KAVO_FUZZ_CHECK_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

/* The input as a NUL-terminated string on the heap (bytes after an embedded
 * NUL are not part of it); the caller frees it. */
inline char *fuzzCopyString(const uint8_t *data, size_t size) {
    auto *copy = static_cast<char *>(malloc(size + 1));
    FUZZ_CHECK(copy != nullptr);
    if (size > 0) {
        memcpy(copy, data, size);
    }
    copy[size] = '\0';
    return copy;
}

#endif
