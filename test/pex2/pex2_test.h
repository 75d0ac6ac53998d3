// Helpers of the cryptographic service simulator's tests: a session opened
// under a mutex of the test's own, contexts, and the system key-store file.
// The tests run inside a private platform root (tools/kavo-platform).
#ifndef KAVO_TEST_PEX2_TEST_H
#define KAVO_TEST_PEX2_TEST_H

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/pex2/pex2_internal.h"

namespace pex2test {

inline const char *kKeyStorePath = "/etc/opt/zorvex/system/xmgrcfg.ks0";

inline std::vector<uint8_t> ReadFileBytes(const char *path) {
    std::vector<uint8_t> bytes;
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        return bytes;
    }
    uint8_t buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    fclose(f);
    return bytes;
}

inline void WriteFileBytes(const char *path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path, "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(fclose(f), 0);
}

/* Starts the next authentication from a missing key store. */
inline void RemoveKeyStore() {
    unlink(kKeyStorePath);
}

/* An error-checking mutex, as the client hands over. */
struct TestLock {
    pthread_mutex_t mutex;
    TestLock() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~TestLock() { pthread_mutex_destroy(&mutex); }
    /* True when no thread holds the mutex (probed with trylock). */
    bool Free() {
        if (pthread_mutex_trylock(&mutex) != 0) {
            return false;
        }
        pthread_mutex_unlock(&mutex);
        return true;
    }
};

/* One service session: authenticated on construction, closed on destruction. */
class Session {
  public:
    explicit Session(uint64_t module) : module_(module) {
        uint8_t scratch[16] = {};
        uint64_t out = 0;
        status_ = PEXX_Authenticate(module_, &lock_.mutex, nullptr, scratch, 0, &out);
    }
    ~Session() {
        if (status_ == PEX2_OK) {
            PEXX_Goodbye(module_);
        }
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    int32_t status() const { return status_; }
    uint64_t module() const { return module_; }
    TestLock &lock() { return lock_; }

    PexHandle Context() {
        PexHandle context = 0;
        EXPECT_EQ(PEXX_CreateContext(module_, 0, &context), PEX2_OK);
        return context;
    }

    /* The wrapping key found by the protection layer's template, or 0. */
    PexHandle FindWrappingKey() {
        const PexHandle context = Context();
        PexAttribute templ[2] = {};
        templ[0] = {PEX_ATTR_TOKEN, 0, 1, 1, 0, 0};
        templ[1] = {PEX_ATTR_CLASS, 0, 1, PEX_WRAPPING_KEY_CLASS, 0, 0};
        PexHandle key = 0;
        uint32_t count = 1;
        EXPECT_EQ(PEXX_FindObjectsInit(module_, context, templ, 2), PEX2_OK);
        EXPECT_EQ(PEXX_FindObjects(module_, context, &key, &count), PEX2_OK);
        EXPECT_EQ(PEXX_DestroyContext(module_, context), PEX2_OK);
        return count == 1 ? key : 0;
    }

    /* A content key of 128 (AES) or 168 (triple DES) bits, made as the
     * protection layer makes it. */
    PexHandle GenerateKey(uint32_t bits) {
        const PexHandle context = Context();
        PexAlgorithm algorithm = {bits == 128 ? OID_AES128_CBC : OID_PEX_KEYGEN168, nullptr, 0};
        PexAttribute templ[3] = {};
        templ[0] = {PEX_ATTR_KEY_USAGE, 0, 1, PEX_KEY_USAGE_CONTENT, 0, 0};
        templ[1] = {PEX_ATTR_KEY_BITS, 0, 1, bits, 0, 0};
        templ[2] = {PEX_ATTR_TOKEN, 0, 1, 1, 0, 0};
        uint32_t scratch = 0;
        PexHandle key = 0;
        EXPECT_EQ(
            PEXX_GenerateKey(module_, context, &algorithm, templ, 3, &scratch, &key, 0xFFFFFFFFu),
            PEX2_OK);
        EXPECT_EQ(PEXX_DestroyContext(module_, context), PEX2_OK);
        return key;
    }

    /* Reads one attribute; present reports the flag. */
    uint32_t Attribute(PexHandle key, uint32_t type, uint32_t *present) {
        const PexHandle context = Context();
        PexAttribute attribute = {type, 0, 0xAA, 0xBB, 0, 0};
        EXPECT_EQ(PEXX_GetAttributeValue(module_, context, key, &attribute, 1), PEX2_OK);
        EXPECT_EQ(PEXX_DestroyContext(module_, context), PEX2_OK);
        *present = attribute.present;
        return attribute.value;
    }

  private:
    uint64_t module_;
    TestLock lock_;
    int32_t status_ = 0;
};

/* An algorithm record with its IV parameter block. */
struct AlgorithmWithIv {
    PexParameters params;
    PexAlgorithm algorithm;
    AlgorithmWithIv(const uint8_t *oid, const uint8_t *iv, uint32_t ivLength) {
        params = {PEX_PARAM_COUNT_ONE, PEX_PARAM_IV, 0, ivLength, 0, iv};
        algorithm = {oid, &params, sizeof(PexParameters)};
    }
};

struct WrapCase {
    const char *kind;
    uint32_t kindValue;
    const uint8_t *oid;
    uint32_t ivLength;
};

inline const WrapCase kWrapCases[] = {
    {"1", PEX_KEY_KIND_1, OID_PEX_WRAP_KIND1, 8},
    {"2", PEX_KEY_KIND_2, OID_PEX_CBC8_PAD, 8},
    {"12", PEX_KEY_KIND_12, OID_PEX_WRAP_KIND12, 16},
};

/* Wraps key under wrapping with the algorithm of the case; returns the bytes. */
inline std::vector<uint8_t> Wrap(Session &s, const WrapCase &c, PexHandle wrapping, PexHandle key,
                                 int32_t *status) {
    const uint8_t iv[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    AlgorithmWithIv algorithm(c.oid, iv, c.ivLength);
    std::vector<uint8_t> out(256);
    uint32_t length = 256;
    const PexHandle context = s.Context();
    *status = PEXX_WrapKey(s.module(), context, &algorithm.algorithm, 0, nullptr, wrapping, key,
                           out.data(), &length);
    PEXX_DestroyContext(s.module(), context);
    out.resize(*status == PEX2_OK ? length : 0);
    return out;
}

inline int32_t Unwrap(Session &s, PexHandle wrapping, const std::vector<uint8_t> &bytes,
                      PexHandle *key) {
    const PexHandle context = s.Context();
    const int32_t status = PEXX_UnwrapKey(s.module(), context, wrapping, bytes.data(),
                                          static_cast<uint32_t>(bytes.size()), key);
    PEXX_DestroyContext(s.module(), context);
    return status;
}

/* Sets an environment switch for the life of the object. */
struct ScopedEnv {
    const char *name;
    ScopedEnv(const char *n, const char *value) : name(n) { setenv(n, value, 1); }
    ~ScopedEnv() { unsetenv(name); }
};

}  // namespace pex2test

#endif
