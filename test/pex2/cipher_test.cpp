// Ciphers of the service simulator: published known-answer vectors, padding,
// lengths the ciphers refuse, and the out-length convention.
//
// The known-answer keys enter the service the way any key from outside does:
// wrapped under the machine's wrapping key.  The test writes a key store with
// a wrapping key of its own choosing and wraps the vector keys itself with
// OpenSSL, following the documented store and wrapped-key formats, so these
// cases also hold both formats fixed.
#include <string.h>

#include <openssl/evp.h>

#include "test/pex2/pex2_test.h"

using namespace pex2test;

namespace {

std::vector<uint8_t> Hex(const char *text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
        bytes.push_back(
            static_cast<uint8_t>(strtoul(std::string(text + i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

void putLe32(std::vector<uint8_t> &out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

std::vector<uint8_t> sha256(const std::vector<uint8_t> &data) {
    std::vector<uint8_t> digest(32);
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr);
    return digest;
}

std::vector<uint8_t> TdesCbc(const std::vector<uint8_t> &key, const std::vector<uint8_t> &iv,
                             const std::vector<uint8_t> &in) {
    std::vector<uint8_t> out(in.size() + 8);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n1 = 0;
    int n2 = 0;
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key.data(), iv.data());
    EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

// The machine's wrapping key in these cases: kind 2, three-key triple DES.
const std::vector<uint8_t> kWrappingKey = Hex("0123456789abcdeffedcba987654321089abcdef01234567");

/* A key store (format 1) holding kWrappingKey as a kind-2 wrapping key. */
std::vector<uint8_t> KnownKeyStore() {
    std::vector<uint8_t> store = {'P', 'X', 'K', 'S'};
    putLe32(store, 1);
    putLe32(store, 2);
    putLe32(store, 24);
    store.insert(store.end(), kWrappingKey.begin(), kWrappingKey.end());
    store.resize(48, 0);
    putLe32(store, 32);
    store.resize(84, 0x5A);
    const std::vector<uint8_t> digest = sha256(store);
    store.insert(store.end(), digest.begin(), digest.end());
    return store;
}

/* key wrapped under kWrappingKey (format 1): header, IV, then key and check
 * value encrypted. keyType 1 is AES-128, 2 triple DES. */
/* Appends src to dst.  (Written with resize and memcpy: g++ 12 at -O3 warns
 * wrongly about vector::insert of one vector's range into a copy of another.) */
void Append(std::vector<uint8_t> &dst, const uint8_t *src, size_t n) {
    const size_t used = dst.size();
    dst.resize(used + n);
    if (n != 0) {
        memcpy(dst.data() + used, src, n);
    }
}

std::vector<uint8_t> WrapKnownKey(const std::vector<uint8_t> &key, uint8_t keyType) {
    const std::vector<uint8_t> iv = Hex("1122334455667788");
    const uint32_t sealed = static_cast<uint32_t>((key.size() + 8) / 8 + 1) * 8;
    const uint8_t header[8] = {
        1, 2, 8, keyType, static_cast<uint8_t>(key.size()), 0, static_cast<uint8_t>(sealed), 0};
    std::vector<uint8_t> checked;
    Append(checked, header, sizeof header);
    Append(checked, iv.data(), iv.size());
    Append(checked, key.data(), key.size());
    std::vector<uint8_t> plain = key;
    const std::vector<uint8_t> check = sha256(checked);
    Append(plain, check.data(), 8);
    std::vector<uint8_t> wrapped;
    Append(wrapped, header, sizeof header);
    Append(wrapped, iv.data(), iv.size());
    const std::vector<uint8_t> body = TdesCbc(kWrappingKey, iv, plain);
    Append(wrapped, body.data(), body.size());
    return wrapped;
}

/* A session over the known key store, with helpers for one cipher call. */
class KnownKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFileBytes(kKeyStorePath, KnownKeyStore());
        session_ = std::make_unique<Session>(0x4B41u);
        ASSERT_EQ(session_->status(), PEX2_OK);
        wrapping_ = session_->FindWrappingKey();
        ASSERT_NE(wrapping_, 0u);
    }
    void TearDown() override {
        session_.reset();
        RemoveKeyStore();
    }

    PexHandle Unwrap(const std::vector<uint8_t> &wrapped) {
        const PexHandle context = session_->Context();
        PexHandle key = 0;
        EXPECT_EQ(PEXX_UnwrapKey(module(), context, wrapping_, wrapped.data(),
                                 static_cast<uint32_t>(wrapped.size()), &key),
                  PEX2_OK);
        PEXX_DestroyContext(module(), context);
        return key;
    }

    uint64_t module() const { return session_->module(); }

    std::unique_ptr<Session> session_;
    PexHandle wrapping_ = 0;
};

// NIST SP 800-38A, F.2.1 CBC-AES128.Encrypt.
const char *kAesKey = "2b7e151628aed2a6abf7158809cf4f3c";
const char *kAesIv = "000102030405060708090a0b0c0d0e0f";
const char *kAesPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char *kAesCipher =
    "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";

TEST_F(KnownKeys, AesCbcMatchesSp80038aVectorOneShotAndInParts) {
    const PexHandle key = Unwrap(WrapKnownKey(Hex(kAesKey), 1));
    const std::vector<uint8_t> iv = Hex(kAesIv);
    const std::vector<uint8_t> plain = Hex(kAesPlain);
    const std::vector<uint8_t> expected = Hex(kAesCipher);
    AlgorithmWithIv aes(OID_AES128_CBC, iv.data(), 16);

    // One call over all four blocks.
    const PexHandle context = session_->Context();
    ASSERT_EQ(PEXX_DataEncryptInit(module(), context, &aes.algorithm, key), PEX2_OK);
    std::vector<uint8_t> out(64);
    uint32_t length = 64;
    ASSERT_EQ(PEXX_Encrypt(module(), context, plain.data(), 64, out.data(), &length), PEX2_OK);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(out, expected);

    // One block, then three, then the final call: the chain carries across.
    ASSERT_EQ(PEXX_DataEncryptInit(module(), context, &aes.algorithm, key), PEX2_OK);
    std::vector<uint8_t> parts(64, 0);
    uint32_t c1 = 64;
    ASSERT_EQ(PEXX_EncryptUpdate(module(), context, plain.data(), 16, parts.data(), &c1), PEX2_OK);
    uint32_t c2 = 64 - c1;
    ASSERT_EQ(PEXX_EncryptUpdate(module(), context, plain.data() + 16, 48, parts.data() + c1, &c2),
              PEX2_OK);
    uint32_t c3 = 64 - c1 - c2;
    ASSERT_EQ(PEXX_EncryptFinal(module(), context, parts.data() + c1 + c2, &c3), PEX2_OK);
    EXPECT_EQ(c1 + c2 + c3, 64u);
    EXPECT_EQ(parts, expected);

    // Decryption gives back the plaintext, with nothing removed.
    ASSERT_EQ(PEXX_DataDecryptInit(module(), context, &aes.algorithm, key), PEX2_OK);
    std::vector<uint8_t> back(64);
    length = 64;
    ASSERT_EQ(PEXX_Decrypt(module(), context, expected.data(), 64, back.data(), &length), PEX2_OK);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(back, plain);
    PEXX_DestroyContext(module(), context);
}

// NIST SP 800-67 Rev. 2 example (three-key triple DES, ECB): keys
// 0123456789ABCDEF, 23456789ABCDEF01, 456789ABCDEF0123; plaintext "The qufck
// brown fox jump"; ciphertext A826FD8CE53B855F CCE21C8112256FE6 68D5C05DD9B6B900.
// Under CBC with a zero IV, feeding P1, P2 ^ C1, P3 ^ C2 gives the same three
// ciphertext blocks; the padding adds a fourth.
TEST_F(KnownKeys, TripleDesCbcMatchesSp80067VectorAndPads) {
    const PexHandle key =
        Unwrap(WrapKnownKey(Hex("0123456789abcdef23456789abcdef01456789abcdef0123"), 2));
    const std::vector<uint8_t> ecb = Hex("a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900");
    std::vector<uint8_t> plain(24);
    memcpy(plain.data(), "The qufck brown fox jump", 24);
    for (size_t i = 8; i < 24; ++i) {
        plain[i] ^= ecb[i - 8];
    }
    const uint8_t zeroIv[8] = {};
    AlgorithmWithIv tdes(OID_PEX_CBC8_PAD, zeroIv, 8);

    const PexHandle context = session_->Context();
    ASSERT_EQ(PEXX_DataEncryptInit(module(), context, &tdes.algorithm, key), PEX2_OK);
    std::vector<uint8_t> out(40, 0);
    uint32_t length = 40;
    ASSERT_EQ(PEXX_Encrypt(module(), context, plain.data(), 24, out.data(), &length), PEX2_OK);
    ASSERT_EQ(length, 32u);  // a whole block of padding
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 24), ecb);

    ASSERT_EQ(PEXX_DataDecryptInit(module(), context, &tdes.algorithm, key), PEX2_OK);
    std::vector<uint8_t> back(32);
    length = 32;
    ASSERT_EQ(PEXX_Decrypt(module(), context, out.data(), 32, back.data(), &length), PEX2_OK);
    ASSERT_EQ(length, 24u);  // the padding is removed
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 24), plain);
    PEXX_DestroyContext(module(), context);
}

