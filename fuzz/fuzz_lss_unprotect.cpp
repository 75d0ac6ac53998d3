/* Fuzz target: LSSUnprotect on arbitrary blobs.
 *
 * The whole input is the blob.  The service is the in-process double of
 * test/support/pex_service_fake.h in its transparent mode, which unwraps
 * anything and decrypts by copying, so the
 * header checks, the bounds arithmetic and the padding removal all see
 * attacker-chosen bytes.  Each input is opened twice: a size query, then a
 * real call into a heap buffer of exactly the size the query reported, so
 * that AddressSanitizer catches a write one byte past it.  After each call
 * every context and content key must have been released again. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzz_check.h"
#include "lss/blob.h"
#include "lss/lss.h"
#include "test/support/pex_service_fake.h"

namespace {

/* The label the add-on uses for stored credentials; the seeds carry it. */
const char kLabel[] = "ARB_Cred_Store";
constexpr int32_t kLabelLength = sizeof kLabel - 1;

void checkReleased() {
    const lssfake::State &s = lssfake::state();
    FUZZ_CHECK(lssfake::liveContexts() == 0);
    FUZZ_CHECK(lssfake::leakedOrTwiceDestroyedKeys() == 0);
    FUZZ_CHECK(s.misuses == 0);
    FUZZ_CHECK(s.destroyCalls.count(lssfake::kWrappingKey) == 0);
    FUZZ_CHECK(s.destroyCalls.count(lssfake::kPartitionKey) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    lssfake::freshLayer();
    lssfake::state().transparent = true;
    const auto blobLength = static_cast<uint32_t>(size);

    /* Size query: the ciphertext length, or a failure that leaves 0. */
    uint32_t needed = 0xA5A5A5A5u;
    const int32_t query = LSSUnprotect(kLabel, kLabelLength, data, blobLength, nullptr, &needed);
    checkReleased();
    if (query != 0) {
        FUZZ_CHECK(needed == 0);
        return 0;
    }
    /* The query answers the header's ciphertext length, which lies inside
     * the blob, so it is never longer. */
    BlobHeader header{};
    FUZZ_CHECK(blobReadHeader(data, &header));
    FUZZ_CHECK(needed == header.cipherTextLength);
    FUZZ_CHECK(needed <= blobLength);

    /* malloc(0) still gives a distinct block that no byte may be written to. */
    auto *out = static_cast<uint8_t *>(malloc(needed));
    FUZZ_CHECK(out != nullptr || needed == 0);
    uint32_t outLength = needed;
    const int32_t status = LSSUnprotect(kLabel, kLabelLength, data, blobLength, out, &outLength);
    checkReleased();
    if (status == 0) {
        FUZZ_CHECK(outLength <= needed);
    } else {
        FUZZ_CHECK(outLength == 0);
    }

    /* One byte less than the ciphertext is always refused as too small. */
    if (needed > 0) {
        uint32_t shortLength = needed - 1;
        FUZZ_CHECK(LSSUnprotect(kLabel, kLabelLength, data, blobLength, out, &shortLength) ==
                   LSS_ERR_BUFFER_TOO_SMALL);
        FUZZ_CHECK(shortLength == 0);
        checkReleased();
    }
    free(out);
    return 0;
}
