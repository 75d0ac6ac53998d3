/* Fuzz target: ConvertUTF8ToUnicodeString on arbitrary bytes.
 *
 * The input is copied and NUL-terminated (bytes after an embedded NUL are
 * simply not part of the name), and the target buffer is exactly
 * 2 x (length + 1) bytes on the heap, the size the caller reserves: a write
 * past it is caught by AddressSanitizer. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "addon/addon.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *source = fuzzCopyString(data, size);
    const size_t length = strlen(source);
    const size_t capacity = 2 * (length + 1);
    auto *target = static_cast<unsigned char *>(malloc(capacity));
    FUZZ_CHECK(target != nullptr);

    const int32_t written = ConvertUTF8ToUnicodeString(source, target);
    // Whole 16-bit units, at most one per input byte (a character above
    // U+FFFF: two for its four), then two zero bytes.
    FUZZ_CHECK(written >= 0 && written % 2 == 0);
    FUZZ_CHECK(static_cast<size_t>(written) <= 2 * length);
    FUZZ_CHECK(target[written] == 0 && target[written + 1] == 0);

    // Plain ASCII is widened byte for byte.
    bool ascii = true;
    for (size_t i = 0; i < length; ++i) {
        ascii = ascii && static_cast<unsigned char>(source[i]) < 0x80;
    }
    if (ascii) {
        FUZZ_CHECK(static_cast<size_t>(written) == 2 * length);
        for (size_t i = 0; i < length; ++i) {
            FUZZ_CHECK(target[2 * i] == static_cast<unsigned char>(source[i]) &&
                       target[2 * i + 1] == 0);
        }
    }

    free(target);
    free(source);
    return 0;
}