// A freshly provisioned store, for the cases that need no known key.
class Ciphers : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveKeyStore();
        session_ = std::make_unique<Session>(0x4349u);
        ASSERT_EQ(session_->status(), PEX2_OK);
        context_ = session_->Context();
    }
    uint64_t module() const { return session_->module(); }
    std::unique_ptr<Session> session_;
    PexHandle context_ = 0;
};

TEST_F(Ciphers, TripleDesPadsEveryLengthToTheNextBlockAndRoundTrips) {
    const PexHandle key = session_->GenerateKey(168);
    const uint8_t iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    AlgorithmWithIv tdes(OID_PEX_CBC8_PAD, iv, 8);
    uint8_t data[17];
    for (uint32_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<uint8_t>(0xC0 + i);
    }
    for (uint32_t n = 0; n <= 17; ++n) {
        ASSERT_EQ(PEXX_DataEncryptInit(module(), context_, &tdes.algorithm, key), PEX2_OK);
        uint8_t ct[32];
        uint32_t c = sizeof ct;
        ASSERT_EQ(PEXX_Encrypt(module(), context_, data, n, ct, &c), PEX2_OK);
        EXPECT_EQ(c, (n / 8 + 1) * 8) << n;
        ASSERT_EQ(PEXX_DataDecryptInit(module(), context_, &tdes.algorithm, key), PEX2_OK);
        uint8_t pt[32];
        uint32_t p = sizeof pt;
        ASSERT_EQ(PEXX_Decrypt(module(), context_, ct, c, pt, &p), PEX2_OK);
        ASSERT_EQ(p, n);
        EXPECT_EQ(memcmp(pt, data, n), 0) << n;
    }
}

