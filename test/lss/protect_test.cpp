/* LSSProtect against the service double: the size bound, the capacity
 * check, the exact service sequence, the blob header, the modes and wrap
 * kinds, and resource discipline on every failure path. */
#include <limits.h>
#include <string.h>

#include <gtest/gtest.h>

#include "lss/lss.h"
#include "lss/lss_internal.h"
#include "test/lss/blob_util.h"
#include "test/support/pex_service_fake.h"

using lssfake::state;
using lsstest::Bytes;
using lsstest::kLabel;
using lsstest::kLabelLength;
using Calls = std::vector<std::string>;

namespace {

uint32_t le32(const Bytes &b, size_t offset) {
    return b[offset] | b[offset + 1] << 8 | b[offset + 2] << 16 | uint32_t{b[offset + 3]} << 24;
}

Bytes oidBytes(const uint8_t *oid) {
    return Bytes(oid, oid + 2 + oid[1]);
}

class LssProtect : public lsstest::LayerTest {
  protected:
    /* Protects secret with a buffer of exactly the size bound; on success
     * the result holds the blob at its returned length. */
    int32_t protect(int32_t mode, const Bytes &secret, Bytes *blob) {
        int32_t length = 0;
        EXPECT_EQ(LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                             static_cast<uint32_t>(secret.size()), nullptr, &length),
                  0);
        blob->assign(static_cast<size_t>(length), 0xCC);
        const int32_t bound = length;
        const int32_t status =
            LSSProtect(kLabel, kLabelLength, mode, secret.data(),
                       static_cast<uint32_t>(secret.size()), blob->data(), &length);
        if (status == 0) {
            EXPECT_LE(length, bound);
            blob->resize(static_cast<size_t>(length));
        } else {
            EXPECT_EQ(length, bound) << "the length is left unchanged on failure";
        }
        return status;
    }
};

TEST_F(LssProtect, SizeQueryGivesTheEvenBoundAndTouchesNothing) {
    struct {
        int32_t label;
        uint32_t data;
        int32_t bound;
    } const cases[] = {{14, 9, 334}, {15, 9, 336}, {0, 0, 320}, {14, 16, 350}, {14, 31, 350}};
    for (const auto &c : cases) {
        int32_t length = -1;
        EXPECT_EQ(LSSProtect(kLabel, c.label, 2, "x", c.data, nullptr, &length), 0);
        EXPECT_EQ(length, c.bound) << c.label << "/" << c.data;
    }
    EXPECT_TRUE(state().calls.empty()) << "the service is not touched";
}

