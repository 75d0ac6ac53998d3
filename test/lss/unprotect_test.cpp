/* LSSUnprotect against the service double: round trips, the order and
 * status of every check, both header byte orders, padding errors, refused
 * reads past the blob, and resource discipline on every failure path.
 * Blobs live in vectors of their exact size, so that a read past the end
 * shows under AddressSanitizer. */
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "lss/lss.h"
#include "lss/lss_internal.h"
#include "test/lss/blob_util.h"
#include "test/support/pex_service_fake.h"

using lssfake::state;
using lsstest::bigEndianTwin;
using lsstest::Bytes;
using lsstest::field;
using lsstest::kLabel;
using lsstest::kLabelLength;
using lsstest::setField;
using Calls = std::vector<std::string>;

namespace {

bool called(const char *operation) {
    const auto &c = state().calls;
    return std::find(c.begin(), c.end(), operation) != c.end();
}

class LssUnprotect : public lsstest::LayerTest {
  protected:
    /* A blob made by LSSProtect, with the call log cleared afterwards. */
    Bytes makeBlob(int32_t mode, const Bytes &secret) {
        int32_t length = 0;
        EXPECT_EQ(LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                             static_cast<uint32_t>(secret.size()), nullptr, &length),
                  0);
        Bytes blob(static_cast<size_t>(length));
        EXPECT_EQ(LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                             static_cast<uint32_t>(secret.size()), blob.data(), &length),
                  0);
        blob.resize(static_cast<size_t>(length));
        lssfake::clearLog();
        return blob;
    }

    /* Opens blob into out (capacity bytes, pre-filled with 0xCC). */
    int32_t open(const Bytes &blob, Bytes *out, uint32_t capacity, const char *label = kLabel,
                 int32_t labelLength = kLabelLength) {
        out->assign(capacity, 0xCC);
        outLength = capacity;
        return LSSUnprotect(label, labelLength, blob.data(), static_cast<uint32_t>(blob.size()),
                            out->data(), &outLength);
    }

    uint32_t outLength = 0;
};

const Bytes kSecret = {'h', 'u', 'n', 't', 'e', 'r', '2', '-', 'p', 'w', 'd', '!', 0};

TEST_F(LssUnprotect, OpensWhatProtectMadeUnderEveryModeAndCipher) {
    for (bool aes : {true, false}) {
        for (int32_t mode : {2, 4, 5}) {
            for (size_t size : {0, 1, 8, 15, 16, 17, 33}) {
                lssfake::freshLayer();
                state().aesAvailable = aes;
                Bytes secret(size);
                for (size_t i = 0; i < size; ++i) {
                    secret[i] = static_cast<uint8_t>(0xA0 + i);
                }
                const Bytes blob = makeBlob(mode, secret);
                Bytes out;
                ASSERT_EQ(open(blob, &out, field(blob, kBlobCipherTextLength)), 0)
                    << aes << mode << size;
                EXPECT_EQ(Bytes(out.begin(), out.begin() + outLength), secret)
                    << aes << " " << mode << " " << size;
                EXPECT_EQ(state().unwrapWrappingKey,
                          mode == 2 ? lssfake::kWrappingKey : lssfake::kPartitionKey);
            }
        }
    }
}

TEST_F(LssUnprotect, StartsTheSessionAndRunsTheExactSequence) {
    const Bytes blob = makeBlob(2, kSecret);
    (void)LSSShutdown();
    lssfake::clearLog();
    Bytes out;
    ASSERT_EQ(open(blob, &out, 64), 0);
    EXPECT_EQ(outLength, kSecret.size());
    EXPECT_EQ(state().calls,
              (Calls{"Init", "GetAlgorithmInfo", "CreateContext", "FindObjectsInit", "FindObjects",
                     "DestroyContext", "CreateContext", "UnwrapKey", "DestroyContext",
                     "CreateContext", "DataDecryptInit", "Decrypt", "DestroyContext",
                     "CreateContext", "DestroyObject", "DestroyContext"}));
    const auto &dec = state().decryptAlgorithm;
    EXPECT_EQ(dec.oid, Bytes(OID_AES128_CBC, OID_AES128_CBC + 11));
    EXPECT_EQ(dec.paramCount, 1u);
    EXPECT_EQ(dec.paramType, 0x80000004u);
    const size_t ivAt = 32 + 14 + field(blob, kBlobWrappedKeyLength);
    EXPECT_EQ(dec.iv, Bytes(blob.begin() + ivAt, blob.begin() + ivAt + 16));
    EXPECT_EQ(Bytes(out.begin() + 13, out.begin() + 16), Bytes(3, 3))
        << "the pad bytes stay behind the secret";
}