TEST_F(Ciphers, AesRefusesPartialBlocksAndTripleDesRefusesBadCiphertext) {
    const PexHandle aesKey = session_->GenerateKey(128);
    const uint8_t iv[16] = {};
    AlgorithmWithIv aes(OID_AES128_CBC, iv, 16);
    uint8_t in[48] = {};
    uint8_t out[64];
    uint32_t length = sizeof out;
    ASSERT_EQ(PEXX_DataEncryptInit(module(), context_, &aes.algorithm, aesKey), PEX2_OK);
    EXPECT_EQ(PEXX_Encrypt(module(), context_, in, 15, out, &length), PEX2_ERR_BAD_LENGTH);
    EXPECT_EQ(PEXX_EncryptUpdate(module(), context_, in, 17, out, &length), PEX2_ERR_BAD_LENGTH);
    ASSERT_EQ(PEXX_DataDecryptInit(module(), context_, &aes.algorithm, aesKey), PEX2_OK);
    EXPECT_EQ(PEXX_Decrypt(module(), context_, in, 33, out, &length), PEX2_ERR_BAD_LENGTH);

    const PexHandle tdesKey = session_->GenerateKey(168);
    AlgorithmWithIv tdes(OID_PEX_CBC8_PAD, iv, 8);
    ASSERT_EQ(PEXX_DataDecryptInit(module(), context_, &tdes.algorithm, tdesKey), PEX2_OK);
    EXPECT_EQ(PEXX_Decrypt(module(), context_, in, 12, out, &length), PEX2_ERR_BAD_LENGTH);
    EXPECT_EQ(PEXX_Decrypt(module(), context_, in, 0, out, &length), PEX2_ERR_BAD_LENGTH);
    // Zero bytes decrypt to garbage whose padding cannot verify (or, rarely,
    // happens to); either way nothing beyond the room is written.
    const int32_t status = PEXX_Decrypt(module(), context_, in, 16, out, &length);
    EXPECT_TRUE(status == PEX2_ERR_CRYPTO || status == PEX2_OK) << status;

    // A key of the other cipher, an IV of the wrong length, a wrap algorithm.
    EXPECT_EQ(PEXX_DataEncryptInit(module(), context_, &aes.algorithm, tdesKey), PEX2_ERR_BAD_KEY);
    AlgorithmWithIv shortIv(OID_AES128_CBC, iv, 8);
    EXPECT_EQ(PEXX_DataEncryptInit(module(), context_, &shortIv.algorithm, aesKey),
              PEX2_ERR_BAD_ALGORITHM);
    AlgorithmWithIv wrap(OID_PEX_WRAP_KIND12, iv, 16);
    EXPECT_EQ(PEXX_DataEncryptInit(module(), context_, &wrap.algorithm, aesKey),
              PEX2_ERR_BAD_ALGORITHM);
    // Nothing running in a fresh context.
    const PexHandle fresh = session_->Context();
    EXPECT_EQ(PEXX_Encrypt(module(), fresh, in, 16, out, &length), PEX2_ERR_NOT_INITIALIZED);
    EXPECT_EQ(PEXX_EncryptFinal(module(), fresh, out, &length), PEX2_ERR_NOT_INITIALIZED);
}