TEST_F(LssProtect, LengthsWhoseBoundDoesNotFitAreRefused) {
    Bytes out(400, 0xCC);
    int32_t length = 400;
    /* A negative label length is refused before anything is written. */
    EXPECT_EQ(LSSProtect(kLabel, -1, 2, "x", 1, out.data(), &length), LSS_ERR_FAILURE);
    EXPECT_EQ(LSSProtect(kLabel, -1, 2, "x", 1, nullptr, &length), LSS_ERR_FAILURE);
    EXPECT_EQ(length, 400);
    EXPECT_EQ(out, Bytes(400, 0xCC));

    /* 2^31 read as a signed length would shrink the bound below any blob. */
    EXPECT_EQ(LSSProtect(kLabel, 14, 2, "x", 0x80000000u, out.data(), &length),
              LSS_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(LSSProtect(kLabel, 14, 2, "x", 0xFFFFFFFFu, nullptr, &length),
              LSS_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(LSSProtect(kLabel, 0, 2, "x", 0x7FFFFFFFu, nullptr, &length),
              LSS_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 400);

    /* The largest label whose even bound still fits, and the next one. */
    EXPECT_EQ(LSSProtect(kLabel, INT32_MAX - 321, 2, "x", 0, nullptr, &length), 0);
    EXPECT_EQ(length, INT32_MAX - 1);
    EXPECT_EQ(LSSProtect(kLabel, INT32_MAX - 320, 2, "x", 0, nullptr, &length),
              LSS_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(LSSProtect(kLabel, INT32_MAX, 2, "x", 0, nullptr, &length), LSS_ERR_BUFFER_TOO_SMALL);
    EXPECT_TRUE(state().calls.empty());
}

TEST_F(LssProtect, CapacityBelowTheBoundIsRefusedBeforeTheSessionStarts) {
    Bytes out(334, 0xCC);
    for (int32_t capacity : {333, 0, -1, INT32_MIN}) {
        int32_t length = capacity;
        EXPECT_EQ(LSSProtect(kLabel, kLabelLength, 2, "password", 9, out.data(), &length),
                  LSS_ERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, capacity);
    }
    EXPECT_TRUE(state().calls.empty());
    EXPECT_EQ(out, Bytes(334, 0xCC));

    int32_t length = 334;
    EXPECT_EQ(LSSProtect(kLabel, kLabelLength, 2, "password", 9, out.data(), &length), 0);
}

TEST_F(LssProtect, SearchedKeyWithAesRunsTheExactSequenceAndWritesTheHeader) {
    Bytes blob;
    ASSERT_EQ(protect(2, Bytes(20, 'p'), &blob), 0);
    const Calls startCalls = {"Init", "GetAlgorithmInfo"};
    const Calls findCalls = {"CreateContext", "FindObjectsInit", "FindObjects", "DestroyContext"};
    const Calls generateCalls = {"CreateContext", "GenerateKey", "DestroyContext"};
    const Calls wrapCalls = {"CreateContext", "GetAttributeValue", "GetRandom", "WrapKey",
                             "DestroyContext"};
    const Calls encryptCalls = {"CreateContext", "GetRandom",    "DataEncryptInit", "EncryptUpdate",
                                "EncryptUpdate", "EncryptFinal", "DestroyContext"};
    const Calls destroyCalls = {"CreateContext", "DestroyObject", "DestroyContext"};
    Calls sequence;
    for (const Calls *part :
         {&startCalls, &findCalls, &generateCalls, &wrapCalls, &encryptCalls, &destroyCalls}) {
        sequence.insert(sequence.end(), part->begin(), part->end());
    }
    EXPECT_EQ(state().calls, sequence);

    /* The content key: AES key generation, no parameters, three attributes. */
    EXPECT_EQ(state().generateAlgorithm.oid, oidBytes(OID_AES128_CBC));
    EXPECT_EQ(state().generateAlgorithm.paramsLength, 0u);
    EXPECT_EQ(state().generateReserved, 0xFFFFFFFFu);
    const auto &t = state().generateTemplate;
    ASSERT_EQ(t.size(), 3u);
    const uint32_t expected[3][4] = {{22, 1, 0x110000, 0}, {20, 1, 128, 0}, {12, 1, 1, 0}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::vector<uint32_t>({t[i].type, t[i].present, t[i].value, t[i].zero}),
                  std::vector<uint32_t>(expected[i], expected[i] + 4));
    }
    EXPECT_EQ(state().kindQuery.type, 21u);
    EXPECT_EQ(state().wrapWrappingKey, lssfake::kWrappingKey);
    EXPECT_EQ(state().wrapAlgorithm.oid, oidBytes(OID_PEX_WRAP_KIND12));
    EXPECT_EQ(state().wrapAlgorithm.iv.size(), 16u);

    const auto &enc = state().encryptAlgorithm;
    EXPECT_EQ(enc.oid, oidBytes(OID_AES128_CBC));
    EXPECT_EQ(enc.paramsLength, 32u);
    EXPECT_EQ(enc.paramCount, 1u);
    EXPECT_EQ(enc.paramType, 0x80000004u);

    /* Header, label, wrapped key, IV, ciphertext; nothing after. */
    const Bytes start = {0x2B, 0xA1, 0, 0, 1, 0, 0, 0, 14, 0, 0, 0};
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 12), start);
    const uint32_t w = le32(blob, 12);
    EXPECT_EQ(w, state().wrapLength);
    EXPECT_EQ(le32(blob, 16), 32u);
    EXPECT_EQ(le32(blob, 20), 16u);
    EXPECT_EQ(le32(blob, 24), 2u);
    EXPECT_EQ(le32(blob, 28), 2u);
    EXPECT_EQ(memcmp(blob.data() + 32, kLabel, 14), 0);
    EXPECT_EQ(blob[32 + 14], 'W') << "the wrapped key follows the label";
    EXPECT_EQ(Bytes(blob.begin() + 46 + w, blob.begin() + 62 + w), enc.iv);
    EXPECT_EQ(blob.size(), 32 + 14 + w + 16 + 32);
}