TEST_F(LssUnprotect, SizeQueryAndCapacityComeBeforeTheLabelCheck) {
    const Bytes blob = makeBlob(2, kSecret);
    uint32_t length = 7;
    EXPECT_EQ(LSSUnprotect("other", 5, blob.data(), blob.size(), nullptr, &length), 0);
    EXPECT_EQ(length, 16u);

    Bytes bad = blob;
    bad[0] = 0x2C;
    EXPECT_EQ(LSSUnprotect(kLabel, 14, bad.data(), bad.size(), nullptr, &length),
              LSS_ERR_NOT_A_BLOB);
    EXPECT_EQ(length, 0u);

    /* The capacity must cover the whole ciphertext, not just the secret. */
    Bytes out;
    EXPECT_EQ(open(blob, &out, 15, "other", 5), LSS_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLength, 0u);
    EXPECT_TRUE(state().calls.empty()) << "no key is touched";
}

TEST_F(LssUnprotect, LabelMustMatchInLengthAndBytes) {
    const Bytes blob = makeBlob(2, kSecret);
    Bytes out;
    EXPECT_EQ(open(blob, &out, 64, kLabel, 13), LSS_ERR_LABEL_MISMATCH);
    EXPECT_EQ(outLength, 0u);
    EXPECT_EQ(open(blob, &out, 64, "ARB_Cred_Stork", 14), LSS_ERR_LABEL_MISMATCH);
    EXPECT_EQ(open(blob, &out, 64, "ARB_Cred_Store!", 15), LSS_ERR_LABEL_MISMATCH);
    EXPECT_EQ(open(blob, &out, 64, kLabel, -14), LSS_ERR_LABEL_MISMATCH);
    EXPECT_EQ(outLength, 0u);
    EXPECT_TRUE(state().calls.empty());
}

TEST_F(LssUnprotect, HeaderIsCheckedBeforeAnyKeyIsTouched) {
    const Bytes blob = makeBlob(2, kSecret);
    const uint32_t w = field(blob, kBlobWrappedKeyLength);
    struct Case {
        const char *what;
        Bytes blob;
        int32_t status;
    };
    auto with = [&](BlobField index, uint32_t value, size_t size) {
        Bytes b = blob;
        setField(&b, index, value);
        b.resize(size);
        return b;
    };
    const Case cases[] = {
        {"byte-reversed marker", with(kBlobMagic, 0x2BA10000u, blob.size()), LSS_ERR_NOT_A_BLOB},
        {"version 2", with(kBlobVersion, 2, blob.size()), LSS_ERR_BAD_VERSION},
        {"version before length", with(kBlobVersion, 0, 40), LSS_ERR_BAD_VERSION},
        {"shorter than the header", with(kBlobVersion, 1, 31), LSS_ERR_NOT_A_BLOB},
        {"empty", Bytes(), LSS_ERR_NOT_A_BLOB},
        {"one byte short", with(kBlobVersion, 1, blob.size() - 1), LSS_ERR_NOT_A_BLOB},
        {"label length wraps", with(kBlobLabelLength, 0xFFFFFFFFu, blob.size()),
         LSS_ERR_NOT_A_BLOB},
        {"key length wraps", with(kBlobWrappedKeyLength, 0xFFFFFFF0u, blob.size()),
         LSS_ERR_NOT_A_BLOB},
        {"text length wraps",
         with(kBlobCipherTextLength, 0xFFFFFFFFu - 31 - 14 - w - 16 + 1, blob.size()),
         LSS_ERR_NOT_A_BLOB},
        {"key source 3", with(kBlobKeySource, 3, blob.size()), LSS_ERR_BAD_MODE},
    };
    for (const Case &c : cases) {
        Bytes out;
        EXPECT_EQ(open(c.blob, &out, 64), c.status) << c.what;
        EXPECT_EQ(outLength, 0u) << c.what;
    }
    EXPECT_TRUE(state().calls.empty());
}

TEST_F(LssUnprotect, UnknownCipherOrForeignIvLengthIsRefusedAfterTheUnwrap) {
    const Bytes aes = makeBlob(2, kSecret);
    const Bytes cbc8 = makeBlob(5, kSecret);
    Bytes bad = aes;
    setField(&bad, kBlobCipher, 3);
    Bytes aesShortIv = aes;
    setField(&aesShortIv, kBlobIvLength, 8);
    Bytes cbc8LongIv = cbc8;
    setField(&cbc8LongIv, kBlobIvLength, 16);
    setField(&cbc8LongIv, kBlobCipherTextLength, field(cbc8, kBlobCipherTextLength) - 8);
    /* ivLength 0 and no ciphertext: the blob ends where the IV would start,
     * so reading an IV of the cipher's length would leave the blob. */
    Bytes noIv = aes;
    setField(&noIv, kBlobIvLength, 0);
    setField(&noIv, kBlobCipherTextLength, 0);
    noIv.resize(32 + 14 + field(aes, kBlobWrappedKeyLength));

    for (const Bytes *blob : {&bad, &aesShortIv, &cbc8LongIv, &noIv}) {
        lssfake::clearLog();
        Bytes out;
        EXPECT_EQ(open(*blob, &out, 64), LSS_ERR_NOT_A_BLOB);
        EXPECT_EQ(outLength, 0u);
        EXPECT_TRUE(called("UnwrapKey"));
        EXPECT_FALSE(called("DataDecryptInit"));
        EXPECT_EQ(state().contentKeys.size(), 1u);
    }
}

