/* The fuzz targets' invariant check.  A failed check aborts, so that the
 * fuzzer records the input as a crash and the replay test fails on it; it
 * stays active in every build, NDEBUG included. */
#ifndef KAVO_FUZZ_CHECK_H
#define KAVO_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

#endif