TEST_F(LssProtect, AesPadsTheLastBlockItself) {
    struct {
        size_t length;
        size_t updates;
        uint32_t cipherText;
    } const cases[] = {{0, 1, 16}, {15, 1, 16}, {16, 2, 32}, {17, 2, 32}};
    for (const auto &c : cases) {
        lssfake::clearLog();
        Bytes secret(c.length);
        for (size_t i = 0; i < c.length; ++i) {
            secret[i] = static_cast<uint8_t>(i + 1);
        }
        Bytes blob;
        ASSERT_EQ(protect(2, secret, &blob), 0);
        EXPECT_EQ(le32(blob, 16), c.cipherText) << c.length;
        const auto &inputs = state().encryptInputs;
        ASSERT_EQ(inputs.size(), c.updates) << c.length;
        /* The whole blocks go first, then the tail and its padding. */
        const size_t whole = c.length / 16 * 16;
        const uint8_t pad = static_cast<uint8_t>(16 - c.length % 16);
        Bytes last(secret.begin() + static_cast<long>(whole), secret.end());
        last.insert(last.end(), pad, pad);
        EXPECT_EQ(inputs.back(), last) << c.length;
        if (c.updates == 2) {
            EXPECT_EQ(inputs.front(), Bytes(secret.begin(), secret.begin() + 16));
        }
    }
}

TEST_F(LssProtect, ModeChoosesTheWrappingKeyAndTheCipher) {
    struct {
        int32_t mode;
        bool aes;
        uint32_t keySource;
        uint32_t cipher;
    } const cases[] = {
        {2, true, 2, 2}, {4, true, 4, 2}, {5, true, 4, 1}, {2, false, 2, 1}, {4, false, 4, 1}};
    for (const auto &c : cases) {
        lssfake::freshLayer();
        state().aesAvailable = c.aes;
        Bytes blob;
        ASSERT_EQ(protect(c.mode, Bytes(9, 's'), &blob), 0);
        EXPECT_EQ(le32(blob, 24), c.keySource) << c.mode;
        EXPECT_EQ(le32(blob, 28), c.cipher) << c.mode;
        EXPECT_EQ(state().wrapWrappingKey,
                  c.keySource == 2 ? lssfake::kWrappingKey : lssfake::kPartitionKey);
        if (c.cipher == 1) {
            EXPECT_EQ(state().generateAlgorithm.oid, oidBytes(OID_PEX_KEYGEN168));
            EXPECT_EQ(state().generateTemplate.at(1).value, 168u);
            EXPECT_EQ(state().encryptAlgorithm.oid, oidBytes(OID_PEX_CBC8_PAD));
            EXPECT_EQ(state().encryptAlgorithm.iv.size(), 8u);
            EXPECT_EQ(le32(blob, 20), 8u);
            EXPECT_EQ(le32(blob, 16), 16u) << "the service pads 9 bytes to 16";
            EXPECT_EQ(state().encryptInputs.size(), 1u) << "one Encrypt call";
        }
    }
}

TEST_F(LssProtect, UnsupportedModesFailAfterTheLabelCopy) {
    for (int32_t mode : {0, 1, 3, 6, -2}) {
        lssfake::freshLayer();
        Bytes out(334, 0xCC);
        int32_t length = 334;
        EXPECT_EQ(LSSProtect(kLabel, kLabelLength, mode, "password", 9, out.data(), &length),
                  LSS_ERR_BAD_MODE);
        EXPECT_EQ(length, 334);
        EXPECT_EQ(memcmp(out.data() + 32, kLabel, 14), 0);
        EXPECT_EQ(state().calls, (Calls{"Init", "GetAlgorithmInfo"}));
    }
}

TEST_F(LssProtect, WrapAlgorithmFollowsTheWrappingKeyKind) {
    struct {
        uint32_t kind;
        const uint8_t *oid;
        size_t ivLength;
    } const kinds[] = {
        {1, OID_PEX_WRAP_KIND1, 8}, {2, OID_PEX_CBC8_PAD, 8}, {12, OID_PEX_WRAP_KIND12, 16}};
    Bytes blob;
    for (const auto &k : kinds) {
        state().kind = k.kind;
        ASSERT_EQ(protect(2, Bytes(3, 'k'), &blob), 0);
        EXPECT_EQ(state().wrapAlgorithm.oid, oidBytes(k.oid));
        EXPECT_EQ(state().wrapAlgorithm.iv.size(), k.ivLength);
        EXPECT_EQ(state().wrapAlgorithm.paramsLength, 32u);
    }
    state().kind = 7;
    EXPECT_EQ(protect(2, Bytes(3, 'k'), &blob), LSS_ERR_BAD_KEY_KIND);
    state().kindPresent = false;
    EXPECT_EQ(protect(2, Bytes(3, 'k'), &blob), LSS_ERR_NO_KEY_KIND);
}

