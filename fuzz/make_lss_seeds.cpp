/* Writes the seed blobs of the LSSUnprotect fuzz target.
 *
 *   make_lss_seeds DIR
 *
 * Blobs are made by LSSProtect itself over the service double in its
 * transparent mode, as the fuzz target uses it, so they are
 * exactly what the layer writes: both ciphers, both key sources, secrets
 * around the AES block size, and the big-endian twin of one of them.  Each
 * blob is opened again before it is written, so a seed is known to reach the
 * end of a successful unprotect. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lss/blob.h"
#include "lss/lss.h"
#include "test/support/pex_service_fake.h"

namespace {

const char kLabel[] = "ARB_Cred_Store";
constexpr int32_t kLabelLength = sizeof kLabel - 1;

std::vector<uint8_t> protect(int32_t mode, const std::string &secret) {
    int32_t bound = 0;
    FUZZ_CHECK(LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                          static_cast<uint32_t>(secret.size()), nullptr, &bound) == 0);
    std::vector<uint8_t> blob(static_cast<size_t>(bound));
    int32_t length = bound;
    FUZZ_CHECK(LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                          static_cast<uint32_t>(secret.size()), blob.data(), &length) == 0);
    blob.resize(static_cast<size_t>(length));

    std::vector<uint8_t> opened(blob.size());
    uint32_t openedLength = static_cast<uint32_t>(opened.size());
    FUZZ_CHECK(LSSUnprotect(kLabel, kLabelLength, blob.data(), static_cast<uint32_t>(blob.size()),
                            opened.data(), &openedLength) == 0);
    FUZZ_CHECK(openedLength == secret.size());
    FUZZ_CHECK(memcmp(opened.data(), secret.data(), secret.size()) == 0);
    return blob;
}

/* The same blob behind the big-endian marker, its other fields big-endian. */
std::vector<uint8_t> bigEndianTwin(std::vector<uint8_t> blob) {
    BlobHeader header{};
    FUZZ_CHECK(blobReadHeader(blob.data(), &header));
    header.magic = LSS_BLOB_MAGIC_BE;
    blobWriteHeader(blob.data(), header);
    return blob;
}

void save(const std::string &dir, const std::string &name, const std::vector<uint8_t> &blob) {
    const std::string path = dir + "/" + name;
    FILE *file = fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(fwrite(blob.data(), 1, blob.size(), file) == blob.size());
    FUZZ_CHECK(fclose(file) == 0);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    lssfake::freshLayer();
    lssfake::state().transparent = true;
    save(dir, "aes-partition-0", protect(LSS_MODE_PARTITION_KEY, ""));
    save(dir, "aes-partition-15", protect(LSS_MODE_PARTITION_KEY, "fifteen-bytes!!"));
    save(dir, "aes-partition-16", protect(LSS_MODE_PARTITION_KEY, "sixteen-bytes!!!"));
    save(dir, "aes-partition-17", protect(LSS_MODE_PARTITION_KEY, "seventeen-bytes!!"));
    const std::vector<uint8_t> searched = protect(LSS_MODE_SEARCHED_KEY, "password1");
    save(dir, "aes-searched-9", searched);
    save(dir, "aes-searched-9-big-endian", bigEndianTwin(searched));
    save(dir, "cbc8-partition-9", protect(LSS_MODE_PARTITION_KEY_CBC8, "password1"));
    lssfake::reset();
    return 0;
}