TEST_F(Ciphers, TooLittleRoomIsRefusedWithTheNeedAndNothingWritten) {
    const PexHandle tdesKey = session_->GenerateKey(168);
    const uint8_t iv[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    AlgorithmWithIv tdes(OID_PEX_CBC8_PAD, iv, 8);
    const uint8_t in[20] = {'s', 'e', 'c', 'r', 'e', 't'};
    uint8_t out[40];
    memset(out, 0xEE, sizeof out);

    ASSERT_EQ(PEXX_DataEncryptInit(module(), context_, &tdes.algorithm, tdesKey), PEX2_OK);
    uint32_t length = 23;  // 20 bytes need 24
    EXPECT_EQ(PEXX_Encrypt(module(), context_, in, 20, out, &length), PEX2_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 24u);
    for (uint8_t b : out) {
        ASSERT_EQ(b, 0xEE);
    }
    // The operation survives the refusal.
    ASSERT_EQ(PEXX_Encrypt(module(), context_, in, 20, out, &length), PEX2_OK);
    ASSERT_EQ(length, 24u);
    EXPECT_EQ(out[24], 0xEE);

    // Decryption learns the length only by decrypting; the refusal still
    // writes nothing and leaves the operation ready for a second try.
    ASSERT_EQ(PEXX_DataDecryptInit(module(), context_, &tdes.algorithm, tdesKey), PEX2_OK);
    uint8_t back[24];
    memset(back, 0xEE, sizeof back);
    uint32_t room = 19;
    EXPECT_EQ(PEXX_Decrypt(module(), context_, out, 24, back, &room), PEX2_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(room, 20u);
    EXPECT_EQ(back[0], 0xEE);
    EXPECT_EQ(PEXX_Decrypt(module(), context_, out, 24, back, &room), PEX2_OK);
    EXPECT_EQ(room, 20u);
    EXPECT_EQ(memcmp(back, in, 20), 0);

    // AES: the final block call of the padding-free cipher needs no room.
    const PexHandle aesKey = session_->GenerateKey(128);
    AlgorithmWithIv aes(OID_AES128_CBC, iv, 16);
    ASSERT_EQ(PEXX_DataEncryptInit(module(), context_, &aes.algorithm, aesKey), PEX2_OK);
    length = 15;
    EXPECT_EQ(PEXX_EncryptUpdate(module(), context_, in, 16, out, &length),
              PEX2_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u);
    ASSERT_EQ(PEXX_EncryptUpdate(module(), context_, in, 16, out, &length), PEX2_OK);
    length = 0;
    EXPECT_EQ(PEXX_EncryptFinal(module(), context_, nullptr, &length), PEX2_OK);
    EXPECT_EQ(length, 0u);
}

TEST_F(Ciphers, AlgorithmInfoKnowsTheFiveIdentifiersAndTheAesSwitch) {
    uint8_t info[64];
    for (const uint8_t *oid : {OID_AES128_CBC, OID_PEX_KEYGEN168, OID_PEX_CBC8_PAD,
                               OID_PEX_WRAP_KIND1, OID_PEX_WRAP_KIND12}) {
        EXPECT_EQ(PEXX_GetAlgorithmInfo(module(), oid, info), PEX2_OK);
    }
    const uint8_t otherArc[] = {PEX_OID_VENDOR_PREFIX, 0x1C};
    const uint8_t wrongLength[] = {0x06, 0x0A, 0x60, 0x86, 0x48, 0x01,
                                   0x65, 0x03, 0x04, 0x01, 0x02, 0x00};
    EXPECT_EQ(PEXX_GetAlgorithmInfo(module(), otherArc, info), PEX2_ERR_BAD_ALGORITHM);
    EXPECT_EQ(PEXX_GetAlgorithmInfo(module(), wrongLength, info), PEX2_ERR_BAD_ALGORITHM);
    EXPECT_EQ(PEXX_GetAlgorithmInfo(module(), nullptr, info), PEX2_ERR_BAD_ALGORITHM);

    // The switch is read at authentication: a new session sees it.
    ScopedEnv noAes(PEX2_ENV_DISABLE_AES, "1");
    Session second(0x4350u);
    ASSERT_EQ(second.status(), PEX2_OK);
    EXPECT_EQ(PEXX_GetAlgorithmInfo(second.module(), OID_AES128_CBC, info), PEX2_ERR_BAD_ALGORITHM);
    EXPECT_EQ(PEXX_GetAlgorithmInfo(second.module(), OID_PEX_CBC8_PAD, info), PEX2_OK);
    const PexHandle context = second.Context();
    PexAlgorithm keygen = {OID_AES128_CBC, nullptr, 0};
    PexAttribute templ = {PEX_ATTR_KEY_BITS, 0, 1, 128, 0, 0};
    uint32_t scratch = 0;
    PexHandle key = 0;
    EXPECT_EQ(PEXX_GenerateKey(second.module(), context, &keygen, &templ, 1, &scratch, &key, 0),
              PEX2_ERR_BAD_ALGORITHM);
    EXPECT_EQ(PEXX_GetAlgorithmInfo(module(), OID_AES128_CBC, info), PEX2_OK);
}

}  // namespace
