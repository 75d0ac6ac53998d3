// The service simulator under several threads: sessions of their own, and
// one session shared, as the client's one session is shared by its callers.
#include <string.h>

#include <atomic>
#include <thread>

#include "test/pex2/pex2_test.h"

using namespace pex2test;

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 25;

/* Protects and recovers 40 bytes the way the protection layer does:
 * generate, wrap, unwrap, encrypt, decrypt, destroy.  Returns failures. */
int ProtectRound(uint64_t module, PexHandle wrapping, uint32_t bits, int round) {
    int failures = 0;
    auto check = [&](int32_t status) { failures += status == PEX2_OK ? 0 : 1; };
    PexHandle context = 0;
    check(PEXX_CreateContext(module, 0, &context));
    PexAlgorithm keygen = {bits == 128 ? OID_AES128_CBC : OID_PEX_KEYGEN168, nullptr, 0};
    PexAttribute templ[3] = {{PEX_ATTR_KEY_USAGE, 0, 1, PEX_KEY_USAGE_CONTENT, 0, 0},
                             {PEX_ATTR_KEY_BITS, 0, 1, bits, 0, 0},
                             {PEX_ATTR_TOKEN, 0, 1, 1, 0, 0}};
    uint32_t scratch = 0;
    PexHandle key = 0;
    check(PEXX_GenerateKey(module, context, &keygen, templ, 3, &scratch, &key, 0xFFFFFFFFu));
    uint8_t wrapIv[16];
    check(PEXX_GetRandom(module, context, wrapIv, 16));
    AlgorithmWithIv wrapAlg(OID_PEX_WRAP_KIND12, wrapIv, 16);
    uint8_t wrapped[256];
    uint32_t wrappedLength = sizeof wrapped;
    check(PEXX_WrapKey(module, context, &wrapAlg.algorithm, 0, nullptr, wrapping, key, wrapped,
                       &wrappedLength));
    PexHandle copy = 0;
    check(PEXX_UnwrapKey(module, context, wrapping, wrapped, wrappedLength, &copy));

    uint8_t secret[40];
    memset(secret, round & 0xFF, sizeof secret);
    const uint8_t iv[16] = {static_cast<uint8_t>(round)};
    AlgorithmWithIv cipher(bits == 128 ? OID_AES128_CBC : OID_PEX_CBC8_PAD, iv,
                           bits == 128 ? 16 : 8);
    const uint32_t dataLength = bits == 128 ? 32 : 40;  // AES takes whole blocks only
    uint8_t ct[48];
    uint32_t ctLength = sizeof ct;
    check(PEXX_DataEncryptInit(module, context, &cipher.algorithm, key));
    check(PEXX_Encrypt(module, context, secret, dataLength, ct, &ctLength));
    uint8_t pt[48];
    uint32_t ptLength = sizeof pt;
    check(PEXX_DataDecryptInit(module, context, &cipher.algorithm, copy));
    check(PEXX_Decrypt(module, context, ct, ctLength, pt, &ptLength));
    failures += ptLength == dataLength && memcmp(pt, secret, dataLength) == 0 ? 0 : 1;
    check(PEXX_DestroyObject(module, context, key));
    check(PEXX_DestroyObject(module, context, copy));
    check(PEXX_DestroyContext(module, context));
    return failures;
}

TEST(Concurrency, ThreadsWithSessionsOfTheirOwn) {
    RemoveKeyStore();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            // Every thread authenticates at once; only one may provision.
            Session s(0x7000u + static_cast<uint64_t>(t));
            if (s.status() != PEX2_OK) {
                failures += 1000;
                return;
            }
            const PexHandle wrapping = s.FindWrappingKey();
            for (int round = 0; round < kRounds; ++round) {
                failures += ProtectRound(s.module(), wrapping, round % 2 == 0 ? 128 : 168, round);
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

TEST(Concurrency, ThreadsSharingOneSession) {
    Session s(0x7100u);
    ASSERT_EQ(s.status(), PEX2_OK);
    const PexHandle wrapping = s.FindWrappingKey();
    ASSERT_NE(wrapping, 0u);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                failures +=
                    ProtectRound(s.module(), wrapping, (round + t) % 2 == 0 ? 128 : 168, round);
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(s.lock().Free());
}

}  // namespace