TEST_F(LssUnprotect, BigEndianHeaderOpensLikeItsLittleEndianTwin) {
    const Bytes blob = makeBlob(2, kSecret);
    const Bytes twin = bigEndianTwin(blob);
    Bytes out;
    ASSERT_EQ(open(twin, &out, 64), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + outLength), kSecret);

    /* The big-endian marker in front of little-endian fields reads version
     * 0x01000000. */
    Bytes mixed = blob;
    mixed[0] = 0x1A;
    mixed[1] = 0xB2;
    EXPECT_EQ(open(mixed, &out, 64), LSS_ERR_BAD_VERSION);
}

TEST_F(LssUnprotect, BadAesPaddingIsRefusedAndTheDecryptedBytesWiped) {
    /* A 13-byte secret ends in the pad bytes 03 03 03.  The double's cipher
     * is a keystream, so flipping ciphertext bits flips the same plaintext
     * bits. */
    const Bytes blob = makeBlob(2, kSecret);
    const size_t last = blob.size() - 1;
    auto lastPlainByte = [&](uint8_t value) {
        Bytes b = blob;
        b[last] ^= static_cast<uint8_t>(0x03 ^ value);
        return b;
    };
    auto cipherTextLength = [&](uint32_t c) {
        Bytes b = blob;
        setField(&b, kBlobCipherTextLength, c);
        return b;
    };
    const struct {
        Bytes blob;
        int32_t status;
    } cases[] = {
        {lastPlainByte(0x11), LSS_ERR_FAILURE},
        {lastPlainByte(0x00), LSS_ERR_FAILURE},
        {lastPlainByte(0x02), LSS_ERR_FAILURE}, /* ... 03 03 02 */
        {lastPlainByte(0x04), LSS_ERR_FAILURE}, /* 00 03 03 04 */
        {cipherTextLength(8), LSS_ERR_BAD_CIPHERTEXT_LENGTH},
        {cipherTextLength(0), LSS_ERR_BAD_CIPHERTEXT_LENGTH},
    };
    for (const auto &c : cases) {
        Bytes out;
        EXPECT_EQ(open(c.blob, &out, 64), c.status);
        EXPECT_EQ(outLength, 0u);
        EXPECT_EQ(std::search(out.begin(), out.end(), kSecret.begin(), kSecret.end() - 1),
                  out.end())
            << "no part of the secret is left in the buffer";
    }
    Bytes out;
    ASSERT_EQ(open(lastPlainByte(0x01), &out, 64), 0) << "a one-byte pad is valid";
    EXPECT_EQ(outLength, 15u);
}

TEST_F(LssUnprotect, EveryServiceFailureIsPassedOnAndCleanedUp) {
    const Bytes searched = makeBlob(2, kSecret);
    const Bytes partition = makeBlob(5, kSecret); /* partition key, cipher 1 */
    const struct {
        const char *operation;
        int nth;
        const Bytes *blob;
    } cases[] = {
        {"CreateContext", 1, &searched}, {"FindObjectsInit", 1, &searched},
        {"FindObjects", 1, &searched},   {"GetPartitionKey", 1, &partition},
        {"CreateContext", 2, &searched}, {"UnwrapKey", 1, &searched},
        {"CreateContext", 3, &searched}, {"DataDecryptInit", 1, &searched},
        {"Decrypt", 1, &searched},       {"Decrypt", 1, &partition},
    };
    for (const auto &c : cases) {
        lssfake::freshLayer();
        lssfake::fail(c.operation, -6200, c.nth);
        Bytes out;
        EXPECT_EQ(open(*c.blob, &out, 64), -6200) << c.operation << c.nth;
        EXPECT_EQ(outLength, 0u);
        EXPECT_EQ(state().contextsCreated, state().contextsDestroyed) << c.operation;
        EXPECT_EQ(lssfake::leakedOrTwiceDestroyedKeys(), 0) << c.operation;
    }

    lssfake::freshLayer();
    lssfake::fail("Init", -1496);
    Bytes out;
    EXPECT_EQ(open(searched, &out, 64), -1496);
    EXPECT_EQ(outLength, 0u);

    lssfake::freshLayer();
    state().wrappingKeyFound = false;
    EXPECT_EQ(open(searched, &out, 64), LSS_ERR_NO_WRAPPING_KEY);

    /* A decrypted length past the room given is not read. */
    lssfake::freshLayer();
    state().lengthOverride["Decrypt"] = 65;
    EXPECT_EQ(open(searched, &out, 64), LSS_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLength, 0u);
}

}  // namespace