/* Every service call that can fail: its status comes back unchanged, every
 * context is destroyed and the content key, once made, exactly once. */
TEST_F(LssProtect, EveryServiceFailureIsPassedOnAndCleanedUp) {
    struct {
        const char *operation;
        int nth;
        int32_t mode;
        bool aes;
    } const cases[] = {
        {"CreateContext", 1, 2, true},   {"FindObjectsInit", 1, 2, true},
        {"FindObjects", 1, 2, true},     {"GetPartitionKey", 1, 4, true},
        {"CreateContext", 2, 2, true},   {"GenerateKey", 1, 2, true},
        {"CreateContext", 3, 2, true},   {"GetAttributeValue", 1, 2, true},
        {"GetRandom", 1, 2, true},       {"WrapKey", 1, 2, true},
        {"CreateContext", 4, 2, true},   {"GetRandom", 2, 2, true},
        {"DataEncryptInit", 1, 2, true}, {"EncryptUpdate", 1, 2, true},
        {"EncryptUpdate", 2, 2, true},   {"EncryptFinal", 1, 2, true},
        {"DataEncryptInit", 1, 5, true}, {"Encrypt", 1, 5, true},
    };
    for (const auto &c : cases) {
        lssfake::freshLayer();
        state().aesAvailable = c.aes;
        lssfake::fail(c.operation, -6100, c.nth);
        Bytes blob;
        EXPECT_EQ(protect(c.mode, Bytes(20, 'f'), &blob), -6100) << c.operation << c.nth;
        EXPECT_EQ(state().contextsCreated, state().contextsDestroyed) << c.operation << c.nth;
        EXPECT_EQ(lssfake::leakedOrTwiceDestroyedKeys(), 0) << c.operation << c.nth;
    }
    /* A failed destruction of the content key does not fail the call. */
    lssfake::freshLayer();
    lssfake::fail("DestroyObject", -6101);
    Bytes blob;
    EXPECT_EQ(protect(2, Bytes(20, 'f'), &blob), 0);
    EXPECT_EQ(lssfake::leakedOrTwiceDestroyedKeys(), 0);

    lssfake::freshLayer();
    state().wrappingKeyFound = false;
    EXPECT_EQ(protect(2, Bytes(20, 'f'), &blob), LSS_ERR_NO_WRAPPING_KEY);
    EXPECT_TRUE(state().contentKeys.empty());
}

/* The buffer is only as large as the bound; a service answer that claims
 * more room than it was given must not carry the blob past it. */
TEST_F(LssProtect, ServiceLengthsBeyondTheRoomGivenAreRefused) {
    Bytes blob;
    state().wrapLength = 256; /* the largest wrapped key fits a bound-sized buffer */
    ASSERT_EQ(protect(2, Bytes(9, 'm'), &blob), 0);
    EXPECT_EQ(le32(blob, 12), 256u);
    ASSERT_EQ(protect(5, Bytes(9, 'm'), &blob), 0);

    const char *operations[] = {"WrapKey", "EncryptUpdate", "EncryptFinal", "Encrypt"};
    for (const char *operation : operations) {
        lssfake::freshLayer();
        state().lengthOverride[operation] = 0xFFFFFFF0u;
        const int32_t mode = strcmp(operation, "Encrypt") == 0 ? 5 : 2;
        EXPECT_EQ(protect(mode, Bytes(40, 'm'), &blob), LSS_ERR_BUFFER_TOO_SMALL) << operation;
        EXPECT_EQ(lssfake::leakedOrTwiceDestroyedKeys(), 0) << operation;
    }
    lssfake::freshLayer();
    state().lengthOverride["WrapKey"] = 257;
    EXPECT_EQ(protect(2, Bytes(9, 'm'), &blob), LSS_ERR_BUFFER_TOO_SMALL);
}

}  // namespace
