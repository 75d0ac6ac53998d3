/* Helpers shared by the protection layer's unit tests: the credential label,
 * reading or rewriting a blob's header fields (layout in lss/blob.h), and
 * the fixture that starts each test from a fresh layer and service double
 * and checks afterwards that no context or content key was left behind. */
#ifndef KAVO_TEST_LSS_BLOB_UTIL_H
#define KAVO_TEST_LSS_BLOB_UTIL_H

#include <stdint.h>

#include <vector>

#include <gtest/gtest.h>

#include "lss/blob.h"
#include "test/support/pex_service_fake.h"

namespace lsstest {

using Bytes = std::vector<uint8_t>;

inline constexpr char kLabel[] = "ARB_Cred_Store";
inline constexpr int32_t kLabelLength = 14;

/* A header field, read little-endian as LSSProtect writes it. */
inline uint32_t field(const Bytes &blob, BlobField index) {
    return blobGetLe32(blob.data() + 4 * index);
}

inline void setField(Bytes *blob, BlobField index, uint32_t value) {
    blobPutLe32(blob->data() + 4 * index, value);
}

/* The same blob behind the big-endian marker, its seven other header fields
 * rewritten big-endian. */
inline Bytes bigEndianTwin(const Bytes &blob) {
    Bytes twin = blob;
    BlobHeader header{};
    blobReadHeader(blob.data(), &header);
    header.magic = LSS_BLOB_MAGIC_BE;
    blobWriteHeader(twin.data(), header);
    return twin;
}

class LayerTest : public ::testing::Test {
  protected:
    void SetUp() override { lssfake::freshLayer(); }
    void TearDown() override {
        EXPECT_EQ(lssfake::state().contextsCreated, lssfake::state().contextsDestroyed);
        EXPECT_EQ(lssfake::state().misuses, 0);
        EXPECT_EQ(lssfake::leakedOrTwiceDestroyedKeys(), 0);
    }
};

}  // namespace lsstest

#endif
